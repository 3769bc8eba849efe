// How addresses come back from the decoders, for the round-trip fuzz targets.
#ifndef FUZZ_ADDRESSES_H
#define FUZZ_ADDRESSES_H

#include <string>

namespace fuzz_addr {

// An address as read back: a phone number (no "@") loses everything from
// its first "/" (its type).
inline std::string address(std::string a) {
    if (a.find('@') == std::string::npos) a = a.substr(0, a.find('/'));
    return a;
}

// A ";"-separated list as read back: entries without their surrounding
// spaces (a phone number without any), each as an address, empty ones left
// out; no entry at all gives an empty text.
inline std::string address_list(const std::string &list) {
    std::string out;
    size_t from = 0;
    for (;;) {
        const size_t semi = list.find(';', from);
        std::string e = list.substr(from, semi == std::string::npos ? std::string::npos : semi - from);
        const size_t b = e.find_first_not_of(' ');
        e = b == std::string::npos ? std::string() : e.substr(b, e.find_last_not_of(' ') - b + 1);
        if (e.find('@') == std::string::npos) {
            std::string kept;
            for (char c : e)
                if (c != ' ') kept.push_back(c);
            e = kept;
        }
        e = address(e);
        if (!e.empty()) out += (out.empty() ? "" : ";") + e;
        if (semi == std::string::npos) break;
        from = semi + 1;
    }
    return out;
}

}  // namespace fuzz_addr

#endif
