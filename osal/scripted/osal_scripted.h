// Scripted osal for tests: every function of osal.h, deterministic, with no
// real sockets and no clock. Tests script what the next connects, writes,
// reads and lookups do, fire timers by hand and check afterwards that every
// socket was closed and every timer and address record freed.
//
// Conventions of this implementation:
// - Socket handles count up from 101 after each reset(); 0 is "no socket".
//   g_sock_socket works without g_sock_init (the calls are only counted).
// - A socket's record (its written bytes, its error) is kept after close
//   until reset(), so tests can inspect it after the code under test closed it.
// - Timer handles and address records never repeat, not even across reset(),
//   so a stale handle can never hit a new timer.
// - Error codes: a failed connect sets ECONNREFUSED, a write result -1 sets
//   EPIPE, a read result -1 sets ECONNRESET (see osal.h for the codes).
#ifndef OSAL_SCRIPTED_H
#define OSAL_SCRIPTED_H

#include <cstdint>
#include <string>

#include "osal.h"

namespace osal_script {

void reset();  // forget all state, scripts and counters

// ---------------------------------------------------------------- connects
// Like the real osal, no callback is ever called from inside an osal call:
// a connect's completion is delivered on a later turn of the (virtual) main
// loop, that is by run_turn(), by fire_next_timer() (a turn delivers what is
// ready before the timer that is due) or by complete_connect().
enum class ConnectMode { NextTurn, Immediate, Later, Never, Fail, FailLater };
// For the connects that follow (default NextTurn).
// NextTurn: g_sock_connect returns -2; the next turn connects the socket and
//   calls the completion callback (event 2, no error).
// Immediate: g_sock_connect returns 0 (completed at once, as a loopback
//   connect may); the socket counts as connected from the next turn, which
//   calls the callback, as with NextTurn.
// Later / FailLater: g_sock_connect returns -2 and the connect is reported
//   later: only when the test calls complete_connect(); FailLater completes
//   with ECONNREFUSED when the test gives no error of its own.
// Never: returns -2 and never completes (complete_connect refuses it).
// Fail: g_sock_connect returns -1 and g_sock_geterror gives ECONNREFUSED.
void set_connect_mode(ConnectMode m);
// Completes the pending connect of s (0: the last socket) by calling its
// callback with event and error (what g_sock_geterror returns from then on).
// False when s has no connect to complete (none, done, closed, Never).
bool complete_connect(OSAL_SOCKET s = 0, int event = 2, int error = 0);
bool connect_pending(OSAL_SOCKET s = 0);
// One turn of the virtual main loop: delivers every connect completion that
// is due (NextTurn and Immediate connects made before this turn), in the
// order of the connects. Returns how many callbacks ran.
int run_turn();
// Callbacks osal called from inside one of its own calls; the contract says
// none, so this stays 0 (a check for tests).
int callbacks_inside_calls();

// ---------------------------------------------------------------- writes
// A FIFO of results per upcoming g_sock_write call: n >= 0 accept at most n
// bytes, -1 error, -2 would block. With the queue empty every write accepts
// everything.
void push_write_result(int r);
// ---------------------------------------------------------------- reads
// A FIFO of steps: data chunks (delivered up to the capacity asked, the rest
// stays at the front), or results 0 (peer closed), -1 (error), -2 (nothing
// yet). With the queue empty reads give -2. Empty chunks are ignored.
void push_read_data(const std::string &bytes);
void push_read_result(int r);
int read_steps_left();

// ---------------------------------------------------------------- sockets
std::string written(OSAL_SOCKET s = 0);  // every byte accepted so far on a socket (0: the last socket created)
OSAL_SOCKET last_socket();
int sockets_created();
int sockets_open();
int sockets_closed();
int connect_calls();
int write_calls();  // g_sock_write calls, whatever their result
int read_calls();
// Calls that named a socket that is unknown or already closed (close,
// connect, read, write). A correct user makes none.
int bad_socket_calls();
// The text or address form passed to g_sock_connect: the text itself, or the
// host name an address record was resolved from.
std::string last_connect_address();
bool last_connect_used_record();  // the address was a record from g_sock_resolve
uint16_t last_connect_port();     // as passed (network order with a record)
int sock_init_calls();
int sock_finalize_calls();
void set_init_result(int r);             // what g_sock_init returns (default 0)
void set_socket_result(OSAL_SOCKET s);   // force g_sock_socket's next result (e.g. 0), one shot
void set_time_initialize_result(int r);  // default 1

// ---------------------------------------------------------------- lookups
enum class ResolveMode { Immediate, Later, Fail };
// For the g_sock_resolve calls that follow (default Immediate: the record is
// ready at once). Later: pending until complete_resolve(). Fail: failed at
// once with OSAL_ERR_HOST_NOT_FOUND.
void set_resolve_mode(ResolveMode m);
// Ends the oldest pending lookup, ready or failed; false when none is pending.
bool complete_resolve(bool ok = true);
int resolves_started();
int addrs_live();  // records returned by g_sock_resolve and not yet freed
std::string last_resolve_host();
// The DNS servers and interface of the last g_sock_resolve_dns ("" after a
// plain g_sock_resolve), and how many lookups went through given servers.
std::string last_resolve_servers();
std::string last_resolve_ifname();
int dns_resolves_started();
// What g_sock_bind last tied a socket to (0: the last socket created).
std::string bound_ifname(OSAL_SOCKET s = 0);
std::string bound_source(OSAL_SOCKET s = 0);

// ---------------------------------------------------------------- timers
// Timers are virtual: nothing fires until the test says so. They fire in the
// order they are due on a virtual clock (arming time plus period; the
// earliest armed first among equals), which moves to each timer it fires.
int timers_armed();
int timers_pending();  // armed, not fired, not freed
int timers_freed();
int timers_live();       // armed and not freed (fired or not)
int timers_fired();
int timer_bad_frees();   // g_free_timer on a handle that was already freed or never armed
int last_timer_period();
long now_ms();  // the virtual clock: 0 after reset(), then the due time of the last timer fired
// Fires the oldest pending timer after a turn (run_turn) delivered what was
// due; false (and no turn) if no timer is pending.
bool fire_next_timer();
int run_timers(int max_fires);   // fires until none is pending or max reached; returns count fired

// ---------------------------------------------------------------- readiness waits
// g_sock_watch arms a wait that lives among the timers (the same handles,
// released by g_free_timer, counted by timers_armed/_freed/_live). A wait is
// ready when its socket is closed, or connected (a connect still under way
// holds it until its completion is delivered) and, for OSAL_WATCH_READ, the
// next scripted read step is data, 0 or -1, or, for OSAL_WATCH_WRITE, the
// next scripted write result is no -2 (an empty queue accepts). On
// fire_next_timer a ready wait fires first, at the present virtual time;
// a wait that never gets ready fires at its time-out like a timer.
int watches_armed();
int watches_fired_ready();  // waits that fired because their socket was ready
int last_watch_events();

}  // namespace osal_script

#endif
