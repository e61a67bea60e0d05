#include "platform/NamedEvent.h"

#include <fcntl.h>
#include <time.h>

#include <cerrno>

NamedEvent::NamedEvent(const std::string& name) : name_(name) {
    sem_ = ::sem_open(SemaphoreName(name).c_str(), O_CREAT, 0600, 0);
}

NamedEvent::~NamedEvent() {
    if (sem_ != SEM_FAILED) ::sem_close(sem_);
}

std::string NamedEvent::SemaphoreName(const std::string& name) { return "/" + name; }

void NamedEvent::Remove(const std::string& name) { ::sem_unlink(SemaphoreName(name).c_str()); }

bool NamedEvent::Signal() {
    if (sem_ == SEM_FAILED) return false;
    int value = 0;
    if (::sem_getvalue(sem_, &value) == 0 && value > 0) return true;
    return ::sem_post(sem_) == 0;
}

bool NamedEvent::Wait(unsigned milliseconds) {
    if (sem_ == SEM_FAILED) return false;
    timespec deadline {};
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (::sem_timedwait(sem_, &deadline) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}
