#!/usr/bin/python3
# What a messaging app (chatty) sees of rorodired, in one session against a
# relay written here that can be scripted to fail, to redirect and to answer
# late, on private buses (nothing leaves loopback):
#  - a message with a base64 text and a JPEG as it is: every attachment names
#    the same file, and at each offset lie the decoded bytes;
#  - a download that fails keeps its notification: MessageReceiveError only,
#    no message object, then the message whole once the relay is back
#    (ProcessMessageQueue); one the relay says is gone is reported once;
#  - TotalMaxAttachmentSize is 1100000 and a 400 KB attachment is sent; a
#    message above it is refused naming the limit;
#  - a failed send stays "draft" and goes again on ProcessMessageQueue and at
#    the next start; a refusal for good is not sent again;
#  - an app watching the name sees the service once per start;
#  - the app's attachment ids are kept and Delivery Status reads
#    "+15550100002=none";
#  - redirects: one to another port, a protocol-relative one and a 307 on a
#    send never reach anything but the relay (a listener on the other port
#    counts connections), and the transfer ends with the reason.
# Usage: rorodired_app_test.py RORODIRED STANDIN
import http.server
import os
import socket
import socketserver
import sys
import threading

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rrd_testlib as lib  # noqa: E402
from rrd_testlib import connect, pump  # noqa: E402

DAEMON, STANDIN = (sys.argv[1:3] + ["", ""])[:2]
BUS, MANAGER, SERVICE = "org.ofono.mms", "/org/ofono/mms", "/org/ofono/mms/modemmanager"
SVC_IF, MGR_IF, MM_IF = "org.ofono.mms.Service", "org.ofono.mms.Manager", "org.ofono.mms.ModemManager"
OWN, PEER = "+15550100001", "+15550100002"

run = lib.Run("rorodired-app-test.", 30) if __name__ == "__main__" else None
if run:
    work, check, wait_for = run.work, run.check, run.wait_for


# ---------------------------------------------------------------- PDUs
def cstr(s):
    return s.encode() + b"\0"


def notification(url, tid):
    frm = cstr(PEER + "/TYPE=PLMN")
    return (bytes([0x8C, 0x82, 0x98]) + cstr(tid) + bytes([0x8D, 0x92, 0x89, len(frm) + 1, 0x80]) + frm +
            bytes([0x8A, 0x80, 0x8E, 0x02, 0x01, 0x00, 0x88, 0x04, 0x81, 0x02, 0x0E, 0x10, 0x83]) + cstr(url))


def wap_push(pdu):
    return bytes([0x01, 0x06, 0x03, 0xBE, 0xAF, 0x84]) + pdu


TEXT = "hello, decoded from base64"
JPEG = b"\xff\xd8\xff\xe0" + bytes(range(256)) * 4 + b"\xff\xd9"
# A photo as another phone like this one may send it: above the 307200 bytes
# of the library's own download limit, within MaxMessageSize.
LARGE_JPEG = b"\xff\xd8\xff\xe0" + os.urandom(600 * 1024) + b"\xff\xd9"


def retrieve_conf(jpeg=JPEG):
    """An m-retrieve-conf: a base64 text part and a JPEG as it is."""
    import base64
    b64 = base64.b64encode(TEXT.encode())
    h1 = bytes([0x83]) + cstr("Content-Transfer-Encoding") + cstr("base64")
    h2 = bytes([0x9E])

    def uintvar(n):
        out = [n & 0x7F]
        n >>= 7
        while n:
            out.insert(0, 0x80 | (n & 0x7F))
            n >>= 7
        return bytes(out)
    frm = cstr(PEER + "/TYPE=PLMN")
    head = bytes([0x8C, 0x84, 0x8D, 0x92, 0x89, len(frm) + 1, 0x80]) + frm + bytes([0x84, 0xA3])
    body = uintvar(2)
    for h, d in ((h1, b64), (h2, jpeg)):
        body += uintvar(len(h)) + uintvar(len(d)) + h + d
    return head + body


def send_conf(tid, status=0x80, mid="M-1"):
    return bytes([0x8C, 0x81, 0x98]) + cstr(tid) + bytes([0x8D, 0x92, 0x92, status]) + \
        (bytes([0x8B]) + cstr(mid) if status == 0x80 else b"")


def tid_of(req):
    if len(req) > 3 and req[0] == 0x8C and req[2] == 0x98:
        return req[3:req.index(0, 3)].decode()
    return ""


