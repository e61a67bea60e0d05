// The search criteria: wildcard names, the list of name endings, dates, sizes and attributes,
// and a search through the node manager that lists its hits from a thread of its own.
#include <gtest/gtest.h>

#include <thread>

#include "BrowserTestTree.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/model/SearchFilter.h"
#include "platform/Sync.h"

using namespace FileSelCtrl;
using browsertest::Props;

namespace {

TEST(BrowserSearchCriteria, TypedNamesMatchAsTheirWildcardsSay) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.JPG", "photo.jpg", true},        {"*.jpg", "photojpg", false},          {"a+b", "a+b", true},
        {"a+b", "aab", false},               {"?*x", "abcx", true},                 {"*?x", "x", true},
        {"report?", "report-2024.doc", true}, {"report.tx?", "report.txt", true},   {"report.tx?", "report.tx", false},
        {"report.tx?", "report.txts", false}, {"(a)[b]{c}^$|-", "(a)[b]{c}^$|-", true}, {"a.b", "axb", false},
        {"*", "anything at all", true},      {"*img_*5_holiday.?pg*", "IMG_0012345_holiday.jpg", true},      {"***", "x", true},                    {"**.**", "noext", true},
    };
    for (const auto& c : cases) {
        FileSearchSettings s;
        s.namePattern = c.pattern;
        CFileSearchCriteria criteria(s);
        ASSERT_TRUE(criteria.IsValid()) << c.pattern;
        Props p;
        p.name = c.name;
        EXPECT_EQ(criteria.Match(&p), c.match) << c.pattern << " ~ " << c.name;
    }
    // Case matters only when asked for.
    FileSearchSettings exact;
    exact.namePattern = "*.JPG";
    exact.caseSensitive = true;
    Props lower;
    lower.name = "photo.jpg";
    EXPECT_FALSE(CFileSearchCriteria(exact).Match(&lower));
    // A typed text becomes "*text*" in lower case.
    Props p;
    p.name = "Holiday Photo 2019.JPG";
    EXPECT_TRUE(CFileSearchCriteria(SettingsForText("PHOTO")).Match(&p));
    EXPECT_TRUE(CFileSearchCriteria(SettingsForText("photo*.jpg")).Match(&p));
    EXPECT_FALSE(CFileSearchCriteria(SettingsForText("photos")).Match(&p));
    for (const char* refused : {"a/b", "a\\b", "a:b", "a\"b", "a<b", "a>b", "a|b", ""}) EXPECT_FALSE(IsAcceptableSearchText(refused)) << refused;
    EXPECT_TRUE(IsAcceptableSearchText("*.jpg"));
}

TEST(BrowserSearchCriteria, CaseBlindSearchFoldsCapitalsOutsideAscii) {
    const struct {
        const char* typed;
        const char* name;
        bool match;
    } cases[] = {
        {"Über", "Über.txt", true},     {"über", "Über.txt", true},     {"ÜBER", "über.txt", true},
        {"École", "École.pdf", true},   {"école", "ÉCOLE.PDF", true},   {"Отчёт", "Отчёт.doc", true},
        {"отчёт", "ОТЧЁТ.DOC", true},   {"отчёт", "отчёт.doc", true},   {"Über", "Uber.txt", false},
        {"École", "Ecole.pdf", false},  {"Отчёт", "Отчет.doc", false},
    };
    for (const auto& c : cases) {
        Props p;
        p.name = c.name;
        EXPECT_EQ(CFileSearchCriteria(SettingsForText(c.typed)).Match(&p), c.match) << c.typed << " ~ " << c.name;
    }
    // The list of endings folds alike; a case-sensitive name keeps its capitals apart.
    FileSearchSettings list;
    list.namePattern = "*";
    list.flags = kSearchListPattern;
    list.listPattern = "ÉTÉ";
    Props summer;
    summer.name = "photo.été";
    EXPECT_TRUE(CFileSearchCriteria(list).Match(&summer));
    FileSearchSettings exact;
    exact.namePattern = "*Über*";
    exact.caseSensitive = true;
    Props lower;
    lower.name = "über.txt";
    EXPECT_FALSE(CFileSearchCriteria(exact).Match(&lower));
    lower.name = "Über.txt";
    EXPECT_TRUE(CFileSearchCriteria(exact).Match(&lower));
}

