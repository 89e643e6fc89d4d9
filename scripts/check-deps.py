#!/usr/bin/env python3
"""Fails when a source folder includes what the layering forbids.

Reads every #include line under src/ and checks it against the folders each top-level folder may
use: dependencies point down, only app/ and ui/ see Qt, nothing below app/ sees app/, and a few
neighbours are reached only through their port headers. Lines listed in
scripts/dependency-exceptions.txt are reported as known and do not fail the check; emptying that
list turns them into failures.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
EXCEPTIONS = ROOT / "scripts" / "dependency-exceptions.txt"

BASE = {"runtime", "platform", "settings", "diagnostics"}
EVERYTHING_BELOW_RECEIVER = BASE | {"video", "link", "deckinput", "mediaserver", "remotesource", "relay", "api",
                                    "sender"}
# Folder -> the folders whose headers it may include (its own always allowed).
ALLOWED = {
    "runtime": set(),
    "platform": {"runtime"},
    "settings": {"runtime", "platform"},
    "diagnostics": {"runtime", "platform"},
    "video": BASE,
    "link": BASE | {"video"},
    "deckinput": BASE,
    "remotesource": BASE,
    "relay": BASE | {"remotesource"},
    "mediaserver": BASE,
    "api": BASE | {"relay", "remotesource", "mediaserver", "deckinput"},
    "sender": BASE | {"api", "relay", "mediaserver", "remotesource", "deckinput"},
    "receiver": EVERYTHING_BELOW_RECEIVER | {"receiver"},
    "ui": EVERYTHING_BELOW_RECEIVER,
    "app": EVERYTHING_BELOW_RECEIVER | {"receiver", "ui"},
}
# Headers a folder may include from a neighbour it otherwise does not use: records and ports.
PORTS = {
    "deckinput": [r"link/DeckState\.hpp", r"link/records/"],
    "mediaserver": [r"relay/RemoteMediaRelayInterface\.hpp"],
    "sender": [r"link/records/", r"link/[A-Za-z]*Port\.hpp", r"link/SenderLink\.hpp"],
}
QT_FOLDERS = {"app", "ui"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^(Q[A-Z]\w*|Qt\w*/)")


def violations():
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in {".hpp", ".cpp", ".h"} or not path.is_file():
            continue
        folder = path.relative_to(SRC).parts[0]
        allowed = ALLOWED.get(folder)
        rel = path.relative_to(ROOT).as_posix()
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            kind, header = match.groups()
            if kind == "<":
                if QT_HEADER.match(header) and folder not in QT_FOLDERS:
                    yield rel, number, header, "Qt outside app/ and ui/"
                continue
            target = header.split("/", 1)[0]
            if "/" not in header or target == folder or not (SRC / target).is_dir():
                continue
            if allowed is None:
                yield rel, number, header, f"{folder}/ has no place in the layering"
            elif target not in allowed and not any(re.match(p, header) for p in PORTS.get(folder, [])):
                yield rel, number, header, f"{folder}/ may not use {target}/"


def main():
    known = set()
    if EXCEPTIONS.exists():
        for line in EXCEPTIONS.read_text().splitlines():
            line = line.split("#", 1)[0].strip()
            if line:
                path, header = line.split()
                known.add((path, header))
    failed = False
    seen = set()
    for rel, number, header, why in violations():
        if (rel, header) in known:
            seen.add((rel, header))
            print(f"known exception: {rel}:{number}: {header} ({why})")
        else:
            failed = True
            print(f"{rel}:{number}: {header}: {why}", file=sys.stderr)
    for rel, header in sorted(known - seen):
        print(f"exception no longer needed: {rel} {header}")
    if failed:
        print("check-deps: the layering is broken", file=sys.stderr)
        return 1
    print("check-deps: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
