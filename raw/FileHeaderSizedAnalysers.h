#pragma once
// Formats whose first sector states the whole file's length: the header check alone sizes them,
// so the base length walk (which changes nothing) is kept.
#include "raw/RawFileAnalyser.h"

class FileEMFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 26;
    FileEMFAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileSWFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 62;
    FileSWFAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileBMPAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 11;
    FileBMPAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class File3DSAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 1;
    File3DSAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMRWAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 102;
    FileMRWAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileCHMAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 14;
    FileCHMAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMKVAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 96;
    FileMKVAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileAUAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 9;
    FileAUAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

enum class RawAnalyserClass : u8;
// The analyser of a class of this family, null for the classes of other families.
IRawFileAnalyser* CreateHeaderSizedAnalyser(RawAnalyserClass cls);
