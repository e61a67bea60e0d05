#include "engine/RawFileInfo.h"

void CRawFileInfo::SetNameText(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    for (char& c : text) {
        switch (c) {
            case '\\': case '/': case ':': case '?': case '"': case '<': case '>': case '|': case '*':
            case '\r': case '\n':
                c = '_';
                break;
            default:
                break;
        }
    }
    nameText = std::move(text);
}

void CRawFileInfo::SetSecondText(std::string text) { secondText = std::move(text); }
