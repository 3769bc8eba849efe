// Send and download transactions over real loopback sockets against the
// tool's relay, with the real osal on a GLib main loop and a step period of
// 5 ms (an always-ready loopback instead of 100 ms timers).
//
// Figures (counters of each benchmark):
//  - cpu_us_per_step: process CPU time / steps of a 300 KB send and a 300 KB
//    download (user_us_per_step: user-mode time only); ratio_to_memcpy
//    compares one step with a memcpy of the whole 300 KB message measured in
//    the same run (BM_Memcpy300K). The argument is the step period in ms: with
//    5 ms every step pays the process's wake-up from sleep; with 0 ms steps
//    follow each other (more idle steps while the relay works, so compare
//    cpu_ms_per_transaction too).
//  - write_steps / read_steps: steps of a send of N request bytes, against
//    pdu_chunks = ceil(N / 2048).
//  - peak_heap_bytes of a 300 KB download through the allocation seam, and
//    peak_budget_ratio = peak / (body buffer + one copy of the PDU + 64 KB).
#include <benchmark/benchmark.h>
#include <glib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "bench_relay.h"
#include "qx_alloc_test.h"
#include "qx_log.h"

namespace {

using Bytes = std::vector<uint8_t>;

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// User-mode CPU time only: the library's share, without the kernel's work on
// the loopback sockets.
double user_seconds() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) * 1e-6;
}

// ---------------------------------------------------------------- relay
struct RelayProc : BenchRelay {
    bool start() { return launch(RR_BINARY_DIR "/rorodire", "rr_bench_relay_"); }
    ~RelayProc() {
        terminate();
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
    // The spool file of the last notification the relay wrote.
    std::string last_notification() const {
        std::ifstream f(log);
        std::string line, file;
        while (std::getline(f, line)) {
            const size_t at = line.rfind("\"file\":\"");
            if (at != std::string::npos) file = line.substr(at + 8, line.find('"', at + 8) - at - 8);
        }
        return file;
    }
};

RelayProc &relay() {
    static RelayProc r;
    static bool started = r.start();
    (void)started;
    return r;
}

// ---------------------------------------------------------------- host
struct Host {
    GMainLoop *loop = nullptr;
    int final = -1;
    int progressReports = 0;
};
Host g_host;

void on_result(int code, int /*value*/) {
    if (code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS) {
        ++g_host.progressReports;
        return;
    }
    g_host.final = code;
    g_main_loop_quit(g_host.loop);
}

template <typename Start>
int run_transaction(Start start) {
    g_host = Host{};
    g_host.loop = g_main_loop_new(nullptr, FALSE);
    if (start()) g_main_loop_run(g_host.loop);
    g_main_loop_unref(g_host.loop);
    return g_host.final;
}

Bytes send_req(size_t bodyBytes) {
    tMMS_SendReq *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    req->Transaction_Id = fnQX_MEMSTRCOPY("bench-1");
    req->To = fnQX_MEMSTRCOPY("+15550001234");
    Bytes body = {0x84, 0xA3, 0x01, 0x01};
    uint8_t var[5];
    qx::Writer w = qx::Writer::over(var, sizeof var);
    const int n = SetUintvar(w, static_cast<uint32_t>(bodyBytes));
    body.insert(body.end(), var, var + n);
    body.push_back(0x83);
    for (size_t i = 0; i < bodyBytes; ++i) body.push_back(static_cast<uint8_t>('a' + i % 26));
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(static_cast<int>(body.size())));
    std::memcpy(req->ContentTypeAndBody, body.data(), body.size());
    req->Body_Len = static_cast<int>(body.size());
    int len = 0;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(req, &len);
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    Bytes out(pdu, pdu + len);
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    return out;
}

MmsSettings settings_for(const std::string &url) {
    return MmsSettings{"BenchUA/1.0", nullptr, nullptr, nullptr, url.c_str()};
}

int send_once(const Bytes &pdu, const std::string &url) {
    MmsSettings s = settings_for(url);
    tCPS_PduBuf buf{const_cast<uint8_t *>(pdu.data()), static_cast<int>(pdu.size())};
    return run_transaction([&] { return fnCPS_SendMMS(&buf, &s, on_result) == HBX_MSG_SEND_STARTED; });
}

constexpr size_t k300K = 300 * 1024 - 600;  // the served message stays within 307200 bytes
double g_memcpySeconds = 0;
// Steps of 5 ms instead of 100: writes and reads find the loopback ready, and
// idle steps while the relay works stay as few as a host would see.
constexpr int kStepMs = 5;                  // one memcpy of 300 KB, from BM_Memcpy300K

void setup() {
    qx::set_log_enabled(false);
    hbx_SetStepPeriod(kStepMs);
    g_time_initialize();
}

// ---------------------------------------------------------------- baseline
void BM_Memcpy300K(benchmark::State &state) {
    std::vector<uint8_t> a(307200, 0x5A), b(307200);
    const double t0 = cpu_seconds();
    long n = 0;
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
        ++n;
    }
    g_memcpySeconds = (cpu_seconds() - t0) / static_cast<double>(n);
}
BENCHMARK(BM_Memcpy300K);

