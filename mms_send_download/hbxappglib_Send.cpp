// Send transaction: posts an m-send-req to the MMS relay through the WAP
// proxy, one poll of the HTTP context per 100 ms timer, and reports the
// m-send-conf's verdict once through the host's callback. Only a
// confirmation that answers this request gives a verdict.
#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

HbxSendGlobals &G() { return hbx_state().send; }
SendTimerPar *as_rec(void *rec) { return static_cast<SendTimerPar *>(rec); }

void clear_counters() {
    G().sendConfLen = 0;
    G().sentSize = 0;
    G().mms_timeOut = 0;
    G().lastPercent = -1;
}

// Closes the POST, stops the stack and drops the confirmation buffer.
void release_exchange() {
    if (G().sendMmsCtx) fnQXStack_Wap_Close(G().sendMmsCtx);
    G().sendMmsCtx = nullptr;
    fnQXStack_Http_Finalize();
    qx::free_ptr(G().pSendConfBuf);
    qx::free_ptr(G().requestTid);
    clear_counters();
}

extern const HbxKind kSend;

int end_send(void *rec, uint8_t state, int code, int value) {
    return hbx_End(kSend, rec, state, code, value, code == HBX_MSG_SEND_OK ? HBX_STEP_CONTINUE : HBX_STEP_FAILED);
}

int fail(void *rec) { return end_send(rec, MMS_WAP_ERROR, HBX_MSG_SEND_FAIL, 0); }

// Percent of the request written, below 100 until the relay has answered.
void report_progress(const SendTimerPar *rec, const HttpCtx *ctx) {
    if (!rec->pMMSSendResultCb || !ctx || ctx->bodyLen <= 0) return;
    uint64_t percent = static_cast<uint64_t>(G().sentSize) * 100u / static_cast<uint64_t>(ctx->bodyLen);
    if (percent > 99) percent = 99;
    if (!hbx_ReportPercent(static_cast<int>(percent), &G().lastPercent)) return;
    rec->pMMSSendResultCb(HBX_MSG_SEND_PROGRESS, static_cast<int>(percent));
}

// The relay's verdict: the decoded confirmation status as a report code.
struct Verdict {
    uint8_t state;
    int code;
    int value;
};

Verdict verdict_of(int16_t result) {
    switch (result) {
        case MMS_CONF_OK:
            QX_LOG("mzk:send progress=100\n");
            return {MMS_SEND_OK, HBX_MSG_SEND_OK, 100};
        case MMS_CONF_SERVICE_DENIED:
            QX_LOG("mzk:send mms HBX_MSG_SERVICE_DENIED\n");
            return {HBX_MSG_SERVICE_DENIED, HBX_MSG_SERVICE_DENIED, 0};
        case MMS_CONF_NETWORK_PROBLEM:
            QX_LOG("mzk:send mms HBX_MSG_NETWORK_PROBLEM\n");
            return {HBX_MSG_NETWORK_PROBLEM, HBX_MSG_NETWORK_PROBLEM, 0};
        case MMS_CONF_UNSUPPORTED:
            QX_LOG("mzk:send mms HBX_MSG_UNSUPPORTED\n");
            return {HBX_MSG_UNSUPPORTED, HBX_MSG_UNSUPPORTED, 0};
        default:
            QX_LOG("mzk:send mms MMS_WAP_ERROR\n");
            return {MMS_WAP_ERROR, HBX_MSG_SEND_FAIL, 0};
    }
}

// The confirmation's result number: an HTTP error status or a coded body is
// a failure whatever the bytes say; otherwise only an m-send-conf answering
// this request counts.
int16_t confirmation_result(const HttpCtx *ctx) {
    const HbxSendGlobals &g = G();
    hbx_state().ending.httpStatus = ctx->retValue;
    if (!hbx_HttpOk(ctx)) {
        QX_LOG("mzk:send mms http status=%d\n", ctx->retValue);
        hbx_SetEndCause(HbxEndCause::HttpStatus);
        return MMS_CONF_UNDECODABLE;
    }
    if (ctx->contentEncoding != HTTP_CODING_IDENTITY) {
        QX_LOG("mzk:send mms confirmation with a Content-Encoding, refused\n");
        hbx_SetEndCause(HbxEndCause::NotMessage);
        return MMS_CONF_UNDECODABLE;
    }
    if (!g.requestTid) {
        QX_LOG("mzk:send mms request without Transaction-Id, no confirmation can match\n");
        return MMS_CONF_UNDECODABLE;
    }
    MmsConfMismatch why = MmsConfMismatch::None;
    const auto result = static_cast<int16_t>(fnMMS_CheckSendConf(g.pSendConfBuf, g.sendConfLen, g.requestTid, &why));
    if (why != MmsConfMismatch::None) {
        QX_LOG("mzk:send mms confirmation refused: %s\n", fnMMS_ConfMismatchText(why));
        hbx_SetEndCause(HbxEndCause::NotMessage, static_cast<int32_t>(why));
    }
    return result;
}

