#include "Logger.h"

void Logger::log(Log::Level level, const char* fmt, ...) const {
    const std::string format = "[" + mName + "] " + (fmt ? fmt : "");
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}
