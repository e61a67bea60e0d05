#include "raw/AnalyserTables.h"
#include "raw/FileArchiveAnalysers.h"
#include "raw/FileBoxVideoAnalysers.h"
#include "raw/FileCompoundAnalysers.h"
#include "raw/FileHeaderSizedAnalysers.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/FileMediaContainerAnalysers.h"

// Each format family adds its maker here when it joins the build; until then the registry leaves
// the family's signatures out.
IRawFileAnalyser* CreateRawFileAnalyser(RawAnalyserClass cls) {
    if (cls == RawAnalyserClass::JPG) return new FileJPGAnalyser();
    using FamilyMaker = IRawFileAnalyser* (*)(RawAnalyserClass);
    constexpr FamilyMaker kFamilies[] = {
        &CreateHeaderSizedAnalyser, &CreateMediaContainerAnalyser, &CreateBoxVideoAnalyser,
        &CreateArchiveAnalyser,     &CreateCompoundAnalyser,
    };
    for (FamilyMaker make : kFamilies) {
        if (IRawFileAnalyser* analyser = make(cls)) return analyser;
    }
    return nullptr;
}