TEST(BrowserSearchCriteria, ListsDatesSizesAndAttributesFilter) {
    const struct {
        const char* list;
        const char* name;
        bool match;
    } lists[] = {
        {"jpg;png", "x.png", true}, {"jpg;png", "x.jpg", true}, {"jpg;png", "jpg.x", false},
        {"jpg;;png", "jpg.x", true}, {"jpg;", "x.jpg", true},   {"jpg;", "x.png", false}, {".jpg", "x.jpg", true},
    };
    for (const auto& c : lists) {
        FileSearchSettings s;
        s.namePattern = "*";
        s.flags = kSearchListPattern;
        s.listPattern = c.list;
        Props p;
        p.name = c.name;
        EXPECT_EQ(CFileSearchCriteria(s).Match(&p), c.match) << c.list << " ~ " << c.name;
    }

    // Dates: inclusive at both ends, a reversed range as the ordered one, the kind's validity.
    Props dated;
    dated.name = "d.txt";
    dated.modified = 1000;
    const struct {
        FILETIME64 start, end;
        u32 kind;
        u32 valid;
        bool match;
    } dates[] = {
        {1000, 2000, kSearchModified, kValidModificationTime, true}, {0, 1000, kSearchModified, kValidModificationTime, true},
        {2000, 1000, kSearchModified, kValidModificationTime, true}, {1001, 2000, kSearchModified, kValidModificationTime, false},
        {0, 5000, kSearchModified, 0, false},                        {0, 5000, kSearchCreated, kValidCreationTime, true},
        {0, 5000, 3, kValidModificationTime, false},
    };
    for (const auto& c : dates) {
        FileSearchSettings s;
        s.namePattern = "*";
        s.flags = kSearchDateRange;
        s.rangeStart = c.start;
        s.rangeEnd = c.end;
        s.dateKind = c.kind;
        dated.validFields = c.valid;
        EXPECT_EQ(CFileSearchCriteria(s).Match(&dated), c.match) << c.start << ".." << c.end << " kind " << c.kind;
    }

    // Sizes and the attribute exclusion.
    Props sized;
    sized.name = "s.bin";
    sized.size = 500;
    const struct {
        u32 kind;
        u64 limit;
        bool match;
    } sizes[] = {{kSearchAtMost, 500, true}, {kSearchAtMost, 499, false}, {kSearchAtLeast, 500, true}, {kSearchAtLeast, 501, false}, {0, 0, false}};
    for (const auto& c : sizes) {
        FileSearchSettings s;
        s.namePattern = "*";
        s.flags = kSearchSizeRange;
        s.sizeKind = c.kind;
        s.sizeLimit = c.limit;
        EXPECT_EQ(CFileSearchCriteria(s).Match(&sized), c.match) << c.kind << " " << c.limit;
    }
    FileSearchSettings exclude;
    exclude.namePattern = "*";
    exclude.flags = kSearchExcludeAttributes;
    exclude.includeAllAttributes = false;
    Props encrypted;
    encrypted.name = "e.doc";
    encrypted.attributes = kAttrArchive | kAttrEfsEncrypted;
    EXPECT_FALSE(CFileSearchCriteria(exclude).Match(&encrypted));
    EXPECT_TRUE(CFileSearchCriteria(exclude).Match(&sized));
    EXPECT_FALSE(CFileAttributeFilter(kSearchExcludedAttribute).Match(&sized));
    encrypted.validFields = kValidSize;
    EXPECT_FALSE(CFileAttributeFilter(kAllAttributes).Match(&encrypted)) << "attributes not flagged valid never pass";
}

TEST(BrowserSearchCriteria, ASearchThreadListsItsHitsThroughTheQueue) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    manager.ClearAll();
    CFileSystemNode* root = browsertest::Root();
    CFileNode* photos = browsertest::Add(root, "Photos", true);
    CFileNode* docs = browsertest::Add(root, "Docs", true);
    for (int i = 0; i < 50; ++i) browsertest::Add(photos, "IMG_" + std::to_string(i) + ".JPG", false, 100 + i);
    for (int i = 0; i < 30; ++i) browsertest::Add(docs, "letter" + std::to_string(i) + ".doc", false, 1000 + i);
    browsertest::Add(docs, "img_notes.txt", false, 5);
    manager.AddFileSystemNode(root, nullptr, nullptr, true);
    while (manager.ProcessPending(kInfinite)) {
    }
    const struct {
        const char* typed;
        int hits;
    } cases[] = {{"img", 51}, {"*.jpg", 50}, {"img_?.jpg", 10}, {"letter1?.doc", 10}, {"LETTER", 30}, {"nothing", 0}, {"a|b", 0}};
    for (const auto& c : cases) {
        std::thread search([&] { manager.Search(c.typed); });
        search.join();
        while (manager.ProcessPending(kInfinite)) {
        }
        EXPECT_EQ(CFileListData::SearchModel().GetCount(), c.hits) << c.typed;
    }
    // The filters beyond the name: files of at least 1020 bytes.
    FileSearchSettings big = SettingsForText("");
    big.flags = kSearchSizeRange;
    big.sizeKind = kSearchAtLeast;
    big.sizeLimit = 1020;
    manager.Search(big);
    while (manager.ProcessPending(kInfinite)) {
    }
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 10);
    manager.ClearAll();
    browsertest::Free(root);
}

}  // namespace
