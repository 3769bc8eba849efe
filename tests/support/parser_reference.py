#!/usr/bin/env python3
"""Independent reading of MMS PDUs for the presentation-parser tests.

Body parts come from Wireshark (tshark -T pdml: every wsp.multipart entry of
the mmse protocol), the SMIL presentation from Python's xml.etree. For each
PDU given on the command line it prints tab-separated lines:

  FILE  <name>
  PART  <pdu offset of data> <data length> <content type> <location> <name> <content-id>
  SMIL  <pdu offset> <length>                      (the presentation part)
  REGION <id> <left> <top> <width> <height>        (numbers as a SMIL reader takes them)
  PAR   <dur ms>
  MEDIA <element> <part index or -1> <begin ms> <end ms> <region id>
  BGCOLOR <par colour> / FGCOLOR <colour> are not used by these messages.

Empty texts are written as "-". Offsets count from the first byte of the PDU.

With --wsp as the first argument the body is read by the WSP reader of this
file instead of Wireshark (which leaves bodies whose top-level Content-Type is
text, and empty last parts, undissected): PART lines as above, where <name> is
the part's name by precedence (Name parameter, then Filename parameter, then
Content-Disposition filename), and a body that is not multipart is one PART
line, after a line SINGLE. No SMIL lines in this mode.

With --mime first, it prints instead, per PDU, the MIME decodings:

  FILE    <name>
  SUBJECT <hex of the subject, encoded words decoded (email.policy.default), UTF-8>
  DECODED <hex of a non-SMIL part's data, its Content-Transfer-Encoding undone>
"""
import base64
import binascii
import email.policy
import re
import subprocess
import sys
import tempfile
import os
import xml.etree.ElementTree as ET

PDU2PCAP = os.environ.get("RR_PDU2PCAP", "")


def dash(s):
    return s if s else "-"


def uintvar(b, i):
    v = 0
    while True:
        c = b[i]
        i += 1
        v = (v << 7) | (c & 0x7F)
        if not c & 0x80:
            return v, i


def number(s):
    """Leading decimal digits (after blanks and a sign), saturated to int32."""
    m = re.match(r"\s*([+-]?)(\d*)", s or "")
    if not m.group(2):
        return 0
    v = int(m.group(2))
    v = -v if m.group(1) == "-" else v
    return max(-2**31, min(2**31 - 1, v))


def time_ms(s):
    if s is None:
        return 0
    n = number(s)
    if "ms" in s or "MS" in s:
        return n
    if "s" in s or "S" in s:
        return max(-2**31, min(2**31 - 1, n * 1000))
    return n


def parts_of(pdml_path):
    """Per PDU (in capture order): list of (offset, len, ctype, loc, name, cid)."""
    tree = ET.parse(pdml_path)
    out = []
    for packet in tree.getroot().iter("packet"):
        for proto in packet.iter("proto"):
            if proto.get("name") != "mmse":
                continue
            base = int(proto.get("pos"))
            parts = []
            for entry in proto.iter("field"):
                if entry.get("name") != "wsp.multipart":
                    continue
                raw = bytes.fromhex(entry.get("value"))
                hl, i = uintvar(raw, 0)
                dl, i = uintvar(raw, i)
                pos = int(entry.get("pos")) + int(entry.get("size")) - dl - base
                info = {"ctype": "", "loc": "", "name": "", "cid": ""}
                for f in entry.iter("field"):
                    n = f.get("name")
                    if n == "wsp.header.content_type" and not info["ctype"]:
                        info["ctype"] = f.get("show")
                    elif n == "wsp.parameter.name" and not info["name"]:
                        info["name"] = f.get("show")
                    elif n == "wsp.header.content_location" and not info["loc"]:
                        info["loc"] = f.get("show")
                    elif n == "wsp.header.content_id" and not info["cid"]:
                        info["cid"] = f.get("show").strip('"').replace("<", "").replace(">", "")
                parts.append((pos, dl, info))
            out.append(parts)
    return out


def undo_transfer_encoding(headers, data):
    """Part data by its text-named Content-Transfer-Encoding header."""
    m = re.search(rb"(?i)(?:^|[\x00\x80-\xff])[ \t]*content-transfer-encoding[ \t]*\x00[ \t]*([^\x00]*?)[ \t]*\x00", headers)
    enc = m.group(1).lower() if m else b""
    if enc == b"base64":
        out = b""
        for run in data.split(b"="):
            run = re.sub(rb"[^A-Za-z0-9+/]", b"", run)
            run = run[:len(run) - len(run) % 4] + (run[len(run) - len(run) % 4:] if len(run) % 4 > 1 else b"")
            out += base64.b64decode(run + b"=" * (-len(run) % 4))
        return out
    if enc == b"quoted-printable":
        data = re.sub(rb"[ \t]+(?=\r?\n|$)", b"", data)
        return binascii.a2b_qp(data)
    return data


