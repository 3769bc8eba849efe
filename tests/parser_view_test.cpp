// The slide view through the fnPAR_ queries: bodies without presentation,
// attachments and their names, DRM parts of every type, allocation failures,
// and presentations made up at random and packed by the library's encoder.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "MMSPs_SlideView.h"
#include "qx_log.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::operator+;

namespace {

const bool kQuiet = (qx::set_log_enabled(false), true);

// ---------------------------------------------------------------- WSP bodies by hand

Bytes uintvar(uint32_t v) {
    Bytes out{static_cast<uint8_t>(v & 0x7F)};
    for (v >>= 7; v; v >>= 7) out.insert(out.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    return out;
}
Bytes str0(const std::string &s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}
Bytes raw(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct Entry {
    std::string type;
    Bytes params;        // after the type inside a general-form value
    std::string location;  // Content-Location, when not empty
    std::string data;
};

// 0x84, multipart/mixed, the entries. An entry with params uses the general
// form of the content type; one without is the type text alone.
Bytes body_of(const std::vector<Entry> &entries) {
    Bytes b{0x84, 0xA3};
    b = b + uintvar(static_cast<uint32_t>(entries.size()));
    for (const Entry &e : entries) {
        Bytes ct = str0(e.type) + e.params;
        if (!e.params.empty()) {
            Bytes lv = ct.size() < 31 ? Bytes{static_cast<uint8_t>(ct.size())} : Bytes{31} + uintvar(ct.size());
            ct = lv + ct;
        }
        Bytes headers = ct;
        if (!e.location.empty()) headers = headers + Bytes{0x8E} + str0(e.location);
        b = b + uintvar(static_cast<uint32_t>(headers.size())) + uintvar(static_cast<uint32_t>(e.data.size())) +
            headers + raw(e.data);
    }
    return b;
}

Bytes name_param(const std::string &n) { return Bytes{0x85} + str0(n); }
Bytes charset(int mib) { return Bytes{0x81, static_cast<uint8_t>(0x80 | mib)}; }
const Bytes kFwdNo = raw(std::string("fwd\0no\0", 7));

// ---------------------------------------------------------------- reading the view back

std::string rect(int l, int t, int w, int h) {
    char b[64];
    std::snprintf(b, sizeof b, "[%d,%d,%d,%d]", l, t, w, h);
    return b;
}
std::string s(const char *p) { return p ? p : "-"; }
std::string at(int b, int e) { return "@" + std::to_string(b) + "-" + std::to_string(e); }
std::string drm(int isDrm, int type) { return isDrm ? " drm" + std::to_string(type) : ""; }

// Every slide and attachment as the composer reads them.
std::string view() {
    std::string out;
    fnPAR_FirstSlide();
    while (!fnPAR_IsEmpty()) {
        out += "S" + std::to_string(fnPAR_GetDur());
        tPAR_TextInfo t{};
        if (fnPAR_GetText(&t)) out += " t:" + s(t.Text) + at(t.Begin, t.End) + rect(t.Left, t.Top, t.Width, t.Height);
        tPAR_ImgInfo i{};
        if (fnPAR_GetImg(&i))
            out += " i:" + s(i.Name) + "/" + s(i.Type) + at(i.Begin, i.End) + rect(i.Left, i.Top, i.Width, i.Height) +
                   drm(i.IsDrm, i.DrmType) + (i.FwdParamLen ? " fwd" + std::to_string(i.FwdParamLen) : "");
        tPAR_AudInfo a{};
        if (fnPAR_GetAud(&a)) out += " a:" + s(a.Name) + at(a.Begin, a.End) + drm(a.IsDrm, a.DrmType);
        tPAR_VideoInfo v{};
        if (fnPAR_GetVideo(&v)) out += " v:" + s(v.Name) + at(v.Begin, v.End) + rect(v.Left, v.Top, v.Width, v.Height);
        uint32_t c;
        if (fnPAR_GetBgColor(&c)) out += " bg";
        if (fnPAR_GetForeColor(&c)) out += " fg";
        out += " | ";
        if (!fnPAR_NextSlide()) break;
    }
    const int n = fnPAR_GetAttachmentNum();
    for (int k = 0; k < n; ++k) {
        tPAR_AttachInfo a{};
        if (!fnPAR_GetAttachment(&a, static_cast<uint32_t>(k))) return out + "<lost attachment>";
        out += "A:" + s(a.Name) + "/" + s(a.Type) + "/" + std::to_string(a.DrmType) + "/" +
               std::string(reinterpret_cast<const char *>(a.Data), static_cast<size_t>(a.Length)) +
               (a.FwdParamLen ? "/fwd" + std::to_string(a.FwdParamLen) : "") + " ";
    }
    return out;
}

// Builds the view of a body, reads it and releases it: "result: view".
std::string parse(const Bytes &body) {
    HeapCopy copy(body);
    rrtest::LeakCheck leaks;
    const int r = fnPAR_ParseMMS(copy.data(), copy.size());
    std::string out =
        std::to_string(r) + ": " + (r == PAR_VIEW_BUILT ? view() : (fnPAR_IsEmpty() ? "empty" : "not empty"));
    fnPAR_Release();
    return out;
}

Entry smil(const std::string &body) {
    return {"application/smil", {}, "p.smil",
            "<smil><head><layout><region id=\"Image\" left=\"1\" top=\"2\" width=\"3\" height=\"4\"/></layout></head>"
            "<body>" + body + "</body></smil>"};
}

TEST(SlideView, BodiesWithoutPresentation) {
    const Entry text8{"text/plain", charset(106), "t.txt", "hi"};
    const Entry jpg1{"image/jpeg", {}, "1.jpg", "J1"}, jpg2{"image/jpeg", {}, "2.jpg", "J2"};
    const Entry amr{"audio/amr", {}, "s.amr", "AMR"};
    const struct {
        std::vector<Entry> parts;
        std::string want;
    } cases[] = {
        {{text8, jpg1, jpg2, amr},
         "1: S20000 t:hi@0-20000[0,0,160,30] i:1.jpg/image/jpeg@0-5000[0,0,160,170] a:s.amr@0-5000 | "
         "S20000 i:2.jpg/image/jpeg@0-5000[0,0,160,170] | "},
        // text/plain without charset is placed; Text/Plain without one is not
        {{{"text/plain", {}, "p.txt", "plain"}, {"Text/Plain", {}, "q.txt", "odd"}},
         "1: S20000 t:plain@0-20000[0,0,160,30] | A:q.txt/Text/Plain/0/odd "},
        // a video gets its own slide, after the images and audio
        {{{"video/3gpp", {}, "v1.3gp", "V1"}, jpg1, {"video/mp4", {}, "v2.mp4", "V2"}},
         "1: S20000 i:1.jpg/image/jpeg@0-5000[0,0,160,170] | S20000 v:v1.3gp@0-20000[0,0,0,0] | "
         "S20000 v:v2.mp4@0-20000[0,0,0,0] | "},
        // a DRM message around an image goes by its inner type; rights are listed
        {{{"application/vnd.oma.drm.message", {}, "d.dm", "--b\r\nContent-Type: image/gif\r\n\r\nGIF"},
          {"application/vnd.oma.drm.message", {}, "r.dr",
           "--b\r\nContent-Type: application/vnd.oma.drm.rights+xml\r\n\r\nR"},
          {"application/pdf", {}, "x.pdf", "PDF"}},
         "1: S20000 i:d.dm/application/vnd.oma.drm.message@0-5000[0,0,160,170] drm1 | "
         "A:r.dr/application/vnd.oma.drm.message/2/--b\r\nContent-Type: application/vnd.oma.drm.rights+xml\r\n\r\nR "
         "A:x.pdf/application/pdf/0/PDF "},
        // an empty body: no slide, no attachment
        {{}, "1: "},
    };
    for (const auto &c : cases) EXPECT_EQ(parse(body_of(c.parts)), c.want);
}

TEST(SlideView, AttachmentNamesAndTimes) {
    const struct {
        std::vector<Entry> parts;
        std::string want;
    } cases[] = {
        // the presentation uses two of three parts; the third is named by default
        {{smil("<par dur=\"6000\"><img src=\"a.jpg\" begin=\"2000\" region=\"Image\"/><text src=\"t.txt\" begin=\"9\" end=\"8\"/></par>"
               "<par><img src=\"a.jpg\" begin=\"2000\"/></par>"),
          {"image/jpeg", {}, "a.jpg", "A"}, {"text/plain", {}, "t.txt", "T"}, {"image/gif", {}, "", "G"}},
         "1: S6000 t:T@9-6009[0,0,0,0] i:a.jpg/image/jpeg@2000-8000[1,2,3,4] | S0 i:a.jpg/image/jpeg@2000-7000[0,0,0,0] | "
         "A:image2.gif/image/gif/0/G "},
        // unnamed parts: the name parameter, else the default name (letter case matters)
        {{{"image/png", {}, "", "P"}, {"Image/GIF", {}, "", "G"}, {"video/mp4", {}, "", "M"},
          {"image/x", name_param("n.x"), "", "N"}, {"text/x-vCard", {}, "", "C"}},
         // (parts without a name leave their slide empty and are listed)
         "1: S20000 | S20000 | S20000 i:n.x/image/x@0-5000[0,0,160,170] | S20000 | A:unKnown/image/png/0/P A:unKnown/Image/GIF/0/G "
         "A:video2.3gp/video/mp4/0/M A:vCard4.vcf/text/x-vCard/0/C "},
        // a presentation without </body>: no slides, and every part is listed
        {{{"application/smil", {}, "p.smil", "<smil><body><par><img src=\"a.jpg\"/></par>"},
          {"image/jpeg", {}, "a.jpg", "A"}, {"image/gif", {}, "b.gif", "B"}},
         "1: A:a.jpg/image/jpeg/0/A A:b.gif/image/gif/0/B "},
        // only a SMIL part: nothing to show, and nothing leaks
        {{smil("<par><img src=\"a.jpg\"/></par>")}, "1: "},
    };
    for (const auto &c : cases) EXPECT_EQ(parse(body_of(c.parts)), c.want);

    tPAR_AttachInfo a{};
    const Bytes one = body_of({{"image/gif", {}, "b.gif", "B"}, smil("")});
    HeapCopy copy(one);
    ASSERT_EQ(fnPAR_ParseMMS(copy.data(), copy.size()), 1);
    EXPECT_EQ(fnPAR_GetAttachmentNum(), 1);
    EXPECT_EQ(fnPAR_GetAttachment(&a, 1), 0);
    EXPECT_EQ(fnPAR_GetAttachment(nullptr, 0), 0);
    EXPECT_EQ(fnPAR_GetAttachment(&a, 0), 1);
    EXPECT_EQ(fnPAR_GetAttachment(&a, 0), 1);  // reading backwards again works
    fnPAR_Release();
    EXPECT_EQ(fnPAR_ParseMMS(nullptr, 3), 0);
    const uint8_t bad[] = {0x85, 0xA3, 0x00};
    EXPECT_EQ(fnPAR_ParseMMS(bad, 3), 0);
    EXPECT_EQ(fnPAR_IsEmpty(), 1);
    fnPAR_Release();
}

// The messages a developer follows a parse by.
TEST(SlideView, DiagnosticLog) {
    qx::set_log_enabled(true);
    {
        rrtest::LogCapture log;
        parse(body_of({{"application/smil", {}, "p.smil", "<smil><body><par><img src=\"a.jpg\"/></par>"},
                       {"image/jpeg", {}, "a.jpg", "A"}}));
        EXPECT_TRUE(log.contains("entry SmilParserSmilMMS"));
        EXPECT_TRUE(log.contains("SMIL BEGIN len:41\n"));
        EXPECT_TRUE(log.contains("<smil><body><par><img src=\"a.jpg\"/></par>"));
        EXPECT_TRUE(log.contains("SmilParseSmil error"));
        EXPECT_TRUE(log.contains("pAttachment->Type: image/jpeg"));
        EXPECT_TRUE(log.contains("end  fnPAR_GetAttachment"));
        EXPECT_TRUE(log.contains("before  while(pReg != NULL)"));
        EXPECT_TRUE(log.contains("MMS_FREE(pAttachment->Name)"));
        EXPECT_NE(log.text().find("..\\..\\qxmms\\Parser\\src\\MMSPs_"), std::string::npos);
    }
    {
        rrtest::LogCapture log;
        parse(body_of({{"Text/Plain", {}, "q.txt", "odd"}}));
        EXPECT_TRUE(log.contains("pNewElement->Content_Type:is not text/plain"));
        EXPECT_FALSE(log.contains("SmilParseSmil"));
    }
    qx::set_log_enabled(false);
}

TEST(SlideView, DefaultNames) {
    const struct {
        const char *type;
        int n;
        const char *want;
    } cases[] = {{"text/plain", 0, "text0.txt"},       {"text/x-vCalendar", 3, "vCalendar3.vcs"},
                 {"image/jpeg", 1, "image1.jpeg"},     {"image/jpg", 1, "image1.jpg"},
                 {"video/mp4", 2, "video2.3gp"},       {"Video/mp4", 2, "video2.mp4"},
                 {"video/3gpp", 2, "video2.mp4"},      {"video/asf", 4, "video4.wmv"},
                 {"Video/asf", 4, "video4.asf"},       {"audio/mp4", 5, "audio5.3gp"},
                 {"audio/asf", 6, "Audio6.asf"},       {"audio/basic", 7, "audio7.wav"},
                 {"Audio/basic", 7, "audio7.au"},      {"application/vnd.smaf", 8, "audio8.mmf"},
                 {"image/png", 9, "unKnown"},          {"IMAGE/JPEG", 9, "unKnown"},
                 {"audio/amr-wb", 2147483647, "audio2147483647.awb"}};
    for (const auto &c : cases) {
        char buf[SMIL_DEFAULT_NAME_SIZE];
        ASSERT_EQ(SmilGetDefaultName(buf, c.type, c.n), 1);
        EXPECT_STREQ(buf, c.want) << c.type;
    }
    char buf[SMIL_DEFAULT_NAME_SIZE];
    EXPECT_EQ(SmilGetDefaultName(buf, nullptr, 0), 0);
    EXPECT_EQ(SmilGetMediaKind("TEXT/PLAIN"), 1);
    EXPECT_EQ(SmilGetMediaKind("text/html"), 5);
    EXPECT_EQ(SmilGetMediaKind("Image/GIF"), 2);
    EXPECT_EQ(SmilGetMediaKind("audiox"), 3);
    EXPECT_EQ(SmilGetMediaKind(nullptr), -1);
}

// ---------------------------------------------------------------- DRM

const std::string kDm = "application/vnd.oma.drm.message";
const std::string kDc = "application/vnd.oma.drm.content";

TEST(Drm, Classifier) {
    const std::string longLine = "X-Long: " + std::string(300, 'a');
    const struct {
        std::string type, data;
        int want, headerLen;
        const char *inner;
    } cases[] = {
        {kDc, "whatever", 3, 0, ""},
        {"Application/vnd.oma.drm.message", "--b\r\nContent-Type: image/jpeg\r\n\r\n", 0, 0, ""},
        {kDm, "--boundary\r\nContent-Type: image/jpeg\r\n\r\n\xFF\xD8", 1, 0, "image/jpeg"},
        {kDm, "--b\r\nContent-Type: Image/JPEG\r\n\r\n", 1, 0, "image/jpeg"},
        {kDm, "--b\r\nContent-Type: image / jpeg\r\n\r\n", 1, 0, "image/jpeg"},
        {kDm, "--b\r\nContent-Type: image/jpeg; fwd=no\r\n\r\n", 5, 0, ""},
        {kDm, "--b\r\nCONTENT-TYPE: audio/amr;Ringtone=no\r\n\r\n", 5, 0, ""},
        {kDm, "--b\r\nContent-Type: application/vnd.oma.drm.rights+xml\r\n\r\n", 2, 0, ""},
        {kDm, "--b\r\nContent-Type: application/vnd.oma.drm.rights+wbxml\r\n\r\n", 2, 0, ""},
        {kDm,
         "--b\r\nContent-Type: application/vnd.oma.drm.content\r\nContent-Transfer-Encoding: binary\r\n\r\nDCF\r\n"
         "Content-Type: image/gif\r\n",
         4, 87, ""},
        {kDm, "", 0, 0, ""},
        {kDm, "--b\r\nContent-Length: 3\r\n\r\nabc", 0, 26, ""},  // lines counted, no outcome
        {kDm, "--b\rContent-Type: image/gif\r\n\r\n", 1, 0, "image/gif"},  // a lone CR is part of the line
        {kDm, "--b\r\nContent-Type: image/gif", 0, 5, ""},                 // the line never ends
        {kDm, "Content-Type: " + std::string(60, 'x') + "\r\n", 1, 0, nullptr},  // 50 characters kept
        // a line over 127 characters is searched in its first 127 and counted whole
        {kDm, longLine + "\r\nContent-Type: audio/amr\r\n\r\n", 1, 0, "audio/amr"},
        {kDm, "--b\r\nContent-Type: application/vnd.oma.drm.content\r\n" + longLine + "\r\n\r\nDCF", 4,
         5 + 47 + static_cast<int>(longLine.size()) + 2, ""},
        {kDm, std::string(130, 'y') + "Content-Type: image/gif\r\n\r\n", 0, 157, ""},
        {"image/jpeg", "--b\r\nContent-Type: image/gif\r\n\r\n", 0, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.substr(0, 60));
        HeapCopy data(reinterpret_cast<const uint8_t *>(c.data.data()), c.data.size());
        auto *inner = static_cast<char *>(std::calloc(SMIL_DRM_INNER_TYPE_SIZE, 1));  // exactly 100 bytes
        int32_t hl = 0;
        EXPECT_EQ(SmilGetDrmType(c.type.c_str(), data.data(), data.size(), &hl, inner), c.want);
        EXPECT_EQ(hl, c.headerLen);
        if (c.inner) EXPECT_STREQ(inner, c.inner);
        else EXPECT_EQ(std::strlen(inner), 50u);
        EXPECT_EQ(SmilGetDrmType(c.type.c_str(), data.data(), data.size(), nullptr, nullptr), c.want);
        std::free(inner);
    }
}

// DRM parts of every type, shown on a slide or listed, as the composer reads them.
TEST(Drm, PartsOnSlidesAndInTheAttachmentList) {
    const std::string t1 = "--b\r\nContent-Type: image/jpeg\r\n\r\nJ1";
    const std::string t2 = "--b\r\nContent-Type: application/vnd.oma.drm.rights+xml\r\n\r\nR";
    const std::string t4 = "--b\r\nContent-Type: application/vnd.oma.drm.content\r\nX: y\r\n\r\nDCF";
    const std::string t5 = "--b\r\nContent-Type: image/gif; fwd=no\r\n\r\nG5";
    const std::string t0 = "--b\r\nContent-Length: 2\r\n\r\nJ0";
    const Bytes body = body_of({
        smil("<par><img src=\"d0.dm\"/></par><par><img src=\"d1.dm\"/></par><par><img src=\"d2.dr\"/></par>"
             "<par><img src=\"d3.dcf\"/></par><par><img src=\"d4.dm\"/></par><par><img src=\"d5.dm\"/></par>"
             "<par><img src=\"f.png\"/></par>"),
        {kDm, {}, "d0.dm", t0},
        {kDm, {}, "d1.dm", t1},
        {kDm, {}, "d2.dr", t2},
        {kDc, {}, "d3.dcf", "DCF3"},
        {kDm, {}, "d4.dm", t4},
        {kDm, {}, "d5.dm", t5},
        {"image/png", kFwdNo, "f.png", "PNG"},
        {"image/png", kFwdNo, "g.png", "PNG2"},
        {kDc, kFwdNo, "h.dcf", "DCF"},
    });
    EXPECT_EQ(parse(body),
              "1: S0 i:d1.dm/" + kDm + "@0-5000[0,0,0,0] drm1 | S0 i:d5.dm/" + kDm + "@0-5000[0,0,0,0] drm5 | "
              "S0 i:f.png/image/png@0-5000[0,0,0,0] drm5 fwd7 | "
              "A:d0.dm/" + kDm + "/0/" + t0 + " A:d2.dr/" + kDm + "/2/" + t2 + " A:d3.dcf/" + kDc + "/3/DCF3 "
              "A:d4.dm/" + kDm + "/4/\r\nDCF A:d5.dm/" + kDm + "/5/" + t5 + " A:g.png/image/png/5/PNG2/fwd7 "
              "A:h.dcf/" + kDc + "/5/DCF/fwd7 ");
}

// ---------------------------------------------------------------- allocation failures

// Every allocation failure is reported as out of memory, never as a smaller
// view or as a body the parser cannot read; nothing leaks, and the next parse
// gives the full view again.
TEST(SlideView, AllocationFailuresAreReported) {
    if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus absent";
    const Bytes pdu = rrtest::read_file(rrtest::interop_path("m-retrieve_2.conf"));
    tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), static_cast<int>(pdu.size()));
    ASSERT_NE(r, nullptr);
    const Bytes body(r->body, r->body + r->Content_Size);
    fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    HeapCopy copy(body);

    const std::string full = parse(body);
    ASSERT_EQ(full.substr(0, 3), "1: ");
    ASSERT_NE(full.find("S5000 i:131200131.jpg"), std::string::npos) << full;
    long reported = 0;
    const long allocs = rrtest::for_each_alloc_failure([&](long) {
        const int result = fnPAR_ParseMMS(copy.data(), copy.size());
        const bool fired = qx::alloc_fail_fired();
        qx::alloc_fail_off();
        fnPAR_Release();
        if (!fired) {
            EXPECT_EQ(result, PAR_VIEW_BUILT);
            return;
        }
        EXPECT_EQ(result, PAR_NO_MEMORY);
        reported += result == PAR_NO_MEMORY;
        EXPECT_EQ(parse(body), full);
    });
    EXPECT_GT(allocs, 20);
    EXPECT_EQ(reported, allocs);
}

// ---------------------------------------------------------------- random presentations

// Slides made up at random, written as SMIL, packed with the library's body
// encoder, and read back through the queries: the view must be the slides.
TEST(SlideView, RandomPresentationsReadBack) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 200; ++round) {
        const int slides = 1 + static_cast<int>(rng() % 6);
        std::string smilText = "<smil><head><layout><root-layout width=\"176\" height=\"208\"/>"
                               "<region id=\"Image\" left=\"0\" top=\"0\" width=\"176\" height=\"144\"/>"
                               "<region id=\"Text\" left=\"0\" top=\"144\" width=\"176\" height=\"64\"/>"
                               "</layout></head><body>";
        std::vector<std::string> names, types, datas;
        std::string want;
        for (int k = 0; k < slides; ++k) {
            const int dur = static_cast<int>(rng() % 20000);
            const bool img = rng() % 2, txt = rng() % 2, aud = rng() % 3 == 0;
            const bool vid = !img && !aud && rng() % 3 == 0;
            const int begin = static_cast<int>(rng() % 3000), end = static_cast<int>(rng() % 6000);
            const int endShown = begin < end ? end : begin + (dur > 0 ? dur : 5000);
            smilText += "<par dur=\"" + std::to_string(dur) + "ms\">";
            std::string slide = "S" + std::to_string(dur);
            auto add = [&](const std::string &ext, const std::string &type) {
                names.push_back("m" + std::to_string(names.size()) + ext);
                types.push_back(type);
                datas.push_back("data of " + names.back());
                return names.back();
            };
            if (txt) {
                const std::string n = add(".txt", "text/plain");
                smilText += "<text src=\"" + n + "\" region=\"Text\" begin=\"" + std::to_string(begin) + "ms\" end=\"" +
                            std::to_string(end) + "\"/>";
                slide += " t:" + datas.back() + at(begin, endShown) + rect(0, 144, 176, 64);
            }
            if (img) {
                const std::string n = add(".jpg", "image/jpeg");
                smilText += "<img src=\"" + n + "\" region=\"Image\" begin=\"" + std::to_string(begin) + "\" end=\"" +
                            std::to_string(end) + "ms\"/>";
                slide += " i:" + n + "/image/jpeg" + at(begin, endShown) + rect(0, 0, 176, 144);
            }
            if (aud) {
                const std::string n = add(".amr", "audio/amr");
                smilText += "<audio src=\"" + n + "\"/>";
                slide += " a:" + n + at(0, dur > 0 ? dur : 5000);
            }
            if (vid) {
                const std::string n = add(".3gp", "video/3gpp");
                smilText += "<video src=\"cid:" + n + "\" region=\"Image\"/>";
                slide += " v:" + n + at(0, dur > 0 ? dur : 5000) + rect(0, 0, 176, 144);
            }
            smilText += "</par>";
            if (txt || img || aud || vid) want += slide + " | ";
        }
        smilText += "</body></smil>";
        // One extra part that no slide names becomes the only attachment.
        names.push_back("extra.bin");
        types.push_back("application/octet-stream");
        datas.push_back("extra");
        want += "A:extra.bin/application/octet-stream/0/extra ";

        std::vector<tMMS_Element> parts(names.size());
        for (size_t k = 0; k < parts.size(); ++k) {
            parts[k].Content_Type = types[k].data();
            parts[k].File_Name = names[k].data();
            parts[k].Data = reinterpret_cast<uint8_t *>(datas[k].data());
            parts[k].Data_Len = static_cast<int>(datas[k].size());
            parts[k].next = k + 1 < parts.size() ? &parts[k + 1] : nullptr;
        }
        smilstruct sm{const_cast<char *>("application/smil"), reinterpret_cast<uint8_t *>(smilText.data()),
                      static_cast<int>(smilText.size())};
        mmresstruct rec{&sm, parts.data(), 0};
        int len = 0;
        uint8_t *encoded = fnMMS_EncodeBody(&rec, &len);
        ASSERT_NE(encoded, nullptr);
        const Bytes body(encoded, encoded + len);
        void *v = encoded;
        fnQX_Free(&v);
        ASSERT_EQ(parse(body), "1: " + want) << smilText;
    }
}

}  // namespace
