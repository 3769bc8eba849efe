// The service on the bus: the Manager, the Service (with the push agent) and
// one Message object per stored message; the store of messages in one folder;
// and the queue of sends and downloads that the library runs one at a time.
#include <glib-unix.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "rorodire.h"
#include "rorodired.h"

namespace rrd {
namespace {

constexpr char kBusName[] = "org.ofono.mms";
constexpr char kManagerPath[] = "/org/ofono/mms";
constexpr char kServicePath[] = "/org/ofono/mms/rorodire";
constexpr char kServiceName[] = "rorodire";
constexpr char kMsgIface[] = "org.ofono.mms.Message";
constexpr char kServiceIface[] = "org.ofono.mms.Service";
constexpr char kManagerIface[] = "org.ofono.mms.Manager";

#define RRD_ERROR(x) "org.ofono.mms.Error." x
constexpr char kInvalidArguments[] = RRD_ERROR("InvalidArguments");
constexpr char kUnsupportedMessage[] = RRD_ERROR("UnsupportedMessage");
constexpr char kTransientFailure[] = RRD_ERROR("TransientFailure");
constexpr char kTransientNetworkProblem[] = RRD_ERROR("TransientNetworkProblem");
constexpr char kPermanentServiceDenied[] = RRD_ERROR("PermanentServiceDenied");
constexpr char kPermanentMessageFormatCorrupt[] = RRD_ERROR("PermanentMessageFormatCorrupt");
constexpr char kPermanentContentNotAccepted[] = RRD_ERROR("PermanentContentNotAccepted");

constexpr char kIntrospection[] =
    "<node>"
    " <interface name='org.ofono.mms.Manager'>"
    "  <method name='GetServices'><arg type='a(oa{sv})' direction='out'/></method>"
    "  <signal name='ServiceAdded'><arg name='path' type='o'/><arg name='properties' type='a{sv}'/></signal>"
    "  <signal name='ServiceRemoved'><arg name='path' type='o'/></signal>"
    " </interface>"
    " <interface name='org.ofono.mms.Service'>"
    "  <method name='GetMessages'><arg type='a(oa{sv})' direction='out'/></method>"
    "  <method name='GetProperties'><arg type='a{sv}' direction='out'/></method>"
    "  <method name='SendMessage'>"
    "   <arg name='recipients' type='as' direction='in'/><arg name='options' type='a{sv}' direction='in'/>"
    "   <arg name='attachments' type='a(sss)' direction='in'/><arg name='path' type='o' direction='out'/>"
    "  </method>"
    "  <signal name='MessageAdded'><arg name='path' type='o'/><arg name='properties' type='a{sv}'/></signal>"
    "  <signal name='MessageRemoved'><arg name='path' type='o'/></signal>"
    " </interface>"
    " <interface name='org.ofono.PushNotificationAgent'>"
    "  <method name='ReceiveNotification'>"
    "   <arg name='notification' type='ay' direction='in'/><arg name='info' type='a{sv}' direction='in'/>"
    "  </method>"
    "  <method name='Release'/>"
    " </interface>"
    " <interface name='org.ofono.mms.Message'>"
    "  <method name='MarkRead'/>"
    "  <method name='Delete'/>"
    "  <signal name='PropertyChanged'><arg name='name' type='s'/><arg name='value' type='v'/></signal>"
    " </interface>"
    "</node>";

enum class Pending { None, Send, Download };

const char *pending_word(Pending p) { return p == Pending::Send ? "send" : p == Pending::Download ? "download" : ""; }

struct Msg {
    std::string id, path;
    std::string status;  // "draft", "sent", "received", "read", "failed"; "pending" until a download ends
    std::string date;    // ISO 8601
    Pending pending = Pending::None;
    int attempts = 0;
    int64_t seq = 0;
    gint64 nextTry = 0;  // monotonic microseconds
    std::string error;   // error name of a failure
    std::string location;
    bool deliveryReport = false;
    View view;
    guint reg = 0;  // object registration, 0 while not on the bus
};

struct Service {
    Settings settings;
    bool systemBus = false;
    GMainLoop *loop = nullptr;
    GDBusConnection *bus = nullptr;
    GDBusNodeInfo *node = nullptr;
    std::string dir;  // the service's folder
    std::map<std::string, std::unique_ptr<Msg>> msgs;
    int64_t lastSeq = 0;
    guint kickSource = 0, retrySource = 0;
    int exitStatus = 0;
    // The transaction in progress.
    struct {
        std::string id;  // empty when none
        Pending kind = Pending::None;
        std::vector<uint8_t> in;
        tCPS_PduBuf buf{};
        tCPS_PduBuf out{};
        MmsSettings ms{};
        int code = -1;
    } cur;
};
Service *g_svc = nullptr;

std::string file_of(const Msg &m, const char *ext) { return g_svc->dir + "/" + m.id + ext; }

std::string iso_date(gint64 secs) {
    GDateTime *t = g_date_time_new_from_unix_local(secs);
    if (!t) t = g_date_time_new_now_local();
    gchar *s = g_date_time_format(t, "%Y-%m-%dT%H:%M:%S%:z");
    std::string out = s;
    g_free(s);
    g_date_time_unref(t);
    return out;
}

void log_line(const std::string &text) { std::fprintf(stderr, "rorodired: %s\n", text.c_str()); }

// ---------------------------------------------------------------- store
bool save_status(const Msg &m) {
    GKeyFile *kf = g_key_file_new();
    g_key_file_set_string(kf, "Message", "Status", m.status.c_str());
    g_key_file_set_string(kf, "Message", "Date", m.date.c_str());
    g_key_file_set_string(kf, "Message", "Pending", pending_word(m.pending));
    g_key_file_set_integer(kf, "Message", "Attempts", m.attempts);
    g_key_file_set_int64(kf, "Message", "Seq", m.seq);
    g_key_file_set_boolean(kf, "Message", "DeliveryReport", m.deliveryReport);
    if (!m.error.empty()) g_key_file_set_string(kf, "Message", "Error", m.error.c_str());
    if (!m.location.empty()) g_key_file_set_string(kf, "Message", "Location", m.location.c_str());
    gsize len = 0;
    gchar *text = g_key_file_to_data(kf, &len, nullptr);
    const bool ok = write_file_atomic(file_of(m, ".status"), text, len);
    g_free(text);
    g_key_file_free(kf);
    if (!ok) log_line("cannot write the status of message " + m.id);
    return ok;
}

// Reads one stored message; false leaves its files alone.
bool load_message(const std::string &id, Msg *m) {
    m->id = id;
    GKeyFile *kf = g_key_file_new();
    const bool loaded = g_key_file_load_from_file(kf, file_of(*m, ".status").c_str(), G_KEY_FILE_NONE, nullptr);
    auto str = [&](const char *key) {
        gchar *v = g_key_file_get_string(kf, "Message", key, nullptr);
        std::string s = v ? v : "";
        g_free(v);
        return s;
    };
    if (loaded) {
        m->status = str("Status");
        m->date = str("Date");
        const std::string p = str("Pending");
        m->pending = p == "send" ? Pending::Send : p == "download" ? Pending::Download : Pending::None;
        m->attempts = g_key_file_get_integer(kf, "Message", "Attempts", nullptr);
        m->seq = g_key_file_get_int64(kf, "Message", "Seq", nullptr);
        m->deliveryReport = g_key_file_get_boolean(kf, "Message", "DeliveryReport", nullptr);
        m->error = str("Error");
        m->location = str("Location");
    }
    g_key_file_free(kf);
    static constexpr const char *kStatuses[] = {"draft", "sent", "received", "read", "failed", "pending"};
    if (!loaded || std::find_if(std::begin(kStatuses), std::end(kStatuses),
                                [&](const char *s) { return m->status == s; }) == std::end(kStatuses))
        return false;
    std::vector<uint8_t> bytes;
    if (m->pending == Pending::Download || (m->status == "failed" && !m->location.empty())) {
        if (!read_file(file_of(*m, ".ind"), &bytes)) return false;
        std::string loc;
        if (!view_of_notification(bytes, &m->view, &loc)) return false;
        if (m->location.empty()) m->location = loc;
    } else {
        if (!read_file(file_of(*m, ".mms"), &bytes) || !view_of_pdu(bytes, &m->view)) return false;
    }
    if (m->pending == Pending::Download) m->status = "pending";
    return true;
}

void load_store() {
    GDir *d = g_dir_open(g_svc->dir.c_str(), 0, nullptr);
    if (!d) return;
    while (const char *name = g_dir_read_name(d)) {
        // A temporary file is what a stop in the middle of writing left.
        if (g_str_has_prefix(name, ".tmp-")) g_unlink((g_svc->dir + "/" + name).c_str());
        if (!g_str_has_suffix(name, ".status") || name[0] == '.') continue;
        const std::string id(name, std::strlen(name) - std::strlen(".status"));
        auto m = std::make_unique<Msg>();
        if (!load_message(id, m.get())) {
            log_line("message " + id + " in " + g_svc->dir + " cannot be read; its files are left as they are");
            continue;
        }
        m->path = std::string(kServicePath) + "/" + id;
        g_svc->lastSeq = std::max(g_svc->lastSeq, m->seq);
        g_svc->msgs.emplace(id, std::move(m));
    }
    g_dir_close(d);
}

std::string new_id() {
    for (;;) {
        char buf[17];
        std::snprintf(buf, sizeof buf, "%08x%08x", g_random_int(), g_random_int());
        if (!g_svc->msgs.count(buf) && !g_file_test((g_svc->dir + "/" + buf + ".status").c_str(), G_FILE_TEST_EXISTS))
            return buf;
    }
}

// ---------------------------------------------------------------- properties
GVariant *message_properties(const Msg &m) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "Status", g_variant_new_string(m.status.c_str()));
    g_variant_builder_add(&b, "{sv}", "Date", g_variant_new_string(m.date.c_str()));
    if (m.view.subject) g_variant_builder_add(&b, "{sv}", "Subject", g_variant_new_string(m.view.subject->c_str()));
    if (m.view.sender) g_variant_builder_add(&b, "{sv}", "Sender", g_variant_new_string(m.view.sender->c_str()));
    GVariantBuilder r;
    g_variant_builder_init(&r, G_VARIANT_TYPE("as"));
    for (const std::string &s : m.view.recipients) g_variant_builder_add(&r, "s", s.c_str());
    g_variant_builder_add(&b, "{sv}", "Recipients", g_variant_builder_end(&r));
    if (m.view.smil) g_variant_builder_add(&b, "{sv}", "Smil", g_variant_new_string(m.view.smil->c_str()));
    GVariantBuilder a;
    g_variant_builder_init(&a, G_VARIANT_TYPE("a(ssstt)"));
    const std::string file = file_of(m, ".mms");
    for (const Attachment &x : m.view.attachments)
        g_variant_builder_add(&a, "(ssstt)", x.id.c_str(), x.contentType.c_str(), file.c_str(),
                              static_cast<guint64>(x.offset), static_cast<guint64>(x.length));
    g_variant_builder_add(&b, "{sv}", "Attachments", g_variant_builder_end(&a));
    g_variant_builder_add(&b, "{sv}", "Delivery Report", g_variant_new_boolean(m.deliveryReport));
    return g_variant_builder_end(&b);
}

