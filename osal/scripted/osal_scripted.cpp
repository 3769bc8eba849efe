// Scripted osal: deterministic stand-in for the platform library in tests.
#include "osal_scripted.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>

struct osal_addr_rec {
    std::string host;
    int state = OSAL_ADDR_PENDING;
    int error = 0;
    bool freed = false;
};

namespace {

struct Sock {
    bool open = true;
    int error = 0;
    std::string written;
    osal_script::ConnectMode mode = osal_script::ConnectMode::NextTurn;
    std::string ifname, source;  // g_sock_bind
    bool connecting = false;  // g_sock_connect accepted, completion not yet delivered
    bool connected = false;
    OSAL_SOCK_CB cb = nullptr;
    void *user = nullptr;
};

struct Timer {
    uintptr_t id = 0;
    int period = 0;
    long due = 0;  // virtual time it fires at
    OSAL_TIMER_CB cb = nullptr;
    void *user = nullptr;
    bool fired = false;
    bool freed = false;
    bool watch = false;       // a readiness wait (g_sock_watch)
    OSAL_SOCKET sock = 0;     // its socket
    int events = 0;
};

struct ReadStep {
    bool isData;
    std::string data;
    int result;
};

struct State {
    osal_script::ConnectMode connectMode = osal_script::ConnectMode::NextTurn;
    osal_script::ResolveMode resolveMode = osal_script::ResolveMode::Immediate;
    std::map<OSAL_SOCKET, Sock> socks;
    OSAL_SOCKET nextSock = 101;
    OSAL_SOCKET lastSock = 0;
    bool forceSocket = false;
    OSAL_SOCKET forcedSocket = 0;
    int created = 0, closed = 0, connects = 0, writes = 0, reads = 0, bad = 0;
    int initCalls = 0, finalizeCalls = 0;
    int initResult = 0, timeInitResult = 1;
    std::string lastAddr;
    bool lastByRecord = false;
    uint16_t lastPort = 0;
    std::deque<int> writeResults;
    std::deque<ReadStep> readSteps;
    std::deque<Timer> timers;  // in arming order
    int timersFired = 0, badFrees = 0, lastPeriod = -1;
    int watchesArmed = 0, watchesReady = 0, lastWatchEvents = 0;
    long nowMs = 0;  // virtual time: advanced to each timer as it fires
    int resolves = 0;
    std::string lastResolveHost;
    std::string lastResolveServers, lastResolveIfname;
    int dnsResolves = 0;
    std::deque<OSAL_SOCKET> dueConnects;  // completions the next turn delivers, in connect order
    int insideCall = 0;                   // > 0 while an osal call runs
    int callbacksInside = 0;
};


State &st() {
    static State s;
    return s;
}

// Marks an osal call in progress, so a callback from inside it is counted.
struct InCall {
    InCall() { ++st().insideCall; }
    ~InCall() { --st().insideCall; }
};

// Address records live in a registry that outlives reset(), so records handed
// out before a reset stay recognisable (and freeable) afterwards.
std::map<const osal_addr_rec *, std::unique_ptr<osal_addr_rec>> &addrs() {
    static std::map<const osal_addr_rec *, std::unique_ptr<osal_addr_rec>> m;
    return m;
}
std::deque<osal_addr_rec *> &pendingAddrs() {
    static std::deque<osal_addr_rec *> q;
    return q;
}

uintptr_t g_nextTimerId = 1;  // never restarts, so handles never repeat

Sock *find_open(OSAL_SOCKET s) {
    auto it = st().socks.find(s);
    if (it == st().socks.end() || !it->second.open) return nullptr;
    return &it->second;
}

Timer *find_timer(OSAL_TIMER t) {
    const auto id = reinterpret_cast<uintptr_t>(t);
    for (auto &tm : st().timers)
        if (tm.id == id) return &tm;
    return nullptr;
}

OSAL_SOCKET pick(OSAL_SOCKET s) { return s ? s : st().lastSock; }

}  // namespace

