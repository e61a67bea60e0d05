#pragma once
// Registers the file-system volume analysers (NTFS, FAT, exFAT) with the enumeration's analyser
// set. Called once at start-up by the program and the scan driver, before the enumeration runs;
// further calls do nothing.
void RegisterFileSystemAnalyzers();
