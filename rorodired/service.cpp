// The glue: starts the parts, applies the core's effects (signals, transfers,
// the timer), takes pushes from every path, applies settings changes, and
// ends cleanly when the bus goes away.
#include "service.h"

#include <glib-unix.h>
#include <grp.h>
#include <unistd.h>

#include <cstdio>

#include "failure_names.h"
#include "pdu.h"
#include "rr_post.h"

namespace rrd {

int64_t RealClock::mono_ms() const { return g_get_monotonic_time() / 1000; }
int64_t RealClock::wall_s() const { return g_get_real_time() / G_USEC_PER_SEC; }

void log_line(const std::string &text) { std::fprintf(stderr, "rorodired: %s\n", text.c_str()); }

std::string iso_date(int64_t secs) {
    GDateTime *t = g_date_time_new_from_unix_local(secs);
    if (!t) t = g_date_time_new_now_local();
    gchar *s = g_date_time_format(t, "%Y-%m-%dT%H:%M:%S%:z");
    std::string out = s;
    g_free(s);
    g_date_time_unref(t);
    return out;
}

std::vector<uint8_t> bytes_of(GVariant *ay) {
    gsize n = 0;
    const auto *p = static_cast<const uint8_t *>(g_variant_get_fixed_array(ay, &n, 1));
    return std::vector<uint8_t>(p, p + n);
}

bool ServiceSettings::write_back(Settings next, std::string *why) {
    if (!save_settings(next, why)) return false;
    values = std::move(next);
    return true;
}

CoreConfig core_config(const Service &s) {
    CoreConfig c = s.core ? s.core->config() : CoreConfig{};
    c.limits.maxAttachments = static_cast<size_t>(s.settings.values.maxAttachments);
    c.limits.maxMessageSize = static_cast<size_t>(s.settings.values.maxMessageSize);
    c.limits.maxAttachmentsSize = static_cast<size_t>(s.settings.values.maxAttachmentsSize);
    c.retry.retries = s.settings.values.retries;
    c.retry.firstDelayMs = static_cast<int64_t>(s.settings.values.retryDelay * 1000);
    c.receivedOwner = getuid();
    c.sendReadReports = s.settings.values.sendReadReports;
    c.receivedGroup = s.systemBus && s.allowedGid != static_cast<gid_t>(-1) ? s.allowedGid : getgid();
    return c;
}

namespace {

Service *g_running = nullptr;  // for the signal handlers of the process only

TransportSettings transport_settings(const Settings &t) {
    TransportSettings s{t.relayUrl, t.proxyHost, t.proxyPort, t.userAgent, t.userAgentProfile};
    // A download takes as much as a send may carry (an app may receive what
    // another phone like this one sent).
    if (t.maxMessageSize > 0) s.maxDownload = static_cast<uint32_t>(t.maxMessageSize);
    return s;
}


void emit_bearer(const BusObjects &o, BearerState state) {
    if (!o.modemManager) return;
    rrd_bus_mms_modem_manager_emit_bearer_handler_error(o.modemManager, g_variant_new_handle(static_cast<gint32>(state)));
}

void arm_timer(Service &s, int64_t atMs) {
    if (s.timer) g_source_remove(s.timer);
    const int64_t wait = std::max<int64_t>(0, atMs - s.clock.mono_ms());
    s.timer = g_timeout_add(static_cast<guint>(std::min<int64_t>(wait, G_MAXINT32)), [](gpointer user) -> gboolean {
        auto *svc = static_cast<Service *>(user);
        svc->timer = 0;
        apply_effects(*svc, svc->core->tick());
        return G_SOURCE_REMOVE;
    }, &s);
}

void start_transfer(Service &s, const effect::StartTransfer &e) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!s.store->read_blob(e.id, e.lane == Lane::Send ? Blob::Pdu : Blob::Notification, 0, &bytes, &why)) {
        TransferResult r;
        r.end = TransferEnd::Refused;
        r.why = "the stored message cannot be read: " + why;
        report_outcome_later(s, e.id, std::move(r));
        return;
    }
    bool started = false;
    if (e.readReport) {
        // The read report names the retrieved message's Message-ID and sender; the
        // relay inserts our address as its From.
        bool asked = false;
        std::vector<uint8_t> report =
            rrhost::read_report_of(bytes, 0x80, "", g_get_real_time() / 1000000, &why, &asked);
        if (report.empty()) {
            TransferResult r;
            r.end = TransferEnd::Refused;
            r.why = "the stored message " + why;
            report_outcome_later(s, e.id, std::move(r));
            return;
        }
        started = s.transport->start_read_report(e.id, std::move(report));
    } else {
        started = s.transport->start(e.id, e.lane, std::move(bytes));
    }
    if (started) {
        const std::string iface = s.transport->running_iface();
        log_line("transfer " + e.id + " goes out on " +
                 (iface.empty() ? std::string("the default route") : "interface " + iface) +
                 (s.bearer.dns_list().empty() || iface.empty() ? "" : ", names through DNS " + s.bearer.dns_list()));
        return;
    }
    // The transport still winds down another transfer: the core hears that this
    // one did not start and tries it again.
    log_line("a transfer still runs; " + e.id + " waits");
    TransferResult r;
    r.end = TransferEnd::NotStarted;
    r.why = "another transfer still runs";
    report_outcome_later(s, e.id, std::move(r));
}

