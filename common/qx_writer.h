// The bounded writer every encoder of the library writes through (PDU
// headers and bodies, part headers, SMIL text, the relay's PDUs).
//
// A writer is a cursor over [p, end) of a buffer the encoder sized
// beforehand. Every write checks the space left: one that does not fit
// writes nothing and sets `overflow`, and every later write is refused as
// well. So a size computation that drifts from what is written shows up as a
// failed encode (check `ok()` before handing the buffer out), never as a
// write past the buffer.
//
//     qx::Writer w = qx::Writer::over(buf, size);
//     w.byte(0x8C);
//     w.bytes(data, n);
//     if (!w.ok()) { release buf; fail }
//     length = w.written();
#ifndef QX_WRITER_H
#define QX_WRITER_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qx {

struct Writer {
    uint8_t *begin = nullptr;
    uint8_t *p = nullptr;
    uint8_t *end = nullptr;
    bool overflow = false;

    // A writer over `size` bytes at buf (none when buf is null).
    static Writer over(void *buf, size_t size) {
        auto *b = static_cast<uint8_t *>(buf);
        return Writer{b, b, b ? b + size : b, false};
    }

    size_t left() const { return static_cast<size_t>(end - p); }
    size_t written() const { return static_cast<size_t>(p - begin); }
    bool ok() const { return !overflow; }

    // Makes room for n bytes; false (and overflow from now on) when they do
    // not fit.
    bool fits(size_t n) {
        if (overflow || n > left()) {
            overflow = true;
            return false;
        }
        return true;
    }
    // Marks the write as failed: a piece came out another size than counted.
    void fail() { overflow = true; }
    void byte(uint8_t b) {
        if (fits(1)) *p++ = b;
    }
    void bytes(const void *src, size_t n) {
        if (n == 0 || !fits(n)) return;
        std::memcpy(p, src, n);
        p += n;
    }
    // The characters of a text, without its zero byte (null writes nothing).
    void str(const char *s) {
        if (s) bytes(s, std::strlen(s));
    }
    // printf-style text, without a zero byte; one that does not fit whole
    // (with room for one byte more) overflows and counts as not written.
    void format(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (overflow) return;
        va_list ap;
        va_start(ap, fmt);
        // vsnprintf ends what it writes with a zero byte: it may use the byte
        // after the text, which must be inside the buffer too.
        const int n = std::vsnprintf(reinterpret_cast<char *>(p), left(), fmt, ap);
        va_end(ap);
        if (n < 0 || static_cast<size_t>(n) >= left()) {
            overflow = true;
            return;
        }
        p += n;
    }
};

}  // namespace qx

#endif
