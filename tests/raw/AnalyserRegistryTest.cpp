// The analyser registry: its fill order, the signature lookups, and its behaviour while some or
// all format analysers are missing from the build.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "raw/AnalyserRegistry.h"
#include "raw/AnalyserTables.h"

namespace {

int g_made = 0;
int g_destroyed = 0;

// Stands in for a format analyser: remembers its class and accepts a sector whose byte 4 is its
// class number, so a test can steer which analyser of one key matches.
class TestAnalyser : public IRawFileAnalyser {
public:
    explicit TestAnalyser(RawAnalyserClass cls) : IRawFileAnalyser(GetRawAnalyserClassInfo(cls).typeId), m_cls(cls) {
        ++g_made;
    }
    ~TestAnalyser() override { ++g_destroyed; }
    u32 CheckFileHeader(const u8* sector, u32, CRawFileInfo& record) override {
        ++asked;
        if (sector[4] != static_cast<u8>(m_cls)) return 0;
        record.fileType = GetRawAnalyserClassInfo(m_cls).typeId;
        return 1;
    }
    RawAnalyserClass Class() const { return m_cls; }
    int asked = 0;

private:
    RawAnalyserClass m_cls;
};

std::string NameOf(const IRawFileAnalyser* a) {
    auto* t = dynamic_cast<const TestAnalyser*>(a);
    return t == nullptr ? std::string("?") : GetRawAnalyserClassInfo(t->Class()).name;
}

IRawFileAnalyser* MakeAll(RawAnalyserClass cls) { return new TestAnalyser(cls); }

CRawFileAnalyserRegistry::AnalyserFactory MakeOnly(std::set<RawAnalyserClass> classes) {
    return [classes](RawAnalyserClass cls) -> IRawFileAnalyser* {
        return classes.count(cls) != 0 ? new TestAnalyser(cls) : nullptr;
    };
}

std::array<u8, 512> Sector(std::initializer_list<u8> start) {
    std::array<u8, 512> s{};
    size_t i = 0;
    for (u8 b : start) s[i++] = b;
    return s;
}

std::vector<std::string> Names(CRawFileAnalyserRegistry::Signature2Range range) {
    std::vector<std::string> out;
    for (auto it = range.first; it != range.second; ++it) out.push_back(NameOf(it->second));
    return out;
}

struct Key4 {
    u8 b[4];
    const char* name;
};

// The map as it stands after all 71 assignments.
const Key4 kFinal4[] = {
    {{0xFF, 0xD8, 0xFF, 0xE0}, "FileJPGAnalyser"},    {{0xFF, 0xD8, 0xFF, 0xE1}, "FileJPGAnalyser"},
    {{0xFF, 0xD8, 0xFF, 0xDB}, "FileJPGAnalyser"},    {{'%', 'P', 'D', 'F'}, "FilePDFAnalyser"},
    {{0x4D, 0x4D, 0x00, 0x2A}, "FileTIFAnalyser"},    {{0x49, 0x49, 0x2A, 0x00}, "FileTIFAnalyser"},
    {{0x49, 0x49, 0x55, 0x00}, "FileTIFAnalyser"},    {{0x49, 0x49, 0x52, 0x4F}, "FileTIFAnalyser"},
    {{0x49, 0x49, 0x52, 0x53}, "FileTIFAnalyser"},    {{'F', 'U', 'J', 'I'}, "FileTIFAnalyser"},
    {{0x49, 0x49, 0x1A, 0x00}, "FileCRWAnalyser"},    {{0x4D, 0x4D, 0x1A, 0x00}, "FileCRWAnalyser"},
    {{'B', 'Z', 'h', '1'}, "FileDMGAnalyser"},        {{'F', 'O', 'V', 'b'}, "FileX3FAnalyser"},
    {{'<', '?', 'x', 'm'}, "FileSVGAnalyser"},        {{0x30, 0x26, 0xB2, 0x75}, "FileASFAnalyser"},
    {{0xC5, 0xD0, 0xD3, 0xC6}, "FileEPSAnalyser"},    {{0x00, 0x00, 0x01, 0xB3}, "FileMPGAnalyser"},
    {{0x00, 0x00, 0x01, 0xBA}, "FileMPGAnalyser"},    {{'O', 'g', 'g', 'S'}, "CFileOggAnalyser"},
    {{'.', 'R', 'M', 'F'}, "FileRM_RMVBAnalyser"},    {{'G', 'I', 'F', '8'}, "FileGIFAnalyser"},
    {{' ', ' ', '0', '\r'}, "FileDXFAnalyser"},       {{'F', 'O', 'R', 'M'}, "CFileAIFAnalyzer"},
    {{'M', 'A', 'C', ' '}, "CFileAPEAnalyser"},       {{0x50, 0x4B, 0x03, 0x04}, "FileZIPAnalyser"},
    {{0xFF, 0x57, 0x50, 0x43}, "FileWPDAnalyser"},    {{0x01, 0x00, 0x09, 0x00}, "FileWMFAnalyser"},
    {{0xD7, 0xCD, 0xC6, 0x9A}, "FileWMFAnalyser"},    {{0x00, 0x01, 0x00, 0x00}, "FileTTFAnalyser"},
    {{'S', 't', 'u', 'f'}, "FileSITAnalyser"},        {{'{', '\\', 'r', 't'}, "FileRTFAnalyser"},
    {{'R', 'I', 'F', 'F'}, "FileRIFFAnalyser"},       {{'R', 'a', 'r', '!'}, "FileRARAnalyser"},
    {{'!', 'B', 'D', 'N'}, "FilePSTAnalyser"},        {{'P', 'a', 'i', 'n'}, "FilePSPAnalyser"},
    {{'8', 'B', 'P', 'S'}, "FilePSDAnalyser"},        {{0x89, 'P', 'N', 'G'}, "FilePNGAnalyser"},
    {{0xE4, 0x52, 0x5C, 0x7B}, "FileONEAnalyser"},    {{0xD0, 0xCF, 0x11, 0xE0}, "FileLowDocAnalyser"},
    {{'M', 'S', 'I', 'S'}, "FileMNYAnalyser"},        {{'M', 'T', 'h', 'd'}, "FileMIDAnalyser"},
    {{0xDB, 0xA5, 0x2D, 0x00}, "FileLowDocAnalyser"}, {{0x94, 0xA6, 0x2E, 0x00}, "FileLowDocAnalyser"},
    {{0x00, 0x00, 0x01, 0x00}, "FileICOAnalyser"},    {{0x00, 0x00, 0x02, 0x00}, "FileICOAnalyser"},
    {{0x3F, 0x5F, 0x03, 0x00}, "FileHLPAnalyser"},    {{'%', '!', 'P', 'S'}, "FileEPSAnalyser"},
    {{'A', 'C', '1', '0'}, "FileDWGAnalyser"},        {{'J', 'M', 'F', '6'}, "FileDBXAnalyser"},
    {{0xCF, 0xAD, 0x12, 0xFE}, "FileDBXAnalyser"},    {{'C', 'P', 'T', '7'}, "FileCPTAnalyser"},
    {{'C', 'P', 'T', '8'}, "FileCPTAnalyser"},        {{'C', 'P', 'T', '9'}, "FileCPTAnalyser"},
    {{'M', 'S', 'C', 'F'}, "FileCABAnalyser"},        {{'m', 's', 'c', 'f'}, "FileCABAnalyser"},
    {{'.', 's', 'n', 'd'}, "FileAUAnalyser"},         {{0x1A, 0x45, 0xDF, 0xA3}, "FileMKVAnalyser"},
    {{'I', 'T', 'S', 'F'}, "FileCHMAnalyser"},        {{0x00, 'M', 'R', 'M'}, "FileMRWAnalyser"},
};

TEST(AnalyserRegistry, FourByteMapHoldsTheLastAssignmentOfEachKey) {
    CRawFileAnalyserRegistry reg(MakeAll);
    const auto& map = reg.GetSignature4Map(0);
    EXPECT_EQ(map.size(), 60u);
    EXPECT_EQ(std::size(kFinal4), 60u);
    for (const Key4& k : kFinal4) {
        const u32 key = CRawFileAnalyserRegistry::Signature4Key(k.b);
        EXPECT_EQ(NameOf(reg.FindSignature4(key)), k.name)
            << std::hex << int(k.b[0]) << ' ' << int(k.b[1]) << ' ' << int(k.b[2]) << ' ' << int(k.b[3]);
    }
    // The key is the sector's first four bytes read little-endian.
    EXPECT_EQ(NameOf(reg.FindSignature4(0x46445025u)), "FilePDFAnalyser");
    EXPECT_EQ(reg.FindSignature4(0x25504446u), nullptr);
    EXPECT_EQ(reg.FindSignature4(0), nullptr);
}

TEST(AnalyserRegistry, TwoByteMultimapKeepsInsertionOrderPerKey) {
    CRawFileAnalyserRegistry reg(MakeAll);
    const auto& map = reg.GetSignature2Map(0);
    EXPECT_EQ(map.size(), 35u);

    auto names = [&](u8 a, u8 b) {
        const u8 s[2] = {a, b};
        return Names(reg.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(s)));
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(names('%', '!'), (V{"FilePDFAnalyser", "FileEPSAnalyser"}));
    EXPECT_EQ(names(0xFF, 0xFE), (V{"FileMP3Analyser", "FileUnicodeHTMAnalyser"}));
    EXPECT_EQ(names(0x00, 0x00), (V{"FileMOVAnalyser", "FileMP4Analyser", "File3GPAnalyser"}));
    EXPECT_EQ(names('I', 'D'), V{"FileMP3Analyser"});
    for (u8 second : {0xF0, 0xF5, 0xFA, 0xFB, 0xFC, 0xFF}) EXPECT_EQ(names(0xFF, second), V{"FileMP3Analyser"});
    EXPECT_EQ(names('F', 'L'), V{"FileFLVAnalyser"});
    EXPECT_EQ(names('M', 'M'), V{"File3DSAnalyser"});
    EXPECT_EQ(names('B', 'M'), V{"FileBMPAnalyser"});
    EXPECT_EQ(names(0x1F, 0x8B), V{"FileGZAnalyser"});
    EXPECT_EQ(names('<', 'h'), V{"FileHTMAnalyser"});
    EXPECT_EQ(names('<', 'H'), V{"FileHTMAnalyser"});
    EXPECT_EQ(names('<', '!'), V{"FileHTMAnalyser"});
    EXPECT_EQ(names(0x00, 0x01), V{"FileMDBAnalyser"});
    EXPECT_EQ(names('M', 'S'), V{"FileMNYAnalyser"});
    EXPECT_EQ(names('F', 'W'), V{"FileSWFAnalyser"});
    EXPECT_EQ(names('C', 'W'), V{"FileSWFAnalyser"});
    // TAR is keyed by the first two bytes of the sector, not by the "ustar" magic further in.
    EXPECT_EQ(names('u', 's'), V{"FileTARAnalyser"});
    EXPECT_TRUE(names('u', 't').empty());
    EXPECT_TRUE(names(0xFF, 0xD8).empty());
}

TEST(AnalyserRegistry, OffsetAndFullListsInTheirFixedOrder) {
    CRawFileAnalyserRegistry reg(MakeAll);
    std::vector<std::string> offset;
    for (IRawFileAnalyser* a : reg.GetOffsetAnalyserList(0)) offset.push_back(NameOf(a));
    // TAR's magic lies at offset 257 under a member name that may begin with anything.
    EXPECT_EQ(offset, (std::vector<std::string>{"FileLZHAnalyser", "FileEMFAnalyser", "FileTARAnalyser"}));

    const std::vector<std::string> expected = {
        "FileJPGAnalyser", "FilePDFAnalyser", "FileTIFAnalyser", "FileCRWAnalyser", "FileDMGAnalyser",
        "FileX3FAnalyser", "FileSVGAnalyser", "FileASFAnalyser", "FileEPSAnalyser", "FileMPGAnalyser",
        "CFileOggAnalyser", "FileRM_RMVBAnalyser", "FileGIFAnalyser", "FileASFAnalyser", "FileDXFAnalyser",
        "CFileAIFAnalyzer", "CFileAPEAnalyser", "FileZIPAnalyser", "FileWPDAnalyser", "FileWMFAnalyser",
        "FileTTFAnalyser", "FileSITAnalyser", "FileRTFAnalyser", "FileRIFFAnalyser", "FileRARAnalyser",
        "FilePSDAnalyser", "FilePNGAnalyser", "FileONEAnalyser", "FileOLEAnalyser", "FileMNYAnalyser",
        "FileMIDAnalyser", "FileLowDocAnalyser", "FileICOAnalyser", "FileHLPAnalyser", "FileGIFAnalyser",
        "CFileAIFAnalyzer", "FileEPSAnalyser", "FileDWGAnalyser", "FileDBXAnalyser", "FileCPTAnalyser",
        "FileCABAnalyser", "FileAUAnalyser", "FileMKVAnalyser", "FileCHMAnalyser", "FileMRWAnalyser",
        "FilePDFAnalyser", "FileMP3Analyser", "FileMOVAnalyser", "FileMP4Analyser", "File3GPAnalyser",
        "FileEPSAnalyser", "FileFLVAnalyser", "File3DSAnalyser", "FileBMPAnalyser", "FileGZAnalyser",
        "FileHTMAnalyser", "FileUnicodeHTMAnalyser", "FileMDBAnalyser", "FileMNYAnalyser", "FileSWFAnalyser",
        "FileTARAnalyser", "FileLZHAnalyser", "FileEMFAnalyser",
    };
    std::vector<std::string> all;
    for (IRawFileAnalyser* a : reg.GetAnalyserList()) all.push_back(NameOf(a));
    EXPECT_EQ(all, expected);
}

TEST(AnalyserRegistry, EveryRegistrationIsItsOwnInstanceAndAllAreFreed) {
    g_made = g_destroyed = 0;
    {
        CRawFileAnalyserRegistry reg(MakeAll);
        EXPECT_EQ(g_made, 71 + 35 + 3 + 63);
        std::set<IRawFileAnalyser*> seen;
        size_t reachable = 0;
        for (const auto& [key, a] : reg.GetSignature4Map(0)) seen.insert(a), ++reachable;
        for (const auto& [key, a] : reg.GetSignature2Map(0)) seen.insert(a), ++reachable;
        for (IRawFileAnalyser* a : reg.GetOffsetAnalyserList(0)) seen.insert(a), ++reachable;
        for (IRawFileAnalyser* a : reg.GetAnalyserList()) seen.insert(a), ++reachable;
        EXPECT_EQ(seen.size(), reachable);
        EXPECT_EQ(reachable, 60u + 35u + 3u + 63u);
        EXPECT_EQ(g_destroyed, 0);
    }
    // The 11 instances replaced in the 4-byte map are freed with the rest.
    EXPECT_EQ(g_destroyed, g_made);
}

TEST(AnalyserRegistry, WithoutAnalysersEveryStructureIsEmpty) {
    for (const CRawFileAnalyserRegistry::AnalyserFactory& factory :
         {CRawFileAnalyserRegistry::AnalyserFactory([](RawAnalyserClass) -> IRawFileAnalyser* { return nullptr; }),
          CRawFileAnalyserRegistry::AnalyserFactory()}) {
        CRawFileAnalyserRegistry reg(factory);
        EXPECT_TRUE(reg.GetSignature4Map(0).empty());
        EXPECT_TRUE(reg.GetSignature2Map(0).empty());
        EXPECT_TRUE(reg.GetOffsetAnalyserList(0).empty());
        EXPECT_TRUE(reg.GetAnalyserList().empty());
        const auto s = Sector({0xFF, 0xD8, 0xFF, 0xE0});
        EXPECT_EQ(reg.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(s.data())), nullptr);
        const auto range = reg.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(s.data()));
        EXPECT_EQ(range.first, range.second);
    }
}

