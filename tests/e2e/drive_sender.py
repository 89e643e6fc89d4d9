"""The sender section of the built receiver, driven through the accessibility bus: link the tablet
emulator through the connection sheet, search the fake instance and send the second result to
deck B, then choose a local file for deck A in the file chooser; the emulator fetches what it is
sent and answers ready, then reports a stopped playback. A screenshot of each state goes to $PD_CI_LOG_DIR/sender-walk/.

Run by accessibility_e2e.sh inside a private X server and D-Bus session, with fresh XDG
folders in the environment. Exit status 0: passed; 1: failed; 77: skipped.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time

from drive_receiver import WORK, Failure, application_of, dialog, log, press, read, wait_for
from drive_send import SOURCE, Lines, connect_in_sheet, find_named, start_avahi, start_receiver_on, stop_all

import pyatspi

SHOTS = os.path.join(os.environ.get("PD_CI_LOG_DIR") or os.path.join(os.getcwd(), "ci-logs"), "sender-walk")


def texts_under(root):
    """Every name and text under root, for matching the cards' lines."""
    found = []

    def visit(node, depth):
        if node is None or depth > 12:
            return
        if node.name:
            found.append(node.name)
        for index in range(node.childCount):
            visit(node.getChildAtIndex(index), depth + 1)

    visit(root, 0)
    return found


def screenshot(window, name):
    """The window's extents from the bus, grabbed from the X server by ffmpeg."""
    if shutil.which("ffmpeg") is None:
        return
    os.makedirs(SHOTS, exist_ok=True)
    box = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    width, height = max(box.width - box.width % 2, 2), max(box.height - box.height % 2, 2)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "x11grab", "-video_size", f"{width}x{height}",
                    "-i", f"{os.environ['DISPLAY']}+{max(box.x, 0)},{max(box.y, 0)}", "-frames:v", "1",
                    os.path.join(SHOTS, f"{name}.png")], check=False, capture_output=True)


def scroll_to_sender(window):
    """Wheels the main window's column down to the send panel, as a user would."""
    if shutil.which("xdotool") is None:
        return
    box = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(box.x + box.width // 2), str(box.y + box.height // 2)],
                   check=False, capture_output=True)
    subprocess.run(["xdotool", "click", "--repeat", "30", "--delay", "20", "5"], check=False, capture_output=True)
    time.sleep(0.3)


def make_clip(path):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:v", "mpeg4",
                    "-c:a", "aac", "-shortest", path], check=True)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def choose_file(app, deck, path, shot):
    """The deck's choose button, then the file chooser given the path and opened."""
    press(wait_for(f"deck {deck}'s choose button on screen", lambda: pyatspi.findDescendant(
        card(app, deck), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "動画を選択..."
        and a.getState().contains(pyatspi.STATE_SHOWING)), 5))
    chooser = wait_for("the file chooser", lambda: dialog(app, "動画を選択"), 10)
    name_field = wait_for("the chooser's name field", lambda: pyatspi.findDescendant(
        chooser, lambda a: a.getRole() == pyatspi.ROLE_TEXT and a.getState().contains(pyatspi.STATE_EDITABLE)
        and a.getState().contains(pyatspi.STATE_SHOWING)), 5)
    name_field.queryEditableText().setTextContents(path)
    if shot:
        screenshot(chooser, shot)
    press(wait_for("the chooser's open button", lambda: pyatspi.findDescendant(
        chooser, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name in ("Open", "&Open", "開く")
        and a.getState().contains(pyatspi.STATE_ENABLED)), 5))
    wait_for("the file chooser closed", lambda: dialog(app, "動画を選択") is None, 10)


def card(app, deck):
    """A deck's card in the send panel (the raw previews carry the same names)."""
    return pyatspi.findDescendant(find_named(app, "iPadへ送信"),
                                  lambda a: a.name == f"Player {deck}" and a.childCount > 0)


