// The preview's parts on files made here: the embedded-picture extractor, the hex and text pages,
// rich-text and compound-file recognition, damaged and oversized pictures, the desktop viewer's
// argument list, and the preview window's tabs, scrolling, warning strip and recovery.
// Screenshots of every tab go to build/screenshots/.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QFontInfo>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTest>
#include <QWheelEvent>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "BrowserTestTree.h"
#include "TestUtil.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/ListModel.h"
#include "platform/ui/ButtonPlus.h"
#include "browser/preview/EmbeddedJpeg.h"
#include "core/Strings.h"
#include "browser/preview/FileViews.h"
#include "browser/preview/ImageView.h"
#include "browser/preview/OfficeRtf.h"
#include "browser/preview/PreviewDialog.h"
#include "platform/ui/Dc.h"
#include "platform/ui/MsBtn.h"
#include "browser/preview/PreviewPane.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/PreviewViewer.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "ui/UiWait.h"

using namespace FileSelCtrl;

namespace {

int g_argc = 1;
char g_arg0[] = "test_browser";
char* g_argv[] = {g_arg0, nullptr};

namespace fs = std::filesystem;

std::string ScreenshotPath(const std::string& name) {
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    fs::create_directories(dir);
    return dir + "/" + name;
}

using Bytes = std::vector<u8>;

class PreviewParts : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QApplication::instance()) new QApplication(g_argc, g_argv);
        CFileSelCtrlConfig::Instance().SetLanguage(0);
        LoadBrowserSkin(CFileSelCtrlConfig::Instance().GetXmlPath(), Skin());
    }

    void SetUp() override {
        dir = fs::temp_directory_path() / ("preview-parts-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string Write(const std::string& name, const std::string& text) { return Write(name, Bytes(text.begin(), text.end())); }

    fs::path dir;
};

// A noisy picture, so that its JPEG is well over the extractor's 2000-byte skip.
QImage Noisy(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.setPixel(x, y, qRgb((x * 3) & 0xFF, (y * 5) & 0xFF, static_cast<int>(rng() & 0x3F)));
    return image;
}

Bytes Encode(const QImage& image, const char* format) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format, 90));
    return Bytes(data.begin(), data.end());
}

