// Send and download against a relay that lies, over real loopback sockets
// with the real osal on a GLib main loop. A small server in the test plays
// the relay: each connection gets the next scripted answer, and every
// request it received is kept, so each row checks the one final report,
// that nothing was leaked, and what the relay was told afterwards.
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "hbxappglib.h"
#include "qx_log.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using rrtest::operator+;
using Clock = std::chrono::steady_clock;

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// ---------------------------------------------------------------- the lying relay
struct Answer {
    std::string bytes;
    bool holdOpen = false;  // keep the connection until the client closes it
};

struct Request {
    std::string method, head, body;
};

class LyingRelay {
public:
    // On 127.0.0.1, or on ::1 with ipv6.
    explicit LyingRelay(bool ipv6 = false) : ipv6_(ipv6) {
        fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        sockaddr_storage st{};
        socklen_t len;
        if (ipv6) {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&st);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in *>(&st);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&st), len) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&st), &len) != 0) {
            if (fd_ >= 0) close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&st)->sin6_port : reinterpret_cast<sockaddr_in *>(&st)->sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~LyingRelay() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    std::string url(const std::string &path) const {
        return std::string(ipv6_ ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(port_) + path;
    }
    uint16_t port() const { return port_; }
    void script(std::vector<Answer> answers) {
        std::lock_guard<std::mutex> l(mu_);
        answers_.assign(answers.begin(), answers.end());
        seen_.clear();
    }
    std::vector<Request> seen() {
        std::lock_guard<std::mutex> l(mu_);
        return seen_;
    }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            serve(c);
            close(c);
        }
    }

    // What arrives within ms milliseconds; false once the peer has closed.
    bool recv_some(int c, std::string *to, int ms) {
        pollfd p{c, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buf[4096];
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) return false;
        to->append(buf, static_cast<size_t>(n));
        return true;
    }

    void serve(int c) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        Request r;
        std::string in;
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos)
            if (stop_ || Clock::now() > deadline || !recv_some(c, &in, 20)) return;
        r.head = in.substr(0, end + 2);
        r.method = r.head.substr(0, r.head.find(' '));
        r.body = in.substr(end + 4);
        const size_t at = r.head.find("Content-Length: ");
        const size_t want = at == std::string::npos ? 0 : std::stoul(r.head.substr(at + 16));
        while (r.body.size() < want && Clock::now() < deadline && recv_some(c, &r.body, 20)) {
        }
        Answer a{"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false};
        {
            std::lock_guard<std::mutex> l(mu_);
            seen_.push_back(r);
            if (!answers_.empty()) {
                a = answers_.front();
                answers_.pop_front();
            }
        }
        for (size_t sent = 0; sent < a.bytes.size();) {
            const ssize_t n = ::send(c, a.bytes.data() + sent, a.bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;  // the client gave up (a message too big)
            sent += static_cast<size_t>(n);
        }
        std::string ignored;
        while (a.holdOpen && !stop_ && Clock::now() < deadline && recv_some(c, &ignored, 20)) {
        }
    }

    bool ipv6_ = false;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::deque<Answer> answers_;
    std::vector<Request> seen_;
};

// ---------------------------------------------------------------- PDUs and answers
Bytes send_req(const std::string &tid) {
    return rrtest::bytes({0x8C, 0x80, 0x98}) + rrtest::text0(tid) +
           rrtest::bytes({0x8D, 0x92, 0x97}) + rrtest::text0("+15550001111") + rrtest::bytes({0x84, 0x83}) +
           rrtest::text0("hello");
}

Bytes send_conf(const std::string &tid, int status = 0x80) {
    return rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0(tid) + rrtest::bytes({0x8D, 0x92, 0x92, status});
}

Bytes retrieve_conf(const std::string &tid, const Bytes &extra = {}) {
    return rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0(tid) + rrtest::bytes({0x8D, 0x92}) + extra +
           rrtest::bytes({0x8B}) + rrtest::text0("m-1") + rrtest::bytes({0x84, 0x83}) + rrtest::text0("the message");
}

// An m-retrieve-conf with a multipart/mixed body of three text parts of 40
// bytes each.
Bytes retrieve_multipart(const std::string &tid) {
    Bytes body = rrtest::bytes({0x84, 0xA3, 0x03});
    for (int part = 0; part < 3; ++part) {
        body = body + rrtest::bytes({0x01, 40, 0x83});  // headers: 1 byte (text/plain); data: 40 bytes
        body.insert(body.end(), 40, static_cast<uint8_t>('a' + part));
    }
    return rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0(tid) + rrtest::bytes({0x8D, 0x92, 0x8B}) +
           rrtest::text0("m-3") + body;
}

