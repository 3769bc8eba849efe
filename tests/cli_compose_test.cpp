// `rorodire compose` and `rorodire parse` as a user runs them: files in, a
// send request out, read back as JSON (by Python's json module) and as
// extracted files; and the errors a user gets for bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct ToolRun {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

ToolRun run(const std::vector<std::string> &args, const std::string &pipe = "") {
    static int counter = 0;
    const std::string errPath = ::testing::TempDir() + "rr_cps_err_" + std::to_string(getpid()) + "_" +
                                std::to_string(counter++);
    std::string cmd = quote(std::string(RR_BINARY_DIR) + "/rorodire");
    for (const auto &a : args) cmd += " " + quote(a);
    cmd += " 2>" + quote(errPath) + pipe;
    ToolRun r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = slurp(errPath);
    std::remove(errPath.c_str());
    return r;
}

void put(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

std::string noise(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed * 131 + i * 197 + (i >> 3)) & 0xFF);
    return s;
}

class CliCompose : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rr_cli_cps_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        put(dir_ + "/a.jpg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11) + noise(2500, 1));
        put(dir_ + "/b.amr", "#!AMR\n" + noise(700, 2));
        put(dir_ + "/hello.txt", "Sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e\n");
        put(dir_ + "/v.3gp", std::string("\x00\x00\x00\x18" "ftyp3gp4\x00\x00\x00\x00" "3gp4isom", 24) + noise(4000, 3));
        put(dir_ + "/doc.pdf", "%PDF-1.4\n" + noise(900, 4));
        put(dir_ + "/Bericht \xC3\xBC" "ber 2026.docx", std::string("PK\x03\x04", 4) + noise(1200, 5));
    }
    void TearDown() override { std::system(("rm -rf " + quote(dir_)).c_str()); }
    std::string dir_;
};

TEST_F(CliCompose, ComposeThenParseWithExtraction) {
    const std::string out = dir_ + "/out.mms";
    const ToolRun c = run({"compose", "-o", out, "--to", "+4917012345", "--to", "friend@example.org", "--subject",
                       "Gr\xC3\xBC\xC3\x9F" "e", "--read-reply", "--slide",
                       "image=" + dir_ + "/a.jpg,text=" + dir_ + "/hello.txt,audio=" + dir_ + "/b.amr,dur=5000",
                       "--slide", "video=" + dir_ + "/v.3gp,dur=7000,begin=1000", "--attach", dir_ + "/doc.pdf",
                       "--attach", dir_ + "/Bericht \xC3\xBC" "ber 2026.docx"});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_NE(c.out.find("2 slides, 2 attachments"), std::string::npos) << c.out;

    // Python's json module reads the output; it prints a summary per line.
    const std::string py =
        " | python3 -c \"import json,sys;d=json.load(sys.stdin);h=d['header'];"
        "print(d['type'],h['To'],h['Subject']);"
        "[print(s['duration'],[(i['kind'],i['name'],i['type'],i['size'],i['begin'],i['end']) for i in s['items']],"
        "s['text'] and (s['text']['text'],s['text']['begin'],s['text']['end'])) for s in d['slides']];"
        "[print(a['name'],a['type'],a['size']) for a in d['attachments']];print(sorted(d['extracted']))\"";
    const std::string ex = dir_ + "/extracted";
    const ToolRun p = run({"parse", "--json", "--extract", ex, out}, py);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out,
              "m-send-req +4917012345;friend@example.org Gr\xC3\xBC\xC3\x9F" "e\n"
              "5000 [('image', 'a.jpg', 'image/jpeg', 2511, 0, 5000), ('audio', 'b.amr', 'audio/amr', 706, 0, 5000)] "
              "('Sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e\\n', 0, 5000)\n"
              "7000 [('video', 'v.3gp', 'video/3gpp', 4024, 1000, 7000)] None\n"
              "doc.pdf application/pdf 909\n"
              "Bericht \xC3\xBC" "ber 2026.docx application/vnd.openxmlformats-officedocument.wordprocessingml.document 1204\n"
              "['Bericht \xC3\xBC" "ber 2026.docx', 'a.jpg', 'b.amr', 'doc.pdf', 'slide1.txt', 'v.3gp']\n");
    for (const char *f : {"a.jpg", "b.amr", "v.3gp", "doc.pdf", "Bericht \xC3\xBC" "ber 2026.docx"})
        EXPECT_EQ(slurp(ex + "/" + f), slurp(dir_ + "/" + f)) << f;
    EXPECT_EQ(slurp(ex + "/slide1.txt"), slurp(dir_ + "/hello.txt"));

    // The readable form of the same file.
    const ToolRun t = run({"parse", out});
    ASSERT_EQ(t.status, 0);
    EXPECT_NE(t.out.find("slide 2: 7000 ms\n  video \"v.3gp\" (video/3gpp, 4024 bytes) 1000-7000 ms\n"),
              std::string::npos)
        << t.out;
}

