#!/usr/bin/python3
# rorodired and the tool on a phone whose Wi-Fi is the default route, in
# network namespaces this test makes and removes (as root):
#
#   phone:    wlan0 192.168.50.2/24, fd00:50::2/64: default routes with metric
#             100, into a "wifi" namespace where every route is unreachable;
#             the phone's resolv.conf (its own mount namespace, as `ip netns
#             exec` gives it from /etc/netns) names 203.0.113.53 on that side.
#             wwan0 10.64.0.2/29, fd00:64::2/64: default routes with metric
#             700, to the operator.
#   operator: the gateway 10.64.0.1, fd00:64::1 (forwarding), dnsmasq on it
#             (mmsc.operator.test: A only, mmsc6.operator.test: AAAA only),
#             tinyproxy on 10.64.0.1:8888 and [fd00:64::1]:8888, a blackhole
#             192.0.2.53 (a DNS server that never answers).
#   relay:    the development relay on 198.51.100.10:8002 and
#             [2001:db8:100::10]:8002, behind the operator's gateway (its own
#             subnet, not the bearer's).
#
# The ModemManager stand-in reports the bearer on wwan0 with its Ip4Config /
# Ip6Config; rorodired must receive and send through it with the relay given
# by name, with and without the proxy, over IPv4 and IPv6 only, past a DNS
# server that does not answer, and after the bearer reconnects with a new
# address, and with the oFono backend (a fake oFono whose active "mms"
# context carries the Settings); the tool does the same with
# --interface/--dns. mmsd-tng runs on
# the same namespaces as the reference when it is installed.
# Usage: rorodired_netns_test.py RORODIRED RORODIRE_TOOL STANDIN
import os
import shutil
import subprocess
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, wap_push  # noqa: E402

DAEMON, TOOL, STANDIN = sys.argv[1:4]
BUS = "org.ofono.mms"
SERVICE = "/org/ofono/mms/modemmanager"
MM = "org.freedesktop.ModemManager1"
OWN = "+15550100001"
LIMIT = 30

TAG = "rr%d" % (os.getpid() % 100000)
PHONE, WIFI, OPER, RELAY = TAG + "phone", TAG + "wifi", TAG + "oper", TAG + "relay"
NAMESPACES = [PHONE, WIFI, OPER, RELAY]
RELAY4, RELAY6 = "198.51.100.10", "2001:db8:100::10"
URL4, URL6 = "http://mmsc.operator.test:8002/mms", "http://mmsc6.operator.test:8002/mms"

run = lib.Run("rorodired-netns-test.", LIMIT)
work, failures = run.work, run.failures
check, start, first_line, wait_for = run.check, run.start, run.wait_file_line, run.wait_for


def sh(*cmd, ns=None, check_rc=True):
    argv = (["ip", "netns", "exec", ns] if ns else []) + list(cmd)
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check_rc and r.returncode != 0:
        raise SystemExit("%s: %s" % (" ".join(argv), r.stderr.strip()))
    return r


def ns_argv(ns, *cmd):
    return ["ip", "netns", "exec", ns] + list(cmd)