TEST(AnalyserRegistry, MissingClassesAreLeftOutWithoutDisturbingTheOthers) {
    // The compound-file key belongs to the later LowDoc assignment; without LowDoc it stays
    // empty rather than falling back to the OLE analyser it replaced.
    CRawFileAnalyserRegistry reg(MakeOnly({RawAnalyserClass::OLE, RawAnalyserClass::EPS, RawAnalyserClass::EMF,
                                          RawAnalyserClass::MP4}));
    const u8 ole[4] = {0xD0, 0xCF, 0x11, 0xE0};
    EXPECT_EQ(reg.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(ole)), nullptr);
    const u8 eps[4] = {'%', '!', 'P', 'S'};
    EXPECT_EQ(NameOf(reg.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(eps))), "FileEPSAnalyser");
    EXPECT_EQ(reg.GetSignature4Map(0).size(), 2u);  // the two EPS keys

    using V = std::vector<std::string>;
    EXPECT_EQ(Names(reg.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(eps))), V{"FileEPSAnalyser"});
    const u8 zero[2] = {0, 0};
    EXPECT_EQ(Names(reg.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(zero))), V{"FileMP4Analyser"});

    ASSERT_EQ(reg.GetOffsetAnalyserList(0).size(), 1u);
    EXPECT_EQ(NameOf(reg.GetOffsetAnalyserList(0)[0]), "FileEMFAnalyser");
    V all;
    for (IRawFileAnalyser* a : reg.GetAnalyserList()) all.push_back(NameOf(a));
    EXPECT_EQ(all, (V{"FileEPSAnalyser", "FileOLEAnalyser", "FileEPSAnalyser", "FileMP4Analyser",
                      "FileEPSAnalyser", "FileEMFAnalyser"}));
}

