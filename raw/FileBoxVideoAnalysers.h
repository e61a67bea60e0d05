#pragma once
// ISO base media files (MP4, 3GP, QuickTime), Flash video and MP3 audio: recognised from their
// first sector and sized by walking their boxes, tags or frames.
#include <string>

#include "raw/RawFileAnalyser.h"

class FileMP4Analyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 44;
    static constexpr u32 kTypeAudio = 45;
    static constexpr u32 kTypeVideo = 46;
    FileMP4Analyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class File3GPAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 2;
    File3GPAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMOVAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 42;
    FileMOVAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileFLVAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 90;
    FileFLVAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMP3Analyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 43;
    FileMP3Analyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
    std::string GetInfoText1() override { return m_title; }
    std::string GetInfoText2() override { return m_year; }

private:
    std::string m_title;
    std::string m_year;
};

enum class RawAnalyserClass : u8;
IRawFileAnalyser* CreateBoxVideoAnalyser(RawAnalyserClass cls);
