// /org/ofono/mms: org.ofono.mms.Manager (the one service) and
// org.ofono.mms.ModemManager (pushes, settings, the queue).
#include <memory>

#include "service.h"

namespace rrd {
namespace {

void refuse(GDBusMethodInvocation *inv, const char *name, const std::string &why) {
    g_dbus_method_invocation_return_dbus_error(inv, name, why.c_str());
}

gboolean on_get_services(RrdBusMmsManager *obj, GDBusMethodInvocation *inv, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auth_check(s->auth, inv, Need::User, [s, obj, inv](const CallerId &) {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(oa{sv})"));
        g_variant_builder_add(&b, "(o@a{sv})", kServicePath, service_properties(s->settings, s->core.get()));
        rrd_bus_mms_manager_complete_get_services(obj, inv, g_variant_builder_end(&b));
    });
    return TRUE;
}

gboolean on_push_notify(RrdBusMmsModemManager *obj, GDBusMethodInvocation *inv, GVariant *smswap, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auto push = std::make_shared<std::vector<uint8_t>>(bytes_of(smswap));
    auth_check(s->auth, inv, Need::Root, [s, obj, inv, push](const CallerId &) {
        std::string errorName, why;
        if (!take_push(*s, *push, "PushNotify", &errorName, &why)) return refuse(inv, errorName.c_str(), why);
        rrd_bus_mms_modem_manager_complete_push_notify(obj, inv);
    });
    return TRUE;
}

gboolean on_view_settings(RrdBusMmsModemManager *obj, GDBusMethodInvocation *inv, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auth_check(s->auth, inv, Need::User, [s, obj, inv](const CallerId &) {
        rrd_bus_mms_modem_manager_complete_view_settings(obj, inv, settings_properties(s->settings.values));
    });
    return TRUE;
}

// The settings of this interface (those of the service object go through SetProperty).
constexpr const char *kModemKeys[] = {"CarrierMMSC", "MMS_APN", "CarrierMMSProxy", "DefaultModemNumber",
                                      "AutoProcessOnConnection", "AutoProcessSMSWAP"};

bool modem_key(const std::string &k) {
    for (const char *m : kModemKeys)
        if (k == m) return true;
    return false;
}

using Changes = std::vector<std::pair<std::string, std::shared_ptr<GVariant>>>;

void change(Service &s, RrdBusMmsModemManager *obj, GDBusMethodInvocation *inv, const Changes &changes, bool all) {
    std::vector<std::pair<std::string, GVariant *>> list;
    for (const auto &[k, v] : changes) {
        if (!modem_key(k)) return refuse(inv, kInvalidArguments, "no setting named '" + k + "'");
        list.emplace_back(k, v.get());
    }
    std::string errorName, why;
    if (!change_settings(s, list, &errorName, &why)) return refuse(inv, errorName.c_str(), why);
    if (all)
        rrd_bus_mms_modem_manager_complete_change_all_settings(obj, inv);
    else
        rrd_bus_mms_modem_manager_complete_change_settings(obj, inv);
}

gboolean on_change_settings(RrdBusMmsModemManager *obj, GDBusMethodInvocation *inv, const char *name, GVariant *value,
                            gpointer user) {
    auto *s = static_cast<Service *>(user);
    Changes changes{{name, std::shared_ptr<GVariant>(g_variant_get_variant(value), g_variant_unref)}};
    auth_check(s->auth, inv, Need::User, [s, obj, inv, changes](const CallerId &) { change(*s, obj, inv, changes, false); });
    return TRUE;
}

gboolean on_change_all_settings(RrdBusMmsModemManager *obj, GDBusMethodInvocation *inv, GVariant *options, gpointer user) {
    auto *s = static_cast<Service *>(user);
    Changes changes;
    GVariantIter it;
    g_variant_iter_init(&it, options);
    const char *key = nullptr;
    GVariant *value = nullptr;
    while (g_variant_iter_next(&it, "{&sv}", &key, &value))
        changes.emplace_back(key, std::shared_ptr<GVariant>(value, g_variant_unref));
    auth_check(s->auth, inv, Need::User, [s, obj, inv, changes](const CallerId &) { change(*s, obj, inv, changes, true); });
    return TRUE;
}

gboolean on_process_message_queue(RrdBusMmsModemManager *obj, GDBusMethodInvocation *inv, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auth_check(s->auth, inv, Need::User, [s, obj, inv](const CallerId &) {
        rrd_bus_mms_modem_manager_complete_process_message_queue(obj, inv);
        if (s->modem) modem_rescan(s->modem);
        apply_effects(*s, s->core->process_queue());
    });
    return TRUE;
}

}  // namespace

GVariant *settings_properties(const Settings &t) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "CarrierMMSC", g_variant_new_string(t.relayUrl.c_str()));
    g_variant_builder_add(&b, "{sv}", "MMS_APN", g_variant_new_string(t.mmsApn.c_str()));
    g_variant_builder_add(&b, "{sv}", "CarrierMMSProxy",
                          g_variant_new_string(t.proxyHost.empty() ? "NULL" : t.proxy_text().c_str()));
    g_variant_builder_add(&b, "{sv}", "DefaultModemNumber",
                          g_variant_new_string(t.ownNumber.empty() ? "NULL" : t.ownNumber.c_str()));
    g_variant_builder_add(&b, "{sv}", "AutoProcessOnConnection", g_variant_new_boolean(t.autoProcessOnConnection));
    g_variant_builder_add(&b, "{sv}", "AutoProcessSMSWAP", g_variant_new_boolean(t.autoProcessSmsWap));
    return g_variant_builder_end(&b);
}

void manager_export(Service &s) {
    s.objects.manager = rrd_bus_mms_manager_skeleton_new();
    g_signal_connect(s.objects.manager, "handle-get-services", G_CALLBACK(on_get_services), &s);
    s.objects.modemManager = rrd_bus_mms_modem_manager_skeleton_new();
    g_signal_connect(s.objects.modemManager, "handle-push-notify", G_CALLBACK(on_push_notify), &s);
    g_signal_connect(s.objects.modemManager, "handle-view-settings", G_CALLBACK(on_view_settings), &s);
    g_signal_connect(s.objects.modemManager, "handle-change-settings", G_CALLBACK(on_change_settings), &s);
    g_signal_connect(s.objects.modemManager, "handle-change-all-settings", G_CALLBACK(on_change_all_settings), &s);
    g_signal_connect(s.objects.modemManager, "handle-process-message-queue", G_CALLBACK(on_process_message_queue), &s);
    for (GDBusInterfaceSkeleton *sk :
         {G_DBUS_INTERFACE_SKELETON(s.objects.manager), G_DBUS_INTERFACE_SKELETON(s.objects.modemManager)}) {
        GError *err = nullptr;
        if (!g_dbus_interface_skeleton_export(sk, s.objects.bus, kManagerPath, &err)) {
            log_line(std::string("the manager object cannot be put on the bus: ") + err->message);
            g_error_free(err);
        }
    }
}

}  // namespace rrd