GVariant *service_properties() {
    const Settings &s = g_svc->settings;
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "Name", g_variant_new_string(kServiceName));
    g_variant_builder_add(&b, "{sv}", "RelayUrl", g_variant_new_string(s.relayUrl.c_str()));
    g_variant_builder_add(&b, "{sv}", "Proxy",
                          g_variant_new_string(s.proxyHost.empty() ? "" : (s.proxyHost + ":" + s.proxyPort).c_str()));
    g_variant_builder_add(&b, "{sv}", "OwnNumber", g_variant_new_string(s.ownNumber.c_str()));
    g_variant_builder_add(&b, "{sv}", "StorageDir", g_variant_new_string(g_svc->dir.c_str()));
    return g_variant_builder_end(&b);
}

void emit(const char *path, const char *iface, const char *signal, GVariant *args) {
    if (!g_svc->bus) {
        g_variant_unref(g_variant_ref_sink(args));
        return;
    }
    g_dbus_connection_emit_signal(g_svc->bus, nullptr, path, iface, signal, args, nullptr);
}

// ---------------------------------------------------------------- message objects
void message_call(GDBusConnection *, const char *, const char *path, const char *, const char *method, GVariant *,
                  GDBusMethodInvocation *inv, gpointer);

const GDBusInterfaceVTable kMessageVtable = {message_call, nullptr, nullptr, {}};

