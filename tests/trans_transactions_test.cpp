// Send and download transactions on virtual time: the scripted osal plays
// the proxy and the relay, the test fires the 100 ms timers by hand. Every
// case checks the one final report, and that every socket, timer, handle
// node and block was released.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hbxappglib.h"
#include "osal_scripted.h"
#include "qx_log.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using rrtest::operator+;
namespace os = osal_script;

// ---------------------------------------------------------------- reports
struct Report {
    int code, value;
};
std::vector<Report> g_reports;
std::function<void(int, int)> g_onReport;  // extra action of the callback (may start a transaction)

void record_report(int code, int value) {
    g_reports.push_back({code, value});
    if (g_onReport) g_onReport(code, value);
}

bool is_progress(int code) { return code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS; }

std::vector<Report> finals() {
    std::vector<Report> out;
    for (const Report &r : g_reports)
        if (!is_progress(r.code)) out.push_back(r);
    return out;
}
std::vector<int> progress() {
    std::vector<int> out;
    for (const Report &r : g_reports)
        if (is_progress(r.code)) out.push_back(r.value);
    return out;
}

// ---------------------------------------------------------------- PDUs and responses
std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

Bytes send_conf(int status, const std::string &tid = "t1") {
    return rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0(tid) + rrtest::bytes({0x8D, 0x92, 0x92, status}) +
           rrtest::bytes({0x8B}) + rrtest::text0("msg-1");
}

Bytes notification(const std::string &tid, const std::string &location, uint32_t size) {
    return rrtest::bytes({0x8C, 0x82, 0x98}) + rrtest::text0(tid) +
           rrtest::bytes({0x8D, 0x92, 0x8E, 0x04, int(size >> 24), int((size >> 16) & 0xFF), int((size >> 8) & 0xFF),
                          int(size & 0xFF), 0x83}) +
           rrtest::text0(location);
}

// An m-retrieve-conf of total size about `size` bytes with a text body.
Bytes retrieve_conf(size_t size, const std::string &tid = "t1") {
    Bytes head = rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0(tid) + rrtest::bytes({0x8D, 0x92, 0x8B}) +
                 rrtest::text0("msg-1") + rrtest::bytes({0x84, 0x83});
    while (head.size() < size) head.push_back(static_cast<uint8_t>('a' + head.size() % 26));
    return head;
}

std::string http(int status, const std::string &body, bool withLength = true, const std::string &extra = "") {
    std::string s = "HTTP/1.0 " + std::to_string(status) + " X\r\nContent-Type: application/vnd.wap.mms-message\r\n";
    if (withLength) s += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return s + extra + "\r\n" + body;
}

// ---------------------------------------------------------------- fixture
class Trans : public ::testing::Test {
protected:
    void SetUp() override {
        os::reset();
        qx::set_log_enabled(false);
        g_reports.clear();
        g_onReport = nullptr;
        settings_ = MmsSettings{"TestUA/1.0", "http://ua.test/p.xml", "10.0.0.1", "8080", "http://mmsc.test/mms"};
        blocksBefore_ = qx::alloc_stats().liveBlocks;
    }
    void TearDown() override {
        g_onReport = nullptr;
        if (out_.data) fnQX_Free(reinterpret_cast<void **>(&out_.data));
        for (auto &p : extraOuts_)
            if (p.data) fnQX_Free(reinterpret_cast<void **>(&p.data));
        EXPECT_FALSE(hbx_Busy());
        EXPECT_EQ(os::sockets_open(), 0) << "a socket was left open";
        EXPECT_EQ(os::timers_live(), 0) << "a timer was left unreleased";
        EXPECT_EQ(os::timer_bad_frees(), 0);
        EXPECT_EQ(os::bad_socket_calls(), 0);
        EXPECT_EQ(os::callbacks_inside_calls(), 0) << "osal called back from inside one of its calls";
        EXPECT_EQ(os::sock_init_calls(), os::sock_finalize_calls());
        EXPECT_EQ(hbx_state().handleList.nodeNums, 0);
        EXPECT_EQ(hbx_state().handleList.head, nullptr);
        EXPECT_EQ(qx::alloc_stats().liveBlocks, blocksBefore_) << "blocks leaked";
        qx::set_log_enabled(true);
    }

    int send(const Bytes &pdu) {
        pdu_ = pdu;
        sendBuf_ = tCPS_PduBuf{pdu_.data(), static_cast<int>(pdu_.size())};
        return fnCPS_SendMMS(&sendBuf_, &settings_, record_report);
    }
    int download(const Bytes &notif, int mode = 0) {
        notif_ = notif;
        notifBuf_ = tCPS_PduBuf{notif_.data(), static_cast<int>(notif_.size())};
        return fnCPS_DownloadMMS(&notifBuf_, mode, &settings_, record_report, &out_);
    }
    // Fires timers until the transaction is over; the number of steps run.
    int run(int limit = 20000) { return os::run_timers(limit); }

    void expect_one_final(int code, int value) {
        const auto f = finals();
        ASSERT_EQ(f.size(), 1u) << "exactly one final report";
        EXPECT_EQ(f[0].code, code);
        EXPECT_EQ(f[0].value, value);
    }

    MmsSettings settings_{};
    Bytes pdu_, notif_;
    tCPS_PduBuf sendBuf_{}, notifBuf_{}, out_{};
    std::vector<tCPS_PduBuf> extraOuts_;
    long blocksBefore_ = 0;
};

