// rorodired: the library as an MMS service on D-Bus (org.ofono.mms family).
// Shared declarations of its parts: settings, stored messages, the bus.
#ifndef RORODIRED_H
#define RORODIRED_H

#include <gio/gio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rrd {

// ---------------------------------------------------------------- settings
struct Settings {
    std::string relayUrl;
    std::string proxyHost, proxyPort;  // both empty: no proxy
    std::string userAgent, userAgentProfile;
    std::string ownNumber;
    std::string storageDir;  // absolute
    std::string provider;    // "MCC MNC" as given, empty when not set
    std::string ofonoModem;  // modem object path whose push notifications come to us, or empty
    int retries = 3;         // further attempts after a transient failure
    double retryDelay = 2;   // seconds before the first retry; doubles after each
};

// Reads and checks the key file; on a problem returns false with one line in *why.
bool load_settings(const std::string &file, Settings *s, std::string *why);

// Relay URL and proxy of the MMS access point of a provider ("MCC MNC") in
// the mobile-broadband-provider-info database at `db`.
struct ProviderMms {
    std::string mmsc, proxy;
};
bool lookup_provider(const std::string &db, const std::string &mccMnc, ProviderMms *out, std::string *why);

// ---------------------------------------------------------------- PDUs
// The m-notification-ind inside a WAP push (WSP push header with content type
// application/vnd.wap.mms-message), or the bytes themselves when they are a
// bare m-notification-ind. Empty with *why when neither.
std::vector<uint8_t> notification_of_push(const std::vector<uint8_t> &push, std::string *why);

struct Attachment {
    std::string id, contentType;
    uint64_t offset = 0, length = 0;  // of the part's bytes inside the stored PDU
};

// What a message shows, read from its stored PDU (m-send-req or m-retrieve-conf).
struct View {
    std::optional<std::string> subject, sender, smil;
    std::vector<std::string> recipients;
    std::vector<Attachment> attachments;
    int date = 0;  // seconds since 1970 from the PDU, 0 when absent
    bool deliveryReport = false;
};
bool view_of_pdu(const std::vector<uint8_t> &pdu, View *v);

// Sender and subject of a notification, for a message that could not be fetched.
bool view_of_notification(const std::vector<uint8_t> &ind, View *v, std::string *location);

// One file the client wants to send.
struct OutPart {
    std::string id, contentType;
    std::vector<uint8_t> data;
};
struct OutMessage {
    std::vector<std::string> recipients;
    std::optional<std::string> subject, smil;
    bool deliveryReport = false;
    std::string from;  // empty: the relay inserts it
    std::string transactionId;
    std::vector<OutPart> parts;
};
// The m-send-req for a message: with the client's SMIL through the body
// encoder, otherwise through the composer (one slide per medium). Empty with
// an error name and text when the message cannot be composed.
std::vector<uint8_t> compose(const OutMessage &m, std::string *errorName, std::string *why);

// Largest message the service sends or accepts (the library's download limit).
constexpr size_t kMaxMessage = 307200;

// ---------------------------------------------------------------- storage
// Writes data to dir/name through a temporary name and a rename.
bool write_file_atomic(const std::string &path, const void *data, size_t len);
// Reads a regular file of at most `limit` bytes; with readerUid >= 0 only one
// that this user may read (owner-readable and owned by it, or world-readable).
bool read_file(const std::string &path, std::vector<uint8_t> *out, size_t limit = 64u << 20, long readerUid = -1);

// ---------------------------------------------------------------- service
int run_service(const Settings &s, bool systemBus);

}  // namespace rrd

#endif
