// Composer benchmarks, each beside a memcpy of the bytes it is about, in the
// same run; results are read as ratios to that memcpy:
//   compose/10slides-300KB  fnCPS_ComposeMMS action 0 of ten slides holding
//                           300 KB of media (memcpy: the media bytes);
//                           target at most 6 x memcpy
//   parse/<file>            fnCPS_ParserMMS of a retrieved message and the
//                           release of the host lists (memcpy: the PDU);
//                           target at most 5 x memcpy
//   memcpy/<same name>      the memcpy baseline
// Times are thread CPU times. Counters: ratio, this run's time per call over the time of a memcpy of
// the same bytes into a warm buffer measured in the same process right
// before; ratio_fresh, the same over a memcpy into a newly allocated block
// (the cost of each copy the contract forces); and for parse
// peak_heap_x_pdu, the most bytes live through the allocation seam during
// one call over the PDU size (target at most 5).
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"
#include "qx_log.h"
#include "rorodire_host.h"
#include "rorodire.h"

namespace {

using Bytes = std::vector<uint8_t>;
// Thread CPU time: the machine running the benchmarks may be shared.
struct Clock {
    using duration = std::chrono::nanoseconds;
    static std::chrono::time_point<Clock, duration> now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::time_point<Clock, duration>(duration(ts.tv_sec * 1000000000LL + ts.tv_nsec));
    }
};

const bool kQuiet = (qx::set_log_enabled(false), true);

Bytes read_file(const std::string &path) {
    Bytes b;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) b.insert(b.end(), chunk, chunk + n);
    std::fclose(f);
    return b;
}

// Nanoseconds of one memcpy of n bytes (best of a few rounds): into a
// buffer allocated once (warm), or into a new block each time, allocated
// through the library's seam and released again (fresh: what a copy the
// library hands out costs, page faults of large blocks included).
double memcpy_ns(size_t n, bool fresh = false) {
    Bytes src(n, 0x5A), dst(n);
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        const int reps = 50;
        const auto t0 = Clock::now();
        for (int i = 0; i < reps; ++i) {
            if (fresh) {
                void *p = fnQX_Malloc(static_cast<int>(n));
                std::memcpy(p, src.data(), n);
                benchmark::ClobberMemory();
                fnQX_Free(&p);
            } else {
                std::memcpy(dst.data(), src.data(), n);
                benchmark::ClobberMemory();
            }
        }
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / reps;
        if (ns < best) best = ns;
    }
    return best;
}

void bm_memcpy(benchmark::State &st, size_t n) {
    Bytes src(n, 0x5A), dst(n);
    for (auto _ : st) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(n));
}

// ---------------------------------------------------------------- compose
struct Message {
    std::vector<Bytes> media;
    std::vector<std::string> names;
    std::vector<tCPS_Slide> slides;
    size_t mediaBytes = 0;
};

Message ten_slides_300k() {
    Message m;
    m.media.reserve(20);
    m.names.reserve(20);
    m.slides.resize(10);
    for (int i = 0; i < 10; ++i) {
        m.media.emplace_back(20 * 1024, static_cast<uint8_t>(i));
        m.names.push_back("image" + std::to_string(i) + ".jpg");
        m.media.emplace_back(10 * 1024, static_cast<uint8_t>(i + 100));
        m.names.push_back("audio" + std::to_string(i) + ".amr");
    }
    static char text[] = "A caption for the slide";
    for (int i = 0; i < 10; ++i) {
        tCPS_Slide &s = m.slides[static_cast<size_t>(i)];
        s = tCPS_Slide{};
        Bytes &img = m.media[static_cast<size_t>(2 * i)];
        Bytes &aud = m.media[static_cast<size_t>(2 * i + 1)];
        s.Has_Image = s.Has_Audio = s.Has_Text = 1;
        rrhost::set_item(s.Image, img.data(), static_cast<int>(img.size()), "image/jpeg",
                         m.names[static_cast<size_t>(2 * i)].c_str(), 0, 5000);
        rrhost::set_item(s.Audio, aud.data(), static_cast<int>(aud.size()), "audio/amr",
                         m.names[static_cast<size_t>(2 * i + 1)].c_str(), 0, 5000);
        s.Text = tCPS_TextItem{text, 0, 5000, static_cast<int>(sizeof text - 1), {}};
        s.Duration = 6000;
        m.mediaBytes += img.size() + aud.size();
    }
    rrhost::link(m.slides.data(), m.slides.size());
    return m;
}

