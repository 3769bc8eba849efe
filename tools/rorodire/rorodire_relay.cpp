// `rorodire relay`: an MMS relay (MMSC) for development and tests, on
// libsoup's HTTP server and the GLib main loop.
//
// POST of an m-send-req: answered with an m-send-conf; one m-notification-ind
// per recipient goes into the spool folder, pointing back at the relay.
// GET of such a location: the m-retrieve-conf with the body exactly as sent.
// POST of an m-notifyresp-ind or m-acknowledge-ind: recorded against its
// transaction. One JSON line per exchange. Faults can be injected from the
// command line, per request (?fault=...) and through /control. The handling
// itself is in rorodire_relay_core.cpp; this file is the HTTP server.
#include <glib-unix.h>
#include <glib.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "qx_log.h"
#include "rorodire_relay.h"
#include "rr_hostfiles.h"
#include "rr_stack.h"
#include "rorodire_tool.h"

namespace rrtool {
namespace {

constexpr char kRelayUsage[] =
    "usage: rorodire relay [--listen ADDRESS] [--port N] [--spool DIR] [--log FILE]\n"
    "                      [--sender ADDR] [--conf-status BYTE] [--fault FAULT]...\n"
    "                      [--max-request BYTES] [--max-recipients N] [--store-quota BYTES]\n"
    "                      [--expiry SECONDS] [--idle SECONDS]\n"
    "\n"
    "An MMS relay (MMSC) for development and tests, on 127.0.0.1.\n"
    "  --listen ADDRESS   IP address to listen on (default 127.0.0.1; ::1 for\n"
    "                     IPv6)\n"
    "  --port N           port to listen on (1 to 65535); 0 (the default) picks a\n"
    "                     free one. The relay prints \"relay: listening on URL\"\n"
    "                     on stderr; URL (ending in /mms) is where terminals post.\n"
    "  --spool DIR        folder for the m-notification-ind files, one per\n"
    "                     recipient (default: a new folder under /tmp)\n"
    "  --log FILE         the JSON line of each exchange goes there, not to stdout\n"
    "  --sender ADDR      From inserted when a send request asks for it\n"
    "                     (default +15550100000)\n"
    "  --conf-status BYTE Response-Status of every m-send-conf (0x80 Ok .. 0xFF)\n"
    "  --fault FAULT      a fault for every matching request (repeatable)\n"
    "\n"
    "Limits:\n"
    "  --max-request BYTES    a request body above this is answered 413 and not\n"
    "                         kept (default 4194304)\n"
    "  --max-recipients N     a send request for more recipients is confirmed with\n"
    "                         Response-Status 0xE1 and not stored (default 100)\n"
    "  --store-quota BYTES    stored messages (each kept once, however many\n"
    "                         recipients) above this push out the oldest, whose\n"
    "                         notifications are removed (default 67108864)\n"
    "  --expiry SECONDS       a stored message is dropped after this; it is the\n"
    "                         notifications' Expiry (default 604800, 7 days)\n"
    "  --idle SECONDS         a connection that sends nothing for this long is\n"
    "                         closed (default 30)\n"
    "  A send request without a Transaction-Id or without recipients is answered\n"
    "  400 and not stored. The relay closes each connection after its answer. When\n"
    "  it runs out of descriptors it stops accepting, says so on stderr and tries\n"
    "  again after 100 ms, doubling up to 2 s. At most 64 stalled requests are\n"
    "  held; a newer one closes the oldest.\n"
    "\n"
    "Requests:\n"
    "  POST any path      m-send-req -> m-send-conf (+ notifications in the spool);\n"
    "                     m-notifyresp-ind / m-acknowledge-ind -> recorded, empty 200\n"
    "                     (+ an m-delivery-ind for the sender, below);\n"
    "                     m-read-rec-ind -> empty 200 (+ an m-read-orig-ind), or 400\n"
    "                     when it names no message or recipient of this relay\n"
    "  GET /msg/ID        the m-retrieve-conf of a notification; unknown: 404\n"
    "  GET|POST /control?fault=FAULT[&count=N]   adds a fault for the next N (1 to\n"
    "                     1000; default 1) matching requests (at most 100 queued);\n"
    "                     /control?clear=1 removes all\n"
    "\n"
    "Fault FAULT: [send:|get:|answer:]KIND[=ARG], also per request as\n"
    "?fault=FAULT[,FAULT...] on the request URL (send: m-send-req; get: a GET;\n"
    "answer: m-notifyresp-ind, m-acknowledge-ind, m-read-rec-ind). KIND is one of:\n"
    "  conf-status=BYTE   Response-Status of the m-send-conf (0x80..0xFF)\n"
    "  http-status=CODE   answer with that HTTP status (404, 500, ...); a 1xx\n"
    "                     status is sent once as an interim answer before the\n"
    "                     normal one\n"
    "  close-after=N      send the first N bytes of the response, then close\n"
    "  stall              accept the request and never answer\n"
    "  trickle=N[/MS]     send N bytes every MS milliseconds (default 100)\n"
    "  length=more|fewer|absent  a Content-Length that lies (+100, -100) or none\n"
    "  oversize[=N]       the retrieved message padded to N bytes (400000; at\n"
    "                     most 4194304)\n"
    "  redirect=abs|rel[/CODE]  redirect to the same URL without the fault,\n"
    "                     absolute or relative: 302 for a GET, 307 for a POST,\n"
    "                     or the 3xx CODE given\n"
    "  garbage            bytes that are no PDU, instead of the answer\n"
    "\n"
    "Reports to the sender, written into the spool beside the notifications:\n"
    "  ID-delivery-STATUS.ind  an m-delivery-ind, when the send request asked for\n"
    "                     Delivery-Report, once per recipient and status: retrieved\n"
    "                     (m-notifyresp-ind Retrieved, m-acknowledge-ind), rejected,\n"
    "                     deferred, or expired (not retrieved or refused before\n"
    "                     --expiry; written within a second of it)\n"
    "  ID-read.ind, ID-deleted.ind  the m-read-orig-ind of a recipient's read\n"
    "                     report, when the send request asked for Read-Reply; once\n"
    "  ID is the recipient's notification's name (M...-1-2). Each is logged in one\n"
    "  line with \"report\". MESSAGE-ID.rep keeps what the reports need, so a relay\n"
    "  started again on the same spool still writes them.\n";

// Connections of stalled requests held open at most; a newer one closes the oldest.
constexpr size_t kMaxHeld = 64;
// Accepting again after running out of descriptors: the first wait and the longest.
constexpr guint kFirstBackoffMs = 100, kLongestBackoffMs = 2000;

struct Server {
    relay::State state;
    SoupServer *server = nullptr;
    GMainLoop *loop = nullptr;
    std::string address = "127.0.0.1";  // --listen
    int port = 0;
    guint idleSeconds = 30;
    // The listening socket is the relay's own: libsoup's listener gives up
    // for good on the first failed accept, so connections are accepted here
    // and handed to the server.
    GSocket *listener = nullptr;
    GSource *acceptSource = nullptr;
    guint backoffTimer = 0;
    guint backoffMs = 0;  // 0: accepting
    std::deque<GIOStream *> held;  // connections of stalled requests, oldest first
};

// ---------------------------------------------------------------- request size
// A body above the limit is not kept: counted as it arrives and dropped.
constexpr char kBytesKey[] = "rr-bytes", kTooLargeKey[] = "rr-too-large";

void drop_body(SoupServerMessage *msg) {
    g_object_set_data(G_OBJECT(msg), kTooLargeKey, GINT_TO_POINTER(1));
    SoupMessageBody *body = soup_server_message_get_request_body(msg);
    soup_message_body_set_accumulate(body, FALSE);
    soup_message_body_truncate(body);
}

// Answers a request at once from its header, without reading its body: the
// connection is taken from the server (which would wait for the body) and
// the answer written on it, then it is closed.
void answer_early(Server &sv, SoupServerMessage *msg, relay::Request req);

void on_got_headers(SoupServerMessage *msg, gpointer data) {
    auto &sv = *static_cast<Server *>(data);
    SoupMessageHeaders *h = soup_server_message_get_request_headers(msg);
    relay::Request req;
    req.method = soup_server_message_get_method(msg);
    if (GUri *uri = soup_server_message_get_uri(msg)) req.path = g_uri_get_path(uri);
    if (const char *ua = soup_message_headers_get_one(h, "User-Agent")) req.userAgent = ua;
    if (const char *pr = soup_message_headers_get_one(h, "Profile")) req.profile = pr;
    // Every Content-Length the request carries (the server joins repeated
    // ones with commas): two that differ leave its end unknown.
    if (const char *lengths = soup_message_headers_get_list(h, "Content-Length")) {
        std::string first;
        bool conflicting = false;
        for (const std::string &one : rrhost::split_list(lengths, ",")) {
            if (first.empty()) first = one;
            conflicting = conflicting || one != first;
        }
        if (conflicting) {
            req.conflictingLength = true;
            answer_early(sv, msg, std::move(req));
            return;
        }
    }
    // A stated length above the limit is answered 413 before any of the
    // body is read (a length near 2^63 would otherwise be waited for).
    if (soup_message_headers_get_encoding(h) == SOUP_ENCODING_CONTENT_LENGTH &&
        static_cast<guint64>(soup_message_headers_get_content_length(h)) > sv.state.limits.maxRequest) {
        drop_body(msg);
        req.tooLarge = true;
        const goffset declared = soup_message_headers_get_content_length(h);
        req.bodyBytes = declared > 0 ? static_cast<size_t>(declared) : 0;
        answer_early(sv, msg, std::move(req));
    }
}

void on_got_chunk(SoupServerMessage *msg, GBytes *chunk, gpointer data) {
    const auto &sv = *static_cast<Server *>(data);
    const gsize n = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(msg), kBytesKey)) + g_bytes_get_size(chunk);
    g_object_set_data(G_OBJECT(msg), kBytesKey, GSIZE_TO_POINTER(n));
    if (n > sv.state.limits.maxRequest && !g_object_get_data(G_OBJECT(msg), kTooLargeKey)) drop_body(msg);
}

