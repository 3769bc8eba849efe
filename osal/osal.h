/*
 * osal - the terminal's operating-system abstraction library.
 *
 * Non-blocking TCP sockets with an asynchronous connect, asynchronous host
 * name resolution, one-shot timers and a memory search.
 *
 * Threading
 *   osal takes no locks. Every function must be called from the one thread
 *   that runs the GLib main context osal works on: the thread-default main
 *   context of the calling thread at the time of the call (the global default
 *   context unless the thread pushed its own). Connect completions, name
 *   lookups and timers are delivered by that main context when the host runs
 *   it (g_main_loop_run, g_main_context_iteration). Callbacks are never called
 *   from inside a call into osal, and never from another thread. Name lookups
 *   run on GLib's resolver threads, so the main loop never blocks on them; a
 *   lookup cancelled by g_sock_close or g_sock_addr_free releases its last
 *   bytes when the main context next runs.
 *
 * Handles
 *   Socket and timer handles are opaque ids. An id that was closed or freed
 *   is never handed out again for the lifetime of the process, so passing a
 *   stale socket or timer handle is harmless: the call fails (or does
 *   nothing) instead of touching another object. Address records are
 *   pointers owned by the caller; after g_sock_addr_free the record functions
 *   treat the pointer as unknown, and it must not be given to g_sock_connect
 *   again (it would be read as a host text).
 *
 * Error codes (g_sock_geterror, g_sock_addr_error)
 *   0 means no error. A positive value below OSAL_ERR_BASE is the host's
 *   errno value of the failed system call (ECONNREFUSED, ETIMEDOUT,
 *   ECONNRESET, EPIPE, ...). The values from OSAL_ERR_BASE up are osal's own.
 */
#ifndef OSAL_H
#define OSAL_H

#include <stdint.h>

#define OSAL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

#define OSAL_ERR_BASE 0x10000
#define OSAL_ERR_BAD_HANDLE (OSAL_ERR_BASE + 1)     /* unknown or closed socket handle */
#define OSAL_ERR_BAD_ARGUMENT (OSAL_ERR_BASE + 2)   /* null address, negative count, ... */
#define OSAL_ERR_NOT_READY (OSAL_ERR_BASE + 3)      /* socket service not initialised */
#define OSAL_ERR_HOST_NOT_FOUND (OSAL_ERR_BASE + 4) /* name lookup found no usable address */
#define OSAL_ERR_ADDR_PENDING (OSAL_ERR_BASE + 5)   /* address record not resolved (yet) */
#define OSAL_ERR_BAD_STATE (OSAL_ERR_BASE + 6)      /* connect on a socket already connecting/connected */
/* Lookups through given DNS servers (g_sock_resolve_dns): */
#define OSAL_ERR_DNS_NO_ANSWER (OSAL_ERR_BASE + 7)  /* no server answered before its deadline */
#define OSAL_ERR_DNS_NXDOMAIN (OSAL_ERR_BASE + 8)   /* the name does not exist */
#define OSAL_ERR_DNS_NO_DATA (OSAL_ERR_BASE + 9)    /* the name has no A or AAAA record */
#define OSAL_ERR_DNS_TRUNCATED (OSAL_ERR_BASE + 10) /* the answer was truncated and not had whole over TCP */
#define OSAL_ERR_DNS_FORGED (OSAL_ERR_BASE + 11)    /* answers did not match the query (id or question) */
#define OSAL_ERR_DNS_SERVER (OSAL_ERR_BASE + 12)    /* every server refused or failed (SERVFAIL, REFUSED) */
#define OSAL_ERR_DNS_BAD_ANSWER (OSAL_ERR_BASE + 13) /* an answer that does not parse */
#define OSAL_ERR_DNS_BAD_SERVERS (OSAL_ERR_BASE + 14) /* the server list is not numeric addresses */
#define OSAL_ERR_BIND (OSAL_ERR_BASE + 15)          /* neither the interface nor its address could be bound */

/* ------------------------------------------------------------------ sockets
 *
 * Socket handle; 0 means "no socket". */
typedef intptr_t OSAL_SOCKET;

/* Connect completion. The callback is called exactly once for each connect
 * that g_sock_connect accepted (result 0 or -2), from the main loop, with
 * event OSAL_SOCK_EVENT_CONNECT (2) when the connect attempt ended; then
 * g_sock_geterror(sock) is 0 when the socket is connected and the error code
 * otherwise (a failed name lookup included). Any other event is a failure.
 * Closing the socket before the completion cancels it: the callback is then
 * not called. The callback may close the socket. */