def subject_of(field):
    """Subject field bytes (code first) as UTF-8, encoded words decoded."""
    v = field[1:]
    if v and v[0] < 0x20:
        i = 1
        if v[0] == 31:
            _, i = uintvar(v, 1)
        i += 1 if v[i] >= 0x80 else 1 + v[i]  # the charset (only UTF-8 and US-ASCII here)
        v = v[i:]
    if v[:1] == b"\x7f":
        v = v[1:]
    text = v.split(b"\x00")[0].decode("utf-8")
    # As a mail reader shows a Subject: unfolded, then parsed by the header
    # registry (U+FFFD for bytes that do not decode).
    return str(email.policy.default.header_fetch_parse("Subject", text)).encode("utf-8", "surrogatepass")


def mime_main(files, pdml):
    tree = ET.parse(pdml)
    packets = [p for p in tree.getroot().iter("packet") if any(x.get("name") == "mmse" for x in p.iter("proto"))]
    if len(packets) != len(files):
        sys.exit("tshark found %d MMS PDUs in %d files" % (len(packets), len(files)))
    for path, packet in zip(files, packets):
        data = open(path, "rb").read()
        proto = [x for x in packet.iter("proto") if x.get("name") == "mmse"][0]
        base = int(proto.get("pos"))
        print("FILE\t" + os.path.basename(path))
        for f in proto.iter("field"):
            if f.get("name") == "mmse.subject":
                pos = int(f.get("pos")) - base
                print("SUBJECT\t" + subject_of(data[pos:pos + int(f.get("size"))]).hex())
        for entry in proto.iter("field"):
            if entry.get("name") != "wsp.multipart":
                continue
            raw = bytes.fromhex(entry.get("value"))
            hl, i = uintvar(raw, 0)
            dl, i = uintvar(raw, i)
            ctype = [f.get("show") for f in entry.iter("field") if f.get("name") == "wsp.header.content_type"]
            if ctype and ctype[0] == "application/smil":
                continue
            print("DECODED\t" + undo_transfer_encoding(raw[i:i + hl], raw[i + hl:i + hl + dl]).hex())


def find_part(parts, src, taken):
    """The part a src names: Content-Location, Name, Content-ID (cid:)."""
    low = src.lower()
    cid = low[low.index("cid:") + 4:] if "cid:" in low else None
    for idx, (_, _, p) in enumerate(parts):
        if p["ctype"] == "application/smil":
            continue
        keys = [p["loc"].lower(), p["name"].lower(), p["cid"].lower()]
        if low in keys or (cid is not None and cid == p["cid"].lower()):
            return idx
    return -1


# ---------------------------------------------------------------- WSP reader
# Well-known content types (WSP assigned numbers), by their 7-bit code.
WSP_TYPES = [
    "*/*", "text/*", "text/html", "text/plain", "text/x-hdml", "text/x-ttml", "text/x-vCalendar",
    "text/x-vCard", "text/vnd.wap.wml", "text/vnd.wap.wmlscript", "text/vnd.wap.channel", "Multipart/*",
    "Multipart/mixed", "Multipart/form-data", "Multipart/byteranges", "Multipart/alternative",
    "application/*", "application/java-vm", "application/x-www-form-rulencoded", "application/x-hdmlc",
    "application/vnd.wap.wmlc", "application/vnd.wap.wmlscriptc", "application/vnd.wap.channelc",
    "application/vnd.wap.uaprof", "application/vnd.wap.wtls-ca-certificate",
    "application/vnd.wap.wtls-user-certificate", "application/x-x509-ca-cert", "application/x-x509-user-cert",
    "image/*", "image/gif", "image/jpeg", "image/tiff", "image/png", "image/vnd.wap.wbmp",
    "application/vnd.wap.multipart.*", "application/vnd.wap.multipart.mixed",
    "application/vnd.wap.multipart.form-data", "application/vnd.wap.multipart.byteranges",
    "application/vnd.wap.multipart.alternative", "application/xml", "text/xml", "application/vnd.wap.wbxml",
    "application/x-x968-cross-cert", "application/x-x968-ca-cert", "application/x-x968-user-cert",
    "text/vnd.wap.si", "application/vnd.wap.sic", "text/vnd.wap.sl", "application/vnd.wap.slc",
    "text/vnd.wap.co", "application/vnd.wap.coc", "application/vnd.wap.multipart.related",
    "application/vnd.wap.sia"]
