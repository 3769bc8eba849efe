// Taking over mmsd-tng's store, in-process: a store made by hand the way
// mmsd-tng 2.1 writes it (doc/mmsd-tng-store.md), with the files a real
// phone may also hold (a status file that does not parse, an unknown state,
// a PDU that is missing or does not decode, a symbolic link, a name that is
// no ID), imported into a store of the service and loaded back as the
// service loads it; the status reader by table and by a round trip of
// random records; and a start without a settings file.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "config.h"
#include "mmsd_import.h"
#include "pdu.h"
#include "store.h"

namespace fs = std::filesystem;

namespace rrd {
namespace {

struct TempDir {
    std::string path;
    TempDir() {
        gchar *p = g_dir_make_tmp("rrd-import-test.XXXXXX", nullptr);
        path = p;
        g_free(p);
    }
    ~TempDir() { fs::remove_all(path); }
};

void put(const std::string &path, const std::string &text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}
void put(const std::string &path, const std::vector<uint8_t> &bytes) {
    put(path, std::string(bytes.begin(), bytes.end()));
}
std::string read_all(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Every file below a folder with its bytes and modification time.
std::map<std::string, std::pair<std::string, int64_t>> tree(const std::string &dir) {
    std::map<std::string, std::pair<std::string, int64_t>> out;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        lstat(e.path().c_str(), &st);
        out[e.path().string()] = {e.is_symlink() ? "link" : read_all(e.path()),
                                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
    return out;
}

std::vector<uint8_t> send_req(const std::string &to, const std::string &subject, const std::string &text) {
    OutMessage m;
    m.recipients = {to};
    m.subject = subject;
    m.transactionId = "T" + subject;
    m.date = 1796690000;
    m.parts.push_back(OutPart{"note.txt", "text/plain", std::vector<uint8_t>(text.begin(), text.end())});
    std::string name, why;
    std::vector<uint8_t> pdu = compose(m, &name, &why);
    EXPECT_FALSE(pdu.empty()) << why;
    return pdu;
}

// A retrieved message: the same header fields under the m-retrieve-conf type.
std::vector<uint8_t> retrieve_conf(const std::string &subject, const std::string &text) {
    std::vector<uint8_t> pdu = send_req("+15550100001", subject, text);
    EXPECT_EQ(pdu[1], 0x80);
    pdu[1] = 0x84;
    return pdu;
}

std::vector<uint8_t> notification_ind(const std::string &location) {
    std::vector<uint8_t> ind = {0x8C, 0x82, 0x98, 'T', '9', 0, 0x8D, 0x92, 0x89, 0x0E, 0x80};
    for (const char *t : {"+15550100002"}) ind.insert(ind.end(), t, t + std::strlen(t) + 1);
    ind.insert(ind.end(), {0x8A, 0x80, 0x8E, 0x02, 0x10, 0x00, 0x83});
    ind.insert(ind.end(), location.begin(), location.end());
    ind.push_back(0);
    return ind;
}

constexpr char kSettings[] =
    "[Modem Manager]\nCarrierMMSC=http://127.0.0.1:8002/mms\nMMS_APN=mms.test\nCarrierMMSProxy=NULL\n"
    "DefaultModemNumber=+15550100001\nAutoProcessOnConnection=false\nAutoProcessSMSWAP=true\nIMSI=310260000000001\n\n"
    "[Settings]\nUseDeliveryReports=true\n"
    // What mmsd-tng 2.1 itself writes when an app sets it with the wrong type:
    "TotalMaxAttachmentSize=-1878954480\n"
    "MaxAttachments=10\nAutoCreateSMIL=true\nForceCAres=true\n";

struct Made {
    TempDir home, data;
    std::string mmsd, folder;
    std::map<std::string, std::vector<uint8_t>> pdus;  // ID -> bytes, as mmsd-tng keeps them
};

// A store the way mmsd-tng 2.1 leaves it, with the problems a real one may have.
void make_store(Made &m) {
    m.mmsd = m.home.path + "/.mms";
    m.folder = m.mmsd + "/modemmanager";
    put(m.folder + "/mms", std::string(kSettings));
    auto message = [&](const std::string &id, const std::string &status, const std::vector<uint8_t> &pdu) {
        put(m.folder + "/" + id + ".status", status);
        put(m.folder + "/" + id, pdu);
        m.pdus[id] = pdu;
    };
    message("50167e061b85714b49193541ef4b5e6eb8cb", "[info]\nread=false\nstate=received\ndate=2026-12-08T01:38:03+0000\n",
            retrieve_conf("first incoming", "hello one\n"));
    message("23A401F41480D14CC3187AE119870094E325", "[info]\nread=true\nstate=received\ndate=2026-12-08T01:38:05+0000\n",
            retrieve_conf("second incoming", "hello two\n"));
    message("5b93f68c1108e141ae19fac1124929b8c613",
            "[info]\ndate=2026-12-08T01:37:57+0000\nstate=delivered\ndelivery_report=true\n"
            "delivery_recipients=+15550100002\ndelivery_recipients_number=1\nid=M1796693877-1\n\n"
            "[delivery_status]\n+15550100002=retrieved\ndelivery_number_complete=1\n",
            send_req("+15550100002", "delivered one", "sent text\n"));
    message("d3a8329910d8d142eb19b9a1a71273b183fc",
            "[info]\ndate=2026-12-08T01:38:08+0000\nstate=sent\ndelivery_report=true\n"
            "delivery_recipients=+15550100003\ndelivery_recipients_number=1\n\n"
            "[delivery_status]\n+15550100003=none\ndelivery_number_complete=0\n",
            send_req("+15550100003", "sent one", "refused\n"));
    message("ec087852184b314eda1abc21437552417cd7", "[info]\ndate=2026-12-08T01:38:11+0000\nstate=draft\n",
            send_req("+15550100004", "draft one", "waiting\n"));
    message("21c8f8801279614f981831519148008d6cd5",
            "[info]\nread=false\nstate=notification\nexpiration=2026-12-15T01:38:17+0000\n",
            notification_ind("http://127.0.0.1:8002/msg/M1-4-1"));
    // What is left out, each for its own reason.
    put(m.folder + "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.status", std::string("state=received\n"));  // no group
    put(m.folder + "/abababababababababababababababababab.status", std::string("[delivery_status]\n+1=retrieved\n"));
    put(m.folder + "/abababababababababababababababababab", retrieve_conf("x", "x"));
    put(m.folder + "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", retrieve_conf("x", "x"));
    put(m.folder + "/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.status", std::string("[info]\nstate=archived\n"));
    put(m.folder + "/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", retrieve_conf("x", "x"));
    put(m.folder + "/cccccccccccccccccccccccccccccccccccc.status", std::string("[info]\nstate=received\n"));  // no PDU
    put(m.folder + "/dddddddddddddddddddddddddddddddddddd.status", std::string("[info]\nstate=received\n"));
    put(m.folder + "/dddddddddddddddddddddddddddddddddddd", std::string("GIF89a, not an MMS PDU"));
    put(m.folder + "/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee.status", std::string("[info]\nstate=notification\n"));
    put(m.folder + "/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee", std::string("not a notification"));
    put(m.folder + "/not-an-id.status", std::string("[info]\nstate=received\n"));
    put(m.home.path + "/elsewhere.status", std::string("[info]\nstate=received\n"));
    put(m.home.path + "/elsewhere", retrieve_conf("x", "x"));
    fs::create_symlink(m.home.path + "/elsewhere.status", m.folder + "/ffffffffffffffffffffffffffffffffffff.status");
    fs::create_symlink(m.home.path + "/elsewhere", m.folder + "/ffffffffffffffffffffffffffffffffffff");
    put(m.folder + "/0000000000000000000000000000000000ab.status", std::string("[info]\nstate=received\0\n", 23));
}

std::unique_ptr<Store> open_store(const std::string &dir) {
    StoreOptions so;
    so.dir = dir;
    std::string why;
    auto store = Store::open(so, &why);
    EXPECT_TRUE(store) << why;
    return store;
}

TEST(MmsdImport, TakesEverythingThatReadsAndChangesNothingOfMmsdTng) {
    Made m;
    make_store(m);
    const auto before = tree(m.mmsd);
    Settings s = default_settings(m.data.path + "/rorodired.conf", false);
    auto store = open_store(m.data.path + "/store");
    std::vector<std::string> logged;
    ImportOptions opt;
    opt.mmsdDir = m.mmsd;
    opt.owner = getuid();
    opt.group = getgid();
    opt.log = [&](const std::string &l) { logged.push_back(l); };
    const ImportReport rep = import_mmsd_tng(opt, &s, store.get());

    EXPECT_TRUE(rep.found);
    EXPECT_EQ(rep.messagesTaken, (std::map<std::string, int>{{"delivered", 1}, {"draft", 1}, {"notification", 1},
                                                               {"read", 1}, {"received", 1}, {"sent", 1}}));
    // No group, no [info], unknown state, no PDU, PDU and notification that do not
    // decode, no ID, two symbolic links (status file), a zero byte; the bad
    // TotalMaxAttachmentSize.
    EXPECT_EQ(rep.skipped.size(), 10u) << rep.summary();
    for (const char *why : {"no key file", "no [info] group", "unknown state 'archived'", "does not decode", "no message ID",
                            "symbolic link", "zero byte", "TotalMaxAttachmentSize=-1878954480"})
        EXPECT_NE(rep.summary().find(why), std::string::npos) << why << "\n" << rep.summary();
    EXPECT_EQ(logged.size(), rep.skipped.size());
    EXPECT_EQ(tree(m.mmsd), before) << "mmsd-tng's files are untouched";

    // The settings as mmsd-tng had them; what does not read stays the default.
    EXPECT_EQ(s.relayUrl, "http://127.0.0.1:8002/mms");
    EXPECT_EQ(s.mmsApn, "mms.test");
    EXPECT_TRUE(s.proxyHost.empty());
    EXPECT_EQ(s.ownNumber, "+15550100001");
    EXPECT_FALSE(s.autoProcessOnConnection);
    EXPECT_TRUE(s.autoProcessSmsWap);
    EXPECT_TRUE(s.useDeliveryReports);
    EXPECT_TRUE(s.autoCreateSmil);
    EXPECT_EQ(s.maxAttachments, 10);
    EXPECT_EQ(s.maxMessageSize, Settings{}.maxMessageSize);

    // Loaded back as the service loads its store.
    std::map<std::string, Message> got;
    for (Message &x : store->load()) got[x.id] = std::move(x);
    ASSERT_EQ(got.size(), 6u);
    const Message &first = got.at("50167e061b85714b49193541ef4b5e6eb8cb");
    EXPECT_EQ(first.status, Status::Received);
    EXPECT_EQ(first.dir, Direction::In);
    EXPECT_EQ(first.date, 1796693883);
    EXPECT_EQ(first.view.subject.value_or(""), "first incoming");
    // IDs stay (in lower case): the object paths apps know stay.
    EXPECT_EQ(got.at("23a401f41480d14cc3187ae119870094e325").status, Status::Read);
    const Message &delivered = got.at("5b93f68c1108e141ae19fac1124929b8c613");
    EXPECT_EQ(delivered.status, Status::Delivered);
    EXPECT_EQ(delivered.messageId, "M1796693877-1");
    EXPECT_TRUE(delivered.view.deliveryReport);
    EXPECT_EQ(delivered.deliveryStatus, (std::map<std::string, std::string>{{"+15550100002", "retrieved"}}));
    const Message &sent = got.at("d3a8329910d8d142eb19b9a1a71273b183fc");
    EXPECT_EQ(sent.status, Status::Sent);
    EXPECT_TRUE(sent.deliveryStatus.empty()) << "\"none\" is no report";
    const Message &draft = got.at("ec087852184b314eda1abc21437552417cd7");
    EXPECT_EQ(draft.status, Status::Draft);
    EXPECT_TRUE(draft.queued);
    EXPECT_EQ(draft.transactionId, "Tdraft one");
    const Message &note = got.at("21c8f8801279614f981831519148008d6cd5");
    EXPECT_EQ(note.status, Status::PendingDownload);
    EXPECT_EQ(note.location, "http://127.0.0.1:8002/msg/M1-4-1");
    EXPECT_EQ(note.expire, 1797298697);
    EXPECT_EQ(note.view.sender.value_or(""), "+15550100002");
    // Byte for byte, and every attachment where the stored PDU says.
    for (const auto &[id, bytes] : m.pdus) {
        gchar *low = g_ascii_strdown(id.c_str(), -1);
        const Message &x = got.at(low);
        const Blob kind = x.status == Status::PendingDownload ? Blob::Notification : Blob::Pdu;
        EXPECT_EQ(read_all(store->path_of(low, kind)), std::string(bytes.begin(), bytes.end())) << id;
        for (const Attachment &a : x.view.attachments)
            EXPECT_LE(a.offset + a.length, bytes.size()) << id;
        g_free(low);
    }
    EXPECT_EQ(first.view.attachments.size(), 1u);

    // A second import takes nothing again.
    const ImportReport again = import_mmsd_tng(opt, &s, store.get());
    EXPECT_EQ(again.taken(), 0);
    EXPECT_EQ(again.alreadyHere, 6);
    EXPECT_EQ(store->load().size(), 6u);
}

TEST(MmsdImport, FindsTheFolderOrSaysThereIsNone) {
    TempDir home;
    Settings s = default_settings(home.path + "/c.conf", false);
    ImportOptions opt;
    opt.mmsdDir = home.path + "/.mms";
    EXPECT_FALSE(import_mmsd_tng(opt, &s, nullptr).found);
    // DIR may also be the modemmanager folder itself.
    put(home.path + "/.mms/modemmanager/mms", std::string("[Modem Manager]\nMMS_APN=other.apn\n"));
    opt.mmsdDir = home.path + "/.mms/modemmanager";
    opt.messages = false;
    const ImportReport rep = import_mmsd_tng(opt, &s, nullptr);
    EXPECT_TRUE(rep.found);
    EXPECT_EQ(s.mmsApn, "other.apn");
    EXPECT_EQ(rep.settingsTaken, std::vector<std::string>{"MMS_APN=other.apn"});
}

// ---------------------------------------------------------------- the status reader
TEST(MmsdStatus, ReadsWhatMmsdTngWritesAndRefusesTheRest) {
    struct Case {
        const char *text;
        bool ok;
        const char *state;
        int64_t date;
        bool read;
    };
    const Case cases[] = {
        {"[info]\nstate=received\nread=true\ndate=2026-12-08T01:37:39+0000\n", true, "received", 1796693859, true},
        {"[info]\nstate=sent\ndate=2026-12-08T03:37:39+02:00\n", true, "sent", 1796693859, false},
        {"[info]\nstate=sent\ndate=2026-12-08T01:37:39Z\n", true, "sent", 1796693859, false},
        {"[info]\nstate=received\nread=maybe\ndate=yesterday\n", true, "received", 0, false},
        {"[info]\nstate=received\ndate=2026-02-30T01:00:00+0000\n", true, "received", 0, false},
        {"[info]\nstate=received\ndate=2026-12-08T01:37:39+2500\n", true, "received", 0, false},
        {"[info]\nstate=archived\n", false, "", 0, false},
        {"[info]\nread=true\n", false, "", 0, false},
        {"[other]\nstate=received\n", false, "", 0, false},
        {"state=received\n", false, "", 0, false},
        {"[info\nstate=received\n", false, "", 0, false},
        {"", false, "", 0, false},
    };
    for (const Case &c : cases) {
        MmsdRecord r;
        std::string why;
        EXPECT_EQ(read_mmsd_status(c.text, &r, &why), c.ok) << c.text << why;
        if (!c.ok) {
            EXPECT_FALSE(why.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(r.state, c.state) << c.text;
        EXPECT_EQ(r.date, c.date) << c.text;
        EXPECT_EQ(r.read, c.read) << c.text;
    }
    MmsdRecord r;
    std::string why;
    EXPECT_FALSE(read_mmsd_status(std::string(70000, 'a'), &r, &why));
    EXPECT_FALSE(read_mmsd_status(std::string("[info]\nstate=sent\0", 18), &r, &why));
}

// Random records written as mmsd-tng writes them read back as they were.
TEST(MmsdStatus, RandomRecordsReadBackAsWritten) {
    std::mt19937 rng(38);
    const char *states[] = {"received", "sent", "delivered", "draft", "notification", "downloaded", "expired"};
    const char *words[] = {"retrieved", "rejected", "deferred", "expired", "indeterminate", "forwarded", "unreachable"};
    for (int round = 0; round < 500; ++round) {
        MmsdRecord want;
        want.state = states[rng() % 7];
        want.read = rng() & 1;
        want.deliveryReport = rng() & 1;
        want.date = (rng() & 1) ? 0 : 946684800 + static_cast<int64_t>(rng() % 3000000000u);
        want.expiration = (rng() & 1) ? 0 : 946684800 + static_cast<int64_t>(rng() % 3000000000u);
        if (rng() & 1) want.messageId = "M" + std::to_string(rng());
        std::string text = "[info]\n";
        auto date = [&](int64_t t, bool colon) {
            GDateTime *d = g_date_time_new_from_unix_utc(t);
            GTimeZone *tz = g_time_zone_new_offset(static_cast<gint32>(rng() % 25 - 12) * 3600);
            GDateTime *l = g_date_time_to_timezone(d, tz);
            gchar *s = g_date_time_format(l, colon ? "%Y-%m-%dT%H:%M:%S%:z" : "%Y-%m-%dT%H:%M:%S%z");
            std::string out = s;
            g_free(s);
            g_date_time_unref(l);
            g_date_time_unref(d);
            g_time_zone_unref(tz);
            return out;
        };
        if (want.date) text += "date=" + date(want.date, rng() & 1) + "\n";
        text += "state=" + want.state + "\n";
        text += std::string("read=") + (want.read ? "true" : "false") + "\n";
        if (want.expiration) text += "expiration=" + date(want.expiration, rng() & 1) + "\n";
        text += std::string("delivery_report=") + (want.deliveryReport ? "true" : "false") + "\n";
        if (!want.messageId.empty()) text += "id=" + want.messageId + "\n";
        const int n = static_cast<int>(rng() % 4);
        if (n) {
            text += "\n[delivery_status]\n";
            int complete = 0;
            for (int i = 0; i < n; ++i) {
                const std::string number = "+1555010" + std::to_string(1000 + rng() % 9000);
                const bool none = rng() % 3 == 0;
                const std::string word = none ? "none" : words[rng() % 7];
                text += number + "=" + word + "\n";
                want.deliveryStatus.erase(number);
                if (!none) want.deliveryStatus[number] = word, ++complete;
            }
            text += "delivery_number_complete=" + std::to_string(complete) + "\n";
        }
        MmsdRecord got;
        std::string why;
        ASSERT_TRUE(read_mmsd_status(text, &got, &why)) << text << why;
        EXPECT_EQ(got.state, want.state) << text;
        EXPECT_EQ(got.read, want.read) << text;
        EXPECT_EQ(got.deliveryReport, want.deliveryReport) << text;
        EXPECT_EQ(got.date, want.date) << text;
        EXPECT_EQ(got.expiration, want.expiration) << text;
        EXPECT_EQ(got.messageId, want.messageId) << text;
        EXPECT_EQ(got.deliveryStatus, want.deliveryStatus) << text;
    }
}

// ---------------------------------------------------------------- no settings file
TEST(NoSettingsFile, DefaultsAreMmsdTngsAndTheWrittenFileLoadsBack) {
    TempDir home;
    const std::string file = home.path + "/.config/rorodired/rorodired.conf";
    Settings s = default_settings(file, false);
    EXPECT_EQ(s.relayUrl, "http://mms.invalid");
    EXPECT_EQ(s.mmsApn, "apn.invalid");
    EXPECT_TRUE(s.proxyHost.empty());
    EXPECT_FALSE(s.autoCreateSmil);
    EXPECT_TRUE(s.autoProcessOnConnection);
    EXPECT_TRUE(s.autoProcessSmsWap);
    EXPECT_FALSE(s.useDeliveryReports);
    EXPECT_EQ(s.storageDir.rfind("/rorodired"), s.storageDir.size() - 10);
    EXPECT_EQ(default_settings(file, true).storageDir, "/var/lib/rorodired");
    // A change is written (its folder made), and the file then loads as it was.
    std::string why;
    GVariant *v = g_variant_ref_sink(g_variant_new_string("mms.example"));
    ASSERT_TRUE(apply_setting(&s, "MMS_APN", v, &why)) << why;
    g_variant_unref(v);
    ASSERT_TRUE(save_settings(s, &why)) << why;
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Settings back;
    ASSERT_TRUE(load_settings(file, &back, &why)) << why;
    EXPECT_EQ(back.mmsApn, "mms.example");
    EXPECT_EQ(back.relayUrl, s.relayUrl);
    EXPECT_EQ(back.storageDir, s.storageDir);
    EXPECT_EQ(back.autoCreateSmil, s.autoCreateSmil);
}

}  // namespace
}  // namespace rrd
