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
#include "readas.h"

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

}  // namespace
}  // namespace rrd

// The test binary is also the helper it starts (as the service binary is).
int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], rrd::kReadAsFlag) == 0) return rrd::readas_helper_main(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
