// The service's own parts in-process: settings (read, changed, written back
// and read again), who may call, and files read as the caller by the helper
// process (this test binary stands in for the service binary: it runs the
// helper when started with --read-files-as).
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "auth.h"
#include "config.h"
#include "pdu.h"
#include "readas.h"
#include "service.h"
#include "store.h"

namespace rrd {
namespace {

struct TempDir {
    std::string path;
    TempDir() {
        gchar *p = g_dir_make_tmp("rrd-service-test.XXXXXX", nullptr);
        path = p;
        g_free(p);
        chmod(path.c_str(), 0755);
    }
    ~TempDir() { g_spawn_command_line_sync(("rm -rf " + path).c_str(), nullptr, nullptr, nullptr, nullptr); }
    std::string write(const std::string &name, const std::string &text, mode_t mode = 0644) const {
        const std::string p = path + "/" + name;
        std::ofstream(p) << text;
        chmod(p.c_str(), mode);
        return p;
    }
};

std::string read_all(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// ---------------------------------------------------------------- settings
TEST(Settings, OlderNamesAreReadAndWrittenBackUnderTheNewOnes) {
    TempDir d;
    const std::string file = d.write("rr.conf",
                                     "# the phone's settings\n[Service]\nRelayUrl=http://127.0.0.1:8002/mms\n"
                                     "Proxy=127.0.0.1:3128\nOwnNumber=+15550100001\nStorageDir=" + d.path +
                                         "/store\n[Other]\nKeep=me\n");
    Settings s;
    std::string why;
    ASSERT_TRUE(load_settings(file, &s, &why)) << why;
    EXPECT_EQ(s.relayUrl, "http://127.0.0.1:8002/mms");
    EXPECT_EQ(s.proxyHost, "127.0.0.1");
    EXPECT_EQ(s.proxyPort, "3128");
    EXPECT_EQ(s.ownNumber, "+15550100001");
    EXPECT_EQ(s.maxMessageSize, kDefaultMaxMessageSize);
    EXPECT_EQ(s.maxAttachmentsSize, 1100000) << "mmsd-tng's TotalMaxAttachmentSize";
    EXPECT_GE(s.maxMessageSize, s.maxAttachmentsSize + 64 * 1024) << "the PDU limit fits the attachments' budget";
    EXPECT_EQ(s.allowedGroup, kDefaultAllowedGroup);

    GVariant *v = g_variant_ref_sink(g_variant_new_int32(40));
    ASSERT_TRUE(apply_setting(&s, "MaxAttachments", v, &why)) << why;
    g_variant_unref(v);
    v = g_variant_ref_sink(g_variant_new_string("NULL"));
    ASSERT_TRUE(apply_setting(&s, "CarrierMMSProxy", v, &why)) << why;
    g_variant_unref(v);
    ASSERT_TRUE(save_settings(s, &why)) << why;

    const std::string text = read_all(file);
    EXPECT_NE(text.find("# the phone's settings"), std::string::npos);
    EXPECT_NE(text.find("Keep=me"), std::string::npos);
    EXPECT_EQ(text.find("RelayUrl="), std::string::npos);
    Settings again;
    ASSERT_TRUE(load_settings(file, &again, &why)) << why;
    EXPECT_EQ(again.relayUrl, s.relayUrl);
    EXPECT_TRUE(again.proxyHost.empty());
    EXPECT_EQ(again.ownNumber, "+15550100001");
    EXPECT_EQ(again.maxAttachments, 40);
}

TEST(Settings, TheTwoLimitsAreSetApartAndOlderFilesTakeTodaysDefaults) {
    TempDir d;
    const std::string base = "[Service]\nStorageDir=" + d.path + "/store\n";
    const std::string mm = "[Modem Manager]\nCarrierMMSC=http://127.0.0.1:8002/mms\n";
    struct Row {
        std::string service;
        int attachments, pdu;
    };
    const Row rows[] = {
        {"MaxMessageSize=307200\n", kDefaultMaxAttachmentsSize, kDefaultMaxMessageSize},  // what older versions wrote
        {"MaxMessageSize=500000\n", kDefaultMaxAttachmentsSize, 500000},
        {"MaxMessageSize=307200\nTotalMaxAttachmentSize=200000\n", 200000, 307200},
        {"TotalMaxAttachmentSize=2000000\n", 2000000, kDefaultMaxMessageSize},
    };
    for (const Row &r : rows) {
        const std::string file = d.write("limits.conf", base + r.service + mm);
        Settings s;
        std::string why;
        ASSERT_TRUE(load_settings(file, &s, &why)) << why;
        EXPECT_EQ(s.maxAttachmentsSize, r.attachments) << r.service;
        EXPECT_EQ(s.maxMessageSize, r.pdu) << r.service;
        ASSERT_TRUE(save_settings(s, &why)) << why;
        Settings again;
        ASSERT_TRUE(load_settings(file, &again, &why)) << why;
        EXPECT_EQ(again.maxAttachmentsSize, r.attachments) << r.service;
        EXPECT_EQ(again.maxMessageSize, r.pdu) << r.service;
    }
    Settings s;
    std::string why;
    const std::string nl = d.write("nl.conf", base + mm + "MMS_APN=mms\\nfake=1\n");
    EXPECT_FALSE(load_settings(nl, &s, &why)) << "an escaped newline is a control character";
    EXPECT_NE(why.find("MMS_APN"), std::string::npos) << why;
}

TEST(Settings, ChangesAreCheckedAndABadOneChangesNothing) {
    struct Row {
        const char *name;
        GVariant *value;
        bool ok;
    };
    const Row rows[] = {
        {"CarrierMMSC", g_variant_new_string("http://10.0.0.1:8080/mms"), true},
        {"CarrierMMSC", g_variant_new_string("https://relay/mms"), false},
        {"CarrierMMSC", g_variant_new_string("http://user@relay/mms"), false},
        {"CarrierMMSC", g_variant_new_string("http://relay:99999/mms"), false},
        {"CarrierMMSC", g_variant_new_string("http://rel\xc3\xa9y/mms"), false},
        {"CarrierMMSC", g_variant_new_int32(1), false},
        {"CarrierMMSProxy", g_variant_new_string("10.0.0.1:80"), true},
        {"CarrierMMSProxy", g_variant_new_string("10.0.0.1"), false},
        {"DefaultModemNumber", g_variant_new_string("+15550100009"), true},
        {"DefaultModemNumber", g_variant_new_string("me"), false},
        {"MMS_APN", g_variant_new_string("mms.example"), true},
        {"MMS_APN", g_variant_new_string("mms.example\nCarrierMMSC=http://evil/"), false},
        {"MMS_APN", g_variant_new_string("mms\x1b[2J"), false},
        {"MMS_APN", g_variant_new_string("mms\x7f"), false},
        {"MMS_APN", g_variant_new_string("mms\tx"), false},
        {"AutoProcessSMSWAP", g_variant_new_boolean(FALSE), true},
        {"AutoProcessSMSWAP", g_variant_new_string("no"), false},
        {"TotalMaxAttachmentSize", g_variant_new_int32(600000), true},
        {"TotalMaxAttachmentSize", g_variant_new_int32(100), false},
        {"MaxAttachments", g_variant_new_uint32(0), false},
        {"MaxAttachments", g_variant_new_int32(101), false},
        {"UseDeliveryReports", g_variant_new_boolean(TRUE), true},
        {"StorageDir", g_variant_new_string("/tmp"), false},  // not changeable over the bus
    };
    for (const Row &r : rows) {
        GVariant *v = g_variant_ref_sink(r.value);
        Settings s;
        s.relayUrl = "http://127.0.0.1:1/mms";
        const Settings before = s;
        std::string why;
        EXPECT_EQ(apply_setting(&s, r.name, v, &why), r.ok) << r.name << ": " << why;
        if (!r.ok) {
            EXPECT_FALSE(why.empty()) << r.name;
            EXPECT_EQ(s.relayUrl, before.relayUrl);
            EXPECT_EQ(s.proxy_text(), before.proxy_text());
            EXPECT_EQ(s.ownNumber, before.ownNumber);
            EXPECT_EQ(s.maxAttachments, before.maxAttachments);
            EXPECT_EQ(s.maxMessageSize, before.maxMessageSize);
            EXPECT_EQ(s.maxAttachmentsSize, before.maxAttachmentsSize);
            EXPECT_EQ(s.mmsApn, before.mmsApn);
        }
        g_variant_unref(v);
    }
}

TEST(Settings, ProviderTakesTheDatabaseFileItIsGiven) {
    TempDir d;
    const std::string db = d.write("providers.xml",
                                   "<serviceproviders><country code='zz'><provider><name>L</name><gsm>"
                                   "<network-id mcc='001' mnc='01'/><apn value='mms'><usage type='mms'/>"
                                   "<mmsc> http://127.0.0.1:9/mms </mmsc><mmsproxy>127.0.0.1:9</mmsproxy></apn>"
                                   "</gsm></provider></country></serviceproviders>");
    ProviderMms p;
    std::string why;
    ASSERT_TRUE(lookup_provider(db, "001 01", &p, &why)) << why;
    EXPECT_EQ(p.mmsc, "http://127.0.0.1:9/mms");
    EXPECT_EQ(p.proxy, "127.0.0.1:9");
    EXPECT_FALSE(lookup_provider(db, "001 02", &p, &why));
    EXPECT_FALSE(lookup_provider(db, "1 01", &p, &why));
}

// ---------------------------------------------------------------- who may call
TEST(Auth, WhoMayCallWhat) {
    struct Row {
        bool root, member, systemBus;
        Need need;
        bool allowed;
    };
    const Row rows[] = {
        {true, true, true, Need::Root, true},     {true, true, true, Need::User, true},
        {false, true, true, Need::User, true},    {false, true, true, Need::Root, false},
        {false, false, true, Need::User, false},  {false, false, true, Need::Root, false},
        {false, true, false, Need::Root, true},   // the session bus's owner may push
        {false, false, false, Need::User, false}, // another user on a session bus
    };
    for (const Row &r : rows) {
        CallerId c;
        c.root = r.root;
        c.member = r.member;
        EXPECT_EQ(auth_allows(c, r.need, r.systemBus), r.allowed)
            << r.root << r.member << r.systemBus << static_cast<int>(r.need);
    }
}

// ---------------------------------------------------------------- files read as the caller
std::vector<ReadFileResult> read_as(const CallerId &c, const std::vector<std::string> &paths, size_t limit,
                                    bool *ok = nullptr) {
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    std::vector<ReadFileResult> out;
    bool done = false, good = false;
    read_files_as(c, paths, limit, [&](bool k, std::vector<ReadFileResult> r, const std::string &why) {
        good = k;
        out = std::move(r);
        done = true;
        if (!k) ADD_FAILURE() << why;
        g_main_loop_quit(loop);
    });
    if (!done) g_main_loop_run(loop);
    g_main_loop_unref(loop);
    if (ok) *ok = good;
    return out;
}

CallerId self() {
    CallerId c;
    c.uid = getuid();
    c.gid = getgid();
    return c;
}

TEST(ReadAs, EachPathIsTakenOrRefusedForWhatItIs) {
    TempDir d;
    const std::string a = d.write("a.txt", "alpha"), b = d.write("b.txt", std::string(3000, 'b'));
    const std::string fifo = d.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string tty = ttyname(slave);
    const std::vector<std::string> paths = {a, d.path, fifo, tty, "a.txt", d.path + "/none", b};
    const auto r = read_as(self(), paths, 2000);
    ASSERT_EQ(r.size(), paths.size());
    EXPECT_EQ(r[0].fail, rrhost::ReadFail::None);
    EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "alpha");
    EXPECT_EQ(r[1].fail, rrhost::ReadFail::Directory);
    EXPECT_EQ(r[2].fail, rrhost::ReadFail::NotRegular);  // a FIFO without a writer never blocks
    EXPECT_EQ(r[3].fail, rrhost::ReadFail::NotRegular);
    EXPECT_EQ(r[4].fail, rrhost::ReadFail::NotOpened);  // relative
    EXPECT_NE(r[4].why.find("absolute"), std::string::npos);
    EXPECT_EQ(r[5].fail, rrhost::ReadFail::NotOpened);
    EXPECT_EQ(r[6].fail, rrhost::ReadFail::TooLarge);
    for (size_t i = 1; i < r.size(); ++i) EXPECT_TRUE(r[i].data.empty()) << i;
    close(master);
    close(slave);
}

TEST(ReadAs, TheLimitHoldsForAllFilesTogether) {
    TempDir d;
    const std::string a = d.write("a", std::string(600, 'a')), b = d.write("b", std::string(600, 'b'));
    const auto r = read_as(self(), {a, b, a}, 1000);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].fail, rrhost::ReadFail::None);
    EXPECT_EQ(r[1].fail, rrhost::ReadFail::TooLarge);
    EXPECT_EQ(r[2].fail, rrhost::ReadFail::TooLarge);
    EXPECT_NE(r[1].why.find("1000"), std::string::npos);
}

