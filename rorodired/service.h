// rorodired's process state and the glue between its parts: the bus objects
// (obj_*.cpp, on skeletons generated from interfaces/*.xml) take calls and
// hand them to the core; whatever the core says changed (its effects) is
// applied here: signals through the generated emit_* helpers, transfers
// through the transport, the timer on the main loop.
#ifndef RORODIRED_SERVICE_H
#define RORODIRED_SERVICE_H

#include <gio/gio.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "auth.h"
#include "config.h"
#include "core.h"
#include "errors.h"
#include "modem.h"
#include "rrd-bus-generated.h"
#include "store.h"
#include "transport.h"

namespace rrd {

constexpr char kBusName[] = "org.ofono.mms";
constexpr char kManagerPath[] = "/org/ofono/mms";
constexpr char kServicePath[] = "/org/ofono/mms/modemmanager";
constexpr char kIdentity[] = "modemmanager";
constexpr char kStoreFolder[] = "modemmanager";

// Bounds of what a reply carries about one message (the stored PDU keeps
// everything): texts are cut at a UTF-8 character boundary.
constexpr size_t kMaxSubjectBytes = 256;
constexpr size_t kMaxSmilBytes = 1024;
constexpr size_t kMaxAddressBytes = 64;          // Sender, each recipient
constexpr size_t kMaxRecipientsBytes = 1024;     // all recipients together (at most 100 listed)
constexpr size_t kMaxListedRecipients = 100;
constexpr size_t kMaxListedAttachments = 25;
constexpr size_t kMaxAttachmentTextBytes = 64;   // an attachment's id and content type
// A GetMessages reply carries at most this many bytes of properties: the
// newest messages are listed whole, older ones beyond it with Status, Date
// and Subject only (the messages and their files stay as they are).
constexpr size_t kMaxReplyBytes = 4u << 20;
// Brief entries stop here too (a store of millions of messages): the oldest
// beyond it are left out of the reply, never the bus's limit exceeded.
constexpr size_t kMaxReplyBytesHard = 24u << 20;

class RealClock final : public Clock {
public:
    int64_t mono_ms() const override;
    int64_t wall_s() const override;
};

// The message objects on the bus and what GetMessages shows of each.
struct MessageDirectory {
    std::unordered_map<std::string, RrdBusMmsMessage *> objects;
    // Each shown message's properties as last built, with their size; dropped
    // when the message changes (any effect naming it) or the settings do.
    std::unordered_map<std::string, std::pair<GVariant *, size_t>> props;
    guint warmSource = 0;  // building GetMessages' properties ahead

    // Drops the cached properties of a message that changed ("": of all).
    void forget(const std::string &id);
    // Takes the message's object off the bus.
    void unexport(const std::string &id);
};

// The connection and the service's own objects on it.
struct BusObjects {
    GDBusConnection *bus = nullptr;
    gulong closedHandler = 0;
    RrdBusMmsManager *manager = nullptr;
    RrdBusMmsModemManager *modemManager = nullptr;
    RrdBusMmsService *service = nullptr;
    RrdBusPushNotificationAgent *agent = nullptr;  // the oFono backend only
};

// The settings in force and the key file they come from and go back to.
struct ServiceSettings {
    Settings values;
    std::string modemNumber;  // from the modem, when none is configured

    // The configured number, else the modem's.
    std::string own_number() const { return values.ownNumber.empty() ? modemNumber : values.ownNumber; }
    // Writes `next` back to the key file; once written it is the settings in
    // force. False with *why (the settings stay) when it cannot be written.
    bool write_back(Settings next, std::string *why);
};

struct Service {
    ServiceSettings settings;
    bool systemBus = false;
    GMainLoop *loop = nullptr;
    int exitStatus = 0;

    RealClock clock;
    std::unique_ptr<Store> store;
    std::unique_ptr<Core> core;
    std::unique_ptr<Transport> transport;
    Modem *modem = nullptr;
    Auth *auth = nullptr;
    gid_t allowedGid = static_cast<gid_t>(-1);  // -1: AllowedGroup does not exist here

    BusObjects objects;
    MessageDirectory directory;

    guint timer = 0;
    // Effects wait here in order; one loop (apply_effects' outermost call)
    // applies them, so an effect applied later never comes before one
    // produced earlier, whatever the applying calls into.
    std::deque<Effect> effectQueue;
    bool applying = false;
    // Transfer outcomes known when a start is refused here (a stored blob
    // that cannot be read, a read report that cannot be built, a transport
    // still busy): handed to the core from the main loop, as every outcome.
    std::deque<std::pair<std::string, TransferResult>> outcomes;
    guint outcomeSource = 0;
    bool bearerUp = false;
    BearerState bearerState = BearerState::NoBearersActive;
    BearerInfo bearer;  // the bearer transfers go out on, as the modem side last reported it
};

// ---- glue (service.cpp)
// Queues the effects and, unless an outer call is applying already, applies
// the queue in order until it is empty.
void apply_effects(Service &s, const Effects &effects);
// The outcome of a transfer that never reached the transport: the core hears
// it from the main loop (never inside the effect that started it).
void report_outcome_later(Service &s, const std::string &id, TransferResult result);
// Removes the sources the glue keeps (timer, pending outcomes) at teardown.
void stop_glue(Service &s);
// A WAP push from any path (PushNotify, the oFono agent, the modem).
// False with an error name and text when it is refused.
bool take_push(Service &s, const std::vector<uint8_t> &push, const std::string &origin, std::string *errorName,
               std::string *why);
// Settings changed over the bus: saved, then applied to every part.
bool change_settings(Service &s, const std::vector<std::pair<std::string, GVariant *>> &changes, std::string *errorName,
                     std::string *why);
CoreConfig core_config(const Service &s);
void log_line(const std::string &text);
std::string iso_date(int64_t secs);
int run_service(const Settings &settings, bool systemBus);

// The bytes of an "ay" argument.
std::vector<uint8_t> bytes_of(GVariant *ay);

// ---- objects
void manager_export(Service &s);    // obj_manager.cpp: Manager + ModemManager on /org/ofono/mms
void service_export(Service &s);    // obj_service.cpp: Service on /org/ofono/mms/modemmanager
void agent_export(Service &s);      // obj_agent.cpp: the oFono push agent on the service path
// a{sv} of GetServices and GetProperties
GVariant *service_properties(const ServiceSettings &settings, const Core *core);
GVariant *settings_properties(const Settings &t);  // a{sv} of ViewSettings
// obj_message.cpp
std::string message_path(const std::string &id);
GVariant *message_properties(const Store &store, const ServiceSettings &settings, const Message &m,
                             size_t *bytes = nullptr);
GVariant *message_properties_brief(const Message &m);
// The cached properties, whole or brief (a new reference), built when missing.
GVariant *message_properties_cached(MessageDirectory &dir, const Store &store, const ServiceSettings &settings,
                                   const Message &m, size_t *bytes, bool brief = false);
void message_export(Service &s, const std::string &id);

}  // namespace rrd

#endif
