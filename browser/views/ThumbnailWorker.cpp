#include "browser/views/ThumbnailWorker.h"

#include "browser/preview/EmbeddedJpeg.h"

#include <unistd.h>

#include <QImageReader>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

#include "browser/model/BrowserConfig.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/EmbeddedJpeg.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "platform/Log.h"
#include "platform/ProgramDir.h"

namespace FileSelCtrl {

namespace {

constexpr i32 kGoOn = 0;
// The one reader that decodes straight to a smaller size.
constexpr const char* kScaledDecodeFormat = "jpeg";

// The copy asks this between blocks: a hold, or any hold since the file was asked for, cancels it.
class HoldCallback : public IFileRecoverCallback {
public:
    HoldCallback(const std::atomic<bool>& hold, const std::atomic<u64>& holds, u64 asked)
        : m_hold(hold), m_holds(holds), m_asked(asked) {}
    i32 OnBegin(u32, u64) override { return Answer(); }
    i32 OnFilesDone(u32) override { return Answer(); }
    i32 OnBytesDone(u64) override { return Answer(); }
    i32 OnStep(u32) override { return Answer(); }
    i32 OnFileName(const char*) override { return Answer(); }
    i32 IsCancelled() override { return Answer(); }

private:
    i32 Answer() const { return m_hold.load() || m_holds.load() != m_asked ? kRecoverCancel : kGoOn; }
    const std::atomic<bool>& m_hold;
    const std::atomic<u64>& m_holds;
    const u64 m_asked;
};

}  // namespace

QSize ThumbnailSize(QSize picture) {
    if (picture.width() <= 0 || picture.height() <= 0) return {};
    const double scale = std::max({static_cast<double>(picture.width()) / kThumbnailWidth,
                                   static_cast<double>(picture.height()) / kThumbnailHeight, 1.0});
    return QSize(std::max(1, static_cast<int>(picture.width() / scale)), std::max(1, static_cast<int>(picture.height() / scale)));
}

QImage DecodeThumbnail(const std::string& path) {
    QImageReader::setAllocationLimit(kMaxDecodeMiB);
    QImageReader reader(QString::fromStdString(path));
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (!full.isValid() || full.isEmpty()) return {};
    if (static_cast<qint64>(full.width()) * full.height() > kMaxDecodePixels) return {};
    const QSize target = ThumbnailSize(full);
    // The JPEG reader decodes at a smaller size in the picture's own colours. Any other reader
    // would shrink an indexed picture before its palette is applied (a one-colour 1-bit PNG
    // comes out as black and white dots): it is decoded whole, into the colours the pane shows,
    // and scaled after.
    if (reader.format() == kScaledDecodeFormat) reader.setScaledSize(target);
    QImage image = reader.read();
    if (image.isNull()) return {};
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.size() != target) image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

QImage ThumbnailOfCopy(const std::string& copyPath, const std::string& name, u64 size) {
    if (WantsEmbeddedJpeg(name, size)) ExtractEmbeddedJpeg(copyPath, copyPath + ".jpg");
    return DecodeThumbnail(copyPath);
}

struct CThumbnailWorker::Request {
    CFileNode* node = nullptr;  // what the result is known by: compared, never followed
    HeldFile file;
    IStorageDevice* device = nullptr;
    u64 holds = 0;  // the holds before it was asked for: a later one makes it stale
};

// What the worker object and its thread share; the thread holds it for as long as it runs.
struct CThumbnailWorker::Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable ended;
    std::deque<Request> queue;
    std::unordered_set<const CFileNode*> asked;  // since the last Hold, so that a redraw does not ask again
    std::vector<Result> results;
    // Cleared when the worker object goes: the thread then calls no hook of its owner's.
    std::function<void()> notify;
    std::function<void(CFileNode*)> stepHook;
    bool run = true;
    bool busy = false;
    bool threadEnded = false;
    std::atomic<bool> hold{false};
    std::atomic<u64> holds{0};
    std::string tempName;
};

CThumbnailWorker::CThumbnailWorker(std::function<void()> notify) : m_shared(std::make_shared<Shared>()) {
    static std::atomic<u32> counter{0};
    char name[64];
    std::snprintf(name, sizeof(name), "%s%d-%u.tmp", kThumbnailTempPrefix, static_cast<int>(::getpid()), counter.fetch_add(1));
    m_shared->tempName = GetUserCacheDir() + name;
    m_shared->notify = std::move(notify);
    m_thread = std::thread([shared = m_shared] { Run(shared); });
}

