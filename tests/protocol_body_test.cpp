// Multipart body codec: exact encodings, decoding of our own and of real
// operators' bodies, clipping of hostile lengths, allocation failures.
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "test_support.h"

using rrtest::bytes;
using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::hex;
using rrtest::operator+;
using rrtest::text0;

namespace {

Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }

std::string s_or_null(const char *s) { return s ? s : "<null>"; }

// Body records whose texts and buffers are heap copies, as the composer
// builds them (text/plain data and the SMIL data owned, other data borrowed).
struct Composed {
    mmresstruct *body = qx::alloc_rec<mmresstruct>();
    tMMS_Element *tail = nullptr;
    std::vector<Bytes> borrowed;

    static uint8_t *owned(const Bytes &b) {
        auto *p = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(b.size() ? b.size() : 1)));
        if (!b.empty()) std::memcpy(p, b.data(), b.size());
        return p;
    }
    void smil(const Bytes &data, const char *type = "application/smil") {
        body->Smil = qx::alloc_rec<smilstruct>();
        body->Smil->Content_Type = fnQX_MEMSTRCOPY(type);
        body->Smil->Data = owned(data);
        body->Smil->Data_Len = static_cast<int>(data.size());
    }
    tMMS_Element *part(const char *type, const char *name, const Bytes &data, int hasCharset = 0, int charset = 0) {
        auto *e = qx::alloc_rec<tMMS_Element>();
        e->Content_Type = fnQX_MEMSTRCOPY(type);
        e->File_Name = name ? fnQX_MEMSTRCOPY(name) : nullptr;
        e->Has_Charset = static_cast<uint8_t>(hasCharset);
        e->Charset = charset;
        e->Data_Len = static_cast<int>(data.size());
        if (std::strcmp(type, "text/plain") == 0) {
            e->Data = owned(data);
        } else {
            borrowed.push_back(data);
            e->Data = borrowed.back().data();
        }
        (tail ? tail->next : body->Parts) = e;
        tail = e;
        return e;
    }
    Bytes encode() const {
        int len = -1;
        uint8_t *buf = fnMMS_EncodeBody(body, &len);
        EXPECT_NE(buf, nullptr);
        Bytes out(buf, buf + (buf ? len : 0));
        qx::free_ptr(buf);
        return out;
    }
    Composed() { borrowed.reserve(64); }
    ~Composed() { fnMMS_FreeComposedBody(body); }
};

Bytes filled(size_t n, uint8_t start) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

// A body written out by hand: a 100-byte SMIL part and a 10-byte JPEG named a.jpg.
Bytes smil_and_jpeg_wire() {
    const Bytes smil = filled(100, 0x20);
    const Bytes jpeg = filled(10, 0xA0);
    return bytes({0x84, 0x1B, 0xB3, 0x89}) + text0("application/smil") + bytes({0x8A}) + text0("<AAAA>") +
           bytes({0x02}) +
           bytes({0x27, 0x64, 0x1D}) + text0("application/smil") + bytes({0x85}) + text0("mms.smil") +
           bytes({0x81, 0xEA, 0xC0, 0x22}) + text0("<AAAA>") + smil +
           bytes({0x1A, 0x0A, 0x08, 0x9E, 0x85}) + text0("a.jpg") + bytes({0xC0, 0x22, 0x3C}) + str("a.jpg") +
           bytes({0x3E, 0x00, 0x8E}) + text0("a.jpg") + jpeg;
}

int count_parts(const mmresstruct *b) {
    int n = 0;
    for (const tMMS_Element *e = b->Parts; e; e = e->next) ++n;
    return n;
}

const tMMS_Element *nth(const mmresstruct *b, int i) {
    const tMMS_Element *e = b->Parts;
    while (e && i-- > 0) e = e->next;
    return e;
}

// Every Data pointer of a decoded record lies inside [data, data + len).
void expect_inside(const mmresstruct *b, const uint8_t *data, int len) {
    auto inside = [&](const uint8_t *p, int n) { return p >= data && n >= 0 && p + n <= data + len; };
    if (b->Smil && b->Smil->Data_Len > 0) {
        EXPECT_TRUE(inside(b->Smil->Data, b->Smil->Data_Len));
    }
    for (const tMMS_Element *e = b->Parts; e; e = e->next) EXPECT_TRUE(inside(e->Data, e->Data_Len));
}

