// Taking over mmsd-tng's settings and store (see mmsd_import.h). Files are
// opened read-only, without following a symbolic link, and bounded; each
// message is written into the service's store the way the service writes
// its own (PDU or notification first, then the status record), so the
// service's start loads it like any other: drafts go out again, pending
// notifications are downloaded.
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mmsd_import.h"
#include "pdu.h"
#include "rr_hostfiles.h"
#include "store.h"

namespace rrd {
namespace {

constexpr char kFolder[] = "modemmanager";  // mmsd-tng's one service
constexpr char kSettingsFile[] = "mms";
constexpr size_t kMaxStatus = 1 << 16;
constexpr size_t kMaxPdu = 16u << 20;  // what the store itself reads at most
constexpr size_t kMaxEntries = 100000;  // names looked at in the folder

// A file of mmsd-tng's, read-only, never through a symbolic link, regular only.
rrhost::ReadResult read_file(const std::string &path, size_t limit, std::vector<uint8_t> *out) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        rrhost::ReadResult r;
        r.fail = rrhost::ReadFail::NotOpened;
        r.err = errno;
        r.why = errno == ELOOP ? "is a symbolic link" : std::strerror(errno);
        return r;
    }
    rrhost::ReadResult r = rrhost::read_regular_fd(fd, limit, out);
    close(fd);
    return r;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

GVariant *variant_of(const MmsdSetting &s) {
    switch (s.type) {
    case MmsdSetting::Type::Bool: return g_variant_new_boolean(s.b);
    case MmsdSetting::Type::Int:
        return g_variant_new_int64(s.i);
    case MmsdSetting::Type::String: break;
    }
    return g_variant_new_string(s.text.c_str());
}

std::string text_of(const MmsdSetting &s) {
    switch (s.type) {
    case MmsdSetting::Type::Bool: return s.b ? "true" : "false";
    case MmsdSetting::Type::Int: return std::to_string(s.i);
    case MmsdSetting::Type::String: break;
    }
    return s.text;
}

void take_settings(const std::string &folder, Settings *settings, ImportReport *rep,
                   const std::function<void(const std::string &)> &log) {
    const std::string path = folder + "/" + kSettingsFile;
    std::vector<uint8_t> bytes;
    const rrhost::ReadResult r = read_file(path, kMaxStatus, &bytes);
    if (!r.ok()) {
        if (r.err != ENOENT) log("mmsd-tng's settings " + path + " " + r.why + ": not taken");
        return;
    }
    std::vector<std::string> problems;
    std::string why;
    const std::vector<MmsdSetting> list =
        read_mmsd_settings(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), &problems, &why);
    if (!why.empty()) {
        log("mmsd-tng's settings " + path + ": " + why + ": not taken");
        rep->skipped.push_back(path + ": " + why);
        return;
    }
    for (const std::string &p : problems) {
        log("mmsd-tng's settings " + path + ": " + p + ": not taken");
        rep->skipped.push_back(path + ": " + p);
    }
    for (const MmsdSetting &s : list) {
        // What has no meaning here: the SIM's IMSI (mmsd-tng notes it to
        // see a SIM change) and ForceCAres (names are resolved here without
        // a choice between resolvers).
        if (s.key == "IMSI" || s.key == "ForceCAres") continue;
        GVariant *v = g_variant_ref_sink(variant_of(s));
        std::string w;
        const bool ok = apply_setting(settings, s.key, v, &w);
        g_variant_unref(v);
        if (!ok) {
            log("mmsd-tng's " + s.key + "=" + text_of(s) + " is not taken: " + w);
            rep->skipped.push_back(path + ": " + s.key + "=" + text_of(s) + ": " + w);
            continue;
        }
        rep->settingsTaken.push_back(s.key + "=" + text_of(s));
        rep->settingsChanged = true;
    }
}