WSP_DRM = {0x48: "application/vnd.oma.drm.message", 0x49: "application/vnd.oma.drm.content",
           0x4A: "application/vnd.oma.drm.rights+xml", 0x4B: "application/vnd.oma.drm.rights+wbxml"}


def text_at(b, i):
    """A text up to its zero byte: (text bytes, index after the zero)."""
    z = b.index(0, i)
    return b[i:z], z + 1


def value_end(b, i):
    """Index after the WSP value at i (short integer, lengths, text)."""
    v = b[i]
    if v >= 0x80:
        return i + 1
    if v <= 30:
        return i + 1 + v
    if v == 31:
        n, j = uintvar(b, i + 1)
        return j + n
    return text_at(b, i)[1]


def length_region(b, i):
    """A Value-length at i: (start, end) of the bytes it counts."""
    if b[i] <= 30:
        return i + 1, i + 1 + b[i]
    n, j = uintvar(b, i + 1)
    return j, j + n


def decoded_text(t):
    """A Text-string, Token-text or Quoted-string as the text it carries."""
    if t[:1] in (b"\x7f", b'"'):
        t = t[1:]
    return t.decode("utf-8", "replace")


def read_params(b, i, end, names):
    """Parameters in [i, end): the names into names[...] (first of a kind wins)."""
    while i < end:
        c = b[i]
        if c >= 0x80:
            code = c & 0x7F
            i += 1
            if code in (0x05, 0x17, 0x06, 0x18):
                t, i = text_at(b, i)
                names.setdefault("name" if code in (0x05, 0x17) else "filename", decoded_text(t))
            elif code == 0x00:  # Q: a uintvar
                i = uintvar(b, i)[1]
            else:
                i = value_end(b, i)
        elif c >= 0x20:
            key, i = text_at(b, i)
            if i < end and 0x20 <= b[i] < 0x80 or i < end and b[i] == 0:
                t, i = text_at(b, i)
                if key.lower() in (b"name", b"filename"):
                    names.setdefault(key.lower().decode(), decoded_text(t))
            else:
                i = value_end(b, i)
        else:
            return


def content_type(b, i):
    """A Content-Type value at i: (media type, names, index after it)."""
    names = {}
    if b[i] >= 0x80:
        code = b[i] & 0x7F
        return (WSP_TYPES[code] if code < len(WSP_TYPES) else WSP_DRM.get(code)), names, i + 1
    if b[i] >= 0x20:
        t, j = text_at(b, i)
        return t.decode("latin-1"), names, j
    s, e = length_region(b, i)
    if b[s] >= 0x80:
        code = b[s] & 0x7F
        media = WSP_TYPES[code] if code < len(WSP_TYPES) else WSP_DRM.get(code)
        k = s + 1
    else:
        t, k = text_at(b, s)
        media = t.decode("latin-1")
    read_params(b, k, e, names)
    return media, names, e


def disposition(b, i, names):
    """A Content-Disposition value at i; its filename (else name) into names."""
    if b[i] >= 0x80:
        return i + 1
    if b[i] >= 0x20:
        t, j = text_at(b, i)
        m = re.search(r'(?:^|[; \t])filename[ \t]*=[ \t]*(?:"([^"]*)"?|([^; \t]*))', t.decode("utf-8", "replace"), re.I)
        if m:
            names.setdefault("disposition", m.group(1) if m.group(1) is not None else m.group(2))
        return j
    s, e = length_region(b, i)
    k = s + 1 if b[s] >= 0x80 else text_at(b, s)[1]
    own = {}
    read_params(b, k, e, own)
    name = own.get("filename") or own.get("name")
    if name:
        names.setdefault("disposition", name)
    return e


def is_multipart(media):
    return media is None or media.lower().startswith(("multipart/", "application/vnd.wap.multipart."))


