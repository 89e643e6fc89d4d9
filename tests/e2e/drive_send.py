"""The built receiver serving a tablet: the emulator links to it over a private Avahi daemon,
hears the source endpoint, and its API requests are answered under the announced token and
refused under another, with the refusal in the receiver's log.

Run by accessibility_e2e.sh inside a private X server and D-Bus session, with fresh XDG
folders in the environment. Exit status 0: passed; 1: failed; 77: skipped.
"""
import sys

from drive_receiver import BINARY, WORK
from a11y import Failure, log, wait_for
from tablet_link import run_walk


def walk(rig):
    rig.start()
    emulator = rig.emulator("--ack", "ready")
    endpoint = rig.link(rig.app(), emulator, close_sheet=False)
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
             lambda: "receiver_api_auth_fail route=search" in rig.log_text(), 5)
    log("the tablet's search answered 200 under the announced token and 403 under another")


def main():
    return run_walk(BINARY, WORK, walk, None)


if __name__ == "__main__":
    sys.exit(main())
