// `rorodire dump`: decodes each file with the library's decoders and prints
// the records.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <iterator>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_reports.h"
#include "rorodire_tool.h"

namespace rrtool {

namespace {

// ---------------------------------------------------------------- record fields
Field text_field(const char *name, const char *value) {
    Field f;
    f.name = name;
    f.kind = Field::Kind::Text;
    if (value) f.text = value;
    return f;
}

Field int_field(const char *name, long long value) {
    Field f;
    f.name = name;
    f.kind = Field::Kind::Int;
    f.number = value;
    return f;
}

Field byte_field(const char *name, unsigned char value) {
    Field f;
    f.name = name;
    f.kind = Field::Kind::Byte;
    f.number = value;
    return f;
}

// A byte field whose values have names.
Field named_byte(const char *name, unsigned char value, const char *(*names)(int)) {
    Field f = byte_field(name, value);
    f.meaning = names(value);
    return f;
}

void add_fields(Dump &d, const tMMS_NotifyInd &r) {
    d.headers = {byte_field("Message_Class", r.Message_Class),   byte_field("Priority", r.Priority),
                 byte_field("Expiry_Token", r.Expiry_Token),     int_field("Message_Size", r.Message_Size),
                 int_field("Expiry", r.Expiry),                  text_field("Transaction_Id", r.Transaction_Id),
                 text_field("From", r.From),                     text_field("Subject", r.Subject),
                 text_field("Content_Location", r.Content_Location)};
}

void add_fields(Dump &d, const tMMS_RetrieveConf &r) {
    d.headers = {int_field("Delivery_Report", r.Delivery_Report), int_field("Read_Reply", r.Read_Reply),
                 byte_field("Message_Class", r.Message_Class),     byte_field("Priority", r.Priority),
                 byte_field("Retrieve_Status", r.Retrieve_Status), int_field("Date", r.Date),
                 int_field("Content_Size", r.Content_Size),        text_field("Transaction_Id", r.Transaction_Id),
                 text_field("Message_Id", r.Message_Id),           text_field("From", r.From),
                 text_field("To", r.To),                           text_field("Cc", r.Cc),
                 text_field("Subject", r.Subject)};
}

void add_fields(Dump &d, const tMMS_SendReq &r) {
    d.headers = {int_field("Delivery_Report", r.Delivery_Report),
                 int_field("Read_Reply", r.Read_Reply),
                 int_field("Sender_Visibility", r.Sender_Visibility),
                 text_field("Transaction_Id", r.Transaction_Id),
                 text_field("From", r.From),
                 text_field("To", r.To),
                 text_field("Cc", r.Cc),
                 text_field("Bcc", r.Bcc),
                 text_field("Subject", r.Subject),
                 byte_field("Message_Class", r.Message_Class),
                 byte_field("Priority", r.Priority),
                 int_field("Date", r.Date),
                 byte_field("Expiry_Relative", r.Expiry_Relative),
                 int_field("Expiry", r.Expiry),
                 byte_field("Delivery_Time_Relative", r.Delivery_Time_Relative),
                 int_field("Delivery_Time", r.Delivery_Time),
                 int_field("Body_Len", r.Body_Len)};
}

void add_fields(Dump &d, const tMMS_SendConf &r) {
    d.headers = {byte_field("Message_Type", r.Message_Type),       byte_field("MMS_Version", r.MMS_Version),
                 byte_field("Response_Status", r.Response_Status), text_field("Transaction_Id", r.Transaction_Id),
                 text_field("Response_Text", r.Response_Text),     text_field("Message_Id", r.Message_Id)};
}

void add_fields(Dump &d, const tMMS_FwdConf &r) {
    d.headers = {byte_field("Response_Status", r.Response_Status), text_field("Transaction_Id", r.Transaction_Id),
                 text_field("Response_Text", r.Response_Text), text_field("Message_Id", r.Message_Id)};
}

void add_fields(Dump &d, const tMMS_NotifyRespInd &r) {
    d.headers = {byte_field("Message_Type", r.Message_Type), byte_field("MMS_Version", r.MMS_Version),
                 named_byte("Status", r.Status, delivery_status_name), byte_field("Report_Allowed", r.Report_Allowed),
                 text_field("Transaction_Id", r.Transaction_Id)};
}

void add_fields(Dump &d, const tMMS_AcknowledgeInd &r) {
    d.headers = {byte_field("Message_Type", r.Message_Type), byte_field("MMS_Version", r.MMS_Version),
                 byte_field("Report_Allowed", r.Report_Allowed), text_field("Transaction_Id", r.Transaction_Id)};
}

void add_fields(Dump &d, const tMMS_DeliveryInd &r) {
    d.headers = {named_byte("Status", r.Status, delivery_status_name), text_field("Message_Id", r.Message_Id),
                 text_field("To", r.To), int_field("Date", r.Date)};
}

void add_fields(Dump &d, const tMMS_FwdReq &r) {
    d.headers = {int_field("Delivery_Report", r.Delivery_Report),
                 int_field("Read_Reply", r.Read_Reply),
                 text_field("Transaction_Id", r.Transaction_Id),
                 text_field("To", r.To),
                 text_field("Cc", r.Cc),
                 text_field("Bcc", r.Bcc),
                 text_field("Content_Location", r.Content_Location),
                 int_field("Date", r.Date),
                 byte_field("Expiry_Relative", r.Expiry_Relative),
                 int_field("Expiry", r.Expiry),
                 byte_field("Delivery_Time_Relative", r.Delivery_Time_Relative),
                 int_field("Delivery_Time", r.Delivery_Time)};
}

void add_fields(Dump &d, const tMMS_ReadRecInd &r) {
    d.headers = {text_field("Message_Id", r.Message_Id), text_field("To", r.To), text_field("From", r.From),
                 named_byte("Read_Status", r.Read_Status, read_status_name), int_field("Date", r.Date)};
}

void add_fields(Dump &d, const tMMS_ReadOrigInd &r) {
    d.headers = {text_field("Message_Id", r.Message_Id), text_field("To", r.To), text_field("From", r.From),
                 int_field("Date", r.Date), named_byte("Read_Status", r.Read_Status, read_status_name)};
}

// ---------------------------------------------------------------- body
std::optional<std::string> opt_text(const char *s) {
    if (!s) return std::nullopt;
    return std::string(s);
}

// Decodes a "0x84 Content-Type + body" buffer into the parts of the view.
void add_body(Dump &d, const unsigned char *body, int len) {
    d.hasBody = true;
    if (!body || len <= 0) return;  // a message without a Content-Type field
    mmresstruct *b = fnMMS_DecodeBody(body, len);
    if (!b) {
        d.error = "message body does not decode";
        return;
    }
    if (b->Smil) {
        d.smil = true;
        d.smilContentType = opt_text(b->Smil->Content_Type);
        d.smilSize = b->Smil->Data_Len;
    }
    for (const tMMS_Element *e = b->Parts; e; e = e->next) {
        Part p;
        p.contentType = opt_text(e->Content_Type);
        p.name = opt_text(e->File_Name ? e->File_Name : e->Name_Param);
        p.contentId = opt_text(e->Content_Id);
        if (e->Has_Charset) p.charset = e->Charset;
        p.size = e->Data_Len;
        d.parts.push_back(std::move(p));
    }
    fnMMS_FreeDecodedBody(b);
}

// Runs one of the library's decoders and releases its record.
template <typename Rec, typename Decode, typename Body>
void library_decode(Dump &d, int struct_code, Decode &&decode, Body &&body) {
    Rec *r = decode();
    if (!r) {
        d.error = "the library's decoder refuses this " + *d.type;
        return;
    }
    add_fields(d, *r);
    body(*r);
    fnMMS_FreeMessageMem(r, struct_code);
}

std::string hex_byte(unsigned b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b & 0xFFu);
    return buf;
}

// Why one of the library's strict decoders refused a PDU, for a person.
std::string describe(const tMMS_DecodeReport &why) {
    const std::string at = " at offset " + std::to_string(why.offset);
    switch (why.fault) {
        case MmsDecodeFault::None:
            break;
        case MmsDecodeFault::NoInput:
            return "empty PDU";
        case MmsDecodeFault::NoMemory:
            return "out of memory";
        case MmsDecodeFault::NoMessageType:
            return "no Message-Type field";
        case MmsDecodeFault::MessageTypeNoValue:
            return "Message-Type field without a value";
        case MmsDecodeFault::WrongMessageType:
            return "Message-Type " + hex_byte(why.found) + " where " + hex_byte(why.expected) + " was expected";
        case MmsDecodeFault::BadApplicationHeader:
            return "application header" + at + " runs past the end";
        case MmsDecodeFault::BadField:
            return "field " + hex_byte(why.field) + at + " does not decode";
        case MmsDecodeFault::UnexpectedBody:
            return "unexpected Content-Type field (this PDU carries no body)";
        case MmsDecodeFault::MissingField:
            return std::string("no ") + (why.missing ? why.missing : "identifier");
    }
    return "does not decode";
}

// Runs one of the library's strict decoders, which say why they refuse.
template <typename Rec, typename Decode>
void checked_decode(Dump &d, int struct_code, Decode &&decode) {
    tMMS_DecodeReport why{};
    Rec *r = decode(&why);
    if (!r) {
        d.error = *d.type + " does not decode: " + describe(why);
        return;
    }
    add_fields(d, *r);
    fnMMS_FreeMessageMem(r, struct_code);
}

}  // namespace

