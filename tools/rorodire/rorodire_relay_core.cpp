// The development relay's request handling: send requests stored once and
// announced per recipient, messages served, answers recorded, faults.
#include <glib.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "MMSProl_Encapsulaton_Decode.h"
#include "rorodire_files.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "rorodire_relay.h"
#include "rorodire_reports.h"
#include "rorodire_tool.h"

namespace rrtool::relay {

namespace {

constexpr char kMmsType[] = "application/vnd.wap.mms-message";
constexpr int kServiceDenied = 0xE1;  // Error-permanent-service-denied

// ---------------------------------------------------------------- log
// In GLib's 64-bit time: right after 2038 also where time_t has 32 bits.
std::string now_iso() {
    const gint64 us = g_get_real_time();
    GDateTime *t = g_date_time_new_from_unix_utc(us / 1000000);
    if (!t) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", g_date_time_get_year(t),
                  g_date_time_get_month(t), g_date_time_get_day_of_month(t), g_date_time_get_hour(t),
                  g_date_time_get_minute(t), g_date_time_get_second(t), static_cast<int>((us / 1000) % 1000));
    g_date_time_unref(t);
    return buf;
}

// One exchange as it goes into the log.
struct Exchange {
    std::string method, path, type, tid, fault, userAgent, profile;
    int status = 0;
    size_t bytesIn = 0, bytesOut = 0;
    std::string extra;  // further "key":value pairs, each beginning with ','
};

void add_str(std::string &o, const char *key, const std::string &v) {
    o += ",\"";
    o += key;
    o += "\":";
    append_json_string(o, v);
}

void add_opt(std::string &o, const char *key, const std::string &v) {
    if (v.empty()) {
        o += std::string(",\"") + key + "\":null";
        return;
    }
    add_str(o, key, v);
}

void log_exchange(State &s, const Exchange &e) {
    std::string o = "\"method\":";
    append_json_string(o, e.method);
    add_str(o, "path", e.path);
    add_opt(o, "type", e.type);
    add_opt(o, "transaction_id", e.tid);
    o += ",\"status\":" + std::to_string(e.status);
    o += ",\"bytes_in\":" + std::to_string(e.bytesIn) + ",\"bytes_out\":" + std::to_string(e.bytesOut);
    add_str(o, "user_agent", e.userAgent);
    add_str(o, "profile", e.profile);
    if (!e.fault.empty()) add_str(o, "fault", e.fault);
    log_line(s, o + e.extra);
}

std::string hex_byte(int b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b & 0xFF);
    return buf;
}

void text_reply(Reply &r, int status, const std::string &text) {
    r.status = status;
    r.contentType = "text/plain";
    r.body.assign(text.begin(), text.end());
}

void error_extra(Exchange &ex, const std::string &why) {
    ex.extra += ",\"error\":";
    append_json_string(ex.extra, why);
}

// ---------------------------------------------------------------- faults
std::string fault_text(const std::vector<Fault> &fs) {
    std::string out;
    for (const Fault &f : fs) {
        if (!out.empty()) out += ",";
        out += (f.on == "any" ? "" : f.on + ":") + f.kind + (f.arg.empty() ? "" : "=" + f.arg);
    }
    return out;
}

const Fault *find_kind(const std::vector<Fault> &fs, const char *kind) {
    for (const Fault &f : fs)
        if (f.kind == kind) return &f;
    return nullptr;
}

std::string query_value(const Request &req, const char *key) {
    auto it = req.query.find(key);
    return it == req.query.end() ? "" : it->second;
}

