#!/usr/bin/python3
# rorodired against real parts, all on loopback: private dbus-daemons (a
# session bus, and system buses with the shipped policy), the development
# relay behind tinyproxy, the stand-in ModemManager delivering the relay's
# notifications as WAP-push SMS, and clients that know only the D-Bus
# interface, some of them running as `nobody` (setpriv).
# Usage: rorodired_bus_test.py RORODIRED RORODIRE_TOOL SAMPLES_DIR
#        rorodired_bus_test.py --client BUS_ADDRESS   (the unprivileged client; JSON on stdin)
import datetime
import grp
import json
import os
import pty
import pwd
import signal
import socket
import subprocess
import sys
import time
import urllib.request

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, free_port, pump, wap_push  # noqa: E402,F401

BUS = "org.ofono.mms"
MANAGER = "/org/ofono/mms"
SERVICE = "/org/ofono/mms/modemmanager"
SVC_IF, MSG_IF, MGR_IF, MM_IF = ("org.ofono.mms.Service", "org.ofono.mms.Message", "org.ofono.mms.Manager",
                                 "org.ofono.mms.ModemManager")
ERR = "org.ofono.mms.Error."
DENIED = "org.freedesktop.DBus.Error.AccessDenied"
OWN, PEER = "+15550100001", "+15550100002"
LIMIT = 60  # seconds any one awaited event may take before the test gives up
HERE = os.path.dirname(os.path.abspath(__file__))


def remote_error(e):
    return Gio.DBusError.get_remote_error(e) or e.message


# ---------------------------------------------------------------- the unprivileged client
def client_main(address):
    """Runs the calls given as JSON on stdin; counts the service's signals it receives."""
    ops = json.load(sys.stdin)
    conn = connect(address)
    seen = []
    conn.signal_subscribe(BUS, None, None, None, None, Gio.DBusSignalFlags.NONE,
                          lambda *a: seen.append(a[4]))
    results = []
    for op in ops:
        if op["op"] == "listen":
            print("listening", flush=True)
            end = time.monotonic() + op["seconds"]
            ctx = GLib.MainContext.default()
            while time.monotonic() < end:
                ctx.iteration(False) or time.sleep(0.02)
            results.append({"signals": list(seen)})
            continue
        args = GLib.Variant(op["sig"], tuple(op["args"])) if op.get("sig") else None
        try:
            v = conn.call_sync(BUS, op["path"], op["iface"], op["method"], args, None,
                               Gio.DBusCallFlags.NO_AUTO_START, 30000, None)
            results.append({"error": None, "value": str(v)})
        except GLib.Error as e:
            results.append({"error": remote_error(e), "text": e.message})
    print(json.dumps(results), flush=True)


if len(sys.argv) == 3 and sys.argv[1] == "--client":
    client_main(sys.argv[2])
    sys.exit(0)

DAEMON, TOOL, SAMPLES = sys.argv[1:4]
run = lib.Run("rorodired-test.", LIMIT)
work, procs, failures = run.work, run.procs, run.failures
os.chmod(work, 0o755)  # the unprivileged clients reach the buses' sockets in here
mounts = []
check, wait_for, wait_file_line = run.check, run.wait_for, run.wait_file_line


def cleanup():
    run.stop_all()
    for m in mounts:
        subprocess.run(["umount", m], check=False)
    if not failures:
        run.remove_work()
    else:
        print("files kept in", work, file=sys.stderr)


# ---------------------------------------------------------------- the servers
def start_bus(name, system=None):
    return run.start_bus(name, system, TEST_GROUP)


def start_relay():
    return run.start_relay(TOOL)


def start_proxy():
    port = free_port()
    conf = os.path.join(work, "tinyproxy.conf")
    with open(conf, "w") as f:
        f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\n"
                "LogLevel Warning\nDisableViaHeader Yes\n" % port)
    p = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(p)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return port
        except OSError:
            time.sleep(0.05)
    raise SystemExit("tinyproxy did not start")


def start_standin(address):
    p = subprocess.Popen([sys.executable, os.path.join(HERE, "mm_standin.py"), "--address", address,
                          "--apn", "mms.test", "--iface", "lo", "--own-number", OWN],
                         stdout=subprocess.PIPE, text=True)
    procs.append(p)
    if p.stdout.readline().strip() != "ready":
        raise SystemExit("the stand-in ModemManager did not start")
    return p


def write_config(name, service=None, modem=None):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("# written by the test\n[Service]\n")
        for k, v in (service or {}).items():
            f.write("%s=%s\n" % (k, v))
        if modem:
            f.write("[Modem Manager]\n")
            for k, v in modem.items():
                f.write("%s=%s\n" % (k, v))
    return path


class Client:
    """The test's own connection to one bus, with the service's signals it saw."""

    def __init__(self, address):
        self.address = address
        self.conn = connect(address)
        self.signals = []
        self.conn.signal_subscribe(BUS, None, None, None, None, Gio.DBusSignalFlags.NONE,
                                   lambda c, s, path, iface, name, params:
                                   self.signals.append((path, name, params.unpack())))

    def call(self, path, iface, method, args=None, reply=None, dest=BUS):
        v = self.conn.call_sync(dest, path, iface, method, args, GLib.VariantType(reply) if reply else None,
                                Gio.DBusCallFlags.NO_AUTO_START, 30000, None)
        return v.unpack() if v is not None else None

    def error_of(self, path, iface, method, args=None):
        try:
            self.call(path, iface, method, args)
        except GLib.Error as e:
            return remote_error(e)
        return None

    def has_owner(self):
        return self.call("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", GLib.Variant("(s)", (BUS,)),
                         dest="org.freedesktop.DBus")[0]

    def messages(self):
        return dict(self.call(SERVICE, SVC_IF, "GetMessages", reply="(a(oa{sv}))")[0])

    def send(self, recipients, options, attachments):
        try:
            return self.call(SERVICE, SVC_IF, "SendMessage",
                             GLib.Variant("(asva(sss))", (recipients, GLib.Variant("a{sv}", options), attachments)),
                             "(o)")[0], None
        except GLib.Error as e:
            self.last_error = e.message
            return None, remote_error(e)

    def push(self, data):
        return self.error_of(MANAGER, MM_IF, "PushNotify", GLib.Variant("(ay)", (data,)))

    def added(self, path=None, status=None, after=0):
        def find():
            for s in self.signals[after:]:
                if s[1] == "MessageAdded" and (path is None or s[2][0] == path) and \
                        (status is None or s[2][1]["Status"] == status):
                    return s[2]
            return None
        return find

    def status_signal(self, path, status):
        return lambda: any(s[0] == path and s[1] == "PropertyChanged" and s[2] == ("status", status)
                           for s in self.signals)

    def named(self, name, after=0):
        return [s for s in self.signals[after:] if s[1] == name]


