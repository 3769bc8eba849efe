// rorodired's transport: the core's transfers through the library's send and
// download transactions on the GLib main loop.
#include "transport.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "MMSProl_Encapsulaton.h"
#include "pdu.h"
#include "rorodire.h"
#include "rr_post.h"
#include "rr_stack.h"

namespace rrd {
namespace {

// A URL's host and port as the library's reader takes them: the host in
// lowercase (an IPv6 literal in its brackets), the port stated or 80. Only
// printable ASCII is read.
struct UrlHost {
    std::string host;
    int port = 0;
};

bool read_url(const std::string &url, UrlHost *u, std::string *why) {
    for (unsigned char c : url)
        if (c == 0 || c >= 0x7F) {
            *why = "a non-ASCII or NUL byte in it";
            return false;
        }
    rrhost::HostPort q;
    if (!rrhost::read_url(url, &q, why)) return false;
    u->host = std::move(q.host);
    for (char &c : u->host) c = g_ascii_tolower(c);
    u->port = q.port;
    return true;
}

std::string host_of(const std::string &url) {
    UrlHost u;
    std::string why;
    return read_url(url, &u, &why) ? u.host : std::string();
}

}  // namespace

bool read_relay_url(const std::string &url, std::string *why) {
    UrlHost u;
    if (!g_str_has_prefix(url.c_str(), "http://")) {
        *why = "not an http:// URL";
        return false;
    }
    return read_url(url, &u, why);
}

bool read_proxy(const std::string &text, std::string *host, std::string *port, std::string *why) {
    host->clear();
    port->clear();
    if (text.empty()) return true;
    if (rrhost::read_proxy(text, host, port, why) == rrhost::AddressFault::None) return true;
    host->clear();
    port->clear();
    return false;
}

bool location_allowed(const TransportSettings &s, const std::string &location, std::string *why) {
    UrlHost relay, loc;
    std::string w;
    if (!read_url(s.relayUrl, &relay, &w)) {
        *why = "the relay URL is not usable: " + w;
        return false;
    }
    if (!read_url(location, &loc, &w)) {
        *why = "the location '" + clean_text(location.data(), location.size(), 200) + "' is refused: " + w;
        return false;
    }
    if (loc.host != relay.host || loc.port != relay.port) {
        *why = "the location '" + location + "' names " + loc.host + ":" + std::to_string(loc.port) +
               ", not the relay " + relay.host + ":" + std::to_string(relay.port);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the transfer
struct Transport::Impl {
    Done done;
    Progress progress;
    TransportSettings settings;

    // The transfer in progress; the library reads these until its final report.
    struct Current {
        std::string id;
        Lane lane = Lane::Send;
        std::vector<uint8_t> in;
        tCPS_PduBuf buf{};
        tCPS_PduBuf out{};
        TransportSettings settings;
        MmsSettings ms{};
        int code = -1;          // the library's final report, -1 until it comes
        bool stopping = false;  // stop() asked for the end
        bool silent = false;    // the destructor ends it: no report
        std::vector<uint8_t> conf;  // the m-send-conf as it arrived
        uint64_t lastBytes = 0;
        TransferEnd early = TransferEnd::Ok;  // NotStarted / Refused without the library
        bool earlyEnd = false;
        std::string why;
        std::string tid;  // Transaction-Id of the request: the confirmation must carry it
        std::string iface;  // the bearer it went out on ("" the default route)
        rrhost::PduPost *post = nullptr;  // a read report's POST while it runs
        bool isReport = false;
        bool reportOk = false;
        int httpStatus = 0;
        bool retrieved = false;  // the library stored the message; its answer to the relay follows
    };
    // Heap records: the library keeps pointers into them (settings, PDU)
    // until its final report, also after the transfer was handed on.
    std::unique_ptr<Current> cur = std::make_unique<Current>();
    // A download already handed to the core whose answer to the relay the
    // library still sends; the record stays until the library's final report.
    std::unique_ptr<Current> tail;
    guint tailSource = 0;
    // A transfer the core started while the tail still runs: it starts once
    // the tail has ended (the library runs one exchange at a time).
    struct Deferred {
        bool readReport = false;
        std::vector<uint8_t> bytes;
    };
    std::unique_ptr<Deferred> deferred;
    AnswerDone answerDone;
    Transport *self = nullptr;
    HbxDrive driveBefore = HbxDrive::Timer;
    std::string bearerIface, bearerDns;
    bool running = false;
    guint reportSource = 0;
    guint progressSource = 0;  // reads the bytes moved once a second while a transfer runs
    std::string none;

    // A new transfer of `id`: the record anew with the settings of now.
    Current &begin(const std::string &id, Lane lane);
    // The library's final report for the tail: it is released and a
    // deferred transfer starts, from the main loop.
    void end_tail();
    void read_progress();
    void report();
};

namespace {

Transport::Impl *g_transport = nullptr;  // the library's result callback carries no user value

// The library hands each m-send-conf over before it releases it: the bytes
// are kept for report().
void on_send_conf(const uint8_t *conf, int len, void *) {
    Transport::Impl *t = g_transport;
    if (!t || !t->running || t->cur->lane != Lane::Send || t->cur->isReport || len <= 0) return;
    t->cur->conf.assign(conf, conf + len);
}

// Progress: on the library's progress reports, and once a second for a
// download whose size nobody announced (the library reports no percent then).
gboolean progress_tick(gpointer) {
    if (g_transport) g_transport->read_progress();
    return G_SOURCE_CONTINUE;
}

void schedule_report(Transport::Impl *t) {
    // At the default priority: a socket that keeps getting ready does not
    // hold the report back.
    if (!t->reportSource)
        t->reportSource = g_timeout_add_full(
            G_PRIORITY_DEFAULT, 0,
            [](gpointer) -> gboolean {
                if (g_transport) {
                    g_transport->reportSource = 0;
                    g_transport->report();
                }
                return G_SOURCE_REMOVE;
            },
            nullptr, nullptr);
}

// The current transfer's outcome (the library's, or one of our own).
void on_result(int code, int value) {
    (void)value;
    Transport::Impl *t = g_transport;
    if (!t || !t->running || t->cur->code != -1) return;
    if ((code == HBX_MSG_SEND_PROGRESS && t->cur->lane == Lane::Send) ||
        (code == HBX_MSG_DL_PROGRESS && t->cur->lane == Lane::Download)) {
        t->read_progress();
        return;
    }
    t->cur->code = code;
    if (t->cur->silent) return;
    // The library finishes its own ending after the report: the outcome is
    // handed on from the main loop.
    schedule_report(t);
}

// The library's callback: the final report of the tail (a download already
// handed on), or the current transfer's reports.
void on_library_result(int code, int value) {
    Transport::Impl *t = g_transport;
    if (!t || !t->tail) return on_result(code, value);
    if (code == HBX_MSG_DL_PROGRESS || code == HBX_MSG_SEND_PROGRESS || t->tail->code != -1) return;
    t->tail->code = code;
    if (!t->tailSource)
        t->tailSource = g_timeout_add_full(
            G_PRIORITY_DEFAULT, 0,
            [](gpointer) -> gboolean {
                if (g_transport) {
                    g_transport->tailSource = 0;
                    g_transport->end_tail();
                }
                return G_SOURCE_REMOVE;
            },
            nullptr, nullptr);
}

// The retrieved message is whole and stored: it is handed on at once, the
// answer to the relay follows.
void on_retrieved(const tCPS_PduBuf *, void *) {
    Transport::Impl *t = g_transport;
    if (!t || !t->running || t->tail || t->deferred) return;
    Transport::Impl::Current &c = *t->cur;
    if (c.lane != Lane::Download || c.isReport || c.code != -1 || c.silent || c.stopping || c.earlyEnd) return;
    c.retrieved = true;
    schedule_report(t);
}

// How the answer to the relay ended, for the log.
void on_answered(bool ok, int httpStatus, void *) {
    Transport::Impl *t = g_transport;
    if (!t) return;
    const Transport::Impl::Current *c = t->tail ? t->tail.get() : t->running ? t->cur.get() : nullptr;
    if (!c || c->silent || !t->answerDone) return;
    t->answerDone(c->id, ok,
                  ok ? std::string()
                     : httpStatus > 0 ? "the relay answered HTTP " + std::to_string(httpStatus)
                                      : std::string("the answer could not be delivered (connection or deadline)"));
}

// The socket layer's cause of the last failed lookup or connect, for the why.
std::string net_cause() {
    const int e = fnQX_Stack_Layer().lastError;
    return e ? std::string(": ") + g_sock_strerror(e) : std::string();
}

TransferEnd end_of_send(int code) {
    switch (code) {
        case HBX_MSG_SEND_OK: return TransferEnd::Ok;
        case HBX_MSG_SERVICE_DENIED: return TransferEnd::ServiceDenied;
        case HBX_MSG_NETWORK_PROBLEM: return TransferEnd::NetworkProblem;
        case HBX_MSG_UNSUPPORTED: return TransferEnd::Unsupported;
        default: return TransferEnd::Failed;
    }
}

TransferEnd end_of_download(int code) {
    switch (code) {
        case HBX_MSG_DL_OK: return TransferEnd::Ok;
        case HBX_MSG_DL_MSG_TOOBIG: return TransferEnd::TooBig;
        default: return TransferEnd::Failed;
    }
}

}  // namespace

void Transport::Impl::end_tail() {
    tail.reset();
    if (!deferred) return;
    std::unique_ptr<Deferred> d = std::move(deferred);
    const std::string id = cur->id;
    const Lane lane = cur->lane;
    running = false;
    if (d->readReport)
        self->start_read_report(id, std::move(d->bytes));
    else
        self->start(id, lane, std::move(d->bytes));
}

void Transport::Impl::read_progress() {
    if (deferred || tail) return;
    if (!running || cur->code != -1 || cur->isReport || cur->earlyEnd) return;
    const HbxState &s = hbx_state();
    uint64_t bytes = 0;
    if (cur->lane == Lane::Send) {
        bytes = static_cast<uint64_t>(s.send.sentSize) + s.send.sendConfLen;
    } else {
        bytes = static_cast<uint64_t>(s.dl.mmsBodyLen) + s.dl.ackBytes;
    }
    if (bytes != cur->lastBytes) {
        cur->lastBytes = bytes;
        if (progress) progress(cur->id, bytes);
    }
}

void Transport::Impl::report() {
    if (!running) return;
    TransferResult r;
    r.host = host_of(cur->settings.relayUrl);
    if (cur->earlyEnd) {
        r.end = cur->early;
        r.why = cur->why;
    } else if (cur->stopping) {
        r.end = TransferEnd::Stopped;
        r.why = "stopped";
    } else if (cur->isReport) {
        r.end = cur->reportOk ? TransferEnd::Ok : TransferEnd::Failed;
        if (!cur->reportOk)
            r.why = cur->httpStatus > 0 ? "the relay answered the read report with HTTP " + std::to_string(cur->httpStatus)
                                       : "the read report failed (connection or HTTP)";
    } else if (cur->lane == Lane::Send) {
        r.end = end_of_send(cur->code);
        // The relay's own verdict, also where the library reports only 21.
        if (!cur->conf.empty()) {
            tMMS_SendConf *c = fnMMS_ParseSendConf(cur->conf.data(), static_cast<int>(cur->conf.size()));
            if (c && c->Transaction_Id && !cur->tid.empty() && cur->tid == c->Transaction_Id) {
                r.responseStatus = c->Response_Status;
                if (c->Message_Id) r.messageId = clean_text(c->Message_Id, std::strlen(c->Message_Id), 256);
                if (r.end != TransferEnd::Ok && c->Response_Text)
                    r.why = "the relay answered " + clean_text(c->Response_Text, std::strlen(c->Response_Text), 200);
            }
            if (c) fnMMS_FreeMessageMem(c, MMS_STRUCT_SEND_CONF);
        }
        if (r.why.empty() && r.end != TransferEnd::Ok)
            r.why = r.responseStatus >= 0 ? "the relay refused the message (Response-Status 0x" +
                                                std::string(1, "0123456789ABCDEF"[(r.responseStatus >> 4) & 15]) +
                                                std::string(1, "0123456789ABCDEF"[r.responseStatus & 15]) + ")"
                                          : "the send failed (connection, HTTP or confirmation)" + net_cause();
    } else {
        // A message handed on before its answer: the download has succeeded.
        r.end = cur->retrieved ? TransferEnd::Ok : end_of_download(cur->code);
        if (r.end == TransferEnd::Ok) {
            if (cur->out.data && cur->out.length > 0) r.pdu.assign(cur->out.data, cur->out.data + cur->out.length);
            if (!view_of_pdu(r.pdu, &r.view, &r.decodedParts)) {
                r.end = TransferEnd::Failed;
                r.why = "the retrieved message does not decode";
                r.pdu.clear();
            }
        } else {
            r.why = r.end == TransferEnd::TooBig ? "the message is larger than the download limit"
                                                 : "the download failed (connection, HTTP or message)" + net_cause();
            // The relay says the message is not there for good.
            const HbxDownloadGlobals &dl = hbx_state().dl;
            if (r.end == TransferEnd::Failed && !cur->stopping) {
                if (dl.lastHttpStatus == 404 || dl.lastHttpStatus == 410) {
                    r.end = TransferEnd::Gone;
                    r.why = "the relay answered HTTP " + std::to_string(dl.lastHttpStatus);
                } else if (dl.lastRetrieveStatus >= 0xE0) {
                    r.end = TransferEnd::Gone;
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "0x%02X", dl.lastRetrieveStatus);
                    r.why = std::string("the relay answered Retrieve-Status ") + hex;
                }
            }
        }
    }
    if (r.end != TransferEnd::Ok && !cur->stopping && !cur->earlyEnd) {
        // A redirect away from the relay: the reason, not a generic failure.
        const char *refused = fnQXStack_Http_RedirectRefusal();
        if (refused && *refused) r.why = std::string("not followed: ") + refused;
    }
    fnQX_Free(reinterpret_cast<void **>(&cur->out.data));
    const std::string id = cur->id;
    // The library still answers the relay with this record's settings: it
    // stays until the library's final report.
    if (cur->retrieved && cur->code == -1) tail = std::move(cur);
    cur = std::make_unique<Current>();
    running = false;
    if (progressSource) g_source_remove(progressSource);
    progressSource = 0;
    if (done) done(id, std::move(r));
}

Transport::Transport(Done done, Progress progress) : p_(new Impl) {
    p_->self = this;
    // Transfers step when their socket is ready, not on the 100 ms clock.
    p_->driveBefore = hbx_Drive();
    hbx_SetDrive(HbxDrive::Readiness);
    hbx_SetDownloadObservers(on_retrieved, on_answered, nullptr);
    p_->done = std::move(done);
    p_->progress = std::move(progress);
    g_transport = p_;
    hbx_SetSendConfObserver(on_send_conf, nullptr);
    // Every request stays with the relay: a redirect to another scheme, host
    // or port (a protocol-relative one included) ends the transfer, and a
    // POST is never repeated anywhere else.
    fnQXStack_Http_SetRedirectPolicy(QXRedirectPolicy::SameAuthority);
}

Transport::~Transport() {
    if (p_->tail && p_->tail->code == -1) {
        p_->tail->silent = true;
        hbx_Stop();
    }
    if (p_->tailSource) g_source_remove(p_->tailSource);
    p_->deferred.reset();
    if (p_->cur->post) {
        rrhost::post_pdu_cancel(p_->cur->post);
        p_->cur->post = nullptr;
        p_->cur->code = HBX_MSG_SEND_FAIL;
    }
    if (p_->running && p_->cur->code == -1 && !p_->cur->earlyEnd) {
        p_->cur->silent = true;
        hbx_Stop();
    }
    if (p_->reportSource) g_source_remove(p_->reportSource);
    if (p_->progressSource) g_source_remove(p_->progressSource);
    fnQX_Free(reinterpret_cast<void **>(&p_->cur->out.data));
    hbx_SetSendConfObserver(nullptr, nullptr);
    hbx_SetDownloadObservers(nullptr, nullptr, nullptr);
    hbx_SetDrive(p_->driveBefore);
    hbx_SetMaxMessageSize(0);
    g_transport = nullptr;
    delete p_;
}

void Transport::set_settings(const TransportSettings &s) { p_->settings = s; }

void Transport::set_answer_done(AnswerDone answerDone) { p_->answerDone = std::move(answerDone); }

void Transport::set_bearer(const std::string &iface, const std::string &dns) {
    p_->bearerIface = iface;
    p_->bearerDns = dns;
}

const std::string &Transport::running_iface() const { return p_->running ? p_->cur->iface : p_->none; }

Transport::Impl::Current &Transport::Impl::begin(const std::string &id, Lane lane) {
    running = true;
    cur = std::make_unique<Current>();
    fnQXStack_Http_ClearRedirectRefusal();
    cur->id = id;
    cur->lane = lane;
    cur->settings = settings;
    cur->iface = bearerIface;
    // The bearer is the transactions' own setting, taken when one starts.
    QXBearer b{};
    if (!fnQX_Stack_MakeBearer(&b, bearerIface.c_str(), nullptr, bearerDns.c_str())) b = QXBearer{};
    hbx_SetBearer(&b);
    // A limit the library refuses (outside 1 KB..100 MB) leaves its own.
    if (!hbx_SetMaxMessageSize(cur->settings.maxDownload)) hbx_SetMaxMessageSize(0);
    auto opt = [](const std::string &v) { return v.empty() ? nullptr : v.c_str(); };
    cur->ms = MmsSettings{opt(cur->settings.userAgent), opt(cur->settings.userAgentProfile), opt(cur->settings.proxyHost),
                         opt(cur->settings.proxyPort), cur->settings.relayUrl.c_str()};
    return *cur;
}

bool Transport::start(const std::string &id, Lane lane, std::vector<uint8_t> bytes) {
    Impl &t = *p_;
    if (t.running) return false;
    Impl::Current &c = t.begin(id, lane);
    if (t.tail) {
        // The library still answers the relay for the last download.
        t.deferred = std::make_unique<Impl::Deferred>();
        t.deferred->bytes = std::move(bytes);
        return true;
    }
    c.in = std::move(bytes);
    c.buf = tCPS_PduBuf{c.in.data(), static_cast<int>(c.in.size())};
    auto early = [&](TransferEnd end, std::string why) {
        c.earlyEnd = true;
        c.early = end;
        c.why = std::move(why);
        on_result(lane == Lane::Send ? int{HBX_MSG_SEND_FAIL} : int{HBX_MSG_DL_FAIL_NOR}, 0);
        return true;
    };
    if (c.in.empty()) return early(TransferEnd::NotStarted, "nothing to transfer");
    if (lane == Lane::Send) {
        char *tid = fnMMS_CopyTransactionId(c.in.data(), static_cast<int>(c.in.size()));
        if (tid) c.tid = tid;
        fnQX_Free(reinterpret_cast<void **>(&tid));
    }
    if (lane == Lane::Download) {
        // Only our relay: the location is checked before anything connects.
        Notification n;
        std::string why;
        if (!notification_of_ind(c.in, &n, &why)) return early(TransferEnd::Refused, why);
        if (!location_allowed(c.settings, n.location, &why)) return early(TransferEnd::Refused, why);
    }
    hbx_state().dl.lastHttpStatus = 0;
    hbx_state().dl.lastRetrieveStatus = 0;
    if (!t.progressSource) t.progressSource = g_timeout_add_seconds(1, progress_tick, nullptr);
    const int r = lane == Lane::Send ? fnCPS_SendMMS(&c.buf, &c.ms, on_library_result)
                                     : fnCPS_DownloadMMS(&c.buf, 3, &c.ms, on_library_result, &c.out);
    const bool started = r == (lane == Lane::Send ? int{HBX_MSG_SEND_STARTED} : int{HBX_MSG_DL_STARTED});
    if (!started && c.code == -1) return early(TransferEnd::NotStarted, "the library did not start the transfer");
    return true;
}

bool Transport::start_read_report(const std::string &id, std::vector<uint8_t> report) {
    Impl &t = *p_;
    if (t.running) return false;
    Impl::Current &c = t.begin(id, Lane::Send);
    c.isReport = true;
    if (t.tail) {
        t.deferred = std::make_unique<Impl::Deferred>();
        t.deferred->readReport = true;
        t.deferred->bytes = std::move(report);
        return true;
    }
    c.post = rrhost::post_pdu_start(
        c.ms, std::move(report),
        [](uint64_t sent, uint64_t) {
            Transport::Impl *tr = g_transport;
            if (tr && tr->running && tr->progress) tr->progress(tr->cur->id, sent);
        },
        [](rrhost::PostEnd e) {
            Transport::Impl *tr = g_transport;
            if (!tr || !tr->running) return;
            tr->cur->post = nullptr;
            tr->cur->reportOk = e.ok;
            tr->cur->httpStatus = e.httpStatus;
            on_result(e.ok ? int{HBX_MSG_SEND_OK} : int{HBX_MSG_SEND_FAIL}, e.httpStatus);
        });
    if (!c.post) {
        c.earlyEnd = true;
        c.early = TransferEnd::NotStarted;
        c.why = "the HTTP stack did not start for the read report";
        on_result(HBX_MSG_SEND_FAIL, 0);
    }
    return true;
}

void Transport::stop() {
    Impl &t = *p_;
    if (t.running && t.deferred) {
        t.deferred.reset();
        t.cur->stopping = true;
        on_result(HBX_MSG_SEND_FAIL, 0);
        return;
    }
    if (t.running && t.cur->post) {
        rrhost::post_pdu_cancel(t.cur->post);
        t.cur->post = nullptr;
        t.cur->stopping = true;
        on_result(HBX_MSG_SEND_FAIL, 0);
        return;
    }
    if (!t.running || t.cur->code != -1 || t.cur->earlyEnd) return;
    t.cur->stopping = true;
    // The library's transaction ends at once (its sockets and timers
    // released); its failure report comes through on_result.
    if (!hbx_Stop()) on_result(t.cur->lane == Lane::Send ? int{HBX_MSG_SEND_FAIL} : int{HBX_MSG_DL_FAIL_NOR}, 0);
}

bool Transport::busy() const { return p_->running; }

const std::string &Transport::running_id() const { return p_->running ? p_->cur->id : p_->none; }

}  // namespace rrd
