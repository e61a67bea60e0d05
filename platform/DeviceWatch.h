#pragma once
// Watches the disk table for disks that come and go: whole-disk block devices in /sys/block
// (media changes included, through their size), or the image files of MORVENDA_DISKS (a folder
// in that list follows the files copied into or taken out of it). Each change is posted to a
// window as the device-change messages the main window reacts to.
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Disks.h"
#include "platform/WindowPost.h"

constexpr u32 WM_DEVICECHANGE_MSG = 0x0219;
// wParam of WM_DEVICECHANGE.
constexpr WPARAM kDbtDevNodesChanged = 0x0007;
constexpr WPARAM kDbtDeviceArrival = 0x8000;
constexpr WPARAM kDbtDeviceRemoveComplete = 0x8004;
// lParam of a removal: the device type of the record (a volume). Linux volumes have no drive
// letter, so no unit mask travels with it.
constexpr LPARAM kDbtDevtypVolume = 2;

// What the watcher compares: disk path -> its size in 512-byte units (image files: bytes). A
// block device listed in MORVENDA_DISKS is measured as the system's devices are: its file size
// is 0 whatever it holds.
using DeviceSnapshot = std::map<std::string, u64>;
DeviceSnapshot TakeDeviceSnapshot();

// Whether an open disk is still the one that was opened, whole: its path still names the same
// image file or device, and it is not shorter than the bytes it had at opening. An image removed
// or cut, a medium taken out or a loop device let go are disks that went away, even where the
// open descriptor still answers.
bool DiskStillThere(const DiskHandle& handle, u64 bytesAtOpen);

class DeviceWatcher {
public:
    static constexpr unsigned kDefaultPollMs = 500;

    DeviceWatcher(HWND target, unsigned pollMs = kDefaultPollMs);
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    void Start();
    // Ends the thread; returns once it has ended.
    void Stop();

    // Compares with the previous snapshot and posts what changed; the thread's one step.
    void Poll();

private:
    void Run();

    HWND target_;
    unsigned pollMs_;
    DeviceSnapshot last_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
