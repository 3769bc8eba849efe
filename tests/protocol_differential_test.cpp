// Differential test of the PDU decoders against Wireshark's MMSE and WSP
// dissectors. Every PDU of the interop corpus is split into its header fields
// and multipart entries; legal variants are made from them (fields reordered,
// dropped and repeated, MMS 1.2/1.3 and application fields added, subjects
// and addresses re-encoded in other charsets and value forms, long texts,
// extra parts and part headers); each variant is decoded by the library and by
// tshark, and every field both read must agree. Where the generator wrote a
// text itself, the library must also give exactly that text.
//
// RR_DIFF_VARIANTS (default 300) and RR_DIFF_SEED (default fixed) change the
// run; more variants by hand, e.g. RR_DIFF_VARIANTS=6000.
#include <gtest/gtest.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <initializer_list>
#include <array>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "test_support.h"
#include "tshark_capture.h"

using rrtest::Bytes;
using rrtest::PdmlField;
using rrtest::PdmlPacket;

namespace {

// ---------------------------------------------------------------- WSP structure

Bytes uintvar(uint32_t v) {
    Bytes out{static_cast<uint8_t>(v & 0x7F)};
    for (v >>= 7; v; v >>= 7) out.insert(out.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    return out;
}

Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes text0(const std::string &s) { return rrtest::text0(s); }
Bytes operator+(Bytes a, const Bytes &b) { return rrtest::operator+(std::move(a), b); }

// Reads a uintvar at pos; the number of bytes, 0 when malformed.
size_t read_uintvar(const Bytes &b, size_t pos, uint32_t *v) {
    *v = 0;
    for (size_t i = 0; i < 5 && pos + i < b.size(); ++i) {
        *v = (*v << 7) | (b[pos + i] & 0x7F);
        if (!(b[pos + i] & 0x80)) return i + 1;
    }
    return 0;
}

// Bytes of the WSP value at pos (short integer, Value-length and its bytes,
// text and its zero byte); 0 when it does not end inside b.
size_t value_extent(const Bytes &b, size_t pos) {
    if (pos >= b.size()) return 0;
    const uint8_t v = b[pos];
    size_t n;
    if (v >= 0x80) {
        n = 1;
    } else if (v <= 30) {
        n = 1 + v;
    } else if (v == 31) {
        uint32_t len = 0;
        const size_t u = read_uintvar(b, pos + 1, &len);
        if (!u) return 0;
        n = 1 + u + len;
    } else {
        const auto zero = std::find(b.begin() + static_cast<long>(pos), b.end(), 0);
        if (zero == b.end()) return 0;
        n = static_cast<size_t>(zero - b.begin()) - pos + 1;
    }
    return pos + n <= b.size() ? n : 0;
}

// Bytes of the header field at pos: a code and its value, or an application
// header's text name and text value.
size_t field_extent(const Bytes &b, size_t pos) {
    if (b[pos] >= 0x80) {
        const size_t v = value_extent(b, pos + 1);
        return v ? 1 + v : 0;
    }
    const size_t name = value_extent(b, pos);
    if (!name || b[pos] < 0x20) return 0;
    const size_t v = value_extent(b, pos + name);
    return v ? name + v : 0;
}

struct Entry {
    Bytes type;                  // the entry's Content-Type value
    std::vector<Bytes> headers;  // each header field whole
    Bytes data;
};

struct Message {
    uint8_t messageType = 0;
    std::vector<Bytes> fields;  // header fields before the Content-Type
    bool hasBody = false;
    Bytes bodyType;
    bool multipart = false;
    std::vector<Entry> entries;
    Bytes rest;  // a body that is not multipart
};

bool is_multipart_type(const Bytes &t) {
    size_t pos = 0;
    if (t.empty()) return false;
    uint32_t len = 0;
    if (t[0] <= 31) pos = t[0] == 31 ? 1 + read_uintvar(t, 1, &len) : 1;
    if (pos >= t.size()) return false;
    const uint8_t m = t[pos];
    if (m >= 0x80) {
        const int code = m & 0x7F;
        return (code >= 0x0B && code <= 0x0F) || (code >= 0x22 && code <= 0x26) || code == 0x33;
    }
    std::string s(t.begin() + static_cast<long>(pos), std::find(t.begin() + static_cast<long>(pos), t.end(), 0));
    for (char &c : s) c = static_cast<char>(g_ascii_tolower(c));
    return s.rfind("multipart/", 0) == 0 || s.rfind("application/vnd.wap.multipart.", 0) == 0;
}

bool split(const Bytes &pdu, Message *m) {
    size_t pos = 0;
    if (pdu.size() < 2 || pdu[0] != 0x8C) return false;
    m->messageType = pdu[1];
    while (pos < pdu.size()) {
        if (pdu[pos] == 0x84) {
            m->hasBody = true;
            ++pos;
            break;
        }
        const size_t n = field_extent(pdu, pos);
        if (!n) return false;
        m->fields.emplace_back(pdu.begin() + static_cast<long>(pos), pdu.begin() + static_cast<long>(pos + n));
        pos += n;
    }
    if (!m->hasBody) return true;
    const size_t t = value_extent(pdu, pos);
    if (!t) return false;
    m->bodyType.assign(pdu.begin() + static_cast<long>(pos), pdu.begin() + static_cast<long>(pos + t));
    pos += t;
    m->multipart = is_multipart_type(m->bodyType);
    if (!m->multipart) {
        m->rest.assign(pdu.begin() + static_cast<long>(pos), pdu.end());
        return true;
    }
    uint32_t count = 0;
    size_t u = read_uintvar(pdu, pos, &count);
    if (!u) return false;
    pos += u;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t hl = 0, dl = 0;
        size_t a = read_uintvar(pdu, pos, &hl);
        size_t b = a ? read_uintvar(pdu, pos + a, &dl) : 0;
        if (!b) return false;
        pos += a + b;
        if (pos + hl + dl > pdu.size()) return false;
        const Bytes h(pdu.begin() + static_cast<long>(pos), pdu.begin() + static_cast<long>(pos + hl));
        Entry e;
        const size_t te = value_extent(h, 0);
        if (!te) return false;
        e.type.assign(h.begin(), h.begin() + static_cast<long>(te));
        for (size_t hp = te; hp < h.size();) {
            const size_t n = field_extent(h, hp);
            if (!n) return false;
            e.headers.emplace_back(h.begin() + static_cast<long>(hp), h.begin() + static_cast<long>(hp + n));
            hp += n;
        }
        e.data.assign(pdu.begin() + static_cast<long>(pos + hl), pdu.begin() + static_cast<long>(pos + hl + dl));
        m->entries.push_back(std::move(e));
        pos += hl + dl;
    }
    return true;
}

Bytes join(const Message &m) {
    Bytes out;
    for (const Bytes &f : m.fields) out = out + f;
    if (!m.hasBody) return out;
    out.push_back(0x84);
    out = out + m.bodyType;
    if (!m.multipart) return out + m.rest;
    out = out + uintvar(static_cast<uint32_t>(m.entries.size()));
    for (const Entry &e : m.entries) {
        Bytes h = e.type;
        for (const Bytes &x : e.headers) h = h + x;
        out = out + uintvar(static_cast<uint32_t>(h.size())) + uintvar(static_cast<uint32_t>(e.data.size())) + h + e.data;
    }
    return out;
}

// ---------------------------------------------------------------- values

Bytes value_length(size_t n, bool quoted) {
    if (n < 31 && !quoted) return {static_cast<uint8_t>(n)};
    return Bytes{31} + uintvar(static_cast<uint32_t>(n));
}

Bytes long_integer(uint32_t v) {
    Bytes b;
    for (; v; v >>= 8) b.insert(b.begin(), static_cast<uint8_t>(v & 0xFF));
    if (b.empty()) b.push_back(0);
    return Bytes{static_cast<uint8_t>(b.size())} + b;
}

struct Charset {
    int mib;
    const char *iconv;
    bool wide;
};
const Charset kUtf8{106, "UTF-8", false};
const Charset kCharsets[] = {
    {106, "UTF-8", false},     {3, "US-ASCII", false},   {4, "ISO-8859-1", false},  {36, "CP949", false},
    {38, "CP949", false},      {17, "CP932", false}, {18, "EUC-JP", false},     {2025, "GBK", false},
    {114, "GB18030", false},   {2026, "BIG5", false},    {2084, "KOI8-R", false},   {2251, "CP1251", false},
    {2252, "CP1252", false},   {10, "ISO-8859-7", false}, {1015, "UTF-16BE", true}, {1013, "UTF-16BE", true},
    {1014, "UTF-16LE", true},  {1000, "UTF-16BE", true},
    {1015, "UTF-16LE", true},  // UTF-16 with a little-endian byte order mark
};

// A text in a charset, or empty when the charset cannot hold it.
Bytes in_charset(const std::string &utf8, const Charset &cs) {
    gsize written = 0;
    gchar *out = g_convert(utf8.data(), static_cast<gssize>(utf8.size()), cs.iconv, "UTF-8", nullptr, &written, nullptr);
    if (!out) return {};
    Bytes b(reinterpret_cast<uint8_t *>(out), reinterpret_cast<uint8_t *>(out) + written);
    g_free(out);
    if (cs.mib == 1015)  // UTF-16 with its byte-order mark, in either order
        b = (std::string(cs.iconv) == "UTF-16LE" ? Bytes{0xFF, 0xFE} : Bytes{0xFE, 0xFF}) + b;
    return b;
}

// An Encoded-string-value in its Value-length form.
Bytes encoded_string(const Bytes &text, const Charset &cs, bool longCharset, bool quotedLength) {
    Bytes charset;
    if (cs.mib < 128 && !longCharset) {
        charset = {static_cast<uint8_t>(0x80 | cs.mib)};
    } else {
        charset = long_integer(static_cast<uint32_t>(cs.mib));
    }
    Bytes v = charset;
    if (!cs.wide && !text.empty() && text[0] >= 0x80) v.push_back(0x7F);
    v = v + text + Bytes{0};
    return value_length(v.size(), quotedLength) + v;
}

const char *const kTexts[] = {
    "Hello",
    "Meeting at 10, room 4",
    "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln",
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80",
    "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xEB\xA9\x94\xEC\x8B\x9C\xEC\xA7\x80",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88",
    "\xE4\xB8\xAD\xE6\x96\x87\xE6\xB6\x88\xE6\x81\xAF",
    "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",
    "caf\xC3\xA9 \xE2\x82\xAC" "5",
};

const char *const kPhones[] = {"+4917012345", "0301234567", "+1555123", "12345"};
const char *const kMails[] = {"friend@example.org", "a.b@mms.example.net", "x/y@host.example"};

// ---------------------------------------------------------------- variants

struct Variant {
    Bytes pdu;
    uint8_t type = 0;
    std::string origin;
    // Texts the generator wrote itself, as UTF-8: the library must give them.
    std::map<std::string, std::string> truth;
    std::map<std::string, std::vector<std::string>> truthLists;
};

class Generator {
public:
    explicit Generator(uint32_t start) : rng_(start) {}

