// One object per shown message: /org/ofono/mms/modemmanager/<id>,
// org.ofono.mms.Message (MarkRead, Delete, PropertyChanged), and the
// properties GetMessages and MessageAdded carry about it.
#include <algorithm>
#include <cstring>
#include <memory>

#include "failure_names.h"
#include "pdu.h"
#include "service.h"

namespace rrd {
namespace {

std::string capped(const std::string &s, size_t maxBytes) { return clean_text(s.data(), s.size(), maxBytes); }

void add_string(GVariantBuilder *b, const char *key, const std::string &value, size_t *bytes) {
    g_variant_builder_add(b, "{sv}", key, g_variant_new_string(value.c_str()));
    *bytes += std::strlen(key) + value.size() + 16;
}

std::string joined_reports(const std::map<std::string, std::string> &reports) {
    std::string out;
    for (const auto &[number, status] : reports) {
        if (!out.empty()) out += ";";
        out += capped(number, kMaxAddressBytes) + "=" + status;
    }
    return out;
}

// Delivery Status as mmsd-tng writes it: every recipient, "none" until its
// report comes ("+15550100002=none;+15550100003=retrieved").
std::string delivery_table(const Message &m) {
    std::string out;
    size_t listed = 0;
    for (const std::string &r : m.view.recipients) {
        if (listed++ >= kMaxListedRecipients) break;
        auto it = m.deliveryStatus.find(r);
        if (!out.empty()) out += ";";
        out += capped(r, kMaxAddressBytes) + "=" + (it == m.deliveryStatus.end() ? "none" : it->second);
    }
    for (const auto &[number, status] : m.deliveryStatus)
        if (std::find(m.view.recipients.begin(), m.view.recipients.end(), number) == m.view.recipients.end())
            out += (out.empty() ? "" : ";") + capped(number, kMaxAddressBytes) + "=" + status;
    return out;
}

std::shared_ptr<RrdBusMmsMessage> hold(RrdBusMmsMessage *obj) {
    return std::shared_ptr<RrdBusMmsMessage>(static_cast<RrdBusMmsMessage *>(g_object_ref(obj)),
                                             [](RrdBusMmsMessage *o) { g_object_unref(o); });
}

const Message *message_at(Service &s, GDBusMethodInvocation *inv) {
    const char *path = g_dbus_method_invocation_get_object_path(inv);
    const char *slash = std::strrchr(path, '/');
    return s.core->find(slash ? slash + 1 : "");
}

// MarkRead and Delete: the core's answer, then what changed.
enum class Act { MarkRead, Delete };

gboolean on_act(RrdBusMmsMessage *obj, GDBusMethodInvocation *inv, Service *s, Act act) {
    // The object stays while the caller is checked and the effects run (they may unexport it).
    auto ref = hold(obj);
    auth_check(s->auth, inv, Need::User, [s, ref, inv, act](const CallerId &) {
        const Message *m = message_at(*s, inv);
        if (!m) {
            g_dbus_method_invocation_return_dbus_error(inv, kNotFound, "no such message");
            return;
        }
        Answer a;
        const Effects e = act == Act::MarkRead ? s->core->mark_read(m->id, &a) : s->core->remove(m->id, &a);
        if (!a.ok())
            g_dbus_method_invocation_return_dbus_error(inv, error_name(failure_of_refusal(a.refusal)), a.why.c_str());
        else if (act == Act::MarkRead)
            rrd_bus_mms_message_complete_mark_read(ref.get(), inv);
        else
            rrd_bus_mms_message_complete_delete(ref.get(), inv);
        apply_effects(*s, e);
    });
    return TRUE;
}

gboolean on_mark_read(RrdBusMmsMessage *obj, GDBusMethodInvocation *inv, gpointer user) {
    return on_act(obj, inv, static_cast<Service *>(user), Act::MarkRead);
}

gboolean on_delete(RrdBusMmsMessage *obj, GDBusMethodInvocation *inv, gpointer user) {
    return on_act(obj, inv, static_cast<Service *>(user), Act::Delete);
}

}  // namespace

std::string message_path(const std::string &id) { return std::string(kServicePath) + "/" + id; }

GVariant *message_properties_brief(const Message &m) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "Status", g_variant_new_string(status_word(m.status)));
    g_variant_builder_add(&b, "{sv}", "Date", g_variant_new_string(iso_date(m.date).c_str()));
    g_variant_builder_add(&b, "{sv}", "Subject", g_variant_new_string(""));
    return g_variant_builder_end(&b);
}

