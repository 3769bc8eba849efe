// MIME encodings that relays pass through from e-mail: part data in base64 or
// quoted-printable (Content-Transfer-Encoding as a text-named part header),
// and subjects and part names made of encoded words ("=?charset?B?...?=",
// "=?charset?Q?...?="). Every decoder here writes at most as many bytes as
// it reads (encoded words: at most three UTF-8 bytes per input byte), into a
// buffer sized before decoding, and never looks past the input it is given.
#include <glib.h>

#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

constexpr int64_t kMaxAlloc = INT32_MAX;

bool is_blank(uint8_t c) { return c == ' ' || c == '\t'; }
bool is_space(uint8_t c) { return is_blank(c) || c == '\r' || c == '\n'; }

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Case-insensitive comparison of [p, p + n) with a lower-case name.
bool same_token(const uint8_t *p, size_t n, const char *lower) {
    const size_t m = std::strlen(lower);
    if (n != m) return false;
    for (size_t i = 0; i < n; ++i)
        if (g_ascii_tolower(static_cast<char>(p[i])) != lower[i]) return false;
    return true;
}

// [p, p + n) without its leading and trailing blanks.
void trim_blanks(const uint8_t *&p, size_t &n) {
    while (n > 0 && is_blank(p[0])) ++p, --n;
    while (n > 0 && is_blank(p[n - 1])) --n;
}

// ---------------------------------------------------------------- base64
// One run of base64 without padding: GLib decodes the complete quanta (and
// passes over characters outside the alphabet: line breaks, blanks, junk);
// what remains of a last quantum of two or three characters gives its one or
// two whole bytes, a lone character nothing.
size_t base64_run(const uint8_t *in, size_t n, uint8_t *out) {
    gint state = 0;
    guint save = 0;
    size_t w = g_base64_decode_step(reinterpret_cast<const gchar *>(in), n, out, &state, &save);
    if (state == 2) {
        out[w++] = static_cast<uint8_t>(save >> 4);
    } else if (state == 3) {
        out[w++] = static_cast<uint8_t>(save >> 10);
        out[w++] = static_cast<uint8_t>(save >> 2);
    }
    return w;
}

// ---------------------------------------------------------------- charsets of encoded words
struct CharsetName {
    const char *name;  // lower case
    int mib;
};
// Names and aliases of the charsets the charset converter handles by MIBenum
// (names e-mail programs write that the platform's converter does not know,
// such as "latin-1", are here too). Shift_JIS and its Windows names are one
// charset: the converter reads MIBenum 17 as CP932.
constexpr CharsetName kCharsetNames[] = {
    {"us-ascii", 3},        {"ascii", 3},           {"iso-8859-1", 4},     {"iso_8859-1", 4},
    {"latin1", 4},          {"latin-1", 4},         {"latin_1", 4},        {"l1", 4},
    {"iso8859-1", 4},       {"iso8859_1", 4},       {"cp819", 4},          {"iso-8859-2", 5},
    {"iso-8859-3", 6},      {"iso-8859-4", 7},      {"iso-8859-5", 8},     {"iso-8859-6", 9},
    {"iso-8859-7", 10},     {"iso-8859-8", 11},     {"iso-8859-8-i", 11},  {"iso-8859-9", 12},
    {"iso-8859-10", 13},    {"shift_jis", 17},      {"shift-jis", 17},     {"sjis", 17},
    {"x-sjis", 17},         {"cp932", 17},          {"ms_kanji", 17},      {"ms-kanji", 17},
    {"windows-31j", 17},    {"x-ms-cp932", 17},     {"csshiftjis", 17},    {"euc-jp", 18},
    {"ks_c_5601-1987", 36}, {"iso-2022-kr", 37},    {"euc-kr", 38},        {"iso-2022-jp", 39},
    {"iso-2022-jp-2", 40},  {"utf-8", 106},         {"utf8", 106},         {"utf_8", 106},
    {"iso-2022-cn", 104},   {"iso-8859-13", 109},   {"iso-8859-14", 110},  {"iso-8859-15", 111},
    {"iso-8859-16", 112},   {"gbk", 113},           {"cp936", 113},        {"gb18030", 114},
    {"iso-10646-ucs-2", 1000}, {"ucs-2", 1000},     {"ucs-4", 1001},       {"utf-7", 1012},
    {"utf-16be", 1013},     {"utf-16le", 1014},     {"utf-16", 1015},      {"utf-32", 1017},
    {"utf-32be", 1018},     {"utf-32le", 1019},     {"ibm850", 2009},      {"cp850", 2009},
    {"ibm437", 2011},       {"cp437", 2011},        {"gb2312", 2025},      {"big5", 2026},
    {"macintosh", 2027},    {"koi8-r", 2084},       {"ibm866", 2086},      {"cp866", 2086},
    {"koi8-u", 2088},       {"big5-hkscs", 2101},   {"windows-1250", 2250}, {"windows-1251", 2251},
    {"windows-1252", 2252}, {"windows-1253", 2253}, {"windows-1254", 2254}, {"windows-1255", 2255},
    {"windows-1256", 2256}, {"windows-1257", 2257}, {"windows-1258", 2258}, {"cp1250", 2250},
    {"cp1251", 2251},       {"cp1252", 2252},       {"cp1253", 2253},      {"cp1254", 2254},
    {"cp1255", 2255},       {"cp1256", 2256},       {"cp1257", 2257},      {"cp1258", 2258},
    {"tis-620", 2259},
};

