#pragma once
// A large camera or document file often carries a small complete JPEG picture near its start.
// Decoding that one instead of the whole file keeps thumbnails and the preview pane quick.
#include <string>

#include "platform/Types.h"

namespace FileSelCtrl {

constexpr u32 kEmbeddedScanLimit = 0x40000;   // only the first 256 KiB are looked at
constexpr u32 kEmbeddedScanStart = 4;         // a picture at offset 0 is the file itself
constexpr u32 kEmbeddedSkipAfterStart = 2000; // end markers this close to the start belong to headers
constexpr u64 kEmbeddedMinFileSize = 0x1200000;  // files above 18 MiB get their embedded picture shown

// A read-only mapping of a whole file; closing is idempotent.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { Close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool Open(const std::string& path);
    void Close();
    const u8* Data() const { return m_view; }
    u64 Size() const { return m_size; }

private:
    int m_fd = -1;
    const u8* m_view = nullptr;
    u64 m_size = 0;
};

// Where the embedded picture lies in the first bytes of a file: {start, length}, length 0 when
// there is none.
struct EmbeddedSpan {
    u32 start = 0;
    u32 length = 0;
};
EmbeddedSpan FindEmbeddedJpeg(const u8* data, u64 size);

// Whether a thumbnail of the found file is made from its embedded picture: a large file whose
// name holds ".jpg" (exactly so, anywhere in the name).
bool WantsEmbeddedJpeg(const std::string& name, u64 size);

// Writes the embedded picture of the file at path to jpegPath and then copies it over path; true
// when that happened. Otherwise both files are left as they were.
bool ExtractEmbeddedJpeg(const std::string& path, const std::string& jpegPath);

}  // namespace FileSelCtrl
