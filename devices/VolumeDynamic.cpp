#include "devices/VolumeEnumerator.h"

// The one place where the dynamic (LDM) volumes of the disks reach the volume collection. Until the
// LDM database reader is built in, no disk yields a dynamic volume; the reader fills `out` here with
// each volume's device, file system, letter, label, type name, size and member extents.
void CollectDynamicVolumes(const std::vector<CDiskDevice*>& /*disks*/, std::vector<CollectedDynamicVolume>& /*out*/) {}
