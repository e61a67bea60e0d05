// Pictures, fonts, drawings, documents and archives that real tools wrote (tests/data/raw-samples,
// made by its make-samples.sh) laid on a disk without a file system: back to back, each starting
// in the sector after the one before it ends, one of them across the boundary of the RAW search's
// 4 MiB blocks, and two cut short. The complete scan of the scan driver must find each under its
// type's folder with the name its analyser gives, recover it with the length the analyser's rule
// yields for it, starting with the original's bytes, and take every byte from the file's offset.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"

namespace {

constexpr u64 kSector = 512;
constexpr u64 kMiB = 1024 * 1024;
constexpr u64 kBlock = 4 * kMiB;
constexpr u64 kDiskBytes = 8 * kMiB;

enum class Length {
    Exact,         // the format gives its end: the original's length, plus `bytes` where the end
                   // marker's rule counts differently
    WholeSectors,  // the original's length rounded up to whole sectors
    KeptSectors,   // the end is found where the disk's copy stops: its kept part in whole sectors
    Stated,        // the analyser's own rule stops elsewhere: `bytes` is the length
    ToDiskEnd,     // no end marker: the search runs to the end of the disk
};

enum class Place {
    Run,       // laid in the sector after the previous file's last byte
    Crossing,  // in the run, and the run is laid so that this file's middle is the block boundary
    Alone,     // at `at`, with zeros after it
};

struct Sample {
    const char* file;    // in the samples folder
    const char* folder;  // the type's description
    const char* name;    // the recovered file's name
    Length length;
    i64 bytes = 0;
    Place place = Place::Run;
    u64 at = 0;       // Place::Alone
    size_t kept = 0;  // nonzero: only this many bytes of the file are on the disk
};

const Sample kSamples[] = {
    {"sample.png", "Portable Network Graphic file", "Morvenda_000.PNG", Length::Exact},
    {"sample.gif", "GIF graphics file", "Morvenda_000.GIF", Length::Exact},
    {"sample.ico", "Icon file", "Morvenda_000.ICO", Length::Exact},
    {"sample.psd", "Adobe Photoshop file", "Morvenda_000.PSD", Length::Exact},
    {"plain.tif", "Tagged Image File", "Morvenda_000.TIF", Length::Exact},
    // Named after the model its directory states, read past the block boundary.
    {"camera.tif", "Tagged Image File", "Field Camera001.TIF", Length::Exact, 0, Place::Crossing},
    {"font.ttf", "True Type Font file", "Morvenda_000.TTF", Length::Exact},
    // The binary EPS header gives the end of its TIFF preview.
    {"preview.eps", "Encapsulated Postscript file", "Morvenda_000.EPS", Length::Exact},
    // "%%EOF" and "\n</svg>" are counted with a two-byte line end where the files have one.
    {"document.pdf", "Adobe Portable Document", "Morvenda_000.PDF", Length::Exact, 1},
    {"outline.svg", "ScalableVectorGraphics", "Morvenda_000.SVG", Length::Exact, 1},
    // The RTF ends with its last closing brace, before the line feed after it.
    {"letter.rtf", "Rich Text Document", "Morvenda_000.RTF", Length::Exact, -1},
    {"table.html", "HTML Documents file", "Morvenda_000.HTM", Length::WholeSectors},
    {"plan.dxf", "AutoCad DX File", "Morvenda_000.DXF", Length::Exact},
    // The walk stops at the first zero block, 512 bytes past the last member's data, before the
    // rest of the archive's 10240-byte record.
    {"bundle.tar", "TAR archive file", "Morvenda_000.TAR", Length::Stated, 17408},
    // Named after the member name of its header; ends with the first sector whose last eight
    // bytes are zero.
    {"ledger.csv.gz", "GZIP compression file", "ledger.csv000.GZ", Length::WholeSectors},
    // The archive's final zero byte is not counted, whatever the members' header level.
    {"level1.lzh", "LZH compression file", "Morvenda_000.LZH", Length::Exact, -1},
    {"level2.lzh", "LZH compression file", "Morvenda_001.LZH", Length::Exact, -1},
    // Cut short: the font's table directory still states the whole length, which comes back
    // with zeros past what the disk kept; the gzip member ends in the sector where it was cut.
    {"font.ttf", "True Type Font file", "Morvenda_001.TTF", Length::Exact, 0, Place::Alone, 6 * kMiB, 3000},
    {"ledger.csv.gz", "GZIP compression file", "ledger.csv001.GZ", Length::KeptSectors, 0, Place::Alone,
     6 * kMiB + 64 * 1024, 2300},
    // A text EPS without the end comment of its creator runs to the end of the disk.
    {"outline.eps", "Encapsulated Postscript file", "Morvenda_001.EPS", Length::ToDiskEnd, 0, Place::Alone,
     kDiskBytes - 8 * 1024},
};

u64 RoundUp(u64 n) { return (n + kSector - 1) / kSector * kSector; }

struct Scan {
    std::unique_ptr<testutil::TempDir> tmp;
    std::vector<e2e::PlantedFile> files;  // as kSamples
    std::vector<u8> disk;
    std::string out;
    int exitCode = -1;
};

// Lays the samples out and runs one complete scan for every row.
const Scan& CompleteScan() {
    static const Scan scan = [] {
        Scan s;
        s.tmp = std::make_unique<testutil::TempDir>();
        u64 next = 0;
        u64 crossing = 0;
        for (const Sample& sample : kSamples) {
            e2e::PlantedFile f{testutil::ReadFileBytes(std::string(MORVENDA_RAW_SAMPLES_DIR) + "/" + sample.file),
                               sample.at, sample.kept};
            if (sample.place != Place::Alone) {
                if (sample.place == Place::Crossing) crossing = next + f.bytes.size() / 2 / kSector * kSector;
                f.offset = next;
                next = RoundUp(next + f.bytes.size());
            }
            s.files.push_back(std::move(f));
        }
        // The run is laid out from 0 above; it moves so that the crossing file's middle sector
        // begins the second block.
        for (size_t i = 0; i < s.files.size(); ++i) {
            if (kSamples[i].place != Place::Alone) s.files[i].offset += kBlock - crossing;
        }
        const std::string image = s.tmp->File("samples.img");
        if (!e2e::WritePlantedImage(image, s.files, kDiskBytes)) return s;
        s.out = s.tmp->File("recovered");
        const std::string cwd = s.tmp->File("cwd");
        mkdir(cwd.c_str(), 0755);
        s.exitCode = e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", s.out},
                                    cwd, s.tmp->File("driver.log"));
        s.disk = testutil::ReadFileBytes(image);
        return s;
    }();
    return scan;
}

