#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "SavedSections.h"
#include "TestUtil.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/RSData.h"

namespace {

using Bytes = std::vector<u8>;
const MGUID kSection = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<DataRunExtent> Extents(IDataRunList& list) {
    std::vector<DataRunExtent> out;
    for (DataRunExtent* e = list.GetFirstExtent(); e != nullptr; e = list.GetNextExtent()) out.push_back(*e);
    return out;
}

std::vector<DataRunExtent> Decode(const Bytes& bytes) {
    CNoneResidentNTFSDataRunList list;
    EXPECT_EQ(list.DecodeMappingPairs(bytes.data(), static_cast<i32>(bytes.size())), 1u);
    return Extents(list);
}

Bytes Encode(const std::vector<DataRunExtent>& extents) {
    CRAWDataRunList list;
    for (const DataRunExtent& e : extents) list.AddExtent(e);
    u32 size = 0;
    std::unique_ptr<u8[]> buffer(EncodeRunList(&list, &size));
    return buffer ? Bytes(buffer.get(), buffer.get() + size) : Bytes();
}

std::string WriteSection(const testutil::TempDir& dir, const std::function<void(IRSData*)>& write) {
    return testutil::WriteSection(dir, "runs.rsf", kSection, write);
}
Bytes SectionBytes(const std::string& path, u32 size) { return testutil::SectionBytes(path, kSection, size); }

}  // namespace

TEST(RunListMappingPairs, DecodesTheDocumentedExamples) {
    EXPECT_EQ(Decode({0x21, 0x18, 0x34, 0x56, 0x11, 0x04, 0xFF, 0x00}),
              (std::vector<DataRunExtent>{{0x5634, 0x18}, {0x5633, 4}}));
    // 3-byte offsets: sign taken from bit 23.
    EXPECT_EQ(Decode({0x31, 0x01, 0x00, 0x00, 0x80, 0x00})[0].start, -8388608);
    EXPECT_EQ(Decode({0x31, 0x01, 0xFF, 0xFF, 0x7F, 0x00})[0].start, 8388607);
    // A pair without an offset is sparse and does not move the previous start.
    EXPECT_EQ(Decode({0x11, 0x10, 0x64, 0x01, 0x20, 0x11, 0x05, 0x0A, 0x00}),
              (std::vector<DataRunExtent>{{100, 0x10}, {-1, 0x20}, {110, 5}}));
    // 8-byte fields are whole 64-bit values.
    EXPECT_EQ(Decode({0x88, 1, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0})[0].start, -2);
}

TEST(RunListMappingPairs, StopsAtDamagedOrTruncatedPairs) {
    // Field sizes above 8 are outside the format.
    EXPECT_EQ(Decode({0x11, 0x01, 0x05, 0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}),
              (std::vector<DataRunExtent>{{5, 1}}));
    EXPECT_EQ(Decode({0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}).size(), 0u);
    // A pair whose fields run past the given bytes is not read (the buffer holds exactly these).
    EXPECT_EQ(Decode({0x11, 0x01, 0x05, 0x44, 0x01, 0x02}), (std::vector<DataRunExtent>{{5, 1}}));
    EXPECT_EQ(Decode({0x11, 0x01}).size(), 0u);
    // A negative length given to the decoder reads nothing.
    CNoneResidentNTFSDataRunList list;
    const u8 pairs[] = {0x11, 0x01, 0x05, 0x00};
    EXPECT_EQ(list.DecodeMappingPairs(pairs, -4), 1u);
    EXPECT_EQ(list.GetExtentCount(), 0u);
    // Deltas that add up past the 64-bit range wrap instead of overflowing.
    EXPECT_EQ(Decode({0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 1, 0x01, 0}).size(), 2u);
}

