// The HTTP client on real loopback sockets with the real osal, stepped by
// osal one-shot timers on a GLib main loop the way a host runs it: a small
// HTTP/1.0 server in the test, reached directly and through a real proxy
// (tinyproxy, started by the test with its own configuration).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "glib_qx_stack_porting.h"
#include "osal.h"
#include "qx_log.h"
#include "qx_stack_http.h"
#include "test_support.h"

// ------------------------------------------------------------ fake resolver
// Answers "twohomed.test" with 127.0.0.2 first and 127.0.0.1 second, like a
// name whose first address is unreachable; every other name is unknown.
typedef struct {
    GResolver parent;
} ListResolver;
typedef struct {
    GResolverClass parent_class;
} ListResolverClass;

G_DEFINE_TYPE(ListResolver, list_resolver, G_TYPE_RESOLVER)

static void list_lookup_async(GResolver *r, const gchar *host, GCancellable *c, GAsyncReadyCallback cb, gpointer ud) {
    GTask *t = g_task_new(r, c, cb, ud);
    if (g_strcmp0(host, "twohomed.test") == 0) {
        GList *l = nullptr;
        l = g_list_append(l, g_inet_address_new_from_string("127.0.0.2"));
        l = g_list_append(l, g_inet_address_new_from_string("127.0.0.1"));
        g_task_return_pointer(t, l, reinterpret_cast<GDestroyNotify>(g_resolver_free_addresses));
    } else {
        g_task_return_new_error(t, G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, "unknown test name");
    }
    g_object_unref(t);
}
static GList *list_lookup_finish(GResolver *, GAsyncResult *res, GError **err) {
    return static_cast<GList *>(g_task_propagate_pointer(G_TASK(res), err));
}
static GList *list_lookup_sync(GResolver *, const gchar *, GCancellable *, GError **err) {
    g_set_error_literal(err, G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, "asynchronous only");
    return nullptr;
}
static void list_resolver_class_init(ListResolverClass *k) {
    GResolverClass *rc = G_RESOLVER_CLASS(k);
    rc->lookup_by_name = list_lookup_sync;
    rc->lookup_by_name_async = list_lookup_async;
    rc->lookup_by_name_finish = list_lookup_finish;
}
static void list_resolver_init(ListResolver *) {}

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- test server

std::string make_body(size_t n);

struct Seen {
    std::string method, target, head, body;
    std::string header(const std::string &name) const {
        // Case-insensitive search of "\r\nName:" in the header block.
        std::string lower = head, key = "\r\n" + name + ":";
        for (auto &c : lower) c = static_cast<char>(g_ascii_tolower(c));
        for (auto &c : key) c = static_cast<char>(g_ascii_tolower(c));
        const size_t at = lower.find(key);
        if (at == std::string::npos) return "";
        size_t v = at + key.size();
        while (v < head.size() && head[v] == ' ') ++v;
        return head.substr(v, head.find("\r\n", v) - v);
    }
};

