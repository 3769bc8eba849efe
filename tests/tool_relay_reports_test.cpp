// The development relay's reports to a sender, through its request handling
// without a socket: delivery reports for each recipient's answer and for
// messages that expire, read reports passed on from recipients, refusals
// that change nothing, and the bookkeeping a relay started again on the same
// spool reads back. Every report in the spool is read with the library's
// decoders.
#include <dirent.h>
#include <glib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "rorodire_relay.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
namespace relay = rrtool::relay;

const char *const kSender = "+15550100001";
const char *const kTo = "+15550100002;+15550100003";
const char *const kCc = "third@example.org";

Bytes take(uint8_t *p, int len) {
    Bytes b(p, p + len);
    fnQX_Free(reinterpret_cast<void **>(&p));
    return b;
}

Bytes send_req(const std::string &tid, bool deliveryReport, bool readReply, const char *to, const char *cc) {
    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    req->Transaction_Id = fnQX_MEMSTRCOPY(tid.c_str());
    req->From = fnQX_MEMSTRCOPY(kSender);
    req->To = fnQX_MEMSTRCOPY(to);
    if (cc) req->Cc = fnQX_MEMSTRCOPY(cc);
    req->Delivery_Report = deliveryReport;
    req->Read_Reply = readReply;
    static const uint8_t body[] = {0x84, 0xA3, 0x01, 0x01, 0x02, 0x83, 'h', 'i'};
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(sizeof body));
    std::copy(body, body + sizeof body, req->ContentTypeAndBody);
    req->Body_Len = sizeof body;
    int len = 0;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(req, &len);
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    return take(pdu, len);
}

Bytes notify_resp(const std::string &tid, uint8_t status) {
    int len = 0;
    uint8_t *pdu = fnMMS_MakeNotifyRespIndPdu(tid.c_str(), 1, status, &len);
    return take(pdu, len);
}

Bytes acknowledge(const std::string &tid) {
    int len = 0;
    uint8_t *pdu = fnMMS_MakeAcknowledgeIndPdu(tid.c_str(), 1, &len);
    return take(pdu, len);
}

Bytes read_rec(const std::string &messageId, const char *from, uint8_t status) {
    tMMS_ReadRecInd r{};
    r.Message_Id = const_cast<char *>(messageId.c_str());
    r.To = const_cast<char *>(kSender);
    r.From = const_cast<char *>(from);
    r.Read_Status = status;
    int len = 0;
    uint8_t *pdu = fnMMS_MakeReadRecIndPdu(&r, &len);
    return take(pdu, len);
}

std::vector<std::string> files_in(const std::string &dir) {
    std::vector<std::string> v;
    if (DIR *d = opendir(dir.c_str())) {
        for (dirent *e; (e = readdir(d));)
            if (e->d_name[0] != '.') v.push_back(e->d_name);
        closedir(d);
    }
    std::sort(v.begin(), v.end());
    return v;
}

// A relay's state over a spool of its own, its log kept in memory.
class Relay {
public:
    explicit Relay(const std::string &spool) {
        s.base = "http://127.0.0.1:9";
        s.spool = spool;
        s.log = open_memstream(&logBuf_, &logLen_);
    }
    ~Relay() {
        std::fclose(s.log);
        std::free(logBuf_);
    }
    relay::Reply post(const Bytes &body) {
        relay::Request r;
        r.method = "POST";
        r.path = "/mms";
        r.body = body;
        r.bodyBytes = body.size();
        return relay::handle_request(s, r);
    }
    std::string log() {
        std::fflush(s.log);
        return std::string(logBuf_, logLen_);
    }
    // The log lines of the reports written, in order.
    std::vector<std::string> report_lines() {
        std::vector<std::string> out;
        const std::string all = log();
        for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
            if (all.compare(at, 11, "{\"time\":\"20") == 0 && all.find("\"report\":", at) < nl)
                out.push_back(all.substr(at, nl - at));
        return out;
    }
    relay::State s;

private:
    char *logBuf_ = nullptr;
    size_t logLen_ = 0;
};

