#include "raw/FileCompoundAnalysers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/AnalyserTables.h"
#include "raw/WindowBytes.h"

namespace {

// ---------------------------------------------------------------- compound files

constexpr u8 kCompoundSignatureRest[4] = {0xA1, 0xB1, 0x1A, 0xE1};
constexpr u32 kUnit = 512;
constexpr u32 kFirstDirectoryAt = 48;
constexpr u32 kFirstDifatAt = 68;
constexpr u32 kHeaderDifatAt = 76;
constexpr u32 kHeaderDifatEntries = 109;
constexpr u32 kDifatEntries = 127;
constexpr u32 kFatEntriesPerSector = 128;
constexpr u32 kFreeSector = 0xFFFFFFFFu;
constexpr u32 kEndOfChain = 0xFFFFFFFEu;
// A chain this long already describes far more than the largest file a walk may reach.
constexpr u32 kLongestDifatChain = 4096;
constexpr u32 kDirectoryEntries = 4;
constexpr u32 kDirectoryEntryBytes = 128;
constexpr u32 kDirectoryNameUnits = 32;
constexpr u32 kRootClassAt = 80;
constexpr u32 kClassIdBytes = 16;
constexpr u64 kUnreadableDirectoryLargest = 0xA00000;
constexpr u64 kSmallestCompoundFile = 6144;
constexpr u64 kVisioExtra = 0x400;

enum CompoundType : u32 {
    kTypeAdp = 3, kTypeDoc = 23, kTypeMpp = 47, kTypeMax = 37, kTypeMof = 41, kTypePpt = 52, kTypePub = 53,
    kTypeQpw = 57, kTypeShw = 61, kTypeVsd = 66, kTypeWpd = 68, kTypeWpg = 69, kTypeXls = 71,
};

// Reads 512-byte unit k of the file through the device's own sectors.
class UnitReader {
public:
    UnitReader(IStorageDevice* device, u64 firstSector) : m_device(device), m_first(firstSector) {
        const u32 s = device ? device->GetSectorSize() : 0;
        if (s >= kUnit && s % kUnit == 0) {
            m_perSector = s / kUnit;
            m_sector.resize(s);
        }
    }
    const u8* Read(u64 unit) {
        if (!m_device || m_perSector == 0) return nullptr;
        const u64 sector = unit / m_perSector;
        if (sector > ~u64(0) - m_first) return nullptr;
        if (m_device->Read(m_sector.data(), m_first + sector, 1) == 0) return nullptr;
        return m_sector.data() + (unit % m_perSector) * kUnit;
    }

private:
    IStorageDevice* m_device;
    u64 m_first;
    u32 m_perSector = 0;
    std::vector<u8> m_sector;
};

// A directory entry's UTF-16 name as narrow text (the names tested are all ASCII).
std::string EntryName(const u8* entry) {
    std::string name;
    for (u32 i = 0; i < kDirectoryNameUnits; ++i) {
        const u16 unit = ReadLE16(entry + 2 * i);
        if (unit == 0) break;
        name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return name;
}

u32 TypeFromDirectory(const u8* directory, u64& size) {
    std::array<std::string, kDirectoryEntries> n;
    for (u32 i = 0; i < kDirectoryEntries; ++i) n[i] = EntryName(directory + i * kDirectoryEntryBytes);
    u32 type = kTypeMof;
    for (const std::string& name : n) {
        if (name == "WordDocument" || name == "ObjectPool") type = kTypeDoc;
    }
    for (u32 i : {1u, 2u}) {
        if (n[i] == "Workbook" || n[i] == "Book") type = kTypeXls;
    }
    for (u32 i : {1u, 2u, 3u}) {
        if (n[i] == "PowerPoint Document") type = kTypePpt;
    }
    if (n[1].compare(0, 8, "Pictures") == 0 || n[1] == "PP40") type = kTypePpt;
    if (n[1] == "Scene") type = kTypeMax;
    if (n[1] == "VisioDocument") {
        type = kTypeVsd;
        size += kVisioExtra;
    }
    if (n[1] == "PerfectOffice_MAIN" && n[2] == "PerfectOffice_OBJECTS") {
        if (n[3] == "\x05SummaryInformation") {
            type = kTypeShw;
        } else {
            const u8* rootClass = directory + kRootClassAt;
            type = std::all_of(rootClass, rootClass + kClassIdBytes, [](u8 c) { return c == 0; }) ? kTypeWpg : kTypeWpd;
        }
    }
    if (n[1] == "Objects" && n[2] == "Quill" && n[3] == "Escher") type = kTypePub;
    if (n[1] == "NativeContent_MAIN") type = kTypeQpw;
    if (n[1] == "\x01" "CompObj" && ((n[2] == "   19" && n[3] == "   29") || (n[2] == "   112" && n[3] == "   212"))) {
        type = kTypeMpp;
    }
    if (n[1] == "PropData" && n[2] == "Forms" && n[3] == "Reports") return kTypeAdp;
    if (n[1] == "VBA" && n[2] == "VBAProject" && n[3] == "VBA") type = kTypeAdp;
    return type;
}

// ---------------------------------------------------------------- header-sized documents

constexpr u8 kCompoundSignature[4] = {0xD0, 0xCF, 0x11, 0xE0};
constexpr u64 kLowDocDirectoryExtra = 5;
constexpr u32 kWordTextEndAt = 292;
constexpr u32 kWordTailAt = 296;

constexpr const char* kMoneyText = "MSISAM Database";
constexpr u32 kMoneySize = 0x100000;

constexpr u8 kOneNoteIdRest[12] = {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3};
constexpr u32 kOneNoteSizeAt = 196;
constexpr u32 kOneNoteDefaultSize = 0x300000;
constexpr u32 kOneNoteLargestSize = 0x40000000;

struct WordPerfectKind {
    u8 product[4];
    u8 version[4];
    u32 type;
};
constexpr WordPerfectKind kWordPerfectKinds[] = {
    {{0x01, 0x0A, 0x02, 0x01}, {0x00, 0x02, 0x05, 0x00}, kTypeWpd},
    {{0x01, 0x16, 0x02, 0x00}, {0x00, 0x00, 0x03, 0x00}, kTypeWpg},
    {{0x0F, 0x0F, 0x01, 0x00}, {0x00, 0x00, 0x03, 0x00}, kTypeShw},
};
constexpr u32 kWordPerfectProductAt = 8;
constexpr u32 kWordPerfectVersionAt = 14;
constexpr u32 kWordPerfectSizeAt = 20;

constexpr u8 kDbxHeaders[][16] = {
    {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0xC6, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0xC7, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0x30, 0x9D, 0xFE, 0x26, 0x8F, 0x1A, 0xD2, 0x11, 0xAA, 0xBF, 0x00, 0x60},
};
constexpr u8 kDbxJmf6[8] = {'J', 'M', 'F', '6', 0x03, 0x00, 0x10, 0x00};
constexpr u32 kDbxSizeAt = 124;

constexpr u32 kHelpDirectoryAt = 4;
constexpr u32 kHelpSizeAt = 12;
constexpr u32 kHelpSmallest = 512;

}  // namespace

// ---------------------------------------------------------------- compound files

u32 FileOLEAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kCompoundSignatureRest, sizeof kCompoundSignatureRest) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileOLEAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    std::array<u8, kUnit> header{};
    {
        ScopedReadWindow w(reader, record.startSector);
        const u8* bytes = WindowBytes(w.window, 0, kUnit);
        if (!bytes) return 0;
        std::memcpy(header.data(), bytes, kUnit);
    }
    u64 fatSectors = 0;
    u32 lastFat = kFreeSector;
    for (u32 i = 0; i < kHeaderDifatEntries; ++i) {
        const u32 entry = ReadLE32(header.data() + kHeaderDifatAt + 4 * i);
        if (entry == kFreeSector) continue;
        ++fatSectors;
        lastFat = entry;
    }
    UnitReader units(reader, record.startSector);
    u32 difat = ReadLE32(header.data() + kFirstDifatAt);
    for (u32 chain = 0; difat != kEndOfChain && chain < kLongestDifatChain; ++chain) {
        const u8* sector = units.Read(u64(difat) + 1);
        if (!sector) return 0;
        for (u32 i = 0; i < kDifatEntries; ++i) {
            const u32 entry = ReadLE32(sector + 4 * i);
            if (entry == kFreeSector) continue;
            ++fatSectors;
            lastFat = entry;
        }
        const u32 next = ReadLE32(sector + 4 * kDifatEntries);
        if (next <= difat || next == kFreeSector || next == kEndOfChain) break;
        difat = next;
    }
    // Without a FAT sector the file describes nothing that could be recovered.
    if (fatSectors == 0) {
        record.size = 0;
        return 0;
    }
    u64 used = 0;
    if (lastFat != kFreeSector) {
        const u8* fat = units.Read(u64(lastFat) + 1);
        if (!fat) return 0;
        for (u32 i = kFatEntriesPerSector; i-- > 0;) {
            if (ReadLE32(fat + 4 * i) != kFreeSector) {
                used = i + 1;
                break;
            }
        }
    }
    u64 size = ((fatSectors - 1) * kFatEntriesPerSector + used + 1) * kUnit;
    const u8* directory = units.Read(u64(ReadLE32(header.data() + kFirstDirectoryAt)) + 1);
    if (!directory) {
        if (size > kUnreadableDirectoryLargest) return 0;
        record.fileType = kTypeMof;
        record.size = size;
        return 1;
    }
    const u32 type = TypeFromDirectory(directory, size);
    if (size < kSmallestCompoundFile) {
        record.size = 0;
        return 0;
    }
    record.fileType = type;
    record.size = size;
    return 1;
}

