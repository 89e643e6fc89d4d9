"""The settings window walked through as a user would, over the accessibility bus.

Run by accessibility_e2e.sh inside a private X server and D-Bus session, with fresh XDG
folders in the environment: the OSC port and host with a restart, the search source and folder
through the folder dialog, the cache, an instance added and removed, a log export saved over a
file, the licences window, and the warning a launch after a SIGKILL shows. A screenshot of each state goes to $PD_CI_LOG_DIR/settings-walk/
(else the work folder). Exit status 0: passed; 1: failed.
"""

import json
import os
import socket
import subprocess
import sys
import threading
import time

import pyatspi

from a11y import Failure, application_of, dialog, find, has_state, log, menu_item, press, read, running, wait_for

BINARY, WORK = sys.argv[1], sys.argv[2]
SHOTS = os.path.join(os.environ.get("PD_CI_LOG_DIR") or WORK, "settings-walk")
DEFAULTS = os.path.join(os.environ["XDG_CONFIG_HOME"], "tech.quelbo.PalendrixDisplay", "defaults.json")


UNCLEAN_WARNING = "前回、アプリが正常終了しませんでした。調査のためログの書き出しをおすすめします。"


def screenshot(name):
    os.makedirs(SHOTS, exist_ok=True)
    target = os.path.join(SHOTS, f"{name}.png")
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "x11grab", "-video_size", "1280x1024", "-i",
                    os.environ["DISPLAY"], "-frames:v", "1", target], check=False)
    log(f"screenshot {target}")


def stored(key):
    try:
        with open(DEFAULTS, encoding="utf-8") as f:
            return json.load(f).get(key)
    except (OSError, ValueError):
        return None


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def set_text(accessible, text):
    accessible.queryEditableText().setTextContents(text)


KEY_DOWN, KEY_UP, KEY_RETURN = 116, 111, 36  # X keycodes


def key(code):
    pyatspi.Registry.generateKeyboardEvent(code, None, pyatspi.KEY_PRESSRELEASE)
    time.sleep(0.05)


def choose(root, item_name):
    """Opens the combo box that holds the item and picks it with the arrow keys and Return (the open
    list takes the keyboard, as it does for a user)."""
    item = wait_for(f"the choice {item_name!r}", lambda: find(root, pyatspi.ROLE_LIST_ITEM, item_name), 5)
    combo = item.parent.parent
    items = combo.getChildAtIndex(0)
    names = [items.getChildAtIndex(i).name for i in range(items.childCount)]
    current = names.index(combo.name) if combo.name in names else 0
    wanted = names.index(item_name)
    action = combo.queryAction()
    action.doAction([action.getName(i) for i in range(action.nActions)].index("ShowMenu"))
    wait_for("the list open", lambda: has_state(items, pyatspi.STATE_SHOWING), 5)
    time.sleep(0.2)
    for _ in range(abs(wanted - current)):
        key(KEY_DOWN if wanted > current else KEY_UP)
    key(KEY_RETURN)
    wait_for(f"{item_name!r} chosen", lambda: combo.name == item_name, 5)


def press_in_background(accessible):
    """Presses a button whose action answers only once what it opens has closed (a menu)."""
    def run():
        try:
            press(accessible)
        except Exception:  # the answer comes late or not at all; what it opened is what counts
            pass
    threading.Thread(target=run, daemon=True).start()


def top_level(app, name):
    """A window of ours by its title; Qt exports a plain widget window as a filler."""
    for index in range(app.childCount):
        child = app.getChildAtIndex(index)
        if child is not None and child.name == name and child.getRole() in (
                pyatspi.ROLE_FRAME, pyatspi.ROLE_FILLER, pyatspi.ROLE_WINDOW):
            return child
    return None


def any_dialog(app):
    for index in range(app.childCount):
        child = app.getChildAtIndex(index)
        if child is not None and child.getRole() == pyatspi.ROLE_DIALOG and has_state(child, pyatspi.STATE_SHOWING):
            return child
    return None


def button_named(root, *names):
    for name in names:
        found = find(root, pyatspi.ROLE_PUSH_BUTTON, name)
        if found is not None:
            return found
    return None


def file_name_field(file_dialog):
    """The dialog's file-name line: the editable text that is not the folder path combo's."""
    texts = pyatspi.findAllDescendants(file_dialog, lambda a: a.getRole() == pyatspi.ROLE_TEXT and
                                       a.getState().contains(pyatspi.STATE_EDITABLE))
    return texts[-1] if texts else None


