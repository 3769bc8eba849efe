// Content-Type values: the table of well-known content types, the short and
// the general form with their parameters (charset, name, type, start,
// forward lock).
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string_view>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

// Well-known content types, codes 0x00 to 0x34 in order.
constexpr std::array<std::string_view, 0x35> kContentTypes = {
    "*/*",
    "text/*",
    "text/html",
    "text/plain",
    "text/x-hdml",
    "text/x-ttml",
    "text/x-vCalendar",
    "text/x-vCard",
    "text/vnd.wap.wml",
    "text/vnd.wap.wmlscript",
    "text/vnd.wap.channel",
    "Multipart/*",
    "Multipart/mixed",
    "Multipart/form-data",
    "Multipart/byteranges",
    "Multipart/alternative",
    "application/*",
    "application/java-vm",
    "application/x-www-form-rulencoded",
    "application/x-hdmlc",
    "application/vnd.wap.wmlc",
    "application/vnd.wap.wmlscriptc",
    "application/vnd.wap.channelc",
    "application/vnd.wap.uaprof",
    "application/vnd.wap.wtls-ca-certificate",
    "application/vnd.wap.wtls-user-certificate",
    "application/x-x509-ca-cert",
    "application/x-x509-user-cert",
    "image/*",
    "image/gif",
    "image/jpeg",
    "image/tiff",
    "image/png",
    "image/vnd.wap.wbmp",
    "application/vnd.wap.multipart.*",
    "application/vnd.wap.multipart.mixed",
    "application/vnd.wap.multipart.form-data",
    "application/vnd.wap.multipart.byteranges",
    "application/vnd.wap.multipart.alternative",
    "application/xml",
    "text/xml",
    "application/vnd.wap.wbxml",
    "application/x-x968-cross-cert",
    "application/x-x968-ca-cert",
    "application/x-x968-user-cert",
    "text/vnd.wap.si",
    "application/vnd.wap.sic",
    "text/vnd.wap.sl",
    "application/vnd.wap.slc",
    "text/vnd.wap.co",
    "application/vnd.wap.coc",
    "application/vnd.wap.multipart.related",
    "application/vnd.wap.sia",
};

// OMA DRM types, recognised when reading only.
constexpr int kDrmFirstCode = 0x48;
constexpr std::array<std::string_view, 4> kDrmTypes = {
    "application/vnd.oma.drm.message",
    "application/vnd.oma.drm.content",
    "application/vnd.oma.drm.rights+xml",
    "application/vnd.oma.drm.rights+wbxml",
};

constexpr int kNameBufferSize = 50;

static_assert(kContentTypes[0x03] == "text/plain");
static_assert(kContentTypes[0x1E] == "image/jpeg");
static_assert(kContentTypes[0x23] == "application/vnd.wap.multipart.mixed");
static_assert(kContentTypes[0x33] == "application/vnd.wap.multipart.related");
static_assert(kContentTypes[0x34] == "application/vnd.wap.sia");

constexpr bool names_fit() {
    for (auto s : kContentTypes)
        if (s.size() >= kNameBufferSize) return false;
    for (auto s : kDrmTypes)
        if (s.size() >= kNameBufferSize) return false;
    return true;
}
static_assert(names_fit(), "every table entry fits the name buffer");

constexpr std::string_view table_entry(int code) {
    if (code >= 0 && code < static_cast<int>(kContentTypes.size())) return kContentTypes[code];
    if (code >= kDrmFirstCode && code < kDrmFirstCode + static_cast<int>(kDrmTypes.size()))
        return kDrmTypes[code - kDrmFirstCode];
    return {};
}

uint8_t lower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? static_cast<uint8_t>(b + 32) : b; }

// Case-insensitive match of `word` at q, within [q, end).
bool match_word(const uint8_t *q, const uint8_t *end, std::string_view word) {
    if (end - q < static_cast<long>(word.size())) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (lower(q[i]) != static_cast<uint8_t>(word[i])) return false;
    return true;
}

bool is_frame(uint8_t b) { return b == 0x22 || b == 0x00; }

// Forward-lock value after the "fwd" name: "no"/"yes" plain or framed by
// 0x22 (or 0x00) bytes, each ended by a zero byte. Returns the bytes taken
// (0 for any other value) and sets *yes.
long forward_lock_value(const uint8_t *q, const uint8_t *end, bool *yes) {
    const long left = end - q;
    *yes = false;
    if (left >= 3 && match_word(q, end, "no") && q[2] == 0) return 3;
    if (left >= 5 && is_frame(q[0]) && match_word(q + 1, end, "no") && is_frame(q[3]) && q[4] == 0) return 5;
    if (left >= 4 && match_word(q, end, "yes") && q[3] == 0) {
        *yes = true;
        return 4;
    }
    if (left >= 6 && is_frame(q[0]) && match_word(q + 1, end, "yes") && is_frame(q[4]) && q[5] == 0) {
        *yes = true;
        return 6;
    }
    return 0;
}

