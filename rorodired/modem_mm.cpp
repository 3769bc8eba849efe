// rorodired's modem backends behind modem.h, and the ModemManager one itself:
// it follows ModemManager's objects with a GDBusObjectManagerClient (so
// properties stay current through PropertiesChanged), picks the modem, reads
// its SMS through Messaging.List() and Messaging.Added, and follows its
// bearers through the modem's Bearers property and each bearer's
// Connected/Interface/Properties.
//
// Every call to the modem stack is asynchronous and carries the backend's
// cancellable; modem_stop cancels it, so a reply arriving afterwards finds
// G_IO_ERROR_CANCELLED and touches nothing.
//
// The bearer: besides Connected and the APN, the backend reads the chosen
// bearer's Interface, Ip4Config and Ip6Config (method, address, prefix,
// gateway, dns1..dns3). The service ties each transfer's sockets to that
// interface and resolves the relay's and proxy's names through those DNS
// servers, so MMS goes out on the bearer also when Wi-Fi is the default
// route.
#include "modem_mm.h"

#include <map>
#include <memory>
#include <set>

#include "modem_ofono.h"
#include "pdu.h"

namespace rrd {

struct Modem {
    ModemSettings s;
    ModemCallbacks cb;
    GCancellable *cancel = nullptr;
    OfonoAgent *ofono = nullptr;  // oFono backend

