// rorodired's core: messages, the queue with its two lanes, deadlines, the
// retry policy, duplicate checks, limits, restart recovery and delivery
// bookkeeping. It does no I/O: time comes from an injected Clock, records go
// to disk through an injected Sink (the store, or a fake in tests), and every
// call returns the effects the caller applies in order (signals to emit,
// transfers to start or stop, a timer to arm). No GLib, no D-Bus, no sockets.
//
// Changes to this header are additive; the newest are listed here:
//   Notification::expiryRelative
//   CoreConfig::sendReadReports, Message::readReportDue, Effect::readReport
#ifndef RORODIRED_CORE_H
#define RORODIRED_CORE_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace rrd {

// ---------------------------------------------------------------- statuses
// A message's status. The first eight are what the bus shows (mmsd-tng's
// words); the last two are the core's own for received notifications.
enum class Status : uint8_t {
    Draft,            // "draft": a send queued or in flight
    Sent,             // "sent": the relay confirmed it
    Delivered,        // "delivered": every recipient's delivery report came
    Received,         // "received": downloaded, not yet read
    Read,             // "read": MarkRead on a received message
    Expired,          // "expired": a notification whose Expiry passed before it could be fetched
    Downloaded,       // "downloaded": mmsd-tng's word for a fetched message; kept for records written by it
    SendingFailed,    // "sending_failed": the send failed for good (error in Message::error)
    PendingDownload,  // internal: notification taken, download queued or running; no message object yet
    NotDownloaded,    // internal: the download failed for good; the notification is kept, shown as
                      // "received" with Expire and counted in NotificationInds
};

// The word the bus shows ("draft", ..., "sending_failed"); "received" for
// NotDownloaded, "" for PendingDownload.
const char *status_word(Status s);
// The word stored in a status file ("pending-download", "not-downloaded" for
// the internal ones); status_of_word reads it back.
const char *stored_word(Status s);
bool status_of_word(std::string_view word, Status *out);
// Whether a message object exists on the bus for this status.
bool is_shown(Status s);

enum class Direction : uint8_t { Out, In };

// The queue's lanes. The library runs one transaction at a time: a send that
// becomes ready while a download runs stops that download (it is tried again
// later without counting an attempt), so sends never wait behind downloads.
enum class Lane : uint8_t { Send, Download };

// ---------------------------------------------------------------- what a message shows
struct Attachment {
    std::string id;           // Content-ID in angle brackets for received parts ("<photo.jpg>")
    std::string contentType;  // with ";charset=..." for texts
    uint64_t offset = 0, length = 0;
    // -1: the bytes lie in the stored PDU (<id>.mms) at offset/length; n >= 0:
    // the part came transfer-encoded (base64, quoted-printable) and its
    // decoded bytes are the file of part n (offset 0, length = size).
    int partFile = -1;
};

// What a stored PDU (m-send-req, m-retrieve-conf) or a notification shows.
struct View {
    std::optional<std::string> subject, sender, smil;
    std::vector<std::string> recipients;
    std::vector<Attachment> attachments;
    int64_t date = 0;  // seconds since 1970 from the PDU, 0 when absent (64-bit: after 2038 too)
    bool deliveryReport = false;
    bool readReply = false;
    std::string messageId;      // Message-ID of a retrieve-conf
    std::string transactionId;  // of a send request or notification
};

// The fields of a notification the core needs.
struct Notification {
    std::string location;  // Content-Location
    std::string from, subject, transactionId;
    int64_t expiry = 0;          // seconds since 1970 (absolute), 0 when absent or relative
    int64_t expiryRelative = 0;  // seconds from its arrival when the notification gives a relative Expiry
    uint64_t size = 0;   // Message-Size announced
};

// A delivery or read report naming one of our sent messages.
struct Report {
    enum class Kind : uint8_t { Delivery, Read } kind = Kind::Delivery;
    std::string messageId;  // Message-ID of our m-send-conf
    std::string recipient;  // the To of the report (its /TYPE=PLMN suffix removed)
    std::string status;     // mmsd-tng's word: "retrieved", "rejected", "deferred", "expired", "indeterminate",
                            // "forwarded", "unreachable", "unrecognised"; for read reports "read" or "deleted"
};