namespace {

// Fills the view of a PDU whose Message-Type is known with the library's
// decoder for that type.
void decode_by_type(Dump &d, const uint8_t *pdu, int len, const char *name) {
    auto no_body = [](const auto &) {};
    switch (d.typeCode) {
        case MMS_M_SEND_REQ:
            library_decode<tMMS_SendReq>(
                d, MMS_STRUCT_SEND_REQ, [&] { return fnMMS_ParseSendContent(pdu, len); },
                [&](const tMMS_SendReq &r) { add_body(d, r.ContentTypeAndBody, r.Body_Len); });
            // The decoder keeps no field for the report requests: they are
            // read from the header as the relay reads them.
            if (d.error.empty()) {
                int deliveryReport = 0, readReply = 0;
                report_requests(pdu, static_cast<size_t>(len), &deliveryReport, &readReply);
                for (Field &f : d.headers) {
                    if (f.name == "Delivery_Report") f.number = deliveryReport;
                    if (f.name == "Read_Reply") f.number = readReply;
                }
            }
            break;
        case MMS_M_SEND_CONF:
            library_decode<tMMS_SendConf>(
                d, MMS_STRUCT_SEND_CONF, [&] { return fnMMS_ParseSendConf(pdu, len); }, no_body);
            break;
        case MMS_M_NOTIFICATION_IND:
            library_decode<tMMS_NotifyInd>(
                d, MMS_STRUCT_MMS_NOTIFICATION_IND, [&] { return fnMMS_ParseNotificationInd(pdu, len); }, no_body);
            break;
        case MMS_M_RETRIEVE_CONF:
            library_decode<tMMS_RetrieveConf>(
                d, MMS_STRUCT_RETRIEVE_CONF, [&] { return fnMMS_ParseRetrieveConf(pdu, len); },
                [&](const tMMS_RetrieveConf &r) { add_body(d, r.body, r.Content_Size); });
            break;
        case MMS_M_FORWARD_CONF:
            library_decode<tMMS_FwdConf>(
                d, MMS_STRUCT_FWD_CONF, [&] { return fnMMS_ParseFwdConf(pdu, len); }, no_body);
            break;
        case MMS_M_NOTIFYRESP_IND:
            checked_decode<tMMS_NotifyRespInd>(d, MMS_STRUCT_NOTIFYRESP_IND, [&](tMMS_DecodeReport *why) {
                return fnMMS_ParseNotifyRespInd(pdu, len, why);
            });
            break;
        case MMS_M_ACKNOWLEDGE_IND:
            checked_decode<tMMS_AcknowledgeInd>(d, MMS_STRUCT_ACKNOWLEDGE_IND, [&](tMMS_DecodeReport *why) {
                return fnMMS_ParseAcknowledgeInd(pdu, len, why);
            });
            break;
        case MMS_M_DELIVERY_IND:
            checked_decode<tMMS_DeliveryInd>(
                d, MMS_STRUCT_DELIVERY_IND, [&](tMMS_DecodeReport *why) { return fnMMS_ParseDeliveryInd(pdu, len, why); });
            break;
        case MMS_M_READ_REC_IND:
            checked_decode<tMMS_ReadRecInd>(
                d, MMS_STRUCT_READ_REC_IND, [&](tMMS_DecodeReport *why) { return fnMMS_ParseReadRecInd(pdu, len, why); });
            break;
        case MMS_M_READ_ORIG_IND:
            checked_decode<tMMS_ReadOrigInd>(d, MMS_STRUCT_READ_ORIG_IND, [&](tMMS_DecodeReport *why) {
                return fnMMS_ParseReadOrigInd(pdu, len, why);
            });
            break;
        case MMS_M_FORWARD_REQ:
            checked_decode<tMMS_FwdReq>(
                d, MMS_STRUCT_FWD_REQ, [&](tMMS_DecodeReport *why) { return fnMMS_ParseFwdReq(pdu, len, why); });
            break;
        default:
            d.error = std::string("no decoder for ") + name;
            break;
    }
}

}  // namespace

