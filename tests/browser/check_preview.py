#!/usr/bin/env python3
"""Opens an HTML preview (DIR/index.html) in headless Chromium and checks it
as a person would see it:
  - every image decoded (complete, naturalWidth > 0) and every audio/video
    element loaded its metadata without a media error;
  - every expected text is on the page;
  - nothing was requested outside DIR: network events, performance entries
    and every URL-bearing attribute resolve to files inside DIR;
  - the page is inert: a Content-Security-Policy without script sources, no
    script elements, no inline event handlers, no frames or plugins.
Writes a full-page screenshot (phone-sized viewport) when asked.
Usage: check_preview.py DIR [--text T]... [--text-file F]... [--images N]
                            [--media N] [--screenshot OUT.png]
Exit 0 when every check passes; failures are listed on stderr."""
import argparse
import base64
import json
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdp import Browser  # noqa: E402

PAGE_FACTS = r"""
(async () => {
  const imgs = [...document.images];
  await Promise.all(imgs.map(i => i.decode().catch(() => null)));
  const media = [...document.querySelectorAll('audio, video')];
  await Promise.all(media.map(m => new Promise(done => {
    if (m.readyState >= 1 || m.error) return done();
    m.addEventListener('loadedmetadata', done, {once: true});
    m.addEventListener('error', done, {once: true});
    m.load();
    setTimeout(done, 8000);
  })));
  const urls = [];
  for (const el of document.querySelectorAll('*')) {
    for (const a of ['src', 'href', 'poster', 'data', 'action', 'formaction', 'background', 'srcset']) {
      if (el.hasAttribute(a)) urls.push({tag: el.tagName, attr: a, value: el.getAttribute(a),
                                         resolved: a === 'srcset' ? null : new URL(el.getAttribute(a), document.baseURI).href});
    }
    const st = el.getAttribute('style') || '';
    for (const m of st.matchAll(/url\(([^)]*)\)/g)) urls.push({tag: el.tagName, attr: 'style', value: m[1], resolved: null});
  }
  const handlers = [];
  for (const el of document.querySelectorAll('*'))
    for (const a of el.getAttributeNames()) if (a.startsWith('on')) handlers.push(el.tagName + '.' + a);
  const csp = [...document.querySelectorAll('meta[http-equiv]')]
    .filter(m => m.httpEquiv.toLowerCase() === 'content-security-policy').map(m => m.content);
  return {
    title: document.title,
    text: document.body ? document.body.innerText : '',
    images: imgs.map(i => ({src: i.currentSrc || i.src, complete: i.complete, naturalWidth: i.naturalWidth})),
    media: media.map(m => ({tag: m.tagName, src: m.currentSrc || m.src, readyState: m.readyState,
                            error: m.error ? m.error.code : null, duration: m.duration})),
    urls, handlers, csp,
    scripts: document.scripts.length,
    embeds: document.querySelectorAll('iframe, frame, object, embed, base, form').length,
    entries: performance.getEntries().filter(e => e.entryType === 'resource' || e.entryType === 'navigation').map(e => e.name),
    height: Math.ceil(document.documentElement.scrollHeight),
  };
})()
"""


def norm(s):
    return " ".join(s.split())


def inside(url, root):
    """True for a file: URL naming a path inside root (after resolving . and ..)."""
    p = urllib.parse.urlparse(url)
    if p.scheme != "file":
        return False
    path = os.path.normpath(urllib.parse.unquote(p.path))
    return path == root or path.startswith(root + os.sep)


def check_page(browser, root, expected, images=None, media=None, screenshot=None):
    """Loads root/index.html in the browser's page; returns (facts, failures)."""
    page = os.path.join(root, "index.html")
    failures = []
    browser.events.clear()
    browser.call("Network.enable")
    browser.call("Page.enable")
    browser.call("Page.navigate", {"url": "file://" + urllib.parse.quote(page)})
    browser.wait_event("Page.loadEventFired")
    facts = browser.evaluate(PAGE_FACTS, timeout=60)
    requests = [e["params"]["request"]["url"] for e in browser.events
                if e["method"] == "Network.requestWillBeSent"]
    blocked = [e["params"] for e in browser.events if e["method"] == "Network.loadingFailed"]
    facts["requests"] = requests

    for i, img in enumerate(facts["images"]):
        if not img["complete"] or img["naturalWidth"] <= 0:
            failures.append(f"image {i + 1} ({img['src']}) did not decode")
    if images is not None and len(facts["images"]) != images:
        failures.append(f"{len(facts['images'])} images on the page, expected {images}")
    for m in facts["media"]:
        if m["error"] is not None or m["readyState"] < 1:
            failures.append(f"{m['tag'].lower()} {m['src']} did not load (error {m['error']}, readyState {m['readyState']})")
    if media is not None and len(facts["media"]) != media:
        failures.append(f"{len(facts['media'])} audio/video elements on the page, expected {media}")
    text = norm(facts["text"])
    for t in expected:
        if norm(t) not in text:
            failures.append(f"text not on the page: {t!r}")
    for url in requests:
        # data: URLs never leave the browser (its own media controls use
        # them); any the page itself names fail the attribute check below.
        if not url.startswith("data:") and not inside(url, root):
            failures.append(f"request outside the preview directory: {url[:120]}")
    for b in blocked:
        if b.get("blockedReason"):
            failures.append(f"a request was blocked ({b['blockedReason']}): the page asked for something it may not load")
    for name in facts["entries"]:
        if not inside(name, root):
            failures.append(f"performance entry outside the preview directory: {name[:120]}")
    for u in facts["urls"]:
        if u["resolved"] is None or not inside(u["resolved"], root):
            failures.append(f"{u['tag'].lower()} {u['attr']}={u['value'][:120]!r} points outside the preview directory")
    if not any("script-src 'none'" in c or "default-src 'none'" in c for c in facts["csp"]):
        failures.append("no Content-Security-Policy forbidding scripts")
    if facts["scripts"]:
        failures.append(f"{facts['scripts']} script elements on the page")
    if facts["handlers"]:
        failures.append("inline event handlers: " + ", ".join(facts["handlers"][:5]))
    if facts["embeds"]:
        failures.append(f"{facts['embeds']} frame, object, embed, base or form elements on the page")

    if screenshot:
        shot = browser.call("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": 390, "height": max(100, min(facts["height"], 8000)), "scale": 1}})
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
    return facts, failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--text", action="append", default=[])
    ap.add_argument("--text-file", action="append", default=[])
    ap.add_argument("--images", type=int, default=None, help="exact number of images expected")
    ap.add_argument("--media", type=int, default=None, help="exact number of audio/video elements expected")
    ap.add_argument("--screenshot")
    args = ap.parse_args()

    root = os.path.realpath(args.dir)
    page = os.path.join(root, "index.html")
    if not os.path.isfile(page):
        print(f"check_preview: no page {page}", file=sys.stderr)
        return 1
    expected = list(args.text)
    for f in args.text_file:
        expected += [line for line in open(f, encoding="utf-8").read().splitlines() if line.strip()]

    browser = Browser()
    try:
        facts, failures = check_page(browser, root, expected, args.images, args.media, args.screenshot)
    finally:
        browser.close()

    print(json.dumps({"page": page, "images": len(facts["images"]), "media": len(facts["media"]),
                      "requests": len(facts["requests"]), "texts_checked": len(expected),
                      "failures": failures}, ensure_ascii=False))
    for f in failures:
        print("check_preview: " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