// A send request of n bytes (the codec does not look inside it on the way out).
Bytes send_req(size_t n) {
    Bytes b = rrtest::bytes({0x8C, 0x80, 0x98}) + rrtest::text0("t1") + rrtest::bytes({0x8D, 0x92, 0x84, 0x83});
    while (b.size() < n) b.push_back(static_cast<uint8_t>(b.size()));
    return b;
}

// ================================================================ send

TEST_F(Trans, SendWritesThePostAndReportsTheConfirmation) {
    qx::set_log_enabled(true);
    rrtest::LogCapture log;
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    const Bytes pdu = send_req(10000);
    ASSERT_EQ(send(pdu), HBX_MSG_SEND_STARTED);
    run();
    expect_one_final(HBX_MSG_SEND_OK, 100);
    // 10000 bytes and about 300 of request head, 2048 per step: rising by
    // about 20 and never above 99 before the final 100.
    // 10300 bytes in 6 chunks: 20, 40, 60, 80, then capped at 99 twice.
    const auto p = progress();
    ASSERT_EQ(p.size(), 6u);
    EXPECT_NEAR(p[0], 20, 1);
    for (size_t i = 1; i < 5; ++i) EXPECT_NEAR(p[i] - p[i - 1], 20, 2);
    EXPECT_EQ(p[4], 99);
    EXPECT_EQ(p[5], 99);
    const std::string w = os::written();
    EXPECT_EQ(w.rfind("POST http://mmsc.test/mms HTTP/1.0\r\nHost: mmsc.test:80\r\n", 0), 0u) << w.substr(0, 80);
    EXPECT_NE(w.find("User-Agent: TestUA/1.0\r\n"), std::string::npos);
    EXPECT_NE(w.find("Profile: http://ua.test/p.xml\r\n"), std::string::npos);
    EXPECT_NE(w.find("Content-Type: application/vnd.wap.mms-message\r\nContent-Length: 10000\r\n"), std::string::npos);
    EXPECT_EQ(w.substr(w.size() - pdu.size()), str(pdu));
    EXPECT_EQ(os::last_connect_address(), "10.0.0.1");
    EXPECT_EQ(os::last_connect_port(), 8080);
    EXPECT_EQ(os::last_timer_period(), 100);
    EXPECT_TRUE(log.contains("- mzk:enter fnCPS_SendMMS\n"));
    EXPECT_TRUE(log.contains("- mzk:proxy=10.0.0.1,port=8080\n"));
    EXPECT_TRUE(log.contains("- mzk:send progress=100\n"));
    EXPECT_TRUE(log.contains("..\\..\\mms_send_download\\hbxappglib_Send.cpp:"));
}

struct ConfCase {
    int status;
    int code;
};

TEST_F(Trans, ConfirmationStatusesMapToReports) {
    for (const ConfCase c : {ConfCase{0x80, 20}, {0x82, 22}, {0x86, 23}, {0x88, 24}, {0x81, 21}, {0x83, 21}, {0xE0, 21}}) {
        SCOPED_TRACE(c.status);
        g_reports.clear();
        os::reset();
        // The confirmation in two reads of different sizes, the connection
        // kept open: Content-Length ends it.
        const std::string resp = http(200, str(send_conf(c.status)));
        os::push_read_data(resp.substr(0, 30));
        os::push_read_result(-2);
        os::push_read_data(resp.substr(30));
        ASSERT_EQ(send(send_req(300)), HBX_MSG_SEND_STARTED);
        run();
        expect_one_final(c.code, c.code == 20 ? 100 : 0);
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
    }
}

// Each fault ends the send with 21 and releases everything (checked by the
// fixture); the script runs after fnCPS_SendMMS has started when given.
struct SendFault {
    const char *name;
    std::function<void()> before;
    std::function<void()> during;
};

TEST_F(Trans, SendFaultMatrixEndsWith21) {
    const std::string good = http(200, str(send_conf(0x80)));
    const std::vector<SendFault> faults = {
        {"refused connect", [] { os::set_connect_mode(os::ConnectMode::Fail); }, nullptr},
        {"proxy down (connect fails later)", [] { os::set_connect_mode(os::ConnectMode::FailLater); },
         [] { os::complete_connect(); }},
        {"reset after the request", [] { os::push_read_result(-1); }, nullptr},
        {"write error", [] { os::push_write_result(-1); }, nullptr},
        {"garbage confirmation", [] { os::push_read_data(http(200, "<html>not a pdu</html>")); os::push_read_result(0); },
         nullptr},
        {"404", [] { os::push_read_data(http(404, "")); os::push_read_result(0); }, nullptr},
        {"500 with a good confirmation", [&] { os::push_read_data(http(500, str(send_conf(0x80)))); }, nullptr},
        {"closed inside the header block", [] { os::push_read_data("HTTP/1.0 200 OK\r\nConte"); os::push_read_result(0); },
         nullptr},
        {"empty answer", [] { os::push_read_result(0); }, nullptr},
        {"redirect loop",
         [] {
             for (int i = 0; i < 12; ++i) {
                 os::push_read_data("HTTP/1.0 302 Found\r\nLocation: http://mmsc.test/loop\r\n\r\n");
                 os::push_read_result(0);
             }
         },
         nullptr},
        {"stall: connect never completes", [] { os::set_connect_mode(os::ConnectMode::Never); }, nullptr},
        {"stall: no answer", nullptr, nullptr},
    };
    for (const SendFault &f : faults) {
        SCOPED_TRACE(f.name);
        os::reset();
        g_reports.clear();
        if (f.before) f.before();
        ASSERT_EQ(send(send_req(500)), HBX_MSG_SEND_STARTED);
        if (f.during) f.during();
        const int steps = run();
        EXPECT_LT(steps, 3300);
        expect_one_final(HBX_MSG_SEND_FAIL, 0);
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
        EXPECT_EQ(os::timer_bad_frees(), 0);
        EXPECT_FALSE(hbx_Busy());
    }
}