void Put(Bytes& b, size_t at, const Bytes& bytes) {
    if (b.size() < at + bytes.size()) b.resize(at + bytes.size());
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

TEST_F(PreviewParts, EmbeddedPictureIsFoundOnlyWhereWholeInTheHead) {
    struct Case {
        const char* what;
        size_t size;
        std::vector<std::pair<size_t, Bytes>> marks;
        u32 start, length;
    };
    const Case cases[] = {
        {"eight bytes are not scanned", 8, {{4, {0xFF, 0xD8, 0xFF}}}, 0, 0},
        {"a picture at offset 0 is the file itself", 8000, {{0, {0xFF, 0xD8, 0xFF}}, {5000, {0xFF, 0xD9}}}, 0, 0},
        {"start 100, end 5000", 8000, {{100, {0xFF, 0xD8, 0xFF}}, {5000, {0xFF, 0xD9}}}, 100, 4904},
        {"an end within 2000 bytes is skipped", 8000, {{100, {0xFF, 0xD8, 0xFF}}, {1500, {0xFF, 0xD9}}, {6000, {0xFF, 0xD9}}}, 100, 5904},
        {"no end marker", 8000, {{100, {0xFF, 0xD8, 0xFF}}}, 0, 0},
        {"an end beyond the first 256 KiB", 300000, {{100, {0xFF, 0xD8, 0xFF}}, {270000, {0xFF, 0xD9}}}, 0, 0},
    };
    for (const Case& c : cases) {
        Bytes b(c.size, 0);
        for (const auto& [at, bytes] : c.marks) Put(b, at, bytes);
        const EmbeddedSpan span = FindEmbeddedJpeg(b.data(), b.size());
        EXPECT_EQ(span.start, c.start) << c.what;
        EXPECT_EQ(span.length, c.length) << c.what;
        const std::string path = Write("scan.bin", b);
        EXPECT_EQ(ExtractEmbeddedJpeg(path, path + ".jpg"), c.length != 0) << c.what;
        EXPECT_FALSE(fs::exists(path + ".jpg")) << c.what;
        if (c.length == 0) {
            EXPECT_EQ(fs::file_size(path), c.size) << c.what << ": the file is left as it was";
        }
    }
}

TEST_F(PreviewParts, LargeCameraFileShowsItsEmbeddedPictureAndSmallOnesAreDecodedAsTheyAre) {
    // A large camera JPEG: header, a thumbnail JPEG at 512, then 19 MiB of picture data.
    const Bytes thumb = Encode(Noisy(160, 120), "JPG");
    ASSERT_GT(thumb.size(), kEmbeddedSkipAfterStart + 10u);
    Bytes head = {0xFF, 0xD8, 0xFF, 0xE1, 0, 8, 0, 0};
    head.resize(512, 0);
    head.insert(head.end(), thumb.begin(), thumb.end());
    const std::string raw = Write("DSC0001.jpg", head);
    ASSERT_EQ(::truncate(raw.c_str(), 19 * 1024 * 1024), 0);
    const QImage shown = LoadPanePicture(raw, "DSC0001.jpg", fs::file_size(raw));
    EXPECT_EQ(shown.size(), QSize(160, 120));
    // The span ends two bytes past the end marker.
    EXPECT_EQ(fs::file_size(raw), thumb.size() + 2) << "the copy now holds the embedded picture";
    EXPECT_FALSE(fs::exists(raw + ".jpg"));

    // Below 18 MiB the file is decoded itself.
    const std::string png = Write("small.png", Encode(Noisy(300, 200), "PNG"));
    EXPECT_EQ(LoadPanePicture(png, "small.png", fs::file_size(png)).size(), QSize(300, 200));
}

TEST_F(PreviewParts, LargePicturesThatAreNotJpegAreShownWhole) {
    // Pictures over 18 MiB whose pixels hold a JPEG's start and end runs in their first 256 KiB:
    // none of them is a JPEG, so each shows as itself.
    const Bytes thumb = Encode(Noisy(160, 120), "JPG");
    const struct {
        const char* name;
        const char* format;
        QSize size;
    } cases[] = {
        {"scan 3000x2100.bmp", "BMP", QSize(3000, 2100)},
        {"poster.BMP", "BMP", QSize(2200, 2900)},
    };
    for (const auto& c : cases) {
        QImage image(c.size, QImage::Format_RGB888);
        image.fill(QColor(40, 90, 160));
        Bytes b = Encode(image, c.format);
        ASSERT_GT(b.size(), kEmbeddedMinFileSize) << c.name;
        // The run sits in the pixel rows, well inside the scanned head.
        Put(b, 4096, thumb);
        const std::string path = Write(c.name, b);
        const QImage shown = LoadPanePicture(path, c.name, fs::file_size(path));
        EXPECT_EQ(shown.size(), c.size) << c.name;
        EXPECT_EQ(fs::file_size(path), b.size()) << c.name << ": the copy is left as it was";
    }
}

TEST_F(PreviewParts, DamagedAndOversizedPicturesGiveNoPictureAndNoCrash) {
    const Bytes jpeg = Encode(Noisy(320, 240), "JPG");
    const Bytes png = Encode(Noisy(320, 240), "PNG");
    auto cut = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size()))); };
    auto flip = [](Bytes b, size_t from) {
        for (size_t i = from; i < b.size(); i += 7) b[i] ^= 0x5A;
        return b;
    };
    // PNG header claiming 60000 x 60000 pixels; JPEG frame claiming 65000 x 65000.
    Bytes hugePng = cut(png, 33);
    Put(hugePng, 16, {0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60});
    Bytes hugeJpeg = jpeg;
    for (size_t i = 2; i + 9 < hugeJpeg.size(); ++i) {
        if (hugeJpeg[i] == 0xFF && hugeJpeg[i + 1] == 0xC0) {
            Put(hugeJpeg, i + 5, {0xFD, 0xE8, 0xFD, 0xE8});
            break;
        }
    }
    Bytes hugeBmp = {'B', 'M'};
    hugeBmp.resize(54, 0);
    Put(hugeBmp, 10, {54});
    Put(hugeBmp, 14, {40});
    Put(hugeBmp, 18, {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 1, 0, 32});
    std::mt19937 rng(3);
    Bytes noise(4096);
    for (u8& b : noise) b = static_cast<u8>(rng());
    struct Case {
        const char* what;
        Bytes bytes;
        bool picture;
    };
    const std::vector<Case> cases = {
        {"whole JPEG", jpeg, true},
        {"whole PNG", png, true},
        {"empty", {}, false},
        {"JPEG cut after its markers", cut(jpeg, 10), false},
        {"PNG cut after its signature", cut(png, 12), false},
        {"PNG header only", cut(png, 40), false},
        {"random bytes", noise, false},
        {"PNG claiming 60000 x 60000", hugePng, false},
        {"JPEG claiming 65000 x 65000", hugeJpeg, false},
        {"BMP claiming 65536 x 65536", hugeBmp, false},
    };
    for (const Case& c : cases) {
        const std::string path = Write("damaged.bin", c.bytes);
        EXPECT_EQ(!LoadPictureBounded(path).isNull(), c.picture) << c.what;
    }
    // Cut or scrambled pictures may decode partly; what matters is that they come back.
    for (size_t n : {size_t{200}, jpeg.size() / 2, jpeg.size() - 3}) LoadPictureBounded(Write("cut.jpg", cut(jpeg, n)));
    for (size_t n : {size_t{100}, png.size() / 2}) LoadPictureBounded(Write("cut.png", cut(png, n)));
    LoadPictureBounded(Write("flip.jpg", flip(jpeg, 300)));
    LoadPictureBounded(Write("flip.png", flip(png, 60)));

    CImageWindow view;
    view.resize(400, 300);
    EXPECT_FALSE(view.LoadImage(Write("noise.bin", noise)));
    EXPECT_FALSE(view.HasPicture());
}

