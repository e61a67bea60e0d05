#pragma once
// The interface language: a number 0..5 and its language file, kept in Config.dat.
#include <string>

#include "platform/Types.h"

// "Language" of Config.dat, 0 when absent; read on every call.
u32 GetUiLanguage();
// -1 (nothing written) for a number above 5; else writes "LanguageName" and "Language", 0.
int SetUiLanguage(u32 number, const char* fileName);
// Runs the first-run registry step, then copies "LanguageName" (default "English.dat") into a
// buffer of kMaxPath characters; returns the length.
int GetLanguageFileName(char* out);
inline int GetUiLanguageFile(char* out) { return GetLanguageFileName(out); }

// The toolkit's own texts (its file dialog, the standard buttons of its message boxes and button
// boxes) in the interface language: the toolkit's translation for the language number replaces
// the one loaded before. English, or a number without a language, needs none. False when the
// language's translation cannot be loaded (the toolkit then speaks English; the log says which).
bool ApplyToolkitLanguage(u32 number);
// The toolkit translation file in use, empty while the toolkit speaks its own English.
std::string ToolkitTranslationFile();
// Where the toolkit's translations are looked for.
std::string ToolkitTranslationFolder();
