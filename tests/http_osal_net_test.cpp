// The real osal on loopback with the GLib main loop: connects, reads and
// writes, name lookups, one-shot timers, and the socket layer on top of it.
// Every wait runs the default main context against a deadline, so a fault
// fails the test instead of hanging it. Only 127.0.0.1 and ::1 are contacted;
// names other than "localhost" go to a fake resolver installed by the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "glib_qx_stack_porting.h"
#include "osal.h"
#include "qx_stack_http.h"

// ------------------------------------------------------------ fake resolver
// Holds every lookup until the test answers it, so failures and cancellation
// can be played without any name server.
typedef struct {
    GResolver parent;
} FakeResolver;
typedef struct {
    GResolverClass parent_class;
} FakeResolverClass;

G_DEFINE_TYPE(FakeResolver, fake_resolver, G_TYPE_RESOLVER)

namespace {
std::vector<GTask *> g_fakeTasks;
std::vector<std::string> g_fakeNames;
}  // namespace

static void fake_lookup_async(GResolver *r, const gchar *host, GCancellable *c, GAsyncReadyCallback cb, gpointer ud) {
    g_fakeTasks.push_back(g_task_new(r, c, cb, ud));
    g_fakeNames.emplace_back(host);
}
static GList *fake_lookup_finish(GResolver *, GAsyncResult *res, GError **err) {
    return static_cast<GList *>(g_task_propagate_pointer(G_TASK(res), err));
}
static GList *fake_lookup_sync(GResolver *, const gchar *, GCancellable *, GError **err) {
    g_set_error_literal(err, G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, "fake resolver is asynchronous only");
    return nullptr;
}
static void fake_resolver_class_init(FakeResolverClass *k) {
    GResolverClass *rc = G_RESOLVER_CLASS(k);
    rc->lookup_by_name = fake_lookup_sync;
    rc->lookup_by_name_async = fake_lookup_async;
    rc->lookup_by_name_finish = fake_lookup_finish;
}
static void fake_resolver_init(FakeResolver *) {}

namespace {

// The socket layer's table: inspected by the tests, and its entries serve as
// the connect callback's user value.
QXSocketEntry (&slots)[QX_SOCKET_SLOTS] = const_cast<QXSocketLayer &>(fnQX_Stack_Layer()).slots;

// ------------------------------------------------------------ main loop helpers
bool spin_until(const std::function<bool()> &done, int ms = 3000) {
    // Some conditions watch plain sockets the main loop does not know about,
    // so the loop is polled (with a short nap when idle) until the deadline.
    const gint64 deadline = g_get_monotonic_time() + gint64{ms} * 1000;
    for (;;) {
        if (done()) return true;  // called once per round: it may consume what it checks
        if (g_get_monotonic_time() >= deadline) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(500);
    }
}
void spin_for(int ms) { spin_until([] { return false; }, ms); }

// A listening socket on 127.0.0.1 with a free port, driven by the test.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(int rcvbuf = 0) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, 16) != 0) return;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    // The next accepted connection (non-blocking), or -1 at the deadline.
    int accept_one(int ms = 3000) const {
        int c = -1;
        spin_until([&] { return (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }, ms);
        return c;
    }
    // Accepts one connection and closes it again; false at the deadline.
    bool accepted(int ms = 3000) const {
        const int c = accept_one(ms);
        if (c >= 0) close(c);
        return c >= 0;
    }
};

// A port on 127.0.0.1 that nobody listens on.
uint16_t refused_port() {
    Listener l;
    const uint16_t p = l.port;
    return p;  // closed again when l goes: connects there are refused
}

struct ConnectSeen {
    int calls = 0;
    int event = -1;
    int error = -1;
    bool insideConnect = false;
    bool calledInside = false;
};
void on_connect(OSAL_SOCKET s, int event, void *user) {
    auto *c = static_cast<ConnectSeen *>(user);
    ++c->calls;
    c->event = event;
    c->error = g_sock_geterror(s);
    if (c->insideConnect) c->calledInside = true;
}
int connect_seen(OSAL_SOCKET s, const void *addr, uint16_t port, ConnectSeen &seen) {
    seen.insideConnect = true;
    const int r = g_sock_connect(s, addr, port, on_connect, &seen);
    seen.insideConnect = false;
    return r;
}

GList *inet_list(std::initializer_list<const char *> texts) {
    GList *l = nullptr;
    for (const char *t : texts) l = g_list_append(l, g_inet_address_new_from_string(t));
    return l;
}

class OsalNet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(g_sock_init(0), 0); }
    void TearDown() override {
        g_sock_finalize();
        spin_for(20);  // let cancelled lookups and removed sources wind down
    }
};

