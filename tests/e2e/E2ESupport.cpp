#include "E2ESupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Manifest.h"
#include "TestUtil.h"
#include "platform/ProgramDir.h"

namespace e2e {

namespace {
// Inside the test's own limit, so that a hung driver fails its test with the status 124 of
// timeout, and is gone, before the test itself is stopped.
constexpr int kDriverTimeoutSeconds = 100;
const std::string kStateVariable = "XDG_STATE_HOME=";
constexpr size_t kShortAliasBaseLength = 6;
constexpr const char* kIncompleteLine = "[info] Incomplete file, ";

std::string Quote(const std::string& a) {
    std::string out = "'";
    for (char c : a) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
}  // namespace

std::string ImageArg(const std::string& image, u32 sectorSize) {
    std::string arg = testutil::FixturePath(image + ".img");
    if (sectorSize) arg += "@" + std::to_string(sectorSize);
    return arg;
}

std::string DriverStateFolder(const std::string& log) { return log + ".state"; }

int RunDriver(const std::vector<std::string>& args, const std::string& cwd, const std::string& log,
              const std::vector<std::string>& env) {
    // A driver that hangs ends with the status 124 of timeout rather than stopping the tests.
    std::string command = "cd " + Quote(cwd) + " && timeout -k 10 " + std::to_string(kDriverTimeoutSeconds) + " env";
    const bool ownState = std::any_of(env.begin(), env.end(),
                                      [](const std::string& e) { return e.rfind(kStateVariable, 0) == 0; });
    if (!ownState) command += " " + Quote(kStateVariable + DriverStateFolder(log));
    for (const std::string& e : env) command += " " + Quote(e);
    command += " ";
    command += Quote(std::string(MORVENDA_BINARY_DIR) + "/bin/scan_driver");
    for (const std::string& a : args) command += " " + Quote(a);
    command += " > " + Quote(log) + " 2>&1";
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

DriverRun RunDriverRun(const std::vector<std::string>& args, const std::string& cwd, const std::string& log,
                       const std::vector<std::string>& env) {
    std::string state = DriverStateFolder(log);
    for (const std::string& e : env) {
        if (e.rfind(kStateVariable, 0) == 0) state = e.substr(kStateVariable.size());
    }
    // Only this run's lines: an earlier run with the same log folder wrote its own.
    const char* const kTraceLogs[] = {"MorvendaTrace.log.1", "MorvendaTrace.log"};
    for (const char* name : kTraceLogs) std::remove((state + "/Morvenda/" + name).c_str());
    DriverRun run;
    run.status = RunDriver(args, cwd, log, env);
    const auto json = std::find(args.begin(), args.end(), "--json");
    if (json != args.end() && json + 1 != args.end()) {
        EXPECT_TRUE(testutil::ReadJsonFile(*(json + 1), run.report));
    }
    // The writer says so of every file it counts incomplete: "Incomplete file, <why>: <path>".
    for (const char* name : kTraceLogs) {
        std::istringstream lines(testutil::ReadFileText(state + "/Morvenda/" + name));
        for (std::string line; std::getline(lines, line);) {
            const size_t said = line.find(kIncompleteLine);
            const size_t colon = said == std::string::npos ? said : line.find(": ", said);
            if (colon != std::string::npos) run.incomplete.insert(line.substr(colon + 2));
        }
    }
    return run;
}

namespace {
// Whether `written` is the 8.3 alias a long name gets: the first letters of its base in capitals
// (spaces left out, other characters as "_"), "~" and a number, and its extension's first three.
bool IsShortAliasOf(const std::string& written, const std::string& original) {
    const size_t tilde = written.find('~');
    const size_t dot = original.rfind('.');
    if (tilde == std::string::npos || tilde == 0 || tilde > kShortAliasBaseLength) return false;
    const auto alias = [](const std::string& part, size_t most) {
        std::string out;
        for (size_t i = 0; i < part.size() && out.size() < most; ++i) {
            const u8 c = u8(part[i]);
            if (c == ' ') continue;
            if ((c & 0xC0) == 0x80) continue;  // the rest of a character already given as "_"
            out.push_back(c < 0x80 && std::isalnum(c) ? char(std::toupper(c)) : '_');
        }
        return out;
    };
    const std::string base = alias(original.substr(0, dot), tilde);
    const std::string extension = dot == std::string::npos ? "" : "." + alias(original.substr(dot + 1), 3);
    const size_t end = written.find('.', tilde);
    const std::string number = written.substr(tilde + 1, end - tilde - 1);
    return written.compare(0, tilde, base) == 0 && !number.empty() &&
           number.find_first_not_of("0123456789") == std::string::npos &&
           written.substr(end == std::string::npos ? written.size() : end) == extension;
}
}  // namespace

bool NameStandsFor(const std::string& written, const std::string& original) {
    if (written == original) return true;
    if (written.empty() || original.empty()) return false;
    if (IsShortAliasOf(written, original)) return true;
    // The first character of the original may take several bytes, the stand-in one.
    size_t skip = 1;
    while (skip < original.size() && (u8(original[skip]) & 0xC0) == 0x80) ++skip;
    return written.substr(1) == original.substr(skip);
}

void ExpectRecoveredAsManifests(const DriverRun& run, const std::string& recoverDir,
                                const std::vector<std::string>& manifests, AlsoDamaged alsoDamaged) {
    const Json& recovered = run.report["recovered"];
    EXPECT_EQ(recovered["failed"].number, 0);
    EXPECT_EQ(size_t(recovered["incomplete"].number), run.incomplete.size()) << "the report and the log disagree";
    EXPECT_EQ(run.status, run.incomplete.empty() ? 0 : 1);
    for (const Json& volume : run.report["volumes"].items) {
        const size_t disk = size_t(volume["disk"].number);
        if (disk >= manifests.size() || manifests[disk].empty()) continue;
        const std::string folder = recoverDir + "/" + std::to_string(int(volume["index"].number));
        std::multimap<std::string, std::string> byHash;  // sha256 -> full path
        for (const std::string& f : ListFiles(folder)) byHash.emplace(testutil::Sha256File(folder + "/" + f), folder + "/" + f);
        std::vector<std::string> damagedNames;
        for (const testutil::ManifestPartition& p : testutil::LoadPartitions(manifests[disk] + ".json")) {
            for (const testutil::ManifestFile& f : testutil::LoadManifest(manifests[disk] + ".json", p.index)) {
                const bool lost = (alsoDamaged.deleted && !f.live) || (alsoDamaged.fragmented && f.fragmented);
                if (!f.intact || lost) damagedNames.push_back(LastComponent(f.path));
                if (!f.intact) continue;
                const auto [first, last] = byHash.equal_range(f.sha256);
                if (first == last) continue;  // whether it must come back is the test's own question
                const bool whole = std::any_of(first, last, [&](const auto& c) { return !run.incomplete.count(c.second); });
                EXPECT_TRUE(whole) << manifests[disk] << ": intact, written with its bytes, but counted incomplete: "
                                   << f.path << " as " << first->second;
            }
            // Deleted FAT and exFAT entries carry the names the scan shows.
            if (p.fs == "NTFS") continue;
            for (const testutil::ExpectedFile& f : testutil::LoadDeletedFiles(manifests[disk], p.index)) {
                if ((!f.intact || alsoDamaged.deleted) && f.reachable) damagedNames.push_back(testutil::ScanName(f.nameOnDisk));
            }
        }
        for (const std::string& path : run.incomplete) {
            if (path.rfind(folder + "/", 0) != 0) continue;
            const bool damaged = std::any_of(damagedNames.begin(), damagedNames.end(),
                                             [&](const std::string& n) { return NameStandsFor(LastComponent(path), n); });
            EXPECT_TRUE(damaged) << manifests[disk] << ": counted incomplete, but no file of that name is damaged: "
                                 << path;
        }
    }
}

const Json* FindVolume(const Json& report, size_t disk, u64 startSector) {
    for (const Json& v : report["volumes"].items) {
        if (size_t(v["disk"].number) == disk && u64(v["start_sector"].number) == startSector) return &v;
    }
    return nullptr;
}

const Json* FindScan(const Json& report, int volumeIndex) {
    for (const Json& s : report["scans"].items) {
        if (int(s["volume"].number) == volumeIndex) return &s;
    }
    return nullptr;
}

std::vector<std::string> ListFiles(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) out.push_back(std::filesystem::relative(it->path(), root).string());
    }
    return out;
}

std::vector<std::string> ListEntries(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        out.push_back(it->path().filename().string());
    }
    return out;
}

