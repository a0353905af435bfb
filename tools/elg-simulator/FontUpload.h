#pragma once

#include "Hex.h"

#include <cstdint>

namespace elgsim {

// Raw font data that follows an acknowledged font command outside the ELX framing: a 4-byte length
// (most significant first) and that many bytes of font file.
class FontUpload {
public:
    void start();
    // Returns true when the whole block has arrived.
    bool feed(uint8_t byte);
    const Bytes& block() const { return mBlock; }

private:
    Bytes mBlock;
    uint32_t mLength = 0;
};

} // namespace elgsim
