// Internal links between the run machine and the response reader.
#ifndef QX_STACK_HTTP_ANSWER_H
#define QX_STACK_HTTP_ANSWER_H

#include "qx_stack_http.h"

// Closes the context's socket and forgets the slot.
void qx_http_drop_socket(HttpCtx *ctx);
// True when what is buffered holds a whole response by its own framing
// (Content-Length reached, last chunk seen, or a status without a body).
bool qx_http_response_complete(HttpCtx *ctx);
// True once the rest of the body can go from the socket straight to the
// reader: the answer is acted on, its body framed by a length or by the
// connection's end (not chunked), and nothing of it waits in the receive
// buffer.
bool qx_http_body_direct(const HttpCtx *ctx);

#endif
