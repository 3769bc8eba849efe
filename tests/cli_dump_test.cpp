// The rorodire command-line tool, run as a separate process: `dump` on the
// interop corpus, on crafted and broken PDUs and on the output of `example`.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using rrtest::bytes;
using rrtest::Bytes;
using rrtest::text0;
using rrtest::operator+;

// ---------------------------------------------------------------- a strict JSON reader
struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string str;
    std::vector<Json> items;
    // An object's members as parallel lists (a pair holding the still
    // incomplete Json does not build with every standard library).
    std::vector<std::string> keys;
    std::vector<Json> members;

    const Json *get(const std::string &key) const {
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key) return &members[i];
        return nullptr;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &s) : s_(s) {}

    // The whole text must be one value (surrounding blanks allowed).
    bool parse(Json &out) {
        ws();
        if (!value(out, 0)) return false;
        ws();
        return i_ == s_.size();
    }

private:
    bool value(Json &v, int depth) {
        if (depth > 64 || i_ >= s_.size()) return false;
        const char c = s_[i_];
        if (c == '{') return object(v, depth);
        if (c == '[') return array(v, depth);
        if (c == '"') {
            v.kind = Json::Kind::String;
            return string(v.str);
        }
        if (literal("true")) return v.kind = Json::Kind::Bool, v.boolean = true, true;
        if (literal("false")) return v.kind = Json::Kind::Bool, v.boolean = false, true;
        if (literal("null")) return v.kind = Json::Kind::Null, true;
        return number(v);
    }

    bool object(Json &v, int depth) {
        v.kind = Json::Kind::Object;
        ++i_;
        ws();
        if (peek('}')) return ++i_, true;
        for (;;) {
            ws();
            std::string key;
            if (!peek('"') || !string(key)) return false;
            if (v.get(key)) return false;  // duplicate key
            ws();
            if (!peek(':')) return false;
            ++i_;
            ws();
            Json item;
            if (!value(item, depth + 1)) return false;
            v.keys.push_back(key);
            v.members.push_back(std::move(item));
            ws();
            if (peek(',')) {
                ++i_;
                continue;
            }
            if (peek('}')) return ++i_, true;
            return false;
        }
    }

    bool array(Json &v, int depth) {
        v.kind = Json::Kind::Array;
        ++i_;
        ws();
        if (peek(']')) return ++i_, true;
        for (;;) {
            ws();
            Json item;
            if (!value(item, depth + 1)) return false;
            v.items.push_back(std::move(item));
            ws();
            if (peek(',')) {
                ++i_;
                continue;
            }
            if (peek(']')) return ++i_, true;
            return false;
        }
    }

    bool hex4(unsigned &cp) {
        if (i_ + 4 > s_.size()) return false;
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            cp <<= 4;
            if (c >= '0' && c <= '9') cp |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') cp |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') cp |= static_cast<unsigned>(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    static void put_utf8(std::string &o, unsigned cp) {
        if (cp < 0x80) {
            o += static_cast<char>(cp);
        } else if (cp < 0x800) {
            o += static_cast<char>(0xC0 | (cp >> 6));
            o += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            o += static_cast<char>(0xE0 | (cp >> 12));
            o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            o += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            o += static_cast<char>(0xF0 | (cp >> 18));
            o += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            o += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // A raw multi-byte UTF-8 sequence must be well formed.
    bool utf8(std::string &o) {
        const auto b = [&](size_t k) { return static_cast<unsigned char>(s_[k]); };
        const unsigned char c = b(i_);
        size_t n = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) n = 2;
        else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        else return false;
        if (i_ + n > s_.size() || b(i_ + 1) < lo || b(i_ + 1) > hi) return false;
        for (size_t k = 2; k < n; ++k)
            if (b(i_ + k) < 0x80 || b(i_ + k) > 0xBF) return false;
        o.append(s_, i_, n);
        i_ += n;
        return true;
    }

    bool string(std::string &o) {
        ++i_;  // opening quote
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') return ++i_, true;
            if (c < 0x20) return false;
            if (c >= 0x80) {
                if (!utf8(o)) return false;
                continue;
            }
            ++i_;
            if (c != '\\') {
                o += static_cast<char>(c);
                continue;
            }
            if (i_ >= s_.size()) return false;
            const char e = s_[i_++];
            switch (e) {
                case '"': o += '"'; break;
                case '\\': o += '\\'; break;
                case '/': o += '/'; break;
                case 'b': o += '\b'; break;
                case 'f': o += '\f'; break;
                case 'n': o += '\n'; break;
                case 'r': o += '\r'; break;
                case 't': o += '\t'; break;
                case 'u': {
                    unsigned cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        unsigned lo;
                        if (s_.compare(i_, 2, "\\u") != 0) return false;
                        i_ += 2;
                        if (!hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return false;
                    }
                    put_utf8(o, cp);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    bool number(Json &v) {
        const size_t start = i_;
        if (peek('-')) ++i_;
        if (peek('0')) {
            ++i_;
        } else if (digits() == 0) {
            return false;
        }
        if (peek('.')) {
            ++i_;
            if (digits() == 0) return false;
        }
        if (peek('e') || peek('E')) {
            ++i_;
            if (peek('+') || peek('-')) ++i_;
            if (digits() == 0) return false;
        }
        v.kind = Json::Kind::Number;
        v.number = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
        return true;
    }

    size_t digits() {
        size_t n = 0;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_, ++n;
        return n;
    }
    bool literal(const char *w) {
        const std::string t(w);
        if (s_.compare(i_, t.size(), t) != 0) return false;
        i_ += t.size();
        return true;
    }
    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }

    const std::string &s_;
    size_t i_ = 0;
};

TEST(JsonReaderSelfCheck, AcceptsAndRefuses) {
    Json v;
    EXPECT_TRUE(JsonReader(R"({"a":[1,-2.5e3,true,null],"b":"x\u00e9\"\ud83d\ude00"})").parse(v));
    ASSERT_EQ(v.kind, Json::Kind::Object);
    EXPECT_EQ(v.get("b")->str, "x\xC3\xA9\"\xF0\x9F\x98\x80");
    for (const char *bad : {"{\"a\":1,}", "{\"a\" 1}", "[01]", "\"\x01\"", "\"\xFF\"", "{\"a\":1}x", "\"\\ud800\"",
                            "{\"a\":1,\"a\":2}", "", "[1,]"}) {
        Json w;
        EXPECT_FALSE(JsonReader(bad).parse(w)) << bad;
    }
}

// ---------------------------------------------------------------- running the tool
struct ToolRun {
    int status = -1;  // exit status, or -1 when the tool did not exit normally
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
};

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class TempDir {
public:
    TempDir() {
        std::string t = ::testing::TempDir() + "rr_cli_XXXXXX";
        path_ = mkdtemp(t.data()) ? t : std::string();
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf " + quote(path_)).c_str());
    }
    const std::string &path() const { return path_; }
    std::string write(const std::string &name, const Bytes &b) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(b.data()),
                                                 static_cast<std::streamsize>(b.size()));
        return p;
    }

private:
    std::string path_;
};

ToolRun run_tool(const std::vector<std::string> &args) {
    static int counter = 0;
    const std::string err_path =
        ::testing::TempDir() + "rr_cli_err_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    std::string cmd = quote(std::string(RR_BINARY_DIR) + "/rorodire");
    for (const auto &a : args) cmd += " " + quote(a);
    cmd += " 2>" + quote(err_path);
    ToolRun r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = slurp(err_path);
    std::remove(err_path.c_str());
    return r;
}

// Parses every stdout line as one JSON object with the dump keys.
std::vector<Json> parse_lines(const ToolRun &r) {
    std::vector<Json> v;
    for (const auto &line : r.lines()) {
        Json j;
        EXPECT_TRUE(JsonReader(line).parse(j)) << "not JSON: " << line;
        EXPECT_EQ(j.kind, Json::Kind::Object) << line;
        const Json *type = j.get("type");
        const Json *headers = j.get("headers");
        const Json *parts = j.get("parts");
        const Json *smil = j.get("smil");
        EXPECT_TRUE(type && (type->kind == Json::Kind::String || type->kind == Json::Kind::Null)) << line;
        EXPECT_TRUE(headers && headers->kind == Json::Kind::Object) << line;
        EXPECT_TRUE(parts && parts->kind == Json::Kind::Array) << line;
        EXPECT_TRUE(smil && smil->kind == Json::Kind::Bool) << line;
        if (parts) {
            for (const Json &p : parts->items) {
                for (const char *k : {"content_type", "name", "content_id", "charset", "size"})
                    EXPECT_TRUE(p.get(k)) << k << " missing in " << line;
                EXPECT_EQ(p.get("size")->kind, Json::Kind::Number);
            }
        }
        v.push_back(std::move(j));
    }
    return v;
}

std::string str(const Json &j, const char *header) {
    const Json *h = j.get("headers");
    const Json *v = h ? h->get(header) : nullptr;
    return v && v->kind == Json::Kind::String ? v->str : std::string("<absent>");
}

double num(const Json &j, const char *header) {
    const Json *h = j.get("headers");
    const Json *v = h ? h->get(header) : nullptr;
    return v && v->kind == Json::Kind::Number ? v->number : -1;
}

bool has_error(const Json &j) {
    const Json *e = j.get("error");
    return e && e->kind == Json::Kind::String && !e->str.empty();
}

#define NEED_INTEROP() \
    if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus not found"

// The PDU type of every file of the interop corpus.
const std::map<std::string, std::string> kCorpusTypes = {
    {"m-acknowledge.ind", "m-acknowledge-ind"},  {"m-notifyresp.ind", "m-notifyresp-ind"},
    {"m-notification_1.ind", "m-notification-ind"}, {"m-notification_2.ind", "m-notification-ind"},
    {"m-notification_3.ind", "m-notification-ind"}, {"m-notification_4.ind", "m-notification-ind"},
    {"m-retrieve_1.conf", "m-retrieve-conf"},   {"m-retrieve_2.conf", "m-retrieve-conf"},
    {"m-retrieve_3.conf", "m-retrieve-conf"},   {"m-retrieve_4.conf", "m-retrieve-conf"},
    {"m-send_1.conf", "m-send-conf"},           {"m-send_2.conf", "m-send-conf"},
    {"m-send_3.conf", "m-send-conf"},           {"m-send_1.req", "m-send-req"},
    {"m-send_2.req", "m-send-req"},             {"m-send_3.req", "m-send-req"},
};

// ---------------------------------------------------------------- the interop corpus
TEST(CliDumpCorpus, OneJsonLinePerFileWithItsType) {
    NEED_INTEROP();
    std::vector<std::string> args = {"dump", "--json"};
    for (const auto &[name, type] : kCorpusTypes) args.push_back(rrtest::interop_path(name));
    const ToolRun r = run_tool(args);
    ASSERT_NE(r.status, -1) << r.err;
    const auto objs = parse_lines(r);
    ASSERT_EQ(objs.size(), kCorpusTypes.size()) << r.out;
    size_t i = 0;
    bool any_error = false;
    for (const auto &[name, type] : kCorpusTypes) {
        const Json &j = objs[i++];
        EXPECT_EQ(j.get("file")->str, rrtest::interop_path(name));
        EXPECT_EQ(j.get("type")->str, type) << name;
        if (has_error(j)) {
            any_error = true;
            EXPECT_NE(r.err.find(name), std::string::npos) << "no message on stderr for " << name;
        } else {
            EXPECT_FALSE(j.get("headers")->members.empty()) << name;
        }
    }
    EXPECT_EQ(r.status, any_error ? 1 : 0);
    // Nothing but the JSON lines on stdout: no diagnostic log.
    EXPECT_EQ(r.out.find("mzk:"), std::string::npos);
    EXPECT_EQ(r.out.find("..\\..\\"), std::string::npos);
}

TEST(CliDumpCorpus, AnswersOfPhonesDecodeFieldByField) {
    NEED_INTEROP();
    const ToolRun r = run_tool({"dump", "--json", rrtest::interop_path("m-notifyresp.ind"),
                            rrtest::interop_path("m-acknowledge.ind")});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto objs = parse_lines(r);
    ASSERT_EQ(objs.size(), 2u);
    const Json &resp = objs[0];
    EXPECT_FALSE(has_error(resp));
    EXPECT_EQ(str(resp, "Transaction_Id"), "m10l9m7u03mct2jbc12@mms.beeline.ru");
    EXPECT_EQ(num(resp, "Message_Type"), 0x83);
    EXPECT_EQ(num(resp, "MMS_Version"), 0x91);
    EXPECT_EQ(num(resp, "Status"), 0x84);
    EXPECT_EQ(num(resp, "Report_Allowed"), 0);  // not in this PDU
    EXPECT_TRUE(objs[0].get("parts")->items.empty());
    EXPECT_FALSE(objs[0].get("smil")->boolean);
    const Json &ack = objs[1];
    EXPECT_FALSE(has_error(ack));
    EXPECT_EQ(str(ack, "Transaction_Id"), "BH6WJE2N9CSG1@xma.724.com");
    EXPECT_EQ(num(ack, "Message_Type"), 0x85);
    EXPECT_EQ(num(ack, "MMS_Version"), 0x91);
    EXPECT_EQ(num(ack, "Report_Allowed"), 0x81);
}

TEST(CliDumpCorpus, NotificationFieldsComeFromTheLibrary) {
    NEED_INTEROP();
    const ToolRun r = run_tool({"dump", "--json", rrtest::interop_path("m-notification_1.ind")});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto objs = parse_lines(r);
    ASSERT_EQ(objs.size(), 1u);
    const Json &n = objs[0];
    EXPECT_EQ(str(n, "Transaction_Id"), "m10l9m7u03mct2jbc12@mms.beeline.ru");
    EXPECT_EQ(str(n, "From"), "+79050000000");
    EXPECT_EQ(str(n, "Content_Location"), "http://mmsr5/?message-id=m10l9m7u03mct2jbc12");
    EXPECT_EQ(num(n, "Message_Size"), 0x61C7);
    EXPECT_EQ(num(n, "Expiry_Token"), 0x81);
    EXPECT_EQ(num(n, "Expiry"), 0x03F47F);
    EXPECT_EQ(num(n, "Message_Class"), 0x80);
    EXPECT_EQ(n.get("headers")->get("Subject")->kind, Json::Kind::Null);
}

TEST(CliDumpCorpus, RetrievedMessageShowsItsParts) {
    NEED_INTEROP();
    const ToolRun r = run_tool({"dump", "--json", rrtest::interop_path("m-retrieve_2.conf")});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto objs = parse_lines(r);
    ASSERT_EQ(objs.size(), 1u);
    const Json &m = objs[0];
    EXPECT_TRUE(m.get("smil")->boolean);
    EXPECT_EQ(str(m, "Message_Id"), "83468B6C-6666-71E3-9FE7-D485645D9364");
    std::set<std::string> names;
    long total = 0;
    for (const Json &p : m.get("parts")->items) {
        if (p.get("name")->kind == Json::Kind::String) names.insert(p.get("name")->str);
        total += static_cast<long>(p.get("size")->number);
        EXPECT_GT(p.get("size")->number, 0);
    }
    // The SMIL presentation refers to these four.
    for (const char *n : {"131200131.jpg", "text_0011.txt", "131200011.jpg", "text_0021.txt"})
        EXPECT_TRUE(names.count(n)) << n;
    EXPECT_LT(total, num(m, "Content_Size"));
}

TEST(CliDumpCorpus, HumanReadableListing) {
    NEED_INTEROP();
    const ToolRun r = run_tool({"dump", rrtest::interop_path("m-retrieve_2.conf"), rrtest::interop_path("m-send_1.conf")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("m-retrieve_2.conf: m-retrieve-conf (87560 bytes)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Message_Id"), std::string::npos);
    EXPECT_NE(r.out.find("SMIL: yes"), std::string::npos);
    EXPECT_NE(r.out.find("\"131200131.jpg\""), std::string::npos);
    EXPECT_NE(r.out.find("m-send_1.conf: m-send-conf (29 bytes)"), std::string::npos);
    EXPECT_NE(r.out.find("Response_Status"), std::string::npos);
    EXPECT_EQ(r.out.find("mzk:"), std::string::npos);
}

TEST(CliDumpCorpus, VerboseLogGoesToStderr) {
    NEED_INTEROP();
    const std::string f = rrtest::interop_path("m-notification_2.ind");
    const ToolRun quiet = run_tool({"dump", "--json", f});
    const ToolRun loud = run_tool({"dump", "--json", "--verbose", f});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(loud.status, 0);
    EXPECT_EQ(quiet.out, loud.out);
    EXPECT_EQ(quiet.err, "");
    EXPECT_NE(loud.err.find("mzk:fnMMS_ParseNotificationInd"), std::string::npos) << loud.err;
    EXPECT_NE(loud.err.find("..\\..\\qxmms\\Protocol\\src\\"), std::string::npos) << loud.err;
}

// ---------------------------------------------------------------- crafted PDUs
TEST(CliDumpCrafted, TextsAreEscapedInBothForms) {
    TempDir dir;
    // A notification response whose Transaction-Id holds a control byte, a
    // quote, a backslash, an invalid UTF-8 byte and a valid two-byte letter.
    const Bytes pdu = bytes({0x8C, 0x83, 0x98}) + text0("a\x01\"\\\xFF\xC3\xA9z") + bytes({0x8D, 0x92, 0x95, 0x81});
    const std::string f = dir.write("odd.ind", pdu);
    const ToolRun j = run_tool({"dump", "--json", f});
    EXPECT_EQ(j.status, 0) << j.err;
    EXPECT_NE(j.out.find(R"("a\u0001\"\\\ufffd)"), std::string::npos) << j.out;
    const auto objs = parse_lines(j);
    ASSERT_EQ(objs.size(), 1u);
    EXPECT_EQ(str(objs[0], "Transaction_Id"), "a\x01\"\\\xEF\xBF\xBD\xC3\xA9z");
    EXPECT_EQ(num(objs[0], "Status"), 0x81);

    const ToolRun t = run_tool({"dump", f});
    EXPECT_EQ(t.status, 0);
    EXPECT_NE(t.out.find(R"("a\x01\"\\\xFF)" "\xC3\xA9z\""), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find('\x01'), std::string::npos);
}

// A relay's answer whose body is one text, not multipart: one part for dump,
// one slide with that text for parse.
TEST(CliDumpCrafted, SinglePartBodyIsOnePart) {
    TempDir dir;
    const std::string f = dir.write("notfound.conf", bytes({0x8C, 0x84, 0x98}) + text0("t1") +
                                                         bytes({0x8D, 0x92, 0x99, 0xE0, 0x84, 0x83}) +
                                                         Bytes{'4', '5', '0', '4', ':', 'g', 'o', 'n', 'e'});
    const ToolRun d = run_tool({"dump", "--json", f});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find(R"("parts":[{"content_type":"text/plain")"), std::string::npos) << d.out;
    const ToolRun p = run_tool({"parse", f});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.out.find("\"4504:gone\""), std::string::npos) << p.out;
}