// Sends a message; its Message-ID and the Transaction-Ids of its three
// recipients' notifications, in order (To, To, Cc).
struct Sent {
    std::string messageId;
    std::vector<std::string> tids;
};

Sent send(Relay &r, const std::string &tid, bool deliveryReport, bool readReply, const char *to = kTo,
          const char *cc = kCc) {
    const relay::Reply reply = r.post(send_req(tid, deliveryReport, readReply, to, cc));
    Sent out;
    tMMS_SendConf *c = fnMMS_ParseSendConf(reply.body.data(), static_cast<int>(reply.body.size()));
    if (!c) return out;
    if (c->Message_Id) out.messageId = c->Message_Id;
    fnMMS_FreeMessageMem(c, MMS_STRUCT_SEND_CONF);
    const relay::Tracked &t = r.s.tracked.at(out.messageId);
    for (const relay::ReportRecipient &x : t.recipients) out.tids.push_back(x.tid);
    return out;
}

class RelayReports : public ::testing::Test {
protected:
    void SetUp() override {
        qx::set_log_enabled(false);
        char tmpl[] = "/tmp/rr_reports_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        spool_ = tmpl;
    }
    void TearDown() override {
        std::system(("rm -rf '" + spool_ + "'").c_str());
        qx::set_log_enabled(true);
    }
    Bytes spool_file(const std::string &name) { return rrtest::read_file(spool_ + "/" + name); }

    // The delivery report in the spool: recipient and Status as read back.
    void expect_delivery(const std::string &name, const std::string &messageId, const char *recipient, int status) {
        SCOPED_TRACE(name);
        const Bytes b = spool_file(name);
        ASSERT_FALSE(b.empty());
        rrtest::HeapCopy copy(b);
        tMMS_DeliveryInd *d = fnMMS_ParseDeliveryInd(copy.data(), copy.size());
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->Message_Id, messageId.c_str());
        EXPECT_STREQ(d->To, recipient);
        EXPECT_EQ(d->Status, status);
        EXPECT_LE(std::llabs(static_cast<long long>(d->Date) - g_get_real_time() / 1000000), 5);
        fnMMS_FreeMessageMem(d, MMS_STRUCT_DELIVERY_IND);
    }

    std::string spool_;
};