// ---------------------------------------------------------------- encoding

TEST(BodyEncode, EmptyBodies) {
    rrtest::LeakCheck leaks;
    int len = -1;
    uint8_t *buf = fnMMS_EncodeBody(nullptr, &len);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(hex(buf, static_cast<size_t>(len)), "84 A3 00");
    qx::free_ptr(buf);

    Composed c;
    c.smil(filled(5, 1));
    EXPECT_EQ(hex(c.encode()), "84 A3 00") << "a SMIL part without parts is an empty body";
    EXPECT_EQ(fnMMS_EncodeBody(c.body, nullptr), nullptr);
}

TEST(BodyEncode, SmilAndOneJpegPartByteForByte) {
    rrtest::LeakCheck leaks;
    Composed c;
    c.smil(filled(100, 0x20));
    c.part("image/jpeg", "a.jpg", filled(10, 0xA0));
    EXPECT_EQ(hex(c.encode()), hex(smil_and_jpeg_wire()));
}

TEST(BodyEncode, CharsetForms) {
    struct Case {
        int hasCharset;
        int charset;
        Bytes param;
    };
    const Case cases[] = {
        {1, 106, bytes({0x81, 0xEA})},
        {1, 4, bytes({0x81, 0x84})},
        {1, 1000, bytes({0x81, 0x02, 0x03, 0xE8})},
        {1, 0x12345, bytes({0x81, 0x03, 0x01, 0x23, 0x45})},
        {2, 106, {}},
        {0, 106, {}},
        {1, -3, {}},
    };
    for (const auto &tc : cases) {
        Composed c;
        c.part("text/plain", "t.txt", str("hey"), tc.hasCharset, tc.charset);
        const Bytes t = bytes({0x83, 0x85}) + text0("t.txt") + tc.param;
        const Bytes h = bytes({static_cast<int>(t.size())}) + t + bytes({0xC0, 0x22}) + text0("<t.txt>") +
                        bytes({0x8E}) + text0("t.txt");
        const Bytes want = bytes({0x84, 0xA3, 0x01, static_cast<int>(h.size()), 0x03}) + h + str("hey");
        EXPECT_EQ(hex(c.encode()), hex(want)) << tc.charset;
    }
}

TEST(BodyEncode, LongHeadersAndDataUseUintvarsAndFitTheirBuffer) {
    rrtest::LeakCheck leaks;
    Composed c;
    const std::string longName(300, 'n');
    const std::string longType = "application/x-" + std::string(200, 't');
    c.smil(filled(200, 0), "application/smil");
    c.part(longType.c_str(), longName.c_str(), filled(20000, 3), 1, 1015);
    c.part("text/plain", nullptr, filled(130, 'a'), 1, 106);
    const Bytes wire = c.encode();
    // The exactly sized buffer came back whole: decode it from a heap copy.
    HeapCopy h(wire);
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->Smil, nullptr);
    EXPECT_EQ(d->Smil->Data_Len, 200);
    ASSERT_EQ(count_parts(d), 2);
    const tMMS_Element *p0 = nth(d, 0);
    EXPECT_EQ(s_or_null(p0->Content_Type), longType);
    EXPECT_EQ(s_or_null(p0->File_Name), longName);
    EXPECT_EQ(s_or_null(p0->Content_Id), longName);
    EXPECT_EQ(p0->Charset, 1015);
    EXPECT_EQ(p0->Data_Len, 20000);
    EXPECT_EQ(std::memcmp(p0->Data, filled(20000, 3).data(), 20000), 0);
    const tMMS_Element *p1 = nth(d, 1);
    EXPECT_EQ(s_or_null(p1->File_Name), "") << "a null file name travels as an empty text";
    EXPECT_EQ(p1->Data_Len, 130);
    expect_inside(d, h.data(), h.size());
    fnMMS_FreeDecodedBody(d);
}

