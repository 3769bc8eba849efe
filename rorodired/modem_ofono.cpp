// rorodired's oFono backend: the service's push agent registered with the
// oFono modem, whenever oFono is on the bus.
#include "modem_ofono.h"

namespace rrd {

struct OfonoAgent {
    ModemSettings s;
    const ModemCallbacks *cb = nullptr;
    GCancellable *cancel = nullptr;
    guint watch = 0;
    guint firstReport = 0;
    bool registered = false;
    bool asking = false;  // a RegisterAgent is under way
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

void on_ofono(GDBusConnection *bus, const char *, const char *, gpointer user) {
    auto *a = static_cast<OfonoAgent *>(user);
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
    if (a->cb->on_bearer) a->cb->on_bearer(true, BearerState::ContextActive, "");
    return G_SOURCE_REMOVE;
}

}  // namespace

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
    return a;
}

void ofono_agent_stop(OfonoAgent *a) {
    if (!a) return;
    g_cancellable_cancel(a->cancel);
    if (a->firstReport) g_source_remove(a->firstReport);
    g_bus_unwatch_name(a->watch);
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