TEST_F(PreviewParts, ImageViewPlacesPicturesFittedAndAtActualSize) {
    CImageWindow view;
    view.resize(400, 300);
    view.show();
    ASSERT_TRUE(view.LoadImage(Write("small.png", Encode(Noisy(100, 50), "PNG"))));
    const QSize client = view.viewport()->size();
    const QRect centred((client.width() - 100) / 2, (client.height() - 50) / 2, 100, 50);
    EXPECT_EQ(view.TargetRect(client), centred);
    view.SetFitMode(false);
    EXPECT_EQ(view.TargetRect(view.viewport()->size()), centred) << "a small picture is centred in both modes";

    view.SetFitMode(true);
    ASSERT_TRUE(view.LoadImage(Write("wide.png", Encode(Noisy(1600, 400), "PNG"))));
    EXPECT_EQ(view.TargetRect(QSize(400, 300)), QRect(1, 101, 398, 98));
    ASSERT_TRUE(view.LoadImage(Write("band.png", Encode(Noisy(1600, 200), "PNG"))));
    view.SetFitMode(false);
    EXPECT_EQ(view.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(view.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff) << "wider but not taller: one bar";
    // The scrolled window itself: a bar hides along a content the window is larger than, and
    // shows along one of no width or height.
    CScrollWnd bare;
    bare.resize(200, 100);
    for (const auto& [width, height, horizontal, vertical] : {std::tuple{0, 50, true, false}, {150, 0, false, true},
                                                              {-1, -1, false, false}, {200, 101, true, true}}) {
        bare.SetContentSize(width, height);
        EXPECT_EQ(bare.horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn, horizontal) << width << " x " << height;
        EXPECT_EQ(bare.verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn, vertical) << width << " x " << height;
    }
}

TEST_F(PreviewParts, HexAndTextPagesShowLinesOfTheFile) {
    CHexFilePreViewEdit hex;
    CTextFilePreViewEdit text;
    hex.resize(600, 400);
    text.resize(600, 400);
    Bytes sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[i] = static_cast<u8>(i * 17);
    ASSERT_TRUE(hex.Open(Write("16.bin", sixteen)));
    EXPECT_EQ(hex.LineCount(), 1u);
    const std::string one = hex.GetPageText(0);
    EXPECT_NE(one.find("00000000\t\t00\t11\t22\t33\t44\t55\t66\t77\t88\t99\tAA\tBB\tCC\tDD\tEE\tFF\t\t\t"), std::string::npos) << one;
    Bytes seventeen = sixteen;
    seventeen.push_back(0x41);
    ASSERT_TRUE(hex.Open(Write("17.bin", seventeen)));
    EXPECT_EQ(hex.LineCount(), 2u);
    const std::string two = hex.GetPageText(0);
    std::string pads;
    for (int i = 0; i < 15; ++i) pads += " \t";
    EXPECT_NE(two.find("00000010\t\t41\t" + pads + "\t\tA\t\r\n"), std::string::npos) << two;
    EXPECT_NE(two.find("\t\t..\"3DUfw\u02C6\u2122\u00AA\u00BB\u00CC\u00DD\u00EE\u00FF\t\r\n"), std::string::npos)
        << "bytes below 0x1E are dots in the character column, every other byte its Windows-1252 character";
    // The short last line's characters stand under the full line's.
    hex.ShowLines(0);
    const QStringList shown = hex.toPlainText().split(QLatin1Char('\n'));
    ASSERT_GE(shown.size(), 3);
    EXPECT_EQ(shown[1].indexOf(QStringLiteral("..\"3DUfw")), shown[2].lastIndexOf(QLatin1Char('A'))) << hex.toPlainText().toStdString();
    // The column's edge, in the code page of the interface language: 0x1D is a dot, and so is a
    // byte the code page leaves undefined or one that draws nothing (a control, a soft hyphen,
    // a private-use character); in Japanese a lead byte and its trail make one character, and a
    // lead byte at the line's end is a dot.
    const struct {
        int language;
        Bytes bytes;
        const char* column;
    } edges[] = {
        {0, {0x09, 0x0A, 0x0D, 0x1D, 0x1E, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xB5, 0xE9, 0x81, 0x89, 0xAD, 0x8D}, "...... ~.\u20AC\u00B5\u00E9.\u2030.."},
        {2, {0x89, 0x50, 0x4E, 0x47, 0x9F, 0x9D}, "\u2030PNG\u0178."},
        {1, {0x82, 0xA0, 0xB1, 0x80, 0xA0, 0xFD, 0xF0, 0x40, 0x41, 0x1D, 0x81}, "\u3042\uFF71....@A.."},
    };
    for (const auto& edge : edges) {
        CFileSelCtrlConfig::Instance().SetLanguage(edge.language);
        ASSERT_TRUE(hex.Open(Write("edge.bin", edge.bytes)));
        hex.ShowLines(0);
        EXPECT_TRUE(hex.toPlainText().contains(QString::fromUtf8(edge.column))) << edge.language << ": " << hex.toPlainText().toStdString();
    }
    CFileSelCtrlConfig::Instance().SetLanguage(0);

    // Without line feeds: lines start at 0, 160 and 319.
    ASSERT_TRUE(text.Open(Write("400.txt", std::string(400, 'x'))));
    EXPECT_EQ(text.LineIndex(), (std::vector<u32>{0, 160, 319, 400}));
    EXPECT_EQ(text.OffsetToLine(200), 1u);
    EXPECT_EQ(text.LineToOffset(2), 319u);
    // An odd run of high bytes at a forced break steps back one byte.
    std::string high(159, 'a');
    high += "\xB0\xA1";
    high += std::string(50, 'b');
    ASSERT_TRUE(text.Open(Write("high.txt", high)));
    EXPECT_EQ(text.LineIndex()[1], 159u);
    ASSERT_TRUE(text.Open(Write("ctl.txt", std::string("ab\x01\x1D\x1E\tc\r\nline two\n"))));
    EXPECT_EQ(text.LineCount(), 2u);
    EXPECT_EQ(text.GetPageText(0), std::string("ab  \x1E c  \t\r\nline two \t\r\n"));

    // 100 MiB opens (a sparse file); one byte more is refused and leaves an empty view.
    const std::string big = (dir / "big.bin").string();
    for (const auto& [size, opens] : {std::pair<u64, bool>{kMaxViewFileBytes - 1, true}, {kMaxViewFileBytes, true}, {kMaxViewFileBytes + 1, false}}) {
        { std::ofstream(big, std::ios::binary | std::ios::trunc) << "MZ"; }
        ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(size)), 0);
        EXPECT_EQ(hex.Open(big), opens) << size;
        EXPECT_EQ(hex.LineCount(), opens ? static_cast<u32>((size + 15) / 16) : 0u) << size;
        if (opens) {
            const std::string last = hex.GetPageText(hex.LineCount());
            char tail[16];
            std::snprintf(tail, sizeof(tail), "%08X", static_cast<unsigned>((size - 1) / 16 * 16));
            EXPECT_NE(last.find(tail), std::string::npos) << "the last page reaches the file's end";
        }
    }
}

