#pragma once
// Shell services the engine calls: program directory, the program's trace log, path formatting,
// GUID comparison and lower-casing. No Qt here: the engine links this library.
#include <string>

#include "platform/Types.h"

// The program directory with a trailing separator, computed once.
const std::string& GetModuleDir();

// Appends "%02d:%02d:%02d:%03d " + the message (cut at 2000 characters) to "Morvenda.log" in the
// user's state folder (see LogFilePath); returns the length of the line.
int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The program log's line "P[%04d]:T[%04d] run to %s %d\r\n" that marks a step of a function: this
// process's and thread's ids, the function's name and the source line.
int WriteRunToLog(const char* function, int line);

// Formats into a buffer of kMaxPath (260) characters; returns out.
char* FormatPath(char* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, into a std::string of at most 259 bytes.
std::string FormatPathString(const char* format, ...) __attribute__((format(printf, 1, 2)));

bool GuidEquals(const MGUID& a, const MGUID& b);

// Lower-cases the letters A to Z in place and leaves every other byte alone.
void AsciiToLower(char* s);
