#include "engine/TextConvert.h"

#include <new>

#include "platform/Text.h"

std::string WideToAnsiString(const char16_t* text, size_t count) {
    if (text == nullptr || count == 0) return std::string();
    try {
        return Utf16ToUtf8(std::u16string(text, count), '_');
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

std::string WideToAnsiString(const std::u16string& text) {
    return WideToAnsiString(text.data(), text.size());
}