def build_network():
    for ns in NAMESPACES:
        sh("ip", "netns", "add", ns)
        sh("ip", "link", "set", "lo", "up", ns=ns)
    # /etc/netns/NS/resolv.conf is what `ip netns exec NS` bind-mounts over /etc/resolv.conf.
    for ns, server in ((PHONE, "203.0.113.53"), (OPER, "10.64.0.1"), (RELAY, "10.64.0.1"), (WIFI, "203.0.113.53")):
        os.makedirs("/etc/netns/" + ns, exist_ok=True)
        with open("/etc/netns/%s/resolv.conf" % ns, "w") as f:
            f.write("nameserver %s\n" % server)

    def veth(a, ns_a, b, ns_b):
        sh("ip", "link", "add", a, "netns", ns_a, "type", "veth", "peer", "name", b, "netns", ns_b)
        sh("ip", "link", "set", a, "up", ns=ns_a)
        sh("ip", "link", "set", b, "up", ns=ns_b)

    veth("wlan0", PHONE, "ap0", WIFI)
    veth("wwan0", PHONE, "bs0", OPER)
    veth("up0", OPER, "eth0", RELAY)
    for ns, dev, addrs in ((PHONE, "wlan0", ["192.168.50.2/24", "fd00:50::2/64"]),
                           (WIFI, "ap0", ["192.168.50.1/24", "fd00:50::1/64"]),
                           (PHONE, "wwan0", ["10.64.0.2/29", "fd00:64::2/64"]),
                           (OPER, "bs0", ["10.64.0.1/29", "fd00:64::1/64"]),
                           (OPER, "up0", ["198.51.100.1/24", "2001:db8:100::1/64"]),
                           (RELAY, "eth0", [RELAY4 + "/24", RELAY6 + "/64"])):
        for a in addrs:
            sh("ip", "addr", "add", a, "dev", dev, *(["nodad"] if ":" in a else []), ns=ns)
    # Wi-Fi: the preferred default route, leading nowhere.
    sh("ip", "route", "add", "default", "via", "192.168.50.1", "metric", "100", ns=PHONE)
    sh("ip", "-6", "route", "add", "default", "via", "fd00:50::1", "metric", "100", ns=PHONE)
    for cmd in (["sysctl", "-qw", "net.ipv4.ip_forward=1"], ["sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"],
                ["ip", "route", "add", "unreachable", "default"], ["ip", "-6", "route", "add", "unreachable", "default"]):
        sh(*cmd, ns=WIFI)
    # The bearer: a default route of its own, with the higher metric.
    sh("ip", "route", "add", "default", "via", "10.64.0.1", "dev", "wwan0", "metric", "700", ns=PHONE)
    sh("ip", "-6", "route", "add", "default", "via", "fd00:64::1", "dev", "wwan0", "metric", "700", ns=PHONE)
    for cmd in (["sysctl", "-qw", "net.ipv4.ip_forward=1"], ["sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"],
                ["ip", "route", "add", "blackhole", "192.0.2.53/32"]):
        sh(*cmd, ns=OPER)
    sh("ip", "route", "add", "default", "via", "198.51.100.1", ns=RELAY)
    sh("ip", "-6", "route", "add", "default", "via", "2001:db8:100::1", ns=RELAY)


def tear_down():
    for ns in NAMESPACES:
        subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        shutil.rmtree("/etc/netns/" + ns, ignore_errors=True)
    try:
        os.rmdir("/etc/netns")  # only when no other namespace keeps files there
    except OSError:
        pass


def start_operator():
    start(ns_argv(OPER, "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--no-poll", "--user=root",
                  "--bind-interfaces", "--listen-address=10.64.0.1,fd00:64::1", "--except-interface=lo",
                  "--host-record=mmsc.operator.test," + RELAY4, "--host-record=mmsc6.operator.test," + RELAY6,
                  "--log-queries", "--log-facility=" + os.path.join(work, "dnsmasq.log"),
                  "--pid-file=" + os.path.join(work, "dnsmasq.pid")),
          stderr=open(os.path.join(work, "dnsmasq.err"), "w"))
    os.chmod(work, 0o755)  # tinyproxy runs as nobody and writes its log here
    for name, listen in (("proxy4", "10.64.0.1"), ("proxy6", "fd00:64::1")):
        conf = os.path.join(work, name + ".conf")
        with open(conf, "w") as f:
            f.write("User nobody\nGroup nogroup\nPort 8888\nListen %s\nTimeout 30\nLogLevel Info\n"
                    "LogFile \"%s\"\nMaxClients 20\nDisableViaHeader Yes\n" % (listen, os.path.join(work, name + ".log")))
        open(os.path.join(work, name + ".log"), "w").close()
        os.chmod(os.path.join(work, name + ".log"), 0o666)
        start(ns_argv(OPER, "tinyproxy", "-d", "-c", conf), stdout=subprocess.DEVNULL,
              stderr=open(os.path.join(work, name + ".err"), "w"))
    for name, addr in (("relay4", RELAY4), ("relay6", RELAY6)):
        err = os.path.join(work, name + ".err")
        p = start(ns_argv(RELAY, TOOL, "relay", "--listen", addr, "--port", "8002", "--spool",
                          os.path.join(work, name + "-spool"), "--log", os.path.join(work, name + ".log")),
                  stderr=open(err, "w"))
        first_line(err, "listening on", p)
    # dnsmasq answers before the rows start.
    wait_for(lambda: sh("bash", "-c", "exec 3<>/dev/tcp/10.64.0.1/53", ns=OPER, check_rc=False).returncode == 0,
             "dnsmasq listening")