GVariant *message_properties(const Store &store, const ServiceSettings &settings, const Message &m, size_t *bytesOut) {
    size_t bytes = 0;
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    add_string(&b, "Status", status_word(m.status), &bytes);
    add_string(&b, "Date", iso_date(m.date), &bytes);
    add_string(&b, "Subject", m.view.subject ? capped(*m.view.subject, kMaxSubjectBytes) : std::string(), &bytes);
    if (m.dir == Direction::In) {
        const std::string &from = m.view.sender ? *m.view.sender : std::string();
        add_string(&b, "Sender", capped(from, kMaxAddressBytes), &bytes);
    }
    std::vector<std::string> recipients;
    size_t listed = 0;
    for (size_t i = 0; i < m.view.recipients.size() && i < kMaxListedRecipients; ++i) {
        std::string t = capped(m.view.recipients[i], kMaxAddressBytes);
        if (listed + t.size() > kMaxRecipientsBytes) break;
        listed += t.size();
        recipients.push_back(std::move(t));
    }
    std::vector<const char *> strv;
    for (const std::string &t : recipients) strv.push_back(t.c_str());
    g_variant_builder_add(&b, "{sv}", "Recipients", g_variant_new_strv(strv.data(), static_cast<gssize>(strv.size())));
    bytes += listed + 8 * recipients.size();
    if (m.view.smil) add_string(&b, "Smil", capped(*m.view.smil, kMaxSmilBytes), &bytes);
    GVariantBuilder a;
    g_variant_builder_init(&a, G_VARIANT_TYPE("a(ssstt)"));
    // A sent message shows the ids the app gave (the composer names text parts its own way).
    const bool appIds = m.attachmentIds.size() == m.view.attachments.size();
    for (size_t i = 0; i < m.view.attachments.size() && i < kMaxListedAttachments; ++i) {
        const Attachment &x = m.view.attachments[i];
        const std::string id = capped(appIds ? m.attachmentIds[i] : x.id, kMaxAttachmentTextBytes);
        const std::string ct = capped(x.contentType, kMaxAttachmentTextBytes);
        const std::string file = x.partFile == Attachment::kPartsFile ? store.path_of(m.id, Blob::Parts)
                                 : x.partFile >= 0 ? store.path_of(m.id, Blob::Part, x.partFile)
                                                   : store.path_of(m.id, Blob::Pdu);
        g_variant_builder_add(&a, "(ssstt)", id.c_str(), ct.c_str(), file.c_str(), static_cast<guint64>(x.offset),
                              static_cast<guint64>(x.length));
        bytes += id.size() + ct.size() + file.size() + 40;
    }
    g_variant_builder_add(&b, "{sv}", "Attachments", g_variant_builder_end(&a));
    g_variant_builder_add(&b, "{sv}", "Delivery Report", g_variant_new_boolean(m.view.deliveryReport));
    if (m.dir == Direction::Out && m.view.deliveryReport)
        add_string(&b, "Delivery Status", delivery_table(m), &bytes);
    if (!m.readStatus.empty()) add_string(&b, "Read Status", joined_reports(m.readStatus), &bytes);
    add_string(&b, "Modem Number", settings.own_number(), &bytes);
    if (m.dir == Direction::In && m.status == Status::Expired)
        add_string(&b, "Expire", m.expire > 0 ? iso_date(m.expire) : std::string(), &bytes);
    if (bytesOut) *bytesOut = bytes + 64;
    return g_variant_builder_end(&b);
}

GVariant *message_properties_cached(MessageDirectory &dir, const Store &store, const ServiceSettings &settings,
                                   const Message &m, size_t *bytes, bool brief) {
    // The brief form is kept under the id with a '~' (never part of an id).
    auto it = dir.props.find(brief ? m.id + "~" : m.id);
    if (it == dir.props.end()) {
        GVariant *v = g_variant_ref_sink(brief ? message_properties_brief(m) : message_properties(store, settings, m));
        g_variant_get_data(v);  // serialized once: a reply then copies its bytes instead of walking it again
        it = dir.props.emplace(brief ? m.id + "~" : m.id, std::make_pair(v, g_variant_get_size(v))).first;
    }
    if (bytes) *bytes = it->second.second;
    return g_variant_ref(it->second.first);
}

void MessageDirectory::forget(const std::string &id) {
    if (id.empty()) {
        for (auto &[key, entry] : props) g_variant_unref(entry.first);
        props.clear();
        return;
    }
    for (const std::string &key : {id, id + "~"}) {
        auto it = props.find(key);
        if (it == props.end()) continue;
        g_variant_unref(it->second.first);
        props.erase(it);
    }
}

void message_export(Service &s, const std::string &id) {
    if (!s.objects.bus || s.directory.objects.count(id)) return;
    RrdBusMmsMessage *obj = rrd_bus_mms_message_skeleton_new();
    g_signal_connect(obj, "handle-mark-read", G_CALLBACK(on_mark_read), &s);
    g_signal_connect(obj, "handle-delete", G_CALLBACK(on_delete), &s);
    GError *err = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(obj), s.objects.bus, message_path(id).c_str(), &err)) {
        log_line("message " + id + " cannot be put on the bus: " + err->message);
        g_error_free(err);
        g_object_unref(obj);
        return;
    }
    s.directory.objects.emplace(id, obj);
}

void MessageDirectory::unexport(const std::string &id) {
    auto it = objects.find(id);
    if (it == objects.end()) return;
    g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(it->second));
    g_object_unref(it->second);
    objects.erase(it);
}

}  // namespace rrd
