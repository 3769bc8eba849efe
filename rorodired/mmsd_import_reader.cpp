// The readers of mmsd-tng's files: its status files and its settings, as
// text in, records out (GLib's key file reader, no I/O). Every value is
// checked; what does not read is reported, never guessed.
#include <glib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "mmsd_import.h"

namespace rrd {
namespace {

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_free)>;

constexpr char kInfo[] = "info";
constexpr char kDeliveryStatus[] = "delivery_status";
constexpr size_t kMaxText = 1 << 16;  // a status or settings file is a few hundred bytes

// The states mmsd-tng writes into [info] state=.
constexpr const char *kStates[] = {"received", "read", "sent", "delivered", "draft", "notification", "downloaded",
                                   "expired"};

bool load(KeyFile &kf, std::string_view text, std::string *why) {
    if (text.size() > kMaxText) {
        *why = "it is larger than " + std::to_string(kMaxText) + " bytes";
        return false;
    }
    if (std::memchr(text.data(), '\0', text.size())) {
        *why = "it holds a zero byte";
        return false;
    }
    GError *err = nullptr;
    if (!g_key_file_load_from_data(kf.get(), text.data(), text.size(), G_KEY_FILE_NONE, &err)) {
        *why = std::string("it is no key file: ") + err->message;
        g_error_free(err);
        return false;
    }
    return true;
}

// A key's string, *present false when absent; values that are no UTF-8 read as absent.
std::string str(GKeyFile *kf, const char *group, const char *key, bool *present = nullptr) {
    gchar *v = g_key_file_get_string(kf, group, key, nullptr);
    const bool ok = v && g_utf8_validate(v, -1, nullptr);
    if (present) *present = ok;
    std::string out = ok ? std::string(v) : std::string();
    g_free(v);
    return out;
}

bool boolean(GKeyFile *kf, const char *group, const char *key, bool *out) {
    GError *err = nullptr;
    const gboolean b = g_key_file_get_boolean(kf, group, key, &err);
    if (err) {
        g_error_free(err);
        return false;
    }
    *out = b;
    return true;
}

int digits(const char *p, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (!g_ascii_isdigit(p[i])) return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

}  // namespace

bool parse_mmsd_date(const std::string &text, int64_t *secs) {
    // YYYY-MM-DDTHH:MM:SS then Z, +HHMM, +HH:MM, -HHMM or -HH:MM.
    const char *p = text.c_str();
    if (text.size() < 20 || p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':') return false;
    const int year = digits(p, 4), month = digits(p + 5, 2), day = digits(p + 8, 2), hour = digits(p + 11, 2),
              minute = digits(p + 14, 2), second = digits(p + 17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60)
        return false;
    if (day > g_date_get_days_in_month(static_cast<GDateMonth>(month), static_cast<GDateYear>(year))) return false;
    const std::string zone = text.substr(19);
    int offset = 0;
    if (zone == "Z") {
        offset = 0;
    } else if ((zone.size() == 5 || (zone.size() == 6 && zone[3] == ':')) && (zone[0] == '+' || zone[0] == '-')) {
        const int h = digits(zone.c_str() + 1, 2), m = digits(zone.c_str() + zone.size() - 2, 2);
        if (h < 0 || h > 23 || m < 0 || m > 59) return false;
        offset = (h * 60 + m) * 60 * (zone[0] == '-' ? -1 : 1);
    } else {
        return false;
    }
    // Days from 1970-01-01 to the date (proleptic Gregorian calendar).
    GDate *d = g_date_new_dmy(static_cast<GDateDay>(day), static_cast<GDateMonth>(month), static_cast<GDateYear>(year));
    GDate *epoch = g_date_new_dmy(1, G_DATE_JANUARY, 1970);
    const int64_t days = g_date_days_between(epoch, d);
    g_date_free(d);
    g_date_free(epoch);
    *secs = days * 86400 + hour * 3600 + minute * 60 + std::min(second, 59) - offset;
    return true;
}

bool is_mmsd_id(std::string_view name) {
    if (name.size() < 16 || name.size() > 40) return false;
    for (char c : name)
        if (!g_ascii_isxdigit(c)) return false;
    return true;
}

bool read_mmsd_status(std::string_view text, MmsdRecord *out, std::string *why) {
    KeyFile kf(g_key_file_new(), g_key_file_free);
    if (!load(kf, text, why)) return false;
    if (!g_key_file_has_group(kf.get(), kInfo)) {
        *why = "it has no [info] group";
        return false;
    }
    MmsdRecord r;
    r.state = str(kf.get(), kInfo, "state");
    bool known = false;
    for (const char *s : kStates) known = known || r.state == s;
    if (!known) {
        *why = r.state.empty() ? std::string("it names no state") : "it names the unknown state '" + r.state + "'";
        return false;
    }
    // A value that does not read is taken as absent: the message is still worth having.
    boolean(kf.get(), kInfo, "read", &r.read);
    boolean(kf.get(), kInfo, "delivery_report", &r.deliveryReport);
    bool has = false;
    std::string t = str(kf.get(), kInfo, "date", &has);
    if (has && !parse_mmsd_date(t, &r.date)) r.date = 0;
    t = str(kf.get(), kInfo, "expiration", &has);
    if (has && !parse_mmsd_date(t, &r.expiration)) r.expiration = 0;
    r.messageId = str(kf.get(), kInfo, "id");
    if (r.messageId.size() > 256) r.messageId.clear();
    if (g_key_file_has_group(kf.get(), kDeliveryStatus)) {
        gchar **keys = g_key_file_get_keys(kf.get(), kDeliveryStatus, nullptr, nullptr);
        for (gchar **k = keys; k && *k; ++k) {
            // mmsd-tng's own bookkeeping sits beside the numbers.
            if (std::strcmp(*k, "delivery_number_complete") == 0) continue;
            const std::string word = str(kf.get(), kDeliveryStatus, *k);
            const std::string number = *k;
            if (word.empty() || word == "none" || number.size() > 256 || word.size() > 64) continue;
            if (!g_utf8_validate(number.c_str(), -1, nullptr)) continue;
            r.deliveryStatus[number] = word;
        }
        g_strfreev(keys);
    }
    *out = std::move(r);
    return true;
}

std::vector<MmsdSetting> read_mmsd_settings(std::string_view text, std::vector<std::string> *problems,
                                            std::string *why) {
    std::vector<MmsdSetting> out;
    KeyFile kf(g_key_file_new(), g_key_file_free);
    if (!load(kf, text, why)) return out;
    using T = MmsdSetting::Type;
    struct Known {
        const char *group, *key;
        T type;
    };
    // Every key mmsd-tng 2.1 writes, with the type it writes it with.
    static constexpr Known kKnown[] = {
        {"Modem Manager", "CarrierMMSC", T::String},
        {"Modem Manager", "MMS_APN", T::String},
        {"Modem Manager", "CarrierMMSProxy", T::String},
        {"Modem Manager", "DefaultModemNumber", T::String},
        {"Modem Manager", "AutoProcessOnConnection", T::Bool},
        {"Modem Manager", "AutoProcessSMSWAP", T::Bool},
        {"Modem Manager", "IMSI", T::String},
        {"Settings", "UseDeliveryReports", T::Bool},
        {"Settings", "TotalMaxAttachmentSize", T::Int},
        {"Settings", "MaxAttachments", T::Int},
        {"Settings", "AutoCreateSMIL", T::Bool},
        {"Settings", "ForceCAres", T::Bool},
    };
    for (const Known &k : kKnown) {
        if (!g_key_file_has_key(kf.get(), k.group, k.key, nullptr)) continue;
        MmsdSetting s;
        s.group = k.group;
        s.key = k.key;
        s.type = k.type;
        GError *err = nullptr;
        bool ok = true;
        if (k.type == T::String) {
            s.text = str(kf.get(), k.group, k.key, &ok);
        } else if (k.type == T::Bool) {
            s.b = g_key_file_get_boolean(kf.get(), k.group, k.key, &err);
        } else {
            s.i = g_key_file_get_int64(kf.get(), k.group, k.key, &err);
        }
        if (err) {
            g_error_free(err);
            ok = false;
        }
        if (!ok) {
            if (problems) problems->push_back(std::string(k.key) + " does not read as " +
                                              (k.type == T::Bool ? "true or false" : k.type == T::Int ? "a number"
                                                                                                       : "text"));
            continue;
        }
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace rrd
