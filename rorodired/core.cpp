// rorodired's core: messages, the two-lane queue, deadlines, retries,
// duplicates, limits, restart recovery and report bookkeeping, without I/O.
#include "core.h"
#include "errors.h"

#include <algorithm>
#include <deque>
#include <random>

namespace rrd {
namespace {

// The core's short names for the error names it records (errors.h).
constexpr auto &kErrInvalid = kInvalidArguments;
constexpr auto &kErrUnsupported = kUnsupportedMessage;
constexpr auto &kErrTransient = kTransientFailure;
constexpr auto &kErrNetwork = kTransientNetworkProblem;
constexpr auto &kErrDenied = kPermanentServiceDenied;
constexpr auto &kErrContent = kPermanentContentNotAccepted;
constexpr auto &kErrStorage = kStorageFull;
constexpr auto &kErrNotFound = kNotFound;
constexpr auto &kErrRefused = kPermanentRelayNotAllowed;
constexpr auto &kErrExpired = kMessageExpired;
constexpr auto &kErrGone = kPermanentMessageNotFound;

// A download's deadline counts at least this many bytes (a notification may
// understate what comes): the size class relays accept.
constexpr uint64_t kDownloadDeadlineBytes = 307200;

// While a transfer runs the core looks at it this often (deadline, progress).
constexpr int64_t kRunningCheckMs = 10000;
// A transfer asked to stop that has not reported after this long is taken
// as stopped (the transport stops at once; this only keeps the queue going
// should a report ever be lost).
constexpr int64_t kStopReportMs = 30000;

struct StatusNames {
    Status status;
    const char *shown;
    const char *stored;
};
constexpr StatusNames kStatusNames[] = {
    {Status::Draft, "draft", "draft"},
    {Status::Sent, "sent", "sent"},
    {Status::Delivered, "delivered", "delivered"},
    {Status::Received, "received", "received"},
    {Status::Read, "read", "read"},
    {Status::Expired, "expired", "expired"},
    {Status::Downloaded, "downloaded", "downloaded"},
    // What chatty and mmsd-tng know of a send that failed: a draft (the
    // record keeps whether the relay refused it for good).
    {Status::SendingFailed, "draft", "sending_failed"},
    {Status::PendingDownload, "", "pending-download"},
    {Status::NotDownloaded, "", "not-downloaded"},
};
static_assert(std::size(kStatusNames) == static_cast<size_t>(Status::NotDownloaded) + 1);

// Numbers compare without blanks, dashes, dots and brackets; e-mail
// addresses without letter case.
std::string address_key(const std::string &a) {
    std::string k;
    for (char c : a) {
        if (c == ' ' || c == '-' || c == '.' || c == '(' || c == ')') {
            if (a.find('@') == std::string::npos) continue;
        }
        k += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return k;
}

Effect eff(EffectKind kind, const std::string &id) {
    Effect e;
    e.kind = kind;
    e.id = id;
    return e;
}

Effect log_effect(std::string text) {
    Effect e = eff(EffectKind::Log, {});
    e.text = std::move(text);
    return e;
}

Effect status_effect(const Message &m) {
    Effect e = eff(EffectKind::PropertyChanged, m.id);
    e.name = "status";
    e.value = status_word(m.status);
    return e;
}

uint64_t default_random64() {
    static std::mt19937_64 gen{[] {
        std::random_device rd;
        return (static_cast<uint64_t>(rd()) << 32) ^ rd();
    }()};
    return gen();
}

}  // namespace

const char *status_word(Status s) { return kStatusNames[static_cast<size_t>(s)].shown; }
const char *stored_word(Status s) { return kStatusNames[static_cast<size_t>(s)].stored; }

bool status_of_word(std::string_view word, Status *out) {
    for (const StatusNames &n : kStatusNames)
        if (word == n.stored) {
            *out = n.status;
            return true;
        }
    return false;
}

bool is_shown(Status s) { return s != Status::PendingDownload && s != Status::NotDownloaded; }

bool is_permanent_response(int r) {
    if (r >= 0xE0 && r <= 0xFF) return true;
    // MMS 1.0: 0x81 unspecified and 0x86 network problem may pass; the rest are refusals.
    return r == 0x82 || r == 0x83 || r == 0x84 || r == 0x85 || r == 0x87 || r == 0x88;
}

const char *error_name_of_response(int r) {
    for (const ResponseName &n : kResponseNames)
        if (n.code == r) return n.name;
    if (r >= 0xE0 && r <= 0xFF) return kPermanentFailure;
    if (r >= 0xC0 && r < 0xE0) return kErrTransient;
    return kErrTransient;
}

const char *refusal_error_name(Refusal r) {
    switch (r) {
        case Refusal::None: return "";
        case Refusal::InvalidArguments: return kErrInvalid;
        case Refusal::UnsupportedMessage: return kErrUnsupported;
        case Refusal::Storage: return kErrStorage;
        case Refusal::Duplicate: return kErrInvalid;
        case Refusal::TooMany: return kTooManyPending;
        case Refusal::NoSuchMessage: return kErrNotFound;
    }
    return kErrInvalid;
}

// ---------------------------------------------------------------- state
struct Core::State {
    CoreConfig cfg;
    const Clock &clock;
    Sink &sink;
    std::unordered_map<std::string, std::unique_ptr<Message>> msgs;
    std::unordered_set<std::string> reserved;            // ids handed out, not yet submitted
    std::unordered_map<std::string, std::string> byLocation;   // Content-Location -> id (kept after Delete)
    std::unordered_map<std::string, std::string> byMessageId;  // Message-ID of our sends -> id
    int64_t lastSeq = 0;
    bool bearerUp = true;
    bool waitingReported = false;
    uint64_t reportedInds = UINT64_MAX;
    int64_t armedAt = 0;