def relay_log(name):
    path = os.path.join(work, name + ".log")
    if not os.path.exists(path):
        return []
    import json
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def exchanges(relay, kind):
    return [e for e in relay_log(relay) if e.get("type") == kind]


def compose(subject, to=OWN):
    text = os.path.join(work, "hello.txt")
    with open(text, "w") as f:
        f.write("hello over the bearer\n")
    pdu = os.path.join(work, "out-%d.pdu" % time.monotonic_ns())
    subprocess.run([TOOL, "compose", "-o", pdu, "--to", to, "--from", "+15550100002", "--subject", subject,
                    "--slide", "text=" + text], check=True, stdout=subprocess.DEVNULL)
    return pdu


def notification_from_other_phone(subject, v6):
    """The other phone sends to us through the relay (from the relay's own
    namespace); our notification, its Content-Location naming the relay by
    its host name, as an operator's does."""
    relay = "relay6" if v6 else "relay4"
    addr = "[%s]" % RELAY6 if v6 else RELAY4
    before = len(exchanges(relay, "m-send-req"))
    sh(TOOL, "send", "--relay", "http://%s:8002/mms" % addr, compose(subject), ns=RELAY)
    note = exchanges(relay, "m-send-req")[before]["notifications"][0]["file"]
    with open(note, "rb") as f:
        pdu = f.read()
    name = b"mmsc6.operator.test" if v6 else b"mmsc.operator.test"
    check(addr.encode() in pdu, "the relay's notification names %s" % addr)
    return pdu.replace(addr.encode(), name)


