#pragma once
// Audio and video containers whose length comes from a walk over their own chunks, pages,
// objects or packets: RIFF (WAV, AVI and the RIFF forms of cursors and drawings), AIFF, ASF,
// RealMedia, Ogg, MPEG program streams, MIDI and Monkey's Audio.
#include <memory>

#include "raw/RawFileAnalyser.h"

class CRawScanState;
struct ReadWindow;

class FileRIFFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 59;
    FileRIFFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class CFileAIFAnalyzer : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 80;
    CFileAIFAnalyzer() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileASFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 6;
    FileASFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileRM_RMVBAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 94;
    static constexpr u32 kTypeVariable = 95;
    FileRM_RMVBAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;

private:
    static bool HasVideoStream(const u8* bytes, u32 length);
};

class CFileOggAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 82;
    CFileOggAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FileMPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 109;
    // The usage event every finished walk reports to the statistics sink.
    static constexpr u32 kWalkEvent = 20744;
    FileMPGAnalyser() : IRawFileAnalyser(kType) {}
    // After one goes away, the next walk of an MPEG analyser starts without the stream it kept.
    ~FileMPGAnalyser() override;
    // A pack header inside the stream this analyser sized last, in the record's scan, is no file
    // of its own. Each registration keeps its own stream: a sequence header inside a stream of
    // pack headers is sized by the other analyser, as a file of its own.
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;

private:
    struct KeptStream {
        u64 firstSector = 0;
        u64 sectors = 0;
        // The scan whose device the sectors are of; a stream of an earlier scan (or of another
        // device) is no reason to refuse a file of this one.
        std::weak_ptr<const CRawScanState> scan;
    };
    // Unguarded, as the texts other analysers keep: the walks run on the scan thread, and scans
    // run one at a time.
    KeptStream m_kept;
};

class FileMIDAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 38;
    FileMIDAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class CFileAPEAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 81;
    CFileAPEAnalyser() = default;  // the header check types the record; the id stays unset
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

enum class RawAnalyserClass : u8;
IRawFileAnalyser* CreateMediaContainerAnalyser(RawAnalyserClass cls);