def start(name="settings"):
    environment = dict(os.environ, PALENDRIX_LOG_DEBUG="1")
    stderr = open(os.path.join(WORK, f"{name}.stderr"), "w")
    process = subprocess.Popen([BINARY], stdout=subprocess.DEVNULL, stderr=stderr, env=environment)
    return process, stderr.name


def walk_osc(settings, process, stderr):
    port = free_udp_port()
    set_text(wait_for("the port field", lambda: find(settings, pyatspi.ROLE_TEXT, "受信ポート"), 5), str(port))
    choose(settings, "すべてのインターフェース（0.0.0.0）")
    wait_for("the stored host", lambda: stored("oscHost") == "0.0.0.0", 5)
    press(find(settings, pyatspi.ROLE_PUSH_BUTTON, "適用してサーバー再起動"))
    wait_for("the status row on the new address",
             lambda: find(settings, pyatspi.ROLE_LABEL, f"稼働中 0.0.0.0:{port}"), 10)
    sockets = subprocess.run(["ss", "-ulnH"], capture_output=True, text=True).stdout
    if f"0.0.0.0:{port} " not in sockets:
        raise Failure(f"nothing listens on 0.0.0.0:{port}: {sockets}")
    text = read(stderr)
    if f"osc_server_start_request host=0.0.0.0 port={port}" not in text:
        raise Failure("no osc_server_start_request line for the new address")
    if f"config_change key=oscPort from=8000 to={port}" not in text:
        raise Failure("no config_change line for the port")
    running(process, stderr)
    log(f"the OSC server listens on 0.0.0.0:{port}")
    screenshot("1-osc-restarted")


def walk_search(app, settings):
    folder = os.path.join(WORK, "Clips")
    os.makedirs(folder, exist_ok=True)
    choose(settings, "Mac のローカルファイル")
    wait_for("the stored search source", lambda: stored("ipadSearchSource") == "localFiles", 5)
    press(wait_for("the folder button", lambda: find(settings, pyatspi.ROLE_PUSH_BUTTON, "フォルダを選ぶ..."), 5))
    chooser = wait_for("the folder dialog", lambda: any_dialog(app), 10)
    screenshot("2-folder-dialog")
    set_text(wait_for("the folder dialog's name field", lambda: file_name_field(chooser), 5), folder)
    press(wait_for("the folder dialog's button", lambda: button_named(chooser, "このフォルダを使う"), 5))
    wait_for("the stored folder", lambda: stored("ipadSearchFolder") == folder, 10)
    wait_for("the folder row", lambda: find(settings, pyatspi.ROLE_LABEL, folder) or
             pyatspi.findDescendant(settings, lambda a: a.getRole() == pyatspi.ROLE_LABEL and "Clips" in a.name), 5)
    log("the search looks in the chosen folder")
    screenshot("3-search-folder")


def walk_cache(settings):
    toggle = find(settings, pyatspi.ROLE_CHECK_BOX, "YouTube の動画をディスクにキャッシュする")
    stepper = find(settings, pyatspi.ROLE_SPIN_BUTTON, "容量の上限")
    press(toggle)
    wait_for("the cache off", lambda: stored("relayCacheEnabled") is False, 5)
    wait_for("the stepper disabled", lambda: not has_state(stepper, pyatspi.STATE_ENABLED), 5)
    screenshot("4-cache-off")
    press(toggle)
    wait_for("the cache on", lambda: stored("relayCacheEnabled") is True, 5)
    stepper.queryValue().currentValue = 25.0
    wait_for("the stored limit", lambda: stored("relayCacheLimitGB") == 25, 5)
    log("the cache was switched off and on and its limit raised")


def walk_instances(settings):
    set_text(wait_for("the add field", lambda: find(settings, pyatspi.ROLE_TEXT, "追加"), 5), "HTTPS://Host.Example//")
    add = wait_for("the enabled add button", lambda: (lambda b: b if has_state(b, pyatspi.STATE_ENABLED) else None)(
        find(settings, pyatspi.ROLE_PUSH_BUTTON, "追加")), 5)
    press(add)
    wait_for("the stored instance",
             lambda: stored("invidiousUserInstances") == [{"host": "host.example", "proxy": "auto"}], 20)
    wait_for("the instance row", lambda: find(settings, pyatspi.ROLE_LABEL, "host.example"), 5)
    screenshot("5-instance-added")
    press(wait_for("the remove button", lambda: find(settings, pyatspi.ROLE_PUSH_BUTTON, "このインスタンスを外す"), 5))
    wait_for("the instance removed", lambda: stored("invidiousUserInstances") == [], 20)
    log("an instance was added as host.example and removed")


