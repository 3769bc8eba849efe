// rorodired --config FILE [--session | --system] [--import-mmsd-tng DIR]
#include <dirent.h>
#include <gio/gio.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "qx_log.h"
#include "config.h"
#include "mmsd_import.h"
#include "readas.h"
#include "service.h"
#include "store.h"

namespace {

constexpr char kUsage[] =
    "usage: rorodired --config FILE [--session | --system] [--import-mmsd-tng DIR]\n"
    "\n"
    "The MMS service on D-Bus (bus name org.ofono.mms, the interface mmsd-tng\n"
    "speaks): sends, receives and stores MMS messages with librorodire. FILE is\n"
    "a key file: [Service] StorageDir, UserAgent, UserAgentProfile, Provider\n"
    "(\"MCC MNC\"), AllowedGroup, MaxMessageSize, MaxAttachments, AutoCreateSMIL,\n"
    "UseDeliveryReports, SendReadReports, Backend (ModemManager or oFono),\n"
    "ModemPath, OfonoModem, Retries, RetryDelay; [Modem Manager] CarrierMMSC,\n"
    "CarrierMMSProxy (HOST:PORT), MMS_APN, DefaultModemNumber,\n"
    "AutoProcessOnConnection, AutoProcessSMSWAP. Changes made over the bus are\n"
    "written back to FILE. Without FILE the defaults apply (those of mmsd-tng;\n"
    "StorageDir $XDG_DATA_HOME/rorodired) and FILE is written when a setting\n"
    "changes. On the session bus, a first start (no FILE, no stored message)\n"
    "takes over mmsd-tng's settings, messages and pending notifications from\n"
    "~/.mms, changing nothing there.\n"
    "  --session   use the session bus (the default)\n"
    "  --system    use the system bus\n"
    "  --import-mmsd-tng DIR  take over mmsd-tng's settings and messages from\n"
    "              DIR (~/.mms) into FILE and the store, say what was taken and\n"
    "              end (messages already here are left as they are)\n"
    "  --verbose   show the library's diagnostic log on stdout\n";

void log_to_stderr(const std::string &line) { std::fprintf(stderr, "rorodired: %s\n", line.c_str()); }

// Whether the service's store folder holds a message already.
bool store_has_messages(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool any = false;
    while (const dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 7 && n.compare(n.size() - 7, 7, ".status") == 0) {
            any = true;
            break;
        }
    }
    closedir(d);
    return any;
}

// Whether a program owns org.ofono.mms on the bus now (mmsd-tng still
// running in this session, or this service already): then its store may
// still change, and nothing is taken over. False when the bus cannot be
// reached (the service's start then says so).
bool name_taken(bool systemBus) {
    GDBusConnection *bus = g_bus_get_sync(systemBus ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return false;
    GVariant *r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner",
                                              g_variant_new("(s)", rrd::kBusName), G_VARIANT_TYPE("(b)"),
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (r) {
        g_variant_get(r, "(b)", &owned);
        g_variant_unref(r);
    }
    g_object_unref(bus);
    return owned;
}

// mmsd-tng's settings and messages into `s` and the store; false with *why
// when the store cannot be opened or the settings cannot be saved.
bool take_over(const std::string &mmsdDir, rrd::Settings *s, bool systemBus, rrd::ImportReport *rep, std::string *why) {
    if (g_mkdir_with_parents(s->storageDir.c_str(), 0700) != 0) {
        *why = "cannot create " + s->storageDir + ": " + std::strerror(errno);
        return false;
    }
    rrd::StoreOptions so;
    so.dir = s->storageDir + "/" + rrd::kStoreFolder;
    so.fileMode = 0640;
    so.chownFiles = systemBus && geteuid() == 0;
    so.log = log_to_stderr;
    std::unique_ptr<rrd::Store> store = rrd::Store::open(so, why);
    if (!store) return false;
    rrd::ImportOptions opt;
    opt.mmsdDir = mmsdDir;
    opt.owner = geteuid();
    opt.group = getegid();
    opt.log = log_to_stderr;
    *rep = rrd::import_mmsd_tng(opt, s, store.get());
    // Written whenever mmsd-tng's store was there: a second start finds the
    // file and takes nothing again.
    if (rep->found && !rrd::save_settings(*s, why)) return false;
    return true;
}

struct Options {
    std::string config, importDir;
    bool systemBus = false, verbose = false, importGiven = false;
};

// The command line into *o; -1 to go on, or the exit status (0 after --help).
int parse_options(int argc, char **argv, Options *o) {
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
            o->config = argv[++i];
        } else if (a == "--session") {
            o->systemBus = false;
        } else if (a == "--system") {
            o->systemBus = true;
        } else if (a == "--import-mmsd-tng") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodired: --import-mmsd-tng needs mmsd-tng's folder (~/.mms)\n");
                return 2;
            }
            o->importDir = argv[++i];
            o->importGiven = true;
        } else if (a == "--verbose") {
            o->verbose = true;
        } else {
            std::fprintf(stderr, "rorodired: unknown argument '%s' (see rorodired --help)\n", a.c_str());
            return 2;
        }
    }
    if (o->config.empty()) {
        std::fprintf(stderr, "rorodired: --config FILE is required (see rorodired --help)\n");
        return 2;
    }
    return -1;
}

