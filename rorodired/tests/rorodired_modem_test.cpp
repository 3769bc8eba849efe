// The ModemManager backend against the stand-in ModemManager (mm_standin.py,
// built from ModemManager's interface files) on a private dbus-daemon: which
// SMS become pushes and leave the modem, which stay, and what the bearer
// reports as it comes and goes. Plus the bearer rule itself, table-driven.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "modem_mm.h"

namespace rrd {
namespace {

using Bytes = std::vector<uint8_t>;

// An m-notification-ind for a message at `location`, checked with the
// library's decoder so that a mistake here cannot pass as the backend's.
Bytes notification(const std::string &location) {
    Bytes b = {0x8C, 0x82, 0x98, 'T', '1', 0x00, 0x8D, 0x90, 0x8A, 0x80, 0x8E, 0x02, 0x0B, 0xB8,
               0x88, 0x05, 0x81, 0x03, 0x01, 0x51, 0x80, 0x83};
    b.reserve(b.size() + location.size() + 1);
    b.insert(b.end(), location.begin(), location.end());
    b.push_back(0x00);
    tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(b.data(), static_cast<int>(b.size()));
    EXPECT_NE(n, nullptr);
    if (n) {
        EXPECT_STREQ(n->Content_Location, location.c_str());
        fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
    }
    return b;
}

// A WAP push (transaction id, PDU type Push, headers: content type as its
// well-known code, X-Wap-Application-ID: x-wap-application:mms.ua) around a PDU.
Bytes wap_push(uint8_t contentTypeCode, const Bytes &pdu) {
    Bytes b = {0x01, 0x06, 0x03, static_cast<uint8_t>(0x80 | contentTypeCode), 0xAF, 0x84};
    b.reserve(b.size() + pdu.size());
    b.insert(b.end(), pdu.begin(), pdu.end());
    return b;
}
constexpr uint8_t kMmsType = 0x3E, kSiType = 0x2E;  // application/vnd.wap.mms-message, application/vnd.wap.sic

std::string hex(const Bytes &b) {
    std::string s;
    char t[3];
    for (uint8_t c : b) {
        std::snprintf(t, sizeof t, "%02x", c);
        s += t;
    }
    return s;
}

struct Proc {
    GPid pid = 0;
    int out = -1;
    std::string line;  // first line of its stdout
};

Proc spawn(const std::vector<std::string> &argv) {
    std::vector<char *> a;
    for (auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    Proc p;
    GError *err = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, a.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &p.pid, nullptr, &p.out, nullptr,
                                  &err)) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << err->message;
        g_error_free(err);
        return p;
    }
    char c;
    while (read(p.out, &c, 1) == 1 && c != '\n') p.line += c;
    return p;
}

void stop(Proc &p) {
    if (p.pid <= 0) return;
    kill(p.pid, SIGTERM);
    waitpid(p.pid, nullptr, 0);
    close(p.out);
    p.pid = 0;
}

struct Seen {
    std::vector<std::pair<Bytes, std::string>> pushes;
    std::vector<BearerState> bearer;
    std::string lastIface, ownNumber;
    std::vector<std::string> errors;
};

