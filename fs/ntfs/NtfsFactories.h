#pragma once
// The NTFS row of the plug-in table.
void RegisterNtfsPlugin();
