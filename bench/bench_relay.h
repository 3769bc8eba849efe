// Starts the tool's development relay for the programs in bench/: `rorodire
// relay` on a free loopback port, its spool and JSON log in a new temporary
// folder, the URL read from the line it prints when it listens.
#ifndef RR_BENCH_RELAY_H
#define RR_BENCH_RELAY_H

#include <sys/types.h>
#include <sys/wait.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

struct BenchRelay {
    pid_t pid = -1;
    std::string url, dir, log;

    // False when the folder, the process or its listening line is missing.
    // `extra` options follow the relay's own (e.g. "--fault", "get:stall").
    bool launch(const std::string &binary, const char *folderPrefix, const std::vector<std::string> &extra = {}) {
        std::string tmpl = std::string("/tmp/") + folderPrefix + "XXXXXX";
        if (!mkdtemp(tmpl.data())) return false;
        dir = tmpl;
        log = dir + "/relay.jsonl";
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 2);
            close(fds[0]);
            close(fds[1]);
            std::vector<std::string> args = {"rorodire", "relay", "--port", "0", "--spool", dir + "/spool", "--log", log};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char *> argv;
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string err;
        char buf[256];
        for (ssize_t n; err.find('\n') == std::string::npos && (n = read(fds[0], buf, sizeof buf)) > 0;)
            err.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        const size_t at = err.find("listening on ");
        if (at == std::string::npos) return false;
        url = err.substr(at + 13, err.find(' ', at + 13) - at - 13);
        return true;
    }

    void terminate() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

#endif
