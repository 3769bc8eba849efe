// `parse --extract DIR` and `parse --html DIR` never lose a file: they stage
// inside DIR (so a home folder whose parent is not writable and a mount point
// both work), refuse a name that exists unless --force replaces a regular
// file, leave everything as it was on failure, and write names that read as
// they are.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cli_run.h"
#include "composer_host.h"
#include "qx_log.h"
#include "rorodire.h"

namespace {

using rrtest::cli::Outcome;
using rrtest::cli::TempDir;
using rrtest::cli::quote;
using rrtest::cli::run;
using rrtest::cli::run_tool;
using rrtest::cli::slurp;

// Every regular file below `dir` (relative name -> content) and every
// folder (name -> "<dir>"), hidden ones included.
std::map<std::string, std::string> snapshot(const std::string &dir) {
    std::map<std::string, std::string> m;
    const std::string cmd = "cd " + quote(dir) + " && find . -mindepth 1 -printf '%y %P\\n'";
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, p)) {
            std::string s(line);
            s.pop_back();
            const std::string name = s.substr(2);
            m[name] = s[0] == 'f' ? slurp(dir + "/" + name) : "<" + s.substr(0, 1) + ">";
        }
        pclose(p);
    }
    return m;
}

// A send request of one slide (photo.jpg and its text, slide1.txt) composed by the tool.
std::string compose_photo(const TempDir &d) {
    const std::string photo = d.write("photo.jpg", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(3000, 'j'));
    const std::string text = d.write("hello.txt", "hello\n");
    const Outcome c = run_tool({"compose", "-o", d.file("m.mms"), "--to", "+15550100002", "--slide",
                                "image=" + photo + ",text=" + text});
    EXPECT_EQ(c.status, 0) << c.err;
    return d.file("m.mms");
}

TEST(CliExtract, ExistingNamesAreRefusedUnlessForcedAndNothingIsLost) {
    TempDir d;
    const std::string msg = compose_photo(d);
    const std::string photo = slurp(d.file("photo.jpg"));
    struct Row {
        const char *what;
        std::vector<std::string> args;     // after "parse"
        std::map<std::string, std::string> before;
        int status;
        const char *named;                 // in the one line on stderr
        std::map<std::string, std::string> after;  // empty: as before
    };
    const Row rows[] = {
        {"a file of the user's, no --force", {"--extract"}, {{"photo.jpg", "mine"}, {"notes", "keep"}}, 1,
         "photo.jpg' exists (--force", {}},
        {"a folder of the name, no --force", {"--extract"}, {{"photo.jpg", "mine"}, {"slide1.txt", "<d>"}}, 1, "exists", {}},
        {"a folder of the name, --force", {"--force", "--extract"}, {{"photo.jpg", "mine"}, {"slide1.txt", "<d>"}}, 1,
         "slide1.txt' exists and is not a regular file", {}},
        {"--force replaces files, keeps others", {"--force", "--extract"}, {{"photo.jpg", "mine"}, {"notes", "keep"}}, 0, "",
         {{"photo.jpg", photo}, {"slide1.txt", "hello\n"}, {"notes", "keep"}}},
        {"a new folder", {"--extract"}, {}, 0, "", {{"photo.jpg", photo}, {"slide1.txt", "hello\n"}}},
        {"--html over an index.html", {"--html"}, {{"index.html", "my page"}}, 1, "index.html' exists", {}},
        {"--html --force", {"--force", "--html"}, {{"index.html", "my page"}, {"s1-photo.jpg", "old"}}, 0, "", {}},
    };
    int k = 0;
    for (const Row &r : rows) {
        const std::string dir = d.file("out" + std::to_string(k++));
        if (!r.before.empty()) mkdir(dir.c_str(), 0755);
        for (const auto &[name, content] : r.before) {
            if (content == "<d>")
                mkdir((dir + "/" + name).c_str(), 0755);
            else
                d.write(dir.substr(d.path().size() + 1) + "/" + name, content);
        }
        const auto before = snapshot(dir);
        std::vector<std::string> args = {"parse"};
        for (const std::string &a : r.args) args.push_back(a);
        args.push_back(dir);
        args.push_back(msg);
        const Outcome o = run_tool(args);
        EXPECT_EQ(o.status, r.status) << r.what << ": " << o.err;
        const auto after = snapshot(dir);
        if (r.status != 0) {
            ASSERT_EQ(o.err_lines().size(), 1u) << r.what << ": " << o.err;
            EXPECT_NE(o.err.find(r.named), std::string::npos) << r.what << ": " << o.err;
            EXPECT_EQ(after, before) << r.what;
        } else if (!r.after.empty()) {
            EXPECT_EQ(after, r.after) << r.what;
        } else {
            // The preview replaced its own names; nothing else is there.
            EXPECT_NE(after.at("index.html"), "my page") << r.what;
            EXPECT_EQ(after.at("s1-photo.jpg"), photo) << r.what;
            for (const auto &[name, content] : after) EXPECT_NE(name[0], '.') << r.what << ": " << name;
        }
    }
    // Nothing staged is left anywhere.
    for (const auto &[name, content] : snapshot(d.path())) EXPECT_EQ(name.find(".rorodire"), std::string::npos) << name;
}