TEST_F(Trans, SendStartFailuresReturn21WithoutReport) {
    settings_.ServerAddr = nullptr;
    EXPECT_EQ(send(send_req(100)), HBX_MSG_SEND_FAIL);
    settings_.ServerAddr = "http://mmsc.test/mms";
    os::set_init_result(-1);  // socket service down
    EXPECT_EQ(send(send_req(100)), HBX_MSG_SEND_FAIL);
    os::set_init_result(0);
    os::set_time_initialize_result(0);
    EXPECT_EQ(send(send_req(100)), HBX_MSG_SEND_FAIL);
    os::set_time_initialize_result(1);
    EXPECT_EQ(fnCPS_SendMMS(nullptr, &settings_, record_report), HBX_MSG_SEND_FAIL);
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(os::timers_armed(), 0);
    EXPECT_EQ(os::sockets_open(), 0);
    os::reset();  // the refused g_sock_init has no g_sock_finalize to match
}

// A proxy port is 1 to 65535 in digits: anything else refuses the start
// (no report, nothing connected) instead of being read as some number; no
// port at all is 80.
TEST_F(Trans, ProxyPortsAreDigitsOneTo65535) {
    for (const char *port : {"abc", "0", "65536", "8080x", "+80", "99999"}) {
        SCOPED_TRACE(port);
        settings_.ProxyPort = port;
        EXPECT_EQ(send(send_req(100)), HBX_MSG_SEND_FAIL);
        EXPECT_EQ(download(notification("t1", "http://mmsc.test/get/1", 1000)), HBX_MSG_DL_FAIL_NOR);
        EXPECT_TRUE(g_reports.empty());
        EXPECT_EQ(os::connect_calls(), 0);
    }
    settings_.ProxyPort = nullptr;
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    ASSERT_EQ(send(send_req(100)), HBX_MSG_SEND_STARTED);
    run();
    expect_one_final(HBX_MSG_SEND_OK, 100);
    EXPECT_EQ(os::last_connect_address(), "10.0.0.1");
    EXPECT_EQ(os::last_connect_port(), 80);
}

TEST_F(Trans, SendEndsAtTheStepLimitWhenOnlyHeaderBytesTrickle) {
    // One byte of an endless status line per step: the HTTP layer sees
    // progress, the transaction does not, and gives up after 3200 steps. The
    // request is large, so its overall deadline is far beyond that.
    const Bytes pdu = send_req(300000);
    const int sending = (static_cast<int>(pdu.size()) + 400) / 2048 + 1;
    for (int i = 0; i < 4000; ++i) {
        os::push_read_data("H");
        os::push_read_result(-2);
    }
    ASSERT_EQ(send(pdu), HBX_MSG_SEND_STARTED);
    const int steps = run();
    // The limit after the request went out, plus the step whose connect
    // completes on the next turn.
    EXPECT_GE(steps, sending + 3198);
    EXPECT_LE(steps, sending + 3203);
    EXPECT_LT(os::now_ms(), hbx_DeadlineFor(static_cast<int64_t>(pdu.size()) + HBX_SEND_CONF_BUF));
    expect_one_final(HBX_MSG_SEND_FAIL, 0);
}

// The overall deadline: a peer that keeps every idle timer satisfied (a byte
// now and then) still ends the transaction, once, when its time is up, with
// a log line that names the deadline. Virtual time: the scripted timers.
TEST_F(Trans, TheOverallDeadlineEndsATransactionThatTricklesForever) {
    struct Case {
        const char *name;
        bool download;
        int64_t deadlineBytes;  // what the deadline is computed from
        const char *says;
    };
    const Case cases[] = {
        {"send", false, 100 + HBX_SEND_CONF_BUF, "send mms failed: the overall deadline of"},
        {"download of a small message", true, HBX_DL_DEADLINE_MIN_BYTES + HBX_ACK_WORK_BUF,
         "download mms ended: the overall deadline of"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        os::reset();
        g_reports.clear();
        // A header line that never ends, one byte every step.
        for (int i = 0; i < 40000; ++i) {
            os::push_read_data("H");
            os::push_read_result(-2);
        }
        qx::set_log_enabled(true);
        rrtest::LogCapture log;
        if (c.download)
            ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 1000)), HBX_MSG_DL_STARTED);
        else
            ASSERT_EQ(send(send_req(100)), HBX_MSG_SEND_STARTED);
        run(40000);
        qx::set_log_enabled(false);
        const int deadline = hbx_DeadlineFor(c.deadlineBytes);
        EXPECT_EQ(os::now_ms(), deadline) << "ended by the deadline timer, at its time";
        expect_one_final(c.download ? int{HBX_MSG_DL_FAIL_NOR} : int{HBX_MSG_SEND_FAIL}, 0);
        EXPECT_TRUE(log.contains(c.says + std::string(" ") + std::to_string(deadline) + " ms passed")) << log.text();
        EXPECT_EQ(os::timers_pending(), 0);
        EXPECT_EQ(os::sockets_open(), 0);
    }
}

