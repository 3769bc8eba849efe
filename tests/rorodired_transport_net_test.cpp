// rorodired's transport on a real GLib main loop with the real osal against
// `rorodire relay` on loopback: the relay's Message-ID is kept, its
// Response-Status is read also where the library reports only 21, a location
// that is not the relay's is refused without a request, and a stalled
// download is stopped at once, after which the next transfer runs.
#include <glib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "../bench/bench_relay.h"
#include "hbxappglib.h"
#include "pdu.h"
#include "qx_log.h"
#include "transport.h"

namespace rrd {
namespace {

namespace fs = std::filesystem;

// `rorodire relay` on a free loopback port with its own spool.
class Relay {
public:
    bool start(const std::vector<std::string> &extra = {}) {
        return relay_.launch(RR_BINARY_DIR "/rorodire", "rr_transport_test_", extra);
    }
    ~Relay() {
        relay_.terminate();
        if (!relay_.dir.empty()) fs::remove_all(relay_.dir);
    }
    const std::string &url() const { return relay_.url; }
    // The notifications the relay wrote for recipients.
    std::vector<std::vector<uint8_t>> notifications() const {
        std::vector<std::vector<uint8_t>> v;
        if (!fs::exists(relay_.dir + "/spool")) return v;
        for (const auto &e : fs::directory_iterator(relay_.dir + "/spool"))
            if (e.path().extension() == ".ind") {
                std::ifstream f(e.path(), std::ios::binary);
                v.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
            }
        return v;
    }
    size_t log_lines() const {
        std::ifstream f(relay_.log);
        size_t n = 0;
        for (std::string l; std::getline(f, l);) n += !l.empty();
        return n;
    }
    // The PDU types of the requests the relay logged, in order.
    std::vector<std::string> logged_types() const {
        std::ifstream f(relay_.log);
        std::vector<std::string> v;
        for (std::string l; std::getline(f, l);)
            for (const char *t : {"m-send-req", "m-notifyresp-ind", "m-acknowledge-ind"})
                if (l.find(std::string("\"type\":\"") + t + "\"") != std::string::npos) v.emplace_back(t);
        return v;
    }

private:
    BenchRelay relay_;
};

class TransportNet : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        hbx_SetStepPeriod(10);
        loop_ = g_main_loop_new(nullptr, FALSE);
        transport_ = std::make_unique<Transport>(
            [this](const std::string &id, TransferResult r) {
                results_.emplace_back(id, std::move(r));
                if (onDone_) onDone_();
                g_main_loop_quit(loop_);
            },
            [this](const std::string &, uint64_t bytes) { lastBytes_ = bytes; });
    }
    void TearDown() override {
        transport_.reset();
        hbx_SetStepPeriod(HBX_STEP_PERIOD_MS);
        g_main_loop_unref(loop_);
    }
    // Runs the loop until a report comes or `ms` pass.
    std::optional<TransferResult> wait(int ms = 20000) {
        const size_t before = results_.size();
        const guint t = g_timeout_add(static_cast<guint>(ms), [](gpointer l) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop *>(l));
            return G_SOURCE_REMOVE;
        }, loop_);
        while (results_.size() == before) {
            g_main_loop_run(loop_);
            if (results_.size() == before && !g_main_context_find_source_by_id(nullptr, t)) break;
        }
        if (g_main_context_find_source_by_id(nullptr, t)) g_source_remove(t);
        if (results_.size() == before) return std::nullopt;
        return std::move(results_.back().second);
    }
    static std::vector<uint8_t> message(const std::string &id) {
        OutMessage m;
        m.recipients = {"+15550100002"};
        m.subject = "transport";
        m.transactionId = "T" + id;
        m.parts.push_back(OutPart{"a.txt", "text/plain", std::vector<uint8_t>(3000, 'a')});
        std::string name, why;
        std::vector<uint8_t> pdu = compose(m, &name, &why);
        EXPECT_FALSE(pdu.empty()) << why;
        return pdu;
    }
    void use(const Relay &r) {
        TransportSettings s;
        s.relayUrl = r.url();
        transport_->set_settings(s);
    }

    GMainLoop *loop_ = nullptr;
    std::unique_ptr<Transport> transport_;
    std::vector<std::pair<std::string, TransferResult>> results_;
    uint64_t lastBytes_ = 0;
    std::function<void()> onDone_;
};

