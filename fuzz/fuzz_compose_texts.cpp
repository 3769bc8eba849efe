// libFuzzer target: messages with arbitrary header texts and part names
// (any byte but 0: control bytes, the quote 0x7F, UTF-8 and other high bytes,
// list separators, "%", "/", "@") are composed with action 0, then read back
// as a stored send request (action 1, fnMMS_ParseSendContent) and, served by
// the relay's encoder as an m-retrieve-conf, as a retrieved message
// (fnCPS_ParserMMS). Invariant: the composer refuses the message with its
// parameter error (a Transaction-Id that is empty or begins with a control
// byte, a content type it cannot write, a subject or name holding encoded
// words that is no UTF-8), or both readers give back what was
// composed: header texts (addresses as the address rules have them), slides
// (items, names, data, times as the writer limits them) and attachments.
//
// Input: a count of slides and per slide a flags byte, the duration and its
// items; then the attachments; then the header texts. Every text is a length
// byte and that many pieces; a piece byte of 0xF0 or more is one of the
// fragments below, any other the byte itself (0 becomes 'x').
#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <strings.h>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "fuzz_addresses.h"
#include "fuzz_host_lists.h"
#include "fuzz_support.h"
#include "rorodire.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

const char *const kFragments[16] = {"Text0.txt", "%",   "%41", "=?utf-8?q?", "@",          ";",  " ",  "\x7F",
                                    "\x1E",      "\xD1\x84", "cid:", "?=",        "=?utf-8?B?", "<&>", "\"", "/TYPE=PLMN"};

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    int32_t i32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | u8();
        return static_cast<int32_t>(v);
    }
    std::string text(size_t max) {
        const size_t len = u8() % (max + 1);
        std::string s;
        for (size_t i = 0; i < len && n; ++i) {
            const uint8_t b = u8();
            if (b >= 0xF0)
                s += kFragments[b - 0xF0];
            else
                s.push_back(b ? static_cast<char>(b) : 'x');
        }
        return s;
    }
    std::optional<std::string> maybe_text(size_t max) {
        if (u8() & 1) return std::nullopt;
        return text(max);
    }
    std::vector<uint8_t> data() {
        const size_t len = 1 + u8() % 64;
        std::vector<uint8_t> b(len);
        for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(i * 7 + len);
        return b;
    }
    int time() {
        const uint8_t k = u8();
        return k < 240 ? static_cast<int>(k) * 100 : i32();
    }
};

const char *const kMediaTypes[] = {"image/jpeg", "image/gif", "image/png", "audio/amr", "audio/mpeg", "video/3gpp"};
const char *const kAttachTypes[] = {"application/pdf", "application/octet-stream", "text/x-vCard", "text/plain",
                                    "image/jpeg", "audio/amr"};

struct Media {
    std::string type, name;
    std::vector<uint8_t> data;
    int begin = 0, end = 0;
};

struct Slide {
    std::optional<Media> image, audio, video;
    std::optional<std::string> text;
    int textBegin = 0, textEnd = 0;
    int dur = 0;
};

struct Attachment {
    std::string type, name;
    std::vector<uint8_t> data;
};

// A content type from the list, or (selector 6 and up) any text but one of
// the DRM types, whose parts the readers treat apart by design.
std::string content_type(Input &in, const char *const (&list)[6]) {
    const uint8_t k = in.u8() % 8;
    if (k < 6) return list[k];
    std::string t = in.text(30);
    if (t.size() >= 23 && strncasecmp(t.c_str(), "application/vnd.oma.drm", 23) == 0) t = list[0];
    return t;
}

// What the composer refuses to write as a content type: empty, a first byte
// that reads as a length or a code, or the presentation's own type.
bool unwritable_type(const std::string &t) {
    return t.empty() || static_cast<uint8_t>(t[0]) < 0x20 || static_cast<uint8_t>(t[0]) >= 0x80 ||
           strcasecmp(t.c_str(), "application/smil") == 0;
}

Media media(Input &in) {
    Media m;
    m.type = content_type(in, kMediaTypes);
    m.name = in.text(24);
    m.data = in.data();
    m.begin = in.time();
    m.end = in.time();
    return m;
}

template <typename T>
void set_item(T &dst, Media &m) {
    dst.Data = m.data.data();
    dst.Content_Type = m.type.data();
    dst.Name = m.name.data();
    dst.Size = static_cast<int>(m.data.size());
    dst.Begin = m.begin;
    dst.End = m.end;
}

// ---------------------------------------------------------------- what comes back

// A time as the SMIL writer prints it: negative or 120000 and above is 120000.
int printed(int v) { return static_cast<uint32_t>(v) >= 120000u ? 120000 : v; }

// An item's times as the writer limits them within its slide and the reader
// completes an end that is not after the begin.
void limited(int stored, int &b, int &e) {
    const int dur = printed(stored);
    if (e > stored) e = stored;
    if (b >= e) b = 0;
    b = printed(b);
    e = printed(e);
    if (b >= e) e = b + dur;
}

using fuzz_addr::address;