// The faults for this request: its own (?fault=) and the relay's that match.
std::vector<Fault> faults_for(State &s, const Request &req, const std::string &cls, Reply &reply, bool *bad) {
    std::vector<Fault> out;
    const std::string specs = query_value(req, "fault");
    size_t start = 0;
    while (start < specs.size()) {
        size_t end = specs.find(',', start);
        if (end == std::string::npos) end = specs.size();
        Fault f;
        std::string why;
        if (parse_fault(specs.substr(start, end - start), &f, &why)) {
            if (f.on == "any" || f.on == cls) out.push_back(f);
        } else {
            text_reply(reply, 400, why + "\n");
            *bad = true;
        }
        start = end + 1;
    }
    for (auto it = s.faults.begin(); it != s.faults.end();) {
        if ((it->on == "any" || it->on == cls) && it->remaining != 0) {
            out.push_back(*it);
            if (it->remaining > 0 && --it->remaining == 0) {
                it = s.faults.erase(it);
                continue;
            }
        }
        ++it;
    }
    return out;
}

// ---------------------------------------------------------------- store
void forget(State &s, const std::shared_ptr<Message> &m) {
    forget_reports(s, m->messageId);
    for (const std::string &path : m->paths) {
        auto it = s.byPath.find(path);
        if (it == s.byPath.end()) continue;
        if (!it->second.file.empty()) unlink(it->second.file.c_str());
        s.byTid.erase(it->second.tid);
        s.byPath.erase(it);
    }
    s.storedBytes -= m->body.size();
}

// Drops expired messages (their senders told of the recipients who never
// took them), then the oldest until `room` more bytes fit.
void make_room(State &s, size_t room) {
    const long long now = g_get_real_time() / 1000000;
    expire_reports(s, now);
    while (!s.messages.empty()) {
        const auto &m = s.messages.front();
        const bool expired = now - m->storedAt >= s.limits.expirySeconds;
        if (!expired && s.storedBytes + room <= s.limits.storeQuota) break;
        forget(s, m);
        s.messages.pop_front();
    }
}

std::vector<std::string> split_list(const char *list) {
    std::vector<std::string> out;
    if (!list) return out;
    std::string cur;
    for (const char *p = list;; ++p) {
        if (*p == ';' || *p == '\0') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
            if (!*p) break;
        } else if (*p != ' ') {
            cur += *p;
        }
    }
    return out;
}

// The m-retrieve-conf of a message for one recipient's location.
std::vector<uint8_t> retrieve_conf(const Message &m, const std::string &tid) {
    tMMS_RetrieveConf rc{};
    rc.Transaction_Id = const_cast<char *>(tid.c_str());
    rc.Message_Id = const_cast<char *>(m.messageId.c_str());
    rc.Date = m.date;
    rc.From = const_cast<char *>(m.from.c_str());
    rc.To = m.hasTo ? const_cast<char *>(m.to.c_str()) : nullptr;
    rc.Cc = m.hasCc ? const_cast<char *>(m.cc.c_str()) : nullptr;
    rc.Subject = m.hasSubject ? const_cast<char *>(m.subject.c_str()) : nullptr;
    rc.Message_Class = m.messageClass;
    rc.Priority = m.priority;
    rc.Delivery_Report = m.deliveryReport;
    rc.Read_Reply = m.readReply;
    rc.body = const_cast<uint8_t *>(m.body.data());
    rc.Content_Size = static_cast<int>(m.body.size());
    int len = 0;
    PduPtr<uint8_t> pdu{fnMMS_MakeRetrieveConfPdu(&rc, &len)};
    return pdu.p ? std::vector<uint8_t>(pdu.p, pdu.p + len) : std::vector<uint8_t>();
}

std::shared_ptr<Message> message_of(const State &s, const tMMS_SendReq &req, const Request &in,
                                    const std::string &messageId) {
    auto m = std::make_shared<Message>();
    m->messageId = messageId;
    m->from = req.From ? req.From : s.sender;
    m->hasTo = req.To, m->hasCc = req.Cc, m->hasSubject = req.Subject;
    if (req.To) m->to = req.To;
    if (req.Cc) m->cc = req.Cc;
    if (req.Subject) m->subject = req.Subject;
    m->date = req.Date != 0 ? req.Date : date_now();
    m->messageClass = req.Message_Class;
    m->priority = req.Priority;
    report_requests(in.body.data(), in.body.size(), &m->deliveryReport, &m->readReply);
    if (req.ContentTypeAndBody && req.Body_Len > 0)
        m->body.assign(req.ContentTypeAndBody, req.ContentTypeAndBody + req.Body_Len);
    m->storedAt = g_get_real_time() / 1000000;
    return m;
}

