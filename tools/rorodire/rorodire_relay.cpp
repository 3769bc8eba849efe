// `rorodire relay`: an MMS relay (MMSC) for development and tests, on
// libsoup's HTTP server and the GLib main loop.
//
// POST of an m-send-req: answered with an m-send-conf; one m-notification-ind
// per recipient goes into the spool folder, pointing back at the relay.
// GET of such a location: the m-retrieve-conf with the body exactly as sent.
// POST of an m-notifyresp-ind or m-acknowledge-ind: recorded against its
// transaction. One JSON line per exchange. Faults can be injected from the
// command line, per request (?fault=...) and through /control.
#include <glib-unix.h>
#include <glib.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton_Decode.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_log.h"
#include "rorodire_tool.h"

namespace rrtool {
namespace {

constexpr char kMmsType[] = "application/vnd.wap.mms-message";

constexpr char kRelayUsage[] =
    "usage: rorodire relay [--port N] [--spool DIR] [--log FILE] [--sender ADDR]\n"
    "                      [--conf-status BYTE] [--fault SPEC]...\n"
    "\n"
    "An MMS relay (MMSC) for development and tests, on 127.0.0.1.\n"
    "  --port N           port to listen on; 0 (the default) picks a free one.\n"
    "                     The relay prints \"relay: listening on URL\" on stderr;\n"
    "                     URL (ending in /mms) is where terminals post.\n"
    "  --spool DIR        folder for the m-notification-ind files, one per\n"
    "                     recipient (default: a new folder under /tmp)\n"
    "  --log FILE         the JSON line of each exchange goes there, not to stdout\n"
    "  --sender ADDR      From inserted when a send request asks for it\n"
    "                     (default +15550100000)\n"
    "  --conf-status BYTE Response-Status of every m-send-conf (0x80 Ok .. 0xFF)\n"
    "  --fault SPEC       a fault for every matching request (repeatable)\n"
    "\n"
    "Requests:\n"
    "  POST any path      m-send-req -> m-send-conf (+ notifications in the spool);\n"
    "                     m-notifyresp-ind / m-acknowledge-ind -> recorded, empty 200\n"
    "  GET /msg/ID        the m-retrieve-conf of a notification; unknown: 404\n"
    "  GET|POST /control?fault=SPEC[&count=N]   adds a fault for the next N (1)\n"
    "                     matching requests; /control?clear=1 removes all\n"
    "\n"
    "Fault SPEC: [send:|get:|answer:]KIND[=ARG], also per request as\n"
    "?fault=SPEC[,SPEC...] on the request URL. KIND is one of:\n"
    "  conf-status=BYTE   Response-Status of the m-send-conf (0x80..0xFF)\n"
    "  http-status=CODE   answer with that HTTP status (404, 500, ...)\n"
    "  close-after=N      send the first N bytes of the response, then close\n"
    "  stall              accept the request and never answer\n"
    "  trickle=N[/MS]     send N bytes every MS milliseconds (default 100)\n"
    "  length=more|fewer|absent  a Content-Length that lies (+100, -100) or none\n"
    "  oversize[=N]       the retrieved message padded to N bytes (400000)\n"
    "  redirect=abs|rel   302 to the same URL without the fault, absolute or relative\n"
    "  garbage            bytes that are no PDU, instead of the answer\n";

// ---------------------------------------------------------------- faults
struct Fault {
    std::string on = "any";  // send, get, answer or any
    std::string kind;
    std::string arg;
    long remaining = -1;  // -1 unlimited
};

bool parse_fault(const std::string &spec, Fault *f, std::string *why) {
    std::string s = spec;
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
    for (const char *k : kinds)
        if (f->kind == k) return true;
    *why = "unknown fault '" + spec + "'";
    return false;
}

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

// ---------------------------------------------------------------- state
struct Stored {
    std::string tid;
    std::string messageId;
    std::string recipient;
    std::vector<uint8_t> pdu;  // the m-retrieve-conf served for this location
    std::string answer;        // "" until an m-notifyresp-ind / m-acknowledge-ind came
};

struct Relay {
    SoupServer *server = nullptr;
    GMainLoop *loop = nullptr;
    int port = 0;
    std::string base;  // http://127.0.0.1:PORT
    std::string spool;
    FILE *log = stdout;
    std::string sender = "+15550100000";
    int confStatus = 0x80;
    std::vector<Fault> faults;
    std::map<std::string, Stored> byPath;    // "/msg/ID" -> message
    std::map<std::string, std::string> byTid;  // notification Transaction-Id -> path
    unsigned long seq = 0;
};

std::string now_iso() {
    gint64 us = g_get_real_time();
    time_t t = static_cast<time_t>(us / 1000000);
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>((us / 1000) % 1000));
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

void log_exchange(Relay &r, const Exchange &e) {
    std::string o = "{\"time\":";
    append_json_string(o, now_iso());
    add_str(o, "method", e.method);
    add_str(o, "path", e.path);
    o += ",\"type\":";
    if (e.type.empty())
        o += "null";
    else
        append_json_string(o, e.type);
    o += ",\"transaction_id\":";
    if (e.tid.empty())
        o += "null";
    else
        append_json_string(o, e.tid);
    o += ",\"status\":" + std::to_string(e.status);
    o += ",\"bytes_in\":" + std::to_string(e.bytesIn) + ",\"bytes_out\":" + std::to_string(e.bytesOut);
    add_str(o, "user_agent", e.userAgent);
    add_str(o, "profile", e.profile);
    if (!e.fault.empty()) add_str(o, "fault", e.fault);
    o += e.extra + "}\n";
    std::fputs(o.c_str(), r.log);
    std::fflush(r.log);
}

std::string hex_byte(int b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b & 0xFF);
    return buf;
}

bool write_file_atomic(const std::string &path, const uint8_t *p, size_t n) {
    const std::string tmp = path + ".part";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(p, 1, n, f) == n;
    if (std::fclose(f) != 0 || !ok) {
        unlink(tmp.c_str());
        return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Delivery-Report and Read-Reply of a send request, which the decoder keeps
// no record field for: the header fields are walked with the library's WSP
// readers up to the Content-Type.
void report_flags(const uint8_t *pdu, size_t len, int *deliveryReport, int *readReply) {
    WspCursor c = wsp_cursor(pdu, static_cast<int>(len));
    while (c.left() > 0) {
        const uint8_t code = *c.p++;
        if (code == MMS_CONTENT_TYPE_FIELD) return;
        if (code == MMS_DELIVERY_REPORT_FIELD || code == MMS_READ_REPLY_FIELD) {
            uint8_t v = 0;
            if (!mmsdec::take_byte(c, &v)) return;
            *(code == MMS_DELIVERY_REPORT_FIELD ? deliveryReport : readReply) = v == MMS_YES ? 1 : 0;
            continue;
        }
        if (code < 0x80) {  // an application header: text name, then its value
            --c.p;
            if (!SkipText(c)) return;
        }
        if (!SkipValue(c)) return;
    }
}

std::vector<std::string> split_list(const char *list) {
    std::vector<std::string> out;
    if (!list) return out;
    std::string cur;
    for (const char *s = list;; ++s) {
        if (*s == ';' || *s == '\0') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
            if (!*s) break;
        } else if (*s != ' ') {
            cur += *s;
        }
    }
    return out;
}

template <typename T>
struct PduPtr {
    T *p = nullptr;
    ~PduPtr() {
        if (p) fnQX_Free(reinterpret_cast<void **>(&p));
    }
};

// ---------------------------------------------------------------- responses
struct Response {
    int status = 200;
    std::string contentType = kMmsType;
    std::vector<uint8_t> body;
};

void text_response(Response &resp, int status, const std::string &text) {
    resp.status = status;
    resp.contentType = "text/plain";
    resp.body.assign(text.begin(), text.end());
}

// A send request: a message id, the stored retrieve confirmations, one
// notification per recipient and the confirmation.
void handle_send(Relay &r, const std::vector<uint8_t> &in, const std::vector<Fault> &faults, Response &resp,
                 Exchange &ex) {
    ex.type = "m-send-req";
    tMMS_SendReq *req = fnMMS_ParseSendContent(in.data(), static_cast<int>(in.size()));
    if (!req) {
        // Without a Transaction-Id there is nothing to confirm to.
        text_response(resp, 400, "send request does not decode\n");
        ex.extra += ",\"error\":\"send request does not decode\"";
        return;
    }
    ex.tid = req->Transaction_Id ? req->Transaction_Id : "";
    int status = r.confStatus;
    if (const Fault *f = find_kind(faults, "conf-status")) status = static_cast<int>(std::strtol(f->arg.c_str(), nullptr, 0));
    const bool ok = status == 0x80;
    const std::string messageId =
        "M" + std::to_string(static_cast<long long>(g_get_real_time() / 1000000)) + "-" + std::to_string(++r.seq);

    std::vector<std::string> recipients;
    for (const char *list : {req->To, req->Cc, req->Bcc})
        for (const std::string &a : split_list(list)) recipients.push_back(a);

    std::string notes;
    if (ok) {
        int deliveryReport = 0, readReply = 0;
        report_flags(in.data(), in.size(), &deliveryReport, &readReply);
        for (size_t i = 0; i < recipients.size(); ++i) {
            const std::string id = messageId + "-" + std::to_string(i + 1);
            const std::string path = "/msg/" + id;
            const std::string tid = "T" + id;
            tMMS_RetrieveConf rc{};
            rc.Transaction_Id = const_cast<char *>(tid.c_str());
            rc.Message_Id = const_cast<char *>(messageId.c_str());
            rc.Date = req->Date > 0 ? req->Date : static_cast<int>(g_get_real_time() / 1000000);
            rc.From = const_cast<char *>(req->From ? req->From : r.sender.c_str());
            rc.To = req->To;
            rc.Cc = req->Cc;
            rc.Subject = req->Subject;
            rc.Message_Class = req->Message_Class;
            rc.Priority = req->Priority;
            rc.Delivery_Report = deliveryReport;
            rc.Read_Reply = readReply;
            rc.body = req->ContentTypeAndBody;
            rc.Content_Size = req->Body_Len;
            int len = 0;
            PduPtr<uint8_t> pdu{fnMMS_MakeRetrieveConfPdu(&rc, &len)};
            if (!pdu.p) continue;
            Stored st;
            st.tid = tid;
            st.messageId = messageId;
            st.recipient = recipients[i];
            st.pdu.assign(pdu.p, pdu.p + len);

            tMMS_NotifyInd n{};
            n.Transaction_Id = const_cast<char *>(tid.c_str());
            std::string location = r.base + path;
            n.Content_Location = const_cast<char *>(location.c_str());
            n.From = rc.From;
            n.Subject = req->Subject;
            n.Message_Class = req->Message_Class;
            n.Priority = req->Priority;
            n.Message_Size = len;
            n.Expiry = 7 * 24 * 3600;
            n.Expiry_Token = MMS_RELATIVE_TOKEN;
            int nlen = 0;
            PduPtr<uint8_t> ind{fnMMS_MakeNotificationIndPdu(&n, &nlen)};
            const std::string file = r.spool + "/" + id + ".ind";
            const bool written = ind.p && write_file_atomic(file, ind.p, static_cast<size_t>(nlen));
            r.byTid[tid] = path;
            r.byPath[path] = std::move(st);
            notes += std::string(notes.empty() ? "" : ",") + "{\"to\":";
            append_json_string(notes, recipients[i]);
            notes += ",\"transaction_id\":";
            append_json_string(notes, tid);
            notes += ",\"location\":";
            append_json_string(notes, location);
            notes += ",\"file\":";
            if (written)
                append_json_string(notes, file);
            else
                notes += "null";
            notes += ",\"message_size\":" + std::to_string(len) + "}";
        }
    }
    int len = 0;
    PduPtr<uint8_t> conf{fnMMS_MakeSendConfPdu(req->Transaction_Id, static_cast<uint8_t>(status), nullptr,
                                              ok ? messageId.c_str() : nullptr, &len)};
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    if (!conf.p) {
        text_response(resp, 500, "cannot encode the confirmation\n");
        return;
    }
    resp.body.assign(conf.p, conf.p + len);
    ex.extra += ",\"response_status\":\"" + hex_byte(status) + "\"";
    if (ok) {
        ex.extra += ",\"message_id\":";
        append_json_string(ex.extra, messageId);
    }
    ex.extra += ",\"recipients\":" + std::to_string(recipients.size()) + ",\"notifications\":[" + notes + "]";
}

void handle_answer(Relay &r, int type, const std::vector<uint8_t> &in, Response &resp, Exchange &ex) {
    tMMS_DecodeReport why{};
    std::string tid, kind;
    int reportAllowed = -1, status = -1;
    bool decoded = false;
    if (type == MMS_M_NOTIFYRESP_IND) {
        ex.type = kind = "m-notifyresp-ind";
        if (tMMS_NotifyRespInd *n = fnMMS_ParseNotifyRespInd(in.data(), static_cast<int>(in.size()), &why)) {
            decoded = true;
            tid = n->Transaction_Id ? n->Transaction_Id : "";
            reportAllowed = n->Report_Allowed;
            status = n->Status;
            fnMMS_FreeMessageMem(n, MMS_STRUCT_NOTIFYRESP_IND);
        }
    } else {
        ex.type = kind = "m-acknowledge-ind";
        if (tMMS_AcknowledgeInd *a = fnMMS_ParseAcknowledgeInd(in.data(), static_cast<int>(in.size()), &why)) {
            decoded = true;
            tid = a->Transaction_Id ? a->Transaction_Id : "";
            reportAllowed = a->Report_Allowed;
            fnMMS_FreeMessageMem(a, MMS_STRUCT_ACKNOWLEDGE_IND);
        }
    }
    if (!decoded) {
        const std::string reason = "refused by the decoder (fault " + std::to_string(static_cast<int>(why.fault)) +
                                   ", offset " + std::to_string(why.offset) + ")";
        text_response(resp, 400, kind + " does not decode: " + reason + "\n");
        ex.extra += ",\"error\":";
        append_json_string(ex.extra, reason);
        return;
    }
    ex.tid = tid;
    auto it = r.byTid.find(tid);
    const bool known = it != r.byTid.end();
    if (known) r.byPath[it->second].answer = kind;
    ex.extra += std::string(",\"known\":") + (known ? "true" : "false");
    if (reportAllowed >= 0)
        ex.extra += std::string(",\"report_allowed\":\"") + (reportAllowed == MMS_YES ? "yes" : reportAllowed == MMS_NO ? "no" : hex_byte(reportAllowed)) + "\"";
    if (status >= 0) ex.extra += ",\"mms_status\":\"" + hex_byte(status) + "\"";
    if (known) {
        ex.extra += ",\"message_id\":";
        append_json_string(ex.extra, r.byPath[it->second].messageId);
    }
    resp.status = 200;
    resp.contentType = "text/plain";
    resp.body.clear();
}

// ---------------------------------------------------------------- raw answers
// Faults the HTTP server would never produce (a cut or trickled answer, a
// Content-Length that lies) are written on the connection taken over from it.
struct RawAnswer {
    GIOStream *stream = nullptr;
    std::string bytes;
    size_t pos = 0;
    size_t chunk = 0;  // 0: all at once
    guint intervalMs = 100;
};

void raw_finish(RawAnswer *a) {
    g_io_stream_close(a->stream, nullptr, nullptr);
    g_object_unref(a->stream);
    delete a;
}

gboolean raw_tick(gpointer data) {
    auto *a = static_cast<RawAnswer *>(data);
    GOutputStream *out = g_io_stream_get_output_stream(a->stream);
    const size_t n = a->chunk ? std::min(a->chunk, a->bytes.size() - a->pos) : a->bytes.size() - a->pos;
    gsize written = 0;
    const bool ok = n == 0 || g_output_stream_write_all(out, a->bytes.data() + a->pos, n, &written, nullptr, nullptr);
    a->pos += written;
    g_output_stream_flush(out, nullptr, nullptr);
    if (!ok || a->pos >= a->bytes.size()) {
        raw_finish(a);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

std::string status_line(int status) {
    const char *reason = soup_status_get_phrase(static_cast<guint>(status));
    return "HTTP/1.0 " + std::to_string(status) + " " + (reason ? reason : "Unknown") + "\r\n";
}

// ---------------------------------------------------------------- dispatch
std::string query_value(GHashTable *query, const char *key) {
    if (!query) return "";
    const char *v = static_cast<const char *>(g_hash_table_lookup(query, key));
    return v ? v : "";
}

void handle_control(Relay &r, SoupServerMessage *msg, GHashTable *query) {
    std::string reply;
    int status = 200;
    if (!query_value(query, "clear").empty()) r.faults.clear();
    const std::string spec = query_value(query, "fault");
    if (!spec.empty()) {
        Fault f;
        std::string why;
        if (parse_fault(spec, &f, &why)) {
            const std::string count = query_value(query, "count");
            f.remaining = count.empty() ? 1 : std::strtol(count.c_str(), nullptr, 10);
            r.faults.push_back(f);
        } else {
            status = 400;
            reply = why + "\n";
        }
    }
    if (status == 200) reply = "faults: " + fault_text(r.faults) + "\n";
    soup_server_message_set_status(msg, static_cast<guint>(status), nullptr);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, reply.data(), reply.size());
}

// The faults for this request: its own (?fault=) and the relay's that match.
std::vector<Fault> faults_for(Relay &r, GHashTable *query, const std::string &cls, Response &resp, bool *bad) {
    std::vector<Fault> out;
    const std::string specs = query_value(query, "fault");
    size_t start = 0;
    while (start < specs.size()) {
        size_t end = specs.find(',', start);
        if (end == std::string::npos) end = specs.size();
        Fault f;
        std::string why;
        if (parse_fault(specs.substr(start, end - start), &f, &why)) {
            if (f.on == "any" || f.on == cls) out.push_back(f);
        } else {
            text_response(resp, 400, why + "\n");
            *bad = true;
        }
        start = end + 1;
    }
    for (auto it = r.faults.begin(); it != r.faults.end();) {
        if ((it->on == "any" || it->on == cls) && it->remaining != 0) {
            out.push_back(*it);
            if (it->remaining > 0 && --it->remaining == 0) {
                it = r.faults.erase(it);
                continue;
            }
        }
        ++it;
    }
    return out;
}

// The request URL without its fault parameter, for a redirect that leads
// back to the normal answer.
std::string url_without_fault(SoupServerMessage *msg, bool absolute, const Relay &r) {
    GUri *uri = soup_server_message_get_uri(msg);
    std::string path = g_uri_get_path(uri);
    std::string q;
    if (const char *query = g_uri_get_query(uri)) {
        gchar **parts = g_strsplit(query, "&", -1);
        for (gchar **p = parts; *p; ++p) {
            if (g_str_has_prefix(*p, "fault=")) continue;
            q += (q.empty() ? "?" : "&") + std::string(*p);
        }
        g_strfreev(parts);
    }
    return (absolute ? r.base : "") + path + q;
}

void on_request(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *query, gpointer data) {
    Relay &r = *static_cast<Relay *>(data);
    Exchange ex;
    ex.method = soup_server_message_get_method(msg);
    ex.path = path;
    SoupMessageHeaders *reqHeaders = soup_server_message_get_request_headers(msg);
    if (const char *ua = soup_message_headers_get_one(reqHeaders, "User-Agent")) ex.userAgent = ua;
    if (const char *pr = soup_message_headers_get_one(reqHeaders, "Profile")) ex.profile = pr;

    if (g_str_has_prefix(path, "/control")) {
        handle_control(r, msg, query);
        return;
    }

    std::vector<uint8_t> in;
    SoupMessageBody *reqBody = soup_server_message_get_request_body(msg);
    if (reqBody) {
        GBytes *flat = soup_message_body_flatten(reqBody);
        gsize n = 0;
        const auto *p = static_cast<const uint8_t *>(g_bytes_get_data(flat, &n));
        if (n) in.assign(p, p + n);
        g_bytes_unref(flat);
    }
    ex.bytesIn = in.size();

    // What kind of exchange this is decides which faults apply.
    const bool isPost = ex.method == "POST";
    const bool isGet = ex.method == "GET" || ex.method == "HEAD";
    const int type = isPost ? fnMMS_FindMessageType(in.data(), static_cast<int>(in.size())) : -1;
    std::string cls = "other";
    if (isPost && type == MMS_M_SEND_REQ) cls = "send";
    if (isPost && (type == MMS_M_NOTIFYRESP_IND || type == MMS_M_ACKNOWLEDGE_IND)) cls = "answer";
    if (isGet) cls = "get";

    Response resp;
    bool bad = false;
    const std::vector<Fault> faults = faults_for(r, query, cls, resp, &bad);
    ex.fault = fault_text(faults);

    if (bad) {
        // a fault spec that does not parse was answered with 400
    } else if (const Fault *f = find_kind(faults, "redirect")) {
        const std::string location = url_without_fault(msg, f->arg != "rel", r);
        resp.status = 302;
        resp.contentType = "text/plain";
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Location", location.c_str());
        ex.extra += ",\"location\":";
        append_json_string(ex.extra, location);
    } else if (const Fault *f = find_kind(faults, "http-status")) {
        const int code = std::atoi(f->arg.c_str());
        text_response(resp, code >= 100 && code <= 999 ? code : 500, "error " + f->arg + "\n");
    } else if (cls == "send") {
        handle_send(r, in, faults, resp, ex);
    } else if (cls == "answer") {
        handle_answer(r, type, in, resp, ex);
    } else if (cls == "get") {
        auto it = r.byPath.find(path);
        if (it == r.byPath.end()) {
            text_response(resp, 404, "no message at " + std::string(path) + "\n");
        } else {
            ex.type = "m-retrieve-conf";
            ex.tid = it->second.tid;
            resp.body = it->second.pdu;
            if (const Fault *o = find_kind(faults, "oversize")) {
                const size_t want = o->arg.empty() ? 400000 : std::strtoul(o->arg.c_str(), nullptr, 10);
                while (resp.body.size() < want) resp.body.push_back(static_cast<uint8_t>(resp.body.size()));
            }
        }
    } else {
        text_response(resp, isPost ? 400 : 405, isPost ? "not an MMS PDU this relay takes\n" : "method not allowed\n");
        if (isPost && type >= 0) ex.type = message_type_name(type) ? message_type_name(type) : hex_byte(type);
    }
    if (find_kind(faults, "garbage") && !bad) {
        resp.status = 200;
        resp.contentType = kMmsType;
        resp.body.clear();
        guint32 x = 0x2545F491u;
        for (int i = 0; i < 512; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            resp.body.push_back(static_cast<uint8_t>(x));
        }
    }
    ex.status = resp.status;
    ex.bytesOut = resp.body.size();

    // Faults below the HTTP layer.
    const Fault *stall = find_kind(faults, "stall");
    const Fault *close = find_kind(faults, "close-after");
    const Fault *trickle = find_kind(faults, "trickle");
    const Fault *length = find_kind(faults, "length");
    if (stall) {
        ex.status = 0;  // nothing is ever answered
        ex.bytesOut = 0;
        log_exchange(r, ex);
        soup_server_message_pause(msg);  // never resumed: the client waits for ever
        return;
    }
    if (close || trickle || length) {
        std::string head = status_line(resp.status) + "Content-Type: " + resp.contentType + "\r\n";
        long announced = static_cast<long>(resp.body.size());
        if (length && length->arg == "more") announced += 100;
        if (length && length->arg == "fewer") announced = announced > 100 ? announced - 100 : 0;
        if (!(length && length->arg == "absent")) head += "Content-Length: " + std::to_string(announced) + "\r\n";
        if (resp.status >= 300 && resp.status < 400)
            if (const char *loc = soup_message_headers_get_one(soup_server_message_get_response_headers(msg), "Location"))
                head += std::string("Location: ") + loc + "\r\n";
        head += "\r\n";
        auto *a = new RawAnswer;
        a->bytes = head + std::string(resp.body.begin(), resp.body.end());
        if (close) {
            const size_t n = std::strtoul(close->arg.c_str(), nullptr, 10);
            if (n < a->bytes.size()) a->bytes.resize(n);
        }
        if (trickle) {
            a->chunk = std::strtoul(trickle->arg.c_str(), nullptr, 10);
            if (a->chunk == 0) a->chunk = 1;
            const size_t slash = trickle->arg.find('/');
            if (slash != std::string::npos) a->intervalMs = static_cast<guint>(std::strtoul(trickle->arg.c_str() + slash + 1, nullptr, 10));
        }
        ex.bytesOut = a->bytes.size();
        log_exchange(r, ex);
        a->stream = soup_server_message_steal_connection(msg);
        if (!a->stream) {
            delete a;
            return;
        }
        if (a->chunk)
            g_timeout_add(a->intervalMs, raw_tick, a);
        else
            raw_tick(a);
        return;
    }
    soup_server_message_set_status(msg, static_cast<guint>(resp.status), nullptr);
    soup_server_message_set_response(msg, resp.contentType.c_str(), SOUP_MEMORY_COPY,
                                     reinterpret_cast<const char *>(resp.body.data()), resp.body.size());
    log_exchange(r, ex);
}

gboolean on_signal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int cmd_relay(int argc, char **argv) {
    Relay r;
    std::string logPath;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire relay: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char *v = nullptr;
        if (a == "--help" || a == "-h") {
            std::fputs(kRelayUsage, stdout);
            return 0;
        } else if (a == "--port") {
            if (!(v = value("--port"))) return 2;
            r.port = std::atoi(v);
        } else if (a == "--spool") {
            if (!(v = value("--spool"))) return 2;
            r.spool = v;
        } else if (a == "--log") {
            if (!(v = value("--log"))) return 2;
            logPath = v;
        } else if (a == "--sender") {
            if (!(v = value("--sender"))) return 2;
            r.sender = v;
        } else if (a == "--conf-status") {
            if (!(v = value("--conf-status"))) return 2;
            r.confStatus = static_cast<int>(std::strtol(v, nullptr, 0));
            if (r.confStatus < 0x80 || r.confStatus > 0xFF) {
                std::fprintf(stderr, "rorodire relay: --conf-status takes 0x80 to 0xFF\n");
                return 2;
            }
        } else if (a == "--fault") {
            if (!(v = value("--fault"))) return 2;
            Fault f;
            std::string why;
            if (!parse_fault(v, &f, &why)) {
                std::fprintf(stderr, "rorodire relay: %s\n", why.c_str());
                return 2;
            }
            r.faults.push_back(f);
        } else {
            std::fprintf(stderr, "rorodire relay: unknown option '%s'\n\n%s", a.c_str(), kRelayUsage);
            return 2;
        }
    }
    qx::set_log_enabled(false);
    if (r.spool.empty()) {
        char tmpl[] = "/tmp/rorodire-spool-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("rorodire relay: spool folder");
            return 3;
        }
        r.spool = tmpl;
    } else if (g_mkdir_with_parents(r.spool.c_str(), 0755) != 0) {
        std::fprintf(stderr, "rorodire relay: cannot create %s\n", r.spool.c_str());
        return 3;
    }
    if (!logPath.empty()) {
        r.log = std::fopen(logPath.c_str(), "a");
        if (!r.log) {
            std::perror("rorodire relay: log file");
            return 3;
        }
    }
    r.server = soup_server_new("server-header", "rorodire-relay", nullptr);
    soup_server_add_handler(r.server, nullptr, on_request, &r, nullptr);
    GError *err = nullptr;
    if (!soup_server_listen_local(r.server, static_cast<guint>(r.port), SOUP_SERVER_LISTEN_IPV4_ONLY, &err)) {
        std::fprintf(stderr, "rorodire relay: cannot listen: %s\n", err ? err->message : "?");
        g_clear_error(&err);
        g_object_unref(r.server);
        return 3;
    }
    GSList *uris = soup_server_get_uris(r.server);
    if (uris) r.port = g_uri_get_port(static_cast<GUri *>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    r.base = "http://127.0.0.1:" + std::to_string(r.port);
    std::fprintf(stderr, "relay: listening on %s/mms spool %s\n", r.base.c_str(), r.spool.c_str());
    std::fflush(stderr);

    r.loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, on_signal, r.loop);
    g_unix_signal_add(SIGTERM, on_signal, r.loop);
    g_main_loop_run(r.loop);
    g_main_loop_unref(r.loop);
    soup_server_disconnect(r.server);
    g_object_unref(r.server);
    if (r.log != stdout) std::fclose(r.log);
    return 0;
}

}  // namespace rrtool