TEST(BodyEncode, ManyPartsRoundTrip) {
    rrtest::LeakCheck leaks;
    Composed c;
    c.smil(str("<smil/>"));
    const char *types[] = {"image/jpeg", "image/gif", "audio/amr", "text/plain", "video/3gpp", "image/png"};
    // Names with bytes a Text-string quotes (0x7F and up), control bytes,
    // spaces, "%" and what XML or a URI cannot hold as it is.
    const std::string stems[] = {"p", "\x7Fp", "\x1E p", "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE ", "100%", "\"a&b<\"c\">/?#"};
    for (int i = 0; i < 30; ++i) {
        const std::string name = stems[i % 6] + std::to_string(i) + ".bin";
        c.part(types[i % 6], name.c_str(), filled(static_cast<size_t>(1 + i * 17), static_cast<uint8_t>(i)),
               i % 3 == 0 ? 1 : 0, i % 2 ? 106 : 1000);
    }
    const Bytes wire = c.encode();
    HeapCopy h(wire);
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(count_parts(d), 30);
    const tMMS_Element *e = d->Parts;
    for (const tMMS_Element *src = c.body->Parts; src; src = src->next, e = e->next) {
        EXPECT_EQ(s_or_null(e->Content_Type), src->Content_Type);
        EXPECT_EQ(s_or_null(e->File_Name), src->File_Name);
        EXPECT_EQ(s_or_null(e->Name_Param), src->File_Name);
        // The Content-ID holds the name URI-encoded: printable ASCII only,
        // and the name again once decoded.
        ASSERT_NE(e->Content_Id, nullptr);
        for (const char *q = e->Content_Id; *q; ++q) EXPECT_TRUE(*q > 0x20 && *q < 0x7F) << e->Content_Id;
        std::string id = e->Content_Id;
        UriDecodeInPlace(id.data());
        EXPECT_EQ(id.c_str(), std::string(src->File_Name));
        EXPECT_EQ(e->Has_Charset, src->Has_Charset);
        if (src->Has_Charset) {
            EXPECT_EQ(e->Charset, src->Charset);
        }
        ASSERT_EQ(e->Data_Len, src->Data_Len);
        EXPECT_EQ(std::memcmp(e->Data, src->Data, static_cast<size_t>(e->Data_Len)), 0);
    }
    fnMMS_FreeDecodedBody(d);
}

TEST(BodyEncode, AllocationFailure) {
    Composed c;
    c.smil(str("<smil/>"));
    c.part("image/jpeg", "a.jpg", filled(10, 0));
    const Bytes whole = c.encode();
    const long clean = rrtest::for_each_alloc_failure([&](long) {
        int len = -1;
        uint8_t *buf = fnMMS_EncodeBody(c.body, &len);
        // Complete or failed.
        EXPECT_EQ(buf == nullptr, qx::alloc_fail_fired());
        if (!buf) {
            EXPECT_EQ(len, 0);
        } else {
            EXPECT_EQ(Bytes(buf, buf + len), whole);
        }
        qx::free_ptr(buf);
    });
    EXPECT_EQ(clean, 1);
    rrtest::for_each_alloc_failure([&](long) {
        int len = -1;
        uint8_t *buf = fnMMS_EncodeBody(nullptr, &len);
        EXPECT_EQ(len, buf ? 3 : 0);
        qx::free_ptr(buf);
    });
}

// ---------------------------------------------------------------- decoding

TEST(BodyDecode, SmilAndOneJpegPartReadInPlace) {
    rrtest::LeakCheck leaks;
    HeapCopy h(smil_and_jpeg_wire());
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->Smil, nullptr);
    EXPECT_EQ(s_or_null(d->Smil->Content_Type), "application/smil");
    EXPECT_EQ(d->Smil->Data_Len, 100);
    EXPECT_EQ(d->Smil->Data[0], 0x20);
    ASSERT_EQ(count_parts(d), 1);
    const tMMS_Element *p = d->Parts;
    EXPECT_EQ(s_or_null(p->Content_Type), "image/jpeg");
    EXPECT_EQ(s_or_null(p->File_Name), "a.jpg");
    EXPECT_EQ(s_or_null(p->Name_Param), "a.jpg");
    EXPECT_EQ(s_or_null(p->Content_Id), "a.jpg");
    EXPECT_EQ(p->Data_Len, 10);
    EXPECT_EQ(p->Data, h.data() + h.size() - 10);
    EXPECT_EQ(p->IsSmil, 0);
    fnMMS_FreeDecodedBody(d);
}

