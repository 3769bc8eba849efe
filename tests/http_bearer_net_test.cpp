// Names through given DNS servers and sockets tied to an interface, with the
// real osal on loopback: a fake DNS server (UDP and TCP on 127.0.0.1, in a
// thread of its own) answers, stays silent, truncates, forges ids or
// questions, or says NXDOMAIN, and every lookup must end in an address or in
// a failure that names that cause. Only 127.0.0.1 and ::1 are contacted.
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "osal.h"

namespace {

enum class Mode { Answer, Silent, NxDomain, Truncate, TruncateThenTcp, ForgeId, ForgeQuestion, ServFail };

// A DNS server on 127.0.0.1 (UDP, and TCP on the same port) that answers by
// its mode from a table of names.
class FakeDns {
public:
    explicit FakeDns(Mode mode) : mode_(mode) {
        udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(udp_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(udp_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (mode == Mode::TruncateThenTcp) {
            tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            EXPECT_EQ(bind(tcp_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
            listen(tcp_, 4);
        }
        EXPECT_EQ(pipe(stop_), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeDns() {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        close(udp_);
        if (tcp_ >= 0) close(tcp_);
        close(stop_[0]);
        close(stop_[1]);
    }
    void add(const std::string &name, const std::string &address) { names_[name].push_back(address); }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    int queries() const { return queries_; }

private:
    void run() {
        for (;;) {
            pollfd p[3] = {{stop_[0], POLLIN, 0}, {udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
            if (poll(p, tcp_ >= 0 ? 3 : 2, -1) < 0) continue;
            if (p[0].revents) return;
            if (p[1].revents & POLLIN) {
                unsigned char q[512];
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                const ssize_t n = recvfrom(udp_, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &fl);
                if (n <= 0) continue;
                ++queries_;
                std::vector<unsigned char> r = answer(q, static_cast<int>(n), true);
                if (!r.empty()) sendto(udp_, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), fl);
            }
            if (tcp_ >= 0 && (p[2].revents & POLLIN)) serve_tcp();
        }
    }

    void serve_tcp() {
        const int c = accept(tcp_, nullptr, nullptr);
        if (c < 0) return;
        timeval tv{2, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        unsigned char len[2];
        unsigned char q[512];
        if (recv(c, len, 2, MSG_WAITALL) == 2) {
            const int n = len[0] << 8 | len[1];
            if (n <= static_cast<int>(sizeof q) && recv(c, q, static_cast<size_t>(n), MSG_WAITALL) == n) {
                ++queries_;
                std::vector<unsigned char> r = answer(q, n, false);
                const unsigned char l[2] = {static_cast<unsigned char>(r.size() >> 8), static_cast<unsigned char>(r.size())};
                (void)!send(c, l, 2, 0);
                (void)!send(c, r.data(), r.size(), 0);
            }
        }
        close(c);
    }

    std::vector<unsigned char> answer(const unsigned char *q, int n, bool udp) {
        if (mode_ == Mode::Silent || n < 17) return {};
        // The question: name labels, then type and class.
        int i = 12;
        std::string name;
        while (i < n && q[i]) {
            if (!name.empty()) name += '.';
            name.append(reinterpret_cast<const char *>(q + i + 1), q[i]);
            i += q[i] + 1;
        }
        const int qend = i + 5;
        if (qend > n) return {};
        const int qtype = q[i + 1] << 8 | q[i + 2];
        std::vector<unsigned char> r(q, q + qend);
        r[2] = 0x81;  // QR, RD
        r[3] = 0x80;  // RA, NOERROR
        r[6] = r[7] = r[8] = r[9] = r[10] = r[11] = 0;
        if (mode_ == Mode::ForgeId) r[1] ^= 0x5A;
        if (mode_ == Mode::ForgeQuestion) r[13] ^= 0x01;  // another first letter
        if (mode_ == Mode::NxDomain || (!names_.count(name) && mode_ == Mode::Answer)) {
            r[3] = 0x83;
            return r;
        }
        if (mode_ == Mode::ServFail) {
            r[3] = 0x82;
            return r;
        }
        if (udp && (mode_ == Mode::Truncate || mode_ == Mode::TruncateThenTcp)) {
            r[2] |= 0x02;  // TC, and no answers
            return r;
        }
        int count = 0;
        for (const std::string &a : names_[name]) {
            if (a.empty()) continue;
            unsigned char bytes[16];
            const bool v6 = a.find(':') != std::string::npos;
            if ((qtype == 28) != v6) continue;
            inet_pton(v6 ? AF_INET6 : AF_INET, a.c_str(), bytes);
            const unsigned char rr[] = {0xC0, 0x0C, 0, static_cast<unsigned char>(qtype), 0, 1, 0, 0, 0, 60, 0,
                                        static_cast<unsigned char>(v6 ? 16 : 4)};
            r.insert(r.end(), rr, rr + sizeof rr);
            r.insert(r.end(), bytes, bytes + (v6 ? 16 : 4));
            ++count;
        }
        r[7] = static_cast<unsigned char>(count);
        return r;
    }

    Mode mode_;
    int udp_ = -1, tcp_ = -1;
    int stop_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::map<std::string, std::vector<std::string>> names_;
    std::atomic<int> queries_{0};
    std::thread thread_;
};

// Runs the main loop until the record settles (or 10 s pass).
int settle(OSAL_ADDR a, gint64 *elapsedMs = nullptr) {
    const gint64 start = g_get_monotonic_time();
    while (g_sock_addr_state(a) == OSAL_ADDR_PENDING && g_get_monotonic_time() - start < 10 * G_USEC_PER_SEC)
        g_main_context_iteration(nullptr, TRUE);
    if (elapsedMs) *elapsedMs = (g_get_monotonic_time() - start) / 1000;
    return g_sock_addr_state(a);
}

// A listener on a loopback address, to prove where a record's addresses lead.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(int family) {
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        }
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&ss), len), 0);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    }
    ~Listener() { close(fd); }
};

struct Connected {
    bool done = false;
    int error = -1;
};

// Connects a socket (tied to ifname when given) to what the record names.
int connect_through(const void *address, uint16_t portNetworkOrder, const char *ifname) {
    EXPECT_EQ(g_sock_init(0), 0);
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    if (ifname) { EXPECT_EQ(g_sock_bind(s, ifname, nullptr), 0); }
    Connected c;
    const int r = g_sock_connect(
        s, address, portNetworkOrder,
        [](OSAL_SOCKET sock, int, void *u) {
            auto *cc = static_cast<Connected *>(u);
            cc->done = true;
            cc->error = g_sock_geterror(sock);
        },
        &c);
    if (r == -1) {
        c.error = g_sock_geterror(s);
        c.done = true;
    }
    const gint64 start = g_get_monotonic_time();
    while (!c.done && g_get_monotonic_time() - start < 10 * G_USEC_PER_SEC) g_main_context_iteration(nullptr, TRUE);
    g_sock_close(s);
    g_sock_finalize();
    return c.error;
}

}  // namespace

// Each way a lookup can end, with the cause it must name.
TEST(BearerDns, EveryOutcomeNamesItsCause) {
    struct Row {
        Mode mode;
        const char *name;
        int wantState;
        int wantError;
    } rows[] = {
        {Mode::Answer, "mmsc.example.test", OSAL_ADDR_READY, 0},
        {Mode::Answer, "v6only.example.test", OSAL_ADDR_READY, 0},
        {Mode::Answer, "noaddress.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_NO_DATA},
        {Mode::NxDomain, "mmsc.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_NXDOMAIN},
        {Mode::ServFail, "mmsc.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_SERVER},
        {Mode::Truncate, "mmsc.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_TRUNCATED},
        {Mode::TruncateThenTcp, "mmsc.example.test", OSAL_ADDR_READY, 0},
        {Mode::ForgeId, "mmsc.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_FORGED},
        {Mode::ForgeQuestion, "mmsc.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_FORGED},
        {Mode::Silent, "mmsc.example.test", OSAL_ADDR_FAILED, OSAL_ERR_DNS_NO_ANSWER},
    };
    for (const Row &row : rows) {
        FakeDns dns(row.mode);
        dns.add("mmsc.example.test", "127.0.0.1");
        dns.add("mmsc.example.test", "::1");
        dns.add("v6only.example.test", "::1");
        dns.add("noaddress.example.test", "");  // exists, no address of either family
        OSAL_ADDR a = g_sock_resolve_dns(row.name, dns.server().c_str(), nullptr, 300);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(settle(a), row.wantState) << row.name << " mode " << static_cast<int>(row.mode);
        EXPECT_EQ(g_sock_addr_error(a), row.wantError)
            << row.name << " mode " << static_cast<int>(row.mode) << ": " << g_sock_strerror(g_sock_addr_error(a));
        EXPECT_GT(dns.queries(), 0);
        g_sock_addr_free(a);
    }
}

// The name's addresses are the ones connected to: an AAAA-only name reaches
// the IPv6 listener, an A name the IPv4 one.
TEST(BearerDns, RecordsLeadToTheAnsweredAddresses) {
    FakeDns dns(Mode::Answer);
    dns.add("v4.example.test", "127.0.0.1");
    dns.add("v6.example.test", "::1");
    for (int family : {AF_INET, AF_INET6}) {
        Listener l(family);
        OSAL_ADDR a = g_sock_resolve_dns(family == AF_INET ? "v4.example.test" : "v6.example.test", dns.server().c_str(),
                                         "lo", 1000);
        ASSERT_EQ(settle(a), OSAL_ADDR_READY) << g_sock_strerror(g_sock_addr_error(a));
        EXPECT_EQ(connect_through(a, htons(l.port), "lo"), 0) << family;
        g_sock_addr_free(a);
    }
}

// A server that does not answer is given its deadline, then the next one is
// asked; an IP literal asks nobody.
TEST(BearerDns, SilentServerThenTheNextAndLiteralsAskNobody) {
    FakeDns silent(Mode::Silent), good(Mode::Answer);
    good.add("mmsc.example.test", "127.0.0.1");
    const std::string servers = silent.server() + "," + good.server();
    OSAL_ADDR a = g_sock_resolve_dns("mmsc.example.test", servers.c_str(), nullptr, 400);
    gint64 ms = 0;
    EXPECT_EQ(settle(a, &ms), OSAL_ADDR_READY) << g_sock_strerror(g_sock_addr_error(a));
    EXPECT_GE(ms, 390);
    EXPECT_GT(silent.queries(), 0);
    EXPECT_GT(good.queries(), 0);
    g_sock_addr_free(a);

    for (const char *literal : {"127.0.0.1", "::1", "2001:db8::5"}) {
        OSAL_ADDR l = g_sock_resolve_dns(literal, good.server().c_str(), nullptr, 400);
        EXPECT_EQ(g_sock_addr_state(l), OSAL_ADDR_READY) << literal;
        g_sock_addr_free(l);
    }
    EXPECT_EQ(good.queries(), 2);  // the two queries of the name, none for the literals

    // Freed while it runs: nothing is delivered to a record that is gone.
    OSAL_ADDR gone = g_sock_resolve_dns("mmsc.example.test", silent.server().c_str(), nullptr, 400);
    g_sock_addr_free(gone);
    for (int i = 0; i < 20; ++i) g_main_context_iteration(nullptr, FALSE);

    // A label longer than 63 bytes is no name a query can carry: refused, nobody asked.
    const std::string longLabel = std::string(64, 'a') + ".example.test";
    const int before = good.queries();
    OSAL_ADDR toolong = g_sock_resolve_dns(longLabel.c_str(), good.server().c_str(), nullptr, 400);
    EXPECT_EQ(settle(toolong), OSAL_ADDR_FAILED);
    EXPECT_EQ(g_sock_addr_error(toolong), OSAL_ERR_BAD_ARGUMENT) << g_sock_strerror(g_sock_addr_error(toolong));
    EXPECT_EQ(good.queries(), before);
    g_sock_addr_free(toolong);

    OSAL_ADDR bad = g_sock_resolve_dns("mmsc.example.test", "not-an-address", nullptr, 400);
    EXPECT_EQ(g_sock_addr_state(bad), OSAL_ADDR_FAILED);
    EXPECT_EQ(g_sock_addr_error(bad), OSAL_ERR_DNS_BAD_SERVERS);
    g_sock_addr_free(bad);
}

// Sockets tied to an interface: an interface that does not exist fails the
// connect (and the lookup's queries); where the device bind is refused, the
// interface's own address is bound instead and the log says so once.
TEST(BearerDns, InterfaceBindAndItsFallback) {
    Listener l(AF_INET);
    EXPECT_EQ(connect_through("127.0.0.1", l.port, "lo"), 0);
    EXPECT_EQ(connect_through("127.0.0.1", l.port, "nosuch9"), ENODEV);

    FakeDns dns(Mode::Answer);
    dns.add("mmsc.example.test", "127.0.0.1");
    OSAL_ADDR a = g_sock_resolve_dns("mmsc.example.test", dns.server().c_str(), "nosuch9", 300);
    EXPECT_EQ(settle(a), OSAL_ADDR_FAILED);
    EXPECT_EQ(g_sock_addr_error(a), ENODEV) << g_sock_strerror(g_sock_addr_error(a));
    EXPECT_EQ(dns.queries(), 0);
    g_sock_addr_free(a);

    static int told = 0;
    static std::string line;
    g_log_set_handler("rorodire", G_LOG_LEVEL_MESSAGE,
                      [](const gchar *, GLogLevelFlags, const gchar *msg, gpointer) {
                          ++told;
                          line = msg;
                      },
                      nullptr);
    setenv("OSAL_NO_BINDTODEVICE", "1", 1);
    EXPECT_EQ(connect_through("127.0.0.1", l.port, "lo"), 0);
    EXPECT_EQ(connect_through("127.0.0.1", l.port, "lo"), 0);
    OSAL_ADDR b = g_sock_resolve_dns("mmsc.example.test", dns.server().c_str(), "lo", 1000);
    EXPECT_EQ(settle(b), OSAL_ADDR_READY) << g_sock_strerror(g_sock_addr_error(b));
    g_sock_addr_free(b);
    unsetenv("OSAL_NO_BINDTODEVICE");
    EXPECT_EQ(told, 1);
    EXPECT_NE(line.find("binding its address 127.0.0.1 instead"), std::string::npos) << line;
}