class Phone:
    """The stand-in ModemManager and rorodired in the phone namespace."""

    def __init__(self, system, session):
        self.system, self.session = system, session
        out = os.path.join(work, "standin.out")
        p = start(["/usr/bin/python3", STANDIN, "--address", system, "--own-number", OWN, "--apn", "mms.operator",
                   "--iface", "wwan0", "--operator", "23410"], stdout=open(out, "w"))
        first_line(out, "ready", p)
        self.sysconn = connect(system)
        self.conn = connect(session)
        self.signals = []
        self.conn.signal_subscribe(None, None, None, None, None, Gio.DBusSignalFlags.NONE,
                                   lambda c, s, path, i, name, params: self.signals.append((path, name, params.unpack())))
        self.service = None
        self.runs = 0

    def call(self, conn, dest, path, iface, method, args=None, reply=None):
        return conn.call_sync(dest, path, iface, method, args, GLib.VariantType(reply) if reply else None,
                              Gio.DBusCallFlags.NONE, 10000, None).unpack()

    def standin(self, method, args=None, reply=None):
        return self.call(self.sysconn, MM, "/org/rorodire/Standin", "org.rorodire.Standin", method, args, reply)

    def bearer(self, ip4=None, ip6=None, connected=True):
        def dict_of(c):
            if not c:
                return {}
            d = {"method": GLib.Variant("u", 2), "address": GLib.Variant("s", c[0]), "prefix": GLib.Variant("u", c[1]),
                 "gateway": GLib.Variant("s", c[2])}
            for i, server in enumerate(c[3]):
                d["dns%d" % (i + 1)] = GLib.Variant("s", server)
            return d
        self.standin("SetBearerIp", GLib.Variant("(a{sv}a{sv})", (dict_of(ip4), dict_of(ip6))))
        self.standin("SetBearer", GLib.Variant("(bbss)", (True, connected, "mms.operator", "wwan0")))

    def start(self, url, proxy="", service_extra=""):
        self.stop()
        self.runs += 1
        self.err = os.path.join(work, "rorodired-%d.err" % self.runs)
        conf = os.path.join(work, "rorodired-%d.conf" % self.runs)
        with open(conf, "w") as f:
            f.write("[Service]\nStorageDir=%s\nRetryDelay=0.2\n%s[Modem Manager]\nCarrierMMSC=%s\n%s"
                    "MMS_APN=mms.operator\nAutoProcessSMSWAP=true\nAutoProcessOnConnection=true\n"
                    % (os.path.join(work, "store-%d" % self.runs), service_extra, url,
                       "CarrierMMSProxy=%s\n" % proxy if proxy else ""))
        self.signals.clear()
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.session, DBUS_SYSTEM_BUS_ADDRESS=self.system)
        self.service = start(ns_argv(PHONE, DAEMON, "--config", conf, "--session"), env=env,
                             stderr=open(self.err, "w"))
        wait_for(lambda: self.log_has("bearer up on wwan0"), "rorodired sees the bearer on wwan0")

    def stop(self):
        if self.service and self.service.poll() is None:
            self.service.terminate()
            self.service.wait(10)
        self.service = None

    def log(self):
        with open(self.err) as f:
            return f.read()

    def log_has(self, text):
        return text in self.log()

    def received(self, subject):
        return [s for s in self.signals if s[1] == "MessageAdded" and s[2][1].get("Status") == "received"
                and s[2][1].get("Subject") == subject]

    def receive(self, subject, v6, what):
        self.standin("AddSms", GLib.Variant("(saysb)", ("+15550100002", wap_push(notification_from_other_phone(subject, v6)),
                                                        "", False)), "(o)")
        try:
            wait_for(lambda: self.received(subject), what)
        except SystemExit:
            check(False, what + "; rorodired said:\n" + self.log()[-1500:])
            return False
        return True

    def send(self, what, relay):
        with open(os.path.join(work, "note.txt"), "w") as f:
            f.write("sent over the bearer\n")
        before = len(exchanges(relay, "m-send-req"))
        path = self.call(self.conn, BUS, SERVICE, "org.ofono.mms.Service", "SendMessage",
                         GLib.Variant("(asva(sss))", (["+15550100002"], GLib.Variant("a{sv}", {"Subject": GLib.Variant("s", what)}),
                                                      [("note.txt", "text/plain", os.path.join(work, "note.txt"))])),
                         "(o)")[0]
        try:
            wait_for(lambda: [s for s in self.signals if s[0] == path and s[1] == "PropertyChanged"
                              and s[2] == ("status", "sent")], what)
        except SystemExit:
            check(False, what + "; rorodired said:\n" + self.log()[-1500:])
            return
        check(len(exchanges(relay, "m-send-req")) == before + 1, what + ": one m-send-req at the relay")


V4 = ("10.64.0.2", 29, "10.64.0.1", ["10.64.0.1"])
V6 = ("fd00:64::2", 64, "fd00:64::1", ["fd00:64::1"])