TEST(AnalyserRegistry, ARegisteredAnalyserIsFoundFromASectorAndAsked) {
    CRawFileAnalyserRegistry reg(MakeOnly({RawAnalyserClass::JPG, RawAnalyserClass::MOV, RawAnalyserClass::MP4,
                                          RawAnalyserClass::ThreeGP}));
    // A 4-byte hit whose analyser accepts the sector.
    auto jpg = Sector({0xFF, 0xD8, 0xFF, 0xE1, static_cast<u8>(RawAnalyserClass::JPG)});
    IRawFileAnalyser* a = reg.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(jpg.data()));
    ASSERT_NE(a, nullptr);
    CRawFileInfo record;
    EXPECT_EQ(a->CheckFileHeader(jpg.data(), u32(jpg.size()), record), 1u);
    EXPECT_EQ(record.fileType, 35u);
    EXPECT_EQ(a->GetAnalyserTypeId(), 35u);
    // A miss: no 4-byte entry and no 2-byte entry.
    auto other = Sector({0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(reg.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(other.data())), nullptr);
    auto none = reg.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(other.data()));
    EXPECT_EQ(none.first, none.second);

    // Three analysers under one 2-byte key are asked in insertion order up to the first match.
    auto box = Sector({0x00, 0x00, 0x00, 0x18, static_cast<u8>(RawAnalyserClass::MP4)});
    std::vector<std::string> asked;
    std::string matched;
    auto range = reg.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(box.data()));
    for (auto it = range.first; it != range.second; ++it) {
        asked.push_back(NameOf(it->second));
        CRawFileInfo r;
        if (it->second->CheckFileHeader(box.data(), u32(box.size()), r) == 1) {
            matched = NameOf(it->second);
            EXPECT_EQ(r.fileType, 44u);
            break;
        }
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"FileMOVAnalyser", "FileMP4Analyser"}));
    EXPECT_EQ(matched, "FileMP4Analyser");
}

