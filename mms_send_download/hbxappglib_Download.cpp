// Download transaction: fetches the message an m-notification-ind announces
// with an HTTP GET, hands the m-retrieve-conf to the host, answers the relay
// with an m-notifyresp-ind or m-acknowledge-ind and reports once through the
// host's callback. One poll of the HTTP context per 100 ms timer.
#include <cstdio>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

HbxDownloadGlobals &G() { return hbx_state().dl; }

constexpr uint8_t kStatusRetrieved = 0x81;
constexpr uint8_t kStatusDeferred = 0x83;
constexpr uint8_t kRetrieveStatusOk = 0x80;
constexpr int kNotifyRespMode = 3;

void release_info(NotifInfo *&info) {
    if (!info) return;
    qx::free_ptr(info->Content_Location);
    qx::free_ptr(info->Transaction_Id);
    qx::free_ptr(info);
}

void release_record(DLMMSTimerPar *&rec) {
    if (!rec) return;
    release_info(rec->pNotifInfo);
    qx::free_ptr(rec);
}

// Clears the counters and positions; buffers are released by their owners.
void clear_globals() {
    HbxDownloadGlobals &g = G();
    g.bodyCapacity = 0;
    g.mmsBodyLen = 0;
    g.mms_receive_time_out = 0;
    g.progressBytes = 0;
    g.ackBytes = 0;
    g.lastPercent = -1;
}

void close_ctx() {
    if (G().receiveCtx) fnQXStack_Http_Close(G().receiveCtx);
    G().receiveCtx = nullptr;
}

// Closes the exchange, stops the stack, drops the buffers and counters.
void release_exchange() {
    HbxDownloadGlobals &g = G();
    close_ctx();
    fnQXStack_Http_Finalize();
    qx::free_ptr(g.p_mmsBody);
    qx::free_ptr(g.pAnswerPdu);
    g.answerLen = 0;
    clear_globals();
}

extern const HbxKind kDownload;

int fail(void *rec) {
    QX_LOG("mzk:download HBX_MSG_DL_FAIL_NOR\n");
    return hbx_End(kDownload, rec, MMS_WAP_ERROR, HBX_MSG_DL_FAIL_NOR, 0, HBX_STEP_FAILED);
}

// More than a download takes: the size limit, reported as such.
int fail_too_big(void *rec) {
    QX_LOG("mzk:download HBX_MSG_DL_MSG_TOOBIG\n");
    return hbx_End(kDownload, rec, MMS_RECEIVE_TOOBIG, HBX_MSG_DL_MSG_TOOBIG, 0, HBX_STEP_FAILED);
}

// How the answer exchange ended, for the host that records it.
void answered(bool ok, int httpStatus) {
    const HbxState &s = hbx_state();
    if (s.answeredObserver) s.answeredObserver(ok, httpStatus, s.dlObserverUser);
}

// The answer exchange is over, whatever its outcome: the message is already
// with the host. A message the host's store refused is a failure (the relay
// was told Deferred and keeps it).
int finish_ok(void *record) {
    if (static_cast<DLMMSTimerPar *>(record)->storeRefused) {
        QX_LOG("mzk:download HBX_MSG_DL_FAIL_NOR: the message was not stored, the relay keeps it\n");
        // What the host must know first, whatever ended the answer.
        hbx_state().ending.cause = HbxEndCause::StoreRefused;
        return hbx_End(kDownload, record, MMS_SEND_ACK_AFTER, HBX_MSG_DL_FAIL_NOR, 0, HBX_STEP_FAILED);
    }
    QX_LOG("mzk:download progress=100\n");
    return hbx_End(kDownload, record, MMS_SEND_ACK_AFTER, HBX_MSG_DL_OK, 100, HBX_STEP_CONTINUE);
}