def service_rows(phone):
    # IPv4, the relay by name, no proxy: receive and send; then the bearer
    # reconnects with a new address and the next message comes through it.
    phone.bearer(ip4=V4)
    phone.start(URL4)
    phone.receive("v4 by name", False, "received over IPv4 with the relay by name")
    phone.send("sent over IPv4 by name", "relay4")
    check(phone.log_has("goes out on interface wwan0, names through DNS 10.64.0.1"),
          "the log names the interface and DNS a transfer used")
    phone.standin("SetBearer", GLib.Variant("(bbss)", (True, False, "mms.operator", "wwan0")))
    sh("ip", "addr", "del", "10.64.0.2/29", "dev", "wwan0", ns=PHONE)
    sh("ip", "addr", "add", "10.64.0.3/29", "dev", "wwan0", ns=PHONE)
    sh("ip", "route", "replace", "default", "via", "10.64.0.1", "dev", "wwan0", "metric", "700", ns=PHONE)
    phone.bearer(ip4=("10.64.0.3", 29, "10.64.0.1", ["10.64.0.1"]))
    wait_for(lambda: phone.log_has("10.64.0.3/29"), "rorodired takes the reconnected bearer")
    phone.receive("after the reconnect", False, "received after the bearer reconnected with a new address")

    # The bearer goes away while a download hangs at the relay: the transfer
    # is stopped, not failed, and goes through once the bearer is back.
    sh("/usr/bin/python3", "-c", "import urllib.request; urllib.request.urlopen("
       "'http://%s:8002/control?fault=get:stall').read()" % RELAY4, ns=RELAY)
    subject = "across a lost bearer"
    phone.standin("AddSms", GLib.Variant("(saysb)", ("+15550100002", wap_push(notification_from_other_phone(subject, False)),
                                                    "", False)), "(o)")
    wait_for(lambda: phone.log().count("goes out on interface wwan0") >= 4, "the download over the bearer")
    time.sleep(0.5)
    phone.standin("SetBearer", GLib.Variant("(bbss)", (True, False, "mms.operator", "wwan0")))
    wait_for(lambda: phone.log_has("went away: it is stopped and tried again"), "the transfer stopped with its bearer")
    check(not [s for s in phone.signals if s[1] == "MessageReceiveError"], "no receive error for a lost bearer")
    phone.standin("SetBearer", GLib.Variant("(bbss)", (True, True, "mms.operator", "wwan0")))
    try:
        wait_for(lambda: phone.received(subject), "the download once the bearer is back")
    except SystemExit:
        check(False, "the download across a lost bearer; rorodired said:\n" + phone.log()[-1500:])

    # The first DNS server never answers: its deadline, then the next.
    phone.bearer(ip4=("10.64.0.3", 29, "10.64.0.1", ["192.0.2.53", "10.64.0.1"]))
    wait_for(lambda: phone.log_has("DNS 192.0.2.53,10.64.0.1"), "rorodired takes the bearer with two DNS servers")
    phone.receive("past a silent DNS server", False, "received past a DNS server that does not answer")

    # Through the operator's proxy (IPv4).
    phone.bearer(ip4=("10.64.0.3", 29, "10.64.0.1", ["10.64.0.1"]))
    phone.start(URL4, "10.64.0.1:8888")
    phone.receive("v4 through the proxy", False, "received through the proxy over IPv4")
    phone.send("sent through the proxy", "relay4")
    with open(os.path.join(work, "proxy4.log")) as f:
        check("mmsc.operator.test" in f.read(), "the IPv4 proxy carried the requests")

    # IPv6 only: a bearer with only Ip6Config, the relay's name with only AAAA.
    sh("ip", "-4", "addr", "flush", "dev", "wwan0", ns=PHONE)
    phone.bearer(ip6=V6)
    phone.start(URL6)
    phone.receive("v6 only", True, "received over an IPv6-only bearer")
    phone.send("sent over IPv6 only", "relay6")
    # ... and the proxy given as an IPv6 literal.
    phone.start(URL6, "[fd00:64::1]:8888")
    phone.receive("v6 through the proxy", True, "received through the IPv6 proxy literal")
    with open(os.path.join(work, "proxy6.log")) as f:
        check("mmsc6.operator.test" in f.read(), "the IPv6 proxy carried the requests")
    phone.stop()
    sh("ip", "addr", "add", "10.64.0.2/29", "dev", "wwan0", ns=PHONE)
    sh("ip", "route", "replace", "default", "via", "10.64.0.1", "dev", "wwan0", "metric", "700", ns=PHONE)


OFONO_XML = """<node>
<interface name='org.ofono.PushNotification'>
 <method name='RegisterAgent'><arg type='o' direction='in'/></method>
 <method name='UnregisterAgent'><arg type='o' direction='in'/></method></interface>
<interface name='org.ofono.ConnectionManager'>
 <method name='GetContexts'><arg type='a(oa{sv})' direction='out'/></method></interface>
</node>"""


