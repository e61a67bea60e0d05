#include "raw/ArchiveRecords.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace {

enum RarBlockType : u8 {
    kRarMarker = 0x72, kRarArchive = 0x73, kRarFile = 0x74, kRarComment = 0x75, kRarAuthenticity = 0x76,
    kRarSubBlock = 0x77, kRarRecovery = 0x78, kRarNewSub = 0x7A, kRarEnd = 0x7B,
};
constexpr size_t kRarBaseHeader = 7;
constexpr size_t kRarTypeAt = 2;
constexpr size_t kRarHeaderSizeAt = 5;
constexpr size_t kRarDataSizeAt = 7;
constexpr size_t kRarUnpackedAt = 11;
constexpr size_t kRarHostAt = 15;
constexpr size_t kRarSubBlockFlagAt = 13;
constexpr u8 kRarHostLimit = 5;
constexpr u16 kRarLongHeader = 10;

constexpr size_t kZipLocalFixed = 30;
constexpr size_t kZipCentralFixed = 46;
constexpr size_t kZipEndFixed = 22;
constexpr u16 kZipMethodLimit = 11;
constexpr u16 kZipNameLimit = 1041;

constexpr size_t kPlistLook = 1024;
constexpr size_t kStylesheetLook = 256;
constexpr size_t kMimetypeLook = 64;

bool Contains(std::string_view haystack, std::string_view needle) { return haystack.find(needle) != std::string_view::npos; }

// The office names, tested on central and local records alike.
void OfficeType(std::string_view name, u32& type) {
    if (name == "word/_rels/document.xml.rels") type = kZipDocx;
    else if (name == "xl/_rels/workbook.xml.rels") type = kZipXlsx;
    else if (name == "ppt/_rels/presentation.xml.rels") type = kZipPptx;
    else if (name.size() > 4 && name.substr(0, 4) == "word") type = kZipDocx;
}

// The iWork and e-book names, whose stored content after the name tells the type.
void PackageType(std::string_view name, std::string_view after, u32& type) {
    const bool pagesOrKey = type == kZipPages || type == kZipKey;
    if (!pagesOrKey && Contains(name, "numbers/")) {
        type = kZipNumbers;
    } else if (name == "Index/Slide1.iwa" || name == "Index/Slide2.iwa" || name == "index.apxl") {
        type = kZipKey;
    } else if (!pagesOrKey && name == "buildVersionHistory.plist") {
        const std::string_view look = after.substr(0, kPlistLook);
        if (Contains(look, "<string>numbers-trunk")) type = kZipNumbers;
        else if (Contains(look, "<string>pages-trunk")) type = kZipPages;
        else type = kZipNumbers;
    } else if (type != kZipPages && name == "Index/DocumentStylesheet.iwa") {
        const std::string_view look = after.substr(0, kStylesheetLook);
        type = Contains(look, "layout-style-") || Contains(look, "imported-paragraph-style-") ? kZipPages : kZipNumbers;
    } else if (type != kZipPages && type != kZipNumbers && name == "mimetype") {
        if (Contains(after.substr(0, kMimetypeLook), "application/epub+")) type = kZipEpub;
    }
}

}  // namespace

bool RarBlockIsValid(const u8* block, size_t length) {
    if (!block || length < kRarBaseHeader) return false;
    switch (block[kRarTypeAt]) {
        case kRarArchive: case kRarComment: case kRarAuthenticity: case kRarRecovery: case kRarNewSub: case kRarEnd:
            return true;
        case kRarFile:
            return length > kRarHostAt && ReadLE32(block + kRarDataSizeAt) <= ReadLE32(block + kRarUnpackedAt) &&
                   block[kRarHostAt] < kRarHostLimit;
        case kRarSubBlock:
            return length > kRarSubBlockFlagAt && block[kRarSubBlockFlagAt] == 0;
        default:
            return false;
    }
}

bool RarBlockSize(const u8* block, size_t length, u64& size) {
    if (!RarBlockIsValid(block, length)) return false;
    const u8 type = block[kRarTypeAt];
    const u16 header = ReadLE16(block + kRarHeaderSizeAt);
    if (header < kRarBaseHeader || type < kRarMarker || type > kRarEnd) return false;
    const bool hasDataSize = type == kRarFile || type == kRarSubBlock || type == kRarComment || type == kRarRecovery ||
                             type == kRarNewSub || type == kRarEnd;
    if (hasDataSize && length < kRarDataSizeAt + 4) return false;
    switch (type) {
        case kRarArchive:
            if (header < kRarLongHeader) return false;
            size = header;
            return true;
        case kRarFile: case kRarSubBlock:
            size = u64(header) + ReadLE32(block + kRarDataSizeAt);
            return true;
        case kRarComment:
            size = u64(header) + ReadLE16(block + kRarDataSizeAt);
            return true;
        case kRarAuthenticity:
            size = header;
            return true;
        case kRarRecovery: case kRarNewSub: case kRarEnd:
            if (header < kRarLongHeader) return false;
            size = u64(header) + ReadLE32(block + kRarDataSizeAt);
            return true;
        default:
            return false;
    }
}

bool ZipRecordIsValid(const u8* record, size_t length) {
    if (!record || length < 4) return false;
    switch (ReadLE32(record)) {
        case kZipCentralHeader: case kZipEndOfCentral: return true;
        case kZipLocalHeader:
            return length >= kZipLocalFixed && ReadLE16(record + 8) < kZipMethodLimit &&
                   ReadLE16(record + 26) < kZipNameLimit;
        default: return false;
    }
}

bool ZipRecordLength(const u8* record, size_t length, u64& recordLength, bool office, u32& documentType) {
    if (!record || length < 4) return false;
    const u32 signature = ReadLE32(record);
    size_t nameAt = 0;
    size_t nameLength = 0;
    if (signature == kZipLocalHeader) {
        if (length < kZipLocalFixed) return false;
        nameLength = ReadLE16(record + 26);
        recordLength = kZipLocalFixed + u64(ReadLE32(record + 18)) + nameLength + ReadLE16(record + 28);
        nameAt = kZipLocalFixed;
    } else if (signature == kZipCentralHeader) {
        if (length < kZipCentralFixed) return false;
        nameLength = ReadLE16(record + 28);
        recordLength = kZipCentralFixed + u64(nameLength) + ReadLE16(record + 30) + ReadLE16(record + 32);
        nameAt = kZipCentralFixed;
    } else if (signature == kZipEndOfCentral) {
        if (length < kZipEndFixed) return false;
        recordLength = kZipEndFixed + u64(ReadLE16(record + 20));
        return true;
    } else {
        return false;
    }
    // Only the part of the name (and of what follows it) that the caller's bytes hold is looked at.
    const size_t nameEnd = std::min(length, nameAt + nameLength);
    const std::string_view name(reinterpret_cast<const char*>(record + nameAt), nameEnd - nameAt);
    if (office) {
        OfficeType(name, documentType);
    } else if (signature == kZipLocalHeader && nameEnd == nameAt + nameLength) {
        const std::string_view after(reinterpret_cast<const char*>(record + nameEnd), length - nameEnd);
        PackageType(name, after, documentType);
    }
    return true;
}