// The longest charset name handed to the platform's converter.
constexpr size_t kMaxCharsetName = 40;

// A charset of an encoded word: by MIBenum when the table above knows its
// name, else by its name as the platform's converter knows it.
struct WordCharset {
    int mib = 0;
    char name[kMaxCharsetName + 1] = {};

    bool same(const WordCharset &o) const { return mib == o.mib && (mib != 0 || g_ascii_strcasecmp(name, o.name) == 0); }
};

// Reads the charset name [p, p + n) (a "*language" suffix is left out).
// False when neither the table nor the platform's converter knows it.
bool read_charset(const uint8_t *p, size_t n, WordCharset *cs) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] == '*') n = i;
    for (const CharsetName &c : kCharsetNames)
        if (same_token(p, n, c.name)) {
            cs->mib = c.mib;
            return true;
        }
    // Only a plain name goes to the converter (no "//" options, no paths).
    if (n == 0 || n > kMaxCharsetName) return false;
    for (size_t i = 0; i < n; ++i)
        if (!g_ascii_isalnum(static_cast<char>(p[i])) && p[i] != '-' && p[i] != '_' && p[i] != '.' && p[i] != ':')
            return false;
    std::memcpy(cs->name, p, n);
    cs->name[n] = 0;
    cs->mib = 0;
    GIConv cd = g_iconv_open("UTF-8", cs->name);
    if (cd == reinterpret_cast<GIConv>(-1)) return false;
    g_iconv_close(cd);
    return true;
}

// ---------------------------------------------------------------- encoded words
struct Word {
    size_t len = 0;        // bytes of the word in the text
    bool ok = false;       // it decoded to something
    WordCharset cs;        // its charset
    size_t rawLen = 0;     // its decoded bytes, written at the raw cursor
};

// Strict base64 of an encoded word: the alphabet only, padding only at its
// end; false when it is anything else.
bool word_base64(const uint8_t *p, size_t n, uint8_t *out, size_t *w) {
    size_t data = n;
    while (data > 0 && p[data - 1] == '=') --data;
    if (n - data > 2) return false;
    for (size_t i = 0; i < data; ++i) {
        const uint8_t c = p[i];
        if (!g_ascii_isalnum(static_cast<char>(c)) && c != '+' && c != '/') return false;
    }
    if (data % 4 == 1) return false;
    *w = base64_run(p, data, out);
    return true;
}

// Q encoding: "_" is a space, "=XX" a byte, a "=" without two hex digits
// stands for itself; false for a byte that is no printable ASCII.
bool word_q(const uint8_t *p, size_t n, uint8_t *out, size_t *w) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        if (c == '=' && i + 2 < n && hex_digit(p[i + 1]) >= 0 && hex_digit(p[i + 2]) >= 0) {
            out[k++] = static_cast<uint8_t>(hex_digit(p[i + 1]) << 4 | hex_digit(p[i + 2]));
            i += 2;
        } else if (c == '_') {
            out[k++] = ' ';
        } else if (c > 0x20 && c < 0x7F) {
            out[k++] = c;
        } else {
            return false;
        }
    }
    *w = k;
    return true;
}