// Each recipient's answers, in turn: one report per recipient and status,
// the Status of an m-notifyresp-ind as it came, Retrieved for an
// m-acknowledge-ind; none for a status that says nothing of delivery.
TEST_F(RelayReports, OneDeliveryReportPerRecipientAndStatus) {
    Relay r(spool_);
    const Sent m = send(r, "t-dr", true, false);
    ASSERT_EQ(m.tids.size(), 3u);
    const std::string id = m.messageId;
    struct Step {
        Bytes answer;
        const char *outcome;  // in the exchange's log line
        const char *file;     // the report written, or null
    };
    const std::string n1 = id + "-1", n2 = id + "-2", n3 = id + "-3";
    const Step steps[] = {
        {notify_resp(m.tids[0], 0x83), "written", "-1-delivery-deferred.ind"},
        {notify_resp(m.tids[0], 0x83), "already written", nullptr},
        {notify_resp(m.tids[0], 0x81), "written", "-1-delivery-retrieved.ind"},
        {acknowledge(m.tids[0]), "already written", nullptr},
        {acknowledge(m.tids[1]), "written", "-2-delivery-retrieved.ind"},
        {notify_resp(m.tids[2], 0x84), "none for this status", nullptr},
        {notify_resp(m.tids[2], 0x82), "written", "-3-delivery-rejected.ind"},
        {notify_resp("T-not-ours", 0x81), "unknown message", nullptr},
    };
    size_t reports = 0;
    for (const Step &st : steps) {
        SCOPED_TRACE(st.outcome);
        const auto before = files_in(spool_);
        EXPECT_EQ(r.post(st.answer).status, 200);
        const std::string log = r.log();
        const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
        EXPECT_NE(last.find(std::string("\"delivery_report\":\"") + st.outcome + "\""), std::string::npos) << last;
        const auto after = files_in(spool_);
        if (st.file) {
            EXPECT_EQ(after.size(), before.size() + 1);
            ++reports;
        } else {
            EXPECT_EQ(after, before);
        }
    }
    expect_delivery(id + "-1-delivery-deferred.ind", id, "+15550100002", 0x83);
    expect_delivery(id + "-1-delivery-retrieved.ind", id, "+15550100002", 0x81);
    expect_delivery(id + "-2-delivery-retrieved.ind", id, "+15550100003", 0x81);
    expect_delivery(id + "-3-delivery-rejected.ind", id, "third@example.org", 0x82);
    const auto lines = r.report_lines();
    ASSERT_EQ(lines.size(), reports);
    EXPECT_NE(lines[0].find("\"for\":\"+15550100001\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"status\":\"Deferred\""), std::string::npos) << lines[0];
    // Named apart from the notifications' "file", which readers of the log look for.
    EXPECT_NE(lines[0].find("\"spool_file\":\"" + spool_ + "/" + id + "-1-delivery-deferred.ind\""), std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[0].find("\"file\""), std::string::npos);

    // A sender who asked for none gets none.
    const Sent quiet = send(r, "t-quiet", false, false);
    const auto before = files_in(spool_);
    r.post(acknowledge(quiet.tids[0]));
    EXPECT_EQ(files_in(spool_), before);
    EXPECT_NE(r.log().find("\"delivery_report\":\"not asked\""), std::string::npos);
}

// A send request repeated by its sender (it never saw the confirmation) is
// answered with the first confirmation: no second message, no second
// notification for anyone. Another sender's, or another Transaction-Id, is a
// new message.
TEST_F(RelayReports, ARepeatedSendRequestGetsTheFirstAnswerAndReachesNobodyTwice) {
    Relay r(spool_);
    const Bytes req = send_req("T-again", false, false, kTo, kCc);
    const relay::Reply first = r.post(req);
    ASSERT_EQ(first.status, 200);
    const auto files = files_in(spool_);
    ASSERT_EQ(std::count_if(files.begin(), files.end(),
                            [](const std::string &f) { return f.size() > 4 && f.substr(f.size() - 4) == ".ind"; }),
              3)
        << "one notification per recipient";
    for (int i = 0; i < 3; ++i) {
        const relay::Reply again = r.post(req);
        EXPECT_EQ(again.status, 200);
        EXPECT_EQ(again.body, first.body) << "the same m-send-conf, the same Message-ID";
        EXPECT_EQ(files_in(spool_), files);
        EXPECT_EQ(r.s.messages.size(), 1u);
    }
    EXPECT_NE(r.log().find("\"repeat\":true"), std::string::npos);
    const Sent other = send(r, "T-other", false, false);
    EXPECT_EQ(r.s.messages.size(), 2u);
    EXPECT_EQ(files_in(spool_).size(), 2 * files.size());
    // The same Transaction-Id from another sender is another message.
    auto *req2 = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    req2->Transaction_Id = fnQX_MEMSTRCOPY("T-again");
    req2->From = fnQX_MEMSTRCOPY("+15550100009");
    req2->To = fnQX_MEMSTRCOPY("+15550100002");
    static const uint8_t body[] = {0x84, 0xA3, 0x01, 0x01, 0x02, 0x83, 'h', 'i'};
    req2->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(sizeof body));
    std::copy(body, body + sizeof body, req2->ContentTypeAndBody);
    req2->Body_Len = sizeof body;
    int len = 0;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(req2, &len);
    fnMMS_FreeMessageMem(req2, MMS_STRUCT_SEND_REQ);
    const relay::Reply third = r.post(take(pdu, len));
    EXPECT_NE(third.body, first.body);
    EXPECT_EQ(r.s.messages.size(), 3u);
    EXPECT_FALSE(other.messageId.empty());
}

