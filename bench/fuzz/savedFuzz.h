#pragma once
// The saved-result roads of the fuzzing: a real result's three sections (folder list, volume with
// its disk-identification block, the trees of a quick search over a fixture) damaged in their
// logical content, or written and then damaged in their stored form (chunk headers, compressed
// chunks, chunks forged to inflate to one value and repeated, section lengths), and loaded
// through the loaders the import runs. Every load must either succeed or fail with a
// stream code; a loaded tree is walked and freed. Header-only: the harness and the smoke test
// share it.
#include <memory>
#include <string>
#include <vector>

#include "bench/fuzz/devFuzzCommon.h"
#include "bench/fuzz/devFuzzStream.h"
#include "devices/ImageFileDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/RSData.h"
#include "engine/SavedResult.h"
#include "tests/support/CompressedImage.h"
#include "tests/support/LdmGroup.h"
#include "devices/LdmDatabase.h"

namespace savedfuzz {

struct Sections {
    std::vector<u8> folders;
    std::vector<u8> volume;
    std::vector<u8> trees;
};

// The sections of a result whose trees are the quick-search tree of `image`.
inline Sections SeedSections(const std::string& image, std::unique_ptr<IQuickFileSystemSearchController> search) {
    Sections out;
    testutil::ImageDevice device(image, 512);
    if (!device.IsOpen()) return out;
    testutil::SilentTree consumer;
    testutil::AcceptAllFilter filter;
    devfuzz::QuietProgress progress;
    IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
    builder->Init("Volume", &consumer, &filter, kBuilderQuickMode, &device, 0);
    search->SetDirectoryTreeBuilder(builder);
    search->Search(&device, &progress);
    builder->FinishSearch();
    builder->FinishBuild();
    CFileSystemNode* root = static_cast<CDirectoryTreeBuilder*>(builder)->GetQuickTree()->GetRoot();
    if (root) {
        testutil::MemoryStream trees;
        FooDIRBuildCallback none;
        SaveScanTrees({root, root}, &trees, &none);
        out.trees = trees.bytes;
    }
    search.reset();
    builder->Release();

    testutil::MemoryStream folders;
    const std::string list = "/home/user/Pictures/;/srv/share/;";
    folders.WriteU32(static_cast<u32>(list.size()));
    folders.Write(list.data(), static_cast<u32>(list.size()));
    out.folders = folders.bytes;

    VolumeRecord record;
    record.fsCode = kFsNtfs;
    record.SetLabel("Fuzz");
    record.AddExtent(2048, 65536, StoredDiskPlaceholder());
    u8 stored[kVolumeRecordSize];
    StoreVolumeRecord(record, stored);
    testutil::MemoryStream volume;
    volume.Write(stored, kVolumeRecordSize);
    std::vector<u8> block(kDiskIdentificationSize, 0);
    for (size_t i = 0; i < 512; ++i) block[kDiskIdentificationSectorOffset + i] = static_cast<u8>(i * 7);
    volume.Write(block.data(), kDiskIdentificationSize);
    out.volume = volume.bytes;
    return out;
}

struct Outcome {
    bool foldersRead = false;
    bool volumeRead = false;
    u32 roots = 0;
    u64 nodes = 0;
    u32 failures = 0;  // loaders that ended with a stream code
};

inline void WriteResult(const std::string& path, const Sections& s, devfuzz::Rng& rng, bool damageStored) {
    {
        CRSDataEx w(1);
        if (!w.Open(path.c_str(), 1)) std::abort();
        w.WriteHeader(MakeScanResultHeader(kSavedResultVersion));
        const std::pair<const MGUID*, const std::vector<u8>*> order[] = {
            {&kSavedFolderListSection, &s.folders}, {&kSavedVolumeSection, &s.volume}, {&kSavedTreesSection, &s.trees}};
        for (const auto& [id, bytes] : order) {
            w.BeginSection(*id);
            if (!bytes->empty()) w.Write(bytes->data(), static_cast<u32>(bytes->size()));
            w.EndSection();
        }
        w.Close();
    }
    if (!damageStored) return;
    CWin32File f;
    f.Open(path.c_str(), CWin32File::kModeOpenAlways);
    u64 size = 0;
    if (!f.GetSize(&size) || size <= sizeof(ScanResultHeader)) return;
    std::vector<u8> bytes(static_cast<size_t>(size));
    f.Seek(0);
    f.Read(bytes.data(), static_cast<u32>(bytes.size()));
    devfuzz::MutateBytes(rng, bytes.data() + sizeof(ScanResultHeader), bytes.size() - sizeof(ScanResultHeader));
    f.Seek(0);
    f.Write(bytes.data(), static_cast<u32>(bytes.size()));
    f.Close();
}

// Loads the three sections as the import does, each on its own so that one damaged section does
// not hide the others.
inline Outcome LoadResult(const std::string& path) {
    Outcome out;
    CRSDataEx r(0);
    if (!r.Open(path.c_str(), 0)) return out;
    try {
        (void)ReadFolderList(&r);
        out.foldersRead = true;
    } catch (const IRSException&) {
        ++out.failures;
    }
    try {
        std::vector<std::unique_ptr<ReopenedImageVolume>> images;
        (void)ReadDeviceList(&r, {}, images);
        out.volumeRead = true;
    } catch (const IRSException&) {
        ++out.failures;
    }
    std::vector<CFileSystemNode*> roots;
    try {
        FooDIRBuildCallback none;
        LoadScanTrees(&r, roots, &none);
    } catch (const IRSException&) {
        ++out.failures;
        if (!roots.empty()) std::abort();  // a failed load hands nothing back
    }
    for (CFileSystemNode* root : roots) {
        ++out.roots;
        root->RecountStatistics();
        SelectionStatistics stats;
        root->GetStatistics(&stats);
        std::vector<CFileNode*> all{root};
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i]->GetFileProperties()) devfuzz::ExerciseProperties(all[i]->GetFileProperties());
            for (CFileNode* c = all[i]->GetFirstChild(); c; c = c->GetNextSibling()) all.push_back(c);
        }
        out.nodes += all.size();
        DestroySavedTree(root);
    }
    return out;
}

