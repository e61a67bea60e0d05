#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/RSData.h"
#include "tests/support/TestUtil.h"

namespace {

MGUID SectionId(u32 n) { return MGUID{0xABCD0000u + n, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, u8(n)}}; }

template <class F>
u32 CodeOf(F&& f) {
    try {
        f();
    } catch (const IRSException& e) {
        return e.GetCode();
    }
    return 0xFFFFFFFFu;
}

std::vector<u8> RandomBytes(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    std::vector<u8> v(n);
    for (auto& b : v) b = u8(rng());
    return v;
}

// Writes one section of the given bytes into a fresh file and returns the file's bytes.
std::vector<u8> WriteOneSection(const std::string& path, const std::vector<u8>& data) {
    CRSDataEx w(1);
    EXPECT_TRUE(w.Open(path.c_str(), 1));
    EXPECT_TRUE(w.WriteHeader(MakeScanResultHeader(1)));
    w.BeginSection(SectionId(1));
    if (!data.empty()) w.Write(data.data(), static_cast<u32>(data.size()));
    w.EndSection();
    w.Close();
    return testutil::ReadFileBytes(path);
}

// Walks the chunks of the first section: (compressed, stored count) per chunk.
std::vector<std::pair<bool, u32>> Chunks(const std::vector<u8>& file) {
    std::vector<std::pair<bool, u32>> out;
    const u32 length = ReadLE32(file.data() + 132 + 32);
    size_t p = 168;
    while (p < 168 + length) {
        const u16 h = ReadLE16(file.data() + p);
        out.emplace_back((h & 0x8000) != 0, (h & 0xFFF) + 1u);
        p += 2 + (h & 0xFFF) + 1;
    }
    EXPECT_EQ(p, 168 + length);
    return out;
}

TEST(RSData, Crc16AndHeaderBytes) {
    EXPECT_EQ(ScanResultCrc16("123456789", 9), 0xFEE8);
    testutil::TempDir dir;
    const std::string path = dir.File("h.rsf");
    CRSDataEx w(1);
    EXPECT_FALSE(w.Open("", 1));
    EXPECT_FALSE(w.Open(nullptr, 1));
    ASSERT_TRUE(w.Open(path.c_str(), 1));
    ScanResultHeader h = MakeScanResultHeader(1);
    h.signature = 0;  // set by WriteHeader
    ASSERT_TRUE(w.WriteHeader(h));
    ASSERT_TRUE(w.SetDescription(std::string(150, 'd').c_str()));
    w.Close();
    const auto bytes = testutil::ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 132u);
    const u8 magic[16] = {0xEA, 0xF4, 0xB3, 0x1B, 0x05, 0x43, 0xB6, 0x4A, 0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB};
    EXPECT_EQ(std::memcmp(bytes.data(), magic, 16), 0);
    EXPECT_EQ(ReadLE32(&bytes[16]), 8000u);
    EXPECT_EQ(ReadLE32(&bytes[24]), 1u);
    EXPECT_EQ(ReadLE32(&bytes[28]), 100u);
    auto zeroed = bytes;
    std::memset(&zeroed[20], 0, 4);
    EXPECT_EQ(ReadLE32(&bytes[20]), ScanResultCrc16(zeroed.data(), 132));

    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    EXPECT_TRUE(r.IsValidFile());
    ScanResultHeader got;
    EXPECT_TRUE(r.ReadHeader(got));
    EXPECT_EQ(r.GetVersion(), 1);
    char small[50];
    ASSERT_TRUE(r.GetDescription(small, 50));
    EXPECT_EQ(std::string(small), std::string(49, 'd'));
    EXPECT_FALSE(r.GetDescription(small, 0));
}

// Rewrites header fields of a saved file, optionally fixing the checksum.
void Patch(const std::string& path, size_t at, u32 value, bool fixCrc) {
    auto b = testutil::ReadFileBytes(path);
    WriteLE32(&b[at], value);
    if (fixCrc) {
        std::memset(&b[20], 0, 4);
        WriteLE32(&b[20], ScanResultCrc16(b.data(), 132));
    }
    testutil::WriteFileBytes(path, b);
}

