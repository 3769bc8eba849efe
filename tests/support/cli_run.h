// Running the rorodire tool (or any command) from a test: exit status,
// stdout and stderr apart; temporary directories removed with their content.
#ifndef RR_TEST_CLI_RUN_H
#define RR_TEST_CLI_RUN_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace rrtest::cli {

struct Outcome {
    int status = -1;     // exit status; -1 when the program did not exit normally
    int signal = 0;      // the signal that ended it, if one did
    std::string out, err;
    // Lines of stderr, without empty ones.
    std::vector<std::string> err_lines() const {
        std::vector<std::string> v;
        std::istringstream in(err);
        for (std::string l; std::getline(in, l);)
            if (!l.empty()) v.push_back(l);
        return v;
    }
};

inline std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs argv[0] with the arguments (each quoted for the shell); `timeout`
// seconds at most.
inline Outcome run(const std::vector<std::string> &argv, int timeout = 120) {
    static int counter = 0;
    const std::string base = ::testing::TempDir() + "rr_run_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    std::string cmd = "timeout -s KILL " + std::to_string(timeout);
    for (const auto &a : argv) cmd += " " + quote(a);
    cmd += " >" + quote(base + ".out") + " 2>" + quote(base + ".err") + " </dev/null";
    // The shell reports a signal death as 128+N.
    const int st = std::system(cmd.c_str());
    Outcome r;
    if (WIFEXITED(st)) {
        r.status = WEXITSTATUS(st);
        if (r.status > 128 && r.status < 160) r.signal = r.status - 128, r.status = -1;
    }
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

inline std::string tool() { return std::string(RR_BINARY_DIR) + "/rorodire"; }

inline Outcome run_tool(std::vector<std::string> args, int timeout = 120) {
    args.insert(args.begin(), tool());
    return run(args, timeout);
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
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string write(const std::string &name, const std::string &bytes) const {
        write_to(file(name), bytes);
        return file(name);
    }
    static void write_to(const std::string &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // Names of the entries of a directory below this one ("" for this one).
    std::vector<std::string> list(const std::string &sub = "") const {
        std::vector<std::string> v;
        const std::string cmd = "ls -A " + quote(sub.empty() ? path_ : file(sub)) + " 2>/dev/null";
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char line[4096];
            while (std::fgets(line, sizeof line, p)) {
                std::string s(line);
                while (!s.empty() && s.back() == '\n') s.pop_back();
                v.push_back(s);
            }
            pclose(p);
        }
        return v;
    }

private:
    std::string path_;
};

}  // namespace rrtest::cli

#endif