// One round: one or more sections damaged in their content, written, loaded.
inline Outcome FuzzSections(devfuzz::Rng& rng, const Sections& seed, const std::string& path) {
    Sections s = seed;
    std::vector<u8>* parts[] = {&s.folders, &s.volume, &s.trees};
    const u32 damaged = 1 + static_cast<u32>(rng.Below(3));
    for (u32 i = 0; i < damaged; ++i) {
        std::vector<u8>& part = *parts[rng.Below(3)];
        if (rng.OneIn(5) && !part.empty()) {
            part.resize(rng.Below(part.size()));  // cut short
        } else {
            devfuzz::MutateStream(rng, part, 1 + static_cast<u32>(rng.Below(6)));
        }
    }
    WriteResult(path, s, rng, rng.OneIn(6));
    return LoadResult(path);
}

// ---- the stored chunks ----

// The stored form of a saved result, split where the stream splits it: the file header, and per
// section its header and its chunks (each with its two-byte header).
struct StoredFile {
    std::vector<u8> header;
    struct Section {
        std::vector<u8> header;
        std::vector<std::vector<u8>> chunks;
        std::vector<u8> tail;  // bytes after the last whole chunk (none in an intact file)
    };
    std::vector<Section> sections;
};

constexpr size_t kSectionLengthAt = 32;
constexpr u16 kStoredCompressed = 0x8000;
constexpr u16 kStoredLengthMask = 0x0FFF;
// Five bytes each: a file of up to 5 MB that once vouched for up to 4 GiB of data.
constexpr u64 kMostHollowChunks = 1000000;
// Three bytes flagged compressed that are no zlib stream.
constexpr u8 kHollowChunk[] = {0x02, 0x80, 0xFF, 0xFF, 0xFF};

inline StoredFile SplitStored(const std::vector<u8>& file) {
    StoredFile out;
    const size_t headerSize = sizeof(ScanResultHeader), sectionHeader = sizeof(ScanResultSectionHeader);
    out.header.assign(file.begin(), file.begin() + static_cast<long>(std::min(file.size(), headerSize)));
    size_t p = headerSize;
    while (p + sectionHeader <= file.size()) {
        StoredFile::Section section;
        section.header.assign(file.begin() + static_cast<long>(p), file.begin() + static_cast<long>(p + sectionHeader));
        const size_t end = std::min(file.size(), p + sectionHeader + ReadLE32(section.header.data() + kSectionLengthAt));
        p += sectionHeader;
        while (p + 2 <= end) {
            const size_t length = 2 + (ReadLE16(file.data() + p) & kStoredLengthMask) + 1;
            if (p + length > end) break;
            section.chunks.emplace_back(file.begin() + static_cast<long>(p), file.begin() + static_cast<long>(p + length));
            p += length;
        }
        section.tail.assign(file.begin() + static_cast<long>(p), file.begin() + static_cast<long>(end));
        p = end;
        out.sections.push_back(std::move(section));
    }
    return out;
}