TEST(CliDumpCrafted, OwnDecodersFindTheTypeAnywhereAndSkipUnknownFields) {
    TempDir dir;
    struct Case {
        const char *name;
        Bytes pdu;
        const char *type;
        std::map<std::string, std::string> texts;
        std::map<std::string, double> numbers;
    };
    const std::vector<Case> cases = {
        // Message-Type after an application header and the Transaction-Id.
        {"ack.ind", text0("X-Note") + text0("hi") + bytes({0x98}) + text0("T1") + bytes({0x8C, 0x85, 0x91, 0x80}),
         "m-acknowledge-ind", {{"Transaction_Id", "T1"}}, {{"Report_Allowed", 0x80}, {"MMS_Version", 0x92}}},
        // Delivery report: two To fields, a Date, an unknown long field skipped.
        {"delivery.ind",
         bytes({0x8C, 0x86, 0x8D, 0x92, 0x8B}) + text0("\x7Fmid-1") + bytes({0x97}) + text0("+123/TYPE=PLMN") +
             bytes({0x97}) + text0("a@b.c") + bytes({0xB0, 0x03, 0x01, 0x02, 0x03, 0x85, 0x04, 0x65, 0x53, 0xF1,
                                                    0x00, 0x95, 0x81}),
         "m-delivery-ind", {{"Message_Id", "mid-1"}, {"To", "+123;a@b.c"}}, {{"Date", 1700000000}, {"Status", 0x81}}},
        // Read report with a From given as an Encoded-string-value.
        {"read.ind",
         bytes({0x8C, 0x87, 0x8D, 0x92, 0x8B}) + text0("m2") + bytes({0x97}) + text0("x@y.z") +
             bytes({0x89, 0x13, 0x80, 0x11, 0xEA}) + text0("+4567/TYPE=PLMN") + bytes({0x9B, 0x80}),
         "m-read-rec-ind", {{"Message_Id", "m2"}, {"To", "x@y.z"}, {"From", "+4567"}}, {{"Read_Status", 0x80}}},
        // Forward request with an absolute expiry and a short-integer delivery time.
        {"fwd.req",
         bytes({0x8C, 0x89, 0x98}) + text0("F") + bytes({0x8D, 0x92, 0x89, 0x01, 0x81, 0x88, 0x06, 0x80, 0x04, 0x65,
                                                          0x53, 0xF1, 0x00, 0x87, 0x02, 0x81, 0x85, 0x83}) +
             text0("\x7F\xC3\xA9/x") + bytes({0x90, 0x80}),
         "m-forward-req", {{"Transaction_Id", "F"}, {"Content_Location", "\xC3\xA9/x"}},
         {{"Expiry", 1700000000}, {"Expiry_Relative", 0}, {"Delivery_Time", 5}, {"Delivery_Time_Relative", 1},
          {"Read_Reply", 1}, {"Delivery_Report", 0}}},
    };
    for (const Case &c : cases) {
        const ToolRun r = run_tool({"dump", "--json", dir.write(c.name, c.pdu)});
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        const auto objs = parse_lines(r);
        ASSERT_EQ(objs.size(), 1u) << c.name;
        EXPECT_EQ(objs[0].get("type")->str, c.type) << c.name;
        EXPECT_FALSE(has_error(objs[0])) << c.name << ": " << r.out;
        for (const auto &[k, v] : c.texts) EXPECT_EQ(str(objs[0], k.c_str()), v) << c.name << " " << k;
        for (const auto &[k, v] : c.numbers) EXPECT_EQ(num(objs[0], k.c_str()), v) << c.name << " " << k;
    }
}

