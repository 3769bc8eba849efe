// Settings of the service: a GLib key file ([Service] and [Modem Manager]),
// with the relay URL and proxy optionally taken from the provider database;
// changes from the bus checked here and written back.
#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "config.h"
#include "rr_hostfiles.h"
#include "transport.h"

namespace rrd {
namespace {

constexpr char kGroup[] = "Service";
constexpr char kMmGroup[] = "Modem Manager";
constexpr char kProviderDb[] = "/usr/share/mobile-broadband-provider-info/serviceproviders.xml";

bool is_phone_number(const std::string &n) {
    size_t digits = 0;
    for (size_t i = 0; i < n.size(); ++i) {
        if (n[i] == '+' && i == 0) continue;
        if (!g_ascii_isdigit(n[i])) return false;
        ++digits;
    }
    return digits >= 1 && digits <= 20;
}

// ---------------------------------------------------------------- provider database
struct ProviderScan {
    std::string mcc, mnc;
    bool inProvider = false, providerMatches = false, inApn = false, apnIsMms = false;
    std::string *text = nullptr;  // element whose text is being collected
    std::string mmsc, proxy;      // of the current access point
    bool found = false;
    ProviderMms result;
};

const char *attr(const char **names, const char **values, const char *name) {
    for (int i = 0; names[i]; ++i)
        if (std::strcmp(names[i], name) == 0) return values[i];
    return nullptr;
}

void on_start(GMarkupParseContext *, const char *element, const char **names, const char **values, gpointer user,
              GError **) {
    auto &s = *static_cast<ProviderScan *>(user);
    if (s.found) return;
    if (std::strcmp(element, "provider") == 0) {
        s.inProvider = true;
        s.providerMatches = false;
    } else if (s.inProvider && std::strcmp(element, "network-id") == 0) {
        const char *mcc = attr(names, values, "mcc"), *mnc = attr(names, values, "mnc");
        if (mcc && mnc && s.mcc == mcc && s.mnc == mnc) s.providerMatches = true;
    } else if (s.inProvider && std::strcmp(element, "apn") == 0) {
        s.inApn = true;
        s.apnIsMms = false;
        s.mmsc.clear();
        s.proxy.clear();
    } else if (s.inApn && std::strcmp(element, "usage") == 0) {
        const char *type = attr(names, values, "type");
        if (type && std::strcmp(type, "mms") == 0) s.apnIsMms = true;
    } else if (s.inApn && std::strcmp(element, "mmsc") == 0) {
        s.text = &s.mmsc;
    } else if (s.inApn && std::strcmp(element, "mmsproxy") == 0) {
        s.text = &s.proxy;
    }
}

void on_end(GMarkupParseContext *, const char *element, gpointer user, GError **) {
    auto &s = *static_cast<ProviderScan *>(user);
    s.text = nullptr;
    if (s.found) return;
    if (std::strcmp(element, "apn") == 0) {
        if (s.providerMatches && s.apnIsMms && !s.mmsc.empty()) {
            s.found = true;
            s.result = ProviderMms{s.mmsc, s.proxy};
        }
        s.inApn = false;
    } else if (std::strcmp(element, "provider") == 0) {
        s.inProvider = false;
    }
}

void on_text(GMarkupParseContext *, const char *text, gsize len, gpointer user, GError **) {
    auto &s = *static_cast<ProviderScan *>(user);
    if (s.text) s.text->append(text, len);
}

std::string trimmed(const std::string &t) {
    const size_t b = t.find_first_not_of(" \t\r\n"), e = t.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

}  // namespace

bool lookup_provider(const std::string &db, const std::string &mccMnc, ProviderMms *out, std::string *why) {
    gchar **f = g_strsplit_set(mccMnc.c_str(), " \t", -1);
    std::vector<std::string> words;
    for (gchar **p = f; *p; ++p)
        if (**p) words.emplace_back(*p);
    g_strfreev(f);
    auto digits = [](const std::string &w, size_t lo, size_t hi) {
        if (w.size() < lo || w.size() > hi) return false;
        for (char c : w)
            if (!g_ascii_isdigit(c)) return false;
        return true;
    };
    if (words.size() != 2 || !digits(words[0], 3, 3) || !digits(words[1], 2, 3)) {
        *why = "Provider '" + mccMnc + "' is not \"MCC MNC\" (3 digits, then 2 or 3 digits)";
        return false;
    }
    gchar *xml = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(db.c_str(), &xml, &len, nullptr)) {
        *why = "Provider is set but the provider database " + db + " cannot be read (install mobile-broadband-provider-info)";
        return false;
    }
    ProviderScan scan;
    scan.mcc = words[0];
    scan.mnc = words[1];
    GMarkupParser parser{on_start, on_end, on_text, nullptr, nullptr};
    GMarkupParseContext *ctx = g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &scan, nullptr);
    GError *err = nullptr;
    const bool ok = g_markup_parse_context_parse(ctx, xml, static_cast<gssize>(len), &err) &&
                    g_markup_parse_context_end_parse(ctx, &err);
    g_markup_parse_context_free(ctx);
    g_free(xml);
    if (!ok && !scan.found) {
        *why = "the provider database " + db + " does not parse: " + (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    g_clear_error(&err);
    if (!scan.found) {
        *why = "Provider " + words[0] + " " + words[1] + " has no MMS access point in " + db;
        return false;
    }
    out->mmsc = trimmed(scan.result.mmsc);
    out->proxy = trimmed(scan.result.proxy);
    return true;
}

namespace {

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_free)>;

std::string get_string(GKeyFile *kf, const char *group, const char *key, bool *present = nullptr) {
    gchar *v = g_key_file_get_string(kf, group, key, nullptr);
    if (present) *present = v != nullptr;
    std::string out = v ? trimmed(v) : std::string();
    g_free(v);
    return out;
}

// "NULL" is how mmsd-tng writes "none" for a proxy and an APN.
std::string none_as_empty(const std::string &v) { return v == "NULL" ? std::string() : v; }

// The relay's URL as the transport will read it: http, a host, a port in
// range, no user information, printable ASCII only.
bool check_relay(const std::string &url, std::string *why) {
    std::string w;
    if (!read_relay_url(url, &w)) {
        *why = "CarrierMMSC '" + url + "' is not an http:// URL (" + w + ")";
        return false;
    }
    return true;
}

bool check_proxy(const std::string &text, std::string *host, std::string *port, std::string *why) {
    std::string w;
    if (read_proxy(text, host, port, &w)) return true;
    *why = "CarrierMMSProxy '" + text + "' is not HOST:PORT (port 1 to 65535): " + w;
    return false;
}

bool check_number(const std::string &n, std::string *why) {
    if (n.empty() || is_phone_number(n)) return true;
    *why = "DefaultModemNumber '" + n + "' is not a phone number (digits, optionally a leading +)";
    return false;
}

bool check_group(const std::string &g, std::string *why) {
    bool ok = !g.empty() && g.size() <= 32;
    for (char c : g) ok = ok && (g_ascii_isalnum(c) || c == '_' || c == '-' || c == '.');
    if (!ok) *why = "AllowedGroup '" + g + "' is not a group name";
    return ok;
}

bool bool_of(GVariant *v, bool *out) {
    if (g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN)) {
        *out = g_variant_get_boolean(v);
        return true;
    }
    return false;
}

bool int_of(GVariant *v, long long *out) {
    if (g_variant_is_of_type(v, G_VARIANT_TYPE_INT32)) *out = g_variant_get_int32(v);
    else if (g_variant_is_of_type(v, G_VARIANT_TYPE_UINT32)) *out = g_variant_get_uint32(v);
    else if (g_variant_is_of_type(v, G_VARIANT_TYPE_INT64)) *out = g_variant_get_int64(v);
    else if (g_variant_is_of_type(v, G_VARIANT_TYPE_INT16)) *out = g_variant_get_int16(v);
    else if (g_variant_is_of_type(v, G_VARIANT_TYPE_UINT16)) *out = g_variant_get_uint16(v);
    else return false;
    return true;
}

}  // namespace


