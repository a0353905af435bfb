#pragma once

#include <semaphore.h>

#include <memory>
#include <string>

// Counting semaphore over a process-private POSIX semaphore. Times are milliseconds.
class Semaphore {
public:
    Semaphore(const std::string& name, unsigned initial, unsigned max);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    bool Post(unsigned count = 1);
    // ms < 0 waits without limit, 0 tries, > 0 waits until a real-time deadline.
    bool Wait(int ms = -1);
    bool Try();
    unsigned GetMaxCount() const { return mMax; }
    const std::string& GetName() const { return mName; }

private:
    std::string mName;
    unsigned mMax;
    std::unique_ptr<sem_t> mSem;
};
