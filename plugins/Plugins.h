#pragma once
// The one place that knows every file-system and carver library: the program and the scan driver
// call this once at start-up, before the volume enumeration runs.

// Registers the NTFS, FAT, exFAT and RAW rows of the plug-in table; further calls do nothing.
void RegisterAllPlugins();
