// GLib osal: address lists and address records (asynchronous name lookups).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "osal_glib_internal.h"

struct osal_addr_rec {
    int state;  // OSAL_ADDR_READY / _PENDING / _FAILED
    int error;
    GCancellable *cancel;  // set while the lookup runs
    bool abandoned;        // freed by its owner while the lookup ran
    osal_glib::DnsLookup *dns;  // set while a lookup through given servers runs
    osal_glib::AddrList addrs;
};

namespace osal_glib {

namespace {

// Live records, by identity. A record leaves the set when its owner frees it.
GHashTable *g_liveAddrs = nullptr;

GHashTable *live() {
    if (!g_liveAddrs) g_liveAddrs = g_hash_table_new(g_direct_hash, g_direct_equal);
    return g_liveAddrs;
}

void add_inet(AddrList &out, GInetAddress *a) {
    if (out.count >= kMaxAddrs || !a) return;
    const int i = out.count;
    std::memset(&out.addr[i], 0, sizeof out.addr[i]);
    const guint8 *bytes = g_inet_address_to_bytes(a);
    switch (g_inet_address_get_family(a)) {
    case G_SOCKET_FAMILY_IPV4: {
        auto *sin = reinterpret_cast<sockaddr_in *>(&out.addr[i]);
        sin->sin_family = AF_INET;
        std::memcpy(&sin->sin_addr, bytes, sizeof sin->sin_addr);
        out.len[i] = sizeof(sockaddr_in);
        break;
    }
    case G_SOCKET_FAMILY_IPV6: {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&out.addr[i]);
        sin6->sin6_family = AF_INET6;
        std::memcpy(&sin6->sin6_addr, bytes, sizeof sin6->sin6_addr);
        out.len[i] = sizeof(sockaddr_in6);
        break;
    }
    default:
        return;
    }
    out.count = i + 1;
}

void on_resolved(GObject *source, GAsyncResult *res, gpointer user) {
    auto *rec = static_cast<osal_addr_rec *>(user);
    GError *err = nullptr;
    GList *list = g_resolver_lookup_by_name_finish(G_RESOLVER(source), res, &err);
    g_clear_object(&rec->cancel);
    if (rec->abandoned) {
        // The owner let go while we were looking; nobody else knows the record.
        g_resolver_free_addresses(list);
        g_clear_error(&err);
        g_free(rec);
        return;
    }
    addrs_from_list(rec->addrs, list);
    g_resolver_free_addresses(list);
    g_clear_error(&err);
    if (rec->addrs.count > 0) {
        rec->state = OSAL_ADDR_READY;
        rec->error = 0;
    } else {
        rec->state = OSAL_ADDR_FAILED;
        rec->error = OSAL_ERR_HOST_NOT_FOUND;
    }
}

void on_dns_done(void *user, const AddrList &addrs, int error) {
    auto *rec = static_cast<osal_addr_rec *>(user);
    rec->dns = nullptr;
    rec->addrs = addrs;
    rec->state = addrs.count > 0 ? OSAL_ADDR_READY : OSAL_ADDR_FAILED;
    rec->error = addrs.count > 0 ? 0 : (error ? error : OSAL_ERR_HOST_NOT_FOUND);
}

osal_addr_rec *find(OSAL_ADDR a) {
    if (!a || !g_liveAddrs) return nullptr;
    return g_hash_table_contains(g_liveAddrs, a) ? a : nullptr;
}

}  // namespace

void addrs_from_list(AddrList &out, GList *inetAddresses) {
    for (GList *l = inetAddresses; l; l = l->next) add_inet(out, G_INET_ADDRESS(l->data));
}

bool addrs_from_numeric(AddrList &out, const char *host) {
    GInetAddress *a = g_inet_address_new_from_string(host);
    if (!a) return false;
    out.count = 0;
    add_inet(out, a);
    g_object_unref(a);
    return out.count > 0;
}

void addrs_set_port(AddrList &list, uint16_t portNetworkOrder) {
    for (int i = 0; i < list.count; ++i) {
        if (list.addr[i].ss_family == AF_INET)
            reinterpret_cast<sockaddr_in *>(&list.addr[i])->sin_port = portNetworkOrder;
        else
            reinterpret_cast<sockaddr_in6 *>(&list.addr[i])->sin6_port = portNetworkOrder;
    }
}

const osal_addr_rec *addr_find_live(const void *p) {
    if (!p || !g_liveAddrs) return nullptr;
    return g_hash_table_contains(g_liveAddrs, p) ? static_cast<const osal_addr_rec *>(p) : nullptr;
}

bool addr_take(const osal_addr_rec *rec, AddrList &out, int *error) {
    if (rec->state != OSAL_ADDR_READY) {
        *error = rec->state == OSAL_ADDR_PENDING ? OSAL_ERR_ADDR_PENDING : rec->error;
        return false;
    }
    out = rec->addrs;
    return true;
}

}  // namespace osal_glib

using namespace osal_glib;

extern "C" {

OSAL_ADDR g_sock_resolve(const char *host) {
    if (!host || !*host) return nullptr;
    auto *rec = g_new0(osal_addr_rec, 1);
    if (addrs_from_numeric(rec->addrs, host)) {
        rec->state = OSAL_ADDR_READY;
    } else {
        rec->state = OSAL_ADDR_PENDING;
        rec->cancel = g_cancellable_new();
        GResolver *resolver = g_resolver_get_default();
        // The result comes back on the calling thread's default main context.
        g_resolver_lookup_by_name_async(resolver, host, rec->cancel, on_resolved, rec);
        g_object_unref(resolver);
    }
    g_hash_table_add(live(), rec);
    return rec;
}

OSAL_ADDR g_sock_resolve_dns(const char *host, const char *servers, const char *ifname, int timeout_ms) {
    if (!host || !*host || !servers || !*servers) return nullptr;
    auto *rec = g_new0(osal_addr_rec, 1);
    if (addrs_from_numeric(rec->addrs, host)) {
        rec->state = OSAL_ADDR_READY;  // an address is used as it is: nobody is asked
    } else {
        int err = 0;
        rec->state = OSAL_ADDR_PENDING;
        rec->dns = dns_start(host, servers, ifname, timeout_ms, on_dns_done, rec, &err);
        if (!rec->dns) {
            rec->state = OSAL_ADDR_FAILED;
            rec->error = err;
        }
    }
    g_hash_table_add(live(), rec);
    return rec;
}

int g_sock_addr_state(OSAL_ADDR addr) {
    const osal_addr_rec *rec = find(addr);
    return rec ? rec->state : OSAL_ADDR_FAILED;
}

int g_sock_addr_error(OSAL_ADDR addr) {
    const osal_addr_rec *rec = find(addr);
    return rec ? rec->error : OSAL_ERR_BAD_HANDLE;
}

void g_sock_addr_free(OSAL_ADDR addr) {
    osal_addr_rec *rec = find(addr);
    if (!rec) return;
    g_hash_table_remove(g_liveAddrs, rec);
    if (rec->dns) dns_cancel(rec->dns);
    if (rec->cancel) {
        // The lookup still holds the record; its completion releases it.
        rec->abandoned = true;
        g_cancellable_cancel(rec->cancel);
        return;
    }
    g_free(rec);
}

}  // extern "C"