// ======================================================================= osal
extern "C" {

int g_sock_init(int) {
    ++st().initCalls;
    return st().initResult;
}

void g_sock_finalize(void) { ++st().finalizeCalls; }

OSAL_SOCKET g_sock_socket(int, int, int) {
    State &s = st();
    OSAL_SOCKET h;
    if (s.forceSocket) {
        s.forceSocket = false;
        h = s.forcedSocket;
        if (h == 0) return 0;
    } else {
        h = s.nextSock++;
    }
    s.socks[h] = Sock{};
    s.lastSock = h;
    ++s.created;
    return h;
}

uint16_t g_sock_htons(uint16_t port) { return htons(port); }

int g_sock_connect(OSAL_SOCKET sock, const void *address, uint16_t port, OSAL_SOCK_CB cb, void *user) {
    State &s = st();
    const InCall inCall;
    ++s.connects;
    Sock *k = find_open(sock);
    if (!k) {
        ++s.bad;
        return -1;
    }
    s.lastPort = port;
    s.lastByRecord = false;
    s.lastAddr.clear();
    if (!address) {
        k->error = OSAL_ERR_BAD_ARGUMENT;
        return -1;
    }
    auto rec = addrs().find(static_cast<const osal_addr_rec *>(address));
    if (rec != addrs().end()) {
        s.lastByRecord = true;
        s.lastAddr = rec->second->host;
        if (rec->second->freed) {  // a released record: never read it as text
            k->error = OSAL_ERR_BAD_ARGUMENT;
            return -1;
        }
        if (rec->second->state != OSAL_ADDR_READY) {
            k->error = OSAL_ERR_ADDR_PENDING;
            return -1;
        }
    } else {
        s.lastAddr = static_cast<const char *>(address);
    }
    if (k->connecting || k->connected) {
        k->error = OSAL_ERR_BAD_STATE;
        return -1;
    }
    k->mode = s.connectMode;
    k->cb = cb;
    k->user = user;
    switch (s.connectMode) {
    case osal_script::ConnectMode::NextTurn:
    case osal_script::ConnectMode::Immediate:
        k->error = 0;
        k->connecting = true;
        s.dueConnects.push_back(sock);
        return s.connectMode == osal_script::ConnectMode::Immediate ? 0 : -2;
    case osal_script::ConnectMode::Fail:
        k->error = ECONNREFUSED;
        return -1;
    case osal_script::ConnectMode::Later:
    case osal_script::ConnectMode::FailLater:
    case osal_script::ConnectMode::Never:
        k->connecting = true;
        return -2;
    }
    return -1;
}

int g_sock_geterror(OSAL_SOCKET sock) {
    auto it = st().socks.find(sock);
    if (it == st().socks.end()) return OSAL_ERR_BAD_HANDLE;
    return it->second.error;
}

int g_sock_write(OSAL_SOCKET sock, const void *data, int count) {
    State &s = st();
    const InCall inCall;
    ++s.writes;
    Sock *k = find_open(sock);
    if (!k) {
        ++s.bad;
        return -1;
    }
    if (count < 0 || (count > 0 && !data)) {
        k->error = OSAL_ERR_BAD_ARGUMENT;
        return -1;
    }
    if (k->connecting) return -2;  // the connect is still under way
    int accept = count;
    if (!s.writeResults.empty()) {
        const int r = s.writeResults.front();
        s.writeResults.pop_front();
        if (r == -1) {
            k->error = EPIPE;
            return -1;
        }
        if (r < 0) return -2;
        if (r < accept) accept = r;
    }
    if (accept > 0) k->written.append(static_cast<const char *>(data), static_cast<size_t>(accept));
    return accept;
}

int g_sock_read(OSAL_SOCKET sock, void *buf, int capacity) {
    State &s = st();
    const InCall inCall;
    ++s.reads;
    Sock *k = find_open(sock);
    if (!k) {
        ++s.bad;
        return -1;
    }
    if (!buf || capacity <= 0) {
        k->error = OSAL_ERR_BAD_ARGUMENT;
        return -1;
    }
    if (k->connecting) return -2;  // the connect is still under way
    if (s.readSteps.empty()) return -2;
    ReadStep &step = s.readSteps.front();
    if (!step.isData) {
        const int r = step.result;
        s.readSteps.pop_front();
        if (r == -1) k->error = ECONNRESET;
        return r;
    }
    const size_t n = step.data.size() < static_cast<size_t>(capacity) ? step.data.size() : static_cast<size_t>(capacity);
    std::memcpy(buf, step.data.data(), n);
    step.data.erase(0, n);
    if (step.data.empty()) s.readSteps.pop_front();
    return static_cast<int>(n);
}

int g_sock_close(OSAL_SOCKET sock) {
    State &s = st();
    const InCall inCall;
    Sock *k = find_open(sock);
    if (!k) {
        ++s.bad;
        return -1;
    }
    k->open = false;
    k->connecting = false;
    k->connected = false;
    ++s.closed;
    return 0;
}

int g_sock_bind(OSAL_SOCKET sock, const char *ifname, const char *source) {
    InCall in;
    Sock *k = find_open(sock);
    if (!k) {
        ++st().bad;
        return -1;
    }
    k->ifname = ifname ? ifname : "";
    k->source = source ? source : "";
    return 0;
}

const char *g_sock_strerror(int error) { return error == 0 ? "no error" : "scripted error"; }

OSAL_ADDR g_sock_resolve_dns(const char *host, const char *servers, const char *ifname, int) {
    if (!host || !*host || !servers || !*servers) return nullptr;
    OSAL_ADDR a = g_sock_resolve(host);
    st().lastResolveServers = servers;
    st().lastResolveIfname = ifname ? ifname : "";
    ++st().dnsResolves;
    return a;
}

OSAL_ADDR g_sock_resolve(const char *host) {
    if (!host || !*host) return nullptr;
    State &s = st();
    s.lastResolveServers.clear();
    s.lastResolveIfname.clear();
    ++s.resolves;
    s.lastResolveHost = host;
    auto rec = std::make_unique<osal_addr_rec>();
    rec->host = host;
    switch (s.resolveMode) {
    case osal_script::ResolveMode::Immediate: rec->state = OSAL_ADDR_READY; break;
    case osal_script::ResolveMode::Fail:
        rec->state = OSAL_ADDR_FAILED;
        rec->error = OSAL_ERR_HOST_NOT_FOUND;
        break;
    case osal_script::ResolveMode::Later:
        rec->state = OSAL_ADDR_PENDING;
        pendingAddrs().push_back(rec.get());
        break;
    }
    osal_addr_rec *p = rec.get();
    addrs()[p] = std::move(rec);
    return p;
}

int g_sock_addr_state(OSAL_ADDR addr) {
    auto it = addrs().find(addr);
    if (it == addrs().end() || it->second->freed) return OSAL_ADDR_FAILED;
    return it->second->state;
}

int g_sock_addr_error(OSAL_ADDR addr) {
    auto it = addrs().find(addr);
    if (it == addrs().end() || it->second->freed) return OSAL_ERR_BAD_HANDLE;
    return it->second->error;
}

void g_sock_addr_free(OSAL_ADDR addr) {
    auto it = addrs().find(addr);
    if (it == addrs().end() || it->second->freed) return;
    // Keep the record as a tombstone so that a stale pointer stays unknown
    // instead of aliasing a new record at the same address.
    it->second->freed = true;
    auto &q = pendingAddrs();
    for (auto i = q.begin(); i != q.end(); ++i)
        if (*i == addr) {
            q.erase(i);
            break;
        }
}

int g_time_initialize(void) { return st().timeInitResult; }

int g_settimer(int period_ms, OSAL_TIMER_CB cb, void *user, int, OSAL_TIMER *handle) {
    if (!cb || period_ms < 0) {
        if (handle) *handle = nullptr;
        return -1;
    }
    Timer t;
    t.id = g_nextTimerId++;
    t.period = period_ms;
    t.due = st().nowMs + period_ms;
    t.cb = cb;
    t.user = user;
    st().timers.push_back(t);
    st().lastPeriod = period_ms;
    if (handle) *handle = reinterpret_cast<OSAL_TIMER>(t.id);
    return 0;
}

int g_sock_watch(OSAL_SOCKET sock, int events, int timeout_ms, OSAL_TIMER_CB cb, void *user, OSAL_TIMER *handle) {
    if (handle) *handle = nullptr;
    State &s = st();
    const InCall inCall;
    if (!cb || timeout_ms < 0 || (events & (OSAL_WATCH_READ | OSAL_WATCH_WRITE)) == 0) return -1;
    if (!find_open(sock)) {
        ++s.bad;
        return -1;
    }
    Timer t;
    t.id = g_nextTimerId++;
    t.period = timeout_ms;
    t.due = s.nowMs + timeout_ms;
    t.cb = cb;
    t.user = user;
    t.watch = true;
    t.sock = sock;
    t.events = events;
    s.timers.push_back(t);
    ++s.watchesArmed;
    s.lastWatchEvents = events;
    if (handle) *handle = reinterpret_cast<OSAL_TIMER>(t.id);
    return 0;
}

void g_free_timer(OSAL_TIMER timer) {
    if (!timer) return;
    Timer *t = find_timer(timer);
    if (!t || t->freed) {
        ++st().badFrees;
        return;
    }
    t->freed = true;
}

}  // extern "C"