TEST(AnalyserRegistry, ProcessRegistryIsOneObjectOfConsistentAnalysers) {
    CRawFileAnalyserRegistry& reg = CRawFileAnalyserRegistry::Instance();
    EXPECT_EQ(&reg, &CRawFileAnalyserRegistry::Instance());
    for (const auto& [key, a] : reg.GetSignature4Map(0)) EXPECT_NE(a, nullptr);
    for (const auto& [key, a] : reg.GetSignature2Map(0)) EXPECT_NE(a, nullptr);
    for (IRawFileAnalyser* a : reg.GetOffsetAnalyserList(0)) EXPECT_NE(a, nullptr);
    for (IRawFileAnalyser* a : reg.GetAnalyserList()) EXPECT_NE(a, nullptr);
    EXPECT_LE(reg.GetSignature4Map(0).size(), 60u);
    EXPECT_LE(reg.GetSignature2Map(0).size(), 35u);
    EXPECT_LE(reg.GetOffsetAnalyserList(0).size(), 3u);
    EXPECT_LE(reg.GetAnalyserList().size(), 63u);

    // Each analyser the build makes starts with its class's type id.
    for (u32 i = 0; i < kRawAnalyserClassCount; ++i) {
        const auto cls = static_cast<RawAnalyserClass>(i);
        std::unique_ptr<IRawFileAnalyser> made(CreateRawFileAnalyser(cls));
        const RawAnalyserClassInfo& info = GetRawAnalyserClassInfo(cls);
        if (made && info.typeId != kTypeIdNotFixed) {
            EXPECT_EQ(made->GetAnalyserTypeId(), info.typeId) << info.name;
        }
    }
}

}  // namespace
