// The socket porting layer over the scripted osal: slot table, address paths
// (proxy and direct), the polled connect state, send/receive and close.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "glib_qx_stack_porting.h"
#include "osal_scripted.h"
#include "qx_stack_http.h"
#include "test_support.h"

namespace {

using osal_script::ConnectMode;
using osal_script::ResolveMode;

// The socket layer's table: inspected by the tests, and its entries serve as
// the connect callback's user value.
QXSocketEntry (&slots)[QX_SOCKET_SLOTS] = const_cast<QXSocketLayer &>(fnQX_Stack_Layer()).slots;

static_assert(sizeof(QXSocketEntry::nodeINAddr) == sizeof(void *), "nodeINAddr must hold a pointer");

class SocketLayer : public ::testing::Test {
protected:
    void SetUp() override {
        close_all();
        osal_script::reset();
        fnQXStack_Http_SetProxy(nullptr, 0);
    }
    void TearDown() override {
        close_all();
        fnQX_Stack_Finalize();
        fnQXStack_Http_SetProxy(nullptr, 0);
        EXPECT_EQ(osal_script::bad_socket_calls(), 0) << "a call named an unknown or closed socket";
        EXPECT_EQ(osal_script::addrs_live(), 0) << "an address record was not released";
        osal_script::reset();
    }
    static void close_all() {
        for (int i = 1; i < QX_SOCKET_SLOTS; ++i) fnQX_Stack_Close(i);
    }
    // The connect of a slot with its address: under way at first, connected
    // once the main loop has turned (the osal reports it there, never from
    // inside g_sock_connect). The result of the poll after the turn.
    static int connect_over_a_turn(int s) {
        EXPECT_EQ(fnQX_Stack_Connect(s), -2);
        EXPECT_EQ(osal_script::run_turn(), 1);
        return fnQX_Stack_Connect(s);
    }
    // A slot through the proxy, connected after one turn.
    static int connected_slot() {
        fnQXStack_Http_SetProxy("10.0.0.172", 80);
        const int s = fnQX_Stack_Socket();
        EXPECT_EQ(fnQX_Stack_SetAddr(s, fnQXStack_Http_ProxyHost(), 80, QXAddrPath::Proxy), 1);
        EXPECT_EQ(connect_over_a_turn(s), 1);
        return s;
    }
};

TEST_F(SocketLayer, InitAndFinalizeFollowTheOsalResult) {
    osal_script::set_init_result(-1);
    EXPECT_EQ(fnQX_Stack_Init(), 0);
    fnQX_Stack_Finalize();  // the service never came up: nothing to stop
    EXPECT_EQ(osal_script::sock_finalize_calls(), 0);

    osal_script::set_init_result(0);
    EXPECT_EQ(fnQX_Stack_Init(), 1);
    EXPECT_EQ(fnQX_Stack_Init(), 1);  // already up: no second g_sock_init to balance
    EXPECT_EQ(osal_script::sock_init_calls(), 2);
    fnQX_Stack_Finalize();
    fnQX_Stack_Finalize();
    EXPECT_EQ(osal_script::sock_finalize_calls(), 1);
}

TEST_F(SocketLayer, NineteenSlotsThenNoneAndTheSpareHandleIsClosed) {
    for (int i = 1; i < QX_SOCKET_SLOTS; ++i) {
        ASSERT_EQ(fnQX_Stack_Socket(), i);
        const QXSocketEntry &e = slots[i];
        EXPECT_EQ(e.ISocket, osal_script::last_socket());
        EXPECT_EQ(e.nodeINAddr, 0);
        EXPECT_EQ(e.nPort, 0);
        EXPECT_EQ(e.iAddrState, 0);
        EXPECT_EQ(e.iConnect, 0);
    }
    EXPECT_EQ(slots[0].ISocket, 0) << "slot 0 is never handed out";
    EXPECT_EQ(fnQX_Stack_Socket(), 0);
    EXPECT_EQ(osal_script::sockets_created(), 20);
    EXPECT_EQ(osal_script::sockets_open(), 19) << "the handle without a slot must be closed";

    // A freed slot is the first one handed out again.
    fnQX_Stack_Close(7);
    EXPECT_EQ(fnQX_Stack_Socket(), 7);
    EXPECT_EQ(slots[7].ISocket, osal_script::last_socket());
}

TEST_F(SocketLayer, NoOsalSocketGivesNoSlot) {
    osal_script::set_socket_result(0);
    EXPECT_EQ(fnQX_Stack_Socket(), 0);
    for (const auto &e : slots) EXPECT_EQ(e.ISocket, 0);
    EXPECT_EQ(fnQX_Stack_Socket(), 1);
}

TEST_F(SocketLayer, SetAddrRejectsBadSlotsHostsAndPorts) {
    fnQXStack_Http_SetProxy("proxy", 8080);
    const int s = fnQX_Stack_Socket();
    for (int slot : {0, -1, QX_SOCKET_SLOTS, 2 /* free */}) EXPECT_EQ(fnQX_Stack_SetAddr(slot, "proxy", 80, QXAddrPath::Proxy), -1) << slot;
    EXPECT_EQ(fnQX_Stack_SetAddr(s, nullptr, 80, QXAddrPath::Direct), -1);
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "proxy", -1, QXAddrPath::Proxy), -1);
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "proxy", 65536, QXAddrPath::Proxy), -1);
    EXPECT_EQ(slots[s].iAddrState, 0);
}