class ModemManagerBackend : public ::testing::Test {
protected:
    void SetUp() override {
        bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
        ASSERT_FALSE(bus_.line.empty());
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.line.c_str(), TRUE);
        GError *err = nullptr;
        ctl_ = g_dbus_connection_new_for_address_sync(
            bus_.line.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &err);
        ASSERT_NE(ctl_, nullptr) << err->message;
    }
    void TearDown() override {
        modem_stop(modem_);
        modem_ = nullptr;
        // what is still queued for the stopped backend runs now and must not reach it
        for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
        if (ctl_) g_object_unref(ctl_);
        stop(standin_);
        stop(bus_);
        g_unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    void start_standin(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"/usr/bin/python3", RRD_STANDIN, "--address", bus_.line};
        argv.insert(argv.end(), extra.begin(), extra.end());
        standin_ = spawn(argv);
        ASSERT_EQ(standin_.line, "ready");
    }

    void start_backend(ModemSettings s = {}) {
        ModemCallbacks cb;
        cb.on_push = [this](const Bytes &b, const std::string &origin) { seen_.pushes.emplace_back(b, origin); };
        cb.on_bearer = [this](bool up, BearerState st, const std::string &iface) {
            EXPECT_EQ(up, st == BearerState::ContextActive);
            seen_.bearer.push_back(st);
            seen_.lastIface = iface;
        };
        cb.on_own_number = [this](const std::string &n) { seen_.ownNumber = n; };
        cb.on_error = [this](const std::string &t) { seen_.errors.push_back(t); };
        std::string why;
        modem_ = modem_start(s, cb, &why);
        ASSERT_NE(modem_, nullptr) << why;
    }

    // Runs the main loop until `done` holds (or 10 s pass).
    template <typename F>
    bool until(F done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(2000);
        }
        return true;
    }
    // Runs the main loop for a while (for things that must NOT happen).
    void settle(int ms = 600) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(2000);
        }
    }

    GVariant *control(const char *method, GVariant *args) {
        GError *err = nullptr;
        GVariant *r = g_dbus_connection_call_sync(ctl_, kMmBusName, "/org/rorodire/Standin", "org.rorodire.Standin", method, args,
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err);
        EXPECT_NE(r, nullptr) << method << ": " << (err ? err->message : "");
        if (err) g_error_free(err);
        return r;
    }
    std::string add_sms(const Bytes &data, const std::string &text = "", bool receiving = false) {
        GVariant *ay = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
        GVariant *r = control("AddSms", g_variant_new("(s@aysb)", "+15550100002", ay, text.c_str(), receiving));
        if (!r) return {};
        const char *path = nullptr;
        g_variant_get(r, "(&o)", &path);
        std::string p = path;
        g_variant_unref(r);
        return p;
    }
    void set_bearer(bool present, bool connected, const char *apn, const char *iface = "lo") {
        if (GVariant *r = control("SetBearer", g_variant_new("(bbss)", present, connected, apn, iface))) g_variant_unref(r);
    }
    std::vector<std::string> strings_of(const char *method) {
        std::vector<std::string> out;
        GVariant *r = control(method, nullptr);
        if (!r) return out;
        GVariantIter *it = nullptr;
        const char *s = nullptr;
        g_variant_get(r, g_variant_is_of_type(r, G_VARIANT_TYPE("(as)")) ? "(as)" : "(ao)", &it);
        while (g_variant_iter_next(it, g_variant_is_of_type(r, G_VARIANT_TYPE("(as)")) ? "&s" : "&o", &s)) out.emplace_back(s);
        g_variant_iter_free(it);
        g_variant_unref(r);
        return out;
    }
    bool on_modem(const std::string &path) {
        for (auto &p : strings_of("Sms"))
            if (p == path) return true;
        return false;
    }
    size_t deletes_of(const std::string &path) {
        size_t n = 0;
        for (auto &c : strings_of("Calls")) n += c == "Messaging.Delete " + path;
        return n;
    }

    Proc bus_, standin_;
    GDBusConnection *ctl_ = nullptr;
    Modem *modem_ = nullptr;
    Seen seen_;
};

