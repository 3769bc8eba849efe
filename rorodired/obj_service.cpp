// /org/ofono/mms/modemmanager, org.ofono.mms.Service: the messages, the
// service's properties and sending.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "failure_names.h"
#include "pdu.h"
#include "readas.h"
#include "rr_hostfiles.h"
#include "service.h"

namespace rrd {
namespace {

void refuse(GDBusMethodInvocation *inv, const char *name, const std::string &why) {
    g_dbus_method_invocation_return_dbus_error(inv, name, why.c_str());
}

// A phone number (blanks, dashes, dots and brackets dropped) or an e-mail address.
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

// The ids the app gave, for the parts of the composed message (found by
// their bytes: the composer may reorder parts and names texts its own way);
// a part that matches none keeps its name in the message.
std::vector<std::string> app_ids(const std::vector<uint8_t> &pdu, const View &v, const std::vector<OutPart> &given) {
    std::vector<std::string> ids;
    std::vector<bool> taken(given.size(), false);
    for (const Attachment &a : v.attachments) {
        std::string id = a.id;
        if (a.partFile == -1 && a.offset <= pdu.size() && a.length <= pdu.size() - a.offset) {
            const uint8_t *bytes = pdu.data() + a.offset;
            for (size_t i = 0; i < given.size(); ++i)
                if (!taken[i] && given[i].data.size() == a.length &&
                    std::equal(given[i].data.begin(), given[i].data.end(), bytes)) {
                    taken[i] = true;
                    id = given[i].id;
                    break;
                }
        }
        ids.push_back(std::move(id));
    }
    return ids;
}

// A send between the checks and the files read as the caller.
struct PendingSend {
    Service *s;
    GDBusMethodInvocation *inv;
    CallerId caller;
    OutMessage out;
    std::vector<std::string> paths;
};

void finish_send(std::unique_ptr<PendingSend> p, std::vector<ReadFileResult> files) {
    Service &s = *p->s;
    GDBusMethodInvocation *inv = p->inv;
    uint64_t total = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        ReadFileResult &f = files[i];
        const std::string &name = p->out.parts[i].id;
        if (f.fail == rrhost::ReadFail::TooLarge)
            return refuse(inv, kUnsupportedMessage,
                          "attachment '" + name + "': " + p->paths[i] + " " + f.why +
                              ": the attachments may have at most TotalMaxAttachmentSize (" +
                              std::to_string(s.settings.values.maxAttachmentsSize) + ") bytes together");
        if (f.fail != rrhost::ReadFail::None)
            return refuse(inv, kInvalidArguments, "attachment '" + name + "': cannot read " + p->paths[i] + ": " + f.why);
        total += f.data.size();
        const Answer size = s.core->check_size(total);
        if (!size.ok()) return refuse(inv, error_name(failure_of_refusal(size.refusal)), size.why);
        p->out.parts[i].data = std::move(f.data);
    }
    const std::string id = s.core->new_id();
    p->out.transactionId = "T" + id;
    p->out.from = s.settings.own_number();
    p->out.date = s.clock.wall_s();
    p->out.autoCreateSmil = s.settings.values.autoCreateSmil;
    std::string errorName, why;
    SendRequest req;
    req.id = id;
    req.pdu = compose(p->out, &errorName, &why);
    if (req.pdu.empty()) return refuse(inv, errorName.empty() ? kUnsupportedMessage : errorName.c_str(), why);
    const Answer size = s.core->check_pdu_size(req.pdu.size());
    if (!size.ok()) return refuse(inv, error_name(failure_of_refusal(size.refusal)), size.why);
    if (!view_of_pdu(req.pdu, &req.view)) return refuse(inv, kUnsupportedMessage, "the composed message does not read back");
    req.attachmentIds = app_ids(req.pdu, req.view, p->out.parts);
    // The library's send-request reader skips Delivery-Report: what was asked is known here.
    req.view.deliveryReport = p->out.deliveryReport;
    req.owner = s.systemBus ? p->caller.uid : getuid();
    req.group = s.systemBus && s.allowedGid != static_cast<gid_t>(-1) ? s.allowedGid : getgid();
    Answer a = s.core->submit_send(std::move(req));
    if (!a.ok()) {
        apply_effects(s, a.effects);
        return refuse(inv, error_name(failure_of_refusal(a.refusal)), a.why);
    }
    // The reply first: the app learns the path, then sees it appear and move.
    rrd_bus_mms_service_complete_send_message(s.objects.service, inv, message_path(id).c_str());
    apply_effects(s, a.effects);
}

// The send's options (a variant holding a{sv}) into `out`; false with *why
// for one of the wrong type.
bool read_send_options(GVariant *options, OutMessage *out, std::string *why) {
    GVariant *dict = g_variant_get_variant(options);
    std::unique_ptr<GVariant, decltype(&g_variant_unref)> dictGuard(dict, g_variant_unref);
    if (!g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT))
        return *why = "options must be a variant holding a{sv}", false;
    GVariantIter it;
    g_variant_iter_init(&it, dict);
    const char *key = nullptr;
    GVariant *value = nullptr;
    while (g_variant_iter_next(&it, "{&sv}", &key, &value)) {
        std::unique_ptr<GVariant, decltype(&g_variant_unref)> vg(value, g_variant_unref);
        const std::string k = key;
        if (k == "Subject" || k == "smil") {
            if (!g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
                return *why = "option " + k + " must be a string", false;
            gsize len = 0;
            const char *text = g_variant_get_string(value, &len);
            if (k == "smil" && len == 0) continue;  // an empty presentation is none
            (k == "Subject" ? out->subject : out->smil) = std::string(text, len);
        } else if (k == "DeliveryReport") {
            if (!g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                return *why = "option DeliveryReport must be a boolean", false;
            out->deliveryReport = g_variant_get_boolean(value);
        } else if (k == "ReadReport") {
            // Beyond mmsd-tng: ask the recipients for a read report.
            if (!g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                return *why = "option ReadReport must be a boolean", false;
            out->readReply = g_variant_get_boolean(value);
        }
        // "Smil" (apps send it empty) and other keys are ignored.
    }
    return true;
}

// The attachments (id, content type, absolute path) into the send's parts
// and paths; false with *why for a bad one.
bool read_attachments(GVariant *attachments, PendingSend *p, std::string *why) {
    // Names checked with a hash set.
    std::unordered_set<std::string> names;
    GVariantIter ai;
    g_variant_iter_init(&ai, attachments);
    const char *id = nullptr, *ct = nullptr, *path = nullptr;
    while (g_variant_iter_next(&ai, "(&s&s&s)", &id, &ct, &path)) {
        OutPart part{id, ct, {}};
        if (!valid_content_type(part.contentType))
            return *why = "attachment '" + clean_text(id, std::strlen(id), 64) + "': content type is not TYPE/SUBTYPE",
                   false;
        if (!names.insert(part.id).second)
            return *why = "attachment '" + clean_text(id, std::strlen(id), 64) + "' is named twice", false;
        if (path[0] != '/')
            return *why = "attachment '" + clean_text(id, std::strlen(id), 64) +
                          "': the file must be given by an absolute path",
                   false;
        p->out.parts.push_back(std::move(part));
        p->paths.emplace_back(path);
    }
    return true;
}

void send_message(Service &s, GDBusMethodInvocation *inv, const CallerId &caller,
                  const std::vector<std::string> &recipients, bool tooMany,
                  GVariant *options, GVariant *attachments) {
    auto p = std::make_unique<PendingSend>();
    p->s = &s;
    p->inv = inv;
    p->caller = caller;
    const size_t maxRecipients = core_config(s).limits.maxRecipients;
    // Recipients as apps send them: "+15550100002," is one number.
    if (tooMany) return refuse(inv, kUnsupportedMessage, "more than " + std::to_string(maxRecipients) + " recipients");
    for (const std::string &r : recipients) {
        bool more = false;
        for (std::string one : rrhost::split_list(r, ",;", maxRecipients + 1, &more)) {
            if (p->out.recipients.size() >= maxRecipients)
                return refuse(inv, kUnsupportedMessage, "more than " + std::to_string(maxRecipients) + " recipients");
            const std::string given = one;
            if (!valid_recipient(&one))
                return refuse(inv, kInvalidArguments,
                              "recipient '" + clean_text(given.data(), given.size(), 64) +
                                  "' is neither a phone number nor an e-mail address");
            p->out.recipients.push_back(std::move(one));
        }
    }
    if (p->out.recipients.empty()) return refuse(inv, kInvalidArguments, "no recipients");
    const size_t nAttachments = g_variant_n_children(attachments);
    const Answer counts = s.core->check_counts(p->out.recipients.size(), nAttachments);
    if (!counts.ok()) return refuse(inv, error_name(failure_of_refusal(counts.refusal)), counts.why);
    if (nAttachments == 0) return refuse(inv, kInvalidArguments, "no attachments");

    p->out.deliveryReport = s.settings.values.useDeliveryReports;
    std::string why;
    if (!read_send_options(options, &p->out, &why) || !read_attachments(attachments, p.get(), &why))
        return refuse(inv, kInvalidArguments, why);
    const std::vector<std::string> paths = p->paths;
    const size_t limit = static_cast<size_t>(s.settings.values.maxAttachmentsSize);
    if (!s.systemBus) {
        // The session bus's caller is the service's own user: no helper.
        finish_send(std::move(p), read_files_own(paths, limit));
        return;
    }
    PendingSend *raw = p.release();
    read_files_as(caller, paths, limit,
                  [raw](bool ok, std::vector<ReadFileResult> files, const std::string &why) {
                      std::unique_ptr<PendingSend> p(raw);
                      if (!ok) return refuse(p->inv, kTransientFailure, why);
                      finish_send(std::move(p), std::move(files));
                  });
}

gboolean on_get_messages(RrdBusMmsService *obj, GDBusMethodInvocation *inv, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auth_check(s->auth, inv, Need::User, [s, obj, inv](const CallerId &) {
        // The newest messages whole, within the reply's budget; older ones brief.
        const std::vector<const Message *> all = s->core->messages();
        std::vector<GVariant *> props(all.size(), nullptr);
        size_t total = 0, first = 0;  // first: the oldest message listed
        bool full = true;  // once the budget is spent, older messages are not even built whole
        for (size_t i = all.size(); i-- > 0;) {
            size_t bytes = 0;
            GVariant *v =
                full ? message_properties_cached(s->directory, *s->store, s->settings, *all[i], &bytes) : nullptr;
            if (v && total + bytes > kMaxReplyBytes) {
                g_variant_unref(v);
                v = nullptr;
                full = false;
            }
            if (!v) v = message_properties_cached(s->directory, *s->store, s->settings, *all[i], &bytes, true);
            if (total + bytes > kMaxReplyBytesHard) {
                g_variant_unref(v);
                first = i + 1;
                log_line("GetMessages leaves out the " + std::to_string(first) + " oldest messages (the reply is full)");
                break;
            }
            props[i] = v;
            total += bytes + message_path(all[i]->id).size() + 8;
        }
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(oa{sv})"));
        for (size_t i = first; i < all.size(); ++i) {
            g_variant_builder_add(&b, "(o@a{sv})", message_path(all[i]->id).c_str(), props[i]);
            g_variant_unref(props[i]);
        }
        rrd_bus_mms_service_complete_get_messages(obj, inv, g_variant_builder_end(&b));
    });
    return TRUE;
}

gboolean on_get_properties(RrdBusMmsService *obj, GDBusMethodInvocation *inv, gpointer user) {
    auto *s = static_cast<Service *>(user);
    auth_check(s->auth, inv, Need::User, [s, obj, inv](const CallerId &) {
        rrd_bus_mms_service_complete_get_properties(obj, inv, service_properties(s->settings, s->core.get()));
    });
    return TRUE;
}

gboolean on_set_property(RrdBusMmsService *obj, GDBusMethodInvocation *inv, const char *name, GVariant *value,
                         gpointer user) {
    auto *s = static_cast<Service *>(user);
    auto key = std::make_shared<std::string>(name);
    GVariant *inner = g_variant_get_variant(value);
    auto held = std::shared_ptr<GVariant>(inner, g_variant_unref);
    auth_check(s->auth, inv, Need::User, [s, obj, inv, key, held](const CallerId &) {
        static constexpr const char *kServiceKeys[] = {"UseDeliveryReports", "AutoCreateSMIL", "TotalMaxAttachmentSize",
                                                       "MaxAttachments", "SendReadReports"};
        bool known = false;
        for (const char *k : kServiceKeys) known = known || *key == k;
        if (!known) return refuse(inv, kInvalidArguments, "property '" + *key + "' cannot be set");
        std::string errorName, why;
        if (!change_settings(*s, {{*key, held.get()}}, &errorName, &why))
            return refuse(inv, errorName.c_str(), why);
        rrd_bus_mms_service_complete_set_property(obj, inv);
    });
    return TRUE;
}

gboolean on_send_message(RrdBusMmsService *, GDBusMethodInvocation *inv, const gchar *const *recipients,
                         GVariant *options, GVariant *attachments, gpointer user) {
    auto *s = static_cast<Service *>(user);
    // The handler's arguments end with it: the checked call keeps its own.
    // Recipients are counted as they are copied: a call with a million is
    // refused without a million copies.
    const size_t maxRecipients = core_config(*s).limits.maxRecipients;
    auto r = std::make_shared<std::vector<std::string>>();
    bool tooMany = false;
    for (const gchar *const *p = recipients; p && *p; ++p) {
        if (r->size() > maxRecipients) {
            tooMany = true;
            break;
        }
        r->emplace_back(*p);
    }
    auto o = std::shared_ptr<GVariant>(g_variant_ref(options), g_variant_unref);
    auto a = std::shared_ptr<GVariant>(g_variant_ref(attachments), g_variant_unref);
    auth_check(s->auth, inv, Need::User, [s, inv, r, tooMany, o, a](const CallerId &c) {
        send_message(*s, inv, c, *r, tooMany, o.get(), a.get());
    });
    return TRUE;
}

}  // namespace

GVariant *service_properties(const ServiceSettings &settings, const Core *core) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", "Identity", g_variant_new_string(kIdentity));
    g_variant_builder_add(&b, "{sv}", "UseDeliveryReports", g_variant_new_boolean(settings.values.useDeliveryReports));
    g_variant_builder_add(&b, "{sv}", "AutoCreateSMIL", g_variant_new_boolean(settings.values.autoCreateSmil));
    g_variant_builder_add(&b, "{sv}", "TotalMaxAttachmentSize",
                          g_variant_new_int32(settings.values.maxAttachmentsSize));
    g_variant_builder_add(&b, "{sv}", "MaxAttachments", g_variant_new_int32(settings.values.maxAttachments));
    g_variant_builder_add(&b, "{sv}", "NotificationInds",
                          g_variant_new_int32(core ? static_cast<int32_t>(core->notification_inds()) : 0));
    g_variant_builder_add(&b, "{sv}", "SendReadReports", g_variant_new_boolean(settings.values.sendReadReports));
    g_variant_builder_add(&b, "{sv}", "ModemNumber", g_variant_new_string(settings.own_number().c_str()));
    return g_variant_builder_end(&b);
}

void service_export(Service &s) {
    s.objects.service = rrd_bus_mms_service_skeleton_new();
    g_signal_connect(s.objects.service, "handle-get-messages", G_CALLBACK(on_get_messages), &s);
    g_signal_connect(s.objects.service, "handle-get-properties", G_CALLBACK(on_get_properties), &s);
    g_signal_connect(s.objects.service, "handle-set-property", G_CALLBACK(on_set_property), &s);
    g_signal_connect(s.objects.service, "handle-send-message", G_CALLBACK(on_send_message), &s);
    GError *err = nullptr;
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(s.objects.service), s.objects.bus, kServicePath, &err)) {
        log_line(std::string("the service object cannot be put on the bus: ") + err->message);
        g_error_free(err);
    }
}

}  // namespace rrd