template <class E>
GVariant *error_dict(const Core &core, const E &e, bool send) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    const Message *m = e.id.empty() ? nullptr : core.find(e.id);
    const guint32 type = m && m->responseStatus >= 0 ? static_cast<guint32>(m->responseStatus) : 0;
    g_variant_builder_add(&b, "{sv}", "ErrorType", g_variant_new_uint32(type));
    g_variant_builder_add(&b, "{sv}", "Host", g_variant_new_string(e.host.c_str()));
    if (!e.id.empty()) g_variant_builder_add(&b, "{sv}", "MessagePath", g_variant_new_string(message_path(e.id).c_str()));
    if constexpr (requires { e.from; })
        if (!send) g_variant_builder_add(&b, "{sv}", "From", g_variant_new_string(clean_text(e.from.data(), e.from.size(), kMaxAddressBytes).c_str()));
    g_variant_builder_add(&b, "{sv}", "Error", g_variant_new_string(error_name(e.error)));
    g_variant_builder_add(&b, "{sv}", "Text", g_variant_new_string(clean_text(e.text.data(), e.text.size(), 512).c_str()));
    return g_variant_builder_end(&b);
}

}  // namespace

void report_outcome_later(Service &s, const std::string &id, TransferResult result) {
    s.outcomes.emplace_back(id, std::move(result));
    if (s.outcomeSource) return;
    s.outcomeSource = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer user) -> gboolean {
        auto *svc = static_cast<Service *>(user);
        // One outcome per turn: the next one waits for the loop again.
        auto [id, r] = std::move(svc->outcomes.front());
        svc->outcomes.pop_front();
        apply_effects(*svc, svc->core->transfer_done(id, std::move(r)));
        if (!svc->outcomes.empty()) return G_SOURCE_CONTINUE;
        svc->outcomeSource = 0;
        return G_SOURCE_REMOVE;
    }, &s, nullptr);
}

