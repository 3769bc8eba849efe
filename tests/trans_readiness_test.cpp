// Transactions driven by their socket's readiness, on virtual time: the
// scripted osal plays the proxy and the relay and decides when a socket is
// ready. The same exchanges run on the timer drive too, and both must put
// the same bytes on the wire and hand the host the same message; the
// readiness drive must not wait on the clock while the socket is ready,
// must write more than one chunk per step, must keep the read pause and may
// report each progress percent at most once.
#include <gtest/gtest.h>

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

struct Report {
    int code, value;
};
std::vector<Report> g_reports;
void record_report(int code, int value) { g_reports.push_back({code, value}); }
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

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

Bytes send_req(size_t n) {
    Bytes b = rrtest::bytes({0x8C, 0x80, 0x98}) + rrtest::text0("t1") + rrtest::bytes({0x8D, 0x92, 0x84, 0x83});
    while (b.size() < n) b.push_back(static_cast<uint8_t>(b.size() * 7));
    return b;
}
Bytes send_conf(int status) {
    return rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0("t1") + rrtest::bytes({0x8D, 0x92, 0x92, status}) +
           rrtest::bytes({0x8B}) + rrtest::text0("msg-1");
}
Bytes notification(const std::string &location, uint32_t size) {
    return rrtest::bytes({0x8C, 0x82, 0x98}) + rrtest::text0("t1") +
           rrtest::bytes({0x8D, 0x92, 0x8E, 0x04, int(size >> 24), int((size >> 16) & 0xFF), int((size >> 8) & 0xFF),
                          int(size & 0xFF), 0x83}) +
           rrtest::text0(location);
}
Bytes retrieve_conf(size_t size) {
    Bytes head = rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0("t1") + rrtest::bytes({0x8D, 0x92, 0x8B}) +
                 rrtest::text0("msg-1") + rrtest::bytes({0x84, 0x83});
    while (head.size() < size) head.push_back(static_cast<uint8_t>('a' + head.size() % 26));
    return head;
}
std::string http(const std::string &body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One script step of the peer: bytes it sends, or a read result (-2 nothing
// yet, 0 closed), or a write result for the client's next write.
struct Step {
    enum Kind { Data, ReadResult, WriteResult } kind;
    std::string data;
    int result;
};
Step data(std::string d) { return {Step::Data, std::move(d), 0}; }
Step rr(int r) { return {Step::ReadResult, {}, r}; }
Step wr(int r) { return {Step::WriteResult, {}, r}; }

void play(const std::vector<Step> &steps) {
    for (const Step &s : steps) {
        if (s.kind == Step::Data) os::push_read_data(s.data);
        if (s.kind == Step::ReadResult) os::push_read_result(s.result);
        if (s.kind == Step::WriteResult) os::push_write_result(s.result);
    }
}

// What one run left behind.
struct Outcome {
    std::vector<Report> finals;
    std::vector<int> progress;
    std::vector<std::string> wire;  // bytes written on each socket, in order
    Bytes message;                  // a download's output
    long virtualMs = 0;
    uint32_t steps = 0;
    int watches = 0, readyFires = 0;
};

class Readiness : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        settings_ = MmsSettings{"TestUA/1.0", nullptr, "10.0.0.1", "8080", "http://mmsc.test/mms"};
        blocksBefore_ = qx::alloc_stats().liveBlocks;
    }
    void TearDown() override {
        hbx_SetDrive(HbxDrive::Timer);
        EXPECT_EQ(qx::alloc_stats().liveBlocks, blocksBefore_) << "blocks leaked";
        qx::set_log_enabled(true);
    }

    // Runs a send or a download to its end on one drive, from a fresh osal.
    Outcome run(HbxDrive drive, const std::vector<Step> &script, const Bytes *pdu, const Bytes *notif) {
        os::reset();
        g_reports.clear();
        hbx_SetDrive(drive);
        play(script);
        tCPS_PduBuf in{}, out{};
        if (pdu) {
            in = tCPS_PduBuf{const_cast<uint8_t *>(pdu->data()), static_cast<int>(pdu->size())};
            EXPECT_EQ(fnCPS_SendMMS(&in, &settings_, record_report), HBX_MSG_SEND_STARTED);
        } else {
            in = tCPS_PduBuf{const_cast<uint8_t *>(notif->data()), static_cast<int>(notif->size())};
            EXPECT_EQ(fnCPS_DownloadMMS(&in, 3, &settings_, record_report, &out), HBX_MSG_DL_STARTED);
        }
        os::run_timers(40000);
        Outcome o;
        o.finals = finals();
        o.progress = progress();
        for (int s = 0; s < os::sockets_created(); ++s) o.wire.push_back(os::written(101 + s));
        if (out.data) {
            o.message.assign(out.data, out.data + out.length);
            fnQX_Free(reinterpret_cast<void **>(&out.data));
        }
        o.virtualMs = os::now_ms();
        o.steps = hbx_state().stepCount;
        o.watches = os::watches_armed();
        o.readyFires = os::watches_fired_ready();
        EXPECT_FALSE(hbx_Busy());
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_live(), 0) << "a timer or readiness wait was left unreleased";
        EXPECT_EQ(os::timer_bad_frees(), 0);
        EXPECT_EQ(os::bad_socket_calls(), 0);
        EXPECT_EQ(os::callbacks_inside_calls(), 0);
        EXPECT_EQ(hbx_state().handleList.nodeNums, 0);
        return o;
    }

    static void expect_progress_once_per_percent(const std::vector<int> &p) {
        for (size_t i = 1; i < p.size(); ++i) EXPECT_GT(p[i], p[i - 1]) << "percent reported twice or going back";
        EXPECT_LE(p.size(), 100u);
        if (!p.empty()) { EXPECT_LE(p.back(), 99); }
    }

    MmsSettings settings_{};
    long blocksBefore_ = 0;
};