Bytes notification(const std::string &tid, const std::string &location, uint32_t size) {
    return rrtest::bytes({0x8C, 0x82, 0x98}) + rrtest::text0(tid) +
           rrtest::bytes({0x8D, 0x92, 0x8E, 0x04, int(size >> 24), int((size >> 16) & 0xFF), int((size >> 8) & 0xFF),
                          int(size & 0xFF), 0x83}) +
           rrtest::text0(location);
}

std::string http(const std::string &body, const std::string &headers = "") {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string http_raw(const std::string &headers, const std::string &body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n" + headers + "\r\n" + body;
}
// A whole answer with a status other than 200 (the line after "HTTP/1.1 ").
std::string http_status(const std::string &status, const std::string &body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string chunked(const std::string &body) {
    std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += 7) {
        const std::string part = body.substr(at, 7);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        out += size + part + "\r\n";
    }
    return out + "0\r\n\r\n";
}

// ---------------------------------------------------------------- host
struct Host {
    GMainLoop *loop = nullptr;
    std::vector<int> finals;
};
Host *g_host = nullptr;

void on_result(int code, int) {
    if (code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS) return;
    g_host->finals.push_back(code);
    // A second report would come from a later step: let a few run first.
    g_timeout_add(30, [](gpointer l) {
        g_main_loop_quit(static_cast<GMainLoop *>(l));
        return G_SOURCE_REMOVE;
    }, g_host->loop);
}

class LyingNet : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        ASSERT_TRUE(relay_.ok());
        hbx_SetStepPeriod(1);
    }
    void TearDown() override {
        hbx_SetStepPeriod(HBX_STEP_PERIOD_MS);
        qx::set_log_enabled(true);
    }

    // Runs one transaction to its end; its final reports.
    template <typename Start>
    std::vector<int> run(Start start) {
        Host h;
        h.loop = g_main_loop_new(nullptr, FALSE);
        g_host = &h;
        const guint guard = g_timeout_add_seconds(20, [](gpointer l) {
            g_main_loop_quit(static_cast<GMainLoop *>(l));
            return G_SOURCE_REMOVE;
        }, h.loop);
        if (start()) g_main_loop_run(h.loop);
        g_source_remove(guard);
        g_main_loop_unref(h.loop);
        g_host = nullptr;
        return h.finals;
    }

    LyingRelay relay_;
};

struct Row {
    const char *name;
    std::vector<Answer> answers;
    int code;
};

