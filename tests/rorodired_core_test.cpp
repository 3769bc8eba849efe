// rorodired's core in-process: a fake clock, a fake store (or the real one
// in a temporary folder) and the test standing in for the transport. Lanes,
// deadlines, retries against permanent refusals, restart recovery with the
// same Transaction-Id, a full disk then a restart, duplicates, limits,
// statuses and delivery reports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "core.h"
#include "failure_names.h"
#include "pdu.h"
#include "store.h"

namespace rrd {
namespace {

class FakeClock final : public Clock {
public:
    int64_t mono = 1000000;
    int64_t wall = 1796642163;  // 2026-12-07
    int64_t mono_ms() const override { return mono; }
    int64_t wall_s() const override { return wall; }
};

// The store in memory; writes fail on request, as a full disk does.
class FakeSink final : public Sink {
public:
    std::map<std::string, Message> records;
    std::map<std::string, std::vector<uint8_t>> blobs;  // "<id><suffix><n>"
    std::set<std::string> marks;
    bool full = false;
    bool recordsFull = false;  // blobs are written, records are not
    bool canMark = true;
    int recordWrites = 0;

    static std::string key(const std::string &id, Blob kind, int index) {
        return id + (kind == Blob::Pdu ? ".mms" : kind == Blob::Notification ? ".ind" : ".part") + std::to_string(index);
    }
    bool save_record(const Message &m, std::string *why) override {
        ++recordWrites;
        if (full || recordsFull) return *why = "No space left on device", false;
        records[m.id] = m;
        return true;
    }
    bool save_blob(const Message &m, Blob kind, int index, const std::vector<uint8_t> &b, std::string *why) override {
        if (full) return *why = "No space left on device", false;
        blobs[key(m.id, kind, index)] = b;
        return true;
    }
    bool mark_confirmed(const Message &m) override {
        if (!canMark) return false;
        marks.insert(m.id);
        return true;
    }
    void remove_blob(const Message &m, Blob kind, int index) override { blobs.erase(key(m.id, kind, index)); }
    void remove_message(const Message &m) override {
        records.erase(m.id);
        for (auto it = blobs.begin(); it != blobs.end();) it = it->first.compare(0, 16, m.id) == 0 ? blobs.erase(it) : ++it;
        marks.erase(m.id);
    }
    // What a restart reads back: the records whose files are there, with a
    // marked draft taken as sent (as the store does).
    std::vector<Message> reload() const {
        std::vector<Message> v;
        for (auto [id, m] : records) {
            const bool hasFile = blobs.count(key(id, Blob::Pdu, 0)) || blobs.count(key(id, Blob::Notification, 0)) ||
                                 m.status == Status::NotDownloaded || m.status == Status::Expired;
            if (!hasFile) continue;
            if (marks.count(id) && m.status == Status::Draft) m.status = Status::Sent;
            v.push_back(m);
        }
        return v;
    }
};

size_t count(const Effects &fx, EffectKind k, const std::string &id = {}) {
    return static_cast<size_t>(std::count_if(fx.begin(), fx.end(), [&](const Effect &e) {
        return kind_of(e) == k && (id.empty() || id_of(e) == id);
    }));
}
template <EffectKind K>
const std::variant_alternative_t<static_cast<size_t>(K), Effect> *find(const Effects &fx, const std::string &id = {}) {
    for (const Effect &e : fx)
        if (kind_of(e) == K && (id.empty() || id_of(e) == id)) return &std::get<static_cast<size_t>(K)>(e);
    return nullptr;
}

// The core with its fakes; every effect is kept in `all`, the armed timer
// is followed when the clock advances.
struct Harness {
    FakeClock clock;
    FakeSink sink;
    CoreConfig cfg;
    std::unique_ptr<Core> core;
    Effects all;
    int64_t armedAt = 0;
    uint64_t nextRandom = 1;

    Harness() { restart(); }

