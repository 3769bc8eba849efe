// The HTTP module's process state in one record: proxy, initialisation,
// stack mode, header store, cookie jar and the socket work area. Init sets it
// up and Finalize releases everything it holds, so nothing stays allocated
// between transactions.
#include <cstring>

#include "glib_qx_stack_porting.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "qx_stack_http.h"

namespace {

QXHttpModule g_module;

// Built-in values of the header store; the transactions overwrite User-Agent
// and Profile with their configured values.
constexpr const char *kDefaultAccept = "*/*,application/vnd.wap.mms-message,text/html";
constexpr const char *kDefaultUserAgent = "VRN-WIN K410/WAP2.0 Profile/MIDP-2.0 Configuration/CLDC-1.1";
constexpr const char *kDefaultProfile = "http://uaprof.vrn-mobile.com/mobile/uaprof/VRN-K410.xml";
constexpr const char *kDefaultAcceptLanguage = "en";

void drop_proxy() {
    qx::free_ptr(g_module.proxyHost);
    g_module.proxyPort = 0;
    g_module.proxyFailed = 0;
}

}  // namespace

QXHttpModule &fnQXStack_Http_Module() { return g_module; }

void fnQXStack_Http_SetRedirectPolicy(QXRedirectPolicy policy) { g_module.redirectPolicy = policy; }
QXRedirectPolicy fnQXStack_Http_RedirectPolicy() { return g_module.redirectPolicy; }
const char *fnQXStack_Http_RedirectRefusal() { return g_module.redirectRefusal; }
void fnQXStack_Http_ClearRedirectRefusal() { g_module.redirectRefusal[0] = 0; }

int fnQXStack_Http_Init() {
    if (g_module.initialised) return QX_STEP_DONE;
    if (fnQX_Stack_Init() != QX_SOCK_OK) return QX_STEP_FAILED;
    g_module.initialised = 1;
    fnQXStack_Http_SetHeader("Accept", kDefaultAccept);
    fnQXStack_Http_SetHeader("User-Agent", kDefaultUserAgent);
    fnQXStack_Http_SetHeader("Profile", kDefaultProfile);
    fnQXStack_Http_SetHeader("Accept-Language", kDefaultAcceptLanguage);
    return QX_STEP_DONE;
}

int fnQXStack_Http_Finalize() {
    fnQX_Stack_Finalize();
    g_module.initialised = 0;
    fnQXStack_Http_FreeHeaders();
    fnQXStack_Http_FreeCookies();
    // Every transaction sets its proxy after initialising, so the copy goes
    // with the rest of the state. The recorded stack mode stays: it is only
    // a choice of the caller, not something held.
    drop_proxy();
    return QX_STEP_DONE;
}

int fnQXStack_Http_SetProxy(const char *host, int port) {
    // An empty host name means "no proxy", like a null one.
    const bool wanted = host && host[0];
    char *copy = nullptr;
    const char *why = nullptr;
    if (wanted) {
        // The proxy host is read as the authority of a URL reads it: a host
        // name, an IPv4 address or an IPv6 address (bracketed or not). The
        // socket layer takes an IPv6 address without its brackets.
        const int len = static_cast<int>(strnlen(host, 1024));
        const bool bareIpv6 = host[0] != '[' && memchr(host, ':', static_cast<size_t>(len));
        char bracketed[64];
        const char *text = host;
        int textLen = len;
        if (bareIpv6 && len + 3 <= static_cast<int>(sizeof bracketed)) {
            bracketed[0] = '[';
            memcpy(bracketed + 1, host, static_cast<size_t>(len));
            bracketed[len + 1] = ']';
            bracketed[len + 2] = '\0';
            text = bracketed;
            textLen = len + 2;
        }
        QXAuthority a{};
        const QXUrlFault f = fnQXStack_ReadAuthority(text, textLen, 80, &a);
        char plain[64];
        if (f != QXUrlFault::None || a.hostLen != textLen) {
            why = f != QXUrlFault::None ? fnQXStack_UrlFaultText(f) : "a port in the host name";
        } else if (port < 1 || port > 65535) {
            why = fnQXStack_UrlFaultText(QXUrlFault::BadPort);
        } else if (a.ipv6) {
            copy = fnQXStack_ConnectHost(a.host, a.hostLen, plain, sizeof plain) ? fnQXStack_StrDup(plain) : nullptr;
        } else {
            copy = fnQXStack_StrDup(host);
        }
        if (!why && !copy) why = "cannot be kept";
    }
    drop_proxy();
    if (why) {
        // Going direct instead would send the request past the operator's
        // gateway: every request fails until a proxy is set again.
        QX_LOG("http: proxy host refused: %s", why);
        g_module.proxyFailed = 1;
        return QX_STEP_FAILED;
    }
    g_module.proxyHost = copy;
    g_module.proxyPort = port;
    return QX_STEP_DONE;
}

const char *fnQXStack_Http_ProxyHost() { return g_module.proxyHost; }

int fnQXStack_Http_ProxyPort() { return g_module.proxyPort; }
