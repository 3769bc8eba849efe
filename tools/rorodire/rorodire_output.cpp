// Output of `rorodire dump`: one JSON object per line, or a readable listing.
#include <algorithm>
#include <cstdio>

#include <glib.h>

#include "rorodire_tool.h"

namespace rrtool {

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (lead byte 0x80 or more),
// or 0 when it is not one: no overlong forms, surrogates or code points past
// U+10FFFF.
size_t utf8_sequence(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// The code point of the well-formed sequence of n bytes at s[i].
uint32_t code_point(std::string_view s, size_t i, size_t n) {
    const auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i + k])); };
    if (n == 2) return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    if (n == 3) return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
}

void append_hex_escape(std::string &out, const char *form, unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, form, v);
    out += buf;
}

std::string hex2(long long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02llX", v);
    return buf;
}

}  // namespace

bool is_hidden_control(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) ||                  // C1 controls (CSI U+009B, NEL U+0085, ...)
           cp == 0x2028 || cp == 0x2029 ||                 // line and paragraph separators
           cp == 0xFEFF ||                                 // byte order mark, zero-width no-break space
           cp == 0x061C || cp == 0x200E || cp == 0x200F ||  // bidirectional marks
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);  // bidirectional embeddings, isolates
}

size_t hidden_control_at(std::string_view s, size_t i) {
    if (i >= s.size() || static_cast<unsigned char>(s[i]) < 0x80) return 0;
    const size_t n = utf8_sequence(s, i);
    return n && is_hidden_control(code_point(s, i, n)) ? n : 0;
}

void append_json_string(std::string &out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    if (c < 0x20 || c == 0x7F)
                        append_hex_escape(out, "\\u%04x", c);
                    else
                        out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const size_t n = utf8_sequence(s, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
        } else if (is_hidden_control(code_point(s, i, n))) {
            append_hex_escape(out, "\\u%04x", code_point(s, i, n));
            i += n;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    out += '"';
}

void append_display_string(std::string &out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                append_hex_escape(out, "\\x%02X", c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const size_t n = utf8_sequence(s, i);
        if (n == 0) {
            append_hex_escape(out, "\\x%02X", c);
            ++i;
        } else if (is_hidden_control(code_point(s, i, n))) {
            append_hex_escape(out, "\\u%04X", code_point(s, i, n));
            i += n;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    out += '"';
}

std::string to_json(const Dump &d) {
    std::string o = "{\"file\":";
    append_json_string(o, d.file);
    o += ",\"type\":";
    if (d.type)
        append_json_string(o, *d.type);
    else
        o += "null";
    o += ",\"headers\":{";
    bool first = true;
    for (const Field &f : d.headers) {
        if (!first) o += ',';
        first = false;
        append_json_string(o, f.name);
        o += ':';
        if (f.kind == Field::Kind::Text) {
            if (f.text)
                append_json_string(o, *f.text);
            else
                o += "null";
        } else {
            o += std::to_string(f.number);
        }
    }
    o += '}';
    // The values that have names, in words: {"Status":"Retrieved"}.
    std::string meanings;
    for (const Field &f : d.headers) {
        if (!f.meaning) continue;
        meanings += meanings.empty() ? "" : ",";
        append_json_string(meanings, f.name);
        meanings += ':';
        append_json_string(meanings, f.meaning);
    }
    if (!meanings.empty()) o += ",\"meanings\":{" + meanings + "}";
    o += ",\"parts\":[";
    first = true;
    for (const Part &p : d.parts) {
        if (!first) o += ',';
        first = false;
        const auto text = [&](const char *key, const std::optional<std::string> &v) {
            append_json_string(o, key);
            o += ':';
            if (v)
                append_json_string(o, *v);
            else
                o += "null";
        };
        o += '{';
        text("content_type", p.contentType);
        o += ',';
        text("name", p.name);
        o += ',';
        text("content_id", p.contentId);
        o += ",\"charset\":";
        o += p.charset ? std::to_string(*p.charset) : "null";
        o += ",\"size\":" + std::to_string(p.size) + "}";
    }
    o += "],\"smil\":";
    o += d.smil ? "true" : "false";
    if (!d.error.empty()) {
        o += ",\"error\":";
        append_json_string(o, d.error);
    }
    o += "}\n";
    return o;
}

std::string to_text(const Dump &d) {
    std::string o = d.file + ": ";
    o += d.type ? *d.type : "unknown PDU";
    o += " (" + std::to_string(d.size) + " bytes)\n";
    if (!d.error.empty()) o += "  error: " + d.error + "\n";
    size_t width = 0;
    for (const Field &f : d.headers) width = std::max(width, f.name.size());
    for (const Field &f : d.headers) {
        if (f.kind == Field::Kind::Text && !f.text) continue;  // absent
        o += "  " + f.name + std::string(width - f.name.size() + 2, ' ');
        switch (f.kind) {
            case Field::Kind::Text: append_display_string(o, *f.text); break;
            case Field::Kind::Int: o += std::to_string(f.number); break;
            case Field::Kind::Byte:
                o += hex2(f.number);
                if (f.meaning) o += std::string(" (") + f.meaning + ")";
                break;
        }
        o += '\n';
    }
    if (d.hasBody) {
        o += "  SMIL: ";
        if (d.smil) {
            o += "yes, ";
            if (d.smilContentType)
                append_display_string(o, *d.smilContentType);
            else
                o += "(no content type)";
            o += ", " + std::to_string(d.smilSize) + " bytes\n";
        } else {
            o += "no\n";
        }
        o += "  parts: " + std::to_string(d.parts.size()) + "\n";
        int n = 0;
        for (const Part &p : d.parts) {
            o += "    " + std::to_string(++n) + ". ";
            if (p.contentType)
                append_display_string(o, *p.contentType);
            else
                o += "(unknown type)";
            if (p.name) {
                o += " name ";
                append_display_string(o, *p.name);
            }
            if (p.contentId) {
                o += " content-id ";
                append_display_string(o, *p.contentId);
            }
            if (p.charset) o += " charset " + std::to_string(*p.charset);
            o += ", " + std::to_string(p.size) + " bytes\n";
        }
    }
    return o;
}

uint32_t date_now() {
    const gint64 s = g_get_real_time() / G_USEC_PER_SEC;
    return s > 0 && s <= static_cast<gint64>(UINT32_MAX) ? static_cast<uint32_t>(s) : 0;
}

std::string date_text(uint32_t date) {
    if (date == 0) return {};
    GDateTime *t = g_date_time_new_from_unix_utc(static_cast<gint64>(date));
    if (!t) return {};
    gchar *s = g_date_time_format(t, "%Y-%m-%d %H:%M:%S UTC");
    std::string out = s ? s : "";
    g_free(s);
    g_date_time_unref(t);
    return out;
}

std::optional<uint32_t> parse_date(const std::string &text) {
    gint64 seconds = -1;
    if (!text.empty() && text.size() <= 10 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        seconds = g_ascii_strtoll(text.c_str(), nullptr, 10);
    } else if (GDateTime *t = g_date_time_new_from_iso8601(text.c_str(), nullptr)) {
        seconds = g_date_time_to_unix(t);
        g_date_time_unref(t);
    }
    if (seconds < 1 || seconds > static_cast<gint64>(UINT32_MAX)) return std::nullopt;
    return static_cast<uint32_t>(seconds);
}

}  // namespace rrtool
