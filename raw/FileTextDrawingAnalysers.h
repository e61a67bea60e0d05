#pragma once
// Text-based and drawing formats whose end is a marker rather than a length: RTF by its brace
// depth, EPS by its binary header or its end comment, SVG by its closing tag, DXF by its EOF
// group and DWG by the block near its end or its section records.
#include "raw/RawFileAnalyser.h"

enum class RawAnalyserClass : u8;
class ScopedReadWindow;

class FileRTFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 60;
    FileRTFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileEPSAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 27;
    FileEPSAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileSVGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 91;
    // The opening tag is looked for this far into the file, as far as the caller's bytes go.
    static constexpr u32 kHeaderSearchBytes = 2048;
    static_assert(kHeaderSearchBytes <= kHeaderLookAheadBytes, "the RAW search holds no more for a check");
    FileSVGAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileDXFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 25;
    FileDXFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileDWGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 24;
    FileDWGAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;

private:
    u32 SectionRecords(CRawFileInfo& record, ScopedReadWindow& w);
    // The end block search of the later versions: the size, or the position reached.
    u64 EndBlockSearch(ScopedReadWindow& w, const u8* block, const char* version, u64 start, u64 endAfter,
                       bool stopAtZeroTail);

    u64 m_sectorSize = 0;
};


// The analysers of this family by class; null for any other class.
IRawFileAnalyser* CreateTextDrawingAnalyser(RawAnalyserClass cls);
