// Message-Type detection and the decoders of the PDUs that the library only
// writes (m-notifyresp-ind, m-acknowledge-ind, the forward request) or never
// meets (m-delivery-ind, read reports). They are built from the library's
// WSP readers and fill the records of rorodire.h; every read stays inside the
// given length.
#include <cstdio>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "rorodire_tool.h"

namespace rrtool {

namespace {

constexpr uint8_t kReadStatusField = 0x9B;  // X-Mms-Read-Status

// Steps over one field value by its WSP encoding: a short length (0..30) or
// 31 and a uintvar, then that many bytes; a text up to its zero byte; or one
// short-integer byte.
bool skip_value(WspCursor &c) {
    if (c.left() <= 0) return false;
    const uint8_t b = *c.p;
    if (b <= 30) {
        if (c.left() < 1 + static_cast<long>(b)) return false;
        c.p += 1 + b;
        return true;
    }
    if (b == 31) {
        ++c.p;
        const uint32_t n = GetUintvar(c);
        if (c.truncated || n > static_cast<uint32_t>(c.left())) return false;
        c.p += n;
        return true;
    }
    if (b < 0x80) {
        const void *z = std::memchr(c.p, 0, static_cast<size_t>(c.left()));
        if (!z) return false;
        c.p = static_cast<const uint8_t *>(z) + 1;
        return true;
    }
    ++c.p;
    return true;
}

// Steps over the text name of an application header (up to its zero byte).
bool skip_text(WspCursor &c) {
    const void *z = std::memchr(c.p, 0, static_cast<size_t>(c.left()));
    if (!z) return false;
    c.p = static_cast<const uint8_t *>(z) + 1;
    return true;
}

std::string hex_byte(unsigned b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b & 0xFFu);
    return buf;
}

// What a field handler did with the value at the cursor.
enum class Step {
    Done,  // read; the cursor is past the value
    Skip,  // not for this record (or a form it does not keep): step over it
    Bad,   // the value does not decode
};

// Replaces an owned text of a record.
void set_text(char *&field, char *text) {
    qx::free_ptr(field);
    field = text;
}

// Appends an address to a ";"-separated list (the list grows by one entry).
bool append_address(char *&list, char *addr) {
    if (!list) {
        list = addr;
        return true;
    }
    const int a = fnQX_STRLEN(list);
    const int b = fnQX_STRLEN(addr);
    char *joined = static_cast<char *>(fnQX_Malloc(a + b + 2));
    if (!joined) {
        qx::free_ptr(addr);
        return false;
    }
    std::memcpy(joined, list, static_cast<size_t>(a));
    joined[a] = ';';
    std::memcpy(joined + a + 1, addr, static_cast<size_t>(b));
    qx::free_ptr(list);
    qx::free_ptr(addr);
    list = joined;
    return true;
}

Step read_byte(WspCursor &c, uint8_t &out) {
    if (c.left() < 1) return Step::Bad;
    if (*c.p < 0x80) return Step::Skip;  // not a short-integer token
    out = *c.p++;
    return Step::Done;
}

// Yes (0x80) and No (0x81) into a flag; other tokens leave it.
Step read_flag(WspCursor &c, int &out) {
    if (c.left() < 1) return Step::Bad;
    if (*c.p < 0x80) return Step::Skip;
    if (*c.p == 0x80) out = 1;
    if (*c.p == 0x81) out = 0;
    ++c.p;
    return Step::Done;
}

Step read_quoted_text(WspCursor &c, char *&out) {
    if (c.left() < 1 || *c.p < 0x20) return c.left() < 1 ? Step::Bad : Step::Skip;
    int n = 0;
    char *t = GetQuoteTextString(c, &n);
    if (!t) return Step::Bad;
    set_text(out, t);
    return Step::Done;
}

// Integer-value: a short integer (one byte with the high bit) or a
// Long-integer (its length 1..30, then the bytes).
Step read_integer(WspCursor &c, int &out) {
    if (c.left() < 1) return Step::Bad;
    const uint8_t b = *c.p;
    if (b >= 0x80) {
        out = b & 0x7F;
        ++c.p;
        return Step::Done;
    }
    if (b == 0 || b > 30 || c.left() < 1 + static_cast<long>(b)) return Step::Bad;
    out = static_cast<int>(GetLongInteger(c));
    c.p += 1 + b;
    return Step::Done;
}

// An address: a plain text, or an Encoded-string-value with a charset, whose
// "/TYPE=..." suffix is dropped unless it is an e-mail address.
char *read_address(WspCursor &c) {
    if (c.left() < 1) return nullptr;
    int n = 0;
    if (*c.p > 0x1F) return GetAddressValue(c, &n);
    char *t = GetEncodedStringValue(c, &n);
    if (t && !std::strchr(t, '@')) {
        if (char *slash = std::strchr(t, '/')) *slash = '\0';
    }
    return t;
}

Step read_address_list(WspCursor &c, char *&list) {
    char *a = read_address(c);
    if (!a) return Step::Bad;
    return append_address(list, a) ? Step::Done : Step::Bad;
}

// A Value-length and the sub-cursor over exactly that many bytes; the outer
// cursor moves past the whole value.
bool read_length_value(WspCursor &c, WspCursor &inner) {
    if (c.left() < 1 || *c.p > 31) return false;
    const uint32_t n = GetLengthValue(c);
    if (c.truncated || n > static_cast<uint32_t>(c.left())) return false;
    inner = WspCursor{c.p, c.p + n, false};
    c.p += n;
    return true;
}

// Expiry / Delivery-Time: Value-length, Absolute (0x80) or Relative (0x81)
// token, then the date or the delta seconds.
Step read_time(WspCursor &c, unsigned char &relative, int &value) {
    WspCursor v{};
    if (!read_length_value(c, v) || v.left() < 2) return Step::Bad;
    const uint8_t token = *v.p++;
    if (token != MMS_ABSOLUTE_TOKEN && token != MMS_RELATIVE_TOKEN) return Step::Bad;
    int n = 0;
    if (read_integer(v, n) != Step::Done) return Step::Bad;
    relative = token == MMS_RELATIVE_TOKEN ? 1 : 0;
    value = n;
    return Step::Done;
}

// From: Value-length, then the Address-present token and the address, or the
// Insert-address token (the field then stays null).
Step read_from(WspCursor &c, char *&from) {
    WspCursor v{};
    if (!read_length_value(c, v) || v.left() < 1) return Step::Bad;
    const uint8_t token = *v.p++;
    if (token != MMS_ADDRESS_PRESENT_TOKEN) return Step::Done;
    char *a = read_address(v);
    if (!a) return Step::Bad;
    set_text(from, a);
    return Step::Done;
}

// Walks the header fields of a PDU that carries no body, giving each to the
// handler; application headers and the fields the handler skips are stepped
// over by their WSP encoding. The Message-Type must be `type`.
template <typename Handler>
bool walk_fields(const uint8_t *pdu, int len, uint8_t type, std::string *why, Handler &&handle) {
    if (!pdu || len <= 0) {
        *why = "empty PDU";
        return false;
    }
    WspCursor c = wsp_cursor(pdu, len);
    bool type_seen = false;
    while (c.left() > 0) {
        const uint8_t *field = c.p;
        const uint8_t code = *c.p;
        if (code < 0x80) {
            if (!skip_text(c) || !skip_value(c)) {
                *why = "application header at offset " + std::to_string(field - pdu) + " runs past the end";
                return false;
            }
            continue;
        }
        ++c.p;
        if (code == MMS_MESSAGE_TYPE_FIELD) {
            if (c.left() < 1 || *c.p != type) {
                *why = c.left() < 1 ? "Message-Type field without a value"
                                    : "Message-Type " + hex_byte(*c.p) + " where " + hex_byte(type) + " was expected";
                return false;
            }
            type_seen = true;
        }
        if (code == MMS_CONTENT_TYPE_FIELD) {
            *why = "unexpected Content-Type field (this PDU carries no body)";
            return false;
        }
        const uint8_t *value = c.p;
        Step s = handle(code, c);
        if (s == Step::Skip) {
            c.p = value;
            c.truncated = false;
            s = skip_value(c) ? Step::Done : Step::Bad;
        }
        if (s == Step::Bad || c.truncated) {
            *why = "field " + hex_byte(code) + " at offset " + std::to_string(field - pdu) + " does not decode";
            return false;
        }
    }
    if (!type_seen) {
        *why = "no Message-Type field";
        return false;
    }
    return true;
}

// Allocates the record, runs the walker and releases the record on failure.
template <typename Rec, typename Handler>
Rec *decode_record(int struct_code, const uint8_t *pdu, int len, uint8_t type, std::string *why, Handler &&handle) {
    auto *rec = static_cast<Rec *>(fnMMS_AllocMessageMem(struct_code));
    if (!rec) {
        *why = "out of memory";
        return nullptr;
    }
    if (!walk_fields(pdu, len, type, why, [&](uint8_t code, WspCursor &c) { return handle(*rec, code, c); })) {
        fnMMS_FreeMessageMem(rec, struct_code);
        return nullptr;
    }
    return rec;
}

bool require_text(const char *text, const char *field, std::string *why) {
    if (text && *text) return true;
    *why = std::string("no ") + field;
    return false;
}

}  // namespace