void publish(Msg &m) {
    if (m.reg || !g_svc->bus || m.status == "pending") return;
    GDBusInterfaceInfo *info = g_dbus_node_info_lookup_interface(g_svc->node, kMsgIface);
    m.reg = g_dbus_connection_register_object(g_svc->bus, m.path.c_str(), info, &kMessageVtable, nullptr, nullptr,
                                              nullptr);
}

void announce(Msg &m) {
    publish(m);
    emit(kServicePath, kServiceIface, "MessageAdded", g_variant_new("(o@a{sv})", m.path.c_str(), message_properties(m)));
}

void set_status(Msg &m, const std::string &status) {
    const bool hidden = m.status == "pending";
    m.status = status;
    save_status(m);
    if (hidden) {
        announce(m);
        return;
    }
    emit(m.path.c_str(), kMsgIface, "PropertyChanged", g_variant_new("(sv)", "Status", g_variant_new_string(status.c_str())));
}

void remove_message(const std::string &id) {
    auto it = g_svc->msgs.find(id);
    if (it == g_svc->msgs.end()) return;
    Msg &m = *it->second;
    // The status goes first: a message whose status file is gone is no message.
    g_unlink(file_of(m, ".status").c_str());
    g_unlink(file_of(m, ".mms").c_str());
    g_unlink(file_of(m, ".ind").c_str());
    const bool visible = m.reg != 0;
    if (m.reg) g_dbus_connection_unregister_object(g_svc->bus, m.reg);
    const std::string path = m.path;
    g_svc->msgs.erase(it);
    if (visible) emit(kServicePath, kServiceIface, "MessageRemoved", g_variant_new("(o)", path.c_str()));
}