class CarveSamplesE2E : public ::testing::TestWithParam<size_t> {};

TEST_P(CarveSamplesE2E, FoundTypedNamedSizedAndRecoveredFromItsOffset) {
    const Scan& scan = CompleteScan();
    ASSERT_EQ(scan.exitCode, 0);
    const Sample& sample = kSamples[GetParam()];
    const e2e::PlantedFile& file = scan.files[GetParam()];
    ASSERT_GT(file.bytes.size(), kSector) << sample.file << ": the samples are more than a sector long";
    if (sample.place == Place::Crossing) {
        ASSERT_LT(file.offset, kBlock);
        ASSERT_GT(file.offset + file.bytes.size(), kBlock);
    }
    const u64 size = file.bytes.size();
    u64 length = 0;
    switch (sample.length) {
        case Length::Exact: length = u64(i64(size) + sample.bytes); break;
        case Length::WholeSectors: length = RoundUp(size); break;
        case Length::KeptSectors: length = RoundUp(file.Kept()); break;
        case Length::Stated: length = u64(sample.bytes); break;
        case Length::ToDiskEnd: length = kDiskBytes - file.offset; break;
    }
    e2e::ExpectCarved(e2e::LostFilePath(scan.out, sample.folder, sample.name), file, length, scan.disk);
}

INSTANTIATE_TEST_SUITE_P(ToolMadeSamples, CarveSamplesE2E, ::testing::Range<size_t>(0, std::size(kSamples)),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             const Sample& s = kSamples[info.param];
                             std::string name;
                             for (const char* c = s.file; *c; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name.push_back(*c);
                             }
                             return name + (s.kept ? "CutShort" : "");
                         });

}  // namespace
