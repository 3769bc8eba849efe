// The HTTP client against hostile servers and URLs, over the scripted osal:
// every case runs a request to its end and checks the result, the state,
// what the caller got, what went out on every connection, and that every
// socket, address record and block was released.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "osal_scripted.h"
#include "scripted_turns.h"
#include "qx_internal.h"
#include "qx_stack_http.h"
#include "test_support.h"

namespace {

constexpr int kClose = 0;    // the peer closes after the bytes
constexpr int kReset = -1;   // the connection is reset after the bytes
constexpr int kSilent = -2;  // the peer says nothing more

struct Conn {
    std::string bytes;
    int end = kClose;
};

struct Sent {
    std::string line;  // the request line, without its CRLF
    bool body = false; // the request carries the POST body
};

struct HostileCase {
    const char *name;
    const char *url;
    bool post;
    std::vector<Conn> conns;
    int result;  // what the last Read answers: 0 or -1
    int state;
    std::string body;
    int retValue;
    int retCtxLen;
    std::vector<Sent> sent;  // one request per connection, in order
    bool direct = false;
};

void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }

const std::string kPdu("\x8c\x80\x98T-1\0\x8d\x92", 9);

std::string chunked(const std::string &head, const std::string &chunks) {
    return "HTTP/1.1 200 OK\r\n" + head + "Transfer-Encoding: chunked\r\n\r\n" + chunks;
}

const std::string kChunks = "5\r\nhello\r\n6;name=value\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\n";