tCPS_MmsData header_for(Message &m) {
    tCPS_MmsData d{};
    d.Header.Send_Req.Transaction_Id = const_cast<char *>("bench-1");
    d.Header.Send_Req.To = const_cast<char *>("+4917012345");
    d.Header.Send_Req.Sender_Visibility = 1;
    d.Header.Send_Req.Priority = 1;
    d.pSlide_List = m.slides.data();
    return d;
}

void bm_compose(benchmark::State &st) {
    Message m = ten_slides_300k();
    const double base = memcpy_ns(m.mediaBytes);
    const double fresh = memcpy_ns(m.mediaBytes, true);
    double total = 0;
    for (auto _ : st) {
        tCPS_MmsData d = header_for(m);
        tCPS_PduBuf out{};
        const auto t0 = Clock::now();
        const int rc = fnCPS_ComposeMMS(&d, &out, 0);
        total += std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        if (rc != 0) {
            st.SkipWithError("compose failed");
            break;
        }
        void *p = out.data;
        fnQX_Free(&p);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(m.mediaBytes));
    if (st.iterations()) {
        st.counters["ratio"] = total / static_cast<double>(st.iterations()) / base;
        st.counters["ratio_fresh"] = total / static_cast<double>(st.iterations()) / fresh;
    }
}

// ---------------------------------------------------------------- parse
void free_result(tCPS_MmsData &d) {
    rrhost::free_lists(d);
    rrhost::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
}

// The composed 300 KB message served as an m-retrieve-conf.
Bytes retrieve_conf_300k() {
    Message m = ten_slides_300k();
    tCPS_MmsData d = header_for(m);
    tCPS_PduBuf out{};
    if (fnCPS_ComposeMMS(&d, &out, 0) != 0) return {};
    Bytes conf = {0x8C, 0x84, 0x98, 'T', 0, 0x8D, 0x92, 0x8B, 'M', 0};
    tMMS_SendReq *s = fnMMS_ParseSendContent(out.data, out.length);
    if (s) conf.insert(conf.end(), s->ContentTypeAndBody, s->ContentTypeAndBody + s->Body_Len);
    fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
    void *p = out.data;
    fnQX_Free(&p);
    return conf;
}

void bm_parse(benchmark::State &st, const Bytes &pdu) {
    if (pdu.empty()) {
        st.SkipWithError("message missing");
        return;
    }
    const double base = memcpy_ns(pdu.size());
    const double fresh = memcpy_ns(pdu.size(), true);
    Bytes copy = pdu;
    tCPS_PduBuf in{copy.data(), static_cast<int>(copy.size())};
    {
        // One call measured for its peak heap.
        tCPS_MmsData d{};
        const long live = qx::alloc_stats().liveBytes;
        qx::alloc_peak_reset();
        if (fnCPS_ParserMMS(&d, &in) != 0) {
            st.SkipWithError("parse failed");
            return;
        }
        st.counters["peak_heap_x_pdu"] =
            static_cast<double>(qx::alloc_peak_bytes() - live) / static_cast<double>(pdu.size());
        free_result(d);
    }
    double total = 0;
    for (auto _ : st) {
        tCPS_MmsData d{};
        const auto t0 = Clock::now();
        fnCPS_ParserMMS(&d, &in);
        free_result(d);
        total += std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(pdu.size()));
    if (st.iterations()) {
        st.counters["ratio"] = total / static_cast<double>(st.iterations()) / base;
        st.counters["ratio_fresh"] = total / static_cast<double>(st.iterations()) / fresh;
    }
}

int register_all() {
    const size_t media = ten_slides_300k().mediaBytes;
    benchmark::RegisterBenchmark("compose/10slides-300KB", bm_compose);
    benchmark::RegisterBenchmark("memcpy/10slides-300KB", bm_memcpy, media);
    static std::vector<std::pair<std::string, Bytes>> pdus;
    for (const char *f : {"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf", "m-retrieve_4.conf"})
        pdus.emplace_back(f, read_file(std::string(RR_INTEROP_DIR) + "/" + f));
    pdus.emplace_back("composed-300KB", retrieve_conf_300k());
    for (auto &[name, pdu] : pdus) {
        benchmark::RegisterBenchmark(("parse/" + name).c_str(), bm_parse, pdu);
        benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), bm_memcpy, pdu.size());
    }
    return 0;
}

const int kRegistered = register_all();

}  // namespace

BENCHMARK_MAIN();
