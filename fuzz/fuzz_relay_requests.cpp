// The development relay's request handling without a socket: a run of
// requests (method, path, query, body) from the input against one relay.
// Checks: every log line is valid JSON; a request the relay refuses (any
// answer but 200, or a confirmation whose Response-Status is not Ok) stores
// nothing and writes no notification; every notification in the spool
// decodes and points at a stored location, every report written for a
// sender decodes; the store stays within its quota.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "MMSProl_Encapsulaton.h"
#include "fuzz_json_check.h"
#include "fuzz_support.h"
#include "rorodire_relay.h"

namespace {

std::string spool_dir() { return fuzz_scratch_dir("fuzz_relay_"); }

std::vector<std::string> spool_files() {
    std::vector<std::string> v;
    if (DIR *d = opendir(spool_dir().c_str())) {
        for (dirent *e; (e = readdir(d));)
            if (e->d_name[0] != '.') v.push_back(spool_dir() + "/" + e->d_name);
        closedir(d);
    }
    return v;
}

// Input: records of [method][path][query length][query][body length: 2][body].
struct Reader {
    const uint8_t *p;
    size_t left;
    uint8_t byte() { return left ? (--left, *p++) : 0; }
    std::string take(size_t n) {
        n = n < left ? n : left;
        std::string s(reinterpret_cast<const char *>(p), n);
        p += n, left -= n;
        return s;
    }
};

std::map<std::string, std::string> query_of(const std::string &q) {
    std::map<std::string, std::string> m;
    size_t start = 0;
    while (start <= q.size()) {
        size_t end = q.find('&', start);
        if (end == std::string::npos) end = q.size();
        const std::string kv = q.substr(start, end - start);
        const size_t eq = kv.find('=');
        if (!kv.empty()) m[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
        start = end + 1;
    }
    return m;
}

rrtool::relay::Request next_request(Reader &in, const rrtool::relay::State &s) {
    static const char *methods[] = {"POST", "GET", "HEAD", "PUT"};
    rrtool::relay::Request req;
    req.method = methods[in.byte() % 4];
    const uint8_t where = in.byte();
    const std::string query = in.take(in.byte());
    switch (where % 4) {
        case 0: req.path = "/mms"; break;
        case 1: req.path = "/control"; break;
        case 2: req.path = s.byPath.empty() ? "/msg/none" : s.byPath.begin()->first; break;
        default: req.path = s.byPath.empty() ? "/msg/none" : s.byPath.rbegin()->first; break;
    }
    req.query = query_of(query);
    req.userAgent = "Fuzz\x01\xFF";
    const size_t n = (static_cast<size_t>(in.byte()) << 8) | in.byte();
    std::string body = in.take(n);
    // "@MID@" and "@TID@" in a body stand for the Message-ID of a stored
    // message and its first notification's Transaction-Id (they come from
    // the clock), so reports and answers can name them.
    if (!s.tracked.empty()) {
        const rrtool::relay::Tracked &t = s.tracked.begin()->second;
        const std::string tid = t.recipients.empty() ? "" : t.recipients[0].tid;
        for (const auto &[mark, value] : {std::pair<std::string, std::string>{"@MID@", t.messageId}, {"@TID@", tid}})
            for (size_t at; (at = body.find(mark)) != std::string::npos;) body.replace(at, mark.size(), value);
    }
    req.body.assign(body.begin(), body.end());
    req.bodyBytes = req.body.size();
    return req;
}

// Whether the relay refused the request. Faults that replace or withhold its
// answer (garbage, stall) hide that, so such exchanges are not judged.
bool refused(const rrtool::relay::Request &req, const rrtool::relay::Reply &reply, std::string_view logLine) {
    const size_t fault = logLine.find("\"fault\":");
    if (fault != std::string_view::npos) {
        const std::string_view faults = logLine.substr(fault, logLine.find('"', fault + 9) - fault);
        if (faults.find("garbage") != std::string_view::npos || faults.find("stall") != std::string_view::npos)
            return false;
    }
    if (reply.status != 200) return true;
    if (req.method != "POST" || fnMMS_FindMessageType(req.body.data(), static_cast<int>(req.body.size())) != 0x80)
        return false;
    tMMS_SendConf *c = fnMMS_ParseSendConf(reply.body.data(), static_cast<int>(reply.body.size()));
    const bool ok = c && c->Response_Status == 0x80;
    if (c) fnMMS_FreeMessageMem(c, MMS_STRUCT_SEND_CONF);
    return !ok;
}

// Checks the lines logged since *checked; the last one.
std::string_view check_log(char *buf, size_t len, size_t *checked) {
    std::string_view all(buf, len), last;
    while (*checked < all.size()) {
        const size_t nl = all.find('\n', *checked);
        if (nl == std::string_view::npos) break;
        last = all.substr(*checked, nl - *checked);
        if (!fuzzjson::valid(last)) std::abort();
        *checked = nl + 1;
    }
    return last;
}

bool ends_with(const std::string &s, const char *tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::vector<uint8_t> file_bytes(const std::string &f) {
    FILE *in = std::fopen(f.c_str(), "rb");
    if (!in) std::abort();
    std::vector<uint8_t> buf(4096);
    buf.resize(std::fread(buf.data(), 1, buf.size(), in));
    std::fclose(in);
    return buf;
}

// The spool holds a notification per stored location, the report
// bookkeeping of each stored message (.rep), and the reports written for
// senders, each of which decodes.
void check_spool(const rrtool::relay::State &s) {
    size_t notifications = 0, bookkeeping = 0;
    for (const std::string &f : spool_files()) {
        const std::vector<uint8_t> buf = file_bytes(f);
        const int n = static_cast<int>(buf.size());
        if (ends_with(f, ".rep")) {
            ++bookkeeping;
        } else if (f.find("-delivery-") != std::string::npos) {
            tMMS_DeliveryInd *d = fnMMS_ParseDeliveryInd(buf.data(), n);
            if (!d) std::abort();
            fnMMS_FreeMessageMem(d, MMS_STRUCT_DELIVERY_IND);
        } else if (ends_with(f, "-read.ind") || ends_with(f, "-deleted.ind")) {
            tMMS_ReadOrigInd *o = fnMMS_ParseReadOrigInd(buf.data(), n);
            if (!o) std::abort();
            fnMMS_FreeMessageMem(o, MMS_STRUCT_READ_ORIG_IND);
        } else {
            ++notifications;
            tMMS_NotifyInd *ind = fnMMS_ParseNotificationInd(buf.data(), n);
            if (!ind || !ind->Content_Location) std::abort();
            const std::string loc = ind->Content_Location;
            fnMMS_FreeMessageMem(ind, MMS_STRUCT_MMS_NOTIFICATION_IND);
            if (loc.rfind(s.base, 0) != 0 || !s.byPath.count(loc.substr(s.base.size()))) std::abort();
        }
    }
    if (notifications != s.byPath.size() || bookkeeping != s.tracked.size()) std::abort();
    if (s.storedBytes > s.limits.storeQuota) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    char *logBuf = nullptr;
    size_t logLen = 0, checked = 0;
    FILE *log = open_memstream(&logBuf, &logLen);
    {
        rrtool::relay::State s;
        s.base = "http://127.0.0.1:8002";
        s.spool = spool_dir();
        s.log = log;
        s.limits.maxRequest = 16384;
        s.limits.storeQuota = 65536;
        s.limits.maxRecipients = 8;
        s.limits.maxFaults = 8;
        Reader in{input.data(), static_cast<size_t>(input.size())};
        for (int k = 0; k < 8 && in.left; ++k) {
            const rrtool::relay::Request req = next_request(in, s);
            const size_t paths = s.byPath.size(), messages = s.messages.size(), files = spool_files().size();
            const rrtool::relay::Reply reply = rrtool::relay::handle_request(s, req);
            std::fflush(log);
            const std::string_view line = check_log(logBuf, logLen, &checked);
            if (refused(req, reply, line) &&
                (s.byPath.size() != paths || s.messages.size() != messages || spool_files().size() != files))
                std::abort();
            check_spool(s);
            // Faults queued through /control apply 1 to 1000 times: none
            // stays for good, none blocks the queue without applying.
            for (const rrtool::relay::Fault &f : s.faults)
                if (f.remaining < 1 || f.remaining > 1000) std::abort();
            if (reply.raw()) (void)rrtool::relay::raw_answer(reply);
        }
        for (const std::string &f : spool_files()) unlink(f.c_str());
    }
    std::fclose(log);
    std::free(logBuf);
    return 0;
}
