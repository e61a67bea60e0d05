#pragma once
// The trees that do not follow the scan's folders: buckets by file type and by modified date.
// A bucket keeps references to the scan's file nodes grouped by the file-system tree they came
// from, so that a replaced tree leaves every bucket with one lookup. Buckets are made once and
// stay; a tree window shows only the buckets that hold files (the shown list).
//
// Everything here runs on the UI thread: the node manager classifies files while it binds the
// queued deliveries there.
#include <map>
#include <string>
#include <vector>

#include "browser/model/BindingNode.h"

namespace FileSelCtrl {

// A bucket shows this many files itself; each further run of this many goes to a page.
constexpr u32 kPageSize = 10000;

class CFileVirtualNode : public CBindingNode {
public:
    CFileVirtualNode(std::string name, i32 image, CBindingNode* parent, u32 treeKind, bool holdsEntries, u32 insertPosition);
    ~CFileVirtualNode() override;

    std::string GetName() const override;
    u32 GetChildState() const override { return m_insertPosition; }
    i32 GetImage() const override { return m_image; }
    void Clear() override;
    bool IsFolder() const override { return m_holdsEntries; }
    // The buckets that hold files, in the order the tree shows them.
    const std::vector<CBindingNode*>* GetChildren() const override { return &m_shown; }
    bool IsEmpty() const override { return GetEntryCount() == 0; }
    void SetCheck(u32 image, bool fromChildren, bool notify) override;
    void RefreshItem(u32 image, bool recurse, bool notify) override;
    u32 GetCheckState() const override { return m_checkImage; }
    u32 ComputeCheckState() const override;
    void StoreCheckState(u32 image) override { m_checkImage = image; }
    void RefreshCheckStates() override;
    void CollectItems(std::vector<CFileNode*>& out) const override;
    // The files of the bucket and of every bucket below it.
    void CollectSubtreeItems(std::vector<CFileNode*>& out) const;

    virtual void Build() {}
    virtual bool Classify(const CFileNode* /*node*/) const { return false; }
    virtual u32 DetachRootEntries(const CFileNode* fsRoot);
    void DetachRoot(const CFileNode* fsRoot);
    void AddEntry(CFileNode* node);
    void ReleaseEntries();
    // The first bucket, depth first, that takes the file.
    CFileVirtualNode* FindBucket(const CFileNode* node) const;
    void SetName(std::string name) { m_name = std::move(name); }
    const std::string& BaseName() const { return m_name; }
    bool HoldsEntries() const { return m_holdsEntries; }
    const std::vector<CFileVirtualNode*>& AllChildren() const { return m_children; }

    // Puts a bucket that just received its first file into its parent's shown list; returns
    // false when it was there already. Rows of the later siblings move down.
    bool Reveal();
    bool IsRevealed() const { return m_revealed; }
    // The shown lists again from the counts, after files left (a tree was replaced).
    void RebuildShown();

protected:
    void AppendChild(CFileVirtualNode* child) { m_children.push_back(child); }
    u32 TakeEntriesOf(const CFileNode* fsRoot);

    std::string m_name;
    i32 m_image;
    bool m_holdsEntries;
    u32 m_checkImage = kImageUnchecked;
    std::vector<CFileVirtualNode*> m_children;
    std::vector<CBindingNode*> m_shown;
    bool m_revealed = false;
    std::map<const CFileNode*, std::vector<CFileNode*>> m_entries;
    u32 m_insertPosition;
};

class CFileVirtualDisplayNode : public CFileVirtualNode {
public:
    // A bucket that may page.
    CFileVirtualDisplayNode(std::string name, i32 image, CBindingNode* parent, u32 treeKind, bool holdsEntries, u32 insertPosition)
        : CFileVirtualNode(std::move(name), image, parent, treeKind, holdsEntries, insertPosition), m_pageCounter(0) {}
    // A page of a bucket.
    CFileVirtualDisplayNode(CFileVirtualDisplayNode* owner, std::string name);

    bool IsSystemFolder() const override { return m_pageCounter != kNotPaging; }
    void Clear() override;
    u32 DetachRootEntries(const CFileNode* fsRoot) override;

    // Adds a file with paging; out gets the bucket or page that took it.
    bool AddEntryPaged(CFileNode* node, CFileVirtualNode** out);
    static CFileVirtualDisplayNode* NewPage(CFileVirtualDisplayNode* owner);
    bool IsPage() const { return m_pageCounter == kNotPaging; }

private:
    static constexpr i32 kNotPaging = -1;
    CFileVirtualDisplayNode* m_currentPage = nullptr;
    i32 m_pageCounter;
};

enum FileCategory : u32 { kCategoryRoot = 0, kCategoryGraphics = 1, kCategoryAudio, kCategoryDocument, kCategoryVideo, kCategoryEmail, kCategoryOther };

class CFileTypeNode : public CFileVirtualDisplayNode {
public:
    CFileTypeNode(i32 image, CBindingNode* parent, std::string name, bool holdsEntries, bool catchAll, u32 category, u32 insertPosition);
    ~CFileTypeNode() override { m_extensions.clear(); }

    // Root only: the categories, with the extensions of the file type list when it loads.
    void Build() override;
    void BuildFrom(const std::string& fileTypePath);
    // Root only: sorts the file in; out gets each bucket or page that took it.
    void ClassifyFile(CFileNode* node, std::vector<CFileVirtualNode*>& out);
    bool Classify(const CFileNode* node) const override;
    void RelabelTypeTree();
    u32 Category() const { return m_category; }

private:
    bool Match(bool noExtension, const std::string& extension, CFileNode* node, std::vector<CFileVirtualNode*>& out);
    void AddExtension(const std::string& text);

    std::map<std::string, CFileTypeNode*> m_extensions;
    bool m_catchAll;
    u32 m_category;
};

enum class DateKind : u32 { Root = 0, Open = 1, Closed = 2, CatchAll = 3 };

class CFileTimeNode : public CFileVirtualDisplayNode {
public:
    CFileTimeNode(i32 image, CBindingNode* parent, std::string name, bool holdsEntries, DateKind kind, u32 insertPosition);

    // Root only: this year and the nine before it, by month, and "Other".
    void Build() override;
    // The same for a given now (local calendar seconds since 1970).
    void BuildAt(i64 nowLocal);
    // Root only: sorts the file in; out gets the bucket or page that took it, or stays null.
    void AddFile(CFileNode* node, CFileVirtualNode** out);
    bool Classify(const CFileNode* node) const override;
    void RelabelDateTree();

private:
    bool InRange(bool valid, i64 t) const;
    bool MatchDate(bool valid, i64 t, CFileNode* node, CFileVirtualNode** out);
    void AddYear(int year, int currentMonth, bool current, i64 now);

    DateKind m_kind;
    i64 m_start = 0;
    i64 m_end = 0;
};

// The local calendar time of a file's last write; false without a usable one.
bool LocalModifiedTime(const CFileNode* node, i64& out);

}  // namespace FileSelCtrl
