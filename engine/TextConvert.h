#pragma once
// UTF-16 names from disk structures to the system code page (UTF-8 on this platform).
#include <string>

#include "platform/Types.h"

// Characters that do not convert (unpaired surrogates) become '_'. An empty input, or a
// conversion that cannot be made, gives an empty string.
std::string WideToAnsiString(const std::u16string& text);
std::string WideToAnsiString(const char16_t* text, size_t count);
