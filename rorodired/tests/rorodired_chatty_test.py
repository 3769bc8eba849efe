#!/usr/bin/python3
# The real chatty, headless under Xvfb, against rorodired on private buses
# with the stand-in ModemManager and a scriptable relay (that of
# rorodired_app_test.py): what the user sees is read from chatty's history
# database and the files it saves.
#  - chatty finds the service once per start (one GetServices, one
#    GetMessages: ServiceAdded never reaches it a second time);
#  - a message arrives while the relay is down: chatty shows nothing (no
#    "empty MMS"), and the service keeps its notification;
#  - the relay is back (ProcessMessageQueue, as chatty's own refresh does):
#    chatty shows the message once, the base64 text decoded and the JPEG
#    saved byte for byte.
# Usage: rorodired_chatty_test.py RORODIRED STANDIN
import glob
import os
import sqlite3
import subprocess
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rorodired_app_test as app  # noqa: E402
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, pump  # noqa: E402

DAEMON, STANDIN = sys.argv[1:3]
OWN = app.OWN
run = lib.Run("rorodired-chatty-test.", 30)
work, check, wait_for = run.work, run.check, run.wait_for


def main():
    for tool in ("/usr/bin/chatty", "/usr/bin/xvfb-run", "/usr/bin/dbus-monitor"):
        if not os.path.exists(tool):
            raise SystemExit("%s is missing (scripts/deps.sh test installs chatty and xvfb)" % tool)
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "run")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    session, _ = run.start_bus("session")
    system, _ = run.start_bus("system")
    out = os.path.join(work, "standin.out")
    standin = run.start(["/usr/bin/python3", STANDIN, "--address", system, "--own-number", OWN], stdout=open(out, "w"))
    run.wait_file_line(out, "ready", standin)
    relay = app.Relay()
    url = "http://127.0.0.1:%d/mms" % relay.port
    conf = os.path.join(work, "rorodired.conf")
    with open(conf, "w") as f:
        f.write("[Service]\nStorageDir=%s\nRetryDelay=0.1\nRetries=0\n[Modem Manager]\nCarrierMMSC=%s\n"
                "MMS_APN=mms.test\nDefaultModemNumber=%s\n" % (os.path.join(work, "store"), url, OWN))
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=session, DBUS_SYSTEM_BUS_ADDRESS=system, HOME=home,
               XDG_RUNTIME_DIR=runtime, XDG_DATA_HOME=os.path.join(home, ".local", "share"),
               XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_CACHE_HOME=os.path.join(home, ".cache"),
               GSETTINGS_BACKEND="memory", NO_AT_BRIDGE="1")
    monitor = os.path.join(work, "monitor.txt")
    run.start(["dbus-monitor", "--address", session, "destination='org.ofono.mms'"], stdout=open(monitor, "w"),
              stderr=subprocess.DEVNULL)
    errlog = os.path.join(work, "rorodired.err")
    service = run.start([DAEMON, "--config", conf, "--session"], env=env, stderr=open(errlog, "w"))
    run.wait_file_line(errlog, "bearer up", service)
    chatty_log = os.path.join(work, "chatty.out")
    chatty = run.start(["xvfb-run", "-a", "/usr/bin/chatty", "--debug"], env=env, stdout=open(chatty_log, "w"),
                       stderr=subprocess.STDOUT, start_new_session=True)

    def calls(member):
        with open(monitor) as f:
            return sum(1 for line in f if "member=%s" % member in line and "method call" in line)
    wait_for(lambda: calls("GetMessages") >= 1, "chatty to read the service's messages", 60)
    pump(2)
    check(calls("GetServices") == 1 and calls("GetMessages") == 1,
          "chatty connects once: GetServices %d, GetMessages %d" % (calls("GetServices"), calls("GetMessages")))

    conn = connect(session)
    signals = []
    conn.signal_subscribe(app.BUS, None, None, None, None, Gio.DBusSignalFlags.NONE,
                          lambda c, s, path, iface, name, p: signals.append((path, name, p.unpack())))

    def call(path, iface, method, args=None):
        return conn.call_sync(app.BUS, path, iface, method, args, None, Gio.DBusCallFlags.NONE, 30000, None).unpack()

    # The relay is down: nothing for chatty to show.
    relay.mode["get"] = "down"
    push = app.wap_push(app.notification(url + "/msg/b64", "T-chatty"))
    call(app.MANAGER, app.MM_IF, "PushNotify", GLib.Variant("(ay)", (push,)))
    wait_for(lambda: any(s[1] == "MessageReceiveError" for s in signals), "MessageReceiveError")
    pump(2)
    db_glob = os.path.join(home, ".purple", "chatty", "db", "chatty-history.db")  # where chatty 0.7 keeps it

    def texts():
        rows = []
        for db in glob.glob(db_glob):
            c = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=5)
            try:
                rows += [r[0] or "" for r in c.execute("SELECT body FROM messages")]
            except sqlite3.Error:
                pass
            c.close()
        return rows
    check(not any("empty MMS" in t for t in texts()), "no empty MMS while the relay is down: %r" % texts())
    check(dict(call(app.SERVICE, app.SVC_IF, "GetProperties")[0])["NotificationInds"] == 1, "the notification waits")

    # The relay is back.
    relay.mode["get"] = "ok"
    call(app.MANAGER, app.MM_IF, "ProcessMessageQueue")
    wait_for(lambda: any(s[1] == "MessageAdded" for s in signals), "MessageAdded")
    saved_glob = os.path.join(home, ".local", "share", "chatty", "mms", "**", "*")

    def saved():
        return [p for p in glob.glob(saved_glob, recursive=True) if os.path.isfile(p)]
    wait_for(lambda: any(app.TEXT in t for t in texts()), "chatty to show the decoded text (%r)" % texts(), 30)
    wait_for(lambda: any(open(p, "rb").read() == app.JPEG for p in saved()), "chatty to save the JPEG byte for byte", 30)
    check(sum(1 for t in texts() if app.TEXT in t) == 1, "the message is shown once: %r" % texts())
    check(not any("empty MMS" in t for t in texts()), "never an empty MMS: %r" % texts())
    try:
        os.killpg(chatty.pid, 15)
    except OSError:
        pass


try:
    main()
except SystemExit as e:
    run.failures.append(str(e))
finally:
    run.stop_all()
    if run.failures:
        print("\n".join(run.failures), file=sys.stderr)
        for name in ("rorodired.err", "chatty.out"):
            p = os.path.join(work, name)
            if os.path.exists(p):
                print("%s:\n%s" % (name, open(p, errors="replace").read()[-2500:]), file=sys.stderr)
    else:
        run.remove_work()
print("FAILED: %d" % len(run.failures) if run.failures else "ok")
sys.exit(1 if run.failures else 0)
