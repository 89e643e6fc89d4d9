"""The receiver's end-to-end walk through the accessibility bus.

Run by accessibility_e2e.sh inside a private X server and D-Bus session, with fresh XDG
folders in the environment. Exit status 0: passed; 1: failed; 77: skipped.
"""

import os
import re
import signal
import subprocess
import sys
import time

import pyatspi

from a11y import (Failure, application_of, close_x11_window, dialog, find, frame, has_state, log, menu_item,
                  press, read, running, start_receiver, wait_for)

BINARY, WORK = sys.argv[1], sys.argv[2]
FEATURES = "raw_mode,load_video,video_bpm,session_takeover,remote_source,load_video_ack,stream_stop"
MAIN_TITLE = "Palendrix Zuvudiv"
SHEET_TITLE = "iPad接続"


def check_launch_lines(stderr_path):
    text = wait_for("the launch lines", lambda: (lambda t: t if "network" in t and "features=" in t else None)(
        read(stderr_path)), 10)
    if "app_ready background_mode=enabled" not in text:
        raise Failure("no app_ready line")
    snapshots = re.findall(r"config_snapshot snapshot_rev=(\d+) (\S+)=", text)
    kinds = [kind for _, kind in snapshots]
    if kinds != ["host", "server_name", "pv"]:
        raise Failure(f"expected the osc, syphon and network snapshots in order, got {snapshots}")
    revisions = {rev for rev, _ in snapshots}
    if len(revisions) != 1:
        raise Failure(f"the snapshots carry different revisions: {revisions}")
    if text.index("app_ready") > text.index("config_snapshot"):
        raise Failure("app_ready came after a config_snapshot line")
    features = re.search(r"features=(\S+)", text).group(1)
    if features != FEATURES:
        raise Failure(f"features={features}")


def main():
    first, first_stderr = start_receiver(BINARY, WORK, "first")
    try:
        app = wait_for("the receiver on the accessibility bus",
                       lambda: running(first, first_stderr) and application_of(first.pid), 20)
        log(f"receiver pid {first.pid} is on the bus as {app.name!r}")

        accept = wait_for("the terms sheet's accept button",
                          lambda: find(app, pyatspi.ROLE_PUSH_BUTTON, "同意してはじめる"), 10)
        press(accept)
        wait_for("the terms sheet to close",
                 lambda: find(app, pyatspi.ROLE_PUSH_BUTTON, "同意してはじめる") is None
                 or not has_state(find(app, pyatspi.ROLE_PUSH_BUTTON, "同意してはじめる"), pyatspi.STATE_SHOWING), 15)
        main_window = wait_for("the main window", lambda: frame(app, MAIN_TITLE), 5)
        wait_for("the main window to be shown", lambda: has_state(frame(app, MAIN_TITLE), pyatspi.STATE_SHOWING), 5)
        log("terms accepted; main window is up")

        check_launch_lines(first_stderr)
        log("launch lines are complete and share one snapshot_rev")

        # With the terms accepted the connection sheet opens by itself; a user closes it first.
        sheet = wait_for("the connection sheet", lambda: dialog(app, SHEET_TITLE), 5)
        press(wait_for("the sheet's cancel button", lambda: find(sheet, pyatspi.ROLE_PUSH_BUTTON, "キャンセル"), 5))
        press(wait_for("the sheet's close button", lambda: find(dialog(app, SHEET_TITLE), pyatspi.ROLE_PUSH_BUTTON,
                                                                 "閉じる"), 5))
        wait_for("the connection sheet to close",
                 lambda: not has_state(dialog(app, SHEET_TITLE), pyatspi.STATE_SHOWING), 5)
        log("the connection sheet opened by itself and was closed")

        # Take the main window away: close it as a window manager would.
        close_x11_window(MAIN_TITLE)
        wait_for("the main window to close",
                 lambda: not has_state(frame(app, MAIN_TITLE), pyatspi.STATE_SHOWING), 5)
        if first.poll() is not None:
            raise Failure("closing the main window ended the application")
        log("main window closed; the receiver runs on")

        started = time.monotonic()
        second, second_stderr = start_receiver(BINARY, WORK, "second")
        try:
            status = second.wait(timeout=8)
        except subprocess.TimeoutExpired:
            second.kill()
            raise Failure("the second instance did not end")
        took = time.monotonic() - started
        if status != 0:
            raise Failure(f"the second instance ended with status {status}")
        if took > 6.5:
            raise Failure(f"the second instance took {took:.1f} s to end")
        expected = f"lifecycle event=launch_abort action=exit reason=single_instance incumbent_pid={first.pid}"
        if expected not in read(second_stderr):
            raise Failure(f"the second instance did not log {expected!r}")
        log(f"second instance ended after {took:.1f} s naming pid {first.pid}")

        wait_for("the main window to come back",
                 lambda: has_state(frame(app, MAIN_TITLE), pyatspi.STATE_SHOWING), 5)
        # Shown again, the window opens its connection sheet, which then holds the focus.
        wait_for("the main window (or its sheet) to be active",
                 lambda: has_state(frame(app, MAIN_TITLE), pyatspi.STATE_ACTIVE)
                 or has_state(dialog(app, SHEET_TITLE), pyatspi.STATE_ACTIVE), 5)
        log("the running instance came to the front")

        quit_item = wait_for("the Quit menu command", lambda: menu_item(app, "Palendrix Display を終了"), 5)
        started = time.monotonic()
        try:
            press(quit_item)
        except Exception as error:  # the receiver ends before it can answer the press
            if "disconnected" not in str(error) and "NoReply" not in str(error):
                raise
        try:
            status = first.wait(timeout=1.0)
        except subprocess.TimeoutExpired:
            raise Failure("Quit did not end the receiver within 1 s")
        if status != 0:
            raise Failure(f"Quit ended the receiver with status {status}")
        log(f"Quit ended the receiver with status 0 after {time.monotonic() - started:.2f} s")
        return 0
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        for name in ("first", "second"):
            path = os.path.join(WORK, f"{name}.stderr")
            if os.path.exists(path):
                print(f"--- {name} instance stderr ---\n{read(path)[-4000:]}", file=sys.stderr)
        return 1
    finally:
        if first.poll() is None:
            first.send_signal(signal.SIGKILL)
            first.wait()


if __name__ == "__main__":
    sys.exit(main())
