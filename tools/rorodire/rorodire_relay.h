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
bool parse_fault(const std::string &spec, Fault *f, std::string *why);

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
};

// ---------------------------------------------------------------- exchange
struct Request {
    std::string method, path;
    std::map<std::string, std::string> query;
    std::string userAgent, profile;
    std::vector<uint8_t> body;
    size_t bodyBytes = 0;     // as received (more than body.size() when it was too large to keep)
    bool tooLarge = false;    // the body was above the request limit and was not kept
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

// The raw bytes of an answer the HTTP server would not write: interim
// response, status line, headers (with a lying Content-Length when asked)
// and body, cut after closeAfter bytes.
std::string raw_answer(const Reply &r);

}  // namespace rrtool::relay

#endif