// ================================================================ send
TEST_F(LyingNet, SendBelievesOnlyItsOwnConfirmation) {
    const Bytes pdu = send_req("tx-7");
    const std::string good = str(send_conf("tx-7"));
    const std::string denied = str(rrtest::bytes({0x92, 0x82}));  // a Response-Status that must not be read
    const std::vector<Row> rows = {
        {"Response-Status alone", {{http(str(rrtest::bytes({0x92, 0x80})))}}, HBX_MSG_SEND_FAIL},
        {"another transaction's confirmation", {{http(str(send_conf("tx-8")))}}, HBX_MSG_SEND_FAIL},
        {"typed m-retrieve-conf", {{http(str(rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0("tx-7") +
                                             rrtest::bytes({0x8D, 0x92, 0x92, 0x80})))}},
         HBX_MSG_SEND_FAIL},
        {"Message-Type not first", {{http(str(rrtest::bytes({0x98}) + rrtest::text0("tx-7") +
                                              rrtest::bytes({0x8C, 0x81, 0x8D, 0x92, 0x92, 0x80})))}},
         HBX_MSG_SEND_FAIL},
        {"no MMS-Version", {{http(str(rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0("tx-7") +
                                      rrtest::bytes({0x92, 0x80})))}},
         HBX_MSG_SEND_FAIL},
        {"no Response-Status", {{http(str(rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0("tx-7") +
                                          rrtest::bytes({0x8D, 0x92})))}},
         HBX_MSG_SEND_FAIL},
        {"Content-Length 0, then a confirmation", {{http_raw("Content-Length: 0\r\n", good)}}, HBX_MSG_SEND_FAIL},
        {"Content-Length beyond the close", {{http_raw("Content-Length: 500\r\n", good)}}, HBX_MSG_SEND_FAIL},
        {"two Content-Lengths", {{http_raw("Content-Length: 16\r\nContent-Length: 14\r\n", good)}},
         HBX_MSG_SEND_FAIL},
        {"gzip-coded", {{http(good, "Content-Encoding: gzip\r\n")}}, HBX_MSG_SEND_FAIL},
        // Only 200 carries an answer; the framing is read the same strict way
        // as the download's.
        {"201 Created", {{http_status("201 Created", good)}}, HBX_MSG_SEND_FAIL},
        {"206 Partial Content", {{http_status("206 Partial Content", good)}}, HBX_MSG_SEND_FAIL},
        {"HTTP/2 status line", {{"HTTP/2 200\r\nContent-Length: " + std::to_string(good.size()) + "\r\n\r\n" + good}},
         HBX_MSG_SEND_FAIL},
        {"empty Content-Length", {{http_raw("Content-Length:\r\n", good)}}, HBX_MSG_SEND_FAIL},
        {"negative Content-Length", {{http_raw("Content-Length: -1\r\n", good)}}, HBX_MSG_SEND_FAIL},
        {"Content-Length with a sign", {{http_raw("Content-Length: +" + std::to_string(good.size()) + "\r\n", good)}},
         HBX_MSG_SEND_FAIL},
        {"gzip, chunked over a plain body", {{http_raw("Transfer-Encoding: gzip, chunked\r\n", good)}},
         HBX_MSG_SEND_FAIL},
        // The stated length ends the confirmation: what follows is not read,
        // and the connection need not close.
        {"bytes beyond the length, held open", {{http_raw("Content-Length: " + std::to_string(good.size()) + "\r\n",
                                                          good + denied),
                                                 true}},
         HBX_MSG_SEND_OK},
        {"chunked", {{chunked(good)}}, HBX_MSG_SEND_OK},
        {"a refusal of ours", {{http(str(send_conf("tx-7", 0x86)))}}, HBX_MSG_NETWORK_PROBLEM},
        {"identity coding", {{http(good, "Content-Encoding: identity\r\n")}}, HBX_MSG_SEND_OK},
    };
    MmsSettings settings{"LieUA", nullptr, nullptr, nullptr, nullptr};
    const std::string url = relay_.url("/mms");
    settings.ServerAddr = url.c_str();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        relay_.script(r.answers);
        const long blocks = qx::alloc_stats().liveBlocks;
        Bytes copy = pdu;
        tCPS_PduBuf buf{copy.data(), static_cast<int>(copy.size())};
        const auto finals = run([&] { return fnCPS_SendMMS(&buf, &settings, on_result) == HBX_MSG_SEND_STARTED; });
        ASSERT_EQ(finals.size(), 1u) << "exactly one final report";
        EXPECT_EQ(finals[0], r.code);
        EXPECT_FALSE(hbx_Busy());
        EXPECT_EQ(qx::alloc_stats().liveBlocks, blocks) << "blocks leaked";
        const auto seen = relay_.seen();
        ASSERT_EQ(seen.size(), 1u) << "one POST, nothing after it";
        EXPECT_EQ(seen[0].body, str(pdu));
    }
}

