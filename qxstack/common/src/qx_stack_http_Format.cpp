// The library's own bounded printf-style formatter. Floating-point values are
// converted through an exact decimal expansion of the double, so every digit
// is correctly rounded (ties to even) without the C library's help.
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

#include "qx_internal.h"
#include "qx_stack_http.h"

namespace {

// Counts are kept in 64 bits and stop growing here, so no width or precision
// can make them wrap.
constexpr int64_t kCountCap = INT64_C(1) << 60;
// Digits after the point (or significant digits for g) never exceed this.
constexpr int kMaxFloatPrecision = 78;

// Bounded writer: stores what fits before size - 1, counts everything.
struct Out {
    char *dst;
    int64_t size;
    int64_t count;

    int64_t room() const { return count < size - 1 ? size - 1 - count : 0; }
    void advance(int64_t n) { count = (n >= kCountCap - count) ? kCountCap : count + n; }
    void put(char c) {
        if (room() > 0) dst[count] = c;
        advance(1);
    }
    void write(const char *s, int64_t n) {
        if (n <= 0) return;
        const int64_t k = n < room() ? n : room();
        if (k > 0) std::memcpy(dst + count, s, static_cast<size_t>(k));
        advance(n);
    }
    void pad(char c, int64_t n) {
        if (n <= 0) return;
        const int64_t k = n < room() ? n : room();
        if (k > 0) std::memset(dst + count, c, static_cast<size_t>(k));
        advance(n);
    }
};

enum class Len { None, HH, H, L, LL, Size, Max, Diff };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int64_t width = 0;
    int64_t prec = -1;  // -1: none given
    Len len = Len::None;
};

// ---------------------------------------------------------------- padding helpers

// Emits sign/prefix, body parts and padding for a field of dv.width.
// zeroPad places zeros between the prefix and the body instead of blanks in front.
void emit_field(Out &out, const Directive &dv, const char *prefix, int64_t prefixLen, int64_t innerZeros,
                const char *body, int64_t bodyLen, bool zeroPad) {
    const int64_t total = prefixLen + innerZeros + bodyLen;
    const int64_t fill = dv.width > total ? dv.width - total : 0;
    if (!dv.left && !zeroPad) out.pad(' ', fill);
    out.write(prefix, prefixLen);
    if (!dv.left && zeroPad) out.pad('0', fill);
    out.pad('0', innerZeros);
    out.write(body, bodyLen);
    if (dv.left) out.pad(' ', fill);
}

void emit_text(Out &out, const Directive &dv, const char *text, int64_t n) {
    emit_field(out, dv, "", 0, 0, text, n, false);
}

// ---------------------------------------------------------------- integers

void emit_integer(Out &out, const Directive &dv, uint64_t mag, bool negative, bool isSigned, int base, bool upper) {
    const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int nd = 0;
    char rev[24];
    for (uint64_t v = mag; v != 0; v /= static_cast<uint64_t>(base)) rev[nd++] = digitSet[v % static_cast<uint64_t>(base)];
    for (int i = 0; i < nd; ++i) digits[i] = rev[nd - 1 - i];
    // Precision 0 with the value 0 prints no digit at all.
    if (mag == 0 && dv.prec != 0) digits[nd++] = '0';

    int64_t zeros = dv.prec > nd ? dv.prec - nd : 0;
    if (base == 8 && dv.alt && zeros == 0 && (nd == 0 || digits[0] != '0')) zeros = 1;

    char prefix[3];
    int pl = 0;
    if (isSigned) {
        if (negative)
            prefix[pl++] = '-';
        else if (dv.plus)
            prefix[pl++] = '+';
        else if (dv.space)
            prefix[pl++] = ' ';
    }
    if (base == 16 && dv.alt && mag != 0) {
        prefix[pl++] = '0';
        prefix[pl++] = upper ? 'X' : 'x';
    }
    const bool zeroPad = dv.zero && !dv.left && dv.prec < 0;
    emit_field(out, dv, prefix, pl, zeros, digits, nd, zeroPad);
}

