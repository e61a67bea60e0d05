#include "app/CrashFilter.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "app/EnvironmentLog.h"
#include "core/Strings.h"
#include "devices/Memory.h"
#include "devices/ScanOptions.h"
#include "platform/Log.h"
#include "platform/ProgramDir.h"

namespace {
constexpr auto kNoticePickUp = std::chrono::seconds(5);

bool UseMemoryEvent() { return GetScanOptions().GetScanRaw() != 0; }

void LogCrash(const CrashInfo& info, bool reportWritten) {
    LogInfo("Caught an excetpion! Exception Code:%08x Address:%08llx", info.code,
            static_cast<unsigned long long>(info.address));
    LogMemoryStatus();
    if (!reportWritten) LogInfo("Failed to process the exception!");
}

void ShowNoticeBox(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kProgramTitle), text, QMessageBox::Ok);
    box.exec();
}
}  // namespace

u32 ClassifyEscapedException(std::exception_ptr e, bool* outOfMemory) {
    if (outOfMemory) *outOfMemory = false;
    try {
        std::rethrow_exception(e);
    } catch (const OutOfMemoryException& oom) {
        if (outOfMemory) *outOfMemory = true;
        return oom.Code();
    } catch (const std::bad_alloc&) {
        if (outOfMemory) *outOfMemory = true;
        return kOutOfMemoryExceptionCode;
    } catch (...) {
        return kCodeCppException;
    }
}

void ShowOutOfMemoryNotice() {
    const std::string text = GetLocalizedString("WithoutMem");
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !qobject_cast<QApplication*>(app)) {
        std::fprintf(stderr, "%s: %s\n", kProgramTitle, text.c_str());
        return;
    }
    const QString qtext = QString::fromUtf8(text.c_str());
    if (QThread::currentThread() == app->thread()) {
        ShowNoticeBox(qtext);
        return;
    }
    struct Handshake {
        std::mutex m;
        std::condition_variable cv;
        bool started = false;
        bool done = false;
    };
    auto hs = std::make_shared<Handshake>();
    QMetaObject::invokeMethod(
        app,
        [hs, qtext]() {
            {
                std::lock_guard<std::mutex> lk(hs->m);
                hs->started = true;
            }
            hs->cv.notify_all();
            ShowNoticeBox(qtext);
            {
                std::lock_guard<std::mutex> lk(hs->m);
                hs->done = true;
            }
            hs->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lk(hs->m);
    if (!hs->cv.wait_for(lk, kNoticePickUp, [&] { return hs->started; })) {
        std::fprintf(stderr, "%s: %s\n", kProgramTitle, text.c_str());
        return;
    }
    hs->cv.wait(lk, [&] { return hs->done; });
}

void InstallCrashFilter(const CrashFilterOptions& options) {
    CrashHandlerSetup setup;
    setup.reportFolder = options.reportFolder.empty() ? GetUserStateDir() : options.reportFolder;
    if (setup.reportFolder.back() != '/') setup.reportFolder.push_back('/');
    setup.crashEventName = options.crashEventName;
    setup.memoryCrashEventName = options.memoryCrashEventName;
    setup.classifyException = ClassifyEscapedException;
    setup.useMemoryEvent = UseMemoryEvent;
    setup.outOfMemoryNotice = options.outOfMemoryNotice ? options.outOfMemoryNotice : ShowOutOfMemoryNotice;
    setup.logCrash = LogCrash;
    InstallCrashHandler(setup);
}