// Joins the pieces again; each section header states the length of what follows it unless
// `keepLengths` (then a damaged length stays as it was made).
inline std::vector<u8> JoinStored(StoredFile& stored, bool keepLengths) {
    std::vector<u8> out = stored.header;
    for (StoredFile::Section& section : stored.sections) {
        size_t length = section.tail.size();
        for (const auto& c : section.chunks) length += c.size();
        if (!keepLengths) WriteLE32(section.header.data() + kSectionLengthAt, static_cast<u32>(length));
        out.insert(out.end(), section.header.begin(), section.header.end());
        for (const auto& c : section.chunks) out.insert(out.end(), c.begin(), c.end());
        out.insert(out.end(), section.tail.begin(), section.tail.end());
    }
    return out;
}

// The stored chunk the stream writes for one chunk of data (compressed when that is smaller),
// made by the stream's own writer in a scratch file.
inline std::vector<u8> StoredChunkOf(const std::vector<u8>& data, const std::string& scratch) {
    {
        CRSDataEx w(1);
        if (!w.Open(scratch.c_str(), 1)) std::abort();
        w.WriteHeader(MakeScanResultHeader(kSavedResultVersion));
        w.BeginSection(kSavedTreesSection);
        w.Write(data.data(), static_cast<u32>(data.size()));
        w.EndSection();
        w.Close();
    }
    const StoredFile f = SplitStored(testutil::ReadImageFile(scratch));
    if (f.sections.size() != 1 || f.sections[0].chunks.size() != 1) std::abort();
    return f.sections[0].chunks[0];
}

// A chunk of data that inflates from a few bytes to a whole chunk: one value over and over, so
// that every count and length read from it is that value. Small files full of these are what
// once made loads allocate gigabytes.
inline std::vector<u8> ForgedChunk(devfuzz::Rng& rng, const std::string& scratch) {
    std::vector<u8> data(CRSDataEx::kChunkSize);
    const u32 width = rng.OneIn(2) ? 4 : 8;
    // A telling value, or any 32-bit one: a length of a few hundred megabytes is what a file of
    // hollow chunks would once have vouched for.
    const u64 value = rng.OneIn(2) ? devfuzz::InterestingValue(rng, 0x7FFFFFFF, width) : rng.Next() & 0xFFFFFFFFull;
    for (size_t i = 0; i + width <= data.size(); i += width) devfuzz::WriteField(data.data() + i, width, value);
    return StoredChunkOf(data, scratch);
}

