// rorodired: where pushes come from and whether the data bearer is up.
//
// One interface, two backends:
//  - ModemManager (default): org.freedesktop.ModemManager1 on the system bus
//    (also when the service itself is on the session bus; the system bus
//    address is taken from DBUS_SYSTEM_BUS_ADDRESS when it is set, which the
//    tests use). Picks the configured modem or the first one with
//    Modem.Messaging, reads Messaging.List() at start and follows
//    Messaging.Added; each received SMS whose Data is a WAP push of
//    application/vnd.wap.mms-message goes to on_push (and, with
//    autoProcessSmsWap, is deleted from the modem); other SMS are left alone.
//    Follows the modem's bearers: up when a bearer whose APN is mmsApn is
//    connected (any connected bearer when mmsApn is empty), with its
//    Interface, Ip4Config and Ip6Config.
//  - oFono: registers the service's push agent object with the oFono modem
//    (org.ofono.PushNotification.RegisterAgent). The agent object itself is
//    exported by the service (obj_agent); what its ReceiveNotification carries
//    is handed to modem_agent_push(), which passes it to on_push like any
//    other push. The bearer is the modem's active context for MMS_APN (or
//    its active "mms" context) from ConnectionManager.GetContexts, followed
//    through the contexts' PropertyChanged; without a ConnectionManager to
//    ask it is reported up once at start, without an interface.
//
// The backend never decides what a push means for the queue: it hands the
// WAP push bytes over and reports bearer changes; the service glue pauses or
// resumes the queue, emits BearerHandlerError and so on.
//
// All callbacks run on the GLib main loop of the thread that called
// modem_start (the default main context). None of them is called after
// modem_stop returns.
#ifndef RORODIRED_MODEM_H
#define RORODIRED_MODEM_H

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rrd {

enum class ModemBackend { ModemManager, Ofono };

// Bearer situation as mmsd-tng reports it in BearerHandlerError(h): the
// numbers are the values that signal carries, so the glue passes them on as
// they are. ContextActive is "no error".
enum class BearerState : int32_t {
    MmscMisconfigured = 0,      // no relay configured
    NoBearersActive = 1,        // the modem has no connected bearer (or no modem at all)
    InterfaceDisconnected = 2,  // the bearer for MMS_APN exists but is not connected
    IncorrectApnConnected = 3,  // bearers are connected, none for MMS_APN
    ContextActive = 5,          // a usable bearer is connected
};

// The connected bearer MMS goes out on, as the modem stack reports it:
// ModemManager's Bearer Interface, Ip4Config, Ip6Config and APN, or oFono's
// context Settings / IPv6.Settings. Empty fields are unknown.
struct IpConfig {
    uint32_t method = 0;  // ModemManager's MMBearerIpMethod (0 unknown, 1 ppp, 2 static, 3 dhcp)
    std::string address, gateway;
    uint32_t prefix = 0;
    std::vector<std::string> dns;  // dns1..dns3 in order
    bool operator==(const IpConfig &) const = default;
};
struct BearerInfo {
    std::string iface, apn;
    IpConfig ip4, ip6;
    bool operator==(const BearerInfo &) const = default;
    // The DNS servers to ask, IPv4 ones first, as "a,b,c" (empty: none given).
    std::string dns_list() const;
    // One line for the log: "wwan0 (APN mms, 10.0.0.2/30, DNS 10.0.0.1)".
    std::string describe() const;
};

struct ModemSettings {
    ModemBackend backend = ModemBackend::ModemManager;
    // ModemManager: object path of the modem to use; empty: the first one
    // with Modem.Messaging.
    std::string modemPath;
    // APN of the bearer MMS goes out on (key MMS_APN); empty: any connected bearer.
    std::string mmsApn;
    // Own number as configured (key DefaultModemNumber); empty: taken from
    // the modem's OwnNumbers and reported through on_own_number.
    std::string defaultModemNumber;
    // Delete each WAP push SMS from the modem once it was handed over.
    bool autoProcessSmsWap = true;

    // oFono: the modem's object path (key OfonoModem), the connection on
    // which the agent object is exported (oFono lives on the system bus, so
    // this is the service's own connection only with --system) and the
    // agent's object path.
    std::string ofonoModem;
    GDBusConnection *agentBus = nullptr;
    std::string agentPath;
};

struct ModemCallbacks {
    // A WAP push (WSP push header then the m-notification-ind) taken from an
    // SMS of the modem, or from oFono's agent call. `origin` names where it
    // came from for the log (the SMS object path, or "oFono").
    std::function<void(const std::vector<uint8_t> &push, const std::string &origin)> on_push;
    // The bearer went up or down, or changed (its interface, address or DNS
    // servers: modem_bearer_info tells the rest). `iface` is the network
    // interface of the connected bearer (e.g. "wwan0"), empty when down or
    // unknown. Called once soon after start with the first state (not
    // before every bearer the modem lists has been looked at).
    std::function<void(bool up, BearerState state, const std::string &iface)> on_bearer;
    // The modem's own number (from OwnNumbers), when none is configured.
    std::function<void(const std::string &number)> on_own_number;
    // Something the app or the log should hear about: no modem, a call to
    // the modem stack that failed. The backend keeps going.
    std::function<void(const std::string &text)> on_error;
};

struct Modem;  // one backend instance; opaque

// Starts the backend; it keeps working on the default main context. Returns
// nullptr with *why set when it cannot start at all (e.g. no system bus).
// A missing modem is not a failure: on_bearer(false, NoBearersActive, "")
// and on_error tell about it, and the backend picks the modem up when
// ModemManager shows it.
Modem *modem_start(const ModemSettings &settings, ModemCallbacks callbacks, std::string *why);

// Stops following the modem stack (unregisters the oFono agent) and frees
// everything. Safe with nullptr.
void modem_stop(Modem *m);

// Settings changed at run time (ChangeSettings, ChangeAllSettings): MMS_APN
// and DefaultModemNumber take effect at once (on_bearer is called again when
// the answer changes); a different modem path or backend needs
// modem_stop + modem_start.
void modem_update_settings(Modem *m, const ModemSettings &settings);

// The bearer as last seen (for ProcessMessageQueue and the first kick).
bool modem_bearer_up(const Modem *m, BearerState *state, std::string *iface);
// The connected bearer MMS uses, as last seen (empty when none, or when the
// modem stack does not tell). on_bearer is called again whenever it changes
// (another address, a reconnect, another interface).
BearerInfo modem_bearer_info(const Modem *m);

// Reads List() again and hands over pushes not handed over yet (e.g. on
// ProcessMessageQueue or AutoProcessOnConnection). An SMS is handed over once
// per run of the service.
void modem_rescan(Modem *m);

// oFono backend: what the agent's ReceiveNotification(ay, a{sv}) carried.
void modem_agent_push(Modem *m, const std::vector<uint8_t> &push);

// True when the bytes are a WAP push whose content type is
// application/vnd.wap.mms-message (read with the library's WSP reader); the
// test the ModemManager backend applies to each SMS's Data.
bool is_mms_wap_push(const uint8_t *data, size_t len);

}  // namespace rrd

#endif