// clang-format off
const HostileCase kCases[] = {
    // ------------------------------------------------ redirects to other schemes or nowhere
    {"RedirectToHttpsEnds", "http://relay.test/send", true,
     {{"HTTP/1.0 302 Found\r\nLocation: https://relay.test/send\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"POST http://relay.test/send HTTP/1.0", true}}},
    {"RedirectToFtpEnds", "http://relay.test/get", false,
     {{"HTTP/1.0 301 Moved\r\nLocation: ftp://relay.test/x\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 301, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"RedirectToMailtoEnds", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: mailto:someone@relay.test\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"RedirectWithAControlCharacterEnds", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: http://relay.test/a\x01" "b\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"ALoneCrInALocationRefusesIt", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: /a\rX-Injected: yes\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"ABlankInALocationRefusesIt", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: http://relay.test/a b\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"BlanksAroundALocationAreDropped", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: \t /a \t\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0, {{"GET http://relay.test/get HTTP/1.0"}, {"GET http://relay.test/a HTTP/1.0"}}},
    {"ARedirectWithUserinfoEnds", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: http://u:p@127.0.0.1:8080/x\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"ARedirectToAnIpv6LiteralKeepsItsBrackets", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: http://[::1]:8081/x\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0, {{"GET http://relay.test/get HTTP/1.0"}, {"GET http://[::1]:8081/x HTTP/1.0"}}},
    {"RedirectToAnEmptyHostEnds", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: http:///x\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0, {{"GET http://relay.test/get HTTP/1.0"}}},
    {"RedirectUpperCaseHttpIsFollowed", "http://relay.test/get", false,
     {{"HTTP/1.0 302 Found\r\nLocation: HTTP://Other.Test:8081/x\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"GET http://relay.test/get HTTP/1.0"}, {"GET http://Other.Test:8081/x HTTP/1.0"}}},

    // ------------------------------------------------ resets and cut connections
    {"ResetBeforeTheAnnouncedLengthFails", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nhello world", kReset}},
     -1, HTTP_ST_ERR_RECV, "", 200, 1000, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ResetWithoutALengthFails", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\n\r\nhello world", kReset}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ResetAfterTheWholeLengthEnds", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\nhello world", kReset}},
     0, HTTP_ST_DONE, "hello world", 200, 11, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ResetAfterA204Ends", "http://relay.test/m", false,
     {{"HTTP/1.0 204 No Content\r\n\r\n", kReset}},
     0, HTTP_ST_DONE, "", 204, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ResetInsideTheHeaderFails", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Len", kReset}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"CloseInsideTheHeaderFailsAndTheStateSaysSo", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n"}},
     -1, HTTP_ST_ERR_RECV, "", 200, 5, {{"GET http://relay.test/m HTTP/1.0"}}},
    // ------------------------------------------------ the stated length decides
    {"CloseBeforeTheLengthFails", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nhello world"}},
     -1, HTTP_ST_ERR_RECV, "", 200, 1000, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"BytesBeyondTheLengthAreNotTaken", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello world", kSilent}},
     0, HTTP_ST_DONE, "hello", 200, 5, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"LengthZeroTakesNothing", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nhello", kSilent}},
     0, HTTP_ST_DONE, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"DisagreeingLengthsFail", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!"}},
     -1, HTTP_ST_ERR_RECV, "", 200, 5, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"AgreeingLengthsAreOne", "http://relay.test/m", false,
     {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\ncontent-length: 5, 5\r\n\r\nhello"}},
     0, HTTP_ST_DONE, "hello", 200, 5, {{"GET http://relay.test/m HTTP/1.0"}}},

    // ------------------------------------------------ 307 and 308 keep the request
    {"Post307KeepsMethodAndBody", "http://relay.test/send", true,
     {{"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://relay.test/send2\r\nContent-Length: 0\r\n\r\n"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 2,
     {{"POST http://relay.test/send HTTP/1.0", true}, {"POST http://relay.test/send2 HTTP/1.0", true}}},
    {"Post308KeepsMethodAndBody", "http://relay.test/send", true,
     {{"HTTP/1.1 308 Permanent Redirect\r\nLocation: /v2/send\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"POST http://relay.test/send HTTP/1.0", true}, {"POST http://relay.test/v2/send HTTP/1.0", true}}},
    {"Post303BecomesAGet", "http://relay.test/send", true,
     {{"HTTP/1.1 303 See Other\r\nLocation: /result\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"POST http://relay.test/send HTTP/1.0", true}, {"GET http://relay.test/result HTTP/1.0"}}},
    {"Post301BecomesAGet", "http://relay.test/send", true,
     {{"HTTP/1.1 301 Moved\r\nLocation: /moved\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"POST http://relay.test/send HTTP/1.0", true}, {"GET http://relay.test/moved HTTP/1.0"}}},

    // ------------------------------------------------ a redirect starts the next response afresh
    {"LengthOfTheRedirectIsNotInherited", "http://relay.test/a", false,
     {{"HTTP/1.0 302 Found\r\nLocation: /b\r\nContent-Length: 5\r\nContent-Type: text/html\r\n\r\nmoved"},
      {"HTTP/1.0 200 OK\r\n\r\nthe body"}},
     0, HTTP_ST_DONE, "the body", 200, 0, {{"GET http://relay.test/a HTTP/1.0"}, {"GET http://relay.test/b HTTP/1.0"}}},
    {"TargetWithoutStatusLineFails", "http://relay.test/a", false,
     {{"HTTP/1.0 302 Found\r\nLocation: /b\r\n\r\n"}, {"X-Odd: 1\r\n\r\nraw"}},
     -1, HTTP_ST_ERR_RECV, "", 0, 0, {{"GET http://relay.test/a HTTP/1.0"}, {"GET http://relay.test/b HTTP/1.0"}}},

    // ------------------------------------------------ final 3xx answers
    {"A3xxWithoutLocationIsFinal", "http://relay.test/a", false,
     {{"HTTP/1.0 302 Found\r\nContent-Length: 4\r\n\r\nnone"}},
     0, HTTP_ST_DONE, "none", 302, 4, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"A304IsFinalEvenWithALocation", "http://relay.test/a", false,
     {{"HTTP/1.0 304 Not Modified\r\nLocation: /b\r\n\r\n"}},
     0, HTTP_ST_DONE, "", 304, 0, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"AnEmptyLocationIsNoLocation", "http://relay.test/a", false,
     {{"HTTP/1.0 301 Moved\r\nLocation:\r\n\r\nx"}},
     0, HTTP_ST_DONE, "x", 301, 0, {{"GET http://relay.test/a HTTP/1.0"}}},

    // ------------------------------------------------ query strings and relative locations
    {"QueryAfterThePortIsKept", "http://relay.test:8002?id=42", false,
     {{"HTTP/1.0 200 OK\r\n\r\nq"}},
     0, HTTP_ST_DONE, "q", 200, 0, {{"GET http://relay.test:8002/?id=42 HTTP/1.0"}}},
    {"QueryAfterTheHostGetsItsSlash", "http://relay.test?id=42", false,
     {{"HTTP/1.0 200 OK\r\n\r\nq"}},
     0, HTTP_ST_DONE, "q", 200, 0, {{"GET /?id=42 HTTP/1.0"}}, true},
    {"QueryAfterThePortDirect", "http://relay.test:8002?id=42", false,
     {{"HTTP/1.0 200 OK\r\n\r\nq"}},
     0, HTTP_ST_DONE, "q", 200, 0, {{"GET /?id=42 HTTP/1.0"}}, true},
    {"RelativePathRedirect", "http://relay.test:8002/mms/get/t1?x=1", false,
     {{"HTTP/1.0 302 Found\r\nLocation: ../store/t2?y=2#frag\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"GET http://relay.test:8002/mms/get/t1?x=1 HTTP/1.0"}, {"GET http://relay.test:8002/mms/store/t2?y=2 HTTP/1.0"}}},
    {"QueryOnlyRedirect", "http://relay.test/mms/get?x=1", false,
     {{"HTTP/1.0 302 Found\r\nLocation: ?x=2\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"GET http://relay.test/mms/get?x=1 HTTP/1.0"}, {"GET http://relay.test/mms/get?x=2 HTTP/1.0"}}},
    {"NetworkPathRedirect", "http://relay.test/a", false,
     {{"HTTP/1.0 302 Found\r\nLocation: //store.test:81/b\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0,
     {{"GET http://relay.test/a HTTP/1.0"}, {"GET http://store.test:81/b HTTP/1.0"}}},
    {"RelativeRedirectDirect", "http://relay.test:8002/a/b", false,
     {{"HTTP/1.0 302 Found\r\nLocation: c\r\n\r\n"}, {"HTTP/1.0 200 OK\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 0, {{"GET /a/b HTTP/1.0"}, {"GET /a/c HTTP/1.0"}}, true},
    {"RedirectingToItselfEndsAfterTen", "http://relay.test/a", false,
     {{"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"}, {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"},
      {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"}, {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"},
      {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"}, {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"},
      {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"}, {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"},
      {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"}, {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"},
      {"HTTP/1.0 302 Found\r\nLocation: #again\r\n\r\n"}},
     -1, HTTP_ST_ERR_ADDR, "", 302, 0,
     std::vector<Sent>(11, Sent{"GET http://relay.test/a HTTP/1.0"})},

    // ------------------------------------------------ header values without a blank after the colon
    {"ValuesWithoutABlank", "http://relay.test/a", false,
     {{"HTTP/1.0 302 Found\r\nLocation:http://store.test/b\r\n\r\n"},
      {"HTTP/1.0 200 OK\r\nContent-Type:application/vnd.wap.mms-message\r\nContent-Length:3\r\n\r\nabc"}},
     0, HTTP_ST_DONE, "abc", 200, 3, {{"GET http://relay.test/a HTTP/1.0"}, {"GET http://store.test/b HTTP/1.0"}}},

    // ------------------------------------------------ header lines too long or broken
    {"HeaderLineLongerThanTheReadAheadFailsAtOnce", "http://relay.test/a", false,
     {{"HTTP/1.0 200 OK\r\nX-Long: " + std::string(24000, 'x'), kSilent}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"ManyHeaderLinesBeyondTheReadAheadAreFine", "http://relay.test/a", false,
     {{"HTTP/1.0 200 OK\r\n" + [] { std::string s; for (int i = 0; i < 3000; ++i) s += "X-Filler: " + std::to_string(i) + "\r\n"; return s; }() + "\r\nend"}},
     0, HTTP_ST_DONE, "end", 200, 0, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"ZeroByteInTheHeaderFailsAtOnce", "http://relay.test/a", false,
     {{std::string("HTTP/1.0 200 OK\r\nX-A: ") + '\0' + "b\r\n", kSilent}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/a HTTP/1.0"}}},

    // ------------------------------------------------ interim answers
    {"ContinueIsSkipped", "http://relay.test/send", true,
     {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
     0, HTTP_ST_DONE, "ok", 200, 2, {{"POST http://relay.test/send HTTP/1.0", true}}},
    {"SeveralContinuesWithHeadersAreSkipped", "http://relay.test/a", false,
     {{"HTTP/1.1 100 Continue\r\nContent-Length: 99\r\n\r\nHTTP/1.1 100 Continue\r\nLocation: /elsewhere\r\n\r\n"
       "HTTP/1.1 200 OK\r\n\r\nfinal"}},
     0, HTTP_ST_DONE, "final", 200, 0, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"AnInterimAnswerOtherThanContinueFails", "http://relay.test/a", false,
     {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n"
       "HTTP/1.1 200 OK\r\n\r\nfinal"}},
     -1, HTTP_ST_ERR_RECV, "", 103, 0, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"SwitchingProtocolsFails", "http://relay.test/a", false,
     {{"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\nHTTP/1.1 200 OK\r\n\r\nfinal"}},
     -1, HTTP_ST_ERR_RECV, "", 101, 0, {{"GET http://relay.test/a HTTP/1.0"}}},
    {"OnlyAnInterimAnswerThenCloseFails", "http://relay.test/a", false,
     {{"HTTP/1.1 100 Continue\r\n\r\n"}},
     -1, HTTP_ST_ERR_RECV, "", 0, 0, {{"GET http://relay.test/a HTTP/1.0"}}},

    // ------------------------------------------------ chunked bodies
    {"ChunkedIsDechunked", "http://relay.test/m", false,
     {{chunked("", kChunks)}},
     0, HTTP_ST_DONE, "hello world", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedWinsOverALength", "http://relay.test/m", false,
     {{chunked("Content-Length: 3\r\n", kChunks)}},
     0, HTTP_ST_DONE, "hello world", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedInUpperCaseIsDechunked", "http://relay.test/m", false,
     {{"HTTP/1.1 200 OK\r\nTransfer-Encoding:  CHUNKED \r\n\r\n" + kChunks}},
     0, HTTP_ST_DONE, "hello world", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedAfterAnotherCodingFails", "http://relay.test/m", false,
     {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + kChunks}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ATransferCodingOtherThanChunkedFails", "http://relay.test/m", false,
     {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nplain body"}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedLastChunkThenResetEnds", "http://relay.test/m", false,
     {{chunked("", kChunks), kReset}},
     0, HTTP_ST_DONE, "hello world", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"BytesAfterTheLastChunkAreDropped", "http://relay.test/m", false,
     {{chunked("", "3\r\nabc\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n\r\nsmuggled")}},
     0, HTTP_ST_DONE, "abc", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedCutShortFails", "http://relay.test/m", false,
     {{chunked("", "5\r\nhello\r\n6\r\n wo")}},
     -1, HTTP_ST_ERR_RECV, "hello", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedWithoutTheLastChunkFails", "http://relay.test/m", false,
     {{chunked("", "5\r\nhello\r\n")}},
     -1, HTTP_ST_ERR_RECV, "hello", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedResetInTheMiddleFails", "http://relay.test/m", false,
     {{chunked("", "5\r\nhello\r\n6\r\n wo"), kReset}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkSizeNotHexFails", "http://relay.test/m", false,
     {{chunked("", "zz\r\nhello\r\n0\r\n\r\n")}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkSizeTooLargeFails", "http://relay.test/m", false,
     {{chunked("", "100000000\r\nhello\r\n0\r\n\r\n")}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkWithoutItsLineEndFails", "http://relay.test/m", false,
     {{chunked("", "5\r\nhelloXX0\r\n\r\n")}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkSizeLineTooLongFails", "http://relay.test/m", false,
     {{chunked("", "5;" + std::string(5000, 'e')), kSilent}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkSizeWithAControlCharacterFails", "http://relay.test/m", false,
     {{chunked("", "5;a\x01\r\nhello\r\n0\r\n\r\n")}},
     -1, HTTP_ST_ERR_RECV, "", 200, 0, {{"GET http://relay.test/m HTTP/1.0"}}},
    {"ChunkedRedirectIsFollowed", "http://relay.test/a", false,
     {{"HTTP/1.1 302 Found\r\nLocation: /b\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nmoved\r\n0\r\n\r\n"},
      {"HTTP/1.0 200 OK\r\n\r\nplain"}},
     0, HTTP_ST_DONE, "plain", 200, 0, {{"GET http://relay.test/a HTTP/1.0"}, {"GET http://relay.test/b HTTP/1.0"}}},
};
// clang-format on

class HttpHostile : public ::testing::TestWithParam<std::tuple<HostileCase, bool>> {
protected:
    void SetUp() override {
        osal_script::reset();
        ASSERT_EQ(fnQXStack_Http_Init(), 0);
    }
    void TearDown() override {
        fnQXStack_Http_Finalize();
        EXPECT_EQ(osal_script::sockets_open(), 0);
        EXPECT_EQ(osal_script::addrs_live(), 0) << "an address record was not released";
        EXPECT_EQ(osal_script::bad_socket_calls(), 0);
    }
    rrtest::LeakCheck leaks_;
};

// Each connection's bytes, whole or, for the last connection, one byte per
// step (with "nothing yet" between them, so every parser meets its input in
// the smallest pieces). Earlier connections come whole: a redirect leaves as
// soon as its header block is read, and the scripted reads are one queue.
void script(const std::vector<Conn> &conns, bool trickle) {
    for (const Conn &c : conns) {
        if (trickle && &c == &conns.back() && c.bytes.size() < 4096) {
            for (char b : c.bytes) {
                osal_script::push_read_data(std::string(1, b));
                osal_script::push_read_result(-2);
            }
        } else {
            osal_script::push_read_data(c.bytes);
        }
        if (c.end != kSilent) osal_script::push_read_result(c.end);
    }
}

TEST_P(HttpHostile, EndsAsItShould) {
    const HostileCase &c = std::get<0>(GetParam());
    const bool trickle = std::get<1>(GetParam());
    fnQXStack_Http_SetProxy(c.direct ? nullptr : "wap.proxy.test", 8080);
    script(c.conns, trickle);

    HttpCtx *ctx = c.post ? fnQXStack_Http_Open_Post(c.url, reinterpret_cast<const uint8_t *>(kPdu.data()),
                                                     static_cast<int>(kPdu.size()), "application/vnd.wap.mms-message")
                          : fnQXStack_Http_Open_Get(c.url);
    ASSERT_NE(ctx, nullptr);
    std::string body;
    char out[7];  // a small capacity: the body comes out in many pieces
    int r = -2;
    int steps = 0;
    size_t scripted = 0;
    for (const Conn &k : c.conns) scripted += k.bytes.size();
    const int maxSteps = 100 + static_cast<int>(trickle ? 2 * scripted : 0) + static_cast<int>(scripted / 7);
    while (steps < maxSteps) {
        ++steps;
        r = read_after_turn(ctx, out, sizeof out);
        if (r > 0) {
            body.append(out, static_cast<size_t>(r));
            continue;
        }
        if (r != -2) break;
    }
    EXPECT_EQ(r, c.result) << "after " << steps << " steps";
    EXPECT_EQ(ctx->state, c.state);
    EXPECT_EQ(fnQXStack_Http_GetState(ctx), c.state);
    if (c.result == 0) {
        EXPECT_EQ(body, c.body);
    }
    EXPECT_EQ(ctx->retValue, c.retValue);
    EXPECT_EQ(ctx->retCtxLen, c.retCtxLen);
    // The result stays what it was.
    EXPECT_EQ(read_after_turn(ctx, out, sizeof out), c.result);
    EXPECT_EQ(ctx->state, c.state);
    EXPECT_EQ(osal_script::sockets_open(), 0) << "the ended request still holds a socket";

    ASSERT_EQ(osal_script::sockets_created(), static_cast<int>(c.sent.size()));
    for (size_t i = 0; i < c.sent.size(); ++i) {
        SCOPED_TRACE("connection " + std::to_string(i + 1));
        const std::string req = osal_script::written(static_cast<OSAL_SOCKET>(101 + i));
        EXPECT_EQ(req.substr(0, req.find("\r\n")), c.sent[i].line);
        const size_t headEnd = req.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos) << "the request was not sent whole";
        const std::string head = req.substr(0, headEnd + 2);
        if (c.sent[i].body) {
            EXPECT_EQ(req.substr(headEnd + 4), kPdu);
            EXPECT_NE(head.find("\r\nContent-Type: application/vnd.wap.mms-message\r\n"), std::string::npos);
            EXPECT_NE(head.find("\r\nContent-Length: 9\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(req.size(), headEnd + 4) << "a request without a body carries none";
            EXPECT_EQ(head.find("Content-Length"), std::string::npos);
        }
    }
    fnQXStack_Http_Close(ctx);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpHostile, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Trickled" : "_Whole");
                         });

// ---------------------------------------------------------------- cookies from hostile servers

class HttpHostileCookies : public HttpHostile {};

// A cookie that would inject a header line, or is too long to go out whole,
// is not stored; one of 4000 bytes goes out whole, never cut.
TEST_F(HttpHostileCookies, InjectingOrOverlongCookiesAreNotStoredLongOnesGoOutWhole) {
    fnQXStack_Http_SetProxy("wap.proxy.test", 8080);
    const std::string longValue(4000, 'v');
    osal_script::push_read_data("HTTP/1.0 302 Found\r\nLocation: /next\r\n"
                                "Set-Cookie: inj=a\rX-Injected: yes\r\n"
                                "Set-Cookie: lf=a\nX-Injected: yes; Path=/\r\n"
                                "Set-Cookie: ctl=a\x01" "b\r\n"
                                "Set-Cookie: huge=" + std::string(5000, 'h') + "\r\n"
                                "Set-Cookie:long=" + longValue + "; Path=/\r\n"
                                "Set-Cookie: ok=1\r\n\r\n");
    osal_script::push_read_result(0);
    osal_script::push_read_data("HTTP/1.0 200 OK\r\n\r\ndone");
    osal_script::push_read_result(0);
    HttpCtx *ctx = fnQXStack_Http_Open_Get("http://relay.test/first");
    ASSERT_NE(ctx, nullptr);
    char out[64];
    int r = -2;
    for (int i = 0; i < 50 && (r == -2 || r > 0); ++i) r = read_after_turn(ctx, out, sizeof out);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ctx->state, HTTP_ST_DONE);
    ASSERT_EQ(fnQXList_Count(fnQXStack_Http_CookieList()), 2);
    const std::string second = osal_script::written(102);
    EXPECT_NE(second.find("\r\nCookie: ok=1; long=" + longValue + "\r\nCookie2: \"1\"\r\n"), std::string::npos)
        << second.substr(0, 400);
    EXPECT_EQ(second.find("X-Injected"), std::string::npos);
    EXPECT_EQ(second.find('\x01'), std::string::npos);
    fnQXStack_Http_Close(ctx);
}

// ---------------------------------------------------------------- URLs from the network

struct ResolveCase {
    const char *ref;
    const char *want;  // null: refused
};

// The reference resolution examples of RFC 3986 (section 5.4) against an
// http base, and references of other schemes, which are refused.
TEST_F(HttpHostile, LocationsResolveAgainstTheRequestUrl) {
    HttpCtx *base = fnQXStack_Http_Open_Get("http://a/b/c/d;p?q");
    ASSERT_NE(base, nullptr);
    const ResolveCase cases[] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {"g#s", "http://a/b/c/g"},
        {"g?y#s", "http://a/b/c/g?y"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"g;x?y#s", "http://a/b/c/g;x?y"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g"},
        {"g#s/../x", "http://a/b/c/g"},
        {"http://other/x#f", "http://other/x"},
        {"HtTp://other:81/x", "HtTp://other:81/x"},
        // Not followed: other schemes, and "http:" without an authority.
        {"http:g", nullptr},
        {"https://a/b", nullptr},
        {"ftp://a/b", nullptr},
        {"mailto:x@a", nullptr},
        {"javascript:alert(1)", nullptr},
        {"tel:+15551234", nullptr},
        {"a:b", nullptr},
        {"g h", nullptr},
        {"g\r\nX: y", nullptr},
        {"/g\x7f", nullptr},
    };
    for (const ResolveCase &c : cases) {
        SCOPED_TRACE(c.ref);
        char *got = fnQXStack_Http_ResolveUrl(base, c.ref);
        if (!c.want) {
            EXPECT_EQ(got, nullptr) << got;
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, c.want);
            // What comes out is a URL the client opens.
            HttpCtx *next = fnQXStack_Http_Open_Get(got);
            EXPECT_NE(next, nullptr);
            fnQXStack_Http_Close(next);
        }
        qx::free_ptr(got);
    }
    fnQXStack_Http_Close(base);

    // A base on another port and one written without a scheme.
    base = fnQXStack_Http_Open_Get("relay.test:8002/mms?x=1");
    ASSERT_NE(base, nullptr);
    char *got = fnQXStack_Http_ResolveUrl(base, "/m/2?y");
    EXPECT_STREQ(got, "http://relay.test:8002/m/2?y");
    qx::free_ptr(got);
    fnQXStack_Http_Close(base);
}

// Allocation failures on the way through a redirect and a chunked body: the
// request ends either as it would without them, or failed with a state that
// says so, and nothing is left behind.
TEST_F(HttpHostile, AllocationFailuresThroughARedirectAndAChunkedBody) {
    fnQXStack_Http_SetProxy("wap.proxy.test", 8080);
    int whole = 0, failed = 0;
    const long clean = rrtest::for_each_alloc_failure([&](long) {
        osal_script::reset();
        osal_script::push_read_data("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 307 Moved\r\nLocation: ../v2/send?a=1\r\n"
                                    "Set-Cookie: s=1\r\n\r\n");
        osal_script::push_read_result(0);
        osal_script::push_read_data(chunked("Content-Type: application/vnd.wap.mms-message\r\n", kChunks));
        osal_script::push_read_result(0);
        HttpCtx *ctx = fnQXStack_Http_Open_Post("http://relay.test/v1/send", reinterpret_cast<const uint8_t *>(kPdu.data()),
                                                static_cast<int>(kPdu.size()), nullptr);
        if (!ctx) return;
        std::string body;
        char out[16];
        int r = -2;
        for (int i = 0; i < 100 && (r == -2 || r > 0); ++i) {
            r = read_after_turn(ctx, out, sizeof out);
            if (r > 0) body.append(out, static_cast<size_t>(r));
        }
        if (r == 0) {
            ++whole;
            EXPECT_EQ(ctx->state, HTTP_ST_DONE);
            EXPECT_EQ(body, "hello world");
            EXPECT_EQ(ctx->redirectCount, 1);
        } else {
            ++failed;
            EXPECT_EQ(r, -1);
            EXPECT_LT(ctx->state, 0);
        }
        EXPECT_EQ(osal_script::sockets_open(), 0);
        fnQXStack_Http_Close(ctx);
        fnQXStack_Http_FreeCookies();
    });
    EXPECT_GT(clean, 10);
    EXPECT_GT(whole, 0);
    EXPECT_GT(failed, 5);
}

}  // namespace
