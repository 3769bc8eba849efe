// Round trips as property tests: random host messages within the model's
// rules are composed (action 0) and read back as a stored send request
// (action 1) and as a retrieved message (fnCPS_ParserMMS) with the slides,
// items, times (as the writer limits them), durations and attachments they
// were given. Also allocation failures and undecodable PDUs on the way back.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "MMSCps_Public.h"
#include "composer_host.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "retrieve_conf_builder.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HostAttachment;
using rrtest::HostLists;
using rrtest::HostMedia;
using rrtest::HostMessage;
using rrtest::HostSlide;
using rrtest::HostText;

namespace {

const bool kQuiet = (qx::set_log_enabled(false), true);

// ---------------------------------------------------------------- random messages
struct Random {
    std::mt19937 rng;
    explicit Random(uint32_t seed) : rng(seed) {}
    int in(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool chance(int percent) { return in(0, 99) < percent; }
    Bytes bytes(size_t n) {
        Bytes b(n);
        for (auto &c : b) c = static_cast<uint8_t>(in(0, 255));
        return b;
    }
    template <typename T>
    const T &pick(const std::vector<T> &v) {
        return v[static_cast<size_t>(in(0, static_cast<int>(v.size()) - 1))];
    }
};

const std::vector<std::string> kStems = {"bild", "Gr\xC3\xBC\xC3\x9F" "e", "\xE6\x97\xA5\xE6\x9C\xAC", "photo",
                                         "clip", "voice", "caf\xC3\xA9", "a&b", "say \"x\"", "r\xC3\xA9sum\xC3\xA9"};
const std::vector<std::string> kTexts = {"hello", "Sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln",
                                         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "line one\r\nline two",
                                         "a < b & c > d", "\xF0\x9F\x98\x80 emoji"};

int random_time(Random &r) {
    switch (r.in(0, 5)) {
        case 0: return 0;
        case 1: return r.in(-3000, -1);
        case 2: return r.in(130000, 250000);
        default: return r.in(1, 20000);
    }
}

HostMedia random_media(Random &r, const std::string &type, const std::string &ext, int index, size_t size) {
    HostMedia m;
    m.type = type;
    m.name = r.pick(kStems) + "_" + std::to_string(index) + ext;
    m.data = r.bytes(size);
    m.begin = random_time(r);
    m.end = random_time(r);
    return m;
}

HostMessage random_message(Random &r) {
    HostMessage m;
    const int slides = r.in(1, 10);
    const size_t budget = static_cast<size_t>(r.in(1, 300)) * 1024;
    const size_t per = budget / static_cast<size_t>(slides * 3 + 11);
    int index = 0;
    for (int i = 0; i < slides; ++i) {
        HostSlide s;
        const size_t sz = static_cast<size_t>(r.in(1, static_cast<int>(per) + 1));
        if (r.chance(25)) {
            s.video = random_media(r, r.chance(50) ? "video/3gpp" : "video/mp4", ".3gp", index++, sz);
        } else {
            if (r.chance(70)) s.image = random_media(r, r.chance(50) ? "image/jpeg" : "image/png", ".jpg", index++, sz);
            if (r.chance(50)) s.audio = random_media(r, "audio/amr", ".amr", index++, sz);
        }
        if (r.chance(60) || (!s.video && !s.image && !s.audio)) {
            HostText t;
            t.text = r.pick(kTexts);
            t.begin = random_time(r);
            t.end = random_time(r);
            s.text = t;
        }
        s.dur = r.chance(15) ? r.in(-100, 0) : (r.chance(10) ? r.in(120000, 400000) : r.in(1, 30000));
        m.slides.push_back(s);
    }
    const int attachments = r.in(0, 10);
    for (int a = 0; a < attachments; ++a) {
        HostAttachment h;
        switch (r.in(0, 3)) {
            case 0: {  // UTF-16 text with its 0 bytes
                h.type = "text/plain";
                h.name = "note" + std::to_string(a) + "-utf16.txt";
                const std::u16string t = u"Gr\u00FC\u00DFe \u65E5\u672C";
                h.data = {0xFF, 0xFE};
                for (char16_t c : t) {
                    h.data.push_back(static_cast<uint8_t>(c & 0xFF));
                    h.data.push_back(static_cast<uint8_t>(c >> 8));
                }
                break;
            }
            case 1:
                h.type = "application/pdf";
                h.name = "Bericht \xC3\xBC" "ber " + std::to_string(a) + ".pdf";
                h.data = r.bytes(static_cast<size_t>(r.in(1, static_cast<int>(per) + 1)));
                break;
            case 2:
                h.type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
                h.name = "A document with a name much longer than fifty bytes, number " + std::to_string(a) +
                         ".docx";
                h.data = r.bytes(static_cast<size_t>(r.in(1, 2000)));
                break;
            default:
                h.type = "application/octet-stream";
                h.name = "blob" + std::to_string(a) + ".bin";
                h.data = r.bytes(static_cast<size_t>(r.in(1, static_cast<int>(per) + 1)));
                break;
        }
        m.attachments.push_back(h);
    }
    return m;
}

// ---------------------------------------------------------------- expectations
// A time as the SMIL writer prints it: negative or 120000 and above is 120000.
int printed(int v) { return static_cast<uint32_t>(v) >= 120000u ? 120000 : v; }

// What a reader of the composed message gets back: durations and times as
// the writer limits and prints them and as the reader completes an end that
// is not after its begin; media names as the host gave them.
HostMessage expected(const HostMessage &in) {
    HostMessage out;
    for (const HostSlide &s : in.slides) {
        HostSlide e = s;
        const int stored = s.dur <= 0 ? 12000 : s.dur;
        const int dur = printed(stored);
        e.dur = dur;
        auto times = [&](int &b, int &t) {
            if (t > stored) t = stored;
            if (b >= t) b = 0;
            b = printed(b);
            t = printed(t);
            if (b >= t) t = b + dur;
        };
        for (auto *m : {&e.image, &e.audio, &e.video})
            if (*m) times((*m)->begin, (*m)->end);
        if (e.text) times(e.text->begin, e.text->end);
        out.slides.push_back(e);
    }
    out.attachments = in.attachments;
    return out;
}

// ---------------------------------------------------------------- operations
tMMS_SendReq fresh_send_req() {
    tMMS_SendReq r{};
    r.Sender_Visibility = 1;
    r.Priority = 1;
    r.Expiry_Relative = 1;
    r.Delivery_Time_Relative = 1;
    return r;
}

const char kSubject[] = "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC";

Bytes compose(const HostMessage &m, int *rc) {
    HostLists lists(m);
    tCPS_MmsData d{};
    d.Header.Send_Req = fresh_send_req();
    d.Header.Send_Req.Transaction_Id = const_cast<char *>("tid-42");
    d.Header.Send_Req.To = const_cast<char *>("+4917012345");
    d.Header.Send_Req.Subject = const_cast<char *>(kSubject);
    d.pSlide_List = lists.slides();
    d.pAttach_List = lists.attachments();
    tCPS_PduBuf out{};
    *rc = fnCPS_ComposeMMS(&d, &out, 0);
    Bytes pdu;
    if (*rc == 0) {
        pdu.assign(out.data, out.data + out.length);
        void *p = out.data;
        fnQX_Free(&p);
    }
    return pdu;
}

struct ReadBack {
    int rc = 0;
    HostMessage msg;
    std::string problem;
    std::string subject, tid, to, messageId;
    int pduSize = -1;
};

ReadBack open_stored(const Bytes &pdu) {
    rrtest::HeapCopy copy(pdu);
    tCPS_PduBuf in{const_cast<uint8_t *>(copy.data()), copy.size()};
    tCPS_MmsData d{};
    ReadBack r;
    r.rc = fnCPS_ComposeMMS(&d, &in, 1);
    if (r.rc == 0) {
        r.msg = rrtest::read_lists(d, &r.problem);
        r.subject = rrtest::str_or_empty(d.Header.Send_Req.Subject);
        r.tid = rrtest::str_or_empty(d.Header.Send_Req.Transaction_Id);
        r.to = rrtest::str_or_empty(d.Header.Send_Req.To);
        r.pduSize = d.Pdu_Size;
        rrtest::free_lists(d);
        rrtest::free_send_header(d.Header.Send_Req);
    } else {
        const tCPS_MmsData zero{};
        EXPECT_EQ(std::memcmp(&d, &zero, sizeof d), 0) << "a failed open must leave mmsDatabuf alone";
    }
    return r;
}

ReadBack parse_retrieved(const Bytes &pdu) {
    rrtest::HeapCopy copy(pdu);
    tCPS_PduBuf in{const_cast<uint8_t *>(copy.data()), copy.size()};
    tCPS_MmsData d{};
    ReadBack r;
    r.rc = fnCPS_ParserMMS(&d, &in);
    if (r.rc == 0) {
        r.msg = rrtest::read_lists(d, &r.problem);
        const tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
        r.subject = rrtest::str_or_empty(h.Subject);
        r.tid = rrtest::str_or_empty(h.Transaction_Id);
        r.to = rrtest::str_or_empty(h.To);
        r.messageId = rrtest::str_or_empty(h.Message_Id);
        r.pduSize = d.Header.Retrieve.Retrieve_Pdu_Size;
        rrtest::free_lists(d);
        rrtest::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
    } else {
        const tCPS_MmsData zero{};
        EXPECT_EQ(std::memcmp(&d, &zero, sizeof d), 0) << "a failed parse must leave mmsDatabuf alone";
    }
    return r;
}

// The composed request's body served as a retrieved message.
Bytes as_retrieve_conf(const Bytes &sendReq) {
    tMMS_SendReq *s = fnMMS_ParseSendContent(sendReq.data(), static_cast<int>(sendReq.size()));
    EXPECT_NE(s, nullptr);
    if (!s) return {};
    Bytes body(s->ContentTypeAndBody, s->ContentTypeAndBody + s->Body_Len);
    fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
    rrtest::RetrieveConfFields f;
    f.transactionId = "tid-42";
    f.messageId = "msg-0001@relay";
    f.from = "+4930123456";
    f.to = "+4917012345";
    f.subject = kSubject;
    return rrtest::make_retrieve_conf(f, body);
}

std::string describe(const HostMessage &m) {
    std::string s;
    for (const auto &sl : m.slides) {
        s += "[dur " + std::to_string(sl.dur);
        if (sl.image) s += " img " + sl.image->name + " " + std::to_string(sl.image->begin) + "-" + std::to_string(sl.image->end) + " " + std::to_string(sl.image->data.size());
        if (sl.audio) s += " aud " + sl.audio->name + " " + std::to_string(sl.audio->begin) + "-" + std::to_string(sl.audio->end);
        if (sl.video) s += " vid " + sl.video->name + " " + std::to_string(sl.video->begin) + "-" + std::to_string(sl.video->end);
        if (sl.text) s += " txt '" + sl.text->text + "' " + std::to_string(sl.text->begin) + "-" + std::to_string(sl.text->end);
        s += "] ";
    }
    for (const auto &a : m.attachments) s += "{" + a.name + " " + a.type + " " + std::to_string(a.data.size()) + "} ";
    return s;
}

// ---------------------------------------------------------------- tests

TEST(ComposerRoundTrip, RandomMessagesComeBackThroughBothReaders) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        rrtest::LeakCheck leaks;
        Random r(seed);
        const HostMessage m = random_message(r);
        const HostMessage want = expected(m);
        int rc = -99;
        const Bytes pdu = compose(m, &rc);
        ASSERT_EQ(rc, 0);