    Effects take(Effects fx) {
        for (const Effect &e : fx)
            if (const auto *t = std::get_if<effect::ArmTimer>(&e)) armedAt = t->atMs;
        all.insert(all.end(), fx.begin(), fx.end());
        return fx;
    }
    Effects restart(Sink *sink = nullptr, std::vector<Message> stored = {}) {
        cfg.random64 = nullptr;
        core = std::make_unique<Core>(cfg, clock, sink ? *sink : this->sink);
        armedAt = 0;
        return take(core->load(std::move(stored)));
    }
    // A send; with `real` its PDU is a composed m-send-req (for the real store).
    std::string send(size_t recipients = 1, uid_t owner = 1000, bool real = false) {
        SendRequest r;
        r.id = core->new_id();
        r.pdu = std::vector<uint8_t>(200, 0x42);
        for (size_t i = 0; i < recipients; ++i) r.view.recipients.push_back("+1555010000" + std::to_string(i + 2));
        r.view.transactionId = "T" + r.id;
        if (real) {
            OutMessage m;
            m.recipients = r.view.recipients;
            m.subject = "full disk";
            m.transactionId = "T" + r.id;
            m.date = clock.wall;
            m.parts.push_back(OutPart{"hello.txt", "text/plain", std::vector<uint8_t>{'h', 'i'}});
            std::string name, why;
            r.pdu = compose(m, &name, &why);
            EXPECT_FALSE(r.pdu.empty()) << why;
            EXPECT_TRUE(view_of_pdu(r.pdu, &r.view));
        }
        r.owner = owner;
        Answer a = core->submit_send(std::move(r));
        take(a.effects);
        EXPECT_TRUE(a.ok()) << a.why;
        return a.ok() ? id_of(a.effects.front()) : std::string();
    }
    Answer notify(const std::string &location, size_t pushBytes = 200, uint64_t size = 1000) {
        Notification n;
        n.location = location;
        n.from = "+15550100001";
        n.subject = "hi";
        n.size = size;
        Answer a = core->take_notification(n, std::vector<uint8_t>(100, 0x8C), pushBytes);
        take(a.effects);
        return a;
    }
    Effects done(const std::string &id, TransferEnd end, int rs = -1, const std::string &messageId = {}) {
        TransferResult r;
        r.end = end;
        r.responseStatus = rs;
        r.messageId = messageId;
        r.host = "127.0.0.1";
        if (end == TransferEnd::Ok && core->find(id) && core->find(id)->dir == Direction::In) {
            r.pdu = std::vector<uint8_t>(300, 0x8C);
            r.view.subject = "hi";
            r.view.sender = "+15550100001";
            r.view.readReply = true;
        }
        return take(core->transfer_done(id, std::move(r)));
    }
    // A notification downloaded at once; its sender asked Read-Reply or not.
    std::string received(const std::string &location, bool readReply) {
        EXPECT_TRUE(notify(location).ok());
        const std::string id = running();
        TransferResult got;
        got.end = TransferEnd::Ok;
        got.pdu = std::vector<uint8_t>(300, 0x84);
        got.view.sender = "+15550100001";
        got.view.messageId = "M-" + id;
        got.view.readReply = readReply;
        take(core->transfer_done(id, std::move(got)));
        return id;
    }
    // Moves the clock, firing the timer whenever it is due.
    Effects advance(int64_t ms, int64_t step = 1000) {
        Effects fx;
        for (int64_t t = 0; t < ms; t += step) {
            clock.mono += step;
            if (armedAt && clock.mono >= armedAt) {
                armedAt = 0;
                Effects e = take(core->tick());
                fx.insert(fx.end(), e.begin(), e.end());
            }
        }
        return fx;
    }
    std::string running() const {
        auto r = core->running();
        return r ? r->first : std::string();
    }
};

// ---------------------------------------------------------------- statuses
TEST(RorodiredCore, StatusWordsRoundTripAndMatchTheDialect) {
    const std::map<Status, std::pair<std::string, std::string>> want = {
        {Status::Draft, {"draft", "draft"}},
        {Status::Sent, {"sent", "sent"}},
        {Status::Delivered, {"delivered", "delivered"}},
        {Status::Received, {"received", "received"}},
        {Status::Read, {"read", "read"}},
        {Status::Expired, {"expired", "expired"}},
        {Status::Downloaded, {"downloaded", "downloaded"}},
        {Status::SendingFailed, {"draft", "sending_failed"}},  // the word apps read for an unsent message
        {Status::PendingDownload, {"", "pending-download"}},
        {Status::NotDownloaded, {"", "not-downloaded"}},
    };
    for (const auto &[s, words] : want) {
        EXPECT_EQ(status_word(s), words.first);
        EXPECT_EQ(stored_word(s), words.second);
        Status back{};
        ASSERT_TRUE(status_of_word(stored_word(s), &back));
        EXPECT_EQ(back, s);
        EXPECT_EQ(is_shown(s), s != Status::PendingDownload && s != Status::NotDownloaded);
    }
    Status s{};
    EXPECT_FALSE(status_of_word("failed", &s));  // the old dialect's word is no status any more
    EXPECT_FALSE(status_of_word("", &s));
}

// ---------------------------------------------------------------- lanes
TEST(RorodiredCore, ASendStopsARunningDownloadAndGoesFirst) {
    Harness h;
    ASSERT_TRUE(h.notify("http://127.0.0.1:8002/msg/1").ok());
    const auto *start = find<EffectKind::StartTransfer>(h.all);
    ASSERT_TRUE(start);
    const std::string dl = start->id;
    EXPECT_EQ(start->lane, Lane::Download);
    h.advance(30000);  // the download trickles along
    h.core->transfer_progress(dl, 5000);

    h.all.clear();
    const std::string snd = h.send();
    // The send does not wait: the download is stopped for it.
    EXPECT_EQ(count(h.all, EffectKind::StopTransfer, dl), 1u);
    EXPECT_EQ(count(h.all, EffectKind::StartTransfer), 0u);
    Effects fx = h.done(dl, TransferEnd::Stopped);
    const auto *next = find<EffectKind::StartTransfer>(fx);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->id, snd);
    EXPECT_EQ(next->lane, Lane::Send);
    // A stopped download counts no attempt and starts again after the send.
    EXPECT_EQ(h.core->find(dl)->attempts, 0);
    fx = h.done(snd, TransferEnd::Ok, 0x80, "M1");
    EXPECT_EQ(h.core->find(snd)->status, Status::Sent);
    next = find<EffectKind::StartTransfer>(fx);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->id, dl);
}

TEST(RorodiredCore, SendsGoInOrderOfArrivalAndOneTransferRunsAtATime) {
    Harness h;
    const std::string a = h.send(), b = h.send(), c = h.send();
    EXPECT_EQ(count(h.all, EffectKind::StartTransfer), 1u);
    EXPECT_EQ(h.running(), a);
    Effects fx = h.done(a, TransferEnd::Ok, 0x80, "Ma");
    ASSERT_TRUE(find<EffectKind::StartTransfer>(fx));
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, b);
    fx = h.done(b, TransferEnd::Ok, 0x80, "Mb");
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, c);
    // A report for a transfer that is not running is ignored.
    fx = h.done(a, TransferEnd::Failed);
    EXPECT_EQ(h.core->find(a)->status, Status::Sent);
    EXPECT_EQ(count(fx, EffectKind::Log), 1u);
}

TEST(RorodiredCore, AStopWithoutAReportDoesNotHoldTheQueue) {
    Harness h;
    ASSERT_TRUE(h.notify("http://127.0.0.1:8002/msg/1").ok());
    const std::string dl = h.running();
    h.all.clear();
    const std::string snd = h.send();
    ASSERT_EQ(count(h.all, EffectKind::StopTransfer, dl), 1u);
    // The transport never answers the stop: the send still goes out.
    Effects fx = h.advance(40000);
    ASSERT_TRUE(find<EffectKind::StartTransfer>(fx));
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, snd);
    EXPECT_EQ(h.core->find(dl)->attempts, 0) << "stopped for a send: no attempt counted";
    // A report that comes after all is ignored.
    fx = h.done(dl, TransferEnd::Ok);
    EXPECT_EQ(h.core->find(dl)->status, Status::PendingDownload);
    EXPECT_EQ(h.running(), snd);
}