// Installs the fake resolver for one test.
class OsalNetFakeNames : public OsalNet {
protected:
    void SetUp() override {
        OsalNet::SetUp();
        saved_ = g_resolver_get_default();
        fake_ = static_cast<GResolver *>(g_object_new(fake_resolver_get_type(), nullptr));
        g_resolver_set_default(fake_);
    }
    void TearDown() override {
        for (GTask *t : g_fakeTasks) {  // answer what is left, then let it complete
            g_task_return_new_error(t, G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, "test over");
            g_object_unref(t);
        }
        g_fakeTasks.clear();
        g_fakeNames.clear();
        OsalNet::TearDown();
        g_resolver_set_default(saved_);
        g_object_unref(saved_);
        g_object_unref(fake_);
    }
    static void answer(size_t i, GList *addrs) {
        g_task_return_pointer(g_fakeTasks.at(i), addrs, reinterpret_cast<GDestroyNotify>(g_resolver_free_addresses));
        g_object_unref(g_fakeTasks[i]);
        g_fakeTasks.erase(g_fakeTasks.begin() + static_cast<long>(i));
    }
    static void fail(size_t i) {
        g_task_return_new_error(g_fakeTasks.at(i), G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, "no such host");
        g_object_unref(g_fakeTasks[i]);
        g_fakeTasks.erase(g_fakeTasks.begin() + static_cast<long>(i));
    }
    GResolver *saved_ = nullptr;
    GResolver *fake_ = nullptr;
};

// ====================================================================== sockets

TEST_F(OsalNet, ConnectCompletesFromTheMainLoopThenDataFlowsBothWays) {
    Listener srv;
    ASSERT_NE(srv.port, 0);
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ASSERT_NE(s, 0);
    ConnectSeen seen;
    const int r = connect_seen(s, "127.0.0.1", srv.port, seen);
    EXPECT_TRUE(r == 0 || r == -2) << r;
    EXPECT_EQ(seen.calls, 0) << "the completion comes from the main loop, not from g_sock_connect";
    char buf[64];
    EXPECT_EQ(g_sock_read(s, buf, sizeof buf), -2) << "connect under way: nothing yet";
    EXPECT_EQ(g_sock_write(s, "x", 1), -2) << "connect under way: nothing can be sent";

    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    EXPECT_FALSE(seen.calledInside);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.event, OSAL_SOCK_EVENT_CONNECT);
    EXPECT_EQ(seen.error, 0);
    const int peer = srv.accept_one();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(g_sock_read(s, buf, sizeof buf), -2);
    EXPECT_EQ(g_sock_write(s, "hello", 5), 5);
    char got[8] = {};
    ASSERT_TRUE(spin_until([&] { return recv(peer, got, sizeof got, MSG_DONTWAIT) == 5; }));
    EXPECT_EQ(std::string(got, 5), "hello");

    ASSERT_EQ(send(peer, "world!", 6, 0), 6);
    std::string in;
    ASSERT_TRUE(spin_until([&] {
        const int n = g_sock_read(s, buf, 4);  // smaller than what waits
        if (n > 0) in.append(buf, static_cast<size_t>(n));
        return in.size() >= 6;
    }));
    EXPECT_EQ(in, "world!");

    close(peer);
    int last = -2;
    ASSERT_TRUE(spin_until([&] { return (last = g_sock_read(s, buf, sizeof buf)) != -2; }));
    EXPECT_EQ(last, 0) << "peer closed";
    // Writing to a closed peer fails with an error, never with SIGPIPE.
    int w = 0;
    ASSERT_TRUE(spin_until([&] { return (w = g_sock_write(s, "late", 4)) == -1; }));
    EXPECT_NE(g_sock_geterror(s), 0);
    EXPECT_EQ(g_sock_close(s), 0);
}

