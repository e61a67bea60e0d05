#pragma once
// Graphics and font files: PNG, GIF, Photoshop, Photo-Paint and Foveon images are sized by walking
// their chunks, blocks or sections; icons, metafiles and TrueType fonts by their header fields.
#include "raw/RawFileAnalyser.h"

enum class RawAnalyserClass : u8;

class FilePNGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 51;
    FilePNGAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileGIFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 30;
    FileGIFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FilePSDAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 54;
    FilePSDAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileCPTAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 17;
    FileCPTAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileX3FAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 108;
    FileX3FAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileICOAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 34;
    static constexpr u32 kTypeCursor = 20;
    FileICOAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileWMFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 70;
    FileWMFAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileTTFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 65;
    FileTTFAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

// The analysers of this family by class; null for any other class.
IRawFileAnalyser* CreateImageFontAnalyser(RawAnalyserClass cls);