// Which of a Name and a Filename parameter names the part: in a Content-Type
// the Name, in a Content-Disposition the filename.
enum class NameFirst { Name, Filename };

// Drops the 0x22 that opens a Quoted-string, in place.
void drop_quoted_string_mark(char *t) {
    if (t[0] == WSP_QUOTED_STRING) std::memmove(t, t + 1, std::strlen(t));
}

// A Name or Filename value at t.p (a Text-string or a Quoted-string) into
// ct->Name_Param: the preferred kind replaces an earlier name, the other
// kind names the part only when nothing does yet.
Step read_name_value(WspCursor &v, WspCursor t, bool isName, NameFirst first, tMMS_ContentType *ct) {
    char *name = GetQuoteTextString(t, nullptr);
    if (!name) return t.truncated ? Step::Stop : Step::NoMemory;
    v.p = t.p;
    drop_quoted_string_mark(name);
    if (isName == (first == NameFirst::Name) || !ct->Name_Param) {
        qx::free_ptr(ct->Name_Param);
        ct->Name_Param = name;
    } else {
        qx::free_ptr(name);
    }
    return Step::Next;
}

// Reads one parameter at v.p (inside the value); NoMemory on allocation
// failure. A parameter that does not end inside the value stops reading.
Step read_parameter(WspCursor &v, tMMS_ContentType *ct, NameFirst first = NameFirst::Name) {
    const uint8_t code = *v.p;
    switch (code) {
        case WSP_PARAM_CHARSET: {
            // A short integer, or a Long-integer (the two-byte form is the
            // common one); any other value form is passed over.
            ++v.p;
            uint32_t charset = 0;
            const Got g = GetIntegerValue(v, &charset);
            if (g == Got::Value) {
                ct->Charset = static_cast<int>(charset);
                ct->Has_Charset = 1;
            }
            return g == Got::Incomplete ? Step::Stop : Step::Next;
        }
        case WSP_PARAM_NAME:
        case WSP_PARAM_NAME_14:
        case WSP_PARAM_FILENAME:
        case WSP_PARAM_FILENAME_14:
            return read_name_value(v, WspCursor{v.p + 1, v.end, false},
                                   code == WSP_PARAM_NAME || code == WSP_PARAM_NAME_14, first, ct);
        case WSP_PARAM_RELATED_TYPE: {
            // A well-known type code, or a type given as text.
            ++v.p;
            if (v.p >= v.end) return Step::Stop;
            if (*v.p >= 0x80) {
                ++v.p;
                return Step::Next;
            }
            return SkipText(v) ? Step::Next : Step::Stop;
        }
        case WSP_PARAM_START:
        case WSP_PARAM_START_INFO:
            ++v.p;
            return SkipText(v) ? Step::Next : Step::Stop;
        case WSP_PARAM_Q: {
            // Q-value: a uintvar of one or two bytes.
            ++v.p;
            (void)GetUintvar(v);
            return v.truncated ? Step::Stop : Step::Next;
        }
        default:
            if (code >= 0x80) {
                // Level, Type, Differences, Padding, Comment, Domain, dates,
                // Size, ...: stepped over by the WSP encoding of the value.
                ++v.p;
                return SkipValue(v) ? Step::Next : Step::Stop;
            }
            break;
    }

    // An untyped parameter: a text name and an integer or text value.
    // "name" and "filename" with a text value name the part as the typed
    // parameters do.
    const uint8_t *start = v.p;
    for (const bool isName : {true, false}) {
        const std::string_view word = isName ? std::string_view("name\0", 5) : std::string_view("filename\0", 9);
        const uint8_t *value = start + word.size();
        if (match_word(start, v.end, word) && value < v.end && (*value == 0 || (*value >= 0x20 && *value < 0x80)))
            return read_name_value(v, WspCursor{value, v.end, false}, isName, first, ct);
    }
    // The forward-lock parameter: "fwd" in any case, then a zero byte or "=".
    if (!match_word(start, v.end, "fwd") || v.end - start < 4 || (start[3] != 0 && start[3] != '=')) {
        if (code < 0x20) return Step::Stop;  // no parameter starts so
        return SkipText(v) && SkipValue(v) ? Step::Next : Step::Stop;
    }
    bool yes = false;
    const long taken = 4 + forward_lock_value(start + 4, v.end, &yes);
    auto *raw = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(taken)));
    if (!raw) return Step::NoMemory;
    std::memcpy(raw, start, static_cast<size_t>(taken));
    qx::free_ptr(ct->Fwd_Param);
    ct->Fwd_Param = raw;
    ct->Fwd_Param_Len = static_cast<int>(taken);
    ct->Fwd_Present = 1;
    ct->Fwd_Value = yes ? 1 : 0;
    v.p = start + taken;
    return Step::Next;
}

