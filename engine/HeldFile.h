#pragma once
// A found file taken out of its tree for work that may outlast the tree. A scan replaces its
// shown trees at its last step, and drops or filters trees, while a preview, a thumbnail or a
// one-file recovery of one of their files may still be copying it and a preview window may still
// show it. Such work reads the file through a held file: what the writer needs of it is taken at
// a moment the tree is known to live, and kept for as long as the work holds it (its properties,
// the code of its file system, where the scan placed its clusters then, and the scanned volume).
// The tree may go meanwhile: nothing here points into it.
#include <memory>
#include <string>

#include "engine/CompactRunList.h"

#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"

class IDataRunList;
class IFileProperties;
struct VolumeRecord;

class CHeldFile {
public:
    // Takes the node's file. Call only where its tree cannot go before the call returns: on the
    // UI thread, from a row its lists still hold (a tree is freed only once the UI thread has let
    // go of its rows). The place is asked of the session's scan as the writer would ask it now;
    // a file it cannot place is held all the same, and its copy fails as it would have. Null for
    // a null node, a folder, a node without properties, or when memory runs out.
    static std::shared_ptr<const CHeldFile> Take(CFileNode* node);
    ~CHeldFile();
    CHeldFile(const CHeldFile&) = delete;
    CHeldFile& operator=(const CHeldFile&) = delete;

    // The node the writer is given: a file node of the held file's own below a root of its own,
    // which carries the file system's code and the place. No tree links to either.
    CFileNode* Node() const { return m_file; }
    const IFileProperties* Properties() const { return m_file->GetFileProperties(); }
    // The name it had when it was taken; empty when it had none.
    const std::string& Name() const { return m_name; }
    // Whether two held files (or a held file and a node of a tree) are the same found file.
    bool IsFileOf(const CFileNode* node) const;
    // Whether the node is the node of a held file: the writer then takes the place from it and
    // asks the scan nothing, for the scan may have moved on or gone.
    static bool IsHeldNode(const CFileNode* node);

    // What the writer reads of a file: for a held node the held file's own extents and name,
    // for any other node its properties'. The runs are a new list, null without runs (call with
    // the placement lock held, as a scan that moves a file changes them under it); the name is
    // empty without one.
    static std::unique_ptr<IDataRunList> RunsOf(const CFileNode* node);
    static std::string NameOf(const CFileNode* node);

private:
    CHeldFile() = default;

    FileSystemNodePtr m_root;  // a root of the held kind, which links back to this held file
    CFileNode* m_file = nullptr;  // below m_root; freed with the held file
    std::string m_name;
    std::unique_ptr<CCompactRunList> m_runs;  // null without runs
    // The scanned volume the copies read, kept for as long as they may.
    std::shared_ptr<VolumeRecord> m_volume;
};

using HeldFile = std::shared_ptr<const CHeldFile>;
