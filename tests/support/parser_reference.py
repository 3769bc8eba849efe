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

With --mime first, it prints instead, per PDU, the MIME decodings:

  FILE    <name>
  SUBJECT <hex of the subject, encoded words decoded (email.header), UTF-8>
  DECODED <hex of a non-SMIL part's data, its Content-Transfer-Encoding undone>
"""
import base64
import binascii
import email.header
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
    return "".join(t.decode(cs or "ascii") if isinstance(t, bytes) else t
                   for t, cs in email.header.decode_header(text)).encode("utf-8")


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


def main():
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
