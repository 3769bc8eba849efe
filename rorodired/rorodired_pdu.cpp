// The service's view of PDUs: the WAP push around a notification, what a
// stored message shows (with each part's place inside the stored file), and
// composing what a client sends. Everything is read with the library's own
// decoders and WSP reader and written with its composer and encoders.
#include <glib.h>
#include <glib/gstdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "MMSProl_Encapsulaton.h"
#include "rorodired.h"

namespace rrd {
namespace {

constexpr uint8_t kWspPush = 0x06, kWspConfirmedPush = 0x07;
constexpr int kMmsMessageTypeCode = 0x3E;  // application/vnd.wap.mms-message
constexpr char kMmsMessageType[] = "application/vnd.wap.mms-message";

// A text for D-Bus: valid UTF-8 without zero bytes.
std::string clean(const char *s, size_t n) {
    std::string t(s, n);
    t.erase(std::remove(t.begin(), t.end(), '\0'), t.end());
    gchar *v = g_utf8_make_valid(t.c_str(), static_cast<gssize>(t.size()));
    std::string out = v;
    g_free(v);
    return out;
}
std::optional<std::string> clean_opt(const char *s) {
    if (!s || !*s) return std::nullopt;
    return clean(s, std::strlen(s));
}

void split_list(const char *list, std::vector<std::string> *out) {
    if (!list) return;
    gchar **v = g_strsplit(list, ";", -1);
    for (gchar **p = v; *p; ++p) {
        g_strstrip(*p);
        if (**p) out->push_back(clean(*p, std::strlen(*p)));
    }
    g_strfreev(v);
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

// The message's parts from its body (the Content-Type field to the end of
// the PDU), with offsets into the PDU.
void parts_of_body(const uint8_t *pdu, int len, int bodyLen, View *v) {
    if (bodyLen <= 0 || bodyLen > len) return;
    const uint8_t *body = pdu + (len - bodyLen);
    mmresstruct *b = fnMMS_DecodeBody(body, bodyLen);
    if (!b) return;
    if (b->Smil && b->Smil->Data && b->Smil->Data_Len > 0)
        v->smil = clean(reinterpret_cast<const char *>(b->Smil->Data), static_cast<size_t>(b->Smil->Data_Len));
    int n = 0;
    for (const tMMS_Element *e = b->Parts; e; e = e->next, ++n) {
        if (!e->Data || e->Data_Len <= 0) continue;
        Attachment a;
        const char *id = e->Content_Id && *e->Content_Id ? e->Content_Id
                         : e->File_Name && *e->File_Name ? e->File_Name
                         : e->Name_Param && *e->Name_Param ? e->Name_Param : nullptr;
        a.id = id ? clean(id, std::strlen(id)) : "part" + std::to_string(n);
        a.contentType = e->Content_Type ? clean(e->Content_Type, std::strlen(e->Content_Type)) : "application/octet-stream";
        if (e->Has_Charset)
            if (const char *cs = charset_name(e->Charset)) a.contentType += std::string(";charset=") + cs;
        a.offset = static_cast<uint64_t>(e->Data - pdu);
        a.length = static_cast<uint64_t>(e->Data_Len);
        v->attachments.push_back(std::move(a));
    }
    fnMMS_FreeDecodedBody(b);
}

// A part's name for the message: letters, digits and "._-@+~" only (the
// composer writes it into the presentation as it is), at most 40 bytes.
std::string part_name(const std::string &id, size_t index) {
    std::string n;
    for (char c : id) {
        if (n.size() >= 40) break;
        n += (g_ascii_isalnum(c) || std::strchr("._-@+~", c)) ? c : '_';
    }
    if (n.empty() || n[0] == '.') n = "part" + std::to_string(index) + n;
    return n;
}

// With the client's own presentation the id stays as it was given (the
// presentation refers to it) when it is a plain printable text.
std::string id_name(const std::string &id, size_t index) {
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

}  // namespace

std::vector<uint8_t> notification_of_push(const std::vector<uint8_t> &push, std::string *why) {
    const int len = static_cast<int>(push.size());
    if (push.empty()) {
        *why = "empty notification";
        return {};
    }
    if (push[0] == MMS_MESSAGE_TYPE_FIELD) {
        if (fnMMS_FindMessageType(push.data(), len) != MMS_M_NOTIFICATION_IND) {
            *why = "the PDU is no m-notification-ind";
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
        *why = "neither a WAP push nor an m-notification-ind";
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
    std::vector<uint8_t> ind(c.p, c.end);
    if (ind.empty() || fnMMS_FindMessageType(ind.data(), static_cast<int>(ind.size())) != MMS_M_NOTIFICATION_IND) {
        *why = "the push does not hold an m-notification-ind";
        return {};
    }
    return ind;
}

bool view_of_pdu(const std::vector<uint8_t> &pdu, View *v) {
    const int len = static_cast<int>(pdu.size());
    if (len <= 0 || pdu.size() > (64u << 20)) return false;
    const int type = fnMMS_FindMessageType(pdu.data(), len);
    if (type == MMS_M_RETRIEVE_CONF) {
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), len);
        if (!r) return false;
        v->subject = clean_opt(r->Subject);
        v->sender = clean_opt(r->From);
        split_list(r->To, &v->recipients);
        split_list(r->Cc, &v->recipients);
        v->date = r->Date;
        v->deliveryReport = r->Delivery_Report == 1;
        parts_of_body(pdu.data(), len, r->body ? r->Content_Size : 0, v);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        return true;
    }
    if (type == MMS_M_SEND_REQ) {
        tMMS_SendReq *s = fnMMS_ParseSendContent(pdu.data(), len);
        if (!s) return false;
        v->subject = clean_opt(s->Subject);
        split_list(s->To, &v->recipients);
        split_list(s->Cc, &v->recipients);
        split_list(s->Bcc, &v->recipients);
        v->date = s->Date;
        v->deliveryReport = s->Delivery_Report == 1;
        parts_of_body(pdu.data(), len, s->ContentTypeAndBody ? s->Body_Len : 0, v);
        fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
        return true;
    }
    return false;
}

bool view_of_notification(const std::vector<uint8_t> &ind, View *v, std::string *location) {
    tCPS_PduBuf buf{const_cast<uint8_t *>(ind.data()), static_cast<int>(ind.size())};
    tMMS_NotifyInd *n = ind.empty() ? nullptr : fnCPS_ParseMMSNotification(&buf);
    if (!n) return false;
    v->subject = clean_opt(n->Subject);
    v->sender = clean_opt(n->From);
    if (location) *location = n->Content_Location ? clean(n->Content_Location, std::strlen(n->Content_Location)) : "";
    const bool ok = n->Content_Location && *n->Content_Location;
    fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
    return ok;
}

std::vector<uint8_t> compose(const OutMessage &m, std::string *errorName, std::string *why) {
    auto refuse = [&](const char *name, const std::string &text) {
        *errorName = name;
        *why = text;
        return std::vector<uint8_t>{};
    };
    std::string to;
    for (const std::string &r : m.recipients) to += (to.empty() ? "" : ";") + r;
    std::vector<std::string> names;
    for (size_t i = 0; i < m.parts.size(); ++i) {
        std::string n = m.smil ? id_name(m.parts[i].id, i) : part_name(m.parts[i].id, i);
        for (const std::string &o : names)
            if (o == n) n = std::to_string(i) + "-" + n;
        names.push_back(n);
    }
    std::string subject = m.subject.value_or("");
    tMMS_SendReq head{};
    head.Transaction_Id = const_cast<char *>(m.transactionId.c_str());
    head.From = m.from.empty() ? nullptr : const_cast<char *>(m.from.c_str());
    head.To = const_cast<char *>(to.c_str());
    head.Subject = m.subject ? subject.data() : nullptr;
    head.Delivery_Report = m.deliveryReport ? 1 : 0;
    head.Message_Class = 0;  // Personal
    head.Priority = 1;       // Normal
    head.Date = static_cast<int>(g_get_real_time() / G_USEC_PER_SEC);

    if (m.smil) {
        // The client's presentation: the body encoder with its SMIL and the parts as given.
        std::vector<std::string> types;
        for (const OutPart &p : m.parts) types.push_back(media_type(p.contentType));
        std::vector<tMMS_Element> el(m.parts.size());
        for (size_t i = 0; i < el.size(); ++i) {
            el[i].File_Name = names[i].data();
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
        std::string smilText = *m.smil;
        smilstruct smil{smilType.data(), reinterpret_cast<uint8_t *>(smilText.data()), static_cast<int>(smilText.size())};
        mmresstruct body{&smil, el.empty() ? nullptr : el.data()};
        int bodyLen = 0;
        uint8_t *bytes = fnMMS_EncodeBody(&body, &bodyLen);
        if (!bytes) return refuse("org.ofono.mms.Error.UnsupportedMessage", "the body cannot be encoded");
        head.ContentTypeAndBody = bytes;
        head.Body_Len = bodyLen;
        int pduLen = 0;
        uint8_t *pdu = fnMMS_MakeSendReqPdu(&head, &pduLen);
        fnQX_Free(reinterpret_cast<void **>(&bytes));
        std::vector<uint8_t> out = take_pdu(pdu, pduLen);
        if (out.empty()) return refuse("org.ofono.mms.Error.UnsupportedMessage", "the send request cannot be encoded");
        return out;
    }

    // The composer: one slide per image, audio clip, video clip or text;
    // everything else (and media past the tenth slide) as attachments.
    constexpr size_t kMaxItems = 10, kMaxSlideType = 24;
    std::vector<tCPS_Slide> slides;
    std::vector<tCPS_AttachNode> attachments;
    std::vector<std::string> texts, types;
    texts.reserve(m.parts.size());
    types.reserve(m.parts.size());
    slides.reserve(m.parts.size());
    attachments.reserve(m.parts.size());
    for (size_t i = 0; i < m.parts.size(); ++i) {
        const OutPart &p = m.parts[i];
        types.push_back(media_type(p.contentType));
        const std::string &t = types.back();
        char *name = names[i].data();
        auto *data = const_cast<uint8_t *>(p.data.data());
        const int size = static_cast<int>(p.data.size());
        const bool slideType = t.size() <= kMaxSlideType && (t == "text/plain" || g_str_has_prefix(t.c_str(), "image/") ||
                                                               g_str_has_prefix(t.c_str(), "audio/") ||
                                                               g_str_has_prefix(t.c_str(), "video/"));
        if (slideType && slides.size() < kMaxItems && size > 0) {
            tCPS_Slide s{};
            s.Duration = 5000;
            if (t == "text/plain") {
                texts.emplace_back(reinterpret_cast<const char *>(p.data.data()), p.data.size());
                if (std::memchr(p.data.data(), 0, p.data.size()) || !g_utf8_validate(texts.back().c_str(), -1, nullptr))
                    return refuse("org.ofono.mms.Error.InvalidArguments",
                                  "attachment '" + p.id + "': text/plain must be UTF-8 text");
                s.Has_Text = 1;
                s.Text = tCPS_TextItem{texts.back().data(), 0, 5000, size, {}};
            } else if (t[0] == 'i') {
                s.Has_Image = 1;
                s.Image = tCPS_ImageItem{data, const_cast<char *>(t.c_str()), name, 0, 5000, size, {}};
            } else if (t[0] == 'a') {
                s.Has_Audio = 1;
                s.Audio = tCPS_AudioItem{data, const_cast<char *>(t.c_str()), name, 0, 5000, size};
            } else {
                s.Has_Video = 1;
                s.Video = tCPS_VideoItem{data, const_cast<char *>(t.c_str()), name, 0, 5000, size, {}};
            }
            slides.push_back(s);
        } else {
            if (attachments.size() >= kMaxItems)
                return refuse("org.ofono.mms.Error.UnsupportedMessage",
                              "too many attachments: at most 10 slides and 10 other attachments");
            if (size <= 0)
                return refuse("org.ofono.mms.Error.InvalidArguments", "attachment '" + p.id + "' is empty");
            attachments.push_back(tCPS_AttachNode{data, name, const_cast<char *>(t.c_str()), size, 0, nullptr});
        }
    }
    for (size_t i = 0; i + 1 < slides.size(); ++i) slides[i].next = &slides[i + 1];
    for (size_t i = 0; i + 1 < attachments.size(); ++i) attachments[i].next = &attachments[i + 1];
    tCPS_MmsData msg{};
    msg.pSlide_List = slides.empty() ? nullptr : slides.data();
    msg.pAttach_List = attachments.empty() ? nullptr : attachments.data();
    msg.Header.Send_Req = head;
    tCPS_PduBuf pdu{};
    const int r = fnCPS_ComposeMMS(&msg, &pdu, 0);
    if (r != COMPOSER_SUCCESS)
        return refuse("org.ofono.mms.Error.UnsupportedMessage",
                      "the composer refused the message (code " + std::to_string(r) + ")");
    std::vector<uint8_t> out = take_pdu(pdu.data, pdu.length);
    if (out.empty()) return refuse("org.ofono.mms.Error.UnsupportedMessage", "the composer wrote no message");
    if (!m.parts.empty() && msg.Header.Send_Req.Body_Len <= 3)
        return refuse("org.ofono.mms.Error.UnsupportedMessage", "the composer could not lay out these attachments");
    return out;
}

bool read_file(const std::string &path, std::vector<uint8_t> *out, size_t limit, long readerUid) {
    // Opened first and then looked at, so what is checked is what is read;
    // a FIFO or device does not block the service.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= limit;
    // For a client of another user: only what that user may read.
    if (ok && readerUid >= 0)
        ok = (st.st_uid == static_cast<uid_t>(readerUid) && (st.st_mode & S_IRUSR)) || (st.st_mode & S_IROTH);
    std::vector<uint8_t> data;
    if (ok) data.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    close(fd);
    if (ok) *out = std::move(data);
    return ok;
}

bool write_file_atomic(const std::string &path, const void *data, size_t len) {
    const size_t slash = path.rfind('/');
    std::string tmp = path.substr(0, slash + 1) + ".tmp-XXXXXX";
    const int fd = g_mkstemp_full(tmp.data(), O_WRONLY, 0600);
    if (fd < 0) return false;
    const auto *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    bool ok = true;
    while (ok && done < len) {
        const ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && g_rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) g_unlink(tmp.c_str());
    return ok;
}

}  // namespace rrd