# ---------------------------------------------------------------- the relay
class Relay:
    """Answers as the test says: script maps a path to a list of actions."""

    def __init__(self):
        self.mode = {"get": "ok", "post": "ok"}
        self.requests = []  # (method, path, body)
        self.lock = threading.Lock()
        relay = self

        class H(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *a):
                pass

            def answer(self, code, body=b"", headers=()):
                self.send_response(code)
                for k, v in headers:
                    self.send_header(k, v)
                self.send_header("Content-Type", "application/vnd.wap.mms-message")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                with relay.lock:
                    relay.requests.append(("GET", self.path, b""))
                    mode = relay.mode["get"]
                if mode == "down":
                    return self.answer(503)
                if mode == "gone":
                    return self.answer(404)
                if mode.startswith("redirect:"):
                    return self.answer(302, headers=[("Location", mode[9:])])
                self.answer(200, retrieve_conf(LARGE_JPEG if "/large" in self.path else JPEG))

            def do_POST(self):
                n = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(n)
                with relay.lock:
                    relay.requests.append(("POST", self.path, body))
                    mode = relay.mode["post"]
                if body[:2] != b"\x8c\x80":  # notify-resp, acknowledge, read report
                    return self.answer(200)
                if mode == "down":
                    return self.answer(503)
                if mode == "refuse":
                    return self.answer(200, send_conf(tid_of(body), 0xE3))
                if mode.startswith("redirect:"):
                    return self.answer(307, headers=[("Location", mode[9:])])
                self.answer(200, send_conf(tid_of(body)))

        class Server(socketserver.ThreadingTCPServer):
            def handle_error(self, request, client_address):
                pass  # a transfer the service stopped: its connection is gone

        self.server = Server(("127.0.0.1", 0), H)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def count(self, method, pred=lambda b: True):
        with self.lock:
            return sum(1 for m, _, b in self.requests if m == method and pred(b))


