"""The DNS role of the fake remote: a small UDP name server for tests run in a network namespace of
their own, where resolv.conf points at it. Standard library only.

The table is a JSON object:

    {"names": {"v4.test": ["127.0.0.1"], "both.test": ["3fff::20", "127.0.0.1"]},
     "rebind": {"rebind.test": {"first": ["3fff::20"], "then": ["127.0.0.1"]}}}

A and AAAA questions are answered from the addresses of the matching family, with TTL 0 so that
no cache keeps an answer. A "rebind" name answers its "first" addresses to the first question of
each type and its "then" addresses to every later one: a name that looks harmless when it is
checked and points elsewhere when it is used. A known name without addresses of the asked family
answers with no records; an unknown name is NXDOMAIN; other types are NOTIMP.
"""

import ipaddress
import json
import socket
import struct
import threading

TYPE_A = 1
TYPE_AAAA = 28
CLASS_IN = 1
MAX_NAME_LABELS = 127


class Table:
    def __init__(self, table):
        self.lock = threading.Lock()
        self.names = {k.lower().rstrip("."): v for k, v in table.get("names", {}).items()}
        self.rebind = {k.lower().rstrip("."): v for k, v in table.get("rebind", {}).items()}
        self.asked = set()  # (name, type) pairs a rebind name has answered once

    def lookup(self, name, qtype):
        """The addresses for a question, or None when the name is unknown."""
        with self.lock:
            if name in self.rebind:
                entry = self.rebind[name]
                phase = "then" if (name, qtype) in self.asked else "first"
                self.asked.add((name, qtype))
                addresses = entry.get(phase, [])
            elif name in self.names:
                addresses = self.names[name]
            else:
                return None
        version = 4 if qtype == TYPE_A else 6
        return [a for a in addresses if ipaddress.ip_address(a).version == version]


def read_question(packet):
    """(id, flags, name, type, class, end of question) of a one-question query, or None."""
    if len(packet) < 12:
        return None
    ident, flags, qdcount = struct.unpack("!HHH", packet[:6])
    if qdcount != 1 or flags & 0x8000:
        return None
    labels = []
    offset = 12
    while True:
        if offset >= len(packet) or len(labels) > MAX_NAME_LABELS:
            return None
        length = packet[offset]
        offset += 1
        if length == 0:
            break
        if length & 0xC0 or offset + length > len(packet):
            return None
        labels.append(packet[offset:offset + length].decode("ascii", "replace"))
        offset += length
    if offset + 4 > len(packet):
        return None
    qtype, qclass = struct.unpack("!HH", packet[offset:offset + 4])
    return ident, flags, ".".join(labels).lower(), qtype, qclass, offset + 4


def answer(packet, table, on_query=None):
    question = read_question(packet)
    if question is None:
        return None
    ident, flags, name, qtype, qclass, end = question
    if on_query is not None:
        on_query(name, qtype)
    rcode = 0
    records = []
    if qclass != CLASS_IN or qtype not in (TYPE_A, TYPE_AAAA):
        rcode = 4  # NOTIMP
    else:
        addresses = table.lookup(name, qtype)
        if addresses is None:
            rcode = 3  # NXDOMAIN
        else:
            family = socket.AF_INET if qtype == TYPE_A else socket.AF_INET6
            for address in addresses:
                data = socket.inet_pton(family, address)
                # The name as a pointer to the question's, TTL 0.
                records.append(struct.pack("!HHHIH", 0xC00C, qtype, CLASS_IN, 0, len(data)) + data)
    reply_flags = 0x8000 | 0x0400 | (flags & 0x0100) | 0x0080 | rcode  # QR, AA, RD copied, RA
    header = struct.pack("!HHHHHH", ident, reply_flags, 1, len(records), 0, 0)
    return header + packet[12:end] + b"".join(records)


def serve(host, port, table, on_query=None):
    """Binds the socket at once (so the caller knows the port) and answers on a daemon thread."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.bind((host, port))
    lookup = Table(table)

    def loop():
        while True:
            packet, client = sock.recvfrom(4096)
            reply = answer(packet, lookup, on_query)
            if reply is not None:
                sock.sendto(reply, client)

    threading.Thread(target=loop, daemon=True).start()
    return sock.getsockname()[1]


def load_table(path):
    with open(path) as handle:
        return json.load(handle)
