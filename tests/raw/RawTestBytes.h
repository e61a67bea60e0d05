#pragma once
// Small byte builders the RAW search tests share: a minimal JPEG laid out segment by segment and
// Exif blocks in either byte order.
#include <string>
#include <vector>

#include "platform/Types.h"

namespace rawtest {

inline void Put16(std::vector<u8>& v, u16 x, bool big) {
    if (big) {
        v.push_back(u8(x >> 8));
        v.push_back(u8(x));
    } else {
        v.push_back(u8(x));
        v.push_back(u8(x >> 8));
    }
}
inline void Put32(std::vector<u8>& v, u32 x, bool big) {
    for (int i = 0; i < 4; ++i) v.push_back(u8(big ? x >> (24 - 8 * i) : x >> (8 * i)));
}

// A JPEG: start marker, the given APP segment (none when empty: a plain file starting with a
// quantisation table), a frame header, a scan header, `entropy` bytes of scan data (no FF in
// them) and the end marker.
inline std::vector<u8> MakeJpeg(const std::vector<u8>& app, u8 appMarker, size_t entropy, u8 frameCode = 0xC0,
                                u8 precision = 8, u8 components = 3) {
    std::vector<u8> j = {0xFF, 0xD8};
    if (!app.empty()) {
        j.push_back(0xFF);
        j.push_back(appMarker);
        Put16(j, u16(app.size() + 2), true);
        j.insert(j.end(), app.begin(), app.end());
    }
    j.insert(j.end(), {0xFF, 0xDB});
    Put16(j, 67, true);
    j.push_back(0);
    for (int i = 0; i < 64; ++i) j.push_back(u8(1 + i));
    j.insert(j.end(), {0xFF, frameCode});
    Put16(j, 17, true);
    j.push_back(precision);
    Put16(j, 48, true);  // height
    Put16(j, 64, true);  // width
    j.push_back(components);
    for (int c = 0; c < 3; ++c) j.insert(j.end(), {u8(c + 1), 0x11, 0});
    j.insert(j.end(), {0xFF, 0xDA});
    Put16(j, 12, true);
    j.insert(j.end(), {3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
    for (size_t i = 0; i < entropy; ++i) j.push_back(u8(0x11 + i % 200));
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

inline std::vector<u8> Jfif() { return {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}; }

struct ExifTagValue {
    u16 tag;
    u16 format;
    u32 count;
    u32 value;  // used when `text` is empty
    std::string text;  // ASCII, stored after the directories
};

// "Exif\0\0", a TIFF header and one directory of the given entries (texts of more than four
// bytes stored after it); `firstOffset` is the header's first-directory offset.
inline std::vector<u8> MakeExif(bool big, const std::vector<ExifTagValue>& entries, u32 firstOffset = 8,
                                u32 nextLink = 0) {
    std::vector<u8> t = {'E', 'x', 'i', 'f', 0, 0};
    if (big) {
        t.insert(t.end(), {'M', 'M'});
    } else {
        t.insert(t.end(), {'I', 'I'});
    }
    Put16(t, 42, big);
    Put32(t, firstOffset, big);
    u32 dataAt = 8 + 2 + 12 * u32(entries.size()) + 4;
    std::vector<u8> data;
    Put16(t, u16(entries.size()), big);
    for (const ExifTagValue& e : entries) {
        Put16(t, e.tag, big);
        Put16(t, e.format, big);
        if (!e.text.empty()) {
            Put32(t, u32(e.text.size() + 1), big);
            Put32(t, dataAt + u32(data.size()), big);
            data.insert(data.end(), e.text.begin(), e.text.end());
            data.push_back(0);
        } else {
            Put32(t, e.count, big);
            if (e.format == 3 && e.count == 1) {
                Put16(t, u16(e.value), big);
                Put16(t, 0, big);
            } else {
                Put32(t, e.value, big);
            }
        }
    }
    Put32(t, nextLink, big);
    t.insert(t.end(), data.begin(), data.end());
    return t;
}

}  // namespace rawtest