bool apply_setting(Settings *s, const std::string &name, GVariant *value, std::string *why) {
    Settings n = *s;
    auto want = [&](const char *type) {
        *why = "setting " + name + " takes a value of type " + type;
        return false;
    };
    std::string text;
    const bool isString = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING);
    if (isString) text = trimmed(g_variant_get_string(value, nullptr));
    bool b = false;
    long long i = 0;
    if (name == "CarrierMMSC") {
        if (!isString) return want("s");
        if (!check_relay(text, why)) return false;
        n.relayUrl = text;
    } else if (name == "CarrierMMSProxy") {
        if (!isString) return want("s");
        if (!check_proxy(none_as_empty(text), &n.proxyHost, &n.proxyPort, why)) return false;
    } else if (name == "MMS_APN") {
        if (!isString) return want("s");
        if (text.size() > 100) {
            *why = "MMS_APN is longer than 100 bytes";
            return false;
        }
        for (unsigned char c : text)
            if (c < ' ' || c == 0x7F) {
                *why = "MMS_APN must be one line without control characters";
                return false;
            }
        n.mmsApn = none_as_empty(text);
    } else if (name == "DefaultModemNumber") {
        if (!isString) return want("s");
        if (!check_number(none_as_empty(text), why)) return false;
        n.ownNumber = none_as_empty(text);
    } else if (name == "AutoProcessOnConnection") {
        if (!bool_of(value, &b)) return want("b");
        n.autoProcessOnConnection = b;
    } else if (name == "AutoProcessSMSWAP") {
        if (!bool_of(value, &b)) return want("b");
        n.autoProcessSmsWap = b;
    } else if (name == "UseDeliveryReports") {
        if (!bool_of(value, &b)) return want("b");
        n.useDeliveryReports = b;
    } else if (name == "AutoCreateSMIL") {
        if (!bool_of(value, &b)) return want("b");
        n.autoCreateSmil = b;
    } else if (name == "SendReadReports") {
        if (!bool_of(value, &b)) return want("b");
        n.sendReadReports = b;
    } else if (name == "TotalMaxAttachmentSize" || name == "MaxMessageSize") {
        if (!int_of(value, &i)) return want("i");
        if (i < 1024 || i > 10 * 1024 * 1024) {
            *why = name + " must be from 1024 to 10485760 bytes";
            return false;
        }
        (name == "MaxMessageSize" ? n.maxMessageSize : n.maxAttachmentsSize) = static_cast<int>(i);
    } else if (name == "MaxAttachments") {
        if (!int_of(value, &i)) return want("i");
        if (i < 1 || i > 100) {
            *why = "MaxAttachments must be from 1 to 100";
            return false;
        }
        n.maxAttachments = static_cast<int>(i);
    } else {
        *why = "no setting named '" + name + "' can be changed";
        return false;
    }
    *s = std::move(n);
    return true;
}

