// The oFono push agent (oFono backend only): org.ofono.PushNotificationAgent
// on the service's path. oFono calls ReceiveNotification with each MMS push
// of the modem and Release when it lets go of the agent; only root (oFono)
// may call either.
#include <memory>

#include "service.h"

namespace rrd {
namespace {

gboolean on_receive_notification(RrdBusPushNotificationAgent *obj, GDBusMethodInvocation *inv, GVariant *notification,
                                 GVariant *, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auto push = std::make_shared<std::vector<uint8_t>>(bytes_of(notification));
    auth_check(s->auth, inv, Need::Root, [s, obj, inv, push](const CallerId &) {
        std::string errorName, why;
        if (s->modem) {
            // The backend hands it back through on_push (take_push below).
            modem_agent_push(s->modem, *push);
            rrd_bus_push_notification_agent_complete_receive_notification(obj, inv);
            return;
        }
        if (!take_push(*s, *push, "oFono", &errorName, &why)) {
            g_dbus_method_invocation_return_dbus_error(inv, errorName.c_str(), why.c_str());
            return;
        }
        rrd_bus_push_notification_agent_complete_receive_notification(obj, inv);
    });
    return TRUE;
}

gboolean on_release(RrdBusPushNotificationAgent *obj, GDBusMethodInvocation *inv, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auth_check(s->auth, inv, Need::Root, [obj, inv](const CallerId &) {
        log_line("the modem stack released the push agent");
        rrd_bus_push_notification_agent_complete_release(obj, inv);
    });
    return TRUE;
}

}  // namespace

void agent_export(Service &s) {
    s.objects.agent = rrd_bus_push_notification_agent_skeleton_new();
    g_signal_connect(s.objects.agent, "handle-receive-notification", G_CALLBACK(on_receive_notification), &s);
    g_signal_connect(s.objects.agent, "handle-release", G_CALLBACK(on_release), &s);
    GError *err = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(s.objects.agent), s.objects.bus, kServicePath, &err)) {
        log_line(std::string("the push agent cannot be put on the bus: ") + err->message);
        g_error_free(err);
    }
}

}  // namespace rrd