    // ModemManager backend
    GDBusConnection *sys = nullptr;
    GDBusObjectManager *om = nullptr;
    std::string modemPath;  // the modem in use, empty when none
    GDBusProxy *modem = nullptr, *messaging = nullptr;
    gulong modemChanged = 0, messagingSignal = 0;
    std::set<std::string> wantedBearers;
    std::map<std::string, GDBusProxy *> bearers;
    std::set<std::string> seenSms;                 // handed over or decided upon
    std::map<std::string, GDBusProxy *> receiving;  // SMS still being received
    bool reported = false;                         // on_bearer called at least once
    BearerState state = BearerState::NoBearersActive;
    std::string iface;
    BearerInfo info;  // the chosen bearer as last reported
    std::string ownNumber;      // last reported
    bool saidNoModem = false;   // on_error told once per absence
    bool listing = false;       // a List() is under way
};

namespace {

constexpr int kCallTimeoutMs = 30000;

bool cancelled(const GError *err) { return err && g_error_matches(err, G_IO_ERROR, G_IO_ERROR_CANCELLED); }

void tell_error(Modem *m, const std::string &text) {
    if (m->cb.on_error) m->cb.on_error(text);
}

enum class Answer { Cancelled, Failed, Ok };

// How an asynchronous call ended. A cancelled one was made by a backend that
// is gone (nothing of it may be touched); a failed one is told when `what`
// names it. Frees the error.
Answer answer_of(gpointer user, GError *err, const char *what) {
    if (!err) return Answer::Ok;
    const bool gone = cancelled(err);
    if (!gone && what) tell_error(static_cast<Modem *>(user), std::string(what) + ": " + err->message);
    g_error_free(err);
    return gone ? Answer::Cancelled : Answer::Failed;
}

std::string string_prop(GDBusProxy *p, const char *name) {
    std::string out;
    if (GVariant *v = g_dbus_proxy_get_cached_property(p, name)) {
        if (g_variant_is_of_type(v, G_VARIANT_TYPE_STRING)) out = g_variant_get_string(v, nullptr);
        g_variant_unref(v);
    }
    return out;
}

bool bool_prop(GDBusProxy *p, const char *name) {
    bool out = false;
    if (GVariant *v = g_dbus_proxy_get_cached_property(p, name)) {
        if (g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN)) out = g_variant_get_boolean(v) != 0;
        g_variant_unref(v);
    }
    return out;
}

uint32_t uint_prop(GDBusProxy *p, const char *name) {
    uint32_t out = 0;
    if (GVariant *v = g_dbus_proxy_get_cached_property(p, name)) {
        if (g_variant_is_of_type(v, G_VARIANT_TYPE_UINT32)) out = g_variant_get_uint32(v);
        g_variant_unref(v);
    }
    return out;
}

std::vector<std::string> strings_prop(GDBusProxy *p, const char *name, const GVariantType *type) {
    std::vector<std::string> out;
    if (GVariant *v = g_dbus_proxy_get_cached_property(p, name)) {
        if (g_variant_is_of_type(v, type)) {
            GVariantIter it;
            g_variant_iter_init(&it, v);
            const char *s = nullptr;
            while (g_variant_iter_next(&it, g_variant_is_of_type(v, G_VARIANT_TYPE("ao")) ? "&o" : "&s", &s))
                out.emplace_back(s);
        }
        g_variant_unref(v);
    }
    return out;
}

// ------------------------------------------------------------ the bearer

void evaluate_bearer(Modem *m) {
    // Not before every bearer the modem lists can be looked at: a report of
    // "no bearer" while their proxies are on the way would be a false alarm.
    for (const std::string &path : m->wantedBearers)
        if (!m->bearers.count(path)) return;
    std::vector<BearerSeen> seen;
    for (auto &[path, p] : m->bearers) {
        BearerSeen b;
        b.connected = bool_prop(p, "Connected");
        b.iface = string_prop(p, "Interface");
        if (GVariant *props = g_dbus_proxy_get_cached_property(p, "Properties")) {
            const char *apn = nullptr;
            if (g_variant_is_of_type(props, G_VARIANT_TYPE_VARDICT) && g_variant_lookup(props, "apn", "&s", &apn))
                b.apn = apn;
            g_variant_unref(props);
        }
        b.info.iface = b.iface;
        b.info.apn = b.apn;
        if (GVariant *v = g_dbus_proxy_get_cached_property(p, "Ip4Config")) {
            b.info.ip4 = ip_config_of(v);
            g_variant_unref(v);
        }
        if (GVariant *v = g_dbus_proxy_get_cached_property(p, "Ip6Config")) {
            b.info.ip6 = ip_config_of(v);
            g_variant_unref(v);
        }
        seen.push_back(std::move(b));
    }
    std::string iface;
    const BearerSeen *chosen = nullptr;
    const BearerState st = bearer_state_of(seen, m->modem != nullptr, m->s.mmsApn, &iface, &chosen);
    BearerInfo info = chosen ? chosen->info : BearerInfo{};
    if (m->reported && st == m->state && iface == m->iface && info == m->info) return;
    m->reported = true;
    m->state = st;
    m->iface = iface;
    m->info = std::move(info);
    if (m->cb.on_bearer) m->cb.on_bearer(st == BearerState::ContextActive, st, iface);
}

void on_bearer_changed(GDBusProxy *, GVariant *, GStrv, gpointer user) { evaluate_bearer(static_cast<Modem *>(user)); }

void drop_bearer(Modem *m, const std::string &path) {
    auto it = m->bearers.find(path);
    if (it == m->bearers.end()) return;
    g_signal_handlers_disconnect_by_data(it->second, m);
    g_object_unref(it->second);
    m->bearers.erase(it);
}

void on_bearer_proxy(GObject *, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GDBusProxy *p = g_dbus_proxy_new_finish(res, &err);
    const Answer answer = answer_of(user, err, "cannot follow a bearer of the modem");
    if (answer == Answer::Cancelled) return;
    auto *m = static_cast<Modem *>(user);
    if (answer == Answer::Failed) {
        // judged without it (its path stays out until Bearers changes again)
        m->wantedBearers.clear();
        for (auto &[path, b] : m->bearers) m->wantedBearers.insert(path);
        evaluate_bearer(m);
        return;
    }
    const std::string path = g_dbus_proxy_get_object_path(p);
    if (!m->wantedBearers.count(path) || m->bearers.count(path)) {  // gone (or known) meanwhile
        g_object_unref(p);
        return;
    }
    m->bearers[path] = p;
    g_signal_connect(p, "g-properties-changed", G_CALLBACK(on_bearer_changed), m);
    evaluate_bearer(m);
}

// The modem's Bearers property: follow new bearers, drop vanished ones.
void update_bearers(Modem *m) {
    std::set<std::string> now;
    if (m->modem)
        for (auto &p : strings_prop(m->modem, "Bearers", G_VARIANT_TYPE("ao"))) now.insert(p);
    m->wantedBearers = now;
    std::vector<std::string> gone;
    for (auto &[path, p] : m->bearers)
        if (!now.count(path)) gone.push_back(path);
    for (auto &path : gone) drop_bearer(m, path);
    for (auto &path : now)
        if (!m->bearers.count(path))
            g_dbus_proxy_new(m->sys, G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START, nullptr, kMmBusName, path.c_str(), kMmBearerIface,
                             m->cancel, on_bearer_proxy, m);
    evaluate_bearer(m);
}

// ------------------------------------------------------------ own number

void update_own_number(Modem *m) {
    if (!m->modem || !m->s.defaultModemNumber.empty()) return;
    auto numbers = strings_prop(m->modem, "OwnNumbers", G_VARIANT_TYPE("as"));
    if (numbers.empty() || numbers[0].empty() || numbers[0] == m->ownNumber) return;
    m->ownNumber = numbers[0];
    if (m->cb.on_own_number) m->cb.on_own_number(m->ownNumber);
}

// ------------------------------------------------------------ SMS

void on_deleted(GObject *src, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GVariant *r = g_dbus_proxy_call_finish(G_DBUS_PROXY(src), res, &err);
    if (r) g_variant_unref(r);
    answer_of(user, err, "the modem did not delete an MMS push SMS");
}

// A received SMS: a WAP push of an MMS PDU goes to the service (and, with
// AutoProcessSMSWAP, off the modem); anything else stays where it is.
void take_sms(Modem *m, GDBusProxy *sms) {
    const std::string path = g_dbus_proxy_get_object_path(sms);
    m->seenSms.insert(path);
    GVariant *data = g_dbus_proxy_get_cached_property(sms, "Data");
    std::vector<uint8_t> bytes;
    if (data && g_variant_is_of_type(data, G_VARIANT_TYPE_BYTESTRING)) {
        gsize n = 0;
        const auto *p = static_cast<const uint8_t *>(g_variant_get_fixed_array(data, &n, 1));
        if (p && n) bytes.assign(p, p + n);
    }
    if (data) g_variant_unref(data);
    if (bytes.empty() || !is_mms_wap_push(bytes.data(), bytes.size())) return;
    if (m->cb.on_push) m->cb.on_push(bytes, path);
    if (m->s.autoProcessSmsWap && m->messaging)
        g_dbus_proxy_call(m->messaging, "Delete", g_variant_new("(o)", path.c_str()), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
                          m->cancel, on_deleted, m);
}

// Decides on an SMS whose proxy is ready: received now, later, or never (sent, stored drafts).
void consider_sms(Modem *m, GDBusProxy *sms) {
    const auto state = static_cast<MmSmsState>(uint_prop(sms, "State"));
    const std::string path = g_dbus_proxy_get_object_path(sms);
    if (state == MmSmsState::Received) {
        auto it = m->receiving.find(path);
        if (it != m->receiving.end()) {
            g_signal_handlers_disconnect_by_data(it->second, m);
            m->receiving.erase(it);
            take_sms(m, sms);
            g_object_unref(sms);  // the reference the waiting list held
        } else {
            take_sms(m, sms);
        }
        return;
    }
    if (state != MmSmsState::Receiving) m->seenSms.insert(path);  // not ours to read
}

void on_sms_changed(GDBusProxy *p, GVariant *, GStrv, gpointer user) { consider_sms(static_cast<Modem *>(user), p); }

void on_sms_proxy(GObject *, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GDBusProxy *p = g_dbus_proxy_new_finish(res, &err);
    // a failure: the SMS was deleted meanwhile, or the stack is gone
    if (answer_of(user, err, nullptr) != Answer::Ok) return;
    auto *m = static_cast<Modem *>(user);
    const std::string path = g_dbus_proxy_get_object_path(p);
    if (m->seenSms.count(path) || m->receiving.count(path)) {
        g_object_unref(p);
        return;
    }
    if (static_cast<MmSmsState>(uint_prop(p, "State")) == MmSmsState::Receiving) {
        m->receiving[path] = p;  // the waiting list owns the reference
        g_signal_connect(p, "g-properties-changed", G_CALLBACK(on_sms_changed), m);
        return;
    }
    consider_sms(m, p);
    g_object_unref(p);
}

void look_at_sms(Modem *m, const std::string &path) {
    if (m->seenSms.count(path) || m->receiving.count(path)) return;
    g_dbus_proxy_new(m->sys, G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START, nullptr, kMmBusName, path.c_str(), kMmSmsIface, m->cancel,
                     on_sms_proxy, m);
}

void on_list(GObject *src, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GVariant *r = g_dbus_proxy_call_finish(G_DBUS_PROXY(src), res, &err);
    const Answer answer = answer_of(user, err, "cannot list the modem's SMS");
    if (answer == Answer::Cancelled) return;
    auto *m = static_cast<Modem *>(user);
    m->listing = false;
    if (answer == Answer::Failed) return;
    GVariantIter *it = nullptr;
    const char *path = nullptr;
    g_variant_get(r, "(ao)", &it);
    while (g_variant_iter_next(it, "&o", &path)) look_at_sms(m, path);
    g_variant_iter_free(it);
    g_variant_unref(r);
}

// One List() at a time: SMS that come while it is under way are announced
// by Added anyway.
void list_sms(Modem *m) {
    if (!m->messaging || m->listing) return;
    m->listing = true;
    g_dbus_proxy_call(m->messaging, "List", nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, m->cancel, on_list, m);
}

void on_messaging_signal(GDBusProxy *, const char *, const char *signal, GVariant *params, gpointer user) {
    auto *m = static_cast<Modem *>(user);
    if (g_strcmp0(signal, "Added") == 0 && g_variant_is_of_type(params, G_VARIANT_TYPE("(ob)"))) {
        const char *path = nullptr;
        gboolean received = FALSE;
        g_variant_get(params, "(&ob)", &path, &received);
        if (received) look_at_sms(m, path);
    } else if (g_strcmp0(signal, "Deleted") == 0 && g_variant_is_of_type(params, G_VARIANT_TYPE("(o)"))) {
        const char *path = nullptr;
        g_variant_get(params, "(&o)", &path);
        m->seenSms.erase(path);
        auto it = m->receiving.find(path);
        if (it != m->receiving.end()) {
            g_signal_handlers_disconnect_by_data(it->second, m);
            g_object_unref(it->second);
            m->receiving.erase(it);
        }
    }
}

// ------------------------------------------------------------ the modem

bool names_key(GVariant *changed, const char *key) {
    GVariant *v = g_variant_lookup_value(changed, key, nullptr);
    if (v) g_variant_unref(v);
    return v != nullptr;
}

void on_modem_changed(GDBusProxy *, GVariant *changed, GStrv, gpointer user) {
    auto *m = static_cast<Modem *>(user);
    if (names_key(changed, "Bearers")) update_bearers(m);
    if (names_key(changed, "OwnNumbers")) update_own_number(m);
}

void drop_modem(Modem *m) {
    if (m->modem) {
        g_signal_handler_disconnect(m->modem, m->modemChanged);
        g_object_unref(m->modem);
    }
    if (m->messaging) {
        g_signal_handler_disconnect(m->messaging, m->messagingSignal);
        g_object_unref(m->messaging);
    }
    m->modem = m->messaging = nullptr;
    m->listing = false;  // an answer still on its way is for the old modem: harmless
    m->modemChanged = m->messagingSignal = 0;
    m->modemPath.clear();
    m->wantedBearers.clear();
    while (!m->bearers.empty()) drop_bearer(m, m->bearers.begin()->first);
    for (auto &[path, p] : m->receiving) {
        g_signal_handlers_disconnect_by_data(p, m);
        g_object_unref(p);
    }
    m->receiving.clear();
}

// The configured modem, or the first with Messaging; follows it when it
// appears, drops it when it goes.
void choose_modem(Modem *m) {
    if (!m->om) return;
    if (!m->modemPath.empty()) {
        GDBusObject *o = g_dbus_object_manager_get_object(m->om, m->modemPath.c_str());
        GDBusInterface *msg = o ? g_dbus_object_get_interface(o, kMmMessagingIface) : nullptr;
        const bool still = msg != nullptr;
        if (msg) g_object_unref(msg);
        if (o) g_object_unref(o);
        if (still) return;
        drop_modem(m);
        tell_error(m, "the modem went away");
    }
    GList *objects = g_dbus_object_manager_get_objects(m->om);
    for (GList *l = objects; l && !m->modem; l = l->next) {
        GDBusObject *o = G_DBUS_OBJECT(l->data);
        const char *path = g_dbus_object_get_object_path(o);
        if (!m->s.modemPath.empty() && m->s.modemPath != path) continue;
        GDBusInterface *modem = g_dbus_object_get_interface(o, kMmModemIface);
        GDBusInterface *msg = g_dbus_object_get_interface(o, kMmMessagingIface);
        if (modem && msg) {
            m->modem = G_DBUS_PROXY(modem);
            m->messaging = G_DBUS_PROXY(msg);
            m->modemPath = path;
        } else {
            if (modem) g_object_unref(modem);
            if (msg) g_object_unref(msg);
        }
    }
    g_list_free_full(objects, g_object_unref);
    if (!m->modem) {
        if (!m->saidNoModem)
            tell_error(m, m->s.modemPath.empty() ? std::string("no modem with messaging in ModemManager")
                                                 : "the modem " + m->s.modemPath + " is not there or has no messaging");
        m->saidNoModem = true;
        evaluate_bearer(m);
        return;
    }
    m->saidNoModem = false;
    m->modemChanged = g_signal_connect(m->modem, "g-properties-changed", G_CALLBACK(on_modem_changed), m);
    m->messagingSignal = g_signal_connect(m->messaging, "g-signal", G_CALLBACK(on_messaging_signal), m);
    update_own_number(m);
    update_bearers(m);
    list_sms(m);
}

void on_objects_changed(GDBusObjectManager *, GDBusObject *, gpointer user) { choose_modem(static_cast<Modem *>(user)); }
void on_interfaces_changed(GDBusObjectManager *, GDBusObject *, GDBusInterface *, gpointer user) {
    choose_modem(static_cast<Modem *>(user));
}
void on_owner(GObject *, GParamSpec *, gpointer user) {
    auto *m = static_cast<Modem *>(user);
    // ModemManager restarted or went away: its objects are new ones.
    drop_modem(m);
    m->seenSms.clear();
    choose_modem(m);
}

void on_object_manager(GObject *, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GDBusObjectManager *om = g_dbus_object_manager_client_new_finish(res, &err);
    const Answer answer = answer_of(user, err, "cannot follow ModemManager");
    if (answer == Answer::Cancelled) return;
    auto *m = static_cast<Modem *>(user);
    if (answer == Answer::Failed) {
        evaluate_bearer(m);
        return;
    }
    m->om = om;
    g_signal_connect(om, "object-added", G_CALLBACK(on_objects_changed), m);
    g_signal_connect(om, "object-removed", G_CALLBACK(on_objects_changed), m);
    g_signal_connect(om, "interface-added", G_CALLBACK(on_interfaces_changed), m);
    g_signal_connect(om, "interface-removed", G_CALLBACK(on_interfaces_changed), m);
    g_signal_connect(om, "notify::name-owner", G_CALLBACK(on_owner), m);
    choose_modem(m);
}

void on_system_bus(GObject *, GAsyncResult *res, gpointer user) {
    GError *err = nullptr;
    GDBusConnection *bus = g_bus_get_finish(res, &err);
    const Answer answer = answer_of(user, err, "no system bus for ModemManager");
    if (answer == Answer::Cancelled) return;
    auto *m = static_cast<Modem *>(user);
    if (answer == Answer::Failed) {
        evaluate_bearer(m);
        return;
    }
    m->sys = bus;
    g_dbus_object_manager_client_new(bus, G_DBUS_OBJECT_MANAGER_CLIENT_FLAGS_DO_NOT_AUTO_START, kMmBusName, kMmRootPath, nullptr,
                                     nullptr, nullptr, m->cancel, on_object_manager, m);
}

}  // namespace