// ---------------------------------------------------------------- Message-Type

int find_message_type(const uint8_t *pdu, size_t len) {
    if (!pdu || len == 0) return -1;
    WspCursor c{pdu, pdu + len, false};
    while (c.left() > 0) {
        const uint8_t code = *c.p;
        if (code == MMS_MESSAGE_TYPE_FIELD) return c.left() >= 2 ? c.p[1] : -1;
        if (code == MMS_CONTENT_TYPE_FIELD) return -1;  // the body follows
        if (code < 0x80) {
            if (!skip_text(c)) return -1;
        } else {
            ++c.p;
        }
        if (!skip_value(c)) return -1;
    }
    return -1;
}

const char *message_type_name(int code) {
    static constexpr const char *kNames[] = {
        "m-send-req",         "m-send-conf",       "m-notification-ind", "m-notifyresp-ind",
        "m-retrieve-conf",    "m-acknowledge-ind", "m-delivery-ind",     "m-read-rec-ind",
        "m-read-orig-ind",    "m-forward-req",     "m-forward-conf",     "m-mbox-store-req",
        "m-mbox-store-conf",  "m-mbox-view-req",   "m-mbox-view-conf",   "m-mbox-upload-req",
        "m-mbox-upload-conf", "m-mbox-delete-req", "m-mbox-delete-conf", "m-mbox-descr",
        "m-delete-req",       "m-delete-conf",     "m-cancel-req",       "m-cancel-conf",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == 0x98 - 0x80);
    if (code < 0x80 || code >= 0x98) return nullptr;
    return kNames[code - 0x80];
}