TEST_F(CliCompose, ClearErrors) {
    const std::string out = dir_ + "/x.mms";
    ToolRun r = run({"compose", "-o", out, "--slide", "image=" + dir_ + "/missing.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("slide 1: cannot read '" + dir_ + "/missing.jpg': No such file or directory"),
              std::string::npos)
        << r.err;
    r = run({"compose", "-o", out, "--slide", "text=" + dir_ + "/hello.txt", "--slide",
             "video=" + dir_ + "/v.3gp,image=" + dir_ + "/a.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("slide 2: a slide with a video takes no image or audio clip (composer code -12, invalid input)"),
              std::string::npos)
        << r.err;
    std::vector<std::string> eleven = {"compose", "-o", out};
    for (int i = 0; i < 11; ++i) eleven.insert(eleven.end(), {"--slide", "text=" + dir_ + "/hello.txt"});
    r = run(eleven);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("too many slides (at most ten slides and ten attachments)"), std::string::npos) << r.err;
    r = run({"compose", "-o", out, "--slide", "picture=" + dir_ + "/a.jpg"});
    EXPECT_NE(r.err.find("unknown key 'picture'"), std::string::npos) << r.err;
    r = run({"compose", "--slide", "text=" + dir_ + "/hello.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(access(out.c_str(), F_OK), 0) << "nothing is written after an error";

    if (rrtest::interop_available()) {
        r = run({"parse", rrtest::interop_path("m-notification_1.ind")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("not a retrieved message or a send request"), std::string::npos) << r.err;
        r = run({"parse", rrtest::interop_path("m-retrieve_2.conf")});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("slide 1: "), std::string::npos);
    }
    put(dir_ + "/junk.mms", std::string("\x8C\x84\x98\x00", 4));
    r = run({"parse", dir_ + "/junk.mms"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the PDU does not decode (composer code -13)"), std::string::npos) << r.err;
}

// A date past a signed 32-bit time goes out and reads back whole, in every
// form the tool shows it: --date takes seconds or an ISO 8601 time; dates
// outside what the message holds (1970 to 2106-02-07 06:28:15 UTC) are
// refused with one line.
TEST_F(CliCompose, DatesPast2038RoundTrip) {
    const std::string out = dir_ + "/d.mms";
    const struct {
        std::string given;
        uint32_t seconds;
        const char *shown;
    } cases[] = {
        {"2147483647", 2147483647u, "2038-01-19 03:14:07 UTC"},
        {"2038-01-19T03:14:08Z", 2147483648u, "2038-01-19 03:14:08 UTC"},
        {"2038-02-01T01:00:00+01:00", 2148595200u, "2038-02-01 00:00:00 UTC"},
        {"4294967295", 4294967295u, "2106-02-07 06:28:15 UTC"},
        {"2106-02-07T06:28:15Z", 4294967295u, "2106-02-07 06:28:15 UTC"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        std::remove(out.c_str());
        const ToolRun w = run({"compose", "-o", out, "--to", "+15550100002", "--date", c.given, "--slide",
                               "text=" + dir_ + "/hello.txt"});
        ASSERT_EQ(w.status, 0) << w.err;
        const ToolRun t = run({"parse", out});
        ASSERT_EQ(t.status, 0) << t.err;
        EXPECT_NE(t.out.find("  Date: " + std::to_string(c.seconds) + " (" + c.shown + ")\n"), std::string::npos)
            << t.out;
        const ToolRun j = run({"parse", "--json", out}, " | python3 -c \"import json,sys;print(json.load(sys.stdin)['header']['Date'])\"");
        EXPECT_EQ(j.out, std::to_string(c.seconds) + "\n");
        const ToolRun d = run({"dump", "--json", out}, " | python3 -c \"import json,sys;print(json.load(sys.stdin)['headers']['Date'])\"");
        EXPECT_EQ(d.out, std::to_string(c.seconds) + "\n") << d.err;
        const std::string html = dir_ + "/html";
        std::system(("rm -rf " + quote(html)).c_str());
        const ToolRun h = run({"parse", "--html", html, out});
        ASSERT_EQ(h.status, 0) << h.err;
        EXPECT_NE(slurp(html + "/index.html").find(c.shown), std::string::npos);
    }
    for (const char *bad : {"0", "4294967296", "2106-02-07T06:28:16Z", "1969-12-31T23:59:59Z", "-1", "tomorrow",
                            "2038-02-01"}) {
        SCOPED_TRACE(bad);
        const ToolRun r = run({"compose", "-o", out + ".bad", "--to", "1", "--date", bad, "--slide",
                               "text=" + dir_ + "/hello.txt"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(std::string("--date '") + bad + "' is not"), std::string::npos) << r.err;
        EXPECT_NE(access((out + ".bad").c_str(), F_OK), 0);
    }
}

}  // namespace