// ---------------------------------------------------------------- header-sized documents

u32 FileLowDocAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    if (std::memcmp(sector, kCompoundSignature, sizeof kCompoundSignature) == 0) {
        record.size = (u64(ReadLE32(sector + kFirstDirectoryAt)) + kLowDocDirectoryExtra) * kUnit;
    } else {
        const u64 end = u64(ReadLE32(sector + kWordTextEndAt)) + ReadLE16(sector + kWordTailAt);
        record.size = (end + kUnit - 1) / kUnit * kUnit;
    }
    return 1;
}

u32 FileMNYAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kMoneyText, std::strlen(kMoneyText)) != 0) return 0;
    record.fileType = kType;
    record.size = kMoneySize;
    return 1;
}

u32 FileONEAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kOneNoteIdRest, sizeof kOneNoteIdRest) != 0) return 0;
    const u32 size = ReadLE32(sector + kOneNoteSizeAt);
    record.fileType = kType;
    record.size = size == 0 || size > kOneNoteLargestSize ? kOneNoteDefaultSize : size;
    return 1;
}

u32 FileWPDAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    for (const WordPerfectKind& kind : kWordPerfectKinds) {
        if (std::memcmp(sector + kWordPerfectProductAt, kind.product, 4) == 0 &&
            std::memcmp(sector + kWordPerfectVersionAt, kind.version, 4) == 0) {
            record.fileType = kind.type;
            record.size = ReadLE32(sector + kWordPerfectSizeAt);
            return 1;
        }
    }
    return 0;
}

u32 FileDBXAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    bool known = std::memcmp(sector, kDbxJmf6, sizeof kDbxJmf6) == 0;
    for (const auto& header : kDbxHeaders) known = known || std::memcmp(sector, header, sizeof header) == 0;
    if (!known) return 0;
    record.fileType = kType;
    record.size = ReadLE32(sector + kDbxSizeAt);
    return 1;
}

u32 FileHLPAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    const u32 size = ReadLE32(sector + kHelpSizeAt);
    if (size < kHelpSmallest || size < ReadLE32(sector + kHelpDirectoryAt)) return 0;
    record.fileType = kType;
    record.size = size;
    return 1;
}

IRawFileAnalyser* CreateCompoundAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::OLE: return new FileOLEAnalyser();
        case RawAnalyserClass::LowDoc: return new FileLowDocAnalyser();
        case RawAnalyserClass::MNY: return new FileMNYAnalyser();
        case RawAnalyserClass::ONE: return new FileONEAnalyser();
        case RawAnalyserClass::WPD: return new FileWPDAnalyser();
        case RawAnalyserClass::DBX: return new FileDBXAnalyser();
        case RawAnalyserClass::HLP: return new FileHLPAnalyser();
        default: return nullptr;
    }
}
