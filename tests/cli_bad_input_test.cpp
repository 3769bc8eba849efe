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

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "cli_run.h"
#include "composer_host.h"
#include "qx_log.h"
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

}  // namespace
