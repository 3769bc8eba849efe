// rorodired --config FILE [--session | --system]
#include <cstdio>
#include <cstring>
#include <string>

#include "qx_log.h"
#include "config.h"
#include "readas.h"
#include "service.h"

namespace {

constexpr char kUsage[] =
    "usage: rorodired --config FILE [--session | --system]\n"
    "\n"
    "The MMS service on D-Bus (bus name org.ofono.mms, the interface mmsd-tng\n"
    "speaks): sends, receives and stores MMS messages with librorodire. FILE is\n"
    "a key file: [Service] StorageDir, UserAgent, UserAgentProfile, Provider\n"
    "(\"MCC MNC\"), AllowedGroup, MaxMessageSize, MaxAttachments, AutoCreateSMIL,\n"
    "UseDeliveryReports, SendReadReports, Backend (ModemManager or oFono),\n"
    "ModemPath, OfonoModem, Retries, RetryDelay; [Modem Manager] CarrierMMSC,\n"
    "CarrierMMSProxy (HOST:PORT), MMS_APN, DefaultModemNumber,\n"
    "AutoProcessOnConnection, AutoProcessSMSWAP. Changes made over the bus are\n"
    "written back to FILE.\n"
    "  --session   use the session bus (the default)\n"
    "  --system    use the system bus\n"
    "  --verbose   show the library's diagnostic log on stdout\n";

}  // namespace

int main(int argc, char **argv) {
    // The helper that reads a caller's files as that caller (see readas.h).
    if (argc > 1 && std::strcmp(argv[1], rrd::kReadAsFlag) == 0) return rrd::readas_helper_main(argc, argv);
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
