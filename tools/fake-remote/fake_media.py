"""The media role of the fake remote: ranged files under /media/<name>, with faults of a video CDN.

Files are made by commands: {"media": NAME, "file": PATH} serves a file from disk, {"media": NAME,
"size": N} serves N bytes where byte i is i mod 251. A request is answered from the first byte
range of its Range header (206 with Content-Range), or whole (200) without one.

Faults use the common rule table (host, path prefix, "times"); besides the common kinds, a rule
may carry "unless_query": a text that exempts requests whose query contains it (a refreshed
address), and "together": a number of requests that must have come under the rule's path before
any of them is answered (within 10 s), so that they are all in flight at once. The media kinds:

| fault | effect |
|---|---|
| `ignore_range` | 200 with the whole file |
| `content_range` | 206 with the requested bytes and the given header `value` |
| `total` | 206 whose Content-Range announces `total` instead of the size |
| `short` | 206 sending `bytes` (default 1) fewer bytes than the range, and saying so |
| `long` | 206 announcing the range but sending `bytes` (default 1) more |
| `gate` | holds the request until a {"media_release": n} command lets the n oldest held ones go |
| `expire` | `status` (default 403; 410 too) as for an expired address, and the addresses of the next video answers carry a fresh `fresh=` mark |

A video's stream address on the CDN server ("/videoplayback?...&id=ID") is served as the media file
named ID when there is one, with the same faults (rules on the path "/videoplayback").

Every request under /media/ reports {"event": "media", "path", "range", "active", "order"}:
the requests held or not yet answered at that moment (itself included) and its arrival number.
"""

import os
import re
import threading

LOCK = threading.Lock()
CONDITION = threading.Condition(LOCK)
FILES = {}
STATE = {"active": 0, "order": 0, "released": 0, "held": 0, "fresh": 0}
ARRIVED = {}

PREFIX = "/media/"
PERIOD = bytes(range(251))


def command(rule):
    """Takes a media command; answers False for anything else."""
    if "media" in rule:
        if "file" in rule:
            FILES[rule["media"]] = ("file", rule["file"])
        else:
            FILES[rule["media"]] = ("pattern", int(rule["size"]))
        return True
    if "media_release" in rule:
        with CONDITION:
            STATE["released"] += int(rule["media_release"])
            CONDITION.notify_all()
        return True
    return False


def hold(fault):
    """Waits until a {"media_release": n} command lets this request go (or the rule's seconds pass)."""
    with CONDITION:
        STATE["held"] += 1
        ticket = STATE["held"]
        CONDITION.wait_for(lambda: STATE["released"] >= ticket, timeout=float(fault.get("seconds", 30)))


def playback_name(path, query):
    """The media file that a CDN stream address names, if one was made for its video id."""
    if path != "/videoplayback":
        return None
    for item in query.split("&"):
        if item.startswith("id=") and item[3:] in FILES:
            return item[3:]
    return None


def fresh_mark():
    """Appended to the stream addresses of video answers: changes with every expired answer."""
    with LOCK:
        return "&fresh=%d" % STATE["fresh"] if STATE["fresh"] else ""


def exempt(fault, query):
    """A refreshed address (its query holding the rule's text) escapes the rule."""
    marker = fault.get("unless_query") if fault else None
    return marker is not None and marker in query


def size_of(name):
    kind, value = FILES[name]
    return os.path.getsize(value) if kind == "file" else value


def read(name, start, end):
    """Bytes start..end inclusive."""
    kind, value = FILES[name]
    if kind == "file":
        with open(value, "rb") as handle:
            handle.seek(start)
            return handle.read(end - start + 1)
    # Sliced from repeats of one period: a byte-by-byte loop made large files too slow to serve.
    count = end - start + 1
    first = start % 251
    return (PERIOD * ((first + count) // 251 + 1))[first:first + count]


def parse_range(header, size):
    match = re.fullmatch(r"bytes=(\d*)-(\d*)", (header or "").strip())
    if not match or (match.group(1) == "" and match.group(2) == ""):
        return None
    if match.group(1) == "":
        length = int(match.group(2))
        return max(0, size - length), size - 1
    start = int(match.group(1))
    end = int(match.group(2)) if match.group(2) else size - 1
    return start, min(end, size - 1)


def serve(handler, emit, fault, path, query, name=None):
    """Answers a media request; False leaves a common fault kind to the caller."""
    name = name or path[len(PREFIX):]
    kind = fault.get("fault") if fault else None
    with CONDITION:
        STATE["active"] += 1
        STATE["order"] += 1
        order = STATE["order"]
        active = STATE["active"]
    emit("media", path=path, query=query, range=handler.headers.get("Range"), active=active, order=order,
         encoding=handler.headers.get("Accept-Encoding"))
    counted = [True]

    def answering():
        # A request stops counting once its holds are over: a client that frees its slot when the
        # answer has come may send the next request before this thread has finished writing.
        with CONDITION:
            if counted[0]:
                counted[0] = False
                STATE["active"] -= 1

    try:
        together = int(fault.get("together", 0)) if fault else 0
        if together:
            key = fault.get("path", "/")
            with CONDITION:
                ARRIVED[key] = ARRIVED.get(key, 0) + 1
                CONDITION.notify_all()
                CONDITION.wait_for(lambda: ARRIVED[key] >= together, timeout=10)
        if kind == "gate":
            hold(fault)
            kind = None
        answering()
        if kind == "expire":
            with LOCK:
                STATE["fresh"] += 1
            status = int(fault.get("status", 403))
            handler.send_body(status, "%d expired" % status, "text/plain")
            return True
        if kind not in (None, "ignore_range", "content_range", "total", "short", "long"):
            return False
        if name not in FILES:
            handler.send_body(404, "404 Not Found", "text/plain")
            return True
        size = size_of(name)
        wanted = parse_range(handler.headers.get("Range"), size)
        if kind == "ignore_range" or wanted is None:
            handler.send_body(200, read(name, 0, size - 1), "video/mp4")
            return True
        start, end = wanted
        if start >= size or end < start:
            handler.send_body(416, b"", "text/plain", {"Content-Range": "bytes */%d" % size})
            return True
        body = read(name, start, end)
        header = "bytes %d-%d/%d" % (start, end, size)
        if kind == "content_range":
            header = fault["value"]
        elif kind == "total":
            header = "bytes %d-%d/%s" % (start, end, fault["total"])
        elif kind == "short":
            body = body[: max(0, len(body) - int(fault.get("bytes", 1)))]
        elif kind == "long":
            body = body + bytes(int(fault.get("bytes", 1)))
        handler.send_response(206)
        handler.send_header("Content-Type", "video/mp4")
        handler.send_header("Content-Length", str(len(body)))
        handler.send_header("Content-Range", header)
        handler.send_header("Accept-Ranges", "bytes")
        handler.send_header("Connection", "close")
        handler.end_headers()
        try:
            handler.wfile.write(body)
            handler.wfile.flush()
        except OSError:
            pass
        handler.close_connection = True
        return True
    finally:
        answering()
