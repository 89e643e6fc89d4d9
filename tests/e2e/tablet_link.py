"""What the walks with a tablet share: a private Avahi daemon, the fake video API, the receiver
sent to that fake, and the tablet emulator linked through the connection sheet.

Inside tools/testenv/netns-run.sh with tests/sender/netns/hosts, the fake listens on 3fff::10 (an
address the relay's policy counts as remote) on the standard ports, and the receiver reaches it by
name with no connect-to; elsewhere every transfer is sent to the fake on loopback.
"""
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

import pyatspi

from a11y import Failure, application_of, dialog, log, press, read, wait_for

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHEET_TITLE = "iPad接続"
INSTANCE = "inv.remote.test"
CDN_SERVER = "r4---sn-fake01.cdn.test"
NAMESPACE_ADDRESS = "3fff::10"
# The receiver's line when a press starts a link.
CONNECT_LINE = "udp_connect name="


class Lines:
    """A child process speaking JSON lines on stdout. Its output is read straight from the pipe
    into a buffer of our own: a buffered reader could hold a waited-for line that select() no
    longer reports."""

    def __init__(self, arguments, env=None, stderr=subprocess.DEVNULL):
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                                        env=env)
        self.pending = b""

    def send(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def next(self, event, timeout=15):
        deadline = time.monotonic() + timeout
        descriptor = self.process.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                if line.strip():
                    parsed = json.loads(line)
                    if parsed.get("event") == event:
                        return parsed
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([descriptor], [], [], min(left, 0.1))
            if ready:
                chunk = os.read(descriptor, 65536)
                if not chunk:
                    break
                self.pending += chunk
        raise Failure(f"no {event} event within {timeout} s")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def inside_namespace():
    """True inside netns-run.sh with the sender tests' hosts file, which names the instance."""
    try:
        return bool(socket.getaddrinfo(INSTANCE, 443, socket.AF_INET6))
    except OSError:
        return False


def start_avahi(folder):
    script = os.path.join(SOURCE, "tools/testenv/start-avahi.sh")
    result = subprocess.run([script, folder], capture_output=True, text=True)
    if result.returncode == 77:
        print(f"SKIP: no private Avahi daemon: {result.stderr.strip()}", file=sys.stderr)
        sys.exit(77 if os.environ.get("CI") != "true" else 1)
    if result.returncode != 0:
        raise Failure(f"start-avahi.sh failed: {result.stderr.strip()}")
    return result.stdout.strip()


def find_named(root, name):
    return pyatspi.findDescendant(root, lambda a: a.name == name)


def connect_in_sheet(app, name, log_text, timeout=15):
    """Presses the named tablet's loopback route in the connection sheet until the receiver starts
    linking (log_text gives its log); returns the sheet.

    The sheet rebuilds its rows whenever a tablet appears or goes, another test's included: a press
    that reaches a row just replaced is lost. A user would press again, and so does the walk. A
    press while the receiver links, or still holds a link whose tablet went away, is skipped by it;
    such a receiver links again by itself, to the tablet it finds, which also ends the wait."""
    sheet = wait_for("the connection sheet", lambda: dialog(app, SHEET_TITLE), 10)
    before = log_text().count(CONNECT_LINE)

    def route():
        try:
            return pyatspi.findDescendant(
                find_named(find_named(sheet, name), "lo"),
                lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "接続 lo")
        except Exception:  # the tree changes under us while rows are rebuilt
            return None

    deadline = time.monotonic() + timeout
    while True:
        connect = route()
        if connect:
            try:
                press(connect)
            except Exception:  # the row went between finding and pressing it: a lost press
                pass
        try:
            wait_for("the receiver to start linking", lambda: log_text().count(CONNECT_LINE) > before,
                     min(3 if connect else 0.2, max(deadline - time.monotonic(), 0)))
            return sheet
        except Failure:
            if time.monotonic() >= deadline:
                raise Failure(f"the receiver did not start linking to {name!r} within {timeout} s")


class Rig:
    """Avahi, the fake remote, the receiver and emulators, stopped together by stop()."""

    def __init__(self, binary, work, name="receiver"):
        self.binary, self.work, self.name = binary, work, name
        self.avahi_dir = os.path.join(work, f"avahi-{name}")
        self.remote = None
        self.receiver = None
        self.emulators = []
        self.stderr_path = os.path.join(work, f"{name}.stderr")
        self.namespace = inside_namespace()

    def start(self, proxy="auto"):
        """Avahi, the fake remote and the receiver with the fake as its one instance, whose videos
        come through the instance itself under proxy="proxy"."""
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = start_avahi(self.avahi_dir)
        arguments = ["/usr/bin/python3", os.path.join(SOURCE, "tools/fake-remote/fake_remote.py"),
                     "--state-dir", os.path.join(self.work, f"remote-{self.name}")]
        if self.namespace:
            arguments += ["--bind", NAMESPACE_ADDRESS, "--name", CDN_SERVER, "--https-port", "443",
                          "--http-port", "80"]
        self.remote = Lines(arguments)
        ready = self.remote.next("ready")
        config = os.path.join(os.environ["XDG_CONFIG_HOME"], "tech.quelbo.PalendrixDisplay")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "defaults.json"), "w") as f:
            json.dump({"acceptedTermsVersion": 2, "invidiousDefaultFallbackEnabled": False,
                       "invidiousUserInstances": [{"host": INSTANCE, "proxy": proxy}]}, f)
        env = dict(os.environ)
        env["PALENDRIX_HTTP_EXTRA_CA"] = ready["ca"]
        if self.namespace:
            # The namespace's hosts file places the instance on the fake: the receiver connects by
            # name, as it would to a real instance, and its relay's address policy applies unchanged.
            env.pop("PALENDRIX_HTTP_CONNECT_TO", None)
        else:
            env["PALENDRIX_HTTP_CONNECT_TO"] = (f":443:127.0.0.1:{ready['https_port']},"
                                                f":80:127.0.0.1:{ready['http_port']}")
        self.receiver = subprocess.Popen([self.binary], stdout=subprocess.DEVNULL,
                                         stderr=open(self.stderr_path, "w"), env=env)
        return self

    def app(self):
        return wait_for("the receiver on the accessibility bus", lambda: application_of(self.receiver.pid), 20)

    def emulator(self, *options, name=None):
        """A tablet emulator published on lo, answering with `--ack fetch` unless told otherwise."""
        name = name or f"E2E Tablet {os.getpid()}-{len(self.emulators)}"
        arguments = [os.environ["PD_TABLET_EMULATOR"], "--interface", "lo", "--name", name]
        if "--ack" not in options:
            arguments += ["--ack", "fetch"]
        emulator = Lines(arguments + list(options))
        emulator.name = name
        self.emulators.append(emulator)
        emulator.next("bonjour_published")
        return emulator

    def link(self, app, emulator, close_sheet=True):
        """Links the emulator through the connection sheet; answers the source endpoint it hears."""
        sheet = connect_in_sheet(app, emulator.name, self.log_text)
        endpoint = emulator.next("source_endpoint")
        log(f"linked {emulator.name!r} through the connection sheet")
        if close_sheet:
            press(wait_for("the sheet's done button", lambda: pyatspi.findDescendant(
                sheet, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "完了"), 5))
        return endpoint

    def log_text(self):
        return read(self.stderr_path)

    def stop(self):
        if self.receiver is not None and self.receiver.poll() is None:
            self.receiver.send_signal(signal.SIGKILL)
            self.receiver.wait()
        for child in self.emulators + [self.remote]:
            if child is not None:
                child.stop()
        subprocess.run([os.path.join(SOURCE, "tools/testenv/start-avahi.sh"), "--stop", self.avahi_dir],
                       capture_output=True)

    def report(self, failure):
        print(f"FAIL: {failure}", file=sys.stderr)
        for title, path, size in (("drop source", os.path.join(self.work, "drop-source.stderr"), 3000),
                                  ("receiver", self.stderr_path, 4000)):
            if os.path.exists(path):
                print(f"--- {title} stderr ---\n{read(path)[-size:]}", file=sys.stderr)
        return 1


def run_walk(binary, work, walk, missing=None):
    """walk(rig) on a fresh rig, stopped afterwards; the exit status (77: skipped for `missing`,
    which fails under CI=true)."""
    if missing:
        print(f"SKIP: {missing}", file=sys.stderr)
        return 77 if os.environ.get("CI") != "true" else 1
    rig = Rig(binary, work)
    try:
        walk(rig)
        return 0
    except Failure as failure:
        return rig.report(failure)
    finally:
        rig.stop()