IpConfig ip_config_of(GVariant *dict) {
    IpConfig c;
    if (!dict || !g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT)) return c;
    const char *text = nullptr;
    guint32 u = 0;
    if (g_variant_lookup(dict, "method", "u", &u)) c.method = u;
    if (g_variant_lookup(dict, "prefix", "u", &u)) c.prefix = u;
    if (g_variant_lookup(dict, "address", "&s", &text)) c.address = text;
    if (g_variant_lookup(dict, "gateway", "&s", &text)) c.gateway = text;
    for (const char *key : {"dns1", "dns2", "dns3"})
        if (g_variant_lookup(dict, key, "&s", &text) && *text) c.dns.emplace_back(text);
    return c;
}

std::string BearerInfo::dns_list() const {
    std::string out;
    for (const IpConfig *c : {&ip4, &ip6})
        for (const std::string &d : c->dns) {
            // Only numeric addresses go to the resolver as servers.
            GInetAddress *a = g_inet_address_new_from_string(d.c_str());
            if (!a) continue;
            g_object_unref(a);
            if (!out.empty()) out += ",";
            out += d;  // bare, as the resolver's server list takes it (port 53)
        }
    return out;
}

std::string BearerInfo::describe() const {
    if (iface.empty()) return "no interface given";
    std::string out = iface + " (";
    if (!apn.empty()) out += "APN " + apn + ", ";
    if (!ip4.address.empty()) out += ip4.address + "/" + std::to_string(ip4.prefix) + ", ";
    if (!ip6.address.empty()) out += ip6.address + "/" + std::to_string(ip6.prefix) + ", ";
    const std::string dns = dns_list();
    out += dns.empty() ? "no DNS servers given" : "DNS " + dns;
    return out + ")";
}