// ---------------------------------------------------------------- decoders

tMMS_NotifyRespInd *decode_notifyresp_ind(const uint8_t *pdu, int len, std::string *why) {
    auto *r = decode_record<tMMS_NotifyRespInd>(
        MMS_STRUCT_NOTIFYRESP_IND, pdu, len, MMS_M_NOTIFYRESP_IND, why,
        [](tMMS_NotifyRespInd &rec, uint8_t code, WspCursor &c) {
            switch (code) {
                case MMS_MESSAGE_TYPE_FIELD: return read_byte(c, rec.Message_Type);
                case MMS_VERSION_FIELD: return read_byte(c, rec.MMS_Version);
                case MMS_STATUS_FIELD: return read_byte(c, rec.Status);
                case MMS_REPORT_ALLOWED_FIELD: return read_byte(c, rec.Report_Allowed);
                case MMS_TRANSACTION_ID_FIELD: return read_quoted_text(c, rec.Transaction_Id);
                default: return Step::Skip;
            }
        });
    if (r && !require_text(r->Transaction_Id, "Transaction-Id", why)) {
        fnMMS_FreeMessageMem(r, MMS_STRUCT_NOTIFYRESP_IND);
        return nullptr;
    }
    return r;
}

tMMS_AcknowledgeInd *decode_acknowledge_ind(const uint8_t *pdu, int len, std::string *why) {
    auto *r = decode_record<tMMS_AcknowledgeInd>(
        MMS_STRUCT_ACKNOWLEDGE_IND, pdu, len, MMS_M_ACKNOWLEDGE_IND, why,
        [](tMMS_AcknowledgeInd &rec, uint8_t code, WspCursor &c) {
            switch (code) {
                case MMS_MESSAGE_TYPE_FIELD: return read_byte(c, rec.Message_Type);
                case MMS_VERSION_FIELD: return read_byte(c, rec.MMS_Version);
                case MMS_REPORT_ALLOWED_FIELD: return read_byte(c, rec.Report_Allowed);
                case MMS_TRANSACTION_ID_FIELD: return read_quoted_text(c, rec.Transaction_Id);
                default: return Step::Skip;
            }
        });
    if (r && !require_text(r->Transaction_Id, "Transaction-Id", why)) {
        fnMMS_FreeMessageMem(r, MMS_STRUCT_ACKNOWLEDGE_IND);
        return nullptr;
    }
    return r;
}