TEST(RSData, HeaderChecksOnRead) {
    testutil::TempDir dir;
    const std::string path = dir.File("h.rsf");
    {
        CRSDataEx w(1);
        ASSERT_TRUE(w.Open(path.c_str(), 1));
        EXPECT_FALSE(w.SetDescription("x"));  // no header yet
        ASSERT_TRUE(w.SetVersion(1));
    }
    auto check = [&](bool readHeader, bool validFile) {
        CRSDataEx r(0);
        ASSERT_TRUE(r.Open(path.c_str(), 0));
        EXPECT_EQ(r.IsValidFile(), validFile);
        ScanResultHeader h;
        EXPECT_EQ(r.ReadHeader(h), readHeader);
    };
    check(true, true);
    Patch(path, 16, 8001, true);  // the 8000 word
    check(false, true);
    Patch(path, 16, 8000, true);
    Patch(path, 20, ReadLE32(testutil::ReadFileBytes(path).data() + 20) | 0x10000, false);  // high half
    check(false, true);
    Patch(path, 0, 0x1BB3F4EB, true);  // magic
    check(false, false);
    Patch(path, 0, 0x1BB3F4EA, true);

    for (i32 v : {4, 5, 0, -1}) {
        Patch(path, 24, static_cast<u32>(v), true);
        CRSDataEx r(0);
        ASSERT_TRUE(r.Open(path.c_str(), 0));
        EXPECT_EQ(r.IsValidFile(), v == 4);  // reads from the position right after Open
        if (v == 4 || v == 0) {
            EXPECT_EQ(r.GetVersion(), v);
        } else {
            EXPECT_EQ(CodeOf([&] { r.GetVersion(); }), kRSBadHeader) << v;
        }
    }
    Patch(path, 24, 1, true);
    Patch(path, 28, 101, true);
    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    char buf[8];
    EXPECT_EQ(CodeOf([&] { r.GetDescription(buf, 8); }), kRSBadHeader);

    // A file shorter than the version field has version 0.
    testutil::WriteFileBytes(path, std::vector<u8>(20, 0));
    CRSDataEx s(0);
    ASSERT_TRUE(s.Open(path.c_str(), 0));
    EXPECT_EQ(s.GetVersion(), 0);
    EXPECT_FALSE(s.IsValidFile());
}

TEST(RSData, ChunkLayout) {
    testutil::TempDir dir;
    const std::string path = dir.File("c.rsf");

    auto zeros = WriteOneSection(path, std::vector<u8>(4096, 0));
    auto chunks = Chunks(zeros);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_TRUE(chunks[0].first);
    EXPECT_LT(chunks[0].second, 100u);

    auto random = WriteOneSection(path, RandomBytes(4096, 1));
    EXPECT_EQ(ReadLE32(&random[164]), 4098u);
    EXPECT_EQ(ReadLE16(&random[168]), 0x0FFF);
    EXPECT_EQ(random.size(), 168u + 4098u);

    auto mixed = RandomBytes(10000, 2);
    std::memset(mixed.data(), 0, 4096);
    auto ten = WriteOneSection(path, mixed);
    chunks = Chunks(ten);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_TRUE(chunks[0].first);
    EXPECT_EQ(chunks[1], std::make_pair(false, 4096u));
    EXPECT_EQ(chunks[2], std::make_pair(false, 1808u));
    EXPECT_EQ(ReadLE32(&ten[164]), chunks[0].second + 4096 + 1808 + 6);

    // 600000 bytes: 128 full chunks flushed during the write, the rest at the end.
    auto big = WriteOneSection(path, RandomBytes(600000, 3));
    chunks = Chunks(big);
    ASSERT_EQ(chunks.size(), 147u);
    for (size_t i = 0; i + 1 < chunks.size(); ++i) ASSERT_EQ(chunks[i].second, 4096u);
    EXPECT_EQ(chunks.back().second, 600000u - 146 * 4096);

    auto empty = WriteOneSection(path, {});
    EXPECT_EQ(empty.size(), 168u);
    EXPECT_EQ(ReadLE32(&empty[164]), 0u);
    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    EXPECT_TRUE(r.BeginSection(SectionId(1)));
    EXPECT_EQ(r.GetSectionLength(), 0u);
    u8 b;
    EXPECT_EQ(CodeOf([&] { r.Read(&b, 1); }), kRSEndOfData);
}

