// Composing: the model's editing rules, the SMIL document byte for byte,
// the parts of the body as the body decoder reads them, an independent XML
// reading of the SMIL, and allocation failures anywhere in a compose.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "MMSCps_Public.h"
#include "composer_host.h"
#include "qx_internal.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HostAttachment;
using rrtest::HostLists;
using rrtest::HostMedia;
using rrtest::HostMessage;
using rrtest::HostSlide;
using rrtest::HostText;

namespace {

// ---------------------------------------------------------------- expected SMIL
const std::string kHead =
    "<smil>\r\n<head>\r\n<meta name=\"title\" content=\"mms info\" />\r\n<meta name=\"author\" content=\"VRN "
    "Corporation\" />\r\n<layout>\r\n<root-layout width=\"176\" height=\"220\"/>\r\n<region id=\"Image\" "
    "width=\"160\" height=\"170\" left=\"0\" top=\"0\" fit=\"meet\" />\r\n<region id=\"Text\" width=\"160\" "
    "height=\"30\" left=\"0\" top=\"170\" fit=\"meet\" />\r\n</layout>\r\n</head>\r\n<body>\r\n";
const std::string kTail = "</body>\r\n</smil>";

std::string par(int dur) { return "<par dur=\"" + std::to_string(dur) + "ms\">\r\n"; }
std::string times(int b, int e) { return " begin=\"" + std::to_string(b) + "ms\" end=\"" + std::to_string(e) + "ms\" "; }
std::string img(const std::string &n, int b, int e) { return "<img src=\"" + n + "\" region=\"Image\"" + times(b, e) + "/>\r\n"; }
std::string video(const std::string &n, int b, int e) { return "<video src=\"" + n + "\" region=\"Image\"" + times(b, e) + "/>\r\n"; }
std::string audio(const std::string &n, int b, int e) { return "<audio src=\"" + n + "\" " + times(b, e) + "/>\r\n"; }
std::string text(int i, int b, int e) {
    return "<text src=\"Text" + std::to_string(i) + ".txt\" region=\"Text\"" + times(b, e) + "/>\r\n";
}
const std::string kEndPar = "</par>\r\n";

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 7));
    return b;
}

HostMedia media(const std::string &type, const std::string &name, size_t size, int begin = 0, int end = 5000) {
    return HostMedia{type, name, pattern(size, static_cast<uint8_t>(name.size())), begin, end};
}

// ---------------------------------------------------------------- composing
struct Composed {
    int rc = 0;
    Bytes pdu;
    int bodyLen = -1;
};

Composed compose(const HostMessage &m, const char *tid = "T1") {
    HostLists lists(m);
    tCPS_MmsData d{};
    // The initial values of a send-request record.
    d.Header.Send_Req.Sender_Visibility = 1;
    d.Header.Send_Req.Priority = 1;
    d.Header.Send_Req.Expiry_Relative = 1;
    d.Header.Send_Req.Delivery_Time_Relative = 1;
    d.Header.Send_Req.Transaction_Id = const_cast<char *>(tid);
    d.Header.Send_Req.To = const_cast<char *>("+491701234567");
    d.pSlide_List = lists.slides();
    d.pAttach_List = lists.attachments();
    tCPS_PduBuf out{nullptr, -7};
    Composed c;
    c.rc = fnCPS_ComposeMMS(&d, &out, 0);
    if (c.rc == 0) {
        EXPECT_NE(out.data, nullptr);
        EXPECT_EQ(out.data[out.length], 0) << "PDU buffer must end with a 0 byte";
        c.pdu.assign(out.data, out.data + out.length);
        void *p = out.data;
        fnQX_Free(&p);
        EXPECT_EQ(d.Header.Send_Req.ContentTypeAndBody, nullptr);
        c.bodyLen = d.Header.Send_Req.Body_Len;
    } else {
        EXPECT_EQ(out.data, nullptr) << "a failed compose must not touch the PDU buffer";
        EXPECT_EQ(out.length, -7);
    }
    return c;
}