// What the deadline allows: an honest 300 KB exchange at the send's pacing,
// and on a link of 250 bytes per second, both end well inside it.
TEST_F(Trans, AnHonestSlowExchangeFinishesInsideItsDeadline) {
    EXPECT_GE(hbx_DeadlineFor(307200 + HBX_SEND_CONF_BUF), 307200 / 2048 * HBX_STEP_PERIOD_MS + 30000);
    EXPECT_GE(hbx_DeadlineFor(307200 + HBX_SEND_CONF_BUF), 307200 * 1000 / 250);
    EXPECT_LE(hbx_DeadlineFor(307200 + HBX_SEND_CONF_BUF), 30 * 60 * 1000) << "a stalled peer is not held for hours";
    // A real run: 25 bytes accepted per 100 ms step (250 bytes per second)
    // for a 30000-byte request, well past the idle limit's step count.
    const Bytes pdu = send_req(30000);
    for (int i = 0; i < 1300; ++i) os::push_write_result(25);
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    ASSERT_EQ(send(pdu), HBX_MSG_SEND_STARTED);
    EXPECT_GT(run(), 1200);
    expect_one_final(HBX_MSG_SEND_OK, 100);
    EXPECT_LT(os::now_ms(), hbx_DeadlineFor(static_cast<int64_t>(pdu.size()) + HBX_SEND_CONF_BUF));
}

TEST_F(Trans, SlowWritesNeverTimeOut) {
    // 25 bytes (250 bytes per second) accepted per step for longer than the
    // step limit: the idle timer never fires, the deadline is not reached.
    const Bytes pdu = send_req(3500 * 25);
    for (int i = 0; i < 4000; ++i) os::push_write_result(25);
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    ASSERT_EQ(send(pdu), HBX_MSG_SEND_STARTED);
    const int steps = run();
    EXPECT_GT(steps, 3500);
    expect_one_final(HBX_MSG_SEND_OK, 100);
    const auto p = progress();
    EXPECT_EQ(p.back(), 99);
    for (size_t i = 1; i < p.size(); ++i) EXPECT_GE(p[i], p[i - 1]);
}

TEST_F(Trans, LongConfirmationIsDecodedFromItsFirst1500Bytes) {
    // A confirmation with a long Response-Text that never ends (no length,
    // connection open): the first 1500 bytes hold the status.
    Bytes conf = rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0("t1") + rrtest::bytes({0x8D, 0x92, 0x92, 0x86, 0x93});
    conf = conf + rrtest::text0(std::string(3000, 'x'));
    os::push_read_data(http(200, str(conf), false));
    ASSERT_EQ(send(send_req(100)), HBX_MSG_SEND_STARTED);
    EXPECT_LT(run(), 50);
    expect_one_final(HBX_MSG_NETWORK_PROBLEM, 0);
}

TEST_F(Trans, SendWithoutCallbackAndEmptyPdu) {
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    pdu_.clear();
    sendBuf_ = tCPS_PduBuf{nullptr, 0};
    ASSERT_EQ(fnCPS_SendMMS(&sendBuf_, &settings_, nullptr), HBX_MSG_SEND_STARTED);
    run();
    EXPECT_TRUE(g_reports.empty());
    // No body: no Content-Type / Content-Length line.
    EXPECT_EQ(os::written().find("Content-Length"), std::string::npos);
}

// ================================================================ download

TEST_F(Trans, DownloadStoresTheMessageAndAnswers) {
    for (int mode : {3, 0}) {
        SCOPED_TRACE(mode);
        os::reset();
        g_reports.clear();
        const Bytes msg = retrieve_conf(20000, "tid-42");
        os::push_read_data(http(200, str(msg)));
        os::push_read_result(0);
        os::push_read_data("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n");
        ASSERT_EQ(download(notification("tid-42", "http://mmsc.test/get/1", 20000), mode), HBX_MSG_DL_STARTED);
        run();
        expect_one_final(HBX_MSG_DL_OK, 100);
        ASSERT_EQ(out_.length, static_cast<int>(msg.size()));
        EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), msg);
        EXPECT_EQ(out_.data[out_.length], 0);
        fnQX_Free(reinterpret_cast<void **>(&out_.data));
        const auto p = progress();
        ASSERT_FALSE(p.empty());
        EXPECT_EQ(p.back(), 99);

        ASSERT_EQ(os::sockets_created(), 2);
        const std::string get = os::written(101), post = os::written(102);
        EXPECT_EQ(get.rfind("GET http://mmsc.test/get/1 HTTP/1.0\r\n", 0), 0u);
        EXPECT_EQ(post.rfind("POST http://mmsc.test/mms HTTP/1.0\r\n", 0), 0u);
        for (const std::string &req : {get, post}) {
            EXPECT_NE(req.find("User-Agent: TestUA/1.0\r\n"), std::string::npos);
            EXPECT_NE(req.find("Profile: http://ua.test/p.xml\r\n"), std::string::npos);
        }
        const std::string answer = post.substr(post.find("\r\n\r\n") + 4);
        const Bytes expect = mode == 3 ? rrtest::bytes({0x8C, 0x83, 0x98}) + rrtest::text0("tid-42") +
                                             rrtest::bytes({0x8D, 0x92, 0x91, 0x81, 0x95, 0x81})
                                       : rrtest::bytes({0x8C, 0x85, 0x98}) + rrtest::text0("tid-42") +
                                             rrtest::bytes({0x8D, 0x92, 0x91, 0x81});
        EXPECT_EQ(rrtest::hex(Bytes(answer.begin(), answer.end())), rrtest::hex(expect));
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
    }
}

