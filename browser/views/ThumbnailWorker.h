#pragma once
// Small pictures of the found image files for the icon view. One long-lived worker thread copies
// each requested file out of the scan into a temporary file and decodes it through Qt's image
// readers; the UI thread asks for pictures of the cells it draws and takes the finished ones
// when the worker's notice arrives. The worker touches no widget: it hands QImages over.
//
// The worker is never killed: it stops at checkpoints, between files and inside a copy (the
// writer asks its callback), and every decode is bounded in size. It copies only held files, so
// a hold never waits for it: a row's tree may be replaced while a copy is inside a slow read.
// Its thread owns what it works with (queue, flags, temporary name), so that a worker object that
// goes while its thread is inside a read of a disk that hangs waits for it only a short while.
#include <QImage>
#include <QSize>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "browser/model/ListModel.h"
#include "browser/preview/ImageView.h"  // the decoding bounds a preview keeps too
#include "engine/HeldFile.h"
#include "platform/Types.h"

class CFileNode;
class IStorageDevice;

namespace FileSelCtrl {

constexpr int kThumbnailWidth = 130;
constexpr int kThumbnailHeight = 104;
// Files this big are never copied for a picture.
constexpr u64 kMaxThumbnailSource = 52428800;
// How long a worker that goes waits for its thread to leave a read.
constexpr u32 kThumbnailEndWaitMs = 1500;

// The size of the thumbnail of a picture: at most 130 by 104, never enlarged.
QSize ThumbnailSize(QSize picture);
// Decodes the picture file into a thumbnail; a null image when it is not a picture Qt reads,
// is empty or too large.
QImage DecodeThumbnail(const std::string& path);
// The thumbnail of the copy at copyPath of the found file named name of size bytes: a large
// camera picture is replaced by its embedded preview first, so that a 30 MiB file is never
// decoded whole for 130 pixels.
QImage ThumbnailOfCopy(const std::string& copyPath, const std::string& name, u64 size);

class CThumbnailWorker : public IThumbnailQueue {
public:
    struct Result {
        CFileNode* node = nullptr;
        QImage image;
    };

    // notify runs after each finished picture (on the worker thread) and when the worker resumes
    // (on the resuming thread); it may only post.
    explicit CThumbnailWorker(std::function<void()> notify);
    ~CThumbnailWorker() override;
    CThumbnailWorker(const CThumbnailWorker&) = delete;
    CThumbnailWorker& operator=(const CThumbnailWorker&) = delete;

    // ---- UI thread
    // Asks for the picture of a file of a row on screen; a file asked for already since the last
    // Hold is skipped, and nothing is asked while held. The file is held from here on: the row's
    // tree may go while it is copied.
    void Enqueue(CFileNode* node, IStorageDevice* device);
    // Forgets the files not yet started (the view scrolled past them).
    void ClearQueue() override;
    // Stops the work: the queue is emptied and the running copy cancelled; results not yet
    // taken, and whatever the running copy still gives, are dropped. It returns at once: the
    // worker reads only held files, so the rows and their trees may go whatever it is doing.
    void Hold() override;
    void Resume() override;
    std::vector<Result> TakeResults();
    // Files asked for and not done yet, a copy still running after a hold among them.
    size_t Pending();

    // Test hook: runs on the worker thread at the start of each file.
    void SetStepHook(std::function<void(CFileNode*)> hook);

private:
    struct Shared;
    struct Request;
    static void Run(const std::shared_ptr<Shared>& shared);
    static QImage MakeThumbnail(Shared& shared, const Request& request);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace FileSelCtrl
