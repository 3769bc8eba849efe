#!/usr/bin/python3
# Switching from mmsd-tng: the real mmsd-tng (/usr/bin/mmsdtng) runs in a
# temporary home on private buses with the stand-in ModemManager and the
# development relay: settings are changed through ChangeSettings and
# SetProperty, a message is sent and delivered (delivery report), two are
# received (one read), one send is refused by the relay, one keeps failing
# (HTTP 500) and one notification cannot be downloaded (HTTP 404). Then
# mmsd-tng is stopped and rorodired is started the way its unit starts it
# (no settings file): ViewSettings, GetProperties, GetMessages and every
# attachment's bytes must be what mmsd-tng showed, the waiting notification
# is downloaded, the waiting send goes out, mmsd-tng's files are unchanged,
# and a second start takes nothing again.
# Usage: rorodired_mmsd_switch_test.py RORODIRED RORODIRE_TOOL SAMPLES_DIR STANDIN
# Exits 77 (skipped) when mmsd-tng is not installed.
import datetime
import hashlib
import os
import signal
import subprocess
import sys
import urllib.request

MMSD = "/usr/bin/mmsdtng"
if not os.access(MMSD, os.X_OK):
    print("SKIP: mmsd-tng is not installed (%s): nothing to switch from" % MMSD)
    sys.exit(77)

import gi  # noqa: E402

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, wap_push  # noqa: E402

DAEMON, TOOL, SAMPLES, STANDIN = sys.argv[1:5]
BUS = "org.ofono.mms"
ROOT = "/org/ofono/mms"
SERVICE = "/org/ofono/mms/modemmanager"
OWN, OTHER = "+15550100001", "+15550100002"
# A SIM of a real country: mmsd-tng formats numbers by the IMSI's MCC and
# refuses every send without one.
IMSI = "310260000000001"
LIMIT = 30

run = lib.Run("rorodired-mmsd-switch.", LIMIT)
work, failures = run.work, run.failures
check, start, wait_for = run.check, run.start, run.wait_for


def call(conn, path, iface, method, args=None, reply=None):
    return conn.call_sync(BUS, path, iface, method, args, GLib.VariantType(reply) if reply else None,
                          Gio.DBusCallFlags.NONE, 10000, None).unpack()


def exchanges(kind):
    return [e for e in run.relay_log() if e.get("type") == kind]


def when(text):
    """An ISO 8601 date as mmsd-tng ("+0000") or rorodired ("+00:00") writes it, in seconds."""
    return int(datetime.datetime.strptime(text.replace("Z", "+0000"), "%Y-%m-%dT%H:%M:%S%z").timestamp())


def attachment_bytes(props, bare=False):
    """(id, content type without parameters, bytes) of each attachment, read in place."""
    out = []
    for ident, ctype, path, offset, length in props.get("Attachments", []):
        with open(path, "rb") as f:
            f.seek(offset)
            out.append((ident.strip("<>") if bare else ident, ctype.split(";")[0].strip().lower(), f.read(length)))
    return out


def delivery_table(text):
    """'N1=retrieved;N2=none' without the numbers that have no report yet (none)."""
    return sorted(e for e in (text or "").split(";") if e and not e.endswith("=none"))


def tree(folder):
    """Every file below `folder`: content hash, mode and modification time."""
    out = {}
    for top, _, files in os.walk(folder):
        for f in files:
            p = os.path.join(top, f)
            st = os.lstat(p)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, folder)] = (hashlib.sha256(fh.read()).hexdigest(), st.st_mode, st.st_mtime_ns)
    return out