TEST_F(ModemManagerBackend, PushesAtStartAndLaterAreHandedOverOnceAndLeaveTheModem) {
    const Bytes first = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/first"));
    const Bytes text = {'h', 'i'};
    start_standin({"--sms", hex(first), hex(text)});
    start_backend();
    ASSERT_TRUE(until([&] { return seen_.pushes.size() == 1 && !seen_.ownNumber.empty() && !seen_.bearer.empty(); }));
    EXPECT_EQ(seen_.pushes[0].first, first);
    EXPECT_EQ(seen_.pushes[0].second, "/org/freedesktop/ModemManager1/SMS/0");
    EXPECT_EQ(seen_.ownNumber, "+15550100001");
    // one report at start, not a "no bearer" while the bearer is looked up
    EXPECT_EQ(seen_.bearer, std::vector<BearerState>{BearerState::ContextActive});
    EXPECT_EQ(seen_.lastIface, "lo");
    ASSERT_TRUE(until([&] { return !on_modem("/org/freedesktop/ModemManager1/SMS/0"); }));
    EXPECT_TRUE(on_modem("/org/freedesktop/ModemManager1/SMS/1")) << "the binary non-WAP SMS must stay";

    // At run time: a plain text SMS, a WAP push of another kind (SI), an MMS
    // push whose PDU is cut short (an MMS push all the same: the service
    // refuses it, the modem is rid of it) and an MMS push still being received.
    const std::string plain = add_sms({}, "Hello there");
    const std::string si = add_sms(wap_push(kSiType, {0x02, 0x05, 0x6A, 0x00}));
    const Bytes broken = wap_push(kMmsType, {0x8C, 0x82});
    const std::string bad = add_sms(broken);
    const Bytes second = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/second"));
    const std::string late = add_sms(second, "", true);
    ASSERT_TRUE(until([&] { return seen_.pushes.size() == 3; }));
    EXPECT_EQ(seen_.pushes[1], std::make_pair(broken, bad));
    EXPECT_EQ(seen_.pushes[2], std::make_pair(second, late));
    ASSERT_TRUE(until([&] { return !on_modem(late) && !on_modem(bad); }));
    for (const std::string &p : {plain, si}) EXPECT_TRUE(on_modem(p)) << p;

    // A new SIM or a number learnt later: the new own number is reported.
    if (GVariant *r = control("SetOwnNumbers", g_variant_new_parsed("(['+15550100055'],)"))) g_variant_unref(r);
    ASSERT_TRUE(until([&] { return seen_.ownNumber == "+15550100055"; }));

    // Asking again (ProcessMessageQueue) hands nothing over twice.
    modem_rescan(modem_);
    settle();
    EXPECT_EQ(seen_.pushes.size(), 3u);
    EXPECT_EQ(deletes_of(late), 1u);
    EXPECT_TRUE(seen_.errors.empty()) << seen_.errors[0];
}

// SMS another app deletes before the backend looks at them (their Deleted
// comes before their proxy is ready) are not remembered for ever: what the
// backend keeps is bounded by what the modem lists.
TEST_F(ModemManagerBackend, SmsGoneBeforeTheyAreReadAreNotRememberedForEver) {
    start_standin();
    start_backend();
    ASSERT_TRUE(until([&] { return !seen_.bearer.empty(); }));
    const std::string kept = add_sms({}, "stays on the modem");
    for (int i = 0; i < 400; ++i) {
        const std::string p = add_sms({}, "gone at once " + std::to_string(i));
        if (GVariant *r = control("DeleteSms", g_variant_new("(o)", p.c_str()))) g_variant_unref(r);
    }
    const Bytes push = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/after"));
    add_sms(push);
    ASSERT_TRUE(until([&] { return seen_.pushes.size() == 1; }));
    settle(300);
    EXPECT_LE(modem_remembered_sms(modem_), 64u + 2 * strings_of("Sms").size()) << "of 402 SMS, 1 still listed";
    EXPECT_TRUE(on_modem(kept));
}

TEST_F(ModemManagerBackend, WithoutAutoProcessThePushStaysOnTheModem) {
    const Bytes push = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/kept"));
    start_standin({"--sms", hex(push)});
    ModemSettings s;
    s.autoProcessSmsWap = false;
    start_backend(s);
    ASSERT_TRUE(until([&] { return seen_.pushes.size() == 1; }));
    modem_rescan(modem_);
    settle();
    EXPECT_EQ(seen_.pushes.size(), 1u);
    EXPECT_TRUE(on_modem("/org/freedesktop/ModemManager1/SMS/0"));
    EXPECT_EQ(deletes_of("/org/freedesktop/ModemManager1/SMS/0"), 0u);
}