// Writes the notification of one recipient; the log's entry for it.
std::string notify(State &s, const std::shared_ptr<Message> &m, const std::string &recipient, size_t index) {
    const std::string id = m->messageId + "-" + std::to_string(index + 1);
    const std::string path = "/msg/" + id;
    Location loc{m, "T" + id, recipient, "", ""};
    const size_t size = retrieve_conf(*m, loc.tid).size();
    tMMS_NotifyInd n{};
    n.Transaction_Id = const_cast<char *>(loc.tid.c_str());
    const std::string location = s.base + path;
    n.Content_Location = const_cast<char *>(location.c_str());
    n.From = const_cast<char *>(m->from.c_str());
    n.Subject = m->hasSubject ? const_cast<char *>(m->subject.c_str()) : nullptr;
    n.Message_Class = m->messageClass;
    n.Priority = m->priority;
    n.Message_Size = static_cast<int>(size);
    n.Expiry = static_cast<int>(s.limits.expirySeconds);
    n.Expiry_Token = MMS_RELATIVE_TOKEN;
    int nlen = 0;
    PduPtr<uint8_t> ind{fnMMS_MakeNotificationIndPdu(&n, &nlen)};
    const std::string file = s.spool + "/" + id + ".ind";
    std::string writeWhy;
    if (ind.p && write_file_atomic(file, ind.p, static_cast<size_t>(nlen), &writeWhy)) loc.file = file;
    std::string note = "{\"to\":";
    append_json_string(note, recipient);
    note += ",\"transaction_id\":";
    append_json_string(note, loc.tid);
    note += ",\"location\":";
    append_json_string(note, location);
    note += ",\"file\":";
    if (!loc.file.empty())
        append_json_string(note, loc.file);
    else
        note += "null";
    note += ",\"message_size\":" + std::to_string(size);
    if (loc.file.empty() && !writeWhy.empty()) {
        note += ",\"error\":";
        append_json_string(note, writeWhy);
    }
    note += "}";
    s.byTid[loc.tid] = path;
    m->paths.push_back(path);
    s.byPath[path] = std::move(loc);
    return note;
}

// Why a decoded send request is refused before anything is stored, with the
// HTTP status (or Response-Status) that says so; 0 when it is taken.
struct Refusal {
    int http = 0, conf = 0;
    std::string why;
};

Refusal check_send(const State &s, const tMMS_SendReq &req, size_t recipients) {
    if (!req.Transaction_Id || !*req.Transaction_Id) return {400, 0, "send request has no Transaction-Id"};
    if (recipients == 0) return {400, 0, "send request has no recipients"};
    if (recipients > s.limits.maxRecipients)
        return {0, kServiceDenied,
                std::to_string(recipients) + " recipients, above the limit of " +
                    std::to_string(s.limits.maxRecipients)};
    return {};
}

