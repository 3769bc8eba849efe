// A 300 KB download over loopback, side by side with a plain socket read of
// the same bytes from the same server in the same run. A server thread in
// this process answers every GET with the message (HTTP/1.0, Content-Length)
// and every POST (the m-notifyresp-ind) with an empty 200.
//
// Figures (counters):
//  - BM_PlainSocketRead300K: the baseline, one recv loop into a buffer of the
//    response's size; cpu_ms of one read.
//  - BM_Download300K: the library's download with the real osal on a GLib
//    main loop, steps 1 ms apart (not 100) so the time is the work, not
//    the sleeping:
//      copies_per_byte   (bytes taken from sockets + bytes copied between
//                        the client's buffers) / PDU bytes; the plain read
//                        is 1 by this count
//      peak_heap_bytes   highest live heap through the allocation seam
//                        during the download, and peak_budget_ratio against
//                        1.1 x PDU + 64 KB (<= 1 keeps the budget)
//      cpu_ratio         CPU time of the download / CPU time of the plain
//                        read (both include the server thread's sending)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "qx_alloc_test.h"
#include "qx_log.h"
#include "qx_stack_http.h"

namespace {

using Bytes = std::vector<uint8_t>;

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// An m-retrieve-conf of `total` bytes: a multipart body of parts of 60000
// bytes at most, so the whole-message check walks real entries.
Bytes retrieve_conf(size_t total) {
    Bytes b = {0x8C, 0x84, 0x98};
    for (char c : std::string("bench-1")) b.push_back(static_cast<uint8_t>(c));
    b.insert(b.end(), {0x00, 0x8D, 0x92, 0x84, 0xA3});
    const size_t parts = 6;
    b.push_back(static_cast<uint8_t>(parts));
    const size_t room = total - b.size();
    const size_t each = room / parts - 5;  // headers length (1), data uintvar (3), content type (1)
    for (size_t i = 0; i < parts; ++i) {
        b.push_back(0x01);
        uint8_t var[5];
        qx::Writer w = qx::Writer::over(var, sizeof var);
        const int n = SetUintvar(w, static_cast<uint32_t>(each));
        b.insert(b.end(), var, var + n);
        b.push_back(0x83);  // text/plain
        for (size_t k = 0; k < each; ++k) b.push_back(static_cast<uint8_t>('a' + (i + k) % 26));
    }
    return b;
}

Bytes notification(const std::string &location, uint32_t size) {
    Bytes b = {0x8C, 0x82, 0x98};
    for (char c : std::string("bench-1")) b.push_back(static_cast<uint8_t>(c));
    b.insert(b.end(), {0x00, 0x8D, 0x92, 0x8E, 0x04, static_cast<uint8_t>(size >> 24),
                       static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size),
                       0x83});
    for (char c : location) b.push_back(static_cast<uint8_t>(c));
    b.push_back(0x00);
    return b;
}

