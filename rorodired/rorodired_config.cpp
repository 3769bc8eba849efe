// Settings of the service: a GLib key file with a [Service] group, with the
// relay URL and proxy optionally taken from the provider database.
#include <glib.h>
#include <glib/gstdio.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "rorodired.h"

namespace rrd {
namespace {

constexpr char kGroup[] = "Service";
constexpr char kProviderDb[] = "/usr/share/mobile-broadband-provider-info/serviceproviders.xml";

bool is_port(const std::string &p) {
    if (p.empty() || p.size() > 5) return false;
    for (char c : p)
        if (!g_ascii_isdigit(c)) return false;
    const long n = std::strtol(p.c_str(), nullptr, 10);
    return n >= 1 && n <= 65535;
}

// "host:port" into its halves; empty text gives no proxy.
bool split_proxy(const std::string &text, std::string *host, std::string *port) {
    host->clear();
    port->clear();
    if (text.empty()) return true;
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || !is_port(text.substr(colon + 1))) return false;
    *host = text.substr(0, colon);
    *port = text.substr(colon + 1);
    for (char c : *host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@') return false;
    return true;
}

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

bool load_settings(const std::string &file, Settings *s, std::string *why) {
    std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> kf(g_key_file_new(), g_key_file_free);
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
    auto get = [&](const char *key, std::string *into) {
        gchar *v = g_key_file_get_string(kf.get(), kGroup, key, nullptr);
        if (!v) return false;
        *into = trimmed(v);
        g_free(v);
        return true;
    };
    auto bad = [&](const std::string &text) {
        *why = file + ": " + text;
        return false;
    };
    std::string proxy;
    const bool hasProxy = get("Proxy", &proxy);
    get("RelayUrl", &s->relayUrl);
    get("UserAgent", &s->userAgent);
    get("UserAgentProfile", &s->userAgentProfile);
    get("OwnNumber", &s->ownNumber);
    get("Provider", &s->provider);
    std::string storage;
    get("StorageDir", &storage);
    get("OfonoModem", &s->ofonoModem);
    if (!s->ofonoModem.empty() && !g_variant_is_object_path(s->ofonoModem.c_str()))
        return bad("OfonoModem '" + s->ofonoModem + "' is not a D-Bus object path (e.g. /ril_0)");

    if (!s->provider.empty() && (s->relayUrl.empty() || !hasProxy)) {
        ProviderMms p;
        const char *db = g_getenv("RORODIRED_PROVIDER_DB");
        if (!lookup_provider(db && *db ? db : kProviderDb, s->provider, &p, why)) return bad(*why);
        if (s->relayUrl.empty()) s->relayUrl = p.mmsc;
        if (!hasProxy) proxy = p.proxy;
    }
    if (s->relayUrl.empty()) return bad("RelayUrl is missing (set it, or Provider=\"MCC MNC\")");
    if (!g_str_has_prefix(s->relayUrl.c_str(), "http://") || s->relayUrl.size() <= 7 ||
        s->relayUrl.find_first_of(" \t\r\n") != std::string::npos)
        return bad("RelayUrl '" + s->relayUrl + "' is not an http:// URL");
    if (!split_proxy(proxy, &s->proxyHost, &s->proxyPort))
        return bad("Proxy '" + proxy + "' is not HOST:PORT (port 1 to 65535)");
    if (!s->ownNumber.empty() && !is_phone_number(s->ownNumber))
        return bad("OwnNumber '" + s->ownNumber + "' is not a phone number (digits, optionally a leading +)");
    for (const std::string *t : {&s->userAgent, &s->userAgentProfile})
        for (char c : *t)
            if (static_cast<unsigned char>(c) < ' ') return bad("UserAgent and UserAgentProfile must be one line");
    if (storage.empty()) return bad("StorageDir is missing");
    gchar *abs = g_canonicalize_filename(storage.c_str(), nullptr);
    s->storageDir = abs;
    g_free(abs);
    if (g_mkdir_with_parents(s->storageDir.c_str(), 0700) != 0 || g_access(s->storageDir.c_str(), W_OK) != 0)
        return bad("StorageDir " + s->storageDir + " cannot be created or written");

    if (g_key_file_has_key(kf.get(), kGroup, "Retries", nullptr)) {
        const int n = g_key_file_get_integer(kf.get(), kGroup, "Retries", &err);
        if (err || n < 0 || n > 20) {
            g_clear_error(&err);
            return bad("Retries must be a number from 0 to 20");
        }
        s->retries = n;
    }
    if (g_key_file_has_key(kf.get(), kGroup, "RetryDelay", nullptr)) {
        const double d = g_key_file_get_double(kf.get(), kGroup, "RetryDelay", &err);
        if (err || !(d >= 0.05 && d <= 3600)) {
            g_clear_error(&err);
            return bad("RetryDelay must be seconds from 0.05 to 3600");
        }
        s->retryDelay = d;
    }
    return true;
}

}  // namespace rrd
