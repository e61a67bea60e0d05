#pragma once
// The typed stream of a saved scan result (".rsf"): a 132-byte file header followed by sections,
// each a 36-byte header naming the section by GUID and the stored bytes that follow it. Callers
// open a section, write or read plain bytes in it, and close it; failures are thrown as
// CRSException and caught as IRSException.
#include <string>
#include <vector>

#include "devices/Win32File.h"
#include "platform/Types.h"

class ICompressor;
class IDecompressor;

// Codes carried by CRSException.
enum RSErrorCode : u32 {
    kRSCancelled = 0,        // the progress callback asked to cancel
    kRSCancelledLoad = 1,    // cancelled while a folder's children were being loaded
    kRSBadHeader = 2,        // version above 4 or description length above 100
    kRSWrongMode = 3,        // the operation needs the other mode
    kRSEndOfData = 5,        // the section or file ends before the requested bytes, or they cannot be read
    kRSWriteFailed = 6,      // a file write failed (or the file would outgrow 32-bit offsets)
    kRSSectionNotFound = 7,  // no section with that id
    kRSNoSection = 8,        // no section is open
};

class IRSException {
public:
    virtual u32 GetCode() const = 0;

protected:
    ~IRSException() = default;
};

class CRSException : public IRSException {
public:
    explicit CRSException(u32 code) : m_code(code) {}
    u32 GetCode() const override { return m_code; }

private:
    u32 m_code;
};

#pragma pack(push, 1)
struct ScanResultHeader {
    MGUID magic;
    u32 signature;          // always 8000
    u32 checksum;           // CRC-16 in the low 16 bits
    i32 version;            // 1 is written, 1 to 4 are accepted
    u32 descriptionLength;  // 0 to 100
    char description[100];  // not NUL-terminated when 100 bytes long
};
static_assert(sizeof(ScanResultHeader) == 132, "saved-result header layout");

struct ScanResultSectionHeader {
    MGUID magic;
    MGUID id;
    u32 length;  // stored bytes that follow this header
};
static_assert(sizeof(ScanResultSectionHeader) == 36, "saved-result section header layout");
#pragma pack(pop)

// {1BB3F4EA-4305-4AB6-B4B8-244A33D913BB}
extern const MGUID kScanResultMagic;
constexpr u32 kScanResultSignature = 8000;
constexpr u32 kScanResultDescriptionMax = 100;

// CRC-16, polynomial 0x8005, MSB first, initial value 0, no reflection, no final XOR.
u16 ScanResultCrc16(const void* data, size_t length);
// The header checksum: the CRC over all 132 bytes with the checksum word taken as zero.
u32 ComputeScanResultHeaderChecksum(const ScanResultHeader& header);
// A fresh header: the magic, 8000, the version, an empty description.
ScanResultHeader MakeScanResultHeader(i32 version);

class IRSData {
public:
    virtual ~IRSData() = default;

    virtual bool IsValidFile() = 0;
    // Mode 0 opens an existing file for reading; mode 1 opens for writing, keeping the contents
    // when flag is 0 and creating the file anew otherwise.
    virtual bool Open(const char* path, u32 flag) = 0;
    virtual u32 Close() = 0;
    virtual bool WriteHeader(const ScanResultHeader& header) = 0;
    virtual bool ReadHeader(ScanResultHeader& out) = 0;
    virtual i32 GetVersion() = 0;
    virtual bool SetVersion(u32 version) = 0;
    virtual bool SetDescription(const char* text) = 0;
    virtual bool GetDescription(char* out, i32 size) = 0;
    virtual bool BeginSection(const MGUID& id) = 0;
    virtual u32 EndSection() = 0;
    virtual u32 GetSectionLength() = 0;
    // Fills exactly n bytes or throws; the return value carries no meaning.
    virtual u32 Read(void* buffer, u32 n) = 0;
    // The return value carries no meaning; failures are thrown.
    virtual u32 Write(const void* data, u32 n) = 0;
    // Read mode: whether the open section can still deliver n more data bytes, counting only
    // bytes the file really holds (a chunked stream inflates what it looks ahead at). It looks
    // ahead only as far as n needs, so the check costs about what reading n bytes would.
    // Loaders check every length they read from the stream with it (CheckReadable) before
    // allocating. Throws 3 in write mode, 8 without an open section.
    virtual bool CanRead(u64 n) = 0;

    // Typed fields, little-endian, no padding.
    void WriteU8(u8 v) { Write(&v, 1); }
    void WriteU16(u16 v) { u8 b[2]; WriteLE16(b, v); Write(b, 2); }
    void WriteU32(u32 v) { u8 b[4]; WriteLE32(b, v); Write(b, 4); }
    void WriteU64(u64 v) { u8 b[8]; WriteLE64(b, v); Write(b, 8); }
    void WriteI8(i8 v) { WriteU8(static_cast<u8>(v)); }
    void WriteI16(i16 v) { WriteU16(static_cast<u16>(v)); }
    void WriteI32(i32 v) { WriteU32(static_cast<u32>(v)); }
    void WriteI64(i64 v) { WriteU64(static_cast<u64>(v)); }
    void WriteGuid(const MGUID& g);
    void WriteBytes(const void* data, u32 n) { Write(data, n); }

