#pragma once
// The fixed tables from which the analyser registry is filled: which analyser class sits under
// which sector signature, in which order. Used by the registry and its tests only.
#include <span>

#include "platform/Types.h"

// Every format analyser class the registry can hold.
enum class RawAnalyserClass : u8 {
    JPG, PDF, TIF, CRW, DMG, X3F, SVG, ASF, EPS, MPG, Ogg, RM_RMVB, GIF, DXF, AIF, APE, ZIP, WPD,
    WMF, TTF, SIT, RTF, RIFF, RAR, PST, PSP, PSD, PNG, ONE, OLE, LowDoc, MNY, MID, ICO, HLP, DWG,
    DBX, CPT, CAB, AU, MKV, CHM, MRW, MP3, MOV, MP4, ThreeGP, FLV, ThreeDS, BMP, GZ, HTM,
    UnicodeHTM, MDB, SWF, TAR, LZH, EMF,
    Count
};
constexpr u32 kRawAnalyserClassCount = static_cast<u32>(RawAnalyserClass::Count);

// What a freshly made analyser of a class says for GetAnalyserTypeId; kTypeIdNotFixed where the
// class settles its id only when it is built.
constexpr u32 kTypeIdNotFixed = 0xFFFFFFFEu;

struct RawAnalyserClassInfo {
    const char* name;  // the class name, for logs and test messages
    u32 typeId;
};
const RawAnalyserClassInfo& GetRawAnalyserClassInfo(RawAnalyserClass cls);

// One assignment of the 4-byte map or insert of the 2-byte multimap; the key is given as the
// bytes at the start of a sector, so it reads the same on every host.
struct Signature4Entry {
    u8 bytes[4];
    RawAnalyserClass cls;
};
struct Signature2Entry {
    u8 bytes[2];
    RawAnalyserClass cls;
};

// The 71 assignments of the 4-byte map in order (a key assigned again keeps the last class).
std::span<const Signature4Entry> Signature4Assignments();
// The 35 inserts of the 2-byte multimap in order (the order in which one key's analysers are asked).
std::span<const Signature2Entry> Signature2Inserts();
// The analysers whose signature is not at the start of the sector: LZH, EMF, then TAR.
std::span<const RawAnalyserClass> OffsetAnalyserClasses();

// Bytes every header of an offset class carries at a fixed place inside its first sector. A
// sector without them cannot begin a file of that class, so the search can pass over almost every
// sector without asking those analysers at all.
struct OffsetProbe {
    static constexpr u32 kMaxBytes = 4;
    u16 at;
    u8 length;
    u8 bytes[kMaxBytes];

    // The sector holds at least 512 bytes, beyond every probe's place.
    bool Matches(const u8* sector) const {
        for (u32 i = 0; i < length; ++i) {
            if (sector[at + i] != bytes[i]) return false;
        }
        return true;
    }
};
// The probe of an offset class; a probe of length 0, which every sector passes, for any other.
OffsetProbe OffsetProbeOf(RawAnalyserClass cls);
// The 63 entries of the full analyser list in order.
std::span<const RawAnalyserClass> AnalyserListClasses();

class IRawFileAnalyser;

// Makes a new analyser of the class; null while the class is not part of the build. Each format
// family adds its classes here as it is built.
IRawFileAnalyser* CreateRawFileAnalyser(RawAnalyserClass cls);