TEST(RunListMappingPairs, EncodesFieldSizesAndRoundTripsEveryKindOfRun) {
    EXPECT_EQ(SignedFieldSize(0), 1u);
    EXPECT_EQ(SignedFieldSize(127), 1u);
    EXPECT_EQ(SignedFieldSize(128), 2u);
    EXPECT_EQ(SignedFieldSize(-128), 1u);
    EXPECT_EQ(SignedFieldSize(-129), 2u);
    EXPECT_EQ(SignedFieldSize(0x7FFFFFFFFFFFFFLL), 7u);
    EXPECT_EQ(SignedFieldSize(INT64_MIN), 8u);

    EXPECT_EQ(Encode({}), Bytes());
    EXPECT_EQ(Encode({{100, 0}}), (Bytes{0x11, 0x00, 0x64, 0x00}));
    EXPECT_EQ(Encode({{100, 1}, {200, 1}}), (Bytes{0x11, 0x01, 0x64, 0x11, 0x01, 0x64, 0x00}));
    EXPECT_EQ(Encode({{100, 1}, {228, 1}}), (Bytes{0x11, 0x01, 0x64, 0x21, 0x01, 0x80, 0x00, 0x00}));
    // Sparse extents carry no offset and leave the reference start alone.
    EXPECT_EQ(Encode({{100, 1}, {-1, 3}, {90, 2}}), (Bytes{0x11, 0x01, 0x64, 0x01, 0x03, 0x11, 0x02, 0xF6, 0x00}));

    const std::vector<DataRunExtent> runs = {
        {0x5634, 0x18},            // short
        {0x5633, 4},               // negative delta of -1
        {-1, 300},                 // sparse, 2-byte length
        {0x123456789A, 0x10000},   // long start, 3-byte length
        {7, 1},                    // large negative delta
        {kOutsideVolumeExtentStart, 8},  // outside the volume: no hole, and it stays none
        {-1, 1},                   // sparse again
        {0x7FFFFFFFFFFFFF, 1},     // 7-byte delta
        {0, 0x7FFFFFFFFFFFFFFFull},  // 8-byte length, back to cluster 0
    };
    const Bytes bytes = Encode(runs);
    EXPECT_EQ(Decode(bytes), runs);

    CRAWDataRunList list;
    for (const DataRunExtent& e : runs) list.AddExtent(e);
    std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(&list));
    ASSERT_TRUE(compact);
    EXPECT_EQ(compact->GetEncodedLength(), bytes.size());
    EXPECT_EQ(compact->GetResidentOffset(), 0);
    std::unique_ptr<IDataRunList> expanded(compact->Expand());
    ASSERT_TRUE(expanded);
    EXPECT_EQ(expanded->GetKind(), kRunListNtfsNonResident);
    EXPECT_EQ(Extents(*expanded), runs);
}

TEST(RunListCompact, ResidentListsAndEmptyInputs) {
    EXPECT_EQ(CCompactRunList::Create(nullptr), nullptr);
    CRAWDataRunList empty;
    EXPECT_EQ(CCompactRunList::Create(&empty), nullptr);

    CResidentNTFSDataRunList resident;
    resident.SetResidentData(0x4000, 1, 0x98);
    EXPECT_TRUE(resident.IsResident());
    std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(&resident));
    ASSERT_TRUE(compact);
    EXPECT_EQ(compact->GetResidentOffset(), 0x98);
    std::unique_ptr<IDataRunList> expanded(compact->Expand());
    ASSERT_TRUE(expanded);
    EXPECT_EQ(expanded->GetKind(), kRunListNtfsResident);
    EXPECT_EQ(expanded->GetResidentOffset(), 0x98u);
    EXPECT_EQ(Extents(*expanded), (std::vector<DataRunExtent>{{0x4000, 1}}));
}

TEST(RunListCursor, WalksAndSurvivesAppends) {
    CRAWDataRunList list;
    EXPECT_EQ(list.GetFirstExtent(), nullptr);
    EXPECT_TRUE(list.IsAtEnd());
    list.AppendExtent(1, 2);
    DataRunExtent* first = list.GetFirstExtent();
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 1000; ++i) list.AppendExtent(10 + i, 1);  // appending keeps pointers valid
    EXPECT_EQ(first->start, 1);
    EXPECT_EQ(list.GetNextExtent()->start, 10);
    EXPECT_FALSE(list.IsAtEnd());
    list.Clear();
    EXPECT_EQ(list.GetExtentCount(), 0u);
    EXPECT_EQ(list.GetFirstExtent(), nullptr);
}