// The host's store runs before the relay hears anything: it sees the whole
// message; when it refuses, the relay is told Deferred (an acknowledgement,
// which cannot say so, is not sent) and the download ends as failed with
// the store named as its cause.
TEST_F(Trans, DownloadAnswersOnlyAfterTheHostStoredTheMessage) {
    struct Store {
        bool accept;
        Bytes seen;
        int calls = 0;
        size_t postsBefore = 0;
    };
    for (const bool accept : {true, false}) {
        for (const int mode : {3, 0}) {
            SCOPED_TRACE(std::string(accept ? "stored" : "refused") + " mode " + std::to_string(mode));
            os::reset();
            g_reports.clear();
            const Bytes msg = retrieve_conf(2000, "tid-7");
            os::push_read_data(http(200, str(msg)));
            os::push_read_result(0);
            os::push_read_data("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n");
            Store st{accept, {}};
            hbx_SetDownloadStore(
                [](const uint8_t *pdu, int len, void *user) {
                    auto *s = static_cast<Store *>(user);
                    ++s->calls;
                    s->seen.assign(pdu, pdu + len);
                    s->postsBefore = static_cast<size_t>(os::sockets_created());
                    return s->accept;
                },
                &st);
            ASSERT_EQ(download(notification("tid-7", "http://mmsc.test/get/7", 2000), mode), HBX_MSG_DL_STARTED);
            run();
            hbx_SetDownloadStore(nullptr, nullptr);
            EXPECT_EQ(st.calls, 1);
            EXPECT_EQ(st.seen, msg);
            EXPECT_EQ(st.postsBefore, 1u) << "the answer went out before the store";
            if (accept) {
                expect_one_final(HBX_MSG_DL_OK, 100);
                EXPECT_EQ(hbx_LastEnding().cause, HbxEndCause::None);
            } else {
                expect_one_final(HBX_MSG_DL_FAIL_NOR, 0);
                EXPECT_EQ(hbx_LastEnding().cause, HbxEndCause::StoreRefused);
            }
            fnQX_Free(reinterpret_cast<void **>(&out_.data));
            const bool answered = accept || mode == 3;
            ASSERT_EQ(os::sockets_created(), answered ? 2 : 1);
            if (answered) {
                const std::string post = os::written(102);
                const std::string answer = post.substr(post.find("\r\n\r\n") + 4);
                if (mode == 3) {  // Status: Retrieved, or Deferred
                    EXPECT_NE(answer.find(std::string("\x95") + (accept ? "\x81" : "\x83")), std::string::npos)
                        << rrtest::hex(Bytes(answer.begin(), answer.end()));
                }
            }
            EXPECT_EQ(os::sockets_open(), 0);
            EXPECT_EQ(os::timers_live(), 0);
        }
    }
}

// A message the store refused is never reported as retrieved, whatever
// becomes of the answer that tells the relay Deferred.
TEST_F(Trans, AnUnstoredMessageIsAFailureWhateverTheAnswerDoes) {
    const std::string msg = str(retrieve_conf(500));
    for (const bool answerFails : {false, true}) {
        SCOPED_TRACE(answerFails ? "the answer's connect fails" : "the answer goes out");
        os::reset();
        g_reports.clear();
        os::push_read_data(http(200, msg));
        os::push_read_data("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n");
        hbx_SetDownloadStore([](const uint8_t *, int, void *) { return false; }, nullptr);
        ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 500), 3), HBX_MSG_DL_STARTED);
        while (os::sockets_closed() == 0 && os::fire_next_timer()) {
        }
        if (answerFails) os::set_connect_mode(os::ConnectMode::Fail);
        run();
        hbx_SetDownloadStore(nullptr, nullptr);
        expect_one_final(HBX_MSG_DL_FAIL_NOR, 0);
        EXPECT_EQ(hbx_LastEnding().cause, HbxEndCause::StoreRefused);
        fnQX_Free(reinterpret_cast<void **>(&out_.data));
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
    }
}

// Why a transaction failed is kept for the host: the HTTP status, the
// Retrieve-Status, an answer that is no confirmation.
TEST_F(Trans, EndingsNameTheirCause) {
    os::push_read_data(http(404, "gone"));
    os::push_read_result(0);
    ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 100), 3), HBX_MSG_DL_STARTED);
    run();
    expect_one_final(HBX_MSG_DL_FAIL_NOR, 0);
    EXPECT_EQ(hbx_LastEnding().cause, HbxEndCause::HttpStatus);
    EXPECT_EQ(hbx_LastEnding().httpStatus, 404);

    os::reset();
    g_reports.clear();
    os::push_read_data(http(200, "<html>not a pdu</html>"));
    os::push_read_result(0);
    ASSERT_EQ(send(send_req(100)), HBX_MSG_SEND_STARTED);
    run();
    expect_one_final(HBX_MSG_SEND_FAIL, 0);
    EXPECT_EQ(hbx_LastEnding().cause, HbxEndCause::NotMessage);
    EXPECT_EQ(hbx_LastEnding().httpStatus, 200);

    os::reset();
    g_reports.clear();
    os::set_connect_mode(os::ConnectMode::Fail);
    ASSERT_EQ(send(send_req(100)), HBX_MSG_SEND_STARTED);
    run();
    expect_one_final(HBX_MSG_SEND_FAIL, 0);
    EXPECT_EQ(hbx_LastEnding().cause, HbxEndCause::ReadFailed);
    EXPECT_EQ(hbx_LastEnding().httpStatus, 0);
}