namespace {

// The relay, its proxy and the number ([Modem Manager] first, the older
// [Service] names where those are not set), the texts, the group and the
// backend. *proxyOut: the proxy as given; *hasProxyOut: whether one was.
bool read_names(GKeyFile *kf, Settings *s, std::string *proxyOut, bool *hasProxyOut, std::string *why) {
    bool hasRelay = false, hasNumber = false;
    bool &hasProxy = *hasProxyOut;
    std::string &proxy = *proxyOut;
    std::string relay = get_string(kf, kMmGroup, "CarrierMMSC", &hasRelay);
    proxy = get_string(kf, kMmGroup, "CarrierMMSProxy", &hasProxy);
    std::string number = get_string(kf, kMmGroup, "DefaultModemNumber", &hasNumber);
    if (!hasRelay) relay = get_string(kf, kGroup, "RelayUrl", &hasRelay);
    if (!hasProxy) proxy = get_string(kf, kGroup, "Proxy", &hasProxy);
    if (!hasNumber) number = get_string(kf, kGroup, "OwnNumber", &hasNumber);
    proxy = none_as_empty(proxy);
    relay = none_as_empty(relay);
    s->relayUrl = relay;
    s->ownNumber = none_as_empty(number);
    s->mmsApn = none_as_empty(get_string(kf, kMmGroup, "MMS_APN"));
    s->userAgent = get_string(kf, kGroup, "UserAgent");
    s->userAgentProfile = get_string(kf, kGroup, "UserAgentProfile");
    s->provider = get_string(kf, kGroup, "Provider");
    s->ofonoModem = get_string(kf, kGroup, "OfonoModem");
    s->modemPath = get_string(kf, kGroup, "ModemPath");
    bool hasGroup = false;
    const std::string group = get_string(kf, kGroup, "AllowedGroup", &hasGroup);
    if (hasGroup) {
        if (!check_group(group, why)) return false;
        s->allowedGroup = group;
    }
    const std::string backend = get_string(kf, kGroup, "Backend");
    if (backend.empty() || g_ascii_strcasecmp(backend.c_str(), "ModemManager") == 0)
        s->backend = ModemBackend::ModemManager;
    else if (g_ascii_strcasecmp(backend.c_str(), "oFono") == 0)
        s->backend = ModemBackend::Ofono;
    else
        return *why = "Backend '" + backend + "' is neither ModemManager nor oFono", false;
    // An oFono modem named in an older file means the oFono backend.
    if (backend.empty() && !s->ofonoModem.empty()) s->backend = ModemBackend::Ofono;
    for (const std::string *p : {&s->ofonoModem, &s->modemPath})
        if (!p->empty() && !g_variant_is_object_path(p->c_str()))
            return *why = "'" + *p + "' is not a D-Bus object path (e.g. /ril_0)", false;
    return true;
}

// Numbers and switches, each checked as a change over the bus would be.
bool read_numbers(GKeyFile *kf, Settings *s, std::string *why) {
    GError *err = nullptr;
    struct Typed {
        const char *group, *key;
        enum { Int, Bool } type;
    };
    static constexpr Typed kTyped[] = {
        {kGroup, "MaxMessageSize", Typed::Int},          {kGroup, "MaxAttachments", Typed::Int},
        {kGroup, "TotalMaxAttachmentSize", Typed::Int},
        {kGroup, "AutoCreateSMIL", Typed::Bool},         {kGroup, "UseDeliveryReports", Typed::Bool},
        {kGroup, "SendReadReports", Typed::Bool},        {kMmGroup, "AutoProcessOnConnection", Typed::Bool},
        {kMmGroup, "AutoProcessSMSWAP", Typed::Bool},
    };
    for (const Typed &t : kTyped) {
        if (!g_key_file_has_key(kf, t.group, t.key, nullptr)) continue;
        GVariant *v = nullptr;
        if (t.type == Typed::Int) {
            const int n = g_key_file_get_integer(kf, t.group, t.key, &err);
            if (!err) v = g_variant_new_int32(n);
        } else {
            const gboolean b = g_key_file_get_boolean(kf, t.group, t.key, &err);
            if (!err) v = g_variant_new_boolean(b);
        }
        if (err) {
            g_clear_error(&err);
            return *why = std::string(t.key) + (t.type == Typed::Int ? " must be a number" : " must be true or false"), false;
        }
        g_variant_ref_sink(v);
        // Older versions wrote their one limit, 307200, as MaxMessageSize:
        // such a file takes the limits of now.
        const bool oldLimit = std::string(t.key) == "MaxMessageSize" && t.type == Typed::Int &&
                              g_variant_get_int32(v) == kOldDefaultMaxMessageSize &&
                              !g_key_file_has_key(kf, kGroup, "TotalMaxAttachmentSize", nullptr);
        const bool ok = oldLimit || apply_setting(s, t.key, v, why);
        g_variant_unref(v);
        if (!ok) return false;
    }
    if (g_key_file_has_key(kf, kGroup, "Retries", nullptr)) {
        const int n = g_key_file_get_integer(kf, kGroup, "Retries", &err);
        if (err || n < 0 || n > 20) {
            g_clear_error(&err);
            return *why = "Retries must be a number from 0 to 20", false;
        }
        s->retries = n;
    }
    if (g_key_file_has_key(kf, kGroup, "RetryDelay", nullptr)) {
        const double d = g_key_file_get_double(kf, kGroup, "RetryDelay", &err);
        if (err || !(d >= 0.05 && d <= 3600)) {
            g_clear_error(&err);
            return *why = "RetryDelay must be seconds from 0.05 to 3600", false;
        }
        s->retryDelay = d;
    }
    return true;
}

}  // namespace

