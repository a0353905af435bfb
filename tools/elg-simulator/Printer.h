#pragma once

#include "BootLoader.h"
#include "FontUpload.h"
#include "Hex.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace elgsim {

// Ways the printer can be told to misbehave; they stay until cleared with reset().
struct Faults {
    bool noAck = false;           // command frames get no acknowledge at all
    std::optional<uint8_t> nak;   // command frames are answered with this byte instead of ACK
    bool silent = false;          // commands are acknowledged, polls get no answer
    std::optional<char> echo;     // replies echo this letter instead of the command's
    bool garbage = false;         // a ready reply is sent as bytes that are no ELX answer
    bool badLrc = false;          // replies carry wrong LRC characters
    int delayMs = 0;              // a reply is ready this long after its command
    int dles = 1;                 // DLE answers before a reply is handed out (<0: forever)
    std::optional<long> dieAfter; // the printer falls silent after sending this many more bytes
    bool fontStall = false;       // font data is not read: the line backs up
};

struct Reply {
    std::string code;
    std::string data;
};

// The ELG15019 seen from its serial line: ELX frames and polls in normal mode, the boot loader after
// '|', raw font data after a font command.
class Printer {
public:
    using Sender = std::function<void(const Bytes&)>;
    using Clock = std::chrono::steady_clock;

    explicit Printer(Sender send);

    void feed(uint8_t byte);
    // Sends what has come due; called regularly by the main loop.
    void tick();
    // Time until tick() has something to send (a long time when nothing is scheduled).
    std::chrono::milliseconds nextTick() const;

    // Control
    void setStatus(const std::string& status) { mStatus = status; }
    const std::string& status() const { return mStatus; }
    void setVersion(const std::string& version) { mVersion = version; }
    void setAddress(uint8_t address) { mAddress = address; }
    void setFontCommand(char letter) { mFontCommand = letter; }
    void setCrc(uint16_t crc) { mBootLoader.setCrc(crc); }
    void autoCrc() { mBootLoader.autoCrc(); }
    // Byte that acknowledges a received font block (none: no acknowledge) and its delay.
    void setFontAck(std::optional<uint8_t> ack) { mFontAck = ack; }
    void setFontAckDelay(int ms) { mFontAckDelayMs = ms; }
    // One-shot answer for the next command with this letter ('*': any letter).
    void queueReply(char letter, const Reply& reply) { mOverrides[letter].push_back(reply); }
    Faults& faults() { return mFaults; }
    // True while the line is not to be read (a stalled font upload).
    bool deaf() const { return mFaults.fontStall && mMode == Mode::FontUpload; }
    void reset();
    // Back to the firmware: normal mode, nothing pending, no faults.
    void reboot();

    std::vector<std::string> records() const { return mRecords; }
    const Bytes& raw() const { return mRaw; }
    void clearRecords();
    std::string modeName() const;

private:
    enum class Mode { Normal, BootLoader, FontUpload };
    enum class Rx { Idle, Dc2, PollAddress, Address, Letter, Data, Lrc1, Lrc2, Eot };

    struct Pending {
        char letter;
        Reply reply;
        Clock::time_point readyAt;
        int dlesLeft;
    };

    void feedElx(uint8_t byte);
    void onPoll();
    void onFrame();
    void queue(char letter, const Reply& reply);
    Reply defaultReply(char letter) const;
    Bytes replyFrame(char letter, const Reply& reply) const;
    void record(const std::string& line) { mRecords.push_back(line); }
    void send(const Bytes& bytes);

    struct Scheduled {
        Clock::time_point at;
        Bytes bytes;
    };

    Sender mSend;
    std::deque<Scheduled> mScheduled;
    std::optional<uint8_t> mFontAck = 0x06;
    int mFontAckDelayMs = 1000;
    Mode mMode = Mode::Normal;
    Rx mRx = Rx::Idle;
    uint8_t mAddress = 0;
    std::string mStatus = "000000000";
    std::string mVersion = "ELG15019 SIM 1.0";
    char mFontCommand = 'F';
    Faults mFaults;
    std::map<char, std::deque<Reply>> mOverrides;
    std::optional<Pending> mPending;
    std::optional<Pending> mAfterFont;

    // Frame being received.
    uint8_t mFrameAddress = 0;
    char mLetter = 0;
    std::string mData;
    uint8_t mLrc = 0;
    uint8_t mLrcChars[2] = {0, 0};

    BootLoader mBootLoader;
    FontUpload mFontUpload;
    std::vector<std::string> mRecords;
    Bytes mRaw;
};

} // namespace elgsim
