// Parts in base64 or quoted-printable and subjects and names made of MIME
// encoded words: the decoders against GLib's encoder and hand-made forms,
// bad input, and the whole path to the host's slides and attachments.
#include <gtest/gtest.h>
#include <glib.h>

#include <random>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "composer_host.h"
#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "retrieve_conf_builder.h"
#include "test_support.h"

using rrtest::Bytes;

namespace {

Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes text0(const std::string &s) { return rrtest::text0(s); }
Bytes operator+(Bytes a, const Bytes &b) { return rrtest::operator+(std::move(a), b); }
Bytes uintvar(size_t v) {
    Bytes out{static_cast<uint8_t>(v & 0x7F)};
    for (v >>= 7; v; v >>= 7) out.insert(out.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    return out;
}

// Decodes into a buffer of exactly the documented size (ASan sees any byte
// written past it).
std::string decode(bool base64, const std::string &in) {
    std::vector<uint8_t> out(in.size() + 3);
    const auto *p = reinterpret_cast<const uint8_t *>(in.data());
    const size_t n = base64 ? Base64DecodeInto(p, in.size(), out.data()) : QuotedPrintableDecodeInto(p, in.size(), out.data());
    EXPECT_LE(n, in.size());
    return std::string(out.begin(), out.begin() + static_cast<long>(n));
}

TEST(TransferEncoding, HandMadeAndBadInputDecodeAsFarAsSound) {
    const struct {
        bool base64;
        const char *in, *out;
    } cases[] = {
        {true, "VMOkbW3Dtm5lbiDwn5iI", "T\xC3\xA4mm\xC3\xB6nen \xF0\x9F\x98\x88"},
        {true, "QUJD\r\nREVG\r\n", "ABCDEF"},
        {true, "QQ==QUJD", "AABC"},     // padded quanta one after another
        {true, "QQ=QUJD", "AABC"},      // odd padding
        {true, "QUI", "AB"},            // unpadded end
        {true, "QUJDR", "ABC"},         // a lone last character
        {true, "Q*U!J\x01" "D", "ABC"}, // characters outside the alphabet
        {true, "====", ""},
        {false, "T=C3=A4mm=c3=b6nen =F0=9F=98=88", "T\xC3\xA4mm\xC3\xB6nen \xF0\x9F\x98\x88"},
        {false, "soft=\r\nbreak=\nhere= \t\r\n!", "softbreakhere!"},
        {false, "trailing  \r\nblanks\t\nkept inside", "trailing\r\nblanks\nkept inside"},
        {false, "a=4", "a=4"},          // no escape: kept
        {false, "a=XY=", "a=XY"},       // "=" at the end
        {false, "=", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(decode(c.base64, c.in), c.out) << c.in;
}

// QP as an encoder of RFC 2045 writes it, with soft breaks after `width`
// characters and blanks a relay may add before line breaks.
std::string qp_encode(const std::string &s, size_t width, bool addBlanks) {
    std::string out, line;
    for (unsigned char c : s) {
        char piece[4];
        if (c >= 33 && c <= 126 && c != '=') {
            piece[0] = static_cast<char>(c), piece[1] = 0;
        } else {
            std::snprintf(piece, sizeof piece, "=%02X", c);
        }
        if (line.size() + std::strlen(piece) > width) {
            out += line + "=" + (addBlanks ? "  " : "") + "\r\n";
            line.clear();
        }
        line += piece;
    }
    return out + line;
}

TEST(TransferEncoding, RandomDataRoundTripsThroughEncoders) {
    std::mt19937 rng(23);
    for (int i = 0; i < 400; ++i) {
        std::string data(rng() % 300, '\0');
        for (char &c : data) c = static_cast<char>(rng());
        // GLib's encoder with line breaks wherever they fall.
        gchar *b64 = g_base64_encode(reinterpret_cast<const guchar *>(data.data()), data.size());
        std::string wrapped(b64);
        g_free(b64);
        for (size_t at = rng() % 80 + 1; at < wrapped.size(); at += rng() % 80 + 1) wrapped.insert(at, "\r\n");
        EXPECT_EQ(decode(true, wrapped), data);
        EXPECT_EQ(decode(false, qp_encode(data, 4 + rng() % 90, rng() % 2)), data);
    }
}

TEST(EncodedWords, DecodeToUtf8ReplaceWhatDoesNotConvertAndKeepNonWordsAsText) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"=?utf-8?B?0J/QuNGC0LXRgA==?=", "\xD0\x9F\xD0\xB8\xD1\x82\xD0\xB5\xD1\x80"},
        {"=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_Berlin?=", "Gr\xC3\xBC\xC3\x9F" "e aus Berlin"},
        {"=?iso-8859-1?q?caf=E9?= au lait", "caf\xC3\xA9 au lait"},
        {"=?KOI8-R?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"=?windows-1251?Q?=CF=F0=E8?=", "\xD0\x9F\xD1\x80\xD0\xB8"},
        {"=?shift_jis?B?k/qWe4zq?=", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {"=?utf-8*fi?Q?T=C3=A4m?=", "T\xC3\xA4m"},
        // aliases: the table's and the platform converter's
        {"=?latin-1?q?caf=E9?=", "caf\xC3\xA9"},
        {"=?iso8859-1?q?caf=E9?=", "caf\xC3\xA9"},
        {"=?L1?q?caf=E9?=", "caf\xC3\xA9"},
        {"=?ISO_8859-15?q?=A4?=", "\xE2\x82\xAC"},
        {"=?csKOI8R?B?8NLJ?=", "\xD0\x9F\xD1\x80\xD0\xB8"},
        // Shift_JIS in every name is CP932: ASCII stays ASCII
        {"=?cp932?q?=5C=7E=82=A0?=", "\\~\xE3\x81\x82"},
        {"=?ms_kanji?q?=5C=7E?=", "\\~"},
        {"=?Shift_JIS?q?a=5Cb=7E?=", "a\\b~"},
        {"=?windows-31j?b?h0A=?=", "\xE2\x91\xA0"},  // a vendor row: circled 1
        // adjacent words joined, a character split between two of them
        {"=?utf-8?B?0J/Q?= \r\n =?utf-8?B?uNGC?=", "\xD0\x9F\xD0\xB8\xD1\x82"},
        {"a =?utf-8?Q?b?= c =?utf-8?Q?d?=", "a b c d"},
        {"=?utf-8?Q?x?= =?iso-8859-1?Q?=E9?=", "x\xC3\xA9"},
        {"=?latin1?Q?=E9?= =?l1?Q?=E9?=", "\xC3\xA9\xC3\xA9"},
        // bytes that do not convert: U+FFFD, the valid rest kept
        {"=?utf-8?q?Hello_W=C3=B6rld?= =?utf-8?q?=E2=82?=", "Hello W\xC3\xB6rld\xEF\xBF\xBD"},
        {"Hi =?utf-8?B?0J/Q?=", "Hi \xD0\x9F\xEF\xBF\xBD"},  // half a character
        {"=?utf-8?q?=ED=A0=80x?=", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},  // a surrogate: three
        {"=?utf-8?q?=F4=90=80=80?=", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"=?utf-8?q?=C0=AF=F0=9F=98?=", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong, then a cut emoji
        {"=?us-ascii?q?a=E9b?=", "a\xEF\xBF\xBD" "b"},
        {"=?us-ascii?q?=C3=A9?=", "\xC3\xA9"},  // read as UTF-8, as US-ASCII texts are
        {"=?euc-jp?q?a=A4?=", "a\xEF\xBF\xBD"},
        {"=?utf-16be?q?=00?=", "\xEF\xBF\xBD"},
        // An encoded zero byte is replaced, never the end of the text.
        {"=?UTF-8?Q?x=00abc?=", "x\xEF\xBF\xBD" "abc"},
        {"=?UTF-8?B?eABhYmM=?= tail", "x\xEF\xBF\xBD" "abc tail"},
        {"=?utf-16be?q?=00x=00=00=00y?=", "x\xEF\xBF\xBDy"},
        {"=?utf-8?q?a=?=", "a="},
        // malformed or empty content: left out whole
        {"=?utf-8?B?" "?=", ""},
        {"=?utf-8?B?0J*Q?= ok", " ok"},
        {"=?utf-8?Q?a?= =?utf-8?B?!!?= =?utf-8?Q?b?=", "ab"},
        // not encoded words: ordinary text
        {"=?utf-8?q?Hello World?=", "=?utf-8?q?Hello World?="},
        {"=?x-unknown?Q?abc?=x", "=?x-unknown?Q?abc?=x"},
        {"=?utf-8?X?abc?=", "=?utf-8?X?abc?="},
        {"=?utf-8//TRANSLIT?q?a?=", "=?utf-8//TRANSLIT?q?a?="},
        {"cut =?utf-8?B?0J/QuNGC", "cut =?utf-8?B?0J/QuNGC"},
        {"=?utf-8?q?a?= =?x-unknown?q?b?= =?utf-8?q?c?=", "a =?x-unknown?q?b?= c"},
        {"=?utf-8?q?a?= x =?utf-8?q?b c?=", "a x =?utf-8?q?b c?="},
        {"1+1=?2 and a=?b", "1+1=?2 and a=?b"},
    };
    for (const auto &c : cases) {
        char *t = fnQX_MEMSTRCOPY(c.in);
        ASSERT_NE(DecodeEncodedWords(&t), Got::NoMemory);
        EXPECT_STREQ(t, c.out) << c.in;
        qx::free_ptr(t);
    }
}

// Allocation failures give NoMemory with the text untouched; every run
// that gets its memory gives the whole result.
TEST(EncodedWords, AllocationFailuresLeaveTheText) {
    const std::string in = "=?utf-8?q?Hello_W=C3=B6rld?= =?x-unknown?q?a?= =?latin-1?q?=E9?= =?utf-8?b?////?=";
    for (long n = 1;; ++n) {
        char *t = fnQX_MEMSTRCOPY(in.c_str());
        ASSERT_NE(t, nullptr);
        qx::alloc_fail_nth(n);
        const Got g = DecodeEncodedWords(&t);
        const bool fired = qx::alloc_fail_fired();
        qx::alloc_fail_off();
        if (g == Got::NoMemory) {
            EXPECT_TRUE(fired) << n;
            EXPECT_EQ(std::string(t), in) << n;
            qx::free_ptr(t);
            continue;
        }
        EXPECT_EQ(std::string(t), "Hello W\xC3\xB6rld =?x-unknown?q?a?= \xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << n;
        qx::free_ptr(t);
        if (!fired) break;
    }
}

// One entry of a multipart body: content type value, header fields, data.
Bytes entry(const Bytes &type, const Bytes &headers, const std::string &data) {
    const Bytes h = type + headers;
    return uintvar(h.size()) + uintvar(data.size()) + h + str(data);
}

const char kSmil[] =
    "<smil><body><par dur=\"5000ms\"><img src=\"=?utf-8?Q?k=C3=B6ln.gif?=\"/><text src=\"t.txt\"/></par></body></smil>";
const std::string kText = "T\xC3\xA4mm\xC3\xB6nen \xF0\x9F\x98\x88 t\xC3\xA4\xC3\xA4 l\xC3\xA4htee huomenna.";
const std::string kGif = std::string("GIF89a\x01\x00\x01\x00\x00\xFF\x00,", 14);

// A Content-Type value in its general form.
Bytes typed(const Bytes &v) { return (v.size() < 31 ? Bytes{static_cast<uint8_t>(v.size())} : Bytes{0x1F} + uintvar(v.size())) + v; }

Bytes cte(const std::string &v) { return text0("Content-Transfer-Encoding") + text0(v); }

Bytes retrieve_conf() {
    gchar *t64 = g_base64_encode(reinterpret_cast<const guchar *>(kText.data()), kText.size());
    const std::string text64 = t64;
    g_free(t64);
    gchar *s64 = g_base64_encode(reinterpret_cast<const guchar *>(kSmil), sizeof kSmil - 1);
    const std::string smil64 = s64;
    g_free(s64);
    const Bytes body =
        Bytes{0x84, 0x1B, 0xB3, 0x89} + text0("application/smil") + Bytes{0x8A} + text0("<AAAA>") + Bytes{0x04} +
        entry(text0("application/smil"), Bytes{0xC0, 0x22} + text0("<AAAA>") + cte("base64"), smil64) +
        entry(Bytes{0x03, 0x83, 0x81, 0xEA}, cte(" BASE64 ") + Bytes{0x8E} + text0("t.txt"), text64) +
        entry(Bytes{0x9D}, Bytes{0x8E} + text0("=?utf-8?Q?k=C3=B6ln.gif?=") + cte("Quoted-Printable"),
              qp_encode(kGif, 20, true)) +
        entry(typed(text0("application/x-uue") + Bytes{0x85} + text0("=?utf-8?B?0J/QuNGC0LXRgA==?=")),
              cte("x-uuencode"), "begin 644");
    rrtest::RetrieveConfFields f;
    f.transactionId = "t1";
    f.subject = "=?utf-8?B?0J/QuNGC0LXRgA==?= =?UTF-8?Q?_Gr=C3=BC=C3=9Fe?=";
    return rrtest::make_retrieve_conf(f, body);
}

TEST(MimeMessage, HostGetsDecodedPartsNamesAndSubject) {
    const Bytes pdu = retrieve_conf();
    rrtest::HeapCopy copy(pdu);
    tCPS_PduBuf in{const_cast<uint8_t *>(copy.data()), copy.size()};
    tCPS_MmsData d{};
    rrtest::LogCapture log;
    ASSERT_EQ(fnCPS_ParserMMS(&d, &in), 0);
    EXPECT_TRUE(log.contains("Content-Transfer-Encoding x-uuencode not known")) << log.text();
    const rrtest::HostMessage m = rrtest::read_lists(d);
    EXPECT_STREQ(d.Header.Retrieve.Retrieve_Conf.Subject, "\xD0\x9F\xD0\xB8\xD1\x82\xD0\xB5\xD1\x80 Gr\xC3\xBC\xC3\x9F" "e");
    ASSERT_EQ(m.slides.size(), 1u);
    ASSERT_TRUE(m.slides[0].text && m.slides[0].image);
    EXPECT_EQ(m.slides[0].text->text, kText);
    EXPECT_EQ(m.slides[0].image->name, "k\xC3\xB6ln.gif");
    EXPECT_EQ(m.slides[0].image->data, str(kGif));
    // An unknown encoding: the bytes as they came, under the decoded name.
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].name, "\xD0\x9F\xD0\xB8\xD1\x82\xD0\xB5\xD1\x80");
    EXPECT_EQ(m.attachments[0].data, str("begin 644"));
    rrtest::free_lists(d);
    rrtest::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
}

TEST(MimeMessage, AllocationFailuresGiveNothingOrTheWholeResult) {
    const Bytes pdu = retrieve_conf();
    qx::set_log_enabled(false);
    for (long n = 1;; ++n) {
        rrtest::HeapCopy copy(pdu);
        const long before = qx::alloc_stats().liveBlocks;
        qx::alloc_fail_nth(n);
        tMMS_DecodeReport why{};
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(copy.data(), copy.size(), &why);
        MmsDecodeFault bodyFault = MmsDecodeFault::None;
        mmresstruct *b = r ? fnMMS_DecodeBody(r->body, r->Content_Size, &bodyFault) : nullptr;
        const bool fired = qx::alloc_fail_fired();
        qx::alloc_fail_off();
        // Nothing is given up silently: no record means no memory.
        if (!r) { EXPECT_EQ(why.fault, MmsDecodeFault::NoMemory) << n; }
        if (r && !b) { EXPECT_EQ(bodyFault, MmsDecodeFault::NoMemory) << n; }
        if (r) {
            EXPECT_STREQ(r->Subject, "\xD0\x9F\xD0\xB8\xD1\x82\xD0\xB5\xD1\x80 Gr\xC3\xBC\xC3\x9F" "e") << n;
        }
        if (b) {
            ASSERT_TRUE(b->Parts && b->Parts->next && b->Parts->next->next) << n;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(b->Parts->Data), b->Parts->Data_Len), kText) << n;
            EXPECT_STREQ(b->Parts->next->File_Name, "k\xC3\xB6ln.gif") << n;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(b->Parts->next->Data), b->Parts->next->Data_Len), kGif) << n;
        }
        EXPECT_TRUE(fired || (r && b)) << n;
        fnMMS_FreeDecodedBody(b);
        if (r) fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        EXPECT_EQ(qx::alloc_stats().liveBlocks, before) << n;
        if (!fired) break;
    }
    qx::set_log_enabled(true);
}

}  // namespace
