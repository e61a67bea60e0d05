#pragma once
// Deleted FAT32 files whose first cluster lost its high word: whether a cluster holds a known file
// header, and an estimate of the full first cluster from the files around the deleted one.
#include <vector>

#include "platform/Types.h"

class CFileNode;
class IRawFileAnalyser;
class IStorageDevice;

// "MZ" at the start and "PE" at the little-endian offset stored at byte 60, the signature lying
// inside the sector.
bool IsPEImageHeader(const u8* sector, u32 sectorSize);

// Whether the first sector of the cluster begins a file that one of the analysers (or the PE
// test) recognises. Clusters above 65536 are taken as known: their high word survived.
bool HasKnownFileHeader(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 cluster,
                        const std::vector<IRawFileAnalyser*>& analysers);

// The first cluster a deleted file of `size` bytes created at `creationTime` most likely had,
// judged from the other entries of its folder (`references`: nodes with FAT properties, live and
// deleted). The low 16 bits are always those of recordedCluster; a recorded cluster of 65536 or
// more is returned unchanged.
u64 EstimateDeletedFirstCluster(const std::vector<CFileNode*>& references, u64 size, u64 recordedCluster,
                                FILETIME64 creationTime, u64 clusterBytes);

// The offset-signature analysers the revise pass tests cluster headers with; empty while the RAW
// registry offers none, and the revise pass is then left out.
std::vector<IRawFileAnalyser*> GetFatReviseAnalysers();