struct BodyView {
    bool hasBody = false;
    std::string smil;
    struct Part {
        std::string type, name, id;
        Bytes data;
        int charset = -1;
    };
    std::vector<Part> parts;
};

// Reads a composed send request back with the codec's decoders.
BodyView read_body(const Bytes &pdu) {
    BodyView v;
    tMMS_SendReq *s = fnMMS_ParseSendContent(pdu.data(), static_cast<int>(pdu.size()));
    EXPECT_NE(s, nullptr);
    if (!s) return v;
    if (s->ContentTypeAndBody && s->Body_Len > 0) {
        v.hasBody = true;
        mmresstruct *b = fnMMS_DecodeBody(s->ContentTypeAndBody, s->Body_Len);
        EXPECT_NE(b, nullptr);
        if (b) {
            if (b->Smil) v.smil.assign(reinterpret_cast<char *>(b->Smil->Data), static_cast<size_t>(b->Smil->Data_Len));
            for (tMMS_Element *e = b->Parts; e; e = e->next) {
                BodyView::Part p;
                p.type = rrtest::str_or_empty(e->Content_Type);
                p.name = rrtest::str_or_empty(e->File_Name);
                p.id = rrtest::str_or_empty(e->Content_Id);
                if (e->Data) p.data.assign(e->Data, e->Data + e->Data_Len);
                p.charset = e->Has_Charset ? e->Charset : -1;
                v.parts.push_back(p);
            }
            fnMMS_FreeDecodedBody(b);
        }
    }
    fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
    return v;
}

// The model is closed again after every operation: one empty slide.
void expect_model_closed() {
    const auto &m = cps_model();
    EXPECT_EQ(g_cps.Busy, 0);
    EXPECT_EQ(m.totalSlide, 1);
    EXPECT_EQ(m.TotalAttachment, 0);
    EXPECT_EQ(m.Total_Size, 0);
    for (int i = 0; i < CPS_MAX_SLIDES; ++i) {
        EXPECT_EQ(m.Slide_In_Use[i], i == 0 ? 1 : 0);
        const tCPS_SlideStruct &s = m.Slide_Store[i];
        EXPECT_FALSE(s.Has_Image || s.Has_Audio || s.Has_Video || s.Has_Text);
        EXPECT_EQ(s.Image.Data, nullptr);
        EXPECT_EQ(s.Text.Data, nullptr);
    }
}

// ---------------------------------------------------------------- SMIL byte for byte

TEST(ComposerSmil, OneSlideOfImageAndText) {
    rrtest::LeakCheck leaks;
    HostMessage m;
    HostSlide s;
    s.image = media("image/jpeg", "a.jpg", 1000);
    s.text = HostText{"hello", 0, 5000};
    s.dur = 8000;
    m.slides.push_back(s);
    const Composed c = compose(m);
    ASSERT_EQ(c.rc, 0);
    const BodyView v = read_body(c.pdu);
    EXPECT_EQ(v.smil, kHead + par(8000) + img("a.jpg", 0, 5000) + text(0, 0, 5000) + kEndPar + kTail);
    ASSERT_EQ(v.parts.size(), 2u);
    EXPECT_EQ(v.parts[0].type, "text/plain");
    EXPECT_EQ(v.parts[0].name, "Text0.txt");
    EXPECT_EQ(v.parts[0].charset, 106);
    EXPECT_EQ(std::string(v.parts[0].data.begin(), v.parts[0].data.end()), "hello");
    EXPECT_EQ(v.parts[1].type, "image/jpeg");
    EXPECT_EQ(v.parts[1].name, "a.jpg");
    EXPECT_EQ(v.parts[1].id, "a.jpg");
    EXPECT_EQ(v.parts[1].data, s.image->data);
    expect_model_closed();
}