void stop_glue(Service &s) {
    if (s.outcomeSource) g_source_remove(s.outcomeSource);
    s.outcomeSource = 0;
    s.outcomes.clear();
    if (s.timer) g_source_remove(s.timer);
    s.timer = 0;
    s.effectQueue.clear();
}

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void apply_one(Service &s, const Effect &effect) {
    if (const std::string &id = id_of(effect); !id.empty()) s.directory.forget(id);  // what GetMessages shows of it changed
    std::visit(Overloaded{
        [&](const effect::MessageAdded &e) {
            if (s.directory.objects.count(e.id)) return;  // on the bus already (loaded at start)
            const Message *m = s.core->find(e.id);
            if (!m) return;
            message_export(s, e.id);
            if (s.objects.service)
                rrd_bus_mms_service_emit_message_added(s.objects.service, message_path(e.id).c_str(),
                                                       message_properties(*s.store, s.settings, *m));
        },
        [&](const effect::PropertyChanged &e) {
            auto it = s.directory.objects.find(e.id);
            if (it != s.directory.objects.end())
                rrd_bus_mms_message_emit_property_changed(it->second, e.name.c_str(),
                                                          g_variant_new_variant(g_variant_new_string(e.value.c_str())));
        },
        [&](const effect::MessageRemoved &e) {
            if (!s.directory.objects.count(e.id)) return;
            s.directory.unexport(e.id);
            if (s.objects.service) rrd_bus_mms_service_emit_message_removed(s.objects.service, message_path(e.id).c_str());
        },
        [&](const effect::MessageSendError &e) {
            log_line("message " + e.id + " not sent: " + error_name(e.error) + ": " + e.text);
            if (s.objects.service) rrd_bus_mms_service_emit_message_send_error(s.objects.service, error_dict(*s.core, e, true));
        },
        [&](const effect::MessageReceiveError &e) {
            log_line("a message from " + e.from + " not received: " + error_name(e.error) + ": " + e.text);
            if (s.objects.service) rrd_bus_mms_service_emit_message_receive_error(s.objects.service, error_dict(*s.core, e, false));
        },
        [&](const effect::StartTransfer &e) { start_transfer(s, e); },
        [&](const effect::StopTransfer &e) {
            if (s.transport->busy() && s.transport->running_id() == e.id) s.transport->stop();
        },
        [&](const effect::ArmTimer &e) { arm_timer(s, e.atMs); },
        [&](const effect::NotificationInds &) {},  // read through GetProperties
        [&](const effect::WaitingForBearer &) { emit_bearer(s.objects, s.bearerState); },
        [&](const effect::Log &e) { log_line(e.text); },
    }, effect);
}

}  // namespace

void apply_effects(Service &s, const Effects &effects) {
    s.effectQueue.insert(s.effectQueue.end(), effects.begin(), effects.end());
    if (s.applying) return;  // the outer call applies them in turn
    s.applying = true;
    while (!s.effectQueue.empty()) {
        const Effect e = std::move(s.effectQueue.front());
        s.effectQueue.pop_front();
        apply_one(s, e);
    }
    s.applying = false;
}

bool take_push(Service &s, const std::vector<uint8_t> &push, const std::string &origin, std::string *errorName,
               std::string *why) {
    const size_t maxPush = core_config(s).limits.maxPushBytes;
    if (push.size() > maxPush) {
        *errorName = kInvalidArguments;
        *why = "a push of " + std::to_string(push.size()) + " bytes is larger than " + std::to_string(maxPush);
        log_line(origin + ": " + *why);
        return false;
    }
    PushKind kind = PushKind::Other;
    const std::vector<uint8_t> pdu = pdu_of_push(push, &kind, why);
    *errorName = kInvalidArguments;
    if (pdu.empty() || kind == PushKind::Other) {
        if (why->empty()) *why = "not an MMS push";
        return false;
    }
    if (kind == PushKind::DeliveryInd || kind == PushKind::ReadOrigInd) {
        Report r;
        if (!report_of_pdu(pdu, kind, &r, why)) return false;
        apply_effects(s, s.core->take_report(r));
        return true;
    }
    Notification n;
    if (!notification_of_ind(pdu, &n, why)) return false;
    std::string refused;
    if (!location_allowed(transport_settings(s.settings.values), n.location, &refused)) {
        *errorName = kRefused;
        *why = "the notification's location " + clean_text(n.location.data(), n.location.size(), 200) +
               " is refused: " + refused;
        log_line(origin + ": " + *why);
        std::string host = n.location.substr(n.location.find("://") == std::string::npos ? 0 : n.location.find("://") + 3);
        effect::MessageReceiveError e{.id = {},
                                      .error = Failure::Refused,
                                      .text = *why,
                                      .host = clean_text(host.data(), std::min(host.find('/'), host.size()), 200),
                                      .from = n.from};
        apply_effects(s, Effects{e});
        return false;
    }
    Answer a = s.core->take_notification(n, pdu, push.size());
    apply_effects(s, a.effects);
    if (a.ok() || a.refusal == Refusal::Duplicate) return true;  // a repeat is taken, nothing added
    *errorName = error_name(failure_of_refusal(a.refusal));
    *why = a.why;
    return false;
}

