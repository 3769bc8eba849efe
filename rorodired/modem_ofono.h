// rorodired: the oFono backend of modem.h. The service's push agent object
// (exported by the service on settings.agentBus at settings.agentPath) is
// registered with the oFono modem settings.ofonoModem through
// org.ofono.PushNotification.RegisterAgent, again whenever oFono (re)appears
// on that bus, and unregistered at stop. What the agent receives comes in
// through modem_agent_push (modem.h).
#ifndef RORODIRED_MODEM_OFONO_H
#define RORODIRED_MODEM_OFONO_H

#include "modem.h"

namespace rrd {

struct OfonoAgent;

// nullptr with *why when the settings name no modem, agent bus or path.
OfonoAgent *ofono_agent_start(const ModemSettings &s, const ModemCallbacks *cb, std::string *why);
void ofono_agent_stop(OfonoAgent *a);

}  // namespace rrd

#endif
