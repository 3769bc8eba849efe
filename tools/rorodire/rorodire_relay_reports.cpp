// The development relay's reports to a sender: the m-delivery-ind of each
// recipient (when it took, refused or put off the message, or let it expire)
// and the m-read-orig-ind of a recipient's read report. Each is written into
// the spool beside the message's notifications, as a push the sender's side
// takes the way a recipient takes a notification, with one log line; the
// bookkeeping of each message is kept in the spool too (MESSAGE-ID.rep), so a
// restarted relay still reports on the messages it stored before.
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "MMSProl_Encapsulaton.h"
#include "MMSProl_Encapsulaton_Decode.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "rorodire_relay.h"
#include "rorodire_tool.h"

namespace rrtool::relay {

namespace {

constexpr char kRepSuffix[] = ".rep";
constexpr char kMessageGroup[] = "message";

long long now_seconds() { return g_get_real_time() / 1000000; }

std::string rep_path(const State &s, const std::string &messageId) { return s.spool + "/" + messageId + kRepSuffix; }

// ---------------------------------------------------------------- the .rep file
// Texts go through g_strescape: any byte of an address reads back as it was.
void set_text(GKeyFile *k, const char *group, const char *key, const std::string &v) {
    char *e = g_strescape(v.c_str(), nullptr);
    g_key_file_set_string(k, group, key, e);
    g_free(e);
}

bool get_text(GKeyFile *k, const char *group, const char *key, std::string *out) {
    char *e = g_key_file_get_string(k, group, key, nullptr);
    if (!e) return false;
    char *v = g_strcompress(e);
    *out = v;
    g_free(v);
    g_free(e);
    return true;
}

std::string recipient_group(size_t i) { return "recipient " + std::to_string(i + 1); }

bool save(const State &s, const Tracked &t) {
    std::unique_ptr<GKeyFile, void (*)(GKeyFile *)> k(g_key_file_new(), g_key_file_free);
    set_text(k.get(), kMessageGroup, "message_id", t.messageId);
    set_text(k.get(), kMessageGroup, "from", t.from);
    g_key_file_set_boolean(k.get(), kMessageGroup, "delivery_report", t.deliveryReport);
    g_key_file_set_boolean(k.get(), kMessageGroup, "read_reply", t.readReply);
    g_key_file_set_int64(k.get(), kMessageGroup, "stored_at", t.storedAt);
    g_key_file_set_integer(k.get(), kMessageGroup, "recipients", static_cast<int>(t.recipients.size()));
    for (size_t i = 0; i < t.recipients.size(); ++i) {
        const ReportRecipient &r = t.recipients[i];
        const std::string g = recipient_group(i);
        set_text(k.get(), g.c_str(), "address", r.address);
        set_text(k.get(), g.c_str(), "transaction_id", r.tid);
        set_text(k.get(), g.c_str(), "id", r.id);
        std::string delivered;
        for (int v : r.delivered) delivered += std::to_string(v) + ";";
        g_key_file_set_value(k.get(), g.c_str(), "delivered", delivered.c_str());
        g_key_file_set_integer(k.get(), g.c_str(), "read", r.read);
    }
    gsize n = 0;
    char *data = g_key_file_to_data(k.get(), &n, nullptr);
    const bool ok = data && write_file_atomic(rep_path(s, t.messageId), reinterpret_cast<const uint8_t *>(data), n);
    g_free(data);
    return ok;
}

// A message's bookkeeping from its file; false when it does not read back
// whole (a missing key, a count that does not match, a name of another message).
bool load(const std::string &path, const std::string &stem, Tracked *t) {
    std::unique_ptr<GKeyFile, void (*)(GKeyFile *)> k(g_key_file_new(), g_key_file_free);
    if (!g_key_file_load_from_file(k.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) return false;
    GError *err = nullptr;
    auto check = [&err] {
        const bool ok = !err;
        g_clear_error(&err);
        return ok;
    };
    if (!get_text(k.get(), kMessageGroup, "message_id", &t->messageId) || t->messageId != stem ||
        !get_text(k.get(), kMessageGroup, "from", &t->from))
        return false;
    t->deliveryReport = g_key_file_get_boolean(k.get(), kMessageGroup, "delivery_report", &err);
    if (!check()) return false;
    t->readReply = g_key_file_get_boolean(k.get(), kMessageGroup, "read_reply", &err);
    if (!check()) return false;
    t->storedAt = g_key_file_get_int64(k.get(), kMessageGroup, "stored_at", &err);
    if (!check()) return false;
    const int count = g_key_file_get_integer(k.get(), kMessageGroup, "recipients", &err);
    if (!check() || count < 0 || count > 100000) return false;
    for (int i = 0; i < count; ++i) {
        const std::string g = recipient_group(static_cast<size_t>(i));
        ReportRecipient r;
        if (!get_text(k.get(), g.c_str(), "address", &r.address) ||
            !get_text(k.get(), g.c_str(), "transaction_id", &r.tid) || !get_text(k.get(), g.c_str(), "id", &r.id) ||
            r.tid.empty() || r.id.empty() || r.id.find('/') != std::string::npos)
            return false;
        gsize n = 0;
        gint *list = g_key_file_get_integer_list(k.get(), g.c_str(), "delivered", &n, &err);
        // An empty list is stored as an empty value, which reads as an error.
        g_clear_error(&err);
        for (gsize j = 0; j < n; ++j) r.delivered.push_back(list[j]);
        g_free(list);
        r.read = g_key_file_get_integer(k.get(), g.c_str(), "read", &err);
        if (!check()) return false;
        t->recipients.push_back(std::move(r));
    }
    return true;
}

void add_tracked(State &s, Tracked t) {
    for (const ReportRecipient &r : t.recipients) s.trackedByTid[r.tid] = t.messageId;
    const std::string id = t.messageId;
    s.tracked[id] = std::move(t);
}

// ---------------------------------------------------------------- writing reports
std::string lower(std::string v) {
    for (char &c : v) c = static_cast<char>(g_ascii_tolower(c));
    return v;
}

// Writes one report PDU into the spool and logs it; the file, or "" when it
// could not be encoded or written (logged too).
std::string put_report(State &s, const char *type, const Tracked &t, const ReportRecipient &r, uint8_t *pdu,
                       int len, const std::string &name, const char *status) {
    PduPtr<uint8_t> hold{pdu};
    const std::string file = s.spool + "/" + name;
    std::string why = "cannot encode the report";
    const bool ok = pdu && write_file_atomic(file, pdu, static_cast<size_t>(len), &why);
    std::string o = "\"report\":\"" + std::string(type) + "\",\"message_id\":";
    append_json_string(o, t.messageId);
    o += ",\"for\":";
    append_json_string(o, t.from);
    o += ",\"recipient\":";
    append_json_string(o, r.address);
    o += ",\"status\":";
    append_json_string(o, status);
    if (ok) {
        o += ",\"spool_file\":";
        append_json_string(o, file);
    } else {
        o += ",\"error\":";
        append_json_string(o, why);
    }
    log_line(s, o);
    return ok ? file : "";
}

bool write_delivery(State &s, Tracked &t, ReportRecipient &r, int status) {
    const char *word = delivery_status_name(status);
    tMMS_DeliveryInd d{};
    d.Message_Id = const_cast<char *>(t.messageId.c_str());
    d.To = const_cast<char *>(r.address.c_str());
    d.Date = static_cast<int>(now_seconds());
    d.Status = static_cast<unsigned char>(status);
    int len = 0;
    uint8_t *pdu = fnMMS_MakeDeliveryIndPdu(&d, &len);
    if (put_report(s, "m-delivery-ind", t, r, pdu, len, r.id + "-delivery-" + lower(word) + ".ind", word).empty())
        return false;
    r.delivered.push_back(status);
    save(s, t);
    return true;
}

bool delivered(const ReportRecipient &r, int status) {
    return std::find(r.delivered.begin(), r.delivered.end(), status) != r.delivered.end();
}

void refuse(Reply &reply, std::string &extra, const std::string &why) {
    reply.status = 400;
    reply.contentType = "text/plain";
    const std::string text = "read report refused: " + why + "\n";
    reply.body.assign(text.begin(), text.end());
    extra += ",\"error\":";
    append_json_string(extra, why);
}

}  // namespace

void track_message(State &s, const Message &m) {
    Tracked t;
    t.messageId = m.messageId;
    t.from = m.from;
    t.deliveryReport = m.deliveryReport != 0;
    t.readReply = m.readReply != 0;
    t.storedAt = m.storedAt;
    for (const std::string &path : m.paths) {
        auto it = s.byPath.find(path);
        if (it == s.byPath.end()) continue;
        ReportRecipient r;
        r.address = it->second.recipient;
        r.tid = it->second.tid;
        r.id = path.substr(path.rfind('/') + 1);
        t.recipients.push_back(std::move(r));
    }
    if (!save(s, t)) {
        std::string o = "\"error\":\"cannot write the report bookkeeping\",\"message_id\":";
        append_json_string(o, t.messageId);
        log_line(s, o);
    }
    add_tracked(s, std::move(t));
}

void forget_reports(State &s, const std::string &messageId) {
    auto it = s.tracked.find(messageId);
    if (it == s.tracked.end()) return;
    for (const ReportRecipient &r : it->second.recipients) s.trackedByTid.erase(r.tid);
    unlink(rep_path(s, messageId).c_str());
    s.tracked.erase(it);
}

std::string report_delivery(State &s, const std::string &tid, int status) {
    auto id = s.trackedByTid.find(tid);
    if (id == s.trackedByTid.end()) return ",\"delivery_report\":\"unknown message\"";
    Tracked &t = s.tracked[id->second];
    auto r = std::find_if(t.recipients.begin(), t.recipients.end(),
                          [&](const ReportRecipient &x) { return x.tid == tid; });
    if (r == t.recipients.end()) return ",\"delivery_report\":\"unknown message\"";
    if (!t.deliveryReport) return ",\"delivery_report\":\"not asked\"";
    if (status != MMS_DELIVERY_RETRIEVED && status != MMS_DELIVERY_REJECTED && status != MMS_DELIVERY_DEFERRED)
        return ",\"delivery_report\":\"none for this status\"";
    if (delivered(*r, status)) return ",\"delivery_report\":\"already written\"";
    return write_delivery(s, t, *r, status) ? ",\"delivery_report\":\"written\"" : ",\"delivery_report\":\"failed\"";
}

void expire_reports(State &s, long long now) {
    for (auto it = s.tracked.begin(); it != s.tracked.end();) {
        Tracked &t = it->second;
        if (now - t.storedAt < s.limits.expirySeconds) {
            ++it;
            continue;
        }
        if (t.deliveryReport)
            for (ReportRecipient &r : t.recipients)
                if (!delivered(r, MMS_DELIVERY_RETRIEVED) && !delivered(r, MMS_DELIVERY_REJECTED) &&
                    !delivered(r, MMS_DELIVERY_EXPIRED))
                    write_delivery(s, t, r, MMS_DELIVERY_EXPIRED);
        const std::string id = it->first;
        ++it;
        forget_reports(s, id);
    }
}

// How often the header of `pdu` carries field `code`, walked with the
// library's field reader (each value stepped over by its WSP encoding).
int field_count(const std::vector<uint8_t> &pdu, uint8_t code) {
    struct Walk {
        int count = 0;
    } w;
    mmsdec::decode_fields(&w, 0, pdu.data(), static_cast<int>(pdu.size()), [code](WspCursor &c, Walk &r, uint8_t f) {
        if (f == code) ++r.count;
        // A value that does not read ends the walk; the decoder says why.
        return mmsdec::skip_field(c, f) == Step::Next ? Step::Next : Step::Stop;
    });
    return w.count;
}

void handle_read_report(State &s, const Request &in, Reply &reply, std::string &tid, std::string &extra) {
    tMMS_DecodeReport why{};
    std::unique_ptr<tMMS_ReadRecInd, void (*)(tMMS_ReadRecInd *)> record(
        fnMMS_ParseReadRecInd(in.body.data(), static_cast<int>(in.body.size()), &why),
        [](tMMS_ReadRecInd *r) { fnMMS_FreeMessageMem(r, MMS_STRUCT_READ_REC_IND); });
    if (!record) {
        refuse(reply, extra,
               "does not decode (fault " + std::to_string(static_cast<int>(why.fault)) + ", offset " +
                   std::to_string(why.offset) + ")");
        return;
    }
    // Which message is meant must be plain: a report naming two is refused,
    // not read as the last one it names.
    if (const int ids = field_count(in.body, MMS_MESSAGE_ID_FIELD); ids > 1) {
        refuse(reply, extra, "names " + std::to_string(ids) + " Message-IDs");
        return;
    }
    const std::string messageId = record->Message_Id;
    extra += ",\"message_id\":";
    append_json_string(extra, messageId);
    const int readStatus = record->Read_Status;
    const char *word = read_status_name(readStatus);
    if (!word) {
        refuse(reply, extra, "Read-Status " + std::to_string(readStatus) + " is neither read nor deleted");
        return;
    }
    extra += ",\"read_status\":";
    append_json_string(extra, word);
    auto it = s.tracked.find(messageId);
    if (it == s.tracked.end()) {
        refuse(reply, extra, "no message " + messageId + " on this relay");
        return;
    }
    Tracked &t = it->second;
    // The recipient: named in From, or the only one when the relay is to
    // insert the address.
    ReportRecipient *r = nullptr;
    const std::string from = record->From ? record->From : "";
    for (ReportRecipient &x : t.recipients)
        if (x.address == from || (from.empty() && t.recipients.size() == 1)) r = &x;
    if (!r) {
        refuse(reply, extra,
               from.empty() ? "no From, and the message has more than one recipient"
                            : "'" + from + "' is no recipient of " + messageId);
        return;
    }
    tid = r->tid;
    extra += ",\"recipient\":";
    append_json_string(extra, r->address);
    reply.status = 200;
    reply.contentType = "text/plain";
    reply.body.clear();
    if (!t.readReply) {
        extra += ",\"read_report\":\"not asked\"";
        return;
    }
    if (r->read) {
        extra += ",\"read_report\":\"already written\"";
        return;
    }
    tMMS_ReadOrigInd o{};
    o.Message_Id = const_cast<char *>(t.messageId.c_str());
    o.To = const_cast<char *>(t.from.c_str());
    o.From = const_cast<char *>(r->address.c_str());
    o.Date = static_cast<int>(now_seconds());
    o.Read_Status = static_cast<unsigned char>(readStatus);
    int len = 0;
    uint8_t *pdu = fnMMS_MakeReadOrigIndPdu(&o, &len);
    const std::string name = r->id + (readStatus == MMS_READ_STATUS_READ ? "-read.ind" : "-deleted.ind");
    if (put_report(s, "m-read-orig-ind", t, *r, pdu, len, name, word).empty()) {
        extra += ",\"read_report\":\"failed\"";
        return;
    }
    r->read = readStatus;
    save(s, t);
    extra += ",\"read_report\":\"written\"";
}

size_t load_reports(State &s, std::vector<std::string> *skipped) {
    GDir *dir = g_dir_open(s.spool.c_str(), 0, nullptr);
    if (!dir) return 0;
    size_t n = 0;
    const size_t suffix = std::strlen(kRepSuffix);
    while (const char *name = g_dir_read_name(dir)) {
        const std::string file = name;
        if (file.size() <= suffix || file.compare(file.size() - suffix, suffix, kRepSuffix) != 0) continue;
        Tracked t;
        const std::string path = s.spool + "/" + file;
        if (!load(path, file.substr(0, file.size() - suffix), &t)) {
            if (skipped) skipped->push_back(path);
            continue;
        }
        add_tracked(s, std::move(t));
        ++n;
    }
    g_dir_close(dir);
    s.seq += n;  // Message-IDs of this run do not repeat those of the last
    return n;
}

}  // namespace rrtool::relay
