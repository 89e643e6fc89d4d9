"""What the sender walks share: the send panel's cards and their lines on the accessibility bus,
the local file chooser, clips made with ffmpeg, and screenshots of the window's extents in
$PD_CI_LOG_DIR/sender-walk/.
"""
import hashlib
import os
import shutil
import subprocess
import time

import pyatspi

from a11y import dialog, press, wait_for
from tablet_link import Lines, find_named

SHOTS = os.path.join(os.environ.get("PD_CI_LOG_DIR") or os.path.join(os.getcwd(), "ci-logs"), "sender-walk")
PANEL = "iPadへ送信"


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


def panel(app):
    return find_named(app, PANEL)


def card(app, deck):
    """A deck's card in the send panel (the raw previews carry the same names)."""
    return pyatspi.findDescendant(panel(app), lambda a: a.name == f"Player {deck}" and a.childCount > 0)


def main_window(app):
    return wait_for("the main window", lambda: pyatspi.findDescendant(
        app, lambda a: a.getRole() == pyatspi.ROLE_FRAME and a.childCount > 0 and find_named(a, PANEL)), 10)


def screenshot(window, name):
    """The window's extents from the bus, grabbed from the X server by ffmpeg."""
    os.makedirs(SHOTS, exist_ok=True)
    box = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    width, height = max(box.width - box.width % 2, 2), max(box.height - box.height % 2, 2)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "x11grab", "-video_size", f"{width}x{height}",
                    "-i", f"{os.environ['DISPLAY']}+{max(box.x, 0)},{max(box.y, 0)}", "-frames:v", "1",
                    os.path.join(SHOTS, f"{name}.png")], check=False, capture_output=True)


def scroll_to_sender(window):
    """Wheels the main window's column down to the send panel, as a user would, from its left margin
    where no inner list takes the wheel."""
    box = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(box.x + 4), str(box.y + box.height // 2)],
                   check=False, capture_output=True)
    subprocess.run(["xdotool", "click", "--repeat", "30", "--delay", "20", "5"], check=False, capture_output=True)
    time.sleep(0.3)


def make_clip(path, seconds=3):
    """Picture and 120 BPM clicks, so that a tempo comes out of the analysis."""
    if not os.path.exists(path):
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        f"aevalsrc=exprs='sin(2*PI*880*t)*exp(-200*mod(t\\,0.5))':s=44100:d={seconds}",
                        "-f", "lavfi", "-i", f"testsrc2=size=160x120:rate=25:duration={seconds}",
                        "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", path], check=True)
    return path


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def choose_file(app, deck, path, shot=None):
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


def require_tools(drop_source=False):
    """None, or why the sender walks cannot run here."""
    for tool in ("ffmpeg", "xdotool"):
        if shutil.which(tool) is None:
            return f"the {tool} CLI is missing"
    if drop_source and not os.environ.get("PD_DROP_SOURCE"):
        return "no drop source (PD_DROP_SOURCE)"
    return None


def center(accessible):
    box = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return box.x + box.width // 2, box.y + box.height // 2


def xdotool(*arguments):
    subprocess.run(["xdotool", *[str(a) for a in arguments]], check=True, capture_output=True)


def drag_to(source, target, steps=24):
    """A real XDND drag between two processes: press on the drop source's window, move to the target
    in small steps (so the source's drag loop sees each position answered by the target before the
    next), settle, release. `source` is a tablet_link.Lines of e2e-drop-source that printed ready."""
    ready = source.ready
    start = (ready["x"] + ready["width"] // 2, ready["y"] + ready["height"] // 2)
    end = center(target)
    xdotool("mousemove", *start)
    time.sleep(0.1)
    xdotool("mousedown", 1)
    time.sleep(0.1)
    for step in range(1, steps + 1):
        x = start[0] + (end[0] - start[0]) * step // steps
        y = start[1] + (end[1] - start[1]) * step // steps
        xdotool("mousemove", x, y)
        time.sleep(0.03)
    for wiggle in (1, -1, 0):
        xdotool("mousemove", end[0] + wiggle, end[1])
        time.sleep(0.1)
    xdotool("mouseup", 1)
    return source.next("drag_done", 10)


def start_source(work, *arguments):
    source = Lines([os.environ["PD_DROP_SOURCE"], *arguments], stderr=open(os.path.join(work, "drop-source.stderr"), "a"))
    source.ready = source.next("ready", 10)
    return source


OUTCOMES = ("dnd_resolve_ok", "dnd_reject", "dnd_resolve_fail", "temp_copy_fail")


def outcomes(rig):
    text = rig.log_text()
    return sum(text.count(line) for line in OUTCOMES)


def drop(rig, app, *arguments):
    """Drags what the source offers onto deck A; answers once the receiver has judged the drop.
    The source stays until then: its drag ends when the drop is announced, but the receiver asks it
    for the data after that."""
    source = start_source(rig.work, *arguments)
    before = outcomes(rig)
    try:
        done = drag_to(source, card(app, "A"))
        wait_for(f"the receiver's judgement of the drop ({done})", lambda: outcomes(rig) > before, 10)
    finally:
        source.stop()
