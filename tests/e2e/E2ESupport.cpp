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

namespace {
constexpr const char* kFoundBySignatureFolder = "更多丢失文件";
constexpr const char* kNtfsLostFolder = "LostFiles";
constexpr const char* kNtfsOtherLostFolder = "Other lost files";
constexpr const char* kFatLostFolder = "Lost Folders";

// A manifest file as the scan names it, and whether this run must have written it.
struct NamedFile {
    testutil::ManifestFile file;
    std::string fs;        // of its partition, upper case
    std::string scanPath;  // its folders and the name the scan shows, without a leading '/'
    bool damaged = false;  // its bytes on the image are not (all) its own
    bool expected = false;
};

// A written file below a volume's folder: the tree folder it lies in, and its path below it.
struct WrittenFile {
    std::string full;
    std::string tree;
    std::string path;
};

std::string Upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The files of the manifest's partition `p` as the scan names them: a deleted FAT or
// exFAT entry by the name its entry carries now (a deleted 8.3 name lost its first letter). What
// a scan in `mode` must write: every live file in a complete scan, and in both scans every deleted
// one its file system still names (an NTFS record present, a FAT or exFAT entry the walk from the
// root reaches).
std::vector<NamedFile> NameManifestFiles(const std::string& manifest, const testutil::ManifestPartition& p,
                                         const std::string& mode, AlsoDamaged alsoDamaged) {
    std::vector<NamedFile> out;
    std::map<std::string, testutil::ExpectedFile> reach;
    if (p.fs != "NTFS") {
        for (const testutil::ExpectedFile& e : testutil::LoadDeletedFiles(manifest, p.index)) reach[e.path] = e;
    }
    for (const testutil::ManifestFile& f : testutil::LoadManifest(manifest + ".json", p.index)) {
        NamedFile n;
        n.file = f;
        n.fs = Upper(p.fs);
        n.scanPath = StripLeadingSlash(f.path);
        bool named = f.live || (p.fs == "NTFS" && f.metadataPresent);
        if (const auto r = reach.find(f.path); !f.live && r != reach.end()) {
            n.scanPath = n.scanPath.substr(0, n.scanPath.size() - LastComponent(f.path).size()) +
                         testutil::ScanName(r->second.nameOnDisk);
            named = r->second.reachable;
        }
        n.damaged = !f.intact || (alsoDamaged.deleted && !f.live) || (alsoDamaged.fragmented && f.fragmented);
        n.expected = named && (f.live ? mode == "complete" : mode == "complete" || mode == "deleted");
        out.push_back(n);
    }
    return out;
}

// Where a written file stands for `named`.
enum class Placed {
    kNot,
    // At the path the scan gives it: its folders (without regard to ASCII case, as an 8.3 folder
    // name shows in capitals) and its name.
    kAtItsPath,
    // Below a folder of lost files with the folders whose records were lost cut off its path
    // (NTFS: "LostFiles" keeps the folders found, "Other lost files" the name; FAT and exFAT:
    // "Lost Folders/DIRn" keeps the folders below the lost one). Another file of that name may
    // stand there too, so only its exact bytes tell it is this one.
    kInALostFolder,
};

Placed PlacedAs(const WrittenFile& w, const NamedFile& named) {
    if (testutil::PathKey(w.path) == testutil::PathKey(named.scanPath)) return Placed::kAtItsPath;
    if (named.fs == "NTFS") {
        for (const char* lost : {kNtfsLostFolder, kNtfsOtherLostFolder}) {
            if (IsPlacedAs(w.path, named.scanPath, lost)) return Placed::kInALostFolder;
        }
        return Placed::kNot;
    }
    const std::string lost = std::string(kFatLostFolder) + "/DIR";
    const size_t slash = w.path.find('/', lost.size());
    if (w.path.rfind(lost, 0) != 0 || slash == std::string::npos) return Placed::kNot;
    const std::string tail = w.path.substr(slash);
    const std::string rooted = "/" + named.scanPath;
    const bool suffix =
        rooted.size() >= tail.size() && rooted.compare(rooted.size() - tail.size(), tail.size(), tail) == 0;
    return suffix ? Placed::kInALostFolder : Placed::kNot;
}
}  // namespace

