// The folder tree of the destination dialog over a home folder of the test's own: a folder shows
// an expand button exactly when it holds folders, hidden ones included, and opening it lists
// them all, so no button opens to nothing; a folder that is a link carries the link's mark, and
// a volume is removable by its disk's flag.
#include <gtest/gtest.h>

#include <QApplication>
#include <QIcon>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "app/dialogs/ShellTreeCtrl.h"
#include "core/Strings.h"
#include "platform/Disks.h"

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
    fs::create_directory_symlink(home.File("mixed"), home.File("linked"));
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.Path()));

    CShellTreeCtrl tree(nullptr);
    tree.Populate();
    ASSERT_GT(tree.model()->rowCount(), 0);
    const QModelIndex top = tree.model()->index(0, 0);
    ASSERT_EQ(top.data(CShellTreeCtrl::kPathRole).toString().toStdString(), home.Path());
    const std::vector<std::string> children = Opened(tree, top);
    EXPECT_EQ(children, (std::vector<std::string>{"empty", "files-only", "linked", "mixed", "only-hidden"}));

    struct Case {
        const char* folder;
        bool button;
        std::vector<std::string> inside;
        bool link = false;  // drawn with the link's mark
    };
    const Case cases[] = {
        {"only-hidden", true, {".cache"}},
        {"mixed", true, {".config", "Pictures"}},
        {"empty", false, {}},
        {"files-only", false, {}},
        {"linked", true, {".config", "Pictures"}, true},
    };
    const qint64 plainIcon = tree.model()->index(0, 0, top).data(Qt::DecorationRole).value<QIcon>().cacheKey();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const auto at = std::find(children.begin(), children.end(), c.folder);
        ASSERT_NE(at, children.end());
        const int row = static_cast<int>(at - children.begin());
        const QModelIndex index = tree.model()->index(row, 0, top);
        EXPECT_EQ(tree.model()->hasChildren(index), c.button);
        EXPECT_EQ(Opened(tree, index), c.inside);
        EXPECT_EQ(index.data(CShellTreeCtrl::kLinkRole).toBool(), c.link);
        EXPECT_EQ(index.data(Qt::DecorationRole).value<QIcon>().cacheKey() != plainIcon, c.link) << "the link's mark";
    }
    tree.resize(300, 260);
    const std::string shots = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    fs::create_directories(shots);
    EXPECT_TRUE(tree.grab().save(QString::fromStdString(shots + "/destination-tree-link.png")));
    qputenv("HOME", savedHome);

    // A volume's row ends with its free space of its total, in the interface language.
    ASSERT_GT(SetLanguageFile("Deutsch.dat"), 0);
    const std::string text = tree.VolumeRowText({QStringLiteral("Daten"), QString::fromStdString(home.Path())}).toStdString();
    const std::string freeOf = " " + GetLocalizedString("FreeOf") + " ";
    EXPECT_TRUE(std::regex_match(text, std::regex("Daten +[0-9]+\\.[0-9]{2} [MG]B" + freeOf + "[0-9]+\\.[0-9]{2} [MG]B"))) << text;
    SetLanguageFile("English.dat");
}

// A mounted device is removable by the flag of its disk in sysfs, for a partition as for a
// whole disk; a device sysfs does not know is not.
TEST(DestinationTree, AVolumeIsRemovableByTheSysfsFlagOfItsDisk) {
    testutil::TempDir sys;
    const auto disk = [&](const std::string& name, const char* removable) {
        const std::string folder = sys.File("devices/pci0/block/" + name);
        fs::create_directories(folder);
        std::ofstream(folder + "/removable") << removable << "\n";
        fs::create_directories(sys.File("class/block"));
        fs::create_directory_symlink(folder, sys.File("class/block/" + name));
        return folder;
    };
    const std::string stick = disk("sdz", "1");
    fs::create_directories(stick + "/sdz1");
    std::ofstream(stick + "/sdz1/partition") << "1\n";
    fs::create_directory_symlink(stick + "/sdz1", sys.File("class/block/sdz1"));
    disk("sdy", "0");
    for (const auto& [device, removable] : {std::pair{"/dev/sdz1", true}, {"/dev/sdz", true}, {"/dev/sdy", false}, {"/dev/sdx1", false}})
        EXPECT_EQ(IsOnRemovableDisk(device, sys.Path()), removable) << device;
}

}  // namespace