TEST(ComposerSmil, VideoSlideLimitsTimesAndHidesImageAudio) {
    rrtest::LeakCheck leaks;
    HostMessage m;
    HostSlide s1;  // video beyond the duration: end cut, begin past end reset
    s1.video = media("video/3gpp", "clip.3gp", 3000, 7000, 9000);
    s1.dur = 6000;
    HostSlide s2;  // audio and image on a second slide, times above the cap
    s2.audio = media("audio/amr", "b.amr", 500, 0, 200000);
    s2.image = media("image/gif", "g.gif", 40, -5, 3000);
    s2.dur = 300000;
    HostSlide s3;  // duration of 0 or less keeps 12000
    s3.text = HostText{"x", 100, 50};
    s3.dur = -4;
    m.slides = {s1, s2, s3};
    const Composed c = compose(m);
    ASSERT_EQ(c.rc, 0);
    const BodyView v = read_body(c.pdu);
    EXPECT_EQ(v.smil, kHead + par(6000) + video("clip.3gp", 0, 6000) + kEndPar +  //
                          par(120000) + img("g.gif", 120000, 3000) + audio("b.amr", 0, 120000) + kEndPar +
                          par(12000) + text(2, 0, 50) + kEndPar + kTail);
    ASSERT_EQ(v.parts.size(), 4u);
    EXPECT_EQ(v.parts[0].name, "clip.3gp");
    EXPECT_EQ(v.parts[1].name, "g.gif");  // image before audio
    EXPECT_EQ(v.parts[2].name, "b.amr");
    EXPECT_EQ(v.parts[3].name, "Text2.txt");
}

TEST(ComposerSmil, ColoursOfALoadedPresentation) {
    rrtest::LeakCheck leaks;
    ASSERT_EQ(CPS_OpenModel(), 0);
    auto &m = cps_model();
    tCPS_SlideStruct &s = *m.slidestruct[0];
    tCPS_ImageItem im{};
    Bytes data = pattern(10, 1);
    im.Data = data.data();
    im.Size = 10;
    im.Content_Type = const_cast<char *>("image/png");
    im.Name = const_cast<char *>("p.png");
    im.End = 4000;
    ASSERT_EQ(CPS_AddImage(&im), 0);
    tCPS_TextItem t{};
    t.Text = const_cast<char *>("colours");
    t.Length = 7;
    t.End = 5000;
    ASSERT_EQ(CPS_AddText(&t), 0);
    s.IsBgColor = 1;
    s.bgColor = 0xFF00FF00;  // LIME
    s.IsForeColor = 1;
    s.foreColor = 0x0000FF;
    ASSERT_EQ(CPS_InsertSlide(), 0);
    m.slidestruct[1]->IsBgColor = 1;
    m.slidestruct[1]->bgColor = 0;
    char *doc = CPS_SmilBuild();
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(std::string(doc),
              kHead + par(12000) + " <param name=\"background-color\" value=\"#ff00ff00\" />\r\n " +
                  img("p.png", 0, 4000) + "<text src=\"Text0.txt\" region=\"Text\"" + times(0, 5000) + ">\r\n" +
                  " <param name=\"foreground-color\" value=\"#ff\" />\r\n </text>\r\n" + kEndPar + par(12000) +
                  " <param name=\"background-color\" value=\"#0\" />\r\n " + kEndPar + kTail);
    qx::free_ptr(doc);
    CPS_CloseModel();
    expect_model_closed();
}

TEST(ComposerSmil, TenSlidesWithLongNamesGrowTheDocument) {
    rrtest::LeakCheck leaks;
    HostMessage m;
    std::string expected = kHead;
    for (int i = 0; i < 10; ++i) {
        HostSlide s;
        const std::string name = std::string(180, static_cast<char>('a' + i)) + ".jpg";
        s.image = media("image/jpeg", name, 20 + static_cast<size_t>(i));
        s.audio = media("audio/amr", "voice" + std::to_string(i) + std::string(150, 'v') + ".amr", 30);
        s.text = HostText{"slide " + std::to_string(i), 0, 4000};
        s.dur = 5000 + i * 1000;
        m.slides.push_back(s);
        expected += par(s.dur) + img(name, 0, 5000) + audio(s.audio->name, 0, 5000) + text(i, 0, 4000) + kEndPar;
    }
    expected += kTail;
    ASSERT_GT(expected.size(), 3072u);
    const Composed c = compose(m);
    ASSERT_EQ(c.rc, 0);
    const BodyView v = read_body(c.pdu);
    EXPECT_EQ(v.smil, expected);
    EXPECT_EQ(v.parts.size(), 30u);
}