// Gives the body buffer `want` bytes of room (never beyond the most a
// download receives and the zero byte after it) by reallocation: the bytes
// in it stay where the allocator keeps them, nothing is copied by hand.
// False when the buffer cannot change (the old one is then kept).
bool resize_body(uint32_t want) {
    HbxDownloadGlobals &g = G();
    if (want > hbx_MaxReceived() + 1 || want < g.mmsBodyLen || want == 0) return false;
    auto *p = static_cast<uint8_t *>(fnQX_Realloc(g.p_mmsBody, static_cast<int>(want)));
    if (!p) return false;
    // A block the allocator could not grow in place was copied.
    if (g.p_mmsBody && p != g.p_mmsBody) fnQXStack_CopyCount().copied += g.mmsBodyLen;
    g.p_mmsBody = p;
    g.bodyCapacity = want;
    return true;
}

// Grows the body buffer so that more bytes fit: to the stated length once
// the response has one (and its zero byte), else doubling. False when it is
// at the most a download receives already or cannot grow.
bool grow_body(const HttpCtx *ctx) {
    HbxDownloadGlobals &g = G();
    if (g.bodyCapacity >= hbx_MaxReceived()) return false;
    uint32_t want = g.bodyCapacity > 0 ? g.bodyCapacity * 2 : HBX_BODY_BUF_FIRST;
    if (ctx && ctx->headersParsed && ctx->retCtxLen > 0 && static_cast<uint32_t>(ctx->retCtxLen) < hbx_MaxReceived() &&
        static_cast<uint32_t>(ctx->retCtxLen) >= g.bodyCapacity)
        want = static_cast<uint32_t>(ctx->retCtxLen) + 1;
    if (want > hbx_MaxReceived()) want = hbx_MaxReceived();
    return resize_body(want);
}

// Percent of the body received: against the Content-Length, or without one
// against the size the notification announced; nothing to report without
// either.
void report_progress(const DLMMSTimerPar *rec, const HttpCtx *ctx) {
    if (!rec->pMMSDLResultCb) return;
    uint64_t total = 0;
    if (ctx->retCtxLen > 0)
        total = static_cast<uint64_t>(ctx->retCtxLen);
    else if (rec->pNotifInfo->Message_Size > 0)
        total = static_cast<uint64_t>(rec->pNotifInfo->Message_Size);
    if (total == 0) return;
    uint64_t percent = static_cast<uint64_t>(G().progressBytes) * 100u / total;
    if (percent > 99) percent = 99;
    if (!hbx_ReportPercent(static_cast<int>(percent), &G().lastPercent)) return;
    rec->pMMSDLResultCb(HBX_MSG_DL_PROGRESS, static_cast<int>(percent));
}

int step_begin(DLMMSTimerPar *rec) {
    const MmsSettings *settings = rec->pSettings;
    int port = 0;
    const bool begun = hbx_BeginStack(settings, &port);
    clear_globals();
    if (!begun) {
        QX_LOG("mzk:(-1 == initstackReturn),download fail\n");
        rec->httpRetrievalState = MMS_WAP_ERROR;
        return HBX_STEP_FAILED;
    }
    QX_LOG("mzk:httpStackRetrieval proxy = %s,port=%d\n", settings->ProxyAddr ? settings->ProxyAddr : "(null)", port);
    rec->httpRetrievalState = MMS_WAP_BEGIN_OK;
    return HBX_STEP_CONTINUE;
}

int step_open(DLMMSTimerPar *rec) {
    HbxDownloadGlobals &g = G();
    g.lastHttpStatus = 0;
    g.lastRetrieveStatus = 0;
    g.receiveCtx = fnQXStack_Http_Open_Get(rec->pNotifInfo->Content_Location);
    if (!g.receiveCtx) {
        QX_LOG("mzk:(receiveCtx == NULL)\n");
        fnQXStack_Http_Finalize();
        rec->httpRetrievalState = MMS_WAP_ERROR;
        return HBX_STEP_FAILED;
    }
    hbx_Drives(g.receiveCtx);
    rec->httpRetrievalState = MMS_WAP_PEEK_OK;
    // The buffer grows with the bytes that arrive; what the notification
    // announces decides nothing here.
    g.bodyCapacity = 0;
    g.mmsBodyLen = 0;
    if (!grow_body(nullptr)) {
        QX_LOG("mzk:(p_mmsBody == NULL)\n");
        close_ctx();
        fnQXStack_Http_Finalize();
        rec->httpRetrievalState = MMS_WAP_ERROR;
        return HBX_STEP_FAILED;
    }
    return HBX_STEP_CONTINUE;
}

