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
"""
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
    files = sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        pcap = os.path.join(tmp, "x.pcap")
        pdml = os.path.join(tmp, "x.pdml")
        subprocess.run([sys.executable, PDU2PCAP, pcap] + files, check=True, stdout=subprocess.DEVNULL)
        with open(pdml, "w") as f:
            subprocess.run(["tshark", "-n", "-r", pcap, "-T", "pdml"], check=True, stdout=f,
                           stderr=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"))
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
