"""The sender section of the built receiver, driven through the accessibility bus: link the tablet
emulator through the connection sheet, search the fake instance and send the second result to
deck B, whose card goes from preparing to waiting for the tablet to ready with the tempo the tablet
was sent; then choose a local file for deck A in the file chooser, fetched intact by the emulator,
and a playback the tablet reports stopped. A screenshot of each state goes to
$PD_CI_LOG_DIR/sender-walk/.

Run by accessibility_e2e.sh inside a private X server and D-Bus session, with fresh XDG folders in
the environment, itself inside tools/testenv/netns-run.sh, so that the relay fetches the video from
an address its policy counts as remote. Exit status 0: passed; 1: failed; 77: skipped.
"""
import json
import os
import sys
import time

import pyatspi

from a11y import Failure, log, press, wait_for
from drive_receiver import BINARY, WORK
from sender_ui import (card, choose_file, main_window, make_clip, panel, require_tools, screenshot, scroll_to_sender,
                       sha256, texts_under)
from tablet_link import CDN_SERVER, find_named, run_walk

VIDEO = "vid00000002"  # the second row of the fake's search answer
PREPARING = "「Second cats」を準備中..."
AWAITING = "iPad の応答待ち..."
READY = "iPad で再生できます"
SHOTS = {PREPARING: "03-youtube-preparing", AWAITING: "04-youtube-awaiting", READY: "05-youtube-ready"}


def command(rig, rule):
    rig.remote.send(json.dumps(rule))
    rig.remote.next("ack")


def serve_video(rig, clip):
    """The second result as a muxed stream of the clip. Its answer comes slowly and its bytes wait
    at a gate, so that the card's preparing and waiting lines stay long enough to be seen."""
    size = str(os.path.getsize(clip))
    stream = {"type": "video/mp4; codecs=\"avc1.42001E, mp4a.40.2\"", "qualityLabel": "120p", "bitrate": "300000",
              "itag": "18", "clen": size, "resolution": "160x120", "size": "160x120"}
    command(rig, {"media": VIDEO, "file": clip})
    command(rig, {"fixture": f"video:{VIDEO}", "json": {"title": "Second cats",
                                                          "formatStreams": [dict(stream, url="@stream?itag=18")]}})
    # What the fake answers for local=true, sent 48 bytes at a time: about 2 s, so that the preparing
    # line stays up longer than one look at the window takes on a loaded machine.
    answer = {"title": "Second cats", "videoId": VIDEO, "formatStreams": [dict(
        stream, url=f"/videoplayback?itag=18&id={VIDEO}&expire=4102444800&host={CDN_SERVER}")]}
    command(rig, {"fault": "slow_body", "host": "*", "path": f"/api/v1/videos/{VIDEO}", "json": answer,
                  "chunk": 48, "delay": 0.3, "times": 1})
    command(rig, {"fault": "gate", "host": "*", "path": "/videoplayback"})


def lines_in_order(rig, app, window, deck, expected, timeout):
    """Watches the card until each expected line has shown, in this order, with a screenshot of each
    as it comes; the walk lets the fake's gate go once the waiting line is seen."""
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            lines = texts_under(card(app, deck))
        except Exception:  # the tree changes under us
            lines = []
        for line in expected:
            if line in lines and line not in seen:
                seen.append(line)
                screenshot(window, SHOTS[line])
                if line == AWAITING:
                    command(rig, {"media_release": 1000})
        if len(seen) == len(expected):
            break
        time.sleep(0.05)
    if seen == expected:
        return
    raise Failure(f"deck {deck} showed {seen} of {expected} (now {texts_under(card(app, deck))})")


def youtube_to_ready(rig, app, emulator, window, clip):
    """Deck B from preparing through waiting to ready, the relayed bytes intact and the tempo the
    tablet was sent on the card's badge."""
    lines_in_order(rig, app, window, "B", [PREPARING, AWAITING, READY], 40)
    loaded = emulator.next("load_video", 5)
    if loaded["message"].get("target") != "B":
        raise Failure(f"the YouTube send went to {loaded['message']}")
    fetched = emulator.next("fetch_done", 10)
    if fetched.get("sha256") != sha256(clip):
        raise Failure(f"the emulator fetched {fetched}, not the served video")
    tempo = emulator.next("video_bpm", 60)["message"]
    if tempo.get("target") not in (None, "B") or not tempo.get("bpm"):
        raise Failure(f"the tablet was sent the tempo {tempo}")
    badge = f"{round(tempo['bpm'])} BPM"
    wait_for(f"deck B's badge {badge}", lambda: badge in texts_under(card(app, "B")), 10)
    screenshot(window, "06-youtube-tempo")
    log(f"deck B went from preparing to waiting to ready, with the badge {badge} the tablet was sent")


def walk(rig):
    if not rig.namespace:
        log("outside the test namespace: the relay refuses the fake's loopback address, so the YouTube send "
            "ends on the tablet's failure; run through netns-run.sh (ctest does)")
    rig.start(proxy="proxy")
    clip = make_clip(os.path.join(WORK, "clicks.mp4"), 6)
    serve_video(rig, clip)
    emulator = rig.emulator()
    app = rig.app()
    rig.link(app, emulator)
    window = main_window(app)
    scroll_to_sender(window)
    wait_for("the sender without a state word", lambda: "iPad 未接続" not in texts_under(panel(app)), 10)
    screenshot(window, "01-linked")

    # YouTube: search, then B on the second row.
    field = wait_for("the search field", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() == pyatspi.ROLE_TEXT and a.name == "曲名・アーティスト、または YouTube の URL"), 10)
    field.queryEditableText().setTextContents("cats")
    press(wait_for("the search button enabled", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "検索"
        and a.getState().contains(pyatspi.STATE_ENABLED)), 5))
    row = wait_for("the second result's row", lambda: find_named(app, "Second cats"), 15)
    wait_for("the first result's row", lambda: find_named(app, "First cats"), 2)
    screenshot(window, "02-results")
    scroll_to_sender(window)
    press(pyatspi.findDescendant(row, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "B"))
    if rig.namespace:
        youtube_to_ready(rig, app, emulator, window, clip)
    else:
        loaded = emulator.next("load_video", 30)
        command(rig, {"media_release": 1000})
        if loaded["message"].get("target") != "B":
            raise Failure(f"the YouTube send went to {loaded['message']}")
        emulator.next("fetch_done", 30)

    # Local file: the chooser opened from deck A.
    press(wait_for("the local tab", lambda: find_named(app, "ローカルファイル"), 5))
    scroll_to_sender(window)
    local = make_clip(os.path.join(WORK, "local.mp4"), 3)
    choose_file(app, "A", local, "07-chooser")
    fetched = emulator.next("fetch_done", 30)
    if fetched.get("sha256") != sha256(local):
        raise Failure(f"the emulator fetched {fetched}, not the chosen file")
    wait_for("deck A ready", lambda: READY in texts_under(card(app, "A")), 30)
    screenshot(window, "08-local-ready")
    log("the chosen file reached the emulator intact and deck A shows it ready")

    # The tablet reports that playing stopped.
    emulator.send("ack failed playback_failed")
    choose_file(app, "A", local)
    wait_for("deck A's stopped line", lambda: "iPad での再生が途中で止まりました" in texts_under(card(app, "A")), 20)
    screenshot(window, "09-playback-failed")
    log("a stopped playback shows its line on deck A")


def main():
    return run_walk(BINARY, WORK, walk, require_tools())


if __name__ == "__main__":
    sys.exit(main())
