#pragma once
// Audio and video containers whose length comes from a walk over their own chunks, pages,
// objects or packets: RIFF (WAV, AVI and the RIFF forms of cursors and drawings), AIFF, ASF,
// RealMedia, Ogg, MPEG program streams, MIDI and Monkey's Audio.
#include "raw/RawFileAnalyser.h"
#include "raw/RealMediaIndexScan.h"

struct ReadWindow;

class FileRIFFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 59;
    FileRIFFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
};

class CFileAIFAnalyzer : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 80;
    CFileAIFAnalyzer() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
};

class FileASFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 6;
    FileASFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
};

class FileRM_RMVBAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 94;
    static constexpr u32 kTypeVariable = 95;
    FileRM_RMVBAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
    void BeginScan() override { m_markerScan.Reset(); }

private:
    void Classify(const u8* bytes, u32 length);
    // The end-marker search of a file with a video stream, through the scan shared by the
    // sightings of the device; `first` is the file's first sector as read.
    u32 FindIndexEnd(CRawFileInfo& record, IStorageDevice* reader, ReadWindow& window, const u8* first, u64 bound);
    // The same search walked over the file's own sectors, where the shared scan cannot answer.
    u32 WalkToIndexEnd(CRawFileInfo& record, ReadWindow& window, u64 bound);
    u32 m_plain = 1;  // 0 once a video stream was seen
    CRmIndexMarkerScan m_markerScan;
};

class CFileOggAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 82;
    CFileOggAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
};

class FileMPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 109;
    FileMPGAnalyser() : IRawFileAnalyser(kType) {}
    ~FileMPGAnalyser() override;
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;

private:
    // The stream sized last: the later pack headers inside it are not files of their own.
    u64 m_keptFirst = 0;
    u64 m_keptCount = 0;
};

class FileMIDAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 38;
    FileMIDAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
};

class CFileAPEAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 81;
    CFileAPEAnalyser() = default;  // the header check types the record; the id stays unset
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) override;
};

enum class RawAnalyserClass : u8;
IRawFileAnalyser* CreateMediaContainerAnalyser(RawAnalyserClass cls);