def start_daemon(client, config, log, system=False, extra_env=None):
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=client.address, **(extra_env or {}))
    if system:
        env["DBUS_SYSTEM_BUS_ADDRESS"] = client.address
    p = subprocess.Popen([DAEMON, "--config", config, "--system" if system else "--session"], env=env,
                         stdout=subprocess.DEVNULL, stderr=open(log, "a"))
    procs.append(p)
    wait_for(lambda: client.has_owner() or p.poll() is not None, "the service on the bus")
    if p.poll() is not None:
        raise SystemExit("rorodired exited: " + open(log).read()[-2000:])
    return p


def stop_daemon(client, p):
    p.send_signal(signal.SIGTERM)
    wait_for(lambda: p.poll() is not None, "rorodired to stop")
    check(p.returncode == 0, "rorodired stops with status 0 on SIGTERM, got %s" % p.returncode)
    wait_for(lambda: not client.has_owner(), "the name to be released")


def as_nobody(address, ops, groups=None, trigger=None):
    """Runs the calls as nobody (with the given supplementary groups) and
    returns their results; with a listen op, runs trigger() while it listens."""
    cmd = ["setpriv", "--reuid=nobody", "--regid=nogroup"]
    cmd += ["--groups=" + ",".join(str(g) for g in groups)] if groups else ["--clear-groups"]
    cmd += ["/usr/bin/python3", os.path.abspath(__file__), "--client", address]
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    p.stdin.write(json.dumps(ops))
    p.stdin.close()
    if trigger:
        if p.stdout.readline().strip() != "listening":
            raise SystemExit("the unprivileged client did not start listening")
        trigger()
    out = p.stdout.read()
    p.wait(60)
    return json.loads(out.strip().splitlines()[-1])


def part_bytes(att):
    ident, ctype, path, offset, length = att
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


def spool_files():
    spool = os.path.join(work, "spool")
    return set(os.listdir(spool)) if os.path.isdir(spool) else set()


def is_report_file(name):
    # The relay's reports beside the notifications: ID-delivery-<status>.ind,
    # ID-read.ind, ID-deleted.ind, and its bookkeeping MESSAGE-ID.rep.
    return name.endswith(".rep") or name.endswith("-read.ind") or name.endswith("-deleted.ind") or \
        ("-delivery-" in name and name.endswith(".ind"))


def take_new_spool(seen, pred, what):
    new = wait_for(lambda: sorted(n for n in spool_files() - seen if pred(n)), what)
    seen.update(new)
    with open(os.path.join(work, "spool", new[-1]), "rb") as f:
        return f.read()


def take_new_ind(seen, what):
    return take_new_spool(seen, lambda n: n.endswith(".ind") and not is_report_file(n), what)


def utf8_prefix_ok(got, full, limit):
    return len(got.encode()) <= limit and full.startswith(got) and len(got) > 0


TEST_GROUP = next(g for g in ("dialout", "users", "plugdev") if g in {x.gr_name for x in grp.getgrall()})
TEST_GID = grp.getgrnam(TEST_GROUP).gr_gid

