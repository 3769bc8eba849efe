#!/usr/bin/env python3
"""The preview checker must catch what it is there to catch: one good page
passes, and each page with one fault fails with that fault named. Pages are
made in a temporary directory from the project's samples.
Usage: checker_selftest.py SAMPLES_DIR"""
import os
import shutil
import socket
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import Browser  # noqa: E402
from check_preview import check_page  # noqa: E402

HEAD = ('<!DOCTYPE html><html><head><meta charset="utf-8">'
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; img-src \'self\'; '
        'media-src \'self\'; style-src \'unsafe-inline\'"><title>t</title></head><body>')
GOOD = '<p>Γειά σου</p><img src="photo.jpg"><audio controls src="greeting.wav"></audio>'


def closed_port():
    """A loopback port with nothing listening on it."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    samples = sys.argv[1]
    port = closed_port()
    cases = [
        # name, page body, head (None = default), expected failure fragment
        ("good page", GOOD, None, None),
        ("image from the network", GOOD + f'<img src="http://127.0.0.1:{port}/x.png">', None, "points outside"),
        ("image outside the directory", GOOD + '<img src="../outside.jpg">', None, "points outside"),
        ("image that does not decode", GOOD + '<img src="broken.jpg">', None, "did not decode"),
        ("text missing", '<img src="photo.jpg">', None, "text not on the page"),
        ("script element", GOOD + '<script>document.title = "x"</script>', None, "script elements"),
        ("inline handler", '<p onclick="x()">Γειά σου</p><img src="photo.jpg">', None, "inline event handlers"),
        ("no CSP", GOOD, '<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>', "Content-Security-Policy"),
        ("audio that does not load", GOOD + '<audio src="broken.wav"></audio>', None, "did not load"),
    ]
    top = tempfile.mkdtemp(prefix="rorodire-checker-")
    bad = 0
    browser = Browser()
    try:
        for i, (name, body, head, expect) in enumerate(cases):
            d = os.path.join(top, f"case{i}")
            os.makedirs(d)
            shutil.copy(os.path.join(samples, "photo.jpg"), d)
            shutil.copy(os.path.join(samples, "greeting.wav"), d)
            with open(os.path.join(d, "broken.jpg"), "wb") as f:
                f.write(b"\xff\xd8 not really a jpeg")
            with open(os.path.join(d, "broken.wav"), "wb") as f:
                f.write(b"RIFF....WAVEjunk")
            shutil.copy(os.path.join(samples, "photo.jpg"), os.path.join(top, "outside.jpg"))
            with open(os.path.join(d, "index.html"), "w", encoding="utf-8") as f:
                f.write((head or HEAD) + body + "</body></html>")
            _, failures = check_page(browser, os.path.realpath(d), ["Γειά σου"])
            if expect is None:
                ok = not failures
            else:
                ok = any(expect in f for f in failures)
            print(f"{'ok  ' if ok else 'FAIL'} {name}: {failures if failures else 'passes'}")
            bad += not ok
    finally:
        browser.close()
        shutil.rmtree(top, ignore_errors=True)
    print(f"{len(cases) - bad} passed, {bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