// Without slides and attachments the model still holds one empty slide of
// 12000 ms; a presentation without parts is written by the body encoder as
// an empty multipart/mixed body.
TEST(ComposerSmil, EmptyListsGiveAnEmptyMixedBody) {
    const Composed c = compose(HostMessage{});
    ASSERT_EQ(c.rc, 0);
    ASSERT_EQ(c.bodyLen, 3);
    EXPECT_EQ(Bytes(c.pdu.end() - 3, c.pdu.end()), rrtest::bytes({0x84, 0xA3, 0x00}));
    ASSERT_EQ(CPS_OpenModel(), 0);
    char *doc = CPS_SmilBuild();
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(std::string(doc), kHead + par(12000) + kEndPar + kTail);
    qx::free_ptr(doc);
    CPS_CloseModel();
}

TEST(ComposerSmil, FormatTimeCapsAsUnsigned) {
    const struct {
        int value;
        const char *text;
    } cases[] = {{0, "0"}, {5000, "5000"}, {119999, "119999"}, {120000, "120000"}, {200000, "120000"},
                 {-1, "120000"}, {INT32_MIN, "120000"}};
    for (const auto &c : cases) {
        char buf[CPS_TIME_BUF];
        CPS_FormatTime(buf, c.value);
        EXPECT_STREQ(buf, c.text) << c.value;
    }
}

// ---------------------------------------------------------------- editing rules

TEST(ComposerEdit, AddRefusalsInOrder) {
    rrtest::LeakCheck leaks;
    ASSERT_EQ(CPS_OpenModel(), 0);
    EXPECT_EQ(CPS_OpenModel(), COMPOSER_BUSY);
    Bytes d = pattern(8, 3);
    tCPS_ImageItem im{d.data(), const_cast<char *>("image/jpeg"), const_cast<char *>("i.jpg"), 0, 5000, 8, {1, 2, 3, 4}};
    tCPS_VideoItem vi{d.data(), const_cast<char *>("video/mp4"), const_cast<char *>("v.mp4"), 0, 5000, 8, {}};
    tCPS_AudioItem au{d.data(), const_cast<char *>("audio/amr"), const_cast<char *>("a.amr"), 0, 5000, 8};
    tCPS_TextItem tx{const_cast<char *>("hello world"), 0, 5000, 5, {}};

    EXPECT_EQ(CPS_AddImage(nullptr), COMPOSER_INPUT_PARAM_ERROR);
    EXPECT_EQ(CPS_GetCurImage(&im), COMPOSER_NO_ITEM);
    EXPECT_EQ(CPS_AddVideo(&vi), 0);
    EXPECT_EQ(CPS_AddImage(&im), COMPOSER_VIDEO_EXISTS);
    EXPECT_EQ(CPS_AddAudio(&au), COMPOSER_VIDEO_EXISTS);
    EXPECT_EQ(CPS_AddVideo(&vi), COMPOSER_ITEM_EXISTS);
    EXPECT_EQ(CPS_InsertSlide(), 0);
    EXPECT_EQ(CPS_AddAudio(&au), 0);
    EXPECT_EQ(CPS_AddVideo(&vi), COMPOSER_IMAGE_AUDIO_EXISTS);
    tCPS_ImageItem zero = im;
    zero.Size = 0;
    EXPECT_EQ(CPS_AddImage(&zero), COMPOSER_MEMERY_ALLOC_FAIL);
    EXPECT_EQ(CPS_CurHasImage(), 0);
    EXPECT_EQ(CPS_AddImage(&im), 0);
    EXPECT_EQ(CPS_AddText(&tx), 0);
    EXPECT_EQ(CPS_AddText(&tx), COMPOSER_ITEM_EXISTS);
    tCPS_TextItem got{};
    ASSERT_EQ(CPS_GetCurText(&got), 0);
    EXPECT_STREQ(got.Text, "hello");  // only the stated length is kept
    EXPECT_EQ(got.Length, 5);
    tCPS_ImageItem gi{};
    ASSERT_EQ(CPS_GetCurImage(&gi), 0);
    EXPECT_EQ(gi.Reserved[3], 4u);
    EXPECT_EQ(cps_model().Total_Size, 8 + 8 + 8 + 5);
    EXPECT_EQ(CPS_SetCurDuration(0), COMPOSER_INPUT_PARAM_ERROR);
    EXPECT_EQ(CPS_GetCurDuration(), 12000);
    CPS_CloseModel();
    expect_model_closed();
}

