// rorodired's oFono backend: the service's push agent registered with the
// oFono modem, whenever oFono is on the bus; and the modem's connection
// contexts (ConnectionManager.GetContexts, followed through their
// PropertyChanged and the manager's ContextAdded/ContextRemoved): the active
// context for MMS_APN (or the active "mms" context, or any active one when
// MMS_APN is empty) is the bearer, with its Settings (Interface, Address,
// DomainNameServers, Gateway) and IPv6.Settings. Where oFono has no
// ConnectionManager to ask, the bearer is reported up as before, without
// an interface.
#include "modem_ofono.h"

#include <arpa/inet.h>

#include <algorithm>

#include "modem_mm.h"

namespace rrd {

struct OfonoAgent {
    ModemSettings s;
    const ModemCallbacks *cb = nullptr;
    GCancellable *cancel = nullptr;
    guint watch = 0;
    guint firstReport = 0;
    bool registered = false;
    bool asking = false;  // a RegisterAgent is under way
    guint contextSignals[3] = {0, 0, 0};
    bool readingContexts = false, readAgain = false;
    bool contextsKnown = false;  // GetContexts answered at least once
    BearerState state = BearerState::ContextActive;
    BearerInfo info;
};

namespace {

constexpr char kOfonoName[] = "org.ofono";
constexpr char kPushIface[] = "org.ofono.PushNotification";

void tell(OfonoAgent *a, const std::string &text) {
    if (a->cb->on_error) a->cb->on_error(text);
}

void on_registered(GObject *bus, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GVariant *r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), res, &err);
    if (r) g_variant_unref(r);
    if (err && g_error_matches(err, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        g_error_free(err);
        return;
    }
    auto *a = static_cast<OfonoAgent *>(user);
    a->asking = false;
    a->registered = err == nullptr;
    if (err) {
        tell(a, "oFono modem " + a->s.ofonoModem + " did not take the push agent: " + err->message);
        g_error_free(err);
    }
}

// Settings / IPv6.Settings of a context (a{sv}) as an IpConfig.
IpConfig ofono_ip_of(GVariant *dict, std::string *iface) {
    IpConfig c;
    if (!dict || !g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT)) return c;
    const char *text = nullptr;
    if (g_variant_lookup(dict, "Interface", "&s", &text) && iface->empty()) *iface = text;
    if (g_variant_lookup(dict, "Address", "&s", &text)) c.address = text;
    if (g_variant_lookup(dict, "Gateway", "&s", &text)) c.gateway = text;
    if (g_variant_lookup(dict, "Method", "&s", &text)) c.method = g_strcmp0(text, "dhcp") == 0 ? 3 : 2;
    guchar prefix = 0;
    if (g_variant_lookup(dict, "PrefixLength", "y", &prefix)) c.prefix = prefix;
    if (g_variant_lookup(dict, "Netmask", "&s", &text)) {
        guint32 mask = 0;
        if (inet_pton(AF_INET, text, &mask) == 1) c.prefix = static_cast<uint32_t>(__builtin_popcount(mask));
    }
    GVariantIter *it = nullptr;
    if (g_variant_lookup(dict, "DomainNameServers", "as", &it)) {
        const char *d = nullptr;
        while (g_variant_iter_next(it, "&s", &d) && c.dns.size() < 3) c.dns.emplace_back(d);
        g_variant_iter_free(it);
    }
    return c;
}

void read_contexts(OfonoAgent *a);

void on_contexts(GObject *bus, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GVariant *r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), res, &err);
    if (err && g_error_matches(err, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        g_error_free(err);
        return;
    }
    auto *a = static_cast<OfonoAgent *>(user);
    a->readingContexts = false;
    if (err) {
        // No ConnectionManager to ask: the bearer stays as oFono's agent shows it.
        g_error_free(err);
        if (a->readAgain) read_contexts(a);
        return;
    }
    std::vector<BearerSeen> seen, mms;
    GVariantIter *it = nullptr;
    const char *path = nullptr;
    GVariant *props = nullptr;
    if (g_variant_is_of_type(r, G_VARIANT_TYPE("(a(oa{sv}))"))) {
        g_variant_get(r, "(a(oa{sv}))", &it);
        while (g_variant_iter_next(it, "(&o@a{sv})", &path, &props)) {
            BearerSeen b;
            gboolean active = FALSE;
            const char *text = nullptr;
            g_variant_lookup(props, "Active", "b", &active);
            b.connected = active != 0;
            if (g_variant_lookup(props, "AccessPointName", "&s", &text)) b.apn = text;
            const bool isMms = g_variant_lookup(props, "Type", "&s", &text) && g_strcmp0(text, "mms") == 0;
            GVariant *v4 = g_variant_lookup_value(props, "Settings", G_VARIANT_TYPE_VARDICT);
            GVariant *v6 = g_variant_lookup_value(props, "IPv6.Settings", G_VARIANT_TYPE_VARDICT);
            b.info.ip4 = ofono_ip_of(v4, &b.iface);
            b.info.ip6 = ofono_ip_of(v6, &b.iface);
            if (v4) g_variant_unref(v4);
            if (v6) g_variant_unref(v6);
            b.info.iface = b.iface;
            b.info.apn = b.apn;
            (isMms ? mms : seen).push_back(std::move(b));
            g_variant_unref(props);
        }
        g_variant_iter_free(it);
    }
    g_variant_unref(r);
    // An "mms" context before the others: with MMS_APN empty it is the one.
    mms.insert(mms.end(), seen.begin(), seen.end());
    std::string iface;
    const BearerSeen *chosen = nullptr;
    const BearerState st = bearer_state_of(mms, true, a->s.mmsApn, &iface, &chosen);
    BearerInfo info = chosen ? chosen->info : BearerInfo{};
    const bool changed = !a->contextsKnown || st != a->state || !(info == a->info);
    a->contextsKnown = true;
    a->state = st;
    a->info = std::move(info);
    if (changed && a->cb->on_bearer) a->cb->on_bearer(st == BearerState::ContextActive, st, iface);
    if (a->readAgain) read_contexts(a);
}