bool load_settings(const std::string &file, Settings *s, std::string *why) {
    KeyFile kf(g_key_file_new(), g_key_file_free);
    GError *err = nullptr;
    if (!g_key_file_load_from_file(kf.get(), file.c_str(), G_KEY_FILE_NONE, &err)) {
        *why = file + ": " + err->message;
        g_error_free(err);
        return false;
    }
    if (!g_key_file_has_group(kf.get(), kGroup)) {
        *why = file + ": no [Service] group";
        return false;
    }
    auto bad = [&](const std::string &text) {
        *why = file + ": " + text;
        return false;
    };
    gchar *abs = g_canonicalize_filename(file.c_str(), nullptr);
    s->file = abs;
    g_free(abs);

    std::string proxy;
    bool hasProxy = false;
    if (!read_names(kf.get(), s, &proxy, &hasProxy, why)) return bad(*why);
    if (!s->provider.empty() && (s->relayUrl.empty() || !hasProxy)) {
        ProviderMms p;
        const char *db = g_getenv("RORODIRED_PROVIDER_DB");
        if (!lookup_provider(db && *db ? db : kProviderDb, s->provider, &p, why)) return bad(*why);
        if (s->relayUrl.empty()) s->relayUrl = p.mmsc;
        if (!hasProxy) proxy = p.proxy;
    }
    if (s->relayUrl.empty()) return bad("CarrierMMSC is missing (set it, or Provider=\"MCC MNC\")");
    if (!check_relay(s->relayUrl, why)) return bad(*why);
    if (!check_proxy(proxy, &s->proxyHost, &s->proxyPort, why)) return bad(*why);
    if (!check_number(s->ownNumber, why)) return bad(*why);
    for (unsigned char c : s->mmsApn)
        if (c < ' ' || c == 0x7F) return bad("MMS_APN must be one line without control characters");
    for (const std::string *t : {&s->userAgent, &s->userAgentProfile})
        for (char c : *t)
            if (static_cast<unsigned char>(c) < ' ') return bad("UserAgent and UserAgentProfile must be one line");
    const std::string storage = get_string(kf.get(), kGroup, "StorageDir");
    if (storage.empty()) return bad("StorageDir is missing");
    abs = g_canonicalize_filename(storage.c_str(), nullptr);
    s->storageDir = abs;
    g_free(abs);
    if (!read_numbers(kf.get(), s, why)) return bad(*why);
    return true;
}