int64_t signed_arg(Len len, va_list *ap) {
    switch (len) {
        case Len::HH: return static_cast<signed char>(va_arg(*ap, int));
        case Len::H: return static_cast<short>(va_arg(*ap, int));
        case Len::L: return va_arg(*ap, long);
        case Len::LL: return va_arg(*ap, long long);
        case Len::Size: return static_cast<int64_t>(va_arg(*ap, size_t));
        case Len::Max: return va_arg(*ap, intmax_t);
        case Len::Diff: return va_arg(*ap, ptrdiff_t);
        case Len::None: break;
    }
    return va_arg(*ap, int);
}

uint64_t unsigned_arg(Len len, va_list *ap) {
    switch (len) {
        case Len::HH: return static_cast<unsigned char>(va_arg(*ap, unsigned));
        case Len::H: return static_cast<unsigned short>(va_arg(*ap, unsigned));
        case Len::L: return va_arg(*ap, unsigned long);
        case Len::LL: return va_arg(*ap, unsigned long long);
        case Len::Size: return va_arg(*ap, size_t);
        case Len::Max: return va_arg(*ap, uintmax_t);
        case Len::Diff: return static_cast<uint64_t>(va_arg(*ap, ptrdiff_t));
        case Len::None: break;
    }
    return va_arg(*ap, unsigned);
}

void store_count(Len len, va_list *ap, int64_t count) {
    switch (len) {
        case Len::HH: {
            auto *p = va_arg(*ap, signed char *);
            if (p) *p = static_cast<signed char>(count);
            return;
        }
        case Len::H: {
            auto *p = va_arg(*ap, short *);
            if (p) *p = static_cast<short>(count);
            return;
        }
        // Each length its own object: long, size_t and ptrdiff_t are 32 bits
        // on 32-bit CPUs.
        case Len::L: {
            auto *p = va_arg(*ap, long *);
            if (p) *p = static_cast<long>(count);
            return;
        }
        case Len::LL: {
            auto *p = va_arg(*ap, long long *);
            if (p) *p = count;
            return;
        }
        case Len::Size: {
            auto *p = va_arg(*ap, size_t *);
            if (p) *p = static_cast<size_t>(count);
            return;
        }
        case Len::Max: {
            auto *p = va_arg(*ap, intmax_t *);
            if (p) *p = count;
            return;
        }
        case Len::Diff: {
            auto *p = va_arg(*ap, ptrdiff_t *);
            if (p) *p = static_cast<ptrdiff_t>(count);
            return;
        }
        case Len::None: break;
    }
    auto *p = va_arg(*ap, int *);
    if (p) *p = static_cast<int>(count);
}

// ---------------------------------------------------------------- exact decimal expansion

// A finite non-negative value as 0.d1 d2 ... dn x 10^point, no trailing zero
// digit; n == 0 is the value zero.
struct Decimal {
    // 2^53 * 5^1074 has 767 decimal digits, the longest expansion there is.
    char d[800];
    int n;
    int point;
};

// Base 10^9 big number, least significant limb first.
struct BigNum {
    static constexpr int kLimbs = 90;
    uint32_t limb[kLimbs];
    int used;

    void mul_small(uint32_t factor) {
        uint64_t carry = 0;
        for (int i = 0; i < used; ++i) {
            const uint64_t v = static_cast<uint64_t>(limb[i]) * factor + carry;
            limb[i] = static_cast<uint32_t>(v % 1000000000u);
            carry = v / 1000000000u;
        }
        while (carry != 0 && used < kLimbs) {
            limb[used++] = static_cast<uint32_t>(carry % 1000000000u);
            carry /= 1000000000u;
        }
    }
};