// On the session bus the service reads its own user's files itself: each
// path and the limit over all of them come out as the helper's do.
TEST(ReadAs, TheServiceReadsItsOwnFilesAsTheHelperDoes) {
    TempDir d;
    const std::string a = d.write("a.txt", "alpha"), b = d.write("b.txt", std::string(700, 'b'));
    const std::string fifo = d.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::vector<std::string> paths = {a, d.path, fifo, "a.txt", d.path + "/none", b, b, a};
    for (size_t limit : {size_t{2000}, size_t{1000}, size_t{3}}) {
        SCOPED_TRACE(limit);
        const auto helper = read_as(self(), paths, limit);
        const auto own = read_files_own(paths, limit);
        ASSERT_EQ(own.size(), paths.size());
        ASSERT_EQ(helper.size(), own.size());
        for (size_t i = 0; i < own.size(); ++i) {
            EXPECT_EQ(own[i].fail, helper[i].fail) << i;
            EXPECT_EQ(own[i].why, helper[i].why) << i;
            EXPECT_EQ(own[i].data, helper[i].data) << i;
        }
    }
}

TEST(ReadAs, TheCallersIdentityDecides) {
    if (geteuid() != 0) GTEST_SKIP() << "taking another user's identity needs root";
    struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    TempDir d;
    const std::string open = d.write("open.txt", "anyone"), own = d.write("own.txt", "root only", 0600);
    const std::string closed = d.path + "/closed";
    ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
    const std::string inside = d.write("closed/inside.txt", "in a closed folder", 0644);
    const std::string link = d.path + "/link.txt";
    ASSERT_EQ(symlink(inside.c_str(), link.c_str()), 0);
    CallerId c;
    c.uid = nobody->pw_uid;
    c.gid = nobody->pw_gid;
    const auto r = read_as(c, {open, own, inside, link}, 10000);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].fail, rrhost::ReadFail::None);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(r[i].fail, rrhost::ReadFail::NotOpened) << i;
        EXPECT_FALSE(r[i].why.empty()) << i;
        EXPECT_TRUE(r[i].data.empty());
    }
    // As root the same files are read.
    CallerId root;
    root.uid = 0;
    root.gid = 0;
    const auto all = read_as(root, {own, inside, link}, 10000);
    for (const auto &x : all) EXPECT_EQ(x.fail, rrhost::ReadFail::None);
}

