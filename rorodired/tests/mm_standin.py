#!/usr/bin/python3
# A stand-in ModemManager for tests: it owns org.freedesktop.ModemManager1 on
# the bus it is given and exports ModemManager's own interfaces, read from the
# interface files Debian's modemmanager-dev installs: one modem with
# Messaging, its SIM, a bearer (on `lo` unless told otherwise) and received
# SMS objects. Every property the interface files declare is there, with a
# zero value unless the stand-in gives it one.
#
# A test steers it through org.rorodire.Standin at /org/rorodire/Standin:
#   AddSms(s number, ay data, s text, b receiving) -> o   a received SMS (with
#       receiving, it shows State RECEIVING first and RECEIVED a moment later)
#   SetBearer(b present, b connected, s apn, s iface)     the modem's one bearer
#   SetBearerIp(a{sv} ip4, a{sv} ip6)                     the bearer's Ip4Config and Ip6Config while
#       connected (ModemManager's keys: method, address, prefix, gateway,
#       dns1..dns3, mtu); an empty dictionary leaves that family out. Until
#       it is called the bearer has 127.0.0.1/8 with DNS 127.0.0.1 and no IPv6.
#   SetOwnNumbers(as)
#   Calls() -> as                                         "Interface.Method arg" of each client call
#   Sms() -> ao                                           SMS objects still on the modem
#   DeleteSms(o)                                          another app deletes an SMS (Deleted is emitted)
# Usage: mm_standin.py --address BUS_ADDRESS [--no-bearer] [--disconnected]
#        [--apn APN] [--iface IFACE] [--own-number N] [--imsi IMSI] [--operator MCCMNC] [--sms HEX ...]
# It prints "ready" on stdout once it owns the name.
import argparse
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

IFDIR = "/usr/share/dbus-1/interfaces"
MM = "org.freedesktop.ModemManager1"
ROOT = "/org/freedesktop/ModemManager1"
MODEM = ROOT + "/Modem/0"
SIM = ROOT + "/SIM/0"
BEARER = ROOT + "/Bearer/0"
CONTROL = "/org/rorodire/Standin"

SMS_STATE_RECEIVING, SMS_STATE_RECEIVED = 2, 3
PDU_DELIVER = 1
MODEM_STATE_REGISTERED, MODEM_STATE_CONNECTED = 8, 11

OBJECT_MANAGER_XML = """<node><interface name='org.freedesktop.DBus.ObjectManager'>
 <method name='GetManagedObjects'><arg type='a{oa{sa{sv}}}' direction='out'/></method>
 <signal name='InterfacesAdded'><arg type='o'/><arg type='a{sa{sv}}'/></signal>
 <signal name='InterfacesRemoved'><arg type='o'/><arg type='as'/></signal>
</interface></node>"""

CONTROL_XML = """<node><interface name='org.rorodire.Standin'>
 <method name='AddSms'><arg type='s' direction='in'/><arg type='ay' direction='in'/>
  <arg type='s' direction='in'/><arg type='b' direction='in'/><arg type='o' direction='out'/></method>
 <method name='SetBearer'><arg type='b' direction='in'/><arg type='b' direction='in'/>
  <arg type='s' direction='in'/><arg type='s' direction='in'/></method>
 <method name='SetBearerIp'><arg type='a{sv}' direction='in'/><arg type='a{sv}' direction='in'/></method>
 <method name='SetOwnNumbers'><arg type='as' direction='in'/></method>
 <method name='Calls'><arg type='as' direction='out'/></method>
 <method name='Sms'><arg type='ao' direction='out'/></method>
 <method name='DeleteSms'><arg type='o' direction='in'/></method>
 <method name='AddMessaging'/>
</interface></node>"""


def interface_info(name):
    with open(f"{IFDIR}/{name}.xml") as f:
        return Gio.DBusNodeInfo.new_for_xml(f.read()).lookup_interface(name)


def split_signature(sig):
    """The complete types of a signature, in order."""
    out, i = [], 0
    while i < len(sig):
        j = i
        while sig[j] == "a":
            j += 1
        if sig[j] in "({":
            depth, k = 0, j
            while True:
                depth += sig[k] in "({"
                depth -= sig[k] in ")}"
                k += 1
                if depth == 0:
                    break
            j = k
        else:
            j += 1
        out.append(sig[i:j])
        i = j
    return out


