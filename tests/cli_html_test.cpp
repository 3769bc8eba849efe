// `rorodire parse --html DIR FILE` opened in a real headless Chromium: the
// project's sample message shows every image, medium and text and loads
// nothing from outside DIR; a message full of markup, scripts and path tricks
// stays inert; a preview that cannot be written leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "cli_run.h"
#include "rorodire.h"

namespace {

using rrtest::cli::Outcome;
using rrtest::cli::TempDir;
using rrtest::cli::run;
using rrtest::cli::run_tool;
using rrtest::cli::slurp;

const std::string kSamples = std::string(RR_SOURCE_DIR) + "/samples/";
const std::string kChecker = std::string(RR_SOURCE_DIR) + "/tests/browser/check_preview.py";

std::string show(const Outcome &r) { return "exit " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err; }

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

TEST(CliHtml, SampleMessageShowsEverythingInTheBrowser) {
    TempDir d;
    const std::string s = kSamples;
    Outcome c = run_tool({"compose", "-o", d.file("m.mms"), "--to", "+15550100002", "--subject", "Preview · Προεπισκόπηση",
                      "--slide", "image=" + s + "photo.jpg,text=" + s + "hello.txt,dur=5000",
                      "--slide", "audio=" + s + "greeting.wav,text=" + s + "greeting.txt,dur=4000",
                      "--slide", "video=" + s + "clip.mp4,dur=3000", "--attach", s + "contact.vcf"});
    ASSERT_EQ(c.status, 0) << show(c);
    Outcome p = run_tool({"parse", "--html", d.file("preview"), d.file("m.mms")});
    ASSERT_EQ(p.status, 0) << show(p);

    // Every medium is a file beside the page, byte for byte the sample.
    for (const auto &[file, sample] : std::vector<std::pair<std::string, std::string>>{
             {"s1-photo.jpg", "photo.jpg"}, {"s2-greeting.wav", "greeting.wav"}, {"s3-clip.mp4", "clip.mp4"},
             {"a1-contact.vcf", "contact.vcf"}}) {
        EXPECT_EQ(slurp(d.file("preview/" + file)), slurp(s + sample)) << file;
    }
    EXPECT_EQ(d.list("preview").size(), 5u);

    // The screenshot stays in the build tree as an artifact of the test.
    Outcome b = run({"python3", kChecker, d.file("preview"), "--text-file", s + "hello.txt", "--text-file",
                 s + "greeting.txt", "--text", "Preview · Προεπισκόπηση", "--text", "Slide 3 of 3 · 3 s",
                 "--text", "contact.vcf", "--images", "1", "--media", "2", "--screenshot",
                 std::string(RR_BINARY_DIR) + "/preview-screenshot.png"});
    EXPECT_EQ(b.status, 0) << show(b);
}

// A message whose every text and name is hostile, composed through the
// library: markup and scripts in texts, the subject and names, names that
// climb out of the directory, an HTML attachment and bytes that are not UTF-8.
TEST(CliHtml, HostileMessageStaysInert) {
    TempDir d;
    std::string photo = slurp(kSamples + "photo.jpg");
    std::string text = "<script>alert(1)</script><img src=http://127.0.0.1:9/x.png onerror=alert(2)> & \x01\xff end";
    std::string html = "<html><script>alert(3)</script></html>";
    std::string card = "BEGIN:VCARD\r\nEND:VCARD\r\n";

    tCPS_Slide s1{};
    s1.Image = {reinterpret_cast<unsigned char *>(photo.data()), const_cast<char *>("image/jpeg"),
                const_cast<char *>("../../escape<b>.jpg"), 0, 5000, static_cast<int>(photo.size()), {}};
    s1.Text = {text.data(), 0, 5000, static_cast<int>(text.size()), {}};
    s1.Has_Image = s1.Has_Text = 1;
    s1.Duration = 5000;
    tCPS_AttachNode a2{reinterpret_cast<unsigned char *>(card.data()), const_cast<char *>(".."),
                       const_cast<char *>("text/x-vcard"), static_cast<int>(card.size()), 0, nullptr};
    tCPS_AttachNode a1{reinterpret_cast<unsigned char *>(html.data()), const_cast<char *>("evil.html"),
                       const_cast<char *>("text/html"), static_cast<int>(html.size()), 0, &a2};
    tCPS_MmsData m{};
    m.pSlide_List = &s1;
    m.pAttach_List = &a1;
    auto *defaults = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    ASSERT_NE(defaults, nullptr);
    m.Header.Send_Req = *defaults;
    void *v = defaults;
    fnQX_Free(&v);
    m.Header.Send_Req.Transaction_Id = const_cast<char *>("T-hostile");
    m.Header.Send_Req.To = const_cast<char *>("+1555<i>0100002");
    m.Header.Send_Req.Subject = const_cast<char *>("<b>bold</b> \"quoted\" 'single'");
    tCPS_PduBuf pdu{};
    ASSERT_EQ(fnCPS_ComposeMMS(&m, &pdu, 0), 0);
    d.write("hostile.mms", std::string(reinterpret_cast<char *>(pdu.data), static_cast<size_t>(pdu.length)));
    v = pdu.data;
    fnQX_Free(&v);

    Outcome p = run_tool({"parse", "--html", d.file("out"), d.file("hostile.mms")});
    ASSERT_EQ(p.status, 0) << show(p);

    // Only plain names inside the directory, nothing a browser would run.
    const std::regex plain("[A-Za-z0-9][A-Za-z0-9._-]*");
    for (const auto &f : d.list("out")) {
        EXPECT_TRUE(std::regex_match(f, plain)) << f;
        if (f != "index.html") { EXPECT_FALSE(f.ends_with(".html")) << f; }
    }
    EXPECT_EQ(d.list(), (std::vector<std::string>{"hostile.mms", "out"}));
    EXPECT_FALSE(exists(d.path() + "/../escape_b_.jpg"));
    EXPECT_EQ(slurp(d.file("out/a1-evil.html.bin")), html);

    // The markup is shown as text; the checker fails on any script element,
    // event handler or request outside the directory.
    Outcome b = run({"python3", kChecker, d.file("out"), "--text", "<script>alert(1)</script><img src=http://127.0.0.1:9/x.png",
                 "--text", "<b>bold</b> \"quoted\" 'single'", "--text", "evil.html", "--images", "1"});
    EXPECT_EQ(b.status, 0) << show(b);
    const std::string page = slurp(d.file("out/index.html"));
    EXPECT_NE(page.find("&amp; \xEF\xBF\xBD end"), std::string::npos) << "a byte that is not UTF-8 is shown as U+FFFD";
}

TEST(CliHtml, PreviewThatCannotBeWrittenLeavesNothing) {
    TempDir d;
    Outcome c = run_tool({"compose", "-o", d.file("m.mms"), "--slide", "image=" + kSamples + "photo.jpg"});
    ASSERT_EQ(c.status, 0) << show(c);
    d.write("plain-file", "x");
    for (const std::string &target : {d.file("no/such/dir/preview"), d.file("plain-file"), d.file("plain-file/sub")}) {
        const auto before = d.list();
        Outcome p = run_tool({"parse", "--html", target, d.file("m.mms")});
        EXPECT_NE(p.status, 0) << target;
        EXPECT_EQ(p.signal, 0) << target;
        EXPECT_EQ(p.err_lines().size(), 1u) << target << "\n" << show(p);
        EXPECT_EQ(d.list(), before) << "something was left behind for " << target;
        EXPECT_EQ(slurp(d.file("plain-file")), "x");
    }
}

}  // namespace