bool change_settings(Service &s, const std::vector<std::pair<std::string, GVariant *>> &changes, std::string *errorName,
                     std::string *why) {
    Settings next = s.settings.values;
    for (const auto &[key, value] : changes)
        if (!apply_setting(&next, key, value, why)) {
            *errorName = kInvalidArguments;
            return false;
        }
    const bool relayChanged = next.relayUrl != s.settings.values.relayUrl ||
                              next.proxy_text() != s.settings.values.proxy_text() ||
                              next.mmsApn != s.settings.values.mmsApn;
    if (!s.settings.write_back(std::move(next), why)) {
        *errorName = kTransientFailure;
        return false;
    }
    s.directory.forget("");
    s.core->set_config(core_config(s));
    s.transport->set_settings(transport_settings(s.settings.values));
    if (s.modem) modem_update_settings(s.modem, modem_settings(s.settings.values));
    const Settings &t = s.settings.values;
    if (relayChanged && s.objects.modemManager)
        rrd_bus_mms_modem_manager_emit_settings_changed(s.objects.modemManager, t.mmsApn.c_str(), t.relayUrl.c_str(),
                                                        t.proxyHost.empty() ? "NULL" : t.proxy_text().c_str());
    return true;
}

namespace {

// The bearer the modem side reports: the next transfers go out on it. A
// transfer running on a bearer that went away or changed (another address,
// another interface) is stopped; the queue takes it up again on the bearer
// of now, without counting an attempt.
void follow_bearer(Service &s, bool up, const std::string &iface) {
    const BearerInfo info = up ? modem_bearer_info(s.modem) : BearerInfo{};
    const std::string dns = info.dns_list();
    const std::string ifname = info.iface.empty() ? iface : info.iface;
    log_line(up ? "bearer up on " + (info.iface.empty() ? (iface.empty() ? std::string("an interface the modem stack does not name")
                                                                          : iface)
                                                        : info.describe())
                : std::string("bearer down"));
    const bool changed = !up || !(info == s.bearer);
    s.bearer = info;
    s.transport->set_bearer(up ? ifname : std::string(), up ? dns : std::string());
    if (changed && s.transport->busy() && !s.transport->running_id().empty()) {
        log_line("the bearer of transfer " + s.transport->running_id() + " " + (up ? "changed" : "went away") +
                 ": it is stopped and tried again");
        s.transport->stop();
    }
}

void start_modem(Service &s) {
    ModemSettings ms = modem_settings(s.settings.values);
    ms.agentBus = s.objects.bus;
    ms.agentPath = kServicePath;
    ModemCallbacks cb;
    cb.on_push = [&s](const std::vector<uint8_t> &push, const std::string &origin) {
        std::string errorName, why;
        if (!take_push(s, push, origin, &errorName, &why)) log_line(origin + ": push refused: " + why);
    };
    cb.on_bearer = [&s](bool up, BearerState state, const std::string &iface) {
        const bool wasUp = s.bearerUp;
        s.bearerUp = up;
        s.bearerState = state;
        follow_bearer(s, up, iface);
        if (!up) emit_bearer(s.objects, state);
        apply_effects(s, s.core->set_bearer(up));
        if (up && !wasUp && s.settings.values.autoProcessOnConnection) {
            if (s.modem) modem_rescan(s.modem);
            apply_effects(s, s.core->process_queue());
        }
    };
    cb.on_own_number = [&s](const std::string &number) {
        s.settings.modemNumber = number;
        s.directory.forget("");  // Modem Number of every message
    };
    cb.on_error = [](const std::string &text) { log_line("modem: " + text); };
    std::string why;
    s.modem = modem_start(ms, std::move(cb), &why);
    if (!s.modem) {
        log_line("the modem side cannot start: " + why + "; pushes come only through PushNotify");
        apply_effects(s, s.core->set_bearer(true));
    }
}

void on_bus_acquired(GDBusConnection *bus, const char *, gpointer user) {
    Service &s = *static_cast<Service *>(user);
    s.objects.bus = G_DBUS_CONNECTION(g_object_ref(bus));
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    s.objects.closedHandler = g_signal_connect(bus, "closed", G_CALLBACK(+[](GDBusConnection *, gboolean, GError *, gpointer u) {
                         auto *svc = static_cast<Service *>(u);
                         log_line("the bus went away");
                         svc->exitStatus = 1;
                         g_main_loop_quit(svc->loop);
                     }),
                     &s);
    s.auth = auth_new(bus, s.systemBus, s.settings.values.allowedGroup);
    manager_export(s);
    service_export(s);
    if (s.settings.values.backend == ModemBackend::Ofono) agent_export(s);
    for (const Message *m : s.core->messages()) message_export(s, m->id);
    // Everything is on the bus before the name is asked for: an app that
    // watches the name finds the service through GetServices once it
    // appears, and this signal (sent before we own the name) never reaches
    // it a second time.
    rrd_bus_mms_manager_emit_service_added(s.objects.manager, kServicePath,
                                           service_properties(s.settings, s.core.get()));
}

// The properties GetMessages gives are built ahead, a few hundred messages
// per turn of the main loop when it has nothing else to do, newest first.
void warm_properties(Service &s) {
    struct Warm {
        Service *s;
        size_t next = 0, total = 0;  // counted from the newest
    };
    s.directory.warmSource = g_idle_add_full(G_PRIORITY_LOW, [](gpointer user) -> gboolean {
        auto *w = static_cast<Warm *>(user);
        const std::vector<const Message *> all = w->s->core->messages();
        for (int n = 0; n < 500 && w->next < all.size(); ++n, ++w->next) {
            const Message &m = *all[all.size() - 1 - w->next];
            size_t bytes = 0;
            const bool brief = w->total >= kMaxReplyBytes;
            g_variant_unref(message_properties_cached(w->s->directory, *w->s->store, w->s->settings, m, &bytes, brief));
            w->total += bytes;
        }
        if (w->next < all.size()) return G_SOURCE_CONTINUE;
        w->s->directory.warmSource = 0;
        return G_SOURCE_REMOVE;
    }, new Warm{&s}, [](gpointer user) { delete static_cast<Warm *>(user); });
}

void on_name_acquired(GDBusConnection *, const char *name, gpointer user) {
    Service &s = *static_cast<Service *>(user);
    log_line(std::string("ready as ") + name + ", service " + kServicePath + ", relay " + s.settings.values.relayUrl +
             (s.settings.values.proxyHost.empty() ? "" : " through " + s.settings.values.proxy_text()) + ", " +
             std::to_string(s.core->messages().size()) + " stored messages");
    start_modem(s);
    warm_properties(s);
}

void on_name_lost(GDBusConnection *bus, const char *name, gpointer user) {
    Service &s = *static_cast<Service *>(user);
    log_line(bus ? std::string("cannot own the bus name ") + name +
                       " (another program has it, or the bus policy does not allow it)"
                 : std::string("cannot connect to the bus for ") + name);
    s.exitStatus = 1;
    g_main_loop_quit(s.loop);
}

// The store, the core on what it holds, and the transport; false (logged)
// when the store cannot be opened. *loaded: what loading asked for.
bool start_parts(Service &s, Effects *loaded) {
    StoreOptions so;
    so.dir = s.settings.values.storageDir + "/" + kStoreFolder;
    so.chownFiles = s.systemBus && geteuid() == 0;
    so.fileMode = 0640;
    so.log = log_line;
    std::string why;
    if (g_mkdir_with_parents(s.settings.values.storageDir.c_str(), 0700) != 0) {
        log_line("cannot create " + s.settings.values.storageDir);
        return false;
    }
    s.store = Store::open(so, &why);
    if (!s.store) {
        log_line(why);
        return false;
    }
    s.core = std::make_unique<Core>(core_config(s), s.clock, *s.store);
    s.transport = std::make_unique<Transport>(
        [&s](const std::string &id, TransferResult r) { apply_effects(s, s.core->transfer_done(id, std::move(r))); },
        [&s](const std::string &id, uint64_t bytes) { apply_effects(s, s.core->transfer_progress(id, bytes)); });
    s.transport->set_settings(transport_settings(s.settings.values));
    // The answer to the relay follows MessageAdded; its outcome goes to the log.
    s.transport->set_answer_done([](const std::string &id, bool ok, const std::string &why) {
        log_line(ok ? "the relay took the answer for " + id : "the answer to the relay for " + id + " failed: " + why);
    });
    // The queue waits for the bearer the modem side reports.
    *loaded = s.core->load(s.store->load());
    return true;
}

// Teardown of the bus side: nothing is emitted on a bus that went away.
void unexport_all(Service &s) {
    const bool busUp = s.objects.bus && !g_dbus_connection_is_closed(s.objects.bus);
    if (busUp && s.objects.manager) rrd_bus_mms_manager_emit_service_removed(s.objects.manager, kServicePath);
    for (auto &[id, obj] : s.directory.objects) {
        g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(obj));
        g_object_unref(obj);
    }
    s.directory.objects.clear();
    s.directory.forget("");
    for (gpointer sk : {static_cast<gpointer>(s.objects.manager), static_cast<gpointer>(s.objects.modemManager),
                        static_cast<gpointer>(s.objects.service), static_cast<gpointer>(s.objects.agent)})
        if (sk) {
            g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(sk));
            g_object_unref(sk);
        }
    auth_free(s.auth);
    if (busUp) g_dbus_connection_flush_sync(s.objects.bus, nullptr, nullptr);
}

}  // namespace

