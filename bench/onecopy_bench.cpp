// The copy budget of compose and parse, each figure a ratio measured in one
// run. Every benchmark times the library and its baseline interleaved in the
// same loop (thread CPU time), so a loaded machine slows both alike:
//   compose/<memory>       fnCPS_ComposeMMS action 0 of ten slides holding
//                          300 KB of media, and the release of the PDU.
//                          ratio_memcpy: over a memcpy of the PDU's bytes into
//                          a buffer kept warm; ratio_copy: over a fresh block
//                          of the PDU's size, a memcpy into it and its release
//   parse/<memory>         fnCPS_ParserMMS of that message served as an
//                          m-retrieve-conf, and the release of the host's
//                          lists. ratio_xml_copy: over a fresh copy of the PDU
//                          plus xmlReadMemory + xmlFreeDoc of its SMIL (the
//                          stand-in for another codec's decode); ratio_memcpy
//                          as above
//   interop/<memory>       the same for the operator retrieve-confs together
//   notification/<memory>  fnCPS_ParseMMSNotification of the operator
//                          notifications and the record's release, over a
//                          fresh copy of their bytes
// <memory> is "fresh" (glibc maps large blocks and gives freed memory back to
// the kernel, so every call faults its pages in again) or "reused" (freed
// memory stays with the process), set with mallopt per batch.
// peak_heap_x_pdu: the most bytes live through the allocation seam during one
// call, over the PDU's size (the host's copies included; for several
// messages, those of the largest).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "bench_messages.h"
#include "qx_alloc_test.h"
#include "qx_log.h"
#include "rorodire.h"

#ifdef RR_HAVE_LIBXML2
#include <libxml/parser.h>
#endif

namespace {

using rrbench::Bytes;

double thread_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

const bool kQuiet = (qx::set_log_enabled(false), true);

Bytes interop(const char *name) { return rrbench::interop_file(name); }

// Fresh: blocks from 64 KB on are mapped for each call and unmapped after;
// the heap top is trimmed at once. Reused: nothing goes back to the kernel.
void set_memory(bool fresh) {
    mallopt(M_MMAP_THRESHOLD, fresh ? 64 * 1024 : 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, fresh ? 0 : 1 << 30);
}

// A fresh block of n bytes, a memcpy into it and its release.
void fresh_copy(const Bytes &src) {
    void *p = std::malloc(src.size());
    std::memcpy(p, src.data(), src.size());
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
    std::free(p);
}

struct Pair {
    double ours = 0;
    double base = 0;
};

// Times ours() and base() interleaved; returns the sums.
template <typename Ours, typename Base>
Pair interleave(benchmark::State &st, bool fresh, Ours &&ours, Base &&base) {
    set_memory(fresh);
    Pair t;
    for (auto _ : st) {
        const double t0 = thread_ns();
        if (!ours()) {
            st.SkipWithError("call failed");
            break;
        }
        const double t1 = thread_ns();
        base();
        t.ours += t1 - t0;
        t.base += thread_ns() - t1;
    }
    set_memory(false);
    return t;
}

// memcpy of n bytes into a warm buffer, ns (best of a few rounds).
double warm_memcpy_ns(size_t n) {
    Bytes src(n, 0x5A), dst(n);
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        const double t0 = thread_ns();
        for (int i = 0; i < 50; ++i) {
            std::memcpy(dst.data(), src.data(), n);
            benchmark::ClobberMemory();
        }
        best = std::min(best, (thread_ns() - t0) / 50);
    }
    return best;
}

// ---------------------------------------------------------------- the message
rrbench::Message &message() {
    static rrbench::Message m = rrbench::ten_slides_300k();
    return m;
}

Bytes compose_once() {
    tCPS_MmsData d = rrbench::send_request_for(message());
    tCPS_PduBuf out{};
    if (fnCPS_ComposeMMS(&d, &out, 0) != 0) return {};
    Bytes pdu(out.data, out.data + out.length);
    rrhost::release(out.data);
    return pdu;
}

// The SMIL text of a retrieve-conf (empty when it has none).
std::string smil_of(const Bytes &pdu) {
    std::string out;
    tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), static_cast<int>(pdu.size()));
    if (!r) return out;
    if (mmresstruct *b = fnMMS_DecodeBody(r->body, r->Content_Size)) {
        if (b->Smil && b->Smil->Data) out.assign(reinterpret_cast<const char *>(b->Smil->Data), b->Smil->Data_Len);
        fnMMS_FreeDecodedBody(b);
    }
    fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    return out;
}