void expand(double v, Decimal &dec) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t m = bits & ((UINT64_C(1) << 52) - 1);
    int e = -1074;
    if (biased != 0) {
        m |= UINT64_C(1) << 52;
        e = biased - 1075;
    }
    dec.n = 0;
    dec.point = 0;
    if (m == 0) return;
    while ((m & 1) == 0) {
        m >>= 1;
        ++e;
    }
    BigNum big;
    big.limb[0] = static_cast<uint32_t>(m % 1000000000u);
    big.limb[1] = static_cast<uint32_t>(m / 1000000000u);
    big.used = big.limb[1] ? 2 : 1;
    // value = m * 2^e = m * 2^e (e >= 0) or m * 5^-e / 10^-e (e < 0).
    if (e > 0) {
        for (int left = e; left > 0; left -= 29) big.mul_small(UINT32_C(1) << (left < 29 ? left : 29));
    } else {
        constexpr uint32_t kPow5[14] = {1,      5,       25,       125,       625,        3125,       15625,
                                        78125,  390625,  1953125,  9765625,   48828125,   244140625,  1220703125};
        for (int left = -e; left > 0; left -= 13) big.mul_small(kPow5[left < 13 ? left : 13]);
    }
    // Write the limbs out as digits, most significant first.
    char tmp[10];
    int n = 0;
    for (int i = big.used - 1; i >= 0; --i) {
        uint32_t x = big.limb[i];
        for (int k = 8; k >= 0; --k) {
            tmp[k] = static_cast<char>('0' + x % 10);
            x /= 10;
        }
        int k = 0;
        if (n == 0)
            while (k < 8 && tmp[k] == '0') ++k;
        for (; k < 9; ++k) dec.d[n++] = tmp[k];
    }
    dec.point = n + (e < 0 ? e : 0);
    while (n > 0 && dec.d[n - 1] == '0') --n;
    dec.n = n;
}

// Rounds to the first `keep` digits, to nearest, ties to even.
void round_to(Decimal &dec, int keep) {
    if (keep >= dec.n) return;
    if (keep < 0) {
        dec.n = 0;  // below half a unit of the kept position
        return;
    }
    const char dk = dec.d[keep];
    bool up;
    if (dk != '5')
        up = dk > '5';
    else if (keep + 1 < dec.n)
        up = true;  // trailing zeros are stripped, so something non-zero follows
    else
        up = keep > 0 && ((dec.d[keep - 1] - '0') & 1) != 0;
    dec.n = keep;
    if (up) {
        int i = keep - 1;
        while (i >= 0 && dec.d[i] == '9') --i;
        if (i < 0) {
            dec.d[0] = '1';
            dec.n = 1;
            ++dec.point;
        } else {
            ++dec.d[i];
            dec.n = i + 1;
        }
    }
    while (dec.n > 0 && dec.d[dec.n - 1] == '0') --dec.n;
}

char digit_at(const Decimal &dec, int64_t pos) { return (pos >= 0 && pos < dec.n) ? dec.d[pos] : '0'; }

// Body writers; the body buffer holds at most 309 integer digits, the point,
// 78 fraction digits (or an exponent), so 512 bytes suffice.
constexpr int kBody = 512;

int body_fixed(const Decimal &dec, int prec, bool keepPoint, char *body) {
    int n = 0;
    if (dec.n == 0 || dec.point <= 0) {
        body[n++] = '0';
    } else {
        for (int i = 0; i < dec.point; ++i) body[n++] = digit_at(dec, i);
    }
    if (prec > 0 || keepPoint) body[n++] = '.';
    for (int i = 0; i < prec; ++i) body[n++] = dec.n == 0 ? '0' : digit_at(dec, static_cast<int64_t>(dec.point) + i);
    return n;
}

int body_exp(const Decimal &dec, int prec, bool keepPoint, bool upper, char *body) {
    int n = 0;
    const int exp10 = dec.n == 0 ? 0 : dec.point - 1;
    body[n++] = digit_at(dec, 0);
    if (prec > 0 || keepPoint) body[n++] = '.';
    for (int i = 1; i <= prec; ++i) body[n++] = digit_at(dec, i);
    body[n++] = upper ? 'E' : 'e';
    body[n++] = exp10 < 0 ? '-' : '+';
    const int a = exp10 < 0 ? -exp10 : exp10;
    if (a >= 100) body[n++] = static_cast<char>('0' + a / 100);
    body[n++] = static_cast<char>('0' + a / 10 % 10);
    body[n++] = static_cast<char>('0' + a % 10);
    return n;
}

// Drops trailing zeros of the fraction, and the point when nothing is left
// (g without '#'). The part from `from` on is left alone (an exponent).
int strip_fraction(char *body, int n, int from) {
    const char *point = static_cast<const char *>(std::memchr(body, '.', static_cast<size_t>(from)));
    if (!point) return n;
    int end = from;
    while (end > 0 && body[end - 1] == '0') --end;
    if (body + end - 1 == point) --end;
    std::memmove(body + end, body + from, static_cast<size_t>(n - from));
    return end + (n - from);
}

