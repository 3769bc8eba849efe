// Results of the HTTP client stack: the socket layer and the HTTP client
// above it answer in these terms, and nothing else.
//
// A non-blocking step returns at once: a count or done (0 or more), not yet,
// or failed. The calls that do not step (URL parsing, composing a request,
// initialising, the proxy setting, the cookie lines) answer DONE or FAILED.
// The socket layer's set-up calls (its service, a slot's address, its
// connect) answer READY, AGAIN, or a failure: REFUSED (0, the address or
// connect failed) or FAILED (-1, an unusable slot or argument).
// A failed allocation fails the step (FAILED, or a null context): every
// caller of the stack ends its request on it, and the transactions' reports
// have no code of their own for it.
#ifndef QX_STACK_STEP_H
#define QX_STACK_STEP_H

constexpr int QX_STEP_DONE = 0;        // done; counts are 0 or more as well
constexpr int QX_STEP_FAILED = -1;     // failed for good
constexpr int QX_STEP_AGAIN = -2;      // not yet: try again on a later step
constexpr int QX_STEP_NO_BUFFER = -3;  // socket layer: no buffer given

constexpr int QX_SOCK_OK = 1;    // READY: service up, address ready, connected
constexpr int QX_SOCK_FAIL = 0;  // REFUSED: service down, address failed, connect failed

constexpr int QX_NO_SLOT = 0;  // no socket slot: none free, or none created

#endif