Dump dump_pdu(const std::string &file, const std::vector<uint8_t> &bytes) {
    Dump d;
    d.file = file;
    d.size = static_cast<long long>(bytes.size());
    if (bytes.empty()) {
        d.error = "empty file";
        return d;
    }
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        d.error = "file too large for a PDU";
        return d;
    }
    const uint8_t *pdu = bytes.data();
    const int len = static_cast<int>(bytes.size());
    d.typeCode = fnMMS_FindMessageType(pdu, len);
    if (d.typeCode == MMS_NO_MESSAGE_TYPE) {
        d.error = "no Message-Type field: not an MMS PDU";
        return d;
    }
    const char *name = message_type_name(d.typeCode);
    if (!name) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "unknown Message-Type 0x%02X", d.typeCode);
        d.error = buf;
        return d;
    }
    d.type = name;
    decode_by_type(d, pdu, len, name);
    return d;
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

const char *delivery_status_name(int status) {
    static constexpr const char *kNames[] = {"Expired",       "Retrieved", "Rejected",  "Deferred",
                                             "Unrecognised",  "Indeterminate", "Forwarded", "Unreachable"};
    if (status < 0x80 || status > 0x87) return nullptr;
    return kNames[status - 0x80];
}

const char *read_status_name(int status) {
    return status == 0x80 ? "Read" : status == 0x81 ? "Deleted" : nullptr;
}

