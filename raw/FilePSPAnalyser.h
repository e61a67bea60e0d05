#pragma once
// Paint Shop Pro images, sized by walking their block chain, and mail store files, sized by their
// header.
#include "raw/RawFileAnalyser.h"

enum class RawAnalyserClass : u8;

class FilePSPAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 55;
    FilePSPAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

class FilePSTAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 56;
    FilePSTAnalyser() : IRawFileAnalyser(kType) {}
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
};

// The analysers of this family by class; null for any other class.
IRawFileAnalyser* CreatePaintMailAnalyser(RawAnalyserClass cls);