// One message of mmsd-tng's store as a record of ours, with its bytes.
// False with *why when it is left out.
bool message_of(const std::string &folder, const std::string &name, const MmsdRecord &rec, const ImportOptions &opt,
                Message *m, std::vector<uint8_t> *bytes, std::vector<std::vector<uint8_t>> *decoded, Blob *kind,
                std::string *word, std::string *why) {
    const rrhost::ReadResult r = read_file(folder + "/" + name, kMaxPdu, bytes);
    if (!r.ok()) {
        *why = "its PDU " + name + " " + r.why;
        return false;
    }
    *m = Message{};
    gchar *low = g_ascii_strdown(name.c_str(), -1);
    m->id = low;
    g_free(low);
    m->owner = opt.owner;
    m->group = opt.group;
    m->date = rec.date;
    *kind = Blob::Pdu;
    *word = rec.state;
    if (rec.state == "notification" || rec.state == "expired") {
        Notification n;
        if (!notification_of_ind(*bytes, &n, why)) {
            *why = "its notification does not decode: " + *why;
            return false;
        }
        m->dir = Direction::In;
        m->status = rec.state == "expired" ? Status::Expired : Status::PendingDownload;
        m->location = n.location;
        m->expire = rec.expiration ? rec.expiration : n.expiry;
        struct stat st;
        if (!m->expire && n.expiryRelative > 0 && lstat((folder + "/" + name).c_str(), &st) == 0)
            m->expire = st.st_mtime + n.expiryRelative;  // relative to its arrival, when mmsd-tng wrote it
        m->size = n.size;
        if (!n.from.empty()) m->view.sender = n.from;
        if (!n.subject.empty()) m->view.subject = n.subject;
        m->view.transactionId = n.transactionId;
        m->queued = m->status == Status::PendingDownload;
        m->lane = Lane::Download;
        *kind = Blob::Notification;
        return true;
    }
    View v;
    if (!view_of_pdu(*bytes, &v, decoded)) {
        *why = "its PDU does not decode";
        return false;
    }
    if (!m->date) m->date = v.date;
    m->size = bytes->size();
    if (rec.state == "received" || rec.state == "read" || rec.state == "downloaded") {
        m->dir = Direction::In;
        m->status = rec.read || rec.state == "read" ? Status::Read : Status::Received;
        *word = m->status == Status::Read ? "read" : "received";
        m->lane = Lane::Download;
        return true;
    }
    m->dir = Direction::Out;
    m->lane = Lane::Send;
    m->view.deliveryReport = rec.deliveryReport;
    if (rec.state == "draft") {
        // mmsd-tng sends its drafts again when it starts: so does the service.
        m->status = Status::Draft;
        m->queued = true;
        m->transactionId = v.transactionId;
        return true;
    }
    m->status = rec.state == "delivered" ? Status::Delivered : Status::Sent;
    m->messageId = rec.messageId;
    m->deliveryStatus = rec.deliveryStatus;
    return true;
}

// The names of the status files in mmsd-tng's folder, sorted; *listed false
// (logged) when the folder cannot be read.
std::vector<std::string> status_names(const std::string &folder, const std::function<void(const std::string &)> &log,
                                      ImportReport *rep, bool *listed) {
    DIR *d = opendir(folder.c_str());
    if (!d) {
        log("cannot read " + folder + ": " + std::strerror(errno));
        rep->skipped.push_back(folder + ": " + std::strerror(errno));
        return {};
    }
    std::vector<std::string> names;
    size_t seen = 0;
    while (const dirent *e = readdir(d)) {
        if (++seen > kMaxEntries) {
            log(folder + " holds more than " + std::to_string(kMaxEntries) + " names: the rest are not looked at");
            break;
        }
        const std::string n = e->d_name;
        if (n.size() > 7 && n.compare(n.size() - 7, 7, ".status") == 0) names.push_back(n.substr(0, n.size() - 7));
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    *listed = true;
    return names;
}

// A message of mmsd-tng's as it is stored here.
struct Taken {
    Message m;
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint8_t>> decoded;
    Blob kind;
    std::string word;
};

// The messages taken, stored here in the order of their dates.
void store_taken(std::vector<Taken> &taken, Store *store, const std::function<void(const std::string &)> &log,
                 ImportReport *rep) {
    int64_t seq = 0;
    for (Taken &t : taken) {
        t.m.seq = ++seq;
        std::string why;
        bool ok = store->save_blob(t.m, t.kind, 0, t.bytes, &why);
        for (size_t i = 0; ok && i < t.decoded.size(); ++i)
            ok = store->save_blob(t.m, Blob::Part, static_cast<int>(i), t.decoded[i], &why);
        if (ok) ok = store->save_record(t.m, &why);
        if (!ok) {
            log("mmsd-tng's message " + t.m.id + " cannot be stored here: " + why);
            rep->skipped.push_back(t.m.id + ": cannot be stored here: " + why);
            store->remove_message(t.m);
            continue;
        }
        ++rep->messagesTaken[t.word];
    }
}

}  // namespace