TEST_F(ModemManagerBackend, BearerStatesFollowTheModem) {
    start_standin({"--no-bearer"});
    ModemSettings s;
    s.mmsApn = "mms.test";
    s.defaultModemNumber = "+15550100077";  // configured: OwnNumbers is not reported
    start_backend(s);
    ASSERT_TRUE(until([&] { return !seen_.bearer.empty(); }));
    EXPECT_EQ(seen_.bearer.back(), BearerState::NoBearersActive);

    struct Step {
        bool present, connected;
        const char *apn;
        BearerState want;
    } steps[] = {
        {true, false, "mms.test", BearerState::InterfaceDisconnected},
        {true, true, "internet", BearerState::IncorrectApnConnected},
        {true, true, "MMS.test", BearerState::ContextActive},
        {false, false, "mms.test", BearerState::NoBearersActive},
        {true, true, "mms.test", BearerState::ContextActive},
    };
    for (const Step &st : steps) {
        set_bearer(st.present, st.connected, st.apn);
        ASSERT_TRUE(until([&] { return seen_.bearer.back() == st.want; })) << st.apn << " " << st.connected;
    }
    EXPECT_EQ(seen_.lastIface, "lo");
    const size_t reports = seen_.bearer.size();

    // MMS_APN changed at run time: the internet bearer is good enough once no
    // APN is asked for.
    set_bearer(true, true, "internet");
    ASSERT_TRUE(until([&] { return seen_.bearer.back() == BearerState::IncorrectApnConnected; }));
    s.mmsApn = "";
    modem_update_settings(modem_, s);
    EXPECT_EQ(seen_.bearer.back(), BearerState::ContextActive);
    BearerState now{};
    std::string iface;
    EXPECT_TRUE(modem_bearer_up(modem_, &now, &iface));
    EXPECT_EQ(iface, "lo");
    settle(300);
    EXPECT_EQ(seen_.bearer.size(), reports + 2) << "a report per change, none for nothing";
    EXPECT_EQ(seen_.ownNumber, "");
}