// A list as read back; no entry at all is no list.
std::optional<std::string> address_list(const std::optional<std::string> &list) {
    if (!list) return std::nullopt;
    std::string out = fuzz_addr::address_list(*list);
    if (out.empty()) return std::nullopt;
    return out;
}

bool same_text(const std::optional<std::string> &want, const char *got) {
    if (!want) return got == nullptr;
    return got && *want == got;
}

// A name the host gave comes back as it was; an empty one comes back as a
// name made up by the library.
bool same_name(const std::string &want, const char *got) {
    return got && (want.empty() ? got[0] != 0 : want == got);
}

bool same_data(const std::vector<uint8_t> &want, const unsigned char *got, int size) {
    return got && size == static_cast<int>(want.size()) && std::memcmp(got, want.data(), want.size()) == 0;
}

template <typename T>
bool same_media(const std::optional<Media> &want, int has, const T &got, int stored) {
    if (!want) return !has;
    int b = want->begin, e = want->end;
    limited(stored, b, e);
    return has && got.Content_Type && want->type == got.Content_Type && same_name(want->name, got.Name) &&
           same_data(want->data, got.Data, got.Size) && got.Begin == b && got.End == e;
}

void check_lists(const tCPS_MmsData &d, const std::vector<Slide> &slides, const std::vector<Attachment> &atts) {
    fuzzhost::check_lists(d);
    check(d.Slide_Num == static_cast<int>(slides.size()));
    const tCPS_Slide *s = d.pSlide_List;
    for (const Slide &w : slides) {
        const int stored = w.dur <= 0 ? 12000 : w.dur;
        check(s->Duration == printed(stored));
        check(same_media(w.image, s->Has_Image, s->Image, stored));
        check(same_media(w.audio, s->Has_Audio, s->Audio, stored));
        check(same_media(w.video, s->Has_Video, s->Video, stored));
        if (w.text) {
            int b = w.textBegin, e = w.textEnd;
            limited(stored, b, e);
            check(s->Has_Text && s->Text.Length == static_cast<int>(w.text->size()) && *w.text == s->Text.Text &&
                  s->Text.Begin == b && s->Text.End == e);
        } else {
            check(!s->Has_Text);
        }
        s = s->next;
    }
    check(d.Attach_Num == static_cast<int>(atts.size()));
    const tCPS_AttachNode *a = d.pAttach_List;
    for (const Attachment &w : atts) {
        check(a->Content_Type && w.type == a->Content_Type && same_name(w.name, a->Name) &&
              same_data(w.data, a->Data, a->Size));
        a = a->next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 14) return 0;
    FuzzInput guard(data, size);
    Input in{data, size};

    std::vector<Slide> slides(1 + in.u8() % 10);
    for (Slide &s : slides) {
        const uint8_t flags = in.u8();
        s.dur = (flags & 0x80) ? in.i32() : static_cast<int>(in.u8()) * 100;
        if (flags & 4) {
            s.video = media(in);
        } else {
            if (flags & 1) s.image = media(in);
            if (flags & 2) s.audio = media(in);
        }
        if ((flags & 8) || (!s.video && !s.image && !s.audio)) {
            s.text = in.text(40);
            if (s.text->empty()) *s.text = "t";
            s.textBegin = in.time();
            s.textEnd = in.time();
        }
    }
    std::vector<Attachment> atts(in.u8() % 11);
    for (Attachment &a : atts) {
        a.type = content_type(in, kAttachTypes);
        a.name = in.text(24);
        a.data = in.data();
    }
    const std::string tid = in.text(20);
    const std::optional<std::string> from = in.maybe_text(20), to = in.maybe_text(40), cc = in.maybe_text(40),
                                     bcc = in.maybe_text(40), subject = in.maybe_text(40),
                                     messageId = in.maybe_text(20);

    // The host's lists.
    std::vector<tCPS_Slide> nodes(slides.size());
    for (size_t i = 0; i < slides.size(); ++i) {
        Slide &w = slides[i];
        tCPS_Slide &n = nodes[i];
        n = tCPS_Slide{};
        n.Duration = w.dur;
        if (w.image) n.Has_Image = 1, set_item(n.Image, *w.image);
        if (w.audio) n.Has_Audio = 1, set_item(n.Audio, *w.audio);
        if (w.video) n.Has_Video = 1, set_item(n.Video, *w.video);
        if (w.text) {
            n.Has_Text = 1;
            n.Text.Text = w.text->data();
            n.Text.Length = static_cast<int>(w.text->size());
            n.Text.Begin = w.textBegin;
            n.Text.End = w.textEnd;
        }
        if (i > 0) nodes[i - 1].next = &n;
    }
    std::vector<tCPS_AttachNode> attNodes(atts.size());
    for (size_t i = 0; i < atts.size(); ++i) {
        Attachment &a = atts[i];
        attNodes[i] = tCPS_AttachNode{a.data.data(), a.name.data(), a.type.data(), static_cast<int>(a.data.size()), 0,
                                      nullptr};
        if (i > 0) attNodes[i - 1].next = &attNodes[i];
    }
    std::string texts[6] = {tid, from.value_or(""), to.value_or(""), cc.value_or(""), bcc.value_or(""),
                            subject.value_or("")};
    tCPS_MmsData msg{};
    tMMS_SendReq &h = msg.Header.Send_Req;
    h.Transaction_Id = texts[0].data();
    h.From = from ? texts[1].data() : nullptr;
    h.To = to ? texts[2].data() : nullptr;
    h.Cc = cc ? texts[3].data() : nullptr;
    h.Bcc = bcc ? texts[4].data() : nullptr;
    h.Subject = subject ? texts[5].data() : nullptr;
    msg.pSlide_List = nodes.data();
    msg.pAttach_List = atts.empty() ? nullptr : attNodes.data();

    tCPS_PduBuf pdu{nullptr, 0};
    const int rc = fnCPS_ComposeMMS(&msg, &pdu, 0);
    // Refused: only a Transaction-Id that is empty or begins with a control
    // byte, or a content type that cannot be written, with the parameter
    // error and nothing handed out.
    bool refused = tid.empty() || static_cast<uint8_t>(tid[0]) < 0x20;
    for (const Slide &w : slides)
        for (const auto *m : {&w.image, &w.audio, &w.video})
            if (*m && unwritable_type((*m)->type)) refused = true;
    for (const Attachment &a : atts)
        if (unwritable_type(a.type)) refused = true;
    // A subject or name that holds what a reader takes for encoded words
    // goes out as an encoded word of its own, which only UTF-8 can be.
    auto wordless = [](const std::string &t) {
        return t.find("=?") == std::string::npos || g_utf8_validate(t.c_str(), -1, nullptr);
    };
    if (subject && !wordless(*subject)) refused = true;
    for (const Slide &w : slides)
        for (const auto *m : {&w.image, &w.audio, &w.video})
            if (*m && !wordless((*m)->name)) refused = true;
    for (const Attachment &a : atts)
        if (!wordless(a.name)) refused = true;
    if (rc != 0) {
        check(rc == -12 && refused && pdu.data == nullptr);
        return 0;
    }
    check(pdu.data && pdu.length > 0 && pdu.data[pdu.length] == 0);

    // ---- as a stored send request
    const std::optional<std::string> wantFrom = from ? std::optional(address(*from)) : std::nullopt;
    tCPS_MmsData back{};
    check(fnCPS_ComposeMMS(&back, &pdu, 1) == 0);
    const tMMS_SendReq &b = back.Header.Send_Req;
    check(same_text(tid, b.Transaction_Id));
    check(same_text(wantFrom, b.From));
    check(same_text(address_list(to), b.To) && same_text(address_list(cc), b.Cc) &&
          same_text(address_list(bcc), b.Bcc));
    check(same_text(subject, b.Subject));
    check_lists(back, slides, atts);
    check(back.Pdu_Size == pdu.length && b.Body_Len > 0 && b.ContentTypeAndBody);

    // ---- served by the relay as a retrieved message
    tMMS_RetrieveConf served{};
    served.Transaction_Id = texts[0].data();
    served.Message_Id = messageId ? const_cast<char *>(messageId->c_str()) : nullptr;
    served.From = h.From;
    served.To = h.To;
    served.Cc = h.Cc;
    served.Subject = h.Subject;
    served.Message_Class = 0x80;
    served.Priority = 0x81;
    served.body = b.ContentTypeAndBody;
    served.Content_Size = b.Body_Len;
    int confLen = 0;
    uint8_t *conf = fnMMS_MakeRetrieveConfPdu(&served, &confLen);
    check(conf != nullptr && confLen > 0);
    tCPS_PduBuf confBuf{conf, confLen};
    tCPS_MmsData got{};
    check(fnCPS_ParserMMS(&got, &confBuf) == 0);
    const tMMS_RetrieveConf &r = got.Header.Retrieve.Retrieve_Conf;
    check(same_text(tid, r.Transaction_Id) && same_text(messageId, r.Message_Id));
    check(same_text(wantFrom, r.From));
    check(same_text(address_list(to), r.To) && same_text(address_list(cc), r.Cc));
    check(same_text(subject, r.Subject));
    check_lists(got, slides, atts);

    fuzzhost::free_lists(got);
    for (char **t : {&got.Header.Retrieve.Retrieve_Conf.Transaction_Id, &got.Header.Retrieve.Retrieve_Conf.Message_Id,
                     &got.Header.Retrieve.Retrieve_Conf.From, &got.Header.Retrieve.Retrieve_Conf.To,
                     &got.Header.Retrieve.Retrieve_Conf.Cc, &got.Header.Retrieve.Retrieve_Conf.Subject})
        fuzzhost::release(*t);
    fuzzhost::release(got.Header.Retrieve.Retrieve_Conf.body);
    fuzzhost::release(conf);
    fuzzhost::free_lists(back);
    tMMS_SendReq &bb = back.Header.Send_Req;
    fuzzhost::release(bb.Transaction_Id), fuzzhost::release(bb.From), fuzzhost::release(bb.To);
    fuzzhost::release(bb.Cc), fuzzhost::release(bb.Bcc), fuzzhost::release(bb.Subject);
    fuzzhost::release(bb.ContentTypeAndBody);
    fuzzhost::release(pdu.data);
    return 0;
}
