// `rorodire example [--force] OUTDIR`: writes example PDUs made by the library's own
// encoders, so `rorodire dump` (and other MMS readers) can be tried on them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_log.h"
#include "rorodire_files.h"
#include "rorodire_tool.h"

namespace rrtool {

namespace {

constexpr char kSmil[] =
    "<smil>\n"
    "<head>\n"
    "<layout>\n"
    "<root-layout width=\"176\" height=\"208\"/>\n"
    "<region id=\"Image\" left=\"0\" top=\"0\" width=\"176\" height=\"144\" fit=\"meet\"/>\n"
    "<region id=\"Text\" left=\"0\" top=\"144\" width=\"176\" height=\"64\" fit=\"scroll\"/>\n"
    "</layout>\n"
    "</head>\n"
    "<body>\n"
    "<par dur=\"5000ms\">\n"
    "<img src=\"photo.gif\" region=\"Image\" begin=\"0ms\" end=\"5000ms\"/>\n"
    "<text src=\"hello.txt\" region=\"Text\" begin=\"0ms\" end=\"5000ms\"/>\n"
    "</par>\n"
    "</body>\n"
    "</smil>\n";

constexpr char kText[] = "Hello from rorodire! Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE4\xBD\xA0\xE5\xA5\xBD";

// A 1x1 transparent GIF.
constexpr unsigned char kGif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF,
                                  0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
                                  0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};

constexpr char kVCard[] =
    "BEGIN:VCARD\r\n"
    "VERSION:2.1\r\n"
    "N:Example;Erika\r\n"
    "TEL;CELL:+15551230002\r\n"
    "END:VCARD\r\n";

// The PDUs made so far, each owned until the folder is written.
struct Made {
    std::vector<std::string> names;
    std::vector<unsigned char *> pdus;
    std::vector<int> lengths;
    ~Made() {
        for (unsigned char *p : pdus) {
            void *v = p;
            fnQX_Free(&v);
        }
    }
};

// Keeps an encoder's buffer for the folder.
bool write_pdu(Made &made, const char *name, unsigned char *pdu, int len, const char *what) {
    if (!pdu) {
        std::fprintf(stderr, "rorodire example: the %s encoder failed\n", what);
        return false;
    }
    made.names.emplace_back(name);
    made.pdus.push_back(pdu);
    made.lengths.push_back(len);
    return true;
}

// A send request with a SMIL presentation, a UTF-8 text, an image and a vCard
// attachment, composed with the body codec and the send-request encoder.
bool write_send_req(Made &dir) {
    std::string smil_type = "application/smil";
    smilstruct smil{smil_type.data(), reinterpret_cast<uint8_t *>(const_cast<char *>(kSmil)),
                    static_cast<int>(sizeof kSmil - 1)};

    std::string text_name = "hello.txt", text_type = "text/plain";
    std::string image_name = "photo.gif", image_type = "image/gif";
    std::string card_name = "contact.vcf", card_type = "text/x-vCard";

    tMMS_Element card{};
    card.File_Name = card_name.data();
    card.Content_Type = card_type.data();
    card.Data = reinterpret_cast<uint8_t *>(const_cast<char *>(kVCard));
    card.Data_Len = static_cast<int>(sizeof kVCard - 1);

    tMMS_Element image{};
    image.File_Name = image_name.data();
    image.Content_Type = image_type.data();
    image.Data = const_cast<uint8_t *>(kGif);
    image.Data_Len = static_cast<int>(sizeof kGif);
    image.next = &card;

    tMMS_Element text{};
    text.File_Name = text_name.data();
    text.Content_Type = text_type.data();
    text.Data = reinterpret_cast<uint8_t *>(const_cast<char *>(kText));
    text.Data_Len = static_cast<int>(sizeof kText - 1);
    text.Charset = MMS_CHARSET_UTF8;
    text.Has_Charset = 1;
    text.next = &image;

    const mmresstruct body{&smil, &text, 0};
    int body_len = 0;
    uint8_t *encoded = fnMMS_EncodeBody(&body, &body_len);
    if (!encoded) {
        std::fprintf(stderr, "rorodire example: the body encoder failed\n");
        return false;
    }

    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    if (!req) {
        void *p = encoded;
        fnQX_Free(&p);
        std::fprintf(stderr, "rorodire example: out of memory\n");
        return false;
    }
    req->ContentTypeAndBody = encoded;  // the record owns it now
    req->Body_Len = body_len;
    req->Transaction_Id = fnQX_MEMSTRCOPY("rorodire-example-1");
    req->From = fnQX_MEMSTRCOPY("+15551230001");
    req->To = fnQX_MEMSTRCOPY("+15551230002;friend@example.com");
    req->Cc = fnQX_MEMSTRCOPY("+15551230003");
    req->Subject = fnQX_MEMSTRCOPY("Example \xE2\x9C\x93 Gr\xC3\xBC\xC3\x9F" "e");
    req->Expiry = 86400;
    req->Expiry_Relative = 1;
    req->Priority = 2;       // High
    req->Message_Class = 0;  // Personal
    req->Delivery_Report = 1;
    int len = 0;
    unsigned char *pdu = fnMMS_MakeSendReqPdu(req, &len);
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    return write_pdu(dir, "m-send-example.req", pdu, len, "send-request");
}

bool write_forward_req(Made &dir) {
    auto *req = static_cast<tMMS_FwdReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_FWD_REQ));
    if (!req) {
        std::fprintf(stderr, "rorodire example: out of memory\n");
        return false;
    }
    req->Transaction_Id = fnQX_MEMSTRCOPY("rorodire-example-2");
    req->To = fnQX_MEMSTRCOPY("+15551230004;other@example.org");
    req->Cc = fnQX_MEMSTRCOPY("+15551230005");
    req->Content_Location = fnQX_MEMSTRCOPY("http://mms.example.com/store/msg-0001");
    req->Date = 1700000100;
    req->Expiry = 604800;
    req->Expiry_Relative = 1;
    req->Delivery_Report = 1;
    req->Read_Reply = 1;
    int len = 0;
    unsigned char *pdu = fnMMS_MakeFWDMessagePdu(req, &len);
    fnMMS_FreeMessageMem(req, MMS_STRUCT_FWD_REQ);
    return write_pdu(dir, "m-forward-example.req", pdu, len, "forward-request");
}

}  // namespace

