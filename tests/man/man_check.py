#!/usr/bin/env python3
"""The man pages render without a warning and name everything the programs
offer: every command of `rorodire help`, every option of each command's
--help, every option of `rorodired --help`, and every key of the example
configuration with its default. The lists are read from the programs at test
time, so a new option without its page entry fails here.

    man_check.py MANDIR ROROD_TOOL RORODIRED EXAMPLE_CONF
"""
import os
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][A-Za-z0-9-]*)")
failures = []


def fail(msg):
    failures.append(msg)


def render(page):
    """The page as man shows it, lines re-joined where groff hyphenated."""
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="200", MANROFFOPT="-ww")
    r = subprocess.run(["man", "-l", page], capture_output=True, text=True, env=env)
    if r.returncode != 0 or r.stderr.strip():
        fail(f"{page}: man -l exit {r.returncode}: {r.stderr.strip()}")
    g = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page], capture_output=True, text=True)
    if g.returncode != 0 or g.stderr.strip():
        fail(f"{page}: groff warns: {g.stderr.strip()}")
    text = r.stdout
    text = re.sub("\u2010\n\\s*", "", text)          # a word hyphenated by groff
    text = re.sub("(?<=\\w-)\n\\s*", "", text)        # broken at a hyphen of its own
    return text


def program_text(argv):
    r = subprocess.run(argv, capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def has_token(text, token):
    return re.search(r"(?<![\w-])" + re.escape(token) + r"(?![\w-])", text) is not None


def check_options(page_name, page_text, source, help_text):
    found = sorted(set(OPTION.findall(help_text)))
    if not found:
        fail(f"{source}: no option found in its help (is the help text gone?)")
    for opt in found:
        if not has_token(page_text, opt):
            fail(f"{page_name} does not name {opt} ({source})")
    return found


def main():
    mandir, tool, daemon, example = sys.argv[1:5]
    pages = {p: render(os.path.join(mandir, p)) for p in ("rorodire.1", "rorodired.8", "rorodired.conf.5")}

    # rorodire(1): every command of `rorodire help` and every option of each.
    rc, overview = program_text([tool, "help"])
    if rc != 0:
        fail(f"rorodire help: exit {rc}")
    commands = re.findall(r"^  ([a-z][a-z-]*)(?=\s|$)", overview, re.M)
    if len(commands) < 3:
        fail(f"rorodire help lists {commands}: too few commands")
    blocks = re.split(r"^  (?=[a-z])", overview, flags=re.M)
    checked = 0
    for cmd in commands:
        if not has_token(pages["rorodire.1"], cmd):
            fail(f"rorodire.1 does not name the command {cmd}")
        text = "".join(b for b in blocks if b.startswith(cmd))
        rc, own = program_text([tool, cmd, "--help"])
        if rc == 0:
            text += own
        checked += len(check_options("rorodire.1", pages["rorodire.1"], f"rorodire {cmd}", text)
                       if OPTION.search(text) else [])
    # Exit statuses the commands document in their help appear in EXIT STATUS.
    exit_section = pages["rorodire.1"].split("EXIT STATUS", 1)[-1].split("ENVIRONMENT", 1)[0]
    for cmd in commands:
        _, own = program_text([tool, cmd, "--help"])
        m = re.search(r"Exit status:(.*?)(?:\n\n|\Z)", own, re.S)
        if m:
            for code in re.findall(r"(?<![\w.])(\d+) [a-z]", m.group(1)):
                if not re.search(r"^\s*" + code + r"\s*$", exit_section, re.M):
                    fail(f"rorodire.1 EXIT STATUS lacks {code} (rorodire {cmd} --help)")

    # rorodired(8): every option of its --help.
    rc, dhelp = program_text([daemon, "--help"])
    if rc != 0:
        fail(f"rorodired --help: exit {rc}")
    checked += len(check_options("rorodired.8", pages["rorodired.8"], "rorodired --help", dhelp))

    # rorodired.conf(5): every key of the example configuration, each in an
    # entry of its own that gives its default; key names in --help too.
    conf = pages["rorodired.conf.5"]
    entries = {}
    current = None
    for line in conf.splitlines():
        m = re.match(r"^ {7}([A-Za-z][A-Za-z0-9_]*)=", line)
        if m:
            current = m.group(1)
            entries[current] = ""
        elif current and line.startswith(" " * 11):
            entries[current] += line + " "
        elif line.strip():
            current = None
    keys = []
    with open(example, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^\s*#?\s*([A-Za-z][A-Za-z0-9_]*)\s*=", line)
            if m:
                keys.append(m.group(1))
    if not keys:
        fail(f"{example}: no key found")
    for k in keys:
        if k not in entries:
            fail(f"rorodired.conf.5 has no entry for {k}")
        elif not re.search(r"\bdefault\b", entries[k], re.I):
            fail(f"rorodired.conf.5 gives no default for {k}")
    for k in set(re.findall(r"\b([A-Z][a-z]+(?:[A-Z][A-Za-z]*)+|[A-Z]{2,}_[A-Z]+)\b", dhelp)):
        if not has_token(conf, k) and not has_token(pages["rorodired.8"], k):
            fail(f"neither rorodired.conf.5 nor rorodired.8 names {k} (rorodired --help)")

    for f in failures:
        print("FAIL:", f)
    print(f"{len(commands)} commands, {checked} options, {len(keys)} keys checked; {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
