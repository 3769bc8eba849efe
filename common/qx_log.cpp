#include "qx_log.h"

#include <glib.h>
#include <glib/gprintf.h>

namespace qx {

namespace {
LogSink g_sink = nullptr;
void *g_sink_user = nullptr;
bool g_enabled = true;
}  // namespace

void set_log_enabled(bool on) { g_enabled = on; }
bool log_enabled() { return g_enabled; }

void set_log_sink(LogSink sink, void *user) {
    g_sink = sink;
    g_sink_user = user;
}

void vlog_at(const char *path, int line, const char *fmt, va_list ap) {
    if (g_sink) {
        gchar *head = g_strdup_printf("\n%s:%d- ", path, line);
        gchar *body = g_strdup_vprintf(fmt, ap);
        g_sink(head, g_sink_user);
        g_sink(body, g_sink_user);
        g_free(head);
        g_free(body);
        return;
    }
    g_printf("\n%s:%d- ", path, line);
    g_vprintf(fmt, ap);
}

void log_at(const char *path, int line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_at(path, line, fmt, ap);
    va_end(ap);
}

}  // namespace qx
