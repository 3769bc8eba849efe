// GLib osal: tying a socket to a network interface (the modem's bearer)
// before it connects or sends: SO_BINDTODEVICE, or where the kernel refuses
// it, the interface's own address.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "osal_glib_internal.h"

namespace osal_glib {

namespace {

// The interface whose fallback was told last: the log says it once, not per socket.
char g_toldFallback[IF_NAMESIZE];

// OSAL_NO_BINDTODEVICE=1 takes the fallback without asking the kernel: for
// trying it on a kernel that would allow the bind, and for kernels that
// accept the option but route wrongly with it.
bool device_bind_disabled() {
    const char *v = std::getenv("OSAL_NO_BINDTODEVICE");
    return v && *v && std::strcmp(v, "0") != 0;
}

bool numeric(const char *text, int family, sockaddr_storage *out, socklen_t *len) {
    std::memset(out, 0, sizeof *out);
    if (family == AF_INET) {
        auto *sin = reinterpret_cast<sockaddr_in *>(out);
        if (inet_pton(AF_INET, text, &sin->sin_addr) != 1) return false;
        sin->sin_family = AF_INET;
        *len = sizeof *sin;
        return true;
    }
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(out);
    if (inet_pton(AF_INET6, text, &sin6->sin6_addr) != 1) return false;
    sin6->sin6_family = AF_INET6;
    *len = sizeof *sin6;
    return true;
}

// The interface's own address of the family: for IPv6 a global one before a
// link-local one (which would need the scope the device bind could not give).
bool interface_address(const char *ifname, int family, sockaddr_storage *out, socklen_t *len) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (int pass = 0; pass < 2 && !found; ++pass)
        for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != family || std::strcmp(i->ifa_name, ifname) != 0) continue;
            if (family == AF_INET6) {
                const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr);
                if (pass == 0 && IN6_IS_ADDR_LINKLOCAL(&sin6->sin6_addr)) continue;
                std::memset(out, 0, sizeof *out);
                std::memcpy(out, sin6, sizeof *sin6);
                reinterpret_cast<sockaddr_in6 *>(out)->sin6_port = 0;
                *len = sizeof(sockaddr_in6);
            } else {
                std::memset(out, 0, sizeof *out);
                std::memcpy(out, i->ifa_addr, sizeof(sockaddr_in));
                reinterpret_cast<sockaddr_in *>(out)->sin_port = 0;
                *len = sizeof(sockaddr_in);
            }
            found = true;
        }
    freeifaddrs(list);
    return found;
}

void tell_fallback(const char *ifname, int why, const sockaddr_storage &addr) {
    if (std::strncmp(g_toldFallback, ifname, sizeof g_toldFallback) == 0) return;
    g_strlcpy(g_toldFallback, ifname, sizeof g_toldFallback);
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&addr)->sin_addr, text, sizeof text);
    else
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_addr, text, sizeof text);
    g_log("rorodire", G_LOG_LEVEL_MESSAGE,
          "cannot bind sockets to interface %s (SO_BINDTODEVICE: %s); binding its address %s instead",
          ifname, why ? g_strerror(why) : "turned off by OSAL_NO_BINDTODEVICE", text);
}

}  // namespace

bool bind_spec_set(BindSpec &b, const char *ifname, const char *source) {
    b = BindSpec{};
    if (ifname && *ifname) {
        if (std::strlen(ifname) >= sizeof b.ifname) return false;
        g_strlcpy(b.ifname, ifname, sizeof b.ifname);
    }
    if (source && *source) {
        if (std::strlen(source) >= sizeof b.source) return false;
        g_strlcpy(b.source, source, sizeof b.source);
    }
    return true;
}

int bind_socket(int fd, int family, const BindSpec &b) {
    sockaddr_storage addr;
    socklen_t len = 0;
    const bool haveSource = b.source[0] && numeric(b.source, family, &addr, &len);
    if (b.ifname[0]) {
        int why = 0;
        if (!device_bind_disabled()) {
            if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, b.ifname, static_cast<socklen_t>(std::strlen(b.ifname) + 1)) == 0) {
                if (haveSource && bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) return errno;
                return 0;
            }
            why = errno;
            if (why == ENODEV) return ENODEV;  // no such interface: nothing to fall back on
        }
        if (!haveSource && !interface_address(b.ifname, family, &addr, &len)) return OSAL_ERR_BIND;
        if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) return errno;
        tell_fallback(b.ifname, why, addr);
        return 0;
    }
    if (haveSource && bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) return errno;
    return 0;
}

}  // namespace osal_glib