// The bytes of a general form at the cursor (after its length prefix) and the
// whole size of the value; false when the value does not fit before the end.
bool general_form_region(const WspCursor &c, WspCursor *value, long *total) {
    WspCursor t{c.p, c.end, false};
    if (GetLengthRegion(t, value) != Got::Value) return false;
    *total = t.p - c.p;
    return true;
}

// The filename parameter of a disposition in text form (quotes dropped),
// as a new text in *name, or null when there is none; false when memory is
// short.
bool filename_in_text(const char *text, char **name) {
    *name = nullptr;
    constexpr std::string_view kFilename = "filename";
    const auto *t = reinterpret_cast<const uint8_t *>(text);
    const uint8_t *end = t + std::strlen(text);
    for (const uint8_t *q = t; q < end; ++q) {
        if (!match_word(q, end, kFilename) || (q > t && q[-1] != ';' && q[-1] != ' ' && q[-1] != '\t')) continue;
        const uint8_t *v = q + kFilename.size();
        while (v < end && (*v == ' ' || *v == '\t')) ++v;
        if (v >= end || *v != '=') continue;
        ++v;
        while (v < end && (*v == ' ' || *v == '\t')) ++v;
        const uint8_t *stop;
        if (v < end && *v == '"') {
            ++v;
            stop = v;
            while (stop < end && *stop != '"') ++stop;
        } else {
            stop = v;
            while (stop < end && *stop != ';' && *stop != ' ' && *stop != '\t') ++stop;
        }
        *name = static_cast<char *>(fnQX_Malloc(static_cast<int>(stop - v + 1)));
        if (!*name) return false;
        std::memcpy(*name, v, static_cast<size_t>(stop - v));
        return true;
    }
    return true;
}

}  // namespace

void FreeContentTypeValue(tMMS_ContentType *ct) {
    if (!ct) return;
    qx::free_ptr(ct->Content_Type);
    qx::free_ptr(ct->Name_Param);
    qx::free_ptr(ct->Fwd_Param);
    qx::free_ptr(ct);
}

char *GetContentTypeName(int code) {
    const std::string_view name = table_entry(code);
    if (name.empty()) return nullptr;
    char *t = static_cast<char *>(fnQX_Malloc(kNameBufferSize));
    if (t) std::memcpy(t, name.data(), name.size());
    return t;
}

