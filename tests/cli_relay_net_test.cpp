// End to end on loopback, the way a host runs: `rorodire relay` (libsoup)
// and tinyproxy are started by the test on free ports; the library's send
// and download transactions run with the real osal on a GLib main loop
// through the proxy against the relay. Also the `send` / `fetch` commands as
// a user runs them, and tshark as an independent reader of the relay's PDUs.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "hbxappglib.h"
#include "qx_log.h"
#include "cli_run.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using Clock = std::chrono::steady_clock;

std::string make_temp_dir() {
    char tmpl[] = "/tmp/rr_relay_test_XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

void remove_tree(const std::string &dir) {
    if (dir.empty()) return;
    std::system(("rm -rf '" + dir + "'").c_str());
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool write_bytes(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    return static_cast<bool>(f);
}

uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool port_open(uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return up;
}

void stop_child(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

// ---------------------------------------------------------------- JSON lines
// The value of a string key in one JSON line ("" when absent).
std::string jstr(const std::string &line, const std::string &key, size_t from = 0) {
    const std::string k = "\"" + key + "\":\"";
    const size_t at = line.find(k, from);
    if (at == std::string::npos) return "";
    const size_t s = at + k.size();
    return line.substr(s, line.find('"', s) - s);
}
std::vector<std::string> jstrs(const std::string &line, const std::string &key) {
    std::vector<std::string> out;
    const std::string k = "\"" + key + "\":\"";
    for (size_t at = line.find(k); at != std::string::npos; at = line.find(k, at + 1)) out.push_back(jstr(line, key, at));
    return out;
}
long jnum(const std::string &line, const std::string &key) {
    const std::string k = "\"" + key + "\":";
    const size_t at = line.find(k);
    return at == std::string::npos ? -1 : std::atol(line.c_str() + at + k.size());
}
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t s = 0;
    for (size_t e; (e = text.find('\n', s)) != std::string::npos; s = e + 1) out.push_back(text.substr(s, e - s));
    return out;
}

// The value of an XML attribute after position at.
std::string jstr_attr(const std::string &xml, size_t at, const std::string &attr) {
    const std::string k = attr + "=\"";
    const size_t s = xml.find(k, at);
    if (s == std::string::npos) return "";
    return xml.substr(s + k.size(), xml.find('"', s + k.size()) - s - k.size());
}

// ---------------------------------------------------------------- processes
class Relay {
public:
    // The relay's descriptor limit (0: the test's own).
    void set_fd_limit(rlim_t n) { fdLimit_ = n; }

    bool start(const std::vector<std::string> &extra = {}) {
        dir_ = make_temp_dir();
        if (dir_.empty()) return false;
        pid_ = fork();
        if (pid_ == 0) {
            const int err = open((dir_ + "/relay.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            if (fdLimit_) {
                const rlimit r{fdLimit_, fdLimit_};
                setrlimit(RLIMIT_NOFILE, &r);
            }
            std::vector<std::string> args = {RR_BINARY_DIR "/rorodire", "relay", "--port", "0", "--spool",
                                             dir_ + "/spool", "--log", dir_ + "/relay.jsonl"};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        std::string err;
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until && err.find('\n') == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            err = stderr_text();
        }
        const size_t at = err.find("listening on ");
        if (at == std::string::npos) return false;
        url_ = err.substr(at + 13, err.find(' ', at + 13) - at - 13);  // .../mms
        base_ = url_.substr(0, url_.rfind('/'));
        return true;
    }
    ~Relay() {
        stop_child(pid_);
        remove_tree(dir_);
    }
    const std::string &url() const { return url_; }
    const std::string &base() const { return base_; }
    std::vector<std::string> log() const { return lines_of(slurp(dir_ + "/relay.jsonl")); }
    std::string stderr_text() const { return slurp(dir_ + "/relay.err"); }
    const std::string &dir() const { return dir_; }
    pid_t pid() const { return pid_; }
    int port() const { return std::atoi(base_.c_str() + base_.rfind(':') + 1); }

private:
    pid_t pid_ = -1;
    rlim_t fdLimit_ = 0;
    std::string dir_, url_, base_;
};

class Tinyproxy {
public:
    bool start(std::string *why) {
        std::string bin;
        for (const char *p : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"})
            if (access(p, X_OK) == 0) bin = p;
        if (bin.empty()) {
            *why = "tinyproxy is not installed";
            return false;
        }
        dir_ = make_temp_dir();
        port_ = free_port();
        const std::string conf = dir_ + "/tinyproxy.conf";
        std::ofstream(conf) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 20\nAllow 127.0.0.1\n"
                            << "MaxClients 20\nLogLevel Warning\nDisableViaHeader Yes\n";
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open((dir_ + "/tinyproxy.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            execl(bin.c_str(), "tinyproxy", "-d", "-c", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            if (port_open(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        *why = "tinyproxy did not start";
        return false;
    }
    ~Tinyproxy() {
        stop_child(pid_);
        remove_tree(dir_);
    }
    std::string port() const { return std::to_string(port_); }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string dir_;
};

// ---------------------------------------------------------------- host
struct HostRun {
    std::vector<std::pair<int, int>> reports;
    GMainLoop *loop = nullptr;
    int final = -1;
};
HostRun *g_host = nullptr;

void host_cb(int code, int value) {
    g_host->reports.push_back({code, value});
    if (code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS) return;
    g_host->final = code;
    g_main_loop_quit(g_host->loop);
}

gboolean on_deadline(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

// Runs the main loop until the final report (or a generous deadline).
template <typename Start>
HostRun host_run(Start start) {
    HostRun run;
    g_host = &run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    const guint guard = g_timeout_add_seconds(90, on_deadline, run.loop);
    if (start()) g_main_loop_run(run.loop);
    g_source_remove(guard);
    g_main_loop_unref(run.loop);
    g_host = nullptr;
    return run;
}

// ---------------------------------------------------------------- messages
void put_uintvar(Bytes &b, uint32_t v) {
    uint8_t tmp[5];
    qx::Writer w = qx::Writer::over(tmp, sizeof tmp);
    const int n = SetUintvar(w, v);
    b.insert(b.end(), tmp, tmp + n);
}

// Content-Type multipart/mixed and one text/plain part of n bytes.
Bytes multipart_body(size_t n) {
    Bytes b = {0x84, 0xA3, 0x01};
    put_uintvar(b, 1);
    put_uintvar(b, static_cast<uint32_t>(n));
    b.push_back(0x83);
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>("Hello relay! "[i % 13]));
    return b;
}

// A send request from the library's encoder.
Bytes library_send_req(const std::string &tid, size_t bodyBytes, const char *to = "+15551230001;+15551230002",
                       const char *cc = "cc.person@example.org") {
    tMMS_SendReq *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    req->Transaction_Id = fnQX_MEMSTRCOPY(tid.c_str());
    req->To = fnQX_MEMSTRCOPY(to);
    if (cc) req->Cc = fnQX_MEMSTRCOPY(cc);
    req->Subject = fnQX_MEMSTRCOPY("Gr\xC3\xBC\xC3\x9F" "e vom Test");
    req->Read_Reply = 1;
    req->Delivery_Report = 1;
    req->Date = 1796600000;
    const Bytes body = multipart_body(bodyBytes);
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(static_cast<int>(body.size())));
    std::memcpy(req->ContentTypeAndBody, body.data(), body.size());
    req->Body_Len = static_cast<int>(body.size());
    int len = 0;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(req, &len);
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    Bytes out(pdu, pdu + len);
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    return out;
}

Bytes body_of_send_req(const Bytes &pdu) {
    tMMS_SendReq *r = fnMMS_ParseSendContent(pdu.data(), static_cast<int>(pdu.size()));
    if (!r) return {};
    Bytes b(r->ContentTypeAndBody, r->ContentTypeAndBody + r->Body_Len);
    fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ);
    return b;
}

// ---------------------------------------------------------------- fixture
constexpr int kFastStepMs = 5;  // hosts use 100 ms; most runs go faster

class RelayNet : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        hbx_SetStepPeriod(kFastStepMs);
        ASSERT_TRUE(relay_.start()) << "rorodire relay did not start";
        std::string why;
        if (!proxy_.start(&why)) {
            const char *req = std::getenv("RR_REQUIRE_TINYPROXY");
            if (req && std::string(req) == "1") FAIL() << why;
            GTEST_SKIP() << why;
        }
        settings_ = MmsSettings{"RelayTest/1.0", "http://ua.test/relay.xml", "127.0.0.1", proxyPort_.c_str(),
                                relay_.url().c_str()};
        proxyPort_ = proxy_.port();
        settings_.ProxyPort = proxyPort_.c_str();
    }
    void TearDown() override {
        hbx_SetStepPeriod(HBX_STEP_PERIOD_MS);
        qx::set_log_enabled(true);
    }

    int send(const Bytes &pdu, const std::string &url = "") {
        MmsSettings s = settings_;
        if (!url.empty()) s.ServerAddr = url.c_str();
        tCPS_PduBuf buf{const_cast<uint8_t *>(pdu.data()), static_cast<int>(pdu.size())};
        const HostRun r = host_run([&] { return fnCPS_SendMMS(&buf, &s, host_cb) == HBX_MSG_SEND_STARTED; });
        return r.final;
    }
    int download(const Bytes &notif, int mode, Bytes *out, std::vector<int> *progress = nullptr) {
        tCPS_PduBuf in{const_cast<uint8_t *>(notif.data()), static_cast<int>(notif.size())};
        tCPS_PduBuf o{};
        const HostRun r =
            host_run([&] { return fnCPS_DownloadMMS(&in, mode, &settings_, host_cb, &o) == HBX_MSG_DL_STARTED; });
        if (o.data) {
            out->assign(o.data, o.data + o.length);
            fnQX_Free(reinterpret_cast<void **>(&o.data));
        }
        if (progress)
            for (auto &p : r.reports)
                if (p.first == HBX_MSG_DL_PROGRESS) progress->push_back(p.second);
        return r.final;
    }
    // The log line of the last exchange of this type.
    std::string last_line(const std::string &type) {
        std::string found;
        for (const std::string &l : relay_.log())
            if (jstr(l, "type") == type) found = l;
        return found;
    }

    Relay relay_;
    Tinyproxy proxy_;
    std::string proxyPort_;
    MmsSettings settings_{};
    rrtest::LeakCheck leaks_;
};

// Interop send requests and library-made ones go through tinyproxy to the
// relay; every notification it writes is downloaded through tinyproxy; the
// body comes back byte for byte, and the relay recorded the answer.
TEST_F(RelayNet, MessagesRoundTripThroughProxyAndRelay) {
    std::vector<std::pair<std::string, Bytes>> msgs;
    for (const char *f : {"m-send_1.req", "m-send_2.req", "m-send_3.req"}) {
        const Bytes b = rrtest::read_file(rrtest::interop_path(f));
        ASSERT_FALSE(b.empty()) << f;
        msgs.push_back({f, b});
    }
    msgs.push_back({"library", library_send_req("lib-tid-1", 20000)});
    int mode = 0;
    for (const auto &m : msgs) {
        SCOPED_TRACE(m.first);
        const Bytes sentBody = body_of_send_req(m.second);
        ASSERT_FALSE(sentBody.empty());
        ASSERT_EQ(send(m.second), HBX_MSG_SEND_OK);
        const std::string sendLine = last_line("m-send-req");
        EXPECT_EQ(jstr(sendLine, "user_agent"), "RelayTest/1.0");
        EXPECT_EQ(jstr(sendLine, "profile"), "http://ua.test/relay.xml");
        EXPECT_EQ(jnum(sendLine, "bytes_in"), static_cast<long>(m.second.size()));
        const auto files = jstrs(sendLine, "file");
        const auto tids = jstrs(sendLine, "transaction_id");  // the request's, then one per notification
        ASSERT_FALSE(files.empty());
        ASSERT_EQ(tids.size(), files.size() + 1);
        for (size_t i = 0; i < files.size(); ++i) {
            const Bytes notif = rrtest::read_file(files[i]);
            ASSERT_FALSE(notif.empty());
            Bytes got;
            const int answerMode = (mode++ % 2) ? 0 : 3;
            ASSERT_EQ(download(notif, answerMode, &got), HBX_MSG_DL_OK);
            tMMS_RetrieveConf *rc = fnMMS_ParseRetrieveConf(got.data(), static_cast<int>(got.size()));
            ASSERT_NE(rc, nullptr);
            EXPECT_EQ(Bytes(rc->body, rc->body + rc->Content_Size), sentBody) << "body not byte-identical";
            EXPECT_EQ(rc->Transaction_Id, tids[i + 1]);
            fnMMS_FreeMessageMem(rc, MMS_STRUCT_RETRIEVE_CONF);

            const std::string get = last_line("m-retrieve-conf");
            const std::string answer = last_line(answerMode == 3 ? "m-notifyresp-ind" : "m-acknowledge-ind");
            EXPECT_EQ(jstr(answer, "transaction_id"), tids[i + 1]);
            EXPECT_NE(answer.find("\"known\":true"), std::string::npos) << answer;
            EXPECT_EQ(jstr(answer, "report_allowed"), "no");
            if (answerMode == 3) { EXPECT_EQ(jstr(answer, "mms_status"), "0x81"); }
            for (const std::string &l : {get, answer}) {
                EXPECT_EQ(jstr(l, "user_agent"), "RelayTest/1.0");
                EXPECT_EQ(jstr(l, "profile"), "http://ua.test/relay.xml");
            }
        }
    }
}

// A message of 300 KB comes through; one just over the limit ends with 4.
TEST_F(RelayNet, LargeMessageAndOneJustOverTheLimit) {
    const Bytes big = library_send_req("big-1", 300000, "+15557770001", nullptr);
    ASSERT_EQ(send(big), HBX_MSG_SEND_OK);
    std::string line = last_line("m-send-req");
    const long size = jnum(line, "message_size");
    ASSERT_GT(size, 300000);
    ASSERT_LE(size, 307200);
    Bytes got;
    std::vector<int> progress;
    ASSERT_EQ(download(rrtest::read_file(jstrs(line, "file")[0]), 3, &got, &progress), HBX_MSG_DL_OK);
    EXPECT_EQ(static_cast<long>(got.size()), size);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 99);
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i], progress[i - 1]);

    // The same headers with a body that makes the served message 307201 bytes.
    const size_t overhead = static_cast<size_t>(size) - 300000;
    const Bytes over = library_send_req("big-2", 307201 - overhead, "+15557770001", nullptr);
    ASSERT_EQ(send(over), HBX_MSG_SEND_OK);
    line = last_line("m-send-req");
    const long overSize = jnum(line, "message_size");
    EXPECT_GT(overSize, 307200);
    EXPECT_LT(overSize, 307210);
    got.clear();
    EXPECT_EQ(download(rrtest::read_file(jstrs(line, "file")[0]), 3, &got), HBX_MSG_DL_MSG_TOOBIG);
    EXPECT_TRUE(got.empty());
}