struct Record {
    u8 a;
    u16 b;
    u32 c;
    u64 d;
    i32 e;
    i64 f;
    MGUID g;
    std::string s;
};

Record MakeRecord(std::mt19937& rng) {
    Record r;
    r.a = u8(rng());
    r.b = u16(rng());
    r.c = rng();
    r.d = (u64(rng()) << 32) | rng();
    r.e = i32(rng());
    r.f = -i64((u64(rng()) << 20) | rng());
    r.g = SectionId(rng() % 1000);
    r.s = std::string(rng() % 300, char('a' + rng() % 26));
    return r;
}

void WriteRecord(IRSData& w, const Record& r) {
    w.WriteU8(r.a);
    w.WriteU16(r.b);
    w.WriteU32(r.c);
    w.WriteU64(r.d);
    w.WriteI32(r.e);
    w.WriteI64(r.f);
    w.WriteGuid(r.g);
    w.WriteU32(static_cast<u32>(r.s.size()));
    w.WriteBytes(r.s.data(), static_cast<u32>(r.s.size()));
}

Record ReadRecord(IRSData& rd) {
    Record r;
    r.a = rd.ReadU8();
    r.b = rd.ReadU16();
    r.c = rd.ReadU32();
    r.d = rd.ReadU64();
    r.e = rd.ReadI32();
    r.f = rd.ReadI64();
    r.g = rd.ReadGuid();
    r.s = rd.ReadString(rd.ReadU32());
    return r;
}

bool Same(const Record& x, const Record& y) {
    return x.a == y.a && x.b == y.b && x.c == y.c && x.d == y.d && x.e == y.e && x.f == y.f && x.g == y.g &&
           x.s == y.s;
}

constexpr u32 kSections = 6;

// A saved stream of several sections of typed records, crossing many chunk and buffer
// boundaries; returns the records per section.
std::vector<std::vector<Record>> WriteSample(const std::string& path) {
    std::mt19937 rng(42);
    std::vector<std::vector<Record>> all(kSections);
    CRSDataEx w(1);
    EXPECT_TRUE(w.Open(path.c_str(), 1));
    EXPECT_TRUE(w.SetVersion(1));
    EXPECT_TRUE(w.SetDescription("sample"));
    for (u32 s = 0; s < kSections; ++s) {
        EXPECT_TRUE(w.BeginSection(SectionId(s)));
        const u32 count = s == 2 ? 0 : (s == 4 ? 6000 : 40 + 97 * s);
        w.WriteU32(count);
        for (u32 i = 0; i < count; ++i) {
            all[s].push_back(MakeRecord(rng));
            WriteRecord(w, all[s].back());
        }
        if (s == 1) {
            const auto blob = RandomBytes(20000, s);  // incompressible stretch between records
            w.WriteU32(20000);
            w.WriteBytes(blob.data(), 20000);
        }
    }
    w.EndSection();
    return all;
}