def ofono_row(phone):
    """The oFono backend: the bearer is the active "mms" context, read from
    its Settings (Interface, Address, DomainNameServers)."""
    settings = {"Interface": GLib.Variant("s", "wwan0"), "Method": GLib.Variant("s", "static"),
                "Address": GLib.Variant("s", "10.64.0.2"), "Netmask": GLib.Variant("s", "255.255.255.248"),
                "Gateway": GLib.Variant("s", "10.64.0.1"), "DomainNameServers": GLib.Variant("as", ["10.64.0.1"])}
    contexts = [("/ril_0/context1", {"Type": GLib.Variant("s", "internet"), "Active": GLib.Variant("b", True),
                                     "AccessPointName": GLib.Variant("s", "internet.operator"),
                                     "Settings": GLib.Variant("a{sv}", {"Interface": GLib.Variant("s", "wlan0")})}),
                ("/ril_0/context2", {"Type": GLib.Variant("s", "mms"), "Active": GLib.Variant("b", True),
                                     "AccessPointName": GLib.Variant("s", "mms.operator"),
                                     "Settings": GLib.Variant("a{sv}", settings),
                                     "IPv6.Settings": GLib.Variant("a{sv}", {})})]
    agents = []

    def on_call(c, sender, path, iface, method, params, inv):
        if method == "GetContexts":
            return inv.return_value(GLib.Variant("(a(oa{sv}))", (contexts,)))
        agents.append(method)
        inv.return_value(None)

    node = Gio.DBusNodeInfo.new_for_xml(OFONO_XML)
    ids = [phone.conn.register_object("/ril_0", i, on_call, None, None) for i in node.interfaces]
    owner = Gio.bus_own_name_on_connection(phone.conn, "org.ofono", Gio.BusNameOwnerFlags.NONE, None, None)
    try:
        phone.start(URL4, service_extra="Backend=oFono\nOfonoModem=/ril_0\n")
        check(phone.log_has("bearer up on wwan0 (APN mms.operator, 10.64.0.2/29, DNS 10.64.0.1)"),
              "the oFono backend takes the mms context's Settings:\n" + phone.log()[-800:])
        wait_for(lambda: "RegisterAgent" in agents, "rorodired registers its push agent with oFono")
        subject = "through oFono's context"
        phone.call(phone.conn, BUS, SERVICE, "org.ofono.PushNotificationAgent", "ReceiveNotification",
                   GLib.Variant("(aya{sv})", (wap_push(notification_from_other_phone(subject, False)), {})))
        try:
            wait_for(lambda: phone.received(subject), "received with the oFono backend")
        except SystemExit:
            check(False, "received with the oFono backend; rorodired said:\n" + phone.log()[-1500:])
        phone.stop()
    finally:
        Gio.bus_unown_name(owner)
        for i in ids:
            phone.conn.unregister_object(i)


