// Bad input for every command of the tool: a missing file, a file that is no
// MMS PDU, a truncated PDU, an unreachable relay or proxy, a relay that
// answers garbage. Each must end with exactly one line on stderr naming the
// problem (progress lines aside), a non-zero exit status, no crash, and no
// output file or directory left behind.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "cli_run.h"
#include "composer_host.h"
#include "qx_log.h"
#include "retrieve_conf_builder.h"
#include "rorodire.h"
#include "test_support.h"

namespace {

using rrtest::cli::Outcome;
using rrtest::cli::TempDir;
using rrtest::cli::run_tool;
using rrtest::cli::slurp;
using rrtest::cli::tool;

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

// ---------------------------------------------------------------- the development relay
// The tool's relay in a process of its own, on a free port of loopback.
class RelayProcess {
public:
    explicit RelayProcess(const std::string &dir) : dir_(dir) {
        const std::string bin = tool(), spool = dir + "/spool", log = dir + "/relay.jsonl", err = dir + "/relay.err";
        pid_ = fork();
        if (pid_ == 0) {
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(e, 2);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            execl(bin.c_str(), "rorodire", "relay", "--port", "0", "--spool", spool.c_str(), "--log", log.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1000 && url_.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::string text = slurp(err);
            const size_t at = text.find("listening on ");
            const size_t end = at == std::string::npos ? at : text.find(' ', at + 13);
            if (end != std::string::npos) url_ = text.substr(at + 13, end - at - 13);
        }
    }
    ~RelayProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string &url() const { return url_; }  // http://127.0.0.1:PORT/mms
    int port() const { return std::atoi(url_.c_str() + url_.rfind(':') + 1); }
    std::string spool() const { return dir_ + "/spool"; }
    std::vector<std::string> log() const {
        std::vector<std::string> v;
        std::istringstream in(slurp(dir_ + "/relay.jsonl"));
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
    // Files of the spool whose names end in `suffix`.
    std::vector<std::string> spooled(const std::string &suffix) const {
        std::vector<std::string> v;
        if (DIR *dp = opendir(spool().c_str())) {
            while (const dirent *e = readdir(dp)) {
                const std::string n = e->d_name;
                if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                    v.push_back(spool() + "/" + n);
            }
            closedir(dp);
        }
        std::sort(v.begin(), v.end());
        return v;
    }

private:
    std::string dir_, url_;
    pid_t pid_ = -1;
};

// The value of a string key in a JSON line ("" when absent).
std::string json_value(const std::string &line, const std::string &key) {
    const std::string k = "\"" + key + "\":\"";
    const size_t at = line.find(k);
    if (at == std::string::npos) return "";
    const size_t s = at + k.size();
    return line.substr(s, line.find('"', s) - s);
}

// Sends `bytes` to the port on loopback and gives back what comes before the
// peer closes (or 3 s pass: "" then says it never answered).
std::string raw_exchange(int port, const std::string &bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        timeval tv{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

std::string post_request(const std::string &path, const std::string &body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/vnd.wap.mms-message\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
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

std::string base_of(const std::string &p) { return p.substr(p.rfind('/') + 1); }

// Runs argv with a file size limit of 0 (as a full disk fails a write: with
// EFBIG instead of ENOSPC); stdout and stderr come back through a pipe (a
// file would be limited too), then "exit N".
Outcome run_limited(const std::vector<std::string> &argv) {
    std::vector<std::string> a = {"sh", "-c",
                                  "{ (trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\"); echo \"exit $?\"; } 2>&1 | cat >&2"};
    a.insert(a.end(), argv.begin(), argv.end());
    return rrtest::cli::run(a, 60);
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
    const std::string folder = d.file("folder");
    mkdir(folder.c_str(), 0755);
    const std::string utf16 = d.write("utf16.txt", std::string("H\0e\0l\0l\0o\0", 10));
    const std::string badUtf8 = d.write("bad.txt", "ab\xC3(cd");
    const std::string big = d.write("big.bin", std::string(400000, 'x'));
    const std::string huge = d.file("huge.bin");
    ASSERT_EQ(truncate(d.write("huge.bin", "").c_str(), 17 << 20), 0);
    const std::string hello = s + "hello.txt";

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
        {"compose: folder as attachment", {"compose", "-o", out, "--to", "+1", "--attach", folder}, "is a directory"},
        {"compose: folder as image", {"compose", "-o", out, "--slide", "image=" + folder}, "is a directory"},
        {"compose: folder as text", {"compose", "-o", out, "--slide", "text=" + folder}, "is a directory"},
        {"compose: device as image", {"compose", "-o", out, "--slide", "image=/dev/zero"}, "not a regular file"},
        {"compose: file above 16 MB", {"compose", "-o", out, "--attach", huge}, "is larger than"},
        {"compose: UTF-16 text without a mark", {"compose", "-o", out, "--slide", "text=" + utf16},
         "0 byte at offset 1"},
        {"compose: invalid UTF-8 text", {"compose", "-o", out, "--slide", "text=" + badUtf8}, "byte offset 2"},
        {"compose: begin after end", {"compose", "-o", out, "--slide", "text=" + hello + ",begin=5000,end=100"},
         "begin 5000 is after end 100"},
        {"compose: above --max-size", {"compose", "-o", out, "--max-size", "300000", "--attach", big},
         "above --max-size 300000"},
        {"parse --extract: into a file", {"parse", "--extract", text + "/x", d.file("req.mms")}, "x"},
        {"send: missing file", {"send", "--relay", dead, missing}, "missing.mms"},
        {"send: not an MMS PDU", {"send", "--relay", dead, text}, "not an MMS PDU"},
        {"send: not a send request", {"send", "--relay", dead, indDead}, "not an m-send-req"},
        {"send: send request cut short", {"send", "--relay", dead, reqHead}, "cut short"},
        {"send: unreachable relay", {"send", "--relay", dead, d.file("req.mms")}, "cannot connect to the relay"},
        {"send: unreachable proxy", {"send", "--relay", dead, "--proxy", deadProxy, d.file("req.mms")},
         "cannot connect to the proxy"},
        {"send: relay answers garbage", {"send", "--relay", garbage.url(), d.file("req.mms")}, "not sent"},
        // URLs and proxies are read by the library's reader; the line says why.
        {"send: https relay", {"send", "--relay", "https://127.0.0.1:1/mms", d.file("req.mms")}, "https is not supported"},
        {"send: userinfo in the relay URL", {"send", "--relay", "http://u:p@127.0.0.1:1/", d.file("req.mms")},
         "user information"},
        {"send: relay port 65536", {"send", "--relay", "http://127.0.0.1:65536/", d.file("req.mms")}, "1 to 65535"},
        {"send: relay port with letters", {"send", "--relay", "http://127.0.0.1:47400abc/", d.file("req.mms")},
         "1 to 65535"},
        {"send: proxy port 99999", {"send", "--relay", dead, "--proxy", "127.0.0.1:99999", d.file("req.mms")},
         "1 to 65535"},
        {"send: proxy without a port", {"send", "--relay", dead, "--proxy", "127.0.0.1", d.file("req.mms")},
         "HOST:PORT"},
        {"send: unreachable IPv6 proxy", {"send", "--relay", dead, "--proxy", "[::1]:1", d.file("req.mms")},
         "cannot connect to the proxy [::1]:1"},
        {"send: unreachable IPv6 relay", {"send", "--relay", "http://[::1]:1/mms", d.file("req.mms")},
         "cannot connect to the relay at http://[::1]:1/mms"},
        // One slash after the scheme: no host, never one named "http" or
        // "https" looked up.
        {"send: http relay with one slash", {"send", "--relay", "http:/mms", d.file("req.mms")}, "no host"},
        {"send: https relay with one slash", {"send", "--relay", "https:/x", d.file("req.mms")}, "https is not supported"},
        {"fetch: http relay with one slash", {"fetch", "--relay", "http:/127.0.0.1:1/mms", indDead, "-o", out},
         "no host"},
        {"read-report: http relay without a slash", {"read-report", "--relay", "http:mms", confHead}, "no host"},
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
        {"relay: quota below the request limit", {"relay", "--max-request", "2000", "--store-quota", "1000"},
         "--store-quota"},
        {"relay: oversize above its cap", {"relay", "--fault", "oversize=300000000"}, "at most"},
        {"relay: fault argument with a sign", {"relay", "--fault", "close-after=-5"}, "close-after takes"},
        {"relay: fault argument that is no word of its", {"relay", "--fault", "length=bogus"}, "length takes"},
        {"relay: conf-status fault of letters", {"relay", "--fault", "send:conf-status=zz"}, "conf-status takes"},
        {"relay: http-status fault of letters", {"relay", "--fault", "http-status=abc"}, "http-status takes"},
        {"relay: --conf-status with trailing letters", {"relay", "--conf-status", "0x80zz"}, "--conf-status"},
        {"example: output folder cannot be made", {"example", text + "/x"}, "x"},
        {"compose: output in a missing folder", {"compose", "-o", d.file("nowhere/out"), "--to", "+1", "--slide",
                                                 "text=" + hello}, "No such file or directory"},
        {"fetch: output in a missing folder", {"fetch", "--relay", dead, indDead, "-o", d.file("nowhere/out")},
         "No such file or directory"},
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
    EXPECT_EQ(d.list("folder").size(), 0u);
    for (const std::string &n : d.list()) EXPECT_EQ(n.find(".rorodire"), std::string::npos) << "left " << n;
}

// A message above what relays usually accept is written with a warning that
// says how long its send takes (one 2048-byte chunk per 100 ms step).
TEST(CliBadInput, LargeMessageWarnsWithSendTime) {
    TempDir d;
    const Outcome r = run_tool({"compose", "-o", d.file("big.mms"), "--to", "+1", "--attach",
                                d.write("big.bin", std::string(1 << 20, 'x'))});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t size = slurp(d.file("big.mms")).size();
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find(std::to_string(size) + " bytes, above the 307200"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("about " + std::to_string((size + 2047) / 2048 / 10) + " s"), std::string::npos) << r.err;
}

// Texts with a byte order mark are converted to UTF-8; names longer than a
// file system takes are shortened on extraction, keeping their extension and
// staying apart; a failure part-way leaves the folder as it was.
TEST(CliBadInput, TextEncodingsAndLongNamesComeOutWhole) {
    TempDir d;
    const std::string want = "Hi \xE2\x9C\x93 \xF0\x9F\x98\x80";  // "Hi ✓ 😀"
    const std::string le = std::string("\xFF\xFE", 2) + std::string("H\0i\0 \0\x13\x27 \0\x3D\xD8\x00\xDE", 14);
    const std::string be = std::string("\xFE\xFF", 2) + std::string("\0H\0i\0 \x27\x13\0 \xD8\x3D\xDE\x00", 14);
    const std::string u32 = std::string("\xFF\xFE\0\0H\0\0\0i\0\0\0 \0\0\0\x13\x27\0\0 \0\0\0\0\xF6\x01\0", 28);
    for (const std::string &bytes : {le, be, u32, "\xEF\xBB\xBF" + want}) {
        const Outcome c = run_tool({"compose", "-o", d.file("t.mms"), "--slide", "text=" + d.write("t.txt", bytes)});
        ASSERT_EQ(c.status, 0) << c.err;
        const Outcome p = run_tool({"parse", "--json", d.file("t.mms")});
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_NE(p.out.find("\"text\":\"" + want + "\""), std::string::npos) << p.out;
    }

    // Two attachments with the same 300-byte name and one of 200 three-byte
    // characters, composed by the library.
    const std::string longName = std::string(296, 'n') + ".jpg";
    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "\xE2\x9C\x93";
    wide += ".vcf";
    rrtest::HostMessage m;
    m.attachments = {{longName, "image/jpeg", {1, 2, 3}}, {longName, "image/jpeg", {4, 5}}, {wide, "text/vcard", {6}}};
    rrtest::HostLists lists(m);
    tCPS_MmsData msg{};
    msg.Header.Send_Req.Transaction_Id = const_cast<char *>("long-names");
    msg.Header.Send_Req.To = const_cast<char *>("+15550100002");
    msg.pAttach_List = lists.attachments();
    tCPS_PduBuf pdu{};
    qx::set_log_enabled(false);
    ASSERT_EQ(fnCPS_ComposeMMS(&msg, &pdu, 0), 0);
    const std::string file = d.write("long.mms", std::string(reinterpret_cast<char *>(pdu.data), pdu.length));
    fnQX_Free(reinterpret_cast<void **>(&pdu.data));

    const Outcome r = run_tool({"parse", "--extract", d.file("x"), file});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto names = d.list("x");
    ASSERT_EQ(names.size(), 3u);
    std::vector<std::string> contents;
    for (const std::string &n : names) {
        EXPECT_LE(n.size(), 255u) << n;
        EXPECT_TRUE(n.ends_with(".jpg") || n.ends_with(".vcf")) << n;
        contents.push_back(slurp(d.file("x/" + n)));
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"\x01\x02\x03", "\x04\x05", "\x06"}));

    // The second item's name is taken by a folder: nothing is written, the
    // folder stays as it was, no staging folder is left.
    mkdir(d.file("y").c_str(), 0755);
    mkdir(d.file("y/" + names[1]).c_str(), 0755);
    mkdir(d.file("y/" + names[1] + "/keep").c_str(), 0755);
    const Outcome f = run_tool({"parse", "--extract", d.file("y"), file});
    EXPECT_EQ(f.status, 1);
    ASSERT_EQ(f.err_lines().size(), 1u) << f.err;
    EXPECT_NE(f.err.find(names[1] + "' exists and is not a regular file"), std::string::npos) << f.err;
    EXPECT_EQ(d.list("y"), std::vector<std::string>{names[1]});
    for (const std::string &n : d.list()) EXPECT_EQ(n.find(".rorodire"), std::string::npos) << n;
}

// ---------------------------------------------------------------- outputs
// What stands at an output's name before the run.
enum class Planted { Fifo, Folder, Link, MissingFolder, File };

// Plants `kind` at `path` (a link points at `target`).
void plant(Planted kind, const std::string &path, const std::string &target) {
    switch (kind) {
        case Planted::Fifo: ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); break;
        case Planted::Folder: ASSERT_EQ(mkdir(path.c_str(), 0755), 0); break;
        case Planted::Link: ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0); break;
        case Planted::File: rrtest::cli::TempDir::write_to(path, "the user's own file\n"); break;
        case Planted::MissingFolder: break;
    }
}

// Whether what was planted is still there as it was.
void expect_untouched(Planted kind, const std::string &path, const std::string &target) {
    struct stat st;
    const bool there = lstat(path.c_str(), &st) == 0;
    switch (kind) {
        case Planted::Fifo: EXPECT_TRUE(there && S_ISFIFO(st.st_mode)) << path; break;
        case Planted::Folder: EXPECT_TRUE(there && S_ISDIR(st.st_mode)) << path; break;
        case Planted::Link: {
            ASSERT_TRUE(there && S_ISLNK(st.st_mode)) << path;
            char to[4096];
            const ssize_t n = readlink(path.c_str(), to, sizeof to);
            EXPECT_EQ(std::string(to, n > 0 ? static_cast<size_t>(n) : 0), target);
            break;
        }
        case Planted::File: EXPECT_EQ(slurp(path), "the user's own file\n"); break;
        case Planted::MissingFolder: EXPECT_FALSE(there); break;
    }
    EXPECT_EQ(slurp(target), "the target of a link\n") << "a link was followed";
}

// Every command's output is written the one atomic way: never over or
// through a FIFO (which would block), a folder, a symbolic link or into a
// missing folder, and what stood at the name is still there afterwards;
// nothing the run made is left behind.
TEST(CliBadInput, OutputsNeverGoOverOrThroughWhatIsThere) {
    TempDir d;
    const std::string hello = std::string(RR_SOURCE_DIR) + "/samples/hello.txt";
    const std::string target = d.write("target.txt", "the target of a link\n");
    const std::string dead = "http://127.0.0.1:" + std::to_string(closed_port()) + "/mms";
    const std::string ind = d.write("dead.ind", notification(dead + "/msg/1"));
    struct Row {
        const char *what;
        Planted kind;
        const char *command;  // compose, fetch, example, example --force
        const char *says;
    };
    const Row rows[] = {
        {"compose over a FIFO", Planted::Fifo, "compose", "is not a regular file"},
        {"compose over a folder", Planted::Folder, "compose", "is not a regular file"},
        {"compose through a symbolic link", Planted::Link, "compose", "is a symbolic link"},
        {"fetch over a FIFO", Planted::Fifo, "fetch", "is not a regular file"},
        {"fetch over a folder", Planted::Folder, "fetch", "is not a regular file"},
        {"fetch through a symbolic link", Planted::Link, "fetch", "is a symbolic link"},
        {"example over a FIFO", Planted::Fifo, "example", "is not a regular file"},
        {"example through a symbolic link", Planted::Link, "example", "is not a regular file"},
        {"example --force through a symbolic link", Planted::Link, "example --force", "is not a regular file"},
        {"example over a file of the user's", Planted::File, "example", "exists (--force replaces it)"},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string dir = d.file("case" + std::to_string(++n));
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        const std::string cmd = row.command;
        const bool example = cmd.rfind("example", 0) == 0;
        std::string path = dir + "/out";
        std::vector<std::string> args;
        if (example) {
            path = dir + "/m-send-example.req";
            args = {"example", dir};
            if (cmd == "example --force") args.insert(args.begin() + 1, "--force");
        } else if (cmd == "compose") {
            args = {"compose", "-o", path, "--to", "+1", "--slide", "text=" + hello};
        } else {
            args = {"fetch", "--relay", dead, ind, "-o", path};
        }
        plant(row.kind, path, target);
        const Outcome r = run_tool(args, 20);
        EXPECT_EQ(r.signal, 0) << "crashed or hung (a FIFO opened for writing blocks)";
        EXPECT_GT(r.status, 0);
        const auto lines = problem_lines(r);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(row.says), std::string::npos) << lines[0];
        expect_untouched(row.kind, path, target);
        EXPECT_EQ(d.list(base_of(dir)), std::vector<std::string>{base_of(path)}) << "left something behind";
    }
    // --force replaces a file of the user's (and only such a file).
    const std::string dir = d.file("forced");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    plant(Planted::File, dir + "/m-send-example.req", target);
    const Outcome f = run_tool({"example", "--force", dir});
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(slurp(dir + "/m-send-example.req").substr(0, 2), "\x8C\x80");
    EXPECT_EQ(d.list("forced").size(), 5u);
}

// A write that fails (a full disk; here a file size limit of 0) leaves the
// file that stood at the name as it was, and the line says why.
TEST(CliBadInput, AFailedWriteLeavesTheFileThatWasThere) {
    TempDir d;
    const std::string target = d.write("target.txt", "the target of a link\n");
    const std::string out = d.file("mine.mms");
    plant(Planted::File, out, target);
    const Outcome r = run_limited({tool(), "compose", "-o", out, "--to", "+1", "--slide",
                                   "text=" + std::string(RR_SOURCE_DIR) + "/samples/hello.txt"});
    EXPECT_NE(r.err.find("exit 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cannot write '" + out + "': File too large"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out), "the user's own file\n");
    EXPECT_EQ(d.list(), (std::vector<std::string>{"mine.mms", "target.txt"}));
}

// `fetch` knows it can write OUT before it downloads, and answers the relay
// only once the message is stored: a message it cannot store is answered
// Deferred (with --ack: not answered) and stays on the relay; the sender is
// never told it arrived.
TEST(CliBadInput, FetchStoresTheMessageBeforeItAnswers) {
    TempDir d;
    RelayProcess relay(d.path());
    ASSERT_FALSE(relay.url().empty());
    const Outcome c = run_tool({"compose", "-o", d.file("req.mms"), "--to", "+15550100002", "--delivery-report",
                                "--slide", "text=" + std::string(RR_SOURCE_DIR) + "/samples/hello.txt"});
    ASSERT_EQ(c.status, 0) << c.err;
    ASSERT_EQ(run_tool({"send", "--relay", relay.url(), d.file("req.mms")}).status, 0);
    const auto inds = relay.spooled(".ind");
    ASSERT_EQ(inds.size(), 1u);
    const size_t sent = relay.log().size();

    // A folder that does not exist: nothing is downloaded.
    const Outcome missing = run_tool({"fetch", "--relay", relay.url(), inds[0], "-o", d.file("nowhere/got.mms")});
    EXPECT_EQ(missing.status, 3);
    ASSERT_EQ(problem_lines(missing).size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("No such file or directory (nothing was downloaded)"), std::string::npos) << missing.err;
    EXPECT_EQ(relay.log().size(), sent) << "the relay heard of it";

    // The store fails (a file size limit of 0): Deferred, or no answer.
    for (const char *mode : {"--notifyresp", "--ack"}) {
        SCOPED_TRACE(mode);
        const Outcome r = run_limited({tool(), "fetch", mode, "--relay", relay.url(), inds[0], "-o", d.file("got.mms")});
        EXPECT_NE(r.err.find("exit 3"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("cannot write '" + d.file("got.mms") + "': File too large"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string(mode) == "--ack" ? "the relay was not answered and keeps the message"
                                                         : "the relay was told Deferred and keeps the message"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(d.file("got.mms")));
        const auto log = relay.log();
        ASSERT_FALSE(log.empty());
        if (std::string(mode) == "--ack") {
            EXPECT_EQ(json_value(log.back(), "type"), "m-retrieve-conf") << "an acknowledgement was sent: " << log.back();
        } else {
            EXPECT_EQ(json_value(log.back(), "type"), "m-notifyresp-ind");
            EXPECT_EQ(json_value(log.back(), "mms_status"), "0x83") << log.back();
        }
        EXPECT_TRUE(relay.spooled("-delivery-retrieved.ind").empty()) << "the sender was told it arrived";
    }
    for (const std::string &n : d.list()) EXPECT_EQ(n.find(".tmp-"), std::string::npos) << "left " << n;

    // The message stayed on the relay: a fetch that can store it gets it.
    const Outcome ok = run_tool({"fetch", "--relay", relay.url(), inds[0], "-o", d.file("got.mms")});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(slurp(d.file("got.mms")).substr(0, 2), "\x8C\x84");
    EXPECT_EQ(json_value(relay.log().back(), "mms_status"), "0x81");
    EXPECT_EQ(relay.spooled("-delivery-retrieved.ind").size(), 1u);
}

// Every failure line names its cause: the HTTP status with its reason, the
// Response-Status in words with the relay's Response-Text, what the answer
// is instead of a confirmation. --json --verbose keeps the log off stdout.
TEST(CliBadInput, FailuresNameTheirCause) {
    TempDir d;
    RelayProcess relay(d.path());
    ASSERT_FALSE(relay.url().empty());
    const Outcome c = run_tool({"compose", "-o", d.file("req.mms"), "--to", "+15550100002", "--slide",
                                "text=" + std::string(RR_SOURCE_DIR) + "/samples/hello.txt"});
    ASSERT_EQ(c.status, 0) << c.err;
    const std::string req = d.file("req.mms");
    const std::string conf = rrtest::interop_path("m-retrieve_2.conf");
    const std::string gone = d.write("gone.ind", notification(relay.url().substr(0, relay.url().rfind('/')) + "/msg/none"));
    const std::string u = relay.url() + "?fault=";
    struct Row {
        const char *what;
        std::vector<std::string> args;
        const char *says;
    };
    const Row rows[] = {
        {"send refused with HTTP 500", {"send", "--relay", u + "http-status=500", req},
         "the relay answered HTTP 500 Internal Server Error"},
        {"send refused with HTTP 400", {"send", "--relay", u + "http-status=400", req},
         "the relay answered HTTP 400 Bad Request"},
        {"send refused with 0xE2", {"send", "--relay", u + "conf-status=0xE2", req},
         "Response-Status 0xE2 Error-permanent-message-format-corrupt"},
        {"send refused with 0xE3", {"send", "--relay", u + "conf-status=0xE3", req},
         "Response-Status 0xE3 Error-permanent-sending-address-unresolved"},
        {"send refused with 0xC0", {"send", "--relay", u + "conf-status=0xC0", req},
         "Response-Status 0xC0 Error-transient-failure"},
        {"send answered with garbage", {"send", "--relay", u + "garbage", req},
         "the relay's answer is not the confirmation of this request"},
        {"fetch of a message that is not there", {"fetch", "--relay", relay.url(), gone, "-o", d.file("x.mms")},
         "the relay answered HTTP 404 Not Found"},
        {"read report refused", {"read-report", "--relay", u + "answer:http-status=503", conf},
         "HTTP 503 Service Unavailable"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome r = run_tool(row.args, 60);
        EXPECT_EQ(r.status, 10);
        const auto lines = problem_lines(r);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(row.says), std::string::npos) << lines[0];
    }

    // --json --verbose: stdout is the one JSON object, the log goes to stderr.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"send", "--json", "--verbose", "--relay", u + "http-status=500", req},
          std::vector<std::string>{"fetch", "--json", "--verbose", "--relay", relay.url(), gone, "-o", d.file("x.mms")}}) {
        SCOPED_TRACE(args[0]);
        const Outcome r = run_tool(args, 60);
        EXPECT_EQ(r.status, 10);
        ASSERT_FALSE(r.out.empty());
        EXPECT_EQ(r.out.front(), '{') << r.out;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "more than the JSON line:\n" << r.out;
        EXPECT_NE(r.out.find("\"exit\":10"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("mzk:"), std::string::npos) << "no log on stderr";
    }
}

// The relay reads its fault arguments whole, answers a stated length it will
// not read 413 and two lengths that differ 400 at once, and refuses a read
// report that names two messages rather than taking the last.
TEST(CliBadInput, RelayRefusesWhatItCannotReadPlainly) {
    TempDir d;
    RelayProcess relay(d.path());
    ASSERT_FALSE(relay.url().empty());
    const int port = relay.port();
    const struct {
        const char *what;
        std::string request;
        const char *status;  // the HTTP status of the answer
    } rows[] = {
        {"Content-Length 2^63-1",
         "POST /mms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9223372036854775807\r\n\r\nabc", "413"},
        {"Content-Length past 64 bits",
         "POST /mms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 99999999999999999999\r\n\r\nabc", "413"},
        {"two Content-Lengths that differ",
         "POST /mms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\nContent-Length: 5\r\n\r\nabc", "400"},
        {"a fault argument of letters", "GET /control?fault=http-status%3Dabc HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", "400"},
        {"a fault argument with a sign", "GET /control?fault=close-after%3D-5 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", "400"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string answer = raw_exchange(port, row.request);
        EXPECT_EQ(answer.rfind("HTTP/1.", 0), 0u) << (answer.empty() ? "no answer" : answer);
        EXPECT_EQ(answer.substr(8, 5), std::string(" ") + row.status + " ") << answer;
    }

    // A message of the relay's, and read reports of its recipient.
    const Outcome c = run_tool({"compose", "-o", d.file("req.mms"), "--to", "+15550100002", "--read-reply",
                                "--slide", "text=" + std::string(RR_SOURCE_DIR) + "/samples/hello.txt"});
    ASSERT_EQ(c.status, 0) << c.err;
    ASSERT_EQ(run_tool({"send", "--relay", relay.url(), d.file("req.mms")}).status, 0);
    std::string id;
    for (const std::string &l : relay.log())
        if (json_value(l, "type") == "m-send-req") id = json_value(l, "message_id");
    ASSERT_FALSE(id.empty());
    tMMS_ReadRecInd rec{};
    rec.Message_Id = const_cast<char *>(id.c_str());
    rec.To = const_cast<char *>("+15550100001");
    rec.From = const_cast<char *>("+15550100002/TYPE=PLMN");
    rec.Read_Status = 0x80;
    int len = 0;
    uint8_t *pdu = fnMMS_MakeReadRecIndPdu(&rec, &len);
    ASSERT_NE(pdu, nullptr);
    const std::string one(reinterpret_cast<char *>(pdu), static_cast<size_t>(len));
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    // The same report with another Message-ID before its own.
    const std::string two = one.substr(0, 2) + std::string("\x8B" "M0-other", 10) + one.substr(2);
    const std::string refused = raw_exchange(port, post_request("/mms", two));
    EXPECT_EQ(refused.rfind("HTTP/1.1 400", 0), 0u) << refused;
    EXPECT_NE(relay.log().back().find("names 2 Message-IDs"), std::string::npos) << relay.log().back();
    EXPECT_TRUE(relay.spooled("-read.ind").empty());
    const std::string taken = raw_exchange(port, post_request("/mms", one));
    EXPECT_EQ(taken.rfind("HTTP/1.1 200", 0), 0u) << taken;
    EXPECT_EQ(relay.spooled("-read.ind").size(), 1u);
}

// --extract and --html into one folder: everything is written together and
// the preview never replaces a file the run extracted (an attachment named
// index.html keeps its bytes under another name); a name of the user's is
// refused before anything is written.
TEST(CliBadInput, ExtractAndPreviewIntoOneFolderKeepApart) {
    TempDir d;
    ASSERT_EQ(mkdir(d.file("in").c_str(), 0755), 0);
    const std::string page = d.write("in/index.html", "<p>attached page</p>\n");
    const Outcome c = run_tool({"compose", "-o", d.file("m.mms"), "--to", "+1", "--slide",
                                "text=" + std::string(RR_SOURCE_DIR) + "/samples/hello.txt", "--attach", page});
    ASSERT_EQ(c.status, 0) << c.err;
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "--force" : "without --force");
        const std::string dir = d.file(force ? "forced" : "plain");
        std::vector<std::string> args = {"parse", "--extract", dir, "--html", dir, d.file("m.mms")};
        if (force) args.insert(args.begin() + 1, "--force");
        const Outcome r = run_tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(slurp(dir + "/index.html").find("<!DOCTYPE html>"), std::string::npos) << "not the preview";
        int copies = 0;
        for (const std::string &n : d.list(base_of(dir))) copies += slurp(dir + "/" + n) == "<p>attached page</p>\n";
        EXPECT_GE(copies, 1) << "the extracted attachment was replaced";
        EXPECT_NE(r.out.find("2-index.html"), std::string::npos) << r.out;
    }
    // A file of the user's in the way: refused, nothing written.
    ASSERT_EQ(mkdir(d.file("users").c_str(), 0755), 0);
    d.write("users/index.html", "mine\n");
    const Outcome r = run_tool({"parse", "--extract", d.file("users"), "--html", d.file("users"), d.file("m.mms")});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(problem_lines(r).size(), 1u) << r.err;
    EXPECT_EQ(d.list("users"), std::vector<std::string>{"index.html"});
    EXPECT_EQ(slurp(d.file("users/index.html")), "mine\n");
}

// Names and texts from a message: an encoded NUL does not cut a name short,
// and the controls a terminal or an editor acts on (C1 such as CSI U+009B,
// U+2028, U+2029, U+FEFF) are escaped in listings and never reach a file
// name.
TEST(CliBadInput, HiddenCharactersInNamesAreShownAndNeverWritten) {
    TempDir d;
    rrtest::BodyBuilder body;
    body.part("application/octet-stream", "=?UTF-8?Q?x=00abc?=.txt", {'1'})
        .part("application/octet-stream", "csi\xC2\x9B" "2J.txt", {'2'})
        .part("application/octet-stream", "line\xE2\x80\xA8sep.txt", {'3'})
        .part("application/octet-stream", "para\xE2\x80\xA9sep.txt", {'4'})
        .part("application/octet-stream", "\xEF\xBB\xBF" "bom.txt", {'5'});
    rrtest::RetrieveConfFields f;
    f.transactionId = "T-hidden";
    f.messageId = "M-hidden";
    f.from = "+15550100001";
    const std::vector<uint8_t> pdu = rrtest::make_retrieve_conf(f, body.encode());
    const std::string file = d.write("hidden.mms", std::string(pdu.begin(), pdu.end()));

    const Outcome text = run_tool({"parse", file});
    ASSERT_EQ(text.status, 0) << text.err;
    const Outcome json = run_tool({"parse", "--json", file});
    ASSERT_EQ(json.status, 0) << json.err;
    const Outcome x = run_tool({"parse", "--extract", d.file("x"), file});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_NE(text.out.find("x\xEF\xBF\xBD" "abc.txt"), std::string::npos) << "cut at the NUL:\n" << text.out;
    for (const char *raw : {"\xC2\x9B", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xEF\xBB\xBF"}) {
        EXPECT_EQ(text.out.find(raw), std::string::npos) << text.out;
        EXPECT_EQ(json.out.find(raw), std::string::npos) << json.out;
        for (const std::string &n : d.list("x")) EXPECT_EQ(n.find(raw), std::string::npos) << n;
    }
    for (const char *shown : {"\\u009B", "\\u2028", "\\u2029", "\\uFEFF"})
        EXPECT_NE(text.out.find(shown), std::string::npos) << shown << " in\n" << text.out;
    for (const char *shown : {"\\u009b", "\\u2028", "\\u2029", "\\ufeff"})
        EXPECT_NE(json.out.find(shown), std::string::npos) << shown << " in\n" << json.out;
    const auto names = d.list("x");
    EXPECT_NE(std::find(names.begin(), names.end(), "csi_2J.txt"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "_bom.txt"), names.end());
}

// Every command answers --help with its options (exit 0); the overview names
// every option of compose; the man page lists what the commands' help says.
TEST(CliBadInput, EveryCommandHasItsHelp) {
    const struct {
        std::vector<std::string> args;
        std::vector<const char *> names;
    } rows[] = {
        {{"dump", "--help"}, {"--json", "--verbose", "meanings"}},
        {{"example", "--help"}, {"--force", "OUTDIR"}},
        {{"parse", "--help"}, {"--json", "--extract", "--html", "--force", "Exit status"}},
        {{"help"}, {"--date", "--max-size", "example [--force] OUTDIR", "stderr"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0]);
        const Outcome r = run_tool(row.args);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const char *n : row.names) EXPECT_NE(r.out.find(n), std::string::npos) << n << " in\n" << r.out;
    }
    const std::string man = slurp(std::string(RR_SOURCE_DIR) + "/doc/man/rorodire.1.scd");
    const std::string exits = man.substr(man.find("# EXIT STATUS"));
    for (const char *code : {"*3*", "*4*", "*10*"}) {
        const size_t at = exits.find(std::string(code) + "\n");
        ASSERT_NE(at, std::string::npos) << code;
        EXPECT_NE(exits.substr(at, exits.find("\n\n", at) - at).find("read-report"), std::string::npos) << code;
    }
    EXPECT_NE(man.find("meanings"), std::string::npos);
}

}  // namespace