TEST(ComposerEdit, InsertKeepsOrderAndRefusesEleventh) {
    rrtest::LeakCheck leaks;
    ASSERT_EQ(CPS_OpenModel(), 0);
    auto &m = cps_model();
    auto add_text = [](const char *t) {
        tCPS_TextItem tx{const_cast<char *>(t), 0, 5000, static_cast<int>(std::strlen(t)), {}};
        return CPS_AddText(&tx);
    };
    ASSERT_EQ(add_text("A"), 0);
    ASSERT_EQ(CPS_SetCurDuration(1000), 0);
    ASSERT_EQ(CPS_InsertSlide(), 0);
    ASSERT_EQ(add_text("B"), 0);
    ASSERT_EQ(CPS_SetCurDuration(2000), 0);
    ASSERT_EQ(CPS_InsertSlide(), 0);
    ASSERT_EQ(add_text("C"), 0);
    ASSERT_EQ(CPS_SetCurDuration(3000), 0);
    m.slidestruct[2]->IsBgColor = 1;
    m.slidestruct[2]->bgColor = 0x123456;
    m.Cur_Slide = 0;
    ASSERT_EQ(CPS_InsertSlide(), 0);  // A, new, B, C
    EXPECT_EQ(m.Cur_Slide, 1);
    EXPECT_EQ(m.totalSlide, 4);
    const char *expect[] = {"A", nullptr, "B", "C"};
    const int durs[] = {1000, 12000, 2000, 3000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m.Slide_In_Use[i], 1);
        EXPECT_EQ(m.Slide_Dur[i], durs[i]) << i;
        if (expect[i])
            EXPECT_STREQ(m.slidestruct[i]->Text.Data, expect[i]) << i;
        else
            EXPECT_FALSE(m.slidestruct[i]->Has_Text);
    }
    EXPECT_EQ(m.slidestruct[3]->bgColor, 0x123456u);
    EXPECT_EQ(CPS_CheckSlides(), 1);
    m.Cur_Slide = 3;
    for (int i = 4; i < 10; ++i) ASSERT_EQ(CPS_InsertSlide(), 0) << i;
    EXPECT_EQ(CPS_InsertSlide(), COMPOSER_FULL);
    EXPECT_EQ(m.totalSlide, 10);
    m.totalSlide = 9;  // a count that disagrees with the slots in use
    EXPECT_EQ(CPS_CheckSlides(), 0);
    m.totalSlide = 10;
    for (int i = 0; i < 10; ++i) {
        tCPS_AttachNode a{reinterpret_cast<unsigned char *>(const_cast<char *>("xy")), const_cast<char *>("n"),
                          const_cast<char *>("application/octet-stream"), 2, 0, nullptr};
        ASSERT_EQ(CPS_AddAttachment(&a), 0);
    }
    tCPS_AttachNode a{reinterpret_cast<unsigned char *>(const_cast<char *>("xy")), const_cast<char *>("n"),
                      const_cast<char *>("x/y"), 2, 0, nullptr};
    EXPECT_EQ(CPS_AddAttachment(&a), COMPOSER_FULL);
    CPS_CloseModel();
    expect_model_closed();
}

