#include "FontUpload.h"

namespace elgsim {

void FontUpload::start() {
    mBlock.clear();
    mLength = 0;
}

bool FontUpload::feed(uint8_t byte) {
    mBlock.push_back(byte);
    if (mBlock.size() == 4)
        mLength = (uint32_t(mBlock[0]) << 24) | (uint32_t(mBlock[1]) << 16) | (uint32_t(mBlock[2]) << 8) |
                  mBlock[3];
    return mBlock.size() >= 4 && mBlock.size() == 4 + static_cast<std::size_t>(mLength);
}

} // namespace elgsim