// A message that expires: Expired for every recipient who neither took nor
// refused it, then the message, its notifications and its bookkeeping go.
TEST_F(RelayReports, ExpiredMessagesAreReportedOnce) {
    Relay r(spool_);
    r.s.limits.expirySeconds = 3600;
    const Sent m = send(r, "t-exp", true, true);
    r.post(notify_resp(m.tids[0], 0x81));
    r.post(notify_resp(m.tids[1], 0x83));  // deferred, never fetched
    r.post(notify_resp(m.tids[2], 0x82));  // rejected
    // Two hours later.
    r.s.tracked.at(m.messageId).storedAt -= 7200;
    for (auto &msg : r.s.messages) msg->storedAt -= 7200;
    relay::Request get;
    get.method = "GET";
    get.path = "/msg/none";
    EXPECT_EQ(relay::handle_request(r.s, get).status, 404);
    std::vector<std::string> expired;
    for (const std::string &f : files_in(spool_))
        if (f.find("-delivery-expired") != std::string::npos) expired.push_back(f);
    ASSERT_EQ(expired, (std::vector<std::string>{m.messageId + "-2-delivery-expired.ind"}));
    expect_delivery(expired[0], m.messageId, "+15550100003", 0x80);
    EXPECT_TRUE(r.s.tracked.empty());
    EXPECT_TRUE(r.s.byPath.empty());
    for (const std::string &f : files_in(spool_)) {
        EXPECT_EQ(f.find(".rep"), std::string::npos) << f;
        EXPECT_NE(f.find("-delivery-"), std::string::npos) << "a notification outlived its message: " << f;
    }
    // A later answer or read report names a message that is gone.
    r.post(notify_resp(m.tids[1], 0x81));
    EXPECT_EQ(r.post(read_rec(m.messageId, "+15550100002", 0x80)).status, 400);
    EXPECT_EQ(files_in(spool_).size(), 4u);
}