Msg *msg_at(const char *path) {
    const char *slash = std::strrchr(path, '/');
    auto it = g_svc->msgs.find(slash ? slash + 1 : "");
    return it == g_svc->msgs.end() ? nullptr : it->second.get();
}

void message_call(GDBusConnection *, const char *, const char *path, const char *, const char *method, GVariant *,
                  GDBusMethodInvocation *inv, gpointer) {
    Msg *m = msg_at(path);
    if (!m) {
        g_dbus_method_invocation_return_dbus_error(inv, kInvalidArguments, "no such message");
        return;
    }
    if (std::strcmp(method, "MarkRead") == 0) {
        if (m->status == "received") set_status(*m, "read");
        g_dbus_method_invocation_return_value(inv, nullptr);
    } else if (std::strcmp(method, "Delete") == 0) {
        remove_message(m->id);
        g_dbus_method_invocation_return_value(inv, nullptr);
    } else {
        g_dbus_method_invocation_return_dbus_error(inv, kInvalidArguments, "unknown method");
    }
}

// ---------------------------------------------------------------- the queue
void kick();

Msg *next_ready(gint64 now, gint64 *earliest) {
    Msg *best = nullptr;
    *earliest = 0;
    for (auto &[id, m] : g_svc->msgs) {
        if (m->pending == Pending::None) continue;
        if (m->nextTry > now) {
            if (!*earliest || m->nextTry < *earliest) *earliest = m->nextTry;
            continue;
        }
        if (!best || m->seq < best->seq) best = m.get();
    }
    return best;
}

// A final outcome: the message leaves the queue with a status.
void settle(Msg &m, const std::string &status, const char *error) {
    m.pending = Pending::None;
    m.error = error ? error : "";
    if (error) log_line("message " + m.id + " " + status + ": " + error);
    set_status(m, status);
}

// A transient failure: retried later with a growing delay, or failed for good.
void retry_or_fail(Msg &m, const char *error) {
    ++m.attempts;
    if (m.attempts > g_svc->settings.retries) {
        settle(m, "failed", error);
        return;
    }
    const double delay = g_svc->settings.retryDelay * static_cast<double>(1 << std::min(m.attempts - 1, 16));
    m.nextTry = g_get_monotonic_time() + static_cast<gint64>(delay * G_USEC_PER_SEC);
    m.error = error;
    log_line("message " + m.id + ": " + error + ", attempt " + std::to_string(m.attempts + 1) + " in " +
             std::to_string(delay) + " s");
    save_status(m);
}

void finish_send(Msg &m, int code) {
    switch (code) {
        case HBX_MSG_SEND_OK: settle(m, "sent", nullptr); break;
        case HBX_MSG_SERVICE_DENIED: settle(m, "failed", kPermanentServiceDenied); break;
        case HBX_MSG_UNSUPPORTED: settle(m, "failed", kUnsupportedMessage); break;
        case HBX_MSG_NETWORK_PROBLEM: retry_or_fail(m, kTransientNetworkProblem); break;
        default: retry_or_fail(m, kTransientFailure); break;
    }
}

void finish_download(Msg &m, int code, std::vector<uint8_t> pdu) {
    if (code == HBX_MSG_DL_MSG_TOOBIG) {
        settle(m, "failed", kPermanentContentNotAccepted);
        return;
    }
    if (code != HBX_MSG_DL_OK) {
        retry_or_fail(m, kTransientFailure);
        return;
    }
    View v;
    if (!view_of_pdu(pdu, &v)) {
        settle(m, "failed", kPermanentMessageFormatCorrupt);
        return;
    }
    if (!write_file_atomic(file_of(m, ".mms"), pdu.data(), pdu.size())) {
        retry_or_fail(m, kTransientFailure);
        return;
    }
    m.view = std::move(v);
    m.deliveryReport = m.view.deliveryReport;
    m.date = iso_date(m.view.date > 0 ? m.view.date : g_get_real_time() / G_USEC_PER_SEC);
    m.pending = Pending::None;
    m.error.clear();
    set_status(m, "received");
    g_unlink(file_of(m, ".ind").c_str());
}