bool send_all(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads what is there within the time-out: 1 data, 0 nothing yet, -1 the
// peer closed or an error.
int recv_some(int fd, std::string *into, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return 0;
    char buf[8192];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return -1;
    into->append(buf, static_cast<size_t>(n));
    return 1;
}

int listen_loopback(uint16_t *port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// One connection at a time on its own thread, with blocking sockets and
// deadlines everywhere. What the client sent is recorded; the answer depends
// on the path.
class TestServer {
public:
    TestServer() {
        fd_ = listen_loopback(&port_);
        if (fd_ >= 0) thread_ = std::thread([this] { loop(); });
    }
    ~TestServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> l(mu_);
        return seen_;
    }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            serve(c);
            close(c);
        }
    }

    void serve(int c) {
        std::string in;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        size_t headEnd;
        while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
            if (stop_ || Clock::now() > deadline || recv_some(c, &in, 100) < 0) return;
        }
        Seen s;
        s.head = in.substr(0, headEnd + 2);
        const size_t sp1 = s.head.find(' '), sp2 = s.head.find(' ', sp1 + 1);
        s.method = s.head.substr(0, sp1);
        s.target = s.head.substr(sp1 + 1, sp2 - sp1 - 1);
        const long len = std::atol(s.header("Content-Length").c_str());
        s.body = in.substr(headEnd + 4);
        while (static_cast<long>(s.body.size()) < len && Clock::now() < deadline && !stop_)
            if (recv_some(c, &s.body, 100) < 0) break;
        {
            std::lock_guard<std::mutex> l(mu_);
            seen_.push_back(s);
        }
        answer(c, s);
    }

    void answer(int c, const Seen &s) {
        std::string path = s.target;
        if (path.rfind("http://", 0) == 0) path = path.substr(path.find('/', 7));
        auto reply = [&](const std::string &status, const std::string &extra, const std::string &body) {
            send_all(c, "HTTP/1.0 " + status + "\r\n" + extra + "Content-Type: text/plain\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
        };
        if (path == "/hello") {
            reply("200 OK", "", "hello world");
        } else if (path == "/upload") {
            reply("200 OK", "", "got " + std::to_string(s.body.size()));
        } else if (path == "/redirect") {
            reply("302 Found", "Location: " + url("/hello") + "\r\n", "moved");
        } else if (path == "/setcookie") {
            reply("200 OK", "Set-Cookie: sid=xyz42; Path=/\r\nSet-Cookie2: theme=dark\r\n", "set");
        } else if (path == "/needcookie") {
            reply("200 OK", "", "cookie[" + s.header("Cookie") + "]");
        } else if (path == "/big") {
            std::string body(60000, '\0');
            for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
            reply("200 OK", "", body);
        } else if (path == "/chunked") {
            // HTTP/1.1 framing as a real server sends it: chunks of many sizes,
            // an extension now and then, a trailer.
            const std::string payload = make_body(50000);
            std::string out = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n";
            size_t at = 0;
            for (size_t n = 1; at < payload.size(); n = n * 3 % 4093 + 1) {
                const size_t take = std::min(n, payload.size() - at);
                char size[32];
                std::snprintf(size, sizeof size, "%zx%s\r\n", take, n % 5 == 0 ? ";ext=1" : "");
                out += size + payload.substr(at, take) + "\r\n";
                at += take;
            }
            out += "0\r\nX-Checksum: none\r\n\r\n";
            send_all(c, out);
        } else if (path == "/continue") {
            send_all(c, "HTTP/1.1 100 Continue\r\n\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            reply("200 OK", "", "after continue");
        } else if (path == "/307") {
            // A relative Location: the same request goes again to /upload.
            reply("307 Temporary Redirect", "Location: upload\r\n", "");
        } else if (path == "/rst-body") {
            send_all(c, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + make_body(30000));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            linger l{1, 0};  // the close below resets the connection
            setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        } else if (path == "/bad-cookie") {
            reply("302 Found",
                  "Location: /needcookie\r\nSet-Cookie: evil=a\rX-Injected: yes\r\nSet-Cookie2: good=1\r\n", "");
        } else if (path == "/bad-location") {
            reply("302 Found", "Location: /hello\x01\r\n", "");
        } else if (path == "/other-scheme") {
            reply("302 Found", "Location: https://127.0.0.1:" + std::to_string(port_) + "/hello\r\n", "");
        } else if (path == "/cut-headers") {
            send_all(c, "HTTP/1.0 200 OK\r\nContent-Le");  // and close
        } else if (path == "/cut-body") {
            send_all(c, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
        } else if (path == "/silent") {
            // Holds the connection without a word until the client gives up.
            std::string ignored;
            const auto until = Clock::now() + std::chrono::seconds(12);
            while (!stop_ && Clock::now() < until) {
                pollfd p{c, POLLIN, 0};
                if (poll(&p, 1, 50) > 0 && recv_some(c, &ignored, 0) < 0) break;
            }
        } else {
            reply("404 Not Found", "", "");
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<Seen> seen_;
};

// ---------------------------------------------------------------- tinyproxy

std::string find_tinyproxy() {
    for (const char *p : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "/usr/local/bin/tinyproxy"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

class Tinyproxy {
public:
    bool start(std::string *why) {
        const std::string bin = find_tinyproxy();
        if (bin.empty()) {
            *why = "tinyproxy is not installed";
            return false;
        }
        char tmpl[] = "/tmp/rr_tinyproxy_XXXXXX";
        if (!mkdtemp(tmpl)) {
            *why = "no temporary directory";
            return false;
        }
        dir_ = tmpl;
        // A free port: bind port 0, read it, release it for the proxy.
        const int probe = listen_loopback(&port_);
        if (probe < 0) {
            *why = "no free port";
            return false;
        }
        close(probe);
        const std::string conf = dir_ + "/tinyproxy.conf";
        std::ofstream(conf) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 20\nAllow 127.0.0.1\n"
                            << "MaxClients 20\nLogLevel Warning\nDisableViaHeader Yes\n";
        const std::string log = dir_ + "/tinyproxy.log";
        pid_ = fork();
        if (pid_ == 0) {
            // Foreground, its messages into the temporary directory only.
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            execl(bin.c_str(), "tinyproxy", "-d", "-c", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) {
            *why = "fork failed";
            return false;
        }
        // Ready when it accepts a connection (bounded).
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            const int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port_);
            const bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            close(s);
            if (up) return true;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                *why = "tinyproxy exited at start";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        *why = "tinyproxy did not start listening";
        return false;
    }
    ~Tinyproxy() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            bool gone = false;
            for (int i = 0; i < 100 && !gone; ++i) {
                gone = waitpid(pid_, &status, WNOHANG) == pid_;
                if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (!gone) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
        if (!dir_.empty()) {
            unlink((dir_ + "/tinyproxy.conf").c_str());
            unlink((dir_ + "/tinyproxy.log").c_str());
            rmdir(dir_.c_str());
        }
    }
    uint16_t port() const { return port_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string dir_;
};

// ---------------------------------------------------------------- driving a context

constexpr int kStepMs = 2;  // hosts use 100 ms; the tests go faster

struct Drive {
    HttpCtx *ctx = nullptr;
    int capacity = 1500;
    std::string body;
    int result = -2;
    int steps = 0;
    int maxChunk = 0;    // largest single write seen
    long sentTotal = 0;  // sum of socketSendLen, read and cleared like the send transaction
    GMainLoop *loop = nullptr;
    std::vector<OSAL_TIMER> timers;
};

void arm(Drive *d);

void on_timer(void *user) {
    auto *d = static_cast<Drive *>(user);
    ++d->steps;
    std::vector<char> out(static_cast<size_t>(d->capacity));
    const int r = fnQXStack_Http_Read(d->ctx, out.data(), d->capacity);
    if (d->ctx->socketSendLen > 0) {
        d->maxChunk = std::max(d->maxChunk, static_cast<int>(d->ctx->socketSendLen));
        d->sentTotal += d->ctx->socketSendLen;
        d->ctx->socketSendLen = 0;
    }
    if (r > 0) d->body.append(out.data(), static_cast<size_t>(r));
    if (r > 0 || r == -2) {
        arm(d);
        return;
    }
    d->result = r;
    g_main_loop_quit(d->loop);
}

void arm(Drive *d) {
    OSAL_TIMER t = nullptr;
    ASSERT_EQ(g_settimer(kStepMs, on_timer, d, 0, &t), 0);
    d->timers.push_back(t);
}

gboolean on_deadline(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

// Runs the context to its end (0 or -1), bounded by a deadline; closes it.
Drive run(HttpCtx *ctx, int capacity = 1500, int deadlineSeconds = 20) {
    Drive d;
    d.ctx = ctx;
    d.capacity = capacity;
    d.loop = g_main_loop_new(nullptr, FALSE);
    const guint guard = g_timeout_add_seconds(static_cast<guint>(deadlineSeconds), on_deadline, d.loop);
    arm(&d);
    g_main_loop_run(d.loop);
    g_source_remove(guard);
    for (OSAL_TIMER t : d.timers) g_free_timer(t);
    g_main_loop_unref(d.loop);
    return d;
}

class HttpNet : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        ASSERT_TRUE(server_.ok());
        ASSERT_NE(g_time_initialize(), 0);
        ASSERT_EQ(fnQXStack_Http_Init(), 0);
    }
    void TearDown() override {
        fnQXStack_Http_Finalize();
        qx::set_log_enabled(true);
    }
    // Starts tinyproxy and points the client at it; false when the test skips.
    bool use_proxy() {
        std::string why;
        if (!proxy_.start(&why)) {
            const char *req = std::getenv("RR_REQUIRE_TINYPROXY");
            if (req && std::string(req) == "1") ADD_FAILURE() << why;
            return false;
        }
        fnQXStack_Http_SetProxy("127.0.0.1", proxy_.port());
        return true;
    }
    rrtest::LeakCheck leaks_;
    TestServer server_;
    Tinyproxy proxy_;
};

#define USE_PROXY_OR_SKIP()                                                   \
    do {                                                                      \
        if (!use_proxy()) {                                                   \
            if (HasFailure()) return;                                         \
            GTEST_SKIP() << "tinyproxy not available (RR_REQUIRE_TINYPROXY=1 makes this fail)"; \
        }                                                                     \
    } while (0)

std::string make_body(size_t n) {
    std::string b(n, '\0');
    uint32_t x = 12345;
    for (auto &c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return b;
}

// Open sockets of this process: the client's are among them (GLib's own
// descriptors, made on first use of a main loop, are not sockets).
int open_fds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d)) {
            char link[64] = {0};
            const std::string path = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strncmp(link, "socket:", 7) == 0) ++n;
        }
        closedir(d);
    }
    return n;
}

// Waits (bounded) until this process holds no more sockets than before:
// the test server's thread closes its side a moment after the client ends.
bool fds_back_to(int before) {
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (open_fds() > before) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool no_slot_held() {
    for (const QXSocketEntry &e : fnQX_Stack_Layer().slots)
        if (e.ISocket != 0) return false;
    return true;
}

// ---------------------------------------------------------------- direct

TEST_F(HttpNet, DirectGet) {
    HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/hello").c_str());
    ASSERT_NE(ctx, nullptr);
    const Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "hello world");
    EXPECT_EQ(ctx->retValue, 200);
    EXPECT_EQ(ctx->retCtxLen, 11);
    EXPECT_STREQ(ctx->retContentType, "text/plain");
    fnQXStack_Http_Close(ctx);
    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].head.substr(0, 27), "GET /hello HTTP/1.0\r\nHost: ");
    EXPECT_EQ(seen[0].header("Host"), "127.0.0.1:" + std::to_string(server_.port()));
    EXPECT_EQ(seen[0].header("User-Agent"), "VRN-WIN K410/WAP2.0 Profile/MIDP-2.0 Configuration/CLDC-1.1");
}

