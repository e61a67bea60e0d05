#include "raw/AnalyserTables.h"

namespace {
using C = RawAnalyserClass;

struct ClassRow {
    C cls;
    RawAnalyserClassInfo info;
};

constexpr ClassRow kClasses[] = {
    {C::JPG, {"FileJPGAnalyser", 35}},
    {C::PDF, {"FilePDFAnalyser", 50}},
    {C::TIF, {"FileTIFAnalyser", 64}},
    {C::CRW, {"FileCRWAnalyser", 18}},
    {C::DMG, {"FileDMGAnalyser", 113}},
    {C::X3F, {"FileX3FAnalyser", 108}},
    {C::SVG, {"FileSVGAnalyser", 91}},
    {C::ASF, {"FileASFAnalyser", 6}},
    {C::EPS, {"FileEPSAnalyser", 27}},
    {C::MPG, {"FileMPGAnalyser", 109}},
    {C::Ogg, {"CFileOggAnalyser", 82}},
    {C::RM_RMVB, {"FileRM_RMVBAnalyser", 94}},
    {C::GIF, {"FileGIFAnalyser", 30}},
    {C::DXF, {"FileDXFAnalyser", 25}},
    {C::AIF, {"CFileAIFAnalyzer", 80}},
    // Its header check sets the record's type itself; the analyser keeps the base's id.
    {C::APE, {"CFileAPEAnalyser", 0xFFFFFFFFu}},
    {C::ZIP, {"FileZIPAnalyser", 72}},
    {C::WPD, {"FileWPDAnalyser", 68}},
    {C::WMF, {"FileWMFAnalyser", 70}},
    {C::TTF, {"FileTTFAnalyser", 65}},
    {C::SIT, {"FileSITAnalyser", 92}},
    {C::RTF, {"FileRTFAnalyser", 60}},
    {C::RIFF, {"FileRIFFAnalyser", 59}},
    {C::RAR, {"FileRARAnalyser", 58}},
    {C::PST, {"FilePSTAnalyser", 56}},
    {C::PSP, {"FilePSPAnalyser", 55}},
    {C::PSD, {"FilePSDAnalyser", 54}},
    {C::PNG, {"FilePNGAnalyser", 51}},
    {C::ONE, {"FileONEAnalyser", 49}},
    {C::OLE, {"FileOLEAnalyser", kTypeIdNotFixed}},
    {C::LowDoc, {"FileLowDocAnalyser", 23}},
    {C::MNY, {"FileMNYAnalyser", 40}},
    {C::MID, {"FileMIDAnalyser", 38}},
    {C::ICO, {"FileICOAnalyser", 34}},
    {C::HLP, {"FileHLPAnalyser", 32}},
    {C::DWG, {"FileDWGAnalyser", 24}},
    {C::DBX, {"FileDBXAnalyser", 21}},
    {C::CPT, {"FileCPTAnalyser", 17}},
    {C::CAB, {"FileCABAnalyser", 12}},
    {C::AU, {"FileAUAnalyser", 9}},
    {C::MKV, {"FileMKVAnalyser", 96}},
    {C::CHM, {"FileCHMAnalyser", 14}},
    {C::MRW, {"FileMRWAnalyser", 102}},
    {C::MP3, {"FileMP3Analyser", 43}},
    {C::MOV, {"FileMOVAnalyser", 42}},
    {C::MP4, {"FileMP4Analyser", 44}},
    {C::ThreeGP, {"File3GPAnalyser", 2}},
    {C::FLV, {"FileFLVAnalyser", 90}},
    {C::ThreeDS, {"File3DSAnalyser", 1}},
    {C::BMP, {"FileBMPAnalyser", 11}},
    {C::GZ, {"FileGZAnalyser", 31}},
    {C::HTM, {"FileHTMAnalyser", 33}},
    {C::UnicodeHTM, {"FileUnicodeHTMAnalyser", 33}},
    {C::MDB, {"FileMDBAnalyser", 39}},
    {C::SWF, {"FileSWFAnalyser", 62}},
    {C::TAR, {"FileTARAnalyser", 63}},
    {C::LZH, {"FileLZHAnalyser", 36}},
    {C::EMF, {"FileEMFAnalyser", 26}},
};
static_assert(std::size(kClasses) == kRawAnalyserClassCount);

constexpr bool ClassRowsInEnumOrder() {
    for (u32 i = 0; i < kRawAnalyserClassCount; ++i) {
        if (static_cast<u32>(kClasses[i].cls) != i) return false;
    }
    return true;
}
static_assert(ClassRowsInEnumOrder());

constexpr Signature4Entry kSignature4[] = {
    {{0xFF, 0xD8, 0xFF, 0xE0}, C::JPG},      // 1
    {{0xFF, 0xD8, 0xFF, 0xE1}, C::JPG},
    {{0xFF, 0xD8, 0xFF, 0xDB}, C::JPG},
    {{0x25, 0x50, 0x44, 0x46}, C::PDF},      // "%PDF"
    {{0x4D, 0x4D, 0x00, 0x2A}, C::TIF},      // 5: big-endian TIFF
    {{0x49, 0x49, 0x2A, 0x00}, C::TIF},      // little-endian TIFF
    {{0x49, 0x49, 0x55, 0x00}, C::TIF},
    {{0x49, 0x49, 0x52, 0x4F}, C::TIF},
    {{0x49, 0x49, 0x52, 0x53}, C::TIF},
    {{0x46, 0x55, 0x4A, 0x49}, C::TIF},      // 10
    {{0x49, 0x49, 0x1A, 0x00}, C::CRW},
    {{0x4D, 0x4D, 0x1A, 0x00}, C::CRW},
    {{0x42, 0x5A, 0x68, 0x31}, C::DMG},      // "BZh1"
    {{0x46, 0x4F, 0x56, 0x62}, C::X3F},      // "FOVb"
    {{0x3C, 0x3F, 0x78, 0x6D}, C::SVG},      // 15: "<?xm"
    {{0x30, 0x26, 0xB2, 0x75}, C::ASF},
    {{0xC5, 0xD0, 0xD3, 0xC6}, C::EPS},
    {{0x00, 0x00, 0x01, 0xB3}, C::MPG},
    {{0x00, 0x00, 0x01, 0xBA}, C::MPG},
    {{0x4F, 0x67, 0x67, 0x53}, C::Ogg},      // 20: "OggS"
    {{0x2E, 0x52, 0x4D, 0x46}, C::RM_RMVB},  // ".RMF"
    {{0x47, 0x49, 0x46, 0x38}, C::GIF},      // "GIF8"
    {{0x4D, 0x4D, 0x00, 0x2A}, C::TIF},
    {{0x49, 0x49, 0x2A, 0x00}, C::TIF},
    {{0x49, 0x49, 0x55, 0x00}, C::TIF},      // 25
    {{0x49, 0x49, 0x52, 0x4F}, C::TIF},
    {{0x49, 0x49, 0x52, 0x53}, C::TIF},
    {{0x46, 0x55, 0x4A, 0x49}, C::TIF},
    {{0x30, 0x26, 0xB2, 0x75}, C::ASF},
    {{0x20, 0x20, 0x30, 0x0D}, C::DXF},      // 30
    {{0x46, 0x4F, 0x52, 0x4D}, C::AIF},      // "FORM"
    {{0x4D, 0x41, 0x43, 0x20}, C::APE},      // "MAC "
    {{0x50, 0x4B, 0x03, 0x04}, C::ZIP},
    {{0xFF, 0x57, 0x50, 0x43}, C::WPD},
    {{0x01, 0x00, 0x09, 0x00}, C::WMF},      // 35
    {{0xD7, 0xCD, 0xC6, 0x9A}, C::WMF},
    {{0x00, 0x01, 0x00, 0x00}, C::TTF},
    {{0x53, 0x74, 0x75, 0x66}, C::SIT},      // "Stuf"
    {{0x7B, 0x5C, 0x72, 0x74}, C::RTF},      // "{\rt"
    {{0x52, 0x49, 0x46, 0x46}, C::RIFF},     // 40: "RIFF"
    {{0x52, 0x61, 0x72, 0x21}, C::RAR},      // "Rar!"
    {{0x21, 0x42, 0x44, 0x4E}, C::PST},      // "!BDN"
    {{0x50, 0x61, 0x69, 0x6E}, C::PSP},      // "Pain"
    {{0x38, 0x42, 0x50, 0x53}, C::PSD},      // "8BPS"
    {{0x89, 0x50, 0x4E, 0x47}, C::PNG},      // 45
    {{0xE4, 0x52, 0x5C, 0x7B}, C::ONE},
    {{0xD0, 0xCF, 0x11, 0xE0}, C::OLE},      // replaced by assignment 52
    {{0x4D, 0x53, 0x49, 0x53}, C::MNY},      // "MSIS"
    {{0x4D, 0x54, 0x68, 0x64}, C::MID},      // "MThd"
    {{0xDB, 0xA5, 0x2D, 0x00}, C::LowDoc},   // 50
    {{0x94, 0xA6, 0x2E, 0x00}, C::LowDoc},
    {{0xD0, 0xCF, 0x11, 0xE0}, C::LowDoc},
    {{0x00, 0x00, 0x01, 0x00}, C::ICO},
    {{0x00, 0x00, 0x02, 0x00}, C::ICO},
    {{0x3F, 0x5F, 0x03, 0x00}, C::HLP},      // 55
    {{0x47, 0x49, 0x46, 0x38}, C::GIF},
    {{0x46, 0x4F, 0x52, 0x4D}, C::AIF},
    {{0xC5, 0xD0, 0xD3, 0xC6}, C::EPS},
    {{0x25, 0x21, 0x50, 0x53}, C::EPS},      // "%!PS"
    {{0x41, 0x43, 0x31, 0x30}, C::DWG},      // 60: "AC10"
    {{0x4A, 0x4D, 0x46, 0x36}, C::DBX},      // "JMF6"
    {{0xCF, 0xAD, 0x12, 0xFE}, C::DBX},
    {{0x43, 0x50, 0x54, 0x37}, C::CPT},      // "CPT7"
    {{0x43, 0x50, 0x54, 0x38}, C::CPT},
    {{0x43, 0x50, 0x54, 0x39}, C::CPT},      // 65
    {{0x4D, 0x53, 0x43, 0x46}, C::CAB},      // "MSCF"
    {{0x6D, 0x73, 0x63, 0x66}, C::CAB},      // "mscf"
    {{0x2E, 0x73, 0x6E, 0x64}, C::AU},       // ".snd"
    {{0x1A, 0x45, 0xDF, 0xA3}, C::MKV},
    {{0x49, 0x54, 0x53, 0x46}, C::CHM},      // 70: "ITSF"
    {{0x00, 0x4D, 0x52, 0x4D}, C::MRW},      // "\0MRM"
};
static_assert(std::size(kSignature4) == 71);

constexpr Signature2Entry kSignature2[] = {
    {{0x25, 0x21}, C::PDF},  // 1: "%!"
    {{0x49, 0x44}, C::MP3},  // "ID"
    {{0xFF, 0xFB}, C::MP3},
    {{0xFF, 0xF0}, C::MP3},
    {{0xFF, 0xF1}, C::MP3},  // 5
    {{0xFF, 0xF2}, C::MP3},
    {{0xFF, 0xF3}, C::MP3},
    {{0xFF, 0xF4}, C::MP3},
    {{0xFF, 0xF5}, C::MP3},
    {{0xFF, 0xF6}, C::MP3},  // 10
    {{0xFF, 0xF7}, C::MP3},
    {{0xFF, 0xF8}, C::MP3},
    {{0xFF, 0xF9}, C::MP3},
    {{0xFF, 0xFA}, C::MP3},
    {{0xFF, 0xFC}, C::MP3},  // 15
    {{0xFF, 0xFD}, C::MP3},
    {{0xFF, 0xFE}, C::MP3},
    {{0xFF, 0xFF}, C::MP3},
    {{0x00, 0x00}, C::MOV},
    {{0x00, 0x00}, C::MP4},  // 20
    {{0x00, 0x00}, C::ThreeGP},
    {{0x25, 0x21}, C::EPS},
    {{0x46, 0x4C}, C::FLV},  // "FL"
    {{0x4D, 0x4D}, C::ThreeDS},
    {{0x42, 0x4D}, C::BMP},  // 25: "BM"
    {{0x1F, 0x8B}, C::GZ},
    {{0x3C, 0x68}, C::HTM},  // "<h"
    {{0x3C, 0x48}, C::HTM},  // "<H"
    {{0x3C, 0x21}, C::HTM},  // "<!"
    {{0xFF, 0xFE}, C::UnicodeHTM},  // 30
    {{0x00, 0x01}, C::MDB},
    {{0x4D, 0x53}, C::MNY},  // "MS"
    {{0x46, 0x57}, C::SWF},  // "FW"
    {{0x43, 0x57}, C::SWF},  // "CW"
    {{0x75, 0x73}, C::TAR},  // 35: "us", the start of the first member's name
};
static_assert(std::size(kSignature2) == 35);

// TAR's magic sits at offset 257, under a member name that can begin with anything, so it is
// looked for on every sector no key matched.
constexpr C kOffsetClasses[] = {C::LZH, C::EMF, C::TAR};

constexpr C kAnalyserList[] = {
    C::JPG,     C::PDF,  C::TIF,  C::CRW,     C::DMG,   C::X3F,     C::SVG,     C::ASF,
    C::EPS,     C::MPG,  C::Ogg,  C::RM_RMVB, C::GIF,   C::ASF,     C::DXF,     C::AIF,
    C::APE,     C::ZIP,  C::WPD,  C::WMF,     C::TTF,   C::SIT,     C::RTF,     C::RIFF,
    C::RAR,     C::PSD,  C::PNG,  C::ONE,     C::OLE,   C::MNY,     C::MID,     C::LowDoc,
    C::ICO,     C::HLP,  C::GIF,  C::AIF,     C::EPS,   C::DWG,     C::DBX,     C::CPT,
    C::CAB,     C::AU,   C::MKV,  C::CHM,     C::MRW,   C::PDF,     C::MP3,     C::MOV,
    C::MP4,     C::ThreeGP, C::EPS, C::FLV,   C::ThreeDS, C::BMP,   C::GZ,      C::HTM,
    C::UnicodeHTM, C::MDB, C::MNY, C::SWF,    C::TAR,   C::LZH,     C::EMF,
};
static_assert(std::size(kAnalyserList) == 63);
}  // namespace

const RawAnalyserClassInfo& GetRawAnalyserClassInfo(RawAnalyserClass cls) {
    static const RawAnalyserClassInfo kUnknown{"", kTypeIdNotFixed};
    const u32 i = static_cast<u32>(cls);
    return i < kRawAnalyserClassCount ? kClasses[i].info : kUnknown;
}

std::span<const Signature4Entry> Signature4Assignments() { return kSignature4; }
std::span<const Signature2Entry> Signature2Inserts() { return kSignature2; }
std::span<const RawAnalyserClass> OffsetAnalyserClasses() { return kOffsetClasses; }

OffsetProbe OffsetProbeOf(RawAnalyserClass cls) {
    switch (cls) {
    case C::LZH: return {2, 3, {'-', 'l', 'h'}};             // the method name "-lh?-"
    case C::EMF: return {40, 4, {' ', 'E', 'M', 'F'}};       // the header record's signature
    case C::TAR: return {257, 4, {'u', 's', 't', 'a'}};      // "ustar" of the member header
    default: return {0, 0, {}};
    }
}
std::span<const RawAnalyserClass> AnalyserListClasses() { return kAnalyserList; }
