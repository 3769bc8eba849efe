// Taking over from mmsd-tng: its settings, its stored messages and its
// pending notifications, read from its folder (~/.mms) without changing a
// byte there. doc/mmsd-tng-store.md describes what mmsd-tng keeps:
//
//   ~/.mms/modemmanager/mms            a key file: [Modem Manager] and [Settings]
//   ~/.mms/modemmanager/<ID>           the raw PDU (m-retrieve-conf, m-send-req,
//                                      or the m-notification-ind not yet fetched)
//   ~/.mms/modemmanager/<ID>.status    a key file: [info] state, read, date,
//                                      expiration, delivery_report, id, ...;
//                                      [delivery_status] NUMBER=word
//
// Everything is read defensively: a file that does not parse is logged and
// skipped, never the reason the service does not start.
#ifndef RORODIRED_MMSD_IMPORT_H
#define RORODIRED_MMSD_IMPORT_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"

namespace rrd {

class Store;

// ---------------------------------------------------------------- the readers (pure)
// One <ID>.status file of mmsd-tng.
struct MmsdRecord {
    std::string state;          // received, read (never seen written), sent, delivered, draft, notification,
                                // downloaded, expired
    bool read = false;          // read=true: the user read it
    int64_t date = 0;           // seconds since 1970 (date=), 0 when absent
    int64_t expiration = 0;     // seconds since 1970 (expiration= of a notification), 0 when absent
    bool deliveryReport = false;            // delivery_report=true: the send asked for reports
    std::string messageId;                  // id= the Message-ID the relay gave a sent message
    std::map<std::string, std::string> deliveryStatus;  // [delivery_status] NUMBER=word, "none" left out
};

// Reads the text of a status file. False with *why when it is no key file,
// has no [info] group or names no state mmsd-tng writes.
bool read_mmsd_status(std::string_view text, MmsdRecord *out, std::string *why);

// mmsd-tng's dates: "2026-12-08T01:37:39+0000" (also with "+00:00" or "Z").
// False when the text is no such date.
bool parse_mmsd_date(const std::string &text, int64_t *secs);

// One setting of mmsd-tng's key file, as the bus would change it.
struct MmsdSetting {
    std::string group, key;
    enum class Type : uint8_t { String, Bool, Int } type = Type::String;
    std::string text;  // String: as written (mmsd-tng's "NULL" kept)
    bool b = false;
    int64_t i = 0;
};

// The settings of mmsd-tng's key file: the keys it writes, each with the
// type it writes it with; a key whose value does not read as that type is
// left out with one line in *problems.
std::vector<MmsdSetting> read_mmsd_settings(std::string_view text, std::vector<std::string> *problems,
                                            std::string *why);

// Whether a file name of mmsd-tng's folder is a message's ID (hex digits,
// 16 to 40 of them; mmsd-tng 2.x writes 36).
bool is_mmsd_id(std::string_view name);

// ---------------------------------------------------------------- the import
struct ImportReport {
    bool found = false;          // the folder holds a store of mmsd-tng
    std::string folder;          // DIR/modemmanager
    std::vector<std::string> settingsTaken;    // "CarrierMMSC=http://..."
    std::map<std::string, int> messagesTaken;  // "received" -> 2, "notification" -> 1, ...
    int alreadyHere = 0;                       // messages the store already had (a second import)
    std::vector<std::string> skipped;          // one line per file left out, with the reason
    bool settingsChanged = false;
    int taken() const {
        int n = 0;
        for (const auto &[k, v] : messagesTaken) n += v;
        return n;
    }
    std::string summary() const;  // a few lines for a person
};

struct ImportOptions {
    std::string mmsdDir;  // mmsd-tng's folder: ~/.mms (or its modemmanager/ folder itself)
    bool settings = true;
    bool messages = true;
    uid_t owner = 0;  // owner and group of the imported messages' files
    gid_t group = 0;
    std::function<void(const std::string &)> log;
};

// Takes mmsd-tng's settings into *settings (each checked as a change over the
// bus is; the caller saves them) and its messages into `store` (the PDU or
// notification, then the status record, as the service writes them; IDs are
// kept, so the messages keep their object paths; a message the store already
// has is left as it is). Reads only.
ImportReport import_mmsd_tng(const ImportOptions &opt, Settings *settings, Store *store);

// mmsd-tng's folder in a home: HOME/.mms.
std::string mmsd_dir_of_home(const std::string &home);

}  // namespace rrd

#endif