TEST_F(HttpNet, DirectPostOf100KilobytesInChunksOf2048) {
    const std::string body = make_body(100 * 1024);
    HttpCtx *ctx = fnQXStack_Http_Open_Post(server_.url("/upload").c_str(),
                                            reinterpret_cast<const uint8_t *>(body.data()),
                                            static_cast<int>(body.size()), "application/vnd.wap.mms-message");
    ASSERT_NE(ctx, nullptr);
    const int requestSize = [&] {
        fnQXStack_Http_PrepareQuest(ctx);
        const int n = fnQXBuf_Unreadable(ctx->sendBuf);
        fnQXBuf_Reset(ctx->sendBuf);
        return n;
    }();
    const Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "got 102400");
    EXPECT_EQ(d.maxChunk, 2048);
    EXPECT_EQ(d.sentTotal, requestSize);
    EXPECT_GE(d.steps, (requestSize + 2047) / 2048);
    fnQXStack_Http_Close(ctx);
    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/vnd.wap.mms-message");
    EXPECT_EQ(seen[0].header("Content-Length"), "102400");
    EXPECT_TRUE(seen[0].body == body) << "the server received other bytes than were sent";
}

TEST_F(HttpNet, DirectRedirectCookiesAndALargeAnswer) {
    HttpCtx *ctx = fnQXStack_Http_Open_Post(server_.url("/redirect").c_str(),
                                            reinterpret_cast<const uint8_t *>("abc"), 3, nullptr);
    ASSERT_NE(ctx, nullptr);
    Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "hello world");
    EXPECT_EQ(ctx->redirectCount, 1);
    fnQXStack_Http_Close(ctx);

    ctx = fnQXStack_Http_Open_Get(server_.url("/setcookie").c_str());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(run(ctx).result, 0);
    fnQXStack_Http_Close(ctx);
    ctx = fnQXStack_Http_Open_Get(server_.url("/needcookie").c_str());
    ASSERT_NE(ctx, nullptr);
    d = run(ctx);
    EXPECT_EQ(d.body, "cookie[theme=dark; sid=xyz42]");
    fnQXStack_Http_Close(ctx);

    ctx = fnQXStack_Http_Open_Get(server_.url("/big").c_str());
    ASSERT_NE(ctx, nullptr);
    d = run(ctx, 700);
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.body.size(), 60000u);
    EXPECT_EQ(d.body.substr(26, 5), "abcde");
    fnQXStack_Http_Close(ctx);

    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[1].method, "GET");  // the redirected POST came back as a GET
    EXPECT_EQ(seen[1].target, "/hello");
    EXPECT_EQ(seen[1].header("Content-Length"), "");
    EXPECT_EQ(seen[3].header("Cookie2"), "\"1\"");
}

