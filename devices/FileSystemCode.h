#pragma once
// The file-system codes that volume records, tree roots, partition candidates and saved results
// carry, and the one table of what each code is called and which kind of tree it builds.
#include "platform/Types.h"

// File-system code of a volume, a tree root or a partition candidate. The numbers are stored in
// saved results and volume records.
enum FsCode : u32 {
    kFsFat12 = 0,
    kFsFat16 = 1,
    kFsFat32 = 2,
    kFsNtfs = 3,
    kFsExt2 = 4,
    kFsExt3 = 5,
    kFsRaw = 6,
    kFsExFat = 7,
    kFsUnknown = 9,
};

// The tree an entry found by a search belongs to, by the file-system code of a tree's root.
enum TreeKind : u32 {
    kTreeKindFat = 0,
    kTreeKindNtfs = 1,
    kTreeKindExt = 2,  // never has a tree
    kTreeKindRaw = 3,
    kTreeKindExFat = 4,
    kTreeKindOther = 6,
};

struct FileSystemCodeInfo {
    FsCode code;
    // The name of a tree root or found partition of the code.
    const char* typeName;
    // The name the volume enumeration logs; the codes it cannot list are "UNKNOWN".
    const char* logName;
    // The name in a scan's display name; null for codes outside the table.
    const char* scanName;
    TreeKind treeKind;
};

// The row of a code; null for a code outside the table (8 and above 9).
const FileSystemCodeInfo* FindFileSystemCode(u32 fsCode);

// "FAT12" ... "EXFAT" for codes 0 to 7; null for every other code.
const char* FileSystemTypeName(u32 fsCode);
// "FAT12", "FAT16", "FAT32", "NTFS", "EXT2", "EXT3"; any other code "UNKNOWN".
const char* FsCodeLogName(u32 fsCode);
// The type name, "UNKONWN" for 9, the empty text for codes outside the table.
const char* ScanFileSystemName(u32 fsCode);
// FAT codes share the FAT tree, EXT codes the tree that is never made; other codes kTreeKindOther.
u32 TreeKindOfFsCode(u32 fsCode);

constexpr bool IsFatCode(u32 fsCode) { return fsCode == kFsFat12 || fsCode == kFsFat16 || fsCode == kFsFat32; }
constexpr bool IsExtCode(u32 fsCode) { return fsCode == kFsExt2 || fsCode == kFsExt3; }