// Sends of several sizes against peers that take everything, take a little
// at a time, or block now and then: the same request bytes as on the timer
// drive, the same verdict, no clock while the socket is ready.
TEST_F(Readiness, SendWritesWhatTheSocketTakesAndTheSameBytes) {
    struct Case {
        const char *name;
        size_t size;
        std::vector<Step> writes;
        // How many times the socket is not writable when waited on: a "would
        // block" met inside a step ends its writes, the wait after it finds
        // the socket writable again unless the next write blocks too.
        long blockedWaits;
    };
    const std::vector<Case> cases = {
        {"300 KB, the socket takes all", 300 * 1024, {}, 0},
        {"10 KB, 1000 bytes at a time", 10000, {wr(1000), wr(1000), wr(1000), wr(1000), wr(1000), wr(1000)}, 0},
        {"50 KB, a full socket twice", 50000, {wr(2048), wr(2048), wr(-2), wr(700), wr(-2), wr(5000)}, 1},
        {"20 KB, blocked when waited on", 20000, {wr(3000), wr(-2), wr(-2), wr(-2), wr(4000)}, 2},
        {"an empty body", 0, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes pdu = send_req(c.size);
        std::vector<Step> script = c.writes;
        script.push_back(data(http(str(send_conf(0x80)))));
        script.push_back(rr(0));
        const Outcome timer = run(HbxDrive::Timer, script, &pdu, nullptr);
        const Outcome ready = run(HbxDrive::Readiness, script, &pdu, nullptr);
        for (const Outcome *o : {&timer, &ready}) {
            ASSERT_EQ(o->finals.size(), 1u);
            EXPECT_EQ(o->finals[0].code, HBX_MSG_SEND_OK);
            EXPECT_EQ(o->finals[0].value, 100);
        }
        ASSERT_EQ(ready.wire.size(), 1u);
        EXPECT_EQ(ready.wire, timer.wire) << "the bytes on the wire differ between the drives";
        EXPECT_EQ(ready.wire[0].substr(ready.wire[0].size() - pdu.size()), str(pdu));
        // The readiness drive waits on the clock only while the socket is full.
        EXPECT_EQ(ready.virtualMs, 100 * c.blockedWaits);
        EXPECT_GT(ready.watches, 0);
        expect_progress_once_per_percent(ready.progress);
        if (c.size >= 300 * 1024) {
            // 2048 bytes a step would take 150 steps; the socket took it all at once.
            EXPECT_GE(timer.steps, 150u);
            EXPECT_LE(ready.steps, 4u);
        }
    }
}

// A download whose bytes arrive in short reads with pauses between them:
// the same message and the same answer as on the timer drive, progress at
// most once per percent, and the clock only while nothing has arrived.
TEST_F(Readiness, DownloadReadsWhatHasArrived) {
    const Bytes msg = retrieve_conf(120000);
    const std::string resp = http(str(msg));
    for (int pauses : {0, 3}) {
        SCOPED_TRACE(pauses);
        std::vector<Step> script;
        // Pieces of 777 bytes (short reads of odd sizes), with "nothing yet"
        // after some of them.
        size_t at = 0;
        int pauseEvery = pauses ? static_cast<int>(resp.size() / 777 / pauses) : 0, n = 0;
        while (at < resp.size()) {
            script.push_back(data(resp.substr(at, 777)));
            at += 777;
            if (pauseEvery && ++n % pauseEvery == 0) script.push_back(rr(-2));
        }
        script.push_back(rr(0));
        script.push_back(data("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n"));
        script.push_back(rr(0));
        const Bytes notif = notification("http://mmsc.test/get/1", static_cast<uint32_t>(msg.size()));
        const Outcome timer = run(HbxDrive::Timer, script, nullptr, &notif);
        const Outcome ready = run(HbxDrive::Readiness, script, nullptr, &notif);
        for (const Outcome *o : {&timer, &ready}) {
            ASSERT_EQ(o->finals.size(), 1u);
            EXPECT_EQ(o->finals[0].code, HBX_MSG_DL_OK);
            EXPECT_EQ(o->message, msg);
        }
        EXPECT_EQ(ready.wire, timer.wire) << "the GET and the answer differ between the drives";
        expect_progress_once_per_percent(ready.progress);
        EXPECT_FALSE(ready.progress.empty());
        EXPECT_LT(ready.steps * 4, timer.steps) << "the readiness drive reads what has arrived in each step";
        // A pause read inside a step ends that step's reads; the next waits
        // for the socket, which is ready at once (the next piece is there).
        EXPECT_EQ(ready.virtualMs, 0);
        EXPECT_GT(ready.readyFires, 0);
        // Timer steps run every 100 ms, one per read's worth.
        EXPECT_GE(timer.virtualMs, 100L * 2);
    }
}

// The read pause holds while the reader is behind: the answer's reader takes
// 1000 bytes a step, so the receive buffer fills to the pause and the socket
// is left alone until the reader has caught up; the steps come at once (no
// clock), and no more than the pause and one read's worth is ever held.
TEST_F(Readiness, ReadPauseHoldsWhileTheReaderIsBehind) {
    const Bytes msg = retrieve_conf(3000);
    const std::string bigAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 60000\r\n\r\n" + std::string(60000, 'z');
    os::reset();
    g_reports.clear();
    hbx_SetDrive(HbxDrive::Readiness);
    os::push_read_data(http(str(msg)));
    os::push_read_result(0);
    os::push_read_data(bigAnswer);  // one piece: everything has arrived at once
    os::push_read_result(0);
    const Bytes notif = notification("http://mmsc.test/get/1", 3000);
    tCPS_PduBuf in{const_cast<uint8_t *>(notif.data()), static_cast<int>(notif.size())}, out{};
    ASSERT_EQ(fnCPS_DownloadMMS(&in, 3, &settings_, record_report, &out), HBX_MSG_DL_STARTED);
    int maxUnread = 0, pausedSteps = 0;
    for (int i = 0; i < 10000 && os::fire_next_timer(); ++i) {
        const HttpCtx *ctx = hbx_state().dl.receiveCtx;
        if (!ctx || !ctx->recvBuf || !hbx_Busy()) continue;
        const int unread = fnQXBuf_Unreadable(ctx->recvBuf);
        maxUnread = std::max(maxUnread, unread);
        if (unread > QX_HTTP_RECV_PAUSE) ++pausedSteps;
    }
    ASSERT_EQ(finals().size(), 1u);
    EXPECT_EQ(finals()[0].code, HBX_MSG_DL_OK);
    EXPECT_EQ(Bytes(out.data, out.data + out.length), msg);
    fnQX_Free(reinterpret_cast<void **>(&out.data));
    EXPECT_GT(pausedSteps, 0) << "the reader never fell behind: the case tests nothing";
    EXPECT_LE(maxUnread, QX_HTTP_RECV_PAUSE + QX_HTTP_CHUNK);
    EXPECT_EQ(os::now_ms(), 0) << "a step waited on the clock while the reader had bytes to take";
    EXPECT_EQ(os::read_steps_left(), 0);
    EXPECT_EQ(os::timers_live(), 0);
}

// A connect under way holds the first write until it completes.
TEST_F(Readiness, TheConnectsEndWakesTheFirstWrite) {
    os::reset();
    g_reports.clear();
    hbx_SetDrive(HbxDrive::Readiness);
    os::set_connect_mode(os::ConnectMode::Later);
    const Bytes pdu = send_req(5000);
    tCPS_PduBuf in{const_cast<uint8_t *>(pdu.data()), static_cast<int>(pdu.size())};
    ASSERT_EQ(fnCPS_SendMMS(&in, &settings_, record_report), HBX_MSG_SEND_STARTED);
    EXPECT_EQ(os::last_watch_events(), OSAL_WATCH_WRITE);
    EXPECT_TRUE(os::written().empty());
    ASSERT_TRUE(os::complete_connect());
    const int readyBefore = os::watches_fired_ready();
    ASSERT_TRUE(os::fire_next_timer());
    EXPECT_EQ(os::watches_fired_ready(), readyBefore + 1) << "the connect's end woke the step";
    EXPECT_EQ(os::now_ms(), 0);
    EXPECT_EQ(os::written().substr(os::written().size() - pdu.size()), str(pdu)) << "all written in one step";
    EXPECT_EQ(os::last_watch_events(), OSAL_WATCH_READ);
    os::push_read_data(http(str(send_conf(0x80))));
    os::push_read_result(0);
    os::run_timers(100);
    ASSERT_EQ(finals().size(), 1u);
    EXPECT_EQ(finals()[0].code, HBX_MSG_SEND_OK);
    EXPECT_EQ(os::now_ms(), 0);
    EXPECT_EQ(os::timers_live(), 0);
    EXPECT_EQ(os::sockets_open(), 0);
}

// A peer that never answers, or answers only with header bytes now and then:
// the idle limits end the exchange at the same virtual time on both drives
// (the readiness drive's waits time out after one step period).
TEST_F(Readiness, IdleLimitsKeepTheirTime) {
    const Bytes pdu = send_req(3000);
    const std::vector<std::vector<Step>> scripts = {
        {},
        {data("HTTP/1.0 200 OK\r\n"), rr(-2), rr(-2), data("X-A: b\r\n")},
    };
    for (const auto &script : scripts) {
        const Outcome timer = run(HbxDrive::Timer, script, &pdu, nullptr);
        const Outcome ready = run(HbxDrive::Readiness, script, &pdu, nullptr);
        for (const Outcome *o : {&timer, &ready}) {
            ASSERT_EQ(o->finals.size(), 1u);
            EXPECT_EQ(o->finals[0].code, HBX_MSG_SEND_FAIL);
        }
        EXPECT_GT(timer.virtualMs, 60000);
        EXPECT_NEAR(static_cast<double>(ready.virtualMs), static_cast<double>(timer.virtualMs), 300.0);
    }
}

}  // namespace
