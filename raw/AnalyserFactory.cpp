#include "raw/AnalyserTables.h"
#include "raw/FileArchiveAnalysers.h"
#include "raw/FileArchiveDbAnalysers.h"
#include "raw/FileBoxVideoAnalysers.h"
#include "raw/FileCompoundAnalysers.h"
#include "raw/FileHeaderSizedAnalysers.h"
#include "raw/FileImageAnalysers.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/FileMediaContainerAnalysers.h"
#include "raw/FilePDFAnalyser.h"
#include "raw/FilePSPAnalyser.h"
#include "raw/FileTIFAnalyser.h"
#include "raw/FileTextDrawingAnalysers.h"

// Each format family adds its maker here when it joins the build; until then the registry leaves
// the family's signatures out.
IRawFileAnalyser* CreateRawFileAnalyser(RawAnalyserClass cls) {
    if (cls == RawAnalyserClass::JPG) return new FileJPGAnalyser();
    if (cls == RawAnalyserClass::PDF) return new FilePDFAnalyser();
    using FamilyMaker = IRawFileAnalyser* (*)(RawAnalyserClass);
    constexpr FamilyMaker kFamilies[] = {
        &CreateHeaderSizedAnalyser, &CreateMediaContainerAnalyser, &CreateBoxVideoAnalyser,
        &CreateArchiveAnalyser,     &CreateCompoundAnalyser,       &CreateImageFontAnalyser,
        &CreateArchiveDbAnalyser,   &CreateTextDrawingAnalyser,    &CreateTiffRawAnalyser,
        &CreatePaintMailAnalyser,
    };
    for (FamilyMaker make : kFamilies) {
        if (IRawFileAnalyser* analyser = make(cls)) return analyser;
    }
    return nullptr;
}