// The connected bearer's Interface, APN, Ip4Config and Ip6Config come
// through; a new address is reported as a change (the next transfer takes
// it), an IPv6-only bearer gives only IPv6 DNS servers.
TEST_F(ModemManagerBackend, BearerConfigurationFollowsTheModem) {
    start_standin({"--iface", "wwan0", "--apn", "mms.test"});
    ModemSettings s;
    s.mmsApn = "mms.test";
    start_backend(s);
    auto set_ip = [&](GVariant *ip4, GVariant *ip6) {
        if (GVariant *r = control("SetBearerIp", g_variant_new("(@a{sv}@a{sv})", ip4, ip6))) g_variant_unref(r);
    };
    auto dict = [](const char *address, guint32 prefix, const char *gw, std::vector<const char *> dns) {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&b, "{sv}", "method", g_variant_new_uint32(2));
        g_variant_builder_add(&b, "{sv}", "address", g_variant_new_string(address));
        g_variant_builder_add(&b, "{sv}", "prefix", g_variant_new_uint32(prefix));
        g_variant_builder_add(&b, "{sv}", "gateway", g_variant_new_string(gw));
        int i = 1;
        for (const char *d : dns)
            g_variant_builder_add(&b, "{sv}", ("dns" + std::to_string(i++)).c_str(), g_variant_new_string(d));
        return g_variant_builder_end(&b);
    };
    auto empty = [] { return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0); };
    set_ip(dict("10.64.0.2", 29, "10.64.0.1", {"10.64.0.1", "not-an-address", "192.0.2.53"}),
           dict("fd00:64::2", 64, "fd00:64::1", {"fd00:64::1"}));
    ASSERT_TRUE(until([&] { return modem_bearer_info(modem_).ip4.address == "10.64.0.2"; }));
    BearerInfo b = modem_bearer_info(modem_);
    EXPECT_EQ(b.iface, "wwan0");
    EXPECT_EQ(b.apn, "mms.test");
    EXPECT_EQ(b.ip4.prefix, 29u);
    EXPECT_EQ(b.ip4.gateway, "10.64.0.1");
    EXPECT_EQ(b.ip4.method, 2u);
    EXPECT_EQ(b.ip6.address, "fd00:64::2");
    EXPECT_EQ(b.dns_list(), "10.64.0.1,192.0.2.53,fd00:64::1");  // IPv4 first, only numeric servers

    const size_t reports = seen_.bearer.size();
    set_ip(dict("10.64.0.3", 29, "10.64.0.1", {"10.64.0.1"}), empty());
    ASSERT_TRUE(until([&] { return modem_bearer_info(modem_).ip4.address == "10.64.0.3"; }));
    EXPECT_GT(seen_.bearer.size(), reports) << "a new address is a change the service hears of";
    EXPECT_TRUE(modem_bearer_info(modem_).ip6.address.empty());

    set_ip(empty(), dict("fd00:64::9", 64, "fd00:64::1", {"fd00:64::1"}));
    ASSERT_TRUE(until([&] { return modem_bearer_info(modem_).ip6.address == "fd00:64::9"; }));
    EXPECT_TRUE(modem_bearer_info(modem_).ip4.address.empty());
    EXPECT_EQ(modem_bearer_info(modem_).dns_list(), "fd00:64::1");

    set_bearer(true, false, "mms.test", "wwan0");
    ASSERT_TRUE(until([&] { return seen_.bearer.back() == BearerState::InterfaceDisconnected; }));
    EXPECT_TRUE(modem_bearer_info(modem_).iface.empty()) << "no bearer to go out on while it is down";
}

TEST_F(ModemManagerBackend, ModemManagerAppearingLateIsPickedUp) {
    start_backend();
    ASSERT_TRUE(until([&] { return !seen_.bearer.empty(); }));
    EXPECT_EQ(seen_.bearer.back(), BearerState::NoBearersActive);
    EXPECT_FALSE(seen_.errors.empty());
    const Bytes push = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/late"));
    start_standin({"--sms", hex(push)});
    ASSERT_TRUE(until([&] { return seen_.pushes.size() == 1 && seen_.bearer.back() == BearerState::ContextActive; }));
    EXPECT_EQ(seen_.pushes[0].first, push);

    // ModemManager goes away: no modem, no bearer.
    stop(standin_);
    ASSERT_TRUE(until([&] { return seen_.bearer.back() == BearerState::NoBearersActive; }));
}

// A modem whose Messaging shows up after the modem itself (ModemManager adds
// it once the SIM is ready): the backend takes the modem then and hands over
// the pushes waiting on it.
TEST_F(ModemManagerBackend, MessagingAppearingAfterTheModemIsPickedUp) {
    const Bytes push = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/messaging-later"));
    start_standin({"--messaging-later", "--sms", hex(push)});
    start_backend();
    settle();
    EXPECT_TRUE(seen_.pushes.empty()) << "no modem with Messaging yet";
    if (GVariant *r = control("AddMessaging", nullptr)) g_variant_unref(r);
    ASSERT_TRUE(until([&] { return seen_.pushes.size() == 1; }));
    EXPECT_EQ(seen_.pushes[0].first, push);
    ASSERT_TRUE(until([&] { return !on_modem("/org/freedesktop/ModemManager1/SMS/0"); }));
}