void emit_float(Out &out, const Directive &dv, double v, char conv) {
    const bool upper = conv == 'E' || conv == 'G';
    const bool negative = std::signbit(v);
    char sign[1];
    int sl = 0;
    if (negative)
        sign[sl++] = '-';
    else if (dv.plus)
        sign[sl++] = '+';
    else if (dv.space)
        sign[sl++] = ' ';

    if (!std::isfinite(v)) {
        const char *word = std::isnan(v) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
        emit_field(out, dv, sign, sl, 0, word, 3, false);
        return;
    }

    int prec = dv.prec < 0 ? 6 : (dv.prec > kMaxFloatPrecision ? kMaxFloatPrecision : static_cast<int>(dv.prec));
    Decimal dec;
    expand(std::fabs(v), dec);
    char body[kBody];
    int n = 0;
    if (conv == 'f') {
        round_to(dec, dec.point + prec);
        n = body_fixed(dec, prec, dv.alt, body);
    } else if (conv == 'e' || conv == 'E') {
        round_to(dec, prec + 1);
        n = body_exp(dec, prec, dv.alt, upper, body);
    } else {
        const int p = prec == 0 ? 1 : prec;
        round_to(dec, p);
        const int x = dec.n == 0 ? 0 : dec.point - 1;
        if (p > x && x >= -4) {
            n = body_fixed(dec, p - 1 - x, dv.alt, body);
            if (!dv.alt) n = strip_fraction(body, n, n);
        } else {
            n = body_exp(dec, p - 1, dv.alt, upper, body);
            if (!dv.alt) {
                const char *e = static_cast<const char *>(std::memchr(body, upper ? 'E' : 'e', static_cast<size_t>(n)));
                n = strip_fraction(body, n, static_cast<int>(e - body));
            }
        }
    }
    emit_field(out, dv, sign, sl, 0, body, n, dv.zero && !dv.left);
}

// ---------------------------------------------------------------- pointers

// "%p" takes a second letter: "pp" the address in lower-case hexadecimal,
// written as "%p" alone writes it ("0x..." with the flags of "%#lx", or
// "(nil)"); "pT" the text "0"; "pA" the address as 16 upper-case hexadecimal
// digits; "pI" the address as an unsigned decimal; any other letter
// "bogus %p". A non-letter after "%p" is not consumed. The pointer is only
// printed, never followed.
void emit_pointer(Out &out, const Directive &dv, void *ptr) {
    if (!ptr) {
        emit_text(out, dv, "(nil)", 5);
        return;
    }
    Directive hex = dv;
    hex.alt = true;
    emit_integer(out, hex, reinterpret_cast<uintptr_t>(ptr), false, true, 16, false);
}

int pointer_body(void *ptr, char kind, char *body) {
    const auto addr = reinterpret_cast<uintptr_t>(ptr);
    int n = 0;
    char rev[24];
    int r = 0;
    switch (kind) {
        case 'T':
            body[n++] = '0';
            return n;
        case 'A':
            for (int i = 15; i >= 0; --i) body[n++] = "0123456789ABCDEF"[(addr >> (i * 4)) & 0xF];
            return n;
        case 'I':
            for (uintptr_t v = addr; v != 0 || r == 0; v /= 10) rev[r++] = static_cast<char>('0' + v % 10);
            while (r > 0) body[n++] = rev[--r];
            return n;
        default:
            std::memcpy(body, "bogus %p", 8);
            return 8;
    }
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int64_t read_number(const char *&f) {
    int64_t v = 0;
    while (*f >= '0' && *f <= '9') {
        v = v * 10 + (*f - '0');
        if (v > INT_MAX) v = INT_MAX;
        ++f;
    }
    return v;
}

}  // namespace