    Variant make(const Message &base, const std::string &origin) {
        Message m = base;
        Variant v;
        v.type = m.messageType;
        v.origin = origin;
        std::vector<Bytes> head(m.fields.begin(), m.fields.begin() + std::min<long>(3, static_cast<long>(m.fields.size())));
        std::vector<Bytes> rest(m.fields.begin() + static_cast<long>(head.size()), m.fields.end());

        // Texts the generator rewrites: the originals go.
        const bool newSubject = chance(0.5) && has_subject(v.type);
        const bool newFrom = chance(0.5) && has_from(v.type);
        const bool newText = chance(0.5) && (v.type == 0x81 || v.type == 0x8A);
        const bool newTo = chance(0.4) && has_to(v.type);
        std::vector<Bytes> kept;
        for (Bytes &f : rest) {
            const uint8_t c = f[0];
            if ((newSubject && c == 0x96) || (newFrom && c == 0x89) || (newText && c == 0x93) ||
                (newTo && (c == 0x97 || c == 0x82 || c == 0x81)))
                continue;
            if (!mandatory(v.type, c) && chance(0.12)) continue;  // dropped
            kept.push_back(std::move(f));
            if ((c == 0x97 || c == 0x82) && chance(0.15)) kept.push_back(kept.back());  // repeated list field
        }
        if (newSubject) kept.push_back(Bytes{0x96} + text_value(&v.truth["subject"]));
        if (newText) kept.push_back(Bytes{0x93} + text_value(&v.truth["text"]));
        if (newFrom) kept.push_back(from_field(&v.truth["from"]));
        if (newTo) {
            const int n = 1 + pick(3);
            for (int i = 0; i < n; ++i) {
                const uint8_t code = v.type == 0x80 ? std::array<uint8_t, 3>{0x97, 0x82, 0x81}[pick(3)]
                                                    : (chance(0.6) ? 0x97 : 0x82);
                std::string addr;
                kept.push_back(Bytes{code} + address_value(&addr));
                v.truthLists[code == 0x97 ? "to" : code == 0x82 ? "cc" : "bcc"].push_back(addr);
            }
        }
        const int extra = pick(4);
        for (int i = 0; i < extra; ++i) kept.push_back(later_field(v.type));
        std::shuffle(kept.begin(), kept.end(), rng_);
        // The truth of list fields follows the shuffled order.
        if (newTo) {
            v.truthLists.clear();
            for (const Bytes &f : kept) {
                if (f.size() < 2 || (f[0] != 0x97 && f[0] != 0x82 && f[0] != 0x81)) continue;
                std::string addr = address_truth(f);
                if (!addr.empty()) v.truthLists[f[0] == 0x97 ? "to" : f[0] == 0x82 ? "cc" : "bcc"].push_back(addr);
            }
        }
        m.fields = head;
        m.fields.insert(m.fields.end(), kept.begin(), kept.end());

        if (m.hasBody && m.multipart) vary_body(m);
        composite_fields(m, v);
        v.pdu = join(m);
        return v;
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

    static bool has_subject(uint8_t t) { return t == 0x80 || t == 0x82 || t == 0x84; }
    static bool has_from(uint8_t t) { return t == 0x80 || t == 0x82 || t == 0x84; }
    static bool has_to(uint8_t t) { return t == 0x80 || t == 0x84; }
    static bool mandatory(uint8_t t, uint8_t code) {
        if (t == 0x82) return code == 0x83 || code == 0x8E || code == 0x88 || code == 0x8A;
        if (t == 0x81 || t == 0x8A) return code == 0x92;
        if (t == 0x84) return code == 0x85;
        return false;
    }

    // A text as an Encoded-string-value in a random charset and form.
    Bytes text_value(std::string *truth) {
        std::string t = kTexts[pick(static_cast<int>(std::size(kTexts)))];
        if (chance(0.15)) {
            const int times = 8 + pick(30);  // long texts: Value-lengths with uintvars
            std::string longer;
            for (int i = 0; i < times; ++i) longer += t + " ";
            t = longer;
        }
        const bool ascii = std::all_of(t.begin(), t.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
        if (ascii && chance(0.3)) {
            *truth = t;
            return text0(t);  // a plain Text-string
        }
        for (int tries = 0; tries < 6; ++tries) {
            const Charset &cs = kCharsets[pick(static_cast<int>(std::size(kCharsets)))];
            const Bytes b = in_charset(t, cs);
            if (b.empty()) continue;
            *truth = t;
            return encoded_string(b, cs, chance(0.2), chance(0.1));
        }
        *truth = t;
        return encoded_string(str(t), kUtf8, false, false);
    }

    // An address value: a text, or an Encoded-string-value in a charset that
    // keeps ASCII as it is. *truth is the address as the library gives it.
    Bytes address_value(std::string *truth) {
        const bool mail = chance(0.4);
        std::string a = mail ? kMails[pick(3)] : kPhones[pick(4)];
        *truth = a;
        const std::string wire = mail ? a : a + "/TYPE=PLMN";
        if (chance(0.5)) return text0(wire);
        static const Charset ascii[] = {{106, "UTF-8", false}, {3, "US-ASCII", false}, {4, "ISO-8859-1", false},
                                        {36, "CP949", false},   {2252, "CP1252", false}, {17, "CP932", false}};
        return encoded_string(str(wire), ascii[pick(6)], chance(0.2), false);
    }

    // The truth of an address field the generator wrote (its text, its
    // "/TYPE=PLMN" left out).
    static std::string address_truth(const Bytes &f) {
        size_t pos = 1;
        if (f[1] <= 31) {
            uint32_t len = 0;
            pos = f[1] == 31 ? 2 + read_uintvar(f, 2, &len) : 2;
            if (f[pos] >= 0x80) ++pos;
            else pos += 1 + f[pos];
        }
        std::string s(f.begin() + static_cast<long>(pos), std::find(f.begin() + static_cast<long>(pos), f.end(), 0));
        if (s.find('@') == std::string::npos) s = s.substr(0, s.find('/'));
        return s;
    }

    Bytes from_field(std::string *truth) {
        if (chance(0.15)) {
            truth->clear();
            return {0x89, 0x01, 0x81};  // insert-address
        }
        const Bytes v = Bytes{0x80} + address_value(truth);
        return Bytes{0x89} + value_length(v.size(), chance(0.3)) + v;
    }

    // MMS 1.2/1.3 fields and application headers the records do not keep.
    Bytes later_field(uint8_t type) {
        switch (pick(12)) {
            case 0: return {0xBA, static_cast<uint8_t>(0x80 + pick(6))};  // Content-Class
            case 1: return {0xB1, static_cast<uint8_t>(0x80 + pick(2))};  // Distribution-Indicator
            case 2: return {0x9C, static_cast<uint8_t>(0x80 + pick(4))};  // Reply-Charging
            case 3: return Bytes{0x9F} + long_integer(1000 + static_cast<uint32_t>(pick(100000)));  // Reply-Charging-Size
            case 4: return Bytes{0xB7} + text0("com.example.app");      // Applic-ID
            case 5: return Bytes{0xB8} + text0("com.example.reply");    // Reply-Applic-ID
            case 6: return Bytes{0xB9} + text0("aux-info");             // Aux-Applic-Info
            case 7: return {0xBB, 0x80};                                // DRM-Content
            case 8: return {0xBC, static_cast<uint8_t>(0x80 + pick(2))};  // Adaptation-Allowed
            case 9: return {0xB4, 0x80};                                // Recommended-Retrieval-Mode
            case 10: return text0("X-Rr-Extra") + text0("value " + std::to_string(pick(1000)));
            default: return type == 0x81 || type == 0x8A ? Bytes{0xA5, 0x80} : text0("X-Rr-Tag") + text0("t");
        }
    }

    // MMS 1.2/1.3 fields whose values have parts of their own (the records
    // keep none of them), and a Message-Size in one octet.
    void composite_fields(Message &m, Variant &v) {
        const size_t head = std::min<size_t>(3, m.fields.size());
        const int n = chance(0.5) ? 1 + pick(2) : 0;
        for (int i = 0; i < n; ++i) {
            Bytes f;
            switch (pick(6)) {
                case 0: {  // Previously-Sent-By: forward count and address
                    std::string addr;
                    const Bytes val = Bytes{0x81} + address_value(&addr);
                    f = Bytes{0xA0} + value_length(val.size(), chance(0.3)) + val;
                    break;
                }
                case 1: {  // Previously-Sent-Date: forward count and date
                    const Bytes val = Bytes{0x82} + long_integer(1400000000u + static_cast<uint32_t>(pick(100000)));
                    f = Bytes{0xA1} + value_length(val.size(), false) + val;
                    break;
                }
                case 2: {  // MM-Flags: add a keyword
                    const Bytes val = Bytes{static_cast<uint8_t>(0x80 + pick(3))} + text0("$Seen");
                    f = Bytes{0xA4} + value_length(val.size(), false) + val;
                    break;
                }
                case 3: {  // Reply-Charging-Deadline, relative
                    const Bytes val = Bytes{0x81} + long_integer(86400);
                    f = Bytes{0x9D} + value_length(val.size(), false) + val;
                    break;
                }
                case 4: {  // Element-Descriptor: a content reference and its type
                    const Bytes val = text0("cid:part1") + Bytes{0x85, 0x9E};
                    f = Bytes{0xB2} + value_length(val.size(), false) + val;
                    break;
                }
                default: {  // Recommended-Retrieval-Mode-Text
                    std::string t;
                    f = Bytes{0xB5} + text_value(&t);
                    break;
                }
            }
            m.fields.insert(m.fields.begin() + static_cast<long>(head + static_cast<size_t>(pick(static_cast<int>(m.fields.size() - head) + 1))), f);
        }
        if (v.type != 0x82 || !chance(0.4)) return;
        for (Bytes &f : m.fields) {
            if (f.empty() || f[0] != 0x8E) continue;
            const uint8_t size = static_cast<uint8_t>(1 + pick(255));
            f = {0x8E, 0x01, size};
            v.truth["size"] = std::to_string(size);
        }
    }

    // Part headers the decoder does not keep.
    Bytes part_header() {
        switch (pick(5)) {
            case 0: return Bytes{0x92} + long_integer(1400000000);  // Date
            case 1: return text0("X-Part") + text0("y");
            case 2: return text0("Content-Transfer-Encoding") + text0("binary");
            case 3: {
                const Bytes v = Bytes{0x81, 0x86} + text0("file.bin");  // attachment; filename
                return Bytes{0xAE} + value_length(v.size(), false) + v;
            }
            default: return Bytes{0xA3} + text0("en");  // Content-Language
        }
    }

    void vary_body(Message &m) {
        for (Entry &e : m.entries) {
            const bool smil = e.type.size() > 4 && g_ascii_strncasecmp(reinterpret_cast<const char *>(e.type.data()) +
                                                                            (e.type[0] <= 31 ? 1 : 0),
                                                                        "application/smil", 16) == 0;
            if (!smil && e.data.size() > 48) e.data.resize(16 + pick(32));
            if (chance(0.3)) {
                const long at = static_cast<long>(pick(static_cast<int>(e.headers.size()) + 1));
                e.headers.insert(e.headers.begin() + at, part_header());
            }
        }
        if (chance(0.5)) {
            // An extra text part with its name and charset.
            Entry t;
            const bool text = chance(0.5);
            const Bytes media = text ? text0(chance(0.5) ? "Text/Plain" : "text/plain") : Bytes{0x83};
            Bytes params{0x81, 0xEA};
            switch (pick(5)) {
                case 0: params = params + Bytes{0x85} + text0("note.txt"); break;
                case 1: params = params + Bytes{0x97} + text0("note.txt"); break;               // WSP 1.4 Name
                case 2: params = params + Bytes{0x86} + text0("f.txt") + Bytes{0x85} + text0("note.txt"); break;
                case 3: params = params + Bytes{0x98} + text0("note.txt"); break;               // WSP 1.4 Filename
                default: params = params + text0("x-a") + text0("1") + Bytes{0x85} + text0("note.txt"); break;
            }
            t.type = value_length(media.size() + params.size(), false) + media + params;
            t.headers = {Bytes{0xC0, 0x22} + text0("<note>"), Bytes{0x8E} + text0("note.txt")};
            if (chance(0.5)) t.headers.insert(t.headers.begin(), text0("X-Note") + text0("1"));
            t.data = str("hello, note");
            m.entries.insert(m.entries.begin() + static_cast<long>(pick(static_cast<int>(m.entries.size()) + 1)), t);
        }
    }

    std::mt19937 rng_;
};

// ---------------------------------------------------------------- facts

using Facts = std::map<std::string, std::string>;

std::string hexbyte(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02x", v & 0xFF);
    return b;
}

std::string hexs(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

void put(Facts &f, const std::string &k, const char *v) {
    if (v && *v) f[k] = v;
}

void put_body(Facts &f, const unsigned char *body, int len) {
    if (!body || len <= 0) return;
    mmresstruct *d = fnMMS_DecodeBody(body, len);
    if (!d) {
        f["body"] = "undecodable";
        return;
    }
    if (d->Smil) {
        put(f, "smil.type", d->Smil->Content_Type);
        f["smil.data"] = hexs(d->Smil->Data, static_cast<size_t>(d->Smil->Data_Len));
    }
    int i = 0;
    for (const tMMS_Element *e = d->Parts; e; e = e->next, ++i) {
        const std::string p = "part" + std::to_string(i) + ".";
        put(f, p + "type", e->Content_Type);
        put(f, p + "name", e->Name_Param);
        put(f, p + "id", e->Content_Id);
        put(f, p + "file", e->File_Name);
        if (e->Has_Charset) f[p + "charset"] = std::to_string(e->Charset);
        f[p + "data"] = hexs(e->Data, static_cast<size_t>(e->Data_Len));
    }
    f["parts"] = std::to_string(i);
    fnMMS_FreeDecodedBody(d);
}

// What the library reads; false when the decoder refused the PDU.
bool library_facts(const Variant &v, Facts &f) {
    rrtest::HeapCopy h(v.pdu);
    const uint8_t *p = h.data();
    const int n = h.size();
    switch (v.type) {
        case 0x82: {
            tMMS_NotifyInd *r = fnMMS_ParseNotificationInd(p, n);
            if (!r) return false;
            put(f, "tid", r->Transaction_Id);
            put(f, "from", r->From);
            put(f, "subject", r->Subject);
            put(f, "location", r->Content_Location);
            f["size"] = std::to_string(r->Message_Size);
            if (r->Expiry_Token) f["expiry"] = (r->Expiry_Token == 0x81 ? "rel:" : "abs:") + std::to_string(static_cast<uint32_t>(r->Expiry));
            if (r->Message_Class) f["class"] = hexbyte(r->Message_Class);
            if (r->Priority) f["priority"] = hexbyte(r->Priority);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_MMS_NOTIFICATION_IND);
            return true;
        }
        case 0x84: {
            tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(p, n);
            if (!r) return false;
            put(f, "tid", r->Transaction_Id);
            put(f, "mid", r->Message_Id);
            put(f, "from", r->From);
            put(f, "to", r->To);
            put(f, "cc", r->Cc);
            put(f, "subject", r->Subject);
            if (r->Date) f["date"] = std::to_string(static_cast<uint32_t>(r->Date));
            if (r->Message_Class) f["class"] = hexbyte(r->Message_Class);
            if (r->Priority) f["priority"] = hexbyte(r->Priority);
            if (r->Retrieve_Status) f["rstatus"] = hexbyte(r->Retrieve_Status);
            f["dreport"] = std::to_string(r->Delivery_Report);
            f["rreply"] = std::to_string(r->Read_Reply);
            put_body(f, r->body, r->Content_Size);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
            return true;
        }
        case 0x80: {
            tMMS_SendReq *r = fnMMS_ParseSendContent(p, n);
            if (!r) return false;
            put(f, "tid", r->Transaction_Id);
            put(f, "from", r->From);
            put(f, "to", r->To);
            put(f, "cc", r->Cc);
            put(f, "bcc", r->Bcc);
            put(f, "subject", r->Subject);
            if (r->Date) f["date"] = std::to_string(static_cast<uint32_t>(r->Date));
            if (r->Message_Class != 0) f["class"] = hexbyte(r->Message_Class);
            f["priority"] = hexbyte(r->Priority);
            put_body(f, r->ContentTypeAndBody, r->Body_Len);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ);
            return true;
        }
        case 0x81: {
            tMMS_SendConf *r = fnMMS_ParseSendConf(p, n);
            if (!r) return false;
            put(f, "tid", r->Transaction_Id);
            put(f, "mid", r->Message_Id);
            put(f, "text", r->Response_Text);
            if (r->Response_Status) f["status"] = hexbyte(r->Response_Status);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_CONF);
            return true;
        }
        case 0x8A: {
            tMMS_FwdConf *r = fnMMS_ParseFwdConf(p, n);
            if (!r) return false;
            put(f, "tid", r->Transaction_Id);
            put(f, "mid", r->Message_Id);
            put(f, "text", r->Response_Text);
            if (r->Response_Status) f["status"] = hexbyte(r->Response_Status);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_FWD_CONF);
            return true;
        }
        default:
            return false;
    }
}

