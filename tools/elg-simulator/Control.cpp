#include "Control.h"

#include <sstream>

namespace elgsim {

namespace {

bool parseInt(const std::string& text, int base, long& value) {
    if (text.empty())
        return false;
    try {
        std::size_t used = 0;
        value = std::stol(text, &used, base);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<std::string> error(const std::string& text) {
    return {"error " + text};
}

} // namespace

std::vector<std::string> Control::handle(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string arg;
    in >> arg;
    std::string rest;
    std::getline(in >> std::ws, rest);
    Faults& faults = mPrinter.faults();
    long number = 0;

    if (command == "ping") {
    } else if (command == "status") {
        if (arg.empty())
            return {"status " + mPrinter.status(), "ok"};
        mPrinter.setStatus(arg);
    } else if (command == "reply") {
        // reply <letter|*> <code> [data]
        std::istringstream args(line);
        std::string skip, letter, code;
        args >> skip >> letter >> code;
        std::string data;
        std::getline(args, data);
        if (!data.empty() && data.front() == ' ')
            data.erase(0, 1);
        if (letter.size() != 1 || code.size() != 3)
            return error("usage: reply <letter> <code> [data]");
        mPrinter.queueReply(letter[0], Reply{code, data});
    } else if (command == "noack") {
        faults.noAck = true;
    } else if (command == "nak") {
        if (!parseInt(arg, 16, number) || number < 0 || number > 255)
            return error("usage: nak <hex byte>");
        faults.nak = static_cast<uint8_t>(number);
    } else if (command == "silent") {
        faults.silent = true;
    } else if (command == "echo") {
        if (arg.size() != 1)
            return error("usage: echo <letter>");
        faults.echo = arg[0];
    } else if (command == "garbage") {
        faults.garbage = true;
    } else if (command == "badlrc") {
        faults.badLrc = true;
    } else if (command == "delay") {
        if (!parseInt(arg, 10, number) || number < 0)
            return error("usage: delay <ms>");
        faults.delayMs = static_cast<int>(number);
    } else if (command == "dles") {
        if (!parseInt(arg, 10, number))
            return error("usage: dles <count>");
        faults.dles = static_cast<int>(number);
    } else if (command == "version") {
        mPrinter.setVersion(arg + (rest.empty() ? "" : " " + rest));
    } else if (command == "font") {
        if (arg.size() != 1)
            return error("usage: font <letter>");
        mPrinter.setFontCommand(arg[0]);
    } else if (command == "crc") {
        if (arg == "auto") {
            mPrinter.autoCrc();
        } else {
            if (!parseInt(arg, 16, number) || number < 0 || number > 0xFFFF)
                return error("usage: crc <hex>|auto");
            mPrinter.setCrc(static_cast<uint16_t>(number));
        }
    } else if (command == "die") {
        if (!parseInt(arg, 10, number) || number < 0)
            return error("usage: die <bytes>");
        faults.dieAfter = number;
    } else if (command == "reboot") {
        mPrinter.reboot();
    } else if (command == "fontack") {
        if (arg == "none") {
            mPrinter.setFontAck(std::nullopt);
        } else {
            if (!parseInt(arg, 16, number) || number < 0 || number > 255)
                return error("usage: fontack <hex>|none");
            mPrinter.setFontAck(static_cast<uint8_t>(number));
        }
    } else if (command == "fontstall") {
        if (arg != "on" && arg != "off")
            return error("usage: fontstall on|off");
        faults.fontStall = arg == "on";
    } else if (command == "fontackdelay") {
        if (!parseInt(arg, 10, number) || number < 0)
            return error("usage: fontackdelay <ms>");
        mPrinter.setFontAckDelay(static_cast<int>(number));
    } else if (command == "normal") {
        mPrinter.reset();
    } else if (command == "mode") {
        return {"mode " + mPrinter.modeName(), "ok"};
    } else if (command == "dump") {
        std::vector<std::string> lines = mPrinter.records();
        lines.push_back("ok");
        return lines;
    } else if (command == "raw") {
        return {"raw " + toHex(mPrinter.raw()), "ok"};
    } else if (command == "clear") {
        mPrinter.clearRecords();
    } else {
        return error("unknown command '" + command + "'");
    }
    return {"ok"};
}

} // namespace elgsim