TEST(BodyDecode, SingleTextAndEmptyBodies) {
    rrtest::LeakCheck leaks;
    {
        HeapCopy h(bytes({0x84, 0x83}) + str("hello"));
        mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->Smil, nullptr);
        ASSERT_EQ(count_parts(d), 1);
        EXPECT_EQ(s_or_null(d->Parts->Content_Type), "text/plain");
        EXPECT_EQ(s_or_null(d->Parts->File_Name), "MMS_Text0000.txt");
        EXPECT_EQ(s_or_null(d->Parts->Name_Param), "MMS_Text0000.txt");
        EXPECT_EQ(d->Parts->Data_Len, 5);
        EXPECT_EQ(d->Parts->Data, h.data() + 2);
        fnMMS_FreeDecodedBody(d);
    }
    {
        // With a Name parameter the file name is that name, as in a multipart entry.
        HeapCopy h(bytes({0x84, 0x0A, 0x83, 0x85}) + text0("n.txt") + bytes({0x81, 0xEA}) + str("hi"));
        mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(count_parts(d), 1);
        EXPECT_EQ(d->Single_Part, 1);
        EXPECT_EQ(s_or_null(d->Parts->File_Name), "n.txt");
        EXPECT_EQ(s_or_null(d->Parts->Name_Param), "n.txt");
        EXPECT_EQ(d->Parts->Has_Charset, 1);
        EXPECT_EQ(d->Parts->Charset, 106);
        EXPECT_EQ(d->Parts->Data_Len, 2);
        fnMMS_FreeDecodedBody(d);
    }
    const Bytes empties[] = {bytes({0x84, 0x83}), bytes({0x84, 0xA3, 0x00}), bytes({0x84}),
                             bytes({0x84, 0x05, 0x83}), bytes({0x84, 0xA3})};
    for (const auto &in : empties) {
        rrtest::LogCapture log;
        HeapCopy h(in);
        mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
        ASSERT_NE(d, nullptr) << hex(in);
        EXPECT_EQ(d->Smil, nullptr);
        EXPECT_EQ(d->Parts, nullptr);
        if (in.size() == 2 && in[1] == 0x83) {
            EXPECT_TRUE(log.contains("mzk:this mms is empty mms"));
        }
        fnMMS_FreeDecodedBody(d);
    }
}

TEST(BodyDecode, RefusesWhatIsNoBody) {
    HeapCopy h(bytes({0x83, 0x83, 0x41}));
    EXPECT_EQ(fnMMS_DecodeBody(h.data(), h.size()), nullptr);
    EXPECT_EQ(fnMMS_DecodeBody(nullptr, 3), nullptr);
    HeapCopy ok(bytes({0x84, 0xA3, 0x00}));
    EXPECT_EQ(fnMMS_DecodeBody(ok.data(), -1), nullptr);
    EXPECT_EQ(fnMMS_DecodeBody(ok.data(), 0), nullptr);
}

// One multipart entry: header length, data length, headers, data.
Bytes entry(const Bytes &headers, const Bytes &data) {
    uint8_t hl[5], dl[5];
    qx::Writer wh = qx::Writer::over(hl, sizeof hl), wd = qx::Writer::over(dl, sizeof dl);
    const int a = SetUintvar(wh, static_cast<uint32_t>(headers.size()));
    const int b = SetUintvar(wd, static_cast<uint32_t>(data.size()));
    return Bytes(hl, hl + a) + Bytes(dl, dl + b) + headers + data;
}