#define OSAL_SOCK_EVENT_CONNECT 2
typedef void (*OSAL_SOCK_CB)(OSAL_SOCKET sock, int event, void *user);

/* Starts the socket service. Returns 0 when ready. Calls nest: each
 * g_sock_init that returned 0 must be matched by one g_sock_finalize. */
OSAL_API int g_sock_init(int flags);
/* Ends one g_sock_init. The last one closes every socket still open (their
 * handles become stale; a later g_sock_close on them returns -1). */
OSAL_API void g_sock_finalize(void);

/* A new TCP stream socket (type 1; protocol and flags must be 0). Returns 0
 * when the service is not initialised or the type is not 1. The system
 * socket itself is made by g_sock_connect, once the address family is known. */
OSAL_API OSAL_SOCKET g_sock_socket(int type, int protocol, int flags);

/* The port in network byte order. */
OSAL_API uint16_t g_sock_htons(uint16_t port);

/* Starts a non-blocking connect. The address takes one of two forms:
 *  - an address record from g_sock_resolve that is ready: the port is in
 *    network byte order (as g_sock_htons gives it);
 *  - anything else is read as a NUL-terminated host text, with the port in
 *    host byte order: a numeric IPv4 or IPv6 address, or a host name, which
 *    is then resolved without blocking before the connect starts.
 * A record is recognised by its identity (a live record returned by
 * g_sock_resolve), never by reading the bytes the pointer points to.
 * Returns -2 when the connect is under way, 0 when it completed at once (the
 * completion callback still follows from the main loop), -1 on failure
 * (g_sock_geterror tells why; no callback follows). Every address the name
 * gives is tried in turn before the connect is reported failed; an address
 * that has not answered within 3 seconds while another one is left is given
 * up (ETIMEDOUT) for the next, so a silently dropped connect does not hold
 * back the addresses after it. The last address has the system's own
 * time-out. */
OSAL_API int g_sock_connect(OSAL_SOCKET sock, const void *address, uint16_t port, OSAL_SOCK_CB cb, void *user);

/* The socket's last error (see Error codes); OSAL_ERR_BAD_HANDLE for an
 * unknown handle. Cleared by a successful connect. */
OSAL_API int g_sock_geterror(OSAL_SOCKET sock);

/* Sends up to count bytes. Returns the number accepted (0 or more), -2 when
 * nothing can be sent now (buffer full, connect still under way), -1 on error
 * (not connected, peer gone, bad arguments). Never raises SIGPIPE. */
OSAL_API int g_sock_write(OSAL_SOCKET sock, const void *data, int count);

/* Reads up to capacity (> 0) bytes. Returns the number read (1 or more), 0
 * when the peer closed the connection, -2 when no data is there yet (or the
 * connect is still under way), -1 on error. */
OSAL_API int g_sock_read(OSAL_SOCKET sock, void *buf, int capacity);

/* Ties the socket's connects to a network interface and, optionally, a
 * source address (numeric IPv4 or IPv6; used for the connects of its family).
 * Must come before g_sock_connect; null or empty ifname and source undo it.
 * Each system socket gets SO_BINDTODEVICE before its connect (Linux 5.7 and
 * later allow it without CAP_NET_RAW on a socket not yet bound to a device).
 * Where the kernel refuses, the socket is bound to the source address, else
 * to the interface's own address of the connect's family, and osal says so
 * once in the log. A connect that can do neither fails with OSAL_ERR_BIND.
 * Returns 0, or -1 for an unknown handle or a name longer than an interface
 * name may be. */
OSAL_API int g_sock_bind(OSAL_SOCKET sock, const char *ifname, const char *source);

/* Closes the socket, cancels a connect or lookup in progress (no callback
 * follows) and releases the handle. Returns 0, or -1 for an unknown handle. */
OSAL_API int g_sock_close(OSAL_SOCKET sock);

/* ------------------------------------------------------ address records
 *
 * For callers that resolve a host name ahead of the connect: g_sock_resolve
 * starts the lookup and returns a record at once; the caller polls its state
 * and, once it is ready, passes the record itself as the address of
 * g_sock_connect (with the port in network byte order). A numeric IPv4 or
 * IPv6 address is ready at once, without a resolver. The record belongs to
 * the caller until g_sock_addr_free, which may be called at any time (a
 * lookup in progress is cancelled). Records do not need g_sock_init. */
typedef struct osal_addr_rec *OSAL_ADDR;

