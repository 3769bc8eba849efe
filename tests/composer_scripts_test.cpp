// Names and texts in many scripts, as a property test: random messages whose
// media and attachment names, slide texts, subjects and addresses are written
// in Latin, Cyrillic, Greek, CJK, Hangul, Arabic, Hebrew, Devanagari and Thai
// letters and emoji are composed; Wireshark (tshark) decodes every request
// without a diagnostic above Chat and shows each part's name, its
// Content-Location and the presentation's src as written; served back as an
// m-retrieve-conf, fnCPS_ParserMMS gives the message back equal.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "composer_host.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "test_support.h"
#include "tshark_capture.h"

using rrtest::Bytes;
using rrtest::HostAttachment;
using rrtest::HostLists;
using rrtest::HostMedia;
using rrtest::HostMessage;
using rrtest::HostSlide;
using rrtest::HostText;

namespace {

const bool kQuiet = (qx::set_log_enabled(false), true);

const std::vector<std::vector<std::string>> kScripts = {
    {"Gr\u00FC\u00DFe", "caf\u00E9", "\u00C5ngstr\u00F6m", "na\u00EFve"},
    {"\u0444\u043E\u0442\u043E", "\u043F\u0440\u0438\u0432\u0435\u0442", "\u041C\u043E\u0441\u043A\u0432\u0430"},
    {"\u03BA\u03B1\u03BB\u03B7\u03BC\u03AD\u03C1\u03B1", "\u03A9\u03BC\u03AD\u03B3\u03B1"},
    {"\u65E5\u672C\u8A9E", "\u5199\u771F", "\u4F60\u597D"},
    {"\uC0AC\uC9C4", "\uC548\uB155"},
    {"\u0635\u0648\u0631\u0629", "\u0645\u0631\u062D\u0628\u0627"},
    {"\u05EA\u05DE\u05D5\u05E0\u05D4", "\u05E9\u05DC\u05D5\u05DD"},
    {"\u091A\u093F\u0924\u094D\u0930", "\u0928\u092E\u0938\u094D\u0924\u0947"},
    {"\u0E23\u0E39\u0E1B\u0E20\u0E32\u0E1E", "\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35"},
    {"\U0001F600", "\U0001F4F7"},
    {"my photo", "a&b", "report (final)", "100%"},
};

struct Random {
    std::mt19937 rng;
    explicit Random(uint32_t start) : rng(start) {}
    int in(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    const std::string &word() {
        const auto &s = kScripts[static_cast<size_t>(in(0, static_cast<int>(kScripts.size()) - 1))];
        return s[static_cast<size_t>(in(0, static_cast<int>(s.size()) - 1))];
    }
    std::string words(int n) {
        std::string s = word();
        for (int i = 1; i < n; ++i) s += " " + word();
        return s;
    }
    Bytes bytes(size_t n) {
        Bytes b(n);
        for (auto &c : b) c = static_cast<uint8_t>(in(0, 255));
        return b;
    }
};

struct Message {
    HostMessage body;
    std::string subject, to, from;
};

Message random_message(Random &r, int number) {
    Message m;
    const int slides = r.in(1, 4);
    for (int i = 0; i < slides; ++i) {
        HostSlide s;
        const std::string stem = r.word() + "_" + std::to_string(number) + "_" + std::to_string(i);
        if (r.in(0, 3) == 0) {
            s.video = HostMedia{"video/3gpp", stem + ".3gp", r.bytes(static_cast<size_t>(r.in(1, 900))), 0, 4000};
        } else {
            s.image = HostMedia{"image/jpeg", stem + ".jpg", r.bytes(static_cast<size_t>(r.in(1, 900))), 0, 4000};
            if (r.in(0, 1)) s.audio = HostMedia{"audio/amr", r.word() + ".amr", r.bytes(50), 0, 3000};
        }
        s.text = HostText{r.words(r.in(1, 6)), 0, 4000};
        s.dur = 5000;
        m.body.slides.push_back(s);
    }
    for (int a = r.in(0, 3); a > 0; --a)
        m.body.attachments.push_back({r.words(2) + "." + std::to_string(a) + ".pdf", "application/pdf", r.bytes(300)});
    m.subject = r.words(r.in(1, 4));
    m.to = "+4917012345" + std::to_string(number % 10) + ";" + r.word() + "@example.org";
    m.from = "+49301234" + std::to_string(number);
    return m;
}

Bytes compose(const Message &m) {
    HostLists lists(m.body);
    tCPS_MmsData d{};
    tMMS_SendReq &h = d.Header.Send_Req;
    h.Transaction_Id = const_cast<char *>("tid-scripts");
    h.Subject = const_cast<char *>(m.subject.c_str());
    h.To = const_cast<char *>(m.to.c_str());
    h.From = const_cast<char *>(m.from.c_str());
    h.Priority = 1;
    d.pSlide_List = lists.slides();
    d.pAttach_List = lists.attachments();
    tCPS_PduBuf out{};
    EXPECT_EQ(fnCPS_ComposeMMS(&d, &out, 0), 0);
    Bytes pdu(out.data, out.data + out.length);
    void *p = out.data;
    fnQX_Free(&p);
    return pdu;
}

// The request's body and header texts as the relay serves them.
Bytes served(const Bytes &sendReq, const Message &m) {
    tMMS_SendReq *s = fnMMS_ParseSendContent(sendReq.data(), static_cast<int>(sendReq.size()));
    EXPECT_NE(s, nullptr);
    if (!s) return {};
    tMMS_RetrieveConf rec{};
    rec.Transaction_Id = const_cast<char *>("tid-scripts");
    rec.Message_Id = const_cast<char *>("id-1");
    rec.From = const_cast<char *>(m.from.c_str());
    rec.To = const_cast<char *>(m.to.c_str());
    rec.Subject = const_cast<char *>(m.subject.c_str());
    rec.Message_Class = 0x80;
    rec.Priority = 0x81;
    rec.body = s->ContentTypeAndBody;
    rec.Content_Size = s->Body_Len;
    int len = 0;
    uint8_t *pdu = fnMMS_MakeRetrieveConfPdu(&rec, &len);
    fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
    EXPECT_NE(pdu, nullptr);
    Bytes out(pdu, pdu + len);
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    return out;
}

// A name as a URI reference: every byte but letters, digits and
// "-._~!$'()*+,;=@" percent-encoded.
std::string uri(const std::string &s) {
    std::string u;
    for (unsigned char c : s) {
        if (std::isalnum(c) || (c && std::strchr("-._~!$'()*+,;=@", c))) {
            u += static_cast<char>(c);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", c);
            u += esc;
        }
    }
    return u;
}

// The names of the parts in body order, and of the presentation's media.
std::vector<std::string> part_names(const HostMessage &m, std::vector<std::string> *srcs) {
    std::vector<std::string> names;
    for (size_t i = 0; i < m.slides.size(); ++i) {
        const HostSlide &s = m.slides[i];
        const std::string text = "Text" + std::to_string(i) + ".txt";
        names.push_back(text);
        for (const auto *item : {&s.video, &s.image, &s.audio})
            if (*item) {
                names.push_back((*item)->name);
                srcs->push_back((*item)->name);
            }
        srcs->push_back(text);
    }
    for (const auto &a : m.attachments) names.push_back(a.name);
    return names;
}

std::vector<std::string> shows(const rrtest::PdmlPacket &p, const std::string &name) {
    std::vector<std::string> out;
    for (const auto &f : p)
        if (f.name == name) out.push_back(f.show);
    return out;
}

TEST(ComposerScripts, ManyScriptsThroughWiresharkAndTheParser) {
    rrtest::LeakCheck leaks;
    std::vector<Message> msgs;
    std::vector<Bytes> pdus;
    Random r(20261207);
    for (int i = 0; i < 40; ++i) {
        msgs.push_back(random_message(r, i));
        pdus.push_back(compose(msgs.back()));
    }

    // fnCPS_ParserMMS gives every message back as composed.
    for (size_t k = 0; k < msgs.size(); ++k) {
        SCOPED_TRACE("message " + std::to_string(k));
        rrtest::HeapCopy conf(served(pdus[k], msgs[k]));
        tCPS_PduBuf in{const_cast<uint8_t *>(conf.data()), conf.size()};
        tCPS_MmsData d{};
        ASSERT_EQ(fnCPS_ParserMMS(&d, &in), 0);
        std::string problem;
        EXPECT_TRUE(rrtest::read_lists(d, &problem) == msgs[k].body);
        EXPECT_EQ(problem, "");
        const tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
        EXPECT_EQ(rrtest::str_or_empty(h.Subject), msgs[k].subject);
        EXPECT_EQ(rrtest::str_or_empty(h.To), msgs[k].to);
        EXPECT_EQ(rrtest::str_or_empty(h.From), msgs[k].from);
        rrtest::free_lists(d);
        rrtest::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
    }

    if (!rrtest::tshark_available()) GTEST_SKIP() << "tshark is not installed";
    bool ok = false;
    const auto packets = rrtest::tshark_decode(pdus, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(packets.size(), pdus.size());
    for (size_t k = 0; k < packets.size(); ++k) {
        SCOPED_TRACE("message " + std::to_string(k));
        const auto &p = packets[k];
        ASSERT_FALSE(p.empty()) << "not decoded as MMSE";
        for (const auto &f : p) {
            EXPECT_NE(f.name, "_ws.malformed");
            if (f.name == "_ws.expert.severity") { EXPECT_NE(f.showname.find("Chat"), std::string::npos) << f.showname; }
        }
        std::vector<std::string> srcs;
        const auto names = part_names(msgs[k].body, &srcs);
        // The presentation's own part first, then every part by its name.
        // This tshark shows a Text-string byte by byte as ASCII: its quote as
        // "\x7f" and each byte above 0x7F as U+FFFD; a newer one may show
        // the name itself. Either way the field holds the name's bytes.
        const auto shownNames = shows(p, "wsp.parameter.name");
        ASSERT_EQ(shownNames.size(), names.size() + 1);
        EXPECT_EQ(shownNames[0], "mms.smil");
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string &n = names[i];
            std::string asAscii = static_cast<uint8_t>(n[0]) >= 0x7F ? "\\x7f" : "";
            for (char c : n) asAscii += static_cast<uint8_t>(c) < 0x80 ? std::string(1, c) : std::string("\xEF\xBF\xBD");
            EXPECT_TRUE(shownNames[i + 1] == n || shownNames[i + 1] == asAscii) << shownNames[i + 1] << " for " << n;
        }
        std::vector<std::string> locations, srcUris;
        for (const auto &n : names) locations.push_back(uri(n));
        for (const auto &n : srcs) srcUris.push_back(uri(n));
        EXPECT_EQ(shows(p, "wsp.header.content_location"), locations);
        std::vector<std::string> shownSrcs;
        for (const auto &f : p)
            if (f.name.size() > 4 && f.name.compare(f.name.size() - 4, 4, ".src") == 0) shownSrcs.push_back(f.show);
        EXPECT_EQ(shownSrcs, srcUris);
    }
}

}  // namespace