Bytes CompoundFile(const char* streamName, u32 fatNext = 0xFFFFFFFE, u32 firstDir = 1, u16 shift = 9) {
    Bytes b(512 * 3, 0);
    Put(b, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
    Put(b, 0x18, {0x3E, 0, 3, 0, 0xFE, 0xFF, static_cast<u8>(shift), 0, 6, 0});
    Put(b, 0x2C, {1, 0, 0, 0, static_cast<u8>(firstDir), static_cast<u8>(firstDir >> 8), static_cast<u8>(firstDir >> 16), static_cast<u8>(firstDir >> 24)});
    for (size_t at = 0x4C; at < 512; ++at) b[at] = 0xFF;
    Put(b, 0x4C, {0, 0, 0, 0});
    // Sector 0 (file offset 512): the table; sector 1 (1024): the directory.
    for (size_t at = 512; at < 1024; ++at) b[at] = 0xFF;
    Put(b, 512, {0xFD, 0xFF, 0xFF, 0xFF, static_cast<u8>(fatNext), static_cast<u8>(fatNext >> 8), static_cast<u8>(fatNext >> 16), static_cast<u8>(fatNext >> 24)});
    auto entry = [&](size_t at, const std::string& name, u8 type) {
        for (size_t i = 0; i < name.size(); ++i) b[at + 2 * i] = static_cast<u8>(name[i]);
        const u16 len = static_cast<u16>((name.size() + 1) * 2);
        Put(b, at + 0x40, {static_cast<u8>(len), static_cast<u8>(len >> 8), type});
    };
    entry(1024, "Root Entry", 5);
    if (streamName) entry(1024 + 128, streamName, 2);
    return b;
}

Bytes Cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

TEST_F(PreviewParts, RichTextAndOldOfficeDocumentsAreRecognised) {
    struct RtfCase {
        const char* what;
        std::string bytes;
        bool rtf;
    };
    const RtfCase rtfCases[] = {
        {"upper-case head, brace then CR LF", "{\\RTF1 hello}\r\n", true},
        {"brace then NULs", std::string("{\\rtf1 x}\0\0", 11), true},
        {"brace then a space", "{\\rtf1 hello} ", false},
        {"four bytes", "{\\rt", false},
        {"not rich text", "hello world}", false},
        {"long file, brace at its end", "{\\rtf1 " + std::string(2000, 'a') + "}\n", true},
    };
    for (const RtfCase& c : rtfCases) EXPECT_EQ(IsRtfFile(Write("t.rtf", c.bytes)), c.rtf) << c.what;

    QTextDocument doc;
    RtfToDocument("{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red200\\green0\\blue0;}"
                  "Plain \\b bold\\b0  \\i italic\\i0  \\cf1 red\\cf0 \\par Caf\\'e9 \\u8364?{\\*\\generator x;}}",
                  doc);
    const QString plain = doc.toPlainText();
    EXPECT_EQ(plain, QString::fromUtf8("Plain bold italic red\nCafé €")) << plain.toStdString();
    QTextCursor at(&doc);
    at.setPosition(plain.indexOf("bold") + 1);
    EXPECT_EQ(at.charFormat().fontWeight(), QFont::Bold);
    at.setPosition(plain.indexOf("italic") + 1);
    EXPECT_TRUE(at.charFormat().fontItalic());
    at.setPosition(plain.indexOf("red") + 1);
    EXPECT_EQ(at.charFormat().foreground().color(), QColor(200, 0, 0));
    RtfToDocument(std::string(5000, '{') + "deep", doc);  // nesting is bounded, nothing hangs

    struct CfbCase {
        const char* what;
        Bytes bytes;
        OfficeKind kind;
    };
    const CfbCase cfbCases[] = {
        {"Word document", CompoundFile("WordDocument"), OfficeKind::Word},
        {"Workbook", CompoundFile("Workbook"), OfficeKind::Workbook},
        {"old Book stream", CompoundFile("Book"), OfficeKind::Workbook},
        {"other compound file", CompoundFile("Contents"), OfficeKind::None},
        {"directory chain looping on itself", CompoundFile("Other", 1), OfficeKind::None},
        {"directory sector beyond the file", CompoundFile("WordDocument", 0xFFFFFFFE, 4000), OfficeKind::None},
        {"impossible sector size", CompoundFile("WordDocument", 0xFFFFFFFE, 1, 7), OfficeKind::None},
        {"cut header", Cut(CompoundFile("WordDocument"), 100), OfficeKind::None},
    };
    for (const CfbCase& c : cfbCases) {
        EXPECT_EQ(OldOfficeDocumentKind(Write("c.doc", c.bytes)), c.kind) << c.what;
        // The same answer from the storage checks one by one.
        CompoundStorage storage;
        IsCompoundFile(Write("c.doc", c.bytes), storage);
        EXPECT_EQ(HasWordStream(storage), c.kind == OfficeKind::Word) << c.what;
        EXPECT_EQ(HasWorkbookStream(storage), c.kind == OfficeKind::Workbook) << c.what;
    }
    CompoundStorage storage;
    EXPECT_TRUE(IsCompoundFile(Write("c.doc", CompoundFile("Contents")), storage)) << "a compound file of another kind";
    EXPECT_EQ(storage.streams, std::vector<std::string>{"Contents"});
    EXPECT_FALSE(IsCompoundFile(Write("c.doc", Cut(CompoundFile("WordDocument"), 100)), storage));
    EXPECT_FALSE(IsCompoundFile(Write("c.rtf", Bytes{'{', '\\', 'r', 't', 'f', '}'}), storage));
}

TEST_F(PreviewParts, OfficeDocumentsGoToTheDesktopViewerAsOneArgumentAndATellWhenThereIsNone) {
    std::vector<OpenerCommand> started;
    std::vector<std::string> mimes;
    bool installed = true;
    SetViewerStarter([&](const OpenerCommand& c, const std::string& mime) {
        started.push_back(c);
        mimes.push_back(mime);
        return installed;
    });
    std::vector<QString> told;
    SetPreviewMessageFunction([&](const QString& text, bool) { told.push_back(text); });
    int dialogs = 0;
    SetPreviewDialogRunner([&](QDialog&) { ++dialogs; });

    const size_t before = LivePreviewTempCount();
    const std::string doc = Write("copy.tmp", CompoundFile("WordDocument"));
    ShowFoundFile(nullptr, "a; rm -rf ~ $(reboot) `x`.doc", doc, false, nullptr);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "xdg-open");
    ASSERT_EQ(started[0].arguments.size(), 1) << "the path is one argument, never a command line";
    EXPECT_TRUE(started[0].arguments[0].endsWith(".doc"));
    EXPECT_FALSE(started[0].arguments[0].contains("rm -rf")) << "the found name does not reach the argument";
    EXPECT_EQ(mimes[0], "application/msword");
    EXPECT_TRUE(fs::exists(started[0].arguments[0].toStdString())) << "the viewer's copy stays while it may read it";
    EXPECT_EQ(LivePreviewTempCount(), before + 1);
    EXPECT_EQ(dialogs, 0);

    // A ".docx" goes to the viewer without any check; with none installed the user is told.
    installed = false;
    ShowFoundFile(nullptr, "report.DOCX", Write("copy2.tmp", std::string("PK\3\4")), false, nullptr);
    ASSERT_EQ(started.size(), 2u);
    EXPECT_TRUE(started[1].arguments[0].endsWith(".docx"));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], PreviewWndText("NoDocumentViewer", {}));
    EXPECT_FALSE(told[0].isEmpty());
    EXPECT_EQ(LivePreviewTempCount(), before + 1) << "a copy nobody opened is removed at once";

    // ".doc" that is no compound file: the warning, then the preview window.
    ShowFoundFile(nullptr, "letter.doc", Write("copy3.tmp", std::string("not a document at all")), false, nullptr);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1].toStdString(), Skin().notSupportOffice);
    EXPECT_EQ(dialogs, 1);
    // A ".doc" of bytes that read as a right-to-left word before a long run of digits: after
    // the warning, the text page still opens at its left edge.
    int scrolledBy = -1;
    SetPreviewDialogRunner([&](QDialog& d) {
        d.show();
        QApplication::processEvents();
        scrolledBy = dynamic_cast<CFilePreViewDlg&>(d).TextView()->horizontalScrollBar()->value();
    });
    ShowFoundFile(nullptr, "report.doc", Write("copy5.tmp", "\xD7\xA9\xD7\x9C " + std::string(400, '7')), false, nullptr);
    EXPECT_EQ(scrolledBy, 0) << "the text page opened scrolled sideways";

    // Rich text opens its own window.
    QString shownText;
    SetPreviewDialogRunner([&](QDialog& d) {
        if (auto* rtf = qobject_cast<CRtfPreviewerDlg*>(&d)) shownText = rtf->Edit()->toPlainText();
    });
    ShowFoundFile(nullptr, "notes.rtf", Write("copy4.tmp", std::string("{\\rtf1 Hello \\b world\\b0}\r\n")), false, nullptr);
    EXPECT_EQ(shownText, "Hello world");

    RemoveAllPreviewTemps();
    EXPECT_EQ(LivePreviewTempCount(), 0u);
    EXPECT_FALSE(fs::exists(started[0].arguments[0].toStdString())) << "left copies go at exit";
    SetViewerStarter(nullptr);
    SetPreviewMessageFunction(nullptr);
    SetPreviewDialogRunner(nullptr);
}

