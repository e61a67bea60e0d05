#include "raw/RawFactories.h"

#include "engine/FileProperties.h"
#include "engine/FileSystemPlugins.h"
#include "engine/RawFileProperties.h"

// The RAW deep search is not part of this build yet: the factory answers null and the complete
// scan runs without it.
ICompleteFileSystemSearchController* CreateRAWSearchController() { return nullptr; }

void RegisterRawPlugin() {
    FileSystemPlugin row;
    row.name = "RAW";
    row.fsCodes = FsCodeSet({kFsRaw});
    row.propertiesKind = kPropertiesRaw;
    row.createDeepSearch = &CreateRAWSearchController;
    row.loadProperties = &LoadRAWFileProperties;
    row.createFolderProperties = &CreateRAWFolderProperties;
    RegisterFileSystemPlugin(row);
}
