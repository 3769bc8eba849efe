# What the service's Python tests share: a run's work folder and the
# processes it started, checks that are counted, waiting on the GLib main
# context, private D-Bus daemons, the development relay on loopback and the
# WAP push around a PDU.
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

SYSTEM_BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%(socket)s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    %(calls)s
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Peer"/>
  </policy>
  <policy user="root">
    <allow own="*"/>
    <allow send_type="method_call"/>
  </policy>
  %(include)s
</busconfig>
"""


def connect(address):
    return Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wap_push(pdu):
    # Transaction id, Push, headers: application/vnd.wap.mms-message and
    # X-Wap-Application-Id x-wap-application:mms.ua.
    headers = bytes([0xBE, 0xAF, 0x84])
    return bytes([0x01, 0x06, len(headers)]) + headers + pdu


def pump(seconds):
    ctx = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ctx.iteration(False) or time.sleep(0.02)


class Run:
    """A test run: its work folder, the processes it started, its failures."""

    def __init__(self, prefix, limit):
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.limit = limit  # seconds any one awaited event may take
        self.procs = []
        self.failures = []

    def check(self, cond, what):
        if not cond:
            self.failures.append(what)
            print("FAIL:", what, file=sys.stderr)
        return cond

    def start(self, argv, **kwargs):
        p = subprocess.Popen(argv, **kwargs)
        self.procs.append(p)
        return p

    def wait_file_line(self, path, needle, proc):
        """The first line of `path` holding `needle`, while `proc` runs."""
        for _ in range(600):
            if os.path.exists(path):
                with open(path) as f:
                    for line in f:
                        if needle in line:
                            return line.strip()
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        raise SystemExit("%s did not say '%s'" % (path, needle))

    def wait_for(self, pred, what, limit=None):
        ctx = GLib.MainContext.default()
        deadline = time.monotonic() + (limit or self.limit)
        while time.monotonic() < deadline:
            r = pred()
            if r:
                return r
            ctx.iteration(False) or time.sleep(0.02)
        raise SystemExit("gave up waiting for " + what)

    def start_bus(self, name, system=None, group=None):
        """A private bus: the session kind, or a system bus with the shipped
        policy (system="policy", its group replaced by `group`) or one that
        lets everyone call (system="open"). Its address and process."""
        sock = os.path.join(self.work, name)
        out = open(os.path.join(self.work, name + ".address"), "w")
        if system is None:
            cmd = ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
                   "--address=unix:path=" + sock]
        else:
            include = ""
            if system == "policy":
                with open(os.path.join(HERE, "..", "org.ofono.mms.conf")) as f:
                    policy = f.read().replace('group="mms"', 'group="%s"' % group)
                with open(os.path.join(self.work, "policy.conf"), "w") as f:
                    f.write(policy)
                include = "<include>%s</include>" % os.path.join(self.work, "policy.conf")
            conf = os.path.join(self.work, name + ".conf")
            with open(conf, "w") as f:
                f.write(SYSTEM_BUS_CONF % {"socket": sock, "include": include,
                                           "calls": '<deny send_type="method_call"/>' if system == "policy"
                                           else '<allow send_type="method_call"/>'})
            cmd = ["dbus-daemon", "--config-file=" + conf, "--nofork", "--nopidfile", "--print-address=1"]
        p = self.start(cmd, stdout=out, stderr=subprocess.DEVNULL)
        return self.wait_file_line(out.name, "unix:", p), p

    def start_relay(self, tool):
        """The development relay on a free loopback port, its spool and log in
        the work folder; its URL."""
        err = os.path.join(self.work, "relay.err")
        p = self.start([tool, "relay", "--port", "0", "--spool", os.path.join(self.work, "spool"),
                        "--log", os.path.join(self.work, "relay.log")], stderr=open(err, "w"))
        line = self.wait_file_line(err, "listening on", p)
        return line.split("listening on ")[1].split()[0]

    def relay_log(self):
        path = os.path.join(self.work, "relay.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop_all(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()

    def remove_work(self):
        shutil.rmtree(self.work, ignore_errors=True)