try:
    three = [("photo.jpg", "image/jpeg", os.path.join(SAMPLES, "photo.jpg")),
             ("hello.txt", "text/plain", os.path.join(SAMPLES, "hello.txt")),
             ("contact.vcf", "text/vcard", os.path.join(SAMPLES, "contact.vcf"))]
    originals = {"image/jpeg": sample("photo.jpg"), "text/plain": sample("hello.txt"), "text/vcard": sample("contact.vcf")}
    daemon_log = os.path.join(work, "rorodired.log")

    # A session bus for the service, a system bus for the stand-in ModemManager.
    session_address, session_bus = start_bus("session")
    modem_address, _ = start_bus("modem")
    sc = Client(session_address)
    standin = start_standin(modem_address)
    mc = Client(modem_address)
    env_modem = {"DBUS_SYSTEM_BUS_ADDRESS": modem_address}

    # ---------------------------------------------------------------- settings
    storage = os.path.join(work, "store")
    os.mkdir(os.path.join(work, "folder.conf"))
    bad_configs = [
        # (A missing file means the defaults: rorodired_mmsd_switch starts that way.)
        ("a folder, not a file", os.path.join(work, "folder.conf"), "folder.conf"),
        ("no StorageDir", write_config("a.conf", modem={"CarrierMMSC": "http://127.0.0.1:1/mms"}), "StorageDir"),
        ("no relay", write_config("b.conf", {"StorageDir": storage}), "CarrierMMSC"),
        ("relay not http", write_config("c.conf", {"StorageDir": storage}, {"CarrierMMSC": "ftp://x/mms"}), "CarrierMMSC"),
        ("relay with user", write_config("c2.conf", {"StorageDir": storage}, {"CarrierMMSC": "http://u@x/mms"}),
         "CarrierMMSC"),
        ("proxy without port", write_config("d.conf", {"StorageDir": storage},
                                            {"CarrierMMSC": "http://r/mms", "CarrierMMSProxy": "host"}), "CarrierMMSProxy"),
        ("own number", write_config("e.conf", {"StorageDir": storage},
                                    {"CarrierMMSC": "http://r/mms", "DefaultModemNumber": "me"}), "DefaultModemNumber"),
        ("provider form", write_config("f.conf", {"Provider": "abc", "StorageDir": storage}), "Provider"),
        ("max attachments", write_config("g.conf", {"StorageDir": storage, "MaxAttachments": "0"},
                                         {"CarrierMMSC": "http://r/mms"}), "MaxAttachments"),
        ("backend", write_config("h.conf", {"StorageDir": storage, "Backend": "carrier-pigeon"},
                                 {"CarrierMMSC": "http://r/mms"}), "Backend"),
        ("group", write_config("i.conf", {"StorageDir": storage, "AllowedGroup": "a b"},
                               {"CarrierMMSC": "http://r/mms"}), "AllowedGroup"),
    ]
    for what, cfg, key in bad_configs:
        r = subprocess.run([DAEMON, "--config", cfg], capture_output=True, text=True, timeout=30,
                           env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=session_address))
        lines = r.stderr.strip().splitlines()
        check(r.returncode != 0 and len(lines) == 1 and lines[0].startswith("rorodired: ") and key in lines[0],
              "bad setting (%s): one line naming %s and a failure status, got %d %r" % (what, key, r.returncode, r.stderr))

    # The relay and proxy of a provider come from a provider database the test
    # writes (loopback addresses only; never the system's database).
    provider_db = os.path.join(work, "providers.xml")
    with open(provider_db, "w") as f:
        f.write('<?xml version="1.0"?>\n<serviceproviders format="2.0"><country code="zz"><provider>'
                '<name>Loopback</name><gsm><network-id mcc="001" mnc="01"/>'
                '<apn value="internet"><usage type="internet"/></apn>'
                '<apn value="mms.test"><usage type="mms"/><mmsc>http://127.0.0.1:9/mms</mmsc>'
                '<mmsproxy>127.0.0.1:9</mmsproxy></apn></gsm></provider></country></serviceproviders>\n')
    p = start_daemon(sc, write_config("provider.conf", {"Provider": "001 01", "StorageDir": os.path.join(work, "prov")}),
                     daemon_log, extra_env=dict(env_modem, RORODIRED_PROVIDER_DB=provider_db))
    view = sc.call(MANAGER, MM_IF, "ViewSettings", reply="(a{sv})")[0]
    check(view["CarrierMMSC"] == "http://127.0.0.1:9/mms" and view["CarrierMMSProxy"] == "127.0.0.1:9",
          "Provider fills CarrierMMSC and CarrierMMSProxy from the database: %r" % view)
    stop_daemon(sc, p)

    # ---------------------------------------------------------------- chatty's sequence
    relay_url = start_relay()
    relay_port = int(relay_url.split(":")[2].split("/")[0])
    proxy_port = start_proxy()
    config = write_config("rorodired.conf",
                          {"UserAgent": "rorodired-test/1.0", "UserAgentProfile": "http://example.invalid/ua.xml",
                           "StorageDir": storage, "Retries": 2, "RetryDelay": 0.2,
                           # (false, mmsd-tng's, by default: the composer lays out what follows)
                           "AutoCreateSMIL": "true"},
                          {"CarrierMMSC": relay_url, "CarrierMMSProxy": "127.0.0.1:%d" % proxy_port,
                           "MMS_APN": "mms.test", "DefaultModemNumber": OWN})
    daemon = start_daemon(sc, config, daemon_log, extra_env=env_modem)
    services = sc.call(MANAGER, MGR_IF, "GetServices", reply="(a(oa{sv}))")[0]
    check(len(services) == 1 and services[0][0] == SERVICE and isinstance(services[0][1].get("Identity"), str),
          "GetServices gives /org/ofono/mms/modemmanager with an Identity: %r" % services)
    props = sc.call(SERVICE, SVC_IF, "GetProperties", reply="(a{sv})")[0]
    check(props.get("TotalMaxAttachmentSize") == 307200 and props.get("MaxAttachments") == 25 and
          props.get("AutoCreateSMIL") is True and props.get("UseDeliveryReports") is False and
          props.get("NotificationInds") == 0, "GetProperties as apps read it: %r" % props)

    seen = spool_files()
    mark = len(sc.signals)
    opts = {"Subject": GLib.Variant("s", "Three things · τρία"), "DeliveryReport": GLib.Variant("b", True),
            "Smil": GLib.Variant("s", "")}
    sent_path, err = sc.send([PEER + ","], opts, three)
    check(err is None, "SendMessage as chatty 0.7 calls it ('%s,', options in a variant): %s" % (PEER, err and sc.last_error))
    draft = wait_for(sc.added(sent_path, after=mark), "MessageAdded of the sent message")
    check(draft[1]["Status"] == "draft" and draft[1]["Recipients"] == [PEER],
          "a new message is a draft to one recipient: %r" % draft[1])
    check(abs(datetime.datetime.fromisoformat(draft[1]["Date"]).timestamp() - time.time()) < 3600,
          "Date is ISO 8601 and about now: %r" % draft[1]["Date"])
    wait_for(sc.status_signal(sent_path, "sent"), "PropertyChanged('status', 'sent')")
    m = sc.messages()[sent_path]
    check(m["Status"] == "sent" and m["Subject"] == "Three things · τρία" and m["Delivery Report"] is True and
          "<smil>" in m.get("Smil", "") and m.get("Modem Number") == OWN, "GetMessages shows the sent message: %r" % m)
    got = {a[1].split(";")[0]: part_bytes(a) for a in m["Attachments"]}
    check(got == originals, "the sent message's attachments read by file, offset and length are the files")

    # The relay's notification comes as a WAP-push SMS from the modem.
    ind = take_new_ind(seen, "the relay's notification")
    mark = len(sc.signals)
    sms = mc.call("/org/rorodire/Standin", "org.rorodire.Standin", "AddSms",
                  GLib.Variant("(saysb)", (OWN, wap_push(ind), "", False)), "(o)",
                  dest="org.freedesktop.ModemManager1")[0]
    rx_path, rx = wait_for(sc.added(status="received", after=mark), "MessageAdded of the received message")
    check(rx.get("Sender") == OWN and rx["Subject"] == "Three things · τρία" and rx["Recipients"] == [PEER],
          "received message: %r" % {k: v for k, v in rx.items() if k != "Smil"})
    got = {a[1].split(";")[0]: part_bytes(a) for a in rx["Attachments"]}
    check(got == originals, "the received attachments read by file, offset and length are the files")
    check(all(a[0].startswith("<") and a[0].endswith(">") for a in rx["Attachments"]),
          "received parts are named by their Content-ID in angle brackets: %r" % [a[0] for a in rx["Attachments"]])
    wait_for(lambda: sms not in mc.call("/org/rorodire/Standin", "org.rorodire.Standin", "Sms", reply="(ao)",
                                        dest="org.freedesktop.ModemManager1")[0], "the WAP-push SMS to be deleted")
    check(sc.push(wap_push(ind)) is None, "the same notification pushed again is taken")
    pump(1)
    check(not sc.named("MessageAdded", mark + 1)[1:], "a repeated push adds no second message")

    sc.call(rx_path, MSG_IF, "MarkRead")
    wait_for(sc.status_signal(rx_path, "read"), "PropertyChanged('status', 'read')")
    check(sc.messages()[rx_path]["Status"] == "read", "GetMessages shows the read status")
    doomed = rx["Attachments"][0][2]
    sc.call(rx_path, MSG_IF, "Delete")
    wait_for(lambda: any(s[1] == "MessageRemoved" and s[2] == (rx_path,) for s in sc.signals), "MessageRemoved")
    check(rx_path not in sc.messages() and not os.path.exists(doomed), "a deleted message and its files are gone")
    check(sc.error_of(rx_path, MSG_IF, "MarkRead") is not None, "a deleted message has no object")

    # Settings: through the service and the ModemManager interface, kept in the key file.
    sc.call(SERVICE, SVC_IF, "SetProperty", GLib.Variant("(sv)", ("MaxAttachments", GLib.Variant("i", 30))))
    check(sc.call(SERVICE, SVC_IF, "GetProperties", reply="(a{sv})")[0]["MaxAttachments"] == 30,
          "SetProperty MaxAttachments takes effect")
    check(sc.error_of(SERVICE, SVC_IF, "SetProperty", GLib.Variant("(sv)", ("MaxAttachments", GLib.Variant("s", "x"))))
          == ERR + "InvalidArguments", "SetProperty with a wrong type is refused")
    mark = len(sc.signals)
    sc.call(MANAGER, MM_IF, "ChangeAllSettings",
            GLib.Variant("(a{sv})", ({"AutoProcessOnConnection": GLib.Variant("b", False),
                                      "MMS_APN": GLib.Variant("s", "mms.test")},)))
    sc.call(MANAGER, MM_IF, "ChangeSettings", GLib.Variant("(sv)", ("AutoProcessOnConnection", GLib.Variant("b", True))))
    with open(config) as f:
        text = f.read()
    check("MaxAttachments=30" in text and "AutoProcessOnConnection=true" in text and "# written by the test" in text,
          "changed settings are written back to the key file, comments kept")
    sc.call(SERVICE, SVC_IF, "SetProperty", GLib.Variant("(sv)", ("MaxAttachments", GLib.Variant("i", 25))))
    # The proxy is read as a URL's authority: an IPv6 literal in brackets, a port always.
    v6_proxy = "[::1]:%d" % proxy_port
    check(sc.error_of(MANAGER, MM_IF, "ChangeSettings", GLib.Variant("(sv)", ("CarrierMMSProxy", GLib.Variant("s", v6_proxy))))
          is None, "CarrierMMSProxy [::1]:PORT is taken")
    check(sc.call(MANAGER, MM_IF, "ViewSettings", reply="(a{sv})")[0]["CarrierMMSProxy"] == v6_proxy,
          "ViewSettings shows the IPv6 proxy as it was given")
    with open(config) as f:
        check("CarrierMMSProxy=" + v6_proxy in f.read(), "the IPv6 proxy is written back in brackets")
    for bad in ("::1:8080", "127.0.0.1", "user@127.0.0.1:80", "127.0.0.1:0", "127.0.0.1:80/x", "[::1"):
        err = sc.error_of(MANAGER, MM_IF, "ChangeSettings", GLib.Variant("(sv)", ("CarrierMMSProxy", GLib.Variant("s", bad))))
        check(err is not None and err.startswith(ERR), "CarrierMMSProxy '%s' is refused: %s" % (bad, err))
    sc.call(MANAGER, MM_IF, "ChangeSettings",
            GLib.Variant("(sv)", ("CarrierMMSProxy", GLib.Variant("s", "127.0.0.1:%d" % proxy_port))))
    check(sc.call(MANAGER, MM_IF, "ViewSettings", reply="(a{sv})")[0]["CarrierMMSProxy"] == "127.0.0.1:%d" % proxy_port,
          "the proxy is back")

    # ---------------------------------------------------------------- bad sends: refused before any file is read
    missing = os.path.join(work, "nothing-here.jpg")
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(b"\0" * 400000)
    with open(os.path.join(work, "one-byte"), "w") as f:
        f.write("x")
    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    bad_sends = [
        ("no recipients", [",", ""], {}, three, "InvalidArguments"),
        ("not a number", ["not a number"], {}, three, "InvalidArguments"),
        ("101 recipients", ["+1555010%04d" % i for i in range(101)], {}, three, "UnsupportedMessage"),
        ("200,000 recipients", [PEER] * 200000, {}, three, "UnsupportedMessage"),
        ("100,000 one-byte attachments", [PEER], {}, [("a%d" % i, "text/plain", os.path.join(work, "one-byte"))
                                                      for i in range(100000)], "UnsupportedMessage"),
        ("no attachments", [PEER], {"smil": GLib.Variant("s", "<smil/>")}, [], "InvalidArguments"),
        ("26 attachments, none exists", [PEER], {}, [("a%d" % i, "text/plain", missing) for i in range(26)],
         "UnsupportedMessage"),
        ("missing file", [PEER], {}, [("x", "image/jpeg", missing)], "InvalidArguments"),
        ("a folder", [PEER], {}, [("x", "image/jpeg", work)], "InvalidArguments"),
        ("a FIFO", [PEER], {}, [("x", "image/jpeg", fifo)], "InvalidArguments"),
        ("relative path", [PEER], {}, [("x", "image/jpeg", "samples/photo.jpg")], "InvalidArguments"),
        ("too large", [PEER], {}, [("x", "application/octet-stream", big)], "UnsupportedMessage"),
        ("bad content type", [PEER], {}, [("x", "nonsense", three[0][2])], "InvalidArguments"),
        ("same name twice", [PEER], {}, [three[0], three[0]], "InvalidArguments"),
        ("subject not a string", [PEER], {"Subject": GLib.Variant("i", 3)}, three, "InvalidArguments"),
    ]
    before = set(sc.messages())
    for what, recips, opts, atts, name in bad_sends:
        path, err = sc.send(recips, opts, atts)
        check(path is None and err == ERR + name, "bad send (%s) -> %s, got %s" % (what, name, err))
    try:
        sc.call(SERVICE, SVC_IF, "SendMessage", GLib.Variant("(asva(sss))", ([PEER], GLib.Variant("s", "x"), three)))
        check(False, "options that are no a{sv} are refused")
    except GLib.Error as e:
        check(remote_error(e) == ERR + "InvalidArguments", "options that are no a{sv}: %s" % remote_error(e))
    check(set(sc.messages()) == before, "refused sends leave no message")

    # ---------------------------------------------------------------- a huge subject: capped in replies
    huge = "é" * 60000
    mark = len(sc.signals)
    path, err = sc.send([PEER], {"Subject": GLib.Variant("s", huge)}, three[1:2])
    check(err is None, "a message with a 120 KB subject is taken: %s" % err)
    shown = sc.messages()[path]["Subject"]
    check(utf8_prefix_ok(shown, huge, 256), "its Subject is cut to at most 256 bytes at a character boundary: %d bytes"
          % len(shown.encode()))
    wait_for(lambda: sc.status_signal(path, "sent")() or sc.status_signal(path, "sending_failed")(), "the huge one to end")
    seen = spool_files()

    # ---------------------------------------------------------------- only our relay
    decoy = socket.socket()
    decoy.bind(("127.0.0.1", 0))
    decoy.listen(5)
    decoy.settimeout(0.1)
    decoy_port = decoy.getsockname()[1]
    path, err = sc.send([PEER], {"Subject": GLib.Variant("s", "for the decoy")}, three[1:2])
    wait_for(sc.status_signal(path, "sent"), "a message for the decoy rows")
    ind = take_new_ind(seen, "the decoy row's notification")
    here = ("127.0.0.1:%d" % relay_port).encode()
    forged = [("another port", ind.replace(here, ("127.0.0.1:%d" % decoy_port).encode())),
              ("another host", ind.replace(here, ("127.0.0.2:%d" % relay_port).encode())),
              ("user information", ind.replace(b"http://" + here, b"http://bank@" + here)),
              ("raw bytes", ind.replace(b"/msg/", "/msg/\u00e9".encode("latin-1") + b"/"))]
    before = set(sc.messages())
    for what, data in forged:
        check(data != ind, "forged notification (%s) differs" % what)
        mark = len(sc.signals)
        err = sc.push(wap_push(data))
        check(err is not None, "a push naming %s is refused: %s" % (what, err))
        wait_for(lambda: sc.named("MessageReceiveError", mark), "MessageReceiveError for %s" % what)
    try:
        decoy.accept()
        check(False, "nothing connects to a location that is not the relay's")
    except socket.timeout:
        pass
    check(set(sc.messages()) == before, "refused pushes add no message")
    check(sc.push(wap_push(ind + b"\0" * 9000)) == ERR + "InvalidArguments", "a push larger than 8 KB is refused")

    # ---------------------------------------------------------------- a trickling download, a send behind it
    control_url = relay_url.rsplit("/", 1)[0] + "/control?"
    urllib.request.urlopen(control_url + "fault=get:trickle=1/500&count=1", timeout=10).read()
    mark = len(sc.signals)
    check(sc.push(wap_push(ind)) is None, "the trickled notification is taken")
    pump(1)
    behind, err = sc.send([PEER], {"Subject": GLib.Variant("s", "behind")}, three[1:2])
    wait_for(sc.status_signal(behind, "sent"), "the send behind a trickling download")
    # At one byte per half second the download would take hours: the send went
    # first (the download, tried again after it, may already be in by now).
    wait_for(sc.added(status="received", after=mark), "the trickled message to come at last")
    sent_at = next(i for i, s in enumerate(sc.signals) if s[0] == behind and s[1] == "PropertyChanged"
                   and s[2] == ("status", "sent"))
    added_at = next(i for i, s in enumerate(sc.signals) if i >= mark and s[1] == "MessageAdded"
                    and s[2][1]["Status"] == "received")
    check(sent_at < added_at, "a send does not wait behind a trickling download")

    # ---------------------------------------------------------------- failures as apps see them
    def relay_lines(kind, tid):
        with open(os.path.join(work, "relay.log")) as f:
            return [json.loads(line) for line in f if '"%s"' % kind in line and '"%s"' % tid in line]

    urllib.request.urlopen(control_url + "fault=send:conf-status=0xE3&count=1", timeout=10).read()
    mark = len(sc.signals)
    refused, err = sc.send([PEER], {"Subject": GLib.Variant("s", "unresolved")}, three[1:2])
    wait_for(sc.status_signal(refused, "sending_failed"), "a permanent refusal to end sending_failed")
    errors = wait_for(lambda: sc.named("MessageSendError", mark), "MessageSendError")
    e = errors[0][2][0]
    check(e.get("ErrorType") == 0xE3 and e.get("MessagePath") == refused and "Host" in e,
          "MessageSendError names the message, the relay and its Response-Status: %r" % e)
    pump(1)
    check(len(relay_lines("m-send-req", "T" + refused.rsplit("/", 1)[1])) == 1,
          "a permanent refusal is not retried: the relay got the request once")
    check(sc.messages()[refused]["Status"] == "sending_failed", "GetMessages shows sending_failed")

    urllib.request.urlopen(control_url + "fault=get:http-status=404&count=20", timeout=10).read()
    path, err = sc.send([PEER], {"Subject": GLib.Variant("s", "never fetched")}, three[1:2])
    wait_for(sc.status_signal(path, "sent"), "a message whose download will fail")
    lost = take_new_ind(seen, "its notification")
    mark = len(sc.signals)
    check(sc.push(wap_push(lost)) is None, "the notification of a message that cannot be fetched is taken")
    failed = wait_for(lambda: sc.named("MessageReceiveError", mark), "MessageReceiveError for a download failing for good")
    check(failed[0][2][0].get("From") == OWN, "MessageReceiveError names the sender: %r" % (failed[0][2][0],))
    kept = wait_for(sc.added(after=mark), "the message not downloaded to be shown")
    check(kept[1]["Status"] == "received" and kept[1]["Attachments"] == [] and "Expire" in kept[1],
          "a message not downloaded is received, without attachments, with its Expire: %r" % kept[1])
    check(sc.call(SERVICE, SVC_IF, "GetProperties", reply="(a{sv})")[0]["NotificationInds"] >= 1,
          "NotificationInds counts it")
    urllib.request.urlopen(control_url + "clear=1", timeout=10).read()

    # ---------------------------------------------------------------- no bearer: the queue waits
    standin_call = lambda method, sig=None, args=None, reply=None: mc.call(  # noqa: E731
        "/org/rorodire/Standin", "org.rorodire.Standin", method, GLib.Variant(sig, args) if sig else None, reply,
        dest="org.freedesktop.ModemManager1")
    mark = len(sc.signals)
    standin_call("SetBearer", "(bbss)", (True, False, "mms.test", "lo"))
    err_sig = wait_for(lambda: sc.named("BearerHandlerError", mark), "BearerHandlerError when the bearer goes down")
    check(isinstance(err_sig[0][2][0], int) and err_sig[0][2][0] != 5, "BearerHandlerError carries the bearer's state: %r"
          % (err_sig[0][2],))
    waiting, err = sc.send([PEER], {"Subject": GLib.Variant("s", "waits for the bearer")}, three[1:2])
    pump(2)
    check(err is None and not sc.status_signal(waiting, "sent")(), "with no bearer a send waits (%s)" % err)
    standin_call("SetBearer", "(bbss)", (True, True, "mms.test", "lo"))
    wait_for(sc.status_signal(waiting, "sent"), "the waiting send to go out when the bearer connects")

    # ---------------------------------------------------------------- delivery reports
    def delivery_ind(message_id, to, status=0x81):
        return (bytes([0x8C, 0x86, 0x8D, 0x90, 0x8B]) + message_id.encode() + b"\0" + bytes([0x97]) +
                (to + "/TYPE=PLMN").encode() + b"\0" + bytes([0x85, 0x04]) + int(time.time()).to_bytes(4, "big") +
                bytes([0x95, status]))

    def stored_key(path, key):
        with open(os.path.join(storage, "modemmanager", path.rsplit("/", 1)[1] + ".status")) as f:
            for line in f:
                if line.startswith(key + "="):
                    return line.split("=", 1)[1].strip()
        return ""

    message_id = stored_key(sent_path, "MessageId")
    check(message_id != "", "the relay's Message-ID of a sent message is kept")
    mark = len(sc.signals)
    check(sc.push(wap_push(delivery_ind("not-ours-" + message_id, PEER))) is None, "a report naming no message is taken")
    pump(1)
    check(not [s for s in sc.signals[mark:] if s[1] == "PropertyChanged"], "a report naming no message changes nothing")
    check(sc.push(wap_push(delivery_ind(message_id, PEER))) is None, "the delivery report is taken")
    wait_for(sc.status_signal(sent_path, "delivery_update,%s=retrieved" % PEER), "status delivery_update")
    wait_for(sc.status_signal(sent_path, "delivered"), "status delivered once every recipient has a report")
    m = sc.messages()[sent_path]
    check(m["Status"] == "delivered" and PEER + "=retrieved" in m.get("Delivery Status", ""),
          "GetMessages shows the delivery: %r" % {k: m.get(k) for k in ("Status", "Delivery Status")})

    # ---------------------------------------------------------------- reports through the relay
    # A message asking for both reports; the recipient fetches it with the tool,
    # the relay's m-delivery-ind comes back as a WAP-push SMS of the modem.
    def property_signals(path, after):
        return [s[2] for s in sc.signals[after:] if s[0] == path and s[1] == "PropertyChanged"]

    reports_seen = spool_files()
    rep_path, err = sc.send([PEER], {"Subject": GLib.Variant("s", "reported"), "DeliveryReport": GLib.Variant("b", True),
                                     "ReadReport": GLib.Variant("b", True)}, three[1:2])
    check(err is None, "a send asking for both reports is taken: %s" % err)
    wait_for(sc.status_signal(rep_path, "sent"), "the reported message to be sent")
    rep_id = stored_key(rep_path, "MessageId")
    rep_notification = os.path.join(work, "reported.ind")
    with open(rep_notification, "wb") as f:
        f.write(take_new_ind(seen, "the reported message's notification"))
    fetched = os.path.join(work, "reported.mms")
    r = subprocess.run([TOOL, "fetch", "--relay", relay_url, rep_notification, "-o", fetched],
                       capture_output=True, text=True, timeout=LIMIT)
    check(r.returncode == 0, "the recipient fetches it with the tool: %s" % r.stderr)
    delivery = take_new_spool(reports_seen, lambda n: n.endswith("-delivery-retrieved.ind"), "the relay's delivery report")
    mark = len(sc.signals)
    # Answered or refused, malformed reports leave the message as it is.
    sc.push(wap_push(delivery[:9]))
    sc.push(wap_push(bytes([0x8C, 0x86, 0x8D, 0x90, 0x8B]) + rep_id.encode()))
    sc.push(wap_push(bytes([0x8C, 0x88, 0x8D, 0x92, 0x8B]) + rep_id.encode() + b"\0\x89\x01\x81"))
    pump(1)
    check(property_signals(rep_path, mark) == [], "malformed reports change nothing")
    mc.call("/org/rorodire/Standin", "org.rorodire.Standin", "AddSms",
            GLib.Variant("(saysb)", (OWN, wap_push(delivery), "", False)), "(o)",
            dest="org.freedesktop.ModemManager1")
    wait_for(sc.status_signal(rep_path, "delivery_update,%s=retrieved" % PEER), "delivery_update from the relay's report")
    wait_for(sc.status_signal(rep_path, "delivered"), "delivered from the relay's report")
    check(property_signals(rep_path, mark) == [("status", "delivery_update,%s=retrieved" % PEER), ("status", "delivered")],
          "the relay's report gives delivery_update, then delivered, as mmsd-tng's do: %r" % property_signals(rep_path, mark))
    mark = len(sc.signals)
    check(sc.push(wap_push(delivery)) is None, "the same report again by PushNotify is taken")
    pump(1)
    check(property_signals(rep_path, mark) == [], "the same delivery report again changes nothing")

    # The recipient's read report (the tool's read-report) comes back by PushNotify.
    r = subprocess.run([TOOL, "read-report", "--relay", relay_url, fetched], capture_output=True, text=True,
                       timeout=LIMIT)
    check(r.returncode == 0, "the tool sends the read report: %s %s" % (r.stdout, r.stderr))
    read_orig = take_new_spool(reports_seen, lambda n: n.endswith("-read.ind"), "the relay's read report")
    mark = len(sc.signals)
    check(sc.push(wap_push(read_orig)) is None, "the read report is taken by PushNotify")
    wait_for(lambda: ("Read Status", PEER + "=read") in property_signals(rep_path, mark), "Read Status from the read report")
    m = sc.messages()[rep_path]
    check(m["Status"] == "delivered" and m.get("Read Status") == PEER + "=read" and
          m.get("Delivery Status") == PEER + "=retrieved",
          "GetMessages shows both reports: %r" % {k: m.get(k) for k in ("Status", "Delivery Status", "Read Status")})

    # MarkRead with SendReadReports: the service itself answers a sender who
    # asked, once; the relay passes it on to the sender (here the service too).
    def rec_lines(message_id):
        with open(os.path.join(work, "relay.log")) as f:
            return [line for line in f if '"m-read-rec-ind"' in line and message_id in line]

    check(sc.error_of(SERVICE, SVC_IF, "SetProperty", GLib.Variant("(sv)", ("SendReadReports", GLib.Variant("b", True))))
          is None, "SendReadReports is settable")
    check(sc.call(SERVICE, SVC_IF, "GetProperties", reply="(a{sv})")[0].get("SendReadReports") is True,
          "GetProperties shows SendReadReports")
    mark = len(sc.signals)
    asked_path, err = sc.send([PEER], {"Subject": GLib.Variant("s", "read me"), "ReadReport": GLib.Variant("b", True)},
                              three[1:2])
    wait_for(sc.status_signal(asked_path, "sent"), "the message asking Read-Reply to be sent")
    asked_id = stored_key(asked_path, "MessageId")
    check(sc.push(wap_push(take_new_ind(seen, "its notification"))) is None, "its notification is taken")
    rx_asked, _ = wait_for(sc.added(status="received", after=mark), "the message asking Read-Reply to be received")
    check(rec_lines(asked_id) == [], "no read report before MarkRead")
    sc.call(rx_asked, MSG_IF, "MarkRead")
    wait_for(lambda: rec_lines(asked_id), "the relay to receive the read report of MarkRead")
    check('"read_report":"written"' in rec_lines(asked_id)[0], "the relay takes it: %s" % rec_lines(asked_id)[0])
    sc.call(rx_asked, MSG_IF, "MarkRead")
    wait_for(lambda: stored_key(rx_asked, "ReadReportSent") == "true", "the read report to be recorded as sent")
    mark = len(sc.signals)
    check(sc.push(wap_push(take_new_spool(reports_seen, lambda n: n.endswith("-read.ind"), "its m-read-orig-ind"))) is None,
          "the relay's read report for our own send is taken")
    wait_for(lambda: ("Read Status", PEER + "=read") in property_signals(asked_path, mark),
             "Read Status of the sent message from our own read report")

    # ---------------------------------------------------------------- restart
    before = sc.messages()
    stop_daemon(sc, daemon)
    check(any(x[1] == "ServiceRemoved" and x[2] == (SERVICE,) for x in sc.signals), "ServiceRemoved on the way out")
    daemon = start_daemon(sc, config, daemon_log, extra_env=env_modem)
    after = sc.messages()
    check(after == before, "after a restart GetMessages returns the same messages and properties")
    check(after[rep_path]["Status"] == "delivered" and after[rep_path].get("Delivery Status") == PEER + "=retrieved",
          "the delivery report survives a restart")
    pump(1)
    check(len(rec_lines(asked_id)) == 1, "the read report went out exactly once (MarkRead twice, a restart): %d"
          % len(rec_lines(asked_id)))
    stray = os.path.join(storage, "modemmanager", "0000000000000001 (copy).status")
    with open(stray, "w") as f:
        f.write("[Message]\nStatus=sent\n")

    # ---------------------------------------------------------------- the bus goes away
    daemon.send_signal(signal.SIGTERM)
    daemon.wait(30)
    daemon = start_daemon(sc, config, daemon_log, extra_env=env_modem)
    check(set(sc.messages()) == set(before) and os.path.exists(stray), "a stray file is left alone and shown as nothing")
    session_bus.terminate()
    session_bus.wait(10)
    try:
        code = daemon.wait(15)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 1, "rorodired ends with status 1 (restarted by its unit) when the bus goes away, got %s" % code)

    # ---------------------------------------------------------------- a full store, then a restart
    full = os.path.join(work, "full")
    os.makedirs(full)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", full]).returncode == 0:
        mounts.append(full)
        session_address, session_bus = start_bus("session2")
        sc = Client(session_address)
        cfg = write_config("full.conf", {"StorageDir": full, "Retries": 0},
                           {"CarrierMMSC": relay_url, "MMS_APN": "mms.test", "DefaultModemNumber": OWN})
        daemon = start_daemon(sc, cfg, daemon_log, extra_env=env_modem)
        seen = spool_files()
        accepted, refused = [], 0
        for i in range(40):
            path, err = sc.send([PEER], {"Subject": GLib.Variant("s", "fill %d" % i)}, three[:1])
            if err:
                refused += 1
                if refused >= 3:
                    break
            else:
                accepted.append(path)
        check(refused > 0, "a full store refuses new sends")
        for path in accepted:
            wait_for(lambda: sc.status_signal(path, "sent")() or sc.status_signal(path, "sending_failed")(),
                     "each accepted send to end")
        relay_got = len([n for n in spool_files() - seen if n.endswith(".ind")])
        check(relay_got >= len(accepted) - 1, "the relay got the accepted sends: %d of %d" % (relay_got, len(accepted)))
        stop_daemon(sc, daemon)
        daemon = start_daemon(sc, cfg, daemon_log, extra_env=env_modem)
        pump(3)
        again = len([n for n in spool_files() - seen if n.endswith(".ind")])
        check(again == relay_got, "after a restart nothing confirmed is posted again: %d then %d" % (relay_got, again))
        shown = sc.messages()
        check(all(shown[p]["Status"] in ("sent", "sending_failed") for p in accepted if p in shown),
              "every accepted send shows how it ended after the restart")
        stop_daemon(sc, daemon)
    else:
        print("SKIP: a full store (no tmpfs mount here)", file=sys.stderr)

    # ---------------------------------------------------------------- 10,000 stored messages past the limits
    session_address, session_bus = start_bus("session3")
    sc = Client(session_address)
    many = os.path.join(work, "many")
    cfg = write_config("many.conf", {"StorageDir": many},
                       {"CarrierMMSC": relay_url, "MMS_APN": "mms.test", "DefaultModemNumber": OWN})
    daemon = start_daemon(sc, cfg, daemon_log, extra_env=env_modem)
    long_smil = ('<smil><head><!-- %s --></head><body><par dur="5000ms"><text src="cid:note.txt"/></par></body></smil>'
                 % ("x" * 12000))
    one, err = sc.send([PEER] * 100, {"Subject": GLib.Variant("s", "ß" * 3000), "smil": GLib.Variant("s", long_smil)},
                       [("note.txt", "text/plain", os.path.join(SAMPLES, "hello.txt"))])
    check(err is None, "a message past every reply limit is taken: %s" % err)
    wait_for(lambda: sc.status_signal(one, "sent")() or sc.status_signal(one, "sending_failed")(), "it to end")
    stop_daemon(sc, daemon)
    folder = os.path.join(many, "modemmanager")
    first = one.rsplit("/", 1)[1]
    with open(os.path.join(folder, first + ".status")) as f:
        record = f.read()
    for i in range(1, 10000):
        ident = "%016x" % (0xa000000000000000 + i)
        os.link(os.path.join(folder, first + ".mms"), os.path.join(folder, ident + ".mms"))
        with open(os.path.join(folder, ident + ".status"), "w") as f:
            f.write("\n".join("Seq=%d" % (i + 1) if line.startswith("Seq=") else line for line in record.split("\n")))
    t0 = time.monotonic()
    daemon = start_daemon(sc, cfg, daemon_log, extra_env=env_modem)
    started = time.monotonic() - t0
    t0 = time.monotonic()
    reply = sc.conn.call_sync(BUS, SERVICE, SVC_IF, "GetMessages", None, None, Gio.DBusCallFlags.NO_AUTO_START,
                              60000, None)
    took = time.monotonic() - t0
    size = reply.get_size()
    listed = reply.unpack()[0]
    check(len(listed) == 10000, "GetMessages lists all 10,000 messages: %d" % len(listed))
    check(size < 8 << 20, "the reply stays within its budget, far below a system bus's message size: %d bytes" % size)
    check(all(len(p["Subject"].encode()) <= 256 and len(p.get("Smil", "").encode()) <= 2048 for _, p in listed),
          "every Subject and Smil in the reply is capped")
    print("10,000 messages: start %.2f s, GetMessages %.3f s, %d bytes" % (started, took, size))
    stop_daemon(sc, daemon)

    # ---------------------------------------------------------------- the system bus: who may call
    sys_address, _ = start_bus("system", "policy")
    yc = Client(sys_address)
    standin_sys = start_standin(sys_address)
    sys_store = os.path.join(work, "sys-store")
    sys_cfg = write_config("system.conf", {"StorageDir": sys_store, "AllowedGroup": TEST_GROUP},
                           {"CarrierMMSC": relay_url, "MMS_APN": "mms.test", "DefaultModemNumber": OWN})
    daemon = start_daemon(yc, sys_cfg, daemon_log, system=True)
    secret = os.path.join(work, "secret")
    os.makedirs(secret, mode=0o700)
    with open(os.path.join(secret, "inside.txt"), "w") as f:
        f.write("root's secret\n")
    os.chmod(os.path.join(secret, "inside.txt"), 0o644)
    os.symlink(os.path.join(secret, "inside.txt"), os.path.join(work, "link.txt"))
    public = os.path.join(work, "public.txt")
    with open(public, "w") as f:
        f.write("anyone may read this\n")
    os.chmod(public, 0o644)
    master, slave = pty.openpty()
    tty = os.ttyname(slave)
    os.chmod(tty, 0o666)

    def op(path, iface, method, sig=None, args=None):
        return {"op": "call", "path": path, "iface": iface, "method": method, "sig": sig, "args": args or []}

    stranger_ops = [op(MANAGER, MGR_IF, "GetServices"), op(SERVICE, SVC_IF, "GetMessages"),
                    op(SERVICE, SVC_IF, "GetProperties"), op(MANAGER, MM_IF, "ViewSettings"),
                    op(MANAGER, MM_IF, "PushNotify", "(ay)", [list(wap_push(ind))]),
                    op(MANAGER, MM_IF, "ProcessMessageQueue"), {"op": "listen", "seconds": 3}]
    mark = len(yc.signals)

    def root_sends():
        path, err = yc.send([PEER], {"Subject": GLib.Variant("s", "secret subject")}, three[1:2])
        check(err is None, "root sends on the system bus: %s" % err)

    res = as_nobody(sys_address, stranger_ops, trigger=root_sends)
    for o, r in zip(stranger_ops[:-1], res[:-1]):
        check(r["error"] == DENIED, "nobody calling %s is denied: %r" % (o["method"], r))
    check(res[-1]["signals"] == [], "nobody receives none of the service's signals: %r" % res[-1]["signals"])
    wait_for(lambda: any(s[1] == "MessageAdded" for s in yc.signals[mark:]), "root to receive MessageAdded")

    # A member of the allowed group: the service's own methods, files read as that user.
    member_ops = [op(MANAGER, MGR_IF, "GetServices"), op(SERVICE, SVC_IF, "GetMessages"),
                  op(MANAGER, MM_IF, "PushNotify", "(ay)", [list(wap_push(ind))])]
    res = as_nobody(sys_address, member_ops, groups=[TEST_GID])
    check(res[0]["error"] is None and res[1]["error"] is None, "a member of %s may list: %r" % (TEST_GROUP, res[:2]))
    check(res[2]["error"] == DENIED, "a member may not inject pushes: %r" % res[2])
    mark = len(yc.signals)
    before_msgs = set(yc.messages())

    # Files as the member: SendMessage through a small client that builds the variant itself.
    def member_send(path):
        code = ("import sys,json; from gi.repository import Gio, GLib\n"
                "c = Gio.DBusConnection.new_for_address_sync(sys.argv[1], Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT"
                " | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)\n"
                "try:\n"
                "  v = c.call_sync('%s', '%s', '%s', 'SendMessage', GLib.Variant('(asva(sss))', (['%s'],"
                " GLib.Variant('a{sv}', {}), [('f', 'text/plain', sys.argv[2])])), None, 0, 30000, None)\n"
                "  print(json.dumps({'error': None, 'value': v.unpack()[0]}))\n"
                "except GLib.Error as e:\n"
                "  print(json.dumps({'error': Gio.DBusError.get_remote_error(e), 'text': e.message}))\n"
                % (BUS, SERVICE, SVC_IF, PEER))
        r = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--groups=%d" % TEST_GID,
                            "/usr/bin/python3", "-c", code, sys_address, path], capture_output=True, text=True,
                           timeout=60)
        return json.loads(r.stdout.strip().splitlines()[-1])

    r = member_send(public)
    check(r["error"] is None, "a member sends a file it may read: %r" % r)
    for what, path in [("a 0644 file in a 0700 folder", os.path.join(secret, "inside.txt")),
                       ("a symlink into a 0700 folder", os.path.join(work, "link.txt")),
                       ("root's start-up file", "/root/.bashrc" if os.path.exists("/root/.bashrc") else "/etc/shadow"),
                       ("a pty", tty)]:
        r = member_send(path)
        check(r["error"] == ERR + "InvalidArguments", "a member sending %s is refused: %r" % (what, r))
    os.close(master)
    os.close(slave)
    pump(1)
    check(daemon.poll() is None and yc.has_owner(), "the service lives on after the pty's master closed")
    msgs = yc.messages()
    mine = [p for p in msgs if p not in before_msgs]
    check(len(mine) == 1, "only the member's readable file became a message: %d" % len(mine))
    stored = [n for n in os.listdir(os.path.join(sys_store, "modemmanager")) if n.endswith(".mms")]
    modes = {oct(os.stat(os.path.join(sys_store, "modemmanager", n)).st_mode & 0o777) for n in stored}
    check(modes and all(int(m, 8) & 0o007 == 0 for m in modes), "stored messages are not readable by others: %r" % modes)
    member_file = [f for p, a in msgs.items() if p in mine for f in {x[2] for x in a["Attachments"]}]
    st = os.stat(member_file[0]) if member_file else None
    check(st is not None and st.st_uid == pwd.getpwnam("nobody").pw_uid and st.st_gid == TEST_GID,
          "the member's sent message belongs to it and to %s: %r" % (TEST_GROUP, st and (st.st_uid, st.st_gid)))
    stop_daemon(yc, daemon)

    # The service checks callers itself, also where the bus lets everyone call.
    open_address, _ = start_bus("open", "open")
    oc = Client(open_address)
    start_standin(open_address)
    daemon = start_daemon(oc, write_config("open.conf", {"StorageDir": os.path.join(work, "open-store"),
                                                         "AllowedGroup": TEST_GROUP},
                                           {"CarrierMMSC": relay_url, "MMS_APN": "mms.test"}), daemon_log, system=True)
    ops = [op(SERVICE, SVC_IF, "GetMessages"), op(MANAGER, MM_IF, "PushNotify", "(ay)", [list(wap_push(ind))]),
           op(MANAGER, MGR_IF, "GetServices")]
    res = as_nobody(open_address, ops)
    check(all(r["error"] == DENIED for r in res), "the service denies a stranger itself: %r" % res)
    res = as_nobody(open_address, ops, groups=[TEST_GID])
    check(res[0]["error"] is None and res[1]["error"] == DENIED and res[2]["error"] is None,
          "the service lets a member list and denies it pushes: %r" % res)
    stop_daemon(oc, daemon)

    # The oFono backend: the service's object is the modem's push agent; only root (oFono) may call it.
    agents = []

    def modem_call(c, sender, path, iface, method, params, inv):
        agents.append((method, sender, params.unpack()[0]))
        inv.return_value(None)

    modem_xml = ("<node><interface name='org.ofono.PushNotification'>"
                 "<method name='RegisterAgent'><arg type='o' direction='in'/></method>"
                 "<method name='UnregisterAgent'><arg type='o' direction='in'/></method></interface></node>")
    oc.conn.register_object("/ril_0", Gio.DBusNodeInfo.new_for_xml(modem_xml).interfaces[0], modem_call, None, None)
    Gio.bus_own_name_on_connection(oc.conn, "org.ofono", Gio.BusNameOwnerFlags.NONE, None, None)
    daemon = start_daemon(oc, write_config("ofono.conf", {"StorageDir": os.path.join(work, "ofono-store"),
                                                          "Backend": "oFono", "OfonoModem": "/ril_0",
                                                          "AllowedGroup": TEST_GROUP},
                                           {"CarrierMMSC": relay_url}), daemon_log, system=True)
    wait_for(lambda: [a for a in agents if a[0] == "RegisterAgent"], "the push agent to be registered")
    check(agents[0][2] == SERVICE, "the agent is the service object: %r" % (agents,))
    agent_ops = [op(SERVICE, "org.ofono.PushNotificationAgent", "ReceiveNotification", "(aya{sv})",
                    [list(wap_push(ind)), {}]),
                 op(SERVICE, "org.ofono.PushNotificationAgent", "Release")]
    res = as_nobody(open_address, agent_ops, groups=[TEST_GID])
    check(all(r["error"] == DENIED for r in res), "a member may not call the push agent: %r" % res)
    mark = len(oc.signals)
    oc.call(SERVICE, "org.ofono.PushNotificationAgent", "ReceiveNotification",
            GLib.Variant("(aya{sv})", (wap_push(ind), {})))
    wait_for(oc.added(status="received", after=mark), "the message oFono handed over to be received")
    stop_daemon(oc, daemon)
    wait_for(lambda: [a for a in agents if a[0] == "UnregisterAgent"], "the agent to be taken back at the end")
except BaseException as e:
    failures.append(str(e))
    raise
finally:
    cleanup()

if failures:
    print("%d checks failed" % len(failures), file=sys.stderr)
    sys.exit(1)
print("rorodired bus test: all checks passed")