    u8 ReadU8() { u8 v = 0; Read(&v, 1); return v; }
    u16 ReadU16() { u8 b[2] = {}; Read(b, 2); return ReadLE16(b); }
    u32 ReadU32() { u8 b[4] = {}; Read(b, 4); return ReadLE32(b); }
    u64 ReadU64() { u8 b[8] = {}; Read(b, 8); return ReadLE64(b); }
    i8 ReadI8() { return static_cast<i8>(ReadU8()); }
    i16 ReadI16() { return static_cast<i16>(ReadU16()); }
    i32 ReadI32() { return static_cast<i32>(ReadU32()); }
    i64 ReadI64() { return static_cast<i64>(ReadU64()); }
    MGUID ReadGuid();
    void ReadBytes(void* buffer, u32 n) { Read(buffer, n); }

    // Throws 5 when n bytes cannot still be in the open section: call before allocating for a
    // length read from the stream.
    void CheckReadable(u64 n);
    // A length-checked read of n bytes into a buffer sized for them.
    std::vector<u8> ReadBlob(u32 n);
    std::string ReadString(u32 n);
};

// Keeps section data as written, unchunked. The system only ever creates CRSDataEx.
class CRSData : public IRSData {
public:
    static constexpr u32 kBufferSize = 0x80000;
    static constexpr u32 kNoSection = 0xFFFFFFFFu;

    explicit CRSData(u32 mode);
    ~CRSData() override;

    bool IsValidFile() override;
    bool Open(const char* path, u32 flag) override;
    u32 Close() override;
    bool WriteHeader(const ScanResultHeader& header) override;
    bool ReadHeader(ScanResultHeader& out) override;
    i32 GetVersion() override;
    bool SetVersion(u32 version) override;
    bool SetDescription(const char* text) override;
    bool GetDescription(char* out, i32 size) override;
    bool BeginSection(const MGUID& id) override;
    u32 EndSection() override;
    u32 GetSectionLength() override;
    u32 Read(void* buffer, u32 n) override;
    u32 Write(const void* data, u32 n) override;
    bool CanRead(u64 n) override;
    // Stores the buffered bytes; false with nothing buffered or when a write failed.
    virtual bool Flush();

protected:
    // Sets the pending code; ThrowPending throws and clears it.
    void Fail(u32 code) { if (m_pending == 0) m_pending = code; }
    void ThrowPending();
    void RequireMode(u32 mode);
    void RequireSection();
    // Appends stored bytes to the open section, refusing a section or file that would pass the
    // 32-bit offsets of the format. Sets code 6 and returns false on failure.
    bool WriteStored(const void* data, u32 n);
    bool SectionOpen() const { return m_sectionOffset != kNoSection; }
    void ClearSectionState();

    u32 m_mode;
    CWin32File m_file;
    std::vector<u8> m_buffer;  // kBufferSize bytes
    u32 m_bufferCount = 0;
    ScanResultSectionHeader m_section{};
    u32 m_sectionOffset = kNoSection;
    u32 m_sectionConsumed = 0;  // read mode: section bytes already read from the file
    u32 m_pending = 0;
};

// Stores section data as 4096-byte chunks, each deflated at level 5 when that is smaller.
class CRSDataEx : public CRSData {
public:
    static constexpr u32 kChunkSize = 4096;

    explicit CRSDataEx(u32 mode);
    ~CRSDataEx() override;

    u32 EndSection() override;
    u32 Read(void* buffer, u32 n) override;
    u32 Write(const void* data, u32 n) override;
    bool CanRead(u64 n) override;
    bool Flush() override;

private:
    void LoadChunk();
    void Refill();
    // Inflates one stored chunk into out (kChunkSize bytes); false unless it is one whole stream.
    bool InflateChunk(const u8* stored, u32 length, u8* out, u32& produced);
    // n section bytes from section offset `at`, from the raw buffer (whose first byte lies at
    // section offset rawStart) when it holds them, else from the file.
    bool ReadSectionBytes(u32 at, u8* out, u32 n, u32 rawStart);
    // Whether the buffer or the file holds n section bytes from `at`.
    bool CanReachSectionBytes(u32 at, u32 n, u32 rawStart);
    u32 RawUnread() const;
    u32 ChunkPointerOffset() const;  // section-relative offset of the next chunk header
    void ClearChunkState();

    ICompressor* m_compressor = nullptr;
    IDecompressor* m_decompressor = nullptr;
    u8 m_chunk[kChunkSize] = {};
    u8 m_walkChunk[kChunkSize] = {};  // where CanRead inflates the chunks it looks ahead at
    u32 m_chunkCount = 0;
    u32 m_chunkPos = 0;
    u8* m_chunkHeader = nullptr;  // next chunk header in the raw buffer; null = buffer start
    // Look-ahead of CanRead: chunks before m_walkPos (section-relative) have been examined, and
    // m_walkBound is the data those among them not yet loaded really yield.
    u32 m_walkPos = 0;
    u64 m_walkBound = 0;
};
