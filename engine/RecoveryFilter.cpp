#include "engine/RecoveryFilter.h"

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/Shell.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "platform/Text.h"

namespace {
bool NameIs(const char* value, const char* name) { return value != nullptr && strcasecmp(value, name) == 0; }

// Mask bits in the order they add categories to the selection.
struct MaskBit {
    u32 bit;
    u32 category;
};
constexpr MaskBit kSelectionOrder[] = {
    {0x01, kCategoryUnused2}, {0x02, kCategoryPhoto}, {0x04, kCategoryMusic}, {0x08, kCategoryVideo},
    {0x20, kCategoryOffice},  {0x10, kCategoryUnused6}, {0x40, kCategoryOther},
};

// Categories loaded at construction, in this order.
constexpr u32 kLoadOrder[] = {kCategoryPhoto, kCategoryMusic, kCategoryVideo,
                              kCategoryOffice, kCategoryUnused6, kCategoryOther};
}  // namespace

CRecoveryFilter::CRecoveryFilter() {
    char path[kMaxPath];
    FormatPath(path, "%sFileFilter.xml", GetModuleDir().c_str());
    LoadAll(path);
}

CRecoveryFilter::CRecoveryFilter(const std::string& filterFilePath) { LoadAll(filterFilePath); }

void CRecoveryFilter::LoadAll(const std::string& path) {
    for (u32 id : kLoadOrder) LoadCategory(path, id);
}

u32 CRecoveryFilter::CategoryFromIconIndex(int iconIndex) {
    switch (iconIndex) {
        case 0: return kCategoryPhoto;
        case 1: return kCategoryOffice;
        case 2: return kCategoryUnused6;
        case 3: return kCategoryMusic;
        case 4: return kCategoryVideo;
        case 5: return kCategoryOther;
        default: return kCategoryUnknown;
    }
}

int CRecoveryFilter::LoadCategory(const std::string& path, u32 categoryId) {
    TiXmlDocument document;
    if (!document.LoadFile(path.c_str(), TIXML_ENCODING_UTF8)) return -1;
    TiXmlElement* root = document.RootElement();
    if (root == nullptr || !NameIs(root->Value(), "xml")) return -2;

    std::string collected;
    for (TiXmlElement* category = root->FirstChildElement("FileCategory"); category != nullptr;
         category = category->NextSiblingElement()) {
        int iconIndex = 0;
        if (const char* value = category->Attribute("iconIndex")) iconIndex = std::atoi(value);
        if (CategoryFromIconIndex(iconIndex) != categoryId) continue;
        for (TiXmlElement* type = category->FirstChildElement("FileType"); type != nullptr;
             type = type->NextSiblingElement()) {
            // Every element from the first Extention on is looked at; only Extention elements
            // (in any letter case) count.
            TiXmlElement* extension = type->FirstChildElement();
            while (extension != nullptr && !NameIs(extension->Value(), "Extention"))
                extension = extension->NextSiblingElement();
            for (; extension != nullptr; extension = extension->NextSiblingElement()) {
                if (!NameIs(extension->Value(), "Extention")) continue;
                const char* text = extension->GetText();
                if (text == nullptr || text[0] == '\0') continue;
                collected += text + 1;  // the text is written with its leading dot
                collected += ';';
            }
        }
    }

    collected = AsciiLower(collected);
    size_t begin = 0;
    while (begin <= collected.size()) {
        size_t end = collected.find(';', begin);
        if (end == std::string::npos) end = collected.size();
        if (end > begin) m_extensions.emplace(collected.substr(begin, end - begin), categoryId);
        begin = end + 1;
    }
    return 0;
}

std::vector<u32> CRecoveryFilter::GetNameCategories(const char* name) const {
    const std::vector<u32> other{kCategoryOther};
    if (name == nullptr) return other;
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr || dot[1] == '\0') return other;
    for (const char* p = dot + 1; *p != '\0'; ++p) {
        const u8 c = static_cast<u8>(*p);
        if (c < 0x20 || c > 0x7F) return other;
    }
    std::vector<u32> categories;
    auto range = m_extensions.equal_range(AsciiLower(dot + 1));
    for (auto it = range.first; it != range.second; ++it) categories.push_back(it->second);
    if (categories.empty()) return other;
    return categories;
}

std::vector<u32> CRecoveryFilter::GetNodeCategories(CFileNode* node) const {
    if (node == nullptr) return {kCategoryOther};
    IFileProperties* properties = node->GetFileProperties();
    if (properties == nullptr) return {kCategoryOther};
    return GetNameCategories(properties->GetName());
}

u32 CRecoveryFilter::Accept(CFileNode* node) {
    if (node == nullptr) return 0;
    if (m_selected.empty()) return 1;
    IFileProperties* properties = node->GetFileProperties();
    if (properties == nullptr || (properties->GetAttributes() & kAttrDirectory) != 0) return 1;
    for (u32 category : GetNameCategories(properties->GetName())) {
        if (m_selected.count(category) != 0) return 1;
    }
    return 0;
}

void CRecoveryFilter::SetFileTypeMask(u32 mask) {
    m_mask = mask;
    m_selected.clear();
    if (mask == kFileTypeMaskAll) return;
    for (const MaskBit& entry : kSelectionOrder) {
        if ((mask & entry.bit) != 0) m_selected.insert(entry.category);
    }
}

u32 CRecoveryFilter::GetFileTypeMask(CFileNode* node) {
    switch (GetNodeCategories(node).front()) {
        case kCategoryUnused2: return 0x01;
        case kCategoryPhoto: return 0x02;
        case kCategoryMusic: return 0x04;
        case kCategoryVideo: return 0x08;
        case kCategoryUnused6: return 0x10;
        case kCategoryOffice: return 0x20;
        default: return 0x40;
    }
}