        const ReadBack stored = open_stored(pdu);
        ASSERT_EQ(stored.rc, 0);
        EXPECT_EQ(stored.problem, "");
        EXPECT_TRUE(stored.msg == want) << "want " << describe(want) << "\ngot  " << describe(stored.msg);
        EXPECT_EQ(stored.subject, kSubject);
        EXPECT_EQ(stored.tid, "tid-42");
        EXPECT_EQ(stored.to, "+4917012345");
        EXPECT_EQ(stored.pduSize, static_cast<int>(pdu.size()));

        const Bytes conf = as_retrieve_conf(pdu);
        const ReadBack retrieved = parse_retrieved(conf);
        ASSERT_EQ(retrieved.rc, 0);
        EXPECT_EQ(retrieved.problem, "");
        EXPECT_TRUE(retrieved.msg == want) << "want " << describe(want) << "\ngot  " << describe(retrieved.msg);
        EXPECT_EQ(retrieved.subject, kSubject);
        EXPECT_EQ(retrieved.messageId, "msg-0001@relay");
        EXPECT_EQ(retrieved.pduSize, static_cast<int>(conf.size()));
    }
}

// Header texts and names whose first byte a reader could take for a length
// (below 0x20) or for the quote (0x7F), URI-like names, names and subjects
// holding encoded words, and empty names: the composer refuses only a
// Transaction-Id that begins with a control byte and a text with encoded words
// that is no UTF-8; everything else comes back through both readers as given
// (an empty media name as one the library makes up, the slide whole).
TEST(ComposerRoundTrip, TextsAndNamesThatReadAsLengthsOrQuotes) {
    rrtest::LeakCheck leaks;
    struct Case {
        std::string tid, subject, to, from, name, attachment;
        int rc;
    };
    const Case cases[] = {
        {"\x1Etid", "s", "1", "2", "a.jpg", "b.pdf", COMPOSER_INPUT_PARAM_ERROR},
        {"\x01", "s", "1", "2", "a.jpg", "b.pdf", COMPOSER_INPUT_PARAM_ERROR},
        {"\x7F", "\x7F", "\x7F1;\x7F@x", "\x7F2", "\x7F.jpg", "\x7F.pdf", 0},
        {"\x7F\x7Ft", "\x1E\x01s", "\x1E1;\x01@x", "\x1E2", "\x1E.jpg", "\x1F.pdf", 0},
        {"t \xE2\x82\xAC", "", "\xC3\xA4@x", "\xC3\xA4@y", "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE.png", "%41 &<>\".pdf", 0},
        {"t", "x", "1", "2", "", "", 0},
        {"t", "x", "1", "2", "Text0.txt", "text0.TXT", 0},
        {"t", "x", "1", "2", "cid:a%2", "a%2.pdf", 0},
        {"t", "x", "1", "2", "cid:Text0.txt", "Text1.txt", 0},
        {"t", "x", "1", "2", "\"quoted\".png", "\"\".pdf", 0},  // a Quoted-string's mark of their own
        // Encoded words written as they are, which a reader would decode.
        {"t", "=?utf-8?B?SGk=?=", "1", "2", "=?utf-8?q?a?=.png", "=?UTF-8?Q?=C3=A4?= b.pdf", 0},
        {"t", "=?utf-8?B?SGk=?= \xFF", "1", "2", "a.png", "b.pdf", COMPOSER_INPUT_PARAM_ERROR},
        {"t", "x", "1", "2", "a.png", "=?utf-8?B?SGk=?=\xFF.pdf", COMPOSER_INPUT_PARAM_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(rrtest::hex(reinterpret_cast<const uint8_t *>(c.tid.data()), c.tid.size()) + " / " + c.name);
        HostMessage m;
        HostSlide s;
        s.image = HostMedia{"image/png", c.name, Bytes(40, 0x5A), 0, 4000};
        s.audio = HostMedia{"audio/amr", c.name, Bytes(9, 0x33), 0, 3000};
        s.text = HostText{"caption", 0, 4000};
        s.dur = 5000;
        m.slides = {s, s};
        m.attachments = {{c.attachment, "application/pdf", Bytes(30, 0x44)}};
        HostLists lists(m);
        tCPS_MmsData d{};
        d.Header.Send_Req = fresh_send_req();
        tMMS_SendReq &h = d.Header.Send_Req;
        h.Transaction_Id = const_cast<char *>(c.tid.c_str());
        h.Subject = const_cast<char *>(c.subject.c_str());
        h.To = const_cast<char *>(c.to.c_str());
        h.From = const_cast<char *>(c.from.c_str());
        d.pSlide_List = lists.slides();
        d.pAttach_List = lists.attachments();
        tCPS_PduBuf out{};
        ASSERT_EQ(fnCPS_ComposeMMS(&d, &out, 0), c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(out.data, nullptr);
            continue;
        }
        const Bytes pdu(out.data, out.data + out.length);
        void *p = out.data;
        fnQX_Free(&p);
        const ReadBack stored = open_stored(pdu);
        ASSERT_EQ(stored.rc, 0);
        EXPECT_EQ(stored.tid, c.tid);
        EXPECT_EQ(stored.subject, c.subject);
        EXPECT_EQ(stored.to, c.to);
        tMMS_SendReq *req = fnMMS_ParseSendContent(pdu.data(), static_cast<int>(pdu.size()));
        ASSERT_NE(req, nullptr);
        EXPECT_EQ(rrtest::str_or_empty(req->From), c.from);
        fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
        const ReadBack retrieved = parse_retrieved(as_retrieve_conf(pdu));
        ASSERT_EQ(retrieved.rc, 0);
        for (const ReadBack *r : {&stored, &retrieved}) {
            ASSERT_EQ(r->msg.slides.size(), 2u);
            ASSERT_EQ(r->msg.attachments.size(), 1u);
            HostMessage want = m;
            for (size_t i = 0; i < 2; ++i) {
                const HostSlide &got = r->msg.slides[i];
                ASSERT_TRUE(got.image && got.audio && got.text);
                if (c.name.empty()) {
                    // Made up from the content type and the slide.
                    EXPECT_EQ(got.image->name, "unKnown");
                    EXPECT_EQ(got.audio->name, "audio" + std::to_string(i) + ".amr");
                    want.slides[i].image->name = got.image->name;
                    want.slides[i].audio->name = got.audio->name;
                }
            }
            if (c.attachment.empty()) {
                EXPECT_NE(r->msg.attachments[0].name, "");
                want.attachments[0].name = r->msg.attachments[0].name;
            }
            EXPECT_TRUE(r->msg == want) << describe(r->msg);
        }
    }
}

HostMessage sweep_message() {
    HostMessage m;
    HostSlide s1, s2;
    s1.image = HostMedia{"image/jpeg", "a.jpg", Bytes(700, 0x11), 0, 3000};
    s1.audio = HostMedia{"audio/amr", "b.amr", Bytes(90, 0x22), 0, 5000};
    s1.text = HostText{"first", 0, 4000};
    s1.dur = 6000;
    s2.video = HostMedia{"video/3gpp", "c.3gp", Bytes(300, 0x33), 0, 5000};
    s2.text = HostText{"second", 0, 5000};
    m.slides = {s1, s2};
    m.attachments = {{"u.txt", "text/plain", {0xFF, 0xFE, 'a', 0}}, {"x.bin", "application/octet-stream", Bytes(40, 7)}};
    return m;
}

// Every allocation failure on the way back gives -1 with mmsDatabuf left
// alone and nothing leaked; the next call reads the full message.
TEST(ComposerRoundTrip, AllocationFailuresWhileOpeningAndParsing) {
    const HostMessage m = sweep_message();
    int rc = 0;
    const Bytes pdu = compose(m, &rc);
    ASSERT_EQ(rc, 0);
    const Bytes conf = as_retrieve_conf(pdu);
    const HostMessage want = expected(m);
    for (int which = 0; which < 2; ++which) {
        SCOPED_TRACE(which == 0 ? "action 1" : "fnCPS_ParserMMS");
        auto run = [&] { return which == 0 ? open_stored(pdu) : parse_retrieved(conf); };
        ASSERT_TRUE(run().msg == want);
        long failed = 0;
        const long allocs = rrtest::for_each_alloc_failure([&](long) {
            const ReadBack r = run();
            if (!qx::alloc_fail_fired()) return;
            if (r.rc == 0) {
                EXPECT_TRUE(r.msg == want) << "a success under a refused allocation lost something";
            } else {
                EXPECT_EQ(r.rc, COMPOSER_MEMERY_ALLOC_FAIL);
                ++failed;
            }
            qx::alloc_fail_off();
            EXPECT_EQ(g_cps.Busy, 0);
            EXPECT_TRUE(run().msg == want);
        });
        EXPECT_GT(allocs, 30);
        EXPECT_EQ(failed, allocs);
    }
}

// A PDU that does not decode: a documented code, mmsDatabuf and the model
// untouched; a body that cannot be turned into slides is not an error.
TEST(ComposerRoundTrip, UndecodableAndUnreadable) {
    rrtest::LeakCheck leaks;
    const Bytes junk = {0x8C, 0x84, 0x98, 0x00};  // an empty Transaction-Id
    EXPECT_EQ(open_stored(junk).rc, COMPOSER_PDU_INVALID);
    EXPECT_EQ(parse_retrieved(junk).rc, COMPOSER_PDU_INVALID);
    EXPECT_EQ(parse_retrieved(Bytes{}).rc, COMPOSER_PDU_INVALID);
    EXPECT_EQ(g_cps.Busy, 0);

    tCPS_MmsData d{};
    EXPECT_EQ(fnCPS_ParserMMS(&d, nullptr), COMPOSER_INPUT_PARAM_ERROR);

    // A retrieve-conf whose body is not a multipart body at all.
    rrtest::RetrieveConfFields f;
    f.transactionId = "t";
    f.messageId = "m-1";
    const Bytes conf = rrtest::make_retrieve_conf(f, {0x84, 0xB3, 0x05, 0xFF});
    const ReadBack r = parse_retrieved(conf);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.msg.slides.size(), 1u);
    EXPECT_EQ(r.msg.slides[0], (HostSlide{{}, {}, {}, {}, 12000}));
    EXPECT_TRUE(r.msg.attachments.empty());
    EXPECT_EQ(r.messageId, "m-1");
}