TEST_F(Trans, DownloadWithoutContentLengthAndProgressAgainstTheAnnouncedSize) {
    const Bytes msg = retrieve_conf(8000);
    // In 4 pieces, then the close ends the body.
    for (size_t at = 0; at < msg.size(); at += 2000) {
        os::push_read_data((at == 0 ? http(200, "", false) : std::string()) + str(msg).substr(at, 2000));
        os::push_read_result(-2);
    }
    os::push_read_result(0);
    os::push_read_result(0);  // the answer POST gets an empty reply
    ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 10000)), HBX_MSG_DL_STARTED);
    run();
    expect_one_final(HBX_MSG_DL_OK, 100);
    EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), msg);
    // Against the announced 10000: 20, 40, 60, 80.
    EXPECT_EQ(progress(), (std::vector<int>{20, 40, 60, 80}));
}

struct DlFault {
    const char *name;
    uint32_t announced;
    std::function<void()> script;
    int code;
};

TEST_F(Trans, DownloadFaultMatrix) {
    const std::string msg1000 = str(retrieve_conf(1000));
    const std::vector<DlFault> faults = {
        {"refused connect", 1000, [] { os::set_connect_mode(os::ConnectMode::Fail); }, 1},
        {"reset after the request", 1000, [] { os::push_read_result(-1); }, 1},
        {"close after 900 of 1000", 1000,
         [&] {
             os::push_read_data(http(200, msg1000).substr(0, http(200, msg1000).size() - 100));
             os::push_read_result(0);
         },
         1},
        {"Content-Length 400000", 1000,
         [] {
             os::push_read_data("HTTP/1.0 200 OK\r\nContent-Length: 400000\r\n\r\n" + std::string(5000, 'x'));
         },
         4},
        {"buffer filled without Content-Length", 0,
         [] {
             os::push_read_data(http(200, "", false));
             for (int i = 0; i < 16; ++i) os::push_read_data(std::string(20480, 'x'));
         },
         4},
        {"garbage body", 1000, [] { os::push_read_data(http(200, "garbage")); os::push_read_result(0); }, 1},
        {"404", 1000, [] { os::push_read_data(http(404, "not here")); os::push_read_result(0); }, 1},
        {"500 with a good message", 1000, [&] { os::push_read_data(http(500, msg1000)); os::push_read_result(0); }, 1},
        {"retrieve conf without body", 1000,
         [] {
             os::push_read_data(http(200, str(rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0("t1") +
                                             rrtest::bytes({0x8D, 0x92}))));
             os::push_read_result(0);
         },
         1},
        {"redirect loop", 1000,
         [] {
             for (int i = 0; i < 12; ++i) {
                 os::push_read_data("HTTP/1.0 301 Moved\r\nLocation: http://mmsc.test/get/1\r\n\r\n");
                 os::push_read_result(0);
             }
         },
         1},
        {"stall", 1000, [] { os::set_connect_mode(os::ConnectMode::Never); }, 1},
        {"Content-Length without a number", 1000,
         [&] { os::push_read_data("HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\n" + msg1000); os::push_read_result(0); },
         1},
    };
    for (const DlFault &f : faults) {
        SCOPED_TRACE(f.name);
        os::reset();
        g_reports.clear();
        f.script();
        ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", f.announced)), HBX_MSG_DL_STARTED);
        const int steps = run();
        EXPECT_LT(steps, 3300);
        expect_one_final(f.code, 0);
        EXPECT_EQ(out_.data, nullptr);
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
        EXPECT_EQ(os::timer_bad_frees(), 0);
        EXPECT_EQ(os::sockets_created(), std::string(f.name) == "redirect loop" ? 11 : 1) << "no answer after a failure";
    }
}

TEST_F(Trans, DownloadFollowsARelativeRedirect) {
    const Bytes msg = retrieve_conf(1500);
    os::push_read_data("HTTP/1.0 302 Found\r\nLocation: /store/7?x=1\r\nContent-Length: 0\r\n\r\n");
    os::push_read_result(0);
    os::push_read_data(http(200, str(msg)));
    os::push_read_result(0);
    os::push_read_result(0);
    ASSERT_EQ(download(notification("t1", "http://mmsc.test:8888/get/1", 1500)), HBX_MSG_DL_STARTED);
    run();
    expect_one_final(HBX_MSG_DL_OK, 100);
    EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), msg);
    EXPECT_EQ(os::written(102).rfind("GET http://mmsc.test:8888/store/7?x=1 HTTP/1.0\r\n", 0), 0u)
        << os::written(102).substr(0, 60);
}

TEST_F(Trans, BodyExactlyFillingTheBufferStillDecodes) {
    // A message of exactly the 311200 bytes a download takes, without
    // Content-Length, ends with the close and is accepted (the buffer grows
    // to that size and no further).
    const Bytes msg = retrieve_conf(307200 + 4000);
    os::push_read_data(http(200, str(msg), false));
    os::push_read_result(0);
    os::push_read_result(0);
    ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 0)), HBX_MSG_DL_STARTED);
    run();
    expect_one_final(HBX_MSG_DL_OK, 100);
    EXPECT_EQ(out_.length, static_cast<int>(msg.size()));
    EXPECT_TRUE(progress().empty()) << "neither Content-Length nor announced size: no progress";
}

