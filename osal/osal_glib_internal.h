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

// Where a socket's connects (or a lookup's queries) leave: an interface and
// an optional numeric source address; both empty: wherever routing says.
struct BindSpec {
    char ifname[16];  // IF_NAMESIZE
    char source[48];  // INET6_ADDRSTRLEN
};
// False when a name is too long (b is then empty).
bool bind_spec_set(BindSpec &b, const char *ifname, const char *source);
// Applies b to a fresh socket of the family before its connect: 0, or an
// errno value / OSAL_ERR_BIND.
int bind_socket(int fd, int family, const BindSpec &b);

// A lookup through given DNS servers (c-ares on the main loop). `done` is
// called once from the main loop with the addresses (AAAA answers first,
// then A) or the error; never from inside dns_start. dns_cancel stops it
// (done is then never called); not from inside done.
struct DnsLookup;
using DnsDone = void (*)(void *user, const AddrList &addrs, int error);
DnsLookup *dns_start(const char *host, const char *servers, const char *ifname, int timeoutMs, DnsDone done,
                     void *user, int *error);
void dns_cancel(DnsLookup *lookup);

// Reads one DNS answer to a query of `family` (AF_INET: A, AF_INET6: AAAA)
// into out (appending, at most kMaxAddrs): 0, or OSAL_ERR_DNS_* for an
// answer with an error code, no address, the TC bit or bytes that do not
// parse. Bounded by len; any bytes are safe.
int dns_read_answer(const unsigned char *buf, int len, int family, AddrList &out);

}  // namespace osal_glib

#endif
