// rorodired's store: one folder of messages, StorageDir/<service>/, each
// message as <id>.status (a key file: status, date, queue state, reports),
// <id>.mms (the PDU), <id>.ind (a notification not yet downloaded) and
// <id>.parts (every part's bytes, decoded, of a message with a base64 or
// quoted-printable part; older versions wrote <id>.part<N>, read and
// rewritten as <id>.parts at start). Status and blobs are read with
// O_NOFOLLOW: a symbolic link in the folder is never followed. Every file is
// written atomically (fsync, rename, fsync of the folder) with the owner and
// mode its message says. It implements the core's Sink.
//
// Changes to this header are additive; the newest are listed here:
//   (none yet)
#ifndef RORODIRED_STORE_H
#define RORODIRED_STORE_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core.h"
#include "rr_hostfiles.h"

namespace rrd {

struct StoreOptions {
    std::string dir;   // absolute; created (with its parents) 0711 when missing: the owners of
                       // its files reach them, nobody lists the folder
    mode_t fileMode = 0600;  // never readable by others than the message's owner
    // Set the files' owner and group as the message says (needs root: the
    // service on the system bus). Without it files stay the service's own.
    bool chownFiles = false;
    std::function<void(const std::string &)> log;  // one line per problem
    // The file layer: writes one file atomically (rrhost::write_file_atomic
    // when empty). Tests hand in one that fails as a full disk would.
    std::function<bool(const std::string &path, const void *data, size_t size, const rrhost::WriteOptions &w,
                       std::string *why)>
        writeFile;
};

class Store final : public Sink {
public:
    // Opens (creating when missing) the folder. Refused with *why: a folder
    // owned by another user than the service's, writable by group or others,
    // or not a folder (a symlink is not followed).
    static std::unique_ptr<Store> open(const StoreOptions &opt, std::string *why);
    ~Store() override;

    // Every stored message: only <16 to 40 lowercase hex digits>.status names are read
    // (anything else is left alone with one log line); temporary files of an
    // interrupted write are removed; a message whose PDU or notification does
    // not decode is left alone (one log line), not loaded as empty. A send
    // with an <id>.sent mark is loaded as sent.
    std::vector<Message> load();

    // Where a blob of a message lies (for Attachments and the transport).
    std::string path_of(const std::string &id, Blob kind, int index = 0) const;
    // The blob's bytes (bounded regular-file read).
    bool read_blob(const std::string &id, Blob kind, int index, std::vector<uint8_t> *out, std::string *why) const;
    const std::string &dir() const;

    // Sink. A blob's new name becomes durable with the folder sync of the
    // record saved after it (every blob is followed by its record).
    bool save_record(const Message &m, std::string *why) override;
    bool save_blob(const Message &m, Blob kind, int index, const std::vector<uint8_t> &bytes,
                   std::string *why) override;
    bool mark_confirmed(const Message &m) override;
    void remove_blob(const Message &m, Blob kind, int index) override;
    void remove_message(const Message &m) override;

private:
    Store() = default;
    // One stored message by its id; false (logged, its files left alone)
    // when it is not whole.
    bool load_one(const std::string &id, Message *out);
    // A message whose view has its parts in the file of parts: the file is
    // there with the right size, or is written now from its PDU (older
    // stores kept a file per decoded part, removed once it is written).
    bool parts_file_ready(const Message &m, const std::vector<uint8_t> &pdu, View *v);
    struct Impl;
    std::unique_ptr<Impl> p_;
};

// The status file's text for a record, and back (for the store and its tests).
// *olderForm: the text holds what older versions wrote (a failure's bus
// name): the store writes the record anew.
std::string record_text(const Message &m);
bool record_of_text(const std::string &id, const std::string &text, Message *m, std::string *why,
                    bool *olderForm = nullptr);

}  // namespace rrd

#endif