// Why a complete 2xx response cannot hold the message: null when it may. It
// must come without a content coding, its body starting with the
// Message-Type of an m-retrieve-conf.
const char *not_retrieved(const HttpCtx *ctx) {
    const HbxDownloadGlobals &g = G();
    if (ctx->contentEncoding != HTTP_CODING_IDENTITY) return "a Content-Encoding";
    if (g.mmsBodyLen < 2 || g.p_mmsBody[0] != MMS_MESSAGE_TYPE_FIELD || g.p_mmsBody[1] != MMS_M_RETRIEVE_CONF)
        return "a body that is not an m-retrieve-conf";
    return nullptr;
}

// Why the decoded message cannot be handed over: null when its header
// decodes with a body and every part of that body lies inside the bytes
// received.
const char *not_whole(const tMMS_RetrieveConf *conf, char *why, int size) {
    if (!conf->body || conf->Content_Size <= 0) return "no body";
    const MmsBodyCheck b = MMS_CheckBodyExtent(conf->body, conf->Content_Size);
    switch (b.extent) {
        case MmsBodyExtent::Whole: return nullptr;
        case MmsBodyExtent::NoBody: return "no body";
        case MmsBodyExtent::CutInContentType: return "cut short in the body's Content-Type";
        case MmsBodyExtent::CutBeforeEntries: return "cut short before its parts";
        case MmsBodyExtent::CutInEntry:
            std::snprintf(why, static_cast<size_t>(size), "cut short in part %u of %u", b.part, b.parts);
            return why;
    }
    return "no body";
}