// Read reports: passed on once per recipient when the sender asked; every
// refusal (a report that does not decode, names no message of the relay or
// no recipient of it, or cannot tell who read it) is answered 400 and
// changes neither the spool nor the bookkeeping.
TEST_F(RelayReports, ReadReportsPassedOnOrRefused) {
    Relay r(spool_);
    const Sent m = send(r, "t-rr", false, true);
    const Sent quiet = send(r, "t-norr", false, false);
    const std::string id = m.messageId;
    Bytes cut = read_rec(id, "+15550100002", 0x80);
    cut.resize(cut.size() - 1);  // Read-Status without its value
    Bytes lying = read_rec(id, "+15550100002", 0x80);
    lying[lying.size() - 1] = 0x85;  // a Read-Status of no meaning
    struct Case {
        const char *name;
        Bytes pdu;
        int status;
        const char *file;  // the m-read-orig-ind written, or null
    };
    const Case cases[] = {
        {"cut short", cut, 400, nullptr},
        {"Read-Status of no meaning", lying, 400, nullptr},
        {"another relay's message", read_rec("M0-0", "+15550100002", 0x80), 400, nullptr},
        {"no recipient of it", read_rec(id, "+15550199999", 0x80), 400, nullptr},
        {"insert-address among three recipients", read_rec(id, nullptr, 0x80), 400, nullptr},
        {"read by the first recipient", read_rec(id, "+15550100002", 0x80), 200, "-1-read.ind"},
        {"the same recipient again", read_rec(id, "+15550100002", 0x81), 200, nullptr},
        {"deleted by the third", read_rec(id, "third@example.org", 0x81), 200, "-3-deleted.ind"},
        {"no Read-Reply asked", read_rec(quiet.messageId, "+15550100002", 0x80), 200, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = files_in(spool_);
        const std::string repBefore = rrtest::hex(spool_file(id + ".rep"));
        const relay::Reply reply = r.post(c.pdu);
        EXPECT_EQ(reply.status, c.status);
        const auto after = files_in(spool_);
        if (!c.file) {
            EXPECT_EQ(after, before);
            EXPECT_EQ(rrtest::hex(spool_file(id + ".rep")), repBefore);
            continue;
        }
        ASSERT_EQ(after.size(), before.size() + 1);
        const Bytes b = spool_file(id + c.file);
        rrtest::HeapCopy copy(b);
        tMMS_ReadOrigInd *o = fnMMS_ParseReadOrigInd(copy.data(), copy.size());
        ASSERT_NE(o, nullptr);
        EXPECT_STREQ(o->Message_Id, id.c_str());
        EXPECT_STREQ(o->To, kSender);
        EXPECT_EQ(o->Read_Status, c.pdu[c.pdu.size() - 1]);
        EXPECT_NE(o->Date, 0);
        fnMMS_FreeMessageMem(o, MMS_STRUCT_READ_ORIG_IND);
    }
    EXPECT_EQ(r.report_lines().size(), 2u);
    // With one recipient, a report that leaves From to the relay is theirs.
    const Sent single = send(r, "t-one", false, true, "+15550100009", nullptr);
    EXPECT_EQ(r.post(read_rec(single.messageId, nullptr, 0x80)).status, 200);
    const Bytes b = spool_file(single.messageId + "-1-read.ind");
    rrtest::HeapCopy copy(b);
    tMMS_ReadOrigInd *o = fnMMS_ParseReadOrigInd(copy.data(), copy.size());
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(o->From, "+15550100009");
    fnMMS_FreeMessageMem(o, MMS_STRUCT_READ_ORIG_IND);
}

// A relay started again on the same spool reports on the messages it stored
// before, once per recipient and status still, and leaves alone a
// bookkeeping file that does not read back.
TEST_F(RelayReports, BookkeepingSurvivesARestart) {
    Sent m;
    {
        Relay first(spool_);
        m = send(first, "t-restart", true, true);
        first.post(notify_resp(m.tids[0], 0x83));
        first.post(read_rec(m.messageId, "+15550100002", 0x80));
    }
    const std::string broken = spool_ + "/M1-1.rep";
    {
        FILE *f = std::fopen(broken.c_str(), "w");
        std::fputs("[message]\nmessage_id=M1-1\nrecipients=4\n", f);
        std::fclose(f);
    }
    Relay second(spool_);
    std::vector<std::string> skipped;
    EXPECT_EQ(relay::load_reports(second.s, &skipped), 1u);
    EXPECT_EQ(skipped, (std::vector<std::string>{broken}));
    const auto before = files_in(spool_);
    second.post(notify_resp(m.tids[0], 0x83));  // written before the restart
    second.post(read_rec(m.messageId, "+15550100002", 0x81));
    EXPECT_EQ(files_in(spool_), before);
    second.post(notify_resp(m.tids[0], 0x81));
    second.post(acknowledge(m.tids[2]));
    second.post(read_rec(m.messageId, "+15550100003", 0x80));
    expect_delivery(m.messageId + "-1-delivery-retrieved.ind", m.messageId, "+15550100002", 0x81);
    expect_delivery(m.messageId + "-3-delivery-retrieved.ind", m.messageId, "third@example.org", 0x81);
    EXPECT_FALSE(spool_file(m.messageId + "-2-read.ind").empty());
    EXPECT_EQ(second.report_lines().size(), 3u);
    EXPECT_FALSE(spool_file("M1-1.rep").empty()) << "a file that does not read back is left alone";
    // The next message of the new relay does not take an old Message-ID.
    const Sent next = send(second, "t-next", false, false);
    EXPECT_NE(next.messageId, m.messageId);
}

}  // namespace
