// The SMIL tokenizer and interpreter, table-driven: each case is a source and
// the tags, or the view, it must give. Sources are exactly sized heap copies
// without a terminating zero, so any read past the given length is caught.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MMSPs_SlideView.h"
#include "qx_log.h"
#include "test_support.h"

using rrtest::HeapCopy;

namespace {

const bool kQuiet = (qx::set_log_enabled(false), true);

HeapCopy source(const std::string &s) { return HeapCopy(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }

// "type:name(attr=value,...)" for every tag of the source, space-separated.
std::string tokens(const std::string &src) {
    HeapCopy text = source(src);
    SmilSetSource(reinterpret_cast<const char *>(text.data()), text.size());
    std::string out;
    while (char *t = SmilReadTag()) {
        if (tSMIL_Tag *tag = SmilParseTag(t)) {
            if (!out.empty()) out += ' ';
            out += std::to_string(tag->Type) + ":" + (tag->Name ? tag->Name : "<null>");
            if (tag->pAttr) {
                out += '(';
                for (const tSMIL_Attr *a = tag->pAttr; a; a = a->pNext)
                    out += std::string(a->Name) + "=" + a->Value + (a->pNext ? "," : "");
                out += ')';
            }
            SmilFreeTag(tag);
        }
        void *v = t;
        fnQX_Free(&v);
    }
    return out;
}

TEST(SmilTokenizer, TagsOfTheSource) {
    const std::string tag200 = "<img src=\"" + std::string(184, 'x') + "\"/>";
    const struct {
        std::string src, want;
    } cases[] = {
        {"<smil><head></head><body></body></smil>", "1:smil 1:head 2:head 1:body 2:body 2:smil"},
        {"<?xml version=\"1.0\"?><!DOCTYPE smil><!-- note --><a>", "1:a"},
        {"<!-- a > b --><a>", "1:a"},  // the comment ends at its first '>'
        {"<par/><par dur=\"5s\"/>", "3:par/ 3:par(dur=5s)"},
        {"<img src='a.jpg'/>", "3:img"},
        {"<text src=\"t.txt\" region=\"Text\"/>", "3:text(region=Text,src=t.txt)"},
        {"<x a=\"\">", "1:x(a=)"},
        {"<x a=1 b=\"2\">", "1:x(a=2)"},
        {"<x b=\"1\" c>", "1:x(b=1)"},
        {"<x a=\"1\" a=\"2\">", "1:x(a=2,a=1)"},
        {"<x\r\n a = \"1\"\n/>", "3:x(a=1)"},
        {"< a >text</ a >", "1:a 2:a"},
        {"<>", "1:<null>"},
        {"</>", "3:<null>"},
        {"<x a=\"1>\">", "1:x"},  // the first '>' ends the tag even inside a value
        {"<x a=\"<\">", "1:x(a=<)"},
        {tag200, "3:img(src=" + std::string(184, 'x') + ")"},
        {"<a><b", "1:a"},  // a tag cut off by the end is lost
        {"no tags at all", ""},
        {"<", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(tokens(c.src), c.want) << c.src;
}

// Long tags come back whole, in the interpreter's reused buffer too, and a
// megabyte without '>' is read once to its end.
TEST(SmilTokenizer, LongTags) {
    const std::string value(1 << 20, 'v');
    EXPECT_EQ(tokens("<a><b x=\"" + value + "\"><c>"), "1:a 1:b(x=" + value + ") 1:c");
    EXPECT_EQ(tokens("<a><" + value), "1:a");
    const std::string smil = "<smil><body><par dur=\"2s\"><img alt=\"" + value + "\" src=\"a\"/></par></body></smil>";
    HeapCopy text = source(smil);
    tMMS_Element part{};
    part.File_Name = const_cast<char *>("a");
    part.Content_Type = const_cast<char *>("image/gif");
    part.Data = reinterpret_cast<uint8_t *>(const_cast<char *>("GIF"));
    part.Data_Len = 3;
    rrtest::LeakCheck leaks;
    SmilInitView();
    SmilSetPartList(&part);
    ASSERT_EQ(SmilSetSource(reinterpret_cast<const char *>(text.data()), text.size()), 1);
    EXPECT_EQ(SmilParseSmil(), 1);
    ASSERT_NE(SmilView().pParHead, nullptr);
    EXPECT_EQ(SmilView().pParHead->Dur, 2000);
    ASSERT_NE(SmilView().pParHead->pImg, nullptr);
    EXPECT_EQ(SmilView().pParHead->pImg->Length, 3);
    SmilFreeView();
    SmilSetPartList(nullptr);
}

TEST(SmilTokenizer, SourceIsBoundedAndRefusedWithNul) {
    const std::string withNul("<a><b>\0<c>", 10);
    HeapCopy text = source(withNul);
    EXPECT_EQ(SmilSetSource(reinterpret_cast<const char *>(text.data()), text.size()), 0);
    EXPECT_EQ(SmilReadTag(), nullptr);
    // Only the given length is read: "<a><b>" of a longer buffer.
    EXPECT_EQ(SmilSetSource(reinterpret_cast<const char *>(text.data()), 6), 1);
    char c;
    int n = 0;
    while (SmilReadChar(&c)) ++n;
    EXPECT_EQ(n, 6);
    EXPECT_EQ(SmilSetSource(nullptr, 5), 0);
    EXPECT_EQ(SmilSetSource("<a>", 0), 0);
    EXPECT_EQ(SmilCopySpan("ab", nullptr), nullptr);
    const char *s = "abc";
    EXPECT_EQ(SmilCopySpan(s + 2, s + 1), nullptr);
    EXPECT_EQ(SmilCopySpan(s + 1, s + 1), nullptr);
}

TEST(SmilTokenizer, ElementIds) {
    const struct {
        const char *name;
        int id;
    } cases[] = {{"smil", 0}, {"HEAD", 1}, {"body", 2}, {"layout", 3}, {"meta", 4}, {"PAR", 5},
                 {"region", 6}, {"root-layout", 7}, {"text", 8}, {"Img", 9}, {"audio", 10}, {"ref", 11},
                 {"video", 12}, {"param", 13}, {"par/", -1}, {"img\tsrc=\"a\"", -1}, {"", -1}, {nullptr, -1},
                 {"root-layouts", -1}};
    for (const auto &c : cases) EXPECT_EQ(SmilGetElementId(c.name), c.id) << (c.name ? c.name : "null");
    EXPECT_EQ(tokens("<img\tsrc=\"a\">"), "1:img\tsrc=\"a\"");
}

TEST(SmilValues, TimesNumbersAndColours) {
    const struct {
        const char *v;
        int ms;
    } times[] = {{"8000ms", 8000}, {"8s", 8000},       {"8", 8},          {"1.5s", 1000},
                 {"00:00:05", 0},   {"2500MS", 2500},   {"99999999999ms", INT_MAX}, {"3000000s", INT_MAX},
                 {"-3000000s", INT_MIN}, {"abc", 0}};
    for (const auto &t : times) EXPECT_EQ(SmilParseTime(t.v), t.ms) << t.v;
    EXPECT_EQ(SmilAtoi("50%"), 50);
    EXPECT_EQ(SmilAtoi("176px"), 176);
    EXPECT_EQ(SmilAtoi("99999999999"), INT_MAX);
    EXPECT_EQ(SmilAtoi("-99999999999"), INT_MIN);
    const struct {
        const char *v;
        uint32_t c;
    } colours[] = {{"#FF0000", 0x00FF0000}, {"#fff", 0x00000FFF}, {"#00ff00", 0x0000FF00},
                   {"#123456789", 0x23456789},  // weights beyond 16^7 vanish modulo 2^32
                   {"#G", 'G'},             {"LIME", 0xFF00FF00}, {"lime", 0xFFFFFFFF}, {"RED", 0xFFFF0000},
                   {"WHITE", 0xFFFFFFFF},    {"AQUA", 0xFF00FFFF}, {"", 0xFFFFFFFF}};
    for (const auto &c : colours) EXPECT_EQ(SmilParseColor(c.v), c.c) << c.v;
}

// ---------------------------------------------------------------- interpreter

// A body of named parts held by the test; the view is built from a SMIL text
// against it and described in one line per par.
struct Body {
    struct P {
        std::string type, file, name, cid, data;
        int charset = -1;
        bool fwd = false;
    };
    std::vector<P> spec;
    std::vector<tMMS_Element> parts;
    std::vector<std::string> fwdParam;

    explicit Body(std::vector<P> s) : spec(std::move(s)), parts(spec.size()) {
        for (size_t i = 0; i < spec.size(); ++i) {
            tMMS_Element &e = parts[i];
            auto opt = [](std::string &s) { return s.empty() ? nullptr : s.data(); };
            e.Content_Type = opt(spec[i].type);
            e.File_Name = opt(spec[i].file);
            e.Name_Param = opt(spec[i].name);
            e.Content_Id = opt(spec[i].cid);
            e.Data = reinterpret_cast<uint8_t *>(opt(spec[i].data));
            e.Data_Len = static_cast<int>(spec[i].data.size());
            e.Has_Charset = spec[i].charset >= 0;
            e.Charset = spec[i].charset;
            if (spec[i].fwd) {
                e.Fwd_Present = 1;
                e.Fwd_Param = reinterpret_cast<uint8_t *>(const_cast<char *>("fwd=no"));
                e.Fwd_Param_Len = 6;
            }
            e.next = i + 1 < spec.size() ? &parts[i + 1] : nullptr;
        }
    }
    tMMS_Element *first() { return parts.empty() ? nullptr : &parts[0]; }
    ~Body() {
        SmilFreeView();
        SmilSetPartList(nullptr);
    }

    // Result of the interpreter and the view, e.g. "1 P8000 i:a.jpg@1000-3500[0,0,176,120]".
    std::string run(const std::string &smil) {
        SmilFreeView();
        SmilInitView();
        for (auto &e : parts) e.IsSmil = 0;
        SmilSetPartList(first());
        HeapCopy text = source(smil);
        SmilSetSource(reinterpret_cast<const char *>(text.data()), text.size());
        const int r = SmilParseSmil();
        return std::to_string(r) + describe();
    }

    static std::string rect(const tSMIL_Rect &r) {
        char b[64];
        std::snprintf(b, sizeof b, "[%d,%d,%d,%d]", r.Left, r.Top, r.Width, r.Height);
        return r.Left || r.Top || r.Width || r.Height ? b : "";
    }
    static std::string times(int b, int e) { return "@" + std::to_string(b) + "-" + std::to_string(e); }
    static std::string hex(uint32_t c) {
        char b[16];
        std::snprintf(b, sizeof b, "%x", c);
        return b;
    }

    static std::string describe() {
        const tSMIL_ViewStruct &v = SmilView();
        std::string out;
        if (v.RootWidth || v.RootHeight) out += " root=" + std::to_string(v.RootWidth) + "x" + std::to_string(v.RootHeight);
        if (v.IsBgColor) out += " rootbg=" + hex(v.bgColor);
        for (const tSMIL_Par *p = v.pParHead; p; p = p->pNext) {
            out += " P" + std::to_string(p->Dur);
            if (p->IsBgColor) out += " bg=" + hex(p->bgColor);
            if (p->IsForeColor) out += " fg=" + hex(p->foreColor);
            for (const tSMIL_Text *t = p->pText; t; t = t->pNext)
                out += " t:" + std::string(t->Text) + times(t->Begin, t->End) + rect(t->Region);
            for (const tSMIL_Img *m = p->pImg; m; m = m->pNext)
                out += " i:" + std::string(m->Name ? m->Name : "?") + times(m->Begin, m->End) + rect(m->Region) +
                       (m->IsDrm ? "drm" + std::to_string(m->DrmType) : "");
            for (const tSMIL_Aud *m = p->pAud; m; m = m->pNext)
                out += " a:" + std::string(m->Name ? m->Name : "?") + times(m->Begin, m->End);
            for (const tSMIL_Video *m = p->pVideo; m; m = m->pNext)
                out += " v:" + std::string(m->Name ? m->Name : "?") + times(m->Begin, m->End) + rect(m->Region);
        }
        return out;
    }

    // Parts no record took ("IsSmil" clear), by file name.
    std::string unmarked() const {
        std::string out;
        for (const auto &e : parts)
            if (!e.IsSmil) out += (out.empty() ? "" : ",") + std::string(e.File_Name ? e.File_Name : "?");
        return out;
    }
};

const std::string kDrmRights = "--b\r\nContent-Type: application/vnd.oma.drm.rights+xml\r\n\r\n<rights/>\r\n--b--\r\n";
const std::string kDrmJpeg = "--b\r\nContent-Type: image/jpeg\r\n\r\nJFIF\r\n--b--\r\n";

Body standard_body() {
    return Body({{"image/jpeg", "a.jpg", "", "img1", "JPEGDATA"},
                 {"text/plain", "t.txt", "", "", "hello"},
                 {"audio/amr", "s.amr", "", "", "#!AMR"},
                 {"video/3gpp", "v.3gp", "", "", "3GP"},
                 {"text/plain", "l1.txt", "", "", "caf\xE9", 4},
                 {"application/vnd.oma.drm.message", "d1.dm", "", "", kDrmJpeg},
                 {"application/vnd.oma.drm.message", "d2.dm", "", "", kDrmRights}});
}

const std::string kHead =
    "<smil><head><layout><root-layout width=\"176\" height=\"144\"/>"
    "<region id=\"Image\" left=\"0\" top=\"0\" width=\"176\" height=\"120\" fit=\"meet\"/>"
    "<region id=\"Text\" left=\"0%\" top=\"120\" width=\"176px\" height=\"24\"/></layout></head>";
std::string pres(const std::string &body) { return kHead + "<body>" + body + "</body></smil>"; }

TEST(SmilInterpreter, Presentations) {
    const std::string R = " root=176x144";
    const struct {
        std::string smil, want;
    } cases[] = {
        {pres("<par dur=\"8000ms\"><img src=\"a.jpg\"/></par><par dur=\"8s\"><img src=\"a.jpg\"/></par>"
              "<par dur=\"8\"><img src=\"a.jpg\"/></par><par><img src=\"a.jpg\"/></par>"),
         "1" + R + " P8000 i:a.jpg@0-0 P8000 i:a.jpg@0-0 P8 i:a.jpg@0-0 P0 i:a.jpg@0-0"},
        {pres("<par dur=\"99999999999ms\"><img src=\"a.jpg\" begin=\"1s\" end=\"3500ms\" region=\"Image\"/></par>"),
         "1" + R + " P2147483647 i:a.jpg@1000-3500[0,0,176,120]"},
        {pres("<par><img src=\"a.jpg\" region=\"Nowhere\"/><video src=\"v.3gp\" begin=\"2\" region=\"Text\"/></par>"),
         "1" + R + " P0 i:a.jpg@0-0 v:v.3gp@2-0[0,120,176,24]"},
        // a par with only a param, or whose media name no part, is removed
        {pres("<par><param name=\"background-color\" value=\"RED\"/></par><par><img src=\"zz.jpg\"/></par>"),
         "1" + R},
        // two images: the one met last comes first
        {pres("<par><img src=\"a.jpg\" begin=\"1\"/><img src=\"cid:IMG1\" begin=\"2\"/></par>"),
         "1" + R + " P0 i:a.jpg@2-0 i:a.jpg@1-0"},
        {pres("<par><param name=\"background-color\" value=\"#00FF00\"/><img src=\"a.jpg\"/></par>"
              "<par><param name=\"background-color\" value=\"LIME\"/><img src=\"a.jpg\"/></par>"
              "<par><param name=\"background-color\" value=\"lime\"/><img src=\"a.jpg\"/></par>"),
         "1" + R + " P0 bg=ff00 i:a.jpg@0-0 P0 bg=ff00ff00 i:a.jpg@0-0 P0 bg=ffffffff i:a.jpg@0-0"},
        {"<smil><head><layout><root-layout backgroundcolor=\"RED\"/></layout></head><body>"
         "<par><img src=\"a.jpg\"/></par></body></smil>",
         "1 rootbg=ffff0000 P0 i:a.jpg@0-0"},
        // a par opened inside a par: both get the first tag's dur
        {pres("<par dur=\"3s\"><img src=\"a.jpg\"/><par dur=\"9s\"><text src=\"t.txt\"/></par>"),
         "1" + R + " P3000 i:a.jpg@0-0 P3000 t:hello@0-0"},
        {pres("<par/><par dur=\"1s\"/><par dur=\"2s\"><audio src=\"s.amr\" begin=\"1\" end=\"2\" region=\"Image\"/></par>"),
         "1" + R + " P2000 a:s.amr@1-2"},
        // structural faults
        {kHead + "<body><par><img src=\"a.jpg\"/></par>", "0" + R + " P0 i:a.jpg@0-0"},
        {kHead + "<body><par><img src=\"a.jpg\"/>", "0" + R + " P0 i:a.jpg@0-0"},
        {kHead + "<body><par><text src=\"t.txt\">", "0" + R + " P0 t:hello@0-0"},
        {pres("<par><text src=\"\"/></par>"), "0" + R + " P0"},
        {"<smil><head></head></smil>", "1"},        // reaches </smil> without a body
        {"<smil><body></body>", "1"},               // no </smil> after a body that ended
        {"<smil><head><body><par><img src=\"a.jpg\"/></par></body></smil>", "0 P0 i:a.jpg@0-0"},
        // region and root-layout outside a layout, layout outside the head
        {"<smil><head><region id=\"Image\" width=\"5\"/><root-layout width=\"9\"/></head><layout>"
         "<region id=\"Image\" width=\"7\"/></layout><body><par><img src=\"a.jpg\" region=\"Image\"/></par></body></smil>",
         "1 P0 i:a.jpg@0-0"},
        // a region defined twice: the one defined last wins; a second layout replaces the first
        {"<smil><head><layout><region id=\"I\" width=\"1\"/><region id=\"I\" width=\"2\"/></layout>"
         "<layout><region id=\"I\" width=\"3\" height=\"99999999999\"/><region id=\"I\" width=\"4\"/></layout></head>"
         "<body><par><img src=\"a.jpg\" region=\"I\"/></par></body></smil>",
         "1 P0 i:a.jpg@0-0[0,0,4,0]"},
        // foreground colour inside a text start tag; none for an empty text tag
        {pres("<par><text src=\"t.txt\" region=\"Text\"><param name=\"foreground-color\" value=\"#FF0000\"/></text></par>"
              "<par><text src=\"t.txt\"/><param name=\"foreground-color\" value=\"#FF0000\"/></par>"),
         "1" + R + " P0 fg=ff0000 t:hello@0-0[0,120,176,24] P0 t:hello@0-0"},
        // charset conversion of a text, Latin-1 to UTF-8
        {pres("<par><text src=\"L1.TXT\"/></par>"), "1" + R + " P0 t:caf\xC3\xA9@0-0"},
        // DRM: a message around an image stays, one carrying rights is dropped
        {pres("<par><img src=\"d1.dm\"/></par><par><img src=\"d2.dm\"/></par>"), "1" + R + " P0 i:d1.dm@0-0drm1"},
        // element and attribute names in any case; the first src of an element counts
        {pres("<PAR DUR=\"1S\"><IMG SRC=\"a.jpg\" src=\"zz.jpg\"/></PAR>"), "1" + R + " P1000 i:a.jpg@0-0"},
    };
    Body body = standard_body();
    for (const auto &c : cases) EXPECT_EQ(body.run(c.smil), c.want) << c.smil;
}

TEST(SmilInterpreter, PartsTakenByReferences) {
    Body body({{"image/jpeg", "x.jpg", "", "c1", "A"},
               {"image/jpeg", "X.JPG", "", "c1", "B"},
               {"image/gif", "g.gif", "", "", "G"},
               {"text/plain", "t.txt", "", "", "T"}});
    // The same name twice: the first reference takes the first part, the
    // second the second; a third shares the last one taken.
    EXPECT_EQ(body.run(pres("<par><img src=\"x.jpg\"/></par><par><img src=\"x.jpg\"/></par>"
                            "<par><img src=\"x.jpg\"/></par>")),
              "1 root=176x144 P0 i:x.jpg@0-0 P0 i:X.JPG@0-0 P0 i:x.jpg@0-0");
    EXPECT_EQ(body.unmarked(), "g.gif,t.txt");
    // By Content-ID: a taken part passes the reference on to a later one.
    body.run(pres("<par><img src=\"cid:c1\"/></par><par><img src=\"CID:C1\"/></par>"));
    EXPECT_EQ(body.unmarked(), "g.gif,t.txt");
    // A reference to no part leaves everything unmarked.
    body.run(pres("<par><img src=\"nothing\"/></par>"));
    EXPECT_EQ(body.unmarked(), "x.jpg,X.JPG,g.gif,t.txt");
    // A text element that names an image part gets its bytes as text.
    EXPECT_EQ(body.run(pres("<par><text src=\"g.gif\"/></par>")), "1 root=176x144 P0 t:G@0-0");

    // A URI-encoded reference means the part of the decoded name (a
    // Content-Location is decoded when read), in a cid: URL too.
    Body uris({{"image/png", "\xD1\x84 b.png", "", "", "P"},
               {"audio/amr", "", "", "a@b", "A"},
               {"text/plain", "100%.txt", "", "", "T"}});
    EXPECT_EQ(uris.run(pres("<par><img src=\"%D1%84%20b.png\"/><audio src=\"cid:a%40b\"/>"
                            "<text src=\"100%25.txt\"/></par>")),
              "1 root=176x144 P0 t:T@0-0 i:\xD1\x84 b.png@0-0 a:a@b@0-0");
    EXPECT_EQ(uris.unmarked(), "");

    // Only a SMIL part: the first src fails the presentation.
    Body empty({});
    EXPECT_EQ(empty.run(pres("<par><img src=\"a.jpg\"/></par>")), "0 root=176x144 P0");
}

TEST(SmilInterpreter, LoadersFillRecordsFromParts) {
    Body body({{"video/3gpp", "", "vid.3gp", "", "V"},
               {"audio/amr", "", "", "aud1", "A"},
               {"image/png", "fl.png", "", "", "P", -1, true},
               {"application/vnd.oma.drm.content", "dc.dcf", "", "", "DCF"}});
    SmilSetPartList(body.first());
    rrtest::LeakCheck leaks;
    auto *v = static_cast<tSMIL_Video *>(fnQX_Malloc(sizeof(tSMIL_Video)));
    auto *a = static_cast<tSMIL_Aud *>(fnQX_Malloc(sizeof(tSMIL_Aud)));
    auto *i = static_cast<tSMIL_Img *>(fnQX_Malloc(sizeof(tSMIL_Img)));
    auto *d = static_cast<tSMIL_Img *>(fnQX_Malloc(sizeof(tSMIL_Img)));
    auto *none = static_cast<tSMIL_Img *>(fnQX_Malloc(sizeof(tSMIL_Img)));
    ASSERT_EQ(SmilLoadVideo(v, "vid.3gp"), 1);  // by Name parameter
    EXPECT_STREQ(v->Name, "vid.3gp");
    EXPECT_STREQ(v->Type, "video/3gpp");
    EXPECT_EQ(v->Data, body.parts[0].Data);
    EXPECT_EQ(v->Length, 1);
    ASSERT_EQ(SmilLoadAud(a, "x-cid:aud1"), 1);  // "cid:" anywhere in the reference
    EXPECT_STREQ(a->Name, "aud1");
    ASSERT_EQ(SmilLoadImg(i, "fl.png"), 1);
    EXPECT_EQ(i->IsDrm, 1);
    EXPECT_EQ(i->DrmType, 5);
    EXPECT_EQ(i->FwdParamLen, 6);
    EXPECT_EQ(body.parts[2].IsSmil, 1);
    ASSERT_EQ(SmilLoadImg(d, "dc.dcf"), 1);
    EXPECT_EQ(d->DrmType, 3);
    EXPECT_EQ(body.parts[3].IsSmil, 0);  // cleared: listed as an attachment
    EXPECT_EQ(SmilLoadImg(none, "missing"), 1);
    EXPECT_EQ(none->Data, nullptr);
    EXPECT_EQ(SmilLoadImg(none, ""), 0);
    EXPECT_EQ(SmilLoadImg(nullptr, "x"), 0);
    EXPECT_EQ(SmilFindPart(nullptr, "x"), nullptr);
    EXPECT_EQ(SmilFindPart(body.first(), "missing"), SMIL_NO_MATCH);
    SmilFreeVideo(v);
    SmilFreeAud(a);
    SmilFreeImg(i);
    SmilFreeImg(d);
    SmilFreeImg(none);
}

}  // namespace
