// The timer handle list shared by the send and the download, the process
// state of the transactions, and the settings both apply to the HTTP stack.
#include <cstring>

#include "hbxappglib.h"
#include "qx_internal.h"
#include "glib_qx_stack_porting.h"
#include "qx_log.h"

HbxState &hbx_state() {
    static HbxState s{HbxActive::None, 0, nullptr, {}, {}, {nullptr, nullptr, 0}, HBX_STEP_PERIOD_MS, 0, nullptr,
                      nullptr, nullptr, {HbxEndCause::None, 0, 0}, nullptr, nullptr, HbxDrive::Timer, nullptr, nullptr,
                      nullptr, {}, 0};
    return s;
}

void hbx_SetSendConfObserver(HbxSendConfObserver observer, void *user) {
    HbxState &s = hbx_state();
    s.confObserver = observer;
    s.confObserverUser = observer ? user : nullptr;
}

bool hbx_Busy() { return hbx_state().active != HbxActive::None; }

void hbx_SetDownloadStore(HbxDownloadStore store, void *user) {
    HbxState &s = hbx_state();
    s.dlStore = store;
    s.dlStoreUser = store ? user : nullptr;
}

const HbxEnding &hbx_LastEnding() { return hbx_state().ending; }

void hbx_SetEndCause(HbxEndCause cause, int32_t detail) {
    HbxEnding &e = hbx_state().ending;
    if (e.cause != HbxEndCause::None) return;
    e.cause = cause;
    e.detail = detail;
}

void hbx_SetStepPeriod(int ms) { hbx_state().stepPeriodMs = ms >= 0 ? ms : HBX_STEP_PERIOD_MS; }

extern "C" int fnCPS_AddTimerHandle(OSAL_TIMER handle) {
    HbxHandleList &list = hbx_state().handleList;
    auto *node = qx::alloc_rec<HbxHandleNode>();
    if (!node) return 0;
    node->handle = handle;
    // Appended at the tail: the list keeps the order the timers were armed in.
    if (list.tail)
        list.tail->next = node;
    else
        list.head = node;
    list.tail = node;
    ++list.nodeNums;
    QX_LOG("add to handleList.nodeNums = %d\n", list.nodeNums);
    return 1;
}

extern "C" void fnCPS_FreeTimerHandles(void) {
    HbxHandleList &list = hbx_state().handleList;
    HbxHandleNode *node = list.head;
    list.head = nullptr;
    list.tail = nullptr;
    while (node) {
        HbxHandleNode *next = node->next;
        if (node->handle) {
            g_free_timer(node->handle);
            QX_LOG("#####succeed to free timer\n");
        }
        --list.nodeNums;
        qx::free_ptr(node);
        node = next;
    }
    list.nodeNums = 0;
}

void hbx_ResetTimerHandles() {
    HbxHandleList &list = hbx_state().handleList;
    HbxHandleNode *node = list.head;
    while (node) {
        HbxHandleNode *next = node->next;
        qx::free_ptr(node);
        node = next;
    }
    list.head = nullptr;
    list.tail = nullptr;
    list.nodeNums = 0;
}

void hbx_SetDrive(HbxDrive drive) { hbx_state().drive = drive; }
HbxDrive hbx_Drive() { return hbx_state().drive; }

bool hbx_SetMaxMessageSize(uint32_t bytes) {
    if (bytes != 0 && (bytes < 1024 || bytes > HBX_MAX_MESSAGE_LIMIT)) return false;
    hbx_state().maxMessageSize = bytes;
    return true;
}

uint32_t hbx_MaxMessageSize() {
    const uint32_t set = hbx_state().maxMessageSize;
    return set ? set : static_cast<uint32_t>(HBX_MAX_MESSAGE_SIZE);
}

void hbx_SetDownloadObservers(HbxRetrievedObserver retrieved, HbxAnsweredObserver answered, void *user) {
    HbxState &s = hbx_state();
    s.retrievedObserver = retrieved;
    s.answeredObserver = answered;
    s.dlObserverUser = (retrieved || answered) ? user : nullptr;
}

void hbx_Drives(HttpCtx *ctx) {
    if (ctx) ctx->drainIo = hbx_state().drive == HbxDrive::Readiness ? 1 : 0;
}

bool hbx_ReportPercent(int percent, int16_t *last) {
    if (hbx_state().drive != HbxDrive::Readiness) return true;
    if (percent <= *last) return false;
    *last = static_cast<int16_t>(percent);
    return true;
}

