// rorodired's settings: a GLib key file. Changes made over the bus
// (SetProperty, ChangeSettings, ChangeAllSettings) are written back to the
// same file (atomically, comments kept) and take effect at once.
//
//   [Service]        StorageDir, UserAgent, UserAgentProfile, Provider,
//                    Retries, RetryDelay, AllowedGroup, MaxMessageSize,
//                    TotalMaxAttachmentSize,
//                    MaxAttachments, AutoCreateSMIL, UseDeliveryReports,
//                    SendReadReports, Backend (ModemManager | oFono),
//                    ModemPath, OfonoModem
//   [Modem Manager]  CarrierMMSC, MMS_APN, CarrierMMSProxy,
//                    DefaultModemNumber, AutoProcessOnConnection,
//                    AutoProcessSMSWAP (the names mmsd-tng uses)
//
// Older files name the relay RelayUrl, the proxy Proxy and the number
// OwnNumber in [Service]; they are read as CarrierMMSC, CarrierMMSProxy and
// DefaultModemNumber and written back under those names.
#ifndef RORODIRED_CONFIG_H
#define RORODIRED_CONFIG_H

#include <glib.h>

#include <cstddef>
#include <string>

#include "modem.h"
#include "rr_stack.h"

namespace rrd {

constexpr char kDefaultAllowedGroup[] = "mms";
constexpr int kDefaultMaxAttachmentsSize = 1100000;  // TotalMaxAttachmentSize, as mmsd-tng
// The composed PDU's limit: the attachments' budget, its presentation, the
// parts' headers and up to 100 recipients fit within it.
constexpr int kDefaultMaxMessageSize = 1228800;
// What older versions wrote for MaxMessageSize, then also the attachments'
// budget: a file that has it and no TotalMaxAttachmentSize takes the defaults.
constexpr int kOldDefaultMaxMessageSize = 307200;
constexpr int kDefaultMaxAttachments = 25;

struct Settings {
    std::string file;  // the key file the settings came from and go back to

    // The relay and how to reach it.
    std::string relayUrl;              // CarrierMMSC, an http:// URL
    std::string proxyHost, proxyPort;  // CarrierMMSProxy; both empty: no proxy
    std::string userAgent, userAgentProfile;
    std::string ownNumber;  // DefaultModemNumber; empty: from the modem
    std::string provider;   // "MCC MNC" as given, empty when not set

    std::string storageDir;  // absolute
    int retries = 3;         // further attempts after a transient failure
    double retryDelay = 2;   // seconds before the first retry; doubles after each

    // Who may call (system bus): root and the members of this group.
    std::string allowedGroup = kDefaultAllowedGroup;

    // What a message may be.
    int maxAttachmentsSize = kDefaultMaxAttachmentsSize;  // TotalMaxAttachmentSize: what SendMessage accepts
    int maxMessageSize = kDefaultMaxMessageSize;          // MaxMessageSize: the PDU sent
    int maxAttachments = kDefaultMaxAttachments;
    bool autoCreateSmil = false;  // mmsd-tng's default: a message without SMIL is multipart/mixed
    bool useDeliveryReports = false;
    bool sendReadReports = false;

    // The modem side.
    ModemBackend backend = ModemBackend::ModemManager;
    std::string modemPath;  // ModemManager modem object; empty: the first with Messaging
    std::string mmsApn;
    bool autoProcessOnConnection = true;
    bool autoProcessSmsWap = true;
    std::string ofonoModem;  // oFono modem object path

    // HOST:PORT, an IPv6 host in brackets ("[::1]:8080").
    std::string proxy_text() const { return rrhost::authority_text(proxyHost, proxyPort); }
};

// Reads and checks the key file; on a problem returns false with one line in *why.
bool load_settings(const std::string &file, Settings *s, std::string *why);

// The settings of a start without a key file (`file`, written when they
// change): mmsd-tng's defaults where an app sees them (CarrierMMSC
// http://mms.invalid, MMS_APN apn.invalid, no proxy, the modem's own number)
// and the store in the user's data folder ($XDG_DATA_HOME/rorodired), or in
// /var/lib/rorodired on the system bus.
Settings default_settings(const std::string &file, bool systemBus);

// Writes the settings back to s.file (keys of this program only; other
// groups, keys and comments of the file stay), creating its folder (0700)
// when missing. False with *why when the file cannot be written.
bool save_settings(const Settings &s, std::string *why);

// One setting changed by name (the names of ViewSettings, GetProperties and
// the key file). Checks the value; false with *why leaves *s as it was.
bool apply_setting(Settings *s, const std::string &name, GVariant *value, std::string *why);

// Relay URL and proxy of the MMS access point of a provider ("MCC MNC") in
// the mobile-broadband-provider-info database at `db`.
struct ProviderMms {
    std::string mmsc, proxy;
};
bool lookup_provider(const std::string &db, const std::string &mccMnc, ProviderMms *out, std::string *why);

// The ModemManager backend's settings from the service's.
ModemSettings modem_settings(const Settings &s);

}  // namespace rrd

#endif
