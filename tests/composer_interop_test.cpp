// Independent readers of what the composer writes and reads: Wireshark's
// MMSE/WSP dissectors and Python's xml.etree (tests/support/
// parser_reference.py) read composed send requests, part by part and slide
// by slide; and real retrieved messages go through fnCPS_ParserMMS and are
// compared with the same independent reading.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MMSCps_Public.h"
#include "composer_host.h"
#include "qx_log.h"
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

struct RefPart {
    long offset = 0, length = 0;
    std::string type, location, name, cid;
};
struct RefMedia {
    std::string element;
    int part = -1;
    int begin = 0, end = 0;
    std::string region;
};
struct RefPar {
    int dur = 0;
    std::vector<RefMedia> media;
};
struct RefMessage {
    std::vector<RefPart> parts;
    bool hasSmil = false;
    long smilOffset = -1;
    std::vector<RefPar> pars;
};

std::string undash(const std::string &s) { return s == "-" ? "" : s; }

bool have(const char *tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

bool reference_available() {
    if (have("tshark") && have("python3")) return true;
    if (std::getenv("RR_REQUIRE_TSHARK")) ADD_FAILURE() << "tshark or python3 missing";
    return false;
}

std::vector<RefMessage> reference(const std::vector<std::string> &paths) {
    std::string cmd = std::string("RR_PDU2PCAP='") + RR_INTEROP_DIR + "/../tools/pdu2pcap.py' python3 '" +
                      RR_SOURCE_DIR + "/tests/support/parser_reference.py'";
    for (const auto &p : paths) cmd += " '" + p + "'";
    std::vector<RefMessage> out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
    if (pclose(p) != 0) return {};
    std::istringstream in(all);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string col;
        while (std::getline(ls, col, '\t')) f.push_back(col);
        if (f.empty()) continue;
        if (f[0] == "FILE") {
            out.emplace_back();
        } else if (f[0] == "PART") {
            out.back().parts.push_back(
                {std::stol(f[1]), std::stol(f[2]), undash(f[3]), undash(f[4]), undash(f[5]), undash(f[6])});
        } else if (f[0] == "SMIL") {
            out.back().hasSmil = true;
            out.back().smilOffset = std::stol(f[1]);
        } else if (f[0] == "PAR") {
            out.back().pars.push_back({std::stoi(f[1]), {}});
        } else if (f[0] == "MEDIA") {
            out.back().pars.back().media.push_back(
                {f[1], std::stoi(f[2]), std::stoi(f[3]), std::stoi(f[4]), undash(f[5])});
        }
    }
    return out;
}

std::string temp_file(const Bytes &b) {
    char path[] = "/tmp/rr_cps_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return {};
    const ssize_t w = write(fd, b.data(), b.size());
    close(fd);
    return w == static_cast<ssize_t>(b.size()) ? path : std::string();
}

Bytes compose(const HostMessage &m) {
    HostLists lists(m);
    tCPS_MmsData d{};
    d.Header.Send_Req.Sender_Visibility = 1;
    d.Header.Send_Req.Priority = 1;
    d.Header.Send_Req.Transaction_Id = const_cast<char *>("tshark-1");
    d.Header.Send_Req.To = const_cast<char *>("+4917012345");
    d.pSlide_List = lists.slides();
    d.pAttach_List = lists.attachments();
    tCPS_PduBuf out{};
    EXPECT_EQ(fnCPS_ComposeMMS(&d, &out, 0), 0);
    Bytes pdu;
    if (out.data) pdu.assign(out.data, out.data + out.length);
    void *p = out.data;
    fnQX_Free(&p);
    return pdu;
}

Bytes pattern(size_t n, int seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 17 + i * 29 + (i >> 5));
    return b;
}

