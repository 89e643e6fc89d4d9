"""The built receiver serving a tablet: the emulator links to it over a private Avahi daemon,
hears the source endpoint, and its API requests are answered under the announced token and
refused under another, with the refusal in the receiver's log.

Run by accessibility_e2e.sh inside a private X server and D-Bus session, with fresh XDG
folders in the environment. Exit status 0: passed; 1: failed; 77: skipped.
"""
import json
import os
import select
import signal
import subprocess
import sys
import time

from drive_receiver import (BINARY, SHEET_TITLE, WORK, Failure, application_of, dialog, log, press, read,
                            wait_for)

import pyatspi

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Lines:
    """A child process speaking JSON lines on stdout."""

    def __init__(self, arguments, env=None):
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1, env=env)
        self.events = []

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def next(self, event, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.1)
            if not ready:
                continue
            line = self.process.stdout.readline()
            if not line:
                break
            parsed = json.loads(line)
            if parsed.get("event") == event:
                return parsed
        raise Failure(f"no {event} event within {timeout} s")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


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


def start_receiver_on(ready):
    """The receiver with its requests sent to the fake remote, whose one instance the stored settings
    name; its stderr goes to a file in WORK."""
    config = os.path.join(os.environ["XDG_CONFIG_HOME"], "tech.quelbo.PalendrixDisplay")
    os.makedirs(config, exist_ok=True)
    with open(os.path.join(config, "defaults.json"), "w") as f:
        json.dump({"acceptedTermsVersion": 2, "invidiousDefaultFallbackEnabled": False,
                   "invidiousUserInstances": [{"host": "inv.remote.test", "proxy": "auto"}]}, f)
    env = dict(os.environ)
    env["PALENDRIX_HTTP_CONNECT_TO"] = f":443:127.0.0.1:{ready['https_port']},:80:127.0.0.1:{ready['http_port']}"
    env["PALENDRIX_HTTP_EXTRA_CA"] = ready["ca"]
    stderr_path = os.path.join(WORK, "receiver.stderr")
    receiver = subprocess.Popen([BINARY], stdout=subprocess.DEVNULL, stderr=open(stderr_path, "w"), env=env)
    return receiver, stderr_path


def connect_in_sheet(app, name):
    """Presses the named tablet's loopback route in the connection sheet; returns the sheet."""
    sheet = wait_for("the connection sheet", lambda: dialog(app, SHEET_TITLE), 10)
    connect = wait_for("the tablet's loopback route", lambda: pyatspi.findDescendant(
        find_named(find_named(sheet, name), "lo"),
        lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "接続 lo"), 15)
    press(connect)
    return sheet


def stop_all(receiver, children, avahi_dir):
    if receiver is not None and receiver.poll() is None:
        receiver.send_signal(signal.SIGKILL)
        receiver.wait()
    for child in children:
        if child is not None:
            child.stop()
    subprocess.run([os.path.join(SOURCE, "tools/testenv/start-avahi.sh"), "--stop", avahi_dir], capture_output=True)


def main():
    avahi_dir = os.path.join(WORK, "avahi")
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = start_avahi(avahi_dir)
    remote = Lines(["/usr/bin/python3", os.path.join(SOURCE, "tools/fake-remote/fake_remote.py"),
                    "--state-dir", os.path.join(WORK, "remote")])
    emulator = None
    receiver = None
    try:
        ready = remote.next("ready")
        receiver, stderr_path = start_receiver_on(ready)

        name = f"E2E Tablet {os.getpid()}"
        emulator = Lines([os.environ["PD_TABLET_EMULATOR"], "--interface", "lo", "--name", name])
        emulator.next("bonjour_published")
        app = wait_for("the receiver on the accessibility bus", lambda: application_of(receiver.pid), 20)
        connect_in_sheet(app, name)
        log("connected to the emulator through the connection sheet")

        endpoint = emulator.next("source_endpoint")
        token = endpoint["message"]["sessionToken"]
        if len(token) != 32:
            raise Failure(f"the announced token {token!r} is not 32 digits")
        emulator.send("api search q=cats")
        answer = emulator.next("api_response")
        if answer["status"] != 200 or "cats" not in answer["body"]:
            raise Failure(f"search under the announced token answered {answer}")
        emulator.send("api-token 0123456789abcdef0123456789abcdef")
        emulator.send("api search q=cats")
        refused = emulator.next("api_response")
        if refused["status"] != 403:
            raise Failure(f"search under another token answered {refused}")
        wait_for("the refusal in the receiver's log",
                 lambda: "receiver_api_auth_fail route=search" in read(stderr_path), 5)
        log("the tablet's search answered 200 under the announced token and 403 under another")
        return 0
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        path = os.path.join(WORK, "receiver.stderr")
        if os.path.exists(path):
            print(f"--- receiver stderr ---\n{read(path)[-4000:]}", file=sys.stderr)
        return 1
    finally:
        stop_all(receiver, (emulator, remote), avahi_dir)


if __name__ == "__main__":
    sys.exit(main())