def zero(sig):
    """The plain Python zero of a D-Bus type, for GLib.Variant(sig, ...)."""
    if sig.startswith("a{"):
        return {}
    if sig.startswith("a"):
        return [] if sig != "ay" else b""
    if sig.startswith("("):
        return tuple(zero(t) for t in split_signature(sig[1:-1]))
    return {"s": "", "o": "/", "g": "", "b": False, "d": 0.0, "v": GLib.Variant("s", "")}.get(sig, 0)


class Obj:
    """One exported object: its interfaces (from the interface files) and property values."""

    def __init__(self, conn, path, names):
        self.conn, self.path, self.ifaces, self.props, self.ids = conn, path, {}, {}, []
        for n in names:
            info = interface_info(n)
            self.ifaces[n] = info
            self.props[n] = {p.name: GLib.Variant(p.signature, zero(p.signature)) for p in info.properties}

    def register(self, on_call, only=None, skip=()):
        for name, info in self.ifaces.items():
            if name in skip or (only and name != only):
                continue
            self.ids.append(self.conn.register_object(
                self.path, info,
                lambda c, s, p, i, m, a, inv: on_call(self, i, m, a, inv),
                lambda c, s, p, i, prop: self.props[i][prop],
                None))

    def unregister(self):
        for i in self.ids:
            self.conn.unregister_object(i)
        self.ids = []

    def set(self, iface, values, emit=True):
        changed = {}
        for k, (sig, v) in values.items():
            self.props[iface][k] = changed[k] = GLib.Variant(sig, v)
        if emit and self.ids:
            self.conn.emit_signal(None, self.path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                  GLib.Variant("(sa{sv}as)", (iface, changed, [])))

    def all_props(self):
        return {i: dict(p) for i, p in self.props.items()}