void xml_read(const std::string &smil) {
#ifdef RR_HAVE_LIBXML2
    if (smil.empty()) return;
    xmlDocPtr doc = xmlReadMemory(smil.data(), static_cast<int>(smil.size()), "smil.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
#else
    (void)smil;
#endif
}

bool compose_call() {
    tCPS_MmsData d = rrbench::send_request_for(message());
    tCPS_PduBuf out{};
    if (fnCPS_ComposeMMS(&d, &out, 0) != 0) return false;
    rrhost::release(out.data);
    return true;
}

bool parse_call(const Bytes &pdu) {
    tCPS_MmsData d{};
    tCPS_PduBuf in{const_cast<uint8_t *>(pdu.data()), static_cast<int>(pdu.size())};
    const int rc = fnCPS_ParserMMS(&d, &in);
    rrhost::free_lists(d);
    rrhost::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
    return rc == 0;
}

// Most bytes live through the seam during call(), over `size`.
template <typename Call>
double peak_multiple(Call &&call, size_t size) {
    const long live = qx::alloc_stats().liveBytes;
    qx::alloc_peak_reset();
    call();
    return static_cast<double>(qx::alloc_peak_bytes() - live) / static_cast<double>(size);
}

void finish(benchmark::State &st, const Pair &t, double warm, const char *baseName) {
    if (!st.iterations() || t.base <= 0) return;
    const double n = static_cast<double>(st.iterations());
    st.counters[baseName] = t.ours / t.base;
    st.counters["ratio_memcpy"] = t.ours / n / warm;
}

// ---------------------------------------------------------------- benchmarks
void bm_compose(benchmark::State &st, bool fresh) {
    const Bytes pdu = compose_once();
    if (pdu.empty()) return st.SkipWithError("compose failed");
    const double warm = warm_memcpy_ns(pdu.size());
    st.counters["peak_heap_x_pdu"] = peak_multiple(compose_call, pdu.size());
    const Pair t = interleave(st, fresh, compose_call, [&pdu] { fresh_copy(pdu); });
    finish(st, t, warm, "ratio_copy");
}

void bm_parse(benchmark::State &st, std::vector<Bytes> pdus, bool fresh) {
    size_t bytes = 0;
    std::vector<std::string> smils;
    for (const Bytes &p : pdus) {
        if (p.empty()) return st.SkipWithError("message missing");
        bytes += p.size();
        smils.push_back(smil_of(p));
    }
    const double warm = warm_memcpy_ns(bytes);
    // The peak of the largest message (a small one shows fixed costs only).
    const Bytes *largest = &pdus.front();
    for (const Bytes &p : pdus)
        if (p.size() > largest->size()) largest = &p;
    st.counters["peak_heap_x_pdu"] = peak_multiple([largest] { parse_call(*largest); }, largest->size());
    const Pair t = interleave(
        st, fresh,
        [&pdus] {
            bool ok = true;
            for (const Bytes &p : pdus) ok = parse_call(p) && ok;
            return ok;
        },
        [&] {
            for (size_t i = 0; i < pdus.size(); ++i) {
                fresh_copy(pdus[i]);
                xml_read(smils[i]);
            }
        });
    finish(st, t, warm, "ratio_xml_copy");
}

void bm_notification(benchmark::State &st, bool fresh) {
    std::vector<Bytes> pdus;
    size_t bytes = 0;
    for (const char *f : {"m-notification_1.ind", "m-notification_2.ind", "m-notification_3.ind", "m-notification_4.ind"}) {
        pdus.push_back(interop(f));
        bytes += pdus.back().size();
    }
    const double warm = warm_memcpy_ns(bytes);
    const Pair t = interleave(
        st, fresh,
        [&pdus] {
            bool ok = true;
            for (const Bytes &p : pdus) {
                tCPS_PduBuf in{const_cast<uint8_t *>(p.data()), static_cast<int>(p.size())};
                tMMS_NotifyInd *n = fnCPS_ParseMMSNotification(&in);
                ok = ok && n;
                fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
            }
            return ok;
        },
        [&pdus] {
            for (const Bytes &p : pdus) fresh_copy(p);
        });
    finish(st, t, warm, "ratio_copy");
}

int register_all() {
    const std::vector<Bytes> composed = {rrbench::retrieve_conf_300k()};
    const std::vector<Bytes> operators = {interop("m-retrieve_1.conf"), interop("m-retrieve_2.conf"),
                                          interop("m-retrieve_3.conf"), interop("m-retrieve_4.conf")};
    for (const bool fresh : {true, false}) {
        const std::string mem = fresh ? "fresh" : "reused";
        benchmark::RegisterBenchmark(("compose/" + mem).c_str(), bm_compose, fresh);
        benchmark::RegisterBenchmark(("parse/" + mem).c_str(), bm_parse, composed, fresh);
        benchmark::RegisterBenchmark(("interop/" + mem).c_str(), bm_parse, operators, fresh);
        benchmark::RegisterBenchmark(("notification/" + mem).c_str(), bm_notification, fresh);
    }
    return 0;
}

const int kRegistered = register_all();

}  // namespace

BENCHMARK_MAIN();