void on_request_started(SoupServer *, SoupServerMessage *msg, gpointer data) {
    g_signal_connect(msg, "got-headers", G_CALLBACK(on_got_headers), data);
    g_signal_connect(msg, "got-chunk", G_CALLBACK(on_got_chunk), data);
}

// ---------------------------------------------------------------- raw answers
// Faults the HTTP server would never produce (a cut or trickled answer, a
// Content-Length that lies, an interim answer) are written on the
// connection taken over from it.
struct RawAnswer {
    GIOStream *stream = nullptr;
    std::string bytes;
    size_t pos = 0;
    size_t chunk = 0;  // 0: all at once
};

gboolean raw_tick(gpointer data) {
    auto *a = static_cast<RawAnswer *>(data);
    GOutputStream *out = g_io_stream_get_output_stream(a->stream);
    const size_t n = a->chunk ? std::min(a->chunk, a->bytes.size() - a->pos) : a->bytes.size() - a->pos;
    gsize written = 0;
    const bool ok = n == 0 || g_output_stream_write_all(out, a->bytes.data() + a->pos, n, &written, nullptr, nullptr);
    a->pos += written;
    g_output_stream_flush(out, nullptr, nullptr);
    if (!ok || a->pos >= a->bytes.size()) {
        g_io_stream_close(a->stream, nullptr, nullptr);
        g_object_unref(a->stream);
        delete a;
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

void answer_raw(SoupServerMessage *msg, const relay::Reply &reply) {
    GIOStream *stream = soup_server_message_steal_connection(msg);
    if (!stream) return;
    auto *a = new RawAnswer{stream, relay::raw_answer(reply), 0, reply.trickleChunk};
    if (a->chunk)
        g_timeout_add(reply.trickleMs, raw_tick, a);
    else
        raw_tick(a);
}

void answer_early(Server &sv, SoupServerMessage *msg, relay::Request req) {
    relay::Reply reply = relay::handle_request(sv.state, req);
    reply.trickleChunk = 0;
    answer_raw(msg, reply);
}

// ---------------------------------------------------------------- stalled requests
// A stalled request is never answered: its connection is taken from the
// server (which then forgets the request and its body) and held open, at
// most kMaxHeld of them.
void hold(Server &sv, SoupServerMessage *msg) {
    soup_message_body_truncate(soup_server_message_get_request_body(msg));
    GIOStream *stream = soup_server_message_steal_connection(msg);
    if (!stream) return;
    sv.held.push_back(stream);
    while (sv.held.size() > kMaxHeld) {
        GIOStream *oldest = sv.held.front();
        sv.held.pop_front();
        g_io_stream_close(oldest, nullptr, nullptr);
        g_object_unref(oldest);
    }
}

void release_held(Server &sv) {
    for (GIOStream *s : sv.held) {
        g_io_stream_close(s, nullptr, nullptr);
        g_object_unref(s);
    }
    sv.held.clear();
}

// ---------------------------------------------------------------- dispatch
relay::Request request_of(SoupServerMessage *msg, const char *path, GHashTable *query) {
    relay::Request req;
    req.method = soup_server_message_get_method(msg);
    req.path = path;
    if (query) {
        GHashTableIter it;
        gpointer k, v;
        g_hash_table_iter_init(&it, query);
        while (g_hash_table_iter_next(&it, &k, &v)) req.query[static_cast<const char *>(k)] = static_cast<const char *>(v);
    }
    SoupMessageHeaders *h = soup_server_message_get_request_headers(msg);
    if (const char *ua = soup_message_headers_get_one(h, "User-Agent")) req.userAgent = ua;
    if (const char *pr = soup_message_headers_get_one(h, "Profile")) req.profile = pr;
    req.bodyBytes = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(msg), kBytesKey));
    req.tooLarge = g_object_get_data(G_OBJECT(msg), kTooLargeKey) != nullptr;
    if (req.tooLarge) {
        const goffset declared = soup_message_headers_get_content_length(h);
        req.bodyBytes = std::max(req.bodyBytes, static_cast<size_t>(declared > 0 ? declared : 0));
        return req;
    }
    if (SoupMessageBody *body = soup_server_message_get_request_body(msg)) {
        GBytes *flat = soup_message_body_flatten(body);
        gsize n = 0;
        const auto *p = static_cast<const uint8_t *>(g_bytes_get_data(flat, &n));
        if (n) req.body.assign(p, p + n);
        g_bytes_unref(flat);
    }
    return req;
}