// A normal user extracts into a folder of its own whose parent it may not
// write (a home folder), and root into a mount point; a write that fails
// part-way (a full file system) leaves the folder as it was.
TEST(CliExtract, WorksWhereUsersExtractAndFailsCleanly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user and to mount";
    TempDir d;
    const std::string msg = compose_photo(d);
    const std::string photo = slurp(d.file("photo.jpg"));
    chmod(d.path().c_str(), 0755);
    chmod(msg.c_str(), 0644);

    // The user "nobody" in a folder it owns below one it may not write.
    const std::string home = d.file("home");
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
    const bool setpriv = std::system("command -v setpriv >/dev/null 2>&1") == 0;
    if (setpriv) {
        for (const char *opt : {"--extract", "--html"}) {
            const Outcome o = run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", rrtest::cli::tool(),
                                   "parse", opt, home, msg});
            EXPECT_EQ(o.status, 0) << opt << ": " << o.err;
        }
        const auto got = snapshot(home);
        EXPECT_EQ(got.at("photo.jpg"), photo);
        EXPECT_EQ(got.at("s1-photo.jpg"), photo);
        EXPECT_EQ(got.count("index.html"), 1u);
        for (const auto &[name, content] : got) EXPECT_NE(name[0], '.') << name;
        struct stat st;
        ASSERT_EQ(stat((home + "/photo.jpg").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
    }

    // A mount point (its parent is another file system), then the same file
    // system too small for the message.
    const std::string mnt = d.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    Outcome o = run_tool({"parse", "--extract", mnt, msg});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(mnt + "/photo.jpg"), photo);
    umount(mnt.c_str());
    ASSERT_EQ(mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8k"), 0);
    d.write("mnt/notes", "keep");
    const auto before = snapshot(mnt);
    o = run_tool({"parse", "--extract", mnt, msg});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err_lines().size(), 1u) << o.err;
    EXPECT_NE(o.err.find("No space left"), std::string::npos) << o.err;
    EXPECT_EQ(snapshot(mnt), before);
    o = run_tool({"parse", "--extract", mnt + "/new", msg});  // a folder it makes is removed again
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(snapshot(mnt), before);
    umount(mnt.c_str());
    if (!setpriv) GTEST_SKIP() << "setpriv is not installed: the unprivileged row did not run";
}

// Names that would read otherwise than they are, or as an option.
TEST(CliExtract, NamesWithBidiControlsOrALeadingDashAreMadeSafe) {
    TempDir d;
    rrtest::HostMessage m;
    m.attachments = {{"photo\xE2\x80\xAEgpj.exe", "application/octet-stream", {1}},
                     {"-rf", "text/plain", {2}},
                     {"a\xE2\x81\xA6" "b\xE2\x81\xA9\xD8\x9C" "c\xE2\x80\x8F.txt", "text/plain", {3}},
                     {"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1.txt", "text/plain", {4}}};
    rrtest::HostLists lists(m);
    tCPS_MmsData msg{};
    msg.Header.Send_Req.Transaction_Id = const_cast<char *>("names");
    msg.Header.Send_Req.To = const_cast<char *>("+15550100002");
    msg.pAttach_List = lists.attachments();
    tCPS_PduBuf pdu{};
    qx::set_log_enabled(false);
    ASSERT_EQ(fnCPS_ComposeMMS(&msg, &pdu, 0), 0);
    const std::string file = d.write("names.mms", std::string(reinterpret_cast<char *>(pdu.data), pdu.length));
    fnQX_Free(reinterpret_cast<void **>(&pdu.data));
    const Outcome o = run_tool({"parse", "--extract", d.file("x"), file});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto got = snapshot(d.file("x"));
    const std::map<std::string, std::string> want = {{"photo_gpj.exe", "\x01"},
                                                     {"_-rf", "\x02"},
                                                     {"a_b__c_.txt", "\x03"},
                                                     {"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1.txt", "\x04"}};
    EXPECT_EQ(got, want);
}

}  // namespace