// ---------------------------------------------------------------- records
struct Message {
    std::string id;  // 16 lowercase hex digits (36 for one taken over from mmsd-tng); the object path's last element and the file names
    Direction dir = Direction::Out;
    Status status = Status::Draft;
    int64_t date = 0;  // seconds since 1970
    int64_t seq = 0;   // order of arrival (GetMessages order, queue order)
    uid_t owner = 0;   // who may read its files (the sender's uid for sent, the configured user for received)
    gid_t group = 0;
    View view;

    // Queue state (persisted). queued: waiting for or in a transfer.
    bool queued = false;
    Lane lane = Lane::Send;
    int attempts = 0;           // failed attempts so far (a stopped download counts none)
    int64_t notBeforeMs = 0;    // monotonic ms (core clock) before which it is not tried again
    std::string transactionId;  // of our m-send-req: a resend after a restart carries the same one
    std::string messageId;      // Message-ID from the relay's m-send-conf
    std::string error;          // D-Bus error name of the failure ("org.ofono.mms.Error.TransientFailure", ...)
    std::string errorText;      // one line for the log and MessageSendError
    int responseStatus = -1;    // the relay's Response-Status (0x80 ok, 0xE3, ...), -1 when none came

    // Received notifications.
    std::string location;
    int64_t expire = 0;  // seconds since 1970, 0 when none
    uint64_t size = 0;

    // Delivery and read reports of a sent message: recipient -> status word.
    std::map<std::string, std::string> deliveryStatus;
    std::map<std::string, std::string> readStatus;
    bool readReportSent = false;  // a received message's read report went out (never twice)
    // A received message's read report waits in the send lane (MarkRead with
    // SendReadReports on a message whose sender asked Read-Reply); cleared
    // when it went out or was given up.
    bool readReportDue = false;
};

// ---------------------------------------------------------------- policy
struct Limits {
    size_t maxPendingDownloads = 1000;  // notifications waiting for a download
    size_t maxRecipients = 100;
    size_t maxAttachments = 25;     // key MaxAttachments
    size_t maxPushBytes = 8192;     // a larger push is refused
    size_t maxMessageSize = 307200; // key MaxMessageSize: the largest message sent
};

struct RetryPolicy {
    int retries = 3;               // further attempts after a transient failure
    int64_t firstDelayMs = 2000;   // delay before the first retry; doubles after each
    int64_t maxDelayMs = 600000;   // the doubling stops here
};

// Every transfer has an overall deadline and a progress floor (documented in
// the README):
//   deadline = clamp(baseMs + bytes * 1000 / bytesPerSecond, minMs, maxMs)
//     with bytes = the PDU to post, or for a download the larger of the
//     notification's announced size and MaxMessageSize (a notification may
//     understate what comes);
//   stalled  = after graceMs, fewer than floorBytes moved in the last windowMs
//     (or since the start, when that is shorter).
// Defaults: a 300 KB download at 300 B/s (1024 s) fits its 1260 s deadline;
// a trickle of one byte per 20 s has moved 3 bytes after 60 s and is stopped
// then, well within 10 minutes; the core looks at a running transfer every
// 10 s. A stopped transfer is a transient failure (retried as such).
struct DeadlinePolicy {
    int64_t baseMs = 60000;
    uint64_t bytesPerSecond = 256;
    int64_t minMs = 60000;
    int64_t maxMs = 1800000;
    int64_t graceMs = 60000;
    int64_t windowMs = 180000;
    uint64_t floorBytes = 512;
};

struct CoreConfig {
    Limits limits;
    RetryPolicy retry;
    DeadlinePolicy deadline;
    uid_t receivedOwner = 0;  // owner of received messages' files
    gid_t receivedGroup = 0;
    uint64_t (*random64)() = nullptr;  // id source; null: a random_device-seeded generator
    // MarkRead answers a sender who asked Read-Reply with a read report. Off
    // by default: a read report tells the sender when you read the message.
    bool sendReadReports = false;
};