// ---------------------------------------------------------------- deadlines
TEST(RorodiredCore, DeadlinesLetSlowTransfersFinishAndStopTrickles) {
    struct Row {
        const char *what;
        uint64_t announced;     // Message-Size of the notification
        uint64_t total;         // bytes the download needs
        double bytesPerSecond;  // pace of the relay
        bool finishes;
        int64_t stoppedWithinMs;
    };
    const Row rows[] = {
        {"300 KB at 300 B/s", 307200, 307200, 300, true, 0},
        {"300 KB at 600 B/s", 307200, 307200, 600, true, 0},
        {"small at 50 B/s", 2000, 2000, 50, true, 0},
        {"one byte per 20 s", 307200, 307200, 0.05, false, 10 * 60 * 1000},
        {"300 KB at 100 B/s", 307200, 307200, 100, false, 1800 * 1000},
        {"announces 1 KB, sends 300 KB at 10 B/s", 1000, 307200, 10, false, 1800 * 1000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Harness h;
        ASSERT_TRUE(h.notify("http://127.0.0.1:8002/msg/x", 200, row.announced).ok());
        const std::string id = h.running();
        ASSERT_FALSE(id.empty());
        int64_t elapsed = 0;
        bool stopped = false;
        while (!stopped) {
            h.all.clear();
            h.advance(1000);
            elapsed += 1000;
            const uint64_t moved = std::min<uint64_t>(row.total, static_cast<uint64_t>(row.bytesPerSecond * elapsed / 1000));
            h.core->transfer_progress(id, moved);
            stopped = count(h.all, EffectKind::StopTransfer, id) > 0;
            if (moved >= row.total) break;
            ASSERT_LT(elapsed, 4 * 3600 * 1000) << "never ended";
        }
        EXPECT_EQ(!stopped, row.finishes) << "after " << elapsed / 1000 << " s";
        if (stopped) {
            EXPECT_LE(elapsed, row.stoppedWithinMs);
            // The stop is a failure of the attempt: tried again later.
            h.done(id, TransferEnd::Stopped);
            EXPECT_EQ(h.core->find(id)->attempts, 1);
            EXPECT_TRUE(h.core->find(id)->queued);
        }
    }
}

// ---------------------------------------------------------------- retries
TEST(RorodiredCore, TransientFailuresAreRetriedWithDoublingDelaysPermanentOnesNever) {
    struct Row {
        const char *what;
        TransferEnd end;
        int responseStatus;
        bool permanent;
        const char *error;
    };
    const Row rows[] = {
        {"connection failed", TransferEnd::Failed, -1, false, "org.ofono.mms.Error.TransientFailure"},
        {"network problem", TransferEnd::NetworkProblem, 0x86, false, "org.ofono.mms.Error.TransientNetworkProblem"},
        {"transient address unresolved", TransferEnd::Failed, 0xC1, false,
         "org.ofono.mms.Error.TransientSendingAddressUnresolved"},
        {"not started", TransferEnd::NotStarted, -1, false, "org.ofono.mms.Error.TransientFailure"},
        {"address unresolved 0xE3 (library says 21)", TransferEnd::Failed, 0xE3, true,
         "org.ofono.mms.Error.PermanentSendingAddressUnresolved"},
        {"service denied", TransferEnd::ServiceDenied, 0xE1, true, "org.ofono.mms.Error.PermanentServiceDenied"},
        {"MMS 1.0 address unresolved 0x84", TransferEnd::Failed, 0x84, true,
         "org.ofono.mms.Error.PermanentSendingAddressUnresolved"},
        {"lack of prepaid 0xEB", TransferEnd::Failed, 0xEB, true, "org.ofono.mms.Error.PermanentLackOfPrepaid"},
        {"unsupported", TransferEnd::Unsupported, -1, true, "org.ofono.mms.Error.UnsupportedMessage"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Harness h;
        const std::string id = h.send();
        std::vector<int64_t> delays;
        auto waiting = [&] { return h.core->find(id)->status == Status::Draft && h.core->find(id)->queued; };
        for (int attempt = 0; attempt < 10 && waiting(); ++attempt) {
            ASSERT_EQ(h.running(), id);
            h.done(id, row.end, row.responseStatus);
            const int64_t failedAt = h.clock.mono;
            while (h.running().empty() && waiting()) h.advance(100, 100);
            if (!h.running().empty()) delays.push_back(h.clock.mono - failedAt);
        }
        const Message *m = h.core->find(id);
        // Failed sends stay what apps read as an unsent message: "draft".
        EXPECT_STREQ(status_word(m->status), "draft");
        EXPECT_EQ(m->status, row.permanent ? Status::SendingFailed : Status::Draft);
        EXPECT_FALSE(m->queued);
        EXPECT_STREQ(error_name(m->error), row.error);
        EXPECT_EQ(h.sink.records[id].status, m->status) << "the failure is stored";
        const auto *err = find<EffectKind::MessageSendError>(h.all, id);
        ASSERT_TRUE(err);
        EXPECT_STREQ(error_name(err->error), row.error);
        for (const Effect &e : h.all)
            if (const auto *p = std::get_if<effect::PropertyChanged>(&e); p && p->id == id)
                ADD_FAILURE() << "status shown: " << p->value;
        if (row.permanent) {
            EXPECT_TRUE(delays.empty()) << "a permanent refusal is never retried";
        } else {
            EXPECT_EQ(delays, (std::vector<int64_t>{2000, 4000, 8000}));
        }
        // ProcessMessageQueue and a restart send a given-up draft again; a
        // refusal for good stays final.
        Effects fx = h.take(h.core->process_queue());
        EXPECT_EQ(count(fx, EffectKind::StartTransfer), row.permanent ? 0u : 1u);
        if (!row.permanent) {
            EXPECT_EQ(h.core->find(id)->attempts, 0);
            h.done(id, TransferEnd::Failed);
        }
        fx = h.restart(nullptr, h.sink.reload());
        EXPECT_EQ(count(fx, EffectKind::StartTransfer), row.permanent ? 0u : 1u);
        EXPECT_STREQ(status_word(h.core->find(id)->status), "draft");
    }
}

// ---------------------------------------------------------------- restarts
TEST(RorodiredCore, AnUnconfirmedSendIsResentWithItsStoredPduAConfirmedOneNever) {
    Harness h;
    const std::string posted = h.send(), confirmed = h.send();
    const std::vector<uint8_t> pdu = h.sink.blobs[FakeSink::key(posted, Blob::Pdu, 0)];
    // The first is killed mid-POST; the second is confirmed in a later life.
    Effects fx = h.restart(nullptr, h.sink.reload());
    ASSERT_EQ(count(fx, EffectKind::StartTransfer), 1u);
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, posted);
    EXPECT_EQ(h.core->find(posted)->transactionId, "T" + posted) << "the same Transaction-Id goes out again";
    EXPECT_EQ(h.sink.blobs[FakeSink::key(posted, Blob::Pdu, 0)], pdu);
    fx = h.done(posted, TransferEnd::Ok, 0x80, "M1");
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, confirmed);
    h.done(confirmed, TransferEnd::Ok, 0x80, "M2");
    for (int life = 0; life < 3; ++life) {
        fx = h.restart(nullptr, h.sink.reload());
        EXPECT_EQ(count(fx, EffectKind::StartTransfer), 0u) << "life " << life;
        EXPECT_EQ(h.core->find(posted)->status, Status::Sent);
        EXPECT_EQ(h.core->find(posted)->messageId, "M1");
    }
}

