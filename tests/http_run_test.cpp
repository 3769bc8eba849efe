// The HTTP run machine stepped against the scripted osal: states, chunked
// sending, receiving, response headers, cookies, redirects and the limits.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "glib_qx_stack_porting.h"
#include "osal_scripted.h"
#include "scripted_turns.h"
#include "qx_stack_http.h"
#include "test_support.h"

namespace {

using osal_script::ConnectMode;

const std::string kDefaultHeaders =
    "Accept: */*,application/vnd.wap.mms-message,text/html\r\n"
    "User-Agent: VRN-WIN K410/WAP2.0 Profile/MIDP-2.0 Configuration/CLDC-1.1\r\n"
    "Profile: http://uaprof.vrn-mobile.com/mobile/uaprof/VRN-K410.xml\r\n"
    "Accept-Language: en\r\n";

void respond(const std::string &bytes, int end = 0) {
    osal_script::push_read_data(bytes);
    osal_script::push_read_result(end);
}

class HttpRun : public ::testing::Test {
protected:
    void SetUp() override {
        osal_script::reset();
        ASSERT_EQ(fnQXStack_Http_Init(), 0);
        fnQXStack_Http_SetProxy("wap.proxy.test", 8080);
    }
    void TearDown() override {
        for (HttpCtx *c : open_) fnQXStack_Http_Close(c);
        fnQXStack_Http_Finalize();
        EXPECT_EQ(osal_script::sockets_open(), 0);
        EXPECT_EQ(osal_script::bad_socket_calls(), 0);
    }
    HttpCtx *get(const char *url) { return keep(fnQXStack_Http_Open_Get(url)); }
    // The body is borrowed by the context: the fixture keeps a copy alive.
    HttpCtx *post(const char *url, const std::string &body) {
        const std::string &kept = bodies_.emplace_back(body);
        return keep(fnQXStack_Http_Open_Post(url, reinterpret_cast<const uint8_t *>(kept.data()),
                                             static_cast<int>(kept.size()), "application/vnd.wap.mms-message"));
    }
    HttpCtx *keep(HttpCtx *c) {
        EXPECT_NE(c, nullptr);
        if (c) open_.push_back(c);
        return c;
    }
    void close(HttpCtx *c) {
        std::erase(open_, c);
        fnQXStack_Http_Close(c);
    }
    // Steps the context until Read gives something other than -2 (bounded);
    // collects the body bytes.
    int drive(HttpCtx *ctx, std::string *body = nullptr, int capacity = 4096, int maxSteps = 200) {
        std::vector<char> out(capacity > 0 ? capacity : 1);
        for (int i = 0; i < maxSteps; ++i) {
            const int r = read_after_turn(ctx, out.data(), capacity);
            if (r > 0) {
                if (body) body->append(out.data(), r);
                continue;
            }
            if (r != -2) return r;
        }
        return -2;
    }
    // The first step starts the connect and stops there: like the real osal,
    // the scripted one reports it on a later turn of the main loop.
    void first_step_connects(HttpCtx *ctx) {
        char out[4];
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
        EXPECT_EQ(ctx->state, HTTP_ST_CONNECT);
        EXPECT_TRUE(osal_script::connect_pending());
        EXPECT_EQ(osal_script::written(), "");
    }
    std::vector<HttpCtx *> open_;
    std::deque<std::string> bodies_;
    rrtest::LeakCheck leaks_;
};

// ---------------------------------------------------------------- states

TEST_F(HttpRun, FirstStepConnectsThroughTheProxyAndTheSecondSendsTheFirstChunk) {
    HttpCtx *ctx = get("http://mms.example.net/get?id=1");
    char out[16];
    first_step_connects(ctx);
    EXPECT_EQ(osal_script::callbacks_inside_calls(), 0);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    EXPECT_EQ(ctx->state, HTTP_ST_SEND);
    EXPECT_GT(ctx->socket, 0);
    EXPECT_EQ(osal_script::last_connect_address(), "wap.proxy.test");
    EXPECT_EQ(osal_script::last_connect_port(), 8080);
    const std::string request = "GET http://mms.example.net/get?id=1 HTTP/1.0\r\nHost: mms.example.net:80\r\n" +
                                kDefaultHeaders + "\r\n";
    EXPECT_EQ(osal_script::written(), request);
    EXPECT_EQ(ctx->socketSendLen, static_cast<int>(request.size()));

    // The next step finds nothing left to send and starts receiving.
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    EXPECT_EQ(ctx->state, HTTP_ST_RECV);
    EXPECT_EQ(osal_script::write_calls(), 1);

    respond("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 2);
    EXPECT_EQ(std::string(out, 2), "ok");
    EXPECT_EQ(ctx->state, HTTP_ST_DONE);
    EXPECT_EQ(ctx->socket, -1);  // closed when the peer closed
    EXPECT_EQ(osal_script::sockets_open(), 0);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 0);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 0);
    EXPECT_EQ(ctx->retValue, 200);
    EXPECT_EQ(ctx->retCtxLen, 2);
    EXPECT_STREQ(ctx->retContentType, "text/plain");
}