namespace {

// The reader has bytes to take without the socket: body bytes buffered past
// the parsed header block, or so many that reading pauses.
bool reader_behind(const HttpCtx *ctx) {
    const int unread = ctx->recvBuf ? fnQXBuf_Unreadable(ctx->recvBuf) : 0;
    if (unread > QX_HTTP_RECV_PAUSE) return true;
    if (!ctx->headersParsed || !ctx->answerChecked || unread <= 0) return false;
    return ctx->bodyFraming == HTTP_BODY_CHUNKED ? ctx->chunkReady > 0 : true;
}

// The longest a name lookup is left before the next look: 1 ms, doubling
// with every step that found it pending, up to the step period.
int lookup_wait_ms(const HttpCtx *ctx, int period) {
    const int shift = ctx->retryCount < 0 ? 0 : (ctx->retryCount > 16 ? 16 : ctx->retryCount);
    const int ms = 1 << shift;
    return ms < period ? ms : period;
}

}  // namespace

int hbx_ArmFor(const HttpCtx *ctx, OSAL_TIMER_CB cb, void *user, OSAL_TIMER *handle) {
    const HbxState &s = hbx_state();
    const int period = s.stepPeriodMs;
    if (s.drive != HbxDrive::Readiness) return g_settimer(period, cb, user, 0, handle);
    if (!ctx) return g_settimer(0, cb, user, 0, handle);
    int events = 0;
    switch (ctx->state) {
        case HTTP_ST_ADDR: return g_settimer(lookup_wait_ms(ctx, period), cb, user, 0, handle);
        case HTTP_ST_CONNECT:
        case HTTP_ST_SEND: events = OSAL_WATCH_WRITE; break;
        case HTTP_ST_RECV:
            if (reader_behind(ctx)) return g_settimer(0, cb, user, 0, handle);
            events = OSAL_WATCH_READ;
            break;
        default: return g_settimer(0, cb, user, 0, handle);  // the reader takes what is buffered
    }
    const QXSocketLayer &layer = fnQX_Stack_Layer();
    const OSAL_SOCKET sock = ctx->socket > 0 && ctx->socket < QX_SOCKET_SLOTS ? layer.slots[ctx->socket].ISocket : 0;
    if (!sock) return g_settimer(0, cb, user, 0, handle);
    return g_sock_watch(sock, events, period, cb, user, handle);
}

int hbx_ArmStep(OSAL_TIMER_CB cb, void *record) {
    OSAL_TIMER handle = nullptr;
    const HbxState &s = hbx_state();
    const HttpCtx *ctx = s.active == HbxActive::Send       ? s.send.sendMmsCtx
                         : s.active == HbxActive::Download ? s.dl.receiveCtx
                                                           : nullptr;
    const int r = hbx_ArmFor(ctx, cb, record, &handle);
    if (r != 0 || !handle) return r != 0 ? r : HBX_STEP_FAILED;
    if (!fnCPS_AddTimerHandle(handle)) {
        // A timer nobody can release would fire after the transaction ended.
        g_free_timer(handle);
        QX_LOG("mzk:timer handle cannot be recorded\n");
        return HBX_STEP_FAILED;
    }
    return HBX_STEP_CONTINUE;
}

void hbx_ApplyHeaders(const MmsSettings *settings) {
    if (!settings) return;
    if (settings->UAHttp) fnQXStack_Http_SetHeader("User-Agent", settings->UAHttp);
    if (settings->UAProfile) fnQXStack_Http_SetHeader("Profile", settings->UAProfile);
}

bool hbx_SetBearer(const QXBearer *bearer) {
    QXBearer copy{};
    if (bearer && !fnQX_Stack_MakeBearer(&copy, bearer->ifname, bearer->source, bearer->dns)) return false;
    hbx_state().bearer = copy;
    return true;
}

bool hbx_BeginStack(const MmsSettings *settings, int *port) {
    // A proxy port is 1 to 65535 in digits (80 when none is given); anything
    // else is refused before the stack starts, never read as some number.
    *port = 80;
    const char *portText = settings->ProxyPort;
    if (settings->ProxyAddr && settings->ProxyAddr[0] && portText && portText[0]) {
        const int len = static_cast<int>(strnlen(portText, 16));
        if (fnQXStack_ReadPort(portText, len, port) != QXUrlFault::None) {
            QX_LOG("mzk:proxy port refused: %s\n", fnQXStack_UrlFaultText(QXUrlFault::BadPort));
            return false;
        }
    }
    if (fnQXStack_Wap_Init(HBX_STACK_MODE_HTTP) == -1) return false;
    fnQX_Stack_SetBearer(&hbx_state().bearer);  // the stack forgets it when it finalises
    hbx_ApplyHeaders(settings);
    fnQXStack_Http_SetProxy(settings->ProxyAddr, *port);
    return true;
}

// Only 200 carries an MMS answer: 204 has no body, 206 a part of one, and
// the other 2xx are no answer to a plain GET or POST of a PDU.
bool hbx_HttpOk(const HttpCtx *ctx) { return ctx && ctx->retValue == 200; }