// tshark shows bytes it cannot print as C escapes (\xc3, \x4, \002): back to
// bytes. "\x4a" is either 0x4A or 0x04 and "a"; `greedy` picks the first.
std::string unescape_c(const std::string &s, bool greedy = true) {
    std::string o;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size() && s[i + 1] == 'x' && g_ascii_isxdigit(s[i + 2])) {
            // One or two hex digits.
            int v = g_ascii_xdigit_value(s[i + 2]);
            i += 2;
            if (greedy && i + 1 < s.size() && g_ascii_isxdigit(s[i + 1])) v = v * 16 + g_ascii_xdigit_value(s[++i]);
            o += static_cast<char>(v);
        } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
                   s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            o += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
            o += '\\';
            ++i;
        } else {
            o += s[i];
        }
    }
    return o;
}

// Wireshark shows Encoded-string-values byte by byte, ignoring their charset
// (non-ASCII bytes as U+FFFD, control bytes escaped, a Long-integer charset
// partly as text): both sides are compared on their printable ASCII.
std::string skeleton(const std::string &s) {
    std::string o;
    for (char c : s)
        if (static_cast<uint8_t>(c) >= 0x20 && static_cast<uint8_t>(c) < 0x7F) o += c;
    return o;
}

std::string strip_type(std::string a) {
    if (a.find('@') == std::string::npos) a = a.substr(0, a.find('/'));
    return a;
}

// "Apr 12, 2014 13:23:12.000000000 UTC" as seconds since 1970.
std::string epoch_of(const std::string &s) {
    std::tm tm{};
    if (!strptime(s.c_str(), "%b %d, %Y %H:%M:%S", &tm)) return "?" + s;
    return std::to_string(static_cast<uint32_t>(timegm(&tm)));
}

bool ancestor(const PdmlPacket &p, int i, int of) {
    for (int k = p[static_cast<size_t>(i)].parent; k >= 0; k = p[static_cast<size_t>(k)].parent)
        if (k == of) return true;
    return false;
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(g_ascii_tolower(c));
    return s;
}

// Charset names as Wireshark shows them.
std::string charset_name(int mib) {
    switch (mib) {
        case 3: return "us-ascii";
        case 4: return "iso-8859-1";
        case 106: return "utf-8";
        case 1000: return "iso-10646-ucs-2";
        case 1015: return "utf-16";
        default: return "";
    }
}

struct TsharkFacts {
    Facts one;
    std::map<std::string, std::vector<std::string>> lists;
    std::map<std::string, std::vector<std::string>> raw;  // field bytes (hex) of the texts
    bool malformed = false;
    std::set<std::string> expert;
};

