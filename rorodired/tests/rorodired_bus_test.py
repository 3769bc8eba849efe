#!/usr/bin/python3
# rorodired on a private session bus, with the development relay behind a real
# tinyproxy on loopback, driven by a client that knows only the D-Bus
# interface: send, push, receive, attachment bytes by offset and length,
# status changes, restart, bad input and relay faults.
# Usage: rorodired_bus_test.py RORODIRED RORODIRE_TOOL SAMPLES_DIR
import datetime
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

DAEMON, TOOL, SAMPLES = sys.argv[1:4]
BUS = "org.ofono.mms"
SERVICE = "/org/ofono/mms/rorodire"
ERR = "org.ofono.mms.Error."
OWN = "+15550100001"
LIMIT = 60  # seconds any one awaited event may take before the test gives up

work = tempfile.mkdtemp(prefix="rorodired-test.")
procs = []
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)
    return cond


def cleanup():
    for p in reversed(procs):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("files kept in", work, file=sys.stderr)


def wait_file_line(path, needle, proc):
    for _ in range(400):
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    if needle in line:
                        return line
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    raise SystemExit("%s did not say '%s'" % (path, needle))


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ---------------------------------------------------------------- the servers
def start_bus():
    out = open(os.path.join(work, "bus.address"), "w")
    p = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
                          "--address=unix:path=" + os.path.join(work, "bus")], stdout=out)
    procs.append(p)
    line = wait_file_line(out.name, "unix:", p)
    return line.strip()


def start_relay():
    err = os.path.join(work, "relay.err")
    p = subprocess.Popen([TOOL, "relay", "--port", "0", "--spool", os.path.join(work, "spool"),
                          "--log", os.path.join(work, "relay.log")], stderr=open(err, "w"))
    procs.append(p)
    line = wait_file_line(err, "listening on", p)
    return line.split("listening on ")[1].split()[0]


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


def write_config(name, **keys):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("[Service]\n")
        for k, v in keys.items():
            f.write("%s=%s\n" % (k, v))
    return path


address = start_bus()
env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, DBUS_SYSTEM_BUS_ADDRESS=address)
conn = Gio.DBusConnection.new_for_address_sync(
    address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
signals = []
conn.signal_subscribe(BUS, None, None, None, None, Gio.DBusSignalFlags.NONE,
                      lambda c, sender, path, iface, name, params: signals.append((path, name, params.unpack())))


def wait_for(pred, what):
    ctx = GLib.MainContext.default()
    deadline = time.monotonic() + LIMIT
    while time.monotonic() < deadline:
        r = pred()
        if r:
            return r
        ctx.iteration(False) or time.sleep(0.02)
    raise SystemExit("gave up waiting for " + what)


def call(path, iface, method, args=None, reply=None):
    v = conn.call_sync(BUS, path, iface, method, args, GLib.VariantType(reply) if reply else None,
                       Gio.DBusCallFlags.NO_AUTO_START, 30000, None)
    return v.unpack() if v is not None else None


def error_of(path, iface, method, args):
    try:
        call(path, iface, method, args)
    except GLib.Error as e:
        return Gio.DBusError.get_remote_error(e)
    return None


def has_owner():
    return conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                          GLib.Variant("(s)", (BUS,)), None, Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]


def start_daemon(config, log, bus="--session"):
    p = subprocess.Popen([DAEMON, "--config", config, bus], env=env, stdout=subprocess.DEVNULL,
                         stderr=open(log, "a"))
    procs.append(p)
    wait_for(lambda: has_owner() or p.poll() is not None, "the service on the bus")
    if p.poll() is not None:
        raise SystemExit("rorodired exited: " + open(log).read())
    return p


def stop_daemon(p):
    p.send_signal(signal.SIGTERM)
    wait_for(lambda: p.poll() is not None, "rorodired to stop")
    check(p.returncode == 0, "rorodired stops with status 0 on SIGTERM")
    wait_for(lambda: not has_owner(), "the name to be released")


def messages():
    return dict(call(SERVICE, "org.ofono.mms.Service", "GetMessages", reply="(a(oa{sv}))")[0])


def part_bytes(att):
    ident, ctype, path, offset, length = att
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


def status_signal(path, status):
    return lambda: any(s[0] == path and s[1] == "PropertyChanged" and s[2] == ("Status", status) for s in signals)


