#!/usr/bin/python3
# rorodired and mmsd-tng side by side, as a phone's MMS service: two stand-in
# phones, each with its own private system bus carrying a ModemManager
# stand-in (rorodired/tests/mm_standin.py, a SIM of a real network so that
# mmsd-tng knows its country, the bearer on `lo`) and its own private session
# bus carrying the service; one development relay on loopback for both. The
# figures are taken in turns (one service, then the other, the order
# alternating), each `--runs` times, and printed as medians with the ratio
# rorodired / mmsd-tng:
#   send 10 KB / 300 KB        SendMessage -> PropertyChanged status "sent"
#   receive 10 KB / 300 KB     WAP push SMS on the modem -> MessageAdded "received"
#   50 pushes at once          -> all 50 MessageAdded
#   20 SendMessage at once     -> all 20 "sent"
#   CPU per received message   the service's CPU time (all threads) over the 50 pushes / 50
#   peak RSS                   VmHWM of the service at the end
#   start with N stored        process start -> GetMessages lists all N
# mmsd-tng is optional: without it only rorodired's figures are printed.
# A benchmark, not a test: run it on a quiet machine.
#
# Usage: bench/service_bench.py [--rorodired PATH] [--tool PATH] [--mmsd PATH|none]
#                               [--runs N] [--stored N] [--keep]
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "rorodired", "tests")
sys.path.insert(0, TESTS)

import gi  # noqa: E402

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

import rrd_testlib as lib  # noqa: E402

BUS = "org.ofono.mms"
SERVICE = "/org/ofono/mms/modemmanager"
SVC_IF = "org.ofono.mms.Service"
MM = "org.freedesktop.ModemManager1"
PEER = "+15550100002"
OPERATOR = "310260"  # a real network: mmsd-tng takes the phone's country from it
LIMIT = 120.0


def now():
    return time.monotonic()


def iterate_until(pred, limit=LIMIT, what="an event"):
    """Runs the main context until pred() is true; blocks between events."""
    ctx = GLib.MainContext.default()
    deadline = now() + limit
    beat = GLib.timeout_add(100, lambda: True)
    try:
        while True:
            r = pred()
            if r:
                return r
            if now() > deadline:
                raise SystemExit("gave up waiting for " + what)
            ctx.iteration(True)
    finally:
        GLib.source_remove(beat)


def cpu_ns(pid):
    """CPU time of every thread of pid, in nanoseconds."""
    total = 0
    for t in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, t)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Phone:
    """One stand-in phone: its buses, its ModemManager stand-in, its service."""

    def __init__(self, run, name, own, argv_of, config_of, relay_url):
        self.run, self.name, self.own = run, name, own
        self.dir = os.path.join(run.work, name)
        os.makedirs(self.dir)
        self.system, _ = run.start_bus(name + "-system", system="open")
        self.session, _ = run.start_bus(name + "-session")
        out = os.path.join(self.dir, "standin.out")
        st = run.start(["/usr/bin/python3", os.path.join(TESTS, "mm_standin.py"), "--address", self.system,
                        "--own-number", own, "--operator", OPERATOR, "--imsi", OPERATOR + "000000001"],
                       stdout=open(out, "w"))
        run.wait_file_line(out, "ready", st)
        self.mm = lib.connect(self.system)
        self.bus = lib.connect(self.session)
        self.signals = []  # (time, path, name, args)
        self.bus.signal_subscribe(None, None, None, None, None, Gio.DBusSignalFlags.NONE, self.on_signal)
        self.argv_of, self.env = argv_of, None
        self.home = os.path.join(self.dir, "home")
        os.makedirs(self.home)
        self.argv, self.env = config_of(self, relay_url)
        self.proc = None

    def on_signal(self, conn, sender, path, iface, name, params):
        self.signals.append((now(), path, name, params.unpack()))

    def start(self):
        self.proc = self.run.start(self.argv, env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(self.dir, "service.err"), "a"))
        return self.proc

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def call(self, method, args=None, reply=None, timeout=30000):
        return self.bus.call_sync(BUS, SERVICE, SVC_IF, method, args, GLib.VariantType(reply) if reply else None,
                                  Gio.DBusCallFlags.NONE, timeout, None).unpack()

    def messages(self):
        return self.call("GetMessages", None, "(a(oa{sv}))")[0]

    def ready(self):
        """The service answers GetMessages with its bearer up (a send goes out)."""
        try:
            self.messages()
            return True
        except GLib.Error:
            return False

    def send_async(self, attachments, done):
        args = GLib.Variant("(asva(sss))", ([PEER], GLib.Variant("a{sv}", {}), attachments))
        self.bus.call(BUS, SERVICE, SVC_IF, "SendMessage", args, GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE,
                      60000, None, lambda c, res: done(c.call_finish(res).unpack()[0]))

    def sent_paths(self, after):
        return {s[1] for s in self.signals[after:]
                if s[2] == "PropertyChanged" and str(s[3][0]).lower() == "status" and s[3][1] == "sent"}

    def sent_time(self, path, after):
        for s in self.signals[after:]:
            if s[1] == path and s[2] == "PropertyChanged" and str(s[3][0]).lower() == "status" and s[3][1] == "sent":
                return s[0]
        return None

    def received(self, after):
        return [s for s in self.signals[after:] if s[2] == "MessageAdded" and s[3][1].get("Status") == "received"]

    def push(self, sms_pdu):
        self.mm.call_sync(MM, "/org/rorodire/Standin", "org.rorodire.Standin", "AddSms",
                          GLib.Variant("(saysb)", (PEER, sms_pdu, "", False)), GLib.VariantType("(o)"),
                          Gio.DBusCallFlags.NONE, 10000, None)


