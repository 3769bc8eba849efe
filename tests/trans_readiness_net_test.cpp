// The readiness drive over real loopback sockets with the real osal on a
// GLib main loop, the step period left at its 100 ms: a 300 KB send and a
// 300 KB download go through a small server in the test, whole and in far
// fewer steps than 2048 bytes a step would need.
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

#include "hbxappglib.h"
#include "qx_log.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using rrtest::operator+;
using Clock = std::chrono::steady_clock;

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Answers each connection with the next scripted answer after reading its
// whole request; keeps the requests.
class Server {
public:
    Server() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return port_ != 0; }
    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    void script(std::vector<std::string> answers) {
        std::lock_guard<std::mutex> l(mu_);
        answers_.assign(answers.begin(), answers.end());
        seen_.clear();
    }
    std::vector<std::string> seen() {
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
    void serve(int c) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        std::string in;
        size_t end = std::string::npos, want = 0;
        char buf[65536];
        while (Clock::now() < deadline && !stop_) {
            if (end == std::string::npos && (end = in.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = in.find("Content-Length: ");
                want = at != std::string::npos && at < end ? std::stoul(in.substr(at + 16)) : 0;
            }
            if (end != std::string::npos && in.size() >= end + 4 + want) break;
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            in.append(buf, static_cast<size_t>(n));
        }
        std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
        {
            std::lock_guard<std::mutex> l(mu_);
            seen_.push_back(in);
            if (!answers_.empty()) {
                answer = answers_.front();
                answers_.pop_front();
            }
        }
        for (size_t sent = 0; sent < answer.size();) {
            const ssize_t n = ::send(c, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::deque<std::string> answers_;
    std::vector<std::string> seen_;
};

std::string http(const std::string &body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Host {
    GMainLoop *loop = nullptr;
    std::vector<int> finals, progress;
};
Host *g_host = nullptr;

void on_result(int code, int value) {
    if (code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS) {
        g_host->progress.push_back(value);
        return;
    }
    g_host->finals.push_back(code);
    g_main_loop_quit(g_host->loop);
}

class ReadinessNet : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        ASSERT_TRUE(server_.ok());
        hbx_SetDrive(HbxDrive::Readiness);
    }
    void TearDown() override {
        hbx_SetDrive(HbxDrive::Timer);
        qx::set_log_enabled(true);
    }
    template <typename Start>
    Host run(Start start) {
        Host h;
        h.loop = g_main_loop_new(nullptr, FALSE);
        g_host = &h;
        const guint guard = g_timeout_add_seconds(30, [](gpointer l) {
            g_main_loop_quit(static_cast<GMainLoop *>(l));
            return G_SOURCE_REMOVE;
        }, h.loop);
        if (start()) g_main_loop_run(h.loop);
        g_source_remove(guard);
        g_main_loop_unref(h.loop);
        g_host = nullptr;
        return h;
    }
    static void expect_rising(const std::vector<int> &p) {
        for (size_t i = 1; i < p.size(); ++i) EXPECT_GT(p[i], p[i - 1]);
    }
    Server server_;
};

TEST_F(ReadinessNet, A300KBSendAndDownloadGoThroughWhole) {
    // The send.
    Bytes pdu = rrtest::bytes({0x8C, 0x80, 0x98}) + rrtest::text0("big-1") + rrtest::bytes({0x8D, 0x92, 0x84, 0x83});
    while (pdu.size() < 300 * 1024) pdu.push_back(static_cast<uint8_t>(pdu.size() * 13));
    const Bytes conf = rrtest::bytes({0x8C, 0x81, 0x98}) + rrtest::text0("big-1") + rrtest::bytes({0x8D, 0x92, 0x92, 0x80});
    server_.script({http(str(conf))});
    const std::string relay = server_.url("/mms");
    MmsSettings settings{nullptr, nullptr, nullptr, nullptr, relay.c_str()};
    tCPS_PduBuf in{pdu.data(), static_cast<int>(pdu.size())};
    const Host sent = run([&] { return fnCPS_SendMMS(&in, &settings, on_result) == HBX_MSG_SEND_STARTED; });
    ASSERT_EQ(sent.finals, std::vector<int>{HBX_MSG_SEND_OK});
    ASSERT_EQ(server_.seen().size(), 1u);
    const std::string req = server_.seen()[0];
    EXPECT_EQ(req.substr(req.size() - pdu.size()), str(pdu));
    // 2048 bytes a step would need 150 steps for the request alone.
    EXPECT_LT(hbx_state().stepCount, 150u);
    expect_rising(sent.progress);

    // The download, with its answer.
    Bytes msg = rrtest::bytes({0x8C, 0x84, 0x98}) + rrtest::text0("big-2") + rrtest::bytes({0x8D, 0x92, 0x8B}) +
                rrtest::text0("m-2") + rrtest::bytes({0x84, 0x83});
    while (msg.size() < 300 * 1024) msg.push_back(static_cast<uint8_t>('a' + msg.size() % 26));
    server_.script({http(str(msg)), "HTTP/1.0 204 No Content\r\n\r\n"});
    const std::string location = server_.url("/get/2");
    const Bytes notif = rrtest::bytes({0x8C, 0x82, 0x98}) + rrtest::text0("big-2") +
                        rrtest::bytes({0x8D, 0x92, 0x8E, 0x03, 0x04, 0xB0, 0x00, 0x83}) + rrtest::text0(location);
    tCPS_PduBuf nb{const_cast<uint8_t *>(notif.data()), static_cast<int>(notif.size())}, out{};
    const Host got =
        run([&] { return fnCPS_DownloadMMS(&nb, 3, &settings, on_result, &out) == HBX_MSG_DL_STARTED; });
    ASSERT_EQ(got.finals, std::vector<int>{HBX_MSG_DL_OK});
    ASSERT_NE(out.data, nullptr);
    EXPECT_EQ(Bytes(out.data, out.data + out.length), msg);
    fnQX_Free(reinterpret_cast<void **>(&out.data));
    EXPECT_LT(hbx_state().stepCount, 150u);
    expect_rising(got.progress);
    ASSERT_EQ(server_.seen().size(), 2u);
    EXPECT_NE(server_.seen()[1].find("POST /mms"), std::string::npos) << "the answer went to the relay";
}

}  // namespace
