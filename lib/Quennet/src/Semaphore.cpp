#include "Semaphore.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

Semaphore::Semaphore(const std::string& name, unsigned initial, unsigned max)
    : mName(name), mMax(max), mSem(std::make_unique<sem_t>()) {
    if (sem_init(mSem.get(), 0, std::min(initial, max)) != 0)
        mSem.reset();
}

Semaphore::~Semaphore() {
    if (mSem)
        sem_destroy(mSem.get());
}

bool Semaphore::Post(unsigned count) {
    if (!mSem)
        return false;
    if (count == 0)
        count = 1;
    for (unsigned i = 0; i < count; ++i) {
        if (sem_post(mSem.get()) != 0)
            return false;
    }
    return true;
}

bool Semaphore::Wait(int ms) {
    if (!mSem)
        return false;
    if (ms == 0)
        return sem_trywait(mSem.get()) == 0;
    if (ms < 0) {
        while (sem_wait(mSem.get()) != 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }
    timespec deadline{};
    if (clock_gettime(CLOCK_REALTIME, &deadline) != 0)
        return false;
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec > 999999999L) {
        deadline.tv_sec += deadline.tv_nsec / 1000000000L;
        deadline.tv_nsec %= 1000000000L;
    }
    while (sem_timedwait(mSem.get(), &deadline) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool Semaphore::Try() {
    return Wait(0);
}