void on_request(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *query, gpointer data) {
    Server &sv = *static_cast<Server *>(data);
    relay::Reply reply;
    try {
        reply = relay::handle_request(sv.state, request_of(msg, path, query));
    } catch (const std::exception &e) {  // out of memory, above all: this request fails, the relay goes on
        reply = relay::Reply{};
        reply.status = 500;
        reply.contentType = "text/plain";
        const std::string text = std::string("relay failure: ") + e.what() + "\n";
        reply.body.assign(text.begin(), text.end());
    }
    if (reply.stall) {
        hold(sv, msg);  // the client waits for ever
        return;
    }
    if (reply.raw()) {
        answer_raw(msg, reply);
        return;
    }
    // One answer per connection: a client that keeps a connection open and
    // then closes it would otherwise leave it half-closed here.
    SoupMessageHeaders *h = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(h, "Connection", "close");
    if (!reply.location.empty()) soup_message_headers_replace(h, "Location", reply.location.c_str());
    soup_server_message_set_status(msg, static_cast<guint>(reply.status), nullptr);
    soup_server_message_set_response(msg, reply.contentType.c_str(), SOUP_MEMORY_COPY,
                                     reinterpret_cast<const char *>(reply.body.data()), reply.body.size());
}

// Expired messages go (and their senders hear of it) without waiting for a request.
gboolean on_expiry_tick(gpointer state) {
    relay::expire_messages(*static_cast<relay::State *>(state));
    return G_SOURCE_CONTINUE;
}

