// How one MFT record becomes NTFS file properties, and their saved form.
#include <gtest/gtest.h>

#include <array>

#include "NtfsTestSupport.h"
#include "TestUtil.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/RSData.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSFileProperties.h"

using namespace ntfstest;

namespace {
struct Made {
    CNTFSFileProperties* p = nullptr;
    u64 parent = ~u64(0);
    std::vector<NtfsFolderReference> folders;
    ~Made() {
        if (p) p->Release();
    }
};

void Make(const std::vector<u8>& raw, Made& out, u64 bytesPerCluster = 4096, u64 volumeClusters = 0,
          const NtfsFolderKnown* known = nullptr, IStorageDevice* device = nullptr,
          const NTFSExtensionRecordList* extensions = nullptr) {
    CNTFSFileRecord record;
    ASSERT_TRUE(record.Init(raw.data(), u32(raw.size()), 777, device, extensions));
    out.p = MakeNTFSFileProperties(777, record, bytesPerCluster, &out.parent, volumeClusters, nullptr, known,
                                   &out.folders)
                .release();
}

std::vector<DataRunExtent> Extents(const CNTFSFileProperties* p) {
    std::vector<DataRunExtent> out;
    std::unique_ptr<IDataRunList> list(p->CreateDataRunList());
    if (list) {
        for (size_t i = 0; i < list->GetExtentCount(); ++i) out.push_back(list->GetExtent(i));
    }
    return out;
}

TEST(NtfsProperties, NameAndParentChoice) {
    {
        RecordBuilder b;
        b.FileName(3, u"LONGNA~1.TXT", 2);
        b.FileName(40, u"long name été.txt", 1);
        Made m;
        Make(b.Build(), m);
        ASSERT_NE(m.p, nullptr);
        EXPECT_STREQ(m.p->GetName(), "long name été.txt");
        EXPECT_EQ(m.p->GetNameLength(), std::strlen("long name été.txt"));
        EXPECT_EQ(m.parent, 40u);
    }
    {
        // One file, two names in two folders (hard links), neither the Win32 one: the first
        // names it, and its folder is that name's own, for the properties and the record info.
        RecordBuilder b;
        b.FileName(40 | (u64(3) << 48), u"o03.bin", 0);
        b.FileName(41 | (u64(4) << 48), u"o03_link.bin", 0);
        const std::vector<u8> raw = b.Build();
        Made m;
        Make(raw, m);
        ASSERT_NE(m.p, nullptr);
        EXPECT_STREQ(m.p->GetName(), "o03.bin");
        EXPECT_EQ(m.parent, 40u);
        EXPECT_EQ(m.folders, (std::vector<NtfsFolderReference>{{40, 3}, {41, 4}}));
        CCommonFileRecordInfo info;
        ASSERT_TRUE(info.FillFromRecord(raw.data(), u32(raw.size()), 777));
        EXPECT_EQ(info.GetParentRecord(), 40u);
        EXPECT_EQ(info.GetParentSequence(), 3u);
    }
    {
        // The known name's folder reference is damaged (below 5): the other name's folder, 5 or
        // more, takes its place, and so does that name, so that no path joins one link's name to
        // another's folder; only a short (DOS) name leaves its link's long name in place. With both
        // below 5 the known name's stands.
        // {first name's parent, its name space, second name's parent, its name space, parent, the
        // record info's parent (5 or more only), its sequence, the name shown (0 first, 1 second)}
        const char* const shown[] = {"REPORT~1.DOC", "report draft.doc"};
        for (const std::array<u64, 8>& c : {std::array<u64, 8>{40 | (u64(7) << 48), 2, 3, 1, 40, 40, 7, 1},
                                            {1, 2, 3 | (u64(9) << 48), 1, 3, ~u64(0), 0, 1},
                                            {41 | (u64(2) << 48), 2, 0xFFFFFFFFFFFF, 1, 41, 41, 2, 1},
                                            // Two links: the first's folder damaged, then the Win32 one's.
                                            {3, 0, 41 | (u64(4) << 48), 0, 41, 41, 4, 1},
                                            {41 | (u64(4) << 48), 0, 3, 1, 41, 41, 4, 0}}) {
            RecordBuilder b;
            b.FileName(c[0], u"REPORT~1.DOC", u8(c[1]));
            b.FileName(c[2], u"report draft.doc", u8(c[3]));
            const std::vector<u8> raw = b.Build();
            Made m;
            Make(raw, m);
            ASSERT_NE(m.p, nullptr);
            EXPECT_EQ(m.parent, c[4]);
            EXPECT_STREQ(m.p->GetName(), shown[c[7]]);
            CCommonFileRecordInfo info;
            ASSERT_TRUE(info.FillFromRecord(raw.data(), u32(raw.size()), 777));
            EXPECT_EQ(info.GetParentRecord(), c[5]);
            EXPECT_EQ(info.GetParentSequence(), c[6]);
        }
    }
    {
        // The scan knows some folders (40 with sequence 3, 41 with 4, 42 with 5): of every name, the
        // extension record's too, the first whose folder it knows names the file and its folder.
        // {names {parent, name space, in the extension record} shown as n0.bin, n1.bin...; folders
        // known (bit k: 40 + k), parent, the name shown, the extension readable}
        struct Row {
            std::vector<std::array<u64, 3>> names;
            u64 known, parent, shown;
            bool extensionRead = true;
        };
        const u64 a = 40 | (u64(3) << 48), b = 41 | (u64(4) << 48), c = 42 | (u64(5) << 48);
        for (const Row& row : std::vector<Row>{
                 {{{a, 0, 0}, {b, 0, 0}}, 2, 41, 1},
                 {{{a, 0, 0}, {b, 0, 0}}, 3, 40, 0},
                 {{{a, 0, 0}, {b, 1, 0}}, 1, 40, 0},
                 {{{a, 0, 0}, {5, 0, 0}}, 0, 5, 1},
                 // Named by the old sequence of 41: another folder now.
                 {{{a, 0, 0}, {41 | (u64(9) << 48), 0, 0}}, 2, 40, 0},
                 // A long name with its short alias in a gone folder, a link in one that stands.
                 {{{a, 2, 0}, {a, 1, 0}, {b, 0, 0}}, 2, 41, 2},
                 // A short name that stands shows the long name in its folder.
                 {{{b, 2, 0}, {a, 0, 0}, {b, 1, 0}}, 2, 41, 2},
                 // A third name in the extension record, read or not; none known: the first in a user folder.
                 {{{a, 0, 0}, {a, 0, 0}, {c, 0, 1}}, 4, 42, 2},
                 {{{a, 0, 0}, {a, 0, 0}, {c, 0, 1}}, 4, 40, 0, false},
                 {{{3, 2, 0}, {3, 1, 0}, {b, 0, 1}}, 0, 41, 2}}) {
            RecordBuilder base, extension;
            base.Number(67);
            extension.Number(68).BaseReference(67 | (u64(1) << 48));
            for (size_t i = 0; i < row.names.size(); ++i) {
                const auto& [parent, space, inExt] = row.names[i];
                (inExt ? extension : base).FileName(parent, u"n" + std::u16string(1, u'0' + i) + u".bin", u8(space));
            }
            testutil::MemoryDevice device(512, 16);
            if (row.extensionRead) device.Put(8 * 512, extension.Build());
            const NTFSExtensionRecordList extensions{{8, 68}};
            const NtfsFolderKnown known = [&](u64 folder, u16 sequence) {
                return folder >= 40 && folder <= 42 && sequence == folder - 37 && ((row.known >> (folder - 40)) & 1);
            };
            Made m;
            Make(base.Build(), m, 4096, 0, &known, &device, &extensions);
            ASSERT_NE(m.p, nullptr);
            EXPECT_EQ(m.parent, row.parent) << row.names.size() << " names, known " << row.known;
            EXPECT_EQ(m.p->GetName(), "n" + std::to_string(row.shown) + ".bin");
        }
    }
    {
        RecordBuilder b;
        b.FileName(2, u"DOSNAME.TXT", 2);
        Made m;
        Make(b.Build(), m);
        ASSERT_NE(m.p, nullptr);
        EXPECT_STREQ(m.p->GetName(), "DOSNAME.TXT");
        EXPECT_EQ(m.parent, 2u);  // both below 5: the chosen name's parent as it stands
    }
    {
        RecordBuilder b;
        b.StandardInformation(5, 0x20);
        Made m;
        Make(b.Build(), m);
        EXPECT_EQ(m.p, nullptr);  // no $FILE_NAME
    }
    {
        RecordBuilder b;
        b.FileName(5, u"");
        Made m;
        Make(b.Build(), m);
        EXPECT_EQ(m.p, nullptr);
    }
}

TEST(NtfsProperties, StateAttributesAndTimes) {
    RecordBuilder b;
    b.InUse(false).Number(42);
    b.StandardInformation(130000000000000000ull, 0x01 | 0x02 | 0x100 | 0x4000);
    b.FileName(5, u"secret.doc", 1, 0, 0, 1);
    b.NonResident(0x80, {0x11, 0x02, 0x20, 0x00}, 0, 1, 8192, 5000, 5000, 0x0001 | 0x4000);
    Made m;
    Make(b.Build(), m);
    ASSERT_NE(m.p, nullptr);
    EXPECT_EQ(m.p->GetState(), 1);
    EXPECT_EQ(m.p->GetAttributes(), 0x01 | 0x02 | 0x40);  // encrypted wins over compressed
    FILETIME64 t = 0;
    m.p->GetModificationTime(t);
    EXPECT_EQ(t, 130000000000000000ull);
    EXPECT_EQ(m.p->GetRecordNumber(), 42u);
    EXPECT_EQ(m.p->GetRecordSector(), 777u);
    EXPECT_EQ(m.p->GetFileSystemKind(), 0u);
    EXPECT_EQ(m.p->GetValidFields(), 0x2FFu);

    RecordBuilder dir;
    dir.FileName(5, u"folder", 1, 0, 0x10000000);
    Made d;
    Make(dir.Build(), d);
    ASSERT_NE(d.p, nullptr);
    EXPECT_NE(d.p->GetAttributes() & kAttrDirectory, 0);
    EXPECT_EQ(d.p->CreateDataRunList(), nullptr);
}

TEST(NtfsProperties, DataSizesAndRuns) {
    {
        RecordBuilder b;
        b.FileName(5, u"note.txt", 1, 0);
        b.NonResident(0x80, {0x11, 0x09, 0x50, 0x00}, 0, 8, 9 * 4096, 36000, 36000, 0, u"ads");
        const u32 at = b.Resident(0x80, std::vector<u8>(300, 'x'));
        Made m;
        Make(b.Build(), m);
        ASSERT_NE(m.p, nullptr);
        EXPECT_EQ(m.p->GetSize(), 300u);  // the named stream does not count
        std::unique_ptr<IDataRunList> list(m.p->CreateDataRunList());
        ASSERT_TRUE(list && list->IsResident());
        EXPECT_EQ(list->GetExtent(0).start, 777);
        EXPECT_EQ(list->GetResidentOffset(), at + 24);
    }
    {
        RecordBuilder b;
        b.FileName(5, u"two.bin", 1, 0);
        b.NonResident(0x80, {0x11, 0x02, 0x20, 0x00}, 0, 1, 8192, 5000, 5000);
        Made m;
        Make(b.Build(), m);
        EXPECT_EQ(m.p->GetSize(), 5000u);
    }
    {
        RecordBuilder b;
        b.FileName(5, u"zero.bin", 1, 0);
        b.NonResident(0x80, {0x11, 0x02, 0x20, 0x00}, 0, 1, 0, 0, 0);
        Made m;
        Make(b.Build(), m);
        EXPECT_EQ(m.p->GetSize(), 8192u);
    }
    {
        // Extents at VCN 0 and VCN 6 with the one between missing: the gap stays as clusters
        // that cannot be read, so the later clusters keep their place in the file and the
        // missing bytes never pass for the file's zeros.
        RecordBuilder b;
        b.FileName(5, u"gap.bin", 1, 0);
        b.NonResident(0x80, {0x11, 0x02, 0x20, 0x00}, 0, 1, 8 * 4096, 8 * 4096, 8 * 4096);
        b.NonResident(0x80, {0x11, 0x02, 0x40, 0x00}, 6, 7, 0, 0, 0);
        Made m;
        Make(b.Build(), m);
        const std::vector<DataRunExtent> e = Extents(m.p);
        ASSERT_EQ(e.size(), 3u);
        EXPECT_EQ(e[1].start, kOutsideVolumeExtentStart);
        EXPECT_EQ(e[1].length, 4u);
        EXPECT_EQ(e[2].start, 0x40);
        EXPECT_EQ(m.p->GetSize(), 8u * 4096);
    }
    {
        // Runs that reach fewer clusters than the attribute's allocated size says (an extent lost
        // with its extension record, or runs of larger clusters read with smaller ones) end in
        // clusters that cannot be read, up to what the size needs: the file keeps its own size and
        // its missing bytes are never taken for read ones. A size past the allocation is cut.
        struct Case {
            u64 lastVCN, allocated, size, clusterBytes;
            std::vector<DataRunExtent> extents;
            u64 shown;
        };
        for (const Case& c : {Case{7, 8 * 4096, 30000, 4096, {{0x20, 2}, {kOutsideVolumeExtentStart, 6}}, 30000},
                              Case{1, 2 * 4096, 8000, 1024, {{0x20, 2}, {kOutsideVolumeExtentStart, 6}}, 8000},
                              Case{1, 2 * 4096, 100000, 4096, {{0x20, 2}}, 2 * 4096}}) {
            SCOPED_TRACE(c.size);
            RecordBuilder b;
            b.FileName(5, u"cut.bin", 1, 0);
            b.NonResident(0x80, {0x11, 0x02, 0x20, 0x00}, 0, c.lastVCN, c.allocated, c.size, c.size);
            Made m;
            Make(b.Build(), m, c.clusterBytes);
            EXPECT_EQ(Extents(m.p), c.extents);
            EXPECT_EQ(m.p->GetSize(), c.shown);
        }
    }
    {
        // What runs hold beyond the volume (one found on an image that ends before it does)
        // keeps its place and the file its size, as clusters that cannot be read, never a hole
        // of zeros, and its whole length, however much longer than the volume that was found,
        // so that the runs after it keep theirs.
        using Runs = std::vector<DataRunExtent>;
        const std::pair<std::vector<u8>, Runs> cases[] = {
            {{0x31, 0x10, 0x00, 0x00, 0x70, 0x00}, {{kOutsideVolumeExtentStart, 16}}},
            {{0x21, 0x10, 0xE0, 0x03, 0x11, 0x02, 0xF0, 0x00},
             {{0x3E0, 8}, {kOutsideVolumeExtentStart, 8}, {0x3D0, 2}}},
            {{0x32, 0x00, 0x05, 0x00, 0x00, 0x70, 0x31, 0x02, 0x10, 0x00, 0x90, 0x00},
             {{kOutsideVolumeExtentStart, 0x500}, {0x10, 2}}},
            {{0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x70, 0x00}, {{kOutsideVolumeExtentStart, 0xFFFFFFFF}}}};
        for (const auto& [pairs, extents] : cases) {
            RecordBuilder b;
            b.FileName(5, u"far.bin", 1, 0);
            b.NonResident(0x80, pairs, 0, 15, 16 * 4096, 16 * 4096, 16 * 4096);
            Made m;
            Make(b.Build(), m, 4096, 1000);
            EXPECT_EQ(Extents(m.p), extents);
            EXPECT_EQ(m.p->GetSize(), 16u * 4096);
        }
    }
}

TEST(NtfsProperties, NamesNegativeSizesAndSavedForm) {
    CNTFSFileProperties* p = CreateNTFSFileProperties().release();
    p->SetName("a");
    EXPECT_EQ(p->GetNameLength(), 2u);
    p->SetName(nullptr);
    EXPECT_STREQ(p->GetName(), "a");
    EXPECT_EQ(p->SetFlag(7), 0);
    EXPECT_EQ(p->SetFlag(1), 7);

    CNoneResidentNTFSDataRunList runs;
    runs.AppendExtent(100, 3);
    p->SetRunList(&runs);
    p->SetSize(~u64(0) - 5);
    FixNegativeSize(p, 8, 512);
    EXPECT_EQ(p->GetSize(), 3u * 8 * 512);
    p->SetSize(~u64(0) - 5);
    FixNegativeSize(p, 1, 4096);  // 4096-byte sectors, one per cluster
    EXPECT_EQ(p->GetSize(), 3u * 4096);

    p->SetAttributes(0x21);
    p->SetRecordSector(12345);
    p->SetState(1);
    p->SetExtensionRecords(new NTFSExtensionRecordList{{2000, 70}, {2002, 71}});

    testutil::TempDir dir;
    const std::string path = dir.File("p.rsf");
    const MGUID section{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    {
        CRSDataEx out(1);
        ASSERT_TRUE(out.Open(path.c_str(), 1));
        ASSERT_TRUE(out.WriteHeader(MakeScanResultHeader(1)));
        out.BeginSection(section);
        p->Save(&out);
        out.EndSection();
        out.Close();
    }
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(section);
    CNTFSFileProperties* loaded = LoadNTFSFileProperties(&in);
    ASSERT_NE(loaded, nullptr);
    EXPECT_STREQ(loaded->GetName(), "a");
    EXPECT_EQ(loaded->GetNameLength(), 2u);
    EXPECT_EQ(loaded->GetSize(), p->GetSize());
    EXPECT_EQ(loaded->GetAttributes(), 0x21);
    EXPECT_EQ(loaded->GetState(), 1);
    EXPECT_EQ(loaded->GetFlag(), 0);
    EXPECT_EQ(loaded->GetRecordSector(), 12345u);
    ASSERT_NE(loaded->GetExtensionRecords(), nullptr);
    EXPECT_EQ(*loaded->GetExtensionRecords(), *p->GetExtensionRecords());
    const std::vector<DataRunExtent> e = Extents(loaded);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].start, 100);
    EXPECT_EQ(e[0].length, 3u);
    EXPECT_THROW(in.ReadU8(), IRSException);  // the load took exactly what was saved
    loaded->Release();
    p->Release();

    IFileProperties* folder = CreateNTFSFolderProperties("NTFS");
    EXPECT_EQ(folder->GetAttributes(), kAttrDirectory);
    EXPECT_STREQ(folder->GetName(), "NTFS");
    folder->Release();
}
}  // namespace
