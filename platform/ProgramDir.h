#pragma once
#include <string>

// The folder of the running executable with a trailing '/'. Tests and tools may point it elsewhere
// (SetProgramDir, or the environment variable MORVENDA_PROGRAM_DIR read on first use).
const std::string& GetProgramDir();
void SetProgramDir(const std::string& dir);
// The user's configuration folder ($XDG_CONFIG_HOME/Morvenda, else ~/.config/Morvenda), made on
// demand; with a trailing '/'.
std::string GetUserConfigDir();
// The user's state folder ($XDG_STATE_HOME/Morvenda, else ~/.local/state/Morvenda) for logs and
// crash reports, and cache folder ($XDG_CACHE_HOME/Morvenda, else ~/.cache/Morvenda) for
// temporary copies; made on demand, with a trailing '/'. The cache folder holds copies of found
// files while they are previewed: only the user can enter it.
std::string GetUserStateDir();
std::string GetUserCacheDir();
// Makes every missing folder of a path with `mode` (less the umask); true when the folder exists
// afterwards.
bool MakeDirectories(const std::string& path, unsigned mode = 0755);
