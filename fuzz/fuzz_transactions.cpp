// Send and download transactions against a hostile relay: the input is the
// response stream (cut into reads of varying sizes, with pauses, early
// closes and resets) that the scripted osal delivers to a send or a
// download. Whatever arrives, the transaction ends with exactly one final
// report, every socket and timer is released and no block leaks.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "hbxappglib.h"
#include "osal_scripted.h"

namespace {

namespace os = osal_script;

int g_finals = 0;
int g_lastFinal = -1;

void on_result(int code, int value) {
    if (code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS) {
        if (value < 0 || value > 99) std::abort();
        return;
    }
    ++g_finals;
    g_lastFinal = code;
}

// The notification of a download: Transaction-Id, Message-Size, location.
std::string notification(uint32_t size) {
    std::string n = "\x8C\x82\x98t1";
    n += '\0';
    n += "\x8D\x92\x8E\x04";
    for (int i = 3; i >= 0; --i) n += static_cast<char>((size >> (8 * i)) & 0xFF);
    n += "\x83http://mmsc.test/m/1";
    n += '\0';
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    FuzzInput in(data, size);
    const uint8_t *p = in.data();
    const bool download = p[0] & 1;
    const int mode = (p[0] & 2) ? 3 : 0;
    // Announced sizes around the interesting limits, or a raw one.
    static const uint32_t kSizes[] = {0, 100, 1000, 307200, 307201, 400000, 0xFFFFFFFFu, 0x7FFFFFFFu};
    const uint32_t announced = kSizes[p[1] % 8];
    const uint8_t chunking = p[2];
    const uint8_t ending = p[3];
    const std::string stream(reinterpret_cast<const char *>(p + 4), size - 4);

    os::reset();
    g_finals = 0;
    g_lastFinal = -1;
    // The stream in reads of 1 to 256 bytes (or all at once), a pause after
    // each when asked; the same bytes serve the answer POST of a download.
    const size_t step = chunking == 0 ? stream.size() + 1 : 1 + chunking;
    for (int copy = 0; copy < (download ? 2 : 1); ++copy) {
        for (size_t at = 0; at < stream.size(); at += step) {
            os::push_read_data(stream.substr(at, step));
            if (chunking & 0x80) os::push_read_result(-2);
        }
        os::push_read_result((ending & 3) == 1 ? -1 : (ending & 3) == 2 ? -2 : 0);
    }
    if (ending & 4) os::push_write_result(static_cast<int>(ending >> 3));

    MmsSettings settings{"FuzzUA", nullptr, "10.0.0.1", "8080", "http://mmsc.test/mms"};
    int started;
    tCPS_PduBuf out{};
    std::string pdu(3000, 'x');
    pdu[0] = static_cast<char>(0x8C);
    pdu[1] = static_cast<char>(0x80);
    tCPS_PduBuf sendBuf{reinterpret_cast<unsigned char *>(pdu.data()), static_cast<int>(pdu.size())};
    std::string notif = notification(announced);
    tCPS_PduBuf notifBuf{reinterpret_cast<unsigned char *>(notif.data()), static_cast<int>(notif.size())};
    if (download)
        started = fnCPS_DownloadMMS(&notifBuf, mode, &settings, on_result, &out) == HBX_MSG_DL_STARTED;
    else
        started = fnCPS_SendMMS(&sendBuf, &settings, on_result) == HBX_MSG_SEND_STARTED;
    // Every transaction ends within its step limits, at the latest at its
    // overall deadline (a download's is at most about 16200 steps).
    os::run_timers(20000);

    if (started ? g_finals != 1 : g_finals != 0) std::abort();
    if (hbx_Busy() || os::sockets_open() != 0 || os::timers_live() != 0 || os::timer_bad_frees() != 0 ||
        os::bad_socket_calls() != 0 || os::callbacks_inside_calls() != 0)
        std::abort();
    if (out.data) {
        // Only a retrieved message is handed out, and it is one of the
        // stream's own bytes with a zero after it.
        if (g_lastFinal != HBX_MSG_DL_OK || out.length <= 0 || out.data[out.length] != 0) std::abort();
        fnQX_Free(reinterpret_cast<void **>(&out.data));
    } else if (g_lastFinal == HBX_MSG_DL_OK) {
        std::abort();
    }
    return 0;
}
