// Presentation parser benchmarks, read as ratios to libxml2 in the same run:
//   view/<file>        fnPAR_ParseMMS + every query + fnPAR_Release of the
//                      body of an interop message (diagnostic log off)
//   xml/<file>         xmlReadMemory + xmlFreeDoc of the same SMIL text
//   pars/<size>        the view of a body whose SMIL holds many pars
//   xml-pars/<size>    libxml2 on that SMIL text
//   tag/<size>         the view of a body whose SMIL holds one huge tag
//   xml-tag/<size>     libxml2 on that SMIL text
// bytes_per_second is counted over the SMIL text, so ns per byte of the
// presentation is 1e9 / bytes_per_second; sizes 10 KB, 100 KB and 1 MB show
// whether time grows linearly.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MMSPs_SlideView.h"
#include "bench_messages.h"
#include "qx_log.h"

#ifdef RR_HAVE_LIBXML2
#include <libxml/parser.h>
#endif

namespace {

using rrbench::Bytes;
using rrbench::read_file;

// Reads the whole view the way the composer does.
void read_view() {
    fnPAR_FirstSlide();
    while (!fnPAR_IsEmpty()) {
        benchmark::DoNotOptimize(fnPAR_GetDur());
        tPAR_TextInfo t{};
        tPAR_ImgInfo i{};
        tPAR_AudInfo a{};
        tPAR_VideoInfo v{};
        uint32_t c;
        benchmark::DoNotOptimize(fnPAR_GetVideo(&v) + fnPAR_GetImg(&i) + fnPAR_GetAud(&a) + fnPAR_GetText(&t) +
                                 fnPAR_GetBgColor(&c) + fnPAR_GetForeColor(&c));
        if (!fnPAR_NextSlide()) break;
    }
    const int n = fnPAR_GetAttachmentNum();
    for (int k = 0; k < n; ++k) {
        tPAR_AttachInfo a{};
        benchmark::DoNotOptimize(fnPAR_GetAttachment(&a, static_cast<uint32_t>(k)));
    }
}

void bm_view(benchmark::State &st, const Bytes &body, size_t smilLen) {
    if (fnPAR_ParseMMS(body.data(), static_cast<int>(body.size())) != PAR_VIEW_BUILT) {
        st.SkipWithError("the body gives no view");
        fnPAR_Release();
        return;
    }
    fnPAR_Release();
    for (auto _ : st) {
        benchmark::DoNotOptimize(fnPAR_ParseMMS(body.data(), static_cast<int>(body.size())));
        read_view();
        fnPAR_Release();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(smilLen));
}

#ifdef RR_HAVE_LIBXML2
void bm_xml(benchmark::State &st, const std::string &smil) {
    for (auto _ : st) {
        xmlDocPtr doc = xmlReadMemory(smil.data(), static_cast<int>(smil.size()), "smil.xml", nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(smil.size()));
}
#endif

// A body of the SMIL text and the two parts it refers to, by the library's encoder.
Bytes make_body(const std::string &smil) {
    std::string names[2] = {"a.jpg", "t.txt"};
    std::string types[2] = {"image/jpeg", "text/plain"};
    std::string data[2] = {std::string(2000, 'J'), "hello"};
    tMMS_Element parts[2]{};
    for (int k = 0; k < 2; ++k) {
        parts[k].File_Name = names[k].data();
        parts[k].Content_Type = types[k].data();
        parts[k].Data = reinterpret_cast<uint8_t *>(data[k].data());
        parts[k].Data_Len = static_cast<int>(data[k].size());
    }
    parts[0].next = &parts[1];
    std::string text = smil;
    smilstruct s{const_cast<char *>("application/smil"), reinterpret_cast<uint8_t *>(text.data()),
                 static_cast<int>(text.size())};
    mmresstruct rec{&s, parts, 0};
    int len = 0;
    uint8_t *enc = fnMMS_EncodeBody(&rec, &len);
    Bytes out(enc, enc + len);
    void *v = enc;
    fnQX_Free(&v);
    return out;
}

const char *kHead =
    "<smil><head><layout><root-layout width=\"176\" height=\"208\"/>"
    "<region id=\"Image\" left=\"0\" top=\"0\" width=\"176\" height=\"144\" fit=\"meet\"/>"
    "<region id=\"Text\" left=\"0\" top=\"144\" width=\"176\" height=\"64\" fit=\"scroll\"/></layout></head><body>";

std::string many_pars(size_t size) {
    std::string s = kHead;
    const std::string par =
        "<par dur=\"5000ms\"><img src=\"a.jpg\" region=\"Image\" begin=\"0\" end=\"4000ms\"/>"
        "<text src=\"t.txt\" region=\"Text\"/></par>\n";
    while (s.size() + par.size() + 14 < size) s += par;
    return s + "</body></smil>";
}

std::string one_tag(size_t size) {
    std::string s = std::string(kHead) + "<par dur=\"5s\"><img src=\"a.jpg\" alt=\"";
    const std::string tail = "\"/></par></body></smil>";
    s += std::string(size - s.size() - tail.size(), 'x');
    return s + tail;
}

struct Registrar {
    Registrar() {
        qx::set_log_enabled(false);
        static std::vector<Bytes> keep;
        static std::vector<std::string> texts;
        keep.reserve(32);
        texts.reserve(32);
        for (const char *f : {"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf", "m-retrieve_4.conf"}) {
            const Bytes pdu = read_file(std::string(RR_INTEROP_DIR) + "/" + f);
            tMMS_RetrieveConf *r = pdu.empty() ? nullptr : fnMMS_ParseRetrieveConf(pdu.data(), static_cast<int>(pdu.size()));
            if (!r) continue;
            keep.emplace_back(r->body, r->body + r->Content_Size);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
            mmresstruct *b = fnMMS_DecodeBody(keep.back().data(), static_cast<int>(keep.back().size()));
            texts.emplace_back(b && b->Smil ? std::string(reinterpret_cast<char *>(b->Smil->Data), b->Smil->Data_Len) : "");
            fnMMS_FreeDecodedBody(b);
            const Bytes &body = keep.back();
            const std::string &smil = texts.back();
            benchmark::RegisterBenchmark((std::string("view/") + f).c_str(),
                                         [&body, &smil](benchmark::State &st) { bm_view(st, body, smil.size()); });
#ifdef RR_HAVE_LIBXML2
            if (!smil.empty())
                benchmark::RegisterBenchmark((std::string("xml/") + f).c_str(),
                                             [&smil](benchmark::State &st) { bm_xml(st, smil); });
#endif
        }
        for (size_t size : {size_t(10) << 10, size_t(100) << 10, size_t(1) << 20}) {
            const std::string label = size >= (1u << 20) ? "1MB" : std::to_string(size >> 10) + "KB";
            for (int kind = 0; kind < 2; ++kind) {
                texts.push_back(kind == 0 ? many_pars(size) : one_tag(size));
                const std::string &smil = texts.back();
                keep.push_back(make_body(smil));
                const Bytes &body = keep.back();
                const std::string name = kind == 0 ? "pars/" : "tag/";
                benchmark::RegisterBenchmark((name + label).c_str(),
                                             [&body, &smil](benchmark::State &st) { bm_view(st, body, smil.size()); });
#ifdef RR_HAVE_LIBXML2
                benchmark::RegisterBenchmark(("xml-" + name + label).c_str(),
                                             [&smil](benchmark::State &st) { bm_xml(st, smil); });
#endif
            }
        }
    }
} registrar;

}  // namespace

BENCHMARK_MAIN();
