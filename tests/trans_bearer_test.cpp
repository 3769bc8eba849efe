// The bearer setting of the socket layer over the scripted osal: every
// socket made while it is set is tied to its interface, every host name (the
// proxy's too) goes to its DNS servers and never to the system resolver, and
// nothing of it is left once the layer finalises (a later transaction
// without a bearer behaves as before).
#include <gtest/gtest.h>

#include <string>

#include "glib_qx_stack_porting.h"
#include "hbxappglib.h"
#include "osal_scripted.h"

namespace {

class Bearer : public ::testing::Test {
protected:
    void SetUp() override {
        osal_script::reset();
        ASSERT_EQ(fnQX_Stack_Init(), QX_SOCK_OK);
    }
    void TearDown() override {
        fnQX_Stack_Finalize();
        EXPECT_EQ(osal_script::addrs_live(), 0);
        EXPECT_EQ(osal_script::bad_socket_calls(), 0);
        osal_script::reset();
    }
    static QXBearer bearer(const char *ifname, const char *source, const char *dns) {
        QXBearer b{};
        EXPECT_TRUE(fnQX_Stack_MakeBearer(&b, ifname, source, dns));
        return b;
    }
};

TEST_F(Bearer, SocketsAndNamesFollowTheBearer) {
    // Without a bearer: no binding, names to the system resolver, the proxy by its text.
    int s = fnQX_Stack_Socket();
    EXPECT_EQ(osal_script::bound_ifname(), "");
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "mmsc.example.test", 80, QXAddrPath::Direct), 1);
    EXPECT_EQ(osal_script::dns_resolves_started(), 0);
    EXPECT_EQ(osal_script::resolves_started(), 1);
    fnQX_Stack_Close(s);

    const QXBearer b = bearer("wwan0", "10.64.0.2", "10.64.0.1,fd00:64::1");
    ASSERT_TRUE(fnQX_Stack_SetBearer(&b));
    struct Row {
        QXAddrPath path;
        const char *host;
    } rows[] = {{QXAddrPath::Direct, "mmsc.example.test"}, {QXAddrPath::Proxy, "proxy.example.test"},
                {QXAddrPath::Proxy, "fd00:64::1"}};
    int dnsLookups = 0;
    for (const Row &row : rows) {
        s = fnQX_Stack_Socket();
        ASSERT_NE(s, QX_NO_SLOT);
        EXPECT_EQ(osal_script::bound_ifname(), "wwan0") << row.host;
        EXPECT_EQ(osal_script::bound_source(), "10.64.0.2") << row.host;
        EXPECT_EQ(fnQX_Stack_SetAddr(s, row.host, 8080, row.path), 1) << row.host;
        EXPECT_EQ(osal_script::dns_resolves_started(), ++dnsLookups) << row.host;
        EXPECT_EQ(osal_script::last_resolve_servers(), "10.64.0.1,fd00:64::1");
        EXPECT_EQ(osal_script::last_resolve_ifname(), "wwan0");
        EXPECT_EQ(osal_script::last_resolve_host(), row.host);
        // The connect takes the record (the port in network order), never the host text.
        EXPECT_EQ(fnQX_Stack_Connect(s), QX_STEP_AGAIN);
        EXPECT_TRUE(osal_script::last_connect_used_record()) << row.host;
        fnQX_Stack_Close(s);
    }
    EXPECT_EQ(osal_script::resolves_started(), 1 + dnsLookups);  // the system resolver only before the bearer

    // The layer forgets the bearer when it finalises.
    fnQX_Stack_Finalize();
    ASSERT_EQ(fnQX_Stack_Init(), QX_SOCK_OK);
    s = fnQX_Stack_Socket();
    EXPECT_EQ(osal_script::bound_ifname(), "");
    EXPECT_EQ(fnQX_Stack_SetAddr(s, "proxy.example.test", 8080, QXAddrPath::Proxy), 1);
    EXPECT_EQ(osal_script::dns_resolves_started(), dnsLookups);
    fnQX_Stack_Close(s);
}

TEST_F(Bearer, TextsThatDoNotFitChangeNothing) {
    QXBearer b{};
    EXPECT_FALSE(fnQX_Stack_MakeBearer(&b, "an-interface-name-too-long", nullptr, nullptr));
    EXPECT_EQ(b.ifname[0], 0);
    const QXBearer ok = bearer("wwan0", nullptr, "10.64.0.1");
    ASSERT_TRUE(hbx_SetBearer(&ok));
    QXBearer bad{};
    std::string longList;
    for (int i = 0; i < 40; ++i) longList += "10.64.0." + std::to_string(i) + ",";
    EXPECT_FALSE(fnQX_Stack_MakeBearer(&bad, "wwan0", nullptr, longList.c_str()));
    EXPECT_EQ(std::string(hbx_state().bearer.ifname), "wwan0");
    EXPECT_EQ(std::string(hbx_state().bearer.dns), "10.64.0.1");
    ASSERT_TRUE(hbx_SetBearer(nullptr));
    EXPECT_EQ(hbx_state().bearer.ifname[0], 0);
}

}  // namespace