TsharkFacts tshark_facts(const PdmlPacket &p) {
    TsharkFacts t;
    static const std::map<std::string, std::string> kText = {
        {"mmse.transaction_id", "tid"}, {"mmse.message_id", "mid"},    {"mmse.subject", "subject"},
        {"mmse.content_location", "location"}, {"mmse.response_text", "text"}, {"mmse.from", "from"},
        {"mmse.message_size", "size"}, {"mmse.message_class.id", "class"}, {"mmse.priority", "priority"},
        {"mmse.response_status", "status"}, {"mmse.retrieve_status", "rstatus"},
    };
    int smil = -1;
    std::vector<int> parts;
    std::string layer;
    for (size_t i = 0; i < p.size(); ++i) {
        const PdmlField &f = p[i];
        if (f.name.rfind("proto:", 0) == 0 && f.name != "proto:malformed") layer = f.name.substr(6);
        // Media data cut short by the generator is malformed for the media's
        // dissector; only an error in the MMS and WSP layers counts.
        if (f.name.rfind("_ws.malformed", 0) == 0 && (layer == "mmse" || layer == "wsp")) t.malformed = true;
        if (f.name == "_ws.expert.message") t.expert.insert(f.show);
        if (f.name == "wsp.multipart") {
            // The part's own content type comes first among its fields.
            std::string type;
            for (size_t k = i + 1; k < p.size() && ancestor(p, static_cast<int>(k), static_cast<int>(i)); ++k)
                if (p[k].name == "wsp.header.content_type") {
                    type = p[k].show;
                    break;
                }
            if (lower(type) == "application/smil")
                smil = static_cast<int>(i);
            else
                parts.push_back(static_cast<int>(i));
            continue;
        }
        if (f.parent >= 0) continue;
        const auto it = kText.find(f.name);
        if (it != kText.end()) {
            t.one[it->second] = f.show;
            t.raw[it->second] = {f.value};
        } else if (f.name == "mmse.message_class.str") {
            t.one["class"] = "0x80";  // a class by name is Personal
        } else if (f.name == "mmse.date") {
            t.one["date"] = epoch_of(f.show);
        } else if (f.name == "mmse.expiry.rel") {
            t.one["expiry"] = "rel:" + f.show.substr(0, f.show.find('.'));
        } else if (f.name == "mmse.expiry.abs") {
            t.one["expiry"] = "abs:" + epoch_of(f.show);
        } else if (f.name == "mmse.to" || f.name == "mmse.cc" || f.name == "mmse.bcc") {
            t.lists[f.name.substr(5)].push_back(f.show);
            t.raw[f.name.substr(5)].push_back(f.value);
        } else if (f.name == "mmse.delivery_report" || f.name == "mmse.read_report") {
            const std::string v = f.show == "0x80" ? "1" : f.show == "0x81" ? "0" : "";
            if (!v.empty()) t.one[f.name == "mmse.delivery_report" ? "dreport" : "rreply"] = v;
        }
    }
    auto part_facts = [&](int at, const std::string &prefix) {
        for (size_t k = static_cast<size_t>(at) + 1; k < p.size() && ancestor(p, static_cast<int>(k), at); ++k) {
            const PdmlField &f = p[k];
            const std::string parent = f.parent >= 0 ? p[static_cast<size_t>(f.parent)].name : "";
            if (f.name == "wsp.header.content_type" && !t.one.count(prefix + "type")) t.one[prefix + "type"] = f.show;
            if (parent != "wsp.header.content_type") {
                if (f.name == "wsp.header.content_id") t.one[prefix + "id"] = f.show;
                if (f.name == "wsp.header.content_location") t.one[prefix + "file"] = f.show;
                continue;
            }
            if (f.name == "wsp.parameter.name") t.one[prefix + "name"] = f.show;
            if (f.name == "wsp.parameter.filename" && !t.one.count(prefix + "name")) t.one[prefix + "name"] = f.show;
            if (f.name == "wsp.parameter.charset") t.one[prefix + "charset"] = f.show;
        }
        t.one[prefix + "entry"] = p[static_cast<size_t>(at)].value;
    };
    if (smil >= 0) part_facts(smil, "smil.");
    for (size_t i = 0; i < parts.size(); ++i) part_facts(parts[i], "part" + std::to_string(i) + ".");
    if (smil >= 0 || !parts.empty()) t.one["parts"] = std::to_string(parts.size());
    return t;
}

// Keys each decoder keeps.
const std::set<std::string> &kept_keys(uint8_t type) {
    static const std::set<std::string> notify = {"tid", "from", "subject", "location", "size", "expiry", "class", "priority"};
    static const std::set<std::string> retrieve = {"tid", "mid", "from", "to", "cc", "subject", "date", "class",
                                                   "priority", "rstatus", "dreport", "rreply"};
    static const std::set<std::string> send = {"tid", "from", "to", "cc", "bcc", "subject", "date", "class", "priority"};
    static const std::set<std::string> conf = {"tid", "mid", "text", "status"};
    static const std::set<std::string> none;
    switch (type) {
        case 0x82: return notify;
        case 0x84: return retrieve;
        case 0x80: return send;
        case 0x81:
        case 0x8A: return conf;
        default: return none;
    }
}

bool encoded_key(const std::string &k) {
    return k == "subject" || k == "text" || k == "from" || k == "to" || k == "cc" || k == "bcc";
}

// Wireshark shows an Encoded-string-value byte by byte whatever its charset:
// its text can only be compared when the charset writes ASCII as ASCII and
// nothing else with ASCII bytes (UTF-8, US-ASCII, single-byte charsets).
// `raw` is the whole field in hex, its code first.
bool comparable_charset(const std::string &raw) {
    Bytes b;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(raw.substr(i, 2), nullptr, 16)));
    size_t pos = 1;
    if (b.size() > 1 && b[0] == 0x89) {
        // From: Value-length, then the token before the address.
        if (pos < b.size() && b[pos] == 31) {
            uint32_t len = 0;
            pos += 1 + read_uintvar(b, pos + 1, &len);
        } else {
            ++pos;
        }
        ++pos;
    }
    if (pos >= b.size() || b[pos] > 31 || b[pos] == 0) return true;  // a plain text
    if (b[pos] == 31) {
        uint32_t len = 0;
        pos += 1 + read_uintvar(b, pos + 1, &len);
    } else {
        ++pos;
    }
    if (pos >= b.size()) return false;
    uint32_t mib = 0;
    if (b[pos] >= 0x80) {
        mib = b[pos] & 0x7F;
    } else {
        for (size_t k = 1; k <= b[pos] && pos + k < b.size(); ++k) mib = (mib << 8) | b[pos + k];
    }
    static const std::set<uint32_t> kAsciiOnly = {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 106, 2084, 2088, 2250,
                                                 2251, 2252, 2253, 2254, 2255, 2256, 2257, 2258};
    return kAsciiOnly.count(mib) != 0;
}

// Library text against the text Wireshark shows for the same field.
bool same_text_as(const std::string &key, const std::string &lib, std::string shown);

bool same_text(const std::string &key, const std::string &lib, const std::string &shown, const std::string &raw = "") {
    if (!raw.empty() && encoded_key(key) && !comparable_charset(raw)) return true;
    return same_text_as(key, lib, unescape_c(shown, true)) || same_text_as(key, lib, unescape_c(shown, false));
}

bool same_text_as(const std::string &key, const std::string &lib, std::string shown) {
    if (key == "from" || key == "to" || key == "cc" || key == "bcc") shown = strip_type(shown);
    if (!encoded_key(key)) {
        if (!shown.empty() && static_cast<uint8_t>(shown[0]) == 0x7F) shown.erase(0, 1);  // quote kept
        return lib == shown;
    }
    const std::string a = skeleton(lib), b = skeleton(shown);
    // A Long-integer charset shows as one or two characters before the text.
    return b.size() >= a.size() && b.size() - a.size() <= 2 && b.compare(b.size() - a.size(), a.size(), a) == 0;
}

struct Tally {
    long variants = 0, compared = 0, truths = 0, tsharkMalformed = 0;
    std::vector<std::string> problems;
    std::vector<std::string> malformedSamples;
    void problem(const Variant &v, const std::string &what) {
        if (problems.size() < 40) problems.push_back(v.origin + ": " + what + "\n    pdu " + rrtest::hex(v.pdu).substr(0, 600));
        else problems.push_back("");
    }
};

