#pragma once
// Disk images made in a test by the file-system tools of the system (mkfs.*, mtools, FUSE
// drivers): running them quietly, and mounting an image for as long as a test needs it.
// Header-only, so that the support library does not change.
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/Types.h"

extern char** environ;

namespace testutil {

// The system folders hold most of these tools; a root shell's PATH may lack them.
inline std::string ToolPathPrefix() { return "PATH=\"$PATH:/usr/sbin:/sbin\"; export PATH; "; }

// Runs a shell command with its output kept out of the test's; true on exit status 0.
inline bool RunQuiet(const std::string& command) {
    const std::string line = ToolPathPrefix() + "{ " + command + "; } >/dev/null 2>&1";
    const int status = std::system(line.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first line a command prints; "" when it fails.
inline std::string RunOutput(const std::string& command) {
    const std::string line = ToolPathPrefix() + "{ " + command + "; } 2>/dev/null";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return "";
    char buffer[4096] = {};
    std::string out;
    if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out = buffer;
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// The full path of a tool; "" when it is not installed.
inline std::string ToolPath(const std::string& tool) { return RunOutput("command -v " + tool); }

// The tools of `tools` that are not installed, separated by blanks; "" when all are.
inline std::string MissingTools(std::initializer_list<const char*> tools) {
    std::string missing;
    for (const char* tool : tools) {
        if (ToolPath(tool).empty()) missing += std::string(missing.empty() ? "" : " ") + tool;
    }
    return missing;
}

// Whether a file system is mounted at `path` (an absolute path without a trailing slash).
inline bool IsMountPoint(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        // Fields: id, parent, major:minor, root, mount point, ...
        size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) at = line.find(' ', at + 1);
        if (at == std::string::npos) continue;
        const size_t end = line.find(' ', at + 1);
        if (line.substr(at + 1, end - at - 1) == path) return true;
    }
    return false;
}

// Bytes of their own for each seed: files written to an image with different seeds differ
// everywhere, so that a read of another file's clusters shows.
inline std::vector<u8> DistinctBytes(size_t size, u32 seed) {
    std::vector<u8> out(size);
    u32 x = seed * 2654435761u + 1;
    for (u8& b : out) {
        x = x * 1664525u + 1013904223u;
        b = u8(x >> 24);
    }
    return out;
}

// A loop device over an image file, detached with the object.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& image) { m_path = RunOutput("losetup -f --show " + image); }
    // Over `bytes` of the image from `offset` on (a partition of a disk image).
    LoopDevice(const std::string& image, u64 offset, u64 bytes) {
        m_path = RunOutput("losetup -f --show -o " + std::to_string(offset) + " --sizelimit " + std::to_string(bytes) +
                           " " + image);
    }
    ~LoopDevice() {
        if (!m_path.empty()) RunQuiet("losetup -d " + m_path);
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// A FUSE file system over an image, mounted for the life of the object. The driver runs in the
// foreground as a child of the test, so that Unmount returns only when the driver has written
// everything back to the image and ended.
class FuseMount {
public:
    // argv: the driver and its arguments, the mount point among them (the driver is looked up
    // on the PATH and in the system folders).
    FuseMount(std::vector<std::string> argv, const std::string& mountPoint) {
        // The mount table names the mount point by its canonical path.
        char* canonical = ::realpath(mountPoint.c_str(), nullptr);
        if (canonical == nullptr || argv.empty()) {
            std::free(canonical);
            return;
        }
        m_mountPoint = canonical;
        std::free(canonical);
        const std::string driver = ToolPath(argv[0]);
        if (driver.empty()) return;
        argv[0] = driver;
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, driver.c_str(), &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return;
        m_pid = pid;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (IsMountPoint(m_mountPoint)) {
                m_mounted = true;
                return;
            }
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;  // the driver gave up
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~FuseMount() { Unmount(); }
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    bool IsMounted() const { return m_mounted; }

    // True when the file system was mounted and its driver ended after the unmount.
    bool Unmount() {
        bool clean = false;
        if (m_mounted) {
            // On a busy machine the kernel now and then refuses an unmount as busy with no
            // process holding the mount; a moment later it goes through.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kUnmountRetrySeconds);
            while (!(clean = RunQuiet("umount " + m_mountPoint)) && IsMountPoint(m_mountPoint) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            m_mounted = false;
        }
        if (m_pid > 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            int status = 0;
            while (::waitpid(m_pid, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    ::kill(m_pid, SIGTERM);
                    ::waitpid(m_pid, &status, 0);
                    clean = false;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            m_pid = -1;
        }
        return clean;
    }

private:
    static constexpr int kUnmountRetrySeconds = 20;  // how long a refused unmount is tried again

    std::string m_mountPoint;
    pid_t m_pid = -1;
    bool m_mounted = false;
};

}  // namespace testutil
