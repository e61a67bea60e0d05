#pragma once
// Text conversion for the RAW analysers (ID3 texts, names stored in archives): UTF-8, UTF-16 and
// the system code page, which is UTF-8 on this platform. Malformed input converts to nothing.
#include <cstddef>
#include <exception>

#include "platform/Types.h"

// For callers that turn a failed conversion into an exception.
class XCharError : public std::exception {
public:
    static constexpr size_t kMessageBytes = 100;
    explicit XCharError(i32 number);
    const char* what() const noexcept override { return m_message; }
    i32 Number() const { return m_number; }

private:
    i32 m_number;
    char m_message[kMessageBytes];
};

// One UTF-8 sequence of at most `available` bytes: its length, or 0 when a continuation byte is
// malformed or the sequence runs past `available`. Code points of 0x10000 and above are stored
// less 0x10000.
u32 Utf8DecodeChar(const u8* bytes, size_t available, u32& code);
// Units written; 0 for a malformed sequence. Stops when the target is full or a sequence would
// run past the source's end.
size_t Utf8ToUtf16(const u8* source, size_t sourceBytes, u16* target, size_t targetUnits);
// Bytes written; stops before a sequence that would not fit.
size_t Utf16ToUtf8(const u16* source, size_t sourceUnits, u8* target, size_t targetBytes);
// Through UTF-16 to the system code page; bytes written, 0 on failure.
size_t Utf8ToCodePage(const u8* source, size_t sourceBytes, u8* target, size_t targetBytes);
size_t CodePageToUtf8(const u8* source, size_t sourceBytes, u8* target, size_t targetBytes);
// Zero-terminated texts compared over at most `count` bytes (all when count is ~0): -1, 0 or 1; on
// a tie the longer text is greater.
i32 Utf8Compare(const char* a, const char* b, size_t count);
// Bytes up to the limit or the terminator, and the characters among them (bytes below 0x80 or
// from 0xE0 up).
void Utf8CountChars(const char* text, size_t& characters, size_t& bytes, size_t limit);