// Faults of the real relay: an early close, a refusing confirmation, a
// redirect, an unknown location.
TEST_F(RelayNet, RelayFaults) {
    const Bytes pdu = library_send_req("f-1", 5000, "+15550001111", nullptr);
    EXPECT_EQ(send(pdu, relay_.url() + "?fault=conf-status=0x86"), HBX_MSG_NETWORK_PROBLEM);
    EXPECT_EQ(send(pdu, relay_.url() + "?fault=http-status=500"), HBX_MSG_SEND_FAIL);
    ASSERT_EQ(send(pdu), HBX_MSG_SEND_OK);
    const Bytes notif = rrtest::read_file(jstrs(last_line("m-send-req"), "file")[0]);
    // The relay closes the GET after 900 bytes: the body is short of its length.
    const std::string control = "GET /control?fault=get:close-after%3D900 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    auto control_request = [&](const std::string &req) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(relay_.base().c_str() + relay_.base().rfind(':') + 1)));
        std::string reply;
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::send(s, req.data(), req.size(), 0) > 0) {
            char buf[512];
            for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
        }
        close(s);
        return reply;
    };
    EXPECT_NE(control_request(control).find("close-after=900"), std::string::npos);
    Bytes got;
    EXPECT_EQ(download(notif, 3, &got), HBX_MSG_DL_FAIL_NOR);
    EXPECT_TRUE(got.empty());
    // An absolute redirect is followed to the message.
    control_request("GET /control?fault=get:redirect%3Dabs HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(download(notif, 0, &got), HBX_MSG_DL_OK);
    EXPECT_FALSE(got.empty());
    // So is a relative one (a Location of just the path), as real relays send.
    control_request("GET /control?fault=get:redirect%3Drel HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const Bytes first = got;
    got.clear();
    EXPECT_EQ(download(notif, 3, &got), HBX_MSG_DL_OK);
    EXPECT_EQ(got, first);
    EXPECT_EQ(jstr(last_line("m-retrieve-conf"), "user_agent"), "RelayTest/1.0");
    // The other faults of a GET, one request each.
    struct GetFault {
        const char *fault_option;
        int code;
    };
    for (const GetFault f : {GetFault{"trickle%3D1500/20", HBX_MSG_DL_OK}, {"length%3Dabsent", HBX_MSG_DL_OK},
                             {"length%3Dmore", HBX_MSG_DL_FAIL_NOR}, {"garbage", HBX_MSG_DL_FAIL_NOR},
                             {"oversize", HBX_MSG_DL_MSG_TOOBIG}, {"http-status%3D500", HBX_MSG_DL_FAIL_NOR}}) {
        SCOPED_TRACE(f.fault_option);
        control_request("GET /control?fault=get:" + std::string(f.fault_option) + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        got.clear();
        EXPECT_EQ(download(notif, 3, &got), f.code);
        if (f.code == HBX_MSG_DL_OK) { EXPECT_EQ(got, first); }
    }
    // Stale location: 404.
    Bytes stale = notif;
    const std::string id = "/msg/";
    auto at = std::search(stale.begin(), stale.end(), id.begin(), id.end());
    ASSERT_NE(at, stale.end());
    at[5] = 'X';
    got.clear();
    EXPECT_EQ(download(stale, 3, &got), HBX_MSG_DL_FAIL_NOR);
    bool saw404 = false;
    for (const std::string &l : relay_.log()) saw404 |= jnum(l, "status") == 404;
    EXPECT_TRUE(saw404);
}

// The commands as a user runs them: stepped by their sockets as shipped, the outcome in words
// or JSON, a distinct exit status per outcome.
TEST_F(RelayNet, SendAndFetchCommands) {
    hbx_SetStepPeriod(HBX_STEP_PERIOD_MS);
    const std::string dir = relay_.dir();
    const std::string pdu = dir + "/small.req";
    ASSERT_TRUE(write_bytes(pdu, library_send_req("cli-1", 3000, "+15552220001", nullptr)));
    auto run = [](const std::string &cmd, std::string *out) {
        FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
        const int st = pclose(p);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    const std::string tool = RR_BINARY_DIR "/rorodire";
    const std::string proxy = " --proxy 127.0.0.1:" + proxyPort_;
    std::string out;
    EXPECT_EQ(run(tool + " send --relay " + relay_.url() + proxy + " --user-agent CliUA " + pdu, &out), 0);
    EXPECT_NE(out.find("sent"), std::string::npos) << out;
    const std::string notif = jstrs(last_line("m-send-req"), "file")[0];
    out.clear();
    EXPECT_EQ(run(tool + " fetch --relay " + relay_.url() + proxy + " --ack --json --user-agent CliUA " + notif +
                      " -o " + dir + "/got.conf",
                  &out),
              0);
    EXPECT_EQ(jstr(out, "outcome"), "retrieved") << out;
    EXPECT_EQ(jnum(out, "exit"), 0);
    const Bytes got = rrtest::read_file(dir + "/got.conf");
    EXPECT_EQ(static_cast<long>(got.size()), jnum(out, "bytes"));
    EXPECT_EQ(jstr(last_line("m-acknowledge-ind"), "user_agent"), "CliUA");
    out.clear();
    EXPECT_EQ(run(tool + " send --json --relay '" + relay_.url() + "?fault=conf-status=0x82' " + pdu, &out), 11);
    EXPECT_EQ(jstr(out, "outcome"), "service-denied");
    out.clear();
    EXPECT_EQ(run(tool + " send --relay http://127.0.0.1:1/mms " + pdu, &out), 10);
    EXPECT_EQ(run(tool + " send --relay x /nonexistent/file", &out), 3);
    EXPECT_EQ(run(tool + " send " + pdu, &out), 2);
    // Every command's help lists its options.
    struct Help {
        const char *cmd;
        std::vector<const char *> options;
    };
    for (const Help &h : {Help{"relay", {"--port", "--listen", "--idle", "--spool", "--log", "--sender", "--conf-status", "--fault", "stall",
                                         "trickle", "close-after", "length", "oversize", "redirect", "garbage", "http-status"}},
                          Help{"send", {"--relay", "--proxy", "--user-agent", "--profile", "--json", "--delivery-report",
                                        "--read-reply"}},
                          Help{"read-report", {"--relay", "--proxy", "--status", "--from", "--json", "deleted"}},
                          Help{"fetch", {"--relay", "--proxy", "--notifyresp", "--ack", "-o", "--json"}}}) {
        out.clear();
        EXPECT_EQ(run(tool + " " + h.cmd + " --help", &out), 0);
        for (const char *o : h.options) EXPECT_NE(out.find(o), std::string::npos) << h.cmd << " " << o;
    }
    out.clear();
    run(tool + " --help", &out);
    for (const char *c : {"relay", "send", "fetch", "--notifyresp", "--proxy", "read-report", "--delivery-report"})
        EXPECT_NE(out.find(c), std::string::npos);
}

// Runs a tool command line; its exit status, stdout into *out, stderr into *err.
int run_tool(const std::string &cmd, std::string *out, std::string *err = nullptr) {
    char tmpl[] = "/tmp/rr_stderr_XXXXXX";
    const int fd = mkstemp(tmpl);
    close(fd);
    FILE *p = popen((cmd + " 2>" + tmpl).c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
    const int st = pclose(p);
    if (err) *err = slurp(tmpl);
    unlink(tmpl);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Delivery and read reports as a user runs them: a message composed without
// report requests is sent with --delivery-report --read-reply through the
// proxy, fetched, the relay's m-delivery-ind is read with `dump`, then the
// recipient's read report goes back with `read-report` and the relay writes
// the m-read-orig-ind for the sender. Reports for another relay's message or
// to an unreachable relay fail with the network commands' exit status.
TEST_F(RelayNet, ReportsEndToEndThroughTheTool) {
    hbx_SetStepPeriod(HBX_STEP_PERIOD_MS);
    const std::string dir = relay_.dir(), spool = dir + "/spool";
    const std::string tool = RR_BINARY_DIR "/rorodire";
    const std::string net = " --relay " + relay_.url() + " --proxy 127.0.0.1:" + proxyPort_;
    std::string out, err;
    ASSERT_EQ(run_tool(tool + " compose -o " + dir + "/plain.mms --to +15552220001 --from +15552220000 --slide text=" +
                           RR_SOURCE_DIR "/samples/hello.txt",
                       &out),
              0);
    out.clear();
    ASSERT_EQ(run_tool(tool + " dump --json " + dir + "/plain.mms", &out), 0);
    EXPECT_NE(out.find("\"Delivery_Report\":0"), std::string::npos) << out;
    out.clear();
    ASSERT_EQ(run_tool(tool + " send --delivery-report --read-reply --json" + net + " " + dir + "/plain.mms", &out), 0)
        << out;
    const std::string line = last_line("m-send-req");
    const std::string id = jstr(line, "message_id");
    ASSERT_FALSE(id.empty()) << line;
    out.clear();
    ASSERT_EQ(run_tool(tool + " fetch" + net + " " + jstrs(line, "file")[0] + " -o " + dir + "/got.mms", &out), 0);
    out.clear();
    ASSERT_EQ(run_tool(tool + " dump --json " + spool + "/" + id + "-1-delivery-retrieved.ind", &out), 0) << out;
    EXPECT_EQ(jstr(out, "type"), "m-delivery-ind");
    EXPECT_EQ(jstr(out, "Message_Id"), id);
    EXPECT_EQ(jstr(out, "To"), "+15552220001");
    EXPECT_EQ(jnum(out, "Status"), 0x81);
    EXPECT_NE(out.find("\"meanings\":{\"Status\":\"Retrieved\"}"), std::string::npos) << out;

    out.clear();
    EXPECT_EQ(run_tool(tool + " read-report --json" + net + " " + dir + "/got.mms", &out), 0) << out;
    EXPECT_EQ(jstr(out, "outcome"), "sent") << out;
    EXPECT_EQ(jnum(out, "http_status"), 200);
    EXPECT_NE(out.find("\"read_reply_asked\":true"), std::string::npos) << out;
    out.clear();
    ASSERT_EQ(run_tool(tool + " dump " + spool + "/" + id + "-1-read.ind", &out), 0) << out;
    EXPECT_NE(out.find("m-read-orig-ind"), std::string::npos) << out;
    EXPECT_NE(out.find("To           \"+15552220000\""), std::string::npos) << out;
    EXPECT_NE(out.find("From         \"+15552220001\""), std::string::npos) << out;
    EXPECT_NE(out.find("0x80 (Read)"), std::string::npos) << out;
    // Once per recipient: a second report is taken and written nowhere.
    out.clear();
    EXPECT_EQ(run_tool(tool + " read-report --status deleted" + net + " " + dir + "/got.mms", &out), 0);
    EXPECT_NE(last_line("m-read-rec-ind").find("\"read_report\":\"already written\""), std::string::npos);
    EXPECT_TRUE(rrtest::read_file(spool + "/" + id + "-1-deleted.ind").empty());

    // Another relay's message: refused with 400, named on stderr, exit 10.
    tMMS_RetrieveConf other{};
    other.Transaction_Id = const_cast<char *>("T0");
    other.Message_Id = const_cast<char *>("M0-0");
    other.From = const_cast<char *>("+15550000000");
    uint8_t text[] = {0x84, 0x83, 'h', 'i'};  // text/plain
    other.body = text;
    other.Content_Size = sizeof text;
    int len = 0;
    uint8_t *pdu = fnMMS_MakeRetrieveConfPdu(&other, &len);
    ASSERT_NE(pdu, nullptr);
    write_bytes(dir + "/other.mms", Bytes(pdu, pdu + len));
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    out.clear();
    out.clear();
    EXPECT_EQ(run_tool(tool + " read-report" + net + " " + dir + "/other.mms", &out, &err), 10);
    EXPECT_EQ(out, "") << "a failure prints nothing on stdout";
    EXPECT_NE(err.find("HTTP 400"), std::string::npos) << err;
    EXPECT_NE(err.find("no message M0-0"), std::string::npos) << err;
    EXPECT_NE(last_line("m-read-rec-ind").find("\"status\":400"), std::string::npos);
    EXPECT_EQ(run_tool(tool + " read-report --relay '" + relay_.url() + "?fault=answer:http-status=503' " + dir +
                           "/got.mms",
                       &out, &err),
              10);
    EXPECT_NE(err.find("HTTP 503"), std::string::npos) << err;
    EXPECT_EQ(run_tool(tool + " read-report --relay http://127.0.0.1:1/mms " + dir + "/got.mms", &out, &err), 10);
    EXPECT_NE(err.find("cannot connect"), std::string::npos) << err;
    EXPECT_EQ(run_tool(tool + " read-report" + net + " " + dir + "/plain.mms", &out, &err), 3) << "not a retrieved message";
    EXPECT_EQ(run_tool(tool + " read-report --status maybe" + net + " " + dir + "/got.mms", &out, &err), 2);
    EXPECT_EQ(run_tool(tool + " send --read-report" + net + " " + dir + "/plain.mms", &out, &err), 2);
}

// ---------------------------------------------------------------- limits
// Open descriptors and resident kilobytes of a process.
size_t open_fds(pid_t pid) {
    size_t n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

long rss_kb(pid_t pid) {
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// One exchange on its own connection: the request, then everything the relay
// sends until it closes (or, with `keepAlive`, until one whole answer came),
// then the client closes.
std::string http_exchange(int port, const std::string &request, bool keepAlive = false) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    const timeval wait{20, 0};  // a relay that never answers fails the test, not the run
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        for (size_t sent = 0; sent < request.size();) {
            const ssize_t n = ::send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        char buf[4096];
        for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) {
            reply.append(buf, static_cast<size_t>(n));
            const size_t head = reply.find("\r\n\r\n");
            const size_t cl = reply.find("Content-Length: ");
            if (keepAlive && head != std::string::npos && cl != std::string::npos &&
                reply.size() >= head + 4 + std::stoul(reply.substr(cl + 16)))
                break;
        }
    }
    close(s);
    return reply;
}

std::string post(const std::string &path, const Bytes &body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/vnd.wap.mms-message\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body.begin(), body.end());
}

// Waits (generously) until the relay's descriptors fall back to `want`.
size_t settled_fds(pid_t pid, size_t want) {
    size_t n = open_fds(pid);
    for (int i = 0; i < 500 && n > want; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = open_fds(pid);
    }
    return n;
}

size_t spool_files(const Relay &r) {
    size_t n = 0;
    if (DIR *d = opendir((r.dir() + "/spool").c_str())) {
        for (dirent *e; (e = readdir(d));) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A hostile client on loopback: keep-alive connections it closes, bodies far
// above the request limit (with a length and chunked), too many recipients,
// a send request without Transaction-Id, more messages than the store holds,
// an interim status and a redirected POST. Descriptors return to where they
// were, resident memory stays bounded, and nothing refused is stored.
TEST(RelayLimits, HostileClientsLeaveNoTrace) {
    qx::set_log_enabled(false);
    Relay relay;
    ASSERT_TRUE(relay.start({"--max-request", "1000000", "--max-recipients", "50", "--store-quota", "1500000"}));
    const pid_t pid = relay.pid();
    const int port = relay.port();
    http_exchange(port, "GET /control HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const size_t fds = settled_fds(pid, 0);
    const long rss = rss_kb(pid);
    for (int i = 0; i < 300; ++i)
        ASSERT_NE(http_exchange(port, "GET /control HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", true).find(" 200 "),
                  std::string::npos);
    EXPECT_EQ(settled_fds(pid, fds), fds) << "descriptors of closed keep-alive connections are kept";

    const Bytes big(20u << 20, 0x8C);
    EXPECT_NE(http_exchange(port, post("/mms", big)).find(" 413 "), std::string::npos);
    const std::string chunked = "POST /mms HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string chunks;
    for (int i = 0; i < 20; ++i) chunks += "100000\r\n" + std::string(0x100000, 'x') + "\r\n";
    EXPECT_NE(http_exchange(port, chunked + chunks + "0\r\n\r\n").find(" 413 "), std::string::npos);
    const std::string cap = http_exchange(port, "GET /control?fault=oversize%3D300000000 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_NE(cap.find(" 400 "), std::string::npos) << cap;

    // 51 recipients: confirmed with 0xE1, nothing stored or written.
    std::string many;
    for (int i = 0; i < 51; ++i) many += "+1555000" + std::to_string(1000 + i) + ";";
    const Bytes tooMany = library_send_req("many", 1000, many.c_str(), nullptr);
    const std::string conf = http_exchange(port, post("/mms", tooMany));
    EXPECT_NE(conf.find(std::string("\x92\xE1", 2)), std::string::npos) << "no Response-Status 0xE1";
    // No Transaction-Id: refused, nothing stored.
    Bytes noTid = {0x8C, 0x80, 0x8D, 0x92, 0x97};
    for (char c : std::string("+15550001111")) noTid.push_back(static_cast<uint8_t>(c));
    noTid.push_back(0);
    const Bytes body = multipart_body(100);
    noTid.insert(noTid.end(), body.begin(), body.end());
    tMMS_SendReq *decoded = fnMMS_ParseSendContent(noTid.data(), static_cast<int>(noTid.size()));
    ASSERT_NE(decoded, nullptr) << "test PDU must decode";
    fnMMS_FreeMessageMem(decoded, MMS_STRUCT_SEND_REQ);
    EXPECT_NE(http_exchange(port, post("/mms", noTid)).find(" 400 "), std::string::npos);
    EXPECT_EQ(spool_files(relay), 0u);

    // 40 recipients of a 300 KB message, six times: one stored copy each, the
    // oldest pushed out with their notifications.
    std::string forty;
    for (int i = 0; i < 40; ++i) forty += "+1555100" + std::to_string(1000 + i) + ";";
    std::vector<std::string> firstLocations;
    for (int k = 0; k < 6; ++k) {
        const Bytes msg = library_send_req("q" + std::to_string(k), 300000, forty.c_str(), nullptr);
        EXPECT_NE(http_exchange(port, post("/mms", msg)).find(" 200 "), std::string::npos);
        if (k == 0)
            for (const std::string &l : relay.log())
                if (jstr(l, "transaction_id") == "q0") firstLocations = jstrs(l, "location");
    }
    EXPECT_EQ(spool_files(relay), 4u * 41u);  // 1500000 bytes hold four of them, each with its .rep
    ASSERT_EQ(firstLocations.size(), 40u);
    const std::string gone = firstLocations[0].substr(firstLocations[0].find("/msg/"));
    EXPECT_NE(http_exchange(port, "GET " + gone + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").find(" 404 "), std::string::npos);
    // (AddressSanitizer keeps freed blocks in quarantine: resident memory
    // says nothing about the relay's own holding there.)
    if (!kAddressSanitizer) {
        EXPECT_LT(rss_kb(pid) - rss, 16 * 1024) << "resident memory grew with refused or repeated data";
    }

    // One interim answer, then the final one; a redirected POST stays a POST.
    const std::string interim = http_exchange(port, post("/mms?fault=http-status%3D100", Bytes{1, 2, 3}));
    EXPECT_EQ(interim.rfind("HTTP/1.1 100 Continue\r\n\r\n", 0), 0u) << interim.substr(0, 200);
    EXPECT_EQ(interim.find("HTTP/1.1 100", 1), std::string::npos);
    EXPECT_NE(interim.find("HTTP/1.0 400"), std::string::npos);
    EXPECT_EQ(http_exchange(port, post("/mms?fault=redirect%3Drel", Bytes{1})).rfind("HTTP/1.1 307 ", 0), 0u);
    EXPECT_EQ(http_exchange(port, post("/mms?fault=redirect%3Dabs/308", Bytes{1})).rfind("HTTP/1.1 308 ", 0), 0u);
    EXPECT_EQ(settled_fds(pid, fds), fds);
    for (const std::string &l : relay.log()) EXPECT_EQ(l.find("\"status\":500"), std::string::npos) << l;
}

// A message nobody fetches: once it expires the relay drops it and writes
// the Expired delivery report for its sender by itself, without a request.
TEST(RelayReportsNet, ExpiryIsReportedWithoutARequest) {
    qx::set_log_enabled(false);
    Relay relay;
    ASSERT_TRUE(relay.start({"--expiry", "1"}));
    const std::string conf = http_exchange(relay.port(), post("/mms", library_send_req("exp-1", 100, "+15553330001", nullptr)));
    ASSERT_NE(conf.find(" 200 "), std::string::npos) << conf.substr(0, 200);
    std::string id;
    for (const std::string &l : relay.log())
        if (jstr(l, "type") == "m-send-req") id = jstr(l, "message_id");
    ASSERT_FALSE(id.empty());
    const std::string spool = relay.dir() + "/spool/";
    EXPECT_FALSE(rrtest::read_file(spool + id + "-1.ind").empty());
    const std::string report = spool + id + "-1-delivery-expired.ind";
    const auto until = Clock::now() + std::chrono::seconds(10);
    // The relay writes the report, then drops the message and its
    // notification in the same turn: wait for the whole step, not its first file.
    while (Clock::now() < until && (rrtest::read_file(report).empty() || !rrtest::read_file(spool + id + ".rep").empty() ||
                                     !rrtest::read_file(spool + id + "-1.ind").empty()))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Bytes b = rrtest::read_file(report);
    ASSERT_FALSE(b.empty()) << "no Expired report within 10 s";
    tMMS_DeliveryInd *d = fnMMS_ParseDeliveryInd(b.data(), static_cast<int>(b.size()));
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->Message_Id, id.c_str());
    EXPECT_STREQ(d->To, "+15553330001");
    EXPECT_EQ(d->Status, 0x80);
    fnMMS_FreeMessageMem(d, MMS_STRUCT_DELIVERY_IND);
    EXPECT_TRUE(rrtest::read_file(spool + id + "-1.ind").empty()) << "the notification outlived its message";
    EXPECT_TRUE(rrtest::read_file(spool + id + ".rep").empty());
    size_t lines = 0;
    for (const std::string &l : relay.log()) lines += l.find("\"status\":\"Expired\"") != std::string::npos;
    EXPECT_EQ(lines, 1u);
}

// tshark reads the relay's m-send-conf, m-notification-ind and
// m-retrieve-conf without malformed fields.
TEST_F(RelayNet, TsharkReadsTheRelaysPdus) {
    if (system("command -v tshark >/dev/null 2>&1") != 0) {
        const char *req = std::getenv("RR_REQUIRE_TSHARK");
        if (req && std::string(req) == "1") FAIL() << "tshark is required";
        GTEST_SKIP() << "tshark is not installed";
    }
    const Bytes pdu = library_send_req("ts-1", 2000);
    ASSERT_EQ(send(pdu), HBX_MSG_SEND_OK);
    const std::string line = last_line("m-send-req");
    const Bytes notif = rrtest::read_file(jstrs(line, "file")[0]);
    Bytes retrieved;
    ASSERT_EQ(download(notif, 3, &retrieved), HBX_MSG_DL_OK);
    // The confirmation as the relay answers it, fetched without the library.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(relay_.base().c_str() + relay_.base().rfind(':') + 1)));
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const std::string head = "POST /mms HTTP/1.0\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
                             std::to_string(pdu.size()) + "\r\n\r\n";
    std::string req = head + std::string(pdu.begin(), pdu.end());
    ASSERT_EQ(::send(s, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
    close(s);
    const size_t bodyAt = reply.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    const Bytes conf(reply.begin() + static_cast<long>(bodyAt) + 4, reply.end());

    const std::string dir = relay_.dir();
    write_bytes(dir + "/conf", conf);
    write_bytes(dir + "/notif", notif);
    write_bytes(dir + "/retrieved", retrieved);
    // The delivery report the download's answer made (the request asked for one).
    const std::string report = dir + "/spool/" + jstr(line, "message_id") + "-1-delivery-retrieved.ind";
    ASSERT_FALSE(rrtest::read_file(report).empty()) << report;
    const std::string pcap = dir + "/relay.pcap", pdml = dir + "/relay.pdml";
    ASSERT_EQ(std::system(("python3 " RR_SOURCE_DIR "/../shared/tools/pdu2pcap.py " + pcap + " " + dir + "/conf " +
                           dir + "/notif " + dir + "/retrieved " + report)
                              .c_str()),
              0);
    ASSERT_EQ(std::system(("TZ=UTC tshark -n -r " + pcap + " -T pdml > " + pdml + " 2>/dev/null").c_str()), 0);
    const std::string xml = slurp(pdml);
    for (const char *type : {"\"mmse.message_type\" showname=\"X-Mms-Message-Type: m-send-conf (0x81)\"",
                             "m-notification-ind (0x82)", "m-retrieve-conf (0x84)", "m-delivery-ind (0x86)",
                             "\"mmse.status\" showname=\"Status: Retrieved (0x81)\""})
        EXPECT_NE(xml.find(type), std::string::npos) << type;
    EXPECT_EQ(xml.find("_ws.malformed"), std::string::npos);
    // Expert infos above "Chat" (the HTTP request line of the capture) are
    // notes, warnings or errors of the dissectors.
    for (size_t at = xml.find("name=\"_ws.expert.severity\""); at != std::string::npos;
         at = xml.find("name=\"_ws.expert.severity\"", at + 1))
        EXPECT_EQ(jstr_attr(xml, at, "show"), "2097152") << xml.substr(at, 200);
    for (const char *field : {"mmse.transaction_id", "mmse.content_location", "mmse.message_size", "mmse.response_status",
                              "mmse.message_id", "mmse.from", "mmse.to", "mmse.subject", "mmse.read_report",
                              "mmse.delivery_report", "mmse.date", "mmse.expiry.rel", "mmse.priority",
                              "mmse.message_class.id", "wsp.multipart"})
        EXPECT_NE(xml.find("name=\"" + std::string(field) + "\""), std::string::npos) << field;
}

// ---------------------------------------------------------------- staying up
// A client socket connected to the relay (IPv4 or IPv6 loopback); -1 when
// it cannot connect.
int connect_to(int port, bool v6 = false) {
    const int s = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    sockaddr_in6 a6{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a6.sin6_port = htons(static_cast<uint16_t>(port));
    const int rc = v6 ? connect(s, reinterpret_cast<sockaddr *>(&a6), sizeof a6)
                      : connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (rc != 0) {
        close(s);
        return -1;
    }
    return s;
}

// True when the relay closed the connection within `seconds` (EOF).
bool closed_by_relay(int s, int seconds) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) <= 0) return false;
    char c;
    return recv(s, &c, 1, MSG_DONTWAIT) == 0;
}

// The relay's descriptors once the last exchange's connection is closed.
size_t quiet_fds(pid_t pid) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return open_fds(pid);
}

bool wait_for(const std::function<bool()> &ok, int seconds) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (!ok()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Under a limit of 40 descriptors, 60 clients that connect and send
// nothing: the relay runs out, says so, and accepts again (with a line
// saying that too) once the idle connections are closed after --idle.
TEST(RelayStaysUp, AcceptsAgainAfterRunningOutOfDescriptors) {
    Relay relay;
    relay.set_fd_limit(40);
    ASSERT_TRUE(relay.start({"--idle", "1"}));
    std::vector<int> idle;
    for (int i = 0; i < 60; ++i) idle.push_back(connect_to(relay.port()));
    EXPECT_TRUE(wait_for([&] { return relay.stderr_text().find("cannot accept a connection") != std::string::npos; }, 10))
        << relay.stderr_text();
    EXPECT_NE(http_exchange(relay.port(), "GET /control HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").find(" 200 "),
              std::string::npos);
    const std::string err = relay.stderr_text();
    EXPECT_NE(err.find("Too many open files"), std::string::npos) << err;
    EXPECT_NE(err.find("accepting connections again"), std::string::npos) << err;
    for (int s : idle) {
        EXPECT_TRUE(closed_by_relay(s, 10));
        close(s);
    }
    EXPECT_NE(http_exchange(relay.port(), "GET /control HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").find(" 200 "),
              std::string::npos);
}

// Idle connections are closed after --idle seconds, a half-sent request
// too; the descriptors return. Without --idle they stay for 30 s.
TEST(RelayStaysUp, IdleConnectionsAreClosed) {
    Relay relay;
    ASSERT_TRUE(relay.start({"--idle", "1"}));
    http_exchange(relay.port(), "GET /control HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const size_t fds = quiet_fds(relay.pid());
    std::vector<int> clients;
    for (int i = 0; i < 60; ++i) clients.push_back(connect_to(relay.port()));
    const std::string half = "GET /control HTTP/1.1\r\nHost: 127.0";
    ::send(clients[0], half.data(), half.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(wait_for([&] { return open_fds(relay.pid()) >= fds + 50; }, 5));
    const auto start = Clock::now();
    for (int s : clients) EXPECT_TRUE(closed_by_relay(s, 5));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(settled_fds(relay.pid(), fds), fds);
    for (int s : clients) close(s);

    Relay lasting;
    ASSERT_TRUE(lasting.start());
    const int s = connect_to(lasting.port());
    EXPECT_FALSE(closed_by_relay(s, 2));
    close(s);
}

// Connections one after another leave no memory behind (libsoup's own
// listener kept about 340 bytes per connection).
TEST(RelayStaysUp, ConnectionsLeaveNoMemoryBehind) {
    if (kAddressSanitizer) GTEST_SKIP() << "resident memory says nothing under AddressSanitizer";
    Relay relay;
    ASSERT_TRUE(relay.start());
    for (int i = 0; i < 500; ++i) http_exchange(relay.port(), "GET /msg/none HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const long before = rss_kb(relay.pid());
    const size_t fds = quiet_fds(relay.pid());
    for (int i = 0; i < 10000; ++i)
        ASSERT_NE(http_exchange(relay.port(), "GET /msg/none HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").find(" 404 "),
                  std::string::npos);
    EXPECT_LT(rss_kb(relay.pid()) - before, 600) << "kB for 10000 connections";
    EXPECT_EQ(settled_fds(relay.pid(), fds), fds);
}

// Stalled requests are held without their bodies, at most 64: a newer one
// closes the oldest.
TEST(RelayStaysUp, HeldStalledRequestsAreBounded) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    http_exchange(relay.port(), "GET /control HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const size_t fds = quiet_fds(relay.pid());
    const long rss = rss_kb(relay.pid());
    const std::string body(300000, 'x');
    std::vector<int> stalled;
    for (int i = 0; i < 80; ++i) {
        const int s = connect_to(relay.port());
        const std::string req = "POST /mms?fault=stall HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
        for (size_t sent = 0; sent < req.size();) {
            const ssize_t n = ::send(s, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        stalled.push_back(s);
    }
    EXPECT_TRUE(wait_for([&] { return relay.log().size() >= 80; }, 20)) << relay.log().size();
    // The relay holds the 64 newest and closes the oldest 16. Which requests
    // are oldest follows the order the relay finished reading them, not the
    // order of the connects (on a slow CPU the two differ): count them.
    const auto closed_count = [&] {
        size_t n = 0;
        for (int s : stalled) n += closed_by_relay(s, 0);
        return n;
    };
    EXPECT_TRUE(wait_for([&] { return closed_count() >= 16; }, 10)) << closed_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(closed_count(), 16u) << "held stalled requests are not exactly the 64 newest";
    EXPECT_LE(settled_fds(relay.pid(), fds + 64), fds + 64);
    if (!kAddressSanitizer) {
        EXPECT_LT(rss_kb(relay.pid()) - rss, 8 * 1024) << "kB held for 80 stalled 300 KB requests";
    }
    for (int s : stalled) close(s);
}

// /control takes its exact path and counts of 1 to 1000; other paths are
// no control.
TEST(RelayStaysUp, ControlTakesExactPathsAndSaneCounts) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    const int port = relay.port();
    auto control = [&](const std::string &target) {
        const std::string r = http_exchange(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        if (r.size() < 12) return std::string("none");
        return r.substr(9, 3) + (r.find("\r\n\r\n") == std::string::npos ? "" : r.substr(r.find("\r\n\r\n") + 4));
    };
    const struct {
        const char *target, *status;
    } rows[] = {
        {"/control?fault=send:garbage&count=-1", "400"}, {"/control?fault=send:garbage&count=0", "400"},
        {"/control?fault=send:garbage&count=abc", "400"}, {"/control?fault=send:garbage&count=1001", "400"},
        {"/control?fault=send:garbage&count=%2B5", "400"}, {"/control?fault=send:garbage&count=", "200"},
        {"/controlx?clear=1", "404"},                     {"/control/x?clear=1", "404"},
        {"/control?fault=send:garbage&count=1000", "200"},
    };
    for (const auto &r : rows) EXPECT_EQ(control(r.target).substr(0, 3), r.status) << r.target;
    // Only the two accepted faults are queued (count 1 and 1000), and no
    // other path cleared them.
    EXPECT_EQ(control("/control"), "200faults: send:garbage,send:garbage\n");
    control("/control?clear=1");
    EXPECT_EQ(control("/control"), "200faults: \n");
}

// --port is 0 to 65535 in digits, --listen an IP address; the relay listens
// on IPv6 loopback when asked and names it in its URL.
TEST(RelayStaysUp, PortAndListenAddressAreChecked) {
    for (const char *bad : {"99999", "65536", "abc", "-1", "80x", ""}) {
        const rrtest::cli::Outcome o = rrtest::cli::run_tool({"relay", "--port", bad});
        EXPECT_EQ(o.status, 2) << bad;
        EXPECT_NE(o.err.find("--port '" + std::string(bad) + "' is not a port"), std::string::npos) << o.err;
    }
    for (const char *bad : {"localhost", "127.0.0.256", "::1]", ""}) {
        const rrtest::cli::Outcome o = rrtest::cli::run_tool({"relay", "--listen", bad});
        EXPECT_EQ(o.status, 2) << bad;
        EXPECT_NE(o.err.find("is not an IP address"), std::string::npos) << o.err;
    }
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    const bool v6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&a6), sizeof a6) == 0;
    if (probe >= 0) close(probe);
    if (!v6) GTEST_SKIP() << "no IPv6 loopback here";
    Relay relay;
    ASSERT_TRUE(relay.start({"--listen", "::1"}));
    EXPECT_EQ(relay.url().rfind("http://[::1]:", 0), 0u) << relay.url();
    const int s = connect_to(relay.port(), true);
    ASSERT_GE(s, 0);
    const std::string req = "GET /control HTTP/1.0\r\nHost: [::1]\r\n\r\n";
    ::send(s, req.data(), req.size(), MSG_NOSIGNAL);
    std::string reply;
    char buf[512];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
    close(s);
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 ", 0), 0u) << reply;
    EXPECT_LT(connect_to(relay.port()), 0) << "listens on IPv4 too";
}

// A send request without recipients is refused (400) and stores nothing;
// compose refuses an empty recipient.
TEST(RelayStaysUp, SendRequestsWithoutRecipientsAreRefused) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    Bytes noTo = {0x8C, 0x80, 0x98};
    for (char c : std::string("no-recipients")) noTo.push_back(static_cast<uint8_t>(c));
    noTo.insert(noTo.end(), {0x00, 0x8D, 0x92});
    const Bytes body = multipart_body(100);
    noTo.insert(noTo.end(), body.begin(), body.end());
    tMMS_SendReq *decoded = fnMMS_ParseSendContent(noTo.data(), static_cast<int>(noTo.size()));
    ASSERT_NE(decoded, nullptr) << "test PDU must decode";
    fnMMS_FreeMessageMem(decoded, MMS_STRUCT_SEND_REQ);
    const std::string r = http_exchange(relay.port(), post("/mms", noTo));
    EXPECT_NE(r.find(" 400 "), std::string::npos) << r;
    EXPECT_NE(r.find("no recipients"), std::string::npos) << r;
    EXPECT_EQ(spool_files(relay), 0u);

    rrtest::cli::TempDir d;
    const std::string text = d.write("t.txt", "hi\n");
    for (const char *to : {"", " ", "+15550100002;", "+15550100002; ;+15550100003"}) {
        const rrtest::cli::Outcome o =
            rrtest::cli::run_tool({"compose", "-o", d.file("m.mms"), "--to", to, "--slide", "text=" + text});
        EXPECT_EQ(o.status, 2) << "'" << to << "'";
        EXPECT_NE(o.err.find("has an empty recipient"), std::string::npos) << o.err;
        EXPECT_TRUE(d.list() == std::vector<std::string>{"t.txt"}) << "'" << to << "'";
    }
}

}  // namespace