TEST_F(TransportNet, SendKeepsMessageIdAndReadsRefusalsTheLibraryReportsAs21) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    use(relay);
    ASSERT_TRUE(transport_->start("0000000000000001", Lane::Send, message("0000000000000001")));
    EXPECT_TRUE(transport_->busy());
    EXPECT_FALSE(transport_->start("0000000000000009", Lane::Send, message("0000000000000009")))
        << "one transfer at a time";
    EXPECT_TRUE(results_.empty()) << "never reported from inside start()";
    std::optional<TransferResult> r = wait();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->end, TransferEnd::Ok) << r->why;
    EXPECT_EQ(r->responseStatus, 0x80);
    EXPECT_FALSE(r->messageId.empty());
    EXPECT_EQ(r->host, "127.0.0.1");
    EXPECT_GT(lastBytes_, 3000u) << "progress in bytes reached the core";
    EXPECT_FALSE(transport_->busy());

    // 0xE3 (sending address unresolved): the library only says 21.
    TransportSettings s;
    s.relayUrl = relay.url() + "?fault=conf-status=0xE3";
    transport_->set_settings(s);
    ASSERT_TRUE(transport_->start("0000000000000002", Lane::Send, message("0000000000000002")));
    r = wait();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->end, TransferEnd::Failed);
    EXPECT_EQ(r->responseStatus, 0xE3);
    EXPECT_TRUE(is_permanent_response(r->responseStatus));
    EXPECT_NE(r->why.find("0xE3"), std::string::npos) << r->why;
}

TEST_F(TransportNet, DownloadsOnlyFromTheRelayAndDecodesWhatCame) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    use(relay);
    ASSERT_TRUE(transport_->start("0000000000000001", Lane::Send, message("0000000000000001")));
    ASSERT_TRUE(wait());
    const auto inds = relay.notifications();
    ASSERT_EQ(inds.size(), 1u);

    // The same notification with another relay configured: refused, nothing asked.
    const size_t requests = relay.log_lines();
    TransportSettings other;
    other.relayUrl = "http://127.0.0.1:1/mms";
    transport_->set_settings(other);
    ASSERT_TRUE(transport_->start("0000000000000002", Lane::Download, inds[0]));
    std::optional<TransferResult> r = wait();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->end, TransferEnd::Refused);
    EXPECT_NE(r->why.find("not the relay"), std::string::npos) << r->why;
    EXPECT_EQ(relay.log_lines(), requests);

    use(relay);
    ASSERT_TRUE(transport_->start("0000000000000002", Lane::Download, inds[0]));
    r = wait();
    ASSERT_TRUE(r);
    ASSERT_EQ(r->end, TransferEnd::Ok) << r->why;
    EXPECT_EQ(r->view.subject.value_or(""), "transport");
    ASSERT_EQ(r->view.attachments.size(), 1u);
    const Attachment &a = r->view.attachments[0];
    ASSERT_LE(a.offset + a.length, r->pdu.size());
    EXPECT_EQ(std::string(r->pdu.begin() + static_cast<long>(a.offset), r->pdu.begin() + static_cast<long>(a.offset + a.length)),
              std::string(3000, 'a'));
}

// What the relay answered becomes the core's word for it: the refusals the
// library names (service denied, network problem, unsupported) with the
// Response-Status kept, a retrieved message larger than the download limit,
// and an answer to a download that is no message.
TEST_F(TransportNet, RelayAnswersMapToTheirEnds) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    struct SendRow {
        const char *status;
        TransferEnd end;
        int responseStatus;
    };
    const SendRow sends[] = {
        {"0x82", TransferEnd::ServiceDenied, 0x82},
        {"0x86", TransferEnd::NetworkProblem, 0x86},
        {"0x88", TransferEnd::Unsupported, 0x88},
    };
    int n = 0;
    for (const SendRow &row : sends) {
        SCOPED_TRACE(row.status);
        TransportSettings s;
        s.relayUrl = relay.url() + "?fault=conf-status=" + row.status;
        transport_->set_settings(s);
        const std::string id = "00000000000001" + std::to_string(10 + ++n);
        ASSERT_TRUE(transport_->start(id, Lane::Send, message(id)));
        std::optional<TransferResult> r = wait();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->end, row.end) << r->why;
        EXPECT_EQ(r->responseStatus, row.responseStatus);
        EXPECT_FALSE(r->why.empty());
    }
    struct GetRow {
        const char *fault;
        TransferEnd end;
        const char *why;
    };
    const GetRow gets[] = {
        {"get:oversize", TransferEnd::TooBig, "larger than the download limit"},
        {"get:garbage", TransferEnd::Failed, "download failed"},
    };
    for (const GetRow &row : gets) {
        SCOPED_TRACE(row.fault);
        Relay faulty;  // its fetches answer with the fault, its sends as usual
        ASSERT_TRUE(faulty.start({"--fault", row.fault}));
        use(faulty);
        ASSERT_TRUE(transport_->start("0000000000000201", Lane::Send, message("0000000000000201")));
        ASSERT_TRUE(wait());
        const auto inds = faulty.notifications();
        ASSERT_EQ(inds.size(), 1u);
        ASSERT_TRUE(transport_->start("0000000000000202", Lane::Download, inds[0]));
        std::optional<TransferResult> r = wait();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->end, row.end) << r->why;
        EXPECT_NE(r->why.find(row.why), std::string::npos) << r->why;
        EXPECT_TRUE(r->pdu.empty());
    }
}

