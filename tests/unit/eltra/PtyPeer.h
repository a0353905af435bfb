#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal whose master side plays the device: tests queue the device's answers on it and
// read back what the code under test wrote to the slave side.
class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& slavePath() const { return mSlavePath; }
    int master() const { return mMaster; }
    void send(const std::vector<uint8_t>& bytes);
    // Everything the slave side has written so far (waits up to 10 s for at least minimum bytes).
    std::vector<uint8_t> received(std::size_t minimum = 0);

private:
    int mMaster = -1;
    int mSlave = -1;
    std::string mSlavePath;
};

// A reply frame as the printer sends it, with a correct LRC unless told otherwise.
std::vector<uint8_t> replyFrame(char letter, const std::string& code, const std::string& data,
                                bool goodLrc = true, uint8_t address = 0x42);