int step_begin(SendTimerPar *rec) {
    const MmsSettings *settings = rec->pSettings;
    clear_counters();
    int port = 0;
    if (!hbx_BeginStack(settings, &port)) {
        QX_LOG("mzk:-1 == initstackReturn\n");
        rec->httpSendState = MMS_WAP_ERROR;
        return HBX_STEP_FAILED;
    }
    QX_LOG("mzk:proxy=%s,port=%d\n", settings->ProxyAddr ? settings->ProxyAddr : "(null)", port);
    rec->httpSendState = MMS_WAP_BEGIN_OK;
    return HBX_STEP_CONTINUE;
}

int step_open(SendTimerPar *rec) {
    const tCPS_PduBuf *pdu = rec->pPduBuf;
    G().sendMmsCtx = fnQXStack_Wap_Open_Post(rec->pSettings->ServerAddr, pdu->data, pdu->length, HBX_MMS_CONTENT_TYPE);
    if (!G().sendMmsCtx) {
        QX_LOG("mzk:(NULL == ctx)\n");
        fnQXStack_Http_Finalize();
        rec->httpSendState = MMS_WAP_ERROR;
        return HBX_STEP_FAILED;
    }
    hbx_Drives(G().sendMmsCtx);
    rec->httpSendState = MMS_WAP_PEEK_OK;
    // Kept to match the confirmation; a request without one is still sent.
    G().requestTid = fnMMS_CopyTransactionId(pdu->data, pdu->length);
    G().pSendConfBuf = static_cast<uint8_t *>(fnQX_Malloc(HBX_SEND_CONF_BUF));
    if (!G().pSendConfBuf) {
        QX_LOG("mzk:(NULL == pSendConfBuf)\n");
        release_exchange();
        rec->httpSendState = MMS_WAP_ERROR;
        return HBX_STEP_FAILED;
    }
    return HBX_STEP_CONTINUE;
}

int step_poll(SendTimerPar *rec) {
    HbxSendGlobals &g = G();
    HttpCtx *ctx = g.sendMmsCtx;
    ++g.mms_timeOut;

    int n;
    if (g.sendConfLen >= HBX_SEND_CONF_BUF) {
        // The buffer is full: a longer confirmation is decoded from its first
        // 1500 bytes.
        QX_LOG("mzk:confirmation buffer full, sendConfLen=%d\n", g.sendConfLen);
        n = 0;
    } else {
        n = fnQXStack_Wap_Read(ctx, g.pSendConfBuf + g.sendConfLen, HBX_SEND_CONF_BUF - g.sendConfLen);
    }

    if (ctx->socketSendLen > 0) {
        g.mms_timeOut = 0;
        g.sentSize += static_cast<uint32_t>(ctx->socketSendLen);
        ctx->socketSendLen = 0;
        report_progress(rec, ctx);
    }
    return hbx_Poll(kSend, rec, ctx, n, g.mms_timeOut, g.sendConfLen);
}

// ---------------------------------------------------------------- the kind
void say(HbxSay what, int value) {
    switch (what) {
        case HbxSay::FirstStepFailed: QX_LOG("mzk:send mms fail\n"); break;
        case HbxSay::TimerServiceFailed: QX_LOG("mzk:begin to set timer fail\n"); break;
        case HbxSay::TimerContinue: QX_LOG("mzk:timer continue to send mms\n"); break;
        case HbxSay::IdleLimit: QX_LOG("mzk:mms_timeOut=%d\n", value); break;
        case HbxSay::DeadlineReached:
            QX_LOG("mzk:send mms failed: the overall deadline of %d ms passed\n", value);
            break;
        case HbxSay::Finished: QX_LOG("mzk:finished ackReadLen = 0\n"); break;
        case HbxSay::ReadFailed: QX_LOG("mzk:(ackReadLen == -1),so send fail\n"); break;
        case HbxSay::ReadWait: QX_LOG("mzk:(ackReadLen == -2),so continue to send\n"); break;
    }
}