def added(path=None, status=None, after=0):
    def find():
        for s in signals[after:]:
            if s[1] == "MessageAdded" and (path is None or s[2][0] == path) and \
                    (status is None or s[2][1]["Status"] == status):
                return s[2]
        return None
    return find


def new_spool_files(seen):
    spool = os.path.join(work, "spool")
    now = set(os.listdir(spool)) if os.path.isdir(spool) else set()
    return sorted(now - seen)


def wap_push(ind):
    # Transaction id, Push, headers: application/vnd.wap.mms-message and
    # X-Wap-Application-Id x-wap-application:mms.ua.
    headers = bytes([0xBE, 0xAF, 0x84])
    return bytes([0x01, 0x06, len(headers)]) + headers + ind


# A stand-in for oFono's modem: it takes the service's push agent and hands
# pushes to it, on the connection and path the agent registered with.
agents = []


def modem_call(c, sender, path, iface, method, params, inv):
    if method == "RegisterAgent":
        agents.append((sender, params.unpack()[0]))
    elif agents and agents[-1][0] == sender:
        agents.pop()
    inv.return_value(None)


modem_xml = ("<node><interface name='org.ofono.PushNotification'>"
             "<method name='RegisterAgent'><arg type='o' direction='in'/></method>"
             "<method name='UnregisterAgent'><arg type='o' direction='in'/></method></interface></node>")
conn.register_object("/ril_0", Gio.DBusNodeInfo.new_for_xml(modem_xml).interfaces[0], modem_call, None, None)
Gio.bus_own_name_on_connection(conn, "org.ofono", Gio.BusNameOwnerFlags.NONE, None, None)


def push(data):
    wait_for(lambda: agents, "the push agent to be registered")
    sender, path = agents[-1]
    try:
        conn.call_sync(sender, path, "org.ofono.PushNotificationAgent", "ReceiveNotification",
                       GLib.Variant("(aya{sv})", (data, {})), None, Gio.DBusCallFlags.NO_AUTO_START, 30000, None)
    except GLib.Error as e:
        return Gio.DBusError.get_remote_error(e)
    return None


def send(recipients, options, attachments):
    try:
        return call(SERVICE, "org.ofono.mms.Service", "SendMessage",
                    GLib.Variant("(asa{sv}a(sss))", (recipients, options, attachments)), "(o)")[0], None
    except GLib.Error as e:
        return None, Gio.DBusError.get_remote_error(e)


def control(query):
    base = relay_url.rsplit("/", 1)[0]
    urllib.request.urlopen(base + "/control?" + query, timeout=10).read()