// A first start (no settings file): mmsd-tng's store of this user is taken
// over when nothing else has it or could still change it.
void first_start(rrd::Settings *sp, bool systemBus) {
    rrd::Settings &s = *sp;
    std::string why;
    log_to_stderr("no settings file " + s.file + ": the defaults apply; it is written when a setting changes");
    const std::string mmsd = rrd::mmsd_dir_of_home(g_get_home_dir());
    if (systemBus) {
        // The system bus has no user's home to take over from.
    } else if (name_taken(systemBus)) {
        // mmsd-tng still runs in this session (its package is gone, its
        // process not yet): its store may still change. The start fails
        // to own the name; the unit starts the service again later.
        log_to_stderr(std::string(rrd::kBusName) + " is in use (mmsd-tng still runs?): nothing taken over yet");
    } else if (store_has_messages(s.storageDir + "/" + rrd::kStoreFolder)) {
        log_to_stderr("the store " + s.storageDir + " holds messages already: nothing taken from mmsd-tng");
    } else {
        rrd::ImportReport rep;
        if (!take_over(mmsd, &s, systemBus, &rep, &why)) {
            log_to_stderr("taking over mmsd-tng's store " + mmsd + " failed: " + why);
        } else if (rep.found) {
            gchar **lines = g_strsplit(("took over mmsd-tng's store " + rep.summary()).c_str(), "\n", -1);
            for (gchar **l = lines; *l; ++l)
                if (**l) log_to_stderr(*l);
            g_strfreev(lines);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The helper that reads a caller's files as that caller (see readas.h).
    if (argc > 1 && std::strcmp(argv[1], rrd::kReadAsFlag) == 0) return rrd::readas_helper_main(argc, argv);
    Options o;
    if (const int status = parse_options(argc, argv, &o); status >= 0) return status;
    const std::string &config = o.config, &importDir = o.importDir;
    const bool systemBus = o.systemBus, verbose = o.verbose, importGiven = o.importGiven;
    qx::set_log_enabled(verbose);
    rrd::Settings s;
    std::string why;
    struct stat st;
    const bool firstStart = stat(config.c_str(), &st) != 0 && errno == ENOENT;
    if (firstStart) {
        s = rrd::default_settings(config, systemBus);
    } else if (!rrd::load_settings(config, &s, &why)) {
        std::fprintf(stderr, "rorodired: %s\n", why.c_str());
        return 2;
    }
    if (importGiven) {
        if (name_taken(systemBus)) {
            std::fprintf(stderr, "rorodired: %s is in use on the bus (mmsd-tng or rorodired runs): stop it first\n",
                         rrd::kBusName);
            return 1;
        }
        rrd::ImportReport rep;
        if (!take_over(importDir, &s, systemBus, &rep, &why)) {
            std::fprintf(stderr, "rorodired: %s\n", why.c_str());
            return 1;
        }
        if (!rep.found) {
            std::fprintf(stderr, "rorodired: no store of mmsd-tng in %s (nothing taken)\n", importDir.c_str());
            return 1;
        }
        std::printf("rorodired: took over mmsd-tng's store %s", rep.summary().c_str());
        std::printf("rorodired: settings in %s, messages in %s/%s\n", s.file.c_str(), s.storageDir.c_str(),
                    rrd::kStoreFolder);
        return 0;
    }
    if (firstStart) first_start(&s, systemBus);
    return rrd::run_service(s, systemBus);
}