TEST_F(HttpRun, EachStateStepByStepWithALateConnect) {
    osal_script::set_connect_mode(ConnectMode::Later);
    HttpCtx *ctx = get("http://mms.example.net/x");
    EXPECT_EQ(fnQXStack_Http_GetState(ctx), HTTP_ST_ADDR);
    EXPECT_EQ(fnQXStack_Http_Run(ctx), -2);
    EXPECT_EQ(ctx->state, HTTP_ST_CONNECT);
    EXPECT_EQ(ctx->retryCount, 1);
    EXPECT_EQ(fnQXStack_Http_Run(ctx), -2);
    EXPECT_EQ(ctx->retryCount, 2);
    EXPECT_EQ(osal_script::connect_calls(), 1);  // polled, not started again
    EXPECT_EQ(osal_script::written(), "");

    ASSERT_TRUE(osal_script::complete_connect());
    EXPECT_EQ(fnQXStack_Http_Run(ctx), -2);  // connected, composed, first chunk written
    EXPECT_EQ(ctx->state, HTTP_ST_SEND);
    EXPECT_EQ(ctx->retryCount, 0);
    EXPECT_FALSE(osal_script::written().empty());
    EXPECT_EQ(fnQXStack_Http_Run(ctx), -2);  // nothing left: receiving, nothing there yet
    EXPECT_EQ(ctx->state, HTTP_ST_RECV);
    EXPECT_EQ(ctx->retryCount, 2);  // an idle receive counts in the step and in the run
    respond("HTTP/1.0 204 No Content\r\n\r\n");
    EXPECT_EQ(fnQXStack_Http_Run(ctx), 0);
    EXPECT_EQ(ctx->state, HTTP_ST_DONE);
    EXPECT_EQ(fnQXStack_Http_Run(ctx), 0);  // final: nothing more happens
    EXPECT_EQ(osal_script::read_calls(), 3);
    EXPECT_EQ(fnQXStack_Http_Run(nullptr), -1);
    char out[4];
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 0);
    EXPECT_EQ(ctx->retValue, 204);
    EXPECT_EQ(read_after_turn(nullptr, out, sizeof out), -1);
}

TEST_F(HttpRun, ErrorStates) {
    char out[8];
    {
        SCOPED_TRACE("no socket: -10");
        osal_script::set_socket_result(0);
        HttpCtx *ctx = get("http://h.test/");
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_ADDR);
        EXPECT_EQ(fnQXStack_Http_Run(ctx), 0);
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        close(ctx);
    }
    {
        SCOPED_TRACE("connect refused at once: -11");
        osal_script::set_connect_mode(ConnectMode::Fail);
        HttpCtx *ctx = get("http://h.test/");
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_CONNECT);
        EXPECT_EQ(osal_script::sockets_open(), 0);
        close(ctx);
    }
    {
        SCOPED_TRACE("connect refused later: -11");
        osal_script::set_connect_mode(ConnectMode::FailLater);
        HttpCtx *ctx = get("http://h.test/");
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
        ASSERT_TRUE(osal_script::complete_connect(0, 2, 111));
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_CONNECT);
        close(ctx);
    }
    osal_script::set_connect_mode(ConnectMode::Immediate);
    {
        SCOPED_TRACE("write error: -12");
        osal_script::push_write_result(-1);
        HttpCtx *ctx = get("http://h.test/");
        first_step_connects(ctx);
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_SEND);
        EXPECT_EQ(fnQXBuf_Unreadable(ctx->sendBuf), ctx->sendBuf->length);  // the chunk was put back
        close(ctx);
    }
    {
        SCOPED_TRACE("read error before any byte: -13");
        HttpCtx *ctx = get("http://h.test/");
        first_step_connects(ctx);
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
        osal_script::push_read_result(-1);
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_RECV);
        close(ctx);
    }
    {
        SCOPED_TRACE("read error after data, the length not reached: -13");
        HttpCtx *ctx = get("http://h.test/");
        respond("HTTP/1.0 200 OK\r\n\r\nabc", -1);
        std::string body;
        EXPECT_EQ(drive(ctx, &body), -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_RECV);
        EXPECT_EQ(osal_script::sockets_open(), 0);
        close(ctx);
    }
    {
        SCOPED_TRACE("read error after the whole announced body ends the response");
        HttpCtx *ctx = get("http://h.test/");
        respond("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc", -1);
        std::string body;
        EXPECT_EQ(drive(ctx, &body), 0);
        EXPECT_EQ(body, "abc");
        EXPECT_EQ(ctx->state, HTTP_ST_DONE);
        close(ctx);
    }
}