// ---------------------------------------------------------------- the effects loop
// A service with its store in a temporary folder, no bus and a transport that
// never starts anything here (every transfer below fails before it).
struct Glue {
    TempDir d;
    Service s;
    explicit Glue(double retryDelay) {
        s.settings.values.relayUrl = "http://127.0.0.1:9/mms";
        s.settings.values.retryDelay = retryDelay;
        StoreOptions so;
        so.dir = d.path + "/store";
        std::string why;
        s.store = Store::open(so, &why);
        EXPECT_TRUE(s.store) << why;
        s.core = std::make_unique<Core>(core_config(s), s.clock, *s.store);
        s.transport = std::make_unique<Transport>(nullptr, nullptr);
    }
    ~Glue() { stop_glue(s); }
    static Message draft(const std::string &id) {
        Message m;
        m.id = id;
        m.dir = Direction::Out;
        m.status = Status::Draft;
        return m;
    }
    // Runs the main loop's pending sources (idle outcomes), never a timer.
    void settle() {
        for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
    }
    int64_t timer_at_ms() const {
        GSource *t = s.timer ? g_main_context_find_source_by_id(nullptr, s.timer) : nullptr;
        return t ? g_source_get_ready_time(t) / 1000 : -1;
    }
};

// A send whose stored PDU cannot be read fails when it starts: the core hears
// it from the main loop, after the effects that followed the start were
// applied, so the timer armed last (the retry of another message) stands and
// not the running transfer's check armed before it.
TEST(Glue, AnOutcomeKnownAtTheStartComesFromTheLoopAndTheLastTimerWins) {
    Glue g(30);
    // b failed once: it waits 30 s for its next attempt.
    g.s.core->load({Glue::draft("00000000000000bb")});
    (void)g.s.core->set_bearer(true);
    TransferResult failed;
    failed.end = TransferEnd::Failed;
    (void)g.s.core->transfer_done("00000000000000bb", failed);
    const int64_t retryAt = g.s.core->find("00000000000000bb")->notBeforeMs;
    ASSERT_GT(retryAt, g.s.clock.mono_ms() + 20000);
    // a starts (its check comes in 10 s); its PDU is not in the store.
    const Effects fx = g.s.core->load({Glue::draft("00000000000000aa")});
    ASSERT_TRUE(g.s.core->running());
    apply_effects(g.s, fx);
    // Not inside the start: a still runs for the core.
    ASSERT_TRUE(g.s.core->running());
    EXPECT_EQ(g.s.core->running()->first, "00000000000000aa");
    const int64_t checkAt = g.timer_at_ms();
    EXPECT_LT(checkAt, retryAt - 10000);
    g.settle();
    EXPECT_FALSE(g.s.core->running());
    EXPECT_EQ(g.s.core->find("00000000000000aa")->status, Status::SendingFailed);
    EXPECT_NEAR(static_cast<double>(g.timer_at_ms()), static_cast<double>(retryAt), 1000.0);
}

