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

#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"

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
    // The name as found; empty when it has none.
    std::string Name() const;
    // Whether two held files (or a held file and a node of a tree) are the same found file.
    bool IsFileOf(const CFileNode* node) const;
    // Whether the node is the node of a held file: the writer then takes the place from it and
    // asks the scan nothing, for the scan may have moved on or gone.
    static bool IsHeldNode(const CFileNode* node);

private:
    CHeldFile() = default;

    FileSystemNodePtr m_root;
    CFileNode* m_file = nullptr;  // below m_root; freed with the held file
    // The scanned volume the copies read, kept for as long as they may.
    std::shared_ptr<VolumeRecord> m_volume;
};

using HeldFile = std::shared_ptr<const CHeldFile>;