TEST(RSData, TypedFieldsRoundTripAcrossSections) {
    testutil::TempDir dir;
    const std::string path = dir.File("s.rsf");
    const auto all = WriteSample(path);

    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    ScanResultHeader h;
    ASSERT_TRUE(r.ReadHeader(h));
    char desc[20];
    ASSERT_TRUE(r.GetDescription(desc, 20));
    EXPECT_STREQ(desc, "sample");
    // Sections in any order.
    for (u32 s : {4u, 0u, 5u, 2u, 1u, 3u}) {
        ASSERT_TRUE(r.BeginSection(SectionId(s)));
        const u32 count = r.ReadU32();
        ASSERT_EQ(count, all[s].size());
        for (u32 i = 0; i < count; ++i) {
            ASSERT_TRUE(Same(ReadRecord(r), all[s][i])) << s << " " << i;
        }
        if (s == 1) {
            EXPECT_EQ(r.ReadBlob(r.ReadU32()), RandomBytes(20000, s));
        }
        u8 extra;
        EXPECT_EQ(CodeOf([&] { r.Read(&extra, 1); }), kRSEndOfData);
        r.EndSection();
    }
    EXPECT_EQ(CodeOf([&] { r.BeginSection(SectionId(99)); }), kRSSectionNotFound);
    EXPECT_EQ(CodeOf([&] { r.GetSectionLength(); }), kRSNoSection);
    // The object stays usable after an exception.
    ASSERT_TRUE(r.BeginSection(SectionId(3)));
    EXPECT_EQ(r.ReadU32(), all[3].size());
}

TEST(RSData, ModeAndSectionErrors) {
    testutil::TempDir dir;
    const std::string path = dir.File("m.rsf");
    CRSDataEx w(1);
    ASSERT_TRUE(w.Open(path.c_str(), 1));
    ASSERT_TRUE(w.WriteHeader(MakeScanResultHeader(1)));
    u8 b = 0;
    EXPECT_EQ(CodeOf([&] { w.Write(&b, 1); }), kRSNoSection);
    EXPECT_EQ(CodeOf([&] { w.Read(&b, 1); }), kRSWrongMode);
    EXPECT_EQ(CodeOf([&] { w.GetVersion(); }), kRSWrongMode);
    EXPECT_EQ(CodeOf([&] { w.GetDescription(reinterpret_cast<char*>(&b), 1); }), kRSWrongMode);
    EXPECT_FALSE(w.Flush());
    ASSERT_TRUE(w.BeginSection(SectionId(1)));
    w.WriteU32(7);
    w.EndSection();
    w.Close();

    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    EXPECT_FALSE(r.WriteHeader(MakeScanResultHeader(1)));
    EXPECT_EQ(CodeOf([&] { r.Write(&b, 1); }), kRSWrongMode);
    EXPECT_EQ(CodeOf([&] { r.SetVersion(1); }), kRSWrongMode);
    EXPECT_EQ(CodeOf([&] { r.Read(&b, 1); }), kRSNoSection);
    ASSERT_TRUE(r.BeginSection(SectionId(1)));
    EXPECT_EQ(r.ReadU32(), 7u);
    EXPECT_EQ(CodeOf([&] { r.Read(&b, 1); }), kRSEndOfData);
}

TEST(RSData, DamagedChunkIsAnErrorNotData) {
    testutil::TempDir dir;
    const std::string path = dir.File("d.rsf");
    auto bytes = WriteOneSection(path, std::vector<u8>(4096, 'q'));
    ASSERT_TRUE(Chunks(bytes)[0].first);
    bytes[168 + 2 + 4] ^= 0xFF;  // inside the deflate data
    testutil::WriteFileBytes(path, bytes);
    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    ASSERT_TRUE(r.BeginSection(SectionId(1)));
    u8 out[4096];
    EXPECT_EQ(CodeOf([&] { r.Read(out, 1); }), kRSEndOfData);
}

TEST(RSData, LengthsAreCheckedAgainstTheSection) {
    testutil::TempDir dir;
    const std::string path = dir.File("l.rsf");
    std::vector<u8> data(10000, 0);
    WriteLE32(data.data(), 0xFFFFFFF0u);  // a length field claiming far more than is there
    WriteOneSection(path, data);
    CRSDataEx r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    ASSERT_TRUE(r.BeginSection(SectionId(1)));
    const u32 claimed = r.ReadU32();
    EXPECT_TRUE(r.CanRead(9996));
    EXPECT_FALSE(r.CanRead(12289));  // three chunks can hold no more than 3 x 4096
    EXPECT_EQ(CodeOf([&] { r.ReadBlob(claimed); }), kRSEndOfData);
    EXPECT_EQ(CodeOf([&] { r.ReadString(1u << 30); }), kRSEndOfData);
    EXPECT_EQ(r.ReadBlob(9996), std::vector<u8>(9996, 0));
    EXPECT_FALSE(r.CanRead(1));
    EXPECT_TRUE(r.CanRead(0));
}