int run_service(const Settings &settings, bool systemBus) {
    Service s;
    s.settings.values = settings;
    s.systemBus = systemBus;
    if (struct group *g = getgrnam(settings.allowedGroup.c_str())) s.allowedGid = g->gr_gid;
    if (systemBus && s.allowedGid == static_cast<gid_t>(-1))
        log_line("AllowedGroup " + settings.allowedGroup + " does not exist: only root may use the service");

    Effects loaded;
    if (!start_parts(s, &loaded)) return 1;

    s.loop = g_main_loop_new(nullptr, FALSE);
    g_running = &s;
    const guint sigterm = g_unix_signal_add(SIGTERM, [](gpointer) -> gboolean {
        if (g_running) g_main_loop_quit(g_running->loop);
        return G_SOURCE_CONTINUE;
    }, nullptr);
    const guint sigint = g_unix_signal_add(SIGINT, [](gpointer) -> gboolean {
        if (g_running) g_main_loop_quit(g_running->loop);
        return G_SOURCE_CONTINUE;
    }, nullptr);
    const guint owner = g_bus_own_name(systemBus ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION, kBusName,
                                       G_BUS_NAME_OWNER_FLAGS_NONE, on_bus_acquired, on_name_acquired, on_name_lost, &s,
                                       nullptr);
    // What loading asked for (transfers, timers) runs once the loop does.
    const guint first = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer u) -> gboolean {
        auto *pair = static_cast<std::pair<Service *, Effects> *>(u);
        apply_effects(*pair->first, pair->second);
        return G_SOURCE_REMOVE;
    }, new std::pair<Service *, Effects>(&s, std::move(loaded)), [](gpointer u) {
        delete static_cast<std::pair<Service *, Effects> *>(u);
    });
    g_main_loop_run(s.loop);
    if (GSource *pending = g_main_context_find_source_by_id(nullptr, first)) g_source_destroy(pending);
    if (s.directory.warmSource) g_source_remove(s.directory.warmSource);

    // Teardown: nothing is emitted on a bus that went away.
    modem_stop(s.modem);
    s.modem = nullptr;
    s.transport.reset();
    stop_glue(s);
    unexport_all(s);
    g_bus_unown_name(owner);
    g_source_remove(sigterm);
    g_source_remove(sigint);
    if (s.objects.bus) {
        g_signal_handler_disconnect(s.objects.bus, s.objects.closedHandler);
        g_object_unref(s.objects.bus);
    }
    g_running = nullptr;
    g_main_loop_unref(s.loop);
    return s.exitStatus;
}

}  // namespace rrd
