#pragma once
// What the scan engine uses of the RAW signature search: the record of a file found by signature,
// the analyser interface that measures and describes such files, the analyser registry, the
// tables of file types, and the factory of the RAW deep search.
#include <string>
#include <vector>

#include "engine/FsServices.h"
#include "platform/Types.h"

class IRawFileAnalyser;

// One file found by its signature.
class CRawFileInfo {
public:
    static constexpr u32 kNoAnalyserType = 65535;

    CRawFileInfo() = default;

    // Trailing blanks are removed and each of \ / : ? " < > | * CR LF becomes '_'.
    void SetNameText(std::string text);
    void SetSecondText(std::string text) { secondText = std::move(text); }

    u64 startSector = 0;  // device sector of the file's first byte
    u64 size = 0;         // bytes; 0 while unknown
    u32 fileType = 0;     // index of FileTypeDescriptions / FileTypeExtensions
    u32 analyserTypeId = kNoAnalyserType;
    std::string nameText;
    std::string secondText;
    u32 subTypeFlag = 0;
    i32 subType = -1;
    std::string subTypeText;
    IRawFileAnalyser* analyser = nullptr;  // null until a signature matched
};

// One file format the RAW search recognises.
class IRawFileAnalyser {
public:
    virtual ~IRawFileAnalyser() = default;
    // Finds the record's true size by walking the file's structure; 1 done, 0 not confirmed.
    virtual u32 AnalyseFileSize(CRawFileInfo& /*record*/, IStorageDevice* /*reader*/) { return 1; }
    // Nonzero when the sector begins a file of this format.
    virtual u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) = 0;
    // Descriptive texts kept from the last file examined (titles, artists, years).
    virtual std::string GetInfoText1() { return std::string(); }
    virtual std::string GetInfoText2() { return std::string(); }
    virtual void GetSubTypeInfo(u32& id, std::string& text) { id = 0xFFFFFFFFu; text.clear(); }
    virtual void GetExtraRange(u64& a, u64& b) { a = 0; b = 0; }

    u32 GetAnalyserTypeId() const { return m_typeId; }

protected:
    u32 m_typeId = 0xFFFFFFFFu;
};

// The process-wide list of analysers.
class CRawFileAnalyserRegistry {
public:
    static CRawFileAnalyserRegistry& Instance();
    const std::vector<IRawFileAnalyser*>& GetAnalyserList() const { return m_analysers; }

private:
    CRawFileAnalyserRegistry() = default;
    std::vector<IRawFileAnalyser*> m_analysers;
};

// The file types of the RAW search, indexed 0 ("Raw") to 115.
constexpr u32 kFileTypeCount = 116;
constexpr u32 kFileTypeDescriptionSize = 80;
constexpr u32 kFileTypeExtensionSize = 9;
extern const char FileTypeDescriptions[kFileTypeCount][kFileTypeDescriptionSize];
extern const char FileTypeExtensions[kFileTypeCount][kFileTypeExtensionSize];

// The RAW deep search (GetKind 2); null when not available.
ICompleteFileSystemSearchController* CreateRAWSearchController();
