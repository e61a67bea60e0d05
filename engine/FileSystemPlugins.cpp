#include "engine/FileSystemPlugins.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "engine/FileNode.h"
#include "engine/FileProperties.h"

namespace {

struct PluginTable {
    std::shared_mutex lock;
    std::vector<FileSystemPlugin> rows;
};

PluginTable& Table() {
    static PluginTable table;
    return table;
}

template <typename Match>
std::optional<FileSystemPlugin> FindRow(Match match) {
    PluginTable& table = Table();
    std::shared_lock<std::shared_mutex> lk(table.lock);
    for (const FileSystemPlugin& row : table.rows) {
        if (match(row)) return row;
    }
    return std::nullopt;
}

std::optional<FileSystemPlugin> RowOfNode(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    if (!p) return std::nullopt;
    return FindPluginOfPropertiesKind(p->GetFileSystemKind());
}

}  // namespace

void RegisterFileSystemPlugin(const FileSystemPlugin& row) {
    if (!row.name) return;
    PluginTable& table = Table();
    {
        std::unique_lock<std::shared_mutex> lk(table.lock);
        bool replaced = false;
        for (FileSystemPlugin& existing : table.rows) {
            if (std::strcmp(existing.name, row.name) == 0) {
                existing = row;
                replaced = true;
            }
        }
        if (!replaced) table.rows.push_back(row);
    }
    if (row.createVolumeAnalyzer) RegisterVolumeAnalyzer(row.analyzerSlot, row.createVolumeAnalyzer);
    if (row.classifyBootSector) RegisterBootSectorClassifier(row.analyzerSlot, row.classifyBootSector);
}

void UnregisterFileSystemPlugin(const char* name) {
    if (!name) return;
    PluginTable& table = Table();
    std::unique_lock<std::shared_mutex> lk(table.lock);
    for (auto it = table.rows.begin(); it != table.rows.end(); ++it) {
        if (std::strcmp(it->name, name) != 0) continue;
        if (it->createVolumeAnalyzer) RegisterVolumeAnalyzer(it->analyzerSlot, nullptr);
        if (it->classifyBootSector) RegisterBootSectorClassifier(it->analyzerSlot, nullptr);
        table.rows.erase(it);
        return;
    }
}

std::optional<FileSystemPlugin> FindFileSystemPlugin(u32 fsCode) {
    return FindRow([fsCode](const FileSystemPlugin& row) { return row.Covers(fsCode); });
}

std::optional<FileSystemPlugin> FindPluginOfPropertiesKind(u32 propertiesKind) {
    return FindRow([propertiesKind](const FileSystemPlugin& row) { return row.propertiesKind == propertiesKind; });
}

std::vector<FileSystemPlugin> FileSystemPlugins() {
    PluginTable& table = Table();
    std::shared_lock<std::shared_mutex> lk(table.lock);
    return table.rows;
}

IQuickFileSystemSearchController* CreateQuickSearch(u32 fsCode) {
    const auto row = FindFileSystemPlugin(fsCode);
    return row && row->createQuickSearch ? row->createQuickSearch() : nullptr;
}

ICompleteFileSystemSearchController* CreateDeepSearch(u32 fsCode) {
    const auto row = FindFileSystemPlugin(fsCode);
    return row && row->createDeepSearch ? row->createDeepSearch() : nullptr;
}

std::vector<ICompleteFileSystemSearchController*> CreateDeepSearches(const ScanOptions& options) {
    std::vector<FileSystemPlugin> rows = FileSystemPlugins();
    std::stable_sort(rows.begin(), rows.end(), [](const FileSystemPlugin& a, const FileSystemPlugin& b) {
        return a.deepSearchOrder < b.deepSearchOrder;
    });
    std::vector<ICompleteFileSystemSearchController*> searches;
    for (const FileSystemPlugin& row : rows) {
        if (!row.createDeepSearch) continue;
        if (row.deepSearchWanted && !row.deepSearchWanted(options)) continue;
        if (ICompleteFileSystemSearchController* search = row.createDeepSearch()) searches.push_back(search);
    }
    return searches;
}

PropertiesRef<> CreateFolderProperties(u32 fsCode, const char* name) {
    const auto row = FindFileSystemPlugin(fsCode);
    return PropertiesRef<>(row && row->createFolderProperties ? row->createFolderProperties(fsCode, name) : nullptr);
}

IFileProperties* LoadFileProperties(u32 propertiesKind, IRSData* stream) {
    const auto row = FindPluginOfPropertiesKind(propertiesKind);
    return row && row->loadProperties ? row->loadProperties(stream) : nullptr;
}

bool ReadResidentData(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity) {
    const auto row = RowOfNode(node);
    return row && row->readResidentData && row->readResidentData(node, device, size, buffer, capacity);
}

bool ReadLoggedUtilityStream(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity,
                             u64& unreadBytes) {
    unreadBytes = 0;
    const auto row = RowOfNode(node);
    return row && row->readLoggedUtilityStream &&
           row->readLoggedUtilityStream(node, device, size, buffer, capacity, unreadBytes);
}

bool MeasureFoundFile(CRawFileInfo& record, IStorageDevice* reader, std::string& text1, std::string& text2) {
    for (const FileSystemPlugin& row : FileSystemPlugins()) {
        if (row.measureFoundFile && row.measureFoundFile(record, reader, text1, text2)) return true;
    }
    return false;
}