namespace {

struct TypeCode {
    std::string_view name;
    int code;
};

// Length first, so that most steps of the search compare two numbers.
constexpr bool name_before(std::string_view a, std::string_view b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The well-known types sorted by length and name (a name listed twice keeps
// its lowest code first), for a binary search instead of a scan of the table.
constexpr auto kTypesByName = [] {
    std::array<TypeCode, kContentTypes.size()> t{};
    for (size_t i = 0; i < t.size(); ++i) t[i] = TypeCode{kContentTypes[i], static_cast<int>(i)};
    std::sort(t.begin(), t.end(), [](const TypeCode &a, const TypeCode &b) {
        if (a.name != b.name) return name_before(a.name, b.name);
        return a.code < b.code;
    });
    return t;
}();

}  // namespace

int GetContentTypeCode(const char *text) {
    if (!text) return MMS_NO_CONTENT_TYPE_CODE;
    const std::string_view key(text);
    const auto *it = std::lower_bound(kTypesByName.begin(), kTypesByName.end(), key,
                                      [](const TypeCode &e, std::string_view k) { return name_before(e.name, k); });
    return it != kTypesByName.end() && it->name == key ? it->code : MMS_NO_CONTENT_TYPE_CODE;
}

tMMS_ContentType *GetContentGeneralForm(const WspCursor &c, int *consumed) {
    // Everything below stays inside the value's own length.
    WspCursor v{};
    long total = 0;
    if (!general_form_region(c, &v, &total)) return nullptr;

    auto *ct = qx::alloc_rec<tMMS_ContentType>();
    if (!ct) return nullptr;
    qx::ScopeGuard release([&] { FreeContentTypeValue(ct); });

    if (v.p < v.end) {
        if (*v.p >= 0x80) {
            const int code = *v.p & 0x7F;
            if (!table_entry(code).empty()) {
                ct->Content_Type = GetContentTypeName(code);
                if (!ct->Content_Type) return nullptr;
            }
            ++v.p;
        } else {
            // A media type without its zero byte ends with the value.
            const void *zero = std::memchr(v.p, 0, static_cast<size_t>(v.left()));
            const long n = zero ? static_cast<const uint8_t *>(zero) - v.p : v.left();
            ct->Content_Type = static_cast<char *>(fnQX_Malloc(static_cast<int>(n + 1)));
            if (!ct->Content_Type) return nullptr;
            std::memcpy(ct->Content_Type, v.p, static_cast<size_t>(n));
            v.p += zero ? n + 1 : n;
        }
    }

    while (v.p < v.end) {
        const Step step = read_parameter(v, ct);
        if (step == Step::NoMemory) return nullptr;
        if (step == Step::Stop) break;
    }

    release.dismiss();
    if (consumed) *consumed = static_cast<int>(total);
    return ct;
}

tMMS_ContentType *GetContentTypeValue(WspCursor &c, int *consumed) {
    if (c.p >= c.end) {
        c.cut();
        return nullptr;
    }
    const uint8_t first = *c.p;
    if (first < 0x20) {
        // General form: read from a copy; the caller steps over *consumed.
        WspCursor value{};
        long total = 0;
        if (!general_form_region(c, &value, &total)) {
            c.cut();
            return nullptr;
        }
        return GetContentGeneralForm(c, consumed);
    }

    auto *ct = qx::alloc_rec<tMMS_ContentType>();
    if (!ct) return nullptr;
    if (first >= 0x80) {
        const int code = first & 0x7F;
        if (!table_entry(code).empty()) {
            ct->Content_Type = GetContentTypeName(code);
            if (!ct->Content_Type) {
                FreeContentTypeValue(ct);
                return nullptr;
            }
        }
        ++c.p;
        if (consumed) *consumed = 1;
        return ct;
    }
    int n = 0;
    ct->Content_Type = GetTextString(c, &n);
    if (!ct->Content_Type) {
        FreeContentTypeValue(ct);
        return nullptr;
    }
    if (consumed) *consumed = n + 1;
    return ct;
}

bool IsMultipartContentType(const char *type) {
    if (!type) return true;  // a well-known code the table does not hold
    constexpr std::string_view kMultipart = "multipart/";
    constexpr std::string_view kWapMultipart = "application/vnd.wap.multipart.";
    const auto *t = reinterpret_cast<const uint8_t *>(type);
    const uint8_t *end = t + std::strlen(type);
    return match_word(t, end, kMultipart) || match_word(t, end, kWapMultipart);
}

Got ReadDispositionName(WspCursor &c, char **name) {
    *name = nullptr;
    if (c.p >= c.end) {
        c.cut();
        return Got::Incomplete;
    }
    if (*c.p >= 0x80) {  // the disposition alone
        ++c.p;
        return Got::None;
    }
    if (*c.p >= 0x20) {
        // The text form, as in a mail header: attachment; filename="a.jpg"
        int n = 0;
        char *text = GetTextString(c, &n);
        if (!text) return c.truncated ? Got::Incomplete : Got::NoMemory;
        const bool ok = filename_in_text(text, name);
        qx::free_ptr(text);
        if (!ok) return Got::NoMemory;
        if (*name && !**name) qx::free_ptr(*name);
        return *name ? Got::Value : Got::None;
    }
    WspCursor v{};
    if (GetLengthRegion(c, &v) != Got::Value) {
        c.cut();
        return Got::Incomplete;
    }
    // The disposition (a short integer or a token), then its parameters.
    if (v.p < v.end && *v.p >= 0x80)
        ++v.p;
    else if (!SkipText(v))
        return Got::None;
    tMMS_ContentType params{};
    while (v.p < v.end) {
        const Step step = read_parameter(v, &params, NameFirst::Filename);
        if (step == Step::NoMemory) {
            qx::free_ptr(params.Name_Param);
            qx::free_ptr(params.Fwd_Param);
            return Got::NoMemory;
        }
        if (step == Step::Stop) break;
    }
    qx::free_ptr(params.Fwd_Param);
    if (params.Name_Param && !params.Name_Param[0]) qx::free_ptr(params.Name_Param);  // an empty name names nothing
    *name = params.Name_Param;
    return *name ? Got::Value : Got::None;
}
