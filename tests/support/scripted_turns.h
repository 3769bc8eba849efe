// Scripted tests drive an HTTP context the way a host's step timer does: the
// main loop turns (connect completions are delivered), then the context is
// polled once. The scripted osal never completes anything inside a call.
#ifndef SCRIPTED_TURNS_H
#define SCRIPTED_TURNS_H

#include "osal_scripted.h"
#include "qx_stack_http.h"

// One turn of the virtual main loop, then one read of the context.
inline int read_after_turn(HttpCtx *ctx, void *dst, int capacity) {
    osal_script::run_turn();
    return fnQXStack_Http_Read(ctx, dst, capacity);
}

#endif