TEST_F(HttpNet, ServerClosingEarly) {
    HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/cut-headers").c_str());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(run(ctx).result, -1);  // the connection ended inside the header block
    fnQXStack_Http_Close(ctx);

    ctx = fnQXStack_Http_Open_Get(server_.url("/cut-body").c_str());
    ASSERT_NE(ctx, nullptr);
    const Drive d = run(ctx);
    EXPECT_EQ(d.result, -1);  // 10 of the 1000 stated bytes: the stated length decides
    EXPECT_EQ(d.body, "0123456789");
    EXPECT_EQ(ctx->retCtxLen, 1000);
    fnQXStack_Http_Close(ctx);
}

TEST_F(HttpNet, NothingListeningAndNothingAnswering) {
    uint16_t port = 0;
    const int probe = listen_loopback(&port);
    ASSERT_GE(probe, 0);
    close(probe);  // a port where nobody listens
    const std::string refused = "http://127.0.0.1:" + std::to_string(port) + "/";
    HttpCtx *ctx = fnQXStack_Http_Open_Get(refused.c_str());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(run(ctx).result, -1);
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_CONNECT);
    fnQXStack_Http_Close(ctx);

    // A server that never answers: the idle steps end the request (about
    // 1500 steps), well inside the deadline.
    ctx = fnQXStack_Http_Open_Get(server_.url("/silent").c_str());
    ASSERT_NE(ctx, nullptr);
    const Drive d = run(ctx, 1500, 30);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_RETRY);
    EXPECT_GE(d.steps, 1500);
    fnQXStack_Http_Close(ctx);
}