// A store that fills up after the sends were queued: each confirmation
// cannot be written as a status, but the relay has the messages. On every
// restart after that, nothing is posted again.
TEST(RorodiredCore, FullDiskAfterConfirmationsThenRestartsRepostNothing) {
    char tmpl[] = "/tmp/rr_core_store_XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string dir = std::string(tmpl) + "/store";
    std::vector<std::string> log;
    StoreOptions opt;
    opt.dir = dir;
    opt.log = [&](const std::string &l) { log.push_back(l); };
    // The store's file layer as a disk that is full from the failAfter-th write on (0: never).
    int failAfter = 0;
    opt.writeFile = [&](const std::string &path, const void *data, size_t size, const rrhost::WriteOptions &w,
                        std::string *why) {
        if (failAfter > 0 && --failAfter == 0) {
            failAfter = 1;
            *why = "cannot write '" + path + "': " + std::strerror(ENOSPC);
            return false;
        }
        return rrhost::write_file_atomic(path, data, size, w, why);
    };
    std::string why;
    std::unique_ptr<Store> store = Store::open(opt, &why);
    ASSERT_TRUE(store) << why;
    Harness h;
    h.restart(store.get());
    std::vector<std::string> ids;
    for (int i = 0; i < 8; ++i) ids.push_back(h.send(1, 1000, true));
    failAfter = 1;  // full from the next write on
    size_t posts = 0;
    for (const std::string &id : ids) {
        ASSERT_EQ(h.running(), id);
        ++posts;
        Effects fx = h.done(id, TransferEnd::Ok, 0x80, "M-" + id);
        EXPECT_EQ(h.core->find(id)->status, Status::Sent);
        EXPECT_EQ(count(fx, EffectKind::MessageSendError), 0u) << "the mark made it durable";
    }
    EXPECT_EQ(posts, 8u);
    // A send refused while the disk is full leaves nothing behind.
    auto names = [&] {
        std::set<std::string> n;
        for (const auto &e : std::filesystem::directory_iterator(dir)) n.insert(e.path().filename());
        return n;
    };
    const std::set<std::string> before = names();
    SendRequest r;
    r.id = h.core->new_id();
    r.pdu = std::vector<uint8_t>(100, 1);
    r.view.recipients = {"+15550100002"};
    Answer a = h.core->submit_send(std::move(r));
    EXPECT_EQ(a.refusal, Refusal::Storage);
    EXPECT_STREQ(error_name(failure_of_refusal(a.refusal)), "org.ofono.mms.Error.StorageFull");
    EXPECT_EQ(names(), before);
    for (int life = 0; life < 3; ++life) {
        store = Store::open(opt, &why);
        ASSERT_TRUE(store) << why;
        failAfter = life == 0 ? 1 : 0;  // still full at the first restart
        Effects fx = h.restart(store.get(), store->load());
        EXPECT_EQ(count(fx, EffectKind::StartTransfer), 0u) << "life " << life;
        for (const std::string &id : ids) {
            ASSERT_TRUE(h.core->find(id)) << id;
            EXPECT_EQ(h.core->find(id)->status, Status::Sent);
        }
        EXPECT_EQ(h.core->messages().size(), ids.size());
    }
    // With space again the marks are folded into the status files.
    for (const std::string &id : ids) EXPECT_FALSE(std::filesystem::exists(dir + "/" + id + ".sent"));
    std::filesystem::remove_all(tmpl);
}

TEST(RorodiredCore, ConfirmedSendThatCannotBeRecordedAtAllIsNeverPostedAgain) {
    Harness h;
    const std::string id = h.send();
    h.sink.full = true;
    h.sink.canMark = false;
    Effects fx = h.done(id, TransferEnd::Ok, 0x80, "M1");
    // The client hears the truth: sent, and that it will not be kept.
    const auto *err = find<EffectKind::MessageSendError>(fx, id);
    ASSERT_TRUE(err);
    EXPECT_STREQ(error_name(err->error), "org.ofono.mms.Error.StorageFull");
    EXPECT_EQ(h.core->find(id)->status, Status::Sent);
    h.sink.full = false;
    fx = h.restart(nullptr, h.sink.reload());
    EXPECT_EQ(count(fx, EffectKind::StartTransfer), 0u);
}

// ---------------------------------------------------------------- downloads
TEST(RorodiredCore, AFailedDownloadKeepsItsNotificationAndIsFetchedLater) {
    Harness h;
    h.cfg.retry.retries = 1;
    h.restart();
    ASSERT_TRUE(h.notify("http://127.0.0.1:8002/msg/1").ok());
    EXPECT_EQ(h.notify("http://127.0.0.1:8002/msg/1").refusal, Refusal::Duplicate);
    const std::string id = h.running();
    h.done(id, TransferEnd::Failed);
    h.advance(3000);
    ASSERT_EQ(h.running(), id);
    Effects fx = h.done(id, TransferEnd::Failed);
    const Message *m = h.core->find(id);
    EXPECT_EQ(m->status, Status::PendingDownload);
    EXPECT_TRUE(m->queued);
    EXPECT_EQ(count(fx, EffectKind::MessageReceiveError, ""), 1u);
    EXPECT_EQ(count(h.all, EffectKind::MessageAdded), 0u) << "never shown without its content";
    EXPECT_TRUE(h.sink.blobs.count(FakeSink::key(id, Blob::Notification, 0))) << "the notification is kept";
    EXPECT_EQ(h.core->notification_inds(), 1u);
    EXPECT_TRUE(h.core->messages().empty());
    // The same push again: nothing new.
    EXPECT_EQ(h.notify("http://127.0.0.1:8002/msg/1").refusal, Refusal::Duplicate);
    // Tried again on the back-off timer (doubling), each failure reported.
    h.advance(3900, 100);
    EXPECT_TRUE(h.running().empty()) << "not before its delay";
    h.advance(200, 100);
    ASSERT_EQ(h.running(), id);
    fx = h.done(id, TransferEnd::Failed);
    EXPECT_EQ(count(fx, EffectKind::MessageReceiveError, ""), 1u);
    // ProcessMessageQueue tries it at once.
    fx = h.take(h.core->process_queue());
    ASSERT_EQ(h.running(), id);
    h.done(id, TransferEnd::Failed);
    // So does a start, with its notification.
    fx = h.restart(nullptr, h.sink.reload());
    ASSERT_EQ(h.running(), id);
    EXPECT_EQ(h.core->find(id)->status, Status::PendingDownload);
    // And a bearer that comes back.
    h.done(id, TransferEnd::Failed);
    h.take(h.core->set_bearer(false));
    h.take(h.core->set_bearer(true));
    h.take(h.core->process_queue());  // what AutoProcessOnConnection does
    ASSERT_EQ(h.running(), id);
    // The relay is back: the message appears whole, once.
    fx = h.done(id, TransferEnd::Ok);
    EXPECT_EQ(count(fx, EffectKind::MessageAdded, id), 1u);
    EXPECT_EQ(h.core->find(id)->status, Status::Received);
    EXPECT_EQ(h.core->notification_inds(), 0u);
    EXPECT_EQ(h.notify("http://127.0.0.1:8002/msg/1").refusal, Refusal::Duplicate);
}

