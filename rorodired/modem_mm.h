// rorodired: the ModemManager backend of modem.h (declarations shared by the
// backends' dispatch in modem_mm.cpp and the oFono backend).
#ifndef RORODIRED_MODEM_MM_H
#define RORODIRED_MODEM_MM_H

#include "modem.h"

namespace rrd {

// D-Bus names of ModemManager that the backend uses.
inline constexpr char kMmBusName[] = "org.freedesktop.ModemManager1";
inline constexpr char kMmRootPath[] = "/org/freedesktop/ModemManager1";
inline constexpr char kMmModemIface[] = "org.freedesktop.ModemManager1.Modem";
inline constexpr char kMmMessagingIface[] = "org.freedesktop.ModemManager1.Modem.Messaging";
inline constexpr char kMmSmsIface[] = "org.freedesktop.ModemManager1.Sms";
inline constexpr char kMmBearerIface[] = "org.freedesktop.ModemManager1.Bearer";

// SMS states of ModemManager (MMSmsState) that matter here.
enum class MmSmsState : uint32_t { Unknown = 0, Stored = 1, Receiving = 2, Received = 3, Sending = 4, Sent = 5 };

// One connected-or-not bearer as ModemManager shows it.
struct BearerSeen {
    bool connected = false;
    std::string apn, iface;
    BearerInfo info;  // its Interface, APN, Ip4Config and Ip6Config
};

// ModemManager's Ip4Config / Ip6Config dictionary (a{sv}) read into an IpConfig.
IpConfig ip_config_of(GVariant *dict);

// The bearer situation for a list of bearers (pure; the rule the backend
// applies on every change): up when a bearer for mmsApn is connected (APNs
// compared without regard to case), or any connected bearer when mmsApn is
// empty. *iface is the connected bearer's interface.
BearerState bearer_state_of(const std::vector<BearerSeen> &bearers, bool haveModem, const std::string &mmsApn,
                            std::string *iface, const BearerSeen **chosen = nullptr);

// The oFono backend's bearer (defined in modem_ofono.cpp).
struct OfonoAgent;
BearerInfo ofono_bearer_info(const OfonoAgent *a);
BearerState ofono_bearer_state(const OfonoAgent *a);
// MMS_APN changed: the contexts are judged again.
void ofono_agent_update(OfonoAgent *a, const ModemSettings &s);

}  // namespace rrd

#endif
