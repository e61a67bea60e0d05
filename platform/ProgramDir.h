#pragma once
#include <string>

// The folder of the running executable with a trailing '/'. Tests and tools may point it elsewhere
// (SetProgramDir, or the environment variable MORVENDA_PROGRAM_DIR read on first use).
const std::string& GetProgramDir();
void SetProgramDir(const std::string& dir);
// The user's configuration folder ($XDG_CONFIG_HOME/Morvenda, else ~/.config/Morvenda), made on
// demand; with a trailing '/'.
std::string GetUserConfigDir();
// Makes every missing folder of a path; true when the folder exists afterwards.
bool MakeDirectories(const std::string& path);
