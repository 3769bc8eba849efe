#include "qx_log.h"

#include <glib.h>
#include <glib/gprintf.h>

#include <cstdlib>
#include <initializer_list>

namespace qx {

namespace {
LogSink g_sink = nullptr;
void *g_sink_user = nullptr;

// The host silences the log without rebuilding through the environment:
// RORODIRE_LOG=0 (or off, no, false) when the library first logs.
bool enabled_by_environment() {
    const char *v = std::getenv("RORODIRE_LOG");
    if (!v) return true;
    for (const char *off : {"0", "off", "no", "false"})
        if (g_ascii_strcasecmp(v, off) == 0) return false;
    return true;
}

enum class LogSwitch : unsigned char { FromEnvironment, On, Off };
LogSwitch g_switch = LogSwitch::FromEnvironment;
}  // namespace

void set_log_enabled(bool on) { g_switch = on ? LogSwitch::On : LogSwitch::Off; }

bool log_enabled() {
    if (g_switch == LogSwitch::FromEnvironment)
        g_switch = enabled_by_environment() ? LogSwitch::On : LogSwitch::Off;
    return g_switch == LogSwitch::On;
}

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
