// The PDU encoders on arbitrary field values, and the send request read back
// by the stored-request decoder.
//
// Input layout: 15 bytes of numbers, then up to seven zero-terminated texts
// (Transaction-Id, From, To, Cc, Bcc, Subject, Content-Location), then the
// body bytes. A text that is not there stays null.
//   [0] Message_Class  [1] Priority  [2] flags: 1 Delivery_Report,
//   2 Read_Reply, 4 Sender_Visibility, 8 Expiry_Relative,
//   16 Delivery_Time_Relative  [3..6] Date  [7..10] Expiry
//   [11..14] Delivery_Time (big-endian).
// Every buffer handed to the library is an exactly sized heap copy.
#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "fuzz_addresses.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

constexpr size_t kHead = 15;
constexpr int kTexts = 7;

void check(bool ok) {
    if (!ok) std::abort();
}

int32_t be32(const uint8_t *p) {
    return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]);
}

char *copy_text(const std::string *s) { return s ? fnQX_MEMSTRCOPY(s->c_str()) : nullptr; }

using fuzz_addr::address;
using fuzz_addr::address_list;

// A list field read back: null when nothing was written.
bool same_list(const std::string *want, const char *got) {
    if (!want || address_list(*want).empty()) return got == nullptr;
    return got && address_list(*want) == got;
}

// A Text-string beginning with a byte that could be read as the quote
// (0x7F or more) goes with a quote of its own.
std::string quoted(const std::string &s) {
    return (!s.empty() && static_cast<uint8_t>(s[0]) >= 0x7F ? std::string(1, '\x7F') : std::string()) + s;
}

