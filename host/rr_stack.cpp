// Host and port text through the library's URL reader.
#include "rr_stack.h"

#include "qx_stack_http.h"

namespace rrhost {

bool read_url(const std::string &url, HostPort *out, std::string *why) {
    QXUrl u{};
    const QXUrlFault f = fnQXStack_ReadUrl(url.c_str(), &u);
    if (f != QXUrlFault::None) {
        *why = fnQXStack_UrlFaultText(f);
        return false;
    }
    out->host.assign(u.authority.host, static_cast<size_t>(u.authority.hostLen));
    out->port = u.authority.port;
    return true;
}

AddressFault read_authority(std::string_view text, int defaultPort, HostPort *out, std::string *why) {
    QXAuthority a{};
    const QXUrlFault f = fnQXStack_ReadAuthority(text.data(), static_cast<int>(text.size()), defaultPort, &a);
    if (f != QXUrlFault::None) {
        *why = fnQXStack_UrlFaultText(f);
        return AddressFault::Unreadable;
    }
    out->host.assign(a.host, static_cast<size_t>(a.hostLen));
    out->port = a.port;
    return AddressFault::None;
}

AddressFault read_proxy(std::string_view text, std::string *host, std::string *port, std::string *why) {
    HostPort hp;
    const AddressFault f = read_authority(text, 0, &hp, why);
    if (f != AddressFault::None) return f;
    if (hp.port == 0 || text.find('\0') != std::string_view::npos) {
        *why = "no port (HOST:PORT, [IPv6]:PORT)";
        return AddressFault::NoPort;
    }
    if (!connect_host(hp, host)) {
        *why = "the host is too long";
        return AddressFault::HostTooLong;
    }
    *port = std::to_string(hp.port);
    return AddressFault::None;
}

bool connect_host(const HostPort &hp, std::string *host) {
    char bare[256];
    if (!fnQXStack_ConnectHost(hp.host.data(), static_cast<int>(hp.host.size()), bare, sizeof bare)) return false;
    *host = bare;
    return true;
}

std::string authority_text(const std::string &host, const std::string &port) {
    if (host.empty()) return {};
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + port;
}

std::string authority_text(const std::string &host, int port) { return authority_text(host, std::to_string(port)); }

double send_seconds(size_t bytes) {
    const size_t steps = (bytes + QX_HTTP_CHUNK - 1) / QX_HTTP_CHUNK;
    return static_cast<double>(steps) * HBX_STEP_PERIOD_MS / 1000.0;
}

}  // namespace rrhost