gboolean on_settled(gpointer) {
    auto &cur = g_svc->cur;
    std::vector<uint8_t> got;
    if (cur.out.data && cur.out.length > 0) got.assign(cur.out.data, cur.out.data + cur.out.length);
    fnQX_Free(reinterpret_cast<void **>(&cur.out.data));
    cur.out.length = 0;
    const std::string id = cur.id;
    const Pending kind = cur.kind;
    const int code = cur.code;
    cur.id.clear();
    cur.kind = Pending::None;
    cur.in.clear();
    auto it = g_svc->msgs.find(id);
    if (it != g_svc->msgs.end()) {  // else deleted while it ran
        if (kind == Pending::Send)
            finish_send(*it->second, code);
        else
            finish_download(*it->second, code, std::move(got));
    }
    kick();
    return G_SOURCE_REMOVE;
}

// The library's result callback (it carries no user value).
void on_result(int code, int value) {
    auto &cur = g_svc->cur;
    if (cur.id.empty() || cur.code != -1) return;
    if ((cur.kind == Pending::Send && code == HBX_MSG_SEND_PROGRESS) ||
        (cur.kind == Pending::Download && code == HBX_MSG_DL_PROGRESS))
        return;
    cur.code = code;
    // The library finishes its own ending after the report; the outcome is
    // handled (and the next transaction started) from the main loop.
    g_idle_add(on_settled, nullptr);
}

void start(Msg &m) {
    auto &cur = g_svc->cur;
    const Settings &s = g_svc->settings;
    auto opt = [](const std::string &t) { return t.empty() ? nullptr : t.c_str(); };
    cur.ms = MmsSettings{opt(s.userAgent), opt(s.userAgentProfile), opt(s.proxyHost), opt(s.proxyPort), s.relayUrl.c_str()};
    cur.id = m.id;
    cur.kind = m.pending;
    cur.code = -1;
    cur.out = tCPS_PduBuf{};
    if (!read_file(file_of(m, m.pending == Pending::Send ? ".mms" : ".ind"), &cur.in) || cur.in.empty()) {
        cur.id.clear();
        settle(m, "failed", kPermanentMessageFormatCorrupt);
        return;
    }
    cur.buf = tCPS_PduBuf{cur.in.data(), static_cast<int>(cur.in.size())};
    const bool started = m.pending == Pending::Send
                             ? fnCPS_SendMMS(&cur.buf, &cur.ms, on_result) == HBX_MSG_SEND_STARTED
                             : fnCPS_DownloadMMS(&cur.buf, 3, &cur.ms, on_result, &cur.out) == HBX_MSG_DL_STARTED;
    if (!started && cur.code == -1) {
        cur.code = m.pending == Pending::Send ? static_cast<int>(HBX_MSG_SEND_FAIL) : static_cast<int>(HBX_MSG_DL_FAIL_NOR);
        g_idle_add(on_settled, nullptr);
    }
}

gboolean on_kick(gpointer) {
    g_svc->kickSource = 0;
    if (!g_svc->cur.id.empty()) return G_SOURCE_REMOVE;
    gint64 earliest = 0;
    Msg *m = next_ready(g_get_monotonic_time(), &earliest);
    if (m) {
        start(*m);
    } else if (earliest) {
        if (g_svc->retrySource) g_source_remove(g_svc->retrySource);
        const gint64 wait = std::max<gint64>(0, earliest - g_get_monotonic_time());
        g_svc->retrySource = g_timeout_add(static_cast<guint>(wait / 1000 + 1), [](gpointer) -> gboolean {
            g_svc->retrySource = 0;
            kick();
            return G_SOURCE_REMOVE;
        }, nullptr);
    }
    return G_SOURCE_REMOVE;
}

void kick() {
    if (!g_svc->kickSource) g_svc->kickSource = g_idle_add(on_kick, nullptr);
}

// ---------------------------------------------------------------- service methods
bool valid_recipient(std::string *r) {
    std::string t;
    for (char c : *r)
        if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '.') t += c;
    size_t digits = 0;
    bool phone = !t.empty();
    for (size_t i = 0; i < t.size() && phone; ++i) {
        if (t[i] == '+' && i == 0) continue;
        phone = g_ascii_isdigit(t[i]);
        ++digits;
    }
    if (phone && digits >= 1 && digits <= 20) {
        *r = t;
        return true;
    }
    const size_t at = r->find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= r->size() || r->size() > 100) return false;
    for (char c : *r)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F || std::strchr(";,\"<>", c))
            return false;
    return r->find('@', at + 1) == std::string::npos;
}