TEST_F(OsalNet, RefusedConnectIsAFailure) {
    const uint16_t port = refused_port();
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    const int r = connect_seen(s, "127.0.0.1", port, seen);
    if (r == -1) {
        EXPECT_EQ(g_sock_geterror(s), ECONNREFUSED);  // refused at once: no callback follows
        spin_for(50);
        EXPECT_EQ(seen.calls, 0);
    } else {
        EXPECT_EQ(seen.calls, 0);
        ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
        EXPECT_EQ(seen.event, OSAL_SOCK_EVENT_CONNECT);
        EXPECT_EQ(seen.error, ECONNREFUSED);
    }
    char buf[4];
    EXPECT_EQ(g_sock_read(s, buf, sizeof buf), -1);
    EXPECT_EQ(g_sock_write(s, "x", 1), -1);
    g_sock_close(s);
}

TEST_F(OsalNet, LocalhostIsResolvedWithoutBlocking) {
    Listener srv;
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    EXPECT_EQ(connect_seen(s, "localhost", srv.port, seen), -2) << "a name is looked up first";
    EXPECT_EQ(seen.calls, 0);
    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    EXPECT_FALSE(seen.calledInside);
    EXPECT_EQ(seen.error, 0) << "every address of localhost is tried until one answers";
    EXPECT_TRUE(srv.accepted());
    g_sock_close(s);
}

TEST_F(OsalNet, AddressRecordsResolveAsynchronouslyAndConnectInNetworkOrder) {
    EXPECT_EQ(g_sock_resolve(nullptr), nullptr);
    EXPECT_EQ(g_sock_resolve(""), nullptr);
    EXPECT_EQ(g_sock_addr_state(nullptr), OSAL_ADDR_FAILED);

    for (const char *numeric : {"127.0.0.1", "::1"}) {
        OSAL_ADDR a = g_sock_resolve(numeric);
        EXPECT_EQ(g_sock_addr_state(a), OSAL_ADDR_READY) << numeric << " needs no resolver";
        g_sock_addr_free(a);
    }

    Listener srv;
    OSAL_ADDR a = g_sock_resolve("localhost");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(g_sock_addr_state(a), OSAL_ADDR_PENDING);
    const OSAL_SOCKET early = g_sock_socket(1, 0, 0);
    ConnectSeen seenEarly;
    EXPECT_EQ(connect_seen(early, a, g_sock_htons(srv.port), seenEarly), -1);
    EXPECT_EQ(g_sock_geterror(early), OSAL_ERR_ADDR_PENDING);
    g_sock_close(early);

    ASSERT_TRUE(spin_until([&] { return g_sock_addr_state(a) != OSAL_ADDR_PENDING; }));
    ASSERT_EQ(g_sock_addr_state(a), OSAL_ADDR_READY);
    EXPECT_EQ(g_sock_addr_error(a), 0);
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    const int r = connect_seen(s, a, g_sock_htons(srv.port), seen);
    EXPECT_TRUE(r == 0 || r == -2);
    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    EXPECT_EQ(seen.error, 0);
    EXPECT_TRUE(srv.accepted());
    g_sock_close(s);
    g_sock_addr_free(a);
    g_sock_addr_free(a);  // a released record is unknown: ignored
    EXPECT_EQ(g_sock_addr_state(a), OSAL_ADDR_FAILED);

    // Released while the lookup runs: the completion cleans up (the sanitizer
    // build would report the record otherwise).
    OSAL_ADDR gone = g_sock_resolve("localhost");
    g_sock_addr_free(gone);
    spin_for(50);
}