// A send request: validated, stored once, one notification per recipient,
// and the confirmation.
void handle_send(State &s, const Request &in, const std::vector<Fault> &faults, Reply &reply, Exchange &ex) {
    ex.type = "m-send-req";
    tMMS_SendReq *req = fnMMS_ParseSendContent(in.body.data(), static_cast<int>(in.body.size()));
    if (!req) {
        text_reply(reply, 400, "send request does not decode\n");
        error_extra(ex, "send request does not decode");
        return;
    }
    std::unique_ptr<tMMS_SendReq, void (*)(tMMS_SendReq *)> hold(
        req, [](tMMS_SendReq *r) { fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ); });
    ex.tid = req->Transaction_Id ? req->Transaction_Id : "";
    std::vector<std::string> recipients;
    for (const char *list : {req->To, req->Cc, req->Bcc})
        for (const std::string &a : split_list(list)) recipients.push_back(a);
    const Refusal no = check_send(s, *req, recipients.size());
    if (no.http) {
        text_reply(reply, no.http, no.why + "\n");
        error_extra(ex, no.why);
        return;
    }
    // The same sender and Transaction-Id again: the first answer, nothing
    // stored (unless a conf-status fault asks for another answer).
    const std::string sendKey = std::string(req->From ? req->From : s.sender) + '\n' + req->Transaction_Id;
    auto seen = s.confBySend.find(sendKey);
    if (seen != s.confBySend.end() && !find_kind(faults, "conf-status")) {
        reply.body = seen->second;
        ex.extra += ",\"repeat\":true";
        return;
    }
    int status = s.confStatus;
    if (const Fault *f = find_kind(faults, "conf-status")) parse_status_byte(f->arg, &status);
    if (no.conf) status = no.conf;
    const bool ok = status == 0x80;
    const std::string messageId =
        "M" + std::to_string(static_cast<long long>(g_get_real_time() / 1000000)) + "-" + std::to_string(++s.seq);
    std::string notes;
    if (ok && !recipients.empty()) {  // a message nobody can fetch is not kept
        auto m = message_of(s, *req, in, messageId);
        make_room(s, m->body.size());
        for (size_t i = 0; i < recipients.size(); ++i)
            notes += (notes.empty() ? "" : ",") + notify(s, m, recipients[i], i);
        track_message(s, *m);
        s.storedBytes += m->body.size();
        s.messages.push_back(std::move(m));
    }
    int len = 0;
    PduPtr<uint8_t> conf{fnMMS_MakeSendConfPdu(req->Transaction_Id, static_cast<uint8_t>(status), nullptr,
                                              ok ? messageId.c_str() : nullptr, &len)};
    if (!conf.p) {
        text_reply(reply, 500, "cannot encode the confirmation\n");
        return;
    }
    reply.body.assign(conf.p, conf.p + len);
    if (ok) {  // a refused request stored nothing: the next one is judged afresh
        s.confBySend[sendKey] = reply.body;
        s.confOrder.push_back(sendKey);
        while (s.confOrder.size() > kMaxRememberedSends) {
            s.confBySend.erase(s.confOrder.front());
            s.confOrder.pop_front();
        }
    }
    ex.extra += ",\"response_status\":\"" + hex_byte(status) + "\"";
    if (!no.why.empty()) error_extra(ex, no.why);
    if (ok) {
        ex.extra += ",\"message_id\":";
        append_json_string(ex.extra, messageId);
    }
    ex.extra += ",\"recipients\":" + std::to_string(recipients.size()) + ",\"notifications\":[" + notes + "]";
}

