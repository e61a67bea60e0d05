#pragma once
// Archives and disk images: ZIP (with the office, drawing and e-book formats stored as ZIP), RAR,
// CAB, StuffIt and bzip2-compressed disk images.
#include "raw/RawFileAnalyser.h"

class FileZIPAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 72;
    static constexpr u32 kTypeDrawing = 13;
    FileZIPAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;

private:
    void ClassifyFirstEntry(const u8* entry, u32 available);
    bool m_office = false;
    bool m_drawing = false;
};

class FileRARAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 58;
    FileRARAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileCABAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 12;
    FileCABAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileSITAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 92;
    static constexpr u32 kTypeX = 93;
    FileSITAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileDMGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 113;
    FileDMGAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

enum class RawAnalyserClass : u8;
IRawFileAnalyser* CreateArchiveAnalyser(RawAnalyserClass cls);
