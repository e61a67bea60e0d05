#include "platform/Text.h"

#include <iconv.h>

#include <cerrno>

namespace {
void AppendUtf8(std::string& out, u32 cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

template <typename Unit>
std::string Convert(Unit unitAt, size_t count, char replacement, bool* lossy) {
    std::string out;
    out.reserve(count);
    if (lossy) *lossy = false;
    for (size_t i = 0; i < count; ++i) {
        const u32 u = unitAt(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < count) {
            const u32 lo = unitAt(i + 1);
            if (lo >= 0xDC00 && lo < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u < 0xE000) {
            out.push_back(replacement);
            if (lossy) *lossy = true;
            continue;
        }
        AppendUtf8(out, u);
    }
    return out;
}
}  // namespace

std::string Utf16LeToUtf8(const void* p, size_t count, char replacement, bool* lossy) {
    const u8* b = static_cast<const u8*>(p);
    return Convert([b](size_t i) { return static_cast<u32>(b[2 * i] | (b[2 * i + 1] << 8)); }, p ? count : 0,
                   replacement, lossy);
}

std::string Utf16ToUtf8(const std::u16string& s, char replacement, bool* lossy) {
    return Convert([&s](size_t i) { return static_cast<u32>(s[i]); }, s.size(), replacement, lossy);
}

namespace {
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// The length of the well-formed sequence at s[i], 0 when there is none (the ranges of the
// Unicode standard's table of well-formed byte sequences).
size_t WellFormedLength(std::string_view s, size_t i) {
    const u8 c = static_cast<u8>(s[i]);
    if (c < 0x80) return 1;
    size_t len = 0;
    u8 low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    const u8 second = static_cast<u8>(s[i + 1]);
    if (second < low || second > high) return 0;
    for (size_t k = 2; k < len; ++k) {
        if ((static_cast<u8>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    return len;
}
}  // namespace

std::string ReplaceInvalidUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t len = WellFormedLength(s, i);
        if (len == 0) {
            out += kReplacementCharacter;
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        const u8 c = static_cast<u8>(s[i]);
        u32 cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                cp = c & (0x7F >> len);
                bool ok = true;
                for (size_t k = 1; k < len; ++k) {
                    const u8 cc = static_cast<u8>(s[i + k]);
                    if ((cc & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    cp = (cp << 6) | (cc & 0x3F);
                }
                if (!ok) {
                    cp = 0xFFFD;
                    len = 1;
                }
            }
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
        i += len;
    }
    return out;
}

std::string_view Utf8Prefix(std::string_view s, size_t maxBytes) {
    if (s.size() <= maxBytes) return s;
    size_t n = maxBytes;
    while (n > 0 && (static_cast<u8>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

size_t CopyUtf8Bounded(char* out, size_t size, std::string_view s) {
    if (!out || size == 0) return 0;
    const std::string_view cut = Utf8Prefix(s, size - 1);
    std::memcpy(out, cut.data(), cut.size());
    out[cut.size()] = '\0';
    return cut.size();
}

bool CodePageToUtf8(const char* codePage, const void* data, size_t size, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    char* in = const_cast<char*>(static_cast<const char*>(data));
    size_t inLeft = size;
    char buf[1024];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof(buf);
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, sizeof(buf) - oLeft);
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // Skip a byte that does not convert and mark it.
            out.push_back('_');
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return true;
}

std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}
