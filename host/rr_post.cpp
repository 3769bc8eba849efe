// The m-read-rec-ind of a retrieved message and one POST of a PDU through the
// library's HTTP stack on the GLib main loop.
#include "rr_post.h"

#include <glib.h>

#include <algorithm>
#include <memory>

#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "qx_stack_http.h"

namespace rrhost {

std::vector<uint8_t> read_report_of(const std::vector<uint8_t> &message, int readStatus, const std::string &from,
                                    int64_t date, std::string *why, bool *asked) {
    *asked = false;
    std::unique_ptr<tMMS_RetrieveConf, void (*)(tMMS_RetrieveConf *)> rc(
        fnMMS_ParseRetrieveConf(message.data(), static_cast<int>(message.size())),
        [](tMMS_RetrieveConf *r) { fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF); });
    if (!rc) {
        *why = "does not decode";
        return {};
    }
    if (!rc->Message_Id || !*rc->Message_Id) {
        *why = "has no Message-ID: a read report could not name it";
        return {};
    }
    if (!rc->From || !*rc->From) {
        *why = "names no sender (From) to report to";
        return {};
    }
    *asked = rc->Read_Reply != 0;
    tMMS_ReadRecInd rec{};
    rec.Message_Id = rc->Message_Id;
    rec.To = rc->From;
    rec.From = from.empty() ? nullptr : const_cast<char *>(from.c_str());
    rec.Date = static_cast<int>(date);
    rec.Read_Status = static_cast<unsigned char>(readStatus);
    int len = 0;
    uint8_t *pdu = fnMMS_MakeReadRecIndPdu(&rec, &len);
    if (!pdu) {
        *why = "cannot be answered with a read report (the encoder refused it)";
        return {};
    }
    std::vector<uint8_t> out(pdu, pdu + len);
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    return out;
}

struct PduPost {
    std::vector<uint8_t> pdu;  // the stack reads it until the post ends
    HttpCtx *ctx = nullptr;
    OSAL_TIMER step = nullptr;  // the next step: a timer or a readiness wait, as the drive says
    guint deadline = 0;         // the overall deadline's timer, 0 for none
    std::vector<uint8_t> answer;
    size_t received = 0;
    unsigned idle = 0;
    uint64_t sent = 0;
    int16_t lastPercent = -1;
    PostProgress progress;
    PostDone done;
};

namespace {

// Closes the exchange and the stack; the record goes.
void release(PduPost *p) {
    if (p->step) g_free_timer(p->step);
    p->step = nullptr;
    if (p->deadline) g_source_remove(p->deadline);
    p->deadline = 0;
    if (p->ctx) fnQXStack_Wap_Close(p->ctx);
    p->ctx = nullptr;
    fnQXStack_Http_Finalize();
    delete p;
}

void end_post(PduPost *p, bool ok, int status, bool deadline = false) {
    PostEnd e;
    e.ok = ok;
    e.httpStatus = status;
    e.deadline = deadline;
    e.answer.assign(reinterpret_cast<const char *>(p->answer.data()), p->received);
    PostDone done = std::move(p->done);
    release(p);
    if (done) done(std::move(e));
}

void arm(PduPost *p);

// One step: read what came, as the transactions' poll does; false once ended.
bool post_step(PduPost *p) {
    HttpCtx *ctx = p->ctx;
    int n = 0;  // an answer longer than kept: its beginning says enough
    if (p->received < p->answer.size())
        n = fnQXStack_Wap_Read(ctx, p->answer.data() + p->received, static_cast<int>(p->answer.size() - p->received));
    ++p->idle;
    if (ctx->socketSendLen > 0) {
        p->idle = 0;
        p->sent += static_cast<uint32_t>(ctx->socketSendLen);
        ctx->socketSendLen = 0;
        if (p->progress && ctx->bodyLen > 0) {
            const auto total = static_cast<uint64_t>(ctx->bodyLen);
            const int percent = static_cast<int>(std::min<uint64_t>(99, p->sent * 100 / total));
            if (hbx_ReportPercent(percent, &p->lastPercent)) p->progress(p->sent, total);
        }
    }
    // The stated length is in, though the connection stays open.
    const bool framed = ctx->bodyFraming == HTTP_BODY_NONE ||
                        (ctx->bodyFraming == HTTP_BODY_LENGTH && p->received >= static_cast<size_t>(ctx->retCtxLen));
    if (n < 0 && ctx->headersParsed && framed) n = 0;
    if (p->idle > static_cast<unsigned>(HBX_MAX_IDLE_STEPS) || n == QX_STEP_FAILED) {
        end_post(p, false, ctx->retValue > 0 ? ctx->retValue : 0);
        return false;
    }
    if (n > 0) {
        p->received += static_cast<size_t>(n);
        p->idle = 0;
    }
    if (n != 0) return true;
    end_post(p, hbx_HttpOk(ctx), ctx->retValue);
    return false;
}

void on_step(void *data) {
    PduPost *p = static_cast<PduPost *>(data);
    g_free_timer(p->step);
    p->step = nullptr;
    if (post_step(p)) arm(p);
}

// The next step as the transactions' drive says (a step-period timer, or
// the socket's readiness).
void arm(PduPost *p) {
    if (hbx_ArmFor(p->ctx, on_step, p, &p->step) != 0 || !p->step)
        g_settimer(hbx_state().stepPeriodMs, on_step, p, 0, &p->step);
}

// The overall deadline: the post ends as failed, however its bytes trickle.
gboolean post_deadline(gpointer data) {
    PduPost *p = static_cast<PduPost *>(data);
    p->deadline = 0;  // this source ends here
    end_post(p, false, p->ctx && p->ctx->retValue > 0 ? p->ctx->retValue : 0, true);
    return G_SOURCE_REMOVE;
}

}  // namespace

PduPost *post_pdu_start(const MmsSettings &settings, std::vector<uint8_t> pdu, PostProgress progress, PostDone done,
                        int deadlineMs) {
    int port = 0;
    if (!hbx_BeginStack(&settings, &port)) return nullptr;
    auto *p = new PduPost;
    p->pdu = std::move(pdu);
    p->progress = std::move(progress);
    p->done = std::move(done);
    p->answer.resize(HBX_ACK_WORK_BUF);
    p->ctx = fnQXStack_Wap_Open_Post(settings.ServerAddr, p->pdu.data(), static_cast<int>(p->pdu.size()),
                                     HBX_MMS_CONTENT_TYPE);
    if (!p->ctx) {
        release(p);
        return nullptr;
    }
    hbx_Drives(p->ctx);
    // The first step a step period from now, as before; the drive decides the rest.
    g_settimer(hbx_state().stepPeriodMs, on_step, p, 0, &p->step);
    if (deadlineMs > 0) p->deadline = g_timeout_add(static_cast<guint>(deadlineMs), post_deadline, p);
    return p;
}

void post_pdu_cancel(PduPost *post) {
    if (post) release(post);
}

}  // namespace rrhost
