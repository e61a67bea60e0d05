#include "app/pages/ResultBrowserSlot.h"

#include <QMetaObject>
#include <QPainter>
#include <cstdio>

#include "app/core/Strings.h"
#include "app/pages/WizardArt.h"
#include "app/ui/UiResources.h"
#include "devices/FileSystemCode.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"

namespace UiCtrl {
namespace {
constexpr int kRowHeight = 34;
constexpr int kHeaderHeight = 30;
constexpr double kMiB = 1048576.0;
}  // namespace

ResultBrowserSlot::ResultBrowserSlot(QWidget* parent) : QWidget(parent) { setObjectName(QStringLiteral("ResultBrowserSlot")); }

void ResultBrowserSlot::RequestUpdate() { QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection); }

void ResultBrowserSlot::SetRootText(const char* text) {
    std::lock_guard<std::mutex> lk(lock_);
    rootText_ = text ? text : "";
}

void ResultBrowserSlot::AddNodes(const std::vector<CFileNode*>&, u32) {}

ResultBrowserSlot::Entry ResultBrowserSlot::Describe(CFileSystemNode* root) {
    const TreeCounts counts = CountTree(root);
    Entry e;
    const char* fs = ScanFileSystemName(root->GetFileSystemType());
    const char* label = root->GetVolumeLabel();
    e.name = std::string(fs && *fs ? fs : "?") + (label && *label ? std::string("  ") + label : std::string());
    e.files = counts.files;
    e.folders = counts.folders;
    e.deleted = counts.deleted;
    e.bytes = counts.bytes;
    return e;
}

void ResultBrowserSlot::AddFileSystemNode(CFileSystemNode* root, bool) {
    if (!root) return;
    const Entry e = Describe(root);
    {
        std::lock_guard<std::mutex> lk(lock_);
        for (size_t i = 0; i < roots_.size(); ++i)
            if (roots_[i] == root) {
                entries_[i] = e;
                RequestUpdate();
                return;
            }
        roots_.push_back(root);
        entries_.push_back(e);
    }
    RequestUpdate();
}

void ResultBrowserSlot::RemoveFileSystemNode(CFileSystemNode* root) {
    std::lock_guard<std::mutex> lk(lock_);
    for (size_t i = 0; i < roots_.size(); ++i)
        if (roots_[i] == root) {
            roots_.erase(roots_.begin() + static_cast<std::ptrdiff_t>(i));
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    RequestUpdate();
}

void ResultBrowserSlot::SetBuildState(bool building) {
    {
        std::lock_guard<std::mutex> lk(lock_);
        building_ = building;
        // A tree keeps growing after it was handed over. When the building stops (the scan is
        // paused on its own thread, or it has ended) nothing changes the trees, and the scan's
        // controller still owns them: the view's copy empties before any release.
        if (!building)
            for (size_t i = 0; i < roots_.size(); ++i) entries_[i] = Describe(roots_[i]);
    }
    RequestUpdate();
}

void ResultBrowserSlot::ClearAll() {
    {
        std::lock_guard<std::mutex> lk(lock_);
        entries_.clear();
        roots_.clear();
        rootText_.clear();
    }
    update();
}

std::vector<ResultBrowserSlot::Entry> ResultBrowserSlot::Entries() const {
    std::lock_guard<std::mutex> lk(lock_);
    return entries_;
}

bool ResultBrowserSlot::Building() const {
    std::lock_guard<std::mutex> lk(lock_);
    return building_;
}

void ResultBrowserSlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    ui::Dc dc(&p);
    UiResources& res = UiResources::Instance();
    const RECT c = ui::MakeRect(0, 0, width(), height());
    dc.FillRect(c, 0xFFFFFF);
    dc.FillRect(ui::MakeRect(0, 0, c.right, kHeaderHeight), 0xF4F4F4);
    dc.Line(0, kHeaderHeight, c.right, kHeaderHeight, art::kFrameGrey);
    dc.SetFont(*res.GetFont(15, 700, false));
    dc.SetTextColor(0x505050);
    dc.DrawText(res.GetString("FoundTrees"), ui::MakeRect(16, 0, c.right - 16, kHeaderHeight), DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    const std::vector<Entry> entries = Entries();
    dc.SetFont(*res.GetFont(15, 500, false));
    if (entries.empty()) {
        dc.SetTextColor(0x909090);
        dc.DrawText(res.GetString(Building() ? "TreesComing" : "NoTreesYet"), ui::MakeRect(16, kHeaderHeight + 8, c.right - 16, kHeaderHeight + 40),
                    DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        return;
    }
    int y = kHeaderHeight + 4;
    for (const Entry& e : entries) {
        if (y + kRowHeight > c.bottom) break;
        art::DrawVolumeIcon(&dc, ui::MakeRect(14, y + 4, 40, y + 30), art::kIconOther, false);
        dc.SetTextColor(0x333333);
        dc.DrawText(e.name, ui::MakeRect(50, y, 330, y + kRowHeight), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        dc.SetTextColor(0x686868);
        const std::string counts = FormatLocalized("TreeCounts", "%llu%llu%llu%.2f", static_cast<unsigned long long>(e.files),
                                                   static_cast<unsigned long long>(e.folders),
                                                   static_cast<unsigned long long>(e.deleted), static_cast<double>(e.bytes) / kMiB);
        dc.DrawText(counts, ui::MakeRect(340, y, c.right - 16, y + kRowHeight), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        dc.Line(14, y + kRowHeight, c.right - 14, y + kRowHeight, 0xEEEEEE);
        y += kRowHeight;
    }
}

}  // namespace UiCtrl