// The body is complete: check it where it lies, hand the buffer itself to
// the host, go on to answer.
int body_complete(void *record, HttpCtx *ctx) {
    auto *rec = static_cast<DLMMSTimerPar *>(record);
    HbxDownloadGlobals &g = G();
    QX_LOG("mzk:MMS SIZE = %ld\n", static_cast<long>(g.mmsBodyLen));
    if (g.mmsBodyLen < static_cast<uint32_t>(ctx->retCtxLen)) {
        QX_LOG("mzk:mmsBodyLen ERROR\n");
        return fail(rec);
    }
    g.lastHttpStatus = ctx->retValue;
    if (!hbx_HttpOk(ctx)) {
        QX_LOG("mzk:download http status=%d\n", ctx->retValue);
        hbx_SetEndCause(HbxEndCause::HttpStatus);
        return fail(rec);
    }
    if (const char *why = not_retrieved(ctx)) {
        QX_LOG("mzk:download refused: %s\n", why);
        hbx_SetEndCause(HbxEndCause::NotMessage);
        return fail(rec);
    }
    g.mms_receive_time_out = 0;
    // The response is all in the body buffer: its connection and receive
    // buffer go before the message is decoded and copied. The stack stays
    // up, its headers and cookies serve the answer.
    close_ctx();
    // The whole message is checked where it lies: its header decodes and its
    // body's parts are all inside the bytes received (the in-place decoder
    // leaves the body in the buffer, nothing is copied).
    tMMS_DecodeReport report{};
    tMMS_RetrieveConf *conf = MMS_ParseRetrieveConfInPlace(g.p_mmsBody, static_cast<int>(g.mmsBodyLen), &report);
    if (!conf) {
        QX_LOG("mzk:NULL == retrievestruct\n");
        hbx_SetEndCause(HbxEndCause::NotMessage);
        return fail(rec);
    }
    const uint8_t status = conf->Retrieve_Status;
    g.lastRetrieveStatus = status;
    const bool bodyless = !conf->body || conf->Content_Size <= 0;
    char cut[64];
    const char *why = not_whole(conf, cut, sizeof cut);
    conf->body = nullptr;  // it points into the body buffer
    fnMMS_FreeMessageMem(conf, MMS_STRUCT_RETRIEVE_CONF);
    if (status != 0 && status != kRetrieveStatusOk) {
        // The relay says the message is not there (expired, deleted, ...):
        // nothing is handed over and the relay is not told it was retrieved.
        QX_LOG("mzk:download refused: Retrieve-Status 0x%02X\n", status);
        hbx_SetEndCause(HbxEndCause::RetrieveStatus, status);
        return fail(rec);
    }
    if (why) {
        if (bodyless && rec->pNotifInfo->Message_Size > 0 &&
            static_cast<uint32_t>(rec->pNotifInfo->Message_Size) > hbx_MaxMessageSize()) {
            QX_LOG("mzk:httpRetrievalState = MMS_RECEIVE_TOOBIG\n");
            return fail_too_big(rec);
        }
        // A message cut short is no message: a failure like the others, and
        // the relay is not told it was retrieved.
        QX_LOG("mzk:download refused: the message is %s\n", why);
        hbx_SetEndCause(HbxEndCause::Cut);
        return fail(rec);
    }
    // The buffer itself goes to the host, with the zero byte after the
    // message and no room beyond it.
    if (g.bodyCapacity != g.mmsBodyLen + 1 && !resize_body(g.mmsBodyLen + 1)) {
        QX_LOG("mzk:httpRetrievalState = MMS_WAP_ERROR\n");
        return fail(rec);
    }
    g.p_mmsBody[g.mmsBodyLen] = 0;
    rec->pOut->data = g.p_mmsBody;
    rec->pOut->length = static_cast<int>(g.mmsBodyLen);
    rec->httpRetrievalState = MMS_WAP_RECEIVE_OK;
    g.p_mmsBody = nullptr;
    clear_globals();
    // The host stores the message before the relay hears anything (and
    // before any other ending can report it): a message it could not keep
    // stays on the relay, answered Deferred.
    const HbxState &s = hbx_state();
    if (s.dlStore && !s.dlStore(rec->pOut->data, rec->pOut->length, s.dlStoreUser)) {
        QX_LOG("mzk:the host did not store the message\n");
        rec->storeRefused = true;
    }
    // The host may take the message now; the answer to the relay follows.
    if (!rec->storeRefused && s.retrievedObserver) s.retrievedObserver(rec->pOut, s.dlObserverUser);
    return hbx_Arm(kDownload, rec, HbxArmAfter::Stored);
}

int step_poll(DLMMSTimerPar *rec) {
    HbxDownloadGlobals &g = G();
    HttpCtx *ctx = g.receiveCtx;
    if (g.mmsBodyLen == g.bodyCapacity && !grow_body(ctx) && g.bodyCapacity < hbx_MaxReceived()) {
        QX_LOG("mzk:body buffer cannot grow\n");
        return fail(rec);
    }
    const uint32_t space = g.bodyCapacity - g.mmsBodyLen;
    int n;
    bool overflow = false;
    if (space > 0) {
        n = fnQXStack_Http_Read(ctx, g.p_mmsBody + g.mmsBodyLen, static_cast<int>(space));
    } else {
        // The most a download takes is in: one more byte means the message
        // is too big, whatever was announced; the end of the response means
        // it fitted exactly.
        uint8_t probe;
        n = fnQXStack_Http_Read(ctx, &probe, 1);
        overflow = n > 0;
    }

    ++g.mms_receive_time_out;
    if (overflow && g.mms_receive_time_out <= HBX_MAX_IDLE_STEPS) {
        QX_LOG("mzk:MMS_RECEIVE_TOOBIG\n");
        return fail_too_big(rec);
    }
    return hbx_Poll(kDownload, rec, ctx, n, g.mms_receive_time_out, g.mmsBodyLen);
}