TEST_F(OsalNetFakeNames, FailedLookupEndsTheConnectThroughTheCallback) {
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    ASSERT_EQ(connect_seen(s, "mms.operator.test", 80, seen), -2);
    ASSERT_EQ(g_fakeNames.size(), 1u);
    EXPECT_EQ(g_fakeNames[0], "mms.operator.test");
    spin_for(20);
    EXPECT_EQ(seen.calls, 0) << "nothing happens while the lookup runs";
    fail(0);
    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    EXPECT_EQ(seen.event, OSAL_SOCK_EVENT_CONNECT);
    EXPECT_EQ(seen.error, OSAL_ERR_HOST_NOT_FOUND);
    g_sock_close(s);

    OSAL_ADDR a = g_sock_resolve("mms.operator.test");
    fail(0);
    ASSERT_TRUE(spin_until([&] { return g_sock_addr_state(a) != OSAL_ADDR_PENDING; }));
    EXPECT_EQ(g_sock_addr_state(a), OSAL_ADDR_FAILED);
    EXPECT_EQ(g_sock_addr_error(a), OSAL_ERR_HOST_NOT_FOUND);
    g_sock_addr_free(a);
}

TEST_F(OsalNetFakeNames, EveryAddressIsTriedInTurn) {
    Listener srv;  // 127.0.0.1 only: ::1 refuses (or is not there at all)
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    ASSERT_EQ(connect_seen(s, "proxy.test", srv.port, seen), -2);
    answer(0, inet_list({"::1", "127.0.0.1"}));
    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    EXPECT_EQ(seen.calls, 1) << "one completion for the whole attempt";
    EXPECT_EQ(seen.error, 0);
    EXPECT_TRUE(srv.accepted());
    g_sock_close(s);
}

TEST_F(OsalNetFakeNames, ClosingDuringTheLookupCancelsTheCompletion) {
    Listener srv;
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    ASSERT_EQ(connect_seen(s, "proxy.test", srv.port, seen), -2);
    EXPECT_EQ(g_sock_close(s), 0);
    answer(0, inet_list({"127.0.0.1"}));
    spin_for(50);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_FALSE(srv.accepted(50)) << "no connect after the socket was closed";

    OSAL_ADDR a = g_sock_resolve("mms.operator.test");
    g_sock_addr_free(a);
    answer(0, inet_list({"127.0.0.1"}));
    spin_for(20);
}

TEST_F(OsalNet, ClosingDuringTheConnectCancelsTheCompletion) {
    Listener srv;
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    const int r = connect_seen(s, "127.0.0.1", srv.port, seen);
    ASSERT_TRUE(r == 0 || r == -2);
    EXPECT_EQ(g_sock_close(s), 0);
    spin_for(50);
    EXPECT_EQ(seen.calls, 0);
}