TEST(BodyDecode, PartHeadersAndDefaultNames) {
    rrtest::LeakCheck leaks;
    const Bytes wire =
        bytes({0x84, 0xA3, 0x07}) +
        entry(bytes({0x9E, 0x8E}) + text0("one.jpg"), str("J1")) +                  // location only
        entry(bytes({0x9E}), {}) +                                                   // no data: kept, empty
        entry(bytes({0x04, 0x9D, 0x85}) + text0("g") + bytes({0xC0, 0x22}) + text0("<i<d>>"), str("G")) +
        entry(bytes({0x83}), str("third")) +                                         // unnamed text
        entry(bytes({0x9E, 0xC0}) + text0("raw") + bytes({0x8E}) + text0("after-raw-id"), str("J2")) +
        entry(bytes({0x9E, 0xAE, 0x03, 0x80, 0x98, 0x00, 0xC5, 0x1F, 0x20}) + Bytes(32, 0x41) + bytes({0x8E}) +
                  text0("after-disposition.jpg"),
              str("J3")) +
        entry(bytes({0x9E, 0x91, 0x8E}) + text0("after-unknown"), str("J4"));
    HeapCopy h(wire);
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(count_parts(d), 7);
    struct Want {
        const char *type, *file, *name, *id, *data;
    };
    const Want want[] = {
        {"image/jpeg", "one.jpg", "<null>", "<null>", "J1"},
        {"image/jpeg", "<null>", "<null>", "<null>", ""},
        {"image/gif", "g", "g", "id", "G"},
        {"text/plain", "MMS_Text003.txt", "MMS_Text003.txt", "<null>", "third"},
        {"image/jpeg", "after-raw-id", "<null>", "raw", "J2"},
        {"image/jpeg", "after-disposition.jpg", "<null>", "<null>", "J3"},
        {"image/jpeg", "<null>", "<null>", "<null>", "J4"},
    };
    for (int i = 0; i < 7; ++i) {
        const tMMS_Element *e = nth(d, i);
        EXPECT_EQ(s_or_null(e->Content_Type), want[i].type) << i;
        EXPECT_EQ(s_or_null(e->File_Name), want[i].file) << i;
        EXPECT_EQ(s_or_null(e->Name_Param), want[i].name) << i;
        EXPECT_EQ(s_or_null(e->Content_Id), want[i].id) << i;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e->Data), static_cast<size_t>(e->Data_Len)),
                  want[i].data)
            << i;
    }
    fnMMS_FreeDecodedBody(d);
}

// Part headers are read whole: fields the decoder does not keep (well-known
// ones by their WSP value, application headers by their texts, code page
// shifts) are stepped over, so a Content-ID and Content-Location after them
// are found; names come from WSP 1.4 Name and Filename parameters too; media
// types compare without regard to case.
TEST(BodyDecode, WholePartHeadersAndCaseInsensitiveTypes) {
    rrtest::LeakCheck leaks;
    const Bytes wire =
        bytes({0x84, 0xA3, 0x06}) +
        // text/plain; X-A: b; Content-ID "<c>"; Content-Location c.txt
        entry(bytes({0x83, 0x58, 0x2D, 0x41, 0x00, 0x62, 0x00, 0xC0, 0x22, 0x3C, 0x63, 0x3E, 0x00, 0x8E, 0x63, 0x2E,
                     0x74, 0x78, 0x74, 0x00}),
              str("T")) +
        // Date (Long-integer), Content-Transfer-Encoding as an application
        // header, a Content-Disposition with a 1.4 Filename, a shift to
        // page 2 and back, then the Content-ID.
        entry(bytes({0x9E, 0x92, 0x04, 0x53, 0x49, 0x3E, 0x40}) + text0("Content-Transfer-Encoding") + text0("binary") +
                  bytes({0xC5, 0x08, 0x81, 0x98}) + text0("a.jpg") + bytes({0x7F, 0x02, 0x01, 0x7F, 0x01, 0xC0, 0x22}) +
                  text0("<j>"),
              str("J")) +
        // Name (1.4) and Filename parameters in the content type.
        entry(bytes({0x09, 0x9D, 0x97}) + text0("n14") + bytes({0x86}) + text0("f"), str("G")) +
        entry(bytes({0x06, 0x9D, 0x98}) + text0("f14"), str("G2")) +
        // Capitalised media types: SMIL and text parts are what they are.
        entry(text0("Application/SMIL"), str("<smil/>")) + entry(text0("Text/Plain"), str("t"));
    HeapCopy h(wire);
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->Smil, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(d->Smil->Data), d->Smil->Data_Len), "<smil/>");
    ASSERT_EQ(count_parts(d), 5);
    EXPECT_EQ(s_or_null(nth(d, 0)->Content_Id), "c");
    EXPECT_EQ(s_or_null(nth(d, 0)->File_Name), "c.txt");
    EXPECT_EQ(s_or_null(nth(d, 1)->Content_Id), "j");
    EXPECT_EQ(s_or_null(nth(d, 2)->Name_Param), "n14");
    EXPECT_EQ(s_or_null(nth(d, 2)->File_Name), "n14");
    EXPECT_EQ(s_or_null(nth(d, 3)->Name_Param), "f14");
    EXPECT_EQ(s_or_null(nth(d, 4)->File_Name), "MMS_Text004.txt");  // a text part, named as one
    fnMMS_FreeDecodedBody(d);

    // A single-part body typed Text/Plain is that text, not a multipart.
    HeapCopy single(bytes({0x84}) + text0("Text/Plain") + str("hello"));
    d = fnMMS_DecodeBody(single.data(), single.size());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(count_parts(d), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(d->Parts->Data), d->Parts->Data_Len), "hello");
    fnMMS_FreeDecodedBody(d);
}

