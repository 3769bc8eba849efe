// Bad input for the tool's parts in one process: the relay's fault
// arguments, read whole or refused, and a read report's post against a relay
// that answers one byte at a time, which the overall deadline ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "hbxappglib.h"
#include "qx_log.h"
#include "rorodire_relay.h"
#include "rorodire_transfer.h"
#include "rr_hostfiles.h"

namespace {

namespace relay = rrtool::relay;
namespace transfer = rrtool::transfer;

TEST(ToolBadInput, RelayFaultArgumentsAreReadWhole) {
    const char *refused[] = {
        "close-after=-5",   "close-after=",   "close-after=12x", "close-after= 12",  "length=bogus",
        "length=",          "length",         "conf-status=zz",  "conf-status=0x80zz", "conf-status=0x7F",
        "conf-status=256",  "conf-status=",   "conf-status=0x",  "conf-status=-128", "http-status=abc",
        "http-status=5000", "http-status=99", "http-status=",    "http-status=+404", "http-status=40x",
        "trickle=0",        "trickle=abc",    "trickle=5/x",     "trickle=5/",       "trickle=/5",
        "stall=1",          "garbage=yes",    "oversize=12abc",  "oversize=-1",      "oversize=99999999999",
        "send:stall=0",
    };
    for (const char *arg : refused) {
        relay::Fault f;
        std::string why;
        EXPECT_FALSE(relay::parse_fault(arg, &f, &why)) << arg;
        EXPECT_NE(why.find(arg), std::string::npos) << why;
    }
    const char *taken[] = {"close-after=0", "close-after=900", "length=absent", "length=more",  "conf-status=0xE3",
                           "conf-status=226", "conf-status=0x80", "http-status=404", "get:http-status=100",
                           "trickle=5",     "trickle=1/20",    "stall",          "answer:garbage", "oversize",
                           "oversize=400000"};
    for (const char *arg : taken) {
        relay::Fault f;
        std::string why;
        EXPECT_TRUE(relay::parse_fault(arg, &f, &why)) << arg << ": " << why;
    }
    int b = 0;
    EXPECT_TRUE(relay::parse_status_byte("0xe2", &b));
    EXPECT_EQ(b, 0xE2);
    EXPECT_TRUE(relay::parse_status_byte("255", &b));
    EXPECT_EQ(b, 0xFF);
}

// A relay that takes the request and then sends its status line one byte
// every 50 ms, for ever: every idle limit is satisfied, only the overall
// deadline ends the post.
class Trickler {
public:
    Trickler() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            const std::string line = "HTTP/1.1 200 OK\r\nX-Slow: ";
            for (size_t i = 0; !stop_; ++i) {
                char buf[4096];
                (void)recv(c, buf, sizeof buf, MSG_DONTWAIT);
                const char byte = i < line.size() ? line[i] : 'a';
                if (send(c, &byte, 1, MSG_NOSIGNAL) != 1) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            close(c);
        });
    }
    ~Trickler() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/mms"; }

private:
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ToolBadInput, ReadReportPostEndsAtItsOverallDeadline) {
    qx::set_log_enabled(false);
    Trickler relay;
    transfer::Common c;
    c.relay = relay.url();
    transfer::g_run = transfer::Run{};
    transfer::g_run.progressCode = HBX_MSG_SEND_PROGRESS;
    const std::vector<uint8_t> pdu = {0x8C, 0x87, 0x8D, 0x92, 0x8B, 'M', '1', 0};
    std::string answer;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(transfer::post_pdu(c, pdu, &answer, 1500));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(transfer::g_run.done);
    EXPECT_TRUE(transfer::g_run.deadlineHit);
    EXPECT_EQ(transfer::g_run.code, HBX_MSG_SEND_FAIL);
    EXPECT_GE(seconds, 1.4);
    EXPECT_LT(seconds, 10.0);
    // The tool's read report gets the transactions' deadline for its bytes.
    EXPECT_EQ(transfer::post_deadline_ms(pdu.size()),
              hbx_DeadlineFor(static_cast<int64_t>(pdu.size()) + HBX_ACK_WORK_BUF));
}