// ================================================================ download
TEST_F(LyingNet, DownloadHandsOverOnlyARetrievedMessage) {
    const std::string msg = str(retrieve_conf("dl-1"));
    const std::string three = str(retrieve_multipart("dl-1"));
    const std::string cutInThird = three.substr(0, three.size() - 13);
    const std::string cutInCount = three.substr(0, three.find("\x84\xA3") + 2);
    const std::vector<Row> rows = {
        // Cut short, with a Content-Length that matches what is sent: the
        // HTTP exchange is whole, the message is not.
        {"cut in part 3 of 3, length matching", {{http(cutInThird)}}, HBX_MSG_DL_FAIL_NOR},
        {"cut before its entry count, length matching", {{http(cutInCount)}}, HBX_MSG_DL_FAIL_NOR},
        {"cut in part 1 of 3, length matching", {{http(three.substr(0, three.size() - 90))}}, HBX_MSG_DL_FAIL_NOR},
        // The relay's length=fewer: the stated length ends the body early.
        {"Content-Length fewer than the body",
         {{http_raw("Content-Length: " + std::to_string(three.size() / 2) + "\r\n", three)}},
         HBX_MSG_DL_FAIL_NOR},
        {"cut, without a length, the connection closed", {{http_raw("", cutInThird)}}, HBX_MSG_DL_FAIL_NOR},
        {"three whole parts", {{http(three)}}, HBX_MSG_DL_OK},
        {"three whole parts, chunked", {{chunked(three)}}, HBX_MSG_DL_OK},
        {"Retrieve-Status message not found", {{http(str(retrieve_conf("dl-1", rrtest::bytes({0x99, 0xE2}))))}},
         HBX_MSG_DL_FAIL_NOR},
        {"Retrieve-Status transient failure", {{http(str(retrieve_conf("dl-1", rrtest::bytes({0x99, 0xC0}))))}},
         HBX_MSG_DL_FAIL_NOR},
        {"gzip bytes", {{http("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", "Content-Encoding: gzip\r\n")}},
         HBX_MSG_DL_FAIL_NOR},
        {"a good message, gzip-labelled", {{http(msg, "Content-Encoding: gzip\r\n")}}, HBX_MSG_DL_FAIL_NOR},
        {"Message-Type not first", {{http(msg.substr(2) + msg.substr(0, 2))}}, HBX_MSG_DL_FAIL_NOR},
        {"an m-send-conf", {{http(str(send_conf("dl-1")))}}, HBX_MSG_DL_FAIL_NOR},
        {"Content-Length 0, then the message", {{http_raw("Content-Length: 0\r\n", msg)}}, HBX_MSG_DL_FAIL_NOR},
        {"206 Partial Content", {{http_status("206 Partial Content", msg)}}, HBX_MSG_DL_FAIL_NOR},
        {"203 Non-Authoritative", {{http_status("203 Non-Authoritative Information", msg)}}, HBX_MSG_DL_FAIL_NOR},
        {"empty Content-Length", {{http_raw("Content-Length:\r\n", msg)}}, HBX_MSG_DL_FAIL_NOR},
        {"negative Content-Length", {{http_raw("Content-Length: -1\r\n", msg)}}, HBX_MSG_DL_FAIL_NOR},
        {"Content-Length with a sign", {{http_raw("Content-Length: +" + std::to_string(msg.size()) + "\r\n", msg)}},
         HBX_MSG_DL_FAIL_NOR},
        {"Content-Length beyond the close", {{http_raw("Content-Length: 900\r\n", msg)}}, HBX_MSG_DL_FAIL_NOR},
        {"two Content-Lengths", {{http_raw("Content-Length: 40\r\nContent-Length: " + std::to_string(msg.size()) +
                                               "\r\n",
                                           msg)}},
         HBX_MSG_DL_FAIL_NOR},
        {"Retrieve-Status Ok", {{http(str(retrieve_conf("dl-1", rrtest::bytes({0x99, 0x80}))))}}, HBX_MSG_DL_OK},
        {"bytes beyond the length, held open",
         {{http_raw("Content-Length: " + std::to_string(msg.size()) + "\r\n", msg + "\x8C\x82 trailing"), true}},
         HBX_MSG_DL_OK},
        {"chunked", {{chunked(msg)}}, HBX_MSG_DL_OK},
    };
    const std::string location = relay_.url("/msg/1");
    const std::string server = relay_.url("/mms");
    MmsSettings settings{"LieUA", nullptr, nullptr, nullptr, server.c_str()};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        relay_.script(r.answers);
        const long blocks = qx::alloc_stats().liveBlocks;
        Bytes notif = notification("dl-1", location, 2000);
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        const auto finals =
            run([&] { return fnCPS_DownloadMMS(&in, 3, &settings, on_result, &out) == HBX_MSG_DL_STARTED; });
        ASSERT_EQ(finals.size(), 1u) << "exactly one final report";
        EXPECT_EQ(finals[0], r.code);
        const auto seen = relay_.seen();
        ASSERT_GE(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, "GET");
        if (r.code == HBX_MSG_DL_OK) {
            // The host has the message exactly as stated; the relay was told
            // it was retrieved.
            const std::string got(reinterpret_cast<const char *>(out.data), static_cast<size_t>(out.length));
            EXPECT_EQ(got.substr(0, 2), "\x8C\x84");
            EXPECT_TRUE(got == msg || got == three || got == str(retrieve_conf("dl-1", rrtest::bytes({0x99, 0x80}))))
                << "the message exactly as sent";
            EXPECT_EQ(out.data[out.length], 0) << "a zero byte follows the message";
            EXPECT_EQ(got.find("trailing"), std::string::npos);
            ASSERT_EQ(seen.size(), 2u);
            EXPECT_EQ(seen[1].method, "POST");
            const Bytes answer(seen[1].body.begin(), seen[1].body.end());
            tMMS_NotifyRespInd *ind = fnMMS_ParseNotifyRespInd(answer.data(), static_cast<int>(answer.size()));
            ASSERT_NE(ind, nullptr);
            EXPECT_STREQ(ind->Transaction_Id, "dl-1");
            EXPECT_EQ(ind->Status, 0x81);
            fnMMS_FreeMessageMem(ind, MMS_STRUCT_NOTIFYRESP_IND);
            fnQX_Free(reinterpret_cast<void **>(&out.data));
        } else {
            // Nothing for the host, and nothing posted to the relay: it is
            // never told "retrieved" for a message the host did not get.
            EXPECT_EQ(out.data, nullptr);
            EXPECT_EQ(seen.size(), 1u) << "no answer after a failed download";
        }
        EXPECT_FALSE(hbx_Busy());
        EXPECT_EQ(qx::alloc_stats().liveBlocks, blocks) << "blocks leaked";
    }
}

