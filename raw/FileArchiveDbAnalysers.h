#pragma once
// LZH and TAR archives, GZ members, Jet/ACE databases and HTML pages: recognised by their first
// sector, sized by walking their headers, blocks or pages, or by searching the closing tag.
#include "raw/RawFileAnalyser.h"

enum class RawAnalyserClass : u8;

class FileLZHAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 36;
    FileLZHAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileTARAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 63;
    FileTARAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMDBAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 39;
    static constexpr u32 kTypeAccdb = 76;
    FileMDBAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileGZAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 31;
    FileGZAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileHTMAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 33;
    FileHTMAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileUnicodeHTMAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 33;
    FileUnicodeHTMAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

// The analysers of this family by class; null for any other class.
IRawFileAnalyser* CreateArchiveDbAnalyser(RawAnalyserClass cls);