// ---------------------------------------------------------------- through tinyproxy

TEST_F(HttpNet, ThroughTinyproxyGetAndPost) {
    USE_PROXY_OR_SKIP();
    HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/hello").c_str());
    ASSERT_NE(ctx, nullptr);
    Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "hello world");
    fnQXStack_Http_Close(ctx);

    const std::string body = make_body(100 * 1024);
    ctx = fnQXStack_Http_Open_Post(server_.url("/upload").c_str(), reinterpret_cast<const uint8_t *>(body.data()),
                                   static_cast<int>(body.size()), "application/vnd.wap.mms-message");
    ASSERT_NE(ctx, nullptr);
    d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "got 102400");
    EXPECT_EQ(d.maxChunk, 2048);
    fnQXStack_Http_Close(ctx);

    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 2u);
    // The proxy got the absolute form and passed the request on.
    EXPECT_EQ(seen[0].target, "/hello");
    EXPECT_EQ(seen[0].header("User-Agent"), "VRN-WIN K410/WAP2.0 Profile/MIDP-2.0 Configuration/CLDC-1.1");
    EXPECT_EQ(seen[0].header("Accept-Language"), "en");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_TRUE(seen[1].body == body) << "the server received other bytes than were sent";
}

TEST_F(HttpNet, ThroughTinyproxyRedirectAndCookies) {
    USE_PROXY_OR_SKIP();
    HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/redirect").c_str());
    ASSERT_NE(ctx, nullptr);
    Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "hello world");
    fnQXStack_Http_Close(ctx);

    ctx = fnQXStack_Http_Open_Get(server_.url("/setcookie").c_str());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(run(ctx).result, 0);
    fnQXStack_Http_Close(ctx);
    ctx = fnQXStack_Http_Open_Get(server_.url("/needcookie").c_str());
    ASSERT_NE(ctx, nullptr);
    d = run(ctx);
    EXPECT_EQ(d.body, "cookie[theme=dark; sid=xyz42]");
    fnQXStack_Http_Close(ctx);

    ctx = fnQXStack_Http_Open_Get(server_.url("/cut-headers").c_str());
    ASSERT_NE(ctx, nullptr);
    d = run(ctx);
    // The proxy answers for a server that closed early with its own error page,
    // which reaches the client as a complete response.
    EXPECT_EQ(d.result, 0);
    EXPECT_GE(ctx->retValue, 500);
    fnQXStack_Http_Close(ctx);

    // A body cut short of its stated length by the close is a failed
    // response; what did arrive was handed over first.
    ctx = fnQXStack_Http_Open_Get(server_.url("/cut-body").c_str());
    ASSERT_NE(ctx, nullptr);
    d = run(ctx);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.body, "0123456789");
    EXPECT_EQ(ctx->retCtxLen, 1000);
    fnQXStack_Http_Close(ctx);

    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[1].target, "/hello");  // the redirect target, through the proxy as well
}

