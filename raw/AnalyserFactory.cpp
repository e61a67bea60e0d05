#include "raw/AnalyserTables.h"
#include "raw/FileArchiveDbAnalysers.h"
#include "raw/FileImageAnalysers.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/FilePDFAnalyser.h"
#include "raw/FilePSPAnalyser.h"
#include "raw/FileTIFAnalyser.h"
#include "raw/FileTextDrawingAnalysers.h"

// Each format family adds a case for its classes when it joins the build; until then the
// registry leaves the class's signatures out.
IRawFileAnalyser* CreateRawFileAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::JPG:
            return new FileJPGAnalyser();
        case RawAnalyserClass::PDF:
            return new FilePDFAnalyser();
        default:
            break;
    }
    if (IRawFileAnalyser* analyser = CreateImageFontAnalyser(cls)) return analyser;
    if (IRawFileAnalyser* analyser = CreateArchiveDbAnalyser(cls)) return analyser;
    if (IRawFileAnalyser* analyser = CreateTextDrawingAnalyser(cls)) return analyser;
    if (IRawFileAnalyser* analyser = CreateTiffRawAnalyser(cls)) return analyser;
    if (IRawFileAnalyser* analyser = CreatePaintMailAnalyser(cls)) return analyser;
    return nullptr;
}