// n body bytes are in the buffer: progress, and the size the response states.
int body_data(void *record, HttpCtx *ctx, int n) {
    auto *rec = static_cast<DLMMSTimerPar *>(record);
    HbxDownloadGlobals &g = G();
    g.mmsBodyLen += static_cast<uint32_t>(n);
    if (ctx->socketRecvLen > 0) {
        g.mms_receive_time_out = 0;
        g.progressBytes += static_cast<uint32_t>(n);
        report_progress(rec, ctx);
    }
    if (ctx->retCtxLen > 0 && static_cast<uint32_t>(ctx->retCtxLen) > hbx_MaxMessageSize()) {
        QX_LOG("mzk:MMS_RECEIVE_TOOBIG\n");
        return fail_too_big(rec);
    }
    return hbx_Arm(kDownload, rec, HbxArmAfter::Data);
}

// Builds the answer PDU and opens its POST to the relay. False when the
// transaction has ended (the record is gone).
bool step_answer(DLMMSTimerPar *rec) {
    HbxDownloadGlobals &g = G();
    QX_LOG("mzk:httpRetrievalState == MMS_WAP_RECEIVE_OK\n");
    if (rec->storeRefused && rec->retrieveMode != kNotifyRespMode) {
        // An acknowledgement says the message arrived: none is sent.
        finish_ok(rec);
        return false;
    }
    fnQXStack_Wap_Init(HBX_STACK_MODE_HTTP);
    hbx_ApplyHeaders(rec->pSettings);
    int len = 0;
    if (rec->retrieveMode == kNotifyRespMode) {
        QX_LOG("NOTIFY RESPONSE\n");
        g.pAnswerPdu = fnMMS_MakeNotifyRespIndPdu(rec->pNotifInfo->Transaction_Id, 0,
                                                  rec->storeRefused ? kStatusDeferred : kStatusRetrieved, &len);
    } else {
        g.pAnswerPdu = fnMMS_MakeAcknowledgeIndPdu(rec->pNotifInfo->Transaction_Id, 0, &len);
    }
    g.answerLen = g.pAnswerPdu ? len : 0;
    rec->httpRetrievalState = MMS_SEND_ACK;
    g.receiveCtx = g.pAnswerPdu ? fnQXStack_Wap_Open_Post(rec->pSettings->ServerAddr, g.pAnswerPdu, g.answerLen,
                                                          HBX_MMS_CONTENT_TYPE)
                                : nullptr;
    if (!g.receiveCtx) {
        QX_LOG("mzk:post ack fail\n");
        answered(false, 0);
        finish_ok(rec);
        return false;
    }
    g.receiveCtx->retCtxLen = -1;  // nothing announced yet
    hbx_Drives(g.receiveCtx);
    return true;
}

int step_answer_poll(DLMMSTimerPar *rec) {
    HbxDownloadGlobals &g = G();
    uint8_t work[HBX_ACK_WORK_BUF];
    int n = fnQXStack_Wap_Read(g.receiveCtx, work, HBX_ACK_WORK_BUF);
    const int32_t announced = g.receiveCtx->retCtxLen;
    if (announced >= 0 && g.ackBytes >= static_cast<uint32_t>(announced) && n < 0) {
        QX_LOG("mzk:finished MMS_SEND_ACK ackReadLen = 0\n");
        n = 0;
    }
    if (n == QX_STEP_FAILED) {
        QX_LOG("mzk:MMS_SEND_ACK READ CONTEXT  ERROR\n");
        answered(false, g.receiveCtx->retValue > 0 ? g.receiveCtx->retValue : 0);
        return finish_ok(rec);
    }
    if (n == 0) {
        QX_LOG("mzk:MMS_SEND_ACK READ CONTEXT SUCCESS\n");
        const int status = g.receiveCtx->retValue;
        answered(status >= 200 && status <= 299, status);
        return finish_ok(rec);
    }
    if (n > 0) g.ackBytes += static_cast<uint32_t>(n);
    const int bResult = hbx_ArmStep(fnCPS_DownloadMMS_TimerCb, rec);
    if (bResult == HBX_STEP_CONTINUE) return HBX_STEP_CONTINUE;
    answered(false, 0);
    return finish_ok(rec);
}