TEST_F(OsalNet, MisuseIsRefusedWithAnErrorCode) {
    Listener srv;
    EXPECT_EQ(g_sock_socket(2, 0, 0), 0) << "only stream sockets";
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    char buf[4];
    EXPECT_EQ(g_sock_write(s, "x", 1), -1) << "never connected";
    EXPECT_EQ(g_sock_geterror(s), ENOTCONN);
    EXPECT_EQ(connect_seen(s, nullptr, srv.port, seen), -1);
    EXPECT_EQ(g_sock_geterror(s), OSAL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(connect_seen(s, "", srv.port, seen), -1);
    const int r = connect_seen(s, "127.0.0.1", srv.port, seen);
    ASSERT_TRUE(r == 0 || r == -2);
    EXPECT_EQ(connect_seen(s, "127.0.0.1", srv.port, seen), -1);
    EXPECT_EQ(g_sock_geterror(s), OSAL_ERR_BAD_STATE);
    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.error, 0) << "the refused second connect left the first alone";
    EXPECT_EQ(g_sock_read(s, buf, 0), -1);
    EXPECT_EQ(g_sock_read(s, nullptr, 4), -1);
    EXPECT_EQ(g_sock_write(s, nullptr, 4), -1);
    EXPECT_EQ(g_sock_write(s, "x", -1), -1);
    EXPECT_EQ(g_sock_geterror(s), OSAL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(g_sock_write(s, "x", 0), 0);

    EXPECT_EQ(g_sock_close(s), 0);
    // The handle is dead for good.
    EXPECT_EQ(g_sock_close(s), -1);
    EXPECT_EQ(g_sock_read(s, buf, sizeof buf), -1);
    EXPECT_EQ(g_sock_write(s, "x", 1), -1);
    EXPECT_EQ(connect_seen(s, "127.0.0.1", srv.port, seen), -1);
    EXPECT_EQ(g_sock_geterror(s), OSAL_ERR_BAD_HANDLE);
    EXPECT_EQ(g_sock_geterror(0), OSAL_ERR_BAD_HANDLE);
}

TEST_F(OsalNet, WritesStopWithNotNowWhenThePeerDoesNotRead) {
    Listener srv(4096);
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ConnectSeen seen;
    connect_seen(s, "127.0.0.1", srv.port, seen);
    ASSERT_TRUE(spin_until([&] { return seen.calls > 0; }));
    ASSERT_EQ(seen.error, 0);
    const int peer = srv.accept_one();
    ASSERT_GE(peer, 0);
    const std::string chunk(65536, 'z');
    long sent = 0;
    int r = 0;
    for (int i = 0; i < 2000 && (r = g_sock_write(s, chunk.data(), static_cast<int>(chunk.size()))) >= 0; ++i) sent += r;
    EXPECT_EQ(r, -2) << "a full send buffer answers not now";
    EXPECT_GT(sent, 0);
    close(peer);
    g_sock_close(s);
}

TEST(OsalNetService, SocketsNeedTheServiceAndFinalizeClosesThem) {
    EXPECT_EQ(g_sock_socket(1, 0, 0), 0) << "not initialised";
    ASSERT_EQ(g_sock_init(0), 0);
    ASSERT_EQ(g_sock_init(0), 0);
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    ASSERT_NE(s, 0);
    g_sock_finalize();  // still one init open
    EXPECT_EQ(g_sock_geterror(s), 0);
    g_sock_finalize();
    EXPECT_EQ(g_sock_geterror(s), OSAL_ERR_BAD_HANDLE);
    EXPECT_EQ(g_sock_close(s), -1);
    g_sock_finalize();  // unbalanced: harmless
    EXPECT_EQ(g_sock_socket(1, 0, 0), 0);
    ASSERT_EQ(g_sock_init(0), 0);
    const OSAL_SOCKET t = g_sock_socket(1, 0, 0);
    EXPECT_NE(t, s) << "handles are never reused";
    g_sock_finalize();
}

// ====================================================================== timers

struct TimerProbe {
    OSAL_TIMER handle = nullptr;
    int fired = 0;
    bool freeSelf = false;
    OSAL_TIMER other = nullptr;  // freed from the callback when set
};
void on_timer(void *p) {
    auto *t = static_cast<TimerProbe *>(p);
    ++t->fired;
    if (t->other) g_free_timer(t->other);
    if (t->freeSelf) {
        g_free_timer(t->handle);
        g_free_timer(t->handle);  // a second release of the running timer does nothing
    }
}

TEST(OsalTimers, FiresOnceAfterItsPeriod) {
    EXPECT_NE(g_time_initialize(), 0);
    TimerProbe p;
    const gint64 t0 = g_get_monotonic_time();
    EXPECT_EQ(g_settimer(100, on_timer, &p, 0, &p.handle), 0);
    ASSERT_NE(p.handle, nullptr);
    EXPECT_EQ(p.fired, 0);
    ASSERT_TRUE(spin_until([&] { return p.fired > 0; }));
    EXPECT_GE(g_get_monotonic_time() - t0, 100000) << "not before its period";
    spin_for(150);
    EXPECT_EQ(p.fired, 1) << "one-shot";
    g_free_timer(p.handle);  // fired: release only
    g_free_timer(p.handle);  // stale: ignored
}

TEST(OsalTimers, ZeroPeriodStillWaitsForTheMainLoop) {
    TimerProbe p;
    ASSERT_EQ(g_settimer(0, on_timer, &p, 0, &p.handle), 0);
    EXPECT_EQ(p.fired, 0);
    ASSERT_TRUE(spin_until([&] { return p.fired > 0; }));
    g_free_timer(p.handle);
}

TEST(OsalTimers, FreedBeforeFiringNeverFires) {
    TimerProbe p;
    ASSERT_EQ(g_settimer(10, on_timer, &p, 0, &p.handle), 0);
    g_free_timer(p.handle);
    spin_for(80);
    EXPECT_EQ(p.fired, 0);
}

TEST(OsalTimers, ATimerMayFreeItselfFromItsCallback) {
    TimerProbe p;
    p.freeSelf = true;
    ASSERT_EQ(g_settimer(5, on_timer, &p, 0, &p.handle), 0);
    ASSERT_TRUE(spin_until([&] { return p.fired > 0; }));
    spin_for(30);
    EXPECT_EQ(p.fired, 1);
    g_free_timer(p.handle);  // already released inside: ignored
}

TEST(OsalTimers, ACallbackMayFreeAnotherPendingTimer) {
    TimerProbe late, early;
    ASSERT_EQ(g_settimer(60, on_timer, &late, 0, &late.handle), 0);
    early.other = late.handle;
    ASSERT_EQ(g_settimer(5, on_timer, &early, 0, &early.handle), 0);
    ASSERT_TRUE(spin_until([&] { return early.fired > 0; }));
    spin_for(120);
    EXPECT_EQ(late.fired, 0);
    g_free_timer(early.handle);
}

// Like a transaction: each step arms the next timer and keeps its handle;
// the last step releases every collected handle, its own running one too.
struct Chain {
    std::vector<OSAL_TIMER> handles;
    int steps = 0;
};
void chain_step(void *p) {
    auto *c = static_cast<Chain *>(p);
    if (++c->steps < 5) {
        OSAL_TIMER h = nullptr;
        g_settimer(10, chain_step, c, 0, &h);
        c->handles.push_back(h);
        return;
    }
    for (OSAL_TIMER h : c->handles) g_free_timer(h);
    c->handles.clear();
}

TEST(OsalTimers, ATransactionEndReleasesEveryCollectedHandle) {
    Chain c;
    OSAL_TIMER h = nullptr;
    ASSERT_EQ(g_settimer(10, chain_step, &c, 0, &h), 0);
    c.handles.push_back(h);
    ASSERT_TRUE(spin_until([&] { return c.steps >= 5; }));
    spin_for(60);
    EXPECT_EQ(c.steps, 5);
    EXPECT_TRUE(c.handles.empty());
}

TEST(OsalTimers, ManyTimersEachFireExactlyOnce) {
    constexpr int kFiring = 300, kCancelled = 100;
    std::vector<TimerProbe> firing(kFiring), cancelled(kCancelled);
    for (int i = 0; i < kFiring; ++i) ASSERT_EQ(g_settimer(i % 30, on_timer, &firing[i], 0, &firing[i].handle), 0);
    for (auto &p : cancelled) ASSERT_EQ(g_settimer(15, on_timer, &p, 0, &p.handle), 0);
    for (auto &p : cancelled) g_free_timer(p.handle);
    ASSERT_TRUE(spin_until([&] {
        for (auto &p : firing)
            if (p.fired == 0) return false;
        return true;
    }));
    spin_for(50);
    for (auto &p : firing) EXPECT_EQ(p.fired, 1);
    for (auto &p : cancelled) EXPECT_EQ(p.fired, 0);
    for (auto &p : firing) g_free_timer(p.handle);
}

TEST(OsalTimers, BadArgumentsAreRefused) {
    OSAL_TIMER h = reinterpret_cast<OSAL_TIMER>(0x1);
    EXPECT_EQ(g_settimer(100, nullptr, nullptr, 0, &h), -1);
    EXPECT_EQ(h, nullptr);
    TimerProbe p;
    EXPECT_EQ(g_settimer(-1, on_timer, &p, 0, &p.handle), -1);
    EXPECT_EQ(p.handle, nullptr);
    g_free_timer(nullptr);
    g_free_timer(reinterpret_cast<OSAL_TIMER>(uintptr_t{1} << 40));  // never handed out
    spin_for(10);
    EXPECT_EQ(p.fired, 0);
}

// ============================================================ socket layer on top

TEST(OsalNetLayer, DirectPathLooksUpLocalhostThenConnectsAndTalks) {
    ASSERT_EQ(fnQXStack_Http_ProxyHost(), nullptr);
    ASSERT_EQ(fnQX_Stack_Init(), 1);
    Listener srv;
    const int slot = fnQX_Stack_Socket();
    ASSERT_GT(slot, 0);
    EXPECT_EQ(fnQX_Stack_SetAddr(slot, "localhost", srv.port, QXAddrPath::Direct), -2) << "the lookup runs on the main loop";
    ASSERT_TRUE(spin_until([&] { return fnQX_Stack_SetAddr(slot, "localhost", srv.port, QXAddrPath::Direct) != -2; }));
    ASSERT_EQ(fnQX_Stack_SetAddr(slot, "localhost", srv.port, QXAddrPath::Direct), 1);
    EXPECT_EQ(fnQX_Stack_Connect(slot), -2);
    ASSERT_TRUE(spin_until([&] { return fnQX_Stack_Connect(slot) != -2; }));
    ASSERT_EQ(fnQX_Stack_Connect(slot), 1);
    const int peer = srv.accept_one();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(fnQX_Stack_SendData(slot, "ping", 4), 4);
    char got[4];
    ASSERT_TRUE(spin_until([&] { return recv(peer, got, sizeof got, MSG_DONTWAIT) == 4; }));
    EXPECT_EQ(std::string(got, 4), "ping");
    ASSERT_EQ(send(peer, "pong", 4, 0), 4);
    char buf[16];
    int n = -2;
    ASSERT_TRUE(spin_until([&] { return (n = fnQX_Stack_RecvData(slot, buf, sizeof buf)) != -2; }));
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    close(peer);
    ASSERT_TRUE(spin_until([&] { return (n = fnQX_Stack_RecvData(slot, buf, sizeof buf)) != -2; }));
    EXPECT_EQ(n, 0);
    fnQX_Stack_Close(slot);
    fnQX_Stack_Finalize();
}

TEST(OsalNetLayer, ProxyPathConnectsToTheProxyText) {
    Listener srv;
    fnQXStack_Http_SetProxy("127.0.0.1", srv.port);
    ASSERT_EQ(fnQX_Stack_Init(), 1);
    const int slot = fnQX_Stack_Socket();
    ASSERT_EQ(fnQX_Stack_SetAddr(slot, fnQXStack_Http_ProxyHost(), fnQXStack_Http_ProxyPort(), QXAddrPath::Proxy), 1);
    EXPECT_EQ(fnQX_Stack_Connect(slot), -2);
    ASSERT_TRUE(spin_until([&] { return fnQX_Stack_Connect(slot) != -2; }));
    EXPECT_EQ(fnQX_Stack_Connect(slot), 1);
    EXPECT_TRUE(srv.accepted());
    fnQX_Stack_Close(slot);
    fnQX_Stack_Finalize();
    fnQXStack_Http_SetProxy(nullptr, 0);
}

TEST(OsalNetLayer, RefusedConnectFailsTheSlot) {
    fnQXStack_Http_SetProxy("127.0.0.1", refused_port());
    ASSERT_EQ(fnQX_Stack_Init(), 1);
    const int slot = fnQX_Stack_Socket();
    ASSERT_EQ(fnQX_Stack_SetAddr(slot, fnQXStack_Http_ProxyHost(), fnQXStack_Http_ProxyPort(), QXAddrPath::Proxy), 1);
    int r = fnQX_Stack_Connect(slot);
    if (r == -2) {
        ASSERT_TRUE(spin_until([&] { return (r = fnQX_Stack_Connect(slot)) != -2; }));
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(slots[slot].iConnect, -1);
    fnQX_Stack_Close(slot);
    fnQX_Stack_Finalize();
    fnQXStack_Http_SetProxy(nullptr, 0);
}

}  // namespace