// A notification that announces far more than a download takes, and a relay
// that streams without a length: too big as soon as the limit is passed, with
// memory bounded by what arrived, never by what was announced.
TEST_F(LyingNet, TooBigByTheBytesReceived) {
    const std::string location = relay_.url("/msg/big");
    const std::string server = relay_.url("/mms");
    MmsSettings settings{nullptr, nullptr, nullptr, nullptr, server.c_str()};
    for (uint32_t announced : {50000000u, 2000000000u, 1000u}) {
        SCOPED_TRACE(announced);
        std::string body = str(retrieve_conf("big"));
        body.resize(4 * 1024 * 1024, 'x');
        relay_.script({{http_raw("", body)}});
        const long blocks = qx::alloc_stats().liveBlocks;
        qx::alloc_peak_reset();
        Bytes notif = notification("big", location, announced);
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        const auto finals =
            run([&] { return fnCPS_DownloadMMS(&in, 3, &settings, on_result, &out) == HBX_MSG_DL_STARTED; });
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0], HBX_MSG_DL_MSG_TOOBIG);
        EXPECT_EQ(out.data, nullptr);
        EXPECT_EQ(relay_.seen().size(), 1u);
        // The buffer (doubling up to the limit, old and new side by side
        // while it grows) and the receive buffer.
        EXPECT_LT(qx::alloc_peak_bytes(), 2L * HBX_MAX_RECEIVED + 64 * 1024);
        EXPECT_EQ(qx::alloc_stats().liveBlocks, blocks);
    }
}

// A host of its own may take larger messages than the exported download's
// 307200 bytes: up to its limit whole, one byte more too big, the limit gone
// again when it is cleared; a limit outside 1 KB..100 MB is refused.
TEST_F(LyingNet, AHostsOwnDownloadLimit) {
    const std::string location = relay_.url("/msg/large");
    const std::string server = relay_.url("/mms");
    MmsSettings settings{nullptr, nullptr, nullptr, nullptr, server.c_str()};
    constexpr uint32_t kLimit = 1228800;
    EXPECT_FALSE(hbx_SetMaxMessageSize(100));
    EXPECT_FALSE(hbx_SetMaxMessageSize(HBX_MAX_MESSAGE_LIMIT + 1));
    EXPECT_EQ(hbx_MaxMessageSize(), static_cast<uint32_t>(HBX_MAX_MESSAGE_SIZE));
    struct Row {
        const char *name;
        uint32_t limit;  // 0: the library's own
        size_t size;
        bool stated;  // a Content-Length, else the body ends with the connection
        int code;
    };
    const Row rows[] = {
        {"600 KB, the library's limit", 0, 600000, true, HBX_MSG_DL_MSG_TOOBIG},
        {"600 KB within the host's", kLimit, 600000, true, HBX_MSG_DL_OK},
        {"600 KB without a length within the host's", kLimit, 600000, false, HBX_MSG_DL_OK},
        {"exactly the host's limit", kLimit, kLimit, true, HBX_MSG_DL_OK},
        {"one byte above the host's limit", kLimit, kLimit + 1, true, HBX_MSG_DL_MSG_TOOBIG},
        {"above it without a length", kLimit, kLimit + 5000, false, HBX_MSG_DL_MSG_TOOBIG},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(hbx_SetMaxMessageSize(r.limit));
        std::string body = str(retrieve_conf("large"));
        body.resize(r.size, 'x');
        relay_.script({{r.stated ? http(body) : http_raw("", body)}});
        const long blocks = qx::alloc_stats().liveBlocks;
        Bytes notif = notification("large", location, static_cast<uint32_t>(r.size));
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        const auto finals =
            run([&] { return fnCPS_DownloadMMS(&in, 3, &settings, on_result, &out) == HBX_MSG_DL_STARTED; });
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0], r.code);
        if (r.code == HBX_MSG_DL_OK) {
            ASSERT_NE(out.data, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.data), static_cast<size_t>(out.length)), body);
            fnQX_Free(reinterpret_cast<void **>(&out.data));
        } else {
            EXPECT_EQ(out.data, nullptr);
        }
        EXPECT_EQ(qx::alloc_stats().liveBlocks, blocks);
    }
    ASSERT_TRUE(hbx_SetMaxMessageSize(0));
    EXPECT_EQ(hbx_MaxMessageSize(), static_cast<uint32_t>(HBX_MAX_MESSAGE_SIZE));
}

