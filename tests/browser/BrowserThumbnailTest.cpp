// The thumbnail worker's bounds: the thumbnail size rule, pictures Qt cannot or must not decode,
// and a hold that returns at once and drops what the file still running gives.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BrowserTestTree.h"
#include "Gate.h"
#include "browser/preview/EmbeddedJpeg.h"
#include "browser/preview/PreviewPane.h"
#include "browser/views/ThumbnailWorker.h"
#include "ui/UiWait.h"

using namespace FileSelCtrl;

namespace {

TEST(BrowserThumbnails, SizesFitTheCellAndKeepTheProportions) {
    const struct {
        QSize picture;
        QSize thumbnail;
    } cases[] = {
        {{4000, 3000}, {130, 97}}, {{100, 50}, {100, 50}}, {{130, 104}, {130, 104}},
        {{104, 2000}, {5, 104}},   {{5000, 1}, {130, 1}},  {{0, 10}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ThumbnailSize(c.picture), c.thumbnail) << c.picture.width() << "x" << c.picture.height();
}

TEST(BrowserThumbnails, DecodingTakesPicturesAndRefusesTheRest) {
    const auto dir = std::filesystem::temp_directory_path();
    const std::string png = (dir / "morvenda-thumb-test.png").string();
    QImage picture(400, 200, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(QString::fromStdString(png), "PNG"));
    const QImage thumb = DecodeThumbnail(png);
    EXPECT_EQ(thumb.size(), QSize(130, 65));
    EXPECT_EQ(thumb.pixelColor(10, 10), QColor(Qt::red));

    // Pictures of every bit depth and palette keep the colours the pane shows, a one-colour
    // picture of 1 bit per pixel too (a shrink before its palette made it black and white dots).
    const QRgb green = qRgb(0, 160, 0);
    const struct {
        const char* name;
        QImage::Format format;
        QList<QRgb> palette;
    } pictures[] = {
        {"1-bit, one colour", QImage::Format_Mono, {green}},
        {"1-bit, two colours", QImage::Format_Mono, {green, qRgb(255, 255, 0)}},
        {"8-bit palette", QImage::Format_Indexed8, {green, qRgb(1, 2, 3), qRgb(9, 9, 9)}},
        {"8-bit grey", QImage::Format_Grayscale8, {}},
        {"16-bit grey", QImage::Format_Grayscale16, {}},
        {"RGB", QImage::Format_RGB888, {}},
    };
    for (const auto& p : pictures) {
        QImage picture(300, 200, p.format);
        if (!p.palette.isEmpty()) {
            picture.setColorTable(p.palette);
            picture.fill(0);
        } else {
            picture.fill(QColor(green));
        }
        ASSERT_TRUE(picture.save(QString::fromStdString(png), "PNG")) << p.name;
        const QImage pane = LoadPanePicture(png, "picture.png", std::filesystem::file_size(png));
        const QImage small = DecodeThumbnail(png);
        ASSERT_EQ(small.size(), QSize(130, 86)) << p.name;
        for (const QPoint at : {QPoint(10, 10), QPoint(11, 10), QPoint(10, 11), QPoint(65, 43)})
            EXPECT_EQ(small.pixelColor(at), pane.pixelColor(at.x() * 2, at.y() * 2)) << p.name << " at " << at.x() << "," << at.y();
    }

    // Not a picture, and a picture header that claims more pixels than any decode may take.
    const std::string junk = (dir / "morvenda-thumb-junk.jpg").string();
    std::ofstream(junk) << "not a picture at all";
    EXPECT_TRUE(DecodeThumbnail(junk).isNull());
    const std::string huge = (dir / "morvenda-thumb-huge.bmp").string();
    {
        // A BMP header of 30000 x 30000 pixels with no pixel data behind it.
        std::ofstream out(huge, std::ios::binary);
        auto put32 = [&](u32 v) { out.write(reinterpret_cast<const char*>(&v), 4); };
        auto put16 = [&](u16 v) { out.write(reinterpret_cast<const char*>(&v), 2); };
        out.write("BM", 2);
        put32(54);
        put32(0);
        put32(54);
        put32(40);
        put32(30000);
        put32(30000);
        put16(1);
        put16(24);
        for (int i = 0; i < 6; ++i) put32(0);
    }
    EXPECT_TRUE(DecodeThumbnail(huge).isNull());
    for (const std::string& f : {png, junk, huge}) std::filesystem::remove(f);
}

TEST(BrowserThumbnails, ALargeCameraPictureShowsItsEmbeddedPreview) {
    // A camera-style file of 30 MiB: a header no reader takes, a small complete JPEG picture
    // near its start, then the (here empty) full-size data.
    QImage preview(160, 120, QImage::Format_RGB32);
    for (int y = 0; y < preview.height(); ++y) {
        for (int x = 0; x < preview.width(); ++x) preview.setPixel(x, y, qRgb((x * 7 + y * 3) & 0xff, (x * y) & 0xff, 0x40));
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    ASSERT_TRUE(preview.save(&buffer, "JPG", 95));
    ASSERT_GT(jpeg.size(), 2100) << "the embedded picture must outlast the header skip";
    constexpr u64 kCameraFileSize = 30ull << 20;
    const std::string path = (std::filesystem::temp_directory_path() / "morvenda-thumb-camera.tmp").string();
    const struct {
        const char* name;
        bool embeddedShown;
    } cases[] = {
        {"IMG_0001.jpg.cr2", true},  // ".jpg" anywhere in the name
        {"IMG_0001.jpg", true},
        {"IMG_0001.JPG", false},  // upper case: decoded as it is, and that fails here
        {"IMG_0001.nef", false},
    };
    for (const auto& c : cases) {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write("RAWCAMERA-HEADER", 16);
            out.write(jpeg.constData(), jpeg.size());
            out.seekp(static_cast<std::streamoff>(kCameraFileSize - 1));
            out.put('\0');
        }
        const QImage thumb = ThumbnailOfCopy(path, c.name, kCameraFileSize);
        EXPECT_EQ(!thumb.isNull(), c.embeddedShown) << c.name;
        if (c.embeddedShown) {
            EXPECT_EQ(thumb.size(), QSize(130, 97)) << c.name;
        }
        EXPECT_FALSE(std::filesystem::exists(path + ".jpg")) << "the extractor's copy never stays";
    }
    // A small file is decoded as it is even with the name.
    EXPECT_FALSE(WantsEmbeddedJpeg("IMG_0001.jpg", 1 << 20));
    std::filesystem::remove(path);
}

TEST(BrowserThumbnails, AHoldReturnsAtOnceAndDropsTheRunningFileAndTheRest) {
    std::atomic<int> notices{0};
    std::atomic<bool> inStep{false};
    std::atomic<int> steps{0};
    // The first file's step lasts until the test lets it end.
    testutil::Gate endStep;
    CThumbnailWorker worker([&] { ++notices; });
    worker.SetStepHook([&](CFileNode*) {
        inStep = true;
        if (++steps == 1 && !endStep.Wait()) ADD_FAILURE() << "the held step was never let go";
        inStep = false;
    });
    CFileSystemNode* root = browsertest::Root();
    std::vector<CFileNode*> files;
    for (int i = 0; i < 5; ++i) files.push_back(browsertest::Add(root, "p" + std::to_string(i) + ".png", false, 10));
    // A device is needed to queue at all; the step hook stands in for the copy.
    auto* device = reinterpret_cast<IStorageDevice*>(root);
    worker.Enqueue(nullptr, device);
    for (CFileNode* f : files) worker.Enqueue(f, device);
    worker.Enqueue(files[0], device);  // asked for again: no second request
    ASSERT_TRUE(uiwait::UntilWithoutEvents([&] { return inStep.load(); }, "the worker's first file"));
    // The worker holds its own copy of the file: a hold (a tree going) need not wait for it.
    worker.Hold();
    EXPECT_TRUE(inStep.load()) << "the hold waited for the running file";
    EXPECT_EQ(worker.Pending(), 1u) << "the running file, and nothing queued";
    endStep.Open();
    EXPECT_TRUE(uiwait::UntilWithoutEvents([&] { return worker.Pending() == 0; }, "the running file's end"));
    EXPECT_EQ(notices.load(), 0) << "the running file gave nothing";
    EXPECT_EQ(steps.load(), 1) << "nothing more was started while held";
    EXPECT_TRUE(worker.TakeResults().empty());
    worker.Resume();

    // A worker that goes while its file hangs (a read that never returns) waits for it only a
    // while; its thread ends on its own once the file does, and tells its gone owner nothing.
    testutil::Gate endHung;
    std::atomic<bool> hungEnded{false};
    std::atomic<int> hungNotices{0};
    auto hung = std::make_unique<CThumbnailWorker>([&] { ++hungNotices; });
    inStep = false;
    hung->SetStepHook([&](CFileNode*) {
        inStep = true;
        EXPECT_TRUE(endHung.Wait()) << "the hanging file was never let go";
        hungEnded = true;
    });
    hung->Enqueue(files[1], device);
    ASSERT_TRUE(uiwait::UntilWithoutEvents([&] { return inStep.load(); }, "the hanging file"));
    hung.reset();
    EXPECT_FALSE(hungEnded.load()) << "the worker waited for the file that hangs";
    endHung.Open();
    EXPECT_TRUE(uiwait::UntilWithoutEvents([&] { return hungEnded.load(); }, "the hanging file's end"));
    EXPECT_EQ(hungNotices.load(), 0);
    browsertest::Free(root);
}

}  // namespace