TEST_F(PreviewParts, TheOlderDocumentViewerIsChosenOnlyForANameWithoutAWorkbookWhileNoNewWordIsRegistered) {
    const struct {
        const char* name;
        bool newWord;
        DocumentViewer viewer;
    } choices[] = {{"letter.doc", false, DocumentViewer::Older}, {"letter.doc", true, DocumentViewer::Current},
                   {"book.xls.doc", false, DocumentViewer::Current}, {"book.XLSX", false, DocumentViewer::Current},
                   {"book.Xls", false, DocumentViewer::Older}};  // only the four spellings count
    for (const auto& c : choices) EXPECT_EQ(ChooseDocumentViewer(c.name, c.newWord), c.viewer) << c.name << " " << c.newWord;

    // The registry stand-in is the test's own, not the user's.
    testutil::TempDir config;
    testutil::EnvOverride userConfig("XDG_CONFIG_HOME", config.Path());

    // The registry's Word version: its leading number, 8 or more, a string value only.
    const std::string key = "SOFTWARE\\Classes\\CLSID\\{00020906-0000-0000-C000-000000000046}\\Version";
    for (const auto& [stored, installed] : {std::pair<const char*, bool>{"16.0", true}, {"8", true}, {"7.9", false}, {"dword:00000010", false}}) {
        ASSERT_TRUE(RegistryWriteString(key, "@", stored));
        EXPECT_EQ(ReadNewWordInstalled(), installed) << stored;
    }

    // The first answer is kept for the program's life, and the viewer of a document follows it.
    const bool first = IsNewWordInstalled();
    ASSERT_TRUE(RegistryWriteString(key, "@", first ? "7" : "16"));
    EXPECT_EQ(IsNewWordInstalled(), first);
    WritePrivateProfileString(key.c_str(), "@", nullptr, RegistryFilePath().c_str());
    EXPECT_FALSE(ReadNewWordInstalled()) << "no key, no new Word";
    std::vector<DocumentViewer> viewers;
    SetViewerStarter([&](const OpenerCommand& c, const std::string&) {
        viewers.push_back(c.viewer);
        return true;
    });
    ShowFoundFile(nullptr, "letter.doc", Write("w.tmp", CompoundFile("WordDocument")), false, nullptr);
    ShowFoundFile(nullptr, "sheet.xls", Write("x.tmp", CompoundFile("Workbook")), false, nullptr);
    SetViewerStarter(nullptr);
    RemoveAllPreviewTemps();
    EXPECT_EQ(viewers, (std::vector<DocumentViewer>{first ? DocumentViewer::Current : DocumentViewer::Older, DocumentViewer::Current}));
}