TEST(RorodiredCore, ADownloadThatFailsForGoodIsReportedOnceAndDropped) {
    struct Row {
        const char *what;
        TransferEnd end;  // Ok here: the Expiry passes instead
        const char *error;
    };
    const Row rows[] = {
        {"the relay says it is gone", TransferEnd::Gone, "org.ofono.mms.Error.PermanentMessageNotFound"},
        {"too large", TransferEnd::TooBig, "org.ofono.mms.Error.PermanentContentNotAccepted"},
        {"its Expiry passes", TransferEnd::Ok, "org.ofono.mms.Error.MessageExpired"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Harness h;
        Notification n;
        n.location = "http://127.0.0.1:8002/msg/x";
        n.from = "+15550100009";
        n.expiryRelative = 3600;
        Answer a = h.core->take_notification(n, std::vector<uint8_t>(10, 1), 10);
        h.take(a.effects);
        ASSERT_TRUE(a.ok());
        const std::string id = h.running();
        if (row.end == TransferEnd::Ok) {
            h.done(id, TransferEnd::Failed);  // retried in 2 s, but the hour passes first
            h.clock.wall += 7200;
            h.advance(3000);
        } else {
            h.done(id, row.end);
        }
        EXPECT_EQ(count(h.all, EffectKind::MessageReceiveError), 1u);
        const auto *err = find<EffectKind::MessageReceiveError>(h.all);
        ASSERT_TRUE(err);
        EXPECT_STREQ(error_name(err->error), row.error);
        EXPECT_EQ(err->from, "+15550100009");
        EXPECT_EQ(count(h.all, EffectKind::MessageAdded), 0u);
        EXPECT_FALSE(h.core->find(id));
        EXPECT_FALSE(h.sink.records.count(id));
        EXPECT_EQ(h.core->notification_inds(), 0u);
        h.advance(700000, 10000);
        EXPECT_EQ(count(h.all, EffectKind::MessageReceiveError), 1u) << "reported once";
        EXPECT_EQ(count(h.all, EffectKind::StartTransfer), 1u);
    }
    // A notification that arrives expired is reported and nothing is stored.
    Harness h;
    Notification n;
    n.location = "http://127.0.0.1:8002/msg/late";
    n.expiry = h.clock.wall - 1;
    Answer a = h.core->take_notification(n, std::vector<uint8_t>(10, 1), 10);
    h.take(a.effects);
    EXPECT_TRUE(a.ok());
    EXPECT_EQ(count(h.all, EffectKind::MessageReceiveError), 1u);
    EXPECT_TRUE(h.sink.records.empty());
    EXPECT_TRUE(h.running().empty());
    // Records older versions kept of failed downloads (no notification left) are dropped at start.
    Message old;
    old.id = "00000000000000aa";
    old.dir = Direction::In;
    old.status = Status::NotDownloaded;
    old.location = "http://127.0.0.1:8002/msg/older";
    h.sink.records[old.id] = old;
    Effects fx = h.restart(nullptr, {old});
    EXPECT_FALSE(h.core->find(old.id));
    EXPECT_FALSE(h.sink.records.count(old.id));
    EXPECT_EQ(count(fx, EffectKind::MessageAdded), 0u);
}

// A write that fails leaves each message as it was before the event: a
// notification is not taken (nothing kept, the same push is taken later), a
// download is tried again (no message object, its PDU not kept), MarkRead is
// refused (still received, no read report queued).
TEST(RorodiredCore, AStorageFailureLeavesTheMessageAsItWas) {
    const std::string where = "http://127.0.0.1:8002/msg/full";
    {
        Harness h;
        h.sink.recordsFull = true;  // its notification is written, its record is not
        Answer a = h.notify(where);
        EXPECT_EQ(a.refusal, Refusal::Storage);
        EXPECT_TRUE(h.sink.records.empty());
        EXPECT_TRUE(h.sink.blobs.empty()) << "the notification without its record is removed";
        EXPECT_EQ(h.core->notification_inds(), 0u);
        EXPECT_TRUE(h.running().empty());
        h.sink.recordsFull = false;
        EXPECT_TRUE(h.notify(where).ok()) << "the same push is taken once the disk has room";
    }
    {
        Harness h;
        ASSERT_TRUE(h.notify(where).ok());
        const std::string id = h.running();
        h.sink.full = true;
        Effects fx = h.done(id, TransferEnd::Ok);
        EXPECT_EQ(count(fx, EffectKind::MessageAdded), 0u);
        ASSERT_TRUE(h.core->find(id));
        EXPECT_EQ(h.core->find(id)->status, Status::PendingDownload);
        EXPECT_EQ(h.core->find(id)->attempts, 1);
        EXPECT_FALSE(h.sink.blobs.count(FakeSink::key(id, Blob::Pdu, 0))) << "no PDU without its record";
        EXPECT_TRUE(h.sink.blobs.count(FakeSink::key(id, Blob::Notification, 0))) << "the notification stays";
        EXPECT_EQ(h.core->notification_inds(), 1u);
        h.sink.full = false;
        h.advance(10000);
        ASSERT_EQ(h.running(), id) << "tried again";
        h.done(id, TransferEnd::Ok);
        EXPECT_EQ(h.core->find(id)->status, Status::Received);
    }
    {
        Harness h;
        h.cfg.sendReadReports = true;
        h.restart();
        const std::string id = h.received(where, true);
        h.sink.full = true;
        Answer a;
        Effects fx = h.take(h.core->mark_read(id, &a));
        EXPECT_EQ(a.refusal, Refusal::Storage);
        EXPECT_EQ(h.core->find(id)->status, Status::Received);
        EXPECT_FALSE(h.core->find(id)->queued);
        EXPECT_FALSE(h.core->find(id)->readReportDue);
        EXPECT_EQ(count(fx, EffectKind::PropertyChanged), 0u);
        EXPECT_EQ(count(fx, EffectKind::StartTransfer), 0u);
        h.advance(60000);
        EXPECT_TRUE(h.running().empty()) << "no read report goes out";
        h.sink.full = false;
        fx = h.take(h.core->mark_read(id, &a));
        EXPECT_TRUE(a.ok());
        EXPECT_EQ(count(fx, EffectKind::StartTransfer, id), 1u) << "the read report goes once MarkRead is taken";
    }
}

TEST(RorodiredCore, DownloadsBecomeMessagesAndCountAsNotificationsUntilThen) {
    Harness h;
    ASSERT_TRUE(h.notify("http://127.0.0.1:8002/msg/1").ok());
    const std::string id = h.running();
    EXPECT_EQ(h.core->notification_inds(), 1u);
    EXPECT_TRUE(h.core->messages().empty()) << "a pending notification has no message object";
    const effect::NotificationInds *inds = nullptr;
    for (const Effect &e : h.all)
        if (const auto *i = std::get_if<effect::NotificationInds>(&e)) inds = i;
    ASSERT_TRUE(inds);
    EXPECT_EQ(inds->count, 1u);
    Effects fx = h.done(id, TransferEnd::Ok);
    EXPECT_EQ(count(fx, EffectKind::MessageAdded, id), 1u);
    EXPECT_EQ(h.core->find(id)->status, Status::Received);
    EXPECT_EQ(h.core->notification_inds(), 0u);
    EXPECT_TRUE(h.sink.blobs.count(FakeSink::key(id, Blob::Pdu, 0)));
    EXPECT_FALSE(h.sink.blobs.count(FakeSink::key(id, Blob::Notification, 0)));
    Answer a;
    fx = h.core->mark_read(id, &a);
    EXPECT_TRUE(a.ok());
    ASSERT_TRUE(find<EffectKind::PropertyChanged>(fx, id));
    EXPECT_EQ(find<EffectKind::PropertyChanged>(fx, id)->value, "read");
    EXPECT_EQ(h.sink.records[id].status, Status::Read);
    fx = h.core->remove(id, &a);
    EXPECT_EQ(count(fx, EffectKind::MessageRemoved, id), 1u);
    EXPECT_FALSE(h.sink.records.count(id));
    fx = h.core->remove(id, &a);
    EXPECT_EQ(a.refusal, Refusal::NoSuchMessage);
}

TEST(RorodiredCore, ALocationThatIsNotOurRelayCreatesNoMessage) {
    Harness h;
    ASSERT_TRUE(h.notify("http://198.51.100.7/evil").ok());
    const std::string id = h.running();
    TransferResult r;
    r.end = TransferEnd::Refused;
    r.why = "not the relay";
    Effects fx = h.take(h.core->transfer_done(id, r));
    EXPECT_EQ(count(fx, EffectKind::MessageReceiveError), 1u);
    EXPECT_EQ(count(fx, EffectKind::MessageAdded), 0u);
    EXPECT_FALSE(h.core->find(id));
    EXPECT_TRUE(h.sink.records.empty());
    EXPECT_EQ(h.core->notification_inds(), 0u);
}

// ---------------------------------------------------------------- limits
TEST(RorodiredCore, LimitsAreCheckedBeforeAnythingIsOpened) {
    Harness h;
    struct Row {
        size_t recipients, attachments;
        Refusal want;
    };
    const Row rows[] = {
        {1, 1, Refusal::None},        {100, 25, Refusal::None},
        {0, 1, Refusal::InvalidArguments}, {101, 1, Refusal::InvalidArguments},
        {1, 0, Refusal::InvalidArguments}, {1, 26, Refusal::UnsupportedMessage},
        {1000000, 100000, Refusal::InvalidArguments},
    };
    for (const Row &r : rows) EXPECT_EQ(h.core->check_counts(r.recipients, r.attachments).refusal, r.want)
                                  << r.recipients << " recipients, " << r.attachments << " attachments";
    // The attachments' budget (TotalMaxAttachmentSize, as mmsd-tng's) and the
    // PDU's own limit, each named when it refuses.
    EXPECT_TRUE(h.core->check_size(307200).ok());
    EXPECT_TRUE(h.core->check_size(1100000).ok());
    const Answer over = h.core->check_size(1100001);
    EXPECT_EQ(over.refusal, Refusal::UnsupportedMessage);
    EXPECT_NE(over.why.find("TotalMaxAttachmentSize (1100000 bytes)"), std::string::npos) << over.why;
    EXPECT_TRUE(h.core->check_pdu_size(1100000 + 100 * 1024).ok()) << "the budget and its headers fit";
    const Answer pdu = h.core->check_pdu_size(1228801);
    EXPECT_EQ(pdu.refusal, Refusal::UnsupportedMessage);
    EXPECT_NE(pdu.why.find("MaxMessageSize (1228800 bytes)"), std::string::npos) << pdu.why;
    EXPECT_EQ(h.notify("http://127.0.0.1:8002/msg/big", 8193).refusal, Refusal::InvalidArguments);
    EXPECT_TRUE(h.notify("http://127.0.0.1:8002/msg/ok", 8192).ok());
}

TEST(RorodiredCore, AtMostAThousandNotificationsWait) {
    Harness h;
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(h.notify("http://127.0.0.1:8002/msg/" + std::to_string(i)).ok()) << i;
    EXPECT_EQ(h.notify("http://127.0.0.1:8002/msg/1000").refusal, Refusal::TooMany);
    EXPECT_EQ(h.core->notification_inds(), 1000u);
    // A send is still taken, and goes before all of them.
    const std::string first = h.running();
    h.all.clear();
    const std::string s = h.send();
    EXPECT_EQ(count(h.all, EffectKind::StopTransfer, first), 1u);
    Effects fx = h.done(first, TransferEnd::Stopped);
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, s);
}

