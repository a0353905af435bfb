#pragma once

// Wall-clock milliseconds (CLOCK_REALTIME); timers and the log follow wall-clock time.
namespace Clock {
double millis();
double elapsedMillis(double start);
} // namespace Clock
