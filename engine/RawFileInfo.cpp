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

void CRawFileInfo::CutAt(u64 bytesOnDevice) {
    if (size <= bytesOnDevice) return;
    const u64 cut = size - bytesOnDevice;
    missingBytes = cut > ~u64(0) - missingBytes ? ~u64(0) : missingBytes + cut;
    size = bytesOnDevice;
}

u64 CRawFileInfo::StatedSize() const { return size > ~u64(0) - missingBytes ? ~u64(0) : size + missingBytes; }