bool valid_content_type(const std::string &ct) {
    const size_t slash = ct.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= ct.size() || ct.size() > 100) return false;
    for (char c : ct)
        if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7F) return false;
    return true;
}

void send_message(GVariant *params, GDBusMethodInvocation *inv) {
    auto refuse = [&](const char *name, const std::string &why) {
        g_dbus_method_invocation_return_dbus_error(inv, name, why.c_str());
    };
    GVariantIter *rit = nullptr, *oit = nullptr, *ait = nullptr;
    g_variant_get(params, "(asa{sv}a(sss))", &rit, &oit, &ait);
    std::unique_ptr<GVariantIter, decltype(&g_variant_iter_free)> rg(rit, g_variant_iter_free), og(oit, g_variant_iter_free),
        ag(ait, g_variant_iter_free);
    OutMessage out;
    const char *s1 = nullptr, *s2 = nullptr, *s3 = nullptr;
    while (g_variant_iter_next(rit, "&s", &s1)) {
        std::string r = s1;
        if (!valid_recipient(&r))
            return refuse(kInvalidArguments, std::string("recipient '") + s1 + "' is neither a phone number nor an e-mail address");
        out.recipients.push_back(r);
    }
    if (out.recipients.empty()) return refuse(kInvalidArguments, "no recipients");
    GVariant *value = nullptr;
    while (g_variant_iter_next(oit, "{&sv}", &s1, &value)) {
        std::unique_ptr<GVariant, decltype(&g_variant_unref)> vg(value, g_variant_unref);
        const std::string key = s1;
        if (key == "Subject" || key == "smil") {
            if (!g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
                return refuse(kInvalidArguments, "option " + key + " must be a string");
            (key == "Subject" ? out.subject : out.smil) = g_variant_get_string(value, nullptr);
        } else if (key == "DeliveryReport") {
            if (!g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                return refuse(kInvalidArguments, "option DeliveryReport must be a boolean");
            out.deliveryReport = g_variant_get_boolean(value);
        }
    }
    // On the system bus the service reads the files for its caller: only
    // what the caller could read itself.
    long reader = -1;
    if (g_svc->systemBus) {
        GVariant *r = g_dbus_connection_call_sync(g_svc->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetConnectionUnixUser",
                                                  g_variant_new("(s)", g_dbus_method_invocation_get_sender(inv)),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (!r) return refuse(kInvalidArguments, "the caller's user is not known");
        guint32 uid = 0;
        g_variant_get(r, "(u)", &uid);
        g_variant_unref(r);
        reader = uid == 0 ? -1 : static_cast<long>(uid);
    }
    size_t total = 0;
    while (g_variant_iter_next(ait, "(&s&s&s)", &s1, &s2, &s3)) {
        OutPart p{s1, s2, {}};
        if (!valid_content_type(p.contentType))
            return refuse(kInvalidArguments, "attachment '" + p.id + "': content type '" + p.contentType + "' is not TYPE/SUBTYPE");
        if (!read_file(s3, &p.data, kMaxMessage, reader))
            return refuse(kInvalidArguments, "attachment '" + p.id + "': cannot read " + s3 +
                                                 " (a readable file of at most 307200 bytes)");
        total += p.data.size();
        if (total > kMaxMessage) return refuse(kUnsupportedMessage, "the attachments exceed 307200 bytes");
        out.parts.push_back(std::move(p));
    }
    auto m = std::make_unique<Msg>();
    m->id = new_id();
    m->path = std::string(kServicePath) + "/" + m->id;
    out.transactionId = "T" + m->id;
    out.from = g_svc->settings.ownNumber;
    std::string errorName, why;
    std::vector<uint8_t> pdu = compose(out, &errorName, &why);
    if (pdu.empty()) return refuse(errorName.c_str(), why);
    if (pdu.size() > kMaxMessage) return refuse(kUnsupportedMessage, "the message exceeds 307200 bytes");
    if (!view_of_pdu(pdu, &m->view)) return refuse(kUnsupportedMessage, "the composed message does not read back");
    m->status = "draft";
    m->date = iso_date(g_get_real_time() / G_USEC_PER_SEC);
    m->pending = Pending::Send;
    m->seq = ++g_svc->lastSeq;
    m->deliveryReport = out.deliveryReport;
    if (!write_file_atomic(file_of(*m, ".mms"), pdu.data(), pdu.size()) || !save_status(*m)) {
        g_unlink(file_of(*m, ".mms").c_str());
        return refuse(kTransientFailure, "the message cannot be stored in " + g_svc->dir);
    }
    Msg &ref = *m;
    g_svc->msgs.emplace(ref.id, std::move(m));
    announce(ref);
    g_dbus_method_invocation_return_value(inv, g_variant_new("(o)", ref.path.c_str()));
    kick();
}

void receive_notification(GVariant *params, GDBusMethodInvocation *inv) {
    GVariant *bytes = g_variant_get_child_value(params, 0);
    gsize n = 0;
    const auto *p = static_cast<const uint8_t *>(g_variant_get_fixed_array(bytes, &n, 1));
    std::vector<uint8_t> push(p, p + n);
    g_variant_unref(bytes);
    std::string why;
    std::vector<uint8_t> ind = notification_of_push(push, &why);
    auto m = std::make_unique<Msg>();
    if (ind.empty() || !view_of_notification(ind, &m->view, &m->location)) {
        g_dbus_method_invocation_return_dbus_error(inv, kInvalidArguments,
                                                   ("not an MMS notification: " + (why.empty() ? "it does not decode" : why)).c_str());
        return;
    }
    // The same notification again (a repeated push) is taken once.
    for (auto &[id, o] : g_svc->msgs)
        if (o->location == m->location && o->status != "failed") {
            g_dbus_method_invocation_return_value(inv, nullptr);
            return;
        }
    m->id = new_id();
    m->path = std::string(kServicePath) + "/" + m->id;
    m->status = "pending";
    m->date = iso_date(g_get_real_time() / G_USEC_PER_SEC);
    m->pending = Pending::Download;
    m->seq = ++g_svc->lastSeq;
    if (!write_file_atomic(file_of(*m, ".ind"), ind.data(), ind.size()) || !save_status(*m)) {
        g_unlink(file_of(*m, ".ind").c_str());
        g_dbus_method_invocation_return_dbus_error(inv, kTransientFailure, "the notification cannot be stored");
        return;
    }
    g_svc->msgs.emplace(m->id, std::move(m));
    g_dbus_method_invocation_return_value(inv, nullptr);
    kick();
}

std::vector<Msg *> visible_messages() {
    std::vector<Msg *> v;
    for (auto &[id, m] : g_svc->msgs)
        if (m->status != "pending") v.push_back(m.get());
    std::sort(v.begin(), v.end(), [](Msg *a, Msg *b) { return a->seq < b->seq; });
    return v;
}

void service_call(GDBusConnection *, const char *, const char *, const char *iface, const char *method, GVariant *params,
                  GDBusMethodInvocation *inv, gpointer) {
    if (std::strcmp(method, "GetMessages") == 0) {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(oa{sv})"));
        for (Msg *m : visible_messages()) g_variant_builder_add(&b, "(o@a{sv})", m->path.c_str(), message_properties(*m));
        g_dbus_method_invocation_return_value(inv, g_variant_new("(a(oa{sv}))", &b));
    } else if (std::strcmp(method, "GetProperties") == 0) {
        g_dbus_method_invocation_return_value(inv, g_variant_new("(@a{sv})", service_properties()));
    } else if (std::strcmp(method, "SendMessage") == 0) {
        send_message(params, inv);
    } else if (std::strcmp(method, "ReceiveNotification") == 0) {
        receive_notification(params, inv);
    } else {  // Release: the modem stack lets go of its agent
        log_line("the modem stack released the push agent");
        g_dbus_method_invocation_return_value(inv, nullptr);
    }
}

void manager_call(GDBusConnection *, const char *, const char *, const char *, const char *, GVariant *,
                  GDBusMethodInvocation *inv, gpointer) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(oa{sv})"));
    g_variant_builder_add(&b, "(o@a{sv})", kServicePath, service_properties());
    g_dbus_method_invocation_return_value(inv, g_variant_new("(a(oa{sv}))", &b));
}

const GDBusInterfaceVTable kServiceVtable = {service_call, nullptr, nullptr, {}};
const GDBusInterfaceVTable kManagerVtable = {manager_call, nullptr, nullptr, {}};

void on_bus(GDBusConnection *bus, const char *, gpointer) {
    g_svc->bus = bus;
    GError *err = nullptr;
    bool ok = g_dbus_connection_register_object(bus, kManagerPath, g_dbus_node_info_lookup_interface(g_svc->node, kManagerIface),
                                                &kManagerVtable, nullptr, nullptr, &err) != 0;
    for (const char *iface : {kServiceIface, "org.ofono.PushNotificationAgent"})
        ok = ok && g_dbus_connection_register_object(bus, kServicePath, g_dbus_node_info_lookup_interface(g_svc->node, iface),
                                                     &kServiceVtable, nullptr, nullptr, &err) != 0;
    if (!ok) {
        log_line(std::string("cannot register the objects: ") + (err ? err->message : "?"));
        g_clear_error(&err);
        g_svc->exitStatus = 1;
        g_main_loop_quit(g_svc->loop);
        return;
    }
    for (auto &[id, m] : g_svc->msgs) publish(*m);
}

// With oFono, the service asks the modem to hand its MMS pushes to the
// service object (the agent lives on the connection that registers it).
void register_push_agent(bool on) {
    const std::string &modem = g_svc->settings.ofonoModem;
    if (modem.empty() || !g_svc->bus) return;
    if (!on) {  // on the way out: no waiting for the answer
        GDBusMessage *m = g_dbus_message_new_method_call("org.ofono", modem.c_str(), "org.ofono.PushNotification",
                                                         "UnregisterAgent");
        g_dbus_message_set_body(m, g_variant_new("(o)", kServicePath));
        g_dbus_message_set_flags(m, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
        g_dbus_connection_send_message(g_svc->bus, m, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_dbus_connection_flush_sync(g_svc->bus, nullptr, nullptr);
        g_object_unref(m);
        return;
    }
    g_dbus_connection_call(
        g_svc->bus, "org.ofono", modem.c_str(), "org.ofono.PushNotification", "RegisterAgent",
        g_variant_new("(o)", kServicePath), nullptr, G_DBUS_CALL_FLAGS_NONE, 30000, nullptr,
        [](GObject *bus, GAsyncResult *res, gpointer) {
            GError *err = nullptr;
            GVariant *r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), res, &err);
            if (r) g_variant_unref(r);
            if (g_svc)
                log_line(err ? "oFono modem " + g_svc->settings.ofonoModem + " did not take the push agent: " + err->message
                             : "push agent registered with oFono modem " + g_svc->settings.ofonoModem);
            g_clear_error(&err);
        },
        nullptr);
}

void on_name(GDBusConnection *, const char *name, gpointer) {
    register_push_agent(true);
    emit(kManagerPath, kManagerIface, "ServiceAdded", g_variant_new("(o@a{sv})", kServicePath, service_properties()));
    size_t pending = 0;
    for (auto &[id, m] : g_svc->msgs) pending += m->pending != Pending::None;
    log_line(std::string("ready as ") + name + ", service " + kServicePath + ", relay " + g_svc->settings.relayUrl +
             (g_svc->settings.proxyHost.empty() ? "" : " through " + g_svc->settings.proxyHost + ":" + g_svc->settings.proxyPort) +
             ", " + std::to_string(g_svc->msgs.size()) + " stored messages, " + std::to_string(pending) + " queued");
    kick();
}

void on_name_lost(GDBusConnection *bus, const char *name, gpointer) {
    log_line(bus ? std::string("cannot own the bus name ") + name +
                       " (another program has it, or the bus policy does not allow it)"
                 : std::string("cannot connect to the bus for ") + name);
    g_svc->exitStatus = 1;
    g_main_loop_quit(g_svc->loop);
}

gboolean on_signal(gpointer) {
    g_main_loop_quit(g_svc->loop);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int run_service(const Settings &s, bool systemBus) {
    Service svc;
    g_svc = &svc;
    svc.settings = s;
    svc.systemBus = systemBus;
    svc.dir = s.storageDir + "/" + kServiceName;
    if (g_mkdir_with_parents(svc.dir.c_str(), 0700) != 0) {
        log_line("cannot create " + svc.dir);
        return 1;
    }
    svc.node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    load_store();
    // A send or download cut off by a stop is taken up again.
    svc.loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, on_signal, nullptr);
    g_unix_signal_add(SIGINT, on_signal, nullptr);
    const guint owner = g_bus_own_name(systemBus ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION, kBusName,
                                       G_BUS_NAME_OWNER_FLAGS_NONE, on_bus, on_name, on_name_lost, nullptr, nullptr);
    g_main_loop_run(svc.loop);
    register_push_agent(false);
    if (svc.bus) {
        emit(kManagerPath, kManagerIface, "ServiceRemoved", g_variant_new("(o)", kServicePath));
        g_dbus_connection_flush_sync(svc.bus, nullptr, nullptr);
    }
    g_bus_unown_name(owner);
    for (auto &[id, m] : svc.msgs)
        if (m->reg && svc.bus) g_dbus_connection_unregister_object(svc.bus, m->reg);
    g_main_loop_unref(svc.loop);
    g_dbus_node_info_unref(svc.node);
    g_svc = nullptr;
    return svc.exitStatus;
}

}  // namespace rrd