// ---------------------------------------------------------------- injected
class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t mono_ms() const = 0;  // monotonic milliseconds
    virtual int64_t wall_s() const = 0;   // seconds since 1970
};

// Where the core's records and bytes go. A false return is a storage failure
// the core acts on at once (the client is told the truth).
enum class Blob : uint8_t {
    Pdu,           // <id>.mms: the m-send-req as sent, or the m-retrieve-conf as received
    Notification,  // <id>.ind
    Part,          // <id>.part<N>: a transfer-encoded part's decoded bytes
};
class Sink {
public:
    virtual ~Sink() = default;
    // Writes the record's status file (<id>.status) atomically.
    virtual bool save_record(const Message &m, std::string *why) = 0;
    // Writes a blob of a message atomically, owned as the record says.
    virtual bool save_blob(const Message &m, Blob kind, int index, const std::vector<uint8_t> &bytes,
                           std::string *why) = 0;
    // Marks a send the relay confirmed when its status file cannot be
    // written (a full disk): a hard link <id>.sent to its PDU, which needs no
    // data blocks. A message with the mark is loaded as sent.
    virtual bool mark_confirmed(const Message &m) = 0;
    virtual void remove_blob(const Message &m, Blob kind, int index) = 0;
    // Removes every file of the message (the status file first).
    virtual void remove_message(const Message &m) = 0;
};

// ---------------------------------------------------------------- effects
enum class EffectKind : uint8_t {
    MessageAdded,         // id: the message object appears; emit MessageAdded with its properties
    PropertyChanged,      // id, name ("status"), value (the status word, or "delivery_update,<number>=<status>")
    MessageRemoved,       // id: the object goes; emit MessageRemoved
    MessageSendError,     // id, error (D-Bus error name), text, host
    MessageReceiveError,  // id (may be empty), from, error, text, host
    StartTransfer,        // id, lane: hand the message's PDU (Send) or notification (Download) to the transport;
                          // readReport: post the read report of the received message `id` (send lane)
    StopTransfer,         // id: stop the running transfer (the transport then reports Stopped)
    ArmTimer,             // atMs: call Core::tick() at or after this monotonic time (replaces any earlier one)
    NotificationInds,     // count: the number of notifications not yet downloaded changed
    WaitingForBearer,     // the queue has work but no bearer: emit BearerHandlerError
    Log,                  // text: one line for the service's log
};

struct Effect {
    EffectKind kind = EffectKind::Log;
    std::string id;
    Lane lane = Lane::Send;
    std::string name, value;  // PropertyChanged
    std::string error, text, host, from;
    int64_t atMs = 0;
    uint64_t count = 0;
    bool readReport = false;  // StartTransfer of a read report
};
using Effects = std::vector<Effect>;

// ---------------------------------------------------------------- transfers
// How a transfer ended, as the transport reports it.
enum class TransferEnd : uint8_t {
    Ok,              // send: 20 (confirmed Ok); download: 0 (stored)
    Failed,          // send 21 / download 1: connection, HTTP or confirmation failure
    ServiceDenied,   // send 22
    NetworkProblem,  // send 23
    Unsupported,     // send 24
    TooBig,          // download 4
    NotStarted,      // the library refused to start (another transaction runs, no memory)
    Stopped,         // stopped on StopTransfer or at the deadline
    Refused,         // the transport refused without connecting (a location that is not our relay's)
};

struct TransferResult {
    TransferEnd end = TransferEnd::Failed;
    // Response-Status of the m-send-conf read by the transport itself (also
    // when the library reports only 21), -1 when none was read.
    int responseStatus = -1;
    std::string messageId;  // Message-ID of the m-send-conf
    std::string host;       // relay host, for MessageSendError/MessageReceiveError
    std::string why;        // one line
    // A download: the m-retrieve-conf, what it shows, and the decoded bytes
    // of its transfer-encoded parts (Attachment::partFile indexes them).
    std::vector<uint8_t> pdu;
    View view;
    std::vector<std::vector<uint8_t>> decodedParts;
};