// ---------------------------------------------------------------- action 0 outcomes

TEST(ComposerAction0, RefusalsLeaveThePduBufferAlone) {
    rrtest::LeakCheck leaks;
    rrtest::LogCapture log;
    tCPS_MmsData d{};
    tCPS_PduBuf out{};
    EXPECT_EQ(fnCPS_ComposeMMS(nullptr, &out, 0), COMPOSER_INPUT_PARAM_ERROR);
    EXPECT_TRUE(log.contains("mmsDatabuf==null or pMMSPduBuf==null"));
    EXPECT_EQ(fnCPS_ComposeMMS(&d, &out, 2), COMPOSER_INPUT_PARAM_ERROR);
    EXPECT_TRUE(log.contains("action error!"));

    HostMessage eleven;
    for (int i = 0; i < 11; ++i) {
        HostSlide s;
        s.text = HostText{"t" + std::to_string(i)};
        eleven.slides.push_back(s);
    }
    EXPECT_EQ(compose(eleven).rc, COMPOSER_FULL);
    expect_model_closed();

    HostMessage both;
    HostSlide s;
    s.video = media("video/mp4", "v.mp4", 10);
    s.image = media("image/jpeg", "i.jpg", 10);
    both.slides.push_back(s);
    log.clear();
    EXPECT_EQ(compose(both).rc, COMPOSER_INPUT_PARAM_ERROR);
    EXPECT_TRUE(log.contains("check slide error."));

    HostMessage zeroImage;
    HostSlide z;
    z.image = media("image/jpeg", "i.jpg", 0);
    zeroImage.slides.push_back(z);
    EXPECT_EQ(compose(zeroImage).rc, COMPOSER_MEMERY_ALLOC_FAIL);

    HostMessage elevenAtt;
    for (int i = 0; i < 11; ++i) elevenAtt.attachments.push_back({"f" + std::to_string(i), "text/x-foo", {1, 2}});
    EXPECT_EQ(compose(elevenAtt).rc, COMPOSER_FULL);
    expect_model_closed();

    // After all those failures, a compose is exactly that of a fresh model.
    HostMessage ok;
    HostSlide v1, i2;
    v1.video = media("video/mp4", "v.mp4", 10);
    i2.image = media("image/jpeg", "i.jpg", 10);
    ok.slides = {v1, i2};
    const Composed first = compose(ok);
    ASSERT_EQ(first.rc, 0);
    EXPECT_EQ(compose(ok).pdu, first.pdu);
}

TEST(ComposerAction0, EmptyTextFailsValidationSoTheBodyIsEmpty) {
    HostMessage m;
    HostSlide s;
    s.text = HostText{""};
    m.slides.push_back(s);
    const Composed c = compose(m);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(c.bodyLen, 0);
    EXPECT_FALSE(read_body(c.pdu).hasBody);
    // The header is there, the Content-Type field is not.
    EXPECT_EQ(std::find(c.pdu.begin(), c.pdu.end(), 0x84), c.pdu.end());
}