TEST_F(Trans, DownloadEndsAtTheStepLimitWhenOnlyHeaderBytesTrickle) {
    for (int i = 0; i < 4000; ++i) {
        os::push_read_data("H");
        os::push_read_result(-2);
    }
    // Announced large, so the overall deadline is far beyond the step limit.
    ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 300000)), HBX_MSG_DL_STARTED);
    const int steps = run();
    // The limit, plus the step whose connect completes on the next turn.
    EXPECT_GE(steps, 3200);
    EXPECT_LE(steps, 3202);
    expect_one_final(HBX_MSG_DL_FAIL_NOR, 0);
}

TEST_F(Trans, SlowBodyTrickleNeverTimesOut) {
    // 25 body bytes per step (250 bytes per second) for 3400 steps.
    const std::string msg = str(retrieve_conf(3400 * 25));
    const std::string resp = http(200, msg);
    const size_t head = resp.size() - msg.size();
    os::push_read_data(resp.substr(0, head));
    for (size_t i = head; i < resp.size(); i += 25) {
        os::push_read_data(resp.substr(i, 25));
        os::push_read_result(-2);
    }
    os::push_read_result(0);
    ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 3400 * 25)), HBX_MSG_DL_STARTED);
    EXPECT_GT(run(), 3400);
    expect_one_final(HBX_MSG_DL_OK, 100);
}

TEST_F(Trans, FailedAnswerStillReportsSuccess) {
    struct Case {
        const char *name;
        std::function<void()> script;
    };
    const std::string msg = str(retrieve_conf(500));
    for (const Case &c : {Case{"answer connect refused", [] { os::set_connect_mode(os::ConnectMode::Fail); }},
                          Case{"answer reset", [] { os::push_read_result(-1); }},
                          Case{"answer stalls", [] { os::set_connect_mode(os::ConnectMode::Never); }}}) {
        SCOPED_TRACE(c.name);
        os::reset();
        g_reports.clear();
        os::push_read_data(http(200, msg));
        ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", 500), 3), HBX_MSG_DL_STARTED);
        // Up to the moment the GET is over, then the answer's fault.
        while (os::sockets_closed() == 0 && os::fire_next_timer()) {
        }
        c.script();
        run();
        expect_one_final(HBX_MSG_DL_OK, 100);
        EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), Bytes(msg.begin(), msg.end()));
        fnQX_Free(reinterpret_cast<void **>(&out_.data));
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
    }
}

TEST_F(Trans, DownloadStartFailuresReturn1WithoutReport) {
    // Neither identifier nor location; undecodable; no notification at all.
    EXPECT_EQ(download(rrtest::bytes({0x8C, 0x82, 0x8D, 0x92})), HBX_MSG_DL_FAIL_NOR);
    EXPECT_EQ(download(rrtest::bytes({0x8C, 0x84, 0x98, 0x41, 0x00})), HBX_MSG_DL_FAIL_NOR);
    EXPECT_EQ(fnCPS_DownloadMMS(nullptr, 0, &settings_, record_report, &out_), HBX_MSG_DL_FAIL_NOR);
    // A location the stack cannot use.
    EXPECT_EQ(download(notification("t1", "http://mmsc.test:99999/x", 100)), HBX_MSG_DL_FAIL_NOR);
    os::set_time_initialize_result(0);
    EXPECT_EQ(download(notification("t1", "http://mmsc.test/x", 100)), HBX_MSG_DL_FAIL_NOR);
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(os::timers_armed(), 0);
}

TEST_F(Trans, AnnouncedSizeNeverSizesTheBuffer) {
    // 0xFFFFFFFF reads as -1, 0x7FFFFFFF as 2 GB: either way the buffer
    // starts small and grows with the bytes that arrive.
    for (uint32_t announced : {0xFFFFFFFFu, 0x7FFFFFFFu}) {
        SCOPED_TRACE(announced);
        os::reset();
        g_reports.clear();
        const Bytes msg = retrieve_conf(40000);
        os::push_read_data(http(200, str(msg)));
        os::push_read_result(0);
        os::push_read_result(0);
        ASSERT_EQ(download(notification("t1", "http://mmsc.test/get/1", announced)), HBX_MSG_DL_STARTED);
        EXPECT_EQ(hbx_state().dl.bodyCapacity, static_cast<uint32_t>(HBX_BODY_BUF_FIRST));
        run();
        expect_one_final(HBX_MSG_DL_OK, 100);
        EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), msg);
        fnQX_Free(reinterpret_cast<void **>(&out_.data));
    }
}

// ================================================================ one at a time

TEST_F(Trans, SecondStartIsRefusedAndTheFirstRunsOn) {
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    ASSERT_EQ(send(send_req(5000)), HBX_MSG_SEND_STARTED);
    tCPS_PduBuf other{pdu_.data(), 100};
    Bytes notif = notification("t9", "http://mmsc.test/get/9", 100);
    tCPS_PduBuf nbuf{notif.data(), static_cast<int>(notif.size())};
    tCPS_PduBuf out2{};
    EXPECT_EQ(fnCPS_SendMMS(&other, &settings_, record_report), HBX_MSG_SEND_FAIL);
    EXPECT_EQ(fnCPS_DownloadMMS(&nbuf, 0, &settings_, record_report, &out2), HBX_MSG_DL_FAIL_NOR);
    os::fire_next_timer();
    EXPECT_EQ(fnCPS_SendMMS(&other, &settings_, record_report), HBX_MSG_SEND_FAIL);
    run();
    expect_one_final(HBX_MSG_SEND_OK, 100);
    EXPECT_EQ(os::sockets_created(), 1);
    EXPECT_EQ(out2.data, nullptr);
}

