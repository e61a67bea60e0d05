#pragma once
// Office documents and mail stores: compound files (told apart by their first directory entries),
// Word documents sized from their header, Money, OneNote, WordPerfect, Outlook Express stores and
// help files.
#include "raw/RawFileAnalyser.h"

class FileOLEAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 48;
    FileOLEAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileLowDocAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 23;
    FileLowDocAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMNYAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 40;
    FileMNYAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileONEAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 49;
    FileONEAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileWPDAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 68;
    FileWPDAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileDBXAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 21;
    FileDBXAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileHLPAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 32;
    FileHLPAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

enum class RawAnalyserClass : u8;
IRawFileAnalyser* CreateCompoundAnalyser(RawAnalyserClass cls);
