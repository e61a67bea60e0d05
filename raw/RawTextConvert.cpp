#include "raw/RawTextConvert.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr u32 kMaxTrailing = 5;
constexpr u8 kLeadMask[kMaxTrailing + 1] = {0x80, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};
constexpr u8 kLeadMark[kMaxTrailing + 1] = {0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
constexpr u32 kOffsets[kMaxTrailing + 1] = {0x00000000, 0x00003080, 0x000E2080, 0x03C82080, 0xFA082080, 0x82082080};
constexpr u32 kLastCodePoint = 0x10FFFF;
constexpr u32 kPlaneOne = 0x10000;
constexpr u16 kHighFirst = 0xD800, kHighLast = 0xDBFF, kLowFirst = 0xDC00;
constexpr size_t kShortResult = 32;

u32 Trailing(u8 lead) {
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 1;
    if (lead < 0xF0) return 2;
    if (lead < 0xF8) return 3;
    if (lead < 0xFC) return 4;
    return 5;
}

bool IsContinuation(u8 b) { return (b & 0xC0) == 0x80; }

}  // namespace

XCharError::XCharError(i32 number) : m_number(number) {
    std::snprintf(m_message, sizeof(m_message), "XCharError:%i", number);
}

u32 Utf8DecodeChar(const u8* bytes, size_t available, u32& code) {
    if (!bytes || available == 0) return 0;
    const u32 extra = Trailing(bytes[0]);
    if (extra + 1 > available) return 0;
    u32 c = 0;
    for (u32 i = 0; i <= extra; ++i) {
        if (i > 0 && !IsContinuation(bytes[i])) return 0;
        c = (c << 6) + bytes[i];
    }
    c -= kOffsets[extra];
    code = c >= kPlaneOne ? c - kPlaneOne : c;
    return extra + 1;
}

size_t Utf8ToUtf16(const u8* source, size_t sourceBytes, u16* target, size_t targetUnits) {
    if (!source || !target) return 0;
    size_t i = 0;
    size_t n = 0;
    while (i < sourceBytes && n < targetUnits) {
        const u8 lead = source[i];
        if (lead < 0x80) {
            target[n++] = lead;
            ++i;
            continue;
        }
        const u32 extra = Trailing(lead);
        if (extra == 0 || (lead & kLeadMask[extra]) != kLeadMark[extra]) return 0;
        if (extra >= sourceBytes - i) break;
        u32 c = 0;
        for (u32 k = 0; k <= extra; ++k) {
            if (k > 0 && !IsContinuation(source[i + k])) return 0;
            c = (c << 6) + source[i + k];
        }
        c -= kOffsets[extra];
        if (c > kLastCodePoint) return n > kShortResult ? n : 0;
        if (c >= kPlaneOne) {
            if (targetUnits - n < 2) break;
            target[n++] = static_cast<u16>(kHighFirst + ((c - kPlaneOne) >> 10));
            target[n++] = static_cast<u16>(kLowFirst + (c & 0x3FF));
        } else {
            target[n++] = static_cast<u16>(c);
        }
        i += extra + 1;
    }
    return n;
}

size_t Utf16ToUtf8(const u16* source, size_t sourceUnits, u8* target, size_t targetBytes) {
    if (!source || !target) return 0;
    size_t n = 0;
    for (size_t i = 0; i < sourceUnits; ++i) {
        u32 c = source[i];
        if (c >= kHighFirst && c <= kHighLast) {
            if (i + 1 >= sourceUnits) break;
            c = ((c - kHighFirst) << 10) + (source[++i] - kLowFirst) + kPlaneOne;
        }
        u32 length = 1;
        if (c >= 0x4000000) length = 6;
        else if (c >= 0x200000) length = 5;
        else if (c >= 0x10000) length = 4;
        else if (c >= 0x800) length = 3;
        else if (c >= 0x80) length = 2;
        if (targetBytes - n < length) break;
        for (u32 k = length - 1; k > 0; --k) {
            target[n + k] = static_cast<u8>(0x80 | (c & 0x3F));
            c >>= 6;
        }
        target[n] = static_cast<u8>(c | kLeadMark[length - 1]);
        n += length;
    }
    return n;
}

size_t Utf8ToCodePage(const u8* source, size_t sourceBytes, u8* target, size_t targetBytes) {
    if (!source || !target || targetBytes == 0) return 0;
    std::vector<u16> wide(targetBytes + 1);
    const size_t units = Utf8ToUtf16(source, sourceBytes, wide.data(), wide.size());
    if (units == 0) return 0;
    return Utf16ToUtf8(wide.data(), units, target, targetBytes);
}

size_t CodePageToUtf8(const u8* source, size_t sourceBytes, u8* target, size_t targetBytes) {
    // The system code page is UTF-8: the round through UTF-16 checks the text and drops what does
    // not convert.
    return Utf8ToCodePage(source, sourceBytes, target, targetBytes);
}

i32 Utf8Compare(const char* a, const char* b, size_t count) {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
    size_t i = 0;
    for (; i < count && a[i] && b[i]; ++i) {
        if (a[i] != b[i]) return static_cast<u8>(a[i]) < static_cast<u8>(b[i]) ? -1 : 1;
    }
    if (i < count && (a[i] || b[i])) return a[i] ? 1 : -1;
    const size_t la = std::strlen(a), lb = std::strlen(b);
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

void Utf8CountChars(const char* text, size_t& characters, size_t& bytes, size_t limit) {
    characters = 0;
    bytes = 0;
    if (!text) return;
    for (; bytes < limit && text[bytes]; ++bytes) {
        const u8 b = static_cast<u8>(text[bytes]);
        if (b < 0x80 || b >= 0xE0) ++characters;
    }
}