const char *response_status_name(int status) {
    static constexpr const char *kOld[] = {"Ok", "Error-unspecified", "Error-service-denied",
                                           "Error-message-format-corrupt", "Error-sending-address-unresolved",
                                           "Error-message-not-found", "Error-network-problem",
                                           "Error-content-not-accepted", "Error-unsupported-message"};
    static constexpr const char *kTransient[] = {"Error-transient-failure", "Error-transient-sending-address-unresolved",
                                                 "Error-transient-message-not-found", "Error-transient-network-problem",
                                                 "Error-transient-partial-success"};
    static constexpr const char *kPermanent[] = {
        "Error-permanent-failure",
        "Error-permanent-service-denied",
        "Error-permanent-message-format-corrupt",
        "Error-permanent-sending-address-unresolved",
        "Error-permanent-message-not-found",
        "Error-permanent-content-not-accepted",
        "Error-permanent-reply-charging-limitations-not-met",
        "Error-permanent-reply-charging-request-not-accepted",
        "Error-permanent-reply-charging-forwarding-denied",
        "Error-permanent-reply-charging-not-supported",
        "Error-permanent-address-hiding-not-supported",
        "Error-permanent-lack-of-prepaid"};
    if (status >= 0x80 && status < 0x80 + static_cast<int>(std::size(kOld))) return kOld[status - 0x80];
    if (status >= 0xC0 && status < 0xC0 + static_cast<int>(std::size(kTransient))) return kTransient[status - 0xC0];
    if (status >= 0xE0 && status < 0xE0 + static_cast<int>(std::size(kPermanent))) return kPermanent[status - 0xE0];
    // Values the standard reserves are read by their class.
    if (status > 0xC0 && status < 0xE0) return "Error-transient-failure";
    if (status > 0xE0 && status <= 0xFF) return "Error-permanent-failure";
    return nullptr;
}