def wsp_parts(pdu):
    """The parts of a PDU's body: (single, [(offset, len, ctype, loc, name, cid)])."""
    i = 0
    while pdu[i] != 0x84:
        i = value_end(pdu, i + 1) if pdu[i] >= 0x80 else value_end(pdu, text_at(pdu, i)[1])
    media, names, i = content_type(pdu, i + 1)
    if not is_multipart(media):
        name = names.get("name") or names.get("filename") or ""
        return True, [(i, len(pdu) - i, media, "", name, "")]
    count, i = uintvar(pdu, i)
    parts = []
    for _ in range(count):
        hl, i = uintvar(pdu, i)
        dl, i = uintvar(pdu, i)
        media, names, h = content_type(pdu, i)
        loc = cid = ""
        while h < i + hl:
            c = pdu[h]
            if c == 0x8E:
                t, h = text_at(pdu, h + 1)
                loc = t.decode("utf-8", "replace")
            elif c == 0xC0:
                t, h = text_at(pdu, h + 1)
                cid = decoded_text(t).replace("<", "").replace(">", "")
            elif c in (0xAE, 0xC5):
                h = disposition(pdu, h + 1, names)
            elif c >= 0x80:
                h = value_end(pdu, h + 1)
            elif c == 0x7F:
                h += 2
            elif c < 0x20:
                h += 1
            else:
                key, h = text_at(pdu, h)
                if key.lower() == b"content-disposition":
                    h = disposition(pdu, h, names)
                else:
                    h = value_end(pdu, h)
        name = names.get("name") or names.get("filename") or names.get("disposition") or ""
        parts.append((i + hl, dl, media or "", loc, name, cid))
        i += hl + dl
    return False, parts


def main_wsp(files):
    for path in files:
        data = open(path, "rb").read()
        print("FILE\t" + os.path.basename(path))
        single, parts = wsp_parts(data)
        if single:
            print("SINGLE")
        for pos, dl, ctype, loc, name, cid in parts:
            print("PART\t%d\t%d\t%s\t%s\t%s\t%s" % (pos, dl, dash(ctype), dash(loc), dash(name), dash(cid)))


def main():
    if sys.argv[1:2] == ["--wsp"]:
        main_wsp(sys.argv[2:])
        return
    mime = sys.argv[1:2] == ["--mime"]
    files = sys.argv[2:] if mime else sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        pcap = os.path.join(tmp, "x.pcap")
        pdml = os.path.join(tmp, "x.pdml")
        subprocess.run([sys.executable, PDU2PCAP, pcap] + files, check=True, stdout=subprocess.DEVNULL)
        with open(pdml, "w") as f:
            # Media cut short inside a part would stop the multipart dissector.
            quiet = ["--disable-protocol", "image-jfif", "--disable-protocol", "image-gif", "--disable-protocol", "png",
                     "--disable-protocol", "amr"] if mime else []
            subprocess.run(["tshark", "-n", "-r", pcap, "-T", "pdml"] + quiet, check=True, stdout=f,
                           stderr=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"))
        if mime:
            mime_main(files, pdml)
            return
        all_parts = parts_of(pdml)
    if len(all_parts) != len(files):
        sys.exit("tshark found %d MMS PDUs in %d files" % (len(all_parts), len(files)))
    for path, parts in zip(files, all_parts):
        data = open(path, "rb").read()
        print("FILE\t" + os.path.basename(path))
        smil = None
        for pos, dl, p in parts:
            if p["ctype"] == "application/smil":
                smil = (pos, dl)
                continue
            print("PART\t%d\t%d\t%s\t%s\t%s\t%s" % (pos, dl, dash(p["ctype"]), dash(p["loc"]), dash(p["name"]),
                                                   dash(p["cid"])))
        media_parts = [x for x in parts if x[2]["ctype"] != "application/smil"]
        if smil is None:
            continue
        print("SMIL\t%d\t%d" % smil)
        root = ET.fromstring(data[smil[0]:smil[0] + smil[1]])
        for r in root.iter("region"):
            print("REGION\t%s\t%d\t%d\t%d\t%d" % (dash(r.get("id")), number(r.get("left")), number(r.get("top")),
                                                 number(r.get("width")), number(r.get("height"))))
        for par in root.iter("par"):
            print("PAR\t%d" % time_ms(par.get("dur")))
            for m in par:
                if m.tag not in ("img", "text", "audio", "video") or m.get("src") is None:
                    continue
                idx = find_part(media_parts, m.get("src"), set())
                print("MEDIA\t%s\t%d\t%d\t%d\t%s" % (m.tag, idx, time_ms(m.get("begin")), time_ms(m.get("end")),
                                                    dash(m.get("region"))))


if __name__ == "__main__":
    main()