def walk_export(app, settings):
    out = os.path.join(WORK, "out")
    os.makedirs(out, exist_ok=True)
    target = os.path.join(out, "saved.ndjson")
    with open(target, "w") as f:
        f.write("the user's older file\n")
    menu_button = find(settings, pyatspi.ROLE_PUSH_BUTTON, "ログを書き出す…")
    press_in_background(menu_button)
    # The open menu takes the keyboard: its first item is the current launch.
    time.sleep(0.5)
    key(KEY_DOWN)
    key(KEY_RETURN)
    log("chose the current launch from the export menu")
    saver = wait_for("the save dialog", lambda: dialog(app, "診断ログの書き出し"), 20)
    screenshot("6-save-dialog")
    set_text(wait_for("the save dialog's name field", lambda: file_name_field(saver), 5), target)
    press_in_background(wait_for("the save button", lambda: button_named(saver, "Save", "保存", "&Save"), 5))
    replace = wait_for("the replace question", lambda: (lambda b: b if has_state(b, pyatspi.STATE_SHOWING) else None)(
        button_named(app, "Yes", "&Yes", "はい")), 10)
    screenshot("7-replace-question")
    press_in_background(replace)
    wait_for("the saved export", lambda: read(target).startswith("{"), 20)
    log("the export was saved over the older file")
    screenshot("8-export-saved")


def walk_licences(app):
    press(wait_for("the licences command", lambda: menu_item(app, "ライセンス情報..."), 5))
    window = wait_for("the licences window", lambda: top_level(app, "ライセンス"), 10)
    wait_for("the Qt row", lambda: find(window, pyatspi.ROLE_LABEL, "Qt"), 5)
    log("the licences window lists the libraries")
    screenshot("9-licences")


def open_settings(app):
    press(wait_for("the settings command", lambda: menu_item(app, "設定..."), 5))
    return wait_for("the settings window", lambda: top_level(app, "設定"), 10)


def walk_after_kill(process, stderr):
    """A launch after a SIGKILL warns in the diagnostics section."""
    process.kill()
    process.wait()
    again, again_stderr = start("settings-after-kill")
    try:
        app = wait_for("the receiver again", lambda: running(again, again_stderr) and application_of(again.pid), 20)
        settings = open_settings(app)
        wait_for("the unclean-exit warning",
                 lambda: has_state(find(settings, pyatspi.ROLE_LABEL, UNCLEAN_WARNING), pyatspi.STATE_SHOWING), 10)
        log("after a SIGKILL the next launch warns in the settings")
        screenshot("10-unclean-exit-warning")
    finally:
        again.kill()
        again.wait()


def main():
    process, stderr = start()
    try:
        app = wait_for("the receiver on the accessibility bus",
                       lambda: running(process, stderr) and application_of(process.pid), 20)
        press(wait_for("the terms sheet's accept button", lambda: find(app, pyatspi.ROLE_PUSH_BUTTON, "同意してはじめる"),
                       10))
        sheet = wait_for("the connection sheet", lambda: dialog(app, "iPad接続"), 10)
        press(wait_for("the sheet's cancel button", lambda: find(sheet, pyatspi.ROLE_PUSH_BUTTON, "キャンセル"), 5))
        press(wait_for("the sheet's close button",
                       lambda: find(dialog(app, "iPad接続"), pyatspi.ROLE_PUSH_BUTTON, "閉じる"), 5))
        wait_for("the connection sheet to close", lambda: not has_state(dialog(app, "iPad接続"), pyatspi.STATE_SHOWING),
                 5)

        settings = open_settings(app)
        wait_for("the server running", lambda: find(settings, pyatspi.ROLE_LABEL, "稼働中 127.0.0.1:8000"), 10)
        if has_state(find(settings, pyatspi.ROLE_LABEL, UNCLEAN_WARNING), pyatspi.STATE_SHOWING):
            raise Failure("a first launch warns of an unclean exit")
        screenshot("0-settings")

        walk_osc(settings, process, stderr)
        walk_search(app, settings)
        walk_cache(settings)
        walk_instances(settings)
        walk_export(app, settings)
        walk_licences(app)
        running(process, stderr)
        walk_after_kill(process, stderr)
        return 0
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        screenshot("failure")
        print(f"--- receiver stderr ---\n{read(stderr)[-4000:]}", file=sys.stderr)
        return 1
    finally:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


if __name__ == "__main__":
    sys.exit(main())