void read_contexts(OfonoAgent *a) {
    if (a->readingContexts) {
        a->readAgain = true;  // a change came while the answer was on its way
        return;
    }
    a->readAgain = false;
    a->readingContexts = true;
    g_dbus_connection_call(a->s.agentBus, kOfonoName, a->s.ofonoModem.c_str(), "org.ofono.ConnectionManager",
                           "GetContexts", nullptr, G_VARIANT_TYPE("(a(oa{sv}))"), G_DBUS_CALL_FLAGS_NONE, 30000, a->cancel,
                           on_contexts, a);
}

void on_context_signal(GDBusConnection *, const char *, const char *path, const char *, const char *, GVariant *,
                       gpointer user) {
    auto *a = static_cast<OfonoAgent *>(user);
    // Only this modem's contexts (their paths are below the modem's).
    if (path && !g_str_has_prefix(path, a->s.ofonoModem.c_str())) return;
    read_contexts(a);
}

void on_ofono(GDBusConnection *bus, const char *, const char *, gpointer user) {
    auto *a = static_cast<OfonoAgent *>(user);
    read_contexts(a);
    a->asking = true;
    g_dbus_connection_call(bus, kOfonoName, a->s.ofonoModem.c_str(), kPushIface, "RegisterAgent",
                           g_variant_new("(o)", a->s.agentPath.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 30000, a->cancel,
                           on_registered, a);
}

void on_ofono_gone(GDBusConnection *, const char *, gpointer user) {
    auto *a = static_cast<OfonoAgent *>(user);
    if (a->registered) tell(a, "oFono left the bus; the push agent waits for it to come back");
    a->registered = false;
}

gboolean report_bearer(gpointer user) {
    auto *a = static_cast<OfonoAgent *>(user);
    a->firstReport = 0;
    // oFono brings the MMS context up by itself; the service cannot see it here.
    if (!a->contextsKnown && a->cb->on_bearer) a->cb->on_bearer(true, BearerState::ContextActive, "");
    return G_SOURCE_REMOVE;
}

}  // namespace

BearerState ofono_bearer_state(const OfonoAgent *a) { return a ? a->state : BearerState::NoBearersActive; }

void ofono_agent_update(OfonoAgent *a, const ModemSettings &s) {
    if (!a || a->s.mmsApn == s.mmsApn) return;
    a->s.mmsApn = s.mmsApn;
    if (a->contextsKnown) read_contexts(a);
}

BearerInfo ofono_bearer_info(const OfonoAgent *a) {
    return a && a->contextsKnown && a->state == BearerState::ContextActive ? a->info : BearerInfo{};
}

OfonoAgent *ofono_agent_start(const ModemSettings &s, const ModemCallbacks *cb, std::string *why) {
    if (s.ofonoModem.empty() || !g_variant_is_object_path(s.ofonoModem.c_str())) {
        *why = "OfonoModem must name the oFono modem's object path (e.g. /ril_0)";
        return nullptr;
    }
    if (!s.agentBus || !g_variant_is_object_path(s.agentPath.c_str())) {
        *why = "the oFono push agent needs the bus and object path it is exported at";
        return nullptr;
    }
    auto *a = new OfonoAgent;
    a->s = s;
    a->cb = cb;
    a->cancel = g_cancellable_new();
    g_object_ref(a->s.agentBus);
    a->watch = g_bus_watch_name_on_connection(a->s.agentBus, kOfonoName, G_BUS_NAME_WATCHER_FLAGS_NONE, on_ofono, on_ofono_gone,
                                              a, nullptr);
    a->firstReport = g_idle_add(report_bearer, a);
    a->contextSignals[0] = g_dbus_connection_signal_subscribe(a->s.agentBus, kOfonoName, "org.ofono.ConnectionContext",
                                                              "PropertyChanged", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                              on_context_signal, a, nullptr);
    a->contextSignals[1] = g_dbus_connection_signal_subscribe(a->s.agentBus, kOfonoName, "org.ofono.ConnectionManager",
                                                              "ContextAdded", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                              on_context_signal, a, nullptr);
    a->contextSignals[2] = g_dbus_connection_signal_subscribe(a->s.agentBus, kOfonoName, "org.ofono.ConnectionManager",
                                                              "ContextRemoved", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                              on_context_signal, a, nullptr);
    return a;
}

void ofono_agent_stop(OfonoAgent *a) {
    if (!a) return;
    g_cancellable_cancel(a->cancel);
    if (a->firstReport) g_source_remove(a->firstReport);
    g_bus_unwatch_name(a->watch);
    for (guint id : a->contextSignals)
        if (id) g_dbus_connection_signal_unsubscribe(a->s.agentBus, id);
    // Also when the registration is still under way: oFono may take it
    // before it reads this.
    if (a->registered || a->asking) {  // on the way out: no waiting for the answer
        GDBusMessage *msg = g_dbus_message_new_method_call(kOfonoName, a->s.ofonoModem.c_str(), kPushIface, "UnregisterAgent");
        g_dbus_message_set_body(msg, g_variant_new("(o)", a->s.agentPath.c_str()));
        g_dbus_message_set_flags(msg, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
        g_dbus_connection_send_message(a->s.agentBus, msg, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(msg);
    }
    g_object_unref(a->s.agentBus);
    g_object_unref(a->cancel);
    delete a;
}

}  // namespace rrd
