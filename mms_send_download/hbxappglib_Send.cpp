// Send transaction: posts an m-send-req to the MMS relay through the WAP
// proxy, one poll of the HTTP context per 100 ms timer, and reports the
// m-send-conf's verdict once through the host's callback.
#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

HbxSendGlobals &G() { return hbx_state().send; }

void clear_counters() {
    G().sendConfLen = 0;
    G().sentSize = 0;
    G().mms_timeOut = 0;
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

// Every ending: the exchange, the record and the timers are released and the
// transaction is over before the host hears of it, so a callback may start
// the next transaction at once.
void end_send(SendTimerPar *rec, uint8_t state, int code, int value) {
    rec->httpSendState = state;
    const tCPS_MMSResultCb cb = rec->pMMSSendResultCb;
    release_exchange();
    HbxState &s = hbx_state();
    s.sendRec = nullptr;
    qx::free_ptr(rec);
    fnCPS_FreeTimerHandles();
    s.active = HbxActive::None;
    if (cb) cb(code, value);
}

// Percent of the request written, below 100 until the relay has answered.
void report_progress(const SendTimerPar *rec, const HttpCtx *ctx) {
    if (!rec->pMMSSendResultCb || !ctx || ctx->bodyLen <= 0) return;
    uint64_t percent = static_cast<uint64_t>(G().sentSize) * 100u / static_cast<uint64_t>(ctx->bodyLen);
    if (percent > 99) percent = 99;
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

bool http_ok(const HttpCtx *ctx) { return ctx && ctx->retValue >= 200 && ctx->retValue <= 299; }

int step_begin(SendTimerPar *rec) {
    const MmsSettings *settings = rec->pSettings;
    clear_counters();
    if (fnQXStack_Wap_Init(HBX_STACK_MODE_HTTP) == -1) {
        QX_LOG("mzk:-1 == initstackReturn\n");
        rec->httpSendState = MMS_WAP_ERROR;
        return static_cast<int>(HbxStep::Failed);
    }
    hbx_ApplyHeaders(settings);
    const int port = hbx_ApplyProxy(settings);
    QX_LOG("mzk:proxy=%s,port=%d\n", settings->ProxyAddr ? settings->ProxyAddr : "(null)", port);
    rec->httpSendState = MMS_WAP_BEGIN_OK;
    return static_cast<int>(HbxStep::Continue);
}

int step_open(SendTimerPar *rec) {
    const tCPS_PduBuf *pdu = rec->pPduBuf;
    G().sendMmsCtx = fnQXStack_Wap_Open_Post(rec->pSettings->ServerAddr, pdu->data, pdu->length, HBX_MMS_CONTENT_TYPE);
    if (!G().sendMmsCtx) {
        QX_LOG("mzk:(NULL == ctx)\n");
        fnQXStack_Http_Finalize();
        rec->httpSendState = MMS_WAP_ERROR;
        return static_cast<int>(HbxStep::Failed);
    }
    rec->httpSendState = MMS_WAP_PEEK_OK;
    // Kept to match the confirmation; a request without one is still sent.
    G().requestTid = fnMMS_CopyTransactionId(pdu->data, pdu->length);
    G().pSendConfBuf = static_cast<uint8_t *>(fnQX_Malloc(HBX_SEND_CONF_BUF));
    if (!G().pSendConfBuf) {
        fnQXStack_Wap_Close(G().sendMmsCtx);
        G().sendMmsCtx = nullptr;
        QX_LOG("mzk:(NULL == pSendConfBuf)\n");
        fnQXStack_Http_Finalize();
        qx::free_ptr(G().requestTid);
        clear_counters();
        rec->httpSendState = MMS_WAP_ERROR;
        return static_cast<int>(HbxStep::Failed);
    }
    return static_cast<int>(HbxStep::Continue);
}

enum class ArmAfter { Wait, Data };

int arm_or_fail(SendTimerPar *rec, ArmAfter after) {
    const int bResult = hbx_ArmStep(fnCPS_SendMMS_TimerCb, rec);
    if (after == ArmAfter::Wait)
        QX_LOG("mzk:set send mms timer 1,bResult=%d\n", bResult);
    else
        QX_LOG("mzk:set send mms timer 2,bResult=%d\n", bResult);
    if (bResult == 0) return static_cast<int>(HbxStep::Continue);
    // Without a next step the transaction could never end: it fails now.
    end_send(rec, MMS_WAP_ERROR, HBX_MSG_SEND_FAIL, 0);
    return static_cast<int>(HbxStep::Failed);
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

    if (g.mms_timeOut > HBX_MAX_IDLE_STEPS) {
        QX_LOG("mzk:mms_timeOut=%d\n", g.mms_timeOut);
        end_send(rec, MMS_WAP_ERROR, HBX_MSG_SEND_FAIL, 0);
        return static_cast<int>(HbxStep::Failed);
    }

    if (ctx->retCtxLen > 0 && g.sendConfLen >= static_cast<uint32_t>(ctx->retCtxLen) && n < 0) {
        // The whole confirmation is in, even if the connection stays open.
        QX_LOG("mzk:finished ackReadLen = 0\n");
        n = 0;
    }

    if (n == -1) {
        QX_LOG("mzk:(ackReadLen == -1),so send fail\n");
        end_send(rec, MMS_WAP_ERROR, HBX_MSG_SEND_FAIL, 0);
        return static_cast<int>(HbxStep::Failed);
    }
    if (n == -2 || n < -2) {
        QX_LOG("mzk:(ackReadLen == -2),so continue to send\n");
        return arm_or_fail(rec, ArmAfter::Wait);
    }
    if (n > 0) {
        g.sendConfLen = static_cast<uint16_t>(g.sendConfLen + n);
        g.mms_timeOut = 0;
        return arm_or_fail(rec, ArmAfter::Data);
    }

    // n == 0: the confirmation is complete. An HTTP error status or a coded
    // body is a failure whatever the bytes say; otherwise only an m-send-conf
    // answering this request gives a verdict.
    int16_t result = MMS_CONF_UNDECODABLE;
    if (!http_ok(ctx)) {
        QX_LOG("mzk:send mms http status=%d\n", ctx->retValue);
    } else if (ctx->contentEncoding != HTTP_CODING_IDENTITY) {
        QX_LOG("mzk:send mms confirmation with a Content-Encoding, refused\n");
    } else if (!g.requestTid) {
        QX_LOG("mzk:send mms request without Transaction-Id, no confirmation can match\n");
    } else {
        MmsConfMismatch why = MmsConfMismatch::None;
        result = static_cast<int16_t>(fnMMS_CheckSendConf(g.pSendConfBuf, g.sendConfLen, g.requestTid, &why));
        if (why != MmsConfMismatch::None)
            QX_LOG("mzk:send mms confirmation refused: %s\n", fnMMS_ConfMismatchText(why));
    }
    const Verdict v = verdict_of(result);
    end_send(rec, v.state, v.code, v.value);
    return static_cast<int>(v.code == HBX_MSG_SEND_OK ? HbxStep::Continue : HbxStep::Failed);
}

}  // namespace

int fnCPS_SendMMS_Run(SendTimerPar *rec) {
    if (!rec) return static_cast<int>(HbxStep::Failed);
    ++hbx_state().stepCount;
    switch (rec->httpSendState) {
        case MMS_WAP_INIT:
            if (step_begin(rec) != 0) return static_cast<int>(HbxStep::Failed);
            [[fallthrough]];
        case MMS_WAP_BEGIN_OK:
            return step_open(rec);
        case MMS_WAP_PEEK_OK:
            return step_poll(rec);
        default:
            return static_cast<int>(HbxStep::Failed);
    }
}

void fnCPS_SendMMS_TimerCb(void *user) {
    auto *rec = static_cast<SendTimerPar *>(user);
    HbxState &s = hbx_state();
    // Every ending releases the timers, so only the running send's timers
    // fire; anything else is ignored.
    if (!rec || s.active != HbxActive::Send || rec != s.sendRec) return;
    switch (rec->httpSendState) {
        case MMS_SEND_OK: end_send(rec, MMS_SEND_OK, HBX_MSG_SEND_OK, 100); return;
        case MMS_WAP_ERROR: end_send(rec, MMS_WAP_ERROR, HBX_MSG_SEND_FAIL, 0); return;
        case HBX_MSG_SERVICE_DENIED:
        case HBX_MSG_NETWORK_PROBLEM:
        case HBX_MSG_UNSUPPORTED: end_send(rec, rec->httpSendState, rec->httpSendState, 0); return;
        default:
            QX_LOG("mzk:timer continue to send mms\n");
            fnCPS_SendMMS_Run(rec);
    }
}

extern "C" int fnCPS_SendMMS(tCPS_PduBuf *pdu, MmsSettings *settings, tCPS_MMSResultCb cb) {
    QX_LOG("mzk:enter fnCPS_SendMMS\n");
    HbxState &s = hbx_state();
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
    s.stepCount = 0;
    s.active = HbxActive::Send;
    s.sendRec = rec;

    auto abandon = [&]() {
        s.sendRec = nullptr;
        s.active = HbxActive::None;
        qx::free_ptr(rec);
    };
    if (fnCPS_SendMMS_Run(rec) == static_cast<int>(HbxStep::Failed)) {
        QX_LOG("mzk:send mms fail\n");
        abandon();
        return HBX_MSG_SEND_FAIL;
    }
    if (g_time_initialize() == 0) {
        QX_LOG("mzk:begin to set timer fail\n");
        fnQXStack_Wap_Close(s.send.sendMmsCtx);
        s.send.sendMmsCtx = nullptr;
        fnQXStack_Http_Finalize();
        qx::free_ptr(s.send.pSendConfBuf);
        qx::free_ptr(s.send.requestTid);
        clear_counters();
        abandon();
        return HBX_MSG_SEND_FAIL;
    }
    // The first poll; from here on the host learns the outcome through the
    // callback only (it may already have been called when this returns).
    fnCPS_SendMMS_Run(rec);
    return HBX_MSG_SEND_STARTED;
}
