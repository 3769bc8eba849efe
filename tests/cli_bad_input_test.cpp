// Bad input for every command of the tool: a missing file, a file that is no
// MMS PDU, a truncated PDU, an unreachable relay or proxy, a relay that
// answers garbage. Each must end with exactly one line on stderr naming the
// problem (progress lines aside), a non-zero exit status, no crash, and no
// output file or directory left behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "cli_run.h"
#include "rorodire.h"
#include "test_support.h"

namespace {

using rrtest::cli::Outcome;
using rrtest::cli::TempDir;
using rrtest::cli::run_tool;
using rrtest::cli::slurp;

// A port on loopback where nothing listens.
int closed_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// An HTTP server on loopback that reads each request whole and answers 200
// with bytes that are no MMS PDU.
class GarbageRelay {
public:
    GarbageRelay() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~GarbageRelay() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/mms"; }

private:
    void serve() {
        while (!stop_) {
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            timeval tv{2, 0};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::string req;
            char buf[8192];
            size_t want = std::string::npos;
            while (req.size() < want) {
                const ssize_t r = recv(c, buf, sizeof buf, 0);
                if (r <= 0) break;
                req.append(buf, static_cast<size_t>(r));
                const size_t head = req.find("\r\n\r\n");
                if (head != std::string::npos && want == std::string::npos) {
                    const size_t cl = req.find("Content-Length:");
                    want = head + 4 + (cl != std::string::npos && cl < head ? std::stoul(req.substr(cl + 15)) : 0);
                }
            }
            const std::string answer =
                "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: 24\r\n\r\n"
                "\x01\x02 this is no MMS PDU \xff\xfe";
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            close(c);
        }
    }
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A notification announcing a message at `location`.
std::string notification(const std::string &location) {
    tMMS_NotifyInd n{};
    n.Transaction_Id = const_cast<char *>("T-bad-input");
    n.Content_Location = const_cast<char *>(location.c_str());
    n.Message_Size = 1000;
    n.Message_Class = 0x80;
    n.Expiry = 3600;
    n.Expiry_Token = 0x81;
    int len = 0;
    uint8_t *p = fnMMS_MakeNotificationIndPdu(&n, &len);
    std::string s(reinterpret_cast<char *>(p), static_cast<size_t>(len));
    void *v = p;
    fnQX_Free(&v);
    return s;
}

// stderr lines that are not progress reports.
std::vector<std::string> problem_lines(const Outcome &r) {
    std::vector<std::string> v;
    for (const auto &l : r.err_lines())
        if (l.rfind("progress ", 0) != 0 && l.find("\r[") == std::string::npos) v.push_back(l);
    return v;
}

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

TEST(CliBadInput, EveryCommandFailsWithOneClearLine) {
    TempDir d;
    const std::string s = std::string(RR_SOURCE_DIR) + "/samples/";
    // A real send request and retrieved message to cut short.
    Outcome c = run_tool({"compose", "-o", d.file("req.mms"), "--to", "+15550100002", "--slide",
                          "image=" + s + "photo.jpg,text=" + s + "hello.txt", "--attach", s + "contact.vcf"});
    ASSERT_EQ(c.status, 0) << c.err;
    const std::string req = slurp(d.file("req.mms"));
    const std::string conf = slurp(rrtest::interop_path("m-retrieve_2.conf"));
    ASSERT_GT(conf.size(), 200u);
    const std::string missing = d.file("missing.mms");
    const std::string text = d.write("text.txt", "Just a text file.\n");
    const std::string confHead = d.write("conf-head.mms", conf.substr(0, 30));
    const std::string confBody = d.write("conf-body.mms", conf.substr(0, conf.size() - 100));
    const std::string reqCut = d.write("req-cut.mms", req.substr(0, req.size() / 2));
    const std::string reqHead = d.write("req-head.mms", req.substr(0, 12));
    GarbageRelay garbage;
    const std::string dead = "http://127.0.0.1:" + std::to_string(closed_port()) + "/mms";
    const std::string deadProxy = "127.0.0.1:" + std::to_string(closed_port());
    const std::string indDead = d.write("dead.ind", notification(dead + "/msg/1"));
    const std::string indGarbage = d.write("garbage.ind", notification(garbage.url() + "/msg/1"));
    const std::string indCut = d.write("cut.ind", notification(dead + "/msg/1").substr(0, 20));
    const std::string out = d.file("out");  // every row's output; it must never appear

    struct Row {
        const char *what;
        std::vector<std::string> args;
        const char *says;  // a fragment of the one stderr line
    };
    const std::vector<Row> rows = {
        {"dump: missing file", {"dump", missing}, "missing.mms"},
        {"dump: not an MMS PDU", {"dump", text}, "not an MMS PDU"},
        {"dump: retrieved message cut in its header", {"dump", confHead}, "cut short"},
        {"dump: retrieved message cut in its body", {"dump", confBody}, "cut short in part"},
        {"parse: missing file", {"parse", missing}, "missing.mms"},
        {"parse: not an MMS PDU", {"parse", text}, "not"},
        {"parse: retrieved message cut in its body", {"parse", confBody}, "cut short"},
        {"parse: send request cut short", {"parse", reqCut}, "cut short"},
        {"parse --html: cut short", {"parse", "--html", out, confBody}, "cut short"},
        {"parse --extract: not an MMS PDU", {"parse", "--extract", out, text}, "not"},
        {"parse --html: missing file", {"parse", "--html", out, missing}, "missing.mms"},
        {"compose: missing media file", {"compose", "-o", out, "--slide", "image=" + missing}, "missing.mms"},
        {"compose: missing attachment", {"compose", "-o", out, "--attach", missing}, "missing.mms"},
        {"send: missing file", {"send", "--relay", dead, missing}, "missing.mms"},
        {"send: not an MMS PDU", {"send", "--relay", dead, text}, "not an MMS PDU"},
        {"send: not a send request", {"send", "--relay", dead, indDead}, "not an m-send-req"},
        {"send: send request cut short", {"send", "--relay", dead, reqHead}, "cut short"},
        {"send: unreachable relay", {"send", "--relay", dead, d.file("req.mms")}, "cannot connect to the relay"},
        {"send: unreachable proxy", {"send", "--relay", dead, "--proxy", deadProxy, d.file("req.mms")},
         "cannot connect to the proxy"},
        {"send: relay answers garbage", {"send", "--relay", garbage.url(), d.file("req.mms")}, "not sent"},
        {"fetch: missing file", {"fetch", "--relay", dead, missing, "-o", out}, "missing.mms"},
        {"fetch: not an MMS PDU", {"fetch", "--relay", dead, text, "-o", out}, "not an MMS PDU"},
        {"fetch: not a notification", {"fetch", "--relay", dead, d.file("req.mms"), "-o", out},
         "not an m-notification-ind"},
        {"fetch: notification cut short", {"fetch", "--relay", dead, indCut, "-o", out}, "cut.ind"},
        {"fetch: unreachable relay", {"fetch", "--relay", dead, indDead, "-o", out}, "cannot connect to the relay"},
        {"fetch: unreachable proxy", {"fetch", "--relay", dead, "--proxy", deadProxy, indDead, "-o", out},
         "cannot connect to the proxy"},
        {"fetch: relay answers garbage", {"fetch", "--relay", garbage.url(), indGarbage, "-o", out},
         "not retrieved"},
        {"relay: spool folder cannot be made", {"relay", "--spool", text + "/spool"}, "spool"},
        {"example: output folder cannot be made", {"example", text + "/x"}, "x"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome r = run_tool(row.args, 60);
        EXPECT_EQ(r.signal, 0) << "crashed or hung";
        EXPECT_GT(r.status, 0);
        const auto lines = problem_lines(r);
        ASSERT_EQ(lines.size(), 1u) << "stderr:\n" << r.err;
        EXPECT_NE(lines[0].find(row.says), std::string::npos) << lines[0];
        EXPECT_FALSE(exists(out)) << "left " << out << " behind";
        std::system(("rm -rf " + rrtest::cli::quote(out)).c_str());
    }
}

}  // namespace
