#pragma once
// One running copy of the program per user: a lock file held with flock (the kernel drops it when
// the holder dies, however it dies, so a killed copy never blocks the next start), and a local
// socket beside it on which the running copy takes requests to come to the front.
#include <string>

// $XDG_RUNTIME_DIR when it names an existing folder, else /tmp; with a trailing '/'.
std::string RuntimeDir();
// A name in the runtime folder; in the shared /tmp it carries the user id, so users do not meet.
std::string RuntimePath(const std::string& name);

class InstanceLock {
public:
    explicit InstanceLock(const std::string& name);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { kAcquired, kHeldElsewhere, kUnavailable };
    // kUnavailable: the lock file could not be made (nothing protects this run).
    Result TryAcquire();
    bool Held() const { return held_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    bool held_ = false;
};

// The running copy's end of the socket. Requests are single lines; "raise" asks for the window.
class InstanceBeacon {
public:
    explicit InstanceBeacon(const std::string& name);
    ~InstanceBeacon();
    InstanceBeacon(const InstanceBeacon&) = delete;
    InstanceBeacon& operator=(const InstanceBeacon&) = delete;

    // Listens (a socket file left by a killed copy is replaced: only the lock holder calls this).
    bool Listen();
    // The listening descriptor for the event loop to watch; -1 before Listen.
    int Descriptor() const { return fd_; }
    // Takes one waiting request, if any, without blocking on a silent peer for long; the request
    // line, or empty.
    std::string AcceptRequest();
    const std::string& Path() const { return path_; }

    // The second copy's side: sends the request line; false when nobody listens.
    static bool Send(const std::string& name, const std::string& request);

private:
    std::string path_;
    int fd_ = -1;
};

constexpr const char* kRaiseRequest = "raise";