    enum class StopWhy : uint8_t { None, Preempt, Deadline, Stalled, Removed };
    struct Running {
        std::string id;
        Lane lane = Lane::Send;
        int64_t startMs = 0, deadlineMs = 0;
        uint64_t bytes = 0;
        std::deque<std::pair<int64_t, uint64_t>> samples;  // (time, bytes so far)
        StopWhy stop = StopWhy::None;
        int64_t stopAtMs = 0;
    };
    std::optional<Running> running;

    State(const CoreConfig &c, const Clock &k, Sink &s) : cfg(c), clock(k), sink(s) {}

    int64_t now() const { return clock.mono_ms(); }

    Message *get(const std::string &id) {
        auto it = msgs.find(id);
        return it == msgs.end() ? nullptr : it->second.get();
    }

    // A message a client may act on (it has an object on the bus); null
    // with the answer NoSuchMessage otherwise.
    Message *shown(const std::string &id, Answer *answer) {
        *answer = Answer{};
        Message *m = get(id);
        if (m && is_shown(m->status)) return m;
        answer->refusal = Refusal::NoSuchMessage;
        answer->why = "no such message";
        return nullptr;
    }

    uint64_t inds() const {
        uint64_t n = 0;
        for (const auto &[id, m] : msgs) n += m->status == Status::PendingDownload;
        return n;
    }
    size_t pending_downloads() const {
        size_t n = 0;
        for (const auto &[id, m] : msgs) n += m->status == Status::PendingDownload;
        return n;
    }

    bool save(const Message &m, Effects &fx) {
        std::string why;
        if (sink.save_record(m, &why)) return true;
        fx.push_back(log_effect("message " + m.id + ": its status cannot be stored: " + why));
        return false;
    }

    int64_t deadline_for(const Message &m) const {
        const DeadlinePolicy &d = cfg.deadline;
        uint64_t bytes = m.size;
        if (m.lane == Lane::Download) bytes = std::max<uint64_t>(bytes, kDownloadDeadlineBytes);
        const uint64_t bps = d.bytesPerSecond ? d.bytesPerSecond : 1;
        const int64_t t = d.baseMs + static_cast<int64_t>(std::min<uint64_t>(bytes, 1ull << 40) * 1000 / bps);
        return std::clamp(t, d.minMs, d.maxMs);
    }

    int64_t retry_delay(int attempts) const {
        int64_t d = cfg.retry.firstDelayMs;
        for (int i = 1; i < attempts && d < cfg.retry.maxDelayMs; ++i) d *= 2;
        return std::min(d, cfg.retry.maxDelayMs);
    }

    // A received message in the send lane: its read report is the transfer.
    static bool is_read_report(const Message &m) { return m.dir == Direction::In && m.lane == Lane::Send; }

    bool ready(const Message &m, int64_t t) const { return m.queued && m.notBeforeMs <= t; }

    // The next item of a lane: the oldest ready one.
    Message *next_of(Lane lane, int64_t t) {
        Message *best = nullptr;
        for (auto &[id, m] : msgs)
            if (m->lane == lane && ready(*m, t) && (!running || running->id != id) && (!best || m->seq < best->seq))
                best = m.get();
        return best;
    }

    // Starts what may start, stops a download a send is waiting for, arms the timer.
    void pump(Effects &fx) {
        const int64_t t = now();
        bool work = false;
        for (auto &[id, m] : msgs) work = work || m->queued;
        if (!bearerUp) {
            if (work && !waitingReported) {
                fx.push_back(eff(EffectKind::WaitingForBearer, {}));
                waitingReported = true;
            }
        } else {
            waitingReported = false;
            Message *send = next_of(Lane::Send, t);
            if (running) {
                if (send && running->lane == Lane::Download && running->stop == StopWhy::None) {
                    request_stop(StopWhy::Preempt, fx);
                    fx.push_back(log_effect("download of " + running->id + " stopped for the send of " + send->id));
                }
            } else {
                Message *m = send ? send : next_of(Lane::Download, t);
                if (m) {
                    Running r;
                    r.id = m->id;
                    r.lane = m->lane;
                    r.startMs = t;
                    r.deadlineMs = t + deadline_for(*m);
                    r.samples.emplace_back(t, 0);
                    running = std::move(r);
                    Effect e = eff(EffectKind::StartTransfer, m->id);
                    e.lane = m->lane;
                    e.readReport = is_read_report(*m);
                    fx.push_back(e);
                }
            }
        }
        arm(fx);
    }