constexpr char kExampleUsage[] =
    "usage: rorodire example [--force] OUTDIR\n"
    "\n"
    "Writes example PDUs made by the library's encoders into OUTDIR (made when\n"
    "missing; its parent must exist): m-send-example.req (a send request with\n"
    "SMIL, text, image and a vCard attachment), m-forward-example.req,\n"
    "m-notifyresp-example.ind, m-acknowledge-example.ind and\n"
    "m-read-rec-example.ind. Every file is written through a temporary file\n"
    "and fsync, all of them or none.\n"
    "  --force   replace files of those names (never a folder, symbolic link,\n"
    "            device or FIFO); without it an existing name is refused and\n"
    "            nothing is written\n"
    "Exit status: 0 written, 1 not written, 2 usage error.\n";

int cmd_example(int argc, char **argv) {
    bool force = false;
    std::string dir;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kExampleUsage, stdout);
            return 0;
        }
        if (a == "--force") {
            force = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "rorodire example: unknown option '%s'\n\n%s", a.c_str(), kExampleUsage);
            return 2;
        } else if (dir.empty()) {
            dir = a;
        } else {
            std::fprintf(stderr, "rorodire example: one output folder only\n\n%s", kExampleUsage);
            return 2;
        }
    }
    if (dir.empty()) {
        std::fprintf(stderr, "rorodire example: an output folder is required\n\n%s", kExampleUsage);
        return 2;
    }
    qx::set_log_enabled(false);
    Made made;
    bool ok = write_send_req(made);
    ok = write_forward_req(made) && ok;
    int len = 0;
    unsigned char *pdu = fnMMS_MakeNotifyRespIndPdu("rorodire-example-3", 1, 0x81, &len);
    ok = write_pdu(made, "m-notifyresp-example.ind", pdu, len, "notification-response") && ok;
    pdu = fnMMS_MakeAcknowledgeIndPdu("rorodire-example-4", 0, &len);
    ok = write_pdu(made, "m-acknowledge-example.ind", pdu, len, "acknowledgement") && ok;
    // A recipient's read report (MMS 1.2): read, its From left to the relay.
    tMMS_ReadRecInd report{};
    report.Message_Id = const_cast<char *>("rorodire-example-msg-5");
    report.To = const_cast<char *>("+15551230001");
    report.Date = 1700000200;
    report.Read_Status = MMS_READ_STATUS_READ;
    pdu = fnMMS_MakeReadRecIndPdu(&report, &len);
    ok = write_pdu(made, "m-read-rec-example.ind", pdu, len, "read-report") && ok;
    if (!ok) return 1;
    std::vector<OutFile> files;
    for (size_t i = 0; i < made.names.size(); ++i)
        files.push_back(OutFile{made.names[i], made.pdus[i], static_cast<size_t>(made.lengths[i])});
    if (std::string why; !publish_files(dir, files, force, &why)) {
        std::fprintf(stderr, "rorodire example: %s\n", why.c_str());
        return 1;
    }
    for (const OutFile &f : files) std::printf("%s/%s (%zu bytes)\n", dir.c_str(), f.name.c_str(), f.size);
    return 0;
}

}  // namespace rrtool
