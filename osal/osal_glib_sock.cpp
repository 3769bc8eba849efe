// GLib osal: non-blocking TCP sockets with the connect completed on the main
// loop. Handles are ids into a table, never reused, so a stale handle finds
// nothing instead of another socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

#include "osal_glib_internal.h"

namespace {

using osal_glib::AddrList;

enum class SockState { Idle, Resolving, Connecting, Connected, Failed };

struct Lookup;

struct SockRec {
    OSAL_SOCKET id;
    int fd;  // -1 until a connect attempt makes the system socket
    SockState state;
    int error;
    OSAL_SOCK_CB cb;
    void *user;
    GMainContext *ctx;  // where the completion is delivered
    GSource *watch;     // writable-watch of a connect in progress (our reference)
    GSource *deadline;  // time-out of the current attempt while more addresses wait (our reference)
    Lookup *lookup;     // name lookup in progress
    AddrList addrs;
    int next;  // next address to try
    osal_glib::BindSpec bind;  // interface / source address each attempt is tied to
};

// A name lookup of a connect; outlives the socket when the socket is closed
// first (the completion then finds no socket and only cleans up).
struct Lookup {
    OSAL_SOCKET id;
    uint16_t portNetworkOrder;
    GCancellable *cancel;
};

// How long one address may take to connect while another is left to try:
// an address that silently drops the connect (a broken IPv6 route, a
// filtered host) must not keep the working ones from being tried.
constexpr guint kAttemptTimeoutMs = 3000;

int g_initCount = 0;
OSAL_SOCKET g_nextId = 1;
GHashTable *g_socks = nullptr;  // id -> SockRec*

SockRec *find(OSAL_SOCKET id) {
    if (id <= 0 || !g_socks) return nullptr;
    return static_cast<SockRec *>(g_hash_table_lookup(g_socks, GSIZE_TO_POINTER(id)));
}

void drop_watch(SockRec *r) {
    if (!r->watch) return;
    g_source_destroy(r->watch);
    g_source_unref(r->watch);
    r->watch = nullptr;
}

void drop_deadline(SockRec *r) {
    if (!r->deadline) return;
    g_source_destroy(r->deadline);
    g_source_unref(r->deadline);
    r->deadline = nullptr;
}

void close_fd(SockRec *r) {
    if (r->fd >= 0) close(r->fd);
    r->fd = -1;
}

// Called last: the callback may close the socket, so r is not touched after.
void deliver(SockRec *r) {
    osal_glib::watches_wake(r->id);
    const OSAL_SOCK_CB cb = r->cb;
    void *user = r->user;
    const OSAL_SOCKET id = r->id;
    if (cb) cb(id, OSAL_SOCK_EVENT_CONNECT, user);
}

gboolean on_writable(gint fd, GIOCondition, gpointer data);
gboolean on_attempt_timeout(gpointer data);

// Starts connect(2) on the next address that takes it. Returns 0 when it
// completed at once, -2 when under way (a watch waits for it), -1 when every
// address failed (r->error holds the last error).
int try_next(SockRec *r) {
    while (r->next < r->addrs.count) {
        const int i = r->next++;
        close_fd(r);
        const auto *sa = reinterpret_cast<const sockaddr *>(&r->addrs.addr[i]);
        r->fd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (r->fd < 0) {
            r->error = errno;
            continue;
        }
        if (const int e = osal_glib::bind_socket(r->fd, sa->sa_family, r->bind)) {
            r->error = e;
            close_fd(r);
            continue;
        }
        const int c = connect(r->fd, sa, r->addrs.len[i]);
        if (c != 0 && errno != EINPROGRESS && errno != EINTR) {
            r->error = errno;
            close_fd(r);
            continue;
        }
        // Completed at once or under way: either way the result is taken
        // from the main loop, so the callback never runs inside the caller.
        r->watch = g_unix_fd_source_new(r->fd, G_IO_OUT);
        g_source_set_callback(r->watch, G_SOURCE_FUNC(on_writable),
                              GSIZE_TO_POINTER(r->id), nullptr);
        g_source_attach(r->watch, r->ctx);
        drop_deadline(r);
        if (c != 0 && r->next < r->addrs.count) {
            r->deadline = g_timeout_source_new(kAttemptTimeoutMs);
            g_source_set_callback(r->deadline, on_attempt_timeout, GSIZE_TO_POINTER(r->id), nullptr);
            g_source_attach(r->deadline, r->ctx);
        }
        return c == 0 ? 0 : -2;
    }
    return -1;
}

// The current address took too long: give it up and go on with the next.
gboolean on_attempt_timeout(gpointer data) {
    SockRec *r = find(static_cast<OSAL_SOCKET>(GPOINTER_TO_SIZE(data)));
    if (!r) return G_SOURCE_REMOVE;
    drop_deadline(r);  // the main loop keeps the source alive until we return
    drop_watch(r);
    close_fd(r);
    r->error = ETIMEDOUT;
    if (try_next(r) != -1) return G_SOURCE_REMOVE;
    r->state = SockState::Failed;
    deliver(r);
    return G_SOURCE_REMOVE;
}

gboolean on_writable(gint fd, GIOCondition, gpointer data) {
    SockRec *r = find(static_cast<OSAL_SOCKET>(GPOINTER_TO_SIZE(data)));
    if (!r || r->fd != fd) return G_SOURCE_REMOVE;
    drop_watch(r);  // the main loop keeps the source alive until we return
    drop_deadline(r);
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) {
        r->state = SockState::Connected;
        r->error = 0;
        deliver(r);
        return G_SOURCE_REMOVE;
    }
    r->error = err;
    if (try_next(r) != -1) return G_SOURCE_REMOVE;  // the next address is being tried
    r->state = SockState::Failed;
    deliver(r);
    return G_SOURCE_REMOVE;
}