TEST(BodyDecode, LaterSmilReplacesEarlierAndFwdIsKept) {
    rrtest::LeakCheck leaks;
    const Bytes fwd = str("fwd") + bytes({0}) + text0("yes");
    const Bytes wire = bytes({0x84, 0xA3, 0x03}) + entry(text0("application/smil"), str("<a/>")) +
                       entry(bytes({static_cast<int>(1 + fwd.size()), 0x9E}) + fwd, str("D")) +
                       entry(text0("application/smil"), str("<bb/>"));
    HeapCopy h(wire);
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->Smil, nullptr);
    EXPECT_EQ(d->Smil->Data_Len, 5);
    ASSERT_EQ(count_parts(d), 1);
    EXPECT_EQ(d->Parts->Fwd_Present, 1);
    EXPECT_EQ(d->Parts->Fwd_Value, 1);
    EXPECT_EQ(hex(d->Parts->Fwd_Param, static_cast<size_t>(d->Parts->Fwd_Param_Len)), hex(fwd));
    fnMMS_FreeDecodedBody(d);
}

// ---------------------------------------------------------------- hostile bodies

TEST(BodyHostile, DataRunningPastTheBodyIsClipped) {
    rrtest::LeakCheck leaks;
    // Second entry claims 1000 data bytes, 4 are there; a third never comes.
    const Bytes wire = bytes({0x84, 0xA3, 0x03}) + entry(bytes({0x9E}), str("AB")) + bytes({0x01, 0x87, 0x68, 0x9E}) +
                       str("WXYZ");
    HeapCopy h(wire);
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(count_parts(d), 2);
    EXPECT_EQ(nth(d, 1)->Data_Len, 4);
    EXPECT_EQ(nth(d, 1)->Data + 4, h.data() + h.size());
    expect_inside(d, h.data(), h.size());
    fnMMS_FreeDecodedBody(d);

    // The same for a SMIL part.
    HeapCopy s(bytes({0x84, 0xA3, 0x02, 0x11, 0x7F}) + text0("application/smil") + str("<smil"));
    d = fnMMS_DecodeBody(s.data(), s.size());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->Smil, nullptr);
    EXPECT_EQ(d->Smil->Data_Len, 5);
    fnMMS_FreeDecodedBody(d);
}

TEST(BodyHostile, HeadersRunningPastTheBodyEndDecoding) {
    rrtest::LeakCheck leaks;
    const Bytes cases[] = {
        bytes({0x84, 0xA3, 0x02}) + entry(bytes({0x9E}), str("A")) + bytes({0x7F, 0x01, 0x9E}),
        bytes({0x84, 0xA3, 0x02}) + entry(bytes({0x9E}), str("A")) + bytes({0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}),
        bytes({0x84, 0xA3, 0x02}) + entry(bytes({0x9E}), str("A")) + bytes({0x81, 0x81, 0x81, 0x81, 0x81, 0x81}),
        bytes({0x84, 0xA3, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}) + entry(bytes({0x9E}), str("A")),  // huge count
    };
    for (const auto &in : cases) {
        HeapCopy h(in);
        mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
        ASSERT_NE(d, nullptr) << hex(in);
        EXPECT_EQ(count_parts(d), 1) << hex(in);
        expect_inside(d, h.data(), h.size());
        fnMMS_FreeDecodedBody(d);
    }
    // A content type that does not fit its header length skips the entry.
    HeapCopy h(bytes({0x84, 0xA3, 0x02, 0x02, 0x08}) + text0("image/png") + entry(bytes({0x9E}), str("B")));
    mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(count_parts(d), 1);
    EXPECT_EQ(d->Parts->Data[0], 'B');
    fnMMS_FreeDecodedBody(d);
}

