#pragma once
// MPEG audio frame headers (ISO/IEC 11172-3 and 13818-3) and ID3v2 sizes, for the MP3 analyser.
#include "platform/Types.h"

enum class MpegVersion : u8 { Mpeg25, Reserved, Mpeg2, Mpeg1 };
enum class MpegChannelMode : u8 { Stereo, JointStereo, DualChannel, Mono };

struct MpegFrameHeader {
    MpegVersion version = MpegVersion::Reserved;
    u32 layer = 0;          // 1, 2 or 3
    bool crcProtected = false;
    u32 bitrate = 0;        // kbit/s
    u32 sampleRate = 0;     // Hz
    bool padding = false;
    bool privateBit = false;
    MpegChannelMode channelMode = MpegChannelMode::Stereo;
    u32 modeExtension = 0;
    u32 bound = 0;          // joint stereo: the first subband coded jointly
    bool copyright = false;
    bool original = false;
    u32 emphasis = 0;
    u32 allocationTable = 0;  // layer II: 0 to 4
};

// 1 for a valid header (frame sync, version, layer, bitrate, rate and emphasis all allowed).
u32 ParseMpegFrameHeader(const u8* bytes, MpegFrameHeader& header);
// The frame's length in bytes, padding included; 0 for a header without rate or bitrate.
u32 MpegFrameLength(const MpegFrameHeader& header);
bool MpegSameStream(const MpegFrameHeader& a, const MpegFrameHeader& b);
// The 28-bit size of an ID3v2 header, seven bits of each byte; 0 when a byte has its top bit set.
u32 Id3SyncSafeSize(const u8* bytes, u32& size);
