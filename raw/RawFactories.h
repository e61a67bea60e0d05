#pragma once
// What the RAW signature search offers the scan modes, and its row of the plug-in table.
class ICompleteFileSystemSearchController;

// The RAW deep search (GetKind 2); null when not available.
ICompleteFileSystemSearchController* CreateRAWSearchController();

void RegisterRawPlugin();