void compare(const Variant &v, const Facts &lib, const TsharkFacts &ts, Tally &tally) {
    // Texts the generator wrote: exactly these, whatever their charset.
    for (const auto &[k, want] : v.truth) {
        ++tally.truths;
        const auto it = lib.find(k);
        const std::string got = it == lib.end() ? "" : it->second;
        if (got != want) tally.problem(v, k + ": library '" + got + "', written '" + want + "'");
    }
    for (const auto &[k, list] : v.truthLists) {
        std::string want;
        for (const std::string &a : list) want += (want.empty() ? "" : ";") + a;
        const auto it = lib.find(k);
        const std::string got = it == lib.end() ? "" : it->second;
        ++tally.truths;
        if (got != want) tally.problem(v, k + ": library '" + got + "', written '" + want + "'");
    }
    if (ts.malformed) {
        ++tally.tsharkMalformed;
        if (tally.malformedSamples.size() < 5)
            tally.malformedSamples.push_back(v.origin + ": " + rrtest::hex(v.pdu).substr(0, 300));
        return;
    }
    for (const std::string &k : kept_keys(v.type)) {
        if (k == "to" || k == "cc" || k == "bcc") {
            const auto it = ts.lists.find(k);
            std::vector<std::string> shown = it == ts.lists.end() ? std::vector<std::string>{} : it->second;
            std::vector<std::string> got;
            const auto l = lib.find(k);
            if (l != lib.end()) {
                std::string s = l->second;
                for (size_t at = 0; at <= s.size();) {
                    const size_t semi = std::min(s.find(';', at), s.size());
                    got.push_back(s.substr(at, semi - at));
                    at = semi + 1;
                }
            }
            // The library leaves empty addresses out.
            shown.erase(std::remove_if(shown.begin(), shown.end(), [](const std::string &a) { return skeleton(a).empty(); }),
                        shown.end());
            bool same = got.size() == shown.size();
            const auto raws = ts.raw.find(k);
            for (size_t i = 0; same && i < got.size(); ++i)
                same = same_text(k, got[i], shown[i], raws != ts.raw.end() && i < raws->second.size() ? raws->second[i] : "");
            ++tally.compared;
            if (!same) tally.problem(v, k + ": library '" + (l == lib.end() ? "" : l->second) + "', tshark " +
                                            std::to_string(shown.size()) + " addresses, first '" +
                                            (shown.empty() ? "" : shown[0]) + "'");
            continue;
        }
        const auto a = lib.find(k);
        const auto b = ts.one.find(k);
        if (b == ts.one.end() || (encoded_key(k) && skeleton(unescape_c(b->second)).empty() &&
                                  (a == lib.end() || skeleton(a->second).empty()))) {
            // Not shown by Wireshark (or empty on both sides): nothing to compare.
            if (b == ts.one.end() && a != lib.end() && k != "dreport" && k != "rreply" && k != "priority" &&
                k != "size" && k != "class")
                tally.problem(v, k + ": library '" + a->second + "', not shown by tshark");
            continue;
        }
        ++tally.compared;
        if (a == lib.end()) {
            if (k == "from" && b->second == "<insert address>") continue;
            tally.problem(v, k + ": library has none, tshark '" + b->second + "'");
            continue;
        }
        const auto raw = ts.raw.find(k);
        const bool same = k == "from" || encoded_key(k) || k == "tid" || k == "mid" || k == "location"
                              ? same_text(k, a->second, b->second, raw == ts.raw.end() ? "" : raw->second.back())
                              : lower(a->second) == lower(b->second);
        if (!same) tally.problem(v, k + ": library '" + a->second + "', tshark '" + b->second + "'");
    }
    // The body, part by part.
    if (lib.count("body")) tally.problem(v, "body does not decode");
    const auto lp = lib.find("parts");
    const auto tp = ts.one.find("parts");
    if (tp == ts.one.end()) return;
    ++tally.compared;
    if (lp == lib.end() || lp->second != tp->second) {
        tally.problem(v, "parts: library " + (lp == lib.end() ? std::string("none") : lp->second) + ", tshark " + tp->second);
        return;
    }
    std::vector<std::string> prefixes;
    if (ts.one.count("smil.type")) prefixes.push_back("smil.");
    for (int i = 0; i < std::stoi(tp->second); ++i) prefixes.push_back("part" + std::to_string(i) + ".");
    for (const std::string &p : prefixes) {
        auto get = [&](const Facts &f, const std::string &k) {
            const auto it = f.find(p + k);
            return it == f.end() ? std::string("<none>") : it->second;
        };
        ++tally.compared;
        if (lower(get(lib, "type")) != lower(get(ts.one, "type")))
            tally.problem(v, p + "type: library '" + get(lib, "type") + "', tshark '" + get(ts.one, "type") + "'");
        const std::string entry = get(ts.one, "entry"), data = get(lib, "data");
        if (data == "<none>" || entry.size() < data.size() || entry.compare(entry.size() - data.size(), data.size(), data) != 0)
            tally.problem(v, p + "data: library " + std::to_string(data.size() / 2) + " bytes, not the end of the entry");
        if (p == "smil.") continue;
        if (ts.one.count(p + "name") && get(lib, "name") != unescape_c(get(ts.one, "name")))
            tally.problem(v, p + "name: library '" + get(lib, "name") + "', tshark '" + get(ts.one, "name") + "'");
        if (ts.one.count(p + "file") && get(lib, "file") != unescape_c(get(ts.one, "file")))
            tally.problem(v, p + "location: library '" + get(lib, "file") + "', tshark '" + get(ts.one, "file") + "'");
        if (ts.one.count(p + "id")) {
            std::string id = unescape_c(get(ts.one, "id"));
            id.erase(std::remove_if(id.begin(), id.end(), [](char c) { return c == '"' || c == '<' || c == '>'; }), id.end());
            if (get(lib, "id") != id) tally.problem(v, p + "id: library '" + get(lib, "id") + "', tshark '" + id + "'");
        }
        const std::string cs = get(lib, "charset");
        if (ts.one.count(p + "charset") && cs != "<none>" && !charset_name(std::stoi(cs)).empty() &&
            charset_name(std::stoi(cs)) != lower(get(ts.one, "charset")))
            tally.problem(v, p + "charset: library " + cs + ", tshark '" + get(ts.one, "charset") + "'");
    }
}