// A refused send is named by its confirmation: the Response-Status in
// words and the relay's Response-Text, quoted for a terminal.
TEST(ToolBadInput, RefusalsAreNamedWithTheRelaysWords) {
    const struct {
        uint8_t status;
        const char *text;
        const char *says;
    } rows[] = {
        {0xE2, "quota exceeded", "the relay answered Response-Status 0xE2 Error-permanent-message-format-corrupt "
                                 "\"quota exceeded\""},
        {0xE3, nullptr, "the relay answered Response-Status 0xE3 Error-permanent-sending-address-unresolved"},
        {0xC0, "try\x1b[2J later", "Response-Status 0xC0 Error-transient-failure \"try\\x1B[2J later\""},
        {0xCF, nullptr, "Response-Status 0xCF Error-transient-failure"},
        {0x83, nullptr, "Response-Status 0x83 Error-message-format-corrupt"},
    };
    transfer::Common c;
    c.relay = "http://127.0.0.1:1/mms";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.says);
        transfer::g_run = transfer::Run{};
        transfer::g_run.progressCode = HBX_MSG_SEND_PROGRESS;
        int len = 0;
        uint8_t *conf = fnMMS_MakeSendConfPdu("t1", row.status, row.text, nullptr, &len);
        ASSERT_NE(conf, nullptr);
        transfer::g_run.conf.assign(conf, conf + len);
        fnQX_Free(reinterpret_cast<void **>(&conf));
        const std::string cause = transfer::failure_cause(c);
        EXPECT_NE(cause.find(row.says), std::string::npos) << cause;
    }
}

// The one atomic write: what appears at the name between the check and the
// rename (a FIFO, a folder, a link) is never replaced, and nothing but the
// temporary file is removed; a regular file is replaced (or, told so, kept).
TEST(ToolBadInput, AtomicWriteNeverReplacesWhatAppearsMeanwhile) {
    char tmpl[] = "/tmp/rr_atomic_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto entries = [&] {
        std::vector<std::string> v;
        if (DIR *d = opendir(dir.c_str())) {
            while (const dirent *e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") v.push_back(e->d_name);
            closedir(d);
        }
        return v;
    };
    const struct {
        const char *what;
        int (*appear)(const char *path);
        bool replace;      // WriteOptions::replace
        bool written;      // the new bytes end up at the name
        mode_t kind;       // what is at the name afterwards
    } rows[] = {
        {"a FIFO", [](const char *p) { return mkfifo(p, 0644); }, true, false, S_IFIFO},
        {"a folder", [](const char *p) { return mkdir(p, 0755); }, true, false, S_IFDIR},
        {"a symbolic link", [](const char *p) { return symlink("/etc/hostname", p); }, true, false, S_IFLNK},
        {"a regular file", [](const char *p) { return close(open(p, O_WRONLY | O_CREAT, 0644)); }, true, true, S_IFREG},
        {"a regular file, not to be replaced", [](const char *p) { return close(open(p, O_WRONLY | O_CREAT, 0644)); },
         false, false, S_IFREG},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = dir + "/out";
        rrhost::WriteOptions opt;
        opt.replaceLink = false;
        opt.replace = row.replace;
        rrhost::AtomicFile f;
        std::string why;
        ASSERT_TRUE(f.begin(path, opt, &why)) << why;
        ASSERT_EQ(row.appear(path.c_str()), 0);
        const bool ok = f.commit("new", 3, &why);
        EXPECT_EQ(ok, row.written) << why;
        if (!ok) { EXPECT_NE(why.find("cannot write '" + path + "'"), std::string::npos) << why; }
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, row.kind);
        if (row.kind == S_IFREG) { EXPECT_EQ(st.st_size, row.written ? 3 : 0); }
        EXPECT_EQ(entries(), std::vector<std::string>{"out"}) << "a temporary file was left";
        std::system(("rm -rf '" + path + "'").c_str());
    }
    // Begun and never committed: the temporary file goes with the object.
    {
        rrhost::AtomicFile f;
        std::string why;
        ASSERT_TRUE(f.begin(dir + "/never", rrhost::WriteOptions{}, &why)) << why;
        EXPECT_EQ(entries().size(), 1u);
    }
    EXPECT_TRUE(entries().empty());
    rmdir(dir.c_str());
}

}  // namespace