// ---------------------------------------------------------------- CPU per step
void BM_Send300KCpuPerStep(benchmark::State &state) {
    setup();
    hbx_SetStepPeriod(static_cast<int>(state.range(0)));
    if (relay().url.empty()) {
        state.SkipWithError("relay did not start");
        return;
    }
    const Bytes pdu = send_req(k300K);
    double cpu = 0, user = 0;
    double steps = 0;
    for (auto _ : state) {
        const double c0 = cpu_seconds(), u0 = user_seconds();
        if (send_once(pdu, relay().url) != HBX_MSG_SEND_OK) {
            state.SkipWithError("send failed");
            return;
        }
        cpu += cpu_seconds() - c0;
        user += user_seconds() - u0;
        steps += hbx_state().stepCount;
    }
    state.counters["user_us_per_step"] = user / steps * 1e6;
    state.counters["cpu_ms_per_transaction"] = cpu / static_cast<double>(state.iterations()) * 1e3;
    state.counters["steps"] = steps / static_cast<double>(state.iterations());
    state.counters["cpu_us_per_step"] = cpu / steps * 1e6;
    if (g_memcpySeconds > 0) state.counters["ratio_to_memcpy"] = cpu / steps / g_memcpySeconds;
}
BENCHMARK(BM_Send300KCpuPerStep)->Arg(5)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Download300KCpuPerStep(benchmark::State &state) {
    setup();
    const Bytes pdu = send_req(k300K);
    hbx_SetStepPeriod(static_cast<int>(state.range(0)));
    if (relay().url.empty() || send_once(pdu, relay().url) != HBX_MSG_SEND_OK) {
        state.SkipWithError("relay or send failed");
        return;
    }
    std::ifstream f(relay().last_notification(), std::ios::binary);
    Bytes notif((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    hbx_SetStepPeriod(static_cast<int>(state.range(0)));
    MmsSettings s = settings_for(relay().url);
    double cpu = 0, user = 0, steps = 0;
    for (auto _ : state) {
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        const double c0 = cpu_seconds(), u0 = user_seconds();
        const int r = run_transaction(
            [&] { return fnCPS_DownloadMMS(&in, 3, &s, on_result, &out) == HBX_MSG_DL_STARTED; });
        cpu += cpu_seconds() - c0;
        user += user_seconds() - u0;
        steps += hbx_state().stepCount;
        if (r != HBX_MSG_DL_OK) {
            state.SkipWithError("download failed");
            return;
        }
        fnQX_Free(reinterpret_cast<void **>(&out.data));
    }
    state.counters["steps"] = steps / static_cast<double>(state.iterations());
    state.counters["cpu_us_per_step"] = cpu / steps * 1e6;
    state.counters["user_us_per_step"] = user / steps * 1e6;
    state.counters["cpu_ms_per_transaction"] = cpu / static_cast<double>(state.iterations()) * 1e3;
    if (g_memcpySeconds > 0) state.counters["ratio_to_memcpy"] = cpu / steps / g_memcpySeconds;
}
BENCHMARK(BM_Download300KCpuPerStep)->Arg(5)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---------------------------------------------------------------- steps of a send
void BM_SendSteps(benchmark::State &state) {
    setup();
    const Bytes pdu = send_req(static_cast<size_t>(state.range(0)));
    double total = 0, writes = 0;
    for (auto _ : state) {
        if (relay().url.empty() || send_once(pdu, relay().url) != HBX_MSG_SEND_OK) {
            state.SkipWithError("send failed");
            return;
        }
        // Every step that wrote bytes gave one progress report; the first
        // step of fnCPS_SendMMS only opens the request.
        writes += g_host.progressReports;
        total += hbx_state().stepCount - 1;
    }
    const double it = static_cast<double>(state.iterations());
    state.counters["pdu_bytes"] = static_cast<double>(pdu.size());
    state.counters["pdu_chunks"] = static_cast<double>((pdu.size() + 2047) / 2048);
    state.counters["write_steps"] = writes / it;
    state.counters["read_steps"] = (total - writes) / it;
}
BENCHMARK(BM_SendSteps)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(k300K)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---------------------------------------------------------------- peak heap
void BM_Download300KPeakHeap(benchmark::State &state) {
    setup();
    const Bytes pdu = send_req(k300K);
    if (relay().url.empty() || send_once(pdu, relay().url) != HBX_MSG_SEND_OK) {
        state.SkipWithError("relay or send failed");
        return;
    }
    std::ifstream f(relay().last_notification(), std::ios::binary);
    Bytes notif((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    MmsSettings s = settings_for(relay().url);
    long peak = 0, pduLen = 0;
    for (auto _ : state) {
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        const long base = qx::alloc_stats().liveBytes;
        qx::alloc_peak_reset();
        const int r = run_transaction(
            [&] { return fnCPS_DownloadMMS(&in, 3, &s, on_result, &out) == HBX_MSG_DL_STARTED; });
        peak = std::max(peak, qx::alloc_peak_bytes() - base);
        pduLen = out.length;
        if (r != HBX_MSG_DL_OK) {
            state.SkipWithError("download failed");
            return;
        }
        fnQX_Free(reinterpret_cast<void **>(&out.data));
    }
    const double bodyBuffer = 307200 + 4000;
    const double budget = bodyBuffer + static_cast<double>(pduLen) + 64 * 1024;
    state.counters["pdu_bytes"] = static_cast<double>(pduLen);
    state.counters["peak_heap_bytes"] = static_cast<double>(peak);
    state.counters["peak_budget_ratio"] = static_cast<double>(peak) / budget;
}
BENCHMARK(BM_Download300KPeakHeap)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