BearerState bearer_state_of(const std::vector<BearerSeen> &bearers, bool haveModem, const std::string &mmsApn,
                            std::string *iface, const BearerSeen **chosen) {
    iface->clear();
    if (chosen) *chosen = nullptr;
    if (!haveModem) return BearerState::NoBearersActive;
    bool anyConnected = false, apnKnown = false;
    for (const BearerSeen &b : bearers) {
        const bool forMms = mmsApn.empty() || g_ascii_strcasecmp(b.apn.c_str(), mmsApn.c_str()) == 0;
        apnKnown = apnKnown || forMms;
        anyConnected = anyConnected || b.connected;
        if (b.connected && forMms) {
            *iface = b.iface;
            if (chosen) *chosen = &b;
            return BearerState::ContextActive;
        }
    }
    if (!anyConnected) return apnKnown && !mmsApn.empty() ? BearerState::InterfaceDisconnected : BearerState::NoBearersActive;
    return BearerState::IncorrectApnConnected;
}

bool is_mms_wap_push(const uint8_t *data, size_t len) {
    if (!data || len == 0) return false;
    PushKind kind = PushKind::Other;
    std::string why;
    const std::vector<uint8_t> push(data, data + len);
    return !pdu_of_push(push, &kind, &why).empty() && kind != PushKind::Other;
}