try:
    # ---------------------------------------------------------------- settings
    daemon_log = os.path.join(work, "rorodired.log")
    storage = os.path.join(work, "store")
    bad_configs = [
        ("no such file", os.path.join(work, "missing.conf"), "missing.conf"),
        ("no StorageDir", write_config("a.conf", RelayUrl="http://127.0.0.1:1/mms"), "StorageDir"),
        ("no relay", write_config("b.conf", StorageDir=storage), "RelayUrl"),
        ("relay not http", write_config("c.conf", RelayUrl="ftp://x/mms", StorageDir=storage), "RelayUrl"),
        ("proxy without port", write_config("d.conf", RelayUrl="http://r/mms", Proxy="host", StorageDir=storage), "Proxy"),
        ("own number", write_config("e.conf", RelayUrl="http://r/mms", OwnNumber="me", StorageDir=storage), "OwnNumber"),
        ("provider form", write_config("f.conf", Provider="abc", StorageDir=storage), "Provider"),
        ("unknown provider", write_config("g.conf", Provider="999 99", StorageDir=storage), "Provider"),
        ("retries", write_config("h.conf", RelayUrl="http://r/mms", Retries="many", StorageDir=storage), "Retries"),
        ("modem", write_config("i.conf", RelayUrl="http://r/mms", OfonoModem="ril_0", StorageDir=storage), "OfonoModem"),
    ]
    for what, cfg, key in bad_configs:
        r = subprocess.run([DAEMON, "--config", cfg], env=env, capture_output=True, text=True, timeout=30)
        lines = r.stderr.strip().splitlines()
        check(r.returncode != 0 and len(lines) == 1 and lines[0].startswith("rorodired: ") and key in lines[0],
              "bad setting (%s): one line naming %s and a failure status, got %d %r" % (what, key, r.returncode, r.stderr))

    three = [("photo.jpg", "image/jpeg", os.path.join(SAMPLES, "photo.jpg")),
             ("hello.txt", "text/plain", os.path.join(SAMPLES, "hello.txt")),
             ("contact.vcf", "text/vcard", os.path.join(SAMPLES, "contact.vcf"))]
    originals = {"image/jpeg": sample("photo.jpg"), "text/plain": sample("hello.txt"), "text/vcard": sample("contact.vcf")}

    # The relay and proxy of a provider come from the provider database (and
    # the service runs on the system bus, here the private one).
    p = start_daemon(write_config("provider.conf", Provider="213 03", StorageDir=os.path.join(work, "prov")), daemon_log,
                     "--system")
    props = call(SERVICE, "org.ofono.mms.Service", "GetProperties", reply="(a{sv})")[0]
    check(props["RelayUrl"] == "http://mms.ad/mmsc" and props["Proxy"] == "192.168.21.50:8080",
          "Provider fills RelayUrl and Proxy: %r" % props)
    services = call("/org/ofono/mms", "org.ofono.mms.Manager", "GetServices", reply="(a(oa{sv}))")[0]
    check([s[0] for s in services] == [SERVICE], "GetServices lists the service: %r" % services)
    stop_daemon(p)

    # ---------------------------------------------------------------- send
    relay_url = start_relay()
    proxy_port = start_proxy()
    config = write_config("rorodired.conf", RelayUrl=relay_url, Proxy="127.0.0.1:%d" % proxy_port,
                          UserAgent="rorodired-test/1.0", UserAgentProfile="http://example.invalid/ua.xml",
                          OwnNumber=OWN, StorageDir=storage, Retries=2, RetryDelay=0.2, OfonoModem="/ril_0")
    daemon = start_daemon(config, daemon_log)
    wait_for(lambda: agents, "the push agent to be registered")
    check(agents[-1][1] == SERVICE, "the service object is the push agent: %r" % agents)
    check(any(x[1] == "ServiceAdded" and x[2][0] == SERVICE for x in signals), "ServiceAdded announces the service")

    def same_parts(props, what):
        got = {a[1].split(";")[0]: part_bytes(a) for a in props["Attachments"]}
        return check(got == originals, what + ": the three attachments read by offset and length equal the files "
                     "(%r)" % [(a[0], a[1], a[3], a[4]) for a in props["Attachments"]])

    seen = set()
    mark = len(signals)
    sent_path, err = send([OWN], {"Subject": GLib.Variant("s", "Three things · τρία"),
                                  "DeliveryReport": GLib.Variant("b", True)}, three)
    check(err is None, "SendMessage with three attachments: %s" % err)
    draft = wait_for(added(sent_path, after=mark), "MessageAdded of the sent message")
    check(draft[1]["Status"] == "draft", "a new message is a draft: %r" % draft[1]["Status"])
    check(abs(datetime.datetime.fromisoformat(draft[1]["Date"]).timestamp() - time.time()) < 3600,
          "Date is ISO 8601 and about now: %r" % draft[1]["Date"])
    wait_for(status_signal(sent_path, "sent"), "the message to be sent")
    m = messages()[sent_path]
    check(m["Status"] == "sent" and m["Recipients"] == [OWN] and m["Subject"] == "Three things · τρία"
          and m["Delivery Report"] is True and "<smil>" in m.get("Smil", ""), "GetMessages shows the sent message: %r" % m)
    same_parts(m, "sent message")
    check({a[0] for a in m["Attachments"]} >= {"photo.jpg", "contact.vcf"}, "part ids are the client's names")

    # ---------------------------------------------------------------- receive
    inds = new_spool_files(seen)
    check(len(inds) == 1, "the relay wrote one notification: %r" % inds)
    seen.update(inds)
    with open(os.path.join(work, "spool", inds[0]), "rb") as f:
        ind = f.read()
    mark = len(signals)
    check(push(wap_push(ind)) is None, "ReceiveNotification takes the WAP push")
    got = wait_for(added(after=mark), "MessageAdded of the received message")
    rx_path, rx = got
    check(rx["Status"] == "received" and rx.get("Sender") == OWN and rx["Subject"] == "Three things · τρία",
          "received message: %r" % rx)
    same_parts(rx, "received message")
    check(push(wap_push(ind)) is None and push(ind) is None, "the same notification pushed again is accepted")

    # Malformed pushes are refused; nothing is stored for them.
    bad_pushes = [b"", b"\x01\x06", b"\x01\x06\x7f\xbe", bytes([0x01, 0x06, 0x01, 0x83]) + ind,
                  wap_push(ind[:5]), b"\x8c\x80\x98abc\x00", bytes(range(256)) * 4]
    for i, data in enumerate(bad_pushes):
        check(push(data) == ERR + "InvalidArguments", "malformed push %d is refused with InvalidArguments" % i)

    # ---------------------------------------------------------------- bad sends
    missing = os.path.join(work, "nothing-here.jpg")
    bad_sends = [
        ([], {}, three, "InvalidArguments"),
        (["not a number"], {}, three, "InvalidArguments"),
        (["+1555;+1556"], {}, three, "InvalidArguments"),
        ([OWN], {}, [("x", "image/jpeg", missing)], "InvalidArguments"),
        ([OWN], {}, [("x", "image/jpeg", work)], "InvalidArguments"),
        ([OWN], {}, [("x", "nonsense", three[0][2])], "InvalidArguments"),
        ([OWN], {"Subject": GLib.Variant("i", 3)}, three, "InvalidArguments"),
        ([OWN], {}, [("t", "text/plain", os.path.join(SAMPLES, "photo.jpg"))], "InvalidArguments"),
        ([OWN], {}, [("a%d" % i, "text/vcard", three[2][2]) for i in range(11)], "UnsupportedMessage"),
    ]
    before = set(messages())
    for recips, opts, atts, name in bad_sends:
        path, err = send(recips, opts, atts)
        check(path is None and err == ERR + name, "bad send %r %r -> %s, got %s" % (recips, atts[:1], name, err))
    check(set(messages()) == before, "refused sends leave no message")

    # ---------------------------------------------------------------- the client's SMIL, a bare notification
    smil = ('<smil><body><par dur="5000ms"><img src="cid:bars@1"/><text src="cid:note.txt"/></par>'
            '</body></smil>')
    note = os.path.join(work, "note.txt")
    with open(note, "w") as f:
        f.write("Γειά σου\n")
    smil_path, err = send([OWN], {"smil": GLib.Variant("s", smil)},
                          [("bars@1", "image/png", os.path.join(SAMPLES, "bars.png")), ("note.txt", "text/plain", note)])
    check(err is None, "SendMessage with the client's SMIL: %s" % err)
    wait_for(status_signal(smil_path, "sent"), "the SMIL message to be sent")
    inds = new_spool_files(seen)
    seen.update(inds)
    with open(os.path.join(work, "spool", inds[0]), "rb") as f:
        mark = len(signals)
        check(push(f.read()) is None, "a bare m-notification-ind is taken")
    rx2_path, rx2 = wait_for(added(status="received", after=mark), "the SMIL message to come back")
    check(rx2.get("Smil") == smil, "the client's SMIL comes back as it was sent")
    check(sorted((a[0], part_bytes(a)) for a in rx2["Attachments"]) ==
          [("bars@1", sample("bars.png")), ("note.txt", "Γειά σου\n".encode())], "parts of the SMIL message keep their ids")

    # ---------------------------------------------------------------- MarkRead, Delete
    call(rx_path, "org.ofono.mms.Message", "MarkRead")
    wait_for(status_signal(rx_path, "read"), "PropertyChanged Status read")
    check(messages()[rx_path]["Status"] == "read", "GetMessages shows the read status")
    doomed = messages()[rx2_path]["Attachments"][0][2]
    call(rx2_path, "org.ofono.mms.Message", "Delete")
    wait_for(lambda: any(s[1] == "MessageRemoved" and s[2] == (rx2_path,) for s in signals), "MessageRemoved")
    check(rx2_path not in messages() and not os.path.exists(doomed), "a deleted message and its file are gone")
    check(error_of(rx2_path, "org.ofono.mms.Message", "MarkRead", None) is not None, "a deleted message has no object")

    # ---------------------------------------------------------------- relay faults
    def send_one(subject):
        path, err = send([OWN], {"Subject": GLib.Variant("s", subject)}, three[:1])
        check(err is None, "SendMessage (%s): %s" % (subject, err))
        return path

    control("fault=send:conf-status=0x82&count=1")  # Error-service-denied: permanent
    denied = send_one("denied")
    wait_for(status_signal(denied, "failed"), "the denied send to fail")
    control("fault=send:http-status=500&count=1")  # transient: retried, then sent
    retried = send_one("retried")
    wait_for(status_signal(retried, "sent"), "the retried send to succeed")
    control("fault=send:conf-status=0x86&count=3")  # Error-network-problem every time: retried, then failed
    gave_up = send_one("network")
    wait_for(status_signal(gave_up, "failed"), "the send to give up after its retries")
    # Relays that lie: each send ends in the status it should, nothing hangs.
    for fault, count, status in [("garbage", 3, "failed"), ("close-after=20", 3, "failed"),
                                 ("length=fewer", 1, "sent"), ("redirect=rel", 1, "sent"), ("trickle=64/10", 1, "sent")]:
        control("fault=send:%s&count=%d" % (fault, count))
        wait_for(status_signal(send_one(fault), status), "a send against %s to end %s" % (fault, status))
        control("clear=1")
    with open(daemon_log) as f:
        log = f.read()
    check("%s failed: %sPermanentServiceDenied" % (denied.rsplit("/", 1)[1], ERR) in log,
          "service denied maps to PermanentServiceDenied")
    check("%s failed: %sTransientNetworkProblem" % (gave_up.rsplit("/", 1)[1], ERR) in log,
          "network problem maps to TransientNetworkProblem after the retries")
    check(log.count(retried.rsplit("/", 1)[1] + ": " + ERR + "TransientFailure, attempt 2") == 1,
          "the HTTP failure was retried once")
    inds = new_spool_files(seen)  # the retried send's notification
    seen.update(inds)
    control("fault=get:oversize&count=1")  # a message above the download limit: permanent
    mark = len(signals)
    with open(os.path.join(work, "spool", inds[-1]), "rb") as f:
        check(push(wap_push(f.read())) is None, "push of the oversized message")
    big = wait_for(added(after=mark), "the oversized message to be announced")
    check(big[1]["Status"] == "failed" and big[1].get("Sender") == OWN, "an oversized message fails: %r" % big[1])

    # ---------------------------------------------------------------- restart
    before = messages()
    stop_daemon(daemon)
    wait_for(lambda: not agents, "the stopping service to take its push agent back")
    wait_for(lambda: any(x[1] == "ServiceRemoved" and x[2] == (SERVICE,) for x in signals), "ServiceRemoved")
    daemon = start_daemon(config, daemon_log)
    after = messages()
    check(after == before, "after a restart GetMessages returns the same messages and properties")
    check(len(after) == 12, "twelve messages are stored: %d" % len(after))
    same_parts(after[rx_path], "received message after the restart")

    # A send and a download cut off by a kill are taken up again after a restart.
    def kill_and_restart():
        daemon.kill()
        daemon.wait()
        wait_for(lambda: not has_owner(), "the killed service to leave the bus")
        agents.clear()
        control("clear=1")
        return start_daemon(config, daemon_log)

    control("fault=send:stall&count=1")
    survivor = send_one("survivor")
    daemon = kill_and_restart()
    wait_for(status_signal(survivor, "sent"), "the queued send to go out after the restart")
    inds = new_spool_files(seen)
    seen.update(inds)
    control("fault=get:stall&count=1")
    mark = len(signals)
    with open(os.path.join(work, "spool", inds[-1]), "rb") as f:
        check(push(wap_push(f.read())) is None, "push of the survivor")
    daemon = kill_and_restart()
    got = wait_for(added(status="received", after=mark), "the queued download to finish after the restart")
    check(got[1]["Subject"] == "survivor" and [part_bytes(a) for a in got[1]["Attachments"]] == [sample("photo.jpg")],
          "the survivor came through: %r" % got[1])
    check(len(messages()) == 14, "fourteen messages are stored")
    check(not [n for n in os.listdir(os.path.join(storage, "rorodire")) if n.startswith(".")],
          "no temporary files are left in the store")
    check(daemon.poll() is None, "rorodired is still running")
except BaseException as e:
    failures.append(str(e))
    raise
finally:
    cleanup()

if failures:
    print("%d checks failed" % len(failures), file=sys.stderr)
    sys.exit(1)
print("rorodired bus test: all checks passed")
