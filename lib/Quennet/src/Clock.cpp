#include "Clock.h"

#include <time.h>

namespace Clock {

double millis() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<double>(ts.tv_sec) * 1000000000.0 + static_cast<double>(ts.tv_nsec)) / 1000000.0;
}

double elapsedMillis(double start) {
    return millis() - start;
}

} // namespace Clock
