#pragma once

// ELX: the serial link to the Eltra Sistemi ELG15019 printer. Plain records and free functions;
// every failure is a return value, nothing throws.

#include <atomic>
#include <cstdio>
#include <sys/time.h>
#include <termios.h>

enum : unsigned char {
    ELX_DC2 = 0x12,
    ELX_STX = 0x02,
    ELX_ETX = 0x03,
    ELX_EOT = 0x04,
    ELX_ENQ = 0x05,
    ELX_ACK = 0x06,
    ELX_DLE = 0x10,
};

// Address byte sent in command frames when the configured address is 0.
constexpr unsigned char ELX_DEFAULT_ADDRESS = 0x42;

// Room for reply data; one byte is kept free so that the data always reads as NUL-terminated text.
constexpr int ELX_DATA_SIZE = 1024;
constexpr int ELX_MAX_DATA = ELX_DATA_SIZE - 1;

// One reply of the printer: a DLE answer or a reply frame. Created zero-filled by poll_dev,
// released with release_reply.
struct elx_reply {
    char type;    // ELX_DLE or ELX_STX
    char cmd;     // echoed command letter
    char addr;    // address byte
    char code[3]; // three status characters
    char data[ELX_DATA_SIZE];
    // Kept wider than 8 bits so that a long reply does not report a wrapped length.
    unsigned short data_len;
    int lrc;    // (first LRC character << 8) | second, not checked
    char error; // 0 complete; 1 polls exhausted (last DLE answer); 2 command not acknowledged
};

// The link's configuration and state; one per printer, used by one thread at a time.
struct elx_conf {
    int poll_interval_ms;
    int max_polls;
    char address;
    struct timeval read_timeout;
    signed char max_retries;
    char debug;
    char log_name[128];
    FILE* log;
    char port[256];
    unsigned baud;
    int fd;
    // Set by the owner to make a blocked exchange give up: every wait of the link is sliced and
    // checks this flag, so a worker abandoned by its caller returns shortly instead of being killed.
    // Null means the exchange is never abandoned.
    const std::atomic<bool>* abandon;
};

// One command built by the caller; the link only reads it.
struct elx_cmd {
    char cmd;
    const char* data; // not NUL-terminated
    int data_len;
};

extern "C" {

void init_conf(elx_conf* conf, char debug);
int open_dev(elx_conf* conf);
int close_dev(elx_conf* conf);
void consume_usb_inbuffer(elx_conf* conf);
int rdch_dev(elx_conf* conf, unsigned char* out);
int wrch_dev(elx_conf* conf, unsigned char byte);
int send_cmd(const elx_cmd* cmd, elx_conf* conf);
elx_reply* poll_dev(elx_conf* conf, elx_reply** out);
elx_reply* wait_reply(elx_conf* conf, elx_reply** out, void (*callback)(int));
elx_reply* send_cmd_and_wait_reply(const elx_cmd* cmd, elx_conf* conf, elx_reply** out,
                                   void (*callback)(int));
void release_reply(elx_reply** reply);
void dbg(elx_conf* conf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Newly allocated with malloc; the caller frees it.
char* elx_timefmt(void);
unsigned get_elx_version(void);

} // extern "C"

// True when the owner has asked the current exchange to give up.
inline bool elx_abandoned(const elx_conf* conf) {
    return conf->abandon != nullptr && conf->abandon->load(std::memory_order_acquire);
}