class Listener:
    """Another host:port: counts every connection made to it."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.accepted = 0
        threading.Thread(target=self.loop, daemon=True).start()

    def loop(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            c.close()


# ---------------------------------------------------------------- the session
def main():
    session, _ = run.start_bus("session")
    system, _ = run.start_bus("system")  # the stand-in ModemManager: its bearer is up on lo
    standin_out = os.path.join(work, "standin.out")
    standin = run.start(["/usr/bin/python3", STANDIN, "--address", system, "--own-number", OWN],
                        stdout=open(standin_out, "w"))
    run.wait_file_line(standin_out, "ready", standin)
    relay, other = Relay(), Listener()
    url = "http://127.0.0.1:%d/mms" % relay.port
    store = os.path.join(work, "store")
    conf = os.path.join(work, "rorodired.conf")
    with open(conf, "w") as f:
        f.write("[Service]\nStorageDir=%s\nRetryDelay=0.1\nRetries=1\nUseDeliveryReports=true\n"
                "[Modem Manager]\nCarrierMMSC=%s\nMMS_APN=mms.test\nDefaultModemNumber=%s\n" % (store, url, OWN))
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=session, DBUS_SYSTEM_BUS_ADDRESS=system)
    conn = connect(session)
    signals = []
    conn.signal_subscribe(BUS, None, None, None, None, Gio.DBusSignalFlags.NONE,
                          lambda c, s, path, iface, name, p: signals.append((path, name, p.unpack())))

    # An app that watches the name: GetServices when it appears, plus ServiceAdded.
    services_seen = []

    def appeared(c, name, owner):
        v = c.call_sync(BUS, MANAGER, MGR_IF, "GetServices", None, None, Gio.DBusCallFlags.NONE, 10000, None)
        services_seen.extend(p for p, _ in v.unpack()[0])
    Gio.bus_watch_name_on_connection(conn, BUS, Gio.BusNameWatcherFlags.NONE, appeared, None)
    conn.signal_subscribe(BUS, MGR_IF, "ServiceAdded", MANAGER, None, Gio.DBusSignalFlags.NONE,
                          lambda c, s, path, iface, name, p: services_seen.append(p.unpack()[0]))

    def start_service():
        n = len(services_seen)
        p = run.start([DAEMON, "--config", conf, "--session"], env=env,
                      stderr=open(os.path.join(work, "rorodired.err"), "a"))
        wait_for(lambda: len(services_seen) > n, "the service to appear")
        pump(0.5)
        check(len(services_seen) == n + 1, "the service seen once per start: %r" % services_seen[n:])
        return p

    def call(path, iface, method, args=None):
        return conn.call_sync(BUS, path, iface, method, args, None, Gio.DBusCallFlags.NONE, 30000, None).unpack()

    def push(location, tid):
        call(MANAGER, MM_IF, "PushNotify", GLib.Variant("(ay)", (wap_push(notification(location, tid)),)))

    def named(name):
        return [s for s in signals if s[1] == name]

    def props():
        return dict(call(SERVICE, SVC_IF, "GetProperties")[0])

    def messages():
        return dict(call(SERVICE, SVC_IF, "GetMessages")[0])

    service = start_service()

    # 3. The attachments' budget is mmsd-tng's.
    check(props().get("TotalMaxAttachmentSize") == 1100000,
          "TotalMaxAttachmentSize %r" % props().get("TotalMaxAttachmentSize"))

    # 2. Downloads while the relay is down: MessageReceiveError only, the
    # notification kept, no message object; then the message, once, whole.
    relay.mode["get"] = "down"
    push(url + "/msg/b64", "T-b64")
    wait_for(lambda: named("MessageReceiveError"), "MessageReceiveError for a relay that is down")
    pump(0.5)
    check(not named("MessageAdded"), "no message while it cannot be downloaded: %r" % named("MessageAdded"))
    check(messages() == {}, "GetMessages shows nothing of it")
    check(props().get("NotificationInds") == 1, "its notification is kept: %r" % props().get("NotificationInds"))
    relay.mode["get"] = "ok"
    call(MANAGER, MM_IF, "ProcessMessageQueue")
    wait_for(lambda: named("MessageAdded"), "the message once the relay is back")
    path, added = named("MessageAdded")[0][2]
    check(added["Status"] == "received", "status %r" % added["Status"])

    # 1. Every attachment names one file; the decoded bytes lie at each offset.
    atts = added["Attachments"]
    check(len(atts) == 2, "two attachments: %r" % atts)
    files = {a[2] for a in atts}
    check(len(files) == 1, "one file for every attachment: %r" % files)
    with open(atts[0][2], "rb") as f:
        data = f.read()   # what chatty does: the first attachment's file, each one's offset
    want = [TEXT.encode(), JPEG]
    for a, w in zip(atts, want):
        check(data[a[3]:a[3] + a[4]] == w, "attachment %s: %d bytes at %d are its decoded bytes" % (a[0], a[4], a[3]))
    check(props().get("NotificationInds") == 0, "no notification waits any more")

    # A 600 KB message (above the library's own 307200 bytes, within
    # MaxMessageSize) is received whole.
    push(url + "/msg/large", "T-large")
    wait_for(lambda: len(named("MessageAdded")) == 2, "the 600 KB message")
    large = named("MessageAdded")[1][2][1]["Attachments"]
    jpeg = [a for a in large if a[1] == "image/jpeg"]
    check(len(jpeg) == 1 and jpeg[0][4] == len(LARGE_JPEG), "the 600 KB photo is shown: %r" % large)
    with open(jpeg[0][2], "rb") as f:
        f.seek(jpeg[0][3])
        check(f.read(jpeg[0][4]) == LARGE_JPEG, "the 600 KB photo byte for byte")

    # One the relay says is gone: reported once, dropped, never shown.
    errors = len(named("MessageReceiveError"))
    relay.mode["get"] = "gone"
    push(url + "/msg/gone", "T-gone")
    wait_for(lambda: len(named("MessageReceiveError")) > errors, "MessageReceiveError for a gone message")
    pump(1.0)
    check(len(named("MessageReceiveError")) == errors + 1, "reported once")
    check(len(named("MessageAdded")) == 2 and len(messages()) == 2, "a gone message is never shown")
    relay.mode["get"] = "ok"

    # 7. Redirects away from the relay: nothing connects elsewhere.
    for target in ("http://127.0.0.1:%d/msg/x" % other.port, "//127.0.0.1:%d/msg/y" % other.port):
        relay.mode["get"] = "redirect:" + target
        errors = len(named("MessageReceiveError"))
        push(url + "/msg/redirected-" + target[-1], "T-r" + target[-1])
        wait_for(lambda: len(named("MessageReceiveError")) > errors, "the redirected download to fail")
        err = named("MessageReceiveError")[-1][2][0]
        check("redirect" in err.get("Text", "") and str(other.port) in err.get("Text", ""),
              "the reason names the redirect: %r" % err.get("Text"))
    relay.mode["get"] = "ok"

    # 3 and 6. A 400 KB attachment goes; the app's ids are kept; Delivery Status.
    big = os.path.join(work, "voice.ogg")
    with open(big, "wb") as f:
        f.write(os.urandom(400 * 1024))
    text = os.path.join(work, "message-contents.txt")
    with open(text, "w") as f:
        f.write("a voice note")
    sent = call(SERVICE, SVC_IF, "SendMessage", GLib.Variant("(asva(sss))", (
        [PEER + ","], GLib.Variant("a{sv}", {"DeliveryReport": GLib.Variant("b", True)}),
        [("voice-00001.ogg", "audio/ogg", big), ("message-contents.txt", "text/plain", text)])))[0]
    wait_for(lambda: any(s[0] == sent and s[1] == "PropertyChanged" and s[2] == ("status", "sent") for s in signals),
             "the 400 KB message to be sent")
    shown = messages()[sent]
    check(sorted(a[0] for a in shown["Attachments"]) == ["message-contents.txt", "voice-00001.ogg"],
          "the app's attachment ids: %r" % [a[0] for a in shown["Attachments"]])
    check(shown.get("Delivery Status") == PEER + "=none", "Delivery Status %r" % shown.get("Delivery Status"))
    huge = os.path.join(work, "huge.bin")
    with open(huge, "wb") as f:
        f.write(b"\0" * 1100001)
    try:
        call(SERVICE, SVC_IF, "SendMessage", GLib.Variant("(asva(sss))", (
            [PEER], GLib.Variant("a{sv}", {}), [("huge.bin", "application/octet-stream", huge)])))
        check(False, "a message above TotalMaxAttachmentSize is refused")
    except GLib.Error as e:
        check("TotalMaxAttachmentSize" in e.message, "the refusal names the limit: %s" % e.message)

    # 7. A 307 on a send: the message is never posted anywhere else.
    relay.mode["post"] = "redirect:http://127.0.0.1:%d/mms" % other.port
    small = os.path.join(work, "note.txt")
    with open(small, "w") as f:
        f.write("hi")

    def send_note():
        return call(SERVICE, SVC_IF, "SendMessage", GLib.Variant("(asva(sss))", (
            [PEER], GLib.Variant("a{sv}", {}), [("note.txt", "text/plain", small)])))[0]
    errors = len(named("MessageSendError"))
    redirected = send_note()
    wait_for(lambda: len(named("MessageSendError")) > errors, "the redirected send to fail")
    check("redirect" in named("MessageSendError")[-1][2][0].get("Text", ""), "the send's reason names the redirect")
    check(other.accepted == 0, "nothing connected to the other port: %d connections" % other.accepted)

    # 4. Failed sends stay drafts and go again; a refusal for good does not.
    check(messages()[redirected]["Status"] == "draft", "a failed send reads draft: %r" % messages()[redirected]["Status"])
    relay.mode["post"] = "refuse"
    refused = send_note()
    wait_for(lambda: any(s[1] == "MessageSendError" and s[2][0].get("MessagePath") == refused for s in signals),
             "the refusal")
    check(messages()[refused]["Status"] == "draft", "a refused send reads draft too")
    relay.mode["post"] = "down"
    down = send_note()
    wait_for(lambda: any(s[1] == "MessageSendError" and s[2][0].get("MessagePath") == down for s in signals),
             "the send to give up while the relay is down")
    relay.mode["post"] = "ok"

    def posts_of(p):
        tid = "T" + p.rsplit("/", 1)[1]
        return relay.count("POST", lambda b: tid_of(b) == tid)
    before = {p: posts_of(p) for p in (redirected, refused, down)}
    call(MANAGER, MM_IF, "ProcessMessageQueue")
    wait_for(lambda: any(s[0] == down and s[2] == ("status", "sent") for s in signals if s[1] == "PropertyChanged"),
             "the failed send to go on ProcessMessageQueue")
    wait_for(lambda: any(s[0] == redirected and s[2] == ("status", "sent") for s in signals
                         if s[1] == "PropertyChanged"), "the redirected one too")
    check(posts_of(refused) == before[refused], "the refused one is not sent again")

    # The next start: a draft given up goes again, the refused one does not.
    relay.mode["post"] = "down"
    again = send_note()
    wait_for(lambda: any(s[1] == "MessageSendError" and s[2][0].get("MessagePath") == again for s in signals),
             "another send to give up")
    service.terminate()
    service.wait(10)
    relay.mode["post"] = "ok"
    refusedPosts = posts_of(refused)
    service = start_service()
    wait_for(lambda: messages().get(again, {}).get("Status") == "sent", "the draft to be sent at the start")
    check(posts_of(refused) == refusedPosts, "the refused one stays as it is after a restart")
    check(messages()[refused]["Status"] == "draft", "and reads draft")
    # The message with decoded parts loads as it was shown.
    check(messages()[path]["Attachments"] == atts, "the attachments after a restart")
    check(other.accepted == 0, "nothing ever connected to the other port")


if __name__ == "__main__":
    try:
        main()
    except SystemExit as e:
        run.failures.append(str(e))
    finally:
        run.stop_all()
        if run.failures:
            print("\n".join(run.failures), file=sys.stderr)
            print("rorodired.err:\n" + open(os.path.join(work, "rorodired.err")).read()[-3000:], file=sys.stderr)
        else:
            run.remove_work()
    print("FAILED: %d" % len(run.failures) if run.failures else "ok")
    sys.exit(1 if run.failures else 0)
