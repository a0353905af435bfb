#include "dispensers/eltra/Elx.h"

#include <cstdlib>

extern "C" {
void release_reply(elx_reply** reply) {
    if (reply != nullptr) {
        std::free(*reply);
        *reply = nullptr;
    }
}
unsigned get_elx_version(void) {
    return 0x00030001;
}
}