TEST_F(PreviewParts, CopyLimitedViewCopiesNothing) {
    CRtfPreviewerDlg dialog;
    ASSERT_TRUE(dialog.Load(Write("x.rtf", std::string("{\\rtf1\\ansi{\\colortbl;\\red0\\green90\\blue170;}\\fs36\\b Minutes\\b0\\fs24\\par "
                                                         "Secret words here, \\i in italics\\i0 , \\ul underlined\\ulnone  and \\cf1 in blue\\cf0 .\\par "
                                                         "Caf\\'e9 \\u8364? 12}")), "x.rtf"));
    dialog.resize(500, 300);
    dialog.show();
    CCopyLimitedRichEditCtrl* edit = dialog.Edit();
    QTest::mouseDClick(edit->viewport(), Qt::LeftButton, {}, QPoint(20, 10));
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_FALSE(edit->textCursor().hasSelection());
    ASSERT_TRUE(dialog.grab().save(QString::fromStdString(ScreenshotPath("preview-rtf-en.png"))));
}

// Pixels darker than this are a text's ink, not the grey strip under it.
constexpr int kDarkInk = 128;
// The warning strip's colour, COLORREF 0xB8E2F9.
constexpr QRgb kWarningColour = 0xFFF9E2B8;

TEST_F(PreviewParts, PreviewWindowShowsTabsKeepsThePlaceAndRecovers) {
    CFileNode* node = browsertest::Add(nullptr, "holiday.png", false, 1000);
    const HeldFile held = CHeldFile::Take(node);
    const std::string png = Write("holiday.tmp", Encode(Noisy(900, 600), "PNG"));
    {
        CFilePreViewDlg dlg(nullptr, held, "holiday.png", png, PreviewMode::Picture, true);
        dlg.show();
        QApplication::processEvents();
        ASSERT_EQ(dlg.Tabs()->count(), 2);
        EXPECT_EQ(dlg.Tabs()->tabText(0).toStdString(), Skin().imgPreview);
        EXPECT_EQ(dlg.Tabs()->tabText(1).toStdString(), Skin().hexPreview);
        EXPECT_EQ(dlg.CurrentPage(), CFilePreViewDlg::Page::Picture);
        EXPECT_EQ(dlg.windowTitle(), "holiday.png" + QString::fromStdString(Skin().filePreview));
        ASSERT_NE(dlg.Warning(), nullptr) << "the preview holds a scan paused";
        EXPECT_EQ(dlg.Warning()->Text(), CWarningDialog::ConfiguredText());
        EXPECT_FALSE(dlg.Warning()->Text().isEmpty());
        EXPECT_FALSE(dlg.BestFitButton()->isEnabled());
        ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath("preview-image-fit-en.png"))));
        // A tab is only its text, written from its place left of the tab's middle: nothing
        // white, no frame, and no ink before that place.
        const QImage strip = dlg.Tabs()->grab().toImage();
        for (int i = 0; i < dlg.Tabs()->count(); ++i) {
            const QRect tab = dlg.Tabs()->tabRect(i) & strip.rect();
            int whites = 0, firstInk = tab.right() + 1;
            for (int y = tab.top(); y <= tab.bottom(); ++y)
                for (int x = tab.left(); x <= tab.right(); ++x) {
                    const QRgb c = strip.pixel(x, y);
                    whites += c == qRgb(255, 255, 255);
                    if (qGray(c) < kDarkInk) firstInk = std::min(firstInk, x);
                }
            EXPECT_EQ(whites, 0) << "tab " << i;
            EXPECT_GE(firstInk, CXPTabCtrl::TabTextRect(dlg.Tabs()->tabRect(i)).left() - 1) << "tab " << i;
            EXPECT_LE(firstInk, tab.right()) << "tab " << i << " shows no text";
        }
        dlg.ActualSizeButton()->click();
        EXPECT_FALSE(dlg.Image()->IsFitMode());
        ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath("preview-image-actual-en.png"))));
        dlg.SelectTab(1);
        QApplication::processEvents();
        EXPECT_EQ(dlg.CurrentPage(), CFilePreViewDlg::Page::Hex);
        EXPECT_TRUE(dlg.HexView()->toPlainText().contains("89 50 4E 47"));
        ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath("preview-hex-en.png"))));
        // The strip's button takes the strip away.
        const int tabsBottom = dlg.Tabs()->geometry().bottom();
        CMsBtn* close = dlg.Warning()->CloseButton();
        QTest::mouseClick(close, Qt::LeftButton, {}, close->rect().center());
        QApplication::processEvents();
        EXPECT_EQ(dlg.Warning(), nullptr);
        EXPECT_EQ(tabsBottom, dlg.Tabs()->geometry().bottom());
        // Esc and Enter do nothing; Recovery closes the window and then hands the file on.
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QTest::keyClick(&dlg, Qt::Key_Return);
        EXPECT_TRUE(dlg.isVisible());
        std::vector<HeldFile> recovered;
        dlg.recoverNode = [&](const HeldFile& f) {
            EXPECT_FALSE(dlg.isVisible()) << "the window is closed first";
            recovered.push_back(f);
        };
        dlg.RecoveryButton()->click();
        EXPECT_EQ(recovered, std::vector<HeldFile>{held});
        EXPECT_EQ(dlg.result(), QDialog::Accepted);
    }

    // Any other file: Text and Hex; the hex page opens where the text page was.
    std::string text;
    for (int i = 0; i < 400; ++i) text += "Line " + std::to_string(i) + " of the found report, with some words.\n";
    const std::string txt = Write("report.tmp", text);
    CFilePreViewDlg dlg(nullptr, held, "report.txt", txt, PreviewMode::NotPicture, true);
    dlg.show();
    QApplication::processEvents();
    ASSERT_EQ(dlg.Tabs()->count(), 2);
    EXPECT_EQ(dlg.Tabs()->tabText(0).toStdString(), Skin().textPreview);
    EXPECT_EQ(dlg.CurrentPage(), CFilePreViewDlg::Page::Text);
    EXPECT_EQ(dlg.Warning(), nullptr) << "no strip over a file that is no picture";
    EXPECT_EQ(dlg.ScrollBar()->maximum(), 400);
    dlg.ScrollBar()->setValue(120);
    EXPECT_TRUE(uiwait::Until([&] { return dlg.TextView()->toPlainText().startsWith("Line 120 of"); }, "the page at line 120"))
        << dlg.TextView()->toPlainText().left(40).toStdString();
    ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath("preview-text-en.png"))));
    const u64 offset = dlg.TextView()->LineToOffset(120);
    dlg.SelectTab(1);
    QApplication::processEvents();
    EXPECT_EQ(static_cast<u32>(dlg.ScrollBar()->value()), static_cast<u32>(offset / 16));
    dlg.SelectTab(0);
    QApplication::processEvents();
    EXPECT_EQ(static_cast<u32>(dlg.ScrollBar()->value()), dlg.TextView()->OffsetToLine(offset / 16 * 16))
        << "and back to the line that holds the hex line's start";
    // Keys and the wheel move the page through the shared bar.
    const int before = dlg.ScrollBar()->value();
    QTest::keyClick(dlg.TextView(), Qt::Key_PageDown);
    EXPECT_EQ(dlg.ScrollBar()->value(), before + dlg.ScrollBar()->pageStep());
    QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(dlg.TextView()->viewport(), &wheel);
    EXPECT_EQ(dlg.ScrollBar()->value(), before + dlg.ScrollBar()->pageStep() + 1);
    dlg.SetMaximised(false);
    EXPECT_EQ(dlg.size(), QSize(670, 470));
    delete node;
}