TEST_F(HttpRun, DirectPathConnectsToTheUrlHostAndSendsThePathOnly) {
    fnQXStack_Http_SetProxy(nullptr, 0);
    HttpCtx *ctx = get("http://direct.test:8002/mms/1");
    respond("HTTP/1.0 200 OK\r\n\r\nX");
    std::string body;
    EXPECT_EQ(drive(ctx, &body), 0);
    EXPECT_EQ(body, "X");
    EXPECT_EQ(osal_script::last_connect_address(), "direct.test");
    EXPECT_EQ(osal_script::written(), "GET /mms/1 HTTP/1.0\r\nHost: direct.test:8002\r\n" + kDefaultHeaders + "\r\n");
}

TEST_F(HttpRun, DirectPathWithAFailedLookupEndsInTheAddressError) {
    fnQXStack_Http_SetProxy(nullptr, 0);
    osal_script::set_resolve_mode(osal_script::ResolveMode::Later);
    HttpCtx *ctx = get("http://nowhere.test/");
    char out[4];
    int r = -2;
    for (int i = 0; i < 3 && r == -2; ++i) r = read_after_turn(ctx, out, sizeof out);
    EXPECT_EQ(r, -2);
    EXPECT_EQ(ctx->state, HTTP_ST_ADDR);
    EXPECT_EQ(osal_script::connect_calls(), 0);
    ASSERT_TRUE(osal_script::complete_resolve(false));
    EXPECT_EQ(drive(ctx), -1);
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_ADDR);
    EXPECT_EQ(osal_script::connect_calls(), 0);  // never a connect without an address
}

TEST_F(HttpRun, NoProgressEndsWithTheRetryState) {
    osal_script::set_connect_mode(ConnectMode::Never);
    HttpCtx *ctx = get("http://h.test/");
    char out[4];
    int steps = 0, r = -2;
    while (r == -2 && steps < 10000) {
        r = read_after_turn(ctx, out, sizeof out);
        ++steps;
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(steps, QX_HTTP_MAX_RETRY + 1);
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_RETRY);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
}

TEST_F(HttpRun, AnIdleReceiveCountsTwiceAndEndsAfterAboutFifteenHundredSteps) {
    HttpCtx *ctx = get("http://h.test/");
    char out[4];
    first_step_connects(ctx);
    ASSERT_EQ(read_after_turn(ctx, out, sizeof out), -2);  // request written
    int steps = 0, r = -2;
    while (r == -2 && steps < 10000) {
        r = read_after_turn(ctx, out, sizeof out);
        ++steps;
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(steps, 1502);  // 1501 idle steps reach 3002, the next one stops
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_RETRY);
}

TEST_F(HttpRun, WritesThatTakeNothingCountTowardTheRetryLimit) {
    HttpCtx *ctx = get("http://h.test/");
    for (int i = 0; i < QX_HTTP_MAX_RETRY + 5; ++i) osal_script::push_write_result(i % 2 ? 0 : -2);
    char out[4];
    int steps = 0, r = -2;
    while (r == -2 && steps < 10000) {
        r = read_after_turn(ctx, out, sizeof out);
        ++steps;
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_RETRY);
    EXPECT_EQ(osal_script::written(), "");
}

// ---------------------------------------------------------------- sending

TEST_F(HttpRun, AFiveThousandByteRequestGoesOutIn2048And2048And904) {
    // Size the body so that the whole request is 5000 bytes.
    HttpCtx *probe = post("http://relay.test/send", std::string(4000, 'p'));
    fnQXStack_Http_PrepareQuest(probe);
    const int headLen = fnQXBuf_Unreadable(probe->sendBuf) - 4000;
    close(probe);
    std::string body(5000 - headLen, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);

    HttpCtx *ctx = post("http://relay.test/send", body);
    char out[4];
    first_step_connects(ctx);
    const int expected[] = {2048, 4096, 5000};
    for (int total : expected) {
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
        EXPECT_EQ(ctx->state, HTTP_ST_SEND);
        EXPECT_EQ(static_cast<int>(osal_script::written().size()), total);
        EXPECT_EQ(ctx->socketSendLen, total == 5000 ? 904 : 2048);
    }
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    EXPECT_EQ(ctx->state, HTTP_ST_RECV);
    EXPECT_EQ(osal_script::write_calls(), 3);
    const std::string w = osal_script::written();
    EXPECT_EQ(w.substr(w.size() - body.size()), body);
    EXPECT_EQ(w.substr(0, 44), "POST http://relay.test/send HTTP/1.0\r\nHost: ");
}