TEST(CliDumpCrafted, BrokenInputsGiveErrorsNotCrashes) {
    TempDir dir;
    mkdir((dir.path() + "/a_directory").c_str(), 0700);
    struct Case {
        const char *name;
        Bytes pdu;
        const char *type;  // null: no type can be told
        const char *why;   // part of the message
    };
    const std::vector<Case> cases = {
        {"empty.bin", {}, nullptr, "empty file"},
        {"text.bin", text0("hello, world"), nullptr, "no Message-Type"},
        {"lone_type.bin", bytes({0x8C}), nullptr, "no Message-Type"},
        {"unknown_type.bin", bytes({0x8C, 0xFE, 0x98}) + text0("T"), nullptr, "unknown Message-Type 0xFE"},
        {"mbox.bin", bytes({0x8C, 0x8B, 0x98}) + text0("T"), "m-mbox-store-req", "no decoder"},
        {"cut_ack.ind", bytes({0x8C, 0x85, 0x98, 0x41, 0x42}), "m-acknowledge-ind", "does not decode"},
        {"cut_resp.ind", bytes({0x8C, 0x83, 0x98}) + text0("T") + bytes({0x95}), "m-notifyresp-ind", "0x95"},
        {"no_tid.ind", bytes({0x8C, 0x83, 0x8D, 0x92, 0x95, 0x81}), "m-notifyresp-ind", "no Transaction-Id"},
        {"long_len.req", bytes({0x8C, 0x89, 0x98}) + text0("F") + bytes({0x88, 0x1F, 0x8F, 0xFF, 0xFF, 0x7F, 0x80}),
         "m-forward-req", "0x88"},
        {"body_ack.ind", bytes({0x8C, 0x85, 0x98}) + text0("T") + bytes({0x84, 0xA3, 0x00}), "m-acknowledge-ind",
         "Content-Type"},
    };
    std::vector<std::string> args = {"dump", "--json"};
    for (const Case &c : cases) args.push_back(dir.write(c.name, c.pdu));
    args.push_back(dir.path() + "/does_not_exist.mms");
    args.push_back(dir.path() + "/a_directory");
    const ToolRun r = run_tool(args);
    EXPECT_EQ(r.status, 1);
    const auto objs = parse_lines(r);
    ASSERT_EQ(objs.size(), cases.size() + 2) << r.out;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Json &j = objs[i];
        EXPECT_TRUE(has_error(j)) << cases[i].name;
        if (!has_error(j)) continue;
        EXPECT_NE(j.get("error")->str.find(cases[i].why), std::string::npos) << cases[i].name << ": "
                                                                             << j.get("error")->str;
        if (cases[i].type)
            EXPECT_EQ(j.get("type")->str, cases[i].type) << cases[i].name;
        else
            EXPECT_EQ(j.get("type")->kind, Json::Kind::Null) << cases[i].name;
        EXPECT_NE(r.err.find(std::string(cases[i].name) + ": "), std::string::npos) << cases[i].name;
    }
    EXPECT_NE(objs[cases.size()].get("error")->str.find("cannot open"), std::string::npos);
    EXPECT_NE(objs[cases.size() + 1].get("error")->str.find("cannot read"), std::string::npos);

    // The readable form reports the same on stderr and fails the same way.
    const ToolRun t = run_tool({"dump", dir.path() + "/text.bin"});
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find("text.bin: no Message-Type"), std::string::npos) << t.err;
}