TEST_F(PreviewParts, PreviewWindowOfAFileThatIsNoPictureAfterAllShowsTheWarningText) {
    const std::string bad = Write("broken.tmp", std::string("\xFF\xD8\xFF\xE0 not really", 15));
    CFilePreViewDlg dlg(nullptr, nullptr, "broken.jpg", bad, PreviewMode::Picture, false);
    dlg.show();
    QApplication::processEvents();
    EXPECT_FALSE(dlg.Image()->HasPicture());
    EXPECT_EQ(dlg.CurrentPage(), CFilePreViewDlg::Page::Picture) << "a picture name keeps the picture tab";
    ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath("preview-image-damaged-en.png"))));
}

// The tabs in the interface's face and the hex page's first line of a PNG, its signature's
// characters in the language's code page.
TEST_F(PreviewParts, PreviewWindowSpeaksTheInterfaceLanguage) {
    const std::string png = Write("bild.tmp", Encode(Noisy(640, 420), "PNG"));
    const QString english = CWarningDialog::ConfiguredText();
    const struct {
        int language;
        const char* file;  // the program's language file, which names the buttons
        const char* tag;
        const char* signature;  // the character column of the first line
    } languages[] = {{0, "English.dat", "en", "\u2030PNG........IHDR"},
                     {2, "Deutsch.dat", "de", "\u2030PNG........IHDR"},
                     {1, "Japanese.dat", "ja", "\u81FCNG........IHDR"}};
    const std::string before = std::filesystem::path(GetLanguageFilePath()).filename().string();
    for (const auto& [language, file, tag, signature] : languages) {
        CFileSelCtrlConfig::Instance().SetLanguage(language);
        ASSERT_GT(SetLanguageFile(file), 0) << file;
        ASSERT_TRUE(LoadBrowserSkin(CFileSelCtrlConfig::Instance().GetXmlPath(), Skin()));
        CFilePreViewDlg dlg(nullptr, nullptr, "urlaub.png", png, PreviewMode::Picture, true);
        dlg.show();
        QApplication::processEvents();
        const QFont tabs = dlg.Tabs()->font();
        EXPECT_EQ(tabs.family(), ui::InterfaceFontFace(language)) << tag;
        EXPECT_EQ(tabs.pixelSize(), ui::MakeFont("", 14, 400, false).pixelSize()) << tag;
        EXPECT_EQ(tabs.weight(), QFont::Normal) << tag;
        ASSERT_NE(dlg.Warning(), nullptr);
        EXPECT_FALSE(dlg.Warning()->Text().isEmpty()) << tag;
        {
            // The warning strip: 50 rows of its colour across the window above the buttons, its
            // close button inside it.
            const QImage shot = dlg.grab().toImage();
            int top = -1, rows = 0;
            for (int y = 0; y < shot.height(); ++y)
                if (shot.pixel(0, y) == kWarningColour && shot.pixel(shot.width() - 1, y) == kWarningColour) {
                    if (top < 0) top = y;
                    ++rows;
                }
            EXPECT_EQ(rows, 50) << tag;
            EXPECT_LE(top + rows, dlg.RecoveryButton()->geometry().top()) << tag << ": the strip above the buttons";
            const QRect close = dlg.Warning()->CloseButton()->geometry().translated(dlg.Warning()->pos());
            EXPECT_TRUE(QRect(0, top, shot.width(), rows).contains(close)) << tag << ": the close button at " << close.y() << ", the strip at " << top;
        }
        if (language != 0) {
            EXPECT_NE(dlg.Tabs()->tabText(0), "Image") << tag;
            EXPECT_NE(dlg.Warning()->Text(), english) << tag;
        }
        // Each button holds its caption in the font it is painted with ("Wiederherstellen" was cut).
        for (QAbstractButton* button : {dlg.RecoveryButton(), dlg.CloseButton()}) {
            const auto* plus = dynamic_cast<CButtonPlus*>(button);
            ASSERT_NE(plus, nullptr);
            EXPECT_GT(button->width(), plus->CaptionWidth()) << tag << ": " << button->text().toStdString();
        }
        ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath(std::string("preview-image-fit-") + tag + ".png"))));
        dlg.SelectTab(1);
        QApplication::processEvents();
        const QStringList lines = dlg.HexView()->toPlainText().split(QLatin1Char('\n'));
        ASSERT_GE(lines.size(), 2) << tag;
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("00000000"))) << lines[1].toStdString();
        EXPECT_TRUE(lines[1].trimmed().endsWith(QString::fromUtf8(signature))) << tag << ": " << lines[1].toStdString();
        ASSERT_TRUE(dlg.grab().save(QString::fromStdString(ScreenshotPath(std::string("preview-hex-png-") + tag + ".png"))));

        // The preview pane writes in the skin's own face and size for it, made anew and after a
        // switch to the language.
        std::unique_ptr<CFileNode> file(browsertest::Add(nullptr, "urlaub 2019.txt", false, 123456));
        RefHolder<FileList_Item> row(FileList_Item::ForFile(file.get()));
        CWndPreview pane(nullptr);
        pane.resize(300, 400);
        pane.SetListLoaded(true);
        pane.SetItem(row.get());
        pane.show();
        const auto face = [&pane] { return std::pair(pane.font().family().toStdString(), pane.font().pointSize()); };
        EXPECT_EQ(face(), std::pair(Skin().previewFont.face, Skin().previewFont.points)) << tag << ", made";
        pane.setFont(QFont());  // as another language's face would stand
        pane.ApplyLanguage();
        EXPECT_EQ(face(), std::pair(Skin().previewFont.face, Skin().previewFont.points)) << tag << ", switched to";
        QApplication::processEvents();
        ASSERT_TRUE(pane.grab().save(QString::fromStdString(ScreenshotPath(std::string("preview-pane-text-") + tag + ".png"))));
    }
    CFileSelCtrlConfig::Instance().SetLanguage(0);
    SetLanguageFile(before.c_str());
    ASSERT_TRUE(LoadBrowserSkin(CFileSelCtrlConfig::Instance().GetXmlPath(), Skin()));
}