def main():
    if shutil.which("ffmpeg") is None:
        print("SKIP: the ffmpeg CLI makes the clip and the screenshots", file=sys.stderr)
        return 77 if os.environ.get("CI") != "true" else 1
    avahi_dir = os.path.join(WORK, "avahi")
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = start_avahi(avahi_dir)
    remote = Lines(["/usr/bin/python3", os.path.join(SOURCE, "tools/fake-remote/fake_remote.py"),
                    "--state-dir", os.path.join(WORK, "remote")])
    emulator = None
    receiver = None
    try:
        ready = remote.next("ready")
        receiver, _ = start_receiver_on(ready)

        name = f"E2E Tablet {os.getpid()}"
        emulator = Lines([os.environ["PD_TABLET_EMULATOR"], "--interface", "lo", "--name", name, "--ack", "fetch"])
        emulator.next("bonjour_published")
        app = wait_for("the receiver on the accessibility bus", lambda: application_of(receiver.pid), 20)
        sheet = connect_in_sheet(app, name)
        emulator.next("source_endpoint")
        log("linked through the connection sheet")
        press(wait_for("the sheet's done button", lambda: pyatspi.findDescendant(
            sheet, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "完了"), 5))
        main_window = wait_for("the main window", lambda: pyatspi.findDescendant(
            app, lambda a: a.getRole() == pyatspi.ROLE_FRAME and a.childCount > 0 and find_named(a, "iPadへ送信")), 10)
        scroll_to_sender(main_window)
        wait_for("the sender without a state word", lambda: "iPad 未接続" not in texts_under(card_parent(app)), 10)
        screenshot(main_window, "01-linked")

        # YouTube: search, then B on the second row.
        field = wait_for("the search field", lambda: pyatspi.findDescendant(
            app, lambda a: a.getRole() == pyatspi.ROLE_TEXT and a.name == "曲名・アーティスト、または YouTube の URL"), 10)
        field.queryEditableText().setTextContents("cats")
        search = wait_for("the search button enabled", lambda: pyatspi.findDescendant(
            app, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "検索"
            and a.getState().contains(pyatspi.STATE_ENABLED)), 5)
        press(search)
        row = wait_for("the second result's row", lambda: find_named(app, "Second cats"), 15)
        wait_for("the first result's row", lambda: find_named(app, "First cats"), 2)
        screenshot(main_window, "02-results")
        press(pyatspi.findDescendant(row, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "B"))
        # The relay fetches only from addresses its policy counts as global, and the fake instance's
        # streams are on loopback here: the send reaches the tablet, but what its fetch gets is cut
        # short. The card must still end on one of the tablet's answers.
        loaded = emulator.next("load_video", 20)
        if loaded["message"].get("target") != "B":
            raise Failure(f"the YouTube send went to {loaded['message']}")
        fetched = emulator.next("fetch_done", 20)
        answers = ("iPad で再生できます", "iPad で再生できませんでした（読み込みに失敗）")
        try:
            wait_for("deck B's answer line", lambda: any(a in texts_under(card(app, "B")) for a in answers), 20)
        except Failure:
            raise Failure(f"deck B shows {texts_under(card(app, 'B'))} after the fetch {fetched}")
        log("the second result went to deck B, named on its card, with the tablet's answer")
        screenshot(main_window, "03-youtube-sent")

        # Local file: the chooser opened from deck A.
        clip = os.path.join(WORK, "clip.mp4")
        make_clip(clip)
        # The picker's segments are toggle buttons; their role name varies with the Qt version.
        press(wait_for("the local tab", lambda: find_named(app, "ローカルファイル"), 5))
        scroll_to_sender(main_window)
        choose_file(app, "A", clip, "04-chooser")
        fetched = emulator.next("fetch_done", 30)
        if fetched.get("sha256") != sha256(clip):
            raise Failure(f"the emulator fetched {fetched}, not the chosen file")
        wait_for("deck A ready", lambda: "iPad で再生できます" in texts_under(card(app, "A")), 30)
        tempo = emulator.next("video_bpm", 60)
        bpm = tempo["message"].get("bpm")
        lines = texts_under(card(app, "A"))
        if bpm and f"{round(bpm)} BPM" not in lines:
            raise Failure(f"deck A shows {lines}, the tablet got {tempo['message']}")
        screenshot(main_window, "05-local-sent")
        log("the chosen file reached the emulator intact and deck A shows it ready")

        # The tablet reports that playing stopped.
        emulator.send("ack failed playback_failed")
        choose_file(app, "A", clip, None)
        wait_for("deck A's stopped line", lambda: "iPad での再生が途中で止まりました" in texts_under(card(app, "A")), 20)
        screenshot(main_window, "06-playback-failed")
        log("a stopped playback shows its line on deck A")
        return 0
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        path = os.path.join(WORK, "receiver.stderr")
        if os.path.exists(path):
            print(f"--- receiver stderr ---\n{read(path)[-4000:]}", file=sys.stderr)
        return 1
    finally:
        stop_all(receiver, (emulator, remote), avahi_dir)


def card_parent(app):
    return find_named(app, "iPadへ送信")


if __name__ == "__main__":
    sys.exit(main())
