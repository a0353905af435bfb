#pragma once

#include "Printer.h"

#include <string>
#include <vector>

namespace elgsim {

// The control line protocol: one command per line, answered by zero or more lines and then "ok"
// (or one line "error <text>"). See README.md.
class Control {
public:
    explicit Control(Printer& printer) : mPrinter(printer) {}

    std::vector<std::string> handle(const std::string& line);

private:
    Printer& mPrinter;
};

} // namespace elgsim
