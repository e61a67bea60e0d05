#include "plugins/Plugins.h"

#include <mutex>

#include "fs/fat/FatFactories.h"
#include "fs/ntfs/NtfsFactories.h"
#include "raw/RawFactories.h"

void RegisterAllPlugins() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterNtfsPlugin();
        RegisterFatPlugin();
        RegisterExFatPlugin();
        RegisterRawPlugin();
    });
}
