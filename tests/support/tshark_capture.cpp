#include "tshark_capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace rrtest {

namespace {

void put_le32(std::string &o, uint32_t v) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<char>(v >> (8 * i)));
}
void put_le16(std::string &o, uint16_t v) {
    o.push_back(static_cast<char>(v));
    o.push_back(static_cast<char>(v >> 8));
}
void put_be32(std::string &o, uint32_t v) {
    for (int i = 3; i >= 0; --i) o.push_back(static_cast<char>(v >> (8 * i)));
}
void put_be16(std::string &o, uint16_t v) {
    o.push_back(static_cast<char>(v >> 8));
    o.push_back(static_cast<char>(v));
}

// One Ethernet/IPv4/TCP frame between two loopback addresses.
std::string frame(uint16_t sport, uint32_t seq, const std::string &payload) {
    std::string f("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\x08\x00", 14);
    f += '\x45';
    f += '\x00';
    put_be16(f, static_cast<uint16_t>(20 + 20 + payload.size()));
    put_be32(f, 0);
    f += '\x40';
    f += '\x06';
    put_be16(f, 0);
    f += std::string("\x7f\x00\x00\x01\x7f\x00\x00\x02", 8);
    put_be16(f, sport);
    put_be16(f, 80);
    put_be32(f, seq);
    put_be32(f, 0);
    f += '\x50';
    f += '\x18';
    put_be16(f, 65535);
    put_be32(f, 0);
    return f + payload;
}

std::string unescape(const std::string &s) {
    std::string o;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            o += s[i];
            continue;
        }
        const size_t end = s.find(';', i);
        if (end == std::string::npos) {
            o += s[i];
            continue;
        }
        const std::string ent = s.substr(i + 1, end - i - 1);
        if (ent == "lt") o += '<';
        else if (ent == "gt") o += '>';
        else if (ent == "amp") o += '&';
        else if (ent == "quot") o += '"';
        else if (ent == "apos") o += '\'';
        else if (!ent.empty() && ent[0] == '#') {
            const long cp = ent.size() > 1 && ent[1] == 'x' ? std::strtol(ent.c_str() + 2, nullptr, 16)
                                                            : std::strtol(ent.c_str() + 1, nullptr, 10);
            if (cp < 0x80) {
                o += static_cast<char>(cp);
            } else if (cp < 0x800) {
                o += static_cast<char>(0xC0 | (cp >> 6));
                o += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                o += static_cast<char>(0xE0 | (cp >> 12));
                o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                o += static_cast<char>(0x80 | (cp & 0x3F));
            }
        } else {
            o += s.substr(i, end - i + 1);
        }
        i = end;
    }
    return o;
}

std::string attr(const std::string &tag, const char *name) {
    const std::string key = std::string(" ") + name + "=\"";
    const size_t at = tag.find(key);
    if (at == std::string::npos) return {};
    const size_t start = at + key.size();
    return unescape(tag.substr(start, tag.find('"', start) - start));
}

// Splits PDML into packets and keeps, per packet, the fields from the MMSE
// layer on with their nesting; the TCP source port names the PDU.
void parse_pdml(const std::string &xml, std::vector<PdmlPacket> &out) {
    size_t pos = 0;
    while ((pos = xml.find("<packet>", pos)) != std::string::npos) {
        const size_t end = std::min(xml.find("</packet>", pos), xml.size());
        const size_t port = xml.find("name=\"tcp.srcport\"", pos);
        const size_t mmse = xml.find("<proto name=\"mmse\"", pos);
        if (port < end && mmse < end) {
            const long sport = std::strtol(attr(xml.substr(port - 1, xml.find('>', port) - port + 1), "show").c_str(),
                                           nullptr, 10);
            const long index = sport - 40001;
            if (index >= 0 && static_cast<size_t>(index) < out.size()) {
                PdmlPacket p;
                std::vector<int> stack;
                size_t at = mmse;
                while ((at = xml.find('<', at + 1)) < end) {
                    if (xml.compare(at, 8, "</field>") == 0) {
                        if (!stack.empty()) stack.pop_back();
                        continue;
                    }
                    if (xml.compare(at, 7, "<proto ") == 0) {
                        // A dissector's layer, as a field named "proto:NAME".
                        const std::string tag = xml.substr(at, xml.find('>', at) - at);
                        p.push_back({"proto:" + attr(tag, "name"), {}, {}, {}, stack.empty() ? -1 : stack.back()});
                        continue;
                    }
                    if (xml.compare(at, 7, "<field ") != 0) continue;
                    const size_t close = xml.find('>', at);
                    const std::string tag = xml.substr(at, close - at);
                    PdmlField f{attr(tag, "name"), attr(tag, "show"), attr(tag, "showname"), attr(tag, "value"),
                                stack.empty() ? -1 : stack.back()};
                    p.push_back(std::move(f));
                    if (tag.empty() || tag.back() != '/') stack.push_back(static_cast<int>(p.size()) - 1);
                }
                out[static_cast<size_t>(index)] = std::move(p);
            }
        }
        pos = end;
    }
}

}  // namespace

bool tshark_available() {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string cand = dirs.substr(start, end - start) + "/tshark";
        if (access(cand.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool write_pcap(const std::string &path, const std::vector<Bytes> &pdus) {
    std::string out;
    put_le32(out, 0xa1b2c3d4);
    put_le16(out, 2);
    put_le16(out, 4);
    put_le32(out, 0);
    put_le32(out, 0);
    put_le32(out, 262144);
    put_le32(out, 1);
    uint32_t index = 0;
    uint16_t sport = 40000;
    for (const Bytes &pdu : pdus) {
        ++sport;
        std::string data = "POST /mms HTTP/1.1\r\nHost: mmsc\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                           "Content-Length: " + std::to_string(pdu.size()) + "\r\n\r\n";
        data.append(pdu.begin(), pdu.end());
        uint32_t seq = 1;
        for (size_t i = 0; i < data.size(); i += 1400) {
            const std::string f = frame(sport, seq, data.substr(i, 1400));
            seq += static_cast<uint32_t>(std::min<size_t>(1400, data.size() - i));
            put_le32(out, index++);
            put_le32(out, 0);
            put_le32(out, static_cast<uint32_t>(f.size()));
            put_le32(out, static_cast<uint32_t>(f.size()));
            out += f;
        }
    }
    std::ofstream file(path, std::ios::binary);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
}

std::vector<PdmlPacket> tshark_decode(const std::vector<Bytes> &pdus, bool *ok, const std::string &options) {
    std::vector<PdmlPacket> packets(pdus.size());
    *ok = false;
    const char *tmp = std::getenv("TMPDIR");
    const std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/rr_tshark_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    const char *dir = mkdtemp(buf.data());
    if (!dir) return packets;
    const std::string d = dir;
    const std::string pcap = d + "/pdus.pcap";
    const std::string pdml = d + "/pdus.pdml";
    if (write_pcap(pcap, pdus)) {
        // UTC so absolute times read the same everywhere.
        const std::string cmd = "TZ=UTC tshark -n " + options + " -r '" + pcap + "' -T pdml > '" + pdml + "' 2>/dev/null";
        *ok = std::system(cmd.c_str()) == 0;
        std::ifstream in(pdml, std::ios::binary);
        const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        parse_pdml(xml, packets);
    }
    std::remove(pcap.c_str());
    std::remove(pdml.c_str());
    rmdir(d.c_str());
    return packets;
}

}  // namespace rrtest