// A section made of chunks laid down by hand: a 4-byte length field in a plain chunk, then
// `count` copies of one stored chunk.
std::vector<u8> HandMadeSection(u32 claimed, const std::vector<u8>& chunk, u32 count) {
    std::vector<u8> body = {0x03, 0x00, 0, 0, 0, 0};  // a plain chunk of 4 bytes
    WriteLE32(body.data() + 2, claimed);
    for (u32 i = 0; i < count; ++i) body.insert(body.end(), chunk.begin(), chunk.end());
    const ScanResultHeader header = MakeScanResultHeader(1);
    ScanResultSectionHeader section{};
    section.magic = kScanResultMagic;
    section.id = SectionId(1);
    section.length = static_cast<u32>(body.size());
    std::vector<u8> file(sizeof header + sizeof section + body.size());
    std::memcpy(file.data(), &header, sizeof header);
    std::memcpy(file.data() + sizeof header, &section, sizeof section);
    std::memcpy(file.data() + sizeof header + sizeof section, body.data(), body.size());
    return file;
}

// A compressed chunk vouches for what it inflates to, not for a whole chunk: small files of tiny
// or broken compressed chunks cannot make a loader allocate what they do not hold.
TEST(RSData, CompressedChunksVouchOnlyForWhatTheyYield) {
    testutil::TempDir dir;
    const std::string path = dir.File("tiny.rsf");
    // zlib's stream of the one byte 'A', stored as a compressed chunk of 9 bytes.
    const std::vector<u8> oneByte = {0x08, 0x80, 0x78, 0x9C, 0x73, 0x04, 0x00, 0x00, 0x42, 0x00, 0x42};
    // Three bytes flagged compressed that inflate to nothing.
    const std::vector<u8> broken = {0x02, 0x80, 0xFF, 0xFF, 0xFF};
    struct Case {
        const char* name;
        std::vector<u8> chunk;
        u64 yields;  // data bytes per chunk
    };
    const Case cases[] = {{"one byte each", oneByte, 1}, {"broken", broken, 0}};
    constexpr u32 kChunks = 2000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(testutil::WriteFileBytes(path, HandMadeSection(0xF0000000u, c.chunk, kChunks)));
        CRSDataEx r(0);
        ASSERT_TRUE(r.Open(path.c_str(), 0));
        ASSERT_TRUE(r.BeginSection(SectionId(1)));
        const u32 claimed = r.ReadU32();
        EXPECT_FALSE(r.CanRead(kChunks * c.yields + 1));
        if (c.yields != 0) {
            EXPECT_TRUE(r.CanRead(kChunks * c.yields));
        }
        // The claimed string fails before it is allocated; what the chunks hold still reads.
        EXPECT_EQ(CodeOf([&] { r.ReadString(claimed); }), kRSEndOfData);
        EXPECT_EQ(CodeOf([&] { r.ReadString(kChunks * 4); }), kRSEndOfData);
        if (c.yields != 0) {
            EXPECT_EQ(r.ReadString(kChunks), std::string(kChunks, 'A'));
        }
    }
}

// The plain stream's section length is the file's word too: bytes the file does not hold are
// not there to be read.
TEST(RSData, PlainSectionsVouchOnlyForTheFilesBytes) {
    testutil::TempDir dir;
    const std::string path = dir.File("plain.rsf");
    {
        CRSData w(1);
        ASSERT_TRUE(w.Open(path.c_str(), 1));
        ASSERT_TRUE(w.WriteHeader(MakeScanResultHeader(1)));
        w.BeginSection(SectionId(1));
        w.WriteU32(0xF0000000u);
        w.Write(std::string(100, 'x').data(), 100);
        w.EndSection();
        w.Close();
    }
    auto bytes = testutil::ReadFileBytes(path);
    WriteLE32(bytes.data() + 132 + 32, 0xFFFFFF00u);  // the section claims almost 4 GiB
    ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
    CRSData r(0);
    ASSERT_TRUE(r.Open(path.c_str(), 0));
    ASSERT_TRUE(r.BeginSection(SectionId(1)));
    const u32 claimed = r.ReadU32();
    EXPECT_TRUE(r.CanRead(100));
    EXPECT_FALSE(r.CanRead(101));
    EXPECT_EQ(CodeOf([&] { r.ReadBlob(claimed); }), kRSEndOfData);
}