void say_armed(HbxArmAfter after, int bResult) {
    if (after == HbxArmAfter::Wait)
        QX_LOG("mzk:set send mms timer 1,bResult=%d\n", bResult);
    else
        QX_LOG("mzk:set send mms timer 2,bResult=%d\n", bResult);
}

int arm_failed(void *rec, HbxArmAfter) { return fail(rec); }

int data(void *rec, HttpCtx *, int n) {
    HbxSendGlobals &g = G();
    g.sendConfLen = static_cast<uint16_t>(g.sendConfLen + n);
    g.mms_timeOut = 0;
    return hbx_Arm(kSend, rec, HbxArmAfter::Data);
}

int complete(void *rec, HttpCtx *ctx) {
    const HbxState &s = hbx_state();
    if (s.confObserver && G().pSendConfBuf && G().sendConfLen > 0)
        s.confObserver(G().pSendConfBuf, G().sendConfLen, s.confObserverUser);
    const Verdict v = verdict_of(confirmation_result(ctx));
    return end_send(rec, v.state, v.code, v.value);
}

int run(void *rec) { return fnCPS_SendMMS_Run(as_rec(rec)); }
void release_record(void *rec) { qx::free_ptr(rec); }
uint8_t *state_of(void *rec) { return &as_rec(rec)->httpSendState; }
tCPS_MMSResultCb callback_of(const void *rec) { return static_cast<const SendTimerPar *>(rec)->pMMSSendResultCb; }

int deadline_ms(const void *rec) {
    const tCPS_PduBuf *pdu = static_cast<const SendTimerPar *>(rec)->pPduBuf;
    return hbx_DeadlineFor(static_cast<int64_t>(pdu->length > 0 ? pdu->length : 0) + HBX_SEND_CONF_BUF);
}

const HbxKind kSend{
    .active = HbxActive::Send,
    .timerCb = fnCPS_SendMMS_TimerCb,
    .run = run,
    .say = say,
    .sayArmed = say_armed,
    .armFailed = arm_failed,
    .fail = fail,
    .data = data,
    .complete = complete,
    .releaseExchange = release_exchange,
    .releaseRecord = release_record,
    .state = state_of,
    .callback = callback_of,
    .deadlineCb = fnCPS_SendMMS_DeadlineCb,
    .deadlineMs = deadline_ms,
    .deadline = fail,
};

}  // namespace

int fnCPS_SendMMS_Run(SendTimerPar *rec) {
    if (!rec) return HBX_STEP_FAILED;
    ++hbx_state().stepCount;
    switch (rec->httpSendState) {
        case MMS_WAP_INIT:
            if (step_begin(rec) != HBX_STEP_CONTINUE) return HBX_STEP_FAILED;
            [[fallthrough]];
        case MMS_WAP_BEGIN_OK:
            return step_open(rec);
        case MMS_WAP_PEEK_OK:
            return step_poll(rec);
        default:
            return HBX_STEP_FAILED;
    }
}

void fnCPS_SendMMS_TimerCb(void *user) { hbx_TimerStep(kSend, user); }
void fnCPS_SendMMS_DeadlineCb(void *user) { hbx_DeadlineStep(kSend, user); }

extern "C" int fnCPS_SendMMS(tCPS_PduBuf *pdu, MmsSettings *settings, tCPS_MMSResultCb cb) {
    QX_LOG("mzk:enter fnCPS_SendMMS\n");
    if (hbx_Busy()) {
        // One transaction at a time: the running one is left untouched.
        QX_LOG("mzk:a transaction is in progress, send refused\n");
        return HBX_MSG_SEND_FAIL;
    }
    if (!pdu || !settings) {
        QX_LOG("mzk:send mms without pdu or settings\n");
        return HBX_MSG_SEND_FAIL;
    }
    auto *rec = qx::alloc_rec<SendTimerPar>();
    if (!rec) {
        QX_LOG("mzk:NULL == pSendTimerPar\n");
        return HBX_MSG_SEND_FAIL;
    }
    rec->pPduBuf = pdu;
    rec->pSettings = settings;
    rec->httpSendState = MMS_WAP_INIT;
    rec->pMMSSendResultCb = cb;
    hbx_ResetTimerHandles();
    return hbx_Start(kSend, rec) ? HBX_MSG_SEND_STARTED : HBX_MSG_SEND_FAIL;
}
