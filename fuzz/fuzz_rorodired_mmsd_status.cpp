// What rorodired reads from mmsd-tng's folder when it takes over: a
// message's status file and the settings file (the first input byte picks
// the reader). Whatever the text, the reader answers (a record or a reason),
// the state it gives is one mmsd-tng writes, dates are after 1970, the
// delivery table holds no "none" and every text is valid UTF-8; a record
// written back the way mmsd-tng writes it reads back the same.
#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "../rorodired/mmsd_import_reader.cpp"

namespace {

void utf8(const std::string &s) {
    if (!g_utf8_validate(s.c_str(), static_cast<gssize>(s.size()), nullptr)) std::abort();
}

std::string date_text(int64_t t) {
    GDateTime *d = g_date_time_new_from_unix_utc(t);
    if (!d) std::abort();
    gchar *s = g_date_time_format(d, "%Y-%m-%dT%H:%M:%S%z");
    std::string out = s;
    g_free(s);
    g_date_time_unref(d);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 17) return 0;
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string why;
    if (data[0] & 1) {
        std::vector<std::string> problems;
        for (const rrd::MmsdSetting &s : rrd::read_mmsd_settings(text, &problems, &why)) {
            utf8(s.key);
            utf8(s.text);
        }
        return 0;
    }
    rrd::MmsdRecord r;
    if (!rrd::read_mmsd_status(text, &r, &why)) {
        if (why.empty()) std::abort();
        return 0;
    }
    bool known = false;
    for (const char *s : rrd::kStates) known = known || r.state == s;
    if (!known || r.date < 0 || r.expiration < 0) std::abort();
    utf8(r.messageId);
    for (const auto &[number, word] : r.deliveryStatus) {
        utf8(number);
        utf8(word);
        if (word == "none" || word.empty()) std::abort();
    }
    // Written back as mmsd-tng writes it: the same record. Only records whose
    // texts a key file can hold as they are take part.
    bool plain = true;
    auto keyable = [&](const std::string &s, bool key) {
        for (char c : s)
            if (static_cast<unsigned char>(c) < ' ' || c == '\\' || (key && (c == '=' || c == '[' || c == ']')))
                plain = false;
        if (!s.empty() && (s.front() == ' ' || s.back() == ' ')) plain = false;
    };
    keyable(r.messageId, false);
    for (const auto &[number, word] : r.deliveryStatus) {
        keyable(number, true);
        keyable(word, false);
        if (number.empty() || number == "delivery_number_complete" || number[0] == '#') plain = false;
    }
    if (!plain || r.date > 253402300799 || r.expiration > 253402300799) return 0;
    std::string out = "[info]\nstate=" + r.state + "\nread=" + (r.read ? "true" : "false") +
                      "\ndelivery_report=" + (r.deliveryReport ? "true" : "false") + "\n";
    if (r.date) out += "date=" + date_text(r.date) + "\n";
    if (r.expiration) out += "expiration=" + date_text(r.expiration) + "\n";
    if (!r.messageId.empty()) out += "id=" + r.messageId + "\n";
    out += "[delivery_status]\n";
    for (const auto &[number, word] : r.deliveryStatus) out += number + "=" + word + "\n";
    rrd::MmsdRecord back;
    if (!rrd::read_mmsd_status(out, &back, &why)) std::abort();
    if (back.state != r.state || back.read != r.read || back.deliveryReport != r.deliveryReport ||
        back.date != r.date || back.expiration != r.expiration || back.messageId != r.messageId ||
        back.deliveryStatus != r.deliveryStatus)
        std::abort();
    return 0;
}