void free_buf(uint8_t *p) { fnQX_Free(reinterpret_cast<void **>(&p)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHead || size > (1u << 20)) return 0;
    qx::set_log_enabled(false);

    std::string texts[kTexts];
    const std::string *field[kTexts] = {};
    size_t pos = kHead;
    for (int i = 0; i < kTexts && pos < size; ++i) {
        const void *zero = std::memchr(data + pos, 0, size - pos);
        if (!zero) break;
        const size_t end = static_cast<size_t>(static_cast<const uint8_t *>(zero) - data);
        texts[i].assign(reinterpret_cast<const char *>(data + pos), end - pos);
        field[i] = &texts[i];
        pos = end + 1;
    }
    const size_t bodyLen = size - pos;
    const std::string *tid = field[0], *from = field[1], *to = field[2], *cc = field[3], *bcc = field[4],
                      *subject = field[5], *location = field[6];

    // ---- send request
    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    check(req != nullptr);
    req->Message_Class = data[0];
    req->Priority = data[1];
    req->Delivery_Report = data[2] & 1;
    req->Read_Reply = data[2] & 2;
    req->Sender_Visibility = data[2] & 4;
    req->Expiry_Relative = data[2] & 8;
    req->Delivery_Time_Relative = data[2] & 16;
    req->Date = static_cast<uint32_t>(be32(data + 3));
    req->Expiry = be32(data + 7);
    req->Delivery_Time = be32(data + 11);
    req->Transaction_Id = copy_text(tid);
    req->From = copy_text(from);
    req->To = copy_text(to);
    req->Cc = copy_text(cc);
    req->Bcc = copy_text(bcc);
    req->Subject = copy_text(subject);
    if (bodyLen) {
        req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(static_cast<int>(bodyLen)));
        check(req->ContentTypeAndBody != nullptr);
        std::memcpy(req->ContentTypeAndBody, data + pos, bodyLen);
        req->Body_Len = static_cast<int>(bodyLen);
    }
    int len = -1;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(req, &len);
    if (!tid) {
        check(pdu == nullptr);
    } else {
        check(pdu != nullptr && len > 0);
        const std::string head = std::string("\x8C\x80\x98", 3) + quoted(*tid) + std::string("\0\x8D\x92", 3);
        check(static_cast<size_t>(len) >= head.size() + bodyLen);
        check(std::memcmp(pdu, head.data(), head.size()) == 0);
        if (bodyLen) check(std::memcmp(pdu + len - bodyLen, data + pos, bodyLen) == 0);

        // The decoder reads back the Date (any 32-bit value but 0, none) and every
        // text as it was given, whatever its bytes (control bytes and 0x7F in
        // front included), addresses as the address rules have them.
        uint8_t *exact = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(len)));
        std::memcpy(exact, pdu, static_cast<size_t>(len));
        tMMS_SendReq *back = fnMMS_ParseSendContent(exact, len);
        const bool bodyReadable = bodyLen == 0 || data[pos] == MMS_CONTENT_TYPE_FIELD;
        if (tid->empty()) check(back == nullptr);
        if (!tid->empty() && bodyReadable) {
            check(back != nullptr);
            check(back->Date == req->Date);
            check(back->Transaction_Id && *tid == back->Transaction_Id);
            const uint8_t cls = req->Message_Class <= 3 ? 0x80 + req->Message_Class : 0x80;
            const uint8_t pri = req->Priority == 0 ? 0x80 : req->Priority == 2 ? 0x82 : 0x81;
            check(back->Message_Class == cls && back->Priority == pri);
            check(back->Body_Len == static_cast<int>(bodyLen));
            if (bodyLen) check(std::memcmp(back->ContentTypeAndBody, data + pos, bodyLen) == 0);
            // A subject holding encoded words goes as one of its own, which
            // only UTF-8 can be: the reader decodes any other.
            const bool wordless = !subject || subject->find("=?") == std::string::npos ||
                                  g_utf8_validate(subject->c_str(), -1, nullptr);
            if (wordless) check(subject ? back->Subject && *subject == back->Subject : back->Subject == nullptr);
            check(from ? back->From && address(*from) == back->From : back->From == nullptr);
            check(same_list(to, back->To) && same_list(cc, back->Cc) && same_list(bcc, back->Bcc));
        }
        fnMMS_FreeMessageMem(back, MMS_STRUCT_SEND_REQ);
        std::free(exact);
        free_buf(pdu);
    }
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);

    // ---- notification response and acknowledgement
    if (tid) {
        const int flag = data[2] & 1;
        uint8_t *nr = fnMMS_MakeNotifyRespIndPdu(tid->c_str(), flag, data[1], &len);
        check(nr && static_cast<size_t>(len) == quoted(*tid).size() + 10 && nr[len - 1] == data[1] &&
              nr[len - 3] == (flag ? 0x80 : 0x81));
        free_buf(nr);
        uint8_t *ack = fnMMS_MakeAcknowledgeIndPdu(tid->c_str(), flag, &len);
        check(ack && static_cast<size_t>(len) == quoted(*tid).size() + 8 && ack[len - 1] == (flag ? 0x80 : 0x81));
        free_buf(ack);
    }

    // ---- forward request
    auto *fwd = static_cast<tMMS_FwdReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_FWD_REQ));
    check(fwd != nullptr);
    fwd->Delivery_Report = data[2] & 1;
    fwd->Read_Reply = data[2] & 2;
    fwd->Expiry_Relative = data[2] & 8;
    fwd->Delivery_Time_Relative = data[2] & 16;
    fwd->Date = static_cast<uint32_t>(be32(data + 3));
    fwd->Expiry = be32(data + 7);
    fwd->Delivery_Time = be32(data + 11);
    fwd->Transaction_Id = copy_text(tid);
    fwd->To = copy_text(to);
    fwd->Cc = copy_text(cc);
    fwd->Bcc = copy_text(bcc);
    fwd->Content_Location = copy_text(location);
    uint8_t *f = fnMMS_MakeFWDMessagePdu(fwd, &len);
    if (!tid || !location) {
        check(f == nullptr);
    } else {
        check(f != nullptr);
        // It ends with the Content-Location, quoted when it begins with a
        // byte of 0x7F or more.
        const bool quote = !location->empty() && static_cast<uint8_t>((*location)[0]) >= 0x7F;
        const size_t tail = location->size() + 1;
        check(static_cast<size_t>(len) > tail + 1);
        check(std::memcmp(f + len - tail, location->c_str(), tail) == 0);
        check(f[len - tail - 1] == (quote ? uint8_t{MMS_QUOTE} : uint8_t{MMS_CONTENT_LOCATION_FIELD}));
        free_buf(f);
    }
    fnMMS_FreeMessageMem(fwd, MMS_STRUCT_FWD_REQ);
    return 0;
}