void handle_answer(State &s, int type, const Request &in, Reply &reply, Exchange &ex) {
    tMMS_DecodeReport why{};
    std::string tid, kind;
    int reportAllowed = -1, status = -1;
    bool decoded = false;
    const int n = static_cast<int>(in.body.size());
    if (type == MMS_M_NOTIFYRESP_IND) {
        ex.type = kind = "m-notifyresp-ind";
        if (tMMS_NotifyRespInd *r = fnMMS_ParseNotifyRespInd(in.body.data(), n, &why)) {
            decoded = true;
            tid = r->Transaction_Id ? r->Transaction_Id : "";
            reportAllowed = r->Report_Allowed;
            status = r->Status;
            fnMMS_FreeMessageMem(r, MMS_STRUCT_NOTIFYRESP_IND);
        }
    } else {
        ex.type = kind = "m-acknowledge-ind";
        if (tMMS_AcknowledgeInd *a = fnMMS_ParseAcknowledgeInd(in.body.data(), n, &why)) {
            decoded = true;
            tid = a->Transaction_Id ? a->Transaction_Id : "";
            reportAllowed = a->Report_Allowed;
            fnMMS_FreeMessageMem(a, MMS_STRUCT_ACKNOWLEDGE_IND);
        }
    }
    if (!decoded) {
        const std::string reason = "refused by the decoder (fault " + std::to_string(static_cast<int>(why.fault)) +
                                   ", offset " + std::to_string(why.offset) + ")";
        text_reply(reply, 400, kind + " does not decode: " + reason + "\n");
        error_extra(ex, reason);
        return;
    }
    ex.tid = tid;
    auto it = s.byTid.find(tid);
    const bool known = it != s.byTid.end();
    if (known) s.byPath[it->second].answer = kind;
    ex.extra += std::string(",\"known\":") + (known ? "true" : "false");
    if (reportAllowed >= 0)
        ex.extra += std::string(",\"report_allowed\":\"") +
                    (reportAllowed == MMS_YES ? "yes" : reportAllowed == MMS_NO ? "no" : hex_byte(reportAllowed)) + "\"";
    if (status >= 0) ex.extra += ",\"mms_status\":\"" + hex_byte(status) + "\"";
    if (known) {
        ex.extra += ",\"message_id\":";
        append_json_string(ex.extra, s.byPath[it->second].message->messageId);
    }
    // A message known from the spool only (the relay restarted) is reported on too.
    ex.extra += report_delivery(s, tid, type == MMS_M_ACKNOWLEDGE_IND ? MMS_DELIVERY_RETRIEVED : status);
    reply.status = 200;
    reply.contentType = "text/plain";
    reply.body.clear();
}

void handle_get(State &s, const Request &in, const std::vector<Fault> &faults, Reply &reply, Exchange &ex) {
    make_room(s, 0);  // expired messages are gone
    auto it = s.byPath.find(in.path);
    if (it == s.byPath.end()) {
        text_reply(reply, 404, "no message at " + in.path + "\n");
        return;
    }
    ex.type = "m-retrieve-conf";
    ex.tid = it->second.tid;
    reply.body = retrieve_conf(*it->second.message, it->second.tid);
    if (const Fault *o = find_kind(faults, "oversize")) {
        const size_t want = o->arg.empty() ? 400000 : std::strtoul(o->arg.c_str(), nullptr, 10);
        for (size_t i = reply.body.size(); i < want; ++i) reply.body.push_back(static_cast<uint8_t>(i));
    }
}

void handle_control(State &s, const Request &in, Reply &reply) {
    int status = 200;
    std::string text;
    if (!query_value(in, "clear").empty()) s.faults.clear();
    const std::string fault = query_value(in, "fault");
    if (!fault.empty()) {
        Fault f;
        std::string why;
        if (s.faults.size() >= s.limits.maxFaults) {
            status = 400;
            text = "at most " + std::to_string(s.limits.maxFaults) + " faults are queued\n";
        } else if (parse_fault(fault, &f, &why)) {
            // A count is 1 to 1000 in digits: a fault never stays for good
            // nor blocks the queue without applying.
            const std::string count = query_value(in, "count");
            const bool digits = count.size() <= 4 && count.find_first_not_of("0123456789") == std::string::npos;
            f.remaining = count.empty() ? 1 : digits ? std::strtol(count.c_str(), nullptr, 10) : 0;
            if (f.remaining >= 1 && f.remaining <= 1000) {
                s.faults.push_back(f);
            } else {
                status = 400;
                text = "count takes 1 to 1000, not '" + count + "'\n";
            }
        } else {
            status = 400;
            text = why + "\n";
        }
    }
    if (status == 200) text = "faults: " + fault_text(s.faults) + "\n";
    text_reply(reply, status, text);
}