TEST_F(ModemManagerBackend, OnlyTheConfiguredModemIsUsed) {
    start_standin({"--sms", hex(wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/other")))});
    ModemSettings s;
    s.modemPath = "/org/freedesktop/ModemManager1/Modem/7";
    start_backend(s);
    ASSERT_TRUE(until([&] { return !seen_.bearer.empty() && !seen_.errors.empty(); }));
    EXPECT_EQ(seen_.bearer.back(), BearerState::NoBearersActive);
    EXPECT_NE(seen_.errors[0].find("Modem/7"), std::string::npos) << seen_.errors[0];
    settle();
    EXPECT_TRUE(seen_.pushes.empty()) << "another modem's SMS are not ours";
    EXPECT_TRUE(on_modem("/org/freedesktop/ModemManager1/SMS/0"));
    EXPECT_EQ(seen_.ownNumber, "");
}

TEST_F(ModemManagerBackend, StoppedBeforeAnyAnswerCallsNothing) {
    start_standin({"--sms", hex(wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/x")))});
    start_backend();
    modem_stop(modem_);
    modem_ = nullptr;
    settle();
    EXPECT_TRUE(seen_.pushes.empty());
    EXPECT_TRUE(seen_.bearer.empty());
    EXPECT_TRUE(on_modem("/org/freedesktop/ModemManager1/SMS/0"));
}

// The oFono backend against a fake oFono (this process, on a connection of
// its own) that records what is asked of its PushNotification interface.
class OfonoBackend : public ModemManagerBackend {
protected:
    void own_ofono() {
        GError *err = nullptr;
        ofono_ = g_dbus_connection_new_for_address_sync(
            bus_.line.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &err);
        ASSERT_NE(ofono_, nullptr) << err->message;
        GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.ofono.PushNotification'>"
            "<method name='RegisterAgent'><arg type='o' direction='in'/></method>"
            "<method name='UnregisterAgent'><arg type='o' direction='in'/></method>"
            "</interface></node>",
            nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection *, const char *, const char *path, const char *, const char *method, GVariant *params,
               GDBusMethodInvocation *inv, gpointer user) {
                const char *agent = nullptr;
                g_variant_get(params, "(&o)", &agent);
                static_cast<std::vector<std::string> *>(user)->push_back(std::string(path) + " " + method + " " + agent);
                g_dbus_method_invocation_return_value(inv, nullptr);
            },
            nullptr, nullptr, {}};
        ASSERT_NE(g_dbus_connection_register_object(ofono_, "/ril_0", node->interfaces[0], &vtable, &asked_, nullptr, nullptr), 0u);
        g_dbus_node_info_unref(node);
        owner_ = g_bus_own_name_on_connection(ofono_, "org.ofono", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr);
    }
    void drop_ofono() {
        g_bus_unown_name(owner_);
        g_object_unref(ofono_);  // closes the connection: the name goes with it
        ofono_ = nullptr;
        asked_.clear();
    }
    void TearDown() override {
        if (ofono_) drop_ofono();
        ModemManagerBackend::TearDown();
    }
    ModemSettings ofono_settings() {
        ModemSettings s;
        s.backend = ModemBackend::Ofono;
        s.ofonoModem = "/ril_0";
        s.agentBus = ctl_;
        s.agentPath = "/org/ofono/mms/modemmanager";
        return s;
    }
    size_t count(const std::string &what) { return static_cast<size_t>(std::count(asked_.begin(), asked_.end(), what)); }

    GDBusConnection *ofono_ = nullptr;
    guint owner_ = 0;
    std::vector<std::string> asked_;
};

TEST_F(OfonoBackend, AgentRegisteredWheneverOfonoIsThereAndPushesPassThrough) {
    const std::string reg = "/ril_0 RegisterAgent /org/ofono/mms/modemmanager";
    start_backend(ofono_settings());  // oFono is not there yet
    ASSERT_TRUE(until([&] { return !seen_.bearer.empty(); }));
    EXPECT_EQ(seen_.bearer, std::vector<BearerState>{BearerState::ContextActive});
    own_ofono();
    ASSERT_TRUE(until([&] { return count(reg) == 1; }));

    const Bytes push = wap_push(kMmsType, notification("http://127.0.0.1:8002/mms/ofono"));
    modem_agent_push(modem_, push);
    ASSERT_EQ(seen_.pushes.size(), 1u);
    EXPECT_EQ(seen_.pushes[0], std::make_pair(push, std::string("oFono")));

    // oFono restarts: the agent is registered again.
    drop_ofono();
    settle(200);
    own_ofono();
    ASSERT_TRUE(until([&] { return count(reg) == 1; }));

    modem_stop(modem_);
    modem_ = nullptr;
    ASSERT_TRUE(until([&] { return count("/ril_0 UnregisterAgent /org/ofono/mms/modemmanager") == 1; }));
    ASSERT_EQ(seen_.errors.size(), 1u);  // oFono going away was told, nothing else
    EXPECT_NE(seen_.errors[0].find("oFono left"), std::string::npos) << seen_.errors[0];
}

TEST_F(OfonoBackend, RefusedWithoutModemOrAgent) {
    std::string why;
    ModemSettings s = ofono_settings();
    s.ofonoModem = "ril_0";  // not an object path
    EXPECT_EQ(modem_start(s, {}, &why), nullptr);
    EXPECT_NE(why.find("OfonoModem"), std::string::npos) << why;
    s = ofono_settings();
    s.agentBus = nullptr;
    why.clear();
    EXPECT_EQ(modem_start(s, {}, &why), nullptr);
    EXPECT_FALSE(why.empty());
}

TEST(BearerRule, ConnectedBearerForTheApn) {
    const BearerSeen mmsUp{true, "mms.test", "wwan1", {}}, mmsDown{false, "mms.test", "", {}},
        netUp{true, "internet", "wwan0", {}}, netDown{false, "internet", "", {}};
    struct Row {
        std::vector<BearerSeen> bearers;
        bool modem;
        const char *apn;
        BearerState want;
        const char *iface;
    } rows[] = {
        {{mmsUp}, false, "mms.test", BearerState::NoBearersActive, ""},
        {{}, true, "mms.test", BearerState::NoBearersActive, ""},
        {{}, true, "", BearerState::NoBearersActive, ""},
        {{netDown}, true, "mms.test", BearerState::NoBearersActive, ""},
        {{mmsDown}, true, "mms.test", BearerState::InterfaceDisconnected, ""},
        {{netUp}, true, "mms.test", BearerState::IncorrectApnConnected, ""},
        {{netUp, mmsDown}, true, "mms.test", BearerState::IncorrectApnConnected, ""},
        {{netUp, mmsUp}, true, "MMS.TEST", BearerState::ContextActive, "wwan1"},
        {{netDown, netUp}, true, "", BearerState::ContextActive, "wwan0"},
        {{netDown}, true, "", BearerState::NoBearersActive, ""},
    };
    for (const Row &r : rows) {
        std::string iface = "stale";
        EXPECT_EQ(bearer_state_of(r.bearers, r.modem, r.apn, &iface), r.want) << r.apn << " " << r.bearers.size();
        EXPECT_EQ(iface, r.iface);
    }
}

TEST(WapPush, OnlyMmsPushesAreTaken) {
    const Bytes ind = notification("http://127.0.0.1:8002/mms/1");
    const Bytes mms = wap_push(kMmsType, ind);
    EXPECT_TRUE(is_mms_wap_push(mms.data(), mms.size()));
    const Bytes si = wap_push(kSiType, ind);
    EXPECT_FALSE(is_mms_wap_push(si.data(), si.size()));
    // every cut of the push is read within its length (ASan); one cut in
    // the WSP header or before the PDU's type is never taken
    for (size_t n = 0; n < mms.size(); ++n) {
        const Bytes cut(mms.begin(), mms.begin() + static_cast<long>(n));
        const bool taken = is_mms_wap_push(cut.data(), cut.size());
        if (n < 8) {
            EXPECT_FALSE(taken) << n;
        }
    }
    EXPECT_FALSE(is_mms_wap_push(nullptr, 0));
}

}  // namespace
}  // namespace rrd