// Names and types are never cut; a media name goes URI-encoded into the
// SMIL, the Content-ID and the Content-Location, and comes back whole from
// the part; a text/plain attachment (here UTF-16 with 0 bytes) travels byte
// for byte.
TEST(ComposerAction0, NothingIsCutOrBroken) {
    HostMessage m;
    HostSlide s;
    const std::string longType = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
    const std::string longName = "A very long media file name that does not fit in fifty bytes at all.jpg";
    s.image = media("image/jpeg", longName, 64);
    s.audio = media("audio/amr", "say \"hi\" <&> \x01\x1f.amr", 16);
    s.text = HostText{"caption"};
    m.slides.push_back(s);
    const Bytes utf16 = {0xFF, 0xFE, 'h', 0, 'i', 0, 0x0D, 0, 0x0A, 0};
    m.attachments.push_back({"note-utf16.txt", "text/plain", utf16});
    m.attachments.push_back({"report.docx", longType, pattern(300, 9)});
    const Composed c = compose(m);
    ASSERT_EQ(c.rc, 0);
    const BodyView v = read_body(c.pdu);
    ASSERT_EQ(v.parts.size(), 5u);
    const std::string longUri = "A%20very%20long%20media%20file%20name%20that%20does%20not%20fit%20in%20fifty%20bytes"
                                "%20at%20all.jpg";
    const std::string audioUri = "say%20%22hi%22%20%3C%26%3E%20%01%1F.amr";
    EXPECT_EQ(v.parts[1].name, longName);
    EXPECT_EQ(v.parts[2].name, "say \"hi\" <&> \x01\x1f.amr");
    EXPECT_EQ(v.parts[2].id, audioUri);
    EXPECT_EQ(v.parts[3].data, utf16);
    EXPECT_EQ(v.parts[4].type, longType);
    EXPECT_EQ(v.parts[4].name, "report.docx");
    EXPECT_EQ(v.smil, kHead + par(12000) + img(longUri, 0, 5000) + audio(audioUri, 0, 5000) + text(0, 0, 5000) +
                          kEndPar + kTail);

    // An independent XML reader takes the document and finds the references.
    char path[] = "/tmp/rr_smil_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, v.smil.data(), v.smil.size()), static_cast<ssize_t>(v.smil.size()));
    close(fd);
    const std::string cmd = std::string("python3 -c \"import sys,xml.etree.ElementTree as E;"
                                        "r=E.parse(sys.argv[1]).getroot();"
                                        "print('|'.join(e.get('src') for e in r.iter() if e.get('src')))\" ") +
                            path;
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[4096] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    const int status = pclose(p);
    std::remove(path);
    if (status != 0 && !got) GTEST_SKIP() << "python3 not available";
    EXPECT_EQ(std::string(line), longUri + "|" + audioUri + "|Text0.txt\n");
}

// A slide item typed text/plain is copied too: the body's release routine
// frees the data of every text/plain part, so borrowing would free the
// model's buffer twice.
TEST(ComposerAction0, TextPlainMediaItemIsNotFreedTwice) {
    rrtest::LeakCheck leaks;
    HostMessage m;
    HostSlide s;
    s.image = media("text/plain", "odd.txt", 12);
    m.slides.push_back(s);
    const Composed c = compose(m);
    ASSERT_EQ(c.rc, 0);
    const BodyView v = read_body(c.pdu);
    ASSERT_EQ(v.parts.size(), 1u);
    EXPECT_EQ(v.parts[0].data, s.image->data);
}

// ---------------------------------------------------------------- allocation failures

TEST(ComposerAction0, EveryAllocationFailureEndsCleanly) {
    HostMessage m;
    HostSlide s1, s2;
    s1.image = media("image/jpeg", "a.jpg", 2000);
    s1.audio = media("audio/amr", "b.amr", 300);
    s1.text = HostText{"first"};
    s2.video = media("video/3gpp", "c.3gp", 900);
    s2.text = HostText{"second"};
    m.slides = {s1, s2};
    m.attachments = {{"t.txt", "text/plain", {'a', 0, 'b'}}, {"x.bin", "application/octet-stream", pattern(50, 2)}};
    const Composed reference = compose(m);
    ASSERT_EQ(reference.rc, 0);
    int failures = 0;
    const long allocs = rrtest::for_each_alloc_failure([&](long) {
        const Composed c = compose(m);
        if (qx::alloc_fail_fired()) {
            if (c.rc == 0) {
                EXPECT_EQ(c.pdu, reference.pdu) << "success under a failure must not lose anything";
            } else {
                EXPECT_EQ(c.rc, COMPOSER_MEMERY_ALLOC_FAIL);
                ++failures;
            }
        }
        qx::alloc_fail_off();
        expect_model_closed();
        EXPECT_EQ(compose(m).pdu, reference.pdu);
    });
    EXPECT_GT(allocs, 20);
    EXPECT_EQ(failures, allocs);
}

}  // namespace