#define OSAL_ADDR_READY 1
#define OSAL_ADDR_PENDING (-2)
#define OSAL_ADDR_FAILED (-1)

/* Starts resolving host; null for a null or empty host (or out of memory). */
OSAL_API OSAL_ADDR g_sock_resolve(const char *host);
/* OSAL_ADDR_READY, OSAL_ADDR_PENDING or OSAL_ADDR_FAILED (also for an
 * unknown record). The state changes only while the main loop runs. */
OSAL_API int g_sock_addr_state(OSAL_ADDR addr);
/* Why a lookup failed (see Error codes); 0 while pending or ready. */
OSAL_API int g_sock_addr_error(OSAL_ADDR addr);
/* Starts resolving host through exactly the DNS servers given (a comma
 * separated list of numeric IPv4/IPv6 addresses, "[addr]:port" or
 * "a.b.c.d:port" for another port than 53), never through the system
 * resolver, asking for A and AAAA records at once. The queries are tied to
 * ifname (when not null or empty) as g_sock_bind ties connects. Each server
 * gets timeout_ms (0: 3000) to answer, then the next one is asked. A numeric
 * address is ready at once and asks nobody. Null for a null or empty host or
 * server list (or out of memory); the record's error tells why a lookup
 * failed (OSAL_ERR_DNS_*). */
OSAL_API OSAL_ADDR g_sock_resolve_dns(const char *host, const char *servers, const char *ifname, int timeout_ms);
/* A short English text for an error code of this header or an errno value. */
OSAL_API const char *g_sock_strerror(int error);
/* Releases the record; null and unknown records are ignored. */
OSAL_API void g_sock_addr_free(OSAL_ADDR addr);

/* ------------------------------------------------------------------ timers
 *
 * Timer handle; null means "no timer". */
typedef void (*OSAL_TIMER_CB)(void *user);
typedef void *OSAL_TIMER;

/* Non-zero when the timer service is ready. */
OSAL_API int g_time_initialize(void);

/* Arms a one-shot timer: after period_ms milliseconds (0 or more) the main
 * loop calls cb(user) once. flags must be 0. The handle is stored into
 * *handle (when handle is not null) before g_settimer returns, and stays
 * valid after the timer fired: every handle must be released with
 * g_free_timer exactly once, whether the timer fired or not. Returns 0, or
 * -1 (and stores null) when cb is null or period_ms is negative. */
OSAL_API int g_settimer(int period_ms, OSAL_TIMER_CB cb, void *user, int flags, OSAL_TIMER *handle);

/* Releases a timer handle: a pending timer is cancelled and never fires. Safe
 * on a timer that already fired and on the timer whose callback is running
 * at this moment (also from inside that callback); the handle is dead once
 * this returns. Null, stale and unknown handles are ignored, so freeing twice
 * does no harm. */
OSAL_API void g_free_timer(OSAL_TIMER timer);

/* ------------------------------------------------------------------ readiness
 *
 * A one-shot wait for a socket: the main loop calls cb(user) once, when the
 * first of these happens:
 *  - the socket is ready for one of `events` (OSAL_WATCH_READ: bytes or the
 *    peer's end can be read; OSAL_WATCH_WRITE: a write would take bytes), or
 *    it failed or was hung up (so the next read or write tells);
 *  - a connect under way on it ended (connected or failed), or the socket was
 *    closed;
 *  - timeout_ms milliseconds passed (0 or more).
 * The handle is a timer handle: it is stored into *handle before the call
 * returns and must be released with g_free_timer exactly once, whether the
 * wait fired or not (g_free_timer cancels a pending one). A socket that has
 * no system socket yet and no connect under way is waited on by the time-out
 * only. Returns 0, or -1 (and stores null) for an unknown socket, a null cb,
 * no event or a negative time-out. */
#define OSAL_WATCH_READ 1
#define OSAL_WATCH_WRITE 2
OSAL_API int g_sock_watch(OSAL_SOCKET sock, int events, int timeout_ms, OSAL_TIMER_CB cb, void *user,
                          OSAL_TIMER *handle);

/* ------------------------------------------------------------------ memory
 *
 * Bounded memory search: the first occurrence of the bytes of the
 * NUL-terminated pattern inside mem[0..memLen). Returns a pointer into mem,
 * or null when there is none, when mem or pattern is null or memLen <= 0.
 * An empty pattern matches at mem. Never reads past memLen bytes of mem. */
OSAL_API void *g_memstr1(const void *mem, int memLen, const char *pattern);

#ifdef __cplusplus
}
#endif

#endif /* OSAL_H */
