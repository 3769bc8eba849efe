// GLib osal: host names through given DNS servers (the modem bearer's),
// with c-ares driven by the main loop: its sockets are watched by fd
// sources and its deadlines by one timeout source, so nothing blocks. The
// queries' sockets are made here (c-ares' socket functions), which ties them
// to the bearer's interface and lets every UDP answer be looked at before
// c-ares reads it: an answer whose id or question matches no query sent is
// counted as forged, and a truncated one is remembered, so a lookup that
// fails can name its cause.
#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <glib-unix.h>
#include <netinet/in.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "osal_glib_internal.h"

namespace osal_glib {

namespace {

constexpr int kDefaultTimeoutMs = 3000;
constexpr int kMaxFds = 8;       // c-ares keeps one UDP and at most one TCP socket per server
constexpr int kMaxSent = 16;     // UDP queries remembered for matching answers
constexpr int kQuestionMax = 260;

struct WatchedFd {
    int fd;
    bool udp;
    GSource *src;  // our reference; null when c-ares does not want the fd watched
};

struct SentQuery {
    int fd;
    unsigned char bytes[kQuestionMax];  // id, flags, counts and the question
    int len;
};

struct Query {
    DnsLookup *lookup;
    int family;
};

bool g_aresUp = false;

void *ares_alloc(size_t n) { return g_try_malloc(n); }
void *ares_grow(void *p, size_t n) { return g_try_realloc(p, n); }
void ares_release(void *p) { g_free(p); }

bool ares_up() {
    if (g_aresUp) return true;
    // c-ares takes its memory from GLib's allocator, as the rest of osal does.
    g_aresUp = ares_library_init_mem(ARES_LIB_INIT_ALL, ares_alloc, ares_release, ares_grow) == ARES_SUCCESS;
    return g_aresUp;
}

}  // namespace

struct DnsLookup {
    ares_channel ch;
    bool channelUp;
    DnsDone done;
    void *user;
    BindSpec bind;
    GMainContext *ctx;
    Query q6, q4;
    int pending;  // queries without an answer
    AddrList v6, v4;
    int err6, err4;
    GSource *timer;   // c-ares' next deadline
    GSource *finish;  // delivers the outcome from the main loop
    bool destroying;
    WatchedFd fds[kMaxFds];
    SentQuery sent[kMaxSent];
    int sentNext;
    int forged;     // UDP answers that matched no query
    bool truncated; // a UDP answer had the TC bit
    bool refused;   // a server answered SERVFAIL, NOTIMP or REFUSED (c-ares then only tries the next)
    int bindError;  // the last socket that could not be tied to the interface
};

namespace {

WatchedFd *watched(DnsLookup *l, int fd, bool add) {
    for (WatchedFd &w : l->fds)
        if (w.fd == fd) return &w;
    if (!add) return nullptr;
    for (WatchedFd &w : l->fds)
        if (w.fd < 0) {
            w = WatchedFd{fd, false, nullptr};
            return &w;
        }
    return nullptr;
}

void drop_source(GSource **s) {
    if (!*s) return;
    g_source_destroy(*s);
    g_source_unref(*s);
    *s = nullptr;
}

void rearm(DnsLookup *l);

gboolean on_fd(gint fd, GIOCondition cond, gpointer data) {
    auto *l = static_cast<DnsLookup *>(data);
    const ares_socket_t rd = (cond & (G_IO_IN | G_IO_HUP | G_IO_ERR)) ? fd : ARES_SOCKET_BAD;
    const ares_socket_t wr = (cond & G_IO_OUT) ? fd : ARES_SOCKET_BAD;
    ares_process_fd(l->ch, rd, wr);
    rearm(l);
    return G_SOURCE_CONTINUE;
}

gboolean on_timer(gpointer data) {
    auto *l = static_cast<DnsLookup *>(data);
    drop_source(&l->timer);  // the main loop keeps it alive until we return
    ares_process_fd(l->ch, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    rearm(l);
    return G_SOURCE_REMOVE;
}

// c-ares' next deadline as one timeout source.
void rearm(DnsLookup *l) {
    drop_source(&l->timer);
    if (l->pending == 0 || l->destroying) return;
    timeval tv{};
    if (!ares_timeout(l->ch, nullptr, &tv)) return;
    const guint ms = static_cast<guint>(tv.tv_sec * 1000 + tv.tv_usec / 1000) + 1;
    l->timer = g_timeout_source_new(ms);
    g_source_set_callback(l->timer, on_timer, l, nullptr);
    g_source_attach(l->timer, l->ctx);
}

void on_sock_state(void *data, ares_socket_t fd, int readable, int writable) {
    auto *l = static_cast<DnsLookup *>(data);
    WatchedFd *w = watched(l, fd, readable || writable);
    if (!w) return;
    drop_source(&w->src);
    if (!readable && !writable) return;
    const int cond = (readable ? G_IO_IN : 0) | (writable ? G_IO_OUT : 0);
    w->src = g_unix_fd_source_new(fd, static_cast<GIOCondition>(cond));
    g_source_set_callback(w->src, G_SOURCE_FUNC(on_fd), l, nullptr);
    g_source_attach(w->src, l->ctx);
}

// ------------------------------------------------------------ the queries' sockets

ares_socket_t sock_open(int family, int type, int protocol, void *data) {
    auto *l = static_cast<DnsLookup *>(data);
    const int fd = socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
    if (fd < 0) return ARES_SOCKET_BAD;
    if (const int e = bind_socket(fd, family, l->bind)) {
        l->bindError = e;
        close(fd);
        errno = e < OSAL_ERR_BASE ? e : EADDRNOTAVAIL;
        return ARES_SOCKET_BAD;
    }
    if (WatchedFd *w = watched(l, fd, true)) w->udp = type == SOCK_DGRAM;
    return fd;
}

int sock_close(ares_socket_t fd, void *data) {
    auto *l = static_cast<DnsLookup *>(data);
    if (WatchedFd *w = watched(l, fd, false)) {
        drop_source(&w->src);
        w->fd = -1;
    }
    for (SentQuery &s : l->sent)
        if (s.fd == fd) s.fd = -1;
    return close(fd);
}

int sock_connect(ares_socket_t fd, const sockaddr *sa, ares_socklen_t len, void *) { return connect(fd, sa, len); }

bool is_udp(DnsLookup *l, int fd) {
    const WatchedFd *w = watched(l, fd, false);
    return w && w->udp;
}

// The header and question of a query or answer: the 12 header bytes and the
// question's name, type and class. Returns its length, 0 when it is cut short.
int question_end(const unsigned char *p, int len) {
    int i = 12;
    if (len < i) return 0;
    while (i < len && i < kQuestionMax - 4) {
        const int n = p[i];
        if (n == 0) return i + 5 <= len ? i + 5 : 0;
        if (n > 63) return 0;
        i += n + 1;
    }
    return 0;
}

bool same_question(const SentQuery &s, const unsigned char *p, int len) {
    if (s.len < 12 || len < s.len || p[0] != s.bytes[0] || p[1] != s.bytes[1]) return false;
    // Names compare without regard to letter case (0x20 bits of labels).
    for (int i = 12; i < s.len; ++i)
        if (g_ascii_tolower(p[i]) != g_ascii_tolower(s.bytes[i])) return false;
    return true;
}

ares_ssize_t sock_recvfrom(ares_socket_t fd, void *buf, size_t cap, int flags, sockaddr *from, ares_socklen_t *fromLen,
                           void *data) {
    auto *l = static_cast<DnsLookup *>(data);
    const ssize_t n = from ? recvfrom(fd, buf, cap, flags, from, fromLen) : recv(fd, buf, cap, flags);
    if (n <= 0 || !is_udp(l, fd)) return n;
    const auto *p = static_cast<const unsigned char *>(buf);
    const int len = static_cast<int>(n);
    bool matched = false;
    for (const SentQuery &s : l->sent)
        if (s.fd == fd && same_question(s, p, len)) matched = true;
    if (!matched) {
        ++l->forged;
    } else {
        if (len > 2 && (p[2] & 0x02)) l->truncated = true;
        const int rcode = len > 3 ? p[3] & 0x0F : 0;
        if (rcode == 2 || rcode == 4 || rcode == 5) l->refused = true;
    }
    return n;
}

ares_ssize_t sock_sendv(ares_socket_t fd, const iovec *vec, int count, void *data) {
    auto *l = static_cast<DnsLookup *>(data);
    if (is_udp(l, fd) && count >= 1) {
        // A UDP query goes out in one piece: remember its header and question.
        SentQuery &s = l->sent[l->sentNext];
        l->sentNext = (l->sentNext + 1) % kMaxSent;
        const auto *p = static_cast<const unsigned char *>(vec[0].iov_base);
        const int len = static_cast<int>(vec[0].iov_len);
        const int q = question_end(p, len);
        s.fd = q > 0 ? fd : -1;
        s.len = q;
        if (q > 0) std::memcpy(s.bytes, p, static_cast<size_t>(q));
    }
    return writev(fd, vec, count);
}

const ares_socket_functions kSocketFunctions = {sock_open, sock_close, sock_connect, sock_recvfrom, sock_sendv};

// ------------------------------------------------------------ outcomes

int error_of_status(DnsLookup *l, int status) {
    switch (status) {
        case ARES_ENOTFOUND: return OSAL_ERR_DNS_NXDOMAIN;
        case ARES_ENODATA: return OSAL_ERR_DNS_NO_DATA;
        case ARES_ESERVFAIL:
        case ARES_EREFUSED:
        case ARES_ENOTIMP:
        case ARES_EFORMERR: return OSAL_ERR_DNS_SERVER;
        case ARES_EBADRESP: return OSAL_ERR_DNS_BAD_ANSWER;
        case ARES_ENOMEM: return ENOMEM;
        case ARES_EBADNAME: return OSAL_ERR_BAD_ARGUMENT;  // not a name a query can carry
        default: break;  // time-out, refused connection, no server reachable
    }
    if (l->truncated) return OSAL_ERR_DNS_TRUNCATED;
    if (l->refused) return OSAL_ERR_DNS_SERVER;
    if (l->forged > 0) return OSAL_ERR_DNS_FORGED;
    if (l->bindError) return l->bindError;
    return OSAL_ERR_DNS_NO_ANSWER;
}

// Which of two failures says more about why the name gave no address.
int rank(int e) {
    switch (e) {
        case OSAL_ERR_DNS_NXDOMAIN: return 9;
        case OSAL_ERR_DNS_TRUNCATED: return 8;
        case OSAL_ERR_DNS_FORGED: return 7;
        case OSAL_ERR_DNS_BAD_ANSWER: return 6;
        case OSAL_ERR_DNS_SERVER: return 5;
        case OSAL_ERR_DNS_NO_ANSWER: return 3;
        case OSAL_ERR_DNS_NO_DATA: return 1;
        default: return 4;
    }
}

gboolean on_finish(gpointer data) {
    auto *l = static_cast<DnsLookup *>(data);
    drop_source(&l->finish);
    AddrList out{};
    for (int i = 0; i < l->v6.count && out.count < kMaxAddrs; ++i, ++out.count) {
        out.addr[out.count] = l->v6.addr[i];
        out.len[out.count] = l->v6.len[i];
    }
    for (int i = 0; i < l->v4.count && out.count < kMaxAddrs; ++i, ++out.count) {
        out.addr[out.count] = l->v4.addr[i];
        out.len[out.count] = l->v4.len[i];
    }
    const int error = out.count > 0 ? 0 : rank(l->err6) >= rank(l->err4) ? l->err6 : l->err4;
    const DnsDone done = l->done;
    void *user = l->user;
    l->done = nullptr;
    dns_cancel(l);  // nothing is pending: only releases
    done(user, out, error);
    return G_SOURCE_REMOVE;
}

void on_answer(void *arg, int status, int, unsigned char *abuf, int alen) {
    auto *q = static_cast<Query *>(arg);
    DnsLookup *l = q->lookup;
    if (l->destroying) return;
    AddrList &list = q->family == AF_INET6 ? l->v6 : l->v4;
    int &err = q->family == AF_INET6 ? l->err6 : l->err4;
    list.count = 0;
    err = status == ARES_SUCCESS ? dns_read_answer(abuf, alen, q->family, list) : error_of_status(l, status);
    if (--l->pending > 0) return;
    // Delivered from the main loop: never from inside dns_start or c-ares.
    l->finish = g_idle_source_new();
    g_source_set_callback(l->finish, on_finish, l, nullptr);
    g_source_attach(l->finish, l->ctx);
}

}  // namespace

int dns_read_answer(const unsigned char *buf, int len, int family, AddrList &out) {
    if (!buf || len < 12) return OSAL_ERR_DNS_BAD_ANSWER;
    if (!(buf[2] & 0x80)) return OSAL_ERR_DNS_BAD_ANSWER;  // not an answer
    if (buf[2] & 0x02) return OSAL_ERR_DNS_TRUNCATED;
    switch (buf[3] & 0x0F) {
        case 0: break;
        case 3: return OSAL_ERR_DNS_NXDOMAIN;
        default: return OSAL_ERR_DNS_SERVER;
    }
    ares_addrttl a4[kMaxAddrs];
    ares_addr6ttl a6[kMaxAddrs];
    int n = kMaxAddrs;
    const int st = family == AF_INET6 ? ares_parse_aaaa_reply(buf, len, nullptr, a6, &n)
                                      : ares_parse_a_reply(buf, len, nullptr, a4, &n);
    if (st == ARES_ENODATA || (st == ARES_SUCCESS && n <= 0)) return OSAL_ERR_DNS_NO_DATA;
    if (st != ARES_SUCCESS) return st == ARES_ENOMEM ? ENOMEM : OSAL_ERR_DNS_BAD_ANSWER;
    for (int i = 0; i < n && out.count < kMaxAddrs; ++i) {
        const int k = out.count++;
        std::memset(&out.addr[k], 0, sizeof out.addr[k]);
        if (family == AF_INET6) {
            auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&out.addr[k]);
            sin6->sin6_family = AF_INET6;
            std::memcpy(&sin6->sin6_addr, &a6[i].ip6addr, sizeof sin6->sin6_addr);
            out.len[k] = sizeof *sin6;
        } else {
            auto *sin = reinterpret_cast<sockaddr_in *>(&out.addr[k]);
            sin->sin_family = AF_INET;
            sin->sin_addr = a4[i].ipaddr;
            out.len[k] = sizeof *sin;
        }
    }
    return 0;
}

DnsLookup *dns_start(const char *host, const char *servers, const char *ifname, int timeoutMs, DnsDone done, void *user,
                     int *error) {
    *error = 0;
    if (!host || !*host || !servers || !*servers || !done) {
        *error = OSAL_ERR_BAD_ARGUMENT;
        return nullptr;
    }
    if (!ares_up()) {
        *error = ENOMEM;
        return nullptr;
    }
    auto *l = g_new0(DnsLookup, 1);
    for (WatchedFd &w : l->fds) w.fd = -1;
    for (SentQuery &s : l->sent) s.fd = -1;
    if (!bind_spec_set(l->bind, ifname, nullptr)) {
        g_free(l);
        *error = OSAL_ERR_BAD_ARGUMENT;
        return nullptr;
    }
    ares_options o{};
    // Exactly the servers given, in their order, each asked once; no search
    // domains, no hosts file, nothing from the system's resolver settings.
    o.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES;
    o.timeout = timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs;
    o.tries = 1;
    o.ndots = 1;
    o.sock_state_cb = on_sock_state;
    o.sock_state_cb_data = l;
    char lookups[] = "b";
    o.lookups = lookups;
    o.nservers = 0;
    o.servers = nullptr;
    o.ndomains = 0;
    o.domains = nullptr;
    const int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_NDOTS | ARES_OPT_SOCK_STATE_CB |
                     ARES_OPT_LOOKUPS | ARES_OPT_SERVERS | ARES_OPT_DOMAINS | ARES_OPT_NOROTATE;
    if (ares_init_options(&l->ch, &o, mask) != ARES_SUCCESS) {
        g_free(l);
        *error = ENOMEM;
        return nullptr;
    }
    l->channelUp = true;
    if (ares_set_servers_ports_csv(l->ch, servers) != ARES_SUCCESS) {
        ares_destroy(l->ch);
        g_free(l);
        *error = OSAL_ERR_DNS_BAD_SERVERS;
        return nullptr;
    }
    ares_set_socket_functions(l->ch, &kSocketFunctions, l);
    l->done = done;
    l->user = user;
    l->ctx = g_main_context_ref_thread_default();
    l->q6 = Query{l, AF_INET6};
    l->q4 = Query{l, AF_INET};
    l->err6 = l->err4 = OSAL_ERR_DNS_NO_ANSWER;
    l->pending = 2;
    ares_query(l->ch, host, ns_c_in, ns_t_aaaa, on_answer, &l->q6);
    ares_query(l->ch, host, ns_c_in, ns_t_a, on_answer, &l->q4);
    rearm(l);
    return l;
}

void dns_cancel(DnsLookup *l) {
    if (!l) return;
    l->destroying = true;
    drop_source(&l->finish);
    drop_source(&l->timer);
    if (l->channelUp) ares_destroy(l->ch);  // closes its sockets through sock_close
    l->channelUp = false;
    for (WatchedFd &w : l->fds) drop_source(&w.src);
    if (l->ctx) g_main_context_unref(l->ctx);
    g_free(l);
}

}  // namespace osal_glib