// An IPv6 literal in the relay URL, and as the proxy, connects over IPv6 to
// ::1: the whole send and download, the request naming the host in brackets.
TEST_F(LyingNet, SendAndDownloadOverIpv6Loopback) {
    LyingRelay v6(true);
    if (!v6.ok()) GTEST_SKIP() << "no IPv6 loopback here";
    const std::string server = v6.url("/mms");
    const std::string location = v6.url("/msg/6");
    const std::string port = std::to_string(v6.port());
    for (const bool viaProxy : {false, true}) {
        SCOPED_TRACE(viaProxy ? "through the proxy [::1]" : "direct to [::1]");
        MmsSettings settings{"V6UA", nullptr, viaProxy ? "::1" : nullptr, viaProxy ? port.c_str() : nullptr,
                             server.c_str()};
        const Bytes pdu = send_req("v6-1");
        v6.script({{http(str(send_conf("v6-1")))}});
        Bytes copy = pdu;
        tCPS_PduBuf buf{copy.data(), static_cast<int>(copy.size())};
        auto finals = run([&] { return fnCPS_SendMMS(&buf, &settings, on_result) == HBX_MSG_SEND_STARTED; });
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0], HBX_MSG_SEND_OK);
        auto seen = v6.seen();
        ASSERT_EQ(seen.size(), 1u);
        const std::string line = seen[0].head.substr(0, seen[0].head.find("\r\n"));
        EXPECT_EQ(line, viaProxy ? "POST " + server + " HTTP/1.0" : "POST /mms HTTP/1.0");
        EXPECT_NE(seen[0].head.find("\r\nHost: [::1]:" + port + "\r\n"), std::string::npos) << seen[0].head;

        const std::string three = str(retrieve_multipart("v6-2"));
        v6.script({{http(three)}});
        Bytes notif = notification("v6-2", location, 2000);
        tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
        tCPS_PduBuf out{};
        finals = run([&] { return fnCPS_DownloadMMS(&in, 3, &settings, on_result, &out) == HBX_MSG_DL_STARTED; });
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0], HBX_MSG_DL_OK);
        ASSERT_NE(out.data, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.data), static_cast<size_t>(out.length)), three);
        fnQX_Free(reinterpret_cast<void **>(&out.data));
        seen = v6.seen();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].method, "GET");
        EXPECT_EQ(seen[1].method, "POST");
    }
}

// Userinfo in a relay URL or a Location is refused and never looked up or
// connected to: the transaction fails, nothing reaches the relay.
TEST_F(LyingNet, UserinfoIsRefusedNotConnected) {
    // Read the old way, the host before '@' (the relay itself) would get it.
    const std::string port = std::to_string(relay_.port());
    const std::string tricky = "http://127.0.0.1:" + port + "@127.0.0.2:" + port + "/mms";
    MmsSettings settings{nullptr, nullptr, nullptr, nullptr, tricky.c_str()};
    relay_.script({{http(str(send_conf("u-1")))}});
    const Bytes pdu = send_req("u-1");
    Bytes copy = pdu;
    tCPS_PduBuf buf{copy.data(), static_cast<int>(copy.size())};
    const auto finals = run([&] { return fnCPS_SendMMS(&buf, &settings, on_result) == HBX_MSG_SEND_STARTED; });
    // Refused before a byte goes out: either not started or failed once.
    EXPECT_LE(finals.size(), 1u);
    if (!finals.empty()) { EXPECT_EQ(finals[0], HBX_MSG_SEND_FAIL); }
    EXPECT_TRUE(relay_.seen().empty());
    EXPECT_FALSE(hbx_Busy());
}

}  // namespace