gboolean on_signal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

// ---------------------------------------------------------------- options
struct RelayOptions {
    std::string logPath;
};

// Digits only, at most `max`.
bool digits(const char *v, unsigned long long max, unsigned long long *out) {
    if (!*v || std::strlen(v) > 19) return false;
    for (const char *p = v; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    *out = std::strtoull(v, nullptr, 10);
    return *out <= max;
}

bool positive(const char *v, unsigned long long *out) {
    char *end = nullptr;
    errno = 0;
    *out = std::strtoull(v, &end, 0);
    return *v && *v != '-' && !*end && !errno && *out > 0;
}

// One option with its value; 0 to go on, else the exit status.
int relay_option(const std::string &a, const char *v, Server &sv, RelayOptions &o) {
    relay::State &s = sv.state;
    unsigned long long n = 0;
    if (a == "--port") {
        if (!digits(v, 65535, &n)) {
            std::fprintf(stderr, "rorodire relay: --port '%s' is not a port (1 to 65535, or 0 for a free one)\n", v);
            return 2;
        }
        sv.port = static_cast<int>(n);
    } else if (a == "--listen") {
        GInetAddress *ip = g_inet_address_new_from_string(v);
        if (!ip) {
            std::fprintf(stderr, "rorodire relay: --listen '%s' is not an IP address (127.0.0.1, ::1, ...)\n", v);
            return 2;
        }
        g_object_unref(ip);
        sv.address = v;
    } else if (a == "--spool" || a == "--log" || a == "--sender") {
        (a == "--spool" ? s.spool : a == "--log" ? o.logPath : s.sender) = v;
    } else if (a == "--conf-status") {
        if (!relay::parse_status_byte(v, &s.confStatus)) {
            std::fprintf(stderr, "rorodire relay: --conf-status takes 0x80 to 0xFF\n");
            return 2;
        }
    } else if (a == "--fault") {
        relay::Fault f;
        std::string why;
        if (!relay::parse_fault(v, &f, &why)) {
            std::fprintf(stderr, "rorodire relay: %s\n", why.c_str());
            return 2;
        }
        s.faults.push_back(f);
    } else if (!positive(v, &n)) {
        std::fprintf(stderr, "rorodire relay: %s takes a number above 0\n", a.c_str());
        return 2;
    } else if (a == "--max-request") {
        s.limits.maxRequest = n;
    } else if (a == "--max-recipients") {
        s.limits.maxRecipients = n;
    } else if (a == "--store-quota") {
        s.limits.storeQuota = n;
    } else if (a == "--idle") {
        sv.idleSeconds = static_cast<guint>(std::min(n, 24ull * 3600));
    } else {
        s.limits.expirySeconds = static_cast<long long>(std::min(n, 10ull * 365 * 24 * 3600));
    }
    return 0;
}

// 0 to go on, -1 after --help, else the exit status.
int relay_options(int argc, char **argv, Server &sv, RelayOptions &o) {
    static const char *withValue[] = {"--port",        "--spool",       "--log",            "--sender",
                                      "--conf-status", "--fault",       "--max-request",    "--max-recipients",
                                      "--store-quota", "--expiry",      "--listen",         "--idle"};
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kRelayUsage, stdout);
            return -1;
        }
        if (std::none_of(std::begin(withValue), std::end(withValue), [&](const char *w) { return a == w; })) {
            std::fprintf(stderr, "rorodire relay: unknown option '%s'\n\n%s", a.c_str(), kRelayUsage);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "rorodire relay: %s needs a value\n", a.c_str());
            return 2;
        }
        if (const int rc = relay_option(a, argv[++i], sv, o)) return rc;
    }
    if (sv.state.limits.storeQuota < sv.state.limits.maxRequest) {
        std::fprintf(stderr, "rorodire relay: --store-quota must hold at least one request (--max-request)\n");
        return 2;
    }
    return 0;
}

