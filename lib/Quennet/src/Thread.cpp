#include "Thread.h"

#include <unistd.h>

void Thread::sleep(int ms) {
    // A negative time would wrap to an enormous unsigned delay.
    if (ms <= 0)
        return;
    usleep(static_cast<useconds_t>(ms) * 1000);
}
