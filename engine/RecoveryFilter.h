#pragma once
// The category filter: decides for every found file whether it belongs to one of the categories
// the user ticked on the file-type page. Categories and their extensions are read from
// "FileFilter.xml" in the program directory.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Types.h"

class CFileNode;

// Category ids and the mask bits of the file-type page.
constexpr u32 kCategoryUnused2 = 2;   // mask 0x01; no FileCategory produces it
constexpr u32 kCategoryPhoto = 3;     // mask 0x02, "Photo;"
constexpr u32 kCategoryMusic = 4;     // mask 0x04, "Music;"
constexpr u32 kCategoryVideo = 5;     // mask 0x08, "Video;"
constexpr u32 kCategoryUnused6 = 6;   // mask 0x10
constexpr u32 kCategoryOffice = 7;    // mask 0x20, "OfficeDoc;"
constexpr u32 kCategoryOther = 8;     // mask 0x40, "Other;"; also every unlisted extension
constexpr u32 kCategoryUnknown = 9;   // a FileCategory with an unknown icon index; no mask bit
constexpr u32 kFileTypeMaskAll = 0x7F;

class IRecoveryFilter {
public:
    virtual ~IRecoveryFilter() = default;
    virtual bool GetFlag() = 0;
    virtual void SetFlag(i32 flag) = 0;
    // 1 when the node may enter a tree, 0 when the filter keeps it out.
    virtual u32 Accept(CFileNode* node) = 0;
    virtual void SetFileTypeMask(u32 mask) = 0;
    // The mask bit of the node's first category.
    virtual u32 GetFileTypeMask(CFileNode* node) = 0;
    virtual void Reserved() {}
};

class CRecoveryFilter : public IRecoveryFilter {
public:
    // Loads the categories from "FileFilter.xml" in the program directory.
    CRecoveryFilter();
    // Loads them from the given file instead.
    explicit CRecoveryFilter(const std::string& filterFilePath);

    bool GetFlag() override { return m_flag != 0; }
    void SetFlag(i32 flag) override { m_flag = static_cast<u32>(flag); }
    u32 Accept(CFileNode* node) override;
    void SetFileTypeMask(u32 mask) override;
    u32 GetFileTypeMask(CFileNode* node) override;

    u32 GetLastMask() const { return m_mask; }
    const std::set<u32>& GetSelectedCategories() const { return m_selected; }
    // The categories of a file name's extension, in table order; category 8 alone when the name
    // has no usable extension or the extension stands in no category.
    std::vector<u32> GetNameCategories(const char* name) const;
    std::vector<u32> GetNodeCategories(CFileNode* node) const;

    // Reads the extensions of one category from the file into the table: 0 on success, -1 when
    // the file cannot be loaded or parsed, -2 when its root is missing or not named "xml".
    int LoadCategory(const std::string& path, u32 categoryId);
    // The category of a FileCategory element's icon index.
    static u32 CategoryFromIconIndex(int iconIndex);

private:
    void LoadAll(const std::string& path);

    u32 m_flag = 0;
    u32 m_mask = 0;
    std::multimap<std::string, u32> m_extensions;  // lower-case extension without its dot
    std::set<u32> m_selected;
};
