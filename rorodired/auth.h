// Who may call the service. The bus policy (org.ofono.mms.conf) already
// refuses strangers on the system bus; the service checks again itself:
//  - system bus: Service, Message and settings methods are for root and the
//    members of AllowedGroup; pushes (PushNotify, ReceiveNotification,
//    Release) only for root (the modem stack);
//  - session bus: only the user who owns the bus (the service's own user).
// The caller's credentials come from the bus (GetConnectionCredentials),
// asked without blocking the main loop and kept per connection until the
// connection leaves the bus.
#ifndef RORODIRED_AUTH_H
#define RORODIRED_AUTH_H

#include <gio/gio.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace rrd {

// What a method needs.
enum class Need {
    User,  // an allowed user: Service and Message methods, settings
    Root,  // the modem stack: methods that inject pushes
};

// The caller as the bus knows it.
struct CallerId {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);  // primary group from the user database
    std::vector<gid_t> groups;           // the connection's groups
    bool root = false;
    bool member = false;  // root, a member of AllowedGroup, or the session bus's owner
};

struct Auth;

// systemBus false: the session bus, where the service's own user is the owner.
Auth *auth_new(GDBusConnection *bus, bool systemBus, const std::string &allowedGroup);
void auth_free(Auth *a);
// AllowedGroup changed: cached answers are dropped.
void auth_set_group(Auth *a, const std::string &allowedGroup);

// Runs `then` with the caller once it is known and allowed at `need`;
// otherwise answers the invocation with org.freedesktop.DBus.Error.AccessDenied
// (and `then` never runs). `then` may run before auth_check returns (cached).
void auth_check(Auth *a, GDBusMethodInvocation *inv, Need need, std::function<void(const CallerId &)> then);

// Decides from credentials alone (the part auth_check applies once the bus answered).
bool auth_allows(const CallerId &c, Need need, bool systemBus);

}  // namespace rrd

#endif
