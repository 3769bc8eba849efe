#!/usr/bin/python3
# rorodired with ModemManager as its modem backend, as on a phone: the
# stand-in ModemManager (mm_standin.py) on a private "system" bus, the service
# on a private session bus, the development relay on loopback. Checks what an
# app sees: a WAP push SMS becomes a `received` message and leaves the modem
# (AutoProcessSMSWAP), other SMS stay, the modem's own number is the
# message's "Modem Number", and without a bearer the queue waits
# (BearerHandlerError, nothing reaches the relay) and goes on when the bearer
# connects.
# Usage: rorodired_mm_test.py RORODIRED RORODIRE_TOOL SAMPLES_DIR STANDIN
import os
import subprocess
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, pump, wap_push  # noqa: E402

DAEMON, TOOL, SAMPLES, STANDIN = sys.argv[1:5]
BUS = "org.ofono.mms"
SERVICE = "/org/ofono/mms/modemmanager"
MM = "org.freedesktop.ModemManager1"
OWN = "+15550100001"
LIMIT = 30  # seconds any one awaited event may take

# mmsd-tng's BearerHandlerError codes
NO_BEARERS_ACTIVE, INTERFACE_DISCONNECTED = 1, 2

run = lib.Run("rorodired-mm-test.", LIMIT)
work, procs, failures = run.work, run.procs, run.failures
check, start, first_line, wait_for = run.check, run.start, run.wait_file_line, run.wait_for


def call(conn, dest, path, iface, method, args=None, reply=None):
    return conn.call_sync(dest, path, iface, method, args, GLib.VariantType(reply) if reply else None,
                          Gio.DBusCallFlags.NONE, 10000, None).unpack()


def exchanges(kind):
    return [e for e in run.relay_log() if e.get("type") == kind]


