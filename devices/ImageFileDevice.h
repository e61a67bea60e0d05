#pragma once
// A compressed disk image shown as a device. The image is a set of files: an index file (a
// 512-byte header and a table of block end offsets), a part list beside it (the index path with
// the extension "edp", one part file path per CR LF line) and the part files, each a 512-byte
// prefix followed by stored blocks of 256 sectors, compressed with bzip2, zlib or LZMA or kept as
// they are. Images are only read.
//
// Everything in the index and the part list is checked before it is used: a part count that
// overruns the header, a block table whose offsets do not fit its parts, or a stored block longer
// than a block can be gives a device that says what is wrong (Error) and reads nothing from the
// damaged place instead of handing out made-up sectors.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/Compressor.h"
#include "devices/StorageDevice.h"
#include "devices/Win32File.h"
#include "platform/Types.h"

constexpr u32 kImageBlockSectors = 256;
constexpr u32 kImageHeaderSize = 512;
constexpr u32 kImageNameSize = 256;
constexpr u32 kImageMaxParts = 58;
constexpr u32 kImagePartLineMax = 270;
// Byte offsets of the index header.
constexpr u32 kImageSectorSizeOffset = 256;
constexpr u32 kImageCompressionOffset = 260;
constexpr u32 kImagePartCountOffset = 268;
constexpr u32 kImageBlockCountOffset = 272;
constexpr u32 kImageBlocksPerPartOffset = 276;
constexpr u32 kImageBlockTableOffset = 512;
constexpr const char* kImagePartListExtension = "edp";

// The index, part list and parts of one image; used only under its device's lock.
class CImageFile {
public:
    explicit CImageFile(const char* indexPath);

    bool OpenIndex(u32 mode);
    bool IsIndexOpen() const { return m_index.IsFileHandleValid(); }
    // The header's sector size; a value that is not a multiple of 512 from 512 to 4096 is 512.
    u32 GetSectorSize();
    u32 GetCompressionType();
    u32 GetPartCount();
    u32 GetBlockCount();
    // The first min(parts, 58) counts of the header.
    std::vector<u32> GetBlocksPerPart();
    // Reads the u32 at `offset` of the index; false past its end.
    bool ReadIndexU32(u64 offset, u32& out);

    // Opens the part file named on line `part` of the part list (0 first).
    bool OpenPart(i32 part);
    // Reads up to `length` bytes at `offset` of the open part; the bytes read.
    u32 ReadPart(void* buffer, u64 offset, u32 length);

    // The part list of an index path: the extension replaced by "edp"; empty without a dot.
    static std::string PartListPath(const std::string& indexPath);
    // The lines of a part list, each without its line end, at most `max` of them.
    static bool ReadPartList(const std::string& listPath, u32 max, std::vector<std::string>& out);

private:
    std::string m_indexPath;
    CWin32File m_index;
    CWin32File m_part;
    i32 m_openPart = -1;
    i32 m_sectorSize = -1;
};

class CImageFileDeviceWithDecompress : public IStorageDevice {
public:
    explicit CImageFileDeviceWithDecompress(const char* indexPath);
    ~CImageFileDeviceWithDecompress() override;

    // 1 with count sectors filled; 0 for a request outside the image or a block that cannot be
    // read, decompressed or located (the buffer then holds zeros there and Error says why).
    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    u64 GetTotalSectors() override { return m_totalSectors; }
    u32 GetSectorSize() override;
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    // The index, its part list and every part file the list names exist.
    bool CheckImageFiles();
    const std::string& GetIndexPath() const { return m_indexPath; }
    // Why the image or its last failed read cannot be used; empty when nothing failed.
    std::string Error() const;

private:
    struct BlockPlace {
        u32 part = 0;
        u64 offset = 0;  // in the part file
        u32 length = 0;
    };
    void OpenImage();
    // Where block `block` is stored; false (with the reason in m_error) when the table says
    // something impossible.
    bool LocateBlock(u32 block, BlockPlace& out);
    // Decompresses block `block` into m_work (blockBytes long); false with the reason in m_error.
    bool LoadBlock(u32 block, u32 blockBytes);
    bool Decompress(const std::vector<u8>& stored, u32 block, u32 blockBytes);

    mutable std::mutex m_lock;
    std::unique_ptr<CImageFile> m_image;
    IDecompressor* m_decompressor = nullptr;
    u32 m_compression = 0;
    u64 m_totalSectors = 0;
    std::string m_indexPath;
    std::vector<u32> m_blocksPerPart;
    std::vector<u8> m_work;
    std::string m_error;
};

struct VolumeRecord;
// The volume record of a whole image: source 1, the image's device and index path, one volume of
// the given file system and label. The record does not own the device.
void MakeImageVolumeRecord(CImageFileDeviceWithDecompress* image, u32 fsCode, const char* label, VolumeRecord& out);