def tool_rows():
    for v6 in (False, True):
        url, relay, dns = (URL6, "relay6", "fd00:64::1") if v6 else (URL4, "relay4", "10.64.0.1")
        pdu = compose("tool over the bearer")
        before = len(exchanges(relay, "m-send-req"))
        r = sh(TOOL, "send", "--relay", url, "--interface", "wwan0", "--dns", dns, pdu, ns=PHONE, check_rc=False)
        check(r.returncode == 0, "rorodire send --interface wwan0 --dns %s: %s" % (dns, r.stderr.strip()))
        check(len(exchanges(relay, "m-send-req")) == before + 1, "the tool's send reached %s" % relay)
        note = os.path.join(work, "tool-note-%d.ind" % v6)
        with open(note, "wb") as f:
            f.write(notification_from_other_phone("tool fetch", v6))
        out = os.path.join(work, "tool-fetched-%d.pdu" % v6)
        r = sh(TOOL, "fetch", "--relay", url, "--interface", "wwan0", "--dns", dns, note, "-o", out, ns=PHONE,
               check_rc=False)
        check(r.returncode == 0 and os.path.getsize(out) > 0, "rorodire fetch over the bearer: %s" % r.stderr.strip())
        r = sh(TOOL, "read-report", "--relay", url, "--interface", "wwan0", "--dns", dns, out, ns=PHONE,
               check_rc=False)
        check(r.returncode == 0, "rorodire read-report over the bearer: %s" % r.stderr.strip())
    # Without them the default route (Wi-Fi) and the system resolver are dead.
    r = sh("timeout", "20", TOOL, "send", "--relay", "http://%s:8002/mms" % RELAY4, compose("no bearer"), ns=PHONE,
           check_rc=False)
    check(r.returncode != 0, "without --interface the send goes out on Wi-Fi and fails")
    # A DNS server that never answers: the failure says so.
    r = sh(TOOL, "send", "--relay", URL4, "--interface", "wwan0", "--dns", "192.0.2.53", compose("silent dns"),
           ns=PHONE, check_rc=False)
    check(r.returncode != 0 and "no DNS server answered" in r.stderr,
          "a silent DNS server is named as the cause: %s" % r.stderr.strip())


def mmsd_tng_reference(phone, system, session):
    """mmsd-tng on the same namespaces (skipped when not installed): it must
    fetch a message announced by name over the bearer too."""
    if not os.path.exists("/usr/bin/mmsdtng"):
        print("mmsd-tng is not installed: its reference row is skipped")
        return
    home = os.path.join(work, "mmsd-home")
    os.makedirs(os.path.join(home, ".mms", "modemmanager"), exist_ok=True)
    with open(os.path.join(home, ".mms", "modemmanager", "mms"), "w") as f:
        f.write("[Modem Manager]\nCarrierMMSC=%s\nCarrierMMSProxy=NULL\nDefaultModemNumber=NULL\n"
                "MMS_APN=mms.operator\nAutoProcessSMSWAP=true\nAutoProcessOnConnection=true\n" % URL4)
    err = os.path.join(work, "mmsdtng.err")
    env = dict(os.environ, HOME=home, DBUS_SESSION_BUS_ADDRESS=session, DBUS_SYSTEM_BUS_ADDRESS=system)
    phone.bearer(ip4=V4)
    phone.signals.clear()
    p = start(ns_argv(PHONE, "/usr/bin/mmsdtng", "-d"), env=env, stderr=open(err, "w"), stdout=subprocess.DEVNULL)
    phone.err = err
    ok = phone.receive("mmsd-tng reference", False, "mmsd-tng (the reference) receives over the bearer by name")
    print("mmsd-tng reference: %s" % ("received" if ok else "did not receive"), file=sys.stderr)
    if p.poll() is None:
        p.terminate()
        p.wait(10)


def main():
    if os.geteuid() != 0:
        raise SystemExit("this test makes network namespaces: it must run as root")
    for tool in ("ip", "dnsmasq", "tinyproxy", "dbus-daemon"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            raise SystemExit("%s is needed (scripts/deps.sh test installs it)" % tool)
    build_network()
    start_operator()
    system, _ = run.start_bus("system")
    session, _ = run.start_bus("session")
    phone = Phone(system, session)
    service_rows(phone)
    ofono_row(phone)
    tool_rows()
    mmsd_tng_reference(phone, system, session)


t0 = time.monotonic()
try:
    main()
except SystemExit as e:
    failures.append(str(e))
    print("FAIL:", e, file=sys.stderr)
finally:
    run.stop_all()
    tear_down()
    print("netns rows took %.1f s" % (time.monotonic() - t0), file=sys.stderr)
    if failures:
        print("files kept in", work, file=sys.stderr)
        for name in sorted(os.listdir(work)):
            if name.endswith(".err"):
                with open(os.path.join(work, name)) as f:
                    sys.stderr.write("---- %s\n%s" % (name, f.read()[-2000:]))
    else:
        run.remove_work()
sys.exit(1 if failures else 0)