using rrtest::operator+;

// Raw multipart entries, for part headers the library's encoder does not
// write.
Bytes uintvar_bytes(size_t v) {
    Bytes out{static_cast<uint8_t>(v & 0x7F)};
    for (v >>= 7; v; v >>= 7) out.insert(out.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    return out;
}
Bytes raw_entry(const Bytes &headers, const Bytes &data) {
    return uintvar_bytes(headers.size()) + uintvar_bytes(data.size()) + headers + data;
}
Bytes text0(const std::string &s) { return rrtest::text0(s); }
Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }
// A Value-length and its bytes.
Bytes with_length(const Bytes &v) { return Bytes{static_cast<uint8_t>(v.size())} + v; }

// A received message is the sender's: every slide, attachment, empty part
// and single-part body reaches the host, named by its Name parameter, else
// its Content-Disposition filename, else its Content-Location.
TEST(ComposerRoundTrip, EveryReceivedSlideAndAttachmentReachesTheHost) {
    rrtest::LeakCheck leaks;
    rrtest::RetrieveConfFields f;
    f.transactionId = "t";
    struct Case {
        const char *what;
        Bytes body;
        HostMessage want;
    };
    std::vector<Case> cases;
    {
        // Twelve slides (one with an empty text part) and twelve
        // attachments (one of them empty).
        std::string smil = "<smil><head></head><body>";
        rrtest::BodyBuilder body;
        Case c{"twelve slides and twelve attachments", {}, {}};
        for (int i = 0; i < 12; ++i) {
            const std::string n = std::to_string(i);
            smil += "<par dur=\"" + std::to_string(1000 + i) + "ms\"><img src=\"i" + n + ".gif\" begin=\"1\" end=\"2\"/>" +
                    (i == 11 ? "<text src=\"empty.txt\" begin=\"1\" end=\"2\"/>" : "") + "</par>";
            const Bytes image = i == 10 ? Bytes{} : Bytes(5, static_cast<uint8_t>(i));  // one empty image
            body.part("image/gif", "i" + n + ".gif", image);
            HostSlide s;
            s.image = HostMedia{"image/gif", "i" + n + ".gif", image, 1, 2};
            if (i == 11) s.text = HostText{"", 1, 2};
            s.dur = 1000 + i;
            c.want.slides.push_back(s);
        }
        body.part("text/plain", "empty.txt", {});
        for (int i = 0; i < 12; ++i) {
            const Bytes data = i == 5 ? Bytes{} : Bytes(3, static_cast<uint8_t>(i));
            body.part("application/pdf", "x" + std::to_string(i) + ".pdf", data);
            c.want.attachments.push_back({"x" + std::to_string(i) + ".pdf", "application/pdf", data});
        }
        body.smil(smil + "</body></smil>");
        c.body = body.encode();
        cases.push_back(c);
    }
    HostSlide none;
    none.dur = 12000;
    HostSlide notFound;
    notFound.text = HostText{"4504:Message not found", 0, 20000};
    notFound.dur = 20000;
    cases.push_back({"a single text part", Bytes{0x84, 0x83} + str("4504:Message not found"), {{notFound}, {}}});
    cases.push_back({"a single image part, named",
                     Bytes{0x84, 0x0A, 0x9E, 0x85} + text0("pic.jpg") + Bytes{0xFF, 0xD8, 0xFF},
                     {{none}, {{"pic.jpg", "image/jpeg", {0xFF, 0xD8, 0xFF}}}}});
    cases.push_back({"a single part of a type given as text",
                     Bytes{0x84} + text0("Application/Octet-Stream") + Bytes{1, 2},
                     {{none}, {{"unKnown", "Application/Octet-Stream", {1, 2}}}}});
    // Names: Name parameter, then Content-Disposition filename (well-known,
    // WSP 1.4 and text forms), then Content-Location.
    const Bytes pdf = text0("application/pdf");
    const Bytes named =
        Bytes{0x84, 0xA3, 0x04} +
        raw_entry(with_length(pdf + Bytes{0x85} + text0("real.pdf")) + Bytes{0x8E} + text0("cl.pdf"), {1}) +
        raw_entry(pdf + Bytes{0xAE} + with_length(Bytes{0x81, 0x86} + text0("disp.pdf")) + Bytes{0x8E} + text0("cl2.pdf"),
                  {2}) +
        raw_entry(pdf + text0("Content-Disposition") + text0("attachment; filename=\"t x.pdf\""), {3}) +
        raw_entry(pdf + Bytes{0xC5} + with_length(Bytes{0x81, 0x98, 0x22} + text0("q.pdf")) + Bytes{0x8E} + text0("cl4.pdf"),
                  {});
    cases.push_back({"names",
                     named,
                     {{none},
                      {{"real.pdf", "application/pdf", {1}},
                       {"disp.pdf", "application/pdf", {2}},
                       {"t x.pdf", "application/pdf", {3}},
                       {"q.pdf", "application/pdf", {}}}}});
    for (const Case &c : cases) {
        const ReadBack r = parse_retrieved(rrtest::make_retrieve_conf(f, c.body));
        ASSERT_EQ(r.rc, 0) << c.what;
        EXPECT_EQ(r.problem, "") << c.what;
        EXPECT_TRUE(r.msg == c.want) << c.what << "\nwant " << describe(c.want) << "\ngot  " << describe(r.msg);
    }

    // One part shown on slide after slide is copied for each of them; a
    // message that would make the host's lists far larger than itself is
    // refused whole, never cut short.
    for (const int slides : {100, 200}) {
        std::string smil = "<smil><body>";
        for (int i = 0; i < slides; ++i) smil += "<par><img src=\"big.gif\"/></par>";
        rrtest::BodyBuilder body;
        body.part("image/gif", "big.gif", Bytes(100 * 1024, 7)).smil(smil + "</body></smil>");
        const ReadBack r = parse_retrieved(rrtest::make_retrieve_conf(f, body.encode()));
        EXPECT_EQ(r.rc, slides == 100 ? 0 : COMPOSER_MEMERY_ALLOC_FAIL) << slides;
        EXPECT_EQ(r.msg.slides.size(), slides == 100 ? 100u : 0u);
    }
    // A text is copied into the slide view for each par already: there the
    // bound makes the presentation fail, and the text comes once, as an
    // attachment.
    std::string smil = "<smil><body>";
    for (int i = 0; i < 200; ++i) smil += "<par><text src=\"t.txt\"/></par>";
    rrtest::BodyBuilder texts;
    texts.part("text/plain", "t.txt", Bytes(100 * 1024, 'x')).smil(smil + "</body></smil>");
    const ReadBack r = parse_retrieved(rrtest::make_retrieve_conf(f, texts.encode()));
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(r.msg == (HostMessage{{none}, {{"t.txt", "text/plain", Bytes(100 * 1024, 'x')}}})) << describe(r.msg);
}

}  // namespace