TEST_F(SocketLayer, ProxyPathKeepsTheHostPointerAndHostOrderPort) {
    fnQXStack_Http_SetProxy("wap.example.net", 9201);
    const char *host = fnQXStack_Http_ProxyHost();
    const int s = fnQX_Stack_Socket();
    EXPECT_EQ(fnQX_Stack_SetAddr(s, host, 9201, QXAddrPath::Proxy), 1);
    EXPECT_EQ(slots[s].nodeINAddr, reinterpret_cast<intptr_t>(host)) << "the text is not copied";
    EXPECT_EQ(slots[s].nPort, 9201);
    EXPECT_EQ(slots[s].iAddrState, 1);
    EXPECT_EQ(osal_script::resolves_started(), 0);

    EXPECT_EQ(connect_over_a_turn(s), 1);
    EXPECT_EQ(osal_script::last_connect_address(), "wap.example.net");
    EXPECT_FALSE(osal_script::last_connect_used_record());
    EXPECT_EQ(osal_script::last_connect_port(), 9201);
}

TEST_F(SocketLayer, DirectPathResolvesAndConnectsWithARecordInNetworkOrder) {
    const int s = fnQX_Stack_Socket();
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mms.example.com", 8080, QXAddrPath::Direct), 1);
    EXPECT_EQ(slots[s].nPort, htons(8080));
    EXPECT_EQ(slots[s].iAddrState, 1);
    EXPECT_EQ(osal_script::last_resolve_host(), "mms.example.com");
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mms.example.com", 8080, QXAddrPath::Direct), 1);
    EXPECT_EQ(osal_script::resolves_started(), 1) << "a ready address is not looked up again";

    EXPECT_EQ(connect_over_a_turn(s), 1);
    EXPECT_TRUE(osal_script::last_connect_used_record());
    EXPECT_EQ(osal_script::last_connect_address(), "mms.example.com");
    EXPECT_EQ(osal_script::last_connect_port(), htons(8080));
    EXPECT_EQ(osal_script::addrs_live(), 1);
    fnQX_Stack_Close(s);
    EXPECT_EQ(osal_script::addrs_live(), 0) << "closing the slot releases its record";
}

TEST_F(SocketLayer, DirectPathAnswersNotYetUntilTheLookupEnds) {
    osal_script::set_resolve_mode(ResolveMode::Later);
    const int s = fnQX_Stack_Socket();
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mms.example.com", 80, QXAddrPath::Direct), -2);
    EXPECT_EQ(slots[s].iAddrState, -2);
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mms.example.com", 80, QXAddrPath::Direct), -2);
    EXPECT_EQ(fnQX_Stack_Connect(s), 0) << "no connect before the address is set";
    EXPECT_EQ(osal_script::connect_calls(), 0);
    ASSERT_TRUE(osal_script::complete_resolve(true));
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mms.example.com", 80, QXAddrPath::Direct), 1);
    EXPECT_EQ(osal_script::resolves_started(), 1);
    EXPECT_EQ(connect_over_a_turn(s), 1);
}