// ---------------------------------------------------------------- the kind
void say(HbxSay what, int value) {
    switch (what) {
        case HbxSay::FirstStepFailed: QX_LOG("mzk:the first step of  download mms fail\n"); break;
        case HbxSay::TimerServiceFailed: QX_LOG("mzk:begin to initialise timer fail\n"); break;
        case HbxSay::TimerContinue: QX_LOG("mzk:timer come,continue to download mms\n"); break;
        case HbxSay::IdleLimit: QX_LOG("mzk:mms_receive_time_out=%d\n", value); break;
        case HbxSay::DeadlineReached:
            QX_LOG("mzk:download mms ended: the overall deadline of %d ms passed\n", value);
            break;
        case HbxSay::Finished: QX_LOG("mzk:finished httpReadLen = 0\n"); break;
        case HbxSay::ReadFailed: QX_LOG("mzk:context_p->httpReadLen == -1)\n"); break;
        case HbxSay::ReadWait: QX_LOG("mzk:context_p->httpReadLen == -2,continue\n"); break;
    }
}

void say_armed(HbxArmAfter after, int bResult) {
    switch (after) {
        case HbxArmAfter::Wait: QX_LOG("mzk:set time 3,bResult=%d\n", bResult); break;
        case HbxArmAfter::Data: QX_LOG("mzk:set time 4,bResult=%d\n", bResult); break;
        case HbxArmAfter::Stored: QX_LOG("mzk:set time 5,bResult=%d\n", bResult); break;
    }
}

// Once the message is with the host the download has succeeded, only its
// answer is lost.
int arm_failed(void *rec, HbxArmAfter after) {
    if (after != HbxArmAfter::Stored) return fail(rec);
    answered(false, 0);
    return finish_ok(rec);
}

int run(void *rec) { return fnCPS_DownloadMMS_Run(static_cast<DLMMSTimerPar *>(rec)); }
void release_record_of(void *rec) {
    auto *r = static_cast<DLMMSTimerPar *>(rec);
    release_record(r);
}
uint8_t *state_of(void *rec) { return &static_cast<DLMMSTimerPar *>(rec)->httpRetrievalState; }
tCPS_MMSResultCb callback_of(const void *rec) { return static_cast<const DLMMSTimerPar *>(rec)->pMMSDLResultCb; }

// Bytes the deadline allows for: twice what the notification announces,
// within the most a download takes; the answer's POST on top.
int deadline_ms(const void *record) {
    const auto *rec = static_cast<const DLMMSTimerPar *>(record);
    int64_t bytes = 2 * static_cast<int64_t>(rec->pNotifInfo->Message_Size > 0 ? rec->pNotifInfo->Message_Size : 0);
    const int64_t most = hbx_MaxReceived();
    if (rec->pNotifInfo->Message_Size <= 0 || bytes > most) bytes = most;
    if (bytes < HBX_DL_DEADLINE_MIN_BYTES) bytes = HBX_DL_DEADLINE_MIN_BYTES;
    return hbx_DeadlineFor(bytes + HBX_ACK_WORK_BUF);
}

// Past the deadline: a failure, unless the message is with the host already
// (only its answer is then cut short).
int deadline(void *record) {
    const auto *rec = static_cast<const DLMMSTimerPar *>(record);
    const bool stored = rec->httpRetrievalState == MMS_WAP_RECEIVE_OK || rec->httpRetrievalState == MMS_SEND_ACK;
    if (!stored) return fail(record);
    answered(false, 0);
    return finish_ok(record);
}