TEST(BodyHostile, EveryTruncationOfRealisticBodies) {
    rrtest::LeakCheck leaks;
    Composed c;
    c.smil(str("<smil><body/></smil>"));
    c.part("image/jpeg", "a.jpg", filled(40, 0));
    c.part("text/plain", "t.txt", str("some text"), 1, 1000);
    const Bytes bodies[] = {c.encode(), smil_and_jpeg_wire(),
                            bytes({0x84, 0x0A, 0x83, 0x85}) + text0("n.txt") + bytes({0x81, 0xEA}) + str("hi")};
    for (const auto &full : bodies) {
        for (size_t k = 0; k <= full.size(); ++k) {
            HeapCopy h(full.data(), k);
            mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
            if (k == 0) {
                EXPECT_EQ(d, nullptr);
                continue;
            }
            ASSERT_NE(d, nullptr) << k;
            expect_inside(d, h.data(), h.size());
            fnMMS_FreeDecodedBody(d);
        }
    }
}

TEST(BodyDecode, AllocationFailures) {
    Composed c;
    c.smil(str("<smil/>"));
    c.part("image/jpeg", "a.jpg", filled(10, 0));
    const Bytes bodies[] = {
        c.encode(),
        bytes({0x84, 0x83}) + str("plain"),
        bytes({0x84, 0xA3, 0x03}) + entry(bytes({0x83}), str("x")) + entry(bytes({0x04, 0x9D, 0x85}) + text0("g"), str("G")) +
            entry(bytes({0x9E, 0x8E}) + text0("a") + bytes({0xC0, 0x22}) + text0("<b>"), str("J")),
    };
    for (const auto &wire : bodies) {
        HeapCopy h(wire);
        const long clean = rrtest::for_each_alloc_failure([&](long) {
            MmsDecodeFault fault = MmsDecodeFault::UnexpectedBody;
            mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size(), &fault);
            // A body decodes whole, or its shortage of memory is reported.
            EXPECT_EQ(d == nullptr, qx::alloc_fail_fired()) << hex(wire);
            EXPECT_EQ(fault, d ? MmsDecodeFault::None : MmsDecodeFault::NoMemory) << hex(wire);
            fnMMS_FreeDecodedBody(d);
        });
        EXPECT_GT(clean, 2) << hex(wire);
    }
}

// ---------------------------------------------------------------- real bodies

// Offset of the Content-Type field (0x84) of an MMS PDU: header values are
// stepped over by their WSP form (short length, 31 + uintvar, text up to
// its zero byte, or a single byte of 0x80 or more).
size_t body_offset(const Bytes &pdu) {
    size_t i = 0;
    auto skip_value = [&]() {
        const uint8_t b = pdu.at(i);
        if (b <= 30) {
            i += 1 + b;
        } else if (b == 31) {
            WspCursor c = wsp_cursor(pdu.data() + i + 1, static_cast<int>(pdu.size() - i - 1));
            const uint32_t n = GetUintvar(c);
            i = static_cast<size_t>(c.p - pdu.data()) + n;
        } else if (b < 0x80) {
            while (pdu.at(i) != 0) ++i;
            ++i;
        } else {
            ++i;
        }
    };
    while (i < pdu.size()) {
        const uint8_t code = pdu[i];
        if (code == MMS_CONTENT_TYPE_FIELD) return i;
        if (code < 0x80) {  // application header: text name, then its value
            while (pdu.at(i) != 0) ++i;
            ++i;
        } else {
            ++i;
        }
        skip_value();
    }
    return pdu.size();
}

struct RealPart {
    const char *type;
    const char *file;
    const char *id;
    int charset;  // 0: no charset parameter
    uint8_t first;  // first data byte
};

struct RealBody {
    const char *file;
    const char *bodyType;
    bool smil;
    std::vector<RealPart> parts;
    int lastLen = 0;  // data length of the last part, when checked
};