void on_resolved(GObject *source, GAsyncResult *res, gpointer data) {
    auto *lk = static_cast<Lookup *>(data);
    GError *gerr = nullptr;
    GList *list = g_resolver_lookup_by_name_finish(G_RESOLVER(source), res, &gerr);
    SockRec *r = find(lk->id);
    const bool current = r && r->lookup == lk;
    if (current) {
        r->lookup = nullptr;
        r->addrs.count = 0;
        osal_glib::addrs_from_list(r->addrs, list);
        osal_glib::addrs_set_port(r->addrs, lk->portNetworkOrder);
    }
    g_resolver_free_addresses(list);
    g_clear_error(&gerr);
    g_object_unref(lk->cancel);
    g_free(lk);
    if (!current) return;  // closed meanwhile

    r->next = 0;
    r->error = OSAL_ERR_HOST_NOT_FOUND;  // kept when there is no address at all
    if (try_next(r) != -1) {
        r->state = SockState::Connecting;
        return;
    }
    r->state = SockState::Failed;
    deliver(r);
}

void release(SockRec *r) {
    osal_glib::watches_wake(r->id);
    g_hash_table_remove(g_socks, GSIZE_TO_POINTER(r->id));
    drop_watch(r);
    drop_deadline(r);
    if (r->lookup) {
        // The completion still comes and finds no socket; it frees the lookup.
        g_cancellable_cancel(r->lookup->cancel);
        r->lookup = nullptr;
    }
    close_fd(r);
    if (r->ctx) g_main_context_unref(r->ctx);
    g_free(r);
}

int fail(SockRec *r, int error) {
    r->error = error;
    return -1;
}

bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

bool osal_glib::sock_watch_target(OSAL_SOCKET sock, int *fd, bool *connecting) {
    const SockRec *r = find(sock);
    if (!r) return false;
    *fd = r->state == SockState::Connected ? r->fd : -1;
    *connecting = r->state == SockState::Resolving || r->state == SockState::Connecting;
    return true;
}

