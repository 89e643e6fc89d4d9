"""What the end-to-end walks share: finding the receiver and its widgets on the accessibility
bus, pressing them, waiting for the tree to change, and closing an X window as a window
manager would.
"""

import ctypes
import ctypes.util
import os
import subprocess
import time

import pyatspi


class Failure(Exception):
    pass


def log(text):
    print(f"e2e: {text}", flush=True)


def wait_for(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = predicate()
        except Failure:
            raise
        except Exception:  # the tree changes under us while windows come and go
            value = None
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def start_receiver(binary, work, name):
    stderr = open(os.path.join(work, f"{name}.stderr"), "w")
    process = subprocess.Popen([binary], stdout=subprocess.DEVNULL, stderr=stderr)
    return process, stderr.name


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def application_of(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        app = desktop.getChildAtIndex(index)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def find(root, role, name):
    """The first accessible under root with this role and name (depth first)."""
    return pyatspi.findDescendant(root, lambda a: a.getRole() == role and a.name == name)


def frame(app, title):
    for index in range(app.childCount):
        child = app.getChildAtIndex(index)
        if child is not None and child.getRole() == pyatspi.ROLE_FRAME and child.name == title:
            return child
    return None


def dialog(app, title):
    for index in range(app.childCount):
        child = app.getChildAtIndex(index)
        if child is not None and child.getRole() == pyatspi.ROLE_DIALOG and child.name == title:
            return child
    return None


def has_state(accessible, state):
    return accessible is not None and accessible.getState().contains(state)


def press(accessible):
    action = accessible.queryAction()
    for index in range(action.nActions):
        if action.getName(index) in ("Press", "press", "click", "Click", "Toggle", "toggle"):
            action.doAction(index)
            return
    action.doAction(0)


def menu_item(app, name):
    return find(app, pyatspi.ROLE_MENU_ITEM, name)


def running(process, stderr_path):
    """Raises when the process has ended: nothing it should show will come any more."""
    status = process.poll()
    if status is not None:
        raise Failure(f"the receiver ended with status {status}: {read(stderr_path)[-2000:]}")
    return True


def close_x11_window(title):
    """Sends WM_DELETE_WINDOW to the top-level X window with this title, as a window manager's
    close button does."""
    xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XDefaultRootWindow.restype = ctypes.c_ulong
    xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                                ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                ctypes.POINTER(ctypes.c_uint)]
    xlib.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
    xlib.XFree.argtypes = [ctypes.c_void_p]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]

    display = xlib.XOpenDisplay(None)
    if not display:
        raise Failure("cannot open the X display")
    try:
        root = xlib.XDefaultRootWindow(display)
        parent, root_return = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        xlib.XQueryTree(display, root, ctypes.byref(root_return), ctypes.byref(parent), ctypes.byref(children),
                        ctypes.byref(count))
        targets = []
        for index in range(count.value):
            name = ctypes.c_char_p()
            if xlib.XFetchName(display, children[index], ctypes.byref(name)) and name.value is not None:
                if name.value.decode("utf-8", "replace") == title:
                    targets.append(children[index])
                xlib.XFree(name)
        if children:
            xlib.XFree(children)
        if not targets:
            raise Failure(f"no X window titled {title!r}")
        # Qt's hidden client-leader window may carry the same name; it ignores the request.
        for target in targets:
            event = Event()
            event.client.type = 33  # ClientMessage
            event.client.window = target
            event.client.message_type = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
            event.client.format = 32
            event.client.data[0] = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            event.client.data[1] = 0  # CurrentTime
            xlib.XSendEvent(display, target, 0, 0, ctypes.byref(event))
        xlib.XFlush(display)
        log(f"asked {len(targets)} X window(s) titled {title!r} to close")
    finally:
        xlib.XCloseDisplay(display)