// ---------------------------------------------------------------- server
class Server {
public:
    explicit Server(const Bytes &message) {
        response_ = "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
                    std::to_string(message.size()) + "\r\n\r\n" + std::string(message.begin(), message.end());
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    size_t response_size() const { return response_.size(); }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c >= 0) serve(c);
        }
    }
    void serve(int c) {
        std::string in;
        char buf[4096];
        while (in.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
        }
        const bool get = in.rfind("GET ", 0) == 0;
        if (!get) {  // the answer: read its body, then an empty 200
            const size_t at = in.find("Content-Length: ");
            const size_t want = at == std::string::npos ? 0 : std::stoul(in.substr(at + 16));
            size_t have = in.size() - in.find("\r\n\r\n") - 4;
            while (have < want) {
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                have += static_cast<size_t>(n);
            }
        }
        const std::string &out = get ? response_ : kEmpty;
        for (size_t sent = 0; sent < out.size();) {
            const ssize_t n = ::send(c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        close(c);
    }

    const std::string kEmpty = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    std::string response_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

constexpr size_t kMessage = 300 * 1024;
double g_plainSeconds = 0;

Server &server() {
    static Bytes message = retrieve_conf(kMessage);
    static Server s(message);
    return s;
}

// ---------------------------------------------------------------- baseline
void BM_PlainSocketRead300K(benchmark::State &state) {
    if (!server().ok()) {
        state.SkipWithError("server did not start");
        return;
    }
    std::vector<uint8_t> into(server().response_size());
    const std::string get = "GET /m HTTP/1.0\r\n\r\n";
    double cpu = 0;
    for (auto _ : state) {
        const double c0 = cpu_seconds();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(server().port());
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::send(fd, get.data(), get.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(get.size())) {
            close(fd);
            state.SkipWithError("plain read failed");
            return;
        }
        size_t got = 0;
        for (ssize_t n; got < into.size() && (n = recv(fd, into.data() + got, into.size() - got, 0)) > 0;)
            got += static_cast<size_t>(n);
        close(fd);
        cpu += cpu_seconds() - c0;
        benchmark::DoNotOptimize(into.data());
        if (got != into.size()) {
            state.SkipWithError("plain read short");
            return;
        }
    }
    g_plainSeconds = cpu / static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = g_plainSeconds * 1e3;
    state.counters["copies_per_byte"] = 1.0;
}
BENCHMARK(BM_PlainSocketRead300K)->Unit(benchmark::kMillisecond)->Iterations(20);

// ---------------------------------------------------------------- the download
struct Host {
    GMainLoop *loop = nullptr;
    int final = -1;
};
Host g_host;

void on_result(int code, int) {
    if (code == HBX_MSG_DL_PROGRESS) return;
    g_host.final = code;
    g_main_loop_quit(g_host.loop);
}

void BM_Download300K(benchmark::State &state) {
    if (!server().ok()) {
        state.SkipWithError("server did not start");
        return;
    }
    qx::set_log_enabled(getenv("RR_BENCH_LOG") != nullptr);
    hbx_SetStepPeriod(1);
    g_time_initialize();
    const std::string base = "http://127.0.0.1:" + std::to_string(server().port());
    const std::string location = base + "/m/1";
    const std::string relay = base + "/mms";
    Bytes notif = notification(location, static_cast<uint32_t>(kMessage));
    MmsSettings s{"BenchUA/1.0", nullptr, nullptr, nullptr, relay.c_str()};
    double cpu = 0, copies = 0;
    long peak = 0, pduLen = 0;
    for (auto _ : state) {
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        QXCopyCount &count = fnQXStack_CopyCount();
        count = QXCopyCount{0, 0};
        const long live = qx::alloc_stats().liveBytes;
        qx::alloc_peak_reset();
        g_host = Host{};
        g_host.loop = g_main_loop_new(nullptr, FALSE);
        const double c0 = cpu_seconds();
        if (fnCPS_DownloadMMS(&in, 3, &s, on_result, &out) == HBX_MSG_DL_STARTED) g_main_loop_run(g_host.loop);
        cpu += cpu_seconds() - c0;
        g_main_loop_unref(g_host.loop);
        peak = std::max(peak, qx::alloc_peak_bytes() - live);
        if (g_host.final != HBX_MSG_DL_OK || !out.data) {
            state.SkipWithError("download failed");
            return;
        }
        pduLen = out.length;
        copies += static_cast<double>(count.fromSocket + count.copied) / static_cast<double>(out.length);
        fnQX_Free(reinterpret_cast<void **>(&out.data));
    }
    const double it = static_cast<double>(state.iterations());
    state.counters["pdu_bytes"] = static_cast<double>(pduLen);
    state.counters["copies_per_byte"] = copies / it;
    state.counters["peak_heap_bytes"] = static_cast<double>(peak);
    state.counters["peak_budget_ratio"] = static_cast<double>(peak) / (1.1 * static_cast<double>(pduLen) + 65536.0);
    state.counters["cpu_ms"] = cpu / it * 1e3;
    if (g_plainSeconds > 0) state.counters["cpu_ratio"] = cpu / it / g_plainSeconds;
    hbx_SetStepPeriod(HBX_STEP_PERIOD_MS);
}
BENCHMARK(BM_Download300K)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