// Reads an encoded word at s (which starts with "=?"): "=?" charset "?" B or
// Q "?" text "?=", with no blank or line break inside, in a charset the table
// or the platform's converter knows. False when s is anything else: its
// characters are then ordinary text. A word whose content does not decode is
// taken as a whole and gives nothing.
bool read_word(const uint8_t *s, size_t n, uint8_t *raw, Word *w) {
    size_t i = 2;
    const size_t csStart = i;
    while (i < n && s[i] != '?' && !is_space(s[i])) ++i;
    if (i >= n || s[i] != '?' || i == csStart) return false;
    const size_t csEnd = i++;
    if (i + 1 >= n || s[i + 1] != '?') return false;
    const uint8_t letter = static_cast<uint8_t>(g_ascii_toupper(static_cast<char>(s[i])));
    if (letter != 'B' && letter != 'Q') return false;
    i += 2;
    const size_t textStart = i;
    while (i < n && !is_space(s[i]) && !(s[i] == '?' && i + 1 < n && s[i + 1] == '=')) ++i;
    if (i >= n || s[i] != '?') return false;  // a blank or the end before "?="
    const size_t textEnd = i;
    if (!read_charset(s + csStart, csEnd - csStart, &w->cs)) return false;
    w->len = i + 2;
    size_t k = 0;
    const bool good = letter == 'B' ? word_base64(s + textStart, textEnd - textStart, raw, &k)
                                    : word_q(s + textStart, textEnd - textStart, raw, &k);
    w->ok = good && k > 0;
    w->rawLen = w->ok ? k : 0;
    return true;
}

// The decoded bytes of adjacent words in one charset, converted together (a
// character may be split between two words).
struct Run {
    uint8_t *raw;
    size_t len = 0;
    WordCharset cs;
};

constexpr uint8_t kReplacement[] = {0xEF, 0xBF, 0xBD};  // U+FFFD in UTF-8

// Writes converted text with each ill-formed UTF-8 sequence replaced by
// U+FFFD: one for each maximal part of a sequence that could start a
// character (an incomplete character gives one, a lone byte one). Bytes of
// UTF-8 and US-ASCII words come here as they are (US-ASCII texts are read as
// UTF-8 throughout the library, as phones that mislabel them mean them).
void put_repaired(qx::Writer &out, const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            out.bytes(p + i, 1);
            ++i;
            continue;
        }
        size_t need = 0;  // continuation bytes of the character
        uint8_t lo = 0x80, hi = 0xBF;  // range of its second byte
        if (c >= 0xC2 && c <= 0xDF) need = 1;
        else if (c == 0xE0) need = 2, lo = 0xA0;
        else if (c == 0xED) need = 2, hi = 0x9F;
        else if (c >= 0xE1 && c <= 0xEF) need = 2;
        else if (c == 0xF0) need = 3, lo = 0x90;
        else if (c == 0xF4) need = 3, hi = 0x8F;
        else if (c >= 0xF1 && c <= 0xF3) need = 3;
        size_t k = 1;
        while (need > 0 && k <= need && i + k < n) {
            const uint8_t b = p[i + k];
            if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
            ++k;
        }
        if (need > 0 && k == need + 1)
            out.bytes(p + i, k);
        else
            out.bytes(kReplacement, sizeof kReplacement);
        i += k;
    }
}

// Converts bytes of one charset to UTF-8 and writes them, bytes that do not
// convert as U+FFFD. False on allocation failure.
bool convert_piece(const WordCharset &cs, const uint8_t *raw, size_t n, qx::Writer &out) {
    if (n == 0) return true;
    int len = static_cast<int>(n);
    bool known = false;
    char *text = cs.mib != 0 ? ConvertCharsetToUtf8(cs.mib, raw, &len, &known)
                             : ConvertNamedCharsetToUtf8(cs.name, raw, &len, &known);
    if (!text) return !known;  // a converter that gives nothing ran out of memory
    put_repaired(out, reinterpret_cast<const uint8_t *>(text), static_cast<size_t>(len));
    qx::free_ptr(text);
    return true;
}

// Bytes of one code unit of a charset: 4 for UCS-4 and UTF-32, 2 for UCS-2
// and UTF-16, else 1.
size_t unit_of(const WordCharset &cs) {
    if (cs.mib == 1001 || cs.mib == 1017 || cs.mib == 1018 || cs.mib == 1019) return 4;
    return cs.mib != 0 && IsWideCharset(cs.mib) ? 2 : 1;
}

