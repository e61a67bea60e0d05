// The tree by file type on screen: its root and categories show their pictures of the skin's
// type strip, and a language switch renames every category at once, wherever the categories
// moved as their first files came.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <map>


#include "BrowserScanFixture.h"
#include "BrowserTestTree.h"
#include "ListWait.h"
#include "TreeClick.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/NodeManager.h"
#include "browser/model/VirtualNode.h"
#include "browser/views/Container.h"
#include "browser/views/Icons.h"
#include "browser/views/TreeCtrl.h"
#include "platform/Sync.h"

using namespace FileSelCtrl;

namespace {

constexpr int kEnglish = 0;
constexpr int kJapanese = 1;
constexpr int kGerman = 2;

// An item's name without the count the tree puts after it: "Audio (3)" is "Audio".
std::string WithoutCount(const QVariant& text) {
    const std::string shown = text.toString().toStdString();
    const size_t open = shown.rfind(" (");
    return open != std::string::npos && !shown.empty() && shown.back() == ')' ? shown.substr(0, open) : shown;
}

class BrowserTypeTree : public ::testing::Test {
protected:
    void SetUp() override {
        browser = testutil::OpenEmptyBrowser();
        browser->SetLanguage(kEnglish);
        container = browser->Container();
        root = browsertest::Root();
        // Files land in Other first, then Document, Audio and Graphics: each new category goes
        // to the top, so the list order is not the categories' order.
        for (const char* name : {"notes.xyz", "report.txt", "song.mp3", "photo.jpg", "clip.mp4"}) browsertest::Add(root, name, false, 10);
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        manager.AddFileSystemNode(root, nullptr, nullptr, true);
        while (manager.ProcessPending(kInfinite)) {
        }
        browser->SetBuildState(false);
        testutil::WaitForRows();
        browsertest::ClickTab(container->Left()->Tabs(), kTabType);
        testutil::WaitForRows();
    }
    void TearDown() override {
        browser->SetLanguage(kEnglish);
        container->Left()->SelectTree(kTabPath);
        browser->ClearAll();
        browsertest::Free(root);
    }
    CFileTreeCtrl* Tree() const { return container->Left()->TypeTree(); }

    CFileSelCtrl* browser = nullptr;
    CFileSelCtrlContainer* container = nullptr;
    CFileSystemNode* root = nullptr;
};

TEST_F(BrowserTypeTree, TheRootAndEveryCategoryShowTheirPictureOfTheTypeStrip) {
    ASSERT_EQ(container->Left()->CurrentTree(), Tree());
    CFileTreeModel* model = Tree()->TreeModel();
    const BrowserSkin& s = Skin();
    const QImage& strip = SkinImage(s.treeTypeFile);
    ASSERT_FALSE(strip.isNull()) << "the shipped type strip";
    auto expected = [&](u32 index) {
        return StripImage(strip, static_cast<int>(index), s.treeTypeWidth, s.treeTypeMask, true).toImage().convertToFormat(QImage::Format_ARGB32);
    };
    auto shown = [&](const QModelIndex& i) {
        const QIcon icon = qvariant_cast<QIcon>(model->data(i, Qt::DecorationRole));
        return icon.pixmap(s.treeTypeWidth, s.treeTypeWidth).toImage().convertToFormat(QImage::Format_ARGB32);
    };
    const QModelIndex typeRoot = model->index(0, 0);
    EXPECT_EQ(shown(typeRoot), expected(FileSelCtrl::kCategoryRoot));
    const int categories = model->rowCount(typeRoot);
    ASSERT_GE(categories, 5);
    for (int row = 0; row < categories; ++row) {
        const QModelIndex i = model->index(row, 0, typeRoot);
        const auto* category = dynamic_cast<const CFileTypeNode*>(CFileTreeModel::NodeOf(i));
        ASSERT_NE(category, nullptr);
        EXPECT_EQ(shown(i), expected(category->Category())) << category->GetName();
        EXPECT_FALSE(shown(i) == shown(typeRoot)) << category->GetName() << " shows the root's picture";
    }
    ASSERT_TRUE(container->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-type-tree-en.png"))));
}

TEST_F(BrowserTypeTree, ALanguageSwitchRenamesEveryCategoryAtOnce) {
    CFileTreeModel* model = Tree()->TreeModel();
    const QModelIndex typeRoot = model->index(0, 0);
    auto names = [&] {
        std::map<u32, std::string> out;
        for (int row = 0; row < model->rowCount(typeRoot); ++row) {
            const QModelIndex i = model->index(row, 0, typeRoot);
            const auto* category = dynamic_cast<const CFileTypeNode*>(CFileTreeModel::NodeOf(i));
            if (category) out[category->Category()] = WithoutCount(model->data(i, Qt::DisplayRole));
        }
        return out;
    };
    for (int language : {kGerman, kJapanese, kEnglish, kJapanese}) {
        browser->SetLanguage(language);
        QApplication::processEvents();
        const BrowserSkin& s = Skin();
        SCOPED_TRACE("language " + std::to_string(language));
        EXPECT_EQ(WithoutCount(model->data(model->index(0, 0), Qt::DisplayRole)), s.typeAll);
        const std::map<u32, std::string> shown = names();
        const std::map<u32, std::string> wanted{{FileSelCtrl::kCategoryGraphics, s.typeGraphics}, {FileSelCtrl::kCategoryAudio, s.typeAudio},
                                                {FileSelCtrl::kCategoryDocument, s.typeDocument}, {FileSelCtrl::kCategoryVideo, s.typeVideo},
                                                {FileSelCtrl::kCategoryEmail, s.typeEmail}, {FileSelCtrl::kCategoryOther, s.typeOther}};
        for (const auto& [id, name] : shown) EXPECT_EQ(name, wanted.at(id)) << "category " << id;
        // The rows listed from the tree say the same names.
        testutil::WaitForRows();
        QAbstractItemModel* rows = container->Right()->Details()->model();
        for (int r = 0; r < rows->rowCount(); ++r) {
            const std::string row = WithoutCount(rows->data(rows->index(r, 0), Qt::DisplayRole));
            EXPECT_TRUE(std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.second == row; })) << row;
        }
        EXPECT_EQ(container->Left()->CurrentTree(), Tree()) << "the Type tab stays";
        EXPECT_TRUE(Tree()->isVisible());
    }
    EXPECT_EQ(names().at(FileSelCtrl::kCategoryGraphics), "画像");
    Tree()->expand(typeRoot);
    QApplication::processEvents();
    ASSERT_TRUE(container->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-type-tree-ja.png"))));
}

}  // namespace
