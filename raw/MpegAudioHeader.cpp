#include "raw/MpegAudioHeader.h"

namespace {

constexpr u32 kBadIndex = 15;
constexpr u32 kReservedRate = 3;
constexpr u32 kReservedEmphasis = 2;

// kbit/s by [MPEG 1 / MPEG 2 and 2.5][layer - 1][index]
constexpr u32 kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
// Hz by [version code][rate code]
constexpr u32 kSampleRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

u32 LayerTwoTable(const MpegFrameHeader& h) {
    if (h.version != MpegVersion::Mpeg1) return 4;
    const u32 b = h.channelMode == MpegChannelMode::Mono ? h.bitrate : h.bitrate / 2;
    if (b < 32 || b > 192) return 0;
    if (b == 32 || b == 48) return h.sampleRate == 32000 ? 3 : 2;
    if (b == 56 || b == 64 || b == 80) return 0;
    return h.sampleRate == 48000 ? 0 : 1;
}

// MPEG 1 layer II allows the lowest bitrates only in mono and the highest only in two channels.
bool LayerTwoModeAllowed(const MpegFrameHeader& h) {
    if (h.version != MpegVersion::Mpeg1) return true;
    const bool mono = h.channelMode == MpegChannelMode::Mono;
    switch (h.bitrate) {
        case 32: case 48: case 56: case 80: return mono;
        case 224: case 256: case 320: case 384: return !mono;
        default: return true;
    }
}

}  // namespace

u32 ParseMpegFrameHeader(const u8* b, MpegFrameHeader& h) {
    if (!b || b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return 0;
    const u32 versionCode = (b[1] >> 3) & 3;
    const u32 layerCode = (b[1] >> 1) & 3;
    const u32 bitrateIndex = b[2] >> 4;
    const u32 rateCode = (b[2] >> 2) & 3;
    const u32 emphasis = b[3] & 3;
    if (versionCode == u32(MpegVersion::Reserved) || layerCode == 0 || bitrateIndex == kBadIndex ||
        bitrateIndex == 0 || rateCode == kReservedRate || emphasis == kReservedEmphasis) {
        return 0;
    }
    h = MpegFrameHeader();
    h.version = static_cast<MpegVersion>(versionCode);
    h.layer = 4 - layerCode;
    h.crcProtected = (b[1] & 1) == 0;
    h.bitrate = kBitrates[h.version == MpegVersion::Mpeg1 ? 0 : 1][h.layer - 1][bitrateIndex];
    h.sampleRate = kSampleRates[versionCode][rateCode];
    h.padding = (b[2] & 2) != 0;
    h.privateBit = (b[2] & 1) != 0;
    h.channelMode = static_cast<MpegChannelMode>(b[3] >> 6);
    h.modeExtension = (b[3] >> 4) & 3;
    if (h.channelMode == MpegChannelMode::JointStereo) h.bound = (h.modeExtension + 1) * 4;
    h.copyright = (b[3] & 8) != 0;
    h.original = (b[3] & 4) != 0;
    h.emphasis = emphasis;
    if (h.layer == 2) {
        if (!LayerTwoModeAllowed(h)) return 0;
        h.allocationTable = LayerTwoTable(h);
    }
    return 1;
}

u32 MpegFrameLength(const MpegFrameHeader& h) {
    if (h.sampleRate == 0 || h.bitrate == 0) return 0;
    const u32 pad = h.padding ? 1 : 0;
    const u32 bits = h.bitrate * 1000;
    if (h.layer == 1) return (12 * bits / h.sampleRate + pad) * 4;
    const u32 coefficient = h.layer == 3 && h.version != MpegVersion::Mpeg1 ? 72 : 144;
    return coefficient * bits / h.sampleRate + pad;
}

bool MpegSameStream(const MpegFrameHeader& a, const MpegFrameHeader& b) {
    const bool monoA = a.channelMode == MpegChannelMode::Mono;
    const bool monoB = b.channelMode == MpegChannelMode::Mono;
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate && a.emphasis == b.emphasis &&
           monoA == monoB;
}

u32 Id3SyncSafeSize(const u8* bytes, u32& size) {
    if (!bytes) return 0;
    u32 s = 0;
    for (int i = 0; i < 4; ++i) {
        if (bytes[i] & 0x80) return 0;
        s = (s << 7) | bytes[i];
    }
    size = s;
    return 1;
}