long env_long(const char *name, long fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

// The operators' messages named, each split into header fields and body
// entries: what the generators vary.
struct RealMessage {
    std::string file;
    Message msg;
};
std::vector<RealMessage> real_messages(std::initializer_list<const char *> files) {
    std::vector<RealMessage> out;
    for (const char *f : files) {
        Message m;
        if (split(rrtest::read_file(rrtest::interop_path(f)), &m))
            out.push_back({f, std::move(m)});
        else
            ADD_FAILURE() << f << " does not split into fields and entries";
    }
    return out;
}

// Where the generators' random numbers start (RR_DIFF_SEED by hand).
uint32_t variants_start() { return static_cast<uint32_t>(env_long("RR_DIFF_SEED", 20261207)); }

TEST(DifferentialVsTshark, LegalVariantsOfRealPdusDecodeAlike) {
    if (!rrtest::tshark_available()) {
        const char *req = std::getenv("RR_REQUIRE_TSHARK");
        if (req && std::string(req) == "1") FAIL() << "tshark is required (RR_REQUIRE_TSHARK=1) but not installed";
        GTEST_SKIP() << "tshark is not installed";
    }
    const std::vector<RealMessage> originals =
        real_messages({"m-notification_1.ind", "m-notification_2.ind", "m-notification_3.ind", "m-notification_4.ind",
                       "m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf", "m-retrieve_4.conf",
                       "m-send_1.req", "m-send_2.req", "m-send_3.req", "m-send_1.conf", "m-send_2.conf",
                       "m-send_3.conf"});
    ASSERT_EQ(originals.size(), 14u);
    const long count = env_long("RR_DIFF_VARIANTS", 300);
    const uint32_t start = variants_start();
    Generator gen(start);
    std::vector<Variant> variants;
    for (long i = 0; i < count; ++i) {
        const RealMessage &o = originals[static_cast<size_t>(i) % originals.size()];
        const std::string &name = o.file;
        const Message &m = o.msg;
        variants.push_back(gen.make(m, name + " variant " + std::to_string(i)));
    }

    Tally tally;
    qx::set_log_enabled(false);
    // tshark runs once per batch of variants.
    constexpr size_t kBatch = 500;
    for (size_t start = 0; start < variants.size(); start += kBatch) {
        const size_t end = std::min(variants.size(), start + kBatch);
        std::vector<Bytes> pdus;
        for (size_t i = start; i < end; ++i) pdus.push_back(variants[i].pdu);
        bool ok = false;
        // Media inside the parts is cut short: their dissectors stay out.
        const std::vector<PdmlPacket> packets = rrtest::tshark_decode(
            pdus, &ok,
            "--disable-protocol image-jfif --disable-protocol image-gif --disable-protocol png "
            "--disable-protocol amr");
        ASSERT_TRUE(ok) << "tshark failed";
        for (size_t i = start; i < end; ++i) {
            const Variant &v = variants[i];
            ++tally.variants;
            Facts lib;
            if (!library_facts(v, lib)) {
                tally.problem(v, "the library refused it");
                continue;
            }
            const PdmlPacket &p = packets[i - start];
            if (p.empty()) {
                tally.problem(v, "tshark did not decode it as MMS");
                continue;
            }
            compare(v, lib, tshark_facts(p), tally);
        }
    }
    qx::set_log_enabled(true);

    std::string report;
    for (const std::string &p : tally.problems)
        if (!p.empty()) report += "  " + p + "\n";
    EXPECT_TRUE(tally.problems.empty()) << tally.problems.size() << " disagreements in " << tally.variants
                                        << " variants (RR_DIFF_SEED " << start << "):\n" << report;
    // The comparison did compare: most variants are read by tshark without
    // error, and there are several fields per variant.
    std::string samples;
    for (const std::string &m : tally.malformedSamples) samples += "  " + m + "\n";
    EXPECT_LT(tally.tsharkMalformed * 10, tally.variants) << "tshark found many variants malformed:\n" << samples;
    EXPECT_GT(tally.compared, 4 * tally.variants);
    EXPECT_GT(tally.truths, tally.variants / 2);
    std::printf("%ld variants, %ld fields compared with tshark, %ld written texts checked, %ld variants tshark "
                "found malformed\n",
                tally.variants, tally.compared, tally.truths, tally.tsharkMalformed);
}

// ---------------------------------------------------------------- body forms
// Bodies in the forms peers write that the variants above leave alone: the
// top-level Content-Type as text in any letter case, the presentation not
// first, a whole body of one part, parts of 0 bytes, the part's name as a
// Name or Filename parameter (typed, WSP 1.4 Quoted-string, untyped) or only
// in a Content-Disposition (well-known, WSP 1.4, token, untyped parameter,
// text form), Content-IDs without quote or angle brackets. Wireshark reads
// few of these, so the reference here is the WSP reader of
// tests/support/parser_reference.py (--wsp); the texts the generator wrote
// must also come back exactly.

// The names of the multipart types the original messages use, by their code.
std::string multipart_name(uint8_t code) {
    switch (code & 0x7F) {
        case 0x23: return "application/vnd.wap.multipart.mixed";
        case 0x26: return "application/vnd.wap.multipart.alternative";
        case 0x33: return "application/vnd.wap.multipart.related";
        case 0x0C: return "multipart/mixed";
        default: return "";
    }
}

class BodyFormGenerator {
public:
    explicit BodyFormGenerator(uint32_t start) : rng_(start) {}
    long singles = 0, empties = 0;  // variants with a single-part body, empty parts made

    Variant make(const Message &base, const std::string &origin) {
        Message m = base;
        Variant v;
        v.type = m.messageType;
        v.origin = origin;
        if (chance(0.15)) {
            single_part(m, v);
            ++singles;
        } else {
            top_level_type(m);
            if (chance(0.4)) std::shuffle(m.entries.begin(), m.entries.end(), rng_);  // presentation anywhere
            int part = 0;
            for (Entry &e : m.entries) {
                if (is_smil(e.type)) continue;
                const std::string p = "part" + std::to_string(part++) + ".";
                if (e.data.size() > 48) e.data.resize(16 + static_cast<size_t>(pick(32)));  // keeps the run fast
                if (chance(0.12)) {
                    e.data.clear();
                    ++empties;
                }
                if (chance(0.5)) rename(e, p, v);
                v.truth[p + "data"] = hexs(e.data.data(), e.data.size());
            }
            v.truth["parts"] = std::to_string(part);
        }
        v.pdu = join(m);
        return v;
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

    std::string any_case(std::string s) {
        for (char &c : s)
            if (chance(0.5)) c = static_cast<char>(g_ascii_isupper(c) ? g_ascii_tolower(c) : g_ascii_toupper(c));
        return s;
    }

    static bool is_smil(const Bytes &type) {
        size_t pos = type.empty() || type[0] > 31 ? 0 : (type[0] == 31 ? 2 : 1);
        const std::string smil = "application/smil";
        return type.size() >= pos + smil.size() &&
               g_ascii_strncasecmp(reinterpret_cast<const char *>(type.data()) + pos, smil.c_str(), smil.size()) == 0;
    }

    // The original multipart type as text in any letter case (its parameters
    // kept), or as it is.
    void top_level_type(Message &m) {
        Bytes &t = m.bodyType;
        if (!chance(0.5) || t.empty()) return;
        if (t[0] >= 0x80 && !multipart_name(t[0]).empty()) {
            t = text0(any_case(multipart_name(t[0])));
        } else if (t[0] < 31 && t.size() > 1 && t[1] >= 0x80 && !multipart_name(t[1]).empty()) {
            const Bytes v = text0(any_case(multipart_name(t[1]))) + Bytes(t.begin() + 2, t.end());
            t = value_length(v.size(), false) + v;
        }
    }

    // The whole body as one part.
    void single_part(Message &m, Variant &v) {
        m.multipart = false;
        m.entries.clear();
        std::string name;
        switch (pick(5)) {
            case 0:
                m.bodyType = {0x83};
                m.rest = str("4504:Message not found");
                break;
            case 1:
                m.bodyType = text0(any_case("text/plain"));
                m.rest = str("expired");
                break;
            case 2: {
                name = "note.txt";
                const Bytes val = Bytes{0x83, 0x81, 0xEA, 0x85} + text0(name);
                m.bodyType = value_length(val.size(), false) + val;
                m.rest = str("Gr\xC3\xBC\xC3\x9F" "e");
                break;
            }
            case 3: {
                name = "p.jpg";
                const Bytes val = Bytes{0x9E, 0x97, 0x22} + text0(name);
                m.bodyType = value_length(val.size(), false) + val;
                m.rest = {0xFF, 0xD8, 0xFF, 0xE0};
                break;
            }
            default:
                m.bodyType = text0("application/octet-stream");
                m.rest = {1, 2, 3};
                break;
        }
        v.truth["parts"] = "1";
        v.truth["part0.data"] = hexs(m.rest.data(), m.rest.size());
        if (!name.empty()) v.truth["part0.name"] = name;
    }

    // The entry's media type without its parameters.
    static Bytes media_of(const Bytes &type) {
        if (type.empty() || type[0] >= 0x20) return type;
        const size_t at = type[0] == 31 ? 2 : 1;
        if (at >= type.size()) return {};
        if (type[at] >= 0x80) return {type[at]};
        const auto zero = std::find(type.begin() + static_cast<long>(at), type.end(), 0);
        return zero == type.end() ? Bytes{} : Bytes(type.begin() + static_cast<long>(at), zero + 1);
    }

    // New naming headers: a Name or Filename parameter and a
    // Content-Disposition in one of their forms, a Content-Location and a
    // Content-ID; other headers stay.
    void rename(Entry &e, const std::string &p, Variant &v) {
        static const char *const kNames[] = {"pic", "Urlaub 2024", "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE", "a.b.c",
                                             "\xE5\x86\x99\xE7\x9C\x9F"};
        const std::string stem = kNames[pick(static_cast<int>(std::size(kNames)))] + std::to_string(pick(100));
        const std::string name = stem + ".dat", fname = stem + "-f.dat", dname = stem + "-d.dat";
        auto text = [](const std::string &t) {  // a Text-string, quoted when it must be
            return (!t.empty() && static_cast<uint8_t>(t[0]) >= 0x80 ? Bytes{0x7F} : Bytes{}) + text0(t);
        };
        Bytes params;
        std::string want;
        switch (pick(9)) {
            case 0: break;
            case 1: params = Bytes{0x85} + text(name), want = name; break;
            case 2: params = Bytes{0x97, 0x22} + text0(name), want = name; break;
            case 3: params = Bytes{0x97} + text(name), want = name; break;
            case 4: params = Bytes{0x86} + text(fname), want = fname; break;
            case 5: params = Bytes{0x98, 0x22} + text0(fname), want = fname; break;
            case 6: params = text0("name") + Bytes{0x22} + text0(name), want = name; break;
            case 7: params = text0("Filename") + text(fname), want = fname; break;
            default: params = Bytes{0x86} + text(fname) + Bytes{0x85} + text(name), want = name; break;
        }
        const Bytes media = media_of(e.type);
        if (media.empty()) return;
        const Bytes val = media + params;
        e.type = params.empty() && chance(0.5) ? media : value_length(val.size(), false) + val;

        std::vector<Bytes> kept;
        for (const Bytes &h : e.headers) {
            const bool disposition = h[0] == 0xAE || h[0] == 0xC5 ||
                                     (h[0] < 0x80 && g_ascii_strncasecmp(reinterpret_cast<const char *>(h.data()),
                                                                         "Content-Disposition", 20) == 0);
            if (h[0] != 0x8E && h[0] != 0xC0 && !disposition) kept.push_back(h);
        }
        std::string fromDisposition;
        auto disp = [&](uint8_t code, const Bytes &v) { return Bytes{code} + value_length(v.size(), false) + v; };
        switch (pick(7)) {
            case 0: break;
            case 1: kept.push_back(disp(0xAE, Bytes{0x81, 0x86} + text(dname))), fromDisposition = dname; break;
            case 2: kept.push_back(disp(0xC5, Bytes{0x81, 0x98, 0x22} + text0(dname))), fromDisposition = dname; break;
            case 3: kept.push_back(disp(0xAE, text0("attachment") + Bytes{0x86} + text(dname))), fromDisposition = dname; break;
            case 4: kept.push_back(disp(0xAE, Bytes{0x82} + text0("filename") + text(dname))), fromDisposition = dname; break;
            case 5:
                kept.push_back(text0("Content-Disposition") + text0("attachment; filename=\"" + dname + "\""));
                fromDisposition = dname;
                break;
            default: kept.push_back({0xAE, 0x81}); break;
        }
        if (want.empty()) want = fromDisposition;
        if (!want.empty()) v.truth[p + "name"] = want;
        if (chance(0.6)) {
            const std::string loc = "cl" + std::to_string(pick(1000)) + ".dat";
            kept.push_back(Bytes{0x8E} + text0(loc));
            v.truth[p + "file"] = loc;
        } else if (!want.empty()) {
            v.truth[p + "file"] = want;
        }
        const std::string id = "id" + std::to_string(pick(1000));
        switch (pick(5)) {
            case 0: break;
            case 1: kept.push_back(Bytes{0xC0, 0x22} + text0("<" + id + ">")), v.truth[p + "id"] = id; break;
            case 2: kept.push_back(Bytes{0xC0} + text0("<" + id + ">")), v.truth[p + "id"] = id; break;
            case 3: kept.push_back(Bytes{0xC0, 0x22} + text0(id)), v.truth[p + "id"] = id; break;
            default: kept.push_back(Bytes{0xC0} + text0(id)), v.truth[p + "id"] = id; break;
        }
        std::shuffle(kept.begin(), kept.end(), rng_);
        e.headers = kept;
    }

    std::mt19937 rng_;
};

// What parser_reference.py --wsp reads, as the library's facts are keyed.
std::vector<Facts> reference_facts(const std::vector<Variant> &variants, bool *ok) {
    *ok = false;
    std::vector<Facts> out;
    gchar *dir = g_dir_make_tmp("rr-diff-XXXXXX", nullptr);
    if (!dir) return out;
    std::string cmd = std::string("python3 '") + RR_SOURCE_DIR + "/tests/support/parser_reference.py' --wsp";
    for (size_t i = 0; i < variants.size(); ++i) {
        const std::string f = std::string(dir) + "/" + std::to_string(i);
        if (!g_file_set_contents(f.c_str(), reinterpret_cast<const gchar *>(variants[i].pdu.data()),
                                 static_cast<gssize>(variants[i].pdu.size()), nullptr))
            return out;
        cmd += " '" + f + "'";
    }
    FILE *p = popen(cmd.c_str(), "r");
    std::string all;
    if (p) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
        *ok = pclose(p) == 0;
    }
    for (size_t i = 0; i < variants.size(); ++i) g_remove((std::string(dir) + "/" + std::to_string(i)).c_str());
    g_rmdir(dir);
    g_free(dir);
    std::vector<std::string> lines;
    for (size_t at = 0; at < all.size();) {
        const size_t nl = std::min(all.find('\n', at), all.size());
        lines.push_back(all.substr(at, nl - at));
        at = nl + 1;
    }
    int part = 0;
    for (const std::string &line : lines) {
        std::vector<std::string> f;
        for (size_t at = 0; at <= line.size();) {
            const size_t tab = std::min(line.find('\t', at), line.size());
            f.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        auto undash = [](const std::string &x) { return x == "-" ? std::string() : x; };
        if (f[0] == "FILE") {
            out.emplace_back();
            part = 0;
        } else if (f[0] == "PART" && f.size() == 7 && !out.empty()) {
            if (lower(f[3]) == "application/smil") continue;
            const Variant &v = variants[out.size() - 1];
            const size_t off = std::stoul(f[1]), len = std::stoul(f[2]);
            const std::string k = "part" + std::to_string(part++) + ".";
            Facts &r = out.back();
            r[k + "type"] = undash(f[3]);
            r[k + "data"] = off + len <= v.pdu.size() ? hexs(v.pdu.data() + off, len) : "past the end";
            if (!undash(f[4]).empty()) r[k + "file"] = f[4];
            if (!undash(f[5]).empty()) r[k + "name"] = f[5];
            if (!undash(f[6]).empty()) r[k + "id"] = f[6];
            r["parts"] = std::to_string(part);
        }
    }
    return out;
}

TEST(DifferentialBodyForms, BodyFormsReadAsTheReferenceReadsThem) {
    const std::vector<RealMessage> originals =
        real_messages({"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf", "m-retrieve_4.conf",
                       "m-send_1.req", "m-send_2.req", "m-send_3.req"});
    ASSERT_EQ(originals.size(), 7u);
    for (const RealMessage &o : originals) ASSERT_TRUE(o.msg.hasBody && o.msg.multipart) << o.file;
    const long count = env_long("RR_DIFF_VARIANTS", 300);
    const uint32_t start = variants_start();
    BodyFormGenerator gen(start);
    std::vector<Variant> variants;
    for (long i = 0; i < count; ++i) {
        const RealMessage &o = originals[static_cast<size_t>(i) % originals.size()];
        const std::string &name = o.file;
        const Message &m = o.msg;
        variants.push_back(gen.make(m, name + " body variant " + std::to_string(i)));
    }
    bool ok = false;
    const std::vector<Facts> refs = reference_facts(variants, &ok);
    ASSERT_TRUE(ok) << "the reference reader failed";
    ASSERT_EQ(refs.size(), variants.size());

    Tally tally;
    qx::set_log_enabled(false);
    for (size_t i = 0; i < variants.size(); ++i) {
        const Variant &v = variants[i];
        ++tally.variants;
        Facts lib;
        if (!library_facts(v, lib)) {
            tally.problem(v, "the library refused it");
            continue;
        }
        for (const auto &[k, want] : v.truth) {
            ++tally.truths;
            const auto it = lib.find(k);
            if (it == lib.end() || it->second != want)
                tally.problem(v, k + ": library '" + (it == lib.end() ? "<none>" : it->second) + "', written '" + want + "'");
        }
        const Facts &ref = refs[i];
        ++tally.compared;
        if (lib["parts"] != ref.at("parts")) {
            tally.problem(v, "parts: library " + lib["parts"] + ", reference " + ref.at("parts"));
            continue;
        }
        for (int p = 0; p < std::stoi(ref.at("parts")); ++p) {
            const std::string k = "part" + std::to_string(p) + ".";
            auto get = [&](const Facts &f, const std::string &key) {
                const auto it = f.find(k + key);
                return it == f.end() ? std::string("<none>") : it->second;
            };
            ++tally.compared;
            if (lower(get(lib, "type")) != lower(get(ref, "type")))
                tally.problem(v, k + "type: library '" + get(lib, "type") + "', reference '" + get(ref, "type") + "'");
            if (get(lib, "data") != get(ref, "data"))
                tally.problem(v, k + "data: library " + get(lib, "data").substr(0, 40) + ", reference " + get(ref, "data").substr(0, 40));
            if (ref.count(k + "name") && get(lib, "name") != get(ref, "name"))
                tally.problem(v, k + "name: library '" + get(lib, "name") + "', reference '" + get(ref, "name") + "'");
            if (ref.count(k + "file") && get(lib, "file") != get(ref, "file"))
                tally.problem(v, k + "location: library '" + get(lib, "file") + "', reference '" + get(ref, "file") + "'");
            if (ref.count(k + "id") && get(lib, "id") != get(ref, "id"))
                tally.problem(v, k + "id: library '" + get(lib, "id") + "', reference '" + get(ref, "id") + "'");
        }
    }
    qx::set_log_enabled(true);
    std::string report;
    for (const std::string &p : tally.problems)
        if (!p.empty()) report += "  " + p + "\n";
    EXPECT_TRUE(tally.problems.empty()) << tally.problems.size() << " disagreements in " << tally.variants
                                        << " variants (RR_DIFF_SEED " << start << "):\n" << report;
    // The forms were made: single parts, empty parts and written texts.
    EXPECT_GT(gen.singles * 20, tally.variants);
    EXPECT_GT(gen.empties * 10, tally.variants);
    EXPECT_GT(tally.truths, 3 * tally.variants);
    std::printf("%ld body variants (%ld single parts, %ld empty parts), %ld parts compared with the reference, %ld "
                "written texts checked\n",
                tally.variants, gen.singles, gen.empties, tally.compared, tally.truths);
}

// ---------------------------------------------------------------- MIME encodings
// Variants of the real retrieved messages whose parts travel in base64 or
// quoted-printable (Content-Transfer-Encoding in any letter case, with blanks
// around it) and whose subjects are MIME encoded words (B and Q, several
// charsets, split into adjacent words, characters cut between words). The
// library's subject and part data must be the texts and bytes the generator
// encoded, and what the independent reference reader
// (tests/support/parser_reference.py --mime: Python's base64, binascii and
// the email package's header registry over the entries Wireshark finds)
// makes of the same PDU. Some subjects carry bytes that do not decode in
// UTF-8 or US-ASCII: there the library's subject must be the reference's
// (U+FFFD for each ill-formed sequence, the rest kept). Hand-written
// subjects cover aliases, Shift_JIS names (ASCII kept: "~" and "\\"), and
// words that are ordinary text.

struct MimeCharset {
    const char *name;  // as written in the encoded word
    const char *iconv;
};
const MimeCharset kMimeCharsets[] = {
    {"utf-8", "UTF-8"},           {"UTF-8", "UTF-8"},       {"iso-8859-1", "ISO-8859-1"}, {"latin-1", "ISO-8859-1"},
    {"iso8859-1", "ISO-8859-1"},  {"l1", "ISO-8859-1"},     {"koi8-r", "KOI8-R"},         {"windows-1251", "CP1251"},
    {"shift_jis", "CP932"},       {"cp932", "CP932"},       {"ms_kanji", "CP932"},        {"big5", "BIG5"},
    {"gb2312", "GB2312"},         {"euc-kr", "CP949"},      {"iso-8859-7", "ISO-8859-7"}, {"windows-1252", "CP1252"},
    {"us-ascii", "US-ASCII"},
};

// Subjects of the MIME variants: the texts above and ASCII that a JIS
// X 0201 table would change.
std::vector<std::string> mime_texts() {
    std::vector<std::string> t(std::begin(kTexts), std::end(kTexts));
    t.push_back("C:\\Users\\me ~ 5");
    t.push_back("\xE6\x97\xA5\xE6\x9C\xAC ~\\ \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88");
    return t;
}

// Ill-formed UTF-8 the generator puts into a word's bytes: a cut character,
// a lone continuation byte, a byte no UTF-8 has, an overlong form, a
// surrogate, a code point above U+10FFFF.
const char *const kBadUtf8[] = {"\xE2\x82", "\x80", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF0\x9F\x98"};

// Subjects written by hand: the text on the wire and what the library
// makes of it. Where the email package reads a word that RFC 2047 calls
// ordinary text (a blank inside, an unknown charset: it decodes the word
// anyway), pythonAgrees is false and only the library's reading is checked.
struct FixedSubject {
    const char *wire, *want;
    bool pythonAgrees;
};
const FixedSubject kFixedSubjects[] = {
    {"=?utf-8?q?Hello_W=C3=B6rld?= =?utf-8?q?=E2=82?=", "Hello W\xC3\xB6rld\xEF\xBF\xBD", true},
    {"=?latin-1?q?caf=E9?= =?l1?q?_=E9?=", "caf\xC3\xA9 \xC3\xA9", true},
    {"=?cp932?q?=5C=7E=82=A0?=", "\\~\xE3\x81\x82", true},
    {"=?ms_kanji?q?a=5Cb=7E?=", "a\\b~", true},
    {"=?shift_jis?b?XH6CoA==?=", "\\~\xE3\x81\x82", true},
    {"=?us-ascii?q?a=E9b?=", "a\xEF\xBF\xBD" "b", true},
    {"=?utf-8?x?abc?=", "=?utf-8?x?abc?=", true},
    {"=?utf-8?q?Hello World?=", "=?utf-8?q?Hello World?=", false},
    {"=?x-unknown?q?Hello?=", "=?x-unknown?q?Hello?=", false},
};

struct MimeVariant {
    Bytes pdu;
    std::string subject;              // UTF-8, as written (or as the library should read it)
    std::vector<std::string> parts;   // non-SMIL part data, as written
    std::string wire;                 // the subject's encoded words
    bool damaged = false;             // the subject holds bytes that do not decode
    bool fixed = false;               // a hand-written subject
    bool pythonAgrees = true;
};

class MimeGenerator {
public:
    explicit MimeGenerator(uint32_t start) : rng_(start), texts_(mime_texts()) {}

    MimeVariant make(const Message &base, const FixedSubject *fixed = nullptr) {
        Message m = base;
        MimeVariant v;
        m.fields.erase(std::remove_if(m.fields.begin(), m.fields.end(), [](const Bytes &f) { return f[0] == 0x96; }),
                       m.fields.end());
        std::string words;
        if (fixed) {
            v.subject = fixed->want;
            v.fixed = true;
            v.pythonAgrees = fixed->pythonAgrees;
            words = fixed->wire;
        } else {
            v.subject = texts_[pick(static_cast<int>(texts_.size()))];
            bool cutInside = false;
            words = encoded_words(v.subject, &v.damaged, &cutInside);
            v.pythonAgrees = !cutInside;
        }
        v.wire = words;
        m.fields.push_back(chance(0.5) ? Bytes{0x96} + text0(words) : Bytes{0x96} + encoded_string(str(words), kUtf8, false, false));
        for (Entry &e : m.entries) {
            if (is_smil(e)) continue;
            if (e.data.size() > 600) e.data.resize(200 + pick(400));
            v.parts.emplace_back(e.data.begin(), e.data.end());
            const int how = pick(3);
            if (how == 2) continue;  // left as it is
            const std::string name = how == 0 ? "base64" : "quoted-printable";
            e.data = str(how == 0 ? base64(v.parts.back()) : quoted_printable(v.parts.back()));
            const long at = static_cast<long>(pick(static_cast<int>(e.headers.size()) + 1));
            e.headers.insert(e.headers.begin() + at, text0(blanks(true) + "Content-Transfer-Encoding" + blanks(false)) +
                                                          text0(blanks(true) + mixed_case(name) + blanks(false)));
        }
        v.pdu = join(m);
        return v;
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    // Blanks around a header's name or value (a leading one is a space: a
    // control character would start another WSP form).
    std::string blanks(bool leading) {
        return chance(0.7) ? "" : std::string(1 + pick(2), leading || chance(0.5) ? ' ' : '\t');
    }
    std::string mixed_case(std::string s) {
        for (char &c : s)
            if (chance(0.3)) c = static_cast<char>(g_ascii_toupper(c));
        return s;
    }

    static bool is_smil(const Entry &e) {
        const std::string t(e.type.begin(), e.type.end());
        return t.find("application/smil") != std::string::npos;
    }

    // GLib's base64 in lines of any length (76 usually), CRLF or LF.
    std::string base64(const std::string &d) {
        gchar *b = g_base64_encode(reinterpret_cast<const guchar *>(d.data()), d.size());
        std::string flat = b, out;
        g_free(b);
        const size_t width = chance(0.5) ? 76 : 4 + pick(200);
        const char *eol = chance(0.5) ? "\r\n" : "\n";
        for (size_t i = 0; i < flat.size(); i += width) out += flat.substr(i, width) + eol;
        return out;
    }

    // Quoted-printable with soft breaks at a random line length.
    std::string quoted_printable(const std::string &d) {
        const size_t width = 8 + pick(120);
        std::string out, line;
        for (unsigned char c : d) {
            char piece[4];
            if (c >= 33 && c <= 126 && c != '=')
                piece[0] = static_cast<char>(c), piece[1] = 0;
            else
                std::snprintf(piece, sizeof piece, "=%02X", c);
            if (line.size() + std::strlen(piece) > width) {
                out += line + "=\r\n";
                line.clear();
            }
            line += piece;
        }
        return out + line;
    }

    // The text as one to four adjacent encoded words in one charset (cut at
    // any byte), with plain ASCII text around them at times. Sometimes
    // (UTF-8 and US-ASCII) ill-formed bytes go in at any place: *damaged.
    // *cutInside when a character of another charset is cut between words.
    std::string encoded_words(const std::string &utf8, bool *damaged, bool *cutInside) {
        for (int tries = 0; tries < 8; ++tries) {
            const MimeCharset &cs = kMimeCharsets[pick(static_cast<int>(std::size(kMimeCharsets)))];
            gsize written = 0;
            gchar *conv = g_convert(utf8.data(), static_cast<gssize>(utf8.size()), cs.iconv, "UTF-8", nullptr, &written, nullptr);
            if (!conv) continue;
            std::string bytes(conv, written);
            g_free(conv);
            const std::string iconvName = cs.iconv;
            // Where the charset's characters start (its charsets here keep no state).
            std::vector<bool> starts(bytes.size() + 1, false);
            for (size_t at = 0, off = 0; at < utf8.size(); at = g_utf8_next_char(utf8.data() + at) - utf8.data()) {
                const size_t clen = static_cast<size_t>(g_utf8_next_char(utf8.data() + at) - (utf8.data() + at));
                gchar *one = g_convert(utf8.data() + at, static_cast<gssize>(clen), cs.iconv, "UTF-8", nullptr, &written, nullptr);
                g_free(one);
                if (off < starts.size()) starts[off] = true;
                off += written;
            }
            if ((iconvName == "UTF-8" || iconvName == "US-ASCII") && chance(0.3)) {
                const int times = 1 + pick(2);
                for (int k = 0; k < times; ++k)
                    bytes.insert(static_cast<size_t>(pick(static_cast<int>(bytes.size()) + 1)), kBadUtf8[pick(static_cast<int>(std::size(kBadUtf8)))]);
                *damaged = true;
            }
            const int pieces = 1 + pick(std::min<int>(4, static_cast<int>(bytes.size())));
            std::string out;
            size_t from = 0;
            for (int i = 0; i < pieces; ++i) {
                const size_t to = i + 1 == pieces ? bytes.size() : from + 1 + pick(static_cast<int>(bytes.size() - from - (pieces - i - 1)));
                const std::string piece = bytes.substr(from, to - from);
                // RFC 2047 keeps characters whole in a word; the email package
                // reads each word of another charset than UTF-8 on its own.
                if (to < bytes.size() && iconvName != "UTF-8" && !*damaged && !starts[to]) *cutInside = true;
                from = to;
                if (i > 0) out += chance(0.5) ? " " : "\r\n ";
                out += std::string("=?") + cs.name + "?" + (chance(0.5) ? "B?" + base64_word(piece) : "Q?" + q_word(piece)) + "?=";
            }
            return out;
        }
        return utf8;
    }

    static std::string base64_word(const std::string &b) {
        gchar *e = g_base64_encode(reinterpret_cast<const guchar *>(b.data()), b.size());
        std::string s = e;
        g_free(e);
        return s;
    }

    static std::string q_word(const std::string &b) {
        std::string out;
        for (unsigned char c : b) {
            char piece[4];
            if (c == ' ')
                piece[0] = '_', piece[1] = 0;
            else if (g_ascii_isalnum(static_cast<char>(c)))
                piece[0] = static_cast<char>(c), piece[1] = 0;
            else
                std::snprintf(piece, sizeof piece, "=%02X", c);
            out += piece;
        }
        return out;
    }

    std::mt19937 rng_;
    std::vector<std::string> texts_;
};

// The reference reader's SUBJECT and DECODED lines per file, as bytes.
struct MimeReference {
    std::string subject;
    std::vector<std::string> parts;
};

std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<MimeReference> mime_reference(const std::vector<std::string> &files) {
    std::string cmd = std::string("RR_PDU2PCAP='") + RR_INTEROP_DIR + "/../tools/pdu2pcap.py' python3 '" +
                      RR_SOURCE_DIR + "/tests/support/parser_reference.py' --mime";
    for (const std::string &f : files) cmd += " '" + f + "'";
    std::vector<MimeReference> out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
    if (pclose(p) != 0) return {};
    size_t at = 0;
    while (at < all.size()) {
        const size_t nl = std::min(all.find('\n', at), all.size());
        const std::string line = all.substr(at, nl - at);
        at = nl + 1;
        const size_t tab = line.find('\t');
        const std::string kind = line.substr(0, tab), value = tab == std::string::npos ? "" : line.substr(tab + 1);
        if (kind == "FILE") out.emplace_back();
        else if (kind == "SUBJECT" && !out.empty()) out.back().subject = unhex(value);
        else if (kind == "DECODED" && !out.empty()) out.back().parts.push_back(unhex(value));
    }
    return out;
}

// Where two lists of part data first differ, or "" when they do not.
std::string first_difference(const std::vector<std::string> &got, const std::vector<std::string> &want) {
    for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        if (got[i] == want[i]) continue;
        size_t at = 0;
        while (at < got[i].size() && at < want[i].size() && got[i][at] == want[i][at]) ++at;
        return "part " + std::to_string(i) + ": " + std::to_string(got[i].size()) + " bytes, not " +
               std::to_string(want[i].size()) + ", first difference at " + std::to_string(at) + ": " +
               rrtest::hex(reinterpret_cast<const uint8_t *>(got[i].data()) + at, std::min<size_t>(24, got[i].size() - at));
    }
    return got.size() == want.size() ? "" : std::to_string(got.size()) + " parts, not " + std::to_string(want.size());
}

TEST(DifferentialMime, EncodedPartsAndSubjectsDecodeAsTheReference) {
    if (!rrtest::tshark_available()) {
        const char *req = std::getenv("RR_REQUIRE_TSHARK");
        if (req && std::string(req) == "1") FAIL() << "tshark is required (RR_REQUIRE_TSHARK=1) but not installed";
        GTEST_SKIP() << "tshark is not installed";
    }
    std::vector<Message> multipart;
    for (RealMessage &o : real_messages({"m-retrieve_1.conf", "m-retrieve_2.conf", "m-retrieve_3.conf", "m-retrieve_4.conf"}))
        if (o.msg.multipart) multipart.push_back(std::move(o.msg));
    ASSERT_FALSE(multipart.empty());
    const long count = env_long("RR_DIFF_VARIANTS", 300) / 3;
    const uint32_t start = variants_start();
    MimeGenerator gen(start);
    gchar *dir = g_dir_make_tmp("rr-mime-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    std::vector<MimeVariant> variants;
    std::vector<std::string> files;
    const long all = count + static_cast<long>(std::size(kFixedSubjects));
    for (long i = 0; i < all; ++i) {
        const FixedSubject *fixed = i < count ? nullptr : &kFixedSubjects[i - count];
        variants.push_back(gen.make(multipart[static_cast<size_t>(i) % multipart.size()], fixed));
        files.push_back(std::string(dir) + "/v" + std::to_string(i) + ".conf");
        ASSERT_TRUE(g_file_set_contents(files.back().c_str(), reinterpret_cast<const gchar *>(variants.back().pdu.data()),
                                        static_cast<gssize>(variants.back().pdu.size()), nullptr));
    }
    const std::vector<MimeReference> ref = mime_reference(files);
    for (const std::string &f : files) g_remove(f.c_str());
    g_rmdir(dir);
    g_free(dir);
    ASSERT_EQ(ref.size(), variants.size()) << "the reference reader failed";

    qx::set_log_enabled(false);
    long encodedParts = 0, problems = 0, damaged = 0;
    for (size_t i = 0; i < variants.size(); ++i) {
        const MimeVariant &v = variants[i];
        rrtest::HeapCopy h(v.pdu);
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(h.data(), h.size());
        ASSERT_NE(r, nullptr) << "variant " << i;
        mmresstruct *b = fnMMS_DecodeBody(r->body, r->Content_Size);
        std::vector<std::string> got;
        for (const tMMS_Element *e = b ? b->Parts : nullptr; e; e = e->next)
            got.emplace_back(reinterpret_cast<const char *>(e->Data), static_cast<size_t>(e->Data_Len));
        const std::string subject = r->Subject ? r->Subject : "";
        if (v.damaged) {
            EXPECT_EQ(subject, ref[i].subject) << "variant " << i << ": " << v.wire;
            damaged += 1;
        } else {
            EXPECT_EQ(subject, v.subject) << "variant " << i << ": " << v.wire;
            if (v.pythonAgrees) {
                EXPECT_EQ(ref[i].subject, v.subject) << "reference, variant " << i;
            }
        }
        EXPECT_EQ(first_difference(got, v.parts), "") << "variant " << i;
        EXPECT_EQ(first_difference(ref[i].parts, v.parts), "") << "reference, variant " << i;
        problems += (v.damaged ? subject != ref[i].subject : subject != v.subject) || got != v.parts;
        encodedParts += static_cast<long>(v.parts.size());
        fnMMS_FreeDecodedBody(b);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        if (problems > 5) break;
    }
    qx::set_log_enabled(true);
    EXPECT_GT(encodedParts, count);
    EXPECT_GT(damaged, 0);
    std::printf("%zu variants with encoded parts and subjects (%ld with ill-formed bytes), %ld parts compared\n",
                variants.size(), damaged, encodedParts);
}

}  // namespace
