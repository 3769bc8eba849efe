// rorodired --config FILE [--session | --system]
#include <cstdio>
#include <cstring>
#include <string>

#include "qx_log.h"
#include "rorodired.h"

namespace {

constexpr char kUsage[] =
    "usage: rorodired --config FILE [--session | --system]\n"
    "\n"
    "The MMS service on D-Bus (bus name org.ofono.mms): sends, receives and\n"
    "stores MMS messages with librorodire. FILE is a key file with a [Service]\n"
    "group: RelayUrl, Proxy (HOST:PORT), UserAgent, UserAgentProfile, OwnNumber,\n"
    "StorageDir, optionally Provider (\"MCC MNC\": relay URL and proxy from the\n"
    "mobile-broadband-provider-info database), Retries and RetryDelay (seconds).\n"
    "  --session   use the session bus (the default)\n"
    "  --system    use the system bus\n"
    "  --verbose   show the library's diagnostic log on stdout\n";

}  // namespace

int main(int argc, char **argv) {
    std::string config;
    bool systemBus = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--config" || a == "-c") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodired: --config needs a file\n");
                return 2;
            }
            config = argv[++i];
        } else if (a == "--session") {
            systemBus = false;
        } else if (a == "--system") {
            systemBus = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "rorodired: unknown argument '%s' (see rorodired --help)\n", a.c_str());
            return 2;
        }
    }
    if (config.empty()) {
        std::fprintf(stderr, "rorodired: --config FILE is required (see rorodired --help)\n");
        return 2;
    }
    rrd::Settings s;
    std::string why;
    if (!rrd::load_settings(config, &s, &why)) {
        std::fprintf(stderr, "rorodired: %s\n", why.c_str());
        return 2;
    }
    qx::set_log_enabled(verbose);
    return rrd::run_service(s, systemBus);
}