def main():
    system, _ = run.start_bus("system")
    session, _ = run.start_bus("session")
    relay_url = run.start_relay(TOOL)

    # Someone sends us a message through the relay; its notification becomes
    # a WAP push SMS on the modem.
    def notification_push(subject):
        text = os.path.join(work, "hello.txt")
        with open(text, "w") as f:
            f.write("hello from the other phone\n")
        pdu = os.path.join(work, "out.pdu")
        subprocess.run([TOOL, "compose", "-o", pdu, "--to", OWN, "--from", "+15550100002", "--subject", subject,
                        "--slide", "text=" + text], check=True, stdout=subprocess.DEVNULL)
        before = len(exchanges("m-send-req"))
        subprocess.run([TOOL, "send", "--relay", relay_url, pdu], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        note = exchanges("m-send-req")[before]["notifications"][0]["file"]
        with open(note, "rb") as f:
            return wap_push(f.read())

    first = notification_push("waiting on the modem")

    standin_out = os.path.join(work, "standin.out")
    standin = start(["/usr/bin/python3", STANDIN, "--address", system, "--own-number", OWN, "--sms", first.hex()],
                    stdout=open(standin_out, "w"))
    first_line(standin_out, "ready", standin)
    sysconn = connect(system)

    def standin_call(method, args=None, reply=None):
        return call(sysconn, MM, "/org/rorodire/Standin", "org.rorodire.Standin", method, args, reply)

    def add_sms(data=b"", text="", receiving=False):
        return standin_call("AddSms", GLib.Variant("(saysb)", ("+15550100002", data, text, receiving)), "(o)")[0]

    def on_modem(path):
        return path in standin_call("Sms", None, "(ao)")[0]

    conf = os.path.join(work, "rorodired.conf")
    with open(conf, "w") as f:
        f.write("[Service]\nStorageDir=%s\nRetryDelay=0.2\n"
                "[Modem Manager]\nCarrierMMSC=%s\nMMS_APN=mms.test\nAutoProcessSMSWAP=true\n"
                "AutoProcessOnConnection=true\n" % (os.path.join(work, "store"), relay_url))
    conn = connect(session)
    signals = []
    conn.signal_subscribe(None, None, None, None, None, Gio.DBusSignalFlags.NONE,
                          lambda c, sender, path, iface, name, params: signals.append((path, name, params.unpack())))
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=session, DBUS_SYSTEM_BUS_ADDRESS=system)
    service = start([DAEMON, "--config", conf, "--session"], env=env,
                    stderr=open(os.path.join(work, "rorodired.err"), "w"))

    def added(status):
        return [s for s in signals if s[1] == "MessageAdded" and s[2][1].get("Status") == status]

    # 1. The push that waited on the modem is read through List() at start.
    wait_for(lambda: added("received"), "MessageAdded 'received' for the SMS on the modem at start")
    msg = added("received")[0][2][1]
    check(msg.get("Subject") == "waiting on the modem", "received message's subject: %r" % msg.get("Subject"))
    check(msg.get("Sender") == "+15550100002", "received message's sender: %r" % msg.get("Sender"))
    check(msg.get("Modem Number", OWN) == OWN, "Modem Number from the modem's OwnNumbers: %r" % msg.get("Modem Number"))
    sms0 = "/org/freedesktop/ModemManager1/SMS/0"
    wait_for(lambda: not on_modem(sms0), "the WAP push SMS deleted from the modem")
    check(standin_call("Calls", None, "(as)")[0].count("Messaging.Delete " + sms0) == 1, "one Delete of the push SMS")

    # 2. A text SMS and a WAP push of another kind (SI) stay on the modem and
    # add no message; a push still being received is taken once it is whole.
    plain = add_sms(text="see you at eight")
    si = add_sms(bytes([0x01, 0x06, 0x01, 0xAE, 0x02, 0x05, 0x6A, 0x00]))
    late = add_sms(notification_push("arrived in pieces"), receiving=True)
    wait_for(lambda: len(added("received")) == 2, "MessageAdded for the SMS received in pieces")
    check(added("received")[1][2][1].get("Subject") == "arrived in pieces", "second message's subject")
    wait_for(lambda: not on_modem(late), "the second push SMS deleted")
    check(on_modem(plain) and on_modem(si), "the text SMS and the SI push are left on the modem")
    # chatty hands WAP pushes over through PushNotify too: the same push twice is one message.
    call(conn, BUS, "/org/ofono/mms", "org.ofono.mms.ModemManager", "PushNotify", GLib.Variant("(ay)", (first,)))
    pump(1.0)
    check(len(added("received")) == 2, "a push taken from the modem and given again by PushNotify adds nothing")

    # 3. The bearer goes down: BearerHandlerError, and neither a download nor
    # a send reaches the relay until it is back.
    def bearer_errors():
        return [s[2][0] for s in signals if s[1] == "BearerHandlerError"]

    check(bearer_errors() == [], "no BearerHandlerError while the bearer is up: %r" % bearer_errors())
    standin_call("SetBearer", GLib.Variant("(bbss)", (True, False, "mms.test", "lo")))
    wait_for(bearer_errors, "BearerHandlerError")
    check(bearer_errors() == [INTERFACE_DISCONNECTED],
          "BearerHandlerError codes %r (InterfaceDisconnected is 2)" % bearer_errors())
    gets, posts = len(exchanges("m-retrieve-conf")), len(exchanges("m-send-req"))
    waiting = add_sms(notification_push("while the bearer was down"))
    posts += 1  # the other phone's send above
    with open(os.path.join(work, "note.txt"), "w") as f:
        f.write("sent without a bearer\n")
    path = call(conn, BUS, SERVICE, "org.ofono.mms.Service", "SendMessage",
                GLib.Variant("(asva(sss))", (["+15550100002,"], GLib.Variant("a{sv}", {"Subject": GLib.Variant("s", "later")}),
                                             [("note.txt", "text/plain", os.path.join(work, "note.txt"))])), "(o)")[0]
    wait_for(lambda: not on_modem(waiting), "the push SMS taken while the bearer is down")
    pump(2.0)
    check(len(exchanges("m-retrieve-conf")) == gets, "no download while the bearer is down")
    check(len(exchanges("m-send-req")) == posts, "no send while the bearer is down")
    check(len(added("received")) == 2, "no message received while the bearer is down")
    status = {p: s for p, s in call(conn, BUS, SERVICE, "org.ofono.mms.Service", "GetMessages", None, "(a(oa{sv}))")[0]}
    check(status.get(path, {}).get("Status") == "draft", "the send waits as draft: %r" % status.get(path, {}).get("Status"))

    # 4. The bearer is back: the queue goes on by itself.
    standin_call("SetBearer", GLib.Variant("(bbss)", (True, True, "mms.test", "lo")))
    wait_for(lambda: len(added("received")) == 3, "the download once the bearer is back")
    wait_for(lambda: [s for s in signals if s[0] == path and s[1] == "PropertyChanged" and s[2] == ("status", "sent")],
             "the send once the bearer is back")
    check(len(exchanges("m-send-req")) == posts + 1, "the waiting send posted once")

    # 5. No bearer at all, then ProcessMessageQueue with none: the app hears
    # BearerHandlerError again (NoBearersActive) and nothing is lost.
    standin_call("SetBearer", GLib.Variant("(bbss)", (False, False, "mms.test", "lo")))
    wait_for(lambda: NO_BEARERS_ACTIVE in bearer_errors(), "BearerHandlerError NoBearersActive")
    check(service.poll() is None, "the service still runs")


try:
    main()
except SystemExit as e:
    failures.append(str(e))
    print("FAIL:", e, file=sys.stderr)
finally:
    run.stop_all()
    if failures:
        print("files kept in", work, file=sys.stderr)
        for name in ("rorodired.err", "relay.err"):
            p = os.path.join(work, name)
            if os.path.exists(p):
                with open(p) as f:
                    sys.stderr.write("---- %s\n%s" % (name, f.read()[-4000:]))
    else:
        run.remove_work()
sys.exit(1 if failures else 0)