CThumbnailWorker::~CThumbnailWorker() {
    Shared& s = *m_shared;
    bool ended = false;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        s.hold = true;
        s.holds.fetch_add(1);
        s.run = false;
        s.queue.clear();
        s.notify = nullptr;
        s.stepHook = nullptr;
        s.wake.notify_all();
        ended = s.ended.wait_for(guard, std::chrono::milliseconds(kThumbnailEndWaitMs), [&] { return s.threadEnded; });
    }
    if (ended) {
        m_thread.join();
        std::remove(s.tempName.c_str());
        return;
    }
    // Inside a read that does not return: the thread ends on its own once it does (its copy is
    // cancelled and removed), holding what it works with.
    LogError("A thumbnail copy is still inside a read of the disk after %u ms; it ends on its own", kThumbnailEndWaitMs);
    m_thread.detach();
}

void CThumbnailWorker::SetStepHook(std::function<void(CFileNode*)> hook) {
    std::lock_guard<std::mutex> guard(m_shared->lock);
    m_shared->stepHook = std::move(hook);
}

void CThumbnailWorker::Enqueue(CFileNode* node, IStorageDevice* device) {
    Shared& s = *m_shared;
    // A held worker is asked nothing: a file taken while a scan adds files would keep the place
    // the running scan gave it. The view asks again once the worker resumes.
    if (!node || !device || s.hold) return;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.asked.count(node)) return;
    }
    // Taken outside the lock (it asks the scan where the file lies); only this thread queues.
    HeldFile file = CHeldFile::Take(node);
    if (!file) return;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.asked.insert(node).second) return;
        s.queue.push_back({node, std::move(file), device, s.holds.load()});
    }
    s.wake.notify_one();
}

void CThumbnailWorker::ClearQueue() {
    Shared& s = *m_shared;
    std::lock_guard<std::mutex> guard(s.lock);
    // The forgotten files may be asked for again when they come back into view.
    for (const Request& r : s.queue) s.asked.erase(r.node);
    s.queue.clear();
}

void CThumbnailWorker::Hold() {
    Shared& s = *m_shared;
    std::lock_guard<std::mutex> guard(s.lock);
    s.hold = true;
    // A file still being copied (a slow disk may keep it inside a read for long) is not waited
    // for: it reads only its held file, is cancelled at its next step, and what it gives is
    // dropped, for the rows it was asked for may be gone.
    s.holds.fetch_add(1);
    s.queue.clear();
    s.asked.clear();
    s.results.clear();
}

void CThumbnailWorker::Resume() {
    Shared& s = *m_shared;
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.hold = false;
        notify = s.notify;
    }
    s.wake.notify_one();
    // The view draws its cells again, asking for the pictures it still lacks.
    if (notify) notify();
}

std::vector<CThumbnailWorker::Result> CThumbnailWorker::TakeResults() {
    std::lock_guard<std::mutex> guard(m_shared->lock);
    std::vector<Result> out;
    out.swap(m_shared->results);
    return out;
}

size_t CThumbnailWorker::Pending() {
    std::lock_guard<std::mutex> guard(m_shared->lock);
    return m_shared->queue.size() + (m_shared->busy ? 1 : 0);
}

void CThumbnailWorker::Run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::unique_lock<std::mutex> guard(s.lock);
    for (;;) {
        s.wake.wait(guard, [&] { return !s.run || (!s.hold && !s.queue.empty()); });
        if (!s.run) break;
        // The latest asked is what the user looks at now.
        const Request request = s.queue.back();
        s.queue.pop_back();
        s.busy = true;
        const std::function<void(CFileNode*)> stepHook = s.stepHook;
        guard.unlock();
        if (stepHook) stepHook(request.node);
        QImage image = MakeThumbnail(s, request);
        guard.lock();
        s.busy = false;
        const bool keep = !s.hold && request.holds == s.holds.load() && !image.isNull();
        if (keep) s.results.push_back({request.node, std::move(image)});
        // Under the lock, so that it is never called once its owner has cleared it; it only posts.
        if (keep && s.notify) s.notify();
    }
    s.threadEnded = true;
    s.ended.notify_all();
}

QImage CThumbnailWorker::MakeThumbnail(Shared& shared, const Request& request) {
    HoldCallback callback(shared.hold, shared.holds, request.holds);
    if (callback.IsCancelled() != kGoOn) return {};
    // Only the held file is read: the row's tree may be replaced or dropped meanwhile.
    const IFileProperties* p = request.file->Properties();
    if ((p->GetAttributes() & kAttrDirectory) || p->GetSize() >= kMaxThumbnailSource) return {};
    QImage image;
    // A picture partly read is drawn as the preview shows it: what could be read, zeros for the rest.
    if (CopyForPreview(&callback, request.device, request.file->Node(), shared.tempName, false) &&
        callback.IsCancelled() == kGoOn) {
        image = ThumbnailOfCopy(shared.tempName, request.file->Name(), p->GetSize());
    }
    std::remove(shared.tempName.c_str());
    return image;
}

}  // namespace FileSelCtrl