i64 ModificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<i64>(st.st_mtime);
}

std::string LostFilePath(const std::string& recoverDir, const std::string& folder, const std::string& name,
                         size_t disk) {
    return recoverDir + "/" + std::to_string(disk) + "/更多丢失文件/" + folder + "/" + name;
}

std::string RawSample(const std::string& name) { return std::string(MORVENDA_RAW_SAMPLES_DIR) + "/" + name; }

void PutMbrPartition(std::vector<u8>& disk, size_t index, u8 type, u64 start, u64 sectors) {
    constexpr size_t kTable = 446;
    constexpr size_t kEntrySize = 16;
    constexpr size_t kSignature = 510;
    const size_t at = kTable + index * kEntrySize;
    disk[at + 4] = type;
    for (int i = 0; i < 4; ++i) {
        disk[at + 8 + i] = u8(start >> (8 * i));
        disk[at + 12 + i] = u8(sectors >> (8 * i));
    }
    disk[kSignature] = 0x55;
    disk[kSignature + 1] = 0xAA;
}

bool WritePlantedImage(const std::string& path, const std::vector<PlantedFile>& files, u64 size) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    for (const PlantedFile& p : files) {
        if (p.offset + p.Kept() > size) return false;
        f.seekp(static_cast<std::streamoff>(p.offset));
        f.write(reinterpret_cast<const char*>(p.bytes.data()), static_cast<std::streamsize>(p.Kept()));
    }
    f.seekp(static_cast<std::streamoff>(size - 1));
    f.put(0);
    return bool(f);
}