// A retrieved message is handed on as soon as it is stored, before the
// answer to the relay; a transfer started right then waits for that answer,
// whose outcome is reported on its own.
TEST_F(TransportNet, TheMessageIsHandedOnBeforeTheAnswerToTheRelay) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    use(relay);
    ASSERT_TRUE(transport_->start("0000000000000001", Lane::Send, message("0000000000000001")));
    ASSERT_TRUE(wait());
    const auto inds = relay.notifications();
    ASSERT_EQ(inds.size(), 1u);
    std::vector<std::pair<std::string, bool>> answers;
    transport_->set_answer_done(
        [&answers](const std::string &id, bool ok, const std::string &) { answers.emplace_back(id, ok); });
    std::vector<std::string> typesAtDone;
    bool startedNext = false;
    onDone_ = [&] {
        if (!typesAtDone.empty()) return;
        typesAtDone = relay.logged_types();
        // As the core does: the next transfer starts from the report.
        startedNext = transport_->start("0000000000000003", Lane::Send, message("0000000000000003"));
    };
    ASSERT_TRUE(transport_->start("0000000000000002", Lane::Download, inds[0]));
    std::optional<TransferResult> r = wait();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->end, TransferEnd::Ok) << r->why;
    EXPECT_EQ(std::count(typesAtDone.begin(), typesAtDone.end(), "m-notifyresp-ind"), 0)
        << "the relay was answered before the message was handed on";
    EXPECT_TRUE(answers.empty());
    EXPECT_TRUE(startedNext) << "a transfer may start while the answer is under way";
    EXPECT_TRUE(transport_->busy());
    onDone_ = nullptr;
    r = wait();
    ASSERT_TRUE(r);
    EXPECT_EQ(results_.back().first, "0000000000000003");
    EXPECT_EQ(r->end, TransferEnd::Ok) << r->why;
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, "0000000000000002");
    EXPECT_TRUE(answers[0].second);
    const std::vector<std::string> types = relay.logged_types();
    const std::vector<std::string> expect = {"m-send-req", "m-notifyresp-ind", "m-send-req"};
    EXPECT_EQ(types, expect) << "the answer went out before the next send";
    EXPECT_FALSE(wait(300)) << "exactly one report per transfer";
}

TEST_F(TransportNet, AStalledDownloadStopsAtOnceAndTheNextTransferRuns) {
    Relay relay;
    ASSERT_TRUE(relay.start({"--fault", "get:stall"}));
    use(relay);
    ASSERT_TRUE(transport_->start("0000000000000001", Lane::Send, message("0000000000000001")));
    ASSERT_TRUE(wait());
    const auto inds = relay.notifications();
    ASSERT_EQ(inds.size(), 1u);
    ASSERT_TRUE(transport_->start("0000000000000002", Lane::Download, inds[0]));
    EXPECT_FALSE(wait(500)) << "the stalled download does not end by itself";
    ASSERT_TRUE(transport_->busy());
    const auto t0 = std::chrono::steady_clock::now();
    transport_->stop();
    std::optional<TransferResult> r = wait(2000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->end, TransferEnd::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_FALSE(hbx_Busy()) << "the library's transaction is over";
    // The library takes the next transfer at once, and no stale step of the
    // stopped one reports anything.
    ASSERT_TRUE(transport_->start("0000000000000003", Lane::Send, message("0000000000000003")));
    r = wait();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->end, TransferEnd::Ok) << r->why;
    EXPECT_FALSE(wait(300)) << "exactly one report per transfer";
    // Stopping while nothing runs does nothing; a transport going away mid-transfer reports nothing.
    transport_->stop();
    ASSERT_TRUE(transport_->start("0000000000000004", Lane::Download, inds[0]));
    transport_.reset();
    EXPECT_FALSE(hbx_Busy());
}

}  // namespace
}  // namespace rrd