TEST_F(HttpRun, UnacceptedBytesArePutBackAndSentFirstNextTime) {
    HttpCtx *ctx = post("http://relay.test/send", std::string(6000, 'b'));
    osal_script::push_write_result(1000);
    osal_script::push_write_result(-2);
    char out[4];
    first_step_connects(ctx);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    EXPECT_EQ(osal_script::written().size(), 1000u);
    EXPECT_EQ(ctx->socketSendLen, 1000);
    EXPECT_EQ(ctx->sendBuf->readPos, 1000);
    EXPECT_EQ(ctx->retryCount, 0);

    ctx->socketSendLen = 0;  // as the send transaction does
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);  // blocked: all put back
    EXPECT_EQ(osal_script::written().size(), 1000u);
    EXPECT_EQ(ctx->socketSendLen, 0);
    EXPECT_EQ(ctx->retryCount, 1);
    EXPECT_EQ(ctx->sendBuf->readPos, 1000);

    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    EXPECT_EQ(osal_script::written().size(), 3048u);
    EXPECT_EQ(ctx->retryCount, 0);
    // The bytes went out in order, nothing doubled or skipped.
    HttpCtx *again = post("http://relay.test/send", std::string(6000, 'b'));
    fnQXStack_Http_PrepareQuest(again);
    const std::string full(reinterpret_cast<char *>(again->sendBuf->data), again->sendBuf->length);
    EXPECT_EQ(osal_script::written(), full.substr(0, 3048));
    close(again);
}

// ---------------------------------------------------------------- receiving

TEST_F(HttpRun, ABodyOf3000BytesReadWithCapacity1500) {
    HttpCtx *ctx = get("http://h.test/m");
    std::string body(3000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i % 251);
    respond("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + body);
    char out[1500];
    first_step_connects(ctx);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);  // request written
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 1500);
    EXPECT_EQ(std::string(out, 1500), body.substr(0, 1500));
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 1500);
    EXPECT_EQ(std::string(out, 1500), body.substr(1500));
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 0);
    EXPECT_EQ(ctx->retCtxLen, 3000);
}

TEST_F(HttpRun, BodyBytesAreHandedOverWhileTheConnectionIsOpen) {
    HttpCtx *ctx = get("http://h.test/m");
    char out[64];
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    osal_script::push_read_data("HTTP/1.0 200 OK\r\nContent-");
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);  // header block not complete
    EXPECT_EQ(ctx->headersParsed, 0);
    osal_script::push_read_data("Length: 6\r\n\r\nabc");
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 3);
    EXPECT_EQ(ctx->state, HTTP_ST_RECV);
    EXPECT_EQ(ctx->retCtxLen, 6);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    respond("def");
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 3);
    EXPECT_EQ(std::string(out, 3), "def");
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 0);
}

TEST_F(HttpRun, ReadingPausesWhileMoreThan20480BytesWait) {
    HttpCtx *ctx = get("http://h.test/big");
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    respond(head + std::string(40000, 'd'));
    char out[1000];
    first_step_connects(ctx);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    const int before = osal_script::read_calls();
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 1000);
    // 11 chunks of 2048 put 22528 bytes in: more than 20480, so reading stopped.
    EXPECT_EQ(osal_script::read_calls() - before, 11);
    EXPECT_EQ(ctx->recvBuf->appendedTotal, 11 * 2048);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), 1000);
    EXPECT_EQ(osal_script::read_calls() - before, 11);  // still paused
    // Consuming below the mark lets the next step read again.
    int got = 2000;
    int r;
    while ((r = read_after_turn(ctx, out, sizeof out)) > 0 || r == -2) {
        if (r > 0) got += r;
        ASSERT_LT(osal_script::read_calls(), 1000);
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(got, 40000);
    EXPECT_GT(osal_script::read_calls() - before, 11);
}

