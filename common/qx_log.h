// Diagnostic log: two g_printf calls per message, first "\n%s:%d- " with the
// source path (as "..\..\dir\file.cpp") and the line, then the message.
#ifndef QX_LOG_H
#define QX_LOG_H

#include <cstdarg>
#include <cstddef>

namespace qx {

template <std::size_t N>
struct LogPath {
    char s[N + 6]{};
};

// Turns the build's relative source path into the "..\..\a\b\c.cpp" form.
template <std::size_t N>
consteval LogPath<N> make_log_path(const char (&file)[N]) {
    LogPath<N> p{};
    const char prefix[] = "..\\..\\";
    std::size_t o = 0;
    for (std::size_t i = 0; i + 1 < sizeof(prefix); ++i) p.s[o++] = prefix[i];
    std::size_t start = 0;
    // Strip a leading "./" or "/" that some builds leave in front.
    while (start < N - 1 && (file[start] == '/' || (file[start] == '.' && file[start + 1] == '/')))
        start += (file[start] == '.') ? 2 : 1;
    for (std::size_t i = start; i + 1 < N; ++i) p.s[o++] = (file[i] == '/') ? '\\' : file[i];
    p.s[o] = '\0';
    return p;
}

void log_at(const char *path, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void vlog_at(const char *path, int line, const char *fmt, va_list ap);

// Tests (and the command-line tool) can take the log instead of stdout.
// The sink gets the whole formatted message (prefix and text) in two calls,
// like g_printf would. Null restores g_printf.
using LogSink = void (*)(const char *text, void *user);
void set_log_sink(LogSink sink, void *user);
// With the log off, QX_LOG does no work at all (benchmarks, quiet tools).
void set_log_enabled(bool on);
bool log_enabled();

}  // namespace qx

// Builds configured with -DRORODIRE_DIAGNOSTIC_LOG=OFF compile every message
// out: the arguments are still type-checked, but no code and no text of the
// log remains in the library.
#ifndef RORODIRE_DIAGNOSTIC_LOG
#define RORODIRE_DIAGNOSTIC_LOG 1
#endif

#if RORODIRE_DIAGNOSTIC_LOG
#define QX_LOG(...)                                                              \
    do {                                                                         \
        static constexpr auto qx_log_path_ = ::qx::make_log_path(__FILE__);      \
        if (::qx::log_enabled()) ::qx::log_at(qx_log_path_.s, __LINE__, __VA_ARGS__); \
    } while (0)
#else
namespace qx {
// Never called: it only gives the arguments of a compiled-out message a call
// to be checked against, in an unevaluated operand.
int log_compiled_out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
}  // namespace qx
#define QX_LOG(...) static_cast<void>(sizeof(::qx::log_compiled_out(__VA_ARGS__)))
#endif

#endif
