// The service's view of PDUs: the WAP push around a notification or report,
// what a stored message shows (each part's place inside the stored file, or
// its decoded bytes when it came transfer-encoded), and composing what a
// client sends. Everything is read with the library's own decoders and WSP
// reader and written with its composer and encoders.
#include "pdu.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "errors.h"
#include "rr_slides.h"

namespace rrd {
namespace {

constexpr uint8_t kWspPush = 0x06, kWspConfirmedPush = 0x07;
constexpr int kMmsMessageTypeCode = 0x3E;  // application/vnd.wap.mms-message
constexpr char kMmsMessageType[] = "application/vnd.wap.mms-message";

// What a view keeps of a message's texts (the stored PDU keeps everything).
constexpr size_t kSubjectMax = 4096;
constexpr size_t kSmilMax = 65536;
constexpr size_t kNameMax = 256;
constexpr size_t kAddressMax = 256;
constexpr size_t kMaxListedAddresses = 1000;

std::optional<std::string> clean_opt(const char *s, size_t maxBytes) {
    if (!s || !*s) return std::nullopt;
    return clean_text(s, std::strlen(s), maxBytes);
}

// Addresses of a To/Cc/Bcc list ("a;b"), each without its "/TYPE=..." suffix.
void add_addresses(const char *list, std::vector<std::string> *out) {
    if (!list) return;
    const char *p = list;
    while (*p && out->size() < kMaxListedAddresses) {
        const char *end = std::strchr(p, ';');
        const size_t n = end ? static_cast<size_t>(end - p) : std::strlen(p);
        std::string a(p, n);
        const size_t type = a.find("/TYPE=");
        if (type != std::string::npos) a.erase(type);
        while (!a.empty() && a.front() == ' ') a.erase(0, 1);
        while (!a.empty() && a.back() == ' ') a.pop_back();
        if (!a.empty()) out->push_back(clean_text(a.data(), a.size(), kAddressMax));
        if (!end) break;
        p = end + 1;
    }
}

const char *charset_name(int charset) {
    switch (charset) {
        case MMS_CHARSET_UTF8: return "utf-8";
        case MMS_CHARSET_US_ASCII: return "us-ascii";
        case MMS_CHARSET_ISO_8859_1: return "iso-8859-1";
        case MMS_CHARSET_UCS2: return "iso-10646-ucs-2";
        case MMS_CHARSET_UTF16: return "utf-16";
        default: return nullptr;
    }
}

// The content type's own well-known code at the cursor (short or general
// form), or -1 when it is given as text.
int content_type_code(const WspCursor &c) {
    if (c.p >= c.end) return -1;
    if (*c.p >= 0x80) return *c.p & 0x7F;
    if (*c.p >= 0x20) return -1;
    WspCursor t{c.p, c.end, false}, value{};
    if (GetLengthRegion(t, &value) != Got::Value || value.p >= value.end || *value.p < 0x80) return -1;
    return *value.p & 0x7F;
}

// A PDU's date field as seconds since 1970: the decoders keep the 32-bit
// unsigned value in an int, so dates from 2038 to 2106 come back whole.
int64_t date_of(uint32_t field) { return static_cast<int64_t>(field); }

// Whether a multipart body holds every entry it announces, each whole (the
// body decoder takes what is there; a stored PDU cut short must not pass as
// a message with fewer parts).
bool body_is_whole(const uint8_t *body, int bodyLen) {
    WspCursor c = wsp_cursor(body + 1, bodyLen - 1);
    WspCursor t = c;
    int consumed = 0;
    tMMS_ContentType *ct = GetContentTypeValue(t, &consumed);
    if (!ct) return false;
    const bool multipart = ct->Content_Type && IsMultipartContentType(ct->Content_Type);
    FreeContentTypeValue(ct);
    if (!multipart) return true;
    if (consumed <= 0 || consumed > c.left()) return false;
    c.p += consumed;
    uint32_t count = GetUintvar(c);
    while (count-- > 0) {
        const uint32_t hl = GetUintvar(c);
        const uint32_t dl = GetUintvar(c);
        if (c.truncated || static_cast<uint64_t>(hl) + dl > static_cast<uint64_t>(c.left())) return false;
        c.p += hl + dl;
    }
    return !c.truncated;
}

// The message's parts from its body (the Content-Type field to the end of
// the PDU). Parts lying in the PDU get their offsets there; when any part
// came transfer-encoded, every part's bytes (decoded) go one after the other
// into one file of parts, and the offsets are in that file.
// False when the body is cut short.
bool parts_of_body(const uint8_t *pdu, int len, int bodyLen, View *v, std::vector<std::vector<uint8_t>> *decoded) {
    if (bodyLen <= 0 || bodyLen > len) return true;
    const size_t bodyStart = static_cast<size_t>(len - bodyLen);
    const uint8_t *body = pdu + bodyStart;
    if (!body_is_whole(body, bodyLen)) return false;
    mmresstruct *b = fnMMS_DecodeBody(body, bodyLen);
    if (!b) return false;
    if (b->Smil && b->Smil->Data && b->Smil->Data_Len > 0)
        v->smil = clean_text(reinterpret_cast<const char *>(b->Smil->Data), static_cast<size_t>(b->Smil->Data_Len), kSmilMax);
    // A message with any transfer-encoded part shows all its parts from one
    // file of decoded bytes (apps read every attachment from the file the
    // first one names, at each one's offset).
    bool anyDecoded = false;
    for (const tMMS_Element *e = b->Parts; e; e = e->next)
        anyDecoded = anyDecoded || (e->Data && e->Data_Len > 0 && e->Decoded_Data);
    std::vector<uint8_t> *parts = nullptr;
    if (anyDecoded && decoded) parts = &decoded->emplace_back();
    uint64_t partsOffset = 0;
    int n = 0;
    for (const tMMS_Element *e = b->Parts; e; e = e->next, ++n) {
        if (!e->Data || e->Data_Len <= 0) continue;
        Attachment a;
        if (e->Content_Id && *e->Content_Id) {
            a.id = "<" + clean_text(e->Content_Id, std::strlen(e->Content_Id), kNameMax) + ">";
        } else {
            const char *name = e->File_Name && *e->File_Name ? e->File_Name
                               : e->Name_Param && *e->Name_Param ? e->Name_Param : nullptr;
            a.id = name ? clean_text(name, std::strlen(name), kNameMax) : "part" + std::to_string(n);
        }
        a.contentType = e->Content_Type ? clean_text(e->Content_Type, std::strlen(e->Content_Type), kNameMax)
                                        : "application/octet-stream";
        if (e->Has_Charset)
            if (const char *cs = charset_name(e->Charset)) a.contentType += std::string(";charset=") + cs;
        a.length = static_cast<uint64_t>(e->Data_Len);
        if (anyDecoded) {
            // Decoded (from base64 or quoted-printable) or not, the part's
            // bytes follow the previous part's in the file of parts.
            a.partFile = Attachment::kPartsFile;
            a.offset = partsOffset;
            partsOffset += a.length;
            if (parts) parts->insert(parts->end(), e->Data, e->Data + e->Data_Len);
        } else {
            // Data points into the body, which lies inside the PDU.
            a.offset = static_cast<uint64_t>(bodyStart) + static_cast<uint64_t>(e->Data - body);
        }
        v->attachments.push_back(std::move(a));
    }
    fnMMS_FreeDecodedBody(b);
    return true;
}

// A part's name for the message: letters, digits and "._-@+~" only (the
// composer writes it into the presentation as it is), at most 40 bytes.
std::string part_name(const std::string &id, size_t index) {
    std::string n;
    for (char c : id) {
        if (n.size() >= 40) break;
        if (c == '<' || c == '>') continue;
        n += (g_ascii_isalnum(c) || std::strchr("._-@+~", c)) ? c : '_';
    }
    if (n.empty() || n[0] == '.') n = "part" + std::to_string(index) + n;
    return n;
}

// With the client's own presentation the id stays as it was given (the
// presentation refers to it) when it is a plain printable text; angle
// brackets around a Content-ID are dropped.
std::string id_name(const std::string &given, size_t index) {
    std::string id = given;
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    bool plain = !id.empty() && id.size() <= 100;
    for (char c : id)
        plain = plain && static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7F && c != '<' && c != '>';
    return plain ? id : part_name(id, index);
}

std::string media_type(const std::string &ct) {
    std::string t = ct.substr(0, ct.find(';'));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    gchar *l = g_ascii_strdown(t.c_str(), -1);
    t = l;
    g_free(l);
    return t;
}

std::vector<uint8_t> take_pdu(uint8_t *p, int len) {
    std::vector<uint8_t> out;
    if (p && len > 0) out.assign(p, p + len);
    fnQX_Free(reinterpret_cast<void **>(&p));
    return out;
}

PushKind kind_of_type(int type) {
    switch (type) {
        case MMS_M_NOTIFICATION_IND: return PushKind::Notification;
        case MMS_M_DELIVERY_IND: return PushKind::DeliveryInd;
        case MMS_M_READ_ORIG_IND: return PushKind::ReadOrigInd;
        default: return PushKind::Other;
    }
}

const char *delivery_word(uint8_t status) {
    switch (status) {
        case 0x80: return "expired";
        case 0x81: return "retrieved";
        case 0x82: return "rejected";
        case 0x83: return "deferred";
        case 0x84: return "unrecognised";
        case 0x85: return "indeterminate";
        case 0x86: return "forwarded";
        case 0x87: return "unreachable";
        default: return nullptr;
    }
}

std::string address_of(const char *a) {
    std::vector<std::string> one;
    add_addresses(a, &one);
    return one.empty() ? std::string() : one.front();
}

// The multipart body of a client's message: its presentation or none
// (multipart/mixed), the parts under the names given.
std::vector<uint8_t> encode_body(const OutMessage &m, const std::vector<std::string> &names, std::string *errorName,
                                 std::string *why) {
    std::vector<std::string> types;
    for (const OutPart &p : m.parts) types.push_back(media_type(p.contentType));
    std::vector<tMMS_Element> el(m.parts.size());
    for (size_t i = 0; i < el.size(); ++i) {
        el[i].File_Name = const_cast<char *>(names[i].c_str());
        el[i].Content_Type = types[i].data();
        el[i].Data = const_cast<uint8_t *>(m.parts[i].data.data());
        el[i].Data_Len = static_cast<int>(m.parts[i].data.size());
        if (types[i] == "text/plain") {
            el[i].Charset = MMS_CHARSET_UTF8;
            el[i].Has_Charset = 1;
        }
        el[i].next = i + 1 < el.size() ? &el[i + 1] : nullptr;
    }
    std::string smilType = "application/smil";
    std::string smilText = m.smil.value_or("");
    smilstruct smil{smilType.data(), reinterpret_cast<uint8_t *>(smilText.data()), static_cast<int>(smilText.size())};
    mmresstruct body{m.smil ? &smil : nullptr, el.empty() ? nullptr : el.data(), 0};
    int bodyLen = 0;
    uint8_t *bytes = fnMMS_EncodeBody(&body, &bodyLen);
    if (!bytes) {
        *errorName = kUnsupportedMessage;
        *why = "the body cannot be encoded";
        return {};
    }
    return take_pdu(bytes, bodyLen);
}

}  // namespace

std::string clean_text(const char *s, size_t n, size_t maxBytes) {
    std::string t(s, n);
    t.erase(std::remove(t.begin(), t.end(), '\0'), t.end());
    gchar *v = g_utf8_make_valid(t.c_str(), static_cast<gssize>(t.size()));
    std::string out = v;
    g_free(v);
    if (out.size() > maxBytes) {
        // Cut at a character boundary: never inside a UTF-8 sequence.
        size_t cut = maxBytes;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

std::vector<uint8_t> pdu_of_push(const std::vector<uint8_t> &push, PushKind *kind, std::string *why) {
    *kind = PushKind::Other;
    const int len = static_cast<int>(push.size());
    if (push.empty() || push.size() > (1u << 24)) {
        *why = push.empty() ? "empty push" : "the push is too large";
        return {};
    }
    if (push[0] == MMS_MESSAGE_TYPE_FIELD) {
        *kind = kind_of_type(fnMMS_FindMessageType(push.data(), len));
        if (*kind == PushKind::Other) {
            *why = "the PDU is neither a notification nor a report";
            return {};
        }
        return push;
    }
    // Transaction id and PDU type, or the PDU type alone.
    WspCursor c = wsp_cursor(push.data(), len);
    if (len >= 2 && (push[1] == kWspPush || push[1] == kWspConfirmedPush))
        c.p += 2;
    else if (push[0] == kWspPush || push[0] == kWspConfirmedPush)
        c.p += 1;
    else {
        *why = "neither a WAP push nor an MMS PDU";
        return {};
    }
    const uint32_t headersLen = GetUintvar(c);
    WspCursor headers{};
    if (c.truncated || !TakeRegion(c, headersLen, &headers)) {
        *why = "the push headers run past the end";
        return {};
    }
    const int code = content_type_code(headers);
    int consumed = 0;
    tMMS_ContentType *ct = GetContentTypeValue(headers, &consumed);
    const bool mms = code == kMmsMessageTypeCode ||
                     (ct && ct->Content_Type && g_ascii_strcasecmp(ct->Content_Type, kMmsMessageType) == 0);
    FreeContentTypeValue(ct);
    if (!mms) {
        *why = "the push does not carry application/vnd.wap.mms-message";
        return {};
    }
    std::vector<uint8_t> pdu(c.p, c.end);
    if (!pdu.empty()) *kind = kind_of_type(fnMMS_FindMessageType(pdu.data(), static_cast<int>(pdu.size())));
    if (*kind == PushKind::Other) {
        *why = "the push holds neither a notification nor a report";
        return {};
    }
    return pdu;
}

bool notification_of_ind(const std::vector<uint8_t> &ind, Notification *n, std::string *why) {
    tCPS_PduBuf buf{const_cast<uint8_t *>(ind.data()), static_cast<int>(ind.size())};
    tMMS_NotifyInd *r = ind.empty() ? nullptr : fnCPS_ParseMMSNotification(&buf);
    if (!r) {
        *why = "the notification does not decode";
        return false;
    }
    *n = Notification{};
    if (r->Content_Location) n->location.assign(r->Content_Location);
    if (r->From) n->from = address_of(r->From);
    if (r->Subject) n->subject = clean_text(r->Subject, std::strlen(r->Subject), kSubjectMax);
    if (r->Transaction_Id) n->transactionId = clean_text(r->Transaction_Id, std::strlen(r->Transaction_Id), kNameMax);
    if (r->Expiry != 0) {
        if (r->Expiry_Token == 0x81)
            n->expiryRelative = date_of(static_cast<uint32_t>(r->Expiry));
        else
            n->expiry = date_of(static_cast<uint32_t>(r->Expiry));
    }
    n->size = r->Message_Size > 0 ? static_cast<uint64_t>(r->Message_Size) : 0;
    fnMMS_FreeMessageMem(r, MMS_STRUCT_MMS_NOTIFICATION_IND);
    if (n->location.empty()) {
        *why = "the notification names no Content-Location";
        return false;
    }
    return true;
}

bool report_of_pdu(const std::vector<uint8_t> &pdu, PushKind kind, Report *r, std::string *why) {
    const int len = static_cast<int>(pdu.size());
    *r = Report{};
    if (kind == PushKind::DeliveryInd) {
        tMMS_DeliveryInd *d = pdu.empty() ? nullptr : fnMMS_ParseDeliveryInd(pdu.data(), len);
        if (!d) {
            *why = "the delivery report does not decode";
            return false;
        }
        r->kind = Report::Kind::Delivery;
        if (d->Message_Id) r->messageId = clean_text(d->Message_Id, std::strlen(d->Message_Id), kNameMax);
        r->recipient = address_of(d->To);
        const char *w = delivery_word(d->Status);
        r->status = w ? w : "indeterminate";
        fnMMS_FreeMessageMem(d, MMS_STRUCT_DELIVERY_IND);
    } else if (kind == PushKind::ReadOrigInd) {
        tMMS_ReadOrigInd *o = pdu.empty() ? nullptr : fnMMS_ParseReadOrigInd(pdu.data(), len);
        if (!o) {
            *why = "the read report does not decode";
            return false;
        }
        r->kind = Report::Kind::Read;
        if (o->Message_Id) r->messageId = clean_text(o->Message_Id, std::strlen(o->Message_Id), kNameMax);
        r->recipient = address_of(o->From);  // the reader sends it
        const int readStatus = o->Read_Status;
        fnMMS_FreeMessageMem(o, MMS_STRUCT_READ_ORIG_IND);
        if (readStatus != 0x80 && readStatus != 0x81) {
            *why = "the read report's Read-Status is neither read nor deleted";
            return false;
        }
        r->status = readStatus == 0x81 ? "deleted" : "read";
    } else {
        *why = "not a report";
        return false;
    }
    if (r->messageId.empty()) {
        *why = "the report names no Message-ID";
        return false;
    }
    if (r->recipient.empty()) {
        *why = "the report names no recipient";
        return false;
    }
    return true;
}

bool view_of_pdu(const std::vector<uint8_t> &pdu, View *v, std::vector<std::vector<uint8_t>> *decodedParts) {
    const int len = static_cast<int>(pdu.size());
    if (len <= 0 || pdu.size() > (64u << 20)) return false;
    *v = View{};
    if (decodedParts) decodedParts->clear();
    const int type = fnMMS_FindMessageType(pdu.data(), len);
    if (type == MMS_M_RETRIEVE_CONF) {
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), len);
        if (!r) return false;
        v->subject = clean_opt(r->Subject, kSubjectMax);
        if (r->From) v->sender = address_of(r->From);
        add_addresses(r->To, &v->recipients);
        add_addresses(r->Cc, &v->recipients);
        v->date = date_of(r->Date);
        v->deliveryReport = r->Delivery_Report == 1;
        v->readReply = r->Read_Reply == 1;
        if (r->Message_Id) v->messageId = clean_text(r->Message_Id, std::strlen(r->Message_Id), kNameMax);
        if (r->Transaction_Id) v->transactionId = clean_text(r->Transaction_Id, std::strlen(r->Transaction_Id), kNameMax);
        const bool whole = parts_of_body(pdu.data(), len, r->body ? r->Content_Size : 0, v, decodedParts);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        return whole;
    }
    if (type == MMS_M_SEND_REQ) {
        tMMS_SendReq *s = fnMMS_ParseSendContent(pdu.data(), len);
        if (!s) return false;
        v->subject = clean_opt(s->Subject, kSubjectMax);
        add_addresses(s->To, &v->recipients);
        add_addresses(s->Cc, &v->recipients);
        add_addresses(s->Bcc, &v->recipients);
        v->date = date_of(s->Date);
        v->deliveryReport = s->Delivery_Report == 1;
        v->readReply = s->Read_Reply == 1;
        if (s->Transaction_Id) v->transactionId = clean_text(s->Transaction_Id, std::strlen(s->Transaction_Id), kNameMax);
        const bool whole = parts_of_body(pdu.data(), len, s->ContentTypeAndBody ? s->Body_Len : 0, v, decodedParts);
        fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
        return whole;
    }
    return false;
}

namespace {

// A refused message: its error name and text, and no PDU.
std::vector<uint8_t> refused(std::string *errorName, std::string *why, const char *name, const std::string &text) {
    *errorName = name;
    *why = text;
    return {};
}

// The parts' names, kept apart with a hash set: a repeated name gets its index in front.
std::vector<std::string> part_names(const OutMessage &m) {
    std::vector<std::string> names;
    std::unordered_set<std::string> taken;
    for (size_t i = 0; i < m.parts.size(); ++i) {
        std::string n = m.smil ? id_name(m.parts[i].id, i) : part_name(m.parts[i].id, i);
        while (!taken.insert(n).second) n = std::to_string(i) + "-" + n;
        names.push_back(std::move(n));
    }
    return names;
}

// The client's presentation, or none (multipart/mixed), through the body encoder.
std::vector<uint8_t> compose_encoded(const OutMessage &m, const std::vector<std::string> &names, tMMS_SendReq *head,
                                     std::string *errorName, std::string *why) {
    for (const OutPart &p : m.parts)
        if (p.data.empty()) return refused(errorName, why, kInvalidArguments, "attachment '" + p.id + "' is empty");
    std::vector<uint8_t> body = encode_body(m, names, errorName, why);
    if (body.empty()) return {};
    head->ContentTypeAndBody = body.data();
    head->Body_Len = static_cast<int>(body.size());
    int pduLen = 0;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(head, &pduLen);
    std::vector<uint8_t> out = take_pdu(pdu, pduLen);
    if (out.empty()) return refused(errorName, why, kUnsupportedMessage, "the send request cannot be encoded");
    return out;
}

// The composer: one slide per image, audio clip, video clip or text;
// everything else (and media past the tenth slide) as attachments.
std::vector<uint8_t> compose_slides(const OutMessage &m, const std::vector<std::string> &names, const tMMS_SendReq &head,
                                    std::string *errorName, std::string *why) {
    auto refuse = [&](const char *name, const std::string &text) { return refused(errorName, why, name, text); };
    constexpr size_t kMaxItems = 10, kMaxSlideType = 24;
    rrhost::SlideList list;
    std::vector<std::string> texts, types;
    texts.reserve(m.parts.size());
    types.reserve(m.parts.size());
    for (size_t i = 0; i < m.parts.size(); ++i) {
        const OutPart &p = m.parts[i];
        types.push_back(media_type(p.contentType));
        const std::string &t = types.back();
        const char *name = names[i].c_str();
        const int size = static_cast<int>(p.data.size());
        const bool slideType = t.size() <= kMaxSlideType && (t == "text/plain" || g_str_has_prefix(t.c_str(), "image/") ||
                                                               g_str_has_prefix(t.c_str(), "audio/") ||
                                                               g_str_has_prefix(t.c_str(), "video/"));
        if (slideType && list.slides() < kMaxItems && size > 0) {
            list.add_slide(5000);
            if (t == "text/plain") {
                texts.emplace_back(reinterpret_cast<const char *>(p.data.data()), p.data.size());
                if (std::memchr(p.data.data(), 0, p.data.size()) || !g_utf8_validate(texts.back().c_str(), -1, nullptr))
                    return refuse(kInvalidArguments, "attachment '" + p.id + "': text/plain must be UTF-8 text");
                list.add_text(texts.back().c_str(), size, 0, 5000);
            } else {
                const rrhost::Media kind = t[0] == 'i'   ? rrhost::Media::Image
                                           : t[0] == 'a' ? rrhost::Media::Audio
                                                         : rrhost::Media::Video;
                list.add_media(kind, p.data.data(), size, t.c_str(), name, 0, 5000);
            }
        } else {
            if (list.attachments() >= kMaxItems)
                return refuse(kUnsupportedMessage, "too many attachments: at most 10 slides and 10 other attachments");
            if (size <= 0) return refuse(kInvalidArguments, "attachment '" + p.id + "' is empty");
            list.add_attachment(p.data.data(), size, t.c_str(), name);
        }
    }
    rrhost::ComposerCode r = rrhost::ComposerCode::Success;
    int bodyLen = 0;
    std::vector<uint8_t> out = list.compose(head, &r, &bodyLen);
    if (r != rrhost::ComposerCode::Success)
        return refuse(kUnsupportedMessage, "the composer refused the message (code " + std::to_string(static_cast<int>(r)) +
                                               ", " + rrhost::composer_code_text(r) + ")");
    if (out.empty()) return refuse(kUnsupportedMessage, "the composer wrote no message");
    if (bodyLen <= 3) return refuse(kUnsupportedMessage, "the composer could not lay out these attachments");
    return out;
}

}  // namespace

std::vector<uint8_t> compose(const OutMessage &m, std::string *errorName, std::string *why) {
    if (m.parts.empty()) return refused(errorName, why, kInvalidArguments, "a message needs at least one attachment");
    std::string to;
    for (const std::string &r : m.recipients) to += (to.empty() ? "" : ";") + r;
    const std::vector<std::string> names = part_names(m);
    std::string subject = m.subject.value_or("");
    tMMS_SendReq head{};
    head.Transaction_Id = const_cast<char *>(m.transactionId.c_str());
    head.From = m.from.empty() ? nullptr : const_cast<char *>(m.from.c_str());
    head.To = const_cast<char *>(to.c_str());
    head.Subject = m.subject ? subject.data() : nullptr;
    head.Delivery_Report = m.deliveryReport ? 1 : 0;
    head.Read_Reply = m.readReply ? 1 : 0;
    head.Message_Class = 0;  // Personal
    head.Priority = 1;       // Normal
    // The PDU's Date is 32 bits wide in the records: a later date is left out
    // (the store keeps the message's date in 64 bits).
    head.Date = m.date > 0 && m.date <= 0xFFFFFFFF ? static_cast<uint32_t>(m.date) : 0;  // unsigned seconds: to 2106
    if (m.smil || !m.autoCreateSmil) return compose_encoded(m, names, &head, errorName, why);
    return compose_slides(m, names, head, errorName, why);
}

}  // namespace rrd
