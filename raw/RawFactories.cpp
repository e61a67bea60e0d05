#include "engine/RawServices.h"

// The RAW deep search is not part of this build yet: the factory answers null and the complete
// scan runs without it.
ICompleteFileSystemSearchController* CreateRAWSearchController() { return nullptr; }
