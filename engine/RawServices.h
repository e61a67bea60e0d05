#pragma once
// What the scan engine and the file-system searches use of the RAW signature search: the record
// of a file found by signature, the analyser interface that measures and describes such files,
// the analyser registry (the lost-file pass walks its full list, the FAT searches test cluster
// headers with its offset analysers), the tables of file types, and the factory of the RAW deep
// search. Code outside raw/ reaches the RAW search only through this header.
#include "engine/FsServices.h"
#include "raw/AnalyserRegistry.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawFileTypes.h"

// The RAW deep search (GetKind 2); null when not available.
ICompleteFileSystemSearchController* CreateRAWSearchController();