const char *retrieve_status_name(int status) {
    switch (status) {
        case 0x80: return "Ok";
        case 0xC0: return "Error-transient-failure";
        case 0xC1: return "Error-transient-message-not-found";
        case 0xC2: return "Error-transient-network-problem";
        case 0xE0: return "Error-permanent-failure";
        case 0xE1: return "Error-permanent-service-denied";
        case 0xE2: return "Error-permanent-message-not-found";
        case 0xE3: return "Error-permanent-content-unsupported";
        default:
            if (status > 0xC0 && status < 0xE0) return "Error-transient-failure";
            if (status > 0xE0 && status <= 0xFF) return "Error-permanent-failure";
            return nullptr;
    }
}

// ---------------------------------------------------------------- the command
namespace {

void log_to_stderr(const char *text, void *) { std::fputs(text, stderr); }

// Reads a whole file; false with *why set when it cannot be read.
bool read_file(const std::string &path, std::vector<uint8_t> &out, std::string *why) {
    bool notOpened = false;
    if (read_input(path, kMaxInputFile, &out, why, &notOpened)) return true;
    *why = (notOpened ? "cannot open: " : "cannot read: ") + *why;
    return false;
}

}  // namespace

constexpr char kDumpUsage[] =
    "usage: rorodire dump [--json] [--verbose] [--] FILE...\n"
    "\n"
    "Decodes MMS PDUs (OMA MMS Encapsulation) with the library's decoders and\n"
    "prints their header fields and, for messages with a body, each part and\n"
    "whether there is a SMIL presentation; Status and Read-Status values also in\n"
    "words (Retrieved, Read, ...).\n"
    "  --json      one JSON object per file and line: keys file, type, headers,\n"
    "              meanings (the named values in words, when there are any),\n"
    "              parts, smil, and error for a file that does not decode\n"
    "  --verbose, -v  the library's diagnostic log on stderr\n"
    "  --          what follows are file names, even when they begin with '-'\n"
    "Texts are shown escaped: control characters, C1 controls, U+2028, U+2029,\n"
    "U+FEFF and bidirectional controls as escapes, invalid UTF-8 as bytes.\n"
    "Exit status: 0 all decoded, 1 a file cannot be read or decoded, 2 usage error.\n";

int cmd_dump(int argc, char **argv) {
    bool json = false;
    bool verbose = false;
    bool options = true;
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--json") {
            json = true;
        } else if (options && (a == "--verbose" || a == "-v")) {
            verbose = true;
        } else if (options && (a == "--help" || a == "-h")) {
            std::fputs(kDumpUsage, stdout);
            return 0;
        } else if (options && a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "rorodire dump: unknown option %s\n", a.c_str());
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "rorodire dump: no file given (rorodire help)\n");
        return 2;
    }
    // stdout carries the tool's output only: the library's log goes to stderr
    // with --verbose and nowhere otherwise.
    if (verbose) {
        qx::set_log_sink(&log_to_stderr, nullptr);
        qx::set_log_enabled(true);
    } else {
        qx::set_log_enabled(false);
    }

    int failures = 0;
    for (const std::string &path : files) {
        std::vector<uint8_t> bytes;
        std::string why;
        Dump d;
        if (read_file(path, bytes, &why)) {
            d = dump_pdu(path, bytes);
            if (d.error.empty())
                if (const std::string cut = pdu_problem(bytes, -1); !cut.empty()) d.error = "the PDU " + cut;
        } else {
            d.file = path;
            d.error = why;
        }
        if (!d.error.empty()) {
            ++failures;
            std::fflush(stdout);
            std::fprintf(stderr, "rorodire: %s: %s\n", path.c_str(), d.error.c_str());
        }
        const std::string out = json ? to_json(d) : to_text(d);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    std::fflush(stdout);
    qx::set_log_sink(nullptr, nullptr);
    return failures ? 1 : 0;
}

}  // namespace rrtool
