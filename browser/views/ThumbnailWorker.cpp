#include "browser/views/ThumbnailWorker.h"

#include "browser/preview/EmbeddedJpeg.h"

#include <unistd.h>

#include <QImageReader>
#include <algorithm>
#include <cstdio>

#include "browser/model/BrowserConfig.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/EmbeddedJpeg.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
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

CThumbnailWorker::CThumbnailWorker(std::function<void()> notify) : m_notify(std::move(notify)) {
    static std::atomic<u32> counter{0};
    char name[64];
    std::snprintf(name, sizeof(name), "thumb-%d-%u.tmp", static_cast<int>(::getpid()), counter.fetch_add(1));
    m_tempName = GetUserCacheDir() + name;
    m_thread = std::thread([this] { Run(); });
}

CThumbnailWorker::~CThumbnailWorker() {
    m_hold = true;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_run = false;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_thread.join();
    std::remove(m_tempName.c_str());
}

void CThumbnailWorker::Enqueue(CFileNode* node, IStorageDevice* device) {
    // A held worker is asked nothing: a file taken while a scan adds files would keep the place
    // the running scan gave it. The view asks again once the worker resumes.
    if (!node || !device || m_hold) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_asked.count(node)) return;
    }
    // Taken outside the lock (it asks the scan where the file lies); only this thread queues.
    HeldFile file = CHeldFile::Take(node);
    if (!file) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_asked.insert(node).second) return;
        m_queue.push_back({node, std::move(file), device, m_holds.load()});
    }
    m_wake.notify_one();
}

void CThumbnailWorker::ClearQueue() {
    std::lock_guard<std::mutex> guard(m_lock);
    // The forgotten files may be asked for again when they come back into view.
    for (const Request& r : m_queue) m_asked.erase(r.node);
    m_queue.clear();
}

void CThumbnailWorker::Hold() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_hold = true;
    // A file still being copied (a slow disk may keep it inside a read for long) is not waited
    // for: it reads only its held file, is cancelled at its next step, and what it gives is
    // dropped, for the rows it was asked for may be gone.
    m_holds.fetch_add(1);
    m_queue.clear();
    m_asked.clear();
    m_results.clear();
}

void CThumbnailWorker::Resume() {
    m_hold = false;
    m_wake.notify_one();
    // The view draws its cells again, asking for the pictures it still lacks.
    if (m_notify) m_notify();
}

std::vector<CThumbnailWorker::Result> CThumbnailWorker::TakeResults() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Result> out;
    out.swap(m_results);
    return out;
}

size_t CThumbnailWorker::Pending() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_queue.size() + (m_busy ? 1 : 0);
}

void CThumbnailWorker::Run() {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_wake.wait(guard, [this] { return !m_run || (!m_hold && !m_queue.empty()); });
        if (!m_run) return;
        // The latest asked is what the user looks at now.
        const Request request = m_queue.back();
        m_queue.pop_back();
        m_busy = true;
        guard.unlock();
        QImage image = MakeThumbnail(request);
        guard.lock();
        m_busy = false;
        const bool keep = !m_hold && request.holds == m_holds.load() && !image.isNull();
        if (keep) m_results.push_back({request.node, std::move(image)});
        if (keep && m_notify) {
            guard.unlock();
            m_notify();
            guard.lock();
        }
    }
}

QImage CThumbnailWorker::MakeThumbnail(const Request& request) {
    if (m_stepHook) m_stepHook(request.node);
    HoldCallback callback(m_hold, m_holds, request.holds);
    if (callback.IsCancelled() != kGoOn) return {};
    // Only the held file is read: the row's tree may be replaced or dropped meanwhile.
    const IFileProperties* p = request.file->Properties();
    if ((p->GetAttributes() & kAttrDirectory) || p->GetSize() >= kMaxThumbnailSource) return {};
    QImage image;
    // A picture partly read is drawn as the preview shows it: what could be read, zeros for the rest.
    if (CopyForPreview(&callback, request.device, request.file->Node(), m_tempName, false) &&
        callback.IsCancelled() == kGoOn) {
        image = ThumbnailOfCopy(m_tempName, request.file->Name(), p->GetSize());
    }
    std::remove(m_tempName.c_str());
    return image;
}

}  // namespace FileSelCtrl