const HbxKind kDownload{
    .active = HbxActive::Download,
    .timerCb = fnCPS_DownloadMMS_TimerCb,
    .run = run,
    .say = say,
    .sayArmed = say_armed,
    .armFailed = arm_failed,
    .fail = fail,
    .data = body_data,
    .complete = body_complete,
    .releaseExchange = release_exchange,
    .releaseRecord = release_record_of,
    .state = state_of,
    .callback = callback_of,
    .deadlineCb = fnCPS_DownloadMMS_DeadlineCb,
    .deadlineMs = deadline_ms,
    .deadline = deadline,
};

}  // namespace

int fnCPS_DownloadMMS_Run(DLMMSTimerPar *rec) {
    if (!rec) return HBX_STEP_FAILED;
    ++hbx_state().stepCount;
    switch (rec->httpRetrievalState) {
        case MMS_WAP_INIT:
            if (step_begin(rec) != HBX_STEP_CONTINUE) return HBX_STEP_FAILED;
            [[fallthrough]];
        case MMS_WAP_BEGIN_OK:
            return step_open(rec);
        case MMS_WAP_PEEK_OK:
            return step_poll(rec);
        case MMS_WAP_RECEIVE_OK:
            if (!step_answer(rec)) return HBX_STEP_CONTINUE;
            [[fallthrough]];
        case MMS_SEND_ACK:
            return step_answer_poll(rec);
        default:
            return HBX_STEP_FAILED;
    }
}

void fnCPS_DownloadMMS_TimerCb(void *user) { hbx_TimerStep(kDownload, user); }
void fnCPS_DownloadMMS_DeadlineCb(void *user) { hbx_DeadlineStep(kDownload, user); }

extern "C" int fnCPS_DownloadMMS(tCPS_PduBuf *notification, int retrieveMode, MmsSettings *settings,
                                 tCPS_MMSResultCb cb, tCPS_PduBuf *out) {
    QX_LOG("mzk:enter fnCPS_DownloadMMS\n");
    if (hbx_Busy()) {
        // One transaction at a time: the running one is left untouched.
        QX_LOG("mzk:a transaction is in progress, download refused\n");
        return HBX_MSG_DL_FAIL_NOR;
    }
    if (!settings || !out) {
        QX_LOG("mzk:download mms without settings or output record\n");
        return HBX_MSG_DL_FAIL_NOR;
    }
    tMMS_NotifyInd *notif =
        notification ? fnMMS_ParseNotificationInd(notification->data, notification->length) : nullptr;
    if (!notif || (!notif->Transaction_Id && !notif->Content_Location)) {
        QX_LOG("mzk:pNotificationStruct null,download mms fail\n");
        if (notif) fnMMS_FreeMessageMem(notif, MMS_STRUCT_MMS_NOTIFICATION_IND);
        return HBX_MSG_DL_FAIL_NOR;
    }
    auto *rec = qx::alloc_rec<DLMMSTimerPar>();
    auto *info = qx::alloc_rec<NotifInfo>();
    if (!rec || !info) {
        QX_LOG("mzk:pDLMMSTimerPar null,download mms fail\n");
        qx::free_ptr(rec);
        qx::free_ptr(info);
        fnMMS_FreeMessageMem(notif, MMS_STRUCT_MMS_NOTIFICATION_IND);
        return HBX_MSG_DL_FAIL_NOR;
    }
    rec->retrieveMode = retrieveMode;
    rec->httpRetrievalState = MMS_WAP_INIT;
    rec->pOut = out;
    rec->pSettings = settings;
    rec->pMMSDLResultCb = cb;
    // The location and the identifier move into the transaction's own record.
    info->Content_Location = notif->Content_Location;
    info->Transaction_Id = notif->Transaction_Id;
    info->Message_Size = notif->Message_Size;
    notif->Content_Location = nullptr;
    notif->Transaction_Id = nullptr;
    fnMMS_FreeMessageMem(notif, MMS_STRUCT_MMS_NOTIFICATION_IND);
    rec->pNotifInfo = info;

    hbx_ResetTimerHandles();
    QX_LOG("set ndleList.nodeNums=0;");
    return hbx_Start(kDownload, rec) ? HBX_MSG_DL_STARTED : HBX_MSG_DL_FAIL_NOR;
}