TEST_F(HttpRun, ConnectionEndingInsideTheHeaderBlockFails) {
    const char *cases[] = {"HTTP/1.0 200 OK\r\nContent-Le", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n", "", "HTTP/1.0 200"};
    for (const char *c : cases) {
        SCOPED_TRACE(c);
        HttpCtx *ctx = get("http://h.test/");
        if (*c) osal_script::push_read_data(c);
        osal_script::push_read_result(0);
        EXPECT_EQ(drive(ctx), -1);
        char out[8];
        EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
        close(ctx);
    }
}

struct HeaderCase {
    const char *name;
    std::string headers;
    int status;
    int length;
    const char *type;  // null: none
    int encoding;
    const char *url;
};

TEST_F(HttpRun, ResponseHeaderLines) {
    const std::string longType = "application/" + std::string(200, 't');
    const HeaderCase cases[] = {
        {"lower-case names", "HTTP/1.1 200 OK\r\ncontent-length: 120\r\ncontent-type: application/vnd.wap.mms-message\r\n",
         200, 120, "application/vnd.wap.mms-message", 0, "http://h.test/"},
        {"upper-case, gzip", "HTTP/1.0 201 Created\r\nCONTENT-ENCODING: gzip\r\n", 201, 0, nullptr, -1, "http://h.test/"},
        {"gzip is exact", "HTTP/1.0 200 OK\r\nContent-Encoding: GZIP\r\n", 200, 0, nullptr, 1, "http://h.test/"},
        {"another coding", "HTTP/1.0 200 OK\r\nContent-Encoding: deflate\r\n", 200, 0, nullptr, 1, "http://h.test/"},
        {"status line without a reason", "HTTP/1.1 200\r\n", 200, 0, nullptr, 0, "http://h.test/"},
        {"a list of equal lengths", "HTTP/1.0 200 OK\r\nContent-Length: 4 ,4\r\n", 200, 4, nullptr, 0,
         "http://h.test/"},
        {"blanks around the length", "HTTP/1.0 200 OK\r\nContent-Length:\t 4 \r\n", 200, 4, nullptr, 0,
         "http://h.test/"},
        {"type without a value", "HTTP/1.0 200 OK\r\nContent-Type:\r\n", 200, 0, "", 0, "http://h.test/"},
        {"ContentType spelling, last one wins", "HTTP/1.0 200 OK\r\nContent-Type: a/b\r\nContentType: text/plain x\r\n",
         200, 0, "text/plain", 0, "http://h.test/"},
        {"a long type is taken whole", "HTTP/1.0 200 OK\r\nContent-Type: " + longType + "\r\n", 200, 0,
         longType.c_str(), 0, "http://h.test/"},
        {"Content-Location on a 200 changes the url only", "HTTP/1.0 200 OK\r\nContent-Location: http://else.test/z\r\n",
         200, 0, nullptr, 0, "http://else.test/z"},
        {"similar names are not taken", "HTTP/1.0 200 OK\r\nContent-Lengthy: 5\r\nX-Content-Type: a/b\r\n", 200, 0,
         nullptr, 0, "http://h.test/"},
    };
    for (const HeaderCase &c : cases) {
        SCOPED_TRACE(c.name);
        HttpCtx *ctx = get("http://h.test/");
        respond(c.headers + "\r\nBODY");
        std::string body;
        // A stated length the four bytes fall short of fails at the close.
        EXPECT_EQ(drive(ctx, &body), c.length > 4 ? -1 : 0);
        EXPECT_EQ(body, "BODY");
        EXPECT_EQ(ctx->retValue, c.status);
        EXPECT_EQ(ctx->retCtxLen, c.length);
        if (c.type)
            EXPECT_STREQ(ctx->retContentType, c.type);
        else
            EXPECT_EQ(ctx->retContentType, nullptr);
        EXPECT_EQ(ctx->contentEncoding, c.encoding);
        EXPECT_STREQ(ctx->url, c.url);
        EXPECT_EQ(ctx->redirectCount, 0);
        close(ctx);
    }
}

// Status lines and framing headers that are not strictly HTTP/1.x fail the
// response: nothing of the body is handed over, whatever follows.
TEST_F(HttpRun, ResponsesThatAreNotStrictHttpFail) {
    const std::string ok = "HTTP/1.0 200 OK\r\n";
    const std::pair<const char *, std::string> cases[] = {
        {"status without number", "HTTP/1.1\r\n"},
        {"status with a letter after the digits", "HTTP/1.1 200x\r\n"},
        {"two-digit status", "HTTP/1.1 20 OK\r\n"},
        {"four-digit status", "HTTP/1.1 2000 OK\r\n"},
        {"HTTP/2", "HTTP/2 200\r\n"},
        {"HTTP/1.2", "HTTP/1.2 200 OK\r\n"},
        {"lower-case protocol", "http/1.1 200 OK\r\n"},
        {"two blanks before the status", "HTTP/1.1  200 OK\r\n"},
        {"a blank line before the status line", "\r\nHTTP/1.1 200 OK\r\n"},
        {"a field before the status line", "X-A: 1\r\nHTTP/1.1 200 OK\r\n"},
        {"no number", ok + "Content-Length: none\r\n"},
        {"empty length", ok + "Content-Length:\r\n"},
        {"plus sign", ok + "Content-Length: +4\r\n"},
        {"minus sign", ok + "Content-Length: -1\r\n"},
        {"hexadecimal", ok + "Content-Length: 0x4\r\n"},
        {"digits and text", ok + "Content-Length: 4abc\r\n"},
        {"two numbers without a comma", ok + "Content-Length: 4 4\r\n"},
        {"a list that disagrees", ok + "Content-Length: 4, 5\r\n"},
        {"huge number", ok + "Content-Length: 99999999999999\r\n"},
        {"just above 2^31 - 1", ok + "Content-Length: 2147483648\r\n"},
        {"gzip, chunked", ok + "Transfer-Encoding: gzip, chunked\r\n"},
        {"chunked twice", ok + "Transfer-Encoding: chunked, chunked\r\n"},
        {"identity", ok + "Transfer-Encoding: identity\r\n"},
        {"empty transfer coding", ok + "Transfer-Encoding:\r\n"},
        {"switching protocols", "HTTP/1.1 101 Switching Protocols\r\n"},
        {"early hints", "HTTP/1.1 103 Early Hints\r\n"},
    };
    for (const auto &[name, headers] : cases) {
        SCOPED_TRACE(name);
        HttpCtx *ctx = get("http://h.test/");
        respond(headers + "\r\nBODY");
        std::string body;
        EXPECT_EQ(drive(ctx, &body), -1);
        EXPECT_EQ(body, "");
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_RECV);
        EXPECT_EQ(osal_script::sockets_open(), 0);
        close(ctx);
    }
}

