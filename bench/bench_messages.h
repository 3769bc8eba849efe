// Messages the benchmarks share: files of the operator corpus and a composed
// message of ten slides holding 300 KB of media, as a send request and as the
// m-retrieve-conf that delivers it.
#ifndef RR_BENCH_MESSAGES_H
#define RR_BENCH_MESSAGES_H

#include <cstdio>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "rorodire.h"
#include "rorodire_host.h"

namespace rrbench {

using Bytes = std::vector<uint8_t>;

inline Bytes read_file(const std::string &path) {
    Bytes b;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return b;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) b.insert(b.end(), chunk, chunk + n);
    std::fclose(f);
    b.shrink_to_fit();
    return b;
}

// A file of the operator corpus (empty when it is missing).
inline Bytes interop_file(const char *name) { return read_file(std::string(RR_INTEROP_DIR) + "/" + name); }

// The host's storage of a message and the slide list over it.
struct Message {
    std::vector<Bytes> media;
    std::vector<std::string> names;
    std::vector<tCPS_Slide> slides;
    size_t mediaBytes = 0;
};

// Ten slides, each a 20 KB image, a 10 KB audio clip and a caption.
inline Message ten_slides_300k() {
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
    for (size_t i = 0; i < 10; ++i) {
        tCPS_Slide &s = m.slides[i];
        s = tCPS_Slide{};
        Bytes &img = m.media[2 * i];
        Bytes &aud = m.media[2 * i + 1];
        s.Has_Image = s.Has_Audio = s.Has_Text = 1;
        rrhost::set_item(s.Image, img.data(), static_cast<int>(img.size()), "image/jpeg", m.names[2 * i].c_str(), 0,
                         5000);
        rrhost::set_item(s.Audio, aud.data(), static_cast<int>(aud.size()), "audio/amr", m.names[2 * i + 1].c_str(), 0,
                         5000);
        s.Text = tCPS_TextItem{text, 0, 5000, static_cast<int>(sizeof text - 1), {}};
        s.Duration = 6000;
        m.mediaBytes += img.size() + aud.size();
    }
    rrhost::link(m.slides.data(), m.slides.size());
    return m;
}

// The send-request header and slide list of action 0 for the message.
inline tCPS_MmsData send_request_for(Message &m) {
    tCPS_MmsData d{};
    d.Header.Send_Req.Transaction_Id = const_cast<char *>("bench-1");
    d.Header.Send_Req.To = const_cast<char *>("+4917012345");
    d.Header.Send_Req.Sender_Visibility = 1;
    d.Header.Send_Req.Priority = 1;
    d.pSlide_List = m.slides.data();
    return d;
}

// The message composed and served as an m-retrieve-conf (empty on failure).
inline Bytes retrieve_conf_300k() {
    Message m = ten_slides_300k();
    tCPS_MmsData d = send_request_for(m);
    tCPS_PduBuf out{};
    if (fnCPS_ComposeMMS(&d, &out, 0) != 0) return {};
    Bytes conf = {0x8C, 0x84, 0x98, 'T', 0, 0x8D, 0x92, 0x8B, 'M', 0};
    tMMS_SendReq *s = fnMMS_ParseSendContent(out.data, out.length);
    if (s) conf.insert(conf.end(), s->ContentTypeAndBody, s->ContentTypeAndBody + s->Body_Len);
    fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
    rrhost::release(out.data);
    return conf;
}

}  // namespace rrbench

#endif