TEST(BodyInterop, RealRetrieveConfs) {
    if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus not present";
    // Values read with Wireshark's dissector:
    //   python3 /work/shared/tools/pdu2pcap.py rN.pcap /work/shared/interop/m-retrieve_N.conf
    //   tshark -r rN.pcap -V | grep -E "Part: [0-9]+, content-type|^ {16}Content-Type: |Content-Id: |Content-Location: |^    Content-Type: |Start of Image"
    // tshark shows the SMIL as part 1 of 1..3 (our decoder keeps it apart
    // from Parts); Content-Id values appear there with their quotes; the
    // first data bytes of the JPEGs are the 0xFFD8 start-of-image marker.
    const RealBody bodies[] = {
        {"m-retrieve_1.conf", "application/vnd.wap.multipart.related", true,
         {{"text/plain", "text_001.txt", "text_001.txt", 106, 0xD0},
          {"image/jpeg", "pic_49c2735abe536994f5a7b85c08af6199.jpg", "pic_49c2735abe536994f5a7b85c08af6199.jpg", 0,
           0xFF}}},
        {"m-retrieve_2.conf", "application/vnd.wap.multipart.related", true,
         {{"text/plain", "text_0011.txt", "text_0011.txt", 106, 0},
          {"image/jpeg", "131200131.jpg", "131200131.jpg", 0, 0xFF},
          {"text/plain", "text_0021.txt", "text_0021.txt", 106, 0},
          {"image/jpeg", "131200011.jpg", "131200011.jpg", 0, 0xFF}}},
        {"m-retrieve_3.conf", "application/vnd.wap.multipart.related", true,
         {{"text/plain", "text_001.txt", "text_001.txt", 106, 0}, {"image/jpeg", "13120001.jpg", "13120001.jpg", 0, 0xFF}}},
        // Part 1 has no Name and no Content-Location: it takes the default
        // name. Its data length is 191 (0x81 0x3F).
        {"m-retrieve_4.conf", "application/vnd.wap.multipart.mixed", false,
         {{"text/plain", "MMS_Text000.txt", nullptr, 106, 0xED}}, 191},
    };
    for (const auto &rb : bodies) {
        SCOPED_TRACE(rb.file);
        const Bytes pdu = rrtest::read_file(rrtest::interop_path(rb.file));
        ASSERT_FALSE(pdu.empty());
        const size_t off = body_offset(pdu);
        ASSERT_LT(off, pdu.size());
        HeapCopy h(pdu.data() + off, pdu.size() - off);

        WspCursor c = wsp_cursor(h.data() + 1, h.size() - 1);
        int consumed = 0;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        ASSERT_NE(ct, nullptr);
        EXPECT_EQ(s_or_null(ct->Content_Type), rb.bodyType);
        FreeContentTypeValue(ct);

        rrtest::LeakCheck leaks;
        mmresstruct *d = fnMMS_DecodeBody(h.data(), h.size());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->Smil != nullptr, rb.smil);
        if (d->Smil) {
            EXPECT_EQ(s_or_null(d->Smil->Content_Type), "application/smil");
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(d->Smil->Data), 5), "<smil");
        }
        ASSERT_EQ(count_parts(d), static_cast<int>(rb.parts.size()));
        for (size_t i = 0; i < rb.parts.size(); ++i) {
            const tMMS_Element *e = nth(d, static_cast<int>(i));
            const RealPart &w = rb.parts[i];
            EXPECT_EQ(s_or_null(e->Content_Type), w.type) << i;
            EXPECT_EQ(s_or_null(e->File_Name), w.file) << i;
            EXPECT_EQ(s_or_null(e->Content_Id), s_or_null(w.id)) << i;
            EXPECT_EQ(e->Has_Charset, w.charset ? 1 : 0) << i;
            EXPECT_EQ(e->Charset, w.charset) << i;
            if (w.first) {
                EXPECT_EQ(e->Data[0], w.first) << i;
            }
        }
        // The last part ends exactly at the end of the PDU.
        const tMMS_Element *last = nth(d, static_cast<int>(rb.parts.size()) - 1);
        EXPECT_EQ(last->Data + last->Data_Len, h.data() + h.size());
        if (rb.lastLen) {
            EXPECT_EQ(last->Data_Len, rb.lastLen);
        }
        fnMMS_FreeDecodedBody(d);
    }
}

}  // namespace
