// A strict JSON checker for the fuzz targets that look at the tool's log and
// output lines: one value, nothing after it, strings without raw control
// bytes and with valid UTF-8 and escapes.
#ifndef FUZZ_JSON_CHECK_H
#define FUZZ_JSON_CHECK_H

#include <cstring>
#include <string_view>

namespace fuzzjson {

class Checker {
public:
    explicit Checker(std::string_view s) : s_(s) {}
    bool document() {
        ws();
        if (!value(0)) return false;
        ws();
        return i_ == s_.size();
    }

private:
    bool value(int depth) {
        if (depth > 64 || i_ >= s_.size()) return false;
        switch (s_[i_]) {
            case '{': return container(depth, '}', true);
            case '[': return container(depth, ']', false);
            case '"': return string();
            case 't': return word("true");
            case 'f': return word("false");
            case 'n': return word("null");
            default: return number();
        }
    }
    bool container(int depth, char close, bool object) {
        ++i_;
        ws();
        if (peek(close)) return ++i_, true;
        for (;;) {
            ws();
            if (object) {
                if (!peek('"') || !string()) return false;
                ws();
                if (!peek(':')) return false;
                ++i_;
                ws();
            }
            if (!value(depth + 1)) return false;
            ws();
            if (peek(close)) return ++i_, true;
            if (!peek(',')) return false;
            ++i_;
        }
    }
    bool string() {
        ++i_;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') return ++i_, true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++i_ >= s_.size()) return false;
                const char e = s_[i_];
                if (e == 'u') {
                    for (int k = 1; k <= 4; ++k)
                        if (i_ + k >= s_.size() || !std::strchr("0123456789abcdefABCDEF", s_[i_ + k]) || !s_[i_ + k])
                            return false;
                    i_ += 5;
                } else if (e && std::strchr("\"\\/bfnrt", e)) {
                    ++i_;
                } else {
                    return false;
                }
                continue;
            }
            if (c < 0x80) {
                ++i_;
                continue;
            }
            const int n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            if (!n || i_ + n > s_.size()) return false;
            for (int k = 1; k < n; ++k)
                if ((static_cast<unsigned char>(s_[i_ + k]) & 0xC0) != 0x80) return false;
            i_ += n;
        }
        return false;
    }
    bool number() {
        const size_t start = i_;
        if (peek('-')) ++i_;
        size_t digits = 0;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_, ++digits;
        if (!digits) return false;
        if (peek('.')) {
            ++i_;
            size_t frac = 0;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_, ++frac;
            if (!frac) return false;
        }
        return i_ > start;
    }
    bool word(const char *w) {
        const size_t n = std::strlen(w);
        if (s_.substr(i_, n) != w) return false;
        i_ += n;
        return true;
    }
    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }

    std::string_view s_;
    size_t i_ = 0;
};

inline bool valid(std::string_view s) { return Checker(s).document(); }

}  // namespace fuzzjson

#endif