// A read report whose message's stored PDU is no retrieved message cannot be
// built: it is given up (from the main loop) and never tried again.
TEST(Glue, AReadReportThatCannotBeBuiltIsGivenUp) {
    Glue g(2);
    Message m;
    m.id = "00000000000000cc";
    m.dir = Direction::In;
    m.status = Status::Read;
    m.readReportDue = true;
    std::string why;
    ASSERT_TRUE(g.s.store->save_blob(m, Blob::Pdu, 0, {0x8C, 0x80, 0x98, 'T', 0}, &why)) << why;  // an m-send-req
    apply_effects(g.s, g.s.core->load({m}));
    ASSERT_TRUE(g.s.core->running()) << "the read report starts";
    g.settle();
    const Message *after = g.s.core->find(m.id);
    ASSERT_TRUE(after);
    EXPECT_FALSE(g.s.core->running());
    EXPECT_FALSE(after->queued);
    EXPECT_FALSE(after->readReportDue);
    EXPECT_FALSE(after->readReportSent);
    EXPECT_EQ(after->status, Status::Read);
}

// A transfer the core starts while the transport still winds down another
// one does not start; the core hears it from the main loop and the message
// waits for its next attempt.
TEST(Glue, AStartWhileTheTransportIsBusyWaitsForTheNextAttempt) {
    Glue g(30);
    Message m = Glue::draft("00000000000000dd");
    OutMessage out;
    out.recipients = {"+15550100002"};
    out.transactionId = "T" + m.id;
    out.parts.push_back(OutPart{"a.txt", "text/plain", {'h', 'i'}});
    std::string name, why;
    const std::vector<uint8_t> pdu = compose(out, &name, &why);
    ASSERT_FALSE(pdu.empty()) << why;
    ASSERT_TRUE(g.s.store->save_blob(m, Blob::Pdu, 0, pdu, &why)) << why;
    const Effects fx = g.s.core->load({m});
    // The transport is busy until the loop runs (a download it refuses, reported from the loop).
    ASSERT_TRUE(g.s.transport->start("00000000000000ee", Lane::Download, {0x8C, 0x82}));
    ASSERT_TRUE(g.s.transport->busy());
    apply_effects(g.s, fx);
    ASSERT_TRUE(g.s.core->running()) << "not told inside the start";
    g.settle();
    EXPECT_FALSE(g.s.core->running());
    const Message *after = g.s.core->find(m.id);
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->queued);
    EXPECT_EQ(after->attempts, 1);
    EXPECT_GT(after->notBeforeMs, g.s.clock.mono_ms() + 20000);
    EXPECT_EQ(after->errorText, "another transfer still runs");
}

}  // namespace
}  // namespace rrd

// The test binary is also the helper it starts (as the service binary is).
int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], rrd::kReadAsFlag) == 0) return rrd::readas_helper_main(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