    void arm(Effects &fx) {
        const int64_t t = now();
        int64_t at = 0;
        auto consider = [&](int64_t when) {
            if (when > 0 && (at == 0 || when < at)) at = when;
        };
        if (running) consider(std::min(running->deadlineMs, t + kRunningCheckMs));
        if (bearerUp)
            for (auto &[id, m] : msgs)
                if (m->queued && m->notBeforeMs > t) consider(m->notBeforeMs);
        if (at != 0 && at != armedAt) {
            Effect e = eff(EffectKind::ArmTimer, {});
            e.atMs = at;
            fx.push_back(e);
        }
        armedAt = at;
    }

    void finish(Effects &fx) {
        pump(fx);
        const uint64_t n = inds();
        if (n != reportedInds) {
            Effect e = eff(EffectKind::NotificationInds, {});
            e.count = n;
            fx.push_back(e);
            reportedInds = n;
        }
    }

    // Asks the transport to stop the running transfer.
    void request_stop(StopWhy why, Effects &fx) {
        running->stop = why;
        running->stopAtMs = now();
        Effect e = eff(EffectKind::StopTransfer, running->id);
        e.lane = running->lane;
        fx.push_back(e);
    }

    void stalled_or_late(Effects &fx) {
        if (!running || running->stop != StopWhy::None) return;
        const int64_t t = now();
        const DeadlinePolicy &d = cfg.deadline;
        StopWhy why = StopWhy::None;
        if (t >= running->deadlineMs) {
            why = StopWhy::Deadline;
        } else if (t - running->startMs >= d.graceMs) {
            // Bytes moved in the last window (or since the start).
            uint64_t before = 0;
            for (const auto &[when, bytes] : running->samples)
                if (when <= t - d.windowMs) before = bytes;
            if (running->bytes - before < d.floorBytes) why = StopWhy::Stalled;
        }
        if (why == StopWhy::None) return;
        request_stop(why, fx);
        fx.push_back(log_effect("transfer of " + running->id +
                                (why == StopWhy::Deadline ? " passed its deadline" : " stalled (too few bytes moved)") +
                                ": stopped"));
    }

    // A failure that may pass: retried with a doubling delay, or final.
    void transient(Message &m, const std::string &error, const std::string &text, const std::string &host, Effects &fx) {
        ++m.attempts;
        m.error = error;
        m.errorText = text;
        if (m.attempts <= cfg.retry.retries) {
            const int64_t delay = retry_delay(m.attempts);
            m.notBeforeMs = now() + delay;
            save(m, fx);
            fx.push_back(log_effect("message " + m.id + ": " + text + "; attempt " + std::to_string(m.attempts + 1) +
                                    " in " + std::to_string(delay / 1000) + " s"));
            return;
        }
        if (is_read_report(m))
            read_report_ended(m, false, text, fx);
        else if (m.lane == Lane::Send)
            send_given_up(m, error, text, host, fx);
        else
            download_waits(m, error, text, host, fx);
    }

    // A send whose retries are spent stays a draft, as mmsd-tng keeps it: it
    // goes again at the next start, on ProcessMessageQueue and when a bearer
    // connects (AutoProcessOnConnection).
    void send_given_up(Message &m, const std::string &error, const std::string &text, const std::string &host,
                       Effects &fx) {
        m.queued = false;
        m.error = error;
        m.errorText = text;
        save(m, fx);
        fx.push_back(log_effect("message " + m.id + " not sent for now: " + error + ": " + text +
                                "; it goes again on ProcessMessageQueue or at the next start"));
        Effect e = eff(EffectKind::MessageSendError, m.id);
        e.error = error;
        e.text = text;
        e.host = host;
        fx.push_back(e);
    }

    // A download whose retries are spent keeps its notification and is tried
    // again after a longer wait (doubling to the longest delay) until its
    // Expiry; the app hears of it only through MessageReceiveError.
    void download_waits(Message &m, const std::string &error, const std::string &text, const std::string &host,
                        Effects &fx) {
        const int64_t delay = retry_delay(m.attempts);
        m.notBeforeMs = now() + delay;
        m.attempts = std::min(m.attempts, 1000);
        save(m, fx);
        fx.push_back(log_effect("message " + m.id + " not downloaded for now: " + error + ": " + text +
                                "; tried again in " + std::to_string(delay / 1000) + " s"));
        // No MessagePath: there is no message object (yet).
        Effect e = eff(EffectKind::MessageReceiveError, {});
        e.error = error;
        e.text = text;
        e.host = host;
        e.from = m.view.sender.value_or("");
        fx.push_back(e);
    }