// ---------------------------------------------------------------- cookies

TEST_F(HttpRun, CookiesSetByOneResponseGoWithTheNextRequest) {
    HttpCtx *ctx = get("http://c.test/a");
    respond(
        "HTTP/1.0 200 OK\r\n"
        "Set-Cookie: sid=abc123; Path=/mms; HttpOnly\r\n"
        "set-cookie2: lang=en\r\n"
        "Set-Cookie: novalue\r\n"
        "Set-Cookie: =orphan\r\n"
        "Set-Cookie: \t spaced=v\tPath=/t;x=1\r\n"
        "Set-Cookie: sid=new; Path=/mms\r\n"
        "\r\n");
    EXPECT_EQ(drive(ctx), 0);
    close(ctx);

    const QXList *jar = fnQXStack_Http_CookieList();
    ASSERT_NE(jar, nullptr);
    std::vector<std::string> got;
    for (const QXListNode *n = jar->head; n; n = n->next) {
        const auto *c = static_cast<const QXCookie *>(n->item);
        got.push_back(std::string(c->name) + "=" + c->value + " " + c->host + " " + c->path);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"spaced=v c.test /t", "lang=en c.test /", "sid=new c.test /mms"}));

    HttpCtx *next = post("http://c.test/b", "PDU");
    EXPECT_EQ(drive(next, nullptr, 16, 2), -2);
    const std::string w = osal_script::written();
    EXPECT_NE(w.find("Content-Length: 3\r\nCookie: spaced=v; lang=en; sid=new\r\nCookie2: \"1\"\r\n\r\nPDU"),
              std::string::npos)
        << w;
    close(next);

    HttpCtx *other = get("http://other.test/");
    EXPECT_EQ(drive(other, nullptr, 16, 2), -2);
    EXPECT_EQ(osal_script::written().find("Cookie"), std::string::npos);
}

// ---------------------------------------------------------------- redirects

