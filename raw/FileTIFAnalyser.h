#pragma once
// TIFF images and the camera raw files built on TIFF directories, sized by the farthest data their
// directories point to and typed by the camera maker; Canon CIFF raws sized by their closing
// directory record.
#include <string>
#include <vector>

#include "raw/RawFileAnalyser.h"

enum class RawAnalyserClass : u8;
class ScopedReadWindow;

class FileTIFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 64;
    static constexpr u32 kSubTypeCamera = 3;

    FileTIFAnalyser() : IRawFileAnalyser(kType) {}

    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
    std::string GetInfoText1() override { return m_text1; }
    std::string GetInfoText2() override { return m_text2; }
    void GetSubTypeInfo(u32& id, std::string& text) override {
        id = m_subTypeId;
        text = m_subTypeText;
    }
    void GetExtraRange(u64& a, u64& b) override {
        a = m_extraA;
        b = m_extraB;
    }

private:
    struct Entry {
        u16 tag = 0;
        u16 type = 0;
        u32 count = 0;
        u32 value = 0;
        u64 Bytes() const;
    };
    // A table of offsets or byte counts named by a directory entry.
    struct Table {
        bool known = false;
        Entry entry;
    };

    u16 Read16(const u8* p) const;
    u32 Read32(const u8* p) const;
    bool ReadDirectory(ScopedReadWindow& w, u64 at, std::vector<Entry>& entries, u32& next);
    bool LastValue(ScopedReadWindow& w, const Entry& entry, u64 base, u64& value);
    std::string ReadText(ScopedReadWindow& w, const Entry& entry, u64 base, u32 limit);
    // Data said to lie beyond where a directory may lie is a damaged entry, not the file's end.
    void Raise(u64 end) {
        if (end > m_farthest && end <= m_bound) m_farthest = end;
    }
    void HandleTables(ScopedReadWindow& w, const Table& offsets, const Table& counts, u64 base, bool strips);
    void Walk(ScopedReadWindow& w);
    void NestedWalk(ScopedReadWindow& w, u64 at, u64 base);
    void ReadRafHeader(ScopedReadWindow& w, const u8* head);
    u32 MakerType(u32 type, bool panasonicStart) const;

    bool m_bigEndian = false;
    bool m_raf = false;
    bool m_epson = false;
    bool m_dng = false;
    u64 m_base = 0;  // where the TIFF structure starts (past a RAF header)
    u64 m_farthest = 0;
    u64 m_bound = 0;
    u32 m_visits = 0;
    std::string m_text1;
    std::string m_text2;
    std::string m_maker;
    std::string m_model;
    std::string m_dateTime;
    u32 m_subTypeId = kSubTypeCamera;
    std::string m_subTypeText;
    u64 m_extraA = 0;
    u64 m_extraB = 0;
};

class FileCRWAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 18;
    FileCRWAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;

private:
    bool m_headerSeen = false;
};

// The analysers of this family by class; null for any other class.
IRawFileAnalyser* CreateTiffRawAnalyser(RawAnalyserClass cls);