// The request's URL without its fault parameter, for a redirect that leads
// back to the normal answer.
std::string url_without_fault(const State &s, const Request &in, bool absolute) {
    std::string q;
    for (const auto &[k, v] : in.query) {
        if (k == "fault") continue;
        char *ek = g_uri_escape_string(k.c_str(), nullptr, FALSE);
        char *ev = g_uri_escape_string(v.c_str(), nullptr, FALSE);
        q += (q.empty() ? "?" : "&") + std::string(ek) + "=" + ev;
        g_free(ek);
        g_free(ev);
    }
    return (absolute ? s.base : "") + in.path + q;
}

// redirect=abs|rel[/CODE]: 302 for a GET, 307 for a POST (which a client
// repeats as a POST) unless the fault names the status.
void redirect(const State &s, const Request &in, const Fault &f, Reply &reply, Exchange &ex) {
    const size_t slash = f.arg.find('/');
    const std::string how = f.arg.substr(0, slash);
    int code = in.method == "GET" || in.method == "HEAD" ? 302 : 307;
    if (slash != std::string::npos) code = std::atoi(f.arg.c_str() + slash + 1);
    reply.location = url_without_fault(s, in, how != "rel");
    text_reply(reply, code, "");
    ex.extra += ",\"location\":";
    append_json_string(ex.extra, reply.location);
}

std::vector<uint8_t> garbage() {
    std::vector<uint8_t> b;
    guint32 x = 0x2545F491u;
    for (int i = 0; i < 512; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b.push_back(static_cast<uint8_t>(x));
    }
    return b;
}

// Faults below the HTTP layer, carried out by the server.
void transport_faults(const std::vector<Fault> &faults, Reply &reply) {
    reply.stall = find_kind(faults, "stall") != nullptr;
    if (const Fault *c = find_kind(faults, "close-after")) reply.closeAfter = std::strtoul(c->arg.c_str(), nullptr, 10);
    if (const Fault *t = find_kind(faults, "trickle")) {
        reply.trickleChunk = std::max<size_t>(1, std::strtoul(t->arg.c_str(), nullptr, 10));
        const size_t slash = t->arg.find('/');
        if (slash != std::string::npos)
            reply.trickleMs = static_cast<unsigned>(std::strtoul(t->arg.c_str() + slash + 1, nullptr, 10));
    }
    if (const Fault *l = find_kind(faults, "length")) reply.length = l->arg;
}

// What kind of exchange this is decides which faults apply.
std::string class_of(const Request &in, int type) {
    if (in.method == "GET" || in.method == "HEAD") return "get";
    if (in.method != "POST") return "other";
    if (type == MMS_M_SEND_REQ) return "send";
    if (type == MMS_M_NOTIFYRESP_IND || type == MMS_M_ACKNOWLEDGE_IND || type == MMS_M_READ_REC_IND) return "answer";
    return "other";
}

void dispatch(State &s, const Request &in, int type, const std::string &cls, const std::vector<Fault> &faults,
              Reply &reply, Exchange &ex) {
    const Fault *status = find_kind(faults, "http-status");
    const int code = status ? std::atoi(status->arg.c_str()) : 0;
    if (const Fault *f = find_kind(faults, "redirect")) {
        redirect(s, in, *f, reply, ex);
        return;
    }
    if (status && !(code >= 100 && code < 200)) {
        text_reply(reply, code >= 200 && code <= 999 ? code : 500, "error " + status->arg + "\n");
        return;
    }
    if (status) reply.interim = code;  // then the normal answer
    if (cls == "send") {
        handle_send(s, in, faults, reply, ex);
    } else if (cls == "answer" && type == MMS_M_READ_REC_IND) {
        ex.type = "m-read-rec-ind";
        make_room(s, 0);  // expired messages are gone
        handle_read_report(s, in, reply, ex.tid, ex.extra);
    } else if (cls == "answer") {
        make_room(s, 0);
        handle_answer(s, type, in, reply, ex);
    } else if (cls == "get") {
        handle_get(s, in, faults, reply, ex);
    } else {
        const bool post = in.method == "POST";
        text_reply(reply, post ? 400 : 405, post ? "not an MMS PDU this relay takes\n" : "method not allowed\n");
        if (post && type >= 0) ex.type = message_type_name(type) ? message_type_name(type) : hex_byte(type);
    }
}

}  // namespace

