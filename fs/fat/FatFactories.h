#pragma once
// What the FAT library offers the scan modes: the FAT and exFAT searches and properties, and the
// registration of both rows of the plug-in table.
#include "platform/Types.h"

class ICompleteFileSystemSearchController;
class IFileProperties;
class IQuickFileSystemSearchController;
class IStorageDevice;
class IVolume;

// The searches of FAT (codes 0, 1, 2) and exFAT volumes; null when not available.
IQuickFileSystemSearchController* CreateFATQuickSearch();
IQuickFileSystemSearchController* CreateExFatQuickSearch();
// Deep searches; GetKind 1 (FAT) and 4 (exFAT). Null when not available.
ICompleteFileSystemSearchController* CreateFatCompleteSearch();
ICompleteFileSystemSearchController* CreateExFatCompleteSearch();

// New FAT or exFAT properties; for codes 0, 1 and 2 the FAT properties are folders named
// "FAT12", "FAT16" and "FAT32", the exFAT ones "EXFAT". Null when they cannot be made.
IFileProperties* CreateFATFileProperties(u32 fsCode);
IFileProperties* CreateExFatFileProperties();

// The exFAT analyser of the partition at firstSector, or null when it is not exFAT.
IVolume* CreateExFatVolumeAnalyzer(IStorageDevice* device, u64 firstSector);

// The rows of the plug-in table: FAT12/16/32 and exFAT.
void RegisterFatPlugin();
void RegisterExFatPlugin();
