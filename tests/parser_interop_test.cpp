// Real retrieved messages and stored send requests through the slide view,
// compared with an independent reading: the body parts as Wireshark's WSP
// multipart dissector shows them and the SMIL presentation as Python's
// xml.etree reads it (tests/support/parser_reference.py prints both).
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "MMSPs_SlideView.h"
#include "qx_log.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HeapCopy;

namespace {

// The diagnostic log would drown the test output.
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
    std::vector<RefMedia> media;  // document order
};
struct RefRegion {
    std::string id;
    int left, top, width, height;
};
struct RefMessage {
    std::string file;
    std::vector<RefPart> parts;
    bool hasSmil = false;
    std::vector<RefRegion> regions;
    std::vector<RefPar> pars;
};

std::string undash(const std::string &s) { return s == "-" ? "" : s; }

bool tool_available(const char *name) {
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Runs the reference reader once for all files.
std::vector<RefMessage> reference(const std::vector<std::string> &files) {
    std::string cmd = std::string("RR_PDU2PCAP='") + RR_INTEROP_DIR + "/../tools/pdu2pcap.py' python3 '" +
                      RR_SOURCE_DIR + "/tests/support/parser_reference.py'";
    for (const auto &f : files) cmd += " '" + rrtest::interop_path(f) + "'";
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
            out.push_back(RefMessage{});
            out.back().file = f[1];
        } else if (f[0] == "PART") {
            out.back().parts.push_back({std::stol(f[1]), std::stol(f[2]), undash(f[3]), undash(f[4]), undash(f[5]),
                                        undash(f[6])});
        } else if (f[0] == "SMIL") {
            out.back().hasSmil = true;
        } else if (f[0] == "REGION") {
            out.back().regions.push_back({undash(f[1]), std::stoi(f[2]), std::stoi(f[3]), std::stoi(f[4]),
                                          std::stoi(f[5])});
        } else if (f[0] == "PAR") {
            out.back().pars.push_back({std::stoi(f[1]), {}});
        } else if (f[0] == "MEDIA") {
            out.back().pars.back().media.push_back({f[1], std::stoi(f[2]), std::stoi(f[3]), std::stoi(f[4]),
                                                    undash(f[5])});
        }
    }
    return out;
}

// The message body of a PDU file: a retrieve-conf's body or a send request's
// ContentTypeAndBody, which are the last bytes of the PDU.
struct Body {
    Bytes bytes;
    long pduOffset = 0;  // where the body starts in the PDU
};

Body body_of(const std::string &file) {
    const Bytes raw = rrtest::read_file(rrtest::interop_path(file));
    Body b;
    if (file.find("retrieve") != std::string::npos) {
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(raw.data(), static_cast<int>(raw.size()));
        if (!r) return b;
        b.bytes.assign(r->body, r->body + r->Content_Size);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    } else {
        tMMS_SendReq *q = fnMMS_ParseSendContent(raw.data(), static_cast<int>(raw.size()));
        if (!q) return b;
        b.bytes.assign(q->ContentTypeAndBody, q->ContentTypeAndBody + q->Body_Len);
        fnMMS_FreeMessageMem(q, MMS_STRUCT_SEND_REQ);
    }
    b.pduOffset = static_cast<long>(raw.size() - b.bytes.size());
    return b;
}

struct Seen {
    long offset, length;
    std::string where;
};

int expected_end(int begin, int end, int dur) {
    if (begin < end) return end;
    return begin + (dur > 0 ? dur : 5000);
}

const RefRegion *region_named(const RefMessage &m, const std::string &id) {
    const RefRegion *found = nullptr;
    for (const auto &r : m.regions)
        if (r.id == id) found = &r;  // the one defined last wins
    return found;
}

std::string str(const char *s) { return s ? s : ""; }

const std::vector<std::string> kFiles = {"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf",
                                         "m-retrieve_4.conf", "m-send_1.req",      "m-send_2.req",
                                         "m-send_3.req"};

