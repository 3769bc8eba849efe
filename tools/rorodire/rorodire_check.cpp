// Completeness of PDU files and reachability of relays and proxies, for the
// tool's error messages.
#include "rorodire_check.h"

#include <gio/gio.h>

#include "MMSProl_Encapsulaton.h"
#include "rorodire_tool.h"
#include "rr_stack.h"

namespace rrtool {
namespace {

constexpr uint8_t kContentType = 0x84;

std::string type_name(int code) {
    const char *n = message_type_name(code);
    if (n) return std::string("an ") + n;
    char b[16];
    std::snprintf(b, sizeof b, "0x%02X", code & 0xFF);
    return std::string("a PDU of type ") + b;
}

bool has_body(int type) { return type == 0x80 || type == 0x84; }

// What is cut short in a body that starts at the Content-Type field; "" when
// every declared byte is there.
std::string body_problem(const uint8_t *body, int len) {
    const MmsBodyCheck b = MMS_CheckBodyExtent(body, len);
    switch (b.extent) {
        case MmsBodyExtent::Whole: return {};
        case MmsBodyExtent::NoBody: return "ends before its body";
        case MmsBodyExtent::CutInContentType: return "is cut short in its header";
        case MmsBodyExtent::CutBeforeEntries: return "is cut short before its body";
        case MmsBodyExtent::CutInEntry:
            return "is cut short in part " + std::to_string(b.part) + " of " + std::to_string(b.parts);
    }
    return {};
}

}  // namespace

std::string pdu_problem(const std::vector<uint8_t> &pdu, int want) {
    if (pdu.empty()) return "is empty";
    if (pdu.size() > static_cast<size_t>(INT32_MAX)) return "is too large";
    const int len = static_cast<int>(pdu.size());
    const int type = fnMMS_FindMessageType(pdu.data(), len);
    if (type == MMS_NO_MESSAGE_TYPE) return "is not an MMS PDU (no Message-Type field)";
    if (want >= 0 && type != want) return "is " + type_name(type) + ", not " + type_name(want);

    // Header fields, each stepped over by its WSP encoding; a text-named
    // application header is two texts.
    WspCursor c = wsp_cursor(pdu.data(), len);
    const uint8_t *body = nullptr;
    while (c.left() > 0 && !body) {
        const uint8_t field = *c.p;
        if (field == kContentType) {
            body = c.p;  // the body: the library's own check takes it from here
        } else if (field >= 0x80) {
            ++c.p;
            if (c.left() == 0 || !SkipValue(c)) return "is cut short in its header";
        } else if (!SkipText(c) || !SkipText(c)) {
            return "is cut short in its header";
        }
    }
    if (has_body(type)) {
        if (!body) return "ends before its body";
        const std::string why = body_problem(body, static_cast<int>(pdu.data() + len - body));
        if (!why.empty()) return why;
    }
    if (type == 0x82) {
        tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(pdu.data(), len);
        std::string why, urlWhy;
        if (!n)
            why = "does not decode as an m-notification-ind";
        else if (!n->Content_Location || !*n->Content_Location)
            why = "has no Content-Location";
        else if (!n->Transaction_Id || !*n->Transaction_Id)
            why = "has no Transaction-Id";
        else if (rrhost::HostPort u; !rrhost::read_url(n->Content_Location, &u, &urlWhy))
            why = "has a Content-Location the download cannot use: " + urlWhy;
        if (n) fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
        return why;
    }
    return {};
}

std::string reach_problem(const std::string &proxy, const std::string &url) {
    // The library's reader: the tool checks the host and port a transaction
    // connects to, never a differently read one.
    rrhost::HostPort a;
    std::string what, fault;
    if (!proxy.empty()) {
        what = "the proxy " + proxy;
        if (rrhost::read_authority(proxy, 80, &a, &fault) != rrhost::AddressFault::None)
            return what + " is not usable: " + fault;
    } else {
        what = "the relay at " + url;
        if (!rrhost::read_url(url, &a, &fault)) return "the relay URL '" + url + "' is not usable: " + fault;
    }
    std::string host;
    if (!rrhost::connect_host(a, &host)) return what + " names no usable host";
    const auto port = static_cast<guint16>(a.port);
    // An address is connected to as it is; only a host name is looked up.
    GSocketConnectable *target = nullptr;
    if (GInetAddress *ip = g_inet_address_new_from_string(host.c_str())) {
        target = G_SOCKET_CONNECTABLE(g_inet_socket_address_new(ip, port));
        g_object_unref(ip);
    } else {
        target = g_network_address_new(host.c_str(), port);
    }
    GSocketClient *client = g_socket_client_new();
    g_socket_client_set_timeout(client, 2);
    GError *err = nullptr;
    GSocketConnection *conn = g_socket_client_connect(client, target, nullptr, &err);
    std::string why;
    if (!conn) why = "cannot connect to " + what + " (" + (err ? err->message : "no answer") + ")";
    if (conn) g_object_unref(conn);
    if (err) g_error_free(err);
    g_object_unref(client);
    g_object_unref(target);
    return why;
}

}  // namespace rrtool