void expire_messages(State &s) { make_room(s, 0); }

void log_line(State &s, const std::string &fields) {
    std::string o = "{\"time\":";
    append_json_string(o, now_iso());
    o += "," + fields + "}\n";
    std::fputs(o.c_str(), s.log);
    std::fflush(s.log);
}

bool write_file_atomic(const std::string &path, const uint8_t *p, size_t n, std::string *why) {
    std::string err;
    const bool ok = write_output(path, p, n, &err);
    if (!ok && why) *why = err;
    return ok;
}

namespace {

// Digits only (at most 19 of them), not above `max`.
bool whole_number(const std::string &v, unsigned long long max, unsigned long long *out) {
    if (v.empty() || v.size() > 19 || v.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::strtoull(v.c_str(), nullptr, 10);
    return *out <= max;
}

// Why the argument of a fault is wrong; empty when it is right. Every
// argument is read whole: no sign, no trailing letters, no blanks.
std::string fault_argument_problem(const Fault &f) {
    unsigned long long n = 0;
    const std::string &a = f.arg;
    if (f.kind == "stall" || f.kind == "garbage") return a.empty() ? "" : f.kind + " takes no argument";
    if (f.kind == "conf-status") {
        int b = 0;
        return parse_status_byte(a, &b) ? "" : "conf-status takes a Response-Status byte 0x80 to 0xFF";
    }
    if (f.kind == "http-status")
        return a.size() == 3 && whole_number(a, 599, &n) && n >= 100 ? "" : "http-status takes an HTTP status 100 to 599";
    if (f.kind == "close-after")
        return whole_number(a, 1ull << 40, &n) ? "" : "close-after takes a number of bytes (digits)";
    if (f.kind == "trickle") {
        const size_t slash = a.find('/');
        const bool ok = whole_number(a.substr(0, slash), 1u << 20, &n) && n >= 1 &&
                        (slash == std::string::npos || whole_number(a.substr(slash + 1), 60000, &n));
        return ok ? "" : "trickle takes N[/MS]: 1 to 1048576 bytes every 0 to 60000 ms";
    }
    if (f.kind == "length")
        return a == "more" || a == "fewer" || a == "absent" ? "" : "length takes more, fewer or absent";
    if (f.kind == "oversize") {
        if (a.empty()) return "";
        if (!whole_number(a, ~0ull, &n)) return "oversize takes a number of bytes (digits)";
        return n <= kMaxOversize ? "" : "oversize takes at most " + std::to_string(kMaxOversize) + " bytes";
    }
    return "";
}

}  // namespace

bool parse_status_byte(const std::string &text, int *out) {
    unsigned long long n = 0;
    if (text.size() > 2 && (text[1] == 'x' || text[1] == 'X') && text[0] == '0') {
        const std::string hex = text.substr(2);
        if (hex.empty() || hex.size() > 2 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        n = std::strtoull(hex.c_str(), nullptr, 16);
    } else if (!whole_number(text, 255, &n)) {
        return false;
    }
    if (n < 0x80 || n > 0xFF) return false;
    *out = static_cast<int>(n);
    return true;
}

bool parse_fault(const std::string &text, Fault *f, std::string *why) {
    std::string s = text;
    for (const char *cls : {"send:", "get:", "answer:", "any:"}) {
        if (s.rfind(cls, 0) == 0) {
            f->on = std::string(cls, std::strlen(cls) - 1);
            s = s.substr(std::strlen(cls));
            break;
        }
    }
    const size_t eq = s.find('=');
    f->kind = s.substr(0, eq);
    f->arg = eq == std::string::npos ? "" : s.substr(eq + 1);
    static const char *kinds[] = {"conf-status", "http-status", "close-after", "stall", "trickle",
                                  "length",      "oversize",    "redirect",    "garbage"};
    bool known = false;
    for (const char *k : kinds) known = known || f->kind == k;
    if (!known) {
        *why = "unknown fault '" + text + "'";
        return false;
    }
    if (const std::string bad = fault_argument_problem(*f); !bad.empty()) {
        *why = bad + " ('" + text + "')";
        return false;
    }
    if (f->kind == "redirect") {
        const size_t slash = f->arg.find('/');
        const int code = slash == std::string::npos ? 307 : std::atoi(f->arg.c_str() + slash + 1);
        if (code < 300 || code > 399) {
            *why = "redirect takes a 3xx status ('" + text + "')";
            return false;
        }
    }
    return true;
}

Reply handle_request(State &s, const Request &in) {
    Exchange ex;
    ex.method = in.method;
    ex.path = in.path;
    ex.userAgent = in.userAgent;
    ex.profile = in.profile;
    ex.bytesIn = in.tooLarge ? in.bodyBytes : in.body.size();
    Reply reply;
    if (in.path == "/control") {
        handle_control(s, in, reply);
        return reply;
    }
    if (in.conflictingLength) {
        text_reply(reply, 400, "the request has Content-Lengths that differ\n");
        error_extra(ex, "conflicting Content-Length");
        ex.status = reply.status;
        ex.bytesOut = reply.body.size();
        log_exchange(s, ex);
        return reply;
    }
    if (in.tooLarge || in.body.size() > s.limits.maxRequest) {
        // Nothing of it was kept: no faults, no decoding.
        text_reply(reply, 413, "the request is larger than " + std::to_string(s.limits.maxRequest) + " bytes\n");
        error_extra(ex, "request too large");
        ex.status = reply.status;
        ex.bytesOut = reply.body.size();
        log_exchange(s, ex);
        return reply;
    }
    const int type = in.method == "POST" ? fnMMS_FindMessageType(in.body.data(), static_cast<int>(in.body.size())) : -1;
    const std::string cls = class_of(in, type);
    bool bad = false;
    const std::vector<Fault> faults = faults_for(s, in, cls, reply, &bad);
    ex.fault = fault_text(faults);
    if (!bad) {
        dispatch(s, in, type, cls, faults, reply, ex);
        if (find_kind(faults, "garbage")) {
            reply.status = 200;
            reply.contentType = kMmsType;
            reply.body = garbage();
        }
        transport_faults(faults, reply);
    }
    ex.status = reply.stall ? 0 : reply.status;  // a stalled request is never answered
    ex.bytesOut = reply.stall ? 0 : reply.raw() ? raw_answer(reply).size() : reply.body.size();
    log_exchange(s, ex);
    return reply;
}

std::string raw_answer(const Reply &r) {
    auto status_line = [](const char *version, int status) {
        const char *reason = soup_status_get_phrase(static_cast<guint>(status));
        return std::string(version) + " " + std::to_string(status) + " " + (reason ? reason : "Unknown") + "\r\n";
    };
    std::string head;
    if (r.interim) head += status_line("HTTP/1.1", r.interim) + "\r\n";
    head += status_line("HTTP/1.0", r.status) + "Content-Type: " + r.contentType + "\r\n";
    long announced = static_cast<long>(r.body.size());
    if (r.length == "more") announced += 100;
    if (r.length == "fewer") announced = announced > 100 ? announced - 100 : 0;
    if (r.length != "absent") head += "Content-Length: " + std::to_string(announced) + "\r\n";
    if (!r.location.empty()) head += "Location: " + r.location + "\r\n";
    head += "\r\n";
    std::string bytes = head + std::string(r.body.begin(), r.body.end());
    if (r.closeAfter && *r.closeAfter < bytes.size()) bytes.resize(*r.closeAfter);
    return bytes;
}

}  // namespace rrtool::relay