TEST_F(HttpRun, A302PostIsRepeatedAsAGetOnTheNewUrl) {
    HttpCtx *ctx = post("http://relay.test/send", std::string("\x8c\x80", 2));
    respond(
        "HTTP/1.1 302 Found\r\nLocation: http://store.test:8081/m?id=9\r\nSet-Cookie: r=1\r\n"
        "Content-Length: 5\r\n\r\nmoved");
    respond("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    char out[64];
    first_step_connects(ctx);
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);  // POST written
    const OSAL_SOCKET first = osal_script::last_socket();
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);  // 302 received: restarted
    EXPECT_EQ(ctx->state, HTTP_ST_ADDR);
    EXPECT_EQ(ctx->socket, -1);
    EXPECT_EQ(ctx->redirectCount, 1);
    EXPECT_EQ(osal_script::sockets_open(), 0);
    EXPECT_EQ(ctx->retValue, 0);  // the next response starts afresh
    EXPECT_EQ(ctx->retCtxLen, 0);

    std::string body;
    EXPECT_EQ(drive(ctx, &body), 0);
    EXPECT_EQ(body, "hello");
    EXPECT_EQ(ctx->retValue, 200);
    EXPECT_NE(osal_script::last_socket(), first);
    EXPECT_EQ(osal_script::written(),
              "GET http://store.test:8081/m?id=9 HTTP/1.0\r\nHost: store.test:8081\r\n" + kDefaultHeaders + "\r\n");
    EXPECT_EQ(osal_script::written(first).substr(0, 28), "POST http://relay.test/send ");
    EXPECT_STREQ(ctx->method, "GET");
    EXPECT_EQ(ctx->bodyLen, 0);
    // The cookie belongs to the host that set it, not to the new one.
    const auto *cookie = static_cast<const QXCookie *>(fnQXStack_Http_CookieList()->head->item);
    EXPECT_STREQ(cookie->host, "relay.test");
}

TEST_F(HttpRun, TheEleventhRedirectFails) {
    for (int i = 0; i < 11; ++i)
        respond("HTTP/1.0 301 Moved\r\nLocation: http://hop" + std::to_string(i) + ".test/\r\n\r\n");
    HttpCtx *ctx = get("http://start.test/");
    EXPECT_EQ(drive(ctx), -1);
    EXPECT_EQ(ctx->redirectCount, 11);
    EXPECT_EQ(osal_script::sockets_created(), 11);
    EXPECT_EQ(osal_script::sockets_open(), 0);
    EXPECT_STREQ(ctx->hostname, "hop9.test");
    char out[4];
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
    EXPECT_LT(fnQXStack_Http_GetState(ctx), 0);
}

TEST_F(HttpRun, TenRedirectsAreFollowed) {
    for (int i = 0; i < 10; ++i)
        respond("HTTP/1.0 307 Again\r\nLocation: http://hop" + std::to_string(i) + ".test/\r\n\r\n");
    respond("HTTP/1.0 200 OK\r\n\r\nend");
    HttpCtx *ctx = get("http://start.test/");
    std::string body;
    EXPECT_EQ(drive(ctx, &body), 0);
    EXPECT_EQ(body, "end");
    EXPECT_EQ(ctx->redirectCount, 10);
}

TEST_F(HttpRun, ALongLocationIsTakenWhole) {
    const std::string target = "http://far.test:8088/" + std::string(400, 'L') + "?x=" + std::string(100, 'q');
    respond("HTTP/1.0 302 Found\r\nLocation: " + target + "\r\n\r\n");
    respond("HTTP/1.0 200 OK\r\n\r\n!");
    HttpCtx *ctx = get("http://h.test/");
    std::string body;
    EXPECT_EQ(drive(ctx, &body), 0);
    EXPECT_EQ(body, "!");
    EXPECT_EQ(ctx->url, target);
    EXPECT_EQ(ctx->port, 8088);
    EXPECT_EQ(osal_script::written().substr(0, 4 + target.size() + 11), "GET " + target + " HTTP/1.0\r\n");
}

TEST_F(HttpRun, ARedirectWithoutUsableUrlFails) {
    respond("HTTP/1.0 302 Found\r\nLocation: http://bad.test:99999/\r\n\r\n");
    HttpCtx *ctx = get("http://h.test/");
    EXPECT_EQ(drive(ctx), -1);
    char out[4];
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -1);
}