TEST_F(PreviewParts, PreviewWindowButtonsTakeTheLanguageFilesRecoveryAndCancel) {
    const std::string png = Write("bild2.tmp", Encode(Noisy(64, 48), "PNG"));
    const struct {
        const char* file;
        const char* cancel;
    } languages[] = {{"English.dat", "Cancel"}, {"Japanese.dat", "キャンセル"}};
    for (const auto& l : languages) {
        ASSERT_GT(SetLanguageFile(l.file), 0);
        ASSERT_EQ(GetLocalizedString("Cancel"), l.cancel) << l.file << " beside the program";
        CFilePreViewDlg dlg(nullptr, nullptr, "bild.png", png, PreviewMode::Picture, false);
        // A language file without a text of its own for the first button leaves the skin's.
        const std::string recovery = GetLocalizedString("Recovery");
        EXPECT_EQ(dlg.RecoveryButton()->text().toStdString(), recovery.empty() ? Skin().butRecovery : recovery) << l.file;
        EXPECT_EQ(dlg.CloseButton()->text().toStdString(), l.cancel) << l.file;
    }
    // Without a language file the skin's captions stay.
    SetLanguageFile("");
    CFilePreViewDlg dlg(nullptr, nullptr, "bild.png", png, PreviewMode::Picture, false);
    EXPECT_EQ(dlg.CloseButton()->text().toStdString(), Skin().butClose);
}

}  // namespace
