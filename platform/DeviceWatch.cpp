#include "platform/DeviceWatch.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "platform/Disks.h"

namespace {
u64 SizeFromSysfs(const std::string& path) {
    std::ifstream in(path);
    unsigned long long n = 0;
    if (!(in >> n)) return 0;
    return n;
}

u64 SysBlockSize(const std::string& sysName) { return SizeFromSysfs("/sys/block/" + sysName + "/size"); }

// The size of a block device known by its device number, in 512-byte units.
u64 DevBlockSize(dev_t device) {
    return SizeFromSysfs("/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/size");
}
}  // namespace

bool DiskStillThere(const DiskHandle& handle, u64 bytesAtOpen) {
    if (!handle.IsValid()) return false;
    struct stat st {};
    if (::stat(handle.entry.path.c_str(), &st) != 0) return false;
    // The same kind of file as was opened, known by the same identity as at opening.
    if (!(handle.isImage ? S_ISREG(st.st_mode) : S_ISBLK(st.st_mode)) || !(DiskFileIdOf(st) == handle.id)) return false;
    u64 length = 0;
    // A device whose medium is gone reads as empty.
    return DiskGetLength(handle, &length) && length != 0 && length >= bytesAtOpen;
}

DeviceSnapshot TakeDeviceSnapshot() {
    DeviceSnapshot snapshot;
    for (const DiskTableEntry& e : GetDiskTable()) {
        if (e.isImage) {
            struct stat st {};
            // A listed image that is not there is no disk.
            if (::stat(e.path.c_str(), &st) != 0) continue;
            snapshot[e.path] = S_ISBLK(st.st_mode) ? DevBlockSize(st.st_rdev) : static_cast<u64>(st.st_size);
        } else {
            snapshot[e.path] = SysBlockSize(e.sysName);
        }
    }
    return snapshot;
}

DeviceWatcher::DeviceWatcher(HWND target, unsigned pollMs) : target_(target), pollMs_(pollMs ? pollMs : 1) {}

DeviceWatcher::~DeviceWatcher() { Stop(); }

void DeviceWatcher::Start() {
    if (thread_.joinable()) return;
    last_ = TakeDeviceSnapshot();
    {
        std::lock_guard<std::mutex> lk(lock_);
        stop_ = false;
    }
    thread_ = std::thread([this] { Run(); });
}

void DeviceWatcher::Stop() {
    {
        std::lock_guard<std::mutex> lk(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DeviceWatcher::Run() {
    std::unique_lock<std::mutex> lk(lock_);
    while (!stop_) {
        wake_.wait_for(lk, std::chrono::milliseconds(pollMs_), [this] { return stop_; });
        if (stop_) break;
        lk.unlock();
        Poll();
        lk.lock();
    }
}

void DeviceWatcher::Poll() {
    const DeviceSnapshot now = TakeDeviceSnapshot();
    bool changed = false;
    // A disk whose size changed (a card taken out of its reader) left and came back.
    for (const auto& [path, size] : last_) {
        auto it = now.find(path);
        if (it == now.end() || it->second != size) {
            PostMessage(target_, WM_DEVICECHANGE_MSG, kDbtDeviceRemoveComplete, kDbtDevtypVolume);
            changed = true;
        }
    }
    for (const auto& [path, size] : now) {
        auto it = last_.find(path);
        if (it == last_.end() || it->second != size) {
            PostMessage(target_, WM_DEVICECHANGE_MSG, kDbtDeviceArrival, 0);
            changed = true;
        }
    }
    if (changed) PostMessage(target_, WM_DEVICECHANGE_MSG, kDbtDevNodesChanged, 0);
    last_ = now;
}