std::string mmsd_dir_of_home(const std::string &home) { return home + "/.mms"; }

std::string ImportReport::summary() const {
    std::string out;
    if (!found) return "no store of mmsd-tng in " + folder + "\n";
    out += "from " + folder + ":\n";
    out += "  settings: ";
    if (settingsTaken.empty()) out += "none taken";
    for (size_t i = 0; i < settingsTaken.size(); ++i) out += (i ? ", " : "") + settingsTaken[i];
    out += "\n  messages: " + std::to_string(taken());
    if (!messagesTaken.empty()) {
        out += " (";
        bool first = true;
        for (const auto &[word, n] : messagesTaken) {
            out += (first ? "" : ", ") + std::to_string(n) + " " + word;
            first = false;
        }
        out += ")";
    }
    if (alreadyHere) out += "; " + std::to_string(alreadyHere) + " already here, left as they are";
    out += "\n";
    if (!skipped.empty()) {
        out += "  left out: " + std::to_string(skipped.size()) + "\n";
        for (const std::string &s : skipped) out += "    " + s + "\n";
    }
    return out;
}

ImportReport import_mmsd_tng(const ImportOptions &opt, Settings *settings, Store *store) {
    ImportReport rep;
    auto log = [&](const std::string &line) {
        if (opt.log) opt.log(line);
    };
    // DIR is ~/.mms, or its modemmanager folder itself.
    std::string folder = opt.mmsdDir + "/" + kFolder;
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (exists(opt.mmsdDir + "/" + kSettingsFile)) folder = opt.mmsdDir;
    }
    rep.folder = folder;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return rep;
    rep.found = true;
    if (opt.settings && settings) take_settings(folder, settings, &rep, log);
    if (!opt.messages || !store) return rep;

    bool listed = false;
    const std::vector<std::string> names = status_names(folder, log, &rep, &listed);
    if (!listed) return rep;

    std::vector<Taken> taken;
    for (const std::string &name : names) {
        auto skip = [&](const std::string &why) {
            log("mmsd-tng's message " + name + " is not taken: " + why);
            rep.skipped.push_back(name + ": " + why);
        };
        if (!is_mmsd_id(name)) {
            skip("its name is no message ID of mmsd-tng");
            continue;
        }
        std::vector<uint8_t> bytes;
        const rrhost::ReadResult r = read_file(folder + "/" + name + ".status", kMaxStatus, &bytes);
        if (!r.ok()) {
            skip("its status file " + r.why);
            continue;
        }
        MmsdRecord rec;
        std::string why;
        if (!read_mmsd_status(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), &rec,
                              &why)) {
            skip("its status file: " + why);
            continue;
        }
        Taken t;
        if (!message_of(folder, name, rec, opt, &t.m, &t.bytes, &t.decoded, &t.kind, &t.word, &why)) {
            skip(why);
            continue;
        }
        if (exists(store->dir() + "/" + t.m.id + ".status")) {
            ++rep.alreadyHere;
            continue;
        }
        taken.push_back(std::move(t));
    }
    // The order of arrival is the order of the dates (GetMessages lists in it).
    std::stable_sort(taken.begin(), taken.end(), [](const Taken &a, const Taken &b) { return a.m.date < b.m.date; });
    store_taken(taken, store, log, &rep);
    return rep;
}

}  // namespace rrd
