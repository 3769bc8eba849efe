// Caller checks: credentials from the bus, asked asynchronously, cached per
// unique connection name and dropped when that name leaves the bus.
#include "auth.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace rrd {

namespace {
constexpr size_t kMaxCached = 4096;  // beyond this the cache starts over
constexpr int kCredentialsTimeoutMs = 5000;
constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";

struct Waiter {
    GDBusMethodInvocation *inv;
    Need need;
    std::function<void(const CallerId &)> then;
};
}  // namespace

struct Auth {
    GDBusConnection *bus = nullptr;
    bool systemBus = false;
    gid_t allowedGid = static_cast<gid_t>(-1);
    bool haveGid = false;
    guint ownerWatch = 0;
    std::unordered_map<std::string, CallerId> known;
    std::unordered_map<std::string, std::vector<Waiter>> asking;
    GCancellable *cancel = nullptr;
};

namespace {

void deny(GDBusMethodInvocation *inv, const char *why) {
    g_dbus_method_invocation_return_dbus_error(inv, kAccessDenied, why);
}

void run(Auth *a, const CallerId &c, Waiter &w) {
    if (!auth_allows(c, w.need, a->systemBus)) {
        deny(w.inv, w.need == Need::Root ? "only root (the modem stack) may call this"
                                         : "this user may not use the MMS service");
        return;
    }
    w.then(c);
}

void on_name_owner_changed(GDBusConnection *, const char *, const char *, const char *, const char *, GVariant *params,
                           gpointer user) {
    auto *a = static_cast<Auth *>(user);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    g_variant_get(params, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (name[0] == ':' && newOwner[0] == '\0') a->known.erase(name);
}

struct Ask {
    Auth *auth;
    std::string sender;
};

void on_credentials(GObject *src, GAsyncResult *res, gpointer user) {
    std::unique_ptr<Ask> ask(static_cast<Ask *>(user));
    GError *err = nullptr;
    GVariant *r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(src), res, &err);
    if (!r && g_error_matches(err, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {  // the service is going away
        g_error_free(err);
        return;
    }
    Auth *a = ask->auth;
    auto node = a->asking.extract(ask->sender);
    if (node.empty()) {
        if (r) g_variant_unref(r);
        g_clear_error(&err);
        return;
    }
    std::vector<Waiter> &waiters = node.mapped();
    if (!r) {
        for (Waiter &w : waiters) deny(w.inv, "the caller's credentials are not known");
        g_error_free(err);
        return;
    }
    CallerId c;
    GVariant *dict = g_variant_get_child_value(r, 0);
    guint32 uid = 0;
    bool haveUid = g_variant_lookup(dict, "UnixUserID", "u", &uid);
    if (GVariant *gids = g_variant_lookup_value(dict, "UnixGroupIDs", G_VARIANT_TYPE("au"))) {
        gsize n = 0;
        const auto *p = static_cast<const guint32 *>(g_variant_get_fixed_array(gids, &n, sizeof(guint32)));
        c.groups.assign(p, p + n);
        g_variant_unref(gids);
    }
    g_variant_unref(dict);
    g_variant_unref(r);
    if (!haveUid) {
        for (Waiter &w : waiters) deny(w.inv, "the caller's user is not known");
        return;
    }
    c.uid = uid;
    c.root = uid == 0;
    // The primary group of the user, for reading files as the caller.
    c.gid = static_cast<gid_t>(-1);
    if (struct passwd *pw = getpwuid(uid)) c.gid = pw->pw_gid;
    if (c.gid == static_cast<gid_t>(-1)) c.gid = c.groups.empty() ? static_cast<gid_t>(65534) : c.groups[0];
    if (a->systemBus)
        c.member = c.root || (a->haveGid && std::find(c.groups.begin(), c.groups.end(), a->allowedGid) != c.groups.end());
    else
        c.member = c.uid == getuid();
    if (a->known.size() >= kMaxCached) a->known.clear();
    a->known[ask->sender] = c;
    for (Waiter &w : waiters) run(a, c, w);
}

}  // namespace

bool auth_allows(const CallerId &c, Need need, bool systemBus) {
    if (!systemBus) return c.member;  // the session bus's owner for everything
    return need == Need::Root ? c.root : c.member;
}

Auth *auth_new(GDBusConnection *bus, bool systemBus, const std::string &allowedGroup) {
    auto *a = new Auth;
    a->bus = G_DBUS_CONNECTION(g_object_ref(bus));
    a->systemBus = systemBus;
    a->cancel = g_cancellable_new();
    auth_set_group(a, allowedGroup);
    a->ownerWatch = g_dbus_connection_signal_subscribe(bus, "org.freedesktop.DBus", "org.freedesktop.DBus",
                                                       "NameOwnerChanged", "/org/freedesktop/DBus", nullptr,
                                                       G_DBUS_SIGNAL_FLAGS_NONE, on_name_owner_changed, a, nullptr);
    return a;
}

void auth_free(Auth *a) {
    if (!a) return;
    g_cancellable_cancel(a->cancel);
    g_object_unref(a->cancel);
    g_dbus_connection_signal_unsubscribe(a->bus, a->ownerWatch);
    for (auto &[sender, waiters] : a->asking)
        for (Waiter &w : waiters) deny(w.inv, "the service is stopping");
    g_object_unref(a->bus);
    delete a;
}

void auth_set_group(Auth *a, const std::string &allowedGroup) {
    a->haveGid = false;
    if (struct group *g = getgrnam(allowedGroup.c_str())) {
        a->allowedGid = g->gr_gid;
        a->haveGid = true;
    }
    a->known.clear();
}


void auth_check(Auth *a, GDBusMethodInvocation *inv, Need need, std::function<void(const CallerId &)> then) {
    const char *sender = g_dbus_method_invocation_get_sender(inv);
    if (!sender) {  // a peer-to-peer connection: none is offered
        deny(inv, "no sender");
        return;
    }
    Waiter w{inv, need, std::move(then)};
    if (auto it = a->known.find(sender); it != a->known.end()) {
        const CallerId c = it->second;
        run(a, c, w);
        return;
    }
    auto [it, fresh] = a->asking.try_emplace(sender);
    it->second.push_back(std::move(w));
    if (!fresh) return;  // already asked; the answer serves every call waiting
    g_dbus_connection_call(a->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionCredentials", g_variant_new("(s)", sender), G_VARIANT_TYPE("(a{sv})"),
                           G_DBUS_CALL_FLAGS_NONE, kCredentialsTimeoutMs, a->cancel, on_credentials,
                           new Ask{a, sender});
}

}  // namespace rrd