TEST(RunListSavedForms, RoundTripByteForByte) {
    testutil::TempDir dir;
    CRAWDataRunList list;
    list.AddExtent({0x5634, 0x18});
    list.AddExtent({-1, 4});
    list.AddExtent({0x123456789A, 0x10000});
    std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(&list));
    ASSERT_TRUE(compact);
    const Bytes pairs = Encode(Extents(list));

    CResidentNTFSDataRunList resident;
    resident.SetResidentData(77, 1, 0x150);

    const std::string path = WriteSection(dir, [&](IRSData* s) {
        compact->Save(s);
        list.Save(s);
        resident.Save(s);
    });
    Bytes expected;
    auto put = [&](u64 v, int n) {
        for (int i = 0; i < n; ++i) expected.push_back(static_cast<u8>(v >> (8 * i)));
    };
    put(pairs.size(), 4);
    expected.insert(expected.end(), pairs.begin(), pairs.end());
    put(0, 2);
    put(3, 4);
    put(0x5634, 8), put(0x18, 8), put(~0ULL, 8), put(4, 8), put(0x123456789A, 8), put(0x10000, 8);
    put(1, 4), put(77, 8), put(1, 8), put(0x150, 4);
    EXPECT_EQ(SectionBytes(path, static_cast<u32>(expected.size())), expected);

    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(kSection);
    std::unique_ptr<CCompactRunList> loaded(CCompactRunList::Load(&in));
    ASSERT_TRUE(loaded);
    CRAWDataRunList loadedList;
    loadedList.Load(&in);
    CResidentNTFSDataRunList loadedResident;
    loadedResident.Load(&in);
    EXPECT_EQ(loaded->GetEncodedLength(), pairs.size());
    EXPECT_EQ(Bytes(loaded->GetEncodedRuns(), loaded->GetEncodedRuns() + pairs.size()), pairs);
    EXPECT_EQ(Extents(loadedList), Extents(list));
    EXPECT_EQ(Extents(loadedResident), (std::vector<DataRunExtent>{{77, 1}}));
    EXPECT_EQ(loadedResident.GetResidentOffset(), 0x150u);
    EXPECT_EQ(CCompactRunList::Load(nullptr), nullptr);

    // Saved again, the loaded forms give the same bytes.
    testutil::TempDir again;
    const std::string path2 = WriteSection(again, [&](IRSData* s) {
        loaded->Save(s);
        loadedList.Save(s);
        loadedResident.Save(s);
    });
    EXPECT_EQ(SectionBytes(path2, static_cast<u32>(expected.size())), expected);
}

TEST(RunListSavedForms, DamagedCountsAndPairsAreCheckedBeforeUse) {
    testutil::TempDir dir;
    // A compact list claiming 4 GiB of pairs in a tiny section: refused before allocating.
    std::string path = WriteSection(dir, [](IRSData* s) {
        s->WriteU32(0xFFFFFFF0u);
        s->WriteU16(0);
    });
    {
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(kSection);
        try {
            CCompactRunList::Load(&in);
            FAIL() << "a length beyond the section must throw";
        } catch (const IRSException& e) {
            EXPECT_EQ(e.GetCode(), 5u);
        }
    }
    // An extent count beyond the section, likewise.
    testutil::TempDir dir2;
    path = WriteSection(dir2, [](IRSData* s) {
        s->WriteU32(0x10000000u);
        s->WriteU64(1);
    });
    {
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(kSection);
        CRAWDataRunList list;
        EXPECT_THROW(list.Load(&in), IRSException);
        EXPECT_EQ(list.GetExtentCount(), 0u);
    }
    // Pairs without their terminating 0, or cut inside a field: only whole pairs are kept and the
    // walks over the buffer stay inside it.
    testutil::TempDir dir3;
    path = WriteSection(dir3, [](IRSData* s) {
        const u8 unterminated[] = {0x11, 0x02, 0x10, 0x11, 0x03, 0x10};
        s->WriteU32(sizeof unterminated);
        s->Write(unterminated, sizeof unterminated);
        s->WriteU16(0);
        const u8 cut[] = {0x11, 0x02, 0x10, 0x48, 0x01, 0x00};
        s->WriteU32(sizeof cut);
        s->Write(cut, sizeof cut);
        s->WriteU16(0);
        const u8 onlyBad[] = {0xF1, 0x01};
        s->WriteU32(sizeof onlyBad);
        s->Write(onlyBad, sizeof onlyBad);
        s->WriteU16(0);
    });
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(kSection);
    std::unique_ptr<CCompactRunList> a(CCompactRunList::Load(&in));
    std::unique_ptr<CCompactRunList> b(CCompactRunList::Load(&in));
    std::unique_ptr<CCompactRunList> c(CCompactRunList::Load(&in));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->GetEncodedLength(), 7u);
    std::unique_ptr<IDataRunList> ea(a->Expand());
    ASSERT_TRUE(ea);
    EXPECT_EQ(Extents(*ea), (std::vector<DataRunExtent>{{0x10, 2}, {0x20, 3}}));
    EXPECT_EQ(b->GetEncodedLength(), 4u);
    std::unique_ptr<IDataRunList> eb(b->Expand());
    ASSERT_TRUE(eb);
    EXPECT_EQ(Extents(*eb), (std::vector<DataRunExtent>{{0x10, 2}}));
    EXPECT_EQ(c->GetEncodedLength(), 1u);
    EXPECT_EQ(c->Expand(), nullptr);
}