    void send_failed(Message &m, const std::string &error, const std::string &text, const std::string &host, Effects &fx) {
        m.queued = false;
        m.status = Status::SendingFailed;
        m.error = error;
        m.errorText = text;
        if (!save(m, fx)) {
            m.error = kErrStorage;
            m.errorText = text + "; the failure could not be stored";
        }
        fx.push_back(log_effect("message " + m.id + " refused for good: " + error + ": " + text));
        Effect e = eff(EffectKind::MessageSendError, m.id);
        e.error = m.error;
        e.text = m.errorText;
        e.host = host;
        fx.push_back(e);
    }

    // The read report went out (sent) or is given up: never tried again.
    void read_report_ended(Message &m, bool sent, const std::string &text, Effects &fx) {
        m.queued = false;
        m.readReportDue = false;
        m.readReportSent = m.readReportSent || sent;
        m.lane = Lane::Download;
        m.attempts = 0;
        m.error.clear();
        m.errorText.clear();
        save(m, fx);
        fx.push_back(log_effect("message " + m.id + ": read report " + (sent ? "sent" : "given up: " + text)));
    }

    // A download that failed for good (its Expiry passed, the relay says the
    // message is gone or too large): reported once, then the notification is
    // dropped. No message object ever shows it.
    void download_failed(Message &m, const std::string &error, const std::string &text, const std::string &host,
                         Effects &fx) {
        fx.push_back(log_effect("message " + m.id + " cannot be downloaded: " + error + ": " + text + "; dropped"));
        Effect e = eff(EffectKind::MessageReceiveError, {});
        e.error = error;
        e.text = text;
        e.host = host;
        e.from = m.view.sender.value_or("");
        fx.push_back(e);
        remove_now(m, fx);
    }

    void sent(Message &m, const TransferResult &r, Effects &fx) {
        m.queued = false;
        m.status = Status::Sent;
        m.messageId = r.messageId;
        m.responseStatus = r.responseStatus;
        m.error.clear();
        m.errorText.clear();
        if (!m.messageId.empty()) byMessageId[m.messageId] = m.id;
        if (!save(m, fx)) {
            // The relay has it: it must never be posted again. A hard link
            // needs no data blocks; failing that the PDU goes, so nothing can
            // be reposted after a restart.
            if (!sink.mark_confirmed(m)) {
                sink.remove_blob(m, Blob::Pdu, 0);
                fx.push_back(log_effect("message " + m.id + " was sent but cannot be recorded: its PDU is removed"));
                Effect e = eff(EffectKind::MessageSendError, m.id);
                e.error = kErrStorage;
                e.text = "sent, but the store is full: the message will not be kept";
                e.host = r.host;
                fx.push_back(status_effect(m));
                fx.push_back(e);
                return;
            }
        }
        fx.push_back(status_effect(m));
    }

    void received(Message &m, TransferResult &r, Effects &fx) {
        std::string why;
        bool ok = sink.save_blob(m, Blob::Pdu, 0, r.pdu, &why);
        if (ok && !r.decodedParts.empty()) ok = sink.save_blob(m, Blob::Parts, 0, r.decodedParts.front(), &why);
        Message next = m;
        next.view = r.view;
        if (!next.view.sender && m.view.sender) next.view.sender = m.view.sender;
        next.status = Status::Received;
        next.queued = false;
        next.error.clear();
        next.errorText.clear();
        next.size = r.pdu.size();
        if (next.view.date > 0) next.date = next.view.date;
        if (ok) ok = sink.save_record(next, &why);
        if (!ok) {
            if (!r.decodedParts.empty()) sink.remove_blob(m, Blob::Parts, 0);
            sink.remove_blob(m, Blob::Pdu, 0);
            transient(m, kErrStorage, "the message cannot be stored: " + why, r.host, fx);
            return;
        }
        m = std::move(next);
        sink.remove_blob(m, Blob::Notification, 0);
        fx.push_back(eff(EffectKind::MessageAdded, m.id));
    }

