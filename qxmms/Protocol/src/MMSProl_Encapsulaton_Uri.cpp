// Part names as URI references: a part's Content-Location and Content-ID and
// the presentation's src of the part carry the name with every byte that a
// URI (or the SMIL text around it) cannot hold percent-encoded, UTF-8 byte by
// byte; the reader turns the escapes back into the name.
#include <cstring>

#include "MMSProl_Encapsulaton.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool UriKeepsByte(uint8_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    // Unreserved characters and the sub-delimiters that mean nothing inside
    // a path segment, a msg-id or an XML attribute ("&" would).
    return std::strchr("-._~!$'()*+,;=@", c) != nullptr && c != 0;
}

size_t UriEncodedSize(const char *name) {
    if (!name) return 0;
    size_t n = 0;
    for (const char *p = name; *p; ++p) n += UriKeepsByte(static_cast<uint8_t>(*p)) ? 1 : 3;
    return n;
}

void SetUriEncoded(qx::Writer &w, const char *name) {
    if (!name) return;
    for (const char *p = name; *p; ++p) {
        const auto c = static_cast<uint8_t>(*p);
        if (UriKeepsByte(c)) {
            w.byte(c);
        } else {
            w.byte('%');
            w.byte(static_cast<uint8_t>(kHex[c >> 4]));
            w.byte(static_cast<uint8_t>(kHex[c & 15]));
        }
    }
}

void UriDecodeInPlace(char *text) {
    if (!text) return;
    char *out = text;
    for (const char *p = text; *p; ++p) {
        if (p[0] == '%' && p[1] && p[2]) {
            const int hi = hex_value(p[1]);
            const int lo = hex_value(p[2]);
            // "%00" would end the text: it stays as it is, like any other
            // "%" that does not begin an escape.
            if (hi >= 0 && lo >= 0 && (hi | lo) != 0) {
                *out++ = static_cast<char>(hi * 16 + lo);
                p += 2;
                continue;
            }
        }
        *out++ = *p;
    }
    *out = 0;
}