extern "C" {

int g_sock_init(int) {
    if (!g_socks) g_socks = g_hash_table_new(g_direct_hash, g_direct_equal);
    ++g_initCount;
    return 0;
}

void g_sock_finalize(void) {
    if (g_initCount <= 0) return;
    if (--g_initCount > 0) return;
    GList *ids = g_hash_table_get_keys(g_socks);
    for (GList *l = ids; l; l = l->next) {
        SockRec *r = find(static_cast<OSAL_SOCKET>(GPOINTER_TO_SIZE(l->data)));
        if (r) release(r);
    }
    g_list_free(ids);
}

OSAL_SOCKET g_sock_socket(int type, int protocol, int flags) {
    if (g_initCount <= 0 || type != 1 || protocol != 0 || flags != 0) return 0;
    auto *r = g_new0(SockRec, 1);
    r->id = g_nextId++;
    r->fd = -1;
    r->state = SockState::Idle;
    g_hash_table_insert(g_socks, GSIZE_TO_POINTER(r->id), r);
    return r->id;
}

uint16_t g_sock_htons(uint16_t port) { return htons(port); }

int g_sock_connect(OSAL_SOCKET sock, const void *address, uint16_t port, OSAL_SOCK_CB cb, void *user) {
    SockRec *r = find(sock);
    if (!r) return -1;
    if (r->state != SockState::Idle && r->state != SockState::Failed) return fail(r, OSAL_ERR_BAD_STATE);
    if (!address) return fail(r, OSAL_ERR_BAD_ARGUMENT);

    r->addrs.count = 0;
    if (const osal_addr_rec *rec = osal_glib::addr_find_live(address)) {
        int err = 0;
        if (!osal_glib::addr_take(rec, r->addrs, &err)) return fail(r, err);
        osal_glib::addrs_set_port(r->addrs, port);  // records take the port in network order
    } else {
        const char *host = static_cast<const char *>(address);
        if (!*host) return fail(r, OSAL_ERR_BAD_ARGUMENT);
        if (osal_glib::addrs_from_numeric(r->addrs, host)) osal_glib::addrs_set_port(r->addrs, htons(port));
    }

    close_fd(r);
    r->cb = cb;
    r->user = user;
    if (!r->ctx) r->ctx = g_main_context_ref_thread_default();
    r->error = 0;
    r->next = 0;

    if (r->addrs.count == 0) {
        // A host name: look it up first, then connect from the completion.
        auto *lk = g_new0(Lookup, 1);
        lk->id = r->id;
        lk->portNetworkOrder = htons(port);
        lk->cancel = g_cancellable_new();
        r->lookup = lk;
        r->state = SockState::Resolving;
        GResolver *resolver = g_resolver_get_default();
        g_resolver_lookup_by_name_async(resolver, static_cast<const char *>(address), lk->cancel, on_resolved, lk);
        g_object_unref(resolver);
        return -2;
    }
    const int c = try_next(r);
    if (c == -1) {
        r->state = SockState::Failed;
        return -1;
    }
    r->state = SockState::Connecting;
    return c;
}

int g_sock_bind(OSAL_SOCKET sock, const char *ifname, const char *source) {
    SockRec *r = find(sock);
    if (!r) return -1;
    return osal_glib::bind_spec_set(r->bind, ifname, source) ? 0 : fail(r, OSAL_ERR_BAD_ARGUMENT);
}

int g_sock_geterror(OSAL_SOCKET sock) {
    const SockRec *r = find(sock);
    return r ? r->error : OSAL_ERR_BAD_HANDLE;
}

int g_sock_write(OSAL_SOCKET sock, const void *data, int count) {
    SockRec *r = find(sock);
    if (!r) return -1;
    if (count < 0 || (count > 0 && !data)) return fail(r, OSAL_ERR_BAD_ARGUMENT);
    if (r->state == SockState::Resolving || r->state == SockState::Connecting) return -2;
    if (r->state != SockState::Connected) return fail(r, ENOTCONN);
    if (count == 0) return 0;
    for (;;) {
        const ssize_t n = send(r->fd, data, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (would_block(errno)) return -2;
        return fail(r, errno);
    }
}

int g_sock_read(OSAL_SOCKET sock, void *buf, int capacity) {
    SockRec *r = find(sock);
    if (!r) return -1;
    if (!buf || capacity <= 0) return fail(r, OSAL_ERR_BAD_ARGUMENT);
    if (r->state == SockState::Resolving || r->state == SockState::Connecting) return -2;
    if (r->state != SockState::Connected) return fail(r, ENOTCONN);
    for (;;) {
        const ssize_t n = recv(r->fd, buf, static_cast<size_t>(capacity), 0);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (would_block(errno)) return -2;
        return fail(r, errno);
    }
}

int g_sock_close(OSAL_SOCKET sock) {
    SockRec *r = find(sock);
    if (!r) return -1;
    release(r);
    return 0;
}

}  // extern "C"
