#pragma once
// Text conversions. UTF-8 is the system code page; UTF-16LE comes from disk structures.
#include <string>
#include <string_view>

#include "platform/Types.h"

// Converts count UTF-16 code units (little-endian bytes at p) to UTF-8. A unit that does not
// convert (an unpaired surrogate) becomes `replacement` and sets *lossy when given.
std::string Utf16LeToUtf8(const void* p, size_t count, char replacement = '_', bool* lossy = nullptr);
std::string Utf16ToUtf8(const std::u16string& s, char replacement = '_', bool* lossy = nullptr);
// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
// s with every byte that is not part of a well-formed UTF-8 sequence (a stray continuation byte,
// a cut sequence, an overlong form, an encoded surrogate, a code point past U+10FFFF) replaced
// by U+FFFD; well-formed text comes back unchanged.
std::string ReplaceInvalidUtf8(std::string_view s);
// Copies s into a fixed field of `size` bytes, NUL-terminated, cut at a character boundary so
// that no UTF-8 sequence is split. Returns the bytes copied (without the NUL).
size_t CopyUtf8Bounded(char* out, size_t size, std::string_view s);
// The longest prefix of s of at most maxBytes bytes that ends at a character boundary.
std::string_view Utf8Prefix(std::string_view s, size_t maxBytes);
// Text in another named code page (through iconv) to UTF-8; false when the code page is unknown.
bool CodePageToUtf8(const char* codePage, const void* data, size_t size, std::string& out);
// Lower-case ASCII letters only; other bytes are kept.
std::string AsciiLower(std::string_view s);
