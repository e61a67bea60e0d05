#include "app/ui/UiLanguage.h"

#include "core/Settings.h"
#include "platform/Text.h"

u32 GetUiLanguage() { return static_cast<u32>(ConfigLanguage()); }

int SetUiLanguage(u32 number, const char* fileName) {
    if (number > 5) return -1;
    return ConfigStoreLanguage(static_cast<int>(number), fileName);
}

int GetLanguageFileName(char* out) {
    const std::string name = ConfigLanguageFileName();
    if (!out) return static_cast<int>(name.size());
    return static_cast<int>(CopyUtf8Bounded(out, kMaxPath, name));
}
