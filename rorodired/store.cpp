// rorodired's store: one folder, a status key file per message beside its
// PDU, its notification and the decoded bytes of transfer-encoded parts.
#include "store.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "failure_names.h"
#include "pdu.h"
#include "rr_hostfiles.h"

namespace rrd {
namespace {

constexpr char kGroup[] = "Message";
constexpr size_t kMaxStoredFile = 16u << 20;
constexpr size_t kMaxStatusFile = 1u << 20;
constexpr int64_t kMaxSeq = int64_t(1) << 53;  // far from overflowing however often it is incremented

const char *suffix_of(Blob kind) {
    switch (kind) {
        case Blob::Pdu: return ".mms";
        case Blob::Notification: return ".ind";
        case Blob::Part: return ".part";
        case Blob::Parts: return ".parts";
    }
    return ".mms";
}

std::string get_string(GKeyFile *kf, const char *key) {
    gchar *v = g_key_file_get_string(kf, kGroup, key, nullptr);
    std::string s = v ? v : "";
    g_free(v);
    return s;
}

int64_t get_int(GKeyFile *kf, const char *key, int64_t fallback = 0) {
    GError *err = nullptr;
    const gint64 v = g_key_file_get_int64(kf, kGroup, key, &err);
    if (err) {
        g_error_free(err);
        return fallback;
    }
    return v;
}

void set_list(GKeyFile *kf, const char *key, const std::vector<std::string> &v) {
    std::vector<const gchar *> p;
    for (const std::string &s : v) p.push_back(s.c_str());
    g_key_file_set_string_list(kf, kGroup, key, p.data(), p.size());
}

std::vector<std::string> get_list(GKeyFile *kf, const char *key) {
    std::vector<std::string> out;
    gsize n = 0;
    gchar **v = g_key_file_get_string_list(kf, kGroup, key, &n, nullptr);
    for (gsize i = 0; v && i < n; ++i) out.emplace_back(v[i]);
    g_strfreev(v);
    return out;
}

void set_table(GKeyFile *kf, const char *toKey, const char *statusKey, const std::map<std::string, std::string> &t) {
    if (t.empty()) return;
    std::vector<std::string> to, st;
    for (const auto &[k, v] : t) {
        to.push_back(k);
        st.push_back(v);
    }
    set_list(kf, toKey, to);
    set_list(kf, statusKey, st);
}

void get_table(GKeyFile *kf, const char *toKey, const char *statusKey, std::map<std::string, std::string> *t) {
    const std::vector<std::string> to = get_list(kf, toKey), st = get_list(kf, statusKey);
    for (size_t i = 0; i < to.size() && i < st.size(); ++i) (*t)[to[i]] = st[i];
}

// 16 lowercase hex digits (the service's own), or up to 40 (the IDs of
// messages taken over from mmsd-tng, which keep their object paths).
bool is_hex_id(std::string_view s) {
    if (s.size() < 16 || s.size() > 40) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Whether a name is one of a message's own files: <id>.mms, .ind, .sent, .partN.
bool is_message_file(std::string_view name) {
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos || !is_hex_id(name.substr(0, dot))) return false;
    const std::string_view ext = name.substr(dot);
    if (ext == ".mms" || ext == ".ind" || ext == ".sent" || ext == ".status" || ext == ".parts") return true;
    if (ext.substr(0, 5) != ".part" || ext.size() == 5 || ext.size() > 9) return false;
    return std::all_of(ext.begin() + 5, ext.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string record_text(const Message &m) {
    GKeyFile *kf = g_key_file_new();
    g_key_file_set_string(kf, kGroup, "Direction", m.dir == Direction::Out ? "out" : "in");
    g_key_file_set_string(kf, kGroup, "Status", stored_word(m.status));
    g_key_file_set_int64(kf, kGroup, "Date", m.date);
    g_key_file_set_int64(kf, kGroup, "Seq", m.seq);
    g_key_file_set_int64(kf, kGroup, "Owner", m.owner);
    g_key_file_set_int64(kf, kGroup, "Group", m.group);
    g_key_file_set_boolean(kf, kGroup, "Queued", m.queued);
    g_key_file_set_integer(kf, kGroup, "Attempts", m.attempts);
    if (!m.transactionId.empty()) g_key_file_set_string(kf, kGroup, "TransactionId", m.transactionId.c_str());
    if (!m.messageId.empty()) g_key_file_set_string(kf, kGroup, "MessageId", m.messageId.c_str());
    if (m.error != Failure::None) g_key_file_set_string(kf, kGroup, "Error", failure_word(m.error));
    if (!m.errorText.empty()) g_key_file_set_string(kf, kGroup, "ErrorText", m.errorText.c_str());
    if (m.responseStatus >= 0) g_key_file_set_integer(kf, kGroup, "ResponseStatus", m.responseStatus);
    if (!m.location.empty()) g_key_file_set_string(kf, kGroup, "Location", m.location.c_str());
    if (m.expire) g_key_file_set_int64(kf, kGroup, "Expire", m.expire);
    if (m.size) g_key_file_set_uint64(kf, kGroup, "Size", m.size);
    if (m.readReportSent) g_key_file_set_boolean(kf, kGroup, "ReadReportSent", true);
    if (m.readReportDue) g_key_file_set_boolean(kf, kGroup, "ReadReportDue", true);
    // The library's send-request reader skips Delivery-Report: the record keeps what was asked.
    if (m.view.deliveryReport) g_key_file_set_boolean(kf, kGroup, "DeliveryReport", true);
    // What a notification said, for a message that has no PDU (yet).
    if (m.view.sender) g_key_file_set_string(kf, kGroup, "Sender", m.view.sender->c_str());
    if (m.view.subject) g_key_file_set_string(kf, kGroup, "Subject", m.view.subject->c_str());
    if (!m.attachmentIds.empty()) set_list(kf, "AttachmentIds", m.attachmentIds);
    set_table(kf, "DeliveryTo", "DeliveryStatus", m.deliveryStatus);
    set_table(kf, "ReadTo", "ReadStatus", m.readStatus);
    gsize len = 0;
    gchar *text = g_key_file_to_data(kf, &len, nullptr);
    std::string out(text, len);
    g_free(text);
    g_key_file_free(kf);
    return out;
}

bool record_of_text(const std::string &id, const std::string &text, Message *m, std::string *why, bool *olderForm) {
    GKeyFile *kf = g_key_file_new();
    GError *err = nullptr;
    if (!g_key_file_load_from_data(kf, text.data(), text.size(), G_KEY_FILE_NONE, &err)) {
        *why = std::string("the status file does not read: ") + err->message;
        g_error_free(err);
        g_key_file_free(kf);
        return false;
    }
    *m = Message{};
    m->id = id;
    bool ok = true;
    const std::string dir = get_string(kf, "Direction");
    if (dir == "out" || dir == "in")
        m->dir = dir == "out" ? Direction::Out : Direction::In;
    else
        ok = false, *why = "no direction";
    if (ok && !status_of_word(get_string(kf, "Status"), &m->status)) ok = false, *why = "an unknown status";
    if (ok) {
        m->date = get_int(kf, "Date");
        m->seq = std::clamp<int64_t>(get_int(kf, "Seq"), 0, kMaxSeq);
        m->owner = static_cast<uid_t>(std::clamp<int64_t>(get_int(kf, "Owner"), 0, UINT32_MAX - 1));
        m->group = static_cast<gid_t>(std::clamp<int64_t>(get_int(kf, "Group"), 0, UINT32_MAX - 1));
        m->queued = g_key_file_get_boolean(kf, kGroup, "Queued", nullptr);
        m->attempts = static_cast<int>(std::clamp<int64_t>(get_int(kf, "Attempts"), 0, 1000));
        m->transactionId = get_string(kf, "TransactionId");
        m->messageId = get_string(kf, "MessageId");
        // Older versions wrote the failure's bus name: read as its word.
        const std::string error = get_string(kf, "Error");
        if (!failure_of_word(error, &m->error)) {
            const bool named = failure_of_error_name(error, &m->error);
            if (!named) m->error = Failure::UnspecifiedError;
            if (olderForm) *olderForm = named;
        }
        m->errorText = get_string(kf, "ErrorText");
        m->responseStatus = static_cast<int>(std::clamp<int64_t>(get_int(kf, "ResponseStatus", -1), -1, 255));
        m->location = get_string(kf, "Location");
        m->expire = get_int(kf, "Expire");
        m->size = static_cast<uint64_t>(std::max<int64_t>(0, get_int(kf, "Size")));
        m->readReportSent = g_key_file_get_boolean(kf, kGroup, "ReadReportSent", nullptr);
        m->readReportDue = g_key_file_get_boolean(kf, kGroup, "ReadReportDue", nullptr);
        m->view.deliveryReport = g_key_file_get_boolean(kf, kGroup, "DeliveryReport", nullptr);
        const std::string sender = get_string(kf, "Sender"), subject = get_string(kf, "Subject");
        if (!sender.empty()) m->view.sender = sender;
        if (!subject.empty()) m->view.subject = subject;
        m->attachmentIds = get_list(kf, "AttachmentIds");
        get_table(kf, "DeliveryTo", "DeliveryStatus", &m->deliveryStatus);
        get_table(kf, "ReadTo", "ReadStatus", &m->readStatus);
        m->lane = m->dir == Direction::Out ? Lane::Send : Lane::Download;
        // A notification's states belong to received messages only.
        if (m->dir == Direction::Out &&
            (m->status == Status::PendingDownload || m->status == Status::NotDownloaded || m->status == Status::Received))
            ok = false, *why = "a sent message with a received message's status";
    }
    g_key_file_free(kf);
    return ok;
}

// ---------------------------------------------------------------- store
struct Store::Impl {
    StoreOptions opt;

    void log(const std::string &text) const {
        if (opt.log) opt.log(text);
    }
    std::string path(const std::string &id, Blob kind, int index) const {
        std::string p = opt.dir + "/" + id + suffix_of(kind);
        if (kind == Blob::Part) p += std::to_string(index);
        return p;
    }
    bool write(const std::string &file, const void *data, size_t size, const Message &m, bool messageOwned,
               std::string *why, bool syncDir = true) {
        rrhost::WriteOptions w;
        w.mode = opt.fileMode;
        w.syncDir = syncDir;
        if (opt.chownFiles && messageOwned) {
            w.owner = m.owner;
            w.group = m.group;
        }
        return opt.writeFile ? opt.writeFile(file, data, size, w, why) : rrhost::write_file_atomic(file, data, size, w, why);
    }
};

std::unique_ptr<Store> Store::open(const StoreOptions &opt, std::string *why) {
    if (opt.dir.empty() || opt.dir[0] != '/') {
        *why = "the store folder must be an absolute path";
        return nullptr;
    }
    struct stat st;
    if (lstat(opt.dir.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *why = "cannot look at " + opt.dir + ": " + std::strerror(errno);
            return nullptr;
        }
        // Reachable by the owners of the files inside (apps read attachments
        // in place), listable by nobody but the service.
        if (g_mkdir_with_parents(opt.dir.c_str(), 0711) != 0 || chmod(opt.dir.c_str(), 0711) != 0 ||
            lstat(opt.dir.c_str(), &st) != 0) {
            *why = "cannot create " + opt.dir + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = opt.dir + " is not a folder (a symbolic link is not followed)";
        return nullptr;
    }
    if (st.st_uid != geteuid()) {
        *why = opt.dir + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return nullptr;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = opt.dir + " is writable by others (mode " + std::to_string((st.st_mode >> 6) & 7) +
               std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) + ")";
        return nullptr;
    }
    std::unique_ptr<Store> s(new Store());
    s->p_ = std::make_unique<Impl>();
    s->p_->opt = opt;
    return s;
}

Store::~Store() = default;

const std::string &Store::dir() const { return p_->opt.dir; }

std::string Store::path_of(const std::string &id, Blob kind, int index) const { return p_->path(id, kind, index); }

bool Store::read_blob(const std::string &id, Blob kind, int index, std::vector<uint8_t> *out, std::string *why) const {
    const rrhost::ReadResult r = rrhost::read_regular_file(p_->path(id, kind, index), kMaxStoredFile, out, true);
    if (!r.ok() && why) *why = p_->path(id, kind, index) + " " + r.why;
    return r.ok();
}

bool Store::save_record(const Message &m, std::string *why) {
    const std::string text = record_text(m);
    return p_->write(p_->opt.dir + "/" + m.id + ".status", text.data(), text.size(), m, false, why);
}

bool Store::save_blob(const Message &m, Blob kind, int index, const std::vector<uint8_t> &bytes, std::string *why) {
    // The record saved after every blob syncs the folder once for both names.
    return p_->write(p_->path(m.id, kind, index), bytes.data(), bytes.size(), m, kind != Blob::Notification, why,
                     false);
}

bool Store::mark_confirmed(const Message &m) {
    const std::string mark = p_->opt.dir + "/" + m.id + ".sent";
    if (link(p_->path(m.id, Blob::Pdu, 0).c_str(), mark.c_str()) != 0 && errno != EEXIST) {
        p_->log("message " + m.id + ": cannot mark it as sent: " + std::strerror(errno));
        return false;
    }
    rrhost::sync_dir(p_->opt.dir);
    return true;
}

void Store::remove_blob(const Message &m, Blob kind, int index) { unlink(p_->path(m.id, kind, index).c_str()); }

void Store::remove_message(const Message &m) {
    // The status goes first: a message whose status file is gone is no message.
    unlink((p_->opt.dir + "/" + m.id + ".status").c_str());
    unlink((p_->opt.dir + "/" + m.id + ".sent").c_str());
    unlink(p_->path(m.id, Blob::Pdu, 0).c_str());
    unlink(p_->path(m.id, Blob::Notification, 0).c_str());
    unlink(p_->path(m.id, Blob::Parts, 0).c_str());
    for (const Attachment &a : m.view.attachments)
        if (a.partFile >= 0) unlink(p_->path(m.id, Blob::Part, a.partFile).c_str());
}


bool Store::parts_file_ready(const Message &m, const std::vector<uint8_t> &pdu, View *v) {
    uint64_t total = 0;
    bool inParts = false;
    for (const Attachment &a : v->attachments)
        if (a.partFile == Attachment::kPartsFile) {
            inParts = true;
            total = std::max(total, a.offset + a.length);
        }
    if (!inParts) return true;
    const std::string file = p_->path(m.id, Blob::Parts, 0);
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == total) return true;
    // Stored by an older version (a file per decoded part) or cut short:
    // the file of parts is written anew from the PDU.
    View again;
    std::vector<std::vector<uint8_t>> parts;
    std::string why;
    if (!view_of_pdu(pdu, &again, &parts) || parts.size() != 1 || parts.front().size() != total ||
        !save_blob(m, Blob::Parts, 0, parts.front(), &why)) {
        p_->log("message " + m.id + ": its file of parts cannot be written" + (why.empty() ? "" : ": " + why));
        return false;
    }
    for (size_t i = 0; i < v->attachments.size(); ++i) unlink(p_->path(m.id, Blob::Part, static_cast<int>(i)).c_str());
    p_->log("message " + m.id + ": its parts are now one file, " + file);
    return true;
}

std::vector<Message> Store::load() {
    std::vector<Message> out;
    DIR *d = opendir(p_->opt.dir.c_str());
    if (!d) {
        p_->log("cannot read " + p_->opt.dir + ": " + std::strerror(errno));
        return out;
    }
    std::vector<std::string> ids;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (rrhost::is_temporary_name(name)) {
            // What a stop in the middle of a write left.
            unlinkat(dirfd(d), name.c_str(), 0);
            continue;
        }
        if (!is_message_file(name)) {
            p_->log(p_->opt.dir + "/" + name + " is not a message file: left alone");
            continue;
        }
        const size_t dot = name.find('.');
        if (name.compare(dot, std::string::npos, ".status") == 0) ids.push_back(name.substr(0, dot));
    }
    closedir(d);
    std::sort(ids.begin(), ids.end());
    for (const std::string &id : ids) {
        Message m;
        if (load_one(id, &m)) out.push_back(std::move(m));
    }
    return out;
}

bool Store::load_one(const std::string &id, Message *out) {
    auto skip = [&](const std::string &why) { p_->log("message " + id + " is left alone: " + why); };
    std::vector<uint8_t> bytes;
    const rrhost::ReadResult r =
        rrhost::read_regular_file(p_->opt.dir + "/" + id + ".status", kMaxStatusFile, &bytes, true);
    if (!r.ok()) {
        skip("its status file " + r.why);
        return false;
    }
    Message m;
    std::string why;
    bool olderForm = false;
    if (!record_of_text(id, std::string(bytes.begin(), bytes.end()), &m, &why, &olderForm)) {
        skip(why);
        return false;
    }
    const bool marked = access((p_->opt.dir + "/" + id + ".sent").c_str(), F_OK) == 0;
    if (m.status == Status::PendingDownload) {
        Notification n;
        if (!read_blob(id, Blob::Notification, 0, &bytes, &why) || !notification_of_ind(bytes, &n, &why)) {
            skip("its notification: " + why);
            return false;
        }
        if (m.location.empty()) m.location = n.location;
        if (!m.view.sender && !n.from.empty()) m.view.sender = n.from;
        if (!m.view.subject && !n.subject.empty()) m.view.subject = n.subject;
    } else if (m.status != Status::NotDownloaded && !(m.status == Status::Expired && m.dir == Direction::In)) {
        View v;
        if (!read_blob(id, Blob::Pdu, 0, &bytes, &why)) {
            skip("its PDU: " + why);
            return false;
        }
        if (m.size > 0 && bytes.size() != m.size) {
            skip("its PDU has " + std::to_string(bytes.size()) + " bytes, not " + std::to_string(m.size));
            return false;
        }
        if (!view_of_pdu(bytes, &v)) {
            skip("its PDU does not decode");
            return false;
        }
        if (!parts_file_ready(m, bytes, &v)) {
            skip("its file of parts cannot be written");
            return false;
        }
        const bool askedReport = m.view.deliveryReport;
        m.view = std::move(v);
        m.view.deliveryReport = m.view.deliveryReport || askedReport;
        if (m.transactionId.empty()) m.transactionId = m.view.transactionId;
    }
    if (marked && m.dir == Direction::Out && m.status == Status::Draft) {
        // Confirmed while the disk was full: sent, whatever the status file says.
        m.status = Status::Sent;
        m.queued = false;
        std::string w;
        if (save_record(m, &w)) unlink((p_->opt.dir + "/" + id + ".sent").c_str());
    } else if (olderForm) {
        // The failure's bus name becomes its word.
        std::string w;
        if (!save_record(m, &w)) p_->log("message " + id + ": its record cannot be written anew: " + w);
    }
    *out = std::move(m);
    return true;
}

}  // namespace rrd
