#include "devices/FileSystemCode.h"

namespace {

// The misspelt scan name of code 9 is what saved display names and logs carry.
constexpr FileSystemCodeInfo kCodes[] = {
    {kFsFat12, "FAT12", "FAT12", "FAT12", kTreeKindFat},
    {kFsFat16, "FAT16", "FAT16", "FAT16", kTreeKindFat},
    {kFsFat32, "FAT32", "FAT32", "FAT32", kTreeKindFat},
    {kFsNtfs, "NTFS", "NTFS", "NTFS", kTreeKindNtfs},
    {kFsExt2, "EXT2", "EXT2", "EXT2", kTreeKindExt},
    {kFsExt3, "EXT3", "EXT3", "EXT3", kTreeKindExt},
    {kFsRaw, "RAW", "UNKNOWN", "RAW", kTreeKindRaw},
    {kFsExFat, "EXFAT", "UNKNOWN", "EXFAT", kTreeKindExFat},
    {kFsUnknown, nullptr, "UNKNOWN", "UNKONWN", kTreeKindOther},
};

}  // namespace

const FileSystemCodeInfo* FindFileSystemCode(u32 fsCode) {
    for (const FileSystemCodeInfo& row : kCodes) {
        if (row.code == fsCode) return &row;
    }
    return nullptr;
}

const char* FileSystemTypeName(u32 fsCode) {
    const FileSystemCodeInfo* row = FindFileSystemCode(fsCode);
    return row ? row->typeName : nullptr;
}

const char* FsCodeLogName(u32 fsCode) {
    const FileSystemCodeInfo* row = FindFileSystemCode(fsCode);
    return row ? row->logName : "UNKNOWN";
}

const char* ScanFileSystemName(u32 fsCode) {
    const FileSystemCodeInfo* row = FindFileSystemCode(fsCode);
    return row ? row->scanName : "";
}

u32 TreeKindOfFsCode(u32 fsCode) {
    const FileSystemCodeInfo* row = FindFileSystemCode(fsCode);
    return row ? row->treeKind : kTreeKindOther;
}