TEST_F(SocketLayer, DirectPathFailedLookupFailsForGood) {
    for (bool later : {false, true}) {
        SCOPED_TRACE(later ? "failing later" : "failing at once");
        osal_script::set_resolve_mode(later ? ResolveMode::Later : ResolveMode::Fail);
        const int s = fnQX_Stack_Socket();
        if (later) {
            EXPECT_EQ(fnQX_Stack_SetAddr(s, "nowhere", 80, QXAddrPath::Direct), -2);
            ASSERT_TRUE(osal_script::complete_resolve(false));
        }
        rrtest::LogCapture log;
        EXPECT_EQ(fnQX_Stack_SetAddr(s, "nowhere", 80, QXAddrPath::Direct), -1);
        EXPECT_TRUE(log.contains("address lookup failed, error " + std::to_string(OSAL_ERR_HOST_NOT_FOUND) + "\n"))
            << log.text();
        EXPECT_EQ(slots[s].iAddrState, -1);
        EXPECT_EQ(slots[s].nodeINAddr, 0);
        EXPECT_EQ(osal_script::addrs_live(), 0) << "the failed record is released at once";
        const int started = osal_script::resolves_started();
        EXPECT_EQ(fnQX_Stack_SetAddr(s, "nowhere", 80, QXAddrPath::Direct), -1);
        EXPECT_EQ(osal_script::resolves_started(), started);
        EXPECT_EQ(fnQX_Stack_Connect(s), 0);
        fnQX_Stack_Close(s);
    }
}

TEST_F(SocketLayer, ClosingDuringALookupReleasesTheRecord) {
    osal_script::set_resolve_mode(ResolveMode::Later);
    const int s = fnQX_Stack_Socket();
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mms.example.com", 80, QXAddrPath::Direct), -2);
    fnQX_Stack_Close(s);
    EXPECT_EQ(osal_script::addrs_live(), 0);
    EXPECT_FALSE(osal_script::complete_resolve(true)) << "a released record's lookup is dropped";
}

struct ConnectCase {
    const char *name;
    ConnectMode mode;
    int first;       // result of the first fnQX_Stack_Connect
    bool complete;   // complete the connect by hand afterwards
    int event;       // completion event and error
    int error;
    int settled;     // iConnect after everything
    int again;       // result of a later fnQX_Stack_Connect
    const char *log; // a line the log must hold
    int delivered;   // completions the next turn of the main loop delivers
};

void PrintTo(const ConnectCase &c, std::ostream *os) { *os << c.name; }

class SocketConnect : public SocketLayer, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(SocketConnect, PolledStateFollowsTheOsal) {
    const ConnectCase &c = GetParam();
    osal_script::set_connect_mode(c.mode);
    fnQXStack_Http_SetProxy("10.0.0.172", 80);
    const int s = fnQX_Stack_Socket();
    ASSERT_EQ(fnQX_Stack_SetAddr(s, fnQXStack_Http_ProxyHost(), 80, QXAddrPath::Proxy), 1);
    const OSAL_SOCKET h = slots[s].ISocket;