TEST(RSData, RefusesToPassFourGiB) {
    testutil::TempDir dir;
    const std::string path = dir.File("big.rsf");
    {
        CRSDataEx w(1);
        ASSERT_TRUE(w.Open(path.c_str(), 1));
        ASSERT_TRUE(w.WriteHeader(MakeScanResultHeader(1)));
    }
    // A sparse file that already ends 5000 bytes short of 4 GiB.
    ASSERT_EQ(truncate(path.c_str(), 0xFFFFFFFFll - 5000), 0);
    CRSDataEx w(1);
    ASSERT_TRUE(w.Open(path.c_str(), 0));  // flag 0 keeps the contents
    ASSERT_TRUE(w.BeginSection(SectionId(1)));
    const auto data = RandomBytes(10000, 9);
    w.Write(data.data(), 10000);  // still buffered; its three chunks do not fit
    EXPECT_EQ(CodeOf([&] { w.EndSection(); }), kRSWriteFailed);
    u64 size = 0;
    CWin32File f(path.c_str(), 0);
    ASSERT_TRUE(f.GetSize(&size));
    EXPECT_LE(size, 0xFFFFFFFFull);

    ASSERT_EQ(truncate(path.c_str(), 0xFFFFFFFFll - 10), 0);
    EXPECT_EQ(CodeOf([&] { w.BeginSection(SectionId(2)); }), kRSWriteFailed);
    EXPECT_EQ(CodeOf([&] { w.Write(data.data(), 1); }), kRSNoSection);
}

// Reads the whole sample as the loaders would, accepting any outcome but a crash.
void ReadEverything(const std::string& path) {
    CRSDataEx r(0);
    if (!r.Open(path.c_str(), 0)) return;
    try {
        ScanResultHeader h;
        r.ReadHeader(h);
        r.GetVersion();
        char desc[120];
        r.GetDescription(desc, sizeof desc);
    } catch (const IRSException&) {
    }
    for (u32 s = 0; s < kSections + 1; ++s) {
        try {
            r.BeginSection(SectionId(s));
            u32 count = r.ReadU32();
            for (u32 i = 0; i < count; ++i) ReadRecord(r);
            if (s == 1) r.ReadBlob(r.ReadU32());
            r.EndSection();
        } catch (const IRSException& e) {
            EXPECT_TRUE(e.GetCode() == kRSEndOfData || e.GetCode() == kRSSectionNotFound ||
                        e.GetCode() == kRSBadHeader)
                << e.GetCode();
        }
    }
}

TEST(RSData, RandomCorruptionsNeverCrash) {
    testutil::TempDir dir;
    const std::string good = dir.File("good.rsf");
    WriteSample(good);
    const auto original = testutil::ReadFileBytes(good);
    const std::string path = dir.File("bad.rsf");
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        auto bytes = original;
        switch (trial % 4) {
        case 0:
            bytes.resize(rng() % bytes.size());
            break;
        case 1:
            for (int k = 0; k < 1 + trial % 7; ++k) bytes[rng() % bytes.size()] ^= u8(1u << (rng() % 8));
            break;
        case 2: {
            // Hit the structure: a section length or a chunk header.
            const size_t at = rng() % 2 ? 132 + 32 : 168 + (rng() % 40) * 2;
            WriteLE32(&bytes[at], rng());
            break;
        }
        default: {
            const auto tail = RandomBytes(rng() % 100000, trial);
            bytes.insert(bytes.end(), tail.begin(), tail.end());
            bytes[rng() % bytes.size()] ^= 0x80;
        }
        }
        ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
        ReadEverything(path);
    }
}

}  // namespace
