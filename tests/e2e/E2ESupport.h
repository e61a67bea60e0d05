#pragma once
// What the end-to-end tests share: the scan driver's invocation and report, a look at folders on
// disk, and the check that a run leaves nothing but its recovery folder behind.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Json.h"
#include "platform/Types.h"

namespace e2e {

using testutil::Json;

// A fixture image as the driver's --image argument, with its declared sector size (0: none).
std::string ImageArg(const std::string& image, u32 sectorSize = 0);

// Runs the built scan driver with the arguments (each one quoted) in the folder `cwd`, with the
// environment settings `env` ("NAME=value") added; its output goes to `log`, and its own log files
// to DriverStateFolder(log) unless `env` names a state folder. Returns the exit status, -1 when it
// could not run, 124 when it did not end within five minutes.
int RunDriver(const std::vector<std::string>& args, const std::string& cwd, const std::string& log,
              const std::vector<std::string>& env = {});
// The folder a run whose output went to `log` writes its log files to.
std::string DriverStateFolder(const std::string& log);

// What a run of the driver left: its exit status, its report, and the files its log says it
// counted incomplete (their paths as written).
struct DriverRun {
    int status = -1;
    Json report;
    std::set<std::string> incomplete;
};
// RunDriver, then what the run left; the report is the file after "--json" (empty without one).
DriverRun RunDriverRun(const std::vector<std::string>& args, const std::string& cwd, const std::string& log,
                       const std::vector<std::string>& env = {});

// Whether a written name stands for a file's name: the same, the same but for its first
// character (a deleted 8.3 entry lost it, and the scan shows a stand-in), or the 8.3 alias of a
// long name (where its long-name entries are gone).
bool NameStandsFor(const std::string& written, const std::string& original);

// The per-file check of a run over fixture disks (`manifests`: each disk's fixture name, in the
// order of the run's images; empty for a disk that is no fixture). For every volume of a fixture
// disk, below the run's recovery folder, each manifest file is looked up by the path the scan
// gives it (its folders and the name its entry shows, in a tree of its partition's file system):
// every copy written there is either its exact bytes or counted incomplete; an intact file is
// not counted incomplete, and one the scan must write (a live file in a complete scan, a deleted
// file its file system still names in both scans) is there exact and whole. Every file counted
// incomplete bears the name of a damaged file; no file failed, and the exit status is 1 exactly
// when some file was counted incomplete. `alsoDamaged` names what else the images lost since
// their manifests were made.
struct AlsoDamaged {
    // The tools wrote into copies of the images over free clusters: any deleted file's data.
    bool deleted = false;
    // Both FAT copies are gone: a fragmented file's chain.
    bool fragmented = false;
    // Manifest paths of damaged files nothing left on the disk shows damaged: the file that took
    // their clusters is listed only where the lost FAT led. Their copies are not judged.
    std::vector<std::string> unseen = {};
};
void ExpectRecoveredAsManifests(const DriverRun& run, const std::string& recoverDir,
                                const std::vector<std::string>& manifests, AlsoDamaged alsoDamaged = {});

// The report's volume on disk `disk` starting at `startSector`, its scan; null when missing.
const Json* FindVolume(const Json& report, size_t disk, u64 startSector);
const Json* FindScan(const Json& report, int volumeIndex);

// Every regular file below root, as paths relative to it.
std::vector<std::string> ListFiles(const std::string& root);
// Every entry (file or folder) directly in a folder.
std::vector<std::string> ListEntries(const std::string& folder);
i64 ModificationTime(const std::string& path);

// A found file's path in a recovery folder: disk `disk`'s lost-files root, the type's folder,
// the name the analyser gave.
std::string LostFilePath(const std::string& recoverDir, const std::string& folder, const std::string& name,
                         size_t disk = 0);

// A file laid on a made disk image at a byte offset; when cut short, only its first `kept` bytes.
struct PlantedFile {
    std::vector<u8> bytes;
    u64 offset = 0;
    size_t kept = 0;  // 0: the whole file
    size_t Kept() const { return kept != 0 ? kept : bytes.size(); }
};

// A sample file of the signature search's tests, by name.
std::string RawSample(const std::string& name);

// Sets entry `index` of the MBR partition table at the start of a disk's bytes (type, first
// sector, sectors) and the table's boot signature.
void PutMbrPartition(std::vector<u8>& disk, size_t index, u8 type, u64 start, u64 sectors);

// Writes an image of `size` bytes that holds the files at their offsets and zeros elsewhere.
bool WritePlantedImage(const std::string& path, const std::vector<PlantedFile>& files, u64 size);

// Checks a carved file: it exists, is `length` bytes long, begins with what the disk kept of the
// original (as far as both go) and is the disk's bytes from the original's offset on.
void ExpectCarved(const std::string& written, const PlantedFile& original, u64 length, const std::vector<u8>& disk);

// Taken before a run: the images' hashes, the (empty) working folder and the program folder.
// Expect() then checks that the images are unchanged, the working folder is still empty and the
// program folder gained nothing but logs.
class Untouched {
public:
    Untouched(const std::vector<std::string>& images, const std::string& cwd);
    void Expect() const;

private:
    std::vector<std::string> m_images;
    std::vector<std::string> m_hashes;
    std::string m_cwd;
    std::string m_programDir;
    std::vector<std::string> m_programFiles;
};

// A manifest path without its leading '/'.
std::string StripLeadingSlash(const std::string& path);
std::string LastComponent(const std::string& path);
// Whether a file written at `written` stands for `original`: at its own path, or below the
// writer's folder of lost files `lostFolder` with the folders whose records were lost cut off
// the front of its path.
bool IsPlacedAs(const std::string& written, const std::string& original, const std::string& lostFolder);
// Relative path -> sha256 of every file below root.
std::map<std::string, std::string> HashTree(const std::string& root);

}  // namespace e2e
