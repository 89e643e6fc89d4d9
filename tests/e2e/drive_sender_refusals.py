"""The send panel's refusals in the built receiver: a tablet whose feature list lacks load_video
gets the header word "iPad が未対応", its banner and drops refused with their line; a tablet of
another protocol version gets "バージョン不一致" and the version banner. A screenshot of each
state goes to $PD_CI_LOG_DIR/sender-walk/.

Run by accessibility_e2e.sh inside a private X server and D-Bus session. Exit status 0: passed;
1: failed; 77: skipped.
"""
import os
import sys

import pyatspi

from a11y import Failure, log, press, wait_for
from drive_receiver import BINARY, WORK
from sender_ui import drop, main_window, make_clip, panel, require_tools, screenshot, scroll_to_sender, texts_under
from tablet_link import connect_in_sheet, find_named, run_walk

WITHOUT_LOAD_VIDEO = "raw_mode,video_bpm,session_takeover,remote_source,load_video_ack,stream_stop"
UNSUPPORTED_BANNER = "接続中の iPad はこの機能に対応していません。iPad 側のアプリをアップデートしてください。"
VERSION_BANNER = ("接続中のアプリとバージョンが一致しないため、この機能は使用できません。バージョン警告の案内に従って"
                  "古い側のアプリをアップデートしてください。")


def refused(app, word, banner):
    """The header word and the banner on screen, and no send button enabled."""
    def shown():
        lines = texts_under(panel(app))
        return word in lines and banner in lines
    wait_for(f"the header {word!r} with its banner", shown, 15)
    enabled = pyatspi.findDescendant(panel(app), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON
                                     and a.name in ("A", "B", "動画を選択...")
                                     and a.getState().contains(pyatspi.STATE_ENABLED))
    if enabled is not None:
        raise Failure(f"{enabled.name!r} is enabled while the panel shows {word!r}")


def walk(rig):
    rig.start()
    clip = make_clip(os.path.join(WORK, "refused.mp4"), 2)
    unsupported = rig.emulator("--features", WITHOUT_LOAD_VIDEO)
    app = rig.app()
    rig.link(app, unsupported)
    window = main_window(app)
    press(wait_for("the local tab", lambda: find_named(app, "ローカルファイル"), 5))
    scroll_to_sender(window)
    refused(app, "iPad が未対応", UNSUPPORTED_BANNER)
    screenshot(window, "12-unsupported")
    drop(rig, app, "--bytes", clip, "--type", "video/mp4")
    if "dnd_reject reason=load_video_unsupported" not in rig.log_text():
        raise Failure("no load_video_unsupported line for the drop")
    log("a tablet without load_video: header word, banner, and the drop refused with its line")

    # Another tablet, of protocol version 2, linked in the first one's place.
    unsupported.stop()
    mismatched = rig.emulator("--protocol-version", "2")
    press(wait_for("the connection settings button", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "接続設定"), 5))
    sheet = connect_in_sheet(app, mismatched.name, rig.log_text)
    mismatched.next("handshake_request")
    press(wait_for("the sheet's done button", lambda: pyatspi.findDescendant(
        sheet, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "完了"), 5))
    scroll_to_sender(window)
    refused(app, "バージョン不一致", VERSION_BANNER)
    screenshot(window, "13-version-mismatch")
    # The version warning is modal: the drop waits until it is answered.
    warning = wait_for("the version warning", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT)
        and find_named(a, "接続先のアップデートが必要です")), 10)
    press(wait_for("the warning's OK button", lambda: pyatspi.findDescendant(
        warning, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name in ("OK", "&OK")), 5))
    wait_for("the version warning closed", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT)
        and find_named(a, "接続先のアップデートが必要です")) is None, 10)
    drop(rig, app, "--bytes", clip, "--type", "video/mp4")
    if "dnd_reject reason=version_mismatch" not in rig.log_text():
        raise Failure("no version_mismatch line for the drop")
    log("a tablet of protocol version 2: header word, version banner, and the drop refused")


def main():
    return run_walk(BINARY, WORK, walk, require_tools(drop_source=True))


if __name__ == "__main__":
    sys.exit(main())