Settings default_settings(const std::string &file, bool systemBus) {
    Settings s;
    gchar *abs = g_canonicalize_filename(file.c_str(), nullptr);
    s.file = abs;
    g_free(abs);
    s.relayUrl = "http://mms.invalid";
    s.mmsApn = "apn.invalid";
    gchar *data = systemBus ? g_strdup("/var/lib/rorodired") : g_build_filename(g_get_user_data_dir(), "rorodired", nullptr);
    abs = g_canonicalize_filename(data, nullptr);
    s.storageDir = abs;
    g_free(abs);
    g_free(data);
    return s;
}

bool save_settings(const Settings &s, std::string *why) {
    gchar *folder = g_path_get_dirname(s.file.c_str());
    const int made = g_mkdir_with_parents(folder, 0700);
    g_free(folder);
    if (made != 0) {
        *why = "cannot create the folder of " + s.file + ": " + g_strerror(errno);
        return false;
    }
    KeyFile kf(g_key_file_new(), g_key_file_free);
    // What the file holds beyond our keys (comments, other groups) stays.
    g_key_file_load_from_file(kf.get(), s.file.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    for (const char *old : {"RelayUrl", "Proxy", "OwnNumber"}) g_key_file_remove_key(kf.get(), kGroup, old, nullptr);
    // A file first written by the service (a start without one) names its store too.
    g_key_file_set_string(kf.get(), kGroup, "StorageDir", s.storageDir.c_str());
    g_key_file_set_string(kf.get(), kMmGroup, "CarrierMMSC", s.relayUrl.c_str());
    g_key_file_set_string(kf.get(), kMmGroup, "CarrierMMSProxy", s.proxyHost.empty() ? "NULL" : s.proxy_text().c_str());
    g_key_file_set_string(kf.get(), kMmGroup, "MMS_APN", s.mmsApn.c_str());
    g_key_file_set_string(kf.get(), kMmGroup, "DefaultModemNumber", s.ownNumber.empty() ? "NULL" : s.ownNumber.c_str());
    g_key_file_set_boolean(kf.get(), kMmGroup, "AutoProcessOnConnection", s.autoProcessOnConnection);
    g_key_file_set_boolean(kf.get(), kMmGroup, "AutoProcessSMSWAP", s.autoProcessSmsWap);
    g_key_file_set_integer(kf.get(), kGroup, "MaxMessageSize", s.maxMessageSize);
    g_key_file_set_integer(kf.get(), kGroup, "TotalMaxAttachmentSize", s.maxAttachmentsSize);
    g_key_file_set_integer(kf.get(), kGroup, "MaxAttachments", s.maxAttachments);
    g_key_file_set_boolean(kf.get(), kGroup, "AutoCreateSMIL", s.autoCreateSmil);
    g_key_file_set_boolean(kf.get(), kGroup, "UseDeliveryReports", s.useDeliveryReports);
    g_key_file_set_boolean(kf.get(), kGroup, "SendReadReports", s.sendReadReports);
    gsize len = 0;
    gchar *text = g_key_file_to_data(kf.get(), &len, nullptr);
    rrhost::WriteOptions opt;
    opt.mode = 0600;
    const bool ok = rrhost::write_file_atomic(s.file, text, len, opt, why);
    g_free(text);
    return ok;
}

ModemSettings modem_settings(const Settings &s) {
    ModemSettings m;
    m.backend = s.backend;
    m.modemPath = s.modemPath;
    m.mmsApn = s.mmsApn;
    m.defaultModemNumber = s.ownNumber;
    m.autoProcessSmsWap = s.autoProcessSmsWap;
    m.ofonoModem = s.ofonoModem;
    return m;
}

}  // namespace rrd