    rrtest::LogCapture log;
    EXPECT_EQ(fnQX_Stack_Connect(s), c.first);
    if (c.first == -2) {
        EXPECT_EQ(slots[s].iConnect, -2);
        EXPECT_EQ(fnQX_Stack_Connect(s), -2) << "a connect under way is only polled";
    }
    EXPECT_EQ(osal_script::callbacks_inside_calls(), 0) << "a completion came from inside g_sock_connect";
    EXPECT_EQ(osal_script::run_turn(), c.delivered);
    if (c.complete) {
        EXPECT_TRUE(osal_script::complete_connect(h, c.event, c.error));
    }
    EXPECT_EQ(slots[s].iConnect, c.settled);
    EXPECT_EQ(fnQX_Stack_Connect(s), c.again);
    EXPECT_EQ(fnQX_Stack_Connect(s), c.again);
    EXPECT_EQ(osal_script::connect_calls(), 1) << "g_sock_connect is called once per slot";
    std::string want = c.log;
    if (const auto at = want.find("%H"); at != std::string::npos) want.replace(at, 2, std::to_string(h));
    EXPECT_TRUE(log.contains(want)) << "want: " << want << "\nlog: " << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SocketConnect,
    ::testing::Values(
        ConnectCase{"NextTurn", ConnectMode::NextTurn, -2, false, 0, 0, 1, 1,
                    ">>>>>>call back :connect %H iConnect has been changed to 1", 1},
        ConnectCase{"Immediate", ConnectMode::Immediate, -2, false, 0, 0, 1, 1,
                    ">>>>>>call back :connect %H iConnect has been changed to 1", 1},
        ConnectCase{"Later", ConnectMode::Later, -2, true, 2, 0, 1, 1,
                    ">>>>>>call back :connect %H iConnect has been changed to 1", 0},
        ConnectCase{"LaterWithError", ConnectMode::Later, -2, true, 2, ECONNRESET, -1, 0,
                    ">>>>>>call back :connect %H iConnect has been changed to -1", 0},
        ConnectCase{"LaterOtherEvent", ConnectMode::Later, -2, true, 3, 0, -1, 0,
                    ">>>>>>call back :connect %H iConnect has been changed to -1", 0},
        ConnectCase{"FailLater", ConnectMode::FailLater, -2, true, 2, 0, -1, 0,
                    ">>>>>>call back :connect %H iConnect has been changed to -1", 0},
        ConnectCase{"Fail", ConnectMode::Fail, 0, false, 0, 0, -1, 0, "lastError =111", 0},
        ConnectCase{"Never", ConnectMode::Never, -2, false, 0, 0, -2, -2, "", 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SocketLayer, ConnectedSlotLogsBeforeConnect) {
    const int s = connected_slot();
    rrtest::LogCapture log;
    EXPECT_EQ(fnQX_Stack_Connect(s), 1);
    EXPECT_TRUE(log.contains("before connect iConnect=1\n")) << log.text();
}

TEST_F(SocketLayer, ConnectRefusesSlotsThatCannotConnect) {
    for (int slot : {0, -1, QX_SOCKET_SLOTS, 3 /* free */}) EXPECT_EQ(fnQX_Stack_Connect(slot), 0) << slot;
    const int s = fnQX_Stack_Socket();
    EXPECT_EQ(fnQX_Stack_Connect(s), 0) << "no address yet";
    EXPECT_EQ(osal_script::connect_calls(), 0);
}

TEST_F(SocketLayer, CompletionForAnotherSocketOrEntryChangesNothing) {
    osal_script::set_connect_mode(ConnectMode::Later);
    fnQXStack_Http_SetProxy("10.0.0.172", 80);
    const int s = fnQX_Stack_Socket();
    ASSERT_EQ(fnQX_Stack_SetAddr(s, fnQXStack_Http_ProxyHost(), 80, QXAddrPath::Proxy), 1);
    ASSERT_EQ(fnQX_Stack_Connect(s), -2);
    const OSAL_SOCKET old = slots[s].ISocket;
    fnQX_Stack_Close(s);
    ASSERT_EQ(fnQX_Stack_Socket(), s);  // the slot now holds a new socket
    ASSERT_EQ(fnQX_Stack_SetAddr(s, fnQXStack_Http_ProxyHost(), 80, QXAddrPath::Proxy), 1);
    ASSERT_EQ(fnQX_Stack_Connect(s), -2);

    fnQX_Stack_ConnectCb(old, OSAL_SOCK_EVENT_CONNECT, &slots[s]);  // late news of the closed socket
    EXPECT_EQ(slots[s].iConnect, -2);
    int notAnEntry = 0;
    fnQX_Stack_ConnectCb(slots[s].ISocket, 3, &notAnEntry);
    fnQX_Stack_ConnectCb(slots[s].ISocket, 3, &slots[0]);
    fnQX_Stack_ConnectCb(slots[s].ISocket, 3, reinterpret_cast<char *>(&slots[s]) + 1);
    fnQX_Stack_ConnectCb(slots[s].ISocket, 3, nullptr);
    EXPECT_EQ(slots[s].iConnect, -2);

    ASSERT_TRUE(osal_script::complete_connect(0, OSAL_SOCK_EVENT_CONNECT, 0));
    EXPECT_EQ(slots[s].iConnect, 1);
    // A settled slot stays settled.
    fnQX_Stack_ConnectCb(slots[s].ISocket, 3, &slots[s]);
    EXPECT_EQ(slots[s].iConnect, 1);
}

TEST_F(SocketLayer, SendAndReceiveNeedAConnectedSlotAndABuffer) {
    char buf[8];
    osal_script::set_connect_mode(ConnectMode::Later);
    fnQXStack_Http_SetProxy("10.0.0.172", 80);
    const int s = fnQX_Stack_Socket();
    ASSERT_EQ(fnQX_Stack_SetAddr(s, fnQXStack_Http_ProxyHost(), 80, QXAddrPath::Proxy), 1);
    EXPECT_EQ(fnQX_Stack_SendData(s, "x", 1), -1);  // not connected yet
    ASSERT_EQ(fnQX_Stack_Connect(s), -2);
    EXPECT_EQ(fnQX_Stack_SendData(s, "x", 1), -1);  // still under way
    EXPECT_EQ(fnQX_Stack_RecvData(s, buf, sizeof buf), -1);
    EXPECT_EQ(osal_script::write_calls(), 0);
    EXPECT_EQ(osal_script::read_calls(), 0);
    for (int slot : {0, -1, QX_SOCKET_SLOTS}) {
        EXPECT_EQ(fnQX_Stack_SendData(slot, "x", 1), -1);
        EXPECT_EQ(fnQX_Stack_RecvData(slot, buf, sizeof buf), -1);
    }
    EXPECT_EQ(fnQX_Stack_SendData(s, nullptr, 1), -3);
    EXPECT_EQ(fnQX_Stack_RecvData(s, nullptr, 8), -3);
    EXPECT_EQ(osal_script::write_calls() + osal_script::read_calls(), 0);
}

TEST_F(SocketLayer, SendPassesOsalResultsThrough) {
    const int s = connected_slot();
    const std::string data(3000, 'a');
    osal_script::push_write_result(1000);
    osal_script::push_write_result(-2);
    osal_script::push_write_result(0);
    osal_script::push_write_result(-1);
    EXPECT_EQ(fnQX_Stack_SendData(s, data.data(), 2048), 1000);
    EXPECT_EQ(fnQX_Stack_SendData(s, data.data(), 2048), -2);
    EXPECT_EQ(fnQX_Stack_SendData(s, data.data(), 2048), 0);
    EXPECT_EQ(fnQX_Stack_SendData(s, data.data(), 2048), -1);
    EXPECT_EQ(fnQX_Stack_SendData(s, "tail", 4), 4);
    EXPECT_EQ(osal_script::written(), std::string(1000, 'a') + "tail");
}

TEST_F(SocketLayer, ReceivePassesOsalResultsThrough) {
    const int s = connected_slot();
    char buf[5];
    EXPECT_EQ(fnQX_Stack_RecvData(s, buf, sizeof buf), -2);
    osal_script::push_read_data("hello world");
    osal_script::push_read_result(-2);
    osal_script::push_read_data("!");
    osal_script::push_read_result(0);
    osal_script::push_read_result(-1);
    std::string got;
    int r;
    std::string results;
    while ((r = fnQX_Stack_RecvData(s, buf, sizeof buf)) != -1) {
        results += std::to_string(r) + " ";
        if (r > 0) got.append(buf, static_cast<size_t>(r));
        ASSERT_LT(results.size(), 100u);
    }
    EXPECT_EQ(results, "5 5 1 -2 1 0 ");
    EXPECT_EQ(got, "hello world!");
}

TEST_F(SocketLayer, CloseFreesTheSlotAndIgnoresOthers) {
    const int s = connected_slot();
    fnQX_Stack_Close(0);
    fnQX_Stack_Close(QX_SOCKET_SLOTS);
    fnQX_Stack_Close(-1);
    EXPECT_EQ(osal_script::sockets_closed(), 0);
    EXPECT_EQ(slots[s].iConnect, 1);

    fnQX_Stack_Close(s);
    EXPECT_EQ(osal_script::sockets_open(), 0);
    const QXSocketEntry &e = slots[s];
    EXPECT_EQ(e.ISocket, 0);
    EXPECT_EQ(e.nodeINAddr, 0);
    EXPECT_EQ(e.nPort, 0);
    EXPECT_EQ(e.iAddrState, 0);
    EXPECT_EQ(e.iConnect, 0);
    fnQX_Stack_Close(s);  // a free slot: no second g_sock_close
    EXPECT_EQ(osal_script::sockets_closed(), 1);
    EXPECT_EQ(fnQX_Stack_SendData(s, "x", 1), -1);
}

TEST_F(SocketLayer, AFullRoundLeavesNothingBehind) {
    rrtest::LeakCheck leaks;
    ASSERT_EQ(fnQX_Stack_Init(), 1);
    for (bool proxy : {true, false}) {
        fnQXStack_Http_SetProxy(proxy ? "10.0.0.172" : nullptr, 8080);
        const int s = fnQX_Stack_Socket();
        ASSERT_EQ(fnQX_Stack_SetAddr(s, proxy ? fnQXStack_Http_ProxyHost() : "mms.example.com", 8080, proxy ? QXAddrPath::Proxy : QXAddrPath::Direct), 1);
        ASSERT_EQ(connect_over_a_turn(s), 1);
        ASSERT_EQ(fnQX_Stack_SendData(s, "GET / HTTP/1.0\r\n\r\n", 18), 18);
        fnQX_Stack_Close(s);
    }
    fnQX_Stack_Finalize();
    fnQXStack_Http_SetProxy(nullptr, 0);
    EXPECT_EQ(osal_script::sockets_open(), 0);
    EXPECT_EQ(osal_script::addrs_live(), 0);
    EXPECT_EQ(osal_script::sock_finalize_calls(), 1);
}

}  // namespace
