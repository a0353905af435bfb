#include "Printer.h"

#include <algorithm>
#include <cstdio>

namespace elgsim {

namespace {
constexpr uint8_t DC2 = 0x12, STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, DLE = 0x10;

std::string hexByte(uint8_t byte) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02x", byte);
    return text;
}
} // namespace

Printer::Printer(Sender send)
    : mSend(std::move(send)), mBootLoader([this](const Bytes& bytes) { this->send(bytes); },
                                          [this](const std::string& line) { record(line); }) {}

void Printer::reset() {
    mFaults = Faults{};
    mOverrides.clear();
}

void Printer::reboot() {
    reset();
    mMode = Mode::Normal;
    mRx = Rx::Idle;
    mPending.reset();
    mAfterFont.reset();
    mScheduled.clear();
    record("reboot");
}

void Printer::send(const Bytes& bytes) {
    if (!mFaults.dieAfter) {
        mSend(bytes);
        return;
    }
    long& left = *mFaults.dieAfter;
    const std::size_t count =
        std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(std::max(0L, left)));
    if (count > 0)
        mSend(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(count)));
    if (left > 0 && static_cast<std::size_t>(left) <= bytes.size())
        record("died");
    left -= static_cast<long>(count);
}

void Printer::tick() {
    const auto now = Clock::now();
    while (!mScheduled.empty() && mScheduled.front().at <= now) {
        send(mScheduled.front().bytes);
        mScheduled.pop_front();
    }
}

std::chrono::milliseconds Printer::nextTick() const {
    if (mScheduled.empty())
        return std::chrono::milliseconds(100);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(mScheduled.front().at - Clock::now());
    return std::max(std::chrono::milliseconds(0), left);
}

void Printer::clearRecords() {
    mRecords.clear();
    mRaw.clear();
}

std::string Printer::modeName() const {
    switch (mMode) {
    case Mode::Normal:
        return "normal";
    case Mode::BootLoader:
        return "bootloader";
    case Mode::FontUpload:
        return "font";
    }
    return "normal";
}

void Printer::feed(uint8_t byte) {
    mRaw.push_back(byte);
    switch (mMode) {
    case Mode::Normal:
        feedElx(byte);
        break;
    case Mode::BootLoader:
        if (!mBootLoader.feed(byte)) {
            mMode = Mode::Normal;
            mRx = Rx::Idle;
        }
        break;
    case Mode::FontUpload:
        if (mFontUpload.feed(byte)) {
            record("font " + toHex(mFontUpload.block()));
            mMode = Mode::Normal;
            mRx = Rx::Idle;
            // The printer stores the font before it acknowledges it.
            if (mFontAck)
                mScheduled.push_back(
                    {Clock::now() + std::chrono::milliseconds(mFontAckDelayMs), {*mFontAck}});
            mPending = mAfterFont;
            mAfterFont.reset();
        }
        break;
    }
}

void Printer::feedElx(uint8_t byte) {
    switch (mRx) {
    case Rx::Idle:
        if (byte == DC2)
            mRx = Rx::Dc2;
        return;
    case Rx::Dc2:
        if (byte == ENQ) {
            if (mAddress != 0) {
                mRx = Rx::PollAddress;
            } else {
                mRx = Rx::Idle;
                onPoll();
            }
        } else if (byte == STX) {
            mRx = Rx::Address;
            mData.clear();
            mLrc = DC2 ^ STX;
        } else {
            mRx = byte == DC2 ? Rx::Dc2 : Rx::Idle;
        }
        return;
    case Rx::PollAddress:
        mRx = Rx::Idle;
        if (byte == mAddress)
            onPoll();
        return;
    case Rx::Address:
        mFrameAddress = byte;
        mLrc ^= byte;
        mRx = Rx::Letter;
        return;
    case Rx::Letter:
        mLetter = static_cast<char>(byte);
        mLrc ^= byte;
        mRx = Rx::Data;
        return;
    case Rx::Data:
        mLrc ^= byte;
        if (byte == ETX)
            mRx = Rx::Lrc1;
        else
            mData.push_back(static_cast<char>(byte));
        return;
    case Rx::Lrc1:
        mLrcChars[0] = byte;
        mRx = Rx::Lrc2;
        return;
    case Rx::Lrc2:
        mLrcChars[1] = byte;
        mRx = Rx::Eot;
        return;
    case Rx::Eot:
        mRx = Rx::Idle;
        if (byte == EOT)
            onFrame();
        else
            record("badframe " + hexByte(static_cast<uint8_t>(mLetter)));
        return;
    }
}

