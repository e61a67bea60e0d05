#pragma once
// The record of a file found by its signature: the RAW search books it, the complete scan files
// it by sector, and the other searches and the lost-file pass read it.
#include <memory>
#include <string>

#include "platform/Types.h"

class CRawScanState;
class IRawFileAnalyser;

// One file found by its signature. The controller fills the first sector, the analyser type id
// and the analyser when it books the record; the analyser fills the size, the type and the texts.
class CRawFileInfo {
public:
    static constexpr u32 kNoAnalyserType = 65535;

    CRawFileInfo() = default;

    // Stores the text as the name put in front of the generated file name: trailing blanks are
    // removed and each of \ / : ? " < > | * CR LF becomes '_', so the name is always usable.
    void SetNameText(std::string text);
    // Stores the text unchanged.
    void SetSecondText(std::string text);
    // Keeps of the file only what lies on the device, `bytesOnDevice` from its first byte on; the
    // rest of the size its own bytes give is counted as missing, so the file shows as cut.
    void CutAt(u64 bytesOnDevice);
    // The size its own bytes give: what the device holds and what is missing past its end.
    u64 StatedSize() const;

    u64 startSector = 0;  // device sector of the file's first byte
    u64 size = 0;         // bytes on the device; 0 while unknown
    // Of the size its bytes give, those past the device's end, or still owed where its walk
    // lost the file's end (an RTF cut inside a group).
    u64 missingBytes = 0;
    u32 fileType = 0;     // index of the file-type tables (RawFileTypes.h)
    u32 analyserTypeId = kNoAnalyserType;
    std::string nameText;
    std::string secondText;
    u32 subTypeFlag = 0;
    i32 subType = -1;
    std::string subTypeText;
    IRawFileAnalyser* analyser = nullptr;  // null until a signature matched
    // What the walks of the scan that found it share; null outside a scan (the file is walked alone).
    std::shared_ptr<CRawScanState> scan;
};