TEST(CliDumpCrafted, EveryTruncationOfRealPdusIsHandled) {
    NEED_INTEROP();
    TempDir dir;
    std::vector<std::string> args = {"dump", "--json"};
    for (const char *name : {"m-notification_1.ind", "m-notification_4.ind", "m-retrieve_4.conf", "m-send_2.conf",
                             "m-acknowledge.ind", "m-notifyresp.ind"}) {
        const Bytes whole = rrtest::read_file(rrtest::interop_path(name));
        ASSERT_FALSE(whole.empty()) << name;
        for (size_t n = 1; n < whole.size(); ++n)
            args.push_back(dir.write(std::string(name) + "." + std::to_string(n),
                                     Bytes(whole.begin(), whole.begin() + static_cast<long>(n))));
    }
    const ToolRun r = run_tool(args);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "the tool crashed: " << r.err.substr(0, 2000);
    const auto objs = parse_lines(r);
    EXPECT_EQ(objs.size(), args.size() - 2);
    // Cut before the end of their Transaction-Id, the answers of the phones
    // do not decode (it ends at byte 29 and 38).
    int checked = 0;
    for (const Json &j : objs) {
        const std::string &f = j.get("file")->str;
        const int n = std::atoi(f.substr(f.rfind('.') + 1).c_str());
        if ((f.find("/m-acknowledge.ind.") != std::string::npos && n < 29) ||
            (f.find("/m-notifyresp.ind.") != std::string::npos && n < 38)) {
            EXPECT_TRUE(has_error(j)) << f;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 28 + 37);
}

// ---------------------------------------------------------------- example
TEST(CliExample, WritesPdusThatDumpBack) {
    TempDir dir;
    const std::string out = dir.path() + "/examples";
    const ToolRun w = run_tool({"example", out});
    ASSERT_EQ(w.status, 0) << w.err;
    std::vector<std::string> files;
    for (const char *n : {"m-send-example.req", "m-forward-example.req", "m-notifyresp-example.ind",
                          "m-acknowledge-example.ind", "m-read-rec-example.ind"}) {
        files.push_back(out + "/" + n);
        EXPECT_NE(w.out.find(n), std::string::npos) << w.out;
    }
    std::vector<std::string> args = {"dump", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    const ToolRun r = run_tool(args);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    const auto objs = parse_lines(r);
    ASSERT_EQ(objs.size(), 5u);

    const Json &send = objs[0];
    EXPECT_EQ(send.get("type")->str, "m-send-req");
    EXPECT_EQ(str(send, "Transaction_Id"), "rorodire-example-1");
    EXPECT_EQ(str(send, "From"), "+15551230001");
    EXPECT_EQ(str(send, "To"), "+15551230002;friend@example.com");
    EXPECT_EQ(str(send, "Cc"), "+15551230003");
    EXPECT_EQ(str(send, "Subject"), "Example \xE2\x9C\x93 Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(num(send, "Priority"), 0x82);
    EXPECT_EQ(num(send, "Message_Class"), 0x80);
    EXPECT_TRUE(send.get("smil")->boolean);
    const auto &parts = send.get("parts")->items;
    ASSERT_EQ(parts.size(), 3u);
    const struct {
        const char *type, *name;
        double charset, size;
    } want[] = {{"text/plain", "hello.txt", 106, 39}, {"image/gif", "photo.gif", -1, 43},
                {"text/x-vCard", "contact.vcf", -1, 77}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(parts[i].get("content_type")->str, want[i].type);
        EXPECT_EQ(parts[i].get("name")->str, want[i].name);
        EXPECT_EQ(parts[i].get("content_id")->str, want[i].name);
        EXPECT_EQ(parts[i].get("size")->number, want[i].size) << want[i].name;
        if (want[i].charset < 0)
            EXPECT_EQ(parts[i].get("charset")->kind, Json::Kind::Null);
        else
            EXPECT_EQ(parts[i].get("charset")->number, want[i].charset);
    }

    const Json &fwd = objs[1];
    EXPECT_EQ(fwd.get("type")->str, "m-forward-req");
    EXPECT_EQ(str(fwd, "Transaction_Id"), "rorodire-example-2");
    EXPECT_EQ(str(fwd, "To"), "+15551230004;other@example.org");
    EXPECT_EQ(str(fwd, "Cc"), "+15551230005");
    EXPECT_EQ(str(fwd, "Content_Location"), "http://mms.example.com/store/msg-0001");
    EXPECT_EQ(num(fwd, "Date"), 1700000100);
    EXPECT_EQ(num(fwd, "Expiry"), 604800);
    EXPECT_EQ(num(fwd, "Expiry_Relative"), 1);
    EXPECT_EQ(num(fwd, "Delivery_Report"), 1);
    EXPECT_EQ(num(fwd, "Read_Reply"), 1);

    EXPECT_EQ(objs[2].get("type")->str, "m-notifyresp-ind");
    EXPECT_EQ(str(objs[2], "Transaction_Id"), "rorodire-example-3");
    EXPECT_EQ(num(objs[2], "Report_Allowed"), 0x80);
    EXPECT_EQ(num(objs[2], "Status"), 0x81);
    EXPECT_EQ(objs[3].get("type")->str, "m-acknowledge-ind");
    EXPECT_EQ(str(objs[3], "Transaction_Id"), "rorodire-example-4");
    EXPECT_EQ(num(objs[3], "Report_Allowed"), 0x81);
    const Json &read = objs[4];
    EXPECT_EQ(read.get("type")->str, "m-read-rec-ind");
    EXPECT_EQ(str(read, "Message_Id"), "rorodire-example-msg-5");
    EXPECT_EQ(str(read, "To"), "+15551230001");
    EXPECT_EQ(read.get("headers")->get("From")->kind, Json::Kind::Null) << "left to the relay";
    EXPECT_EQ(num(read, "Date"), 1700000200);
    EXPECT_EQ(num(read, "Read_Status"), 0x80);
    EXPECT_EQ(read.get("meanings")->get("Read_Status")->str, "Read");
}

TEST(CliUsage, HelpAndBadCommandLines) {
    for (const char *h : {"help", "--help"}) {
        const ToolRun r = run_tool({h});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("dump [--json] [--verbose] FILE..."), std::string::npos);
        EXPECT_NE(r.out.find("example [--force] OUTDIR"), std::string::npos);
    }
    const std::vector<std::vector<std::string>> bad = {
        {}, {"frobnicate"}, {"dump"}, {"dump", "--jsn", "x"}, {"example"}, {"example", "a", "b"}};
    for (const auto &args : bad) {
        const ToolRun r = run_tool(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(r.err.empty());
        EXPECT_TRUE(r.out.empty());
    }
}

}  // namespace