// Converts the run to UTF-8 and writes it, bytes that do not convert as
// U+FFFD. An encoded NUL (a code unit of zero bytes) cannot stand in a text,
// which it would end, cutting off the rest: it is written as U+FFFD and the
// text goes on after it. False on allocation failure.
bool flush_run(Run &run, qx::Writer &out) {
    if (run.len == 0) return true;
    if (run.cs.mib != 0 && IsWideCharset(run.cs.mib) && run.len < 2) {
        run.len = 0;  // not one character
        out.bytes(kReplacement, sizeof kReplacement);
        return true;
    }
    const size_t unit = unit_of(run.cs), n = run.len;
    run.len = 0;
    size_t start = 0;
    for (size_t i = 0; i + unit <= n; i += unit) {
        bool zero = true;
        for (size_t k = 0; k < unit; ++k) zero = zero && run.raw[i + k] == 0;
        if (!zero) continue;
        if (!convert_piece(run.cs, run.raw + start, i - start, out)) return false;
        out.bytes(kReplacement, sizeof kReplacement);
        start = i + unit;
    }
    return convert_piece(run.cs, run.raw + start, n - start, out);
}

}  // namespace

size_t Base64DecodeInto(const uint8_t *in, size_t n, uint8_t *out) {
    // Padding ends a quantum: runs between "=" signs decode on their own.
    size_t w = 0;
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || in[i] == '=') {
            if (i > start) w += base64_run(in + start, i - start, out + w);
            start = i + 1;
        }
    }
    return w;
}

size_t QuotedPrintableDecodeInto(const uint8_t *in, size_t n, uint8_t *out) {
    size_t w = 0;
    size_t i = 0;
    // End of a line at j: a line break or the end of the data.
    auto line_end = [&](size_t j) { return j >= n || in[j] == '\n' || (in[j] == '\r' && (j + 1 >= n || in[j + 1] == '\n')); };
    while (i < n) {
        const uint8_t c = in[i];
        if (c == '=') {
            if (i + 2 < n && hex_digit(in[i + 1]) >= 0 && hex_digit(in[i + 2]) >= 0) {
                out[w++] = static_cast<uint8_t>(hex_digit(in[i + 1]) << 4 | hex_digit(in[i + 2]));
                i += 3;
                continue;
            }
            size_t j = i + 1;
            while (j < n && is_blank(in[j])) ++j;
            if (line_end(j)) {
                // A soft line break (blanks a relay added may stand before it).
                i = j >= n ? n : (in[j] == '\r' ? j + 2 : j + 1);
                continue;
            }
            out[w++] = c;  // no escape: the sign as it stands
            ++i;
        } else if (is_blank(c)) {
            size_t j = i;
            while (j < n && is_blank(in[j])) ++j;
            if (line_end(j)) {
                i = j;  // blanks at the end of a line were added in transport
                continue;
            }
            while (i < j) out[w++] = in[i++];
        } else {
            out[w++] = c;
            ++i;
        }
    }
    return w;
}

MimeTransfer TransferEncodingOf(const char *value) {
    if (!value) return MimeTransfer::None;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(value);
    size_t n = std::strlen(value);
    trim_blanks(p, n);
    if (same_token(p, n, "base64")) return MimeTransfer::Base64;
    if (same_token(p, n, "quoted-printable")) return MimeTransfer::QuotedPrintable;
    if (same_token(p, n, "7bit") || same_token(p, n, "8bit") || same_token(p, n, "binary") || n == 0)
        return MimeTransfer::None;
    return MimeTransfer::Unknown;
}