// ============================================================ control interface
namespace osal_script {

void reset() {
    st() = State{};
    for (auto &kv : addrs()) kv.second->freed = true;
    pendingAddrs().clear();
}

void set_connect_mode(ConnectMode m) { st().connectMode = m; }

namespace {

void deliver_connect(OSAL_SOCKET h, Sock *k, int event, int error) {
    auto &due = st().dueConnects;
    for (auto i = due.begin(); i != due.end(); ++i)
        if (*i == h) {
            due.erase(i);
            break;
        }
    k->connecting = false;
    k->error = error;
    k->connected = (event == OSAL_SOCK_EVENT_CONNECT && error == 0);
    if (st().insideCall > 0) ++st().callbacksInside;
    if (k->cb) k->cb(h, event, k->user);
}

}  // namespace

bool complete_connect(OSAL_SOCKET s, int event, int error) {
    const OSAL_SOCKET h = pick(s);
    Sock *k = find_open(h);
    if (!k || !k->connecting || k->mode == ConnectMode::Never) return false;
    if (k->mode == ConnectMode::FailLater && event == OSAL_SOCK_EVENT_CONNECT && error == 0) error = ECONNREFUSED;
    deliver_connect(h, k, event, error);
    return true;
}

int run_turn() {
    // Only what was due when the turn began: a connect a callback starts
    // waits for the next turn.
    std::deque<OSAL_SOCKET> due;
    due.swap(st().dueConnects);
    int n = 0;
    for (OSAL_SOCKET h : due) {
        Sock *k = find_open(h);
        if (!k || !k->connecting) continue;  // closed (cancelled) meanwhile
        deliver_connect(h, k, OSAL_SOCK_EVENT_CONNECT, 0);
        ++n;
    }
    return n;
}

int callbacks_inside_calls() { return st().callbacksInside; }

bool connect_pending(OSAL_SOCKET s) {
    Sock *k = find_open(pick(s));
    return k && k->connecting;
}

void push_write_result(int r) { st().writeResults.push_back(r); }
void push_read_data(const std::string &bytes) {
    if (!bytes.empty()) st().readSteps.push_back(ReadStep{true, bytes, 0});
}
void push_read_result(int r) { st().readSteps.push_back(ReadStep{false, std::string(), r}); }
int read_steps_left() { return static_cast<int>(st().readSteps.size()); }

std::string written(OSAL_SOCKET s) {
    auto it = st().socks.find(pick(s));
    return it == st().socks.end() ? std::string() : it->second.written;
}
OSAL_SOCKET last_socket() { return st().lastSock; }
std::string last_resolve_servers() { return st().lastResolveServers; }
std::string last_resolve_ifname() { return st().lastResolveIfname; }
int dns_resolves_started() { return st().dnsResolves; }
std::string bound_ifname(OSAL_SOCKET s) {
    auto it = st().socks.find(pick(s));
    return it == st().socks.end() ? std::string() : it->second.ifname;
}
std::string bound_source(OSAL_SOCKET s) {
    auto it = st().socks.find(pick(s));
    return it == st().socks.end() ? std::string() : it->second.source;
}
int sockets_created() { return st().created; }
int sockets_open() {
    int n = 0;
    for (auto &kv : st().socks) n += kv.second.open ? 1 : 0;
    return n;
}
int sockets_closed() { return st().closed; }
int connect_calls() { return st().connects; }
int write_calls() { return st().writes; }
int read_calls() { return st().reads; }
int bad_socket_calls() { return st().bad; }
std::string last_connect_address() { return st().lastAddr; }
bool last_connect_used_record() { return st().lastByRecord; }
uint16_t last_connect_port() { return st().lastPort; }
int sock_init_calls() { return st().initCalls; }
int sock_finalize_calls() { return st().finalizeCalls; }
void set_init_result(int r) { st().initResult = r; }
void set_socket_result(OSAL_SOCKET s) {
    st().forceSocket = true;
    st().forcedSocket = s;
}
void set_time_initialize_result(int r) { st().timeInitResult = r; }

void set_resolve_mode(ResolveMode m) { st().resolveMode = m; }
bool complete_resolve(bool ok) {
    auto &q = pendingAddrs();
    if (q.empty()) return false;
    osal_addr_rec *r = q.front();
    q.pop_front();
    r->state = ok ? OSAL_ADDR_READY : OSAL_ADDR_FAILED;
    r->error = ok ? 0 : OSAL_ERR_HOST_NOT_FOUND;
    return true;
}
int resolves_started() { return st().resolves; }
int addrs_live() {
    int n = 0;
    for (auto &kv : addrs()) n += kv.second->freed ? 0 : 1;
    return n;
}
std::string last_resolve_host() { return st().lastResolveHost; }

int timers_armed() { return static_cast<int>(st().timers.size()); }
int timers_pending() {
    int n = 0;
    for (auto &t : st().timers) n += (!t.fired && !t.freed) ? 1 : 0;
    return n;
}
int timers_freed() {
    int n = 0;
    for (auto &t : st().timers) n += t.freed ? 1 : 0;
    return n;
}
int timers_live() { return timers_armed() - timers_freed(); }
int timers_fired() { return st().timersFired; }
int timer_bad_frees() { return st().badFrees; }
int last_timer_period() { return st().lastPeriod; }
long now_ms() { return st().nowMs; }

namespace {

// Whether a readiness wait is ready now: its socket is gone, or connected
// (its connect delivered) with a scripted read that is no "nothing yet"
// (for reading) or a write result that is no "would block" (for writing).
bool watch_ready(const Timer &t) {
    const Sock *k = find_open(t.sock);
    if (!k) return true;
    if (k->connecting) return false;  // the connect's end wakes it (a turn delivers it)
    const State &s = st();
    if (t.events & OSAL_WATCH_READ) {
        if (!s.readSteps.empty() && (s.readSteps.front().isData || s.readSteps.front().result != -2)) return true;
    }
    if (t.events & OSAL_WATCH_WRITE) {
        if (s.writeResults.empty() || s.writeResults.front() != -2) return true;
    }
    return false;
}

}  // namespace

int watches_armed() { return st().watchesArmed; }
int watches_fired_ready() { return st().watchesReady; }
int last_watch_events() { return st().lastWatchEvents; }

bool fire_next_timer() {
    auto &ts = st().timers;
    bool any = false;
    for (const auto &t : ts) any = any || (!t.fired && !t.freed);
    if (!any) return false;
    run_turn();  // what is ready is delivered before the timer that is due
    // A readiness wait whose socket is ready fires first (the earliest armed
    // among them), at the present time; else the pending timer or wait that
    // is due first (the earliest armed among equals), and virtual time moves
    // on to it.
    size_t next = ts.size();
    for (size_t i = 0; i < ts.size(); ++i) {
        if (ts[i].fired || ts[i].freed || !ts[i].watch) continue;
        if (watch_ready(ts[i])) {
            next = i;
            break;
        }
    }
    const bool byReadiness = next != ts.size();
    for (size_t i = 0; !byReadiness && i < ts.size(); ++i) {
        if (ts[i].fired || ts[i].freed) continue;
        if (next == ts.size() || ts[i].due < ts[next].due) next = i;
    }
    if (next == ts.size()) return false;
    Timer &t = ts[next];
    t.fired = true;
    ++st().timersFired;
    if (byReadiness)
        ++st().watchesReady;
    else if (t.due > st().nowMs)
        st().nowMs = t.due;
    // Copy first: the callback may arm timers (the deque grows) or free this one.
    const OSAL_TIMER_CB cb = t.cb;
    void *user = t.user;
    cb(user);
    return true;
}

int run_timers(int max_fires) {
    int n = 0;
    while (n < max_fires && fire_next_timer()) ++n;
    return n;
}

}  // namespace osal_script
