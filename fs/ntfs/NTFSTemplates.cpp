#include "fs/ntfs/NTFSTemplates.h"

#include <array>
#include <cstring>

namespace {

// The attribute definitions of a volume as a fresh format writes them: name, type, flags and the
// smallest and largest value sizes (-1 for no limit), then an all-zero entry ends the table.
struct AttrDefEntry {
    const char16_t* name;
    u32 type;
    u32 flags;
    i64 minimumSize;
    i64 maximumSize;
};
constexpr AttrDefEntry kAttrDefs[] = {
    {u"$STANDARD_INFORMATION", 0x10, 0x40, 48, 72},
    {u"$ATTRIBUTE_LIST", 0x20, 0x80, 0, -1},
    {u"$FILE_NAME", 0x30, 0x42, 68, 578},
    {u"$OBJECT_ID", 0x40, 0x40, 0, 256},
    {u"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, -1},
    {u"$VOLUME_NAME", 0x60, 0x40, 2, 256},
    {u"$VOLUME_INFORMATION", 0x70, 0x40, 12, 12},
    {u"$DATA", 0x80, 0x00, 0, -1},
    {u"$INDEX_ROOT", 0x90, 0x40, 0, -1},
    {u"$INDEX_ALLOCATION", 0xA0, 0x80, 0, -1},
    {u"$BITMAP", 0xB0, 0x80, 0, -1},
    {u"$REPARSE_POINT", 0xC0, 0x80, 0, 16384},
    {u"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
    {u"$EA", 0xE0, 0x00, 0, 65536},
    {u"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 65536},
};
constexpr u32 kAttrDefEntrySize = 160;
constexpr u32 kAttrDefNameBytes = 128;

// The upper-case table as ranges of code units that map to themselves plus a constant (modulo
// 2^16): {first unit, number of units, added value, stride}. A stride of 2 covers the
// alternating lower/upper pairs of many scripts. Units no range covers map to themselves.
struct UpCaseRange {
    u16 first;
    u16 count;
    u16 delta;
    u16 stride;
};
constexpr UpCaseRange kUpCaseRanges[] = {
    {0x0061, 26, 0xFFE0, 1}, {0x00E0, 23, 0xFFE0, 1}, {0x00F8, 7, 0xFFE0, 1}, {0x00FF, 1, 0x0079, 1},
    {0x0101, 24, 0xFFFF, 2}, {0x0133, 3, 0xFFFF, 2}, {0x013A, 8, 0xFFFF, 2}, {0x014B, 23, 0xFFFF, 2},
    {0x017A, 3, 0xFFFF, 2}, {0x0180, 1, 0x00C3, 1}, {0x0183, 2, 0xFFFF, 2}, {0x0188, 1, 0xFFFF, 1},
    {0x018C, 1, 0xFFFF, 1}, {0x0192, 1, 0xFFFF, 1}, {0x0195, 1, 0x0061, 1}, {0x0199, 1, 0xFFFF, 1},
    {0x019A, 1, 0x00A3, 1}, {0x019E, 1, 0x0082, 1}, {0x01A1, 3, 0xFFFF, 2}, {0x01A8, 1, 0xFFFF, 1},
    {0x01AD, 1, 0xFFFF, 1}, {0x01B0, 1, 0xFFFF, 1}, {0x01B4, 2, 0xFFFF, 2}, {0x01B9, 1, 0xFFFF, 1},
    {0x01BD, 1, 0xFFFF, 1}, {0x01BF, 1, 0x0038, 1}, {0x01C6, 1, 0xFFFE, 1}, {0x01C9, 1, 0xFFFE, 1},
    {0x01CC, 1, 0xFFFE, 1}, {0x01CE, 8, 0xFFFF, 2}, {0x01DD, 1, 0xFFB1, 1}, {0x01DF, 9, 0xFFFF, 2},
    {0x01F3, 1, 0xFFFE, 1}, {0x01F5, 1, 0xFFFF, 1}, {0x01F9, 20, 0xFFFF, 2}, {0x0223, 9, 0xFFFF, 2},
    {0x023C, 1, 0xFFFF, 1}, {0x0242, 1, 0xFFFF, 1}, {0x0247, 5, 0xFFFF, 2}, {0x0250, 1, 0x2A1F, 1},
    {0x0251, 1, 0x2A1C, 1}, {0x0253, 1, 0xFF2E, 1}, {0x0254, 1, 0xFF32, 1}, {0x0256, 2, 0xFF33, 1},
    {0x0259, 1, 0xFF36, 1}, {0x025B, 1, 0xFF35, 1}, {0x0260, 1, 0xFF33, 1}, {0x0263, 1, 0xFF31, 1},
    {0x0268, 1, 0xFF2F, 1}, {0x0269, 1, 0xFF2D, 1}, {0x026B, 1, 0x29F7, 1}, {0x026F, 1, 0xFF2D, 1},
    {0x0271, 1, 0x29FD, 1}, {0x0272, 1, 0xFF2B, 1}, {0x0275, 1, 0xFF2A, 1}, {0x027D, 1, 0x29E7, 1},
    {0x0280, 1, 0xFF26, 1}, {0x0283, 1, 0xFF26, 1}, {0x0288, 1, 0xFF26, 1}, {0x0289, 1, 0xFFBB, 1},
    {0x028A, 2, 0xFF27, 1}, {0x028C, 1, 0xFFB9, 1}, {0x0292, 1, 0xFF25, 1}, {0x0371, 2, 0xFFFF, 2},
    {0x0377, 1, 0xFFFF, 1}, {0x037B, 3, 0x0082, 1}, {0x03AC, 1, 0xFFDA, 1}, {0x03AD, 3, 0xFFDB, 1},
    {0x03B1, 17, 0xFFE0, 1}, {0x03C3, 9, 0xFFE0, 1}, {0x03CC, 1, 0xFFC0, 1}, {0x03CD, 2, 0xFFC1, 1},
    {0x03D7, 1, 0xFFF8, 1}, {0x03D9, 12, 0xFFFF, 2}, {0x03F2, 1, 0x0007, 1}, {0x03F8, 1, 0xFFFF, 1},
    {0x03FB, 1, 0xFFFF, 1}, {0x0430, 32, 0xFFE0, 1}, {0x0450, 16, 0xFFB0, 1}, {0x0461, 17, 0xFFFF, 2},
    {0x048B, 27, 0xFFFF, 2}, {0x04C2, 7, 0xFFFF, 2}, {0x04CF, 1, 0xFFF1, 1}, {0x04D1, 42, 0xFFFF, 2},
    {0x0561, 38, 0xFFD0, 1}, {0x1D79, 1, 0x8A04, 1}, {0x1D7D, 1, 0x0EE6, 1}, {0x1E01, 75, 0xFFFF, 2},
    {0x1EA1, 48, 0xFFFF, 2}, {0x1F00, 8, 0x0008, 1}, {0x1F10, 6, 0x0008, 1}, {0x1F20, 8, 0x0008, 1},
    {0x1F30, 8, 0x0008, 1}, {0x1F40, 6, 0x0008, 1}, {0x1F51, 4, 0x0008, 2}, {0x1F60, 8, 0x0008, 1},
    {0x1F70, 2, 0x004A, 1}, {0x1F72, 4, 0x0056, 1}, {0x1F76, 2, 0x0064, 1}, {0x1F78, 2, 0x0080, 1},
    {0x1F7A, 2, 0x0070, 1}, {0x1F7C, 2, 0x007E, 1}, {0x1F80, 8, 0x0008, 1}, {0x1F90, 8, 0x0008, 1},
    {0x1FA0, 8, 0x0008, 1}, {0x1FB0, 2, 0x0008, 1}, {0x1FB3, 1, 0x0009, 1}, {0x1FC3, 1, 0x0009, 1},
    {0x1FD0, 2, 0x0008, 1}, {0x1FE0, 2, 0x0008, 1}, {0x1FE5, 1, 0x0007, 1}, {0x1FF3, 1, 0x0009, 1},
    {0x214E, 1, 0xFFE4, 1}, {0x2170, 16, 0xFFF0, 1}, {0x2184, 1, 0xFFFF, 1}, {0x24D0, 26, 0xFFE6, 1},
    {0x2C30, 47, 0xFFD0, 1}, {0x2C61, 1, 0xFFFF, 1}, {0x2C65, 1, 0xD5D5, 1}, {0x2C66, 1, 0xD5D8, 1},
    {0x2C68, 3, 0xFFFF, 2}, {0x2C73, 1, 0xFFFF, 1}, {0x2C76, 1, 0xFFFF, 1}, {0x2C81, 50, 0xFFFF, 2},
    {0x2D00, 38, 0xE3A0, 1}, {0xA641, 16, 0xFFFF, 2}, {0xA663, 6, 0xFFFF, 2}, {0xA681, 12, 0xFFFF, 2},
    {0xA723, 7, 0xFFFF, 2}, {0xA733, 31, 0xFFFF, 2}, {0xA77A, 2, 0xFFFF, 2}, {0xA77F, 5, 0xFFFF, 2},
    {0xA78C, 1, 0xFFFF, 1}, {0xFF41, 26, 0xFFE0, 1}
};

std::array<u8, kNtfsAttrDefTemplateSize> BuildAttrDef() {
    std::array<u8, kNtfsAttrDefTemplateSize> out{};
    u32 offset = 0;
    for (const AttrDefEntry& e : kAttrDefs) {
        u8* entry = out.data() + offset;
        u32 units = 0;
        for (const char16_t* c = e.name; *c != 0 && (units + 1) * 2 <= kAttrDefNameBytes; ++c, ++units) {
            WriteLE16(entry + units * 2, static_cast<u16>(*c));
        }
        WriteLE32(entry + 128, e.type);
        WriteLE32(entry + 140, e.flags);
        WriteLE64(entry + 144, static_cast<u64>(e.minimumSize));
        WriteLE64(entry + 152, static_cast<u64>(e.maximumSize));
        offset += kAttrDefEntrySize;
    }
    return out;
}

std::array<u8, kNtfsUpCaseTemplateSize> BuildUpCase() {
    std::array<u8, kNtfsUpCaseTemplateSize> out{};
    for (u32 c = 0; c < 65536; ++c) WriteLE16(out.data() + c * 2, static_cast<u16>(c));
    for (const UpCaseRange& r : kUpCaseRanges) {
        for (u32 i = 0; i < r.count; ++i) {
            const u32 c = r.first + i * r.stride;
            if (c < 65536) WriteLE16(out.data() + c * 2, static_cast<u16>(c + r.delta));
        }
    }
    return out;
}

}  // namespace

const u8* NtfsAttrDefTemplate() {
    static const std::array<u8, kNtfsAttrDefTemplateSize> table = BuildAttrDef();
    return table.data();
}

const u8* NtfsUpCaseTemplate() {
    static const std::array<u8, kNtfsUpCaseTemplateSize> table = BuildUpCase();
    return table.data();
}
