#pragma once
// Named events that another process can wait on, over POSIX named semaphores: the event's name
// with a '/' in front (braces kept). Signalling an event that is already signalled leaves it
// signalled once, as an auto-reset event would: a watcher wakes once per crash, not once per
// signal that arrived while it was away.
#include <semaphore.h>

#include <string>

class NamedEvent {
public:
    // Creates the event or opens the existing one; IsValid() tells whether that worked.
    explicit NamedEvent(const std::string& name);
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    bool IsValid() const { return sem_ != SEM_FAILED; }
    // Async-signal-safe: the crash path calls it from a signal handler.
    bool Signal();
    // Takes the signal if there is one; false when none arrived within the time.
    bool Wait(unsigned milliseconds);
    const std::string& Name() const { return name_; }

    // "/" + name, the semaphore's name for sem_open.
    static std::string SemaphoreName(const std::string& name);
    // Removes the name from the system (the event lives on for processes that have it open).
    static void Remove(const std::string& name);

private:
    std::string name_;
    sem_t* sem_ = SEM_FAILED;
};