// ---------------------------------------------------------------- hostile servers, for real

// URLs that would inject header lines or smuggle a second request never
// reach the network; a cookie that would inject a line is not kept; a
// Location with a control character or of another scheme ends the request.
TEST_F(HttpNet, ThroughTinyproxyNothingIsInjected) {
    USE_PROXY_OR_SKIP();
    const int fds = open_fds();
    for (const std::string &url : {server_.url("/hello\r\nX-Injected: yes"),
                                   server_.url("/hello HTTP/1.0\r\n\r\nGET /upload"), server_.url("/a b"),
                                   server_.url("/hello\nX-Injected: yes")}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(fnQXStack_Http_Open_Get(url.c_str()), nullptr);
        EXPECT_EQ(fnQXStack_Http_Open_Post(url.c_str(), reinterpret_cast<const uint8_t *>("x"), 1, nullptr), nullptr);
    }
    HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/bad-cookie").c_str());
    ASSERT_NE(ctx, nullptr);
    Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "cookie[good=1]");
    EXPECT_EQ(ctx->state, HTTP_ST_DONE);
    fnQXStack_Http_Close(ctx);

    for (const char *path : {"/bad-location", "/other-scheme"}) {
        SCOPED_TRACE(path);
        ctx = fnQXStack_Http_Open_Get(server_.url(path).c_str());
        ASSERT_NE(ctx, nullptr);
        d = run(ctx);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(ctx->state, HTTP_ST_ERR_ADDR);
        EXPECT_EQ(ctx->retValue, 302);
        fnQXStack_Http_Close(ctx);
    }
    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].target, "/bad-cookie");
    EXPECT_EQ(seen[1].target, "/needcookie");
    EXPECT_EQ(seen[2].target, "/bad-location");
    EXPECT_EQ(seen[3].target, "/other-scheme");
    for (const Seen &s : seen) EXPECT_EQ(s.header("X-Injected"), "") << s.head;
    EXPECT_TRUE(no_slot_held());
    EXPECT_TRUE(fds_back_to(fds)) << "a socket was left open";
}

// A chunked answer (as an HTTP/1.1 server sends it, passed on by the proxy)
// reaches the caller de-chunked, byte for byte; an interim 100 is skipped.
TEST_F(HttpNet, ChunkedAndInterimAnswersDirectAndThroughTinyproxy) {
    const std::string payload = make_body(50000);
    for (bool proxy : {false, true}) {
        SCOPED_TRACE(proxy ? "through tinyproxy" : "direct");
        if (proxy) USE_PROXY_OR_SKIP();
        const int fds = open_fds();
        HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/chunked").c_str());
        ASSERT_NE(ctx, nullptr);
        Drive d = run(ctx, 1500);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(ctx->state, HTTP_ST_DONE);
        EXPECT_EQ(ctx->retCtxLen, 0) << "a chunked body announces no length";
        EXPECT_TRUE(d.body == payload) << "got " << d.body.size() << " bytes, not the 50000 sent";
        fnQXStack_Http_Close(ctx);

        ctx = fnQXStack_Http_Open_Get(server_.url("/continue").c_str());
        ASSERT_NE(ctx, nullptr);
        d = run(ctx);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.body, "after continue");
        EXPECT_EQ(ctx->retValue, 200);
        fnQXStack_Http_Close(ctx);
        EXPECT_TRUE(no_slot_held());
        EXPECT_TRUE(fds_back_to(fds)) << "a socket was left open";
    }
}