void ExpectRecoveredAsManifests(const DriverRun& run, const std::string& recoverDir,
                                const std::vector<std::string>& manifests, AlsoDamaged alsoDamaged) {
    const Json& recovered = run.report["recovered"];
    EXPECT_EQ(recovered["failed"].number, 0);
    EXPECT_EQ(size_t(recovered["incomplete"].number), run.incomplete.size()) << "the report and the log disagree";
    EXPECT_EQ(run.status, run.incomplete.empty() ? 0 : 1);
    for (const Json& volume : run.report["volumes"].items) {
        const size_t disk = size_t(volume["disk"].number);
        if (disk >= manifests.size() || manifests[disk].empty()) continue;
        const int index = int(volume["index"].number);
        const std::string folder = recoverDir + "/" + std::to_string(index);
        const Json* scan = FindScan(run.report, index);
        const std::string mode = scan != nullptr ? (*scan)["mode"].text : "";
        // The tree folders the scan made, by the file system of each.
        std::map<std::string, std::string> treeFs;
        if (scan != nullptr) {
            for (const Json& t : (*scan)["trees"].items) treeFs[t["name"].text] = t["fs"].text;
        }
        // A volume holds the partition that starts where it does; a whole disk every partition,
        // of which its complete scan must show those it found where they start (one found where
        // its boot sector was lost may start elsewhere, and what it shows there is its own).
        std::set<u64> found;
        if (scan != nullptr) {
            for (const Json& f : (*scan)["found_partitions"].items) found.insert(u64(f["start_sector"].number));
        }
        std::vector<NamedFile> named;
        for (const testutil::ManifestPartition& p : testutil::LoadPartitions(manifests[disk] + ".json")) {
            const bool wholeDisk = volume["kind"].text == "disk";
            if (!wholeDisk && p.startSector != u64(volume["start_sector"].number)) continue;
            const bool shown = !wholeDisk || found.empty() || found.count(p.startSector) != 0;
            const std::vector<NamedFile> files = NameManifestFiles(manifests[disk], p, shown ? mode : "", alsoDamaged);
            named.insert(named.end(), files.begin(), files.end());
        }

        std::vector<WrittenFile> written;
        for (const std::string& f : ListFiles(folder)) {
            const size_t slash = f.find('/');
            if (slash == std::string::npos) continue;
            const WrittenFile w{folder + "/" + f, f.substr(0, slash), f.substr(slash + 1)};
            // Files found by their signature, a disk's or a volume's, have no name of the
            // manifest's to stand at.
            if (w.tree == kFoundBySignatureFolder || w.path.rfind(std::string(kFoundBySignatureFolder) + "/", 0) == 0) {
                continue;
            }
            written.push_back(w);
        }
        for (const NamedFile& n : named) {
            const std::string what = manifests[disk] + ": " + n.file.path + " (" + n.scanPath + ")";
            bool exactAndWhole = false;
            for (const WrittenFile& w : written) {
                const auto tree = treeFs.find(w.tree);
                if (tree != treeFs.end() && Upper(tree->second) != n.fs) continue;
                const Placed placed = PlacedAs(w, n);
                if (placed == Placed::kNot) continue;
                const bool exact = testutil::Sha256File(w.full) == n.file.sha256;
                const bool whole = run.incomplete.count(w.full) == 0;
                if (placed == Placed::kInALostFolder && !exact) continue;
                if (std::find(alsoDamaged.unseen.begin(), alsoDamaged.unseen.end(), n.file.path) !=
                    alsoDamaged.unseen.end()) {
                    continue;
                }
                exactAndWhole = exactAndWhole || (exact && whole);
                // Another file's bytes, or zeros, in place of its own: never whole.
                EXPECT_TRUE(exact || !whole) << what << ": written with other bytes and counted whole as " << w.full;
                EXPECT_TRUE(!exact || whole || n.damaged)
                    << what << ": intact, written with its bytes, but counted incomplete as " << w.full;
            }
            if (n.expected && !n.damaged) {
                EXPECT_TRUE(exactAndWhole) << what << ": intact, but not written exact and whole at its path";
            }
        }
        // Every file counted incomplete is one the manifest or the images' later changes damaged.
        for (const WrittenFile& w : written) {
            if (run.incomplete.count(w.full) == 0) continue;
            const bool damaged = std::any_of(named.begin(), named.end(), [&](const NamedFile& n) {
                return n.damaged && NameStandsFor(LastComponent(w.path), LastComponent(n.scanPath));
            });
            EXPECT_TRUE(damaged) << manifests[disk] << ": counted incomplete, but no file of that name is damaged: "
                                 << w.full;
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
