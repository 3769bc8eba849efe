#!/usr/bin/python3
# The ModemManager SMS path stays bounded: 5,000 SMS through the stand-in,
# half of them WAP pushes (delivery reports naming no message of ours: each
# is read, logged and deleted from the modem), half texts another app deletes
# as soon as they arrive (so some are gone before the service looks at them).
# The service's resident memory after the first 2,500 is the baseline; the
# next 2,500 may add little to it (nothing is kept per SMS the modem no
# longer lists).
# Usage: rorodired_sms_memory_test.py RORODIRED STANDIN
import os
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, pump, wap_push  # noqa: E402

DAEMON, STANDIN = sys.argv[1:3]
TOTAL, BASELINE_AT = int(os.environ.get("RR_SMS_TOTAL", 5000)), int(os.environ.get("RR_SMS_BASE", 2500))
# Once the allocator has settled, 2,500 more SMS may add at most 1 MB (400
# bytes an SMS; measured here: 4 to 110 KB; a leak of a proxy, a reply or a
# push per SMS is kilobytes each). The modem test counts what the backend
# remembers exactly.
MAX_GROWTH_KB = 1024
run = lib.Run("rorodired-sms-memory-test.", 60)
work, check = run.work, run.check


def delivery_report(i):
    return (bytes([0x8C, 0x86, 0x8D, 0x90, 0x8B]) + b"M-elsewhere-%d\0" % i + bytes([0x97]) +
            b"+15550100002/TYPE=PLMN\0" + bytes([0x95, 0x81]))


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    relay = "http://127.0.0.1:%d/mms" % lib.free_port()  # nothing is fetched
    system, _ = run.start_bus("system")
    session, _ = run.start_bus("session")
    out = os.path.join(work, "standin.out")
    standin = run.start(["/usr/bin/python3", STANDIN, "--address", system], stdout=open(out, "w"))
    run.wait_file_line(out, "ready", standin)
    sysconn = connect(system)
    conf = os.path.join(work, "rorodired.conf")
    with open(conf, "w") as f:
        f.write("[Service]\nStorageDir=%s\nRetries=0\n[Modem Manager]\nCarrierMMSC=%s\nMMS_APN=mms.test\n"
                % (os.path.join(work, "store"), relay))
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=session, DBUS_SYSTEM_BUS_ADDRESS=system)
    service = run.start([DAEMON, "--config", conf, "--session"], env=env,
                        stderr=open(os.path.join(work, "rorodired.err"), "w"))
    run.wait_file_line(os.path.join(work, "rorodired.err"), "bearer up", service)

    pending = [0]

    def done(c, res, _):
        c.call_finish(res)
        pending[0] -= 1

    def on_modem():
        return sysconn.call_sync("org.freedesktop.ModemManager1", "/org/rorodire/Standin", "org.rorodire.Standin",
                                 "Sms", None, None, Gio.DBusCallFlags.NONE, 30000, None).unpack()[0]

    def standin(method, args):
        pending[0] += 1
        sysconn.call("org.freedesktop.ModemManager1", "/org/rorodire/Standin",
                     "org.rorodire.Standin", method, args, None, Gio.DBusCallFlags.NONE, 30000, None, done, None)

    def added(c, res, _):
        path = c.call_finish(res).unpack()[0]
        pending[0] -= 1
        if path.endswith(("0", "2", "4", "6", "8")):  # the texts: another app deletes them at once
            standin("DeleteSms", GLib.Variant("(o)", (path,)))

    baseline = None
    for i in range(TOTAL):
        data, text = (wap_push(delivery_report(i)), "") if i % 2 else (b"", "text %d" % i)
        pending[0] += 1
        sysconn.call("org.freedesktop.ModemManager1", "/org/rorodire/Standin", "org.rorodire.Standin", "AddSms",
                     GLib.Variant("(saysb)", ("+15550100002", data, text, False)), None, Gio.DBusCallFlags.NONE,
                     30000, None, added, None)
        while pending[0] > 20:
            GLib.MainContext.default().iteration(True)
        if i + 1 == BASELINE_AT:
            run.wait_for(lambda: pending[0] == 0 and not on_modem(), "the first SMS to be taken", 60)
            baseline = rss_kb(service.pid)
    run.wait_for(lambda: pending[0] == 0 and not on_modem(), "every SMS to be taken", 60)
    pump(0.5)
    grown = rss_kb(service.pid) - baseline
    print("rss after %d SMS: %d KB; after %d: %d KB (+%d KB)" % (BASELINE_AT, baseline, TOTAL, baseline + grown, grown))
    check(grown < MAX_GROWTH_KB, "the service grew %d KB over %d SMS" % (grown, TOTAL - BASELINE_AT))
    with open(os.path.join(work, "rorodired.err")) as f:
        ignored = sum(1 for line in f if "no message of ours: ignored" in line)
    check(ignored == TOTAL // 2, "each push read once: %d" % ignored)
    check(service.poll() is None, "the service runs")


try:
    main()
except SystemExit as e:
    run.failures.append(str(e))
finally:
    run.stop_all()
    if run.failures:
        print("\n".join(run.failures), file=sys.stderr)
    else:
        run.remove_work()
print("FAILED: %d" % len(run.failures) if run.failures else "ok")
sys.exit(1 if run.failures else 0)