std::vector<HostMessage> composed_messages() {
    std::vector<HostMessage> all;
    {
        HostMessage m;
        HostSlide s;
        s.image = HostMedia{"image/jpeg", "photo.jpg", pattern(4000, 1), 0, 5000};
        s.text = HostText{"Sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e", 0, 5000};
        s.dur = 8000;
        m.slides.push_back(s);
        all.push_back(m);
    }
    {
        HostMessage m;
        for (int i = 0; i < 10; ++i) {
            HostSlide s;
            if (i % 3 == 2) {
                s.video = HostMedia{"video/3gpp", "clip" + std::to_string(i) + ".3gp", pattern(900 + i, i), 500, 4000};
            } else {
                s.image = HostMedia{"image/gif", "frame" + std::to_string(i) + ".gif", pattern(300 + i, i), 0,
                                    3000 + i};
                if (i % 2) s.audio = HostMedia{"audio/amr", "say & \"hi\" " + std::to_string(i) + ".amr", pattern(200, i), 100, 9000};
            }
            if (i % 4 != 1) s.text = HostText{"slide " + std::to_string(i), 0, 2000 + i};
            s.dur = 3000 + 500 * i;
            m.slides.push_back(s);
        }
        m.attachments.push_back({"note.txt", "text/plain", {0xFF, 0xFE, 'o', 0, 'k', 0}});
        m.attachments.push_back({"Quarterly report of the regional office, final version 2.docx",
                                 "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                                 pattern(7000, 5)});
        m.attachments.push_back({"data.bin", "application/octet-stream", pattern(70000, 6)});
        all.push_back(m);
    }
    return all;
}

// ---------------------------------------------------------------- composed requests

TEST(ComposerInterop, WiresharkAndXmlReadComposedRequests) {
    if (!reference_available()) GTEST_SKIP() << "tshark not installed";
    const auto msgs = composed_messages();
    std::vector<Bytes> pdus;
    std::vector<std::string> paths;
    for (const auto &m : msgs) {
        pdus.push_back(compose(m));
        paths.push_back(temp_file(pdus.back()));
    }
    const auto ref = reference(paths);
    for (const auto &p : paths) std::remove(p.c_str());
    ASSERT_EQ(ref.size(), msgs.size());
    for (size_t k = 0; k < msgs.size(); ++k) {
        SCOPED_TRACE("message " + std::to_string(k));
        const HostMessage &m = msgs[k];
        const RefMessage &r = ref[k];
        const Bytes &pdu = pdus[k];
        // The parts in body order: per slide text, video or image and audio;
        // then the attachments.
        struct Want {
            std::string type, name;
            Bytes data;
        };
        std::vector<Want> want;
        // Content-Location and Content-ID carry the name as a URI reference.
        auto uri = [](const std::string &s) {
            std::string u;
            for (unsigned char c : s) {
                if (std::isalnum(c) || std::strchr("-._~!$'()*+,;=@", c)) {
                    u += static_cast<char>(c);
                } else {
                    char esc[4];
                    std::snprintf(esc, sizeof esc, "%%%02X", c);
                    u += esc;
                }
            }
            return u;
        };
        for (size_t i = 0; i < m.slides.size(); ++i) {
            const HostSlide &s = m.slides[i];
            if (s.text) want.push_back({"text/plain", "Text" + std::to_string(i) + ".txt", Bytes(s.text->text.begin(), s.text->text.end())});
            if (s.video) want.push_back({s.video->type, s.video->name, s.video->data});
            if (s.image) want.push_back({s.image->type, s.image->name, s.image->data});
            if (s.audio) want.push_back({s.audio->type, s.audio->name, s.audio->data});
        }
        for (const auto &a : m.attachments) want.push_back({a.type, a.name, a.data});
        ASSERT_EQ(r.parts.size(), want.size());
        ASSERT_TRUE(r.hasSmil);
        EXPECT_LT(r.smilOffset, r.parts[0].offset) << "the presentation is the first entry";
        for (size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE("part " + std::to_string(i));
            EXPECT_EQ(r.parts[i].type, want[i].type);
            EXPECT_EQ(r.parts[i].location, uri(want[i].name));
            EXPECT_EQ(r.parts[i].name, want[i].name);
            EXPECT_EQ(r.parts[i].cid, uri(want[i].name));
            ASSERT_EQ(r.parts[i].length, static_cast<long>(want[i].data.size()));
            EXPECT_TRUE(std::equal(want[i].data.begin(), want[i].data.end(), pdu.begin() + r.parts[i].offset));
        }
        // The presentation as xml.etree reads it: a par per slide, each
        // element referring to its part.
        ASSERT_EQ(r.pars.size(), m.slides.size());
        size_t part = 0;
        for (size_t i = 0; i < m.slides.size(); ++i) {
            const HostSlide &s = m.slides[i];
            EXPECT_EQ(r.pars[i].dur, s.dur);
            std::vector<std::pair<std::string, int>> elems;
            const int textPart = s.text ? static_cast<int>(part++) : -1;
            if (s.video) elems.push_back({"video", static_cast<int>(part++)});
            if (s.image) elems.push_back({"img", static_cast<int>(part++)});
            if (s.audio) elems.push_back({"audio", static_cast<int>(part++)});
            if (s.text) elems.push_back({"text", textPart});
            ASSERT_EQ(r.pars[i].media.size(), elems.size());
            for (size_t e = 0; e < elems.size(); ++e) {
                EXPECT_EQ(r.pars[i].media[e].element, elems[e].first);
                EXPECT_EQ(r.pars[i].media[e].part, elems[e].second);
            }
        }
    }
}

// ---------------------------------------------------------------- real retrieved messages

struct Item {
    bool present = false;
    Bytes data;
    int begin = 0, end = 0;
};

int completed_end(int begin, int end, int dur) { return begin < end ? end : begin + (dur > 0 ? dur : 5000); }

TEST(ComposerInterop, RealRetrievedMessagesSlideBySlide) {
    if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus missing";
    if (!reference_available()) GTEST_SKIP() << "tshark not installed";
    const std::vector<std::string> files = {"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf",
                                            "m-retrieve_4.conf"};
    std::vector<std::string> paths;
    for (const auto &f : files) paths.push_back(rrtest::interop_path(f));
    const auto ref = reference(paths);
    ASSERT_EQ(ref.size(), files.size());
    int slidesSeen = 0, attachmentsSeen = 0;
    for (size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k]);
        rrtest::LeakCheck leaks;
        const Bytes raw = rrtest::read_file(paths[k]);
        rrtest::HeapCopy copy(raw);
        tCPS_PduBuf in{const_cast<uint8_t *>(copy.data()), copy.size()};
        tCPS_MmsData d{};
        ASSERT_EQ(fnCPS_ParserMMS(&d, &in), 0);
        std::string problem;
        const HostMessage got = rrtest::read_lists(d, &problem);
        EXPECT_EQ(problem, "");
        EXPECT_EQ(d.Header.Retrieve.Retrieve_Pdu_Size, static_cast<int>(raw.size()));
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(raw.data(), static_cast<int>(raw.size()));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(rrtest::str_or_empty(d.Header.Retrieve.Retrieve_Conf.Message_Id), rrtest::str_or_empty(r->Message_Id));
        EXPECT_EQ(rrtest::str_or_empty(d.Header.Retrieve.Retrieve_Conf.Subject), rrtest::str_or_empty(r->Subject));
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);

        const RefMessage &m = ref[k];
        auto bytes_of = [&](int part) {
            const RefPart &p = m.parts[static_cast<size_t>(part)];
            return Bytes(raw.begin() + p.offset, raw.begin() + p.offset + p.length);
        };
        // Slides: the pars that show something, each kind's last element.
        std::vector<HostSlide> want;
        std::vector<bool> used(m.parts.size(), false);
        for (const RefPar &par : m.pars) {
            HostSlide s;
            bool shows = false;
            for (const RefMedia &e : par.media) {
                if (e.part < 0 || m.parts[static_cast<size_t>(e.part)].length == 0) continue;
                used[static_cast<size_t>(e.part)] = true;
                shows = true;
                const int end = completed_end(e.begin, e.end, par.dur);
                HostMedia h{m.parts[static_cast<size_t>(e.part)].type, "", bytes_of(e.part), e.begin, end};
                if (e.element == "img") s.image = h;
                if (e.element == "audio") s.audio = h;
                if (e.element == "video") s.video = h;
                if (e.element == "text") s.text = HostText{"", e.begin, end};
            }
            if (!shows) continue;
            if (s.video) s.image.reset(), s.audio.reset();
            s.dur = par.dur > 0 ? par.dur : 12000;
            want.push_back(s);
        }
        if (!m.hasSmil) {
            // Without a presentation the n-th text, image and audio share
            // slide n of 20000 ms; a video gets a slide of its own.
            std::vector<int> texts, images, audios, videos;
            for (size_t p = 0; p < m.parts.size(); ++p) {
                const std::string &t = m.parts[p].type;
                if (t == "text/plain") texts.push_back(static_cast<int>(p));
                else if (t.rfind("image", 0) == 0) images.push_back(static_cast<int>(p));
                else if (t.rfind("audio", 0) == 0) audios.push_back(static_cast<int>(p));
                else if (t.rfind("video", 0) == 0) videos.push_back(static_cast<int>(p));
            }
            size_t ti = 0, ii = 0, ai = 0, vi = 0;
            while (ti < texts.size() || ii < images.size() || ai < audios.size() || vi < videos.size()) {
                HostSlide s;
                s.dur = 20000;
                if (ti < texts.size()) used[static_cast<size_t>(texts[ti++])] = true, s.text = HostText{"", 0, 20000};
                if (ii < images.size()) {
                    const int p = images[ii++];
                    used[static_cast<size_t>(p)] = true;
                    s.image = HostMedia{m.parts[static_cast<size_t>(p)].type, "", bytes_of(p), 0, 5000};
                }
                if (ai < audios.size()) {
                    const int p = audios[ai++];
                    used[static_cast<size_t>(p)] = true;
                    s.audio = HostMedia{m.parts[static_cast<size_t>(p)].type, "", bytes_of(p), 0, 5000};
                }
                if (!s.image && !s.audio && vi < videos.size()) {
                    const int p = videos[vi++];
                    used[static_cast<size_t>(p)] = true;
                    s.video = HostMedia{m.parts[static_cast<size_t>(p)].type, "", bytes_of(p), 0, 20000};
                }
                want.push_back(s);
            }
        }
        if (want.size() > 10) want.resize(10);
        if (want.empty()) want.push_back(HostSlide{{}, {}, {}, {}, 12000});
        ASSERT_EQ(got.slides.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE("slide " + std::to_string(i));
            const HostSlide &g = got.slides[i], &w = want[i];
            EXPECT_EQ(g.dur, w.dur);
            for (auto [gm, wm] : {std::pair{&g.image, &w.image}, {&g.audio, &w.audio}, {&g.video, &w.video}}) {
                ASSERT_EQ(gm->has_value(), wm->has_value());
                if (!*wm) continue;
                EXPECT_EQ((*gm)->data, (*wm)->data);
                EXPECT_EQ((*gm)->type, (*wm)->type);
                EXPECT_EQ((*gm)->begin, (*wm)->begin);
                EXPECT_EQ((*gm)->end, (*wm)->end);
                EXPECT_FALSE((*gm)->name.empty());
            }
            ASSERT_EQ(g.text.has_value(), w.text.has_value());
            if (w.text) {
                EXPECT_FALSE(g.text->text.empty());
                EXPECT_EQ(g.text->begin, w.text->begin);
                EXPECT_EQ(g.text->end, w.text->end);
            }
            ++slidesSeen;
        }
        // Attachments: the parts no slide uses, in body order.
        std::vector<HostAttachment> wantAtt;
        for (size_t p = 0; p < m.parts.size(); ++p)
            if (!used[p] && m.parts[p].length > 0 && wantAtt.size() < 10)
                wantAtt.push_back({"", m.parts[p].type, bytes_of(static_cast<int>(p))});
        ASSERT_EQ(got.attachments.size(), wantAtt.size());
        for (size_t a = 0; a < wantAtt.size(); ++a) {
            EXPECT_EQ(got.attachments[a].data, wantAtt[a].data);
            EXPECT_EQ(got.attachments[a].type, wantAtt[a].type);
            EXPECT_FALSE(got.attachments[a].name.empty());
            ++attachmentsSeen;
        }
        rrtest::free_lists(d);
        rrtest::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
    }
    EXPECT_GT(slidesSeen, 4);
}

}  // namespace
