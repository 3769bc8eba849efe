// The development relay's request handling, apart from its HTTP server: a
// request (method, path, query, body) in, the answer and its faults out, one
// JSON log line per exchange. `rorodire relay` feeds it from libsoup; tests
// and fuzz targets call it directly.
#ifndef RORODIRE_RELAY_H
#define RORODIRE_RELAY_H

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rorodire.h"

namespace rrtool::relay {

// ---------------------------------------------------------------- limits
struct Limits {
    size_t maxRequest = 4u << 20;      // bytes of a request body; larger: 413
    size_t maxRecipients = 100;        // To + Cc + Bcc of one send request
    size_t storeQuota = 64u << 20;     // bytes of stored messages; the oldest go first
    long long expirySeconds = 7 * 24 * 3600;  // a stored message's lifetime (the notifications' Expiry)
    size_t maxFaults = 100;            // faults queued through /control
};
// The largest `oversize` a fault may ask for.
constexpr size_t kMaxOversize = 4u << 20;

// ---------------------------------------------------------------- faults
struct Fault {
    std::string on = "any";  // send, get, answer or any
    std::string kind;
    std::string arg;
    long remaining = -1;  // -1 unlimited
};

// "[send:|get:|answer:]KIND[=ARG]"; false with *why set for an unknown kind
// or an argument out of range.
bool parse_fault(const std::string &text, Fault *f, std::string *why);
// A Response-Status byte as written on a command line or in a fault:
// 0x80 to 0xFF in hex (0x..) or decimal digits, nothing else.
bool parse_status_byte(const std::string &text, int *out);

// ---------------------------------------------------------------- state
// One message as it was sent: stored once however many recipients it has.
struct Message {
    std::string messageId, from, to, cc, subject;
    bool hasTo = false, hasCc = false, hasSubject = false;
    uint32_t date = 0;  // seconds since 1970, as the records hold it
    int messageClass = 0, priority = 0, deliveryReport = 0, readReply = 0;
    std::vector<uint8_t> body;  // Content-Type and multipart body, as sent
    long long storedAt = 0;     // seconds
    std::vector<std::string> paths;  // its locations, one per recipient
};

// One recipient's location of a message.
struct Location {
    std::shared_ptr<Message> message;
    std::string tid;        // the notification's Transaction-Id
    std::string recipient;
    std::string file;       // the notification in the spool ("" when not written)
    std::string answer;     // "" until an m-notifyresp-ind / m-acknowledge-ind came
};

// What the reports on one message need, kept in the spool beside its
// notifications (MESSAGE-ID.rep) so that a restarted relay still answers for
// it: the sender, each recipient with the reports already written for them,
// and whether the sender asked Delivery-Report / Read-Reply.
struct ReportRecipient {
    std::string address;
    std::string tid;         // its notification's Transaction-Id
    std::string id;          // its location's name ("M...-1-2"), the stem of its files in the spool
    std::vector<int> delivered;  // Status values already reported to the sender, in order
    int read = 0;            // Read-Status already reported, 0 for none
};

struct Tracked {
    std::string messageId, from;
    bool deliveryReport = false, readReply = false;
    long long storedAt = 0;  // seconds
    std::vector<ReportRecipient> recipients;
};

struct State {
    std::string base;   // http://127.0.0.1:PORT
    std::string spool;  // folder of the notifications
    FILE *log = stdout;
    std::string sender = "+15550100000";
    int confStatus = 0x80;
    Limits limits;
    std::vector<Fault> faults;
    std::map<std::string, Location> byPath;    // "/msg/ID" -> location
    std::map<std::string, std::string> byTid;  // notification Transaction-Id -> path
    std::deque<std::shared_ptr<Message>> messages;  // oldest first
    size_t storedBytes = 0;
    unsigned long seq = 0;
    std::map<std::string, Tracked> tracked;  // Message-ID -> its report bookkeeping
    std::map<std::string, std::string> trackedByTid;  // notification Transaction-Id -> Message-ID
    // The m-send-conf given to each send request taken, by its sender and
    // Transaction-Id: a repeated request (a client that never saw the
    // answer sends again) gets the same answer and stores nothing new.
    std::map<std::string, std::vector<uint8_t>> confBySend;
    std::deque<std::string> confOrder;  // oldest first; at most kMaxRememberedSends
};
constexpr size_t kMaxRememberedSends = 10000;

// ---------------------------------------------------------------- exchange
struct Request {
    std::string method, path;
    std::map<std::string, std::string> query;
    std::string userAgent, profile;
    std::vector<uint8_t> body;
    size_t bodyBytes = 0;     // as received (more than body.size() when it was too large to keep)
    bool tooLarge = false;    // the body was above the request limit and was not kept
    bool conflictingLength = false;  // Content-Lengths that differ: the body's end is unknown
};

struct Reply {
    int status = 200;
    std::string contentType = "application/vnd.wap.mms-message";
    std::vector<uint8_t> body;
    std::string location;  // of a redirect
    // Faults below the HTTP layer.
    bool stall = false;                 // never answer
    std::optional<size_t> closeAfter;   // bytes before the connection is closed
    size_t trickleChunk = 0;            // bytes per tick (0: all at once)
    unsigned trickleMs = 100;
    std::string length;                 // "more", "fewer", "absent" or ""
    int interim = 0;                    // a 1xx status sent before the answer
    // The answer must be written by hand rather than by the HTTP server.
    bool raw() const { return closeAfter || trickleChunk || !length.empty() || interim; }
};

// Handles one request and logs it.
Reply handle_request(State &s, const Request &req);

// ---------------------------------------------------------------- reports
// Reads the report bookkeeping of the spool (every MESSAGE-ID.rep) into the
// state, for a relay started on a spool used before; files that do not read
// back are named in *skipped and left alone. The number of messages read.
size_t load_reports(State &s, std::vector<std::string> *skipped);
// Drops the messages that expired (with their notifications), writing the
// reports of their recipients as expire_reports does; the relay runs it
// every second, and before each request that needs the store.
void expire_messages(State &s);
// Writes the m-delivery-ind of every recipient of a message that expired
// without being retrieved (when the sender asked for delivery reports) and
// forgets the bookkeeping of expired messages; `now` in seconds.
void expire_reports(State &s, long long now);

// Starts the bookkeeping of a message just stored, its notifications
// written (its locations are in byPath), and writes it to the spool.
void track_message(State &s, const Message &m);
// Forgets a message's bookkeeping and its file (the message was dropped).
void forget_reports(State &s, const std::string &messageId);
// A recipient answered the notification with Transaction-Id `tid`: Status
// 0x81 Retrieved, 0x82 Rejected or 0x83 Deferred of an m-notifyresp-ind, or
// Retrieved for an m-acknowledge-ind. Writes the m-delivery-ind for the
// sender when asked and not yet written for this recipient and status;
// "key":value pairs for the exchange's log line (each beginning with ',').
std::string report_delivery(State &s, const std::string &tid, int status);
// A POSTed m-read-rec-ind: refused (400) when it does not decode, names no
// message of this relay or no recipient of it; else answered 200, and the
// m-read-orig-ind written for the sender when Read-Reply was asked and this
// recipient's read report is not written yet. `tid` gets the location's
// Transaction-Id, `extra` the log's "key":value pairs.
void handle_read_report(State &s, const Request &in, Reply &reply, std::string &tid, std::string &extra);

// Helpers the relay's parts share.
// A buffer the library allocated (an encoded PDU), released with fnQX_Free.
template <typename T>
struct PduPtr {
    T *p = nullptr;
    ~PduPtr() {
        if (p) fnQX_Free(reinterpret_cast<void **>(&p));
    }
};
// {"time":"...",FIELDS}: one line of the relay's log; fields begin with '"'.
void log_line(State &s, const std::string &fields);
// Writes a spool file the tool's one atomic way (rrtool::write_output: a
// temporary name beside it, fsync of file and folder, rename, never over or
// through anything but a regular file); false with *why (when given)
// naming the file and the system's reason.
bool write_file_atomic(const std::string &path, const uint8_t *p, size_t n, std::string *why = nullptr);

// The raw bytes of an answer the HTTP server would not write: interim
// response, status line, headers (with a lying Content-Length when asked)
// and body, cut after closeAfter bytes.
std::string raw_answer(const Reply &r);

}  // namespace rrtool::relay

#endif
