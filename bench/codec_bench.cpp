// PDU codec benchmarks. Every measured operation runs beside a memcpy of the
// same bytes in the same process, so results are read as ratios to memcpy:
//   notification/<file>   fnMMS_ParseNotificationInd (and the record's release)
//   retrieve/<file>       fnMMS_ParseRetrieveConf + fnMMS_DecodeBody of `body`
//                         (and the releases)
//   sendreq/100KB         fnMMS_MakeSendReqPdu of a request with a 100 KB body
//   memcpy/<same name>    memcpy of as many bytes as the PDU above
// scripts/bench.sh runs this with repetitions and prints the median ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "bench_messages.h"
#include "qx_log.h"

namespace {

using rrbench::Bytes;
using rrbench::read_file;

std::string interop(const char *name) { return std::string(RR_INTEROP_DIR) + "/" + name; }

// memcpy of the same number of bytes into a buffer allocated once.
void bm_memcpy(benchmark::State &st, size_t n) {
    Bytes src(n, 0x5A), dst(n);
    for (auto _ : st) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(n));
}

void bm_notification(benchmark::State &st, const Bytes &pdu) {
    {
        tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(pdu.data(), static_cast<int>(pdu.size()));
        if (!n || !n->Content_Location) {
            fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
            st.SkipWithError("the notification does not decode");
            return;
        }
        fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
    }
    for (auto _ : st) {
        tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(pdu.data(), static_cast<int>(pdu.size()));
        benchmark::DoNotOptimize(n);
        fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(pdu.size()));
}

// Header and body, as the parse operation of the composer takes a message.
bool retrieve_once(const Bytes &pdu) {
    tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), static_cast<int>(pdu.size()));
    if (!r) return false;
    mmresstruct *b = r->body ? fnMMS_DecodeBody(r->body, r->Content_Size) : nullptr;
    benchmark::DoNotOptimize(b);
    const bool ok = b != nullptr;
    fnMMS_FreeDecodedBody(b);
    fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    return ok;
}

void bm_retrieve(benchmark::State &st, const Bytes &pdu) {
    if (!retrieve_once(pdu)) {
        st.SkipWithError("the message does not decode");
        return;
    }
    for (auto _ : st) retrieve_once(pdu);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(pdu.size()));
}

// A send request as the composer hands it over: header fields and a
// multipart body (SMIL, a text and a 100 KB image) already encoded.
struct SendReq {
    tMMS_SendReq *req = nullptr;
    int pdu_len = 0;
    Bytes image;
    SendReq() : image(100 * 1024) {
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
        static char smil_type[] = "application/smil";
        static char smil_data[] =
            "<smil><body><par dur=\"5000ms\"><img src=\"big.jpg\"/><text src=\"t.txt\"/></par></body></smil>";
        static char text_type[] = "text/plain", text_name[] = "t.txt", text_data[] = "A picture for you.";
        static char jpeg_type[] = "image/jpeg", jpeg_name[] = "big.jpg";
        smilstruct smil{smil_type, reinterpret_cast<uint8_t *>(smil_data), static_cast<int>(sizeof smil_data - 1)};
        tMMS_Element jpeg{};
        jpeg.File_Name = jpeg_name;
        jpeg.Content_Type = jpeg_type;
        jpeg.Data = image.data();
        jpeg.Data_Len = static_cast<int>(image.size());
        tMMS_Element text{};
        text.File_Name = text_name;
        text.Content_Type = text_type;
        text.Data = reinterpret_cast<uint8_t *>(text_data);
        text.Data_Len = static_cast<int>(sizeof text_data - 1);
        text.Charset = MMS_CHARSET_UTF8;
        text.Has_Charset = 1;
        text.next = &jpeg;
        const mmresstruct body{&smil, &text, 0};
        int body_len = 0;
        uint8_t *encoded = fnMMS_EncodeBody(&body, &body_len);
        req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
        if (!encoded || !req) {
            void *p = encoded;
            fnQX_Free(&p);
            return;
        }
        req->ContentTypeAndBody = encoded;
        req->Body_Len = body_len;
        req->Transaction_Id = fnQX_MEMSTRCOPY("bench-0001");
        req->From = fnQX_MEMSTRCOPY("+15551230001");
        req->To = fnQX_MEMSTRCOPY("+15551230002;+15551230003;friend@example.com");
        req->Subject = fnQX_MEMSTRCOPY("Benchmark \xE2\x9C\x93");
        req->Expiry = 86400;
        req->Priority = 2;
        uint8_t *pdu = fnMMS_MakeSendReqPdu(req, &pdu_len);
        if (!pdu) pdu_len = 0;
        void *p = pdu;
        fnQX_Free(&p);
    }
    ~SendReq() { fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ); }
};

void bm_sendreq(benchmark::State &st, const SendReq &s) {
    if (!s.req || s.pdu_len <= 0) {
        st.SkipWithError("the send request does not encode");
        return;
    }
    for (auto _ : st) {
        int len = 0;
        uint8_t *pdu = fnMMS_MakeSendReqPdu(s.req, &len);
        benchmark::DoNotOptimize(pdu);
        void *p = pdu;
        fnQX_Free(&p);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * s.pdu_len);
}

}  // namespace

int main(int argc, char **argv) {
    qx::set_log_enabled(false);

    static std::vector<std::pair<std::string, Bytes>> notifications, retrieves;
    for (const char *n : {"m-notification_1.ind", "m-notification_2.ind", "m-notification_3.ind",
                          "m-notification_4.ind"})
        notifications.emplace_back(n, read_file(interop(n)));
    for (const char *n : {"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf", "m-retrieve_4.conf"})
        retrieves.emplace_back(n, read_file(interop(n)));
    static SendReq send;

    const auto unit = benchmark::kNanosecond;
    for (const auto &[name, pdu] : notifications) {
        if (pdu.empty()) {
            std::fprintf(stderr, "missing %s (interop corpus at %s)\n", name.c_str(), RR_INTEROP_DIR);
            continue;
        }
        benchmark::RegisterBenchmark(("notification/" + name).c_str(), bm_notification, pdu)->Unit(unit);
        benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), bm_memcpy, pdu.size())->Unit(unit);
    }
    for (const auto &[name, pdu] : retrieves) {
        if (pdu.empty()) {
            std::fprintf(stderr, "missing %s (interop corpus at %s)\n", name.c_str(), RR_INTEROP_DIR);
            continue;
        }
        benchmark::RegisterBenchmark(("retrieve/" + name).c_str(), bm_retrieve, pdu)->Unit(unit);
        benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), bm_memcpy, pdu.size())->Unit(unit);
    }
    benchmark::RegisterBenchmark("sendreq/100KB", bm_sendreq, std::cref(send))->Unit(unit);
    benchmark::RegisterBenchmark("memcpy/100KB", bm_memcpy, static_cast<size_t>(send.pdu_len > 0 ? send.pdu_len : 1))
        ->Unit(unit);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
