#pragma once
// Base of the volume analysers: each one looks at the first sector of a partition and says which
// file system it holds, how many sectors it spans and what its label is.
#include "devices/FileSystemCode.h"
#include "platform/Types.h"

class IVolume {
public:
    virtual ~IVolume() = default;
    // The FsCode of the partition; 9 when the analyser does not recognise it.
    virtual u32 GetFileSystemType() = 0;
    // Sectors of the volume as its boot sector gives them; 0 when not recognised.
    virtual u64 GetTotalSectors() = 0;
    // Copies at most `size` bytes of the zero-filled label field into out.
    virtual void GetVolumeLabel(char* out, u32 size) = 0;
};