Modem *modem_start(const ModemSettings &settings, ModemCallbacks callbacks, std::string *why) {
    auto m = std::make_unique<Modem>();
    m->s = settings;
    m->cb = std::move(callbacks);
    m->cancel = g_cancellable_new();
    if (settings.backend == ModemBackend::Ofono) {
        m->ofono = ofono_agent_start(m->s, &m->cb, why);
        if (!m->ofono) {
            g_object_unref(m->cancel);
            return nullptr;
        }
        m->state = BearerState::ContextActive;  // as the agent reports it
        m->reported = true;
        return m.release();
    }
    g_bus_get(G_BUS_TYPE_SYSTEM, m->cancel, on_system_bus, m.get());
    return m.release();
}

void modem_stop(Modem *m) {
    if (!m) return;
    g_cancellable_cancel(m->cancel);
    if (m->ofono) ofono_agent_stop(m->ofono);
    drop_modem(m);
    if (m->om) {
        g_signal_handlers_disconnect_by_data(m->om, m);
        g_object_unref(m->om);
    }
    if (m->sys) g_object_unref(m->sys);
    g_object_unref(m->cancel);
    delete m;
}

void modem_update_settings(Modem *m, const ModemSettings &settings) {
    if (!m) return;
    const bool numberChanged = settings.defaultModemNumber != m->s.defaultModemNumber;
    m->s.mmsApn = settings.mmsApn;
    m->s.defaultModemNumber = settings.defaultModemNumber;
    m->s.autoProcessSmsWap = settings.autoProcessSmsWap;
    if (m->ofono) {
        ofono_agent_update(m->ofono, settings);
        return;
    }
    if (numberChanged) {
        m->ownNumber.clear();
        update_own_number(m);
    }
    evaluate_bearer(m);
}

bool modem_bearer_up(const Modem *m, BearerState *state, std::string *iface) {
    if (m && m->ofono) {
        const BearerState st = ofono_bearer_state(m->ofono);
        if (state) *state = st;
        if (iface) *iface = ofono_bearer_info(m->ofono).iface;
        return st == BearerState::ContextActive;
    }
    if (state) *state = m ? m->state : BearerState::NoBearersActive;
    if (iface) *iface = m ? m->iface : std::string();
    return m && m->state == BearerState::ContextActive;
}

BearerInfo modem_bearer_info(const Modem *m) {
    if (!m) return {};
    if (m->ofono) return ofono_bearer_info(m->ofono);
    return m->state == BearerState::ContextActive ? m->info : BearerInfo{};
}

void modem_rescan(Modem *m) {
    if (m && !m->ofono) list_sms(m);
}

void modem_agent_push(Modem *m, const std::vector<uint8_t> &push) {
    if (m && m->ofono && m->cb.on_push) m->cb.on_push(push, "oFono");
}

}  // namespace rrd
