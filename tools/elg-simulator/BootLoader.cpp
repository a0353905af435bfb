#include "BootLoader.h"

namespace elgsim {

BootLoader::BootLoader(Sender send, Recorder record) : mSend(std::move(send)), mRecord(std::move(record)) {}

void BootLoader::enter() {
    mState = State::Idle;
    mPacket.clear();
    mRecord("boot enter");
}

bool BootLoader::feed(uint8_t byte) {
    switch (mState) {
    case State::Idle:
        if (byte == 0x02) {
            mRecord("boot binary");
            mSend({0x06});
        } else if (byte == 0x00) {
            mState = State::Command;
        } else {
            mPacket = {byte};
            mExpected = byte;
            mState = State::PacketFlag;
        }
        return true;
    case State::Command:
        mState = State::Idle;
        if (byte == 0x00) {
            mRecord("boot exit");
            return false;
        }
        if (byte == 0x02) {
            mRecord("boot erase");
            mFlash = {};
            mSend(Bytes(244, '*'));
            mSend({'#'});
        } else if (byte == 0x03) {
            mRecord("boot crc");
            const uint16_t crc = mCrc ? *mCrc : mFlash.crc();
            mSend({static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc & 0xFF)});
        } else if (byte == 0x01) {
            // A record without data bytes.
            mPacket = {0x00, 0x01};
            mExpected = 0;
            mState = State::PacketAddress;
        }
        return true;
    case State::PacketFlag:
        // Anything but a record header (for example an ELX poll) is ignored.
        if (byte == 0x01) {
            mPacket.push_back(byte);
            mState = State::PacketAddress;
        } else {
            mState = State::Idle;
        }
        return true;
    case State::PacketAddress:
        mPacket.push_back(byte);
        if (mPacket.size() == 5) {
            if (mExpected == 0)
                finishPacket();
            else
                mState = State::PacketData;
        }
        return true;
    case State::PacketData:
        mPacket.push_back(byte);
        if (mPacket.size() == 5 + mExpected)
            finishPacket();
        return true;
    }
    return true;
}

void BootLoader::finishPacket() {
    mRecord("boot packet " + toHex(mPacket));
    mFlash.writePacket(mPacket);
    mSend({mPacketAnswer});
    mState = State::Idle;
    mPacket.clear();
}

} // namespace elgsim