TEST_F(Trans, CallbackStartsTheNextTransaction) {
    // Send, then from inside its final report a download, then from inside
    // that one's report another send: each runs to its own single report.
    const Bytes msg = retrieve_conf(3000);
    os::push_read_data(http(200, str(send_conf(0x80))));
    os::push_read_result(0);
    os::push_read_data(http(200, str(msg)));
    os::push_read_result(0);
    os::push_read_data(http(200, ""));
    os::push_read_result(0);
    os::push_read_data(http(200, str(send_conf(0x82))));
    os::push_read_result(0);
    Bytes notif = notification("t2", "http://mmsc.test/get/2", 3000);
    tCPS_PduBuf nbuf{notif.data(), static_cast<int>(notif.size())};
    std::vector<int> started;
    g_onReport = [&](int code, int) {
        if (code == HBX_MSG_SEND_OK) started.push_back(fnCPS_DownloadMMS(&nbuf, 3, &settings_, record_report, &out_));
        if (code == HBX_MSG_DL_OK) started.push_back(send(send_req(200)));
    };
    ASSERT_EQ(send(send_req(4000)), HBX_MSG_SEND_STARTED);
    run();
    EXPECT_EQ(started, (std::vector<int>{HBX_MSG_DL_STARTED, HBX_MSG_SEND_STARTED}));
    const auto f = finals();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].code, HBX_MSG_SEND_OK);
    EXPECT_EQ(f[1].code, HBX_MSG_DL_OK);
    EXPECT_EQ(f[2].code, HBX_MSG_SERVICE_DENIED);
    EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), msg);
    EXPECT_EQ(os::sockets_created(), 4);
}

// ================================================================ timer handle list

TEST_F(Trans, HandleListReleasesInArmingOrderAndSkipsNull) {
    auto noop = [](void *) {};
    OSAL_TIMER a, b, c;
    g_settimer(100, noop, nullptr, 0, &a);
    g_settimer(100, noop, nullptr, 0, &b);
    g_settimer(100, noop, nullptr, 0, &c);
    EXPECT_EQ(fnCPS_AddTimerHandle(a), 1);
    EXPECT_EQ(fnCPS_AddTimerHandle(nullptr), 1);
    EXPECT_EQ(fnCPS_AddTimerHandle(b), 1);
    EXPECT_EQ(fnCPS_AddTimerHandle(c), 1);
    EXPECT_EQ(hbx_state().handleList.nodeNums, 4);
    std::vector<OSAL_TIMER> order;
    for (HbxHandleNode *n = hbx_state().handleList.head; n; n = n->next) order.push_back(n->handle);
    EXPECT_EQ(order, (std::vector<OSAL_TIMER>{a, nullptr, b, c}));
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnCPS_AddTimerHandle(a), 0);
    qx::alloc_fail_off();
    fnCPS_FreeTimerHandles();
    EXPECT_EQ(os::timers_freed(), 3);
    EXPECT_EQ(os::timer_bad_frees(), 0);
}

// ================================================================ allocation failures

// Every allocation of a whole send and a whole download is made to fail in
// turn: the transaction either does not start (and reports nothing) or
// reports exactly once; nothing leaks, every socket and timer is released.
TEST_F(Trans, EveryAllocationFailureEndsCleanly) {
    const Bytes msg = retrieve_conf(6000);
    auto check_run = [&](int started, int startedCode, int failCode) {
        if (started != startedCode) {
            EXPECT_EQ(started, failCode);
            EXPECT_TRUE(finals().empty());
        } else {
            run();
            EXPECT_EQ(finals().size(), 1u);
        }
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0);
        EXPECT_EQ(os::timer_bad_frees(), 0);
        EXPECT_FALSE(hbx_Busy());
    };
    const long sendAllocs = rrtest::for_each_alloc_failure([&](long) {
        os::reset();
        g_reports.clear();
        os::push_read_data(http(200, str(send_conf(0x80))));
        os::push_read_result(0);
        check_run(send(send_req(6000)), HBX_MSG_SEND_STARTED, HBX_MSG_SEND_FAIL);
    });
    EXPECT_GT(sendAllocs, 10);
    const long dlAllocs = rrtest::for_each_alloc_failure([&](long) {
        os::reset();
        g_reports.clear();
        os::push_read_data(http(200, str(msg)));
        os::push_read_result(0);
        os::push_read_data(http(200, ""));
        os::push_read_result(0);
        check_run(download(notification("t1", "http://mmsc.test/get/1", 6000), 3), HBX_MSG_DL_STARTED,
                  HBX_MSG_DL_FAIL_NOR);
        const auto f = finals();
        if (f.size() == 1 && f[0].code == HBX_MSG_DL_OK) {
            EXPECT_EQ(Bytes(out_.data, out_.data + out_.length), msg);
        } else {
            EXPECT_EQ(out_.data, nullptr);
        }
        if (out_.data) fnQX_Free(reinterpret_cast<void **>(&out_.data));
        out_ = tCPS_PduBuf{};
    });
    EXPECT_GT(dlAllocs, 10);
    std::printf("allocations: send %ld, download %ld\n", sendAllocs, dlAllocs);
}

}  // namespace