// The spool folder and the log; 0 or the exit status.
int open_files(Server &sv, const RelayOptions &o) {
    relay::State &s = sv.state;
    if (s.spool.empty()) {
        char tmpl[] = "/tmp/rorodire-spool-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("rorodire relay: spool folder");
            return 3;
        }
        s.spool = tmpl;
    } else if (g_mkdir_with_parents(s.spool.c_str(), 0755) != 0) {
        std::fprintf(stderr, "rorodire relay: cannot create %s\n", s.spool.c_str());
        return 3;
    }
    if (!o.logPath.empty()) {
        s.log = std::fopen(o.logPath.c_str(), "a");
        if (!s.log) {
            std::perror("rorodire relay: log file");
            return 3;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- accepting
gboolean on_accept(GSocket *, GIOCondition, gpointer data);

void watch_listener(Server &sv) {
    sv.acceptSource = g_socket_create_source(sv.listener, G_IO_IN, nullptr);
    g_source_set_callback(sv.acceptSource, G_SOURCE_FUNC(on_accept), &sv, nullptr);
    g_source_attach(sv.acceptSource, nullptr);
}

gboolean on_backoff_over(gpointer data) {
    auto &sv = *static_cast<Server *>(data);
    sv.backoffTimer = 0;
    watch_listener(sv);
    return G_SOURCE_REMOVE;
}

// Hands an accepted connection to the HTTP server. A connection that sends
// nothing for --idle seconds fails its read and is closed by the server.
void serve(Server &sv, GSocket *client) {
    g_socket_set_timeout(client, sv.idleSeconds);
    GSocketConnection *conn = g_socket_connection_factory_create_connection(client);
    GSocketAddress *local = g_socket_get_local_address(client, nullptr);
    GSocketAddress *remote = g_socket_get_remote_address(client, nullptr);
    GError *err = nullptr;
    if (!soup_server_accept_iostream(sv.server, G_IO_STREAM(conn), local, remote, &err)) {
        std::fprintf(stderr, "relay: cannot serve a connection: %s\n", err ? err->message : "?");
        g_clear_error(&err);
        g_io_stream_close(G_IO_STREAM(conn), nullptr, nullptr);
    }
    if (local) g_object_unref(local);
    if (remote) g_object_unref(remote);
    g_object_unref(conn);
}

gboolean on_accept(GSocket *, GIOCondition, gpointer data) {
    auto &sv = *static_cast<Server *>(data);
    for (int i = 0; i < 64; ++i) {  // then the main loop's other work
        GError *err = nullptr;
        GSocket *client = g_socket_accept(sv.listener, nullptr, &err);
        if (client) {
            if (sv.backoffMs) {
                std::fprintf(stderr, "relay: accepting connections again\n");
                std::fflush(stderr);
                sv.backoffMs = 0;
            }
            serve(sv, client);
            g_object_unref(client);
            continue;
        }
        const bool wouldBlock = g_error_matches(err, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK);
        if (g_error_matches(err, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED)) {
            g_clear_error(&err);  // a client that gave up before it was accepted
            continue;
        }
        if (!wouldBlock) {
            // Out of descriptors, most likely: stop watching, try again later.
            const guint wait = sv.backoffMs ? std::min(2 * sv.backoffMs, kLongestBackoffMs) : kFirstBackoffMs;
            if (!sv.backoffMs || wait != sv.backoffMs)
                std::fprintf(stderr, "relay: cannot accept a connection (%s); trying again in %u ms\n",
                             err ? err->message : "?", wait);
            std::fflush(stderr);
            sv.backoffMs = wait;
            g_clear_error(&err);
            g_source_destroy(sv.acceptSource);
            g_source_unref(sv.acceptSource);
            sv.acceptSource = nullptr;
            sv.backoffTimer = g_timeout_add(wait, on_backoff_over, &sv);
            return G_SOURCE_REMOVE;
        }
        g_clear_error(&err);
        break;
    }
    return G_SOURCE_CONTINUE;
}

bool listen(Server &sv) {
    sv.server = soup_server_new("server-header", "rorodire-relay", nullptr);
    g_signal_connect(sv.server, "request-started", G_CALLBACK(on_request_started), &sv);
    soup_server_add_handler(sv.server, nullptr, on_request, &sv, nullptr);
    GInetAddress *ip = g_inet_address_new_from_string(sv.address.c_str());
    GSocketAddress *addr = g_inet_socket_address_new(ip, static_cast<guint16>(sv.port));
    GError *err = nullptr;
    sv.listener = g_socket_new(g_inet_address_get_family(ip), G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &err);
    bool ok = sv.listener != nullptr;
    if (ok) {
        g_socket_set_blocking(sv.listener, FALSE);  // accept until it would block, never wait
        g_socket_set_listen_backlog(sv.listener, 128);
        ok = g_socket_bind(sv.listener, addr, TRUE, &err) && g_socket_listen(sv.listener, &err);
    }
    g_object_unref(addr);
    g_object_unref(ip);
    if (!ok) {
        std::fprintf(stderr, "rorodire relay: cannot listen on %s port %d: %s\n", sv.address.c_str(), sv.port,
                     err ? err->message : "?");
        g_clear_error(&err);
        if (sv.listener) g_object_unref(sv.listener);
        g_object_unref(sv.server);
        return false;
    }
    GSocketAddress *bound = g_socket_get_local_address(sv.listener, nullptr);
    if (bound) {
        sv.port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
        g_object_unref(bound);
    }
    sv.state.base = "http://" + rrhost::authority_text(sv.address, sv.port);
    watch_listener(sv);
    return true;
}

void stop_listening(Server &sv) {
    if (sv.backoffTimer) g_source_remove(sv.backoffTimer);
    if (sv.acceptSource) {
        g_source_destroy(sv.acceptSource);
        g_source_unref(sv.acceptSource);
    }
    g_socket_close(sv.listener, nullptr);
    g_object_unref(sv.listener);
    release_held(sv);
}

}  // namespace

int cmd_relay(int argc, char **argv) {
    Server sv;
    RelayOptions o;
    if (const int rc = relay_options(argc, argv, sv, o)) return rc < 0 ? 0 : rc;
    qx::set_log_enabled(false);
    if (const int rc = open_files(sv, o)) return rc;
    std::vector<std::string> skipped;
    const size_t known = relay::load_reports(sv.state, &skipped);
    for (const std::string &f : skipped) std::fprintf(stderr, "relay: %s does not read back; left alone\n", f.c_str());
    if (known) std::fprintf(stderr, "relay: reports on %zu messages of the spool\n", known);
    if (!listen(sv)) {
        if (sv.state.log != stdout) std::fclose(sv.state.log);
        return 3;
    }
    std::fprintf(stderr, "relay: listening on %s/mms spool %s\n", sv.state.base.c_str(), sv.state.spool.c_str());
    std::fflush(stderr);
    sv.loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, on_signal, sv.loop);
    g_unix_signal_add(SIGTERM, on_signal, sv.loop);
    g_timeout_add_seconds(1, on_expiry_tick, &sv.state);
    g_main_loop_run(sv.loop);
    g_main_loop_unref(sv.loop);
    stop_listening(sv);
    soup_server_disconnect(sv.server);
    g_object_unref(sv.server);
    if (sv.state.log != stdout) std::fclose(sv.state.log);
    return 0;
}

}  // namespace rrtool
