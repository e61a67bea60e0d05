#pragma once
// PDF documents, and Illustrator files saved as PostScript-headed PDF: recognised by "%PDF-" and
// sized by the end-of-file marker in the sector where the document stops.
#include "raw/RawFileAnalyser.h"

class FilePDFAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kType = 50;
    static constexpr u32 kTypeIllustrator = 5;
    FilePDFAnalyser() : IRawFileAnalyser(kType) {}
    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
    // 1 when the zero-terminated text holds one of the words of a PDF body or trailer.
    static u32 HasPdfStructureText(const char* text);
};