def main():
    system, _ = run.start_bus("system")
    session, _ = run.start_bus("session")
    relay_url = run.start_relay(TOOL)
    base = relay_url.rsplit("/", 1)[0]

    def fault(f, count):
        urllib.request.urlopen("%s/control?fault=%s&count=%d" % (base, f, count), timeout=10).read()

    standin_out = os.path.join(work, "standin.out")
    standin = start(["/usr/bin/python3", STANDIN, "--address", system, "--own-number", OWN, "--imsi", IMSI],
                    stdout=open(standin_out, "w"))
    run.wait_file_line(standin_out, "ready", standin)

    home = os.path.join(work, "home")
    os.makedirs(home)
    env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
    env.update(HOME=home, DBUS_SESSION_BUS_ADDRESS=session, DBUS_SYSTEM_BUS_ADDRESS=system)
    mmsd = start([MMSD, "-d"], env=env, stdout=open(os.path.join(work, "mmsd.out"), "w"), stderr=subprocess.STDOUT)
    conn = connect(session)
    signals = []
    conn.signal_subscribe(None, None, None, None, None, Gio.DBusSignalFlags.NONE,
                          lambda c, sender, path, iface, name, params: signals.append((path, name, params.unpack())))

    def services():
        try:
            return call(conn, ROOT, "org.ofono.mms.Manager", "GetServices", None, "(a(oa{sv}))")[0]
        except GLib.Error:
            return None

    wait_for(services, "mmsd-tng's service on the bus")

    def messages():
        return dict(call(conn, SERVICE, "org.ofono.mms.Service", "GetMessages", None, "(a(oa{sv}))")[0])

    def status_of(path):
        return messages().get(path, {}).get("Status")

    def send(recipient, subject, files, report=None):
        opts = {"Subject": GLib.Variant("s", subject)}
        if report is not None:
            opts["DeliveryReport"] = GLib.Variant("b", report)
        att = [(os.path.basename(f), ctype, f) for f, ctype in files]
        return call(conn, SERVICE, "org.ofono.mms.Service", "SendMessage",
                    GLib.Variant("(asva(sss))", ([recipient], GLib.Variant("a{sv}", opts), att)), "(o)")[0]

    def push(data):
        call(conn, ROOT, "org.ofono.mms.ModemManager", "PushNotify", GLib.Variant("(ay)", (wap_push(data),)))

    def incoming(subject, text):
        """The other phone sends us a message through the relay: its notification."""
        t = os.path.join(work, "in-%d.txt" % len(exchanges("m-send-req")))
        with open(t, "w") as f:
            f.write(text)
        pdu = os.path.join(work, "in.pdu")
        subprocess.run([TOOL, "compose", "-o", pdu, "--to", OWN, "--from", OTHER, "--subject", subject,
                        "--slide", "image=%s/photo.jpg,text=%s" % (SAMPLES, t)], check=True, stdout=subprocess.DEVNULL)
        n = len(exchanges("m-send-req"))
        subprocess.run([TOOL, "send", "--relay", relay_url, pdu], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        mine = [e for e in exchanges("m-send-req")[n:] if e.get("notifications")]
        with open(mine[0]["notifications"][0]["file"], "rb") as f:
            return f.read()

    # ---- mmsd-tng as a user of chatty left it
    mm = ("org.ofono.mms.ModemManager")
    for key, value in [("CarrierMMSC", GLib.Variant("s", relay_url)), ("MMS_APN", GLib.Variant("s", "mms.test")),
                       ("CarrierMMSProxy", GLib.Variant("s", "NULL")), ("DefaultModemNumber", GLib.Variant("s", OWN)),
                       ("AutoProcessOnConnection", GLib.Variant("b", True))]:
        call(conn, ROOT, mm, "ChangeSettings", GLib.Variant("(sv)", (key, value)))
    for key, value in [("UseDeliveryReports", GLib.Variant("b", True)), ("MaxAttachments", GLib.Variant("i", 10)),
                       ("TotalMaxAttachmentSize", GLib.Variant("i", 600000))]:
        call(conn, SERVICE, "org.ofono.mms.Service", "SetProperty", GLib.Variant("(sv)", (key, value)))

    # 1. Sent with a delivery report, fetched by the other phone, reported back: delivered.
    delivered = send(OTHER, "to the other phone", [(SAMPLES + "/photo.jpg", "image/jpeg"),
                                                   (SAMPLES + "/hello.txt", "text/plain")], report=True)
    wait_for(lambda: status_of(delivered) == "sent", "mmsd-tng: the message sent")
    note = exchanges("m-send-req")[0]["notifications"][0]["file"]
    subprocess.run([TOOL, "fetch", "--relay", relay_url, note, "-o", os.path.join(work, "other.mms")], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    report = wait_for(lambda: [f for f in os.listdir(os.path.join(work, "spool")) if "-delivery-" in f],
                      "the relay's delivery report")[0]
    with open(os.path.join(work, "spool", report), "rb") as f:
        push(f.read())
    wait_for(lambda: status_of(delivered) == "delivered", "mmsd-tng: the message delivered")

    # 2. Two received messages, the second read.
    received = []
    for subject in ("first incoming", "second incoming"):
        before = set(messages())
        push(incoming(subject, "hello: %s\n" % subject))
        received.append(wait_for(lambda: [p for p, m in messages().items() if p not in before
                                          and m.get("Status") == "received"], "mmsd-tng: " + subject)[0])
    call(conn, received[1], "org.ofono.mms.Message", "MarkRead")
    # mmsd-tng signals "read" but goes on listing the message as received
    # (its status file says read=true): rorodired lists it as read.
    wait_for(lambda: [x for x in signals if x[0] == received[1] and x[1] == "PropertyChanged"
                      and x[2] == ("status", "read")], "mmsd-tng: MarkRead")

    # (the message that will wait, sent to us before the relay's faults begin)
    waiting_pdu = incoming("waits for its download", "fetched after the switch\n")

    # 3. A notification whose download fails: it stays.
    fault("get:http-status=404", 1000)
    push(waiting_pdu)
    wait_for(lambda: [s for s in signals if s[1] == "MessageReceiveError"], "mmsd-tng: MessageReceiveError")
    # 4. A send the relay refuses (mmsd-tng 2.1 shows it as sent, without a
    # Message-ID) and one that keeps failing (it stays a draft).
    fault("send:conf-status=0xE1", 1)
    refused = send("+15550100003", "refused", [(SAMPLES + "/hello.txt", "text/plain")], report=False)
    wait_for(lambda: status_of(refused) == "sent", "mmsd-tng: the refused send done")
    fault("send:http-status=500", 1000)
    posts = len([e for e in run.relay_log() if e.get("fault")])
    failing = send("+15550100004", "keeps failing", [(SAMPLES + "/contact.vcf", "text/vcard")], report=False)
    wait_for(lambda: len([e for e in run.relay_log() if e.get("fault")]) > posts, "mmsd-tng: a failed POST")
    check(status_of(failing) == "draft", "mmsd-tng shows the failing send as draft: %r" % status_of(failing))

    call(conn, SERVICE, "org.ofono.mms.Service", "SetProperty",
         GLib.Variant("(sv)", ("AutoCreateSMIL", GLib.Variant("b", True))))

    seen_settings = call(conn, ROOT, mm, "ViewSettings", None, "(a{sv})")[0]
    seen_props = call(conn, SERVICE, "org.ofono.mms.Service", "GetProperties", None, "(a{sv})")[0]
    seen = messages()
    check(seen_props.get("NotificationInds") == 1, "mmsd-tng counts one notification: %r" % seen_props)
    # mmsd-tng lists no message for a notification; its status file says state=notification.
    check(len(seen) == 5, "mmsd-tng shows 5 messages: %r" % sorted(m["Status"] for m in seen.values()))
    folder = os.path.join(home, ".mms", "modemmanager")
    waiting = []
    for f in os.listdir(folder):
        if f.endswith(".status"):
            with open(os.path.join(folder, f)) as fh:
                if "state=notification" in fh.read():
                    waiting.append(SERVICE + "/" + f[:-len(".status")])
    check(len(waiting) == 1, "one notification in mmsd-tng's store: %r" % waiting)
    # Started while mmsd-tng still runs (its package gone, its process not
    # yet): nothing is taken over, the start fails to own the name.
    conf = os.path.join(home, ".config", "rorodired", "rorodired.conf")
    early = subprocess.run([DAEMON, "--config", conf, "--session"], env=env, capture_output=True, text=True,
                           timeout=LIMIT)
    check(early.returncode == 1 and "nothing taken over yet" in early.stderr,
          "started beside mmsd-tng: exit %d, %r" % (early.returncode, early.stderr[-300:]))
    check(not os.path.exists(conf), "started beside mmsd-tng: no settings file written")
    mmsd.send_signal(signal.SIGTERM)
    mmsd.wait(10)
    mmsd_files = tree(os.path.join(home, ".mms"))
    urllib.request.urlopen(base + "/control?clear=1", timeout=10).read()

    # ---- rorodired, started as its unit starts it

    def start_rorodired(name):
        err = os.path.join(work, name)
        p = start([DAEMON, "--config", conf, "--session"], env=env, stderr=open(err, "w"))
        run.wait_file_line(err, "ready as", p)
        return p, err

    signals.clear()
    first, first_err = start_rorodired("rorodired-1.err")
    with open(first_err) as f:
        log = f.read()
    check("took over mmsd-tng's store" in log, "the first start says it took over mmsd-tng's store")

    now_settings = call(conn, ROOT, mm, "ViewSettings", None, "(a{sv})")[0]
    for key, value in seen_settings.items():
        check(now_settings.get(key) == value, "ViewSettings %s: %r, mmsd-tng showed %r" % (key, now_settings.get(key), value))
    now_props = call(conn, SERVICE, "org.ofono.mms.Service", "GetProperties", None, "(a{sv})")[0]
    for key in ("UseDeliveryReports", "AutoCreateSMIL", "TotalMaxAttachmentSize", "MaxAttachments"):
        check(now_props.get(key) == seen_props.get(key),
              "GetProperties %s: %r, mmsd-tng showed %r" % (key, now_props.get(key), seen_props.get(key)))
    check(os.path.exists(conf), "the settings file is written")

    now = messages()
    for path, old in seen.items():
        new = now.get(path)
        if not check(new is not None, "%s (%s) is on the bus under the same path" % (path, old.get("Subject"))):
            continue
        want = old["Status"]
        got = new["Status"]
        if path == failing:
            check(got in ("draft", "sent"), "the failing send: %r (draft, or sent again already)" % got)
        else:
            if path == received[1]:
                want = "read"
            check(got == want, "%s: status %r, mmsd-tng showed %r" % (old.get("Subject"), got, want))
        check(when(new["Date"]) == when(old["Date"]), "%s: date %s, mmsd-tng %s" % (old.get("Subject"), new["Date"], old["Date"]))
        for key in ("Subject", "Sender", "Recipients", "Delivery Report"):
            if key not in old:  # mmsd-tng has no Delivery Report for a received message
                continue
            check(new.get(key) == old.get(key), "%s: %s %r, mmsd-tng %r" % (old.get("Subject"), key, new.get(key), old.get(key)))
        check(delivery_table(new.get("Delivery Status")) == delivery_table(old.get("Delivery Status")),
              "%s: Delivery Status %r, mmsd-tng %r" % (old.get("Subject"), new.get("Delivery Status"),
                                                      old.get("Delivery Status")))
        # The ids of sent parts: mmsd-tng shows them as the app gave them,
        # rorodired as the Content-ID in the PDU ("<photo.jpg>").
        check(attachment_bytes(new, True) == attachment_bytes(old, True),
              "%s: attachments %r, mmsd-tng %r" % (old.get("Subject"), [(a, c, len(b)) for a, c, b in attachment_bytes(new)],
                                                   [(a, c, len(b)) for a, c, b in attachment_bytes(old)]))

    # The waiting notification is downloaded as if it had just arrived.
    def fetched():
        m = messages().get(waiting[0], {}) if waiting else {}
        return m if m.get("Status") == "received" and m.get("Attachments") else None

    got = wait_for(fetched, "the pending notification downloaded")
    parts = attachment_bytes(got)
    with open(os.path.join(SAMPLES, "photo.jpg"), "rb") as f:
        photo = f.read()
    check(any(b == photo for _, _, b in parts), "the downloaded message holds photo.jpg byte for byte")
    check(any(b == b"fetched after the switch\n" for _, _, b in parts), "the downloaded message holds its text")
    wait_for(lambda: [s for s in signals if s[1] == "MessageAdded" and s[2][0] == waiting[0]],
             "MessageAdded for the downloaded notification")
    # The send that kept failing goes out now that the relay takes it.
    wait_for(lambda: status_of(failing) == "sent", "the failing send sent after the switch")
    check(tree(os.path.join(home, ".mms")) == mmsd_files, "mmsd-tng's files are unchanged")
    store_files = os.listdir(os.path.join(home, ".local", "share", "rorodired", "modemmanager"))
    check(not [f for f in os.listdir(os.path.join(home, ".mms", "modemmanager")) if f.endswith(".tmp")],
          "nothing written into mmsd-tng's folder")

    # ---- a second start takes nothing again
    count = len(messages())
    first.terminate()
    first.wait(10)
    second, second_err = start_rorodired("rorodired-2.err")
    with open(second_err) as f:
        log = f.read()
    check("took over" not in log and "no settings file" not in log, "the second start takes nothing: %r" % log[-500:])
    check(len(messages()) == count, "the second start shows the same %d messages" % count)
    check(sorted(os.listdir(os.path.join(home, ".local", "share", "rorodired", "modemmanager"))) == sorted(store_files),
          "the second start adds no file to the store")
    check(tree(os.path.join(home, ".mms")) == mmsd_files, "mmsd-tng's files are still unchanged")


try:
    main()
except SystemExit as e:
    failures.append(str(e))
    print("FAIL:", e, file=sys.stderr)
finally:
    run.stop_all()
    if failures:
        print("files kept in", work, file=sys.stderr)
        for name in ("rorodired-1.err", "rorodired-2.err", "relay.err"):
            p = os.path.join(work, name)
            if os.path.exists(p):
                with open(p) as f:
                    sys.stderr.write("---- %s\n%s" % (name, f.read()[-4000:]))
    else:
        run.remove_work()
sys.exit(1 if failures else 0)
