// What the send and the download share: the start, the ending, arming the
// next step, the poll of the HTTP context and the timer callback's guard.
// Each transaction describes itself with an HbxKind and logs in its own words.
#include <cstdint>

#include "hbxappglib.h"
#include "qx_internal.h"

namespace {

// The response's stated length is all in (the connection may stay open).
bool body_in(const HttpCtx *ctx, uint32_t received) {
    return ctx->retCtxLen > 0 && received >= static_cast<uint32_t>(ctx->retCtxLen);
}

void forget_running(HbxState &s) {
    s.running = nullptr;
    s.active = HbxActive::None;
    s.kind = nullptr;
}

// Arms the one deadline timer of the transaction; its handle goes into the
// list every ending releases. False when it cannot be armed or recorded.
bool arm_deadline(const HbxKind &k, void *rec) {
    HbxState &s = hbx_state();
    s.deadlineMs = k.deadlineMs(rec);
    OSAL_TIMER handle = nullptr;
    if (g_settimer(s.deadlineMs, k.deadlineCb, rec, 0, &handle) != 0 || !handle) return false;
    if (!fnCPS_AddTimerHandle(handle)) {
        g_free_timer(handle);
        return false;
    }
    return true;
}

}  // namespace

bool hbx_Start(const HbxKind &k, void *rec) {
    HbxState &s = hbx_state();
    s.stepCount = 0;
    s.ending = HbxEnding{HbxEndCause::None, 0, 0};
    s.active = k.active;
    s.running = rec;
    s.kind = &k;
    if (k.run(rec) == HBX_STEP_FAILED) {
        // The failing step has released what it had set up.
        k.say(HbxSay::FirstStepFailed, 0);
        forget_running(s);
        k.releaseRecord(rec);
        return false;
    }
    if (g_time_initialize() == 0 || !arm_deadline(k, rec)) {
        k.say(HbxSay::TimerServiceFailed, 0);
        k.releaseExchange();
        forget_running(s);
        k.releaseRecord(rec);
        fnCPS_FreeTimerHandles();
        return false;
    }
    // The first poll; from here on the host learns the outcome through the
    // callback only (it may already have been called when this returns).
    k.run(rec);
    return true;
}

int hbx_End(const HbxKind &k, void *rec, uint8_t state, int code, int value, int result) {
    *k.state(rec) = state;
    const tCPS_MMSResultCb cb = k.callback(rec);
    k.releaseExchange();
    HbxState &s = hbx_state();
    s.running = nullptr;
    k.releaseRecord(rec);
    fnCPS_FreeTimerHandles();
    s.active = HbxActive::None;
    s.kind = nullptr;
    if (cb) cb(code, value);
    return result;
}

int hbx_Arm(const HbxKind &k, void *rec, HbxArmAfter after) {
    const int bResult = hbx_ArmStep(k.timerCb, rec);
    k.sayArmed(after, bResult);
    if (bResult == HBX_STEP_CONTINUE) return HBX_STEP_CONTINUE;
    // Without a next step the transaction could never end: it ends now.
    return k.armFailed(rec, after);
}

int hbx_Poll(const HbxKind &k, void *rec, HttpCtx *ctx, int n, uint16_t idle, uint32_t received) {
    if (ctx->statusSeen) hbx_state().ending.httpStatus = ctx->retValue;
    if (idle > HBX_MAX_IDLE_STEPS) {
        k.say(HbxSay::IdleLimit, idle);
        hbx_SetEndCause(HbxEndCause::IdleLimit);
        return k.fail(rec);
    }
    if (n < 0 && body_in(ctx, received)) {
        k.say(HbxSay::Finished, 0);
        n = 0;
    }
    if (n == QX_STEP_FAILED) {
        k.say(HbxSay::ReadFailed, 0);
        hbx_SetEndCause(HbxEndCause::ReadFailed);
        return k.fail(rec);
    }
    if (n < 0) {
        k.say(HbxSay::ReadWait, 0);
        return hbx_Arm(k, rec, HbxArmAfter::Wait);
    }
    if (n > 0) return k.data(rec, ctx, n);
    return k.complete(rec, ctx);
}

int hbx_DeadlineFor(int64_t bytes) {
    if (bytes < 0) bytes = 0;
    const int64_t ms = HBX_DEADLINE_BASE_MS + bytes * 1000 / HBX_SLOWEST_LINK_BYTES_PER_S;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

void hbx_DeadlineStep(const HbxKind &k, void *rec) {
    const HbxState &s = hbx_state();
    if (!rec || s.active != k.active || rec != s.running) return;
    k.say(HbxSay::DeadlineReached, s.deadlineMs);
    hbx_SetEndCause(HbxEndCause::Deadline);
    k.deadline(rec);
}

bool hbx_Stop() {
    const HbxState &s = hbx_state();
    if (!s.running || !s.kind) return false;
    // The kind's own failure: the same ending a failed step takes.
    s.kind->fail(s.running);
    return true;
}

void hbx_TimerStep(const HbxKind &k, void *rec) {
    const HbxState &s = hbx_state();
    // Every ending releases its timers, so only the running transaction's
    // timers fire; anything else is ignored.
    if (!rec || s.active != k.active || rec != s.running) return;
    k.say(HbxSay::TimerContinue, 0);
    k.run(rec);
}
