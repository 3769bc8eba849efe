// GLib osal: one-shot timers on the main loop.
//
// A handle is an id into a table of small records; ids are never reused, so
// a handle that was freed (or never existed) finds nothing and is ignored.
// A record lives until g_free_timer, whether it fired or not. When the
// timer's own callback frees it, the record is only marked and released
// once the callback has returned.
#include <cstdint>

#include "osal_glib_internal.h"

namespace {

struct TimerRec {
    uintptr_t id;
    GSource *src;  // our reference while armed; null once fired or cancelled
    OSAL_TIMER_CB cb;
    void *user;
    bool running;  // its callback is on the stack
    bool freed;    // g_free_timer came while running
};

uintptr_t g_nextTimer = 1;
GHashTable *g_timers = nullptr;  // id -> TimerRec*

gboolean on_fire(gpointer data) {
    auto *t = static_cast<TimerRec *>(data);
    g_source_unref(t->src);  // the main loop holds its own reference while dispatching
    t->src = nullptr;
    t->running = true;
    t->cb(t->user);
    t->running = false;
    if (t->freed) g_free(t);
    return G_SOURCE_REMOVE;
}

}  // namespace

extern "C" {

int g_time_initialize(void) {
    if (!g_timers) g_timers = g_hash_table_new(g_direct_hash, g_direct_equal);
    return 1;
}

int g_settimer(int period_ms, OSAL_TIMER_CB cb, void *user, int, OSAL_TIMER *handle) {
    if (handle) *handle = nullptr;
    if (!cb || period_ms < 0) return -1;
    g_time_initialize();
    auto *t = g_new0(TimerRec, 1);
    t->id = g_nextTimer++;
    t->cb = cb;
    t->user = user;
    t->src = g_timeout_source_new(static_cast<guint>(period_ms));
    // A cancelled source is never dispatched, so the record outlives every dispatch.
    g_source_set_callback(t->src, on_fire, t, nullptr);
    GMainContext *ctx = g_main_context_ref_thread_default();
    g_source_attach(t->src, ctx);
    g_main_context_unref(ctx);
    g_hash_table_insert(g_timers, reinterpret_cast<gpointer>(t->id), t);
    if (handle) *handle = reinterpret_cast<OSAL_TIMER>(t->id);
    return 0;
}

void g_free_timer(OSAL_TIMER timer) {
    if (!timer || !g_timers) return;
    auto *t = static_cast<TimerRec *>(g_hash_table_lookup(g_timers, timer));
    if (!t) return;  // already freed, or never ours
    g_hash_table_remove(g_timers, timer);
    if (t->src) {
        g_source_destroy(t->src);
        g_source_unref(t->src);
        t->src = nullptr;
    }
    if (t->running)
        t->freed = true;  // on_fire releases it after the callback returns
    else
        g_free(t);
}

}  // extern "C"