TEST(RorodiredCore, BearerDownHoldsTheQueueAndProcessMessageQueueRetriesNow) {
    Harness h;
    h.take(h.core->set_bearer(false));
    h.all.clear();
    const std::string id = h.send();
    EXPECT_EQ(count(h.all, EffectKind::StartTransfer), 0u);
    EXPECT_EQ(count(h.all, EffectKind::WaitingForBearer), 1u);
    Effects fx = h.take(h.core->set_bearer(true));
    ASSERT_TRUE(find<EffectKind::StartTransfer>(fx));
    h.done(id, TransferEnd::Failed);  // next try in 2 s
    EXPECT_TRUE(h.running().empty());
    fx = h.take(h.core->process_queue());
    ASSERT_TRUE(find<EffectKind::StartTransfer>(fx));
    EXPECT_EQ(find<EffectKind::StartTransfer>(fx)->id, id);
}

// ---------------------------------------------------------------- reports
TEST(RorodiredCore, DeliveryReportsUpdateEachRecipientThenDelivered) {
    Harness h;
    const std::string id = h.send(2);
    h.done(id, TransferEnd::Ok, 0x80, "M1796642163-1");
    Report r;
    r.messageId = "M1796642163-1";
    r.recipient = "+15550100002";
    r.status = "retrieved";
    Effects fx = h.take(h.core->take_report(r));
    ASSERT_EQ(count(fx, EffectKind::PropertyChanged, id), 1u);
    EXPECT_EQ(find<EffectKind::PropertyChanged>(fx, id)->value, "delivery_update,+15550100002=retrieved");
    EXPECT_EQ(h.core->find(id)->status, Status::Sent);
    // The same report again changes nothing; one for another message is ignored.
    EXPECT_TRUE(h.core->take_report(r).empty());
    Report other = r;
    other.messageId = "M-not-ours";
    fx = h.core->take_report(other);
    EXPECT_EQ(count(fx, EffectKind::Log), 1u);
    EXPECT_EQ(count(fx, EffectKind::PropertyChanged), 0u);
    r.recipient = "+1 555 010-0003";  // written differently by the relay
    r.status = "rejected";
    fx = h.take(h.core->take_report(r));
    ASSERT_EQ(count(fx, EffectKind::PropertyChanged, id), 2u);
    EXPECT_EQ(std::get<effect::PropertyChanged>(fx[0]).value, "delivery_update,+15550100003=rejected");
    EXPECT_EQ(std::get<effect::PropertyChanged>(fx.back()).value, "delivered");
    EXPECT_EQ(h.core->find(id)->status, Status::Delivered);
    // Kept across a restart.
    h.restart(nullptr, h.sink.reload());
    const Message *m = h.core->find(id);
    EXPECT_EQ(m->status, Status::Delivered);
    EXPECT_EQ(m->deliveryStatus.size(), 2u);
    Report read = r;
    read.kind = Report::Kind::Read;
    read.recipient = "+15550100002";
    read.status = "read";
    fx = h.take(h.core->take_report(read));
    ASSERT_TRUE(find<EffectKind::PropertyChanged>(fx, id));
    EXPECT_EQ(find<EffectKind::PropertyChanged>(fx, id)->name, "Read Status");
    EXPECT_EQ(h.sink.records[id].readStatus.at("+15550100002"), "read");
}