    void remove_now(Message &m, Effects &fx) {
        const bool shown = is_shown(m.status);
        sink.remove_message(m);
        if (!m.messageId.empty()) byMessageId.erase(m.messageId);
        const std::string id = m.id;
        msgs.erase(id);
        if (shown) fx.push_back(eff(EffectKind::MessageRemoved, id));
    }
};

// ---------------------------------------------------------------- core
Core::Core(const CoreConfig &config, const Clock &clock, Sink &sink) : s_(std::make_unique<State>(config, clock, sink)) {}
Core::~Core() = default;

void Core::set_config(const CoreConfig &config) { s_->cfg = config; }
const CoreConfig &Core::config() const { return s_->cfg; }

Effects Core::load(std::vector<Message> stored) {
    Effects fx;
    for (Message &m : stored) {
        if (s_->msgs.count(m.id)) continue;
        // Restart recovery: a draft's outcome is unknown (maybe posted, maybe
        // not): it goes out again with its stored PDU, so with the same
        // Transaction-Id. A confirmed send never does.
        if (m.dir == Direction::Out) {
            m.queued = m.status == Status::Draft;
            m.lane = Lane::Send;
        } else if (m.status == Status::NotDownloaded || m.status == Status::Expired) {
            // Older versions kept a notification that could not be fetched as
            // a message without content: its notification is gone, so it
            // cannot be fetched any more. Dropped, never shown empty.
            fx.push_back(log_effect("message " + m.id + " was never downloaded and cannot be any more: dropped"));
            s_->sink.remove_message(m);
            continue;
        } else {
            // A read report that had not gone out goes out now (it may have
            // reached the relay before the stop: the relay passes each on once).
            const bool report = m.readReportDue && !m.readReportSent && m.status != Status::PendingDownload;
            m.readReportDue = report;
            m.queued = m.status == Status::PendingDownload || report;
            m.lane = report ? Lane::Send : Lane::Download;
        }
        m.notBeforeMs = 0;
        if (m.seq <= 0) m.seq = s_->lastSeq + 1;
        s_->lastSeq = std::max(s_->lastSeq, m.seq);
        if (!m.location.empty()) s_->byLocation[m.location] = m.id;
        if (!m.messageId.empty() && m.dir == Direction::Out) s_->byMessageId[m.messageId] = m.id;
        const std::string id = m.id;
        s_->msgs.emplace(id, std::make_unique<Message>(std::move(m)));
    }
    s_->finish(fx);
    return fx;
}

std::string Core::new_id() {
    static constexpr char kHex[] = "0123456789abcdef";
    for (;;) {
        uint64_t v = s_->cfg.random64 ? s_->cfg.random64() : default_random64();
        std::string id(16, '0');
        for (int i = 15; i >= 0; --i, v >>= 4) id[static_cast<size_t>(i)] = kHex[v & 15];
        if (!s_->msgs.count(id) && s_->reserved.insert(id).second) return id;
    }
}

Answer Core::check_counts(size_t recipients, size_t attachments) const {
    Answer a;
    const Limits &l = s_->cfg.limits;
    if (recipients == 0) {
        a.refusal = Refusal::InvalidArguments;
        a.why = "no recipients";
    } else if (recipients > l.maxRecipients) {
        a.refusal = Refusal::InvalidArguments;
        a.why = "too many recipients: at most " + std::to_string(l.maxRecipients);
    } else if (attachments == 0) {
        a.refusal = Refusal::InvalidArguments;
        a.why = "a message needs at least one attachment";
    } else if (attachments > l.maxAttachments) {
        a.refusal = Refusal::UnsupportedMessage;
        a.why = "too many attachments: at most " + std::to_string(l.maxAttachments);
    }
    return a;
}

Answer Core::check_size(uint64_t bytes) const {
    Answer a;
    if (bytes > s_->cfg.limits.maxAttachmentsSize) {
        a.refusal = Refusal::UnsupportedMessage;
        a.why = "the attachments are larger than TotalMaxAttachmentSize (" +
                std::to_string(s_->cfg.limits.maxAttachmentsSize) + " bytes)";
    }
    return a;
}

Answer Core::check_pdu_size(uint64_t bytes) const {
    Answer a;
    if (bytes > s_->cfg.limits.maxMessageSize) {
        a.refusal = Refusal::UnsupportedMessage;
        a.why = "the message is " + std::to_string(bytes) + " bytes, larger than MaxMessageSize (" +
                std::to_string(s_->cfg.limits.maxMessageSize) + " bytes)";
    }
    return a;
}

Answer Core::submit_send(SendRequest req) {
    Answer a;
    State &s = *s_;
    if (req.id.size() != 16 || s.msgs.count(req.id) || req.pdu.empty()) {
        a.refusal = Refusal::InvalidArguments;
        a.why = "the message has no fresh id or no PDU";
        return a;
    }
    if (Answer sz = check_pdu_size(req.pdu.size()); !sz.ok()) return sz;
    s.reserved.erase(req.id);
    auto m = std::make_unique<Message>();
    m->id = req.id;
    m->dir = Direction::Out;
    m->status = Status::Draft;
    m->date = s.clock.wall_s();
    m->seq = ++s.lastSeq;
    m->owner = req.owner;
    m->group = req.group;
    m->view = std::move(req.view);
    m->attachmentIds = std::move(req.attachmentIds);
    m->queued = true;
    m->lane = Lane::Send;
    m->transactionId = m->view.transactionId.empty() ? "T" + m->id : m->view.transactionId;
    m->size = req.pdu.size();
    // On disk before anything goes out: the PDU, then its status.
    std::string why;
    if (!s.sink.save_blob(*m, Blob::Pdu, 0, req.pdu, &why) || !s.sink.save_record(*m, &why)) {
        s.sink.remove_message(*m);
        a.refusal = Refusal::Storage;
        a.why = "the message cannot be stored: " + why;
        a.effects.push_back(log_effect("message " + m->id + " refused: " + a.why));
        return a;
    }
    const std::string id = m->id;
    s.msgs.emplace(id, std::move(m));
    a.effects.push_back(eff(EffectKind::MessageAdded, id));
    s.finish(a.effects);
    return a;
}

Answer Core::take_notification(const Notification &n, const std::vector<uint8_t> &ind, size_t pushBytes) {
    Answer a;
    State &s = *s_;
    if (pushBytes > s.cfg.limits.maxPushBytes) {
        a.refusal = Refusal::InvalidArguments;
        a.why = "the push is larger than " + std::to_string(s.cfg.limits.maxPushBytes) + " bytes";
        return a;
    }
    if (n.location.empty()) {
        a.refusal = Refusal::InvalidArguments;
        a.why = "the notification names no location";
        return a;
    }
    if (auto it = s.byLocation.find(n.location); it != s.byLocation.end()) {
        a.refusal = Refusal::Duplicate;
        a.why = "a repeated notification for " + n.location + " (message " + it->second + ")";
        a.effects.push_back(log_effect(a.why + ": nothing added"));
        return a;
    }
    if (s.pending_downloads() >= s.cfg.limits.maxPendingDownloads) {
        a.refusal = Refusal::TooMany;
        a.why = std::to_string(s.cfg.limits.maxPendingDownloads) + " notifications are waiting already";
        a.effects.push_back(log_effect("notification for " + n.location + " refused: " + a.why));
        return a;
    }
    auto m = std::make_unique<Message>();
    m->id = new_id();
    s.reserved.erase(m->id);
    m->dir = Direction::In;
    m->date = s.clock.wall_s();
    m->seq = ++s.lastSeq;
    m->owner = s.cfg.receivedOwner;
    m->group = s.cfg.receivedGroup;
    if (!n.from.empty()) m->view.sender = n.from;
    if (!n.subject.empty()) m->view.subject = n.subject;
    m->view.transactionId = n.transactionId;
    m->location = n.location;
    m->size = n.size;
    m->expire = n.expiry > 0 ? n.expiry : n.expiryRelative > 0 ? m->date + n.expiryRelative : 0;
    if (m->expire > 0 && m->date >= m->expire) {
        // Too late to fetch: reported once, nothing stored.
        s.byLocation[m->location] = m->id;
        Effect e = eff(EffectKind::MessageReceiveError, {});
        e.error = kErrExpired;
        e.text = "the message expired before it could be downloaded";
        e.from = n.from;
        a.effects.push_back(log_effect("notification for " + n.location + ": " + e.text + ": dropped"));
        a.effects.push_back(e);
        return a;
    }
    m->status = Status::PendingDownload;
    m->queued = true;
    m->lane = Lane::Download;
    std::string why;
    const bool stored = s.sink.save_blob(*m, Blob::Notification, 0, ind, &why) && s.sink.save_record(*m, &why);
    if (!stored) {
        s.sink.remove_message(*m);
        a.refusal = Refusal::Storage;
        a.why = "the notification cannot be stored: " + why;
        a.effects.push_back(log_effect("notification for " + n.location + " refused: " + a.why));
        return a;
    }
    s.byLocation[m->location] = m->id;
    const std::string id = m->id;
    s.msgs.emplace(id, std::move(m));
    s.finish(a.effects);
    return a;
}

Effects Core::take_report(const Report &r) {
    Effects fx;
    State &s = *s_;
    auto it = s.byMessageId.find(r.messageId);
    Message *m = it == s.byMessageId.end() ? nullptr : s.get(it->second);
    if (!m || m->dir != Direction::Out) {
        fx.push_back(log_effect(std::string(r.kind == Report::Kind::Delivery ? "delivery" : "read") +
                                " report for Message-ID '" + r.messageId + "', no message of ours: ignored"));
        return fx;
    }
    auto &table = r.kind == Report::Kind::Delivery ? m->deliveryStatus : m->readStatus;
    std::string key = r.recipient;
    for (const std::string &rc : m->view.recipients)
        if (address_key(rc) == address_key(r.recipient)) key = rc;
    if (auto old = table.find(key); old != table.end() && old->second == r.status) return fx;  // once per recipient and status
    table[key] = r.status;
    s.save(*m, fx);
    if (r.kind == Report::Kind::Read) {
        Effect e = eff(EffectKind::PropertyChanged, m->id);
        e.name = "Read Status";
        e.value = key + "=" + r.status;
        fx.push_back(e);
        return fx;
    }
    Effect e = eff(EffectKind::PropertyChanged, m->id);
    e.name = "status";
    e.value = "delivery_update," + key + "=" + r.status;
    fx.push_back(e);
    bool all = !m->view.recipients.empty();
    for (const std::string &rc : m->view.recipients) all = all && m->deliveryStatus.count(rc);
    if (all && m->status == Status::Sent) {
        m->status = Status::Delivered;
        s.save(*m, fx);
        fx.push_back(status_effect(*m));
    }
    return fx;
}

Effects Core::transfer_done(const std::string &id, TransferResult r) {
    Effects fx;
    State &s = *s_;
    if (!s.running || s.running->id != id) {
        fx.push_back(log_effect("a late report for " + id + " is ignored"));
        return fx;
    }
    const State::StopWhy stop = s.running->stop;
    s.running.reset();
    Message *m = s.get(id);
    if (!m) {  // deleted while it ran
        s.finish(fx);
        return fx;
    }
    const bool deadline = r.end == TransferEnd::Stopped && (stop == State::StopWhy::Deadline || stop == State::StopWhy::Stalled);
    const std::string late = stop == State::StopWhy::Stalled ? "the transfer stalled" : "the transfer passed its deadline";
    if (State::is_read_report(*m)) {
        if (r.end == TransferEnd::Ok) {
            s.read_report_ended(*m, true, {}, fx);
        } else if (r.end == TransferEnd::Stopped && !deadline) {
            // Stopped for another reason: it goes on later.
        } else if (r.end == TransferEnd::Refused || r.end == TransferEnd::ServiceDenied ||
                   r.end == TransferEnd::Unsupported) {
            s.read_report_ended(*m, false, r.why.empty() ? "refused" : r.why, fx);
        } else {
            s.transient(*m, kErrTransient, deadline ? late : r.why.empty() ? "the read report failed" : r.why, r.host, fx);
        }
    } else if (m->lane == Lane::Send) {
        const int rs = r.responseStatus;
        if (r.end == TransferEnd::Ok) {
            s.sent(*m, r, fx);
        } else if (r.end == TransferEnd::Stopped && !deadline) {
            // Stopped for another reason (it never is for a send): try again.
        } else if (r.end == TransferEnd::ServiceDenied || (rs >= 0 && is_permanent_response(rs))) {
            m->responseStatus = rs;
            s.send_failed(*m, rs >= 0 ? error_name_of_response(rs) : kErrDenied,
                          r.why.empty() ? "the relay refused the message" : r.why, r.host, fx);
        } else if (r.end == TransferEnd::Unsupported || r.end == TransferEnd::Refused) {
            s.send_failed(*m, kErrUnsupported, r.why.empty() ? "the relay does not support the message" : r.why, r.host, fx);
        } else if (r.end == TransferEnd::NetworkProblem) {
            s.transient(*m, kErrNetwork, r.why.empty() ? "the relay reported a network problem" : r.why, r.host, fx);
        } else {
            m->responseStatus = rs;
            s.transient(*m, rs >= 0 ? error_name_of_response(rs) : kErrTransient,
                        deadline ? late : r.why.empty() ? "the send failed" : r.why, r.host, fx);
        }
    } else {
        switch (r.end) {
            case TransferEnd::Ok: s.received(*m, r, fx); break;
            case TransferEnd::Gone:
                s.download_failed(*m, kErrGone, r.why.empty() ? "the relay no longer has the message" : r.why, r.host, fx);
                break;
            case TransferEnd::TooBig:
                s.download_failed(*m, kErrContent, r.why.empty() ? "the message is too large" : r.why, r.host, fx);
                break;
            case TransferEnd::Refused:
                // Never fetched from anywhere but our relay: the message is not created.
                fx.push_back(log_effect("notification " + m->id + " refused: " + r.why));
                {
                    Effect e = eff(EffectKind::MessageReceiveError, {});
                    e.error = kErrRefused;
                    e.text = r.why;
                    e.host = r.host;
                    e.from = m->view.sender.value_or("");
                    fx.push_back(e);
                }
                s.remove_now(*m, fx);
                break;
            case TransferEnd::Stopped:
                if (!deadline) break;  // stopped for a send: it goes on later, no attempt counted
                s.transient(*m, kErrTransient, late, r.host, fx);
                break;
            default: s.transient(*m, kErrTransient, r.why.empty() ? "the download failed" : r.why, r.host, fx); break;
        }
    }
    s.finish(fx);
    return fx;
}

Effects Core::transfer_progress(const std::string &id, uint64_t bytes) {
    Effects fx;
    State &s = *s_;
    if (!s.running || s.running->id != id) return fx;
    const int64_t t = s.now();
    s.running->bytes = std::max(s.running->bytes, bytes);
    auto &q = s.running->samples;
    if (q.empty() || q.back().first != t)
        q.emplace_back(t, s.running->bytes);
    else
        q.back().second = s.running->bytes;
    // Keep one sample older than the window (the baseline) and what follows it.
    while (q.size() >= 2 && q[1].first <= t - s.cfg.deadline.windowMs) q.pop_front();
    return fx;
}

Effects Core::tick() {
    Effects fx;
    State &s = *s_;
    s.armedAt = 0;
    if (s.running && s.running->stop != State::StopWhy::None && s.now() - s.running->stopAtMs >= kStopReportMs) {
        const std::string id = s.running->id;
        fx.push_back(log_effect("transfer of " + id + " did not report after it was stopped: taken as stopped"));
        TransferResult r;
        r.end = TransferEnd::Stopped;
        r.why = "no report after the stop";
        Effects done = transfer_done(id, std::move(r));
        fx.insert(fx.end(), done.begin(), done.end());
        return fx;
    }
    s.stalled_or_late(fx);
    // Notifications whose Expiry passed before they could be fetched.
    const int64_t wall = s.clock.wall_s();
    std::vector<Message *> expired;
    for (auto &[id, m] : s.msgs)
        if (m->status == Status::PendingDownload && m->expire > 0 && wall >= m->expire && (!s.running || s.running->id != id))
            expired.push_back(m.get());
    for (Message *m : expired)
        s.download_failed(*m, kErrExpired, "the message expired before it could be downloaded", {}, fx);
    s.finish(fx);
    return fx;
}

Effects Core::mark_read(const std::string &id, Answer *answer) {
    Effects fx;
    State &s = *s_;
    Message *m = s.shown(id, answer);
    if (!m) return fx;
    if (m->status != Status::Received) return fx;
    m->status = Status::Read;
    // The sender asked for a read report: it goes out once, in the send lane.
    const bool report = m->dir == Direction::In && m->view.readReply && s.cfg.sendReadReports && !m->readReportSent &&
                        !m->readReportDue;
    if (report) {
        m->readReportDue = true;
        m->queued = true;
        m->lane = Lane::Send;
        m->attempts = 0;
        m->notBeforeMs = 0;
    }
    if (!s.save(*m, fx)) {
        m->status = Status::Received;
        if (report) {
            m->readReportDue = false;
            m->queued = false;
            m->lane = Lane::Download;
        }
        answer->refusal = Refusal::Storage;
        answer->why = "the status cannot be stored";
        return fx;
    }
    fx.push_back(status_effect(*m));
    if (report) fx.push_back(log_effect("message " + m->id + ": read report queued"));
    s.finish(fx);
    return fx;
}

Effects Core::remove(const std::string &id, Answer *answer) {
    Effects fx;
    State &s = *s_;
    Message *m = s.shown(id, answer);
    if (!m) return fx;
    if (s.running && s.running->id == id && s.running->stop == State::StopWhy::None)
        s.request_stop(State::StopWhy::Removed, fx);
    s.remove_now(*m, fx);
    s.finish(fx);
    return fx;
}

Effects Core::set_bearer(bool up) {
    Effects fx;
    s_->bearerUp = up;
    if (up) s_->waitingReported = false;
    s_->finish(fx);
    return fx;
}

Effects Core::process_queue() {
    Effects fx;
    for (auto &[id, m] : s_->msgs) {
        // A send whose retries were spent goes again (a refusal for good stays final).
        if (m->dir == Direction::Out && m->status == Status::Draft && !m->queued) {
            m->queued = true;
            m->lane = Lane::Send;
            m->attempts = 0;
            s_->save(*m, fx);
        }
        if (m->queued) m->notBeforeMs = 0;
    }
    s_->waitingReported = false;
    s_->finish(fx);
    return fx;
}

const Message *Core::find(const std::string &id) const {
    auto it = s_->msgs.find(id);
    return it == s_->msgs.end() ? nullptr : it->second.get();
}

std::vector<const Message *> Core::messages() const {
    std::vector<const Message *> v;
    v.reserve(s_->msgs.size());
    for (const auto &[id, m] : s_->msgs)
        if (is_shown(m->status)) v.push_back(m.get());
    std::sort(v.begin(), v.end(), [](const Message *a, const Message *b) { return a->seq < b->seq; });
    return v;
}

uint64_t Core::notification_inds() const { return s_->inds(); }

std::optional<std::pair<std::string, Lane>> Core::running() const {
    if (!s_->running) return std::nullopt;
    return std::make_pair(s_->running->id, s_->running->lane);
}

}  // namespace rrd