// A host that keeps its requests on the server's own host and port, and the
// default that never repeats a body to another host.
TEST_F(HttpRun, RedirectPoliciesKeepRequestsAndBodiesWhereTheHostWants) {
    struct Row {
        QXRedirectPolicy policy;
        bool isPost;
        const char *status;
        const char *location;
        bool followed;
        const char *secondRequestStart;  // what the followed request starts with
    };
    const Row rows[] = {
        {QXRedirectPolicy::SameAuthority, false, "302 Found", "http://other.test:8002/x", false, nullptr},
        {QXRedirectPolicy::SameAuthority, false, "302 Found", "//other.test:8002/x", false, nullptr},
        {QXRedirectPolicy::SameAuthority, false, "301 Moved", "http://relay.test:8003/x", false, nullptr},
        {QXRedirectPolicy::SameAuthority, false, "302 Found", "/elsewhere?id=1", true,
         "GET http://relay.test:8002/elsewhere?id=1 "},
        {QXRedirectPolicy::SameAuthority, false, "302 Found", "http://RELAY.test:8002/y", true,
         "GET http://RELAY.test:8002/y "},
        {QXRedirectPolicy::SameAuthority, true, "307 Again", "next", true, "POST http://relay.test:8002/next "},
        {QXRedirectPolicy::SameAuthority, true, "307 Again", "http://127.0.0.1:8002/mms", false, nullptr},
        {QXRedirectPolicy::Any, true, "307 Again", "http://other.test:8002/mms", false, nullptr},
        {QXRedirectPolicy::Any, true, "308 Moved", "//relay.test:9/mms", false, nullptr},
        {QXRedirectPolicy::Any, true, "302 Found", "http://other.test:8002/m", true, "GET http://other.test:8002/m "},
        {QXRedirectPolicy::Any, true, "307 Again", "/mms2", true, "POST http://relay.test:8002/mms2 "},
        {QXRedirectPolicy::AnyWithBody, true, "307 Again", "http://other.test:8002/mms", true,
         "POST http://other.test:8002/mms "},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.status) + " -> " + row.location);
        osal_script::reset();
        fnQXStack_Http_SetRedirectPolicy(row.policy);
        fnQXStack_Http_ClearRedirectRefusal();
        respond(std::string("HTTP/1.1 ") + row.status + "\r\nLocation: " + row.location + "\r\nContent-Length: 0\r\n\r\n");
        respond("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
        HttpCtx *ctx = row.isPost ? post("http://relay.test:8002/mms", "BODY") : get("http://relay.test:8002/mms");
        std::string body;
        const int r = drive(ctx, &body);
        if (row.followed) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(body, "ok");
            EXPECT_EQ(osal_script::sockets_created(), 2);
            const std::string w = osal_script::written();
            EXPECT_EQ(w.rfind(row.secondRequestStart, 0), 0u) << w;
            if (w.rfind("POST", 0) == 0) {
                EXPECT_EQ(w.substr(w.size() - 4), "BODY");
            }
            EXPECT_STREQ(fnQXStack_Http_RedirectRefusal(), "");
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(osal_script::sockets_created(), 1);  // nothing connects anywhere else
            EXPECT_NE(std::string(fnQXStack_Http_RedirectRefusal()).find(row.location[0] == '/' ? "http:" : row.location),
                      std::string::npos)
                << fnQXStack_Http_RedirectRefusal();
        }
        close(ctx);
    }
    fnQXStack_Http_SetRedirectPolicy(QXRedirectPolicy::Any);
    // The choice is the host's: it outlives the module's state.
    fnQXStack_Http_SetRedirectPolicy(QXRedirectPolicy::SameAuthority);
    fnQXStack_Http_Finalize();
    ASSERT_EQ(fnQXStack_Http_Init(), 0);
    EXPECT_EQ(fnQXStack_Http_RedirectPolicy(), QXRedirectPolicy::SameAuthority);
    fnQXStack_Http_SetRedirectPolicy(QXRedirectPolicy::Any);
}

// ---------------------------------------------------------------- resources

TEST_F(HttpRun, ClosingAContextMidwayClosesItsSocket) {
    osal_script::set_connect_mode(ConnectMode::Never);
    HttpCtx *ctx = get("http://h.test/");
    char out[4];
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), -2);
    EXPECT_EQ(osal_script::sockets_open(), 1);
    close(ctx);
    EXPECT_EQ(osal_script::sockets_open(), 0);
}

TEST_F(HttpRun, AWholeExchangeUnderAllocationFailuresNeverLeaks) {
    fnQXStack_Http_Finalize();
    int completed = 0;
    rrtest::for_each_alloc_failure([&](long) {
        osal_script::reset();
        fnQXStack_Http_Init();
        fnQXStack_Http_SetProxy("wap.proxy.test", 8080);
        respond("HTTP/1.0 302 Found\r\nSet-Cookie: a=1; Path=/p\r\nLocation: http://two.test/x\r\n\r\n");
        respond("HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n\r\n" + std::string(5000, 'r'));
        HttpCtx *ctx = fnQXStack_Http_Open_Post("http://one.test/", reinterpret_cast<const uint8_t *>("xyz"), 3,
                                                nullptr);
        if (ctx) {
            std::string body;
            if (drive(ctx, &body, 1500) == 0 && body == std::string(5000, 'r')) ++completed;
            fnQXStack_Http_Close(ctx);
        }
        fnQXStack_Http_Finalize();
        EXPECT_EQ(osal_script::sockets_open(), 0);
    });
    EXPECT_GE(completed, 1);
    osal_script::reset();
    fnQXStack_Http_Init();
}

}  // namespace