tMMS_DeliveryInd *decode_delivery_ind(const uint8_t *pdu, int len, std::string *why) {
    auto *r = decode_record<tMMS_DeliveryInd>(
        MMS_STRUCT_DELIVERY_IND, pdu, len, 0x86, why, [](tMMS_DeliveryInd &rec, uint8_t code, WspCursor &c) {
            switch (code) {
                case MMS_STATUS_FIELD: return read_byte(c, rec.Status);
                case MMS_MESSAGE_ID_FIELD: return read_quoted_text(c, rec.Message_Id);
                case MMS_TO_FIELD: return read_address_list(c, rec.To);
                case MMS_DATE_FIELD: return read_integer(c, rec.Date);
                default: return Step::Skip;
            }
        });
    if (r && !require_text(r->Message_Id, "Message-ID", why)) {
        fnMMS_FreeMessageMem(r, MMS_STRUCT_DELIVERY_IND);
        return nullptr;
    }
    return r;
}

tMMS_FwdReq *decode_forward_req(const uint8_t *pdu, int len, std::string *why) {
    auto *r = decode_record<tMMS_FwdReq>(
        MMS_STRUCT_FWD_REQ, pdu, len, MMS_M_FORWARD_REQ, why, [](tMMS_FwdReq &rec, uint8_t code, WspCursor &c) {
            switch (code) {
                case MMS_TRANSACTION_ID_FIELD: return read_quoted_text(c, rec.Transaction_Id);
                case MMS_TO_FIELD: return read_address_list(c, rec.To);
                case MMS_CC_FIELD: return read_address_list(c, rec.Cc);
                case MMS_BCC_FIELD: return read_address_list(c, rec.Bcc);
                case MMS_CONTENT_LOCATION_FIELD: return read_quoted_text(c, rec.Content_Location);
                case MMS_DATE_FIELD: return read_integer(c, rec.Date);
                case MMS_EXPIRY_FIELD: return read_time(c, rec.Expiry_Relative, rec.Expiry);
                case MMS_DELIVERY_TIME_FIELD: return read_time(c, rec.Delivery_Time_Relative, rec.Delivery_Time);
                case MMS_DELIVERY_REPORT_FIELD: return read_flag(c, rec.Delivery_Report);
                case MMS_READ_REPLY_FIELD: return read_flag(c, rec.Read_Reply);
                default: return Step::Skip;  // From is always "insert address"
            }
        });
    if (r && (!require_text(r->Transaction_Id, "Transaction-Id", why) ||
              !require_text(r->Content_Location, "Content-Location", why))) {
        fnMMS_FreeMessageMem(r, MMS_STRUCT_FWD_REQ);
        return nullptr;
    }
    return r;
}

namespace {

// m-read-rec-ind and m-read-orig-ind carry the same fields.
template <typename Rec>
Rec *decode_read_report(int struct_code, uint8_t type, const uint8_t *pdu, int len, std::string *why) {
    auto *r = decode_record<Rec>(struct_code, pdu, len, type, why, [](Rec &rec, uint8_t code, WspCursor &c) {
        switch (code) {
            case MMS_MESSAGE_ID_FIELD: return read_quoted_text(c, rec.Message_Id);
            case MMS_TO_FIELD: return read_address_list(c, rec.To);
            case MMS_FROM_FIELD: return read_from(c, rec.From);
            case MMS_DATE_FIELD: return read_integer(c, rec.Date);
            case kReadStatusField: return read_byte(c, rec.Read_Status);
            default: return Step::Skip;
        }
    });
    if (r && !require_text(r->Message_Id, "Message-ID", why)) {
        fnMMS_FreeMessageMem(r, struct_code);
        return nullptr;
    }
    return r;
}

}  // namespace

tMMS_ReadRecInd *decode_read_rec_ind(const uint8_t *pdu, int len, std::string *why) {
    return decode_read_report<tMMS_ReadRecInd>(MMS_STRUCT_READ_REC_IND, 0x87, pdu, len, why);
}

tMMS_ReadOrigInd *decode_read_orig_ind(const uint8_t *pdu, int len, std::string *why) {
    return decode_read_report<tMMS_ReadOrigInd>(MMS_STRUCT_READ_ORIG_IND, 0x88, pdu, len, why);
}

}  // namespace rrtool
