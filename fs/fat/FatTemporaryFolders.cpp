// Folders the complete scan made for folder starts no entry named, given the names of deleted
// entries that lost the high word of their first cluster.
#include <deque>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/FileNode.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"
#include "platform/Log.h"

namespace {
constexpr u32 kLowWordMask = 0xFFFF;

FILETIME64 CreatedAt(CFileNode* node) {
    FILETIME64 created = 0;
    FatPropertiesOf(node)->GetCreationTime(created);
    return created;
}

void MergeTemporaryChildren(CFileNode* folder, const FatDotCreationTime& dotCreated) {
    // The search's folders and the emptied deleted entries in child order, by the low word of
    // their first cluster.
    std::unordered_map<u32, std::vector<CFileNode*>> temporary;
    std::unordered_map<u32, std::vector<CFileNode*>> emptyDeleted;
    std::vector<u32> lowWords;
    for (CFileNode* c = folder->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        if (!IsFatFolderNode(c)) continue;
        const CFATFileProperties* p = FatPropertiesOf(c);
        if ((p->GetState() & kFatTemporaryState) != 0) {
            temporary[p->GetFirstCluster() & kLowWordMask].push_back(c);
        } else if ((p->GetState() & kFatDeletedState) != 0 && c->GetFirstChild() == nullptr &&
                   p->GetFirstCluster() <= kLowWordMask) {
            auto& same = emptyDeleted[p->GetFirstCluster()];
            if (same.empty()) lowWords.push_back(p->GetFirstCluster());
            same.push_back(c);
        }
    }
    if (temporary.empty()) return;
    for (const u32 low : lowWords) {
        const auto it = temporary.find(low);
        if (it == temporary.end()) continue;
        const std::vector<CFileNode*>& entries = emptyDeleted[low];
        std::vector<CFileNode*>& made = it->second;
        std::vector<std::pair<CFileNode*, CFileNode*>> pairs;  // entry, the search's folder
        if (entries.size() == 1 && made.size() == 1) {
            pairs.emplace_back(entries.front(), made.front());
        } else {
            // The low word does not tell them apart: a folder's "." entry is written with the
            // folder's own entry and keeps its creation time. A time that two entries or two
            // folders share tells nothing.
            std::map<FILETIME64, std::pair<std::vector<CFileNode*>, std::vector<CFileNode*>>> byTime;
            for (CFileNode* e : entries) byTime[CreatedAt(e)].first.push_back(e);
            for (CFileNode* t : made) {
                if (dotCreated) byTime[dotCreated(FatPropertiesOf(t)->GetFirstCluster())].second.push_back(t);
            }
            for (const auto& [created, group] : byTime) {
                if (created != 0 && group.first.size() == 1 && group.second.size() == 1) {
                    pairs.emplace_back(group.first.front(), group.second.front());
                }
            }
        }
        for (const auto& [d, t] : pairs) {
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