void Printer::onFrame() {
    const bool lrcOk = mLrcChars[0] == (mLrc >> 4) + 0x30 && mLrcChars[1] == (mLrc & 0x0F) + 0x30;
    const uint8_t expected = mAddress != 0 ? mAddress : 0x42;
    std::string line = "cmd " + hexByte(static_cast<uint8_t>(mLetter)) + (lrcOk ? " ok" : " badlrc");
    if (mFrameAddress != expected)
        line += " addr=" + hexByte(mFrameAddress);
    if (!mData.empty())
        line += " " + toHex(mData);
    record(line);
    if (mFrameAddress != expected)
        return;

    if (mFaults.noAck)
        return;
    if (mFaults.nak) {
        send({*mFaults.nak});
        return;
    }
    send({ACK});

    const char letter = mLetter;
    if (letter == '|') {
        mMode = Mode::BootLoader;
        mPending.reset();
        mBootLoader.enter();
        return;
    }
    if (letter == 'Q' || letter == 'A')
        return;

    Reply reply = defaultReply(letter);
    for (char key : {letter, '*'}) {
        auto it = mOverrides.find(key);
        if (it != mOverrides.end() && !it->second.empty()) {
            reply = it->second.front();
            it->second.pop_front();
            if (it->second.empty())
                mOverrides.erase(it);
            break;
        }
    }
    if (letter == mFontCommand) {
        queue(letter, reply);
        mAfterFont = mPending;
        mPending.reset();
        mMode = Mode::FontUpload;
        mFontUpload.start();
        return;
    }
    queue(letter, reply);
}

void Printer::queue(char letter, const Reply& reply) {
    mPending =
        Pending{letter, reply, Clock::now() + std::chrono::milliseconds(mFaults.delayMs), mFaults.dles};
}

Reply Printer::defaultReply(char letter) const {
    switch (letter) {
    case '?':
        return {"000", mStatus};
    case '}':
        return {"000", mVersion};
    default:
        return {"000", ""};
    }
}

void Printer::onPoll() {
    if (mPending && mFaults.silent)
        return;
    if (!mPending || mPending->dlesLeft != 0 || Clock::now() < mPending->readyAt) {
        if (mPending && mPending->dlesLeft > 0)
            --mPending->dlesLeft;
        send({DLE});
        return;
    }
    const char letter = mFaults.echo ? *mFaults.echo : mPending->letter;
    if (mFaults.garbage)
        send({0x7F, 0x55, 0xAA});
    else
        send(replyFrame(letter, mPending->reply));
    mPending.reset();
}

Bytes Printer::replyFrame(char letter, const Reply& reply) const {
    Bytes frame = {STX, mAddress != 0 ? mAddress : uint8_t(0x42), static_cast<uint8_t>(letter)};
    std::string code = reply.code;
    code.resize(3, '0');
    frame.insert(frame.end(), code.begin(), code.end());
    frame.insert(frame.end(), reply.data.begin(), reply.data.end());
    frame.push_back(ETX);
    uint8_t lrc = 0;
    for (const uint8_t b : frame)
        lrc ^= b;
    if (mFaults.badLrc)
        lrc ^= 0x5A;
    frame.push_back(static_cast<uint8_t>((lrc >> 4) + 0x30));
    frame.push_back(static_cast<uint8_t>((lrc & 0x0F) + 0x30));
    frame.push_back(EOT);
    return frame;
}

} // namespace elgsim
