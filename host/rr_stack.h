// What the programs (the tool, its relay, rorodired) take from the library's
// transactions and HTTP stack: the transactions' interface, and host and port
// text read the one way a transaction reads it (a proxy "HOST:PORT" or
// "[IPv6]:PORT", a relay URL) and written the one way ("[IPv6]:port").
// Programs include this header, never the HTTP stack's own.
#ifndef RR_STACK_H
#define RR_STACK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "hbxappglib.h"

namespace rrhost {

// A host and port as the library's URL reader takes them: the host as the
// text writes it (an IPv6 literal in its brackets), the port stated or the
// default given.
struct HostPort {
    std::string host;
    int port = 0;
};

// Why an address text was refused; None when it was not.
enum class AddressFault : uint8_t {
    None,
    Unreadable,   // the URL reader refused it
    NoPort,       // a proxy names no port (or holds a NUL byte)
    HostTooLong,  // the host does not fit a connect
};

// Reads a relay URL with the library's reader (what a transaction would
// request). False with the reader's reason in *why.
bool read_url(const std::string &url, HostPort *out, std::string *why);

// Reads "HOST:PORT" or "[IPv6]:PORT" that makes up the whole text; the port
// defaults to `defaultPort` (0: none stated reads as 0). *why holds the
// reader's reason for Unreadable.
AddressFault read_authority(std::string_view text, int defaultPort, HostPort *out, std::string *why);

// A proxy "HOST:PORT" or "[IPv6]:PORT" (port required) as a connect takes
// it: the host without brackets and the port in digits. *why says what is
// wrong with any other text.
AddressFault read_proxy(std::string_view text, std::string *host, std::string *port, std::string *why);

// The host of a HostPort as a connect or lookup takes it (an IPv6 literal
// without its brackets); false when it is too long for one.
bool connect_host(const HostPort &hp, std::string *host);

// "host:port", an IPv6 literal in brackets: "[2001:db8::1]:8080". An empty
// host gives "".
std::string authority_text(const std::string &host, const std::string &port);
std::string authority_text(const std::string &host, int port);

// About how long sending `bytes` takes at the transactions' pace (one chunk
// a step), in seconds.
double send_seconds(size_t bytes);

}  // namespace rrhost

#endif
