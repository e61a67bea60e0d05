// The folder tree of the destination dialog over a home folder of the test's own: a folder shows
// an expand button exactly when it holds folders, hidden ones included, and opening it lists
// them all, so no button opens to nothing.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "app/dialogs/ShellTreeCtrl.h"
#include "core/Strings.h"

namespace {

namespace fs = std::filesystem;

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
}

// The names under an item, once the tree has opened it as a click on its button does.
std::vector<std::string> Opened(CShellTreeCtrl& tree, const QModelIndex& index) {
    tree.expand(index);
    std::vector<std::string> names;
    for (int row = 0; row < tree.model()->rowCount(index); ++row)
        names.push_back(tree.model()->index(row, 0, index).data().toString().toStdString());
    return names;
}

TEST(DestinationTree, AFolderShowsItsButtonExactlyWhenItHoldsFoldersHiddenOnesIncluded) {
    EnsureApp();
    testutil::TempDir home;
    fs::create_directories(home.File("only-hidden/.cache"));
    fs::create_directories(home.File("mixed/.config"));
    fs::create_directories(home.File("mixed/Pictures"));
    fs::create_directories(home.File("empty"));
    fs::create_directories(home.File("files-only"));
    ASSERT_TRUE(testutil::WriteFileBytes(home.File("files-only/note.txt"), {'x'}));
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.Path()));

    CShellTreeCtrl tree(nullptr);
    tree.Populate();
    ASSERT_GT(tree.model()->rowCount(), 0);
    const QModelIndex top = tree.model()->index(0, 0);
    ASSERT_EQ(top.data(CShellTreeCtrl::kPathRole).toString().toStdString(), home.Path());
    const std::vector<std::string> children = Opened(tree, top);
    EXPECT_EQ(children, (std::vector<std::string>{"empty", "files-only", "mixed", "only-hidden"}));

    struct Case {
        const char* folder;
        bool button;
        std::vector<std::string> inside;
    };
    const Case cases[] = {
        {"only-hidden", true, {".cache"}},
        {"mixed", true, {".config", "Pictures"}},
        {"empty", false, {}},
        {"files-only", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const auto at = std::find(children.begin(), children.end(), c.folder);
        ASSERT_NE(at, children.end());
        const int row = static_cast<int>(at - children.begin());
        const QModelIndex index = tree.model()->index(row, 0, top);
        EXPECT_EQ(tree.model()->hasChildren(index), c.button);
        EXPECT_EQ(Opened(tree, index), c.inside);
    }
    qputenv("HOME", savedHome);

    // A volume's row ends with its free space of its total, in the interface language.
    ASSERT_GT(SetLanguageFile("Deutsch.dat"), 0);
    const std::string text = tree.VolumeRowText(QStringLiteral("Daten"), QString::fromStdString(home.Path())).toStdString();
    const std::string freeOf = " " + GetLocalizedString("FreeOf") + " ";
    EXPECT_TRUE(std::regex_match(text, std::regex("Daten +[0-9]+\\.[0-9]{2} [MG]B" + freeOf + "[0-9]+\\.[0-9]{2} [MG]B"))) << text;
    SetLanguageFile("English.dat");
}

}  // namespace