TEST(ParserInterop, SlidesAndAttachmentsMatchWiresharkAndXmlReading) {
    if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus absent";
    if (!tool_available("tshark")) {
        const char *req = std::getenv("RR_REQUIRE_TSHARK");
        if (req && std::string(req) == "1") FAIL() << "tshark is required but not installed";
        GTEST_SKIP() << "tshark is not installed";
    }
    const std::vector<RefMessage> refs = reference(kFiles);
    ASSERT_EQ(refs.size(), kFiles.size()) << "reference reader failed";

    int smilMessages = 0;
    for (const RefMessage &ref : refs) {
        SCOPED_TRACE(ref.file);
        const Body body = body_of(ref.file);
        ASSERT_FALSE(body.bytes.empty());
        HeapCopy copy(body.bytes);
        rrtest::LeakCheck leaks;
        ASSERT_EQ(fnPAR_ParseMMS(copy.data(), copy.size()), 1);
        auto at = [&](const uint8_t *p) { return p ? body.pduOffset + static_cast<long>(p - copy.data()) : -1L; };
        std::vector<Seen> seen;

        // Slides: the pars of the presentation that show something, in order.
        std::vector<RefPar> pars;
        if (ref.hasSmil) {
            ++smilMessages;
            for (const auto &p : ref.pars) {
                bool shows = false;
                for (const auto &m : p.media) shows |= m.part >= 0;
                if (shows) pars.push_back(p);
            }
        } else {
            // Without presentation every text part gets its own 20 s slide
            // (these messages carry only one part).
            ASSERT_EQ(ref.parts.size(), 1u);
            pars.push_back({20000, {{"text", 0, 0, 0, ""}}});
        }
        fnPAR_FirstSlide();
        for (size_t i = 0; i < pars.size(); ++i) {
            SCOPED_TRACE("slide " + std::to_string(i));
            ASSERT_EQ(fnPAR_IsEmpty(), 0);
            const RefPar &par = pars[i];
            EXPECT_EQ(fnPAR_GetDur(), par.dur);
            // Per kind the element met last in the par is the one shown.
            std::map<std::string, const RefMedia *> last;
            for (const auto &m : par.media)
                if (m.part >= 0) last[m.element] = &m;

            tPAR_TextInfo t{};
            ASSERT_EQ(fnPAR_GetText(&t), last.count("text") ? 1 : 0);
            if (last.count("text")) {
                const RefMedia &m = *last["text"];
                const RefPart &part = ref.parts[m.part];
                const std::string want(reinterpret_cast<const char *>(body.bytes.data()) + part.offset - body.pduOffset,
                                       static_cast<size_t>(part.length));
                EXPECT_EQ(str(t.Text), want);
                EXPECT_EQ(t.Begin, m.begin);
                EXPECT_EQ(t.End, expected_end(m.begin, m.end, par.dur));
                if (const RefRegion *r = region_named(ref, m.region)) {
                    EXPECT_EQ(t.Left, r->left);
                    EXPECT_EQ(t.Top, r->top);
                    EXPECT_EQ(t.Width, r->width);
                    EXPECT_EQ(t.Height, r->height);
                } else if (ref.hasSmil) {
                    EXPECT_EQ(t.Width, 0);
                }
                seen.push_back({part.offset, part.length, "text"});
            }
            tPAR_ImgInfo img{};
            ASSERT_EQ(fnPAR_GetImg(&img), last.count("img") ? 1 : 0);
            if (last.count("img")) {
                const RefMedia &m = *last["img"];
                const RefPart &part = ref.parts[m.part];
                EXPECT_EQ(at(img.Data), part.offset);
                EXPECT_EQ(img.Length, part.length);
                EXPECT_EQ(str(img.Type), part.type);
                EXPECT_EQ(str(img.Name), part.location.empty() ? part.name : part.location);
                EXPECT_EQ(img.Begin, m.begin);
                EXPECT_EQ(img.End, expected_end(m.begin, m.end, par.dur));
                const RefRegion *r = region_named(ref, m.region);
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(img.Left, r->left);
                EXPECT_EQ(img.Top, r->top);
                EXPECT_EQ(img.Width, r->width);
                EXPECT_EQ(img.Height, r->height);
                EXPECT_EQ(img.IsDrm, 0);
                seen.push_back({part.offset, part.length, "img"});
            }
            tPAR_AudInfo aud{};
            EXPECT_EQ(fnPAR_GetAud(&aud), last.count("audio") ? 1 : 0);
            tPAR_VideoInfo vid{};
            EXPECT_EQ(fnPAR_GetVideo(&vid), last.count("video") ? 1 : 0);
            uint32_t colour = 0;
            EXPECT_EQ(fnPAR_GetBgColor(&colour), 0);
            EXPECT_EQ(fnPAR_GetForeColor(&colour), 0);
            EXPECT_EQ(fnPAR_NextSlide(), i + 1 < pars.size() ? 1 : 0);
        }

        // Attachments: the parts no slide shows, in body order.
        std::vector<const RefPart *> unused;
        for (size_t k = 0; k < ref.parts.size(); ++k) {
            bool used = false;
            for (const auto &p : pars)
                for (const auto &m : p.media) used |= m.part == static_cast<int>(k);
            if (!used) unused.push_back(&ref.parts[k]);
        }
        ASSERT_EQ(fnPAR_GetAttachmentNum(), static_cast<int>(unused.size()));
        for (size_t k = 0; k < unused.size(); ++k) {
            tPAR_AttachInfo a{};
            ASSERT_EQ(fnPAR_GetAttachment(&a, static_cast<uint32_t>(k)), 1);
            EXPECT_EQ(at(a.Data), unused[k]->offset);
            EXPECT_EQ(a.Length, unused[k]->length);
            EXPECT_EQ(str(a.Type), unused[k]->type);
            EXPECT_EQ(a.DrmType, 0);
            seen.push_back({unused[k]->offset, unused[k]->length, "attachment"});
        }
        tPAR_AttachInfo beyond{};
        EXPECT_EQ(fnPAR_GetAttachment(&beyond, static_cast<uint32_t>(unused.size())), 0);

        // Every part shows up exactly once, on a slide or as an attachment.
        for (const RefPart &part : ref.parts) {
            int count = 0;
            for (const Seen &s : seen) count += s.offset == part.offset && s.length == part.length;
            EXPECT_EQ(count, 1) << "part at " << part.offset;
        }
        EXPECT_EQ(seen.size(), ref.parts.size());
        fnPAR_Release();
    }
    EXPECT_EQ(smilMessages, 6);
}

}  // namespace