Got DecodePartTransferEncoding(WspCursor h, uint8_t **data, int *len, uint8_t **owned) {
    // Looks for the text-named header among the entry's header fields, which
    // are stepped over as the body decoder steps over them.
    const uint8_t *value = nullptr;
    long valueLen = 0;
    while (h.p < h.end && !h.truncated) {
        const uint8_t code = *h.p;
        if (code >= 0x80) {
            ++h.p;
            if (!SkipValue(h)) break;
        } else if (code == 0x7F) {
            h.p += h.left() >= 2 ? 2 : h.left();
        } else if (code > 0 && code < 0x20) {
            ++h.p;
        } else if (code >= 0x20) {
            const uint8_t *name = h.p;
            const long nameLen = TextExtent(h) - 1;
            if (!SkipText(h)) break;
            const uint8_t *v = h.p;
            const long vLen = TextExtent(h) - 1;
            if (!SkipValue(h)) break;
            const uint8_t *np = name;
            size_t nn = static_cast<size_t>(nameLen);
            trim_blanks(np, nn);
            if (vLen >= 0 && *v >= 0x20 && *v <= 0x7F && same_token(np, nn, "content-transfer-encoding")) {
                value = v[0] == 0x7F ? v + 1 : v;
                valueLen = v[0] == 0x7F ? vLen - 1 : vLen;
            }
        } else {
            break;
        }
    }
    if (!value || !*data || *len <= 0) return Got::None;

    char name[32];
    const size_t copied = static_cast<size_t>(valueLen) < sizeof name - 1 ? static_cast<size_t>(valueLen) : sizeof name - 1;
    std::memcpy(name, value, copied);
    name[copied] = 0;
    const MimeTransfer kind = TransferEncodingOf(name);
    if (kind == MimeTransfer::None) return Got::None;
    if (kind == MimeTransfer::Unknown) {
        QX_LOG("mzk:Content-Transfer-Encoding %s not known, part data kept as it is", name);
        return Got::None;
    }
    // Decoded data is never longer than its encoding (GLib asks for three
    // bytes of room beyond that).
    const int64_t cap = static_cast<int64_t>(*len) + 3;
    if (cap > kMaxAlloc) return Got::NoMemory;
    auto *out = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(cap)));
    if (!out) return Got::NoMemory;
    const size_t n = static_cast<size_t>(*len);
    const size_t w = kind == MimeTransfer::Base64 ? Base64DecodeInto(*data, n, out) : QuotedPrintableDecodeInto(*data, n, out);
    qx::free_ptr(*owned);
    if (w == 0) {
        qx::free_ptr(out);
        *data = nullptr;
        *len = 0;
        return Got::Value;
    }
    *owned = out;
    *data = out;
    *len = static_cast<int>(w);
    return Got::Value;
}

Got DecodeEncodedWords(char **text) {
    if (!text || !*text || !std::strstr(*text, "=?")) return Got::None;
    const auto *s = reinterpret_cast<const uint8_t *>(*text);
    const size_t n = std::strlen(*text);
    const int64_t cap = 3 * static_cast<int64_t>(n) + 1;
    if (cap > kMaxAlloc) return Got::NoMemory;
    auto *buf = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(cap)));
    auto *raw = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(n) + 1));
    qx::ScopeGuard release([&] {
        qx::free_ptr(buf);
        qx::free_ptr(raw);
    });
    if (!buf || !raw) return Got::NoMemory;

    qx::Writer out = qx::Writer::over(buf, static_cast<size_t>(cap - 1));
    Run run{raw, 0, {}};
    size_t text0 = 0;        // start of the text not written yet
    bool afterWord = false;  // a word came before it
    size_t i = 0;
    while (i < n) {
        Word w;
        // A word decodes after the run; it is moved down when the run is
        // written out before it.
        uint8_t *wordBytes = raw + run.len;
        if (!(s[i] == '=' && i + 1 < n && s[i + 1] == '?') || !read_word(s + i, n - i, wordBytes, &w)) {
            ++i;
            continue;
        }
        // Blanks and line breaks between two words are left out; other text
        // between them ends the run and is written.
        bool onlySpace = true;
        for (size_t k = text0; k < i; ++k) onlySpace = onlySpace && is_space(s[k]);
        if (!(afterWord && onlySpace) && i > text0) {
            if (!flush_run(run, out)) return Got::NoMemory;
            out.bytes(s + text0, i - text0);
        }
        if (w.ok) {
            if (run.len > 0 && !run.cs.same(w.cs) && !flush_run(run, out)) return Got::NoMemory;
            if (raw + run.len != wordBytes) std::memmove(raw + run.len, wordBytes, w.rawLen);
            run.cs = w.cs;
            run.len += w.rawLen;
        }
        i += w.len;
        text0 = i;
        afterWord = true;
    }
    if (!flush_run(run, out)) return Got::NoMemory;
    out.bytes(s + text0, n - text0);
    if (!out.ok()) return Got::NoMemory;  // the bound above was wrong
    *out.p = 0;
    qx::free_ptr(*text);
    *text = reinterpret_cast<char *>(buf);
    buf = nullptr;
    return Got::Value;
}

Got DecodePartMime(WspCursor fields, tMMS_Element *e) {
    if (DecodePartTransferEncoding(fields, &e->Data, &e->Data_Len, &e->Decoded_Data) == Got::NoMemory ||
        DecodeEncodedWords(&e->File_Name) == Got::NoMemory ||
        DecodeEncodedWords(&e->Name_Param) == Got::NoMemory)
        return Got::NoMemory;
    return Got::Value;
}