def rorodired_config(daemon):
    def config(phone, relay_url):
        conf = os.path.join(phone.dir, "rorodired.conf")
        with open(conf, "w") as f:
            f.write("[Service]\nStorageDir=%s\n[Modem Manager]\nCarrierMMSC=%s\nMMS_APN=mms.test\n"
                    "AutoProcessSMSWAP=true\nAutoProcessOnConnection=true\n" % (os.path.join(phone.dir, "store"),
                                                                                 relay_url))
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=phone.session, DBUS_SYSTEM_BUS_ADDRESS=phone.system,
                   HOME=phone.home)
        return [daemon, "--config", conf, "--session"], env
    return config


def mmsd_config(binary):
    def config(phone, relay_url):
        d = os.path.join(phone.home, ".mms", "modemmanager")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "mms"), "w") as f:
            f.write("[Modem Manager]\nCarrierMMSC=%s\nMMS_APN=mms.test\nCarrierMMSProxy=NULL\n"
                    "DefaultModemNumber=NULL\nAutoProcessOnConnection=true\nAutoProcessSMSWAP=true\n" % relay_url)
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=phone.session, DBUS_SYSTEM_BUS_ADDRESS=phone.system,
                   HOME=phone.home)
        return [binary], env
    return config


class Bench:
    def __init__(self, args):
        self.args = args
        self.run = lib.Run("service-bench.", LIMIT)
        self.tool = args.tool
        self.relay = self.run.start_relay(self.tool)
        self.files = {}
        self.seq = 0

    def attachment(self, size):
        if size not in self.files:
            path = os.path.join(self.run.work, "att-%d.bin" % size)
            with open(path, "wb") as f:
                f.write(os.urandom(size))
            self.files[size] = path
        return self.files[size]

    def notification_for(self, phone, size):
        """A message of about `size` bytes for `phone` at the relay; the WAP
        push SMS that announces it."""
        self.seq += 1
        pdu = os.path.join(self.run.work, "in-%d.mms" % self.seq)
        subprocess.run([self.tool, "compose", "-o", pdu, "--to", phone.own, "--from", PEER, "--subject",
                        "bench %d" % self.seq, "--attach", self.attachment(size)], check=True,
                       stdout=subprocess.DEVNULL)
        before = len([e for e in self.run.relay_log() if e.get("type") == "m-send-req"])
        subprocess.run([self.tool, "send", "--relay", self.relay, pdu], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        sends = [e for e in self.run.relay_log() if e.get("type") == "m-send-req"]
        with open(sends[before]["notifications"][0]["file"], "rb") as f:
            return lib.wap_push(f.read())

    # ---------------------------------------------------------------- figures
    def send_once(self, phone, size):
        att = [("a1", "application/octet-stream", self.attachment(size))]
        mark = len(phone.signals)
        box = {}
        t0 = now()
        phone.send_async(att, lambda path: box.setdefault("path", path))
        iterate_until(lambda: "path" in box and phone.sent_time(box["path"], mark), what=phone.name + " send")
        return phone.sent_time(box["path"], mark) - t0

    def receive_once(self, phone, size):
        sms = self.notification_for(phone, size)
        mark = len(phone.signals)
        t0 = now()
        phone.push(sms)
        got = iterate_until(lambda: phone.received(mark), what=phone.name + " receive")
        return got[0][0] - t0

    def pushes_at_once(self, phone, n=50):
        smss = [self.notification_for(phone, 1000) for _ in range(n)]
        mark = len(phone.signals)
        cpu0 = cpu_ns(phone.proc.pid)
        t0 = now()
        for s in smss:
            phone.push(s)
        got = iterate_until(lambda: len(phone.received(mark)) >= n and phone.received(mark),
                            what=phone.name + " %d pushes" % n)
        t = max(s[0] for s in got[:n]) - t0
        return t, (cpu_ns(phone.proc.pid) - cpu0) / 1e6 / n

    def sends_at_once(self, phone, n=20):
        att = [("a1", "application/octet-stream", self.attachment(1000))]
        mark = len(phone.signals)
        paths = []
        t0 = now()
        for _ in range(n):
            phone.send_async(att, paths.append)
        iterate_until(lambda: len(paths) == n and set(paths) <= phone.sent_paths(mark),
                      what=phone.name + " %d sends" % n)
        return max(phone.sent_time(p, mark) for p in paths) - t0

    def fill(self, phone, n):
        """Receives small messages until the store holds n."""
        have = len(phone.messages())
        while have < n:
            batch = min(50, n - have)
            smss = [self.notification_for(phone, 200) for _ in range(batch)]
            mark = len(phone.signals)
            for s in smss:
                phone.push(s)
            iterate_until(lambda: len(phone.received(mark)) >= batch, what=phone.name + " filling the store")
            have = len(phone.messages())

    def start_with_stored(self, phone, n):
        phone.stop()
        t0 = now()
        phone.start()
        # Polled in a tight loop (nothing on the bus wakes a wait here); the
        # reply's entries are counted, not unpacked.
        deadline = t0 + LIMIT
        while now() < deadline:
            try:
                reply = phone.bus.call_sync(BUS, SERVICE, SVC_IF, "GetMessages", None,
                                            GLib.VariantType("(a(oa{sv}))"), Gio.DBusCallFlags.NONE, 30000, None)
                if reply.get_child_value(0).n_children() >= n:
                    return now() - t0
            except GLib.Error:
                pass
            time.sleep(0.002)
        raise SystemExit("gave up waiting for %s GetMessages after start" % phone.name)

    def wait_ready(self, phone):
        # Up, its bearer up: a first send goes through (not measured).
        iterate_until(phone.ready, what=phone.name + " on the bus")
        self.send_once(phone, 100)


def fmt(v, unit):
    if unit == "s":
        return "%.1f ms" % (v * 1000) if v < 1 else "%.2f s" % v
    if unit == "ms":
        return "%.1f ms" % v
    return "%.1f MB" % (v / 1024)


def main():
    root = os.path.join(HERE, "..")
    p = argparse.ArgumentParser(description="rorodired and mmsd-tng side by side")
    p.add_argument("--rorodired", default=os.path.join(root, "build", "rorodired", "rorodired"))
    p.add_argument("--tool", default=os.path.join(root, "build", "rorodire"))
    p.add_argument("--mmsd", default="/usr/bin/mmsdtng", help="mmsd-tng's binary, or none")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--stored", type=int, default=1000)
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    args = p.parse_args()

    b = Bench(args)
    phones = [Phone(b.run, "rorodired", "+15550100001", None, rorodired_config(args.rorodired), b.relay)]
    have_mmsd = args.mmsd != "none" and os.access(args.mmsd, os.X_OK)
    if have_mmsd:
        phones.append(Phone(b.run, "mmsd-tng", "+15550100003", None, mmsd_config(args.mmsd), b.relay))
    else:
        print("mmsd-tng is not installed (%s): rorodired's figures only" % args.mmsd)
    results = {ph.name: {} for ph in phones}

    def record(ph, key, v):
        results[ph.name].setdefault(key, []).append(v)

    try:
        for ph in phones:
            ph.start()
            b.wait_ready(ph)
        for r in range(args.runs):
            order = phones if r % 2 == 0 else list(reversed(phones))
            for ph in order:
                record(ph, "send10", b.send_once(ph, 10 * 1000))
            for ph in order:
                record(ph, "send300", b.send_once(ph, 300 * 1000))
            for ph in order:
                record(ph, "recv10", b.receive_once(ph, 10 * 1000))
            for ph in order:
                record(ph, "recv300", b.receive_once(ph, 300 * 1000))
            for ph in order:
                t, cpu = b.pushes_at_once(ph)
                record(ph, "push50", t)
                record(ph, "cpu", cpu)
            for ph in order:
                record(ph, "send20", b.sends_at_once(ph))
        for ph in phones:
            results[ph.name]["rss"] = [peak_rss_kb(ph.proc.pid)]
        for ph in phones:
            b.fill(ph, args.stored)
        for r in range(args.runs):
            order = phones if r % 2 == 0 else list(reversed(phones))
            for ph in order:
                record(ph, "start", b.start_with_stored(ph, args.stored))
    finally:
        for ph in phones:
            ph.stop()
        b.run.stop_all()
        if args.keep:
            print("work folder:", b.run.work)
        else:
            b.run.remove_work()

    rows = [("send 10 KB: SendMessage -> status sent", "send10", "s"),
            ("send 300 KB: SendMessage -> status sent", "send300", "s"),
            ("receive 10 KB: WAP-push SMS -> MessageAdded", "recv10", "s"),
            ("receive 300 KB", "recv300", "s"),
            ("50 pushes at once -> all received", "push50", "s"),
            ("20 SendMessage at once -> all sent", "send20", "s"),
            ("CPU per received message (50 at once)", "cpu", "ms"),
            ("peak RSS", "rss", "MB"),
            ("start with %d stored -> GetMessages lists all" % args.stored, "start", "s")]
    names = [ph.name for ph in phones]
    print("\nmedians of %d runs, interleaved; ratio = rorodired / mmsd-tng" % args.runs)
    print("| figure | " + " | ".join(names) + (" | ratio |" if have_mmsd else " |"))
    print("|---" * (len(names) + 1 + (1 if have_mmsd else 0)) + "|")
    for label, key, unit in rows:
        meds = [statistics.median(results[n][key]) for n in names]
        line = "| %s | %s |" % (label, " | ".join(fmt(m, unit) for m in meds))
        if have_mmsd:
            line += " %.2f |" % (meds[0] / meds[1] if meds[1] else float("nan"))
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
