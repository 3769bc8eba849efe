/*
 * osal - the terminal's operating-system abstraction library.
 *
 * Non-blocking TCP sockets with an asynchronous connect, one-shot timers and
 * a memory search. All callbacks are delivered on the thread that runs the
 * GLib main context (the default context), never from inside a call into
 * osal unless stated below.
 */
#ifndef OSAL_H
#define OSAL_H

#include <stdint.h>

#define OSAL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Socket handle; 0 means "no socket". */
typedef intptr_t OSAL_SOCKET;

/* Connect completion: event OSAL_SOCK_EVENT_CONNECT (2) when the connect
 * finished (g_sock_geterror then tells success), any other event failure. */
#define OSAL_SOCK_EVENT_CONNECT 2
typedef void (*OSAL_SOCK_CB)(OSAL_SOCKET sock, int event, void *user);

typedef void (*OSAL_TIMER_CB)(void *user);
/* Timer handle; null means "no timer". */
typedef void *OSAL_TIMER;

OSAL_API int g_sock_init(int flags);
OSAL_API void g_sock_finalize(void);
OSAL_API OSAL_SOCKET g_sock_socket(int type, int protocol, int flags);
OSAL_API uint16_t g_sock_htons(uint16_t port);
OSAL_API int g_sock_connect(OSAL_SOCKET sock, const void *address, uint16_t port, OSAL_SOCK_CB cb, void *user);
OSAL_API int g_sock_geterror(OSAL_SOCKET sock);
OSAL_API int g_sock_write(OSAL_SOCKET sock, const void *data, int count);
OSAL_API int g_sock_read(OSAL_SOCKET sock, void *buf, int capacity);
OSAL_API int g_sock_close(OSAL_SOCKET sock);

OSAL_API int g_time_initialize(void);
OSAL_API int g_settimer(int period_ms, OSAL_TIMER_CB cb, void *user, int flags, OSAL_TIMER *handle);
OSAL_API void g_free_timer(OSAL_TIMER timer);

/* Bounded memory search: the first occurrence of the bytes of the
 * NUL-terminated pattern inside mem[0..memLen). Returns a pointer into mem,
 * or null when there is none, when mem or pattern is null or memLen <= 0.
 * An empty pattern matches at mem. Never reads past memLen bytes of mem. */
OSAL_API void *g_memstr1(const void *mem, int memLen, const char *pattern);

#ifdef __cplusplus
}
#endif

#endif /* OSAL_H */