void ExpectCarved(const std::string& written, const PlantedFile& original, u64 length, const std::vector<u8>& disk) {
    ASSERT_TRUE(testutil::FileExists(written)) << "missing " << written;
    const std::vector<u8> got = testutil::ReadFileBytes(written);
    EXPECT_EQ(got.size(), length) << written << " (original " << original.bytes.size() << " bytes, "
                                  << original.Kept() << " on the disk)";
    // A file its analyser ends early (before a trailing line end or padding) is compared as far
    // as it goes.
    const size_t kept = std::min<size_t>(original.Kept(), got.size());
    EXPECT_TRUE(std::equal(original.bytes.begin(), original.bytes.begin() + static_cast<long>(kept), got.begin()))
        << written << " does not begin with the original's bytes";
    ASSERT_LE(original.offset + got.size(), disk.size()) << written << " runs past the disk's end";
    EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin() + static_cast<long>(original.offset)))
        << written << " is not the disk's bytes from offset " << original.offset;
}

Untouched::Untouched(const std::vector<std::string>& images, const std::string& cwd)
    : m_images(images), m_cwd(cwd), m_programDir(GetProgramDir()) {
    for (const std::string& image : images) m_hashes.push_back(testutil::Sha256File(image));
    m_programFiles = ListEntries(m_programDir);
}

void Untouched::Expect() const {
    // The scanned images are read only; nothing lands beside the driver (its logs go to the
    // user's state folder).
    for (size_t i = 0; i < m_images.size(); ++i) {
        EXPECT_EQ(testutil::Sha256File(m_images[i]), m_hashes[i]) << m_images[i];
    }
    EXPECT_TRUE(ListEntries(m_cwd).empty());
    for (const std::string& entry : ListEntries(m_programDir)) {
        EXPECT_NE(std::count(m_programFiles.begin(), m_programFiles.end(), entry), 0) << entry;
    }
}

std::string StripLeadingSlash(const std::string& path) {
    return path.empty() || path[0] != '/' ? path : path.substr(1);
}

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool IsPlacedAs(const std::string& written, const std::string& original, const std::string& lostFolder) {
    if (written == original) return true;
    const std::string lost = lostFolder + "/";
    if (written.compare(0, lost.size(), lost) != 0) return false;
    const std::string tail = written.substr(lost.size());
    return original == tail || (original.size() > tail.size() &&
                                original.compare(original.size() - tail.size() - 1, tail.size() + 1, "/" + tail) == 0);
}

std::map<std::string, std::string> HashTree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const std::string& f : ListFiles(root)) out[f] = testutil::Sha256File(root + "/" + f);
    return out;
}

}  // namespace e2e
