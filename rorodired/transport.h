// rorodired's transport: runs the core's StartTransfer effects through the
// library (fnCPS_SendMMS / fnCPS_DownloadMMS) on the GLib main loop and
// reports each outcome once. The library's result callback carries no user
// value: the one global of the service lives in transport.cpp for it.
//
// It reads the m-send-conf's Response-Status and Message-ID itself (the
// library reports only 21 for a refusal other than 22..24), decodes a
// retrieved message into its View (with the decoded bytes of transfer-encoded
// parts), refuses a notification whose Content-Location is not the
// configured relay's host and port (or that has userinfo or raw non-ASCII
// bytes) without connecting, and stops a transfer on request.
//
// Changes to this header are additive; the newest are listed here:
//   Transport::set_answer_done
//   Transport::start_read_report, read_relay_url, read_proxy,
//   Transport::set_bearer, running_iface
#ifndef RORODIRED_TRANSPORT_H
#define RORODIRED_TRANSPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core.h"

namespace rrd {

struct TransportSettings {
    std::string relayUrl;              // http://host[:port]/path
    std::string proxyHost, proxyPort;  // both empty: no proxy
    std::string userAgent, userAgentProfile;
    // The largest message a download takes (MaxMessageSize); 0 keeps the
    // library's own 307200.
    uint32_t maxDownload = 0;
};

// Whether `location` may be fetched with these settings: read by the
// library's URL reader (http only, no userinfo, only printable ASCII), the
// relay's host (letter case aside) and port exactly, any path.
bool location_allowed(const TransportSettings &s, const std::string &location, std::string *why);
// The relay's URL as the library reads it, written with http://.
bool read_relay_url(const std::string &url, std::string *why);
// A proxy "HOST:PORT" or "[IPv6]:PORT" read as a URL's authority: its host
// as a connect takes it (an IPv6 literal without brackets) and its port.
// Empty text is no proxy (true, both empty).
bool read_proxy(const std::string &text, std::string *host, std::string *port, std::string *why);

class Transport {
public:
    using Done = std::function<void(const std::string &id, TransferResult result)>;
    using Progress = std::function<void(const std::string &id, uint64_t bytes)>;
    // How the answer to the relay (m-notifyresp-ind) of a download ended;
    // it comes after Done, which hands the message on as soon as it is
    // whole and stored. `why` is empty when the relay took the answer.
    using AnswerDone = std::function<void(const std::string &id, bool ok, const std::string &why)>;

    // One Transport per process (the library runs one transaction at a time).
    Transport(Done done, Progress progress);
    ~Transport();  // stops a running transfer without reporting it
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    void set_settings(const TransportSettings &s);
    // The bearer the transfers started from now on go out on: its interface
    // (sockets tied to it) and DNS servers ("a,b", the relay's and proxy's
    // names resolved through them only). Both empty: the default route and
    // the system resolver. A running transfer keeps the bearer it began on.
    void set_bearer(const std::string &iface, const std::string &dns);
    // The running transfer's interface ("" when none or the default route).
    const std::string &running_iface() const;
    void set_answer_done(AnswerDone answerDone);

    // Starts the transfer of message `id`: a send posts `bytes` (the stored
    // m-send-req), a download fetches what `bytes` (the stored
    // m-notification-ind) names. Done is called exactly once, always from the
    // main loop (never from inside start()), also when the library refuses
    // to start (TransferEnd::NotStarted) or the location is refused
    // (TransferEnd::Refused). False only when a transfer already runs. A
    // transfer started while the library still answers the relay for the
    // last download begins once that answer has ended.
    bool start(const std::string &id, Lane lane, std::vector<uint8_t> bytes);

    // Posts the m-read-rec-ind `report` for the received message `id` to
    // the relay through the library's HTTP stack (the relay answers with an
    // HTTP status only). Done reports Ok for a 2xx answer, Failed otherwise,
    // NotStarted when the stack could not start; stop() ends it as any
    // transfer. False only when a transfer already runs.
    bool start_read_report(const std::string &id, std::vector<uint8_t> report);

    // Stops the running transfer (a StopTransfer effect, or the deadline):
    // the library's transaction is ended at once, its sockets closed, and
    // Done reports TransferEnd::Stopped. Nothing when none runs.
    void stop();

    bool busy() const;
    const std::string &running_id() const;

    struct Impl;  // opaque: transport.cpp's state, reached by the library's callback

private:
    Impl *p_;
};

}  // namespace rrd

#endif