class Standin:
    def __init__(self, conn, args):
        self.conn, self.args, self.calls, self.sms, self.next_sms = conn, args, [], {}, 0
        self.modem = Obj(conn, MODEM, [MM + ".Modem", MM + ".Modem.Messaging", MM + ".Modem.Modem3gpp"])
        self.sim = Obj(conn, SIM, [MM + ".Sim"])
        self.bearer = Obj(conn, BEARER, [MM + ".Bearer"])
        self.root = Obj(conn, ROOT, [MM])
        m = MM + ".Modem"
        self.modem.set(m, {
            "Sim": ("o", SIM), "Manufacturer": ("s", "rorodire"), "Model": ("s", "stand-in"),
            "Revision": ("s", "1"), "EquipmentIdentifier": ("s", "001010123456789"),
            "DeviceIdentifier": ("s", "standin0"), "Device": ("s", "/sys/devices/standin0"),
            "Plugin": ("s", "generic"), "PrimaryPort": ("s", "standin0"), "Drivers": ("as", ["standin"]),
            "Ports": ("a(su)", [("standin0", 1), (args.iface, 2)]),
            "OwnNumbers": ("as", [args.own_number] if args.own_number else []),
            "SignalQuality": ("(ub)", (80, True)), "PowerState": ("u", 3),
            "MaxBearers": ("u", 1), "MaxActiveBearers": ("u", 1),
            "SupportedIpFamilies": ("u", 7),
        }, emit=False)
        self.modem.set(MM + ".Modem.Modem3gpp", {
            "Imei": ("s", "001010123456789"), "RegistrationState": ("u", 1),
            "OperatorCode": ("s", args.operator), "OperatorName": ("s", "Test Network"),
        }, emit=False)
        self.modem.set(MM + ".Modem.Messaging", {"SupportedStorages": ("au", [2]), "DefaultStorage": ("u", 2)},
                       emit=False)
        self.sim.set(MM + ".Sim", {
            "Active": ("b", True), "SimIdentifier": ("s", "8900100000000000001"), "Imsi": ("s", args.imsi),
            "OperatorIdentifier": ("s", args.operator), "OperatorName": ("s", "Test Network"),
        }, emit=False)
        self.root.set(MM, {"Version": ("s", "1.20.4")}, emit=False)
        self.bearer_present = not args.no_bearer
        self.connected = not args.disconnected
        self.ip4 = {"method": GLib.Variant("u", 2), "address": GLib.Variant("s", "127.0.0.1"),
                    "prefix": GLib.Variant("u", 8), "dns1": GLib.Variant("s", "127.0.0.1"),
                    "mtu": GLib.Variant("u", 1500)}
        self.ip6 = {}
        self.bearer_state(not args.disconnected, args.apn, args.iface, emit=False)
        self.object_manager_id = conn.register_object(
            ROOT, Gio.DBusNodeInfo.new_for_xml(OBJECT_MANAGER_XML).interfaces[0],
            lambda c, s, p, i, m, a, inv: inv.return_value(GLib.Variant("(a{oa{sa{sv}}})", (self.managed(),))),
            None, None)
        self.control_id = conn.register_object(
            CONTROL, Gio.DBusNodeInfo.new_for_xml(CONTROL_XML).interfaces[0], self.control, None, None)
        # With --messaging-later the modem shows Messaging only on AddMessaging.
        self.messaging = not args.messaging_later
        for o in (self.root, self.modem, self.sim, self.bearer):
            o.register(self.on_call, skip=() if self.messaging or o is not self.modem else (MM + ".Modem.Messaging",))
        for h in args.sms:
            self.add_sms("+15550100009", bytes.fromhex(h), "", False, announce=False)

    def managed(self):
        props = self.modem.all_props()
        if not self.messaging:
            props.pop(MM + ".Modem.Messaging")
        return {MODEM: props}

    def bearer_state(self, connected, apn, iface, emit=True):
        self.connected = connected
        ip_type = (1 if self.ip4 else 0) | (2 if self.ip6 else 0)
        self.bearer.set(MM + ".Bearer", {
            "Interface": ("s", iface if connected else ""), "Connected": ("b", connected),
            "Properties": ("a{sv}", {"apn": GLib.Variant("s", apn), "ip-type": GLib.Variant("u", ip_type or 1)}),
            "Ip4Config": ("a{sv}", dict(self.ip4) if connected else {}),
            "Ip6Config": ("a{sv}", dict(self.ip6) if connected else {}),
            "BearerType": ("u", 1), "IpTimeout": ("u", 20),
        }, emit)
        m = MM + ".Modem"
        self.modem.set(m, {
            "Bearers": ("ao", [BEARER] if self.bearer_present else []),
            "State": ("i", MODEM_STATE_CONNECTED if self.bearer_present and connected else MODEM_STATE_REGISTERED),
        }, emit)

    def add_sms(self, number, data, text, receiving, announce=True):
        path = f"{ROOT}/SMS/{self.next_sms}"
        self.next_sms += 1
        o = Obj(self.conn, path, [MM + ".Sms"])
        o.set(MM + ".Sms", {
            "State": ("u", SMS_STATE_RECEIVING if receiving else SMS_STATE_RECEIVED), "PduType": ("u", PDU_DELIVER),
            "Number": ("s", number), "Data": ("ay", data), "Text": ("s", text), "SMSC": ("s", "+15550109999"),
            "Class": ("i", -1), "Timestamp": ("s", "2026-12-07T20:00:00+00:00"), "Storage": ("u", 2),
            "Validity": ("(uv)", (0, GLib.Variant("u", 0))),
        }, emit=False)
        o.register(self.on_call)
        self.sms[path] = o
        self.modem.set(MM + ".Modem.Messaging", {"Messages": ("ao", list(self.sms))}, emit=announce)
        if announce:
            self.conn.emit_signal(None, MODEM, MM + ".Modem.Messaging", "Added", GLib.Variant("(ob)", (path, True)))
        if receiving:
            GLib.timeout_add(200, lambda: o.set(MM + ".Sms", {"State": ("u", SMS_STATE_RECEIVED)}) and False)
        return path

    def delete_sms(self, path):
        o = self.sms.pop(path, None)
        if not o:
            return False
        o.unregister()
        self.modem.set(MM + ".Modem.Messaging", {"Messages": ("ao", list(self.sms))})
        self.conn.emit_signal(None, MODEM, MM + ".Modem.Messaging", "Deleted", GLib.Variant("(o)", (path,)))
        return True

    def on_call(self, obj, iface, method, args, inv):
        arg = " ".join(str(a) for a in args.unpack()) if args.n_children() else ""
        self.calls.append(f"{iface.rsplit('.', 1)[-1]}.{method} {arg}".strip())
        if iface == MM + ".Modem.Messaging" and method == "List":
            return inv.return_value(GLib.Variant("(ao)", (list(self.sms),)))
        if iface == MM + ".Modem.Messaging" and method == "Delete":
            if not self.delete_sms(args.unpack()[0]):
                return inv.return_dbus_error(MM + ".Error.Core.NotFound", "no such SMS")
            return inv.return_value(None)
        if iface == MM + ".Bearer" and method in ("Connect", "Disconnect"):
            self.bearer_state(method == "Connect", self.args.apn, self.args.iface)
            return inv.return_value(None)
        # Anything else a client asks for is answered as ModemManager does
        # for an operation the modem does not support.
        inv.return_dbus_error(MM + ".Error.Core.Unsupported", f"{method} is not supported by the stand-in")

    def control(self, conn, sender, path, iface, method, args, inv):
        a = args.unpack()
        if method == "AddSms":
            inv.return_value(GLib.Variant("(o)", (self.add_sms(a[0], bytes(a[1]), a[2], a[3]),)))
        elif method == "SetBearer":
            present, connected, apn, ifname = a
            self.args.apn, self.args.iface = apn, ifname
            self.bearer_present = present
            self.bearer_state(connected, apn, ifname)
            inv.return_value(None)
        elif method == "SetBearerIp":
            d4, d6 = args.get_child_value(0), args.get_child_value(1)
            self.ip4 = {k: d4.lookup_value(k, None) for k in a[0]}
            self.ip6 = {k: d6.lookup_value(k, None) for k in a[1]}
            self.bearer_state(self.connected, self.args.apn, self.args.iface)
            inv.return_value(None)
        elif method == "SetOwnNumbers":
            self.modem.set(MM + ".Modem", {"OwnNumbers": ("as", list(a[0]))})
            inv.return_value(None)
        elif method == "DeleteSms":
            self.delete_sms(a[0])
            inv.return_value(None)
        elif method == "AddMessaging":
            if not self.messaging:
                self.messaging = True
                self.modem.register(self.on_call, only=MM + ".Modem.Messaging")
                added = {MM + ".Modem.Messaging": self.modem.props[MM + ".Modem.Messaging"]}
                self.conn.emit_signal(None, ROOT, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                                      GLib.Variant("(oa{sa{sv}})", (MODEM, added)))
            inv.return_value(None)
        elif method == "Calls":
            inv.return_value(GLib.Variant("(as)", (self.calls,)))
        else:
            inv.return_value(GLib.Variant("(ao)", (list(self.sms),)))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--address", required=True)
    p.add_argument("--no-bearer", action="store_true")
    p.add_argument("--disconnected", action="store_true")
    p.add_argument("--apn", default="mms.test")
    p.add_argument("--iface", default="lo")
    p.add_argument("--own-number", default="+15550100001")
    p.add_argument("--imsi", default="001010000000001", help="the SIM's IMSI (its MCC gives mmsd-tng its country)")
    p.add_argument("--operator", default="00101", help="MCC and MNC of the SIM and the network (00101: a test network)")
    p.add_argument("--sms", nargs="*", default=[], help="received SMS already on the modem (Data as hex)")
    p.add_argument("--messaging-later", action="store_true", help="the modem shows Messaging only on AddMessaging")
    args = p.parse_args()
    conn = Gio.DBusConnection.new_for_address_sync(
        args.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    standin = Standin(conn, args)  # noqa: F841 (kept alive by the loop)
    loop = GLib.MainLoop()

    def acquired(*_):
        print("ready", flush=True)

    def lost(*_):
        print("cannot own " + MM, file=sys.stderr, flush=True)
        loop.quit()

    Gio.bus_own_name_on_connection(conn, MM, Gio.BusNameOwnerFlags.NONE, acquired, lost)
    conn.connect("closed", lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