int fnQX_FormatBounded(char *dst, int size, const char *fmt, va_list ap_in) {
    Out out{dst, (dst && size > 0) ? size : 0, 0};
    if (fmt) {
        va_list ap;
        va_copy(ap, ap_in);
        const char *f = fmt;
        while (*f) {
            if (*f != '%') {
                const char *next = std::strchr(f, '%');
                const int64_t n = next ? next - f : static_cast<int64_t>(std::strlen(f));
                out.write(f, n);
                f += n;
                continue;
            }
            ++f;
            Directive dv;
            for (;; ++f) {
                if (*f == '-')
                    dv.left = true;
                else if (*f == '+')
                    dv.plus = true;
                else if (*f == ' ')
                    dv.space = true;
                else if (*f == '#')
                    dv.alt = true;
                else if (*f == '0')
                    dv.zero = true;
                else
                    break;
            }
            if (*f == '*') {
                ++f;
                const int w = va_arg(ap, int);
                if (w < 0) {
                    dv.left = true;
                    dv.width = -static_cast<int64_t>(w);
                } else {
                    dv.width = w;
                }
            } else {
                dv.width = read_number(f);
            }
            if (*f == '.') {
                ++f;
                if (*f == '*') {
                    ++f;
                    const int p = va_arg(ap, int);
                    dv.prec = p < 0 ? 0 : p;
                } else {
                    dv.prec = read_number(f);
                }
            }
            switch (*f) {
                case 'h':
                    dv.len = Len::H;
                    if (*++f == 'h') {
                        dv.len = Len::HH;
                        ++f;
                    }
                    break;
                case 'l':
                    dv.len = Len::L;
                    if (*++f == 'l') {
                        dv.len = Len::LL;
                        ++f;
                    }
                    break;
                case 'q':
                    dv.len = Len::LL;
                    ++f;
                    break;
                case 'I':
                    if (f[1] == '6' && f[2] == '4') {
                        dv.len = Len::LL;
                        f += 3;
                    }
                    break;
                case 'z':
                    dv.len = Len::Size;
                    ++f;
                    break;
                case 'j':
                    dv.len = Len::Max;
                    ++f;
                    break;
                case 't':
                    dv.len = Len::Diff;
                    ++f;
                    break;
                default:
                    break;
            }
            const char conv = *f;
            if (conv == 0) {
                out.put('%');  // a lone '%' at the end of the format
                break;
            }
            ++f;
            switch (conv) {
                case 'd':
                case 'i': {
                    const int64_t v = signed_arg(dv.len, &ap);
                    const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                    emit_integer(out, dv, mag, v < 0, true, 10, false);
                    break;
                }
                case 'u':
                    emit_integer(out, dv, unsigned_arg(dv.len, &ap), false, false, 10, false);
                    break;
                case 'o':
                    emit_integer(out, dv, unsigned_arg(dv.len, &ap), false, false, 8, false);
                    break;
                case 'x':
                case 'X':
                    emit_integer(out, dv, unsigned_arg(dv.len, &ap), false, false, 16, conv == 'X');
                    break;
                case 'c': {
                    const char c = static_cast<char>(va_arg(ap, int));
                    emit_text(out, dv, &c, 1);
                    break;
                }
                case 's': {
                    const char *s = va_arg(ap, const char *);
                    if (!s) s = (dv.prec < 0 || dv.prec >= 6) ? "(null)" : "";
                    // Never look further than the precision allows.
                    const int64_t n = dv.prec < 0 ? static_cast<int64_t>(std::strlen(s))
                                                    : static_cast<int64_t>(strnlen(s, static_cast<size_t>(dv.prec)));
                    emit_text(out, dv, s, n);
                    break;
                }
                case 'e':
                case 'E':
                case 'f':
                case 'g':
                case 'G':
                    emit_float(out, dv, va_arg(ap, double), conv);
                    break;
                case 'n':
                    store_count(dv.len, &ap, out.count);
                    break;
                case 'p': {
                    void *ptr = va_arg(ap, void *);
                    char kind = 'p';
                    if (is_letter(*f)) kind = *f++;
                    if (kind == 'p') {
                        emit_pointer(out, dv, ptr);
                        break;
                    }
                    char body[32];
                    const int n = pointer_body(ptr, kind, body);
                    emit_text(out, dv, body, n);
                    break;
                }
                case '%':
                    out.put('%');
                    break;
                default:
                    out.put('%');
                    out.put(conv);
                    break;
            }
        }
        va_end(ap);
    }
    if (out.size > 0) {
        const int64_t end = out.count < out.size - 1 ? out.count : out.size - 1;
        out.dst[end] = 0;
        if (out.count > out.size - 1) return size;
    }
    return out.count > INT_MAX ? -1 : static_cast<int>(out.count);
}