// A received message whose sender asked Read-Reply: MarkRead queues one read
// report in the send lane when SendReadReports is on, retried as a transient
// failure, never sent twice (a second MarkRead, a restart after it went out).
TEST(RorodiredCore, MarkReadSendsOneReadReportWhenAskedAndAllowed) {
    struct Row {
        bool allowed, asked;
    };
    for (const Row row : {Row{false, true}, Row{true, false}, Row{true, true}}) {
        SCOPED_TRACE(::testing::Message() << "SendReadReports " << row.allowed << " Read-Reply " << row.asked);
        Harness h;
        h.cfg.sendReadReports = row.allowed;
        h.cfg.retry.retries = 2;
        h.restart();
        const std::string id = h.received("http://127.0.0.1:8002/msg/7", row.asked);
        ASSERT_EQ(h.core->find(id)->status, Status::Received);
        Answer a;
        Effects fx = h.take(h.core->mark_read(id, &a));
        ASSERT_TRUE(a.ok());
        const auto *start = find<EffectKind::StartTransfer>(fx, id);
        if (!(row.allowed && row.asked)) {
            EXPECT_FALSE(start) << "no read report without both";
            EXPECT_FALSE(h.core->running());
            EXPECT_FALSE(h.sink.records[id].readReportDue);
            continue;
        }
        ASSERT_TRUE(start);
        EXPECT_TRUE(start->readReport);
        EXPECT_EQ(start->lane, Lane::Send);
        EXPECT_TRUE(h.sink.records[id].readReportDue) << "queued on disk before it goes out";
        // A send that arrives meanwhile waits: one transfer at a time.
        const std::string sendId = h.send();
        EXPECT_EQ(h.running(), id);
        // A failure is retried after the delay; the send goes first then.
        h.take(h.core->transfer_done(id, TransferResult{}));
        EXPECT_EQ(h.core->find(id)->status, Status::Read) << "a failed report leaves the message read";
        EXPECT_EQ(h.running(), sendId);
        h.done(sendId, TransferEnd::Ok, 0x80, "M-out");
        EXPECT_TRUE(h.running().empty());
        // A restart before the retry: the report is still due and goes out again.
        h.restart(nullptr, h.sink.reload());
        EXPECT_EQ(h.running(), id);
        ASSERT_TRUE(find<EffectKind::StartTransfer>(h.all, id));
        fx = h.done(id, TransferEnd::Ok);
        EXPECT_EQ(count(fx, EffectKind::MessageAdded), 0u) << "a sent report adds nothing";
        EXPECT_TRUE(h.sink.records[id].readReportSent);
        EXPECT_FALSE(h.sink.records[id].readReportDue);
        // Never again: a second MarkRead, a restart.
        h.all.clear();
        h.take(h.core->mark_read(id, &a));
        h.restart(nullptr, h.sink.reload());
        h.take(h.core->process_queue());
        EXPECT_FALSE(find<EffectKind::StartTransfer>(h.all, id));
        EXPECT_EQ(h.core->find(id)->status, Status::Read);
    }
}

