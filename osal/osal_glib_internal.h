// Internals shared by the files of the GLib osal (not exported).
#ifndef OSAL_GLIB_INTERNAL_H
#define OSAL_GLIB_INTERNAL_H

#include <gio/gio.h>
#include <glib.h>
#include <sys/socket.h>

#include <cstdint>

#include "osal.h"

namespace osal_glib {

// The addresses a name gave, ready for connect(2), tried in this order.
constexpr int kMaxAddrs = 8;
struct AddrList {
    int count;
    struct sockaddr_storage addr[kMaxAddrs];
    socklen_t len[kMaxAddrs];
};

// Appends the IPv4 and IPv6 addresses of a resolver result (port 0).
void addrs_from_list(AddrList &out, GList *inetAddresses);
// A numeric IPv4 or IPv6 address text; false when host is not one.
bool addrs_from_numeric(AddrList &out, const char *host);
// Stores the port (network byte order) into every address.
void addrs_set_port(AddrList &list, uint16_t portNetworkOrder);

// The live address record at p (by identity, p is never dereferenced), or null.
const osal_addr_rec *addr_find_live(const void *p);
// The addresses of a ready record; false when it is not ready.
bool addr_take(const osal_addr_rec *rec, AddrList &out, int *error);

// What a readiness wait on a socket can watch: its system socket once
// connected (fd >= 0), or whether a connect is under way. False for an
// unknown socket.
bool sock_watch_target(OSAL_SOCKET sock, int *fd, bool *connecting);
// The socket's connect ended or the socket is going: every wait on it fires
// on the next dispatch and no longer watches its descriptor.
void watches_wake(OSAL_SOCKET sock);

}  // namespace osal_glib

#endif
