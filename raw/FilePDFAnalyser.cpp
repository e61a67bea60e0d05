#include "raw/FilePDFAnalyser.h"

#include <cstring>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserReads.h"

namespace {

constexpr char kPostScriptStart[] = "%!PS-Adobe";
// ---- PDF
constexpr char kPdfEnd[] = "%%EOF";
constexpr u32 kPdfEndBytes = 5;
constexpr u64 kPdfEndAfterMarker = 7;
constexpr u64 kPdfIllustratorRange = 1024;
constexpr u64 kPdfDefaultStart = 2048;
constexpr char kIllustrator[] = "Adobe Illustrator";
constexpr const char* kPdfStructureWords[] = {" 0 obj",       "xref\r\n",      "xref\r",      "xref\n",
                                              "trailr\r\n",    "trailr\r",      "trailr\n",    "startxref\r\n",
                                              "startxref\r",   "startxref\n"};

}  // namespace

// ------------------------------------------------------------------------------------------ PDF

u32 FilePDFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (sector[4] != '-') return 0;
    record.fileType = kType;
    return 1;
}

u32 FilePDFAnalyser::HasPdfStructureText(const char* text) {
    if (!text) return 0;
    for (const char* word : kPdfStructureWords) {
        if (std::strstr(text, word)) return 1;
    }
    return 0;
}

u32 FilePDFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 s = w.SectorSize();
    const u64 bound = LargestFileOffset();
    u64 k = 0;
    for (; k < kPdfIllustratorRange; ++k) {
        u32 got = 0;
        const u8* text = w.Span(k, ~u32(0), got);
        if (!text) return 0;
        if (got < sizeof(kPostScriptStart) - 1 || !SameBytes(text, kPostScriptStart)) continue;
        // The text runs to its zero byte, but never past what the window holds.
        const void* zero = std::memchr(text, 0, got);
        const u32 length = zero ? static_cast<u32>(static_cast<const u8*>(zero) - text) : got;
        if (FindBytes(text, static_cast<i32>(length), reinterpret_cast<const u8*>(kIllustrator),
                      sizeof(kIllustrator) - 1)) {
            record.fileType = kTypeIllustrator;
            break;
        }
    }
    if (s == 0) return 0;
    u64 p = k % s == 0 ? k : kPdfDefaultStart;
    while (p <= bound) {
        const u8* step = w.Bytes(p, static_cast<u32>(s));
        if (!step) return 0;
        if (!ReadLE32(step + s - 4) == 0) {
            p += s;
            continue;
        }
        u64 at = 0;
        if (w.Find(p, static_cast<u32>(s), kPdfEnd, kPdfEndBytes, at)) {
            p = at + kPdfEndAfterMarker;
            break;
        }
        if (p >= kPdfEndBytes && w.Find(p - kPdfEndBytes, 2 * kPdfEndBytes, kPdfEnd, kPdfEndBytes, at)) {
            p += s + kPdfEndBytes;
            break;
        }
        p += s;
    }
    record.size = p;
    return 1;
}

