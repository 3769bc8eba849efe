// The HTTP module's process state in one record: proxy, initialisation,
// stack mode, header store, cookie jar and the socket work area. Init sets it
// up and Finalize releases everything it holds, so nothing stays allocated
// between transactions.
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
    char *copy = wanted ? fnQXStack_StrDup(host) : nullptr;
    drop_proxy();
    if (wanted && !copy) {
        // Going direct instead would send the request past the operator's
        // gateway: every request fails until a proxy is set again.
        QX_LOG("http: proxy host cannot be kept");
        g_module.proxyFailed = 1;
        return QX_STEP_FAILED;
    }
    g_module.proxyHost = copy;
    g_module.proxyPort = port;
    return QX_STEP_DONE;
}

const char *fnQXStack_Http_ProxyHost() { return g_module.proxyHost; }

int fnQXStack_Http_ProxyPort() { return g_module.proxyPort; }