// A POST answered with 307 goes again, to the relative Location, with its
// method and its body.
TEST_F(HttpNet, ThroughTinyproxyA307PostIsSentAgainWithItsBody) {
    USE_PROXY_OR_SKIP();
    const std::string body = make_body(20000);
    HttpCtx *ctx = fnQXStack_Http_Open_Post(server_.url("/307").c_str(), reinterpret_cast<const uint8_t *>(body.data()),
                                            static_cast<int>(body.size()), "application/vnd.wap.mms-message");
    ASSERT_NE(ctx, nullptr);
    const Drive d = run(ctx);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.body, "got 20000");
    EXPECT_EQ(ctx->redirectCount, 1);
    fnQXStack_Http_Close(ctx);
    const auto seen = server_.seen();
    ASSERT_EQ(seen.size(), 2u);
    for (const Seen &s : seen) {
        EXPECT_EQ(s.method, "POST");
        EXPECT_EQ(s.header("Content-Type"), "application/vnd.wap.mms-message");
        EXPECT_TRUE(s.body == body) << "the server received other bytes than were sent";
    }
    EXPECT_EQ(seen[0].target, "/307");
    EXPECT_EQ(seen[1].target, "/upload");
}

// A connection reset in the middle of the body is a failure, not the end of
// the answer.
TEST_F(HttpNet, AResetInTheMiddleOfTheBodyFails) {
    const int fds = open_fds();
    HttpCtx *ctx = fnQXStack_Http_Open_Get(server_.url("/rst-body").c_str());
    ASSERT_NE(ctx, nullptr);
    Drive d = run(ctx);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(ctx->state, HTTP_ST_ERR_RECV);
    EXPECT_LT(d.body.size(), 100000u);
    fnQXStack_Http_Close(ctx);
    EXPECT_TRUE(no_slot_held());
    EXPECT_TRUE(fds_back_to(fds)) << "a socket was left open";
}

// A proxy name whose first address silently drops the connect (a full
// accept queue on 127.0.0.2 drops every SYN) and whose second one works:
// the request gets through on the second after the per-address time-out.
class HttpNetTwoHomed : public HttpNet {
protected:
    void SetUp() override {
        HttpNet::SetUp();
        saved_ = g_resolver_get_default();
        fake_ = static_cast<GResolver *>(g_object_new(list_resolver_get_type(), nullptr));
        g_resolver_set_default(fake_);
    }
    void TearDown() override {
        g_resolver_set_default(saved_);
        g_object_unref(saved_);
        g_object_unref(fake_);
        HttpNet::TearDown();
    }
    GResolver *saved_ = nullptr;
    GResolver *fake_ = nullptr;
};

// A listening socket on 127.0.0.2 whose accept queue is full, so connects
// to it are never answered.
struct BlackHole {
    int fd = -1;
    std::vector<int> fillers;
    explicit BlackHole(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000002);
        a.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 0) != 0) {
            close(fd);
            fd = -1;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            const int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
            fillers.push_back(f);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~BlackHole() {
        for (int f : fillers) close(f);
        if (fd >= 0) close(fd);
    }
    bool ok() const { return fd >= 0; }
};

TEST_F(HttpNetTwoHomed, ASilentFirstAddressGivesWayToTheNext) {
    for (bool proxy : {false, true}) {
        SCOPED_TRACE(proxy ? "proxy named twohomed.test" : "relay named twohomed.test");
        uint16_t port = server_.port();
        if (proxy) {
            USE_PROXY_OR_SKIP();
            port = proxy_.port();
            fnQXStack_Http_SetProxy("twohomed.test", port);
        }
        BlackHole hole(port);
        ASSERT_TRUE(hole.ok()) << "127.0.0.2 cannot be bound";
        const std::string url = proxy ? server_.url("/hello")
                                      : "http://twohomed.test:" + std::to_string(server_.port()) + "/hello";
        const auto started = Clock::now();
        HttpCtx *ctx = fnQXStack_Http_Open_Get(url.c_str());
        ASSERT_NE(ctx, nullptr);
        const Drive d = run(ctx);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.body, "hello world");
        EXPECT_EQ(ctx->state, HTTP_ST_DONE);
        EXPECT_GE(ms, 2900) << "the first address was not tried first";
        EXPECT_LT(ms, 10000);
        fnQXStack_Http_Close(ctx);
        EXPECT_TRUE(no_slot_held());
    }
    EXPECT_EQ(server_.seen().size(), 2u);
}

}  // namespace
