#pragma once
// The interface language: a number 0..5 and its language file, kept in Config.dat.
#include "platform/Types.h"

// "Language" of Config.dat, 0 when absent; read on every call.
u32 GetUiLanguage();
// -1 (nothing written) for a number above 5; else writes "LanguageName" and "Language", 0.
int SetUiLanguage(u32 number, const char* fileName);
// Runs the first-run registry step, then copies "LanguageName" (default "English.dat") into a
// buffer of kMaxPath characters; returns the length.
int GetLanguageFileName(char* out);
inline int GetUiLanguageFile(char* out) { return GetLanguageFileName(out); }