// One round: a real result written, then damaged in its stored form: chunk headers (the
// compressed flag, the length), the compressed bytes of a chunk, chunks forged to inflate to one
// value, repeated or dropped, section lengths; then loaded as the import does.
inline Outcome FuzzStoredChunks(devfuzz::Rng& rng, const Sections& seed, const std::string& path,
                                const std::string& scratch) {
    WriteResult(path, seed, rng, false);
    StoredFile stored = SplitStored(testutil::ReadImageFile(path));
    if (stored.sections.empty()) std::abort();
    bool keepLengths = false;
    const u32 rounds = 1 + static_cast<u32>(rng.Below(4));
    for (u32 r = 0; r < rounds; ++r) {
        StoredFile::Section& section = stored.sections[rng.Below(stored.sections.size())];
        auto& chunks = section.chunks;
        const u64 what = rng.Below(7);
        if (chunks.empty() || what == 6) {
            // The section's stated length.
            keepLengths = true;
            u8* field = section.header.data() + kSectionLengthAt;
            devfuzz::WriteField(field, 4, devfuzz::InterestingValue(rng, devfuzz::ReadField(field, 4), 4));
            continue;
        }
        std::vector<u8>& chunk = chunks[rng.Below(chunks.size())];
        if (what == 0) {
            // The compressed flag turned over, or the length given a telling value; the chunks
            // after it are then read from the wrong place.
            u16 header = ReadLE16(chunk.data());
            header = rng.OneIn(2) ? static_cast<u16>(header ^ kStoredCompressed)
                                  : static_cast<u16>(devfuzz::InterestingValue(rng, header, 2));
            WriteLE16(chunk.data(), header);
        } else if (what == 1) {
            // The compressed bytes themselves (the zlib header, the deflate data, the checksum).
            if (chunk.size() > 2) devfuzz::MutateBytes(rng, chunk.data() + 2, chunk.size() - 2);
        } else if (what == 2) {
            chunk.resize(2 + rng.Below(chunk.size() - 1));  // cut short
        } else if (what == 3) {
            chunk = ForgedChunk(rng, scratch);
        } else if (what == 4) {
            // A forged chunk, then more of it (a small file whose data is one value), or a great
            // many chunks of a few bytes flagged compressed that inflate to nothing: those must
            // not vouch for data they do not hold when the value is read as a length. Lengths
            // and counts open the sections, so the run goes to the start as often as not.
            const std::vector<u8> forged = ForgedChunk(rng, scratch);
            std::vector<std::vector<u8>> run(1, forged);
            if (rng.OneIn(2)) {
                // Held as one piece: the stored bytes are all that counts, and a million pieces
                // would cost the harness more memory than the load it tests.
                std::vector<u8> hollow;
                const u64 count = 1 + rng.Below(kMostHollowChunks);
                hollow.reserve(count * sizeof kHollowChunk);
                for (u64 i = 0; i < count; ++i) hollow.insert(hollow.end(), std::begin(kHollowChunk), std::end(kHollowChunk));
                run.push_back(std::move(hollow));
            } else {
                run.insert(run.end(), rng.Below(2000), forged);
            }
            const size_t at = rng.OneIn(2) ? 0 : rng.Below(chunks.size() + 1);
            chunks.insert(chunks.begin() + static_cast<long>(at), run.begin(), run.end());
        } else {
            // A chunk repeated or dropped.
            const size_t at = rng.Below(chunks.size());
            if (rng.OneIn(2)) {
                const std::vector<u8> copy = chunks[at];
                chunks.insert(chunks.begin() + static_cast<long>(at), 1 + rng.Below(8), copy);
            } else {
                chunks.erase(chunks.begin() + static_cast<long>(at));
            }
        }
    }
    if (!testutil::WriteImageFile(path, JoinStored(stored, keepLengths))) std::abort();
    return LoadResult(path);
}

// ---- compressed disk images ----

// The files of a small compressed image, kept in memory and written again for every round.
struct ImageSeed {
    std::string index;  // where the index is written; the parts and the list lie beside it
    std::vector<std::vector<u8>> files;  // index, part list, parts
    std::vector<std::string> paths;
};

// A 3 MiB image of the start of `raw` in three zlib parts (some blocks kept raw) at `index`.
inline ImageSeed MakeImageSeed(const std::vector<u8>& raw, const std::string& index, u32 compression) {
    ImageSeed seed;
    seed.index = index;
    std::vector<u8> sample(raw.begin(), raw.begin() + static_cast<long>(std::min<size_t>(raw.size(), 3u << 20)));
    if (!testutil::WriteCompressedImage(sample, index, {compression, 512, 3, 5})) return seed;
    seed.paths = {index, CImageFile::PartListPath(index)};
    for (u32 p = 0; p < 3; ++p) seed.paths.push_back(index + ".part" + std::to_string(p));
    for (const std::string& path : seed.paths) seed.files.push_back(testutil::ReadImageFile(path));
    return seed;
}

struct ImageOutcome {
    bool opened = false;
    bool complete = false;
    bool readAll = false;
};

