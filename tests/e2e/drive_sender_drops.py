"""Drops on the built receiver's send panel, from another process as a file manager drags: a drop
source (e2e-drop-source) offers a file's URL or only a video's bytes with a suggested name, and
xdotool drags it onto deck A's card (its extents from the accessibility bus). The URL road sends the
file in place; the bytes road sends a copy in a "PalendrixDrop-" folder, fetched intact by the
tablet emulator and gone after the next send to deck A; a suggested name "../x.mp4" writes only
inside the new folder; a text file is refused on the card. A screenshot of each state goes to
$PD_CI_LOG_DIR/sender-walk/.

Run by accessibility_e2e.sh inside a private X server and D-Bus session. Exit status 0: passed;
1: failed; 77: skipped.
"""
import os
import sys

from a11y import Failure, log, press, wait_for
from drive_receiver import BINARY, WORK
from sender_ui import (card, drop, main_window, make_clip, require_tools, screenshot, scroll_to_sender, sha256,
                       texts_under)
from tablet_link import find_named, run_walk

TEMPORARY = os.path.join(os.environ.get("XDG_CACHE_HOME", ""), "tech.quelbo.PalendrixDisplay", "tmp")


def drop_folders():
    if not os.path.isdir(TEMPORARY):
        return []
    return sorted(name for name in os.listdir(TEMPORARY) if name.startswith("PalendrixDrop-"))


def walk(rig):
    rig.start()
    clip = make_clip(os.path.join(WORK, "dropped.mp4"), 3)
    emulator = rig.emulator()
    app = rig.app()
    rig.link(app, emulator)
    window = main_window(app)
    press(wait_for("the local tab", lambda: find_named(app, "ローカルファイル"), 5))
    scroll_to_sender(window)

    # The bytes road: a copy in a new drop folder, fetched intact.
    drop(rig, app, "--bytes", clip, "--type", "video/mp4", "--suggested-name", "dropped copy.mp4")
    fetched = emulator.next("fetch_done", 30)
    if fetched.get("sha256") != sha256(clip):
        raise Failure(f"the emulator fetched {fetched} after the bytes drop")
    if "dnd_resolve_ok kind=temp_copy" not in rig.log_text():
        raise Failure("no temp_copy line for the bytes drop")
    first = drop_folders()
    if len(first) != 1 or not os.path.isfile(os.path.join(TEMPORARY, first[0], "dropped copy.mp4")):
        raise Failure(f"the bytes drop left {first} in {TEMPORARY}")
    wait_for("deck A ready with the copy", lambda: "iPad で再生できます" in texts_under(card(app, "A")), 30)
    screenshot(window, "10-bytes-dropped")
    log(f"the dropped bytes went to the tablet intact from {first[0]}")

    # A suggested name that climbs out: written inside a new folder only; the last one is gone.
    drop(rig, app, "--bytes", clip, "--type", "video/mp4", "--suggested-name", "../x.mp4")
    fetched = emulator.next("fetch_done", 30)
    if fetched.get("sha256") != sha256(clip):
        raise Failure(f"the emulator fetched {fetched} after the climbing name")
    second = wait_for("the earlier drop folder gone", lambda: (lambda f: f if f and first[0] not in f else None)(
        drop_folders()), 10)
    if len(second) != 1 or os.listdir(os.path.join(TEMPORARY, second[0])) != ["x.mp4"]:
        raise Failure(f"the climbing name left {second}")
    if os.path.exists(os.path.join(TEMPORARY, "x.mp4")):
        raise Failure("the climbing name wrote beside the drop folders")
    log("the name ../x.mp4 was written as x.mp4 inside the new drop folder, and the earlier folder went")

    # The URL road: the file itself, and the drop folder goes with the next send to deck A.
    drop(rig, app, "--url", clip)
    fetched = emulator.next("fetch_done", 30)
    if fetched.get("sha256") != sha256(clip):
        raise Failure(f"the emulator fetched {fetched} after the URL drop")
    if "dnd_resolve_ok kind=file_url" not in rig.log_text():
        raise Failure("no file_url line for the dropped URL")
    wait_for("no drop folder left", lambda: drop_folders() == [], 10)
    log("the dropped URL sent the file in place and the drop folder went")

    # A text file is not a video.
    notes = os.path.join(WORK, "notes.txt")
    with open(notes, "w") as f:
        f.write("not a video\n")
    drop(rig, app, "--url", notes)
    wait_for("deck A's refusal", lambda: "動画ファイルではありません: notes.txt" in texts_under(card(app, "A")), 10)
    screenshot(window, "11-text-dropped")
    log("a dropped text file shows its refusal on deck A")


def main():
    return run_walk(BINARY, WORK, walk, require_tools(drop_source=True))


if __name__ == "__main__":
    sys.exit(main())