// Whether a Response-Status is a permanent refusal (0xE0..0xFF, and the MMS
// 1.0 codes 0x82..0x88 other than 0x83 network problem, which is transient).
bool is_permanent_response(int responseStatus);
// The D-Bus error name for a Response-Status ("org.ofono.mms.Error.PermanentSendingAddressUnresolved", ...).
const char *error_name_of_response(int responseStatus);

// ---------------------------------------------------------------- the core
struct SendRequest {
    std::string id;  // from Core::new_id(), already used as "T<id>" Transaction-Id in the PDU
    std::vector<uint8_t> pdu;  // the m-send-req as composed
    View view;                 // what it shows (view_of_pdu of `pdu`)
    uid_t owner = 0;
    gid_t group = 0;
};

// Answers of calls that a client waits for.
enum class Refusal : uint8_t {
    None,
    InvalidArguments,    // e.g. no recipients, no attachments
    UnsupportedMessage,  // too many recipients/attachments, too large
    Storage,             // the store could not write it
    Duplicate,           // a push for a location we already have (taken, nothing added)
    TooMany,             // 1000 notifications pending
    NoSuchMessage,
};
// "org.ofono.mms.Error.InvalidArguments", ...; "org.ofono.mms.Error.StorageFull" for Storage.
const char *refusal_error_name(Refusal r);

struct Answer {
    Refusal refusal = Refusal::None;
    std::string why;
    Effects effects;
    bool ok() const { return refusal == Refusal::None; }
};

class Core {
public:
    Core(const CoreConfig &config, const Clock &clock, Sink &sink);
    ~Core();
    Core(const Core &) = delete;
    Core &operator=(const Core &) = delete;

    void set_config(const CoreConfig &config);  // settings changed at run time
    const CoreConfig &config() const;

    // Start: the records the store loaded. Restart recovery: a send whose
    // outcome is unknown (queued, maybe posted) is queued again with its
    // stored PDU and therefore the same Transaction-Id; a confirmed one
    // (status sent, or marked) is never reposted; a download is queued again.
    Effects load(std::vector<Message> stored);

    // A fresh id: 16 lowercase hex digits, unused.
    std::string new_id();

    // Counts checked before any file is opened.
    Answer check_counts(size_t recipients, size_t attachments) const;
    // Total size of the attachments read so far (a larger one is UnsupportedMessage).
    Answer check_size(uint64_t bytes) const;

    // A composed send: stored (PDU, then status) before it is queued; on a
    // storage failure nothing remains and the answer says Storage.
    Answer submit_send(SendRequest request);

    // A notification from a push (pushBytes: the whole push, for the size
    // limit; ind: the m-notification-ind stored as <id>.ind).
    Answer take_notification(const Notification &n, const std::vector<uint8_t> &ind, size_t pushBytes);
    // A delivery or read report; one naming no message of ours is ignored
    // with a Log effect.
    Effects take_report(const Report &r);

    // The transport's report on the transfer it ran for `id`.
    Effects transfer_done(const std::string &id, TransferResult result);
    // Bytes moved so far by the running transfer (for the progress floor).
    Effects transfer_progress(const std::string &id, uint64_t bytes);
    // The armed timer fired (deadlines, retries).
    Effects tick();

    Effects mark_read(const std::string &id, Answer *answer);
    Effects remove(const std::string &id, Answer *answer);

    // The bearer (ModemManager) went up or down; while down nothing starts.
    Effects set_bearer(bool up);
    // ProcessMessageQueue: every waiting item is tried now (retry delays dropped).
    Effects process_queue();

    const Message *find(const std::string &id) const;
    std::vector<const Message *> messages() const;  // shown ones, in order of arrival
    uint64_t notification_inds() const;             // PendingDownload + NotDownloaded
    // The transfer running now, if any.
    std::optional<std::pair<std::string, Lane>> running() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace rrd

#endif