// A read report that keeps failing is given up after the retries; one the
// relay refuses at once is not retried. The message stays read either way.
TEST(RorodiredCore, AReadReportIsGivenUpAfterItsRetries) {
    for (const TransferEnd end : {TransferEnd::Failed, TransferEnd::Refused}) {
        Harness h;
        h.cfg.sendReadReports = true;
        h.cfg.retry.retries = 2;
        h.restart();
        const std::string id = h.received("http://127.0.0.1:8002/msg/8", true);
        Answer a;
        h.take(h.core->mark_read(id, &a));
        int starts = 0;
        for (int i = 0; i < 6 && h.running() == id; ++i) {
            ++starts;
            h.done(id, end);
            h.advance(20000);
        }
        EXPECT_EQ(starts, end == TransferEnd::Failed ? 3 : 1);
        EXPECT_TRUE(h.running().empty());
        EXPECT_FALSE(h.sink.records[id].readReportDue);
        EXPECT_FALSE(h.sink.records[id].readReportSent);
        EXPECT_EQ(h.sink.records[id].status, Status::Read);
        EXPECT_EQ(count(h.all, EffectKind::MessageSendError), 0u);
    }
}

// Random sequences of sends, pushes, outcomes, deletions, bearer changes,
// clock steps and kills (a restart from what the store holds), checked
// against what must always hold: one transfer at a time, a ready send (or
// read report) never waits behind a download, and a send or read report the
// relay took never goes out again, whatever happens after.
TEST(RorodiredCore, RandomRunsKeepTheQueuesPromises) {
    int readReports = 0;  // read reports started over all runs: the runs reach them
    for (uint32_t start = 1; start <= 150; ++start) {
        SCOPED_TRACE("start value " + std::to_string(start));
        std::mt19937 rnd(start);
        auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rnd() % n); };
        Harness h;
        h.cfg.sendReadReports = true;  // received messages ask Read-Reply: MarkRead queues read reports
        h.restart();
        std::string running;  // what the stand-in transport runs
        bool stopAsked = false;
        std::set<std::string> confirmed;
        bool bearer = true;
        auto apply = [&](const Effects &fx) {
            for (const Effect &fe : fx) {
                if (const auto *e = std::get_if<effect::StartTransfer>(&fe)) {
                    ASSERT_TRUE(running.empty()) << "two transfers at once: " << running << " and " << e->id;
                    ASSERT_FALSE(confirmed.count(e->id)) << "a confirmed send goes out again: " << e->id;
                    running = e->id;
                    stopAsked = false;
                    readReports += e->readReport;
                } else if (const auto *st = std::get_if<effect::StopTransfer>(&fe)) {
                    ASSERT_EQ(st->id, running);
                    stopAsked = true;
                }
            }
        };
        for (int op = 0; op < 120; ++op) {
            const size_t before = h.all.size();
            switch (pick(10)) {
                case 0:
                case 1: h.send(1 + pick(3)); break;
                case 2: h.notify("http://127.0.0.1:8002/msg/" + std::to_string(pick(12))); break;
                case 3:
                case 4:
                    if (!running.empty()) {
                        const Message *m = h.core->find(running);
                        const bool send = m && m->lane == Lane::Send;
                        const std::string id = running;
                        TransferEnd end = stopAsked ? TransferEnd::Stopped
                                                    : std::vector<TransferEnd>{TransferEnd::Ok, TransferEnd::Ok, TransferEnd::Failed,
                                                                               TransferEnd::ServiceDenied, TransferEnd::TooBig}[pick(5)];
                        running.clear();
                        h.done(id, end, end == TransferEnd::Ok ? 0x80 : -1, "M-" + id);
                        if (send && end == TransferEnd::Ok) confirmed.insert(id);
                    }
                    break;
                case 5: h.advance(1000 * (1 + pick(20))); break;
                case 6: {
                    const auto msgs = h.core->messages();
                    if (!msgs.empty()) {
                        Answer a;
                        const std::string id = msgs[pick(static_cast<uint32_t>(msgs.size()))]->id;
                        h.take(h.core->remove(id, &a));
                    }
                    break;
                }
                case 7:
                    bearer = !bearer || pick(2);
                    h.take(h.core->set_bearer(bearer));
                    break;
                case 9: {
                    const auto msgs = h.core->messages();
                    if (!msgs.empty()) {
                        Answer a;
                        h.take(h.core->mark_read(msgs[pick(static_cast<uint32_t>(msgs.size()))]->id, &a));
                    }
                    break;
                }
                case 8:  // killed and started again from the store
                    running.clear();
                    h.all.clear();
                    h.restart(nullptr, h.sink.reload());
                    h.take(h.core->set_bearer(bearer));
                    apply(h.all);
                    continue;
            }
            if (HasFatalFailure()) return;
            apply(Effects(h.all.begin() + static_cast<long>(before), h.all.end()));
            if (HasFatalFailure()) return;
            // A stop ends in a report at once, as the transport's does.
            if (!running.empty() && stopAsked) {
                const std::string id = running;
                running.clear();
                const size_t mark = h.all.size();
                h.done(id, TransferEnd::Stopped);
                apply(Effects(h.all.begin() + static_cast<long>(mark), h.all.end()));
            }
            // A ready send never waits behind a running download.
            const Message *cur = running.empty() ? nullptr : h.core->find(running);
            if (bearer && cur && cur->lane == Lane::Download && !stopAsked) {
                for (const Message *m : h.core->messages()) {
                    ASSERT_FALSE(m->queued && m->lane == Lane::Send && m->notBeforeMs <= h.clock.mono)
                        << "send " << m->id << " waits behind download " << running;
                }
            }
        }
    }
    EXPECT_GT(readReports, 0);
}

TEST(RorodiredCore, IdsAreSixteenHexDigitsAndUnique) {
    Harness h;
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string id = h.core->new_id();
        ASSERT_EQ(id.size(), 16u);
        ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_TRUE(seen.insert(id).second);
    }
    // A source that repeats itself still gives fresh ids.
    h.cfg.random64 = [] { return uint64_t{42}; };
    Core c(h.cfg, h.clock, h.sink);
    const std::string a = c.new_id();
    EXPECT_EQ(a, "000000000000002a");
    h.cfg.random64 = nullptr;
}

}  // namespace
}  // namespace rrd
