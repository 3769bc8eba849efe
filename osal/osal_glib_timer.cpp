// GLib osal: one-shot timers on the main loop, and one-shot readiness waits
// on a socket (a timer that also fires when the socket is ready).
//
// A handle is an id into a table of small records; ids are never reused, so
// a handle that was freed (or never existed) finds nothing and is ignored.
// A record lives until g_free_timer, whether it fired or not. When the
// timer's own callback frees it, the record is only marked and released
// once the callback has returned.
#include <cstdint>
#include <initializer_list>

#include <glib-unix.h>

#include "osal_glib_internal.h"

namespace {

struct TimerRec {
    uintptr_t id;
    GSource *src;  // our reference while armed; null once fired or cancelled
    GSource *fdSrc;     // a readiness wait's descriptor watch (our reference), null when none
    OSAL_SOCKET sock;   // the socket a readiness wait is on, 0 for a plain timer
    OSAL_TIMER_CB cb;
    void *user;
    bool running;  // its callback is on the stack
    bool freed;    // g_free_timer came while running
};

uintptr_t g_nextTimer = 1;
GHashTable *g_timers = nullptr;  // id -> TimerRec*

void drop_sources(TimerRec *t) {
    // The main loop holds its own reference to the source it dispatches.
    for (GSource **p : {&t->src, &t->fdSrc}) {
        if (!*p) continue;
        g_source_destroy(*p);
        g_source_unref(*p);
        *p = nullptr;
    }
}

gboolean on_fire(gpointer data) {
    auto *t = static_cast<TimerRec *>(data);
    drop_sources(t);
    t->running = true;
    t->cb(t->user);
    t->running = false;
    if (t->freed) g_free(t);
    return G_SOURCE_REMOVE;
}

gboolean on_ready(gint, GIOCondition, gpointer data) { return on_fire(data); }

TimerRec *new_rec(OSAL_TIMER_CB cb, void *user) {
    auto *t = g_new0(TimerRec, 1);
    t->id = g_nextTimer++;
    t->cb = cb;
    t->user = user;
    return t;
}

void attach(GSource *src) {
    // A cancelled source is never dispatched, so the record outlives every dispatch.
    GMainContext *ctx = g_main_context_ref_thread_default();
    g_source_attach(src, ctx);
    g_main_context_unref(ctx);
}

}  // namespace

void osal_glib::watches_wake(OSAL_SOCKET sock) {
    if (!g_timers || sock == 0) return;
    GHashTableIter it;
    gpointer key, value;
    g_hash_table_iter_init(&it, g_timers);
    while (g_hash_table_iter_next(&it, &key, &value)) {
        auto *t = static_cast<TimerRec *>(value);
        if (t->sock != sock || !t->src) continue;
        drop_sources(t);
        t->src = g_timeout_source_new(0);
        g_source_set_callback(t->src, on_fire, t, nullptr);
        attach(t->src);
    }
}

extern "C" {

int g_time_initialize(void) {
    if (!g_timers) g_timers = g_hash_table_new(g_direct_hash, g_direct_equal);
    return 1;
}

int g_settimer(int period_ms, OSAL_TIMER_CB cb, void *user, int, OSAL_TIMER *handle) {
    if (handle) *handle = nullptr;
    if (!cb || period_ms < 0) return -1;
    g_time_initialize();
    TimerRec *t = new_rec(cb, user);
    t->src = g_timeout_source_new(static_cast<guint>(period_ms));
    g_source_set_callback(t->src, on_fire, t, nullptr);
    attach(t->src);
    g_hash_table_insert(g_timers, reinterpret_cast<gpointer>(t->id), t);
    if (handle) *handle = reinterpret_cast<OSAL_TIMER>(t->id);
    return 0;
}

void g_free_timer(OSAL_TIMER timer) {
    if (!timer || !g_timers) return;
    auto *t = static_cast<TimerRec *>(g_hash_table_lookup(g_timers, timer));
    if (!t) return;  // already freed, or never ours
    g_hash_table_remove(g_timers, timer);
    drop_sources(t);
    if (t->running)
        t->freed = true;  // on_fire releases it after the callback returns
    else
        g_free(t);
}

int g_sock_watch(OSAL_SOCKET sock, int events, int timeout_ms, OSAL_TIMER_CB cb, void *user, OSAL_TIMER *handle) {
    if (handle) *handle = nullptr;
    int fd = -1;
    bool connecting = false;
    const int known = OSAL_WATCH_READ | OSAL_WATCH_WRITE;
    if (!cb || timeout_ms < 0 || (events & known) == 0 || !osal_glib::sock_watch_target(sock, &fd, &connecting))
        return -1;
    g_time_initialize();
    TimerRec *t = new_rec(cb, user);
    t->sock = sock;
    // A connect under way wakes the wait when it ends (watches_wake).
    t->src = g_timeout_source_new(static_cast<guint>(timeout_ms));
    g_source_set_callback(t->src, on_fire, t, nullptr);
    attach(t->src);
    if (fd >= 0 && !connecting) {
        int cond = G_IO_ERR | G_IO_HUP;
        if (events & OSAL_WATCH_READ) cond |= G_IO_IN;
        if (events & OSAL_WATCH_WRITE) cond |= G_IO_OUT;
        t->fdSrc = g_unix_fd_source_new(fd, static_cast<GIOCondition>(cond));
        g_source_set_callback(t->fdSrc, G_SOURCE_FUNC(on_ready), t, nullptr);
        attach(t->fdSrc);
    }
    g_hash_table_insert(g_timers, reinterpret_cast<gpointer>(t->id), t);
    if (handle) *handle = reinterpret_cast<OSAL_TIMER>(t->id);
    return 0;
}

}  // extern "C"