extern "C" const char *g_sock_strerror(int error) {
    switch (error) {
        case 0: return "no error";
        case OSAL_ERR_BAD_HANDLE: return "unknown or closed socket";
        case OSAL_ERR_BAD_ARGUMENT: return "bad argument";
        case OSAL_ERR_NOT_READY: return "socket service not started";
        case OSAL_ERR_HOST_NOT_FOUND: return "host name not found";
        case OSAL_ERR_ADDR_PENDING: return "address lookup still under way";
        case OSAL_ERR_BAD_STATE: return "socket already connecting or connected";
        case OSAL_ERR_DNS_NO_ANSWER: return "no DNS server answered";
        case OSAL_ERR_DNS_NXDOMAIN: return "the name does not exist (NXDOMAIN)";
        case OSAL_ERR_DNS_NO_DATA: return "the name has no IPv4 or IPv6 address";
        case OSAL_ERR_DNS_TRUNCATED: return "the DNS answer was truncated and not had whole over TCP";
        case OSAL_ERR_DNS_FORGED: return "DNS answers did not match the query (forged or stray)";
        case OSAL_ERR_DNS_SERVER: return "the DNS servers failed or refused the query";
        case OSAL_ERR_DNS_BAD_ANSWER: return "a DNS answer that does not parse";
        case OSAL_ERR_DNS_BAD_SERVERS: return "the DNS server list is not numeric addresses";
        case OSAL_ERR_BIND: return "neither the interface nor its address could be bound";
        default: break;
    }
    return error > 0 && error < OSAL_ERR_BASE ? g_strerror(error) : "unknown error";
}