// Damages the index (header and block table most often), the part list or a part, then opens
// the image and reads all of it.
inline ImageOutcome FuzzImage(devfuzz::Rng& rng, const ImageSeed& seed) {
    std::vector<std::vector<u8>> files = seed.files;
    const u32 rounds = 1 + static_cast<u32>(rng.Below(4));
    for (u32 r = 0; r < rounds; ++r) {
        const u64 pick = rng.Below(10);
        std::vector<u8>& f = pick < 6 ? files[0] : pick < 8 ? files[1] : files[2 + rng.Below(files.size() - 2)];
        if (f.empty()) continue;
        if (pick < 6 && rng.OneIn(2)) {
            // A header field or a block-table entry given a telling value.
            const size_t fieldCount = f.size() / 4;
            const size_t at = 4 * (rng.OneIn(2) ? 64 + rng.Below(8) : rng.Below(fieldCount));
            devfuzz::WriteField(f.data() + at, 4, devfuzz::InterestingValue(rng, devfuzz::ReadField(f.data() + at, 4), 4));
        } else if (rng.OneIn(6)) {
            f.resize(rng.Below(f.size()));
        } else {
            devfuzz::MutateBytes(rng, f.data(), f.size());
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (!testutil::WriteImageFile(seed.paths[i], files[i])) std::abort();
    }
    ImageOutcome out;
    CImageFileDeviceWithDecompress image(seed.index.c_str());
    out.complete = image.CheckImageFiles();
    const u64 total = image.GetTotalSectors();
    out.opened = total != 0;
    // The header decides the sector size, so the whole image is read in bounded pieces.
    const u32 ss = image.GetSectorSize();
    if (ss < 512 || ss > 4096 || total > (64u << 20) / 512) return out;
    std::vector<u8> buffer(256ull * ss);
    out.readAll = out.opened;
    for (u64 s = 0; s < total; s += 256) {
        const u64 n = std::min<u64>(256, total - s);
        if (image.Read(buffer.data(), s, n) != 1) out.readAll = false;
    }
    return out;
}

// ---- LDM databases ----

// The VBLK area of the tests' disk group (five volumes over three disks), padded to whole sectors.
inline std::vector<u8> LdmSeedArea() {
    std::vector<ldmtest::Disk> disks = {{"", false, 200704, true}, {"", true, 137216, false}, {"", false, 180224, false}};
    std::vector<ldmtest::Volume> volumes;
    for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) {
        ldmtest::Volume v;
        v.name = s.name;
        v.layout = s.layout;
        v.members = s.members;
        v.partitionType = s.partitionType;
        volumes.push_back(std::move(v));
    }
    std::vector<u8> area = ldmtest::GroupWriter(disks, volumes).Records();
    area.resize((area.size() + 511) / 512 * 512, 0);
    return area;
}

struct LdmOutcome {
    size_t records = 0;
    size_t volumes = 0;
    size_t complete = 0;
};

// Damages the area (bytes, and whole slots moved or repeated so that fragments meet out of order
// and ids repeat), then joins, parses and links it; every link must point inside its list.
inline LdmOutcome FuzzLdm(devfuzz::Rng& rng, const std::vector<u8>& seed) {
    std::vector<u8> area = seed;
    const size_t slots = area.size() / kVblkSize;
    const u32 rounds = 1 + static_cast<u32>(rng.Below(4));
    for (u32 r = 0; r < rounds; ++r) {
        const u64 what = rng.Below(4);
        const size_t a = rng.Below(slots) * kVblkSize;
        const size_t b = rng.Below(slots) * kVblkSize;
        if (what == 0) {
            std::swap_ranges(area.begin() + static_cast<long>(a), area.begin() + static_cast<long>(a + kVblkSize),
                             area.begin() + static_cast<long>(b));
        } else if (what == 1) {
            std::copy_n(area.begin() + static_cast<long>(a), kVblkSize, area.begin() + static_cast<long>(b));
        } else if (what == 2) {
            // A header field (group, index, count, flags, type, length) given a telling value.
            static const u32 fields[][2] = {{8, 4}, {12, 2}, {14, 2}, {18, 1}, {19, 1}, {20, 4}};
            const auto& f = fields[rng.Below(6)];
            devfuzz::WriteField(area.data() + a + f[0], f[1],
                                devfuzz::InterestingValue(rng, devfuzz::ReadField(area.data() + a + f[0], f[1]), f[1]));
        } else {
            devfuzz::MutateBytes(rng, area.data() + a, kVblkSize);
        }
    }
    LdmOutcome out;
    const std::vector<std::vector<u8>> records = ParseVblkRecords(area.data(), area.size());
    out.records = records.size();
    const LdmDatabase db = BuildDatabase(records, rng.OneIn(4) ? 4096 : 512);
    out.volumes = db.volumes.size();
    for (const LdmVolumeRecord& v : db.volumes) {
        for (size_t k : v.components) {
            if (k >= db.components.size()) std::abort();
            for (size_t p : db.components[k].partitions) {
                if (p >= db.partitions.size()) std::abort();
                const i32 d = db.partitions[p].disk;
                if (d >= static_cast<i32>(db.disks.size())) std::abort();
            }
        }
        out.complete += IsVolumeComplete(db, v) ? 1 : 0;
    }
    return out;
}

}  // namespace savedfuzz
