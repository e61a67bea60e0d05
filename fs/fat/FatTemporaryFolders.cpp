// Folders the complete scan made for folder starts no entry named, given the names of deleted
// entries that lost the high word of their first cluster.
#include <deque>
#include <unordered_map>
#include <vector>

#include "engine/FileNode.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatFolderPlacement.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatTable.h"
#include "platform/Log.h"

namespace {
FILETIME64 CreatedAt(CFileNode* node) {
    FILETIME64 created = 0;
    FatPropertiesOf(node)->GetCreationTime(created);
    return created;
}

void MergeTemporaryChildren(CFileNode* folder, const FatDotCreationTime& dotCreated) {
    // The search's folders and the emptied deleted entries in child order, by the low word of
    // their first cluster. "Lost Folders" and the folders made from a folder's later clusters
    // have no first cluster: they stand in for no entry.
    std::unordered_map<u32, std::vector<CFileNode*>> temporary;
    std::unordered_map<u32, std::vector<CFileNode*>> emptyDeleted;
    std::vector<u32> lowWords;
    for (CFileNode* c = folder->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        if (!IsFatFolderNode(c)) continue;
        const CFATFileProperties* p = FatPropertiesOf(c);
        const u32 cluster = p->GetFirstCluster();
        if ((p->GetState() & kFatTemporaryState) != 0) {
            if (IsFatNextCluster(cluster)) temporary[cluster & kFatLowWordMask].push_back(c);
        } else if ((p->GetState() & kFatDeletedState) != 0 && c->GetFirstChild() == nullptr && !FatNamesHighWord(cluster)) {
            auto& same = emptyDeleted[cluster];
            if (same.empty()) lowWords.push_back(cluster);
            same.push_back(c);
        }
    }
    if (temporary.empty()) return;
    const u64 listedIn = folder->GetId();
    for (const u32 low : lowWords) {
        const auto it = temporary.find(low);
        if (it == temporary.end()) continue;
        const std::vector<CFileNode*>& entries = emptyDeleted[low];
        const std::vector<CFileNode*>& made = it->second;
        // The search's folders hang here because their ".." names this folder. The entries choose
        // by the rule of the retry of higher words.
        std::vector<FatLowWordCandidate> candidates;
        for (CFileNode* t : made) {
            const u32 cluster = FatPropertiesOf(t)->GetFirstCluster();
            candidates.push_back({cluster, dotCreated ? dotCreated(cluster) : 0, listedIn});
        }
        std::vector<FatLowWordEntry> lost;
        for (CFileNode* e : entries) lost.push_back({low, CreatedAt(e), listedIn});
        const std::vector<size_t> choice =
            ChooseLowWordFolders(lost, candidates, [](u64 dotDot, u64 at) { return dotDot == at; });
        for (size_t i = 0; i < entries.size(); ++i) {
            if (choice[i] == kFatNoLowWordChoice) continue;
            CFileNode* d = entries[i];
            CFileNode* t = made[choice[i]];
            CFATFileProperties* entry = FatPropertiesOf(d);
            CFATFileProperties* found = FatPropertiesOf(t);
            ReleaseTrace("Replace a temp directory %s first clusternum %x with directory %s firstclusternum %x!",
                         found->GetName(), unsigned(found->GetFirstCluster()), entry->GetName(),
                         unsigned(entry->GetFirstCluster()));
            entry->SetFirstCluster(found->GetFirstCluster());
            t->SetFileProperties(entry);
            d->SetFileProperties(found);
        }
    }
}
}  // namespace

void MergeTemporaryFolders(CFileNode* root, const FatDotCreationTime& dotCreated) {
    if (root == nullptr) return;
    std::deque<CFileNode*> queue{root};
    while (!queue.empty()) {
        CFileNode* folder = queue.front();
        queue.pop_front();
        MergeTemporaryChildren(folder, dotCreated);
        for (CFileNode* c = folder->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
            if (IsFatFolderNode(c)) queue.push_back(c);
        }
    }
}
