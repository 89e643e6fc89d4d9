#!/usr/bin/python3
"""A fake video-API server for tests: HTTPS and HTTP on loopback, instances told apart by the
Host header, faults scripted per host and path through JSON lines on stdin, and every request
reported as a JSON line on stdout. Standard library only; certificates come from the openssl CLI.
"""

import argparse
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import fake_media

OUTPUT_LOCK = threading.Lock()


def emit(event, **fields):
    fields["event"] = event
    line = json.dumps(fields, ensure_ascii=True)
    with OUTPUT_LOCK:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def make_certificates(directory, names, bind="127.0.0.1"):
    """A private CA and a server certificate for the given names, *.remote.test, loopback and bind."""
    os.makedirs(directory, exist_ok=True)
    ca_key = os.path.join(directory, "ca.key")
    ca_crt = os.path.join(directory, "ca.pem")
    key = os.path.join(directory, "server.key")
    csr = os.path.join(directory, "server.csr")
    crt = os.path.join(directory, "server.pem")
    ext = os.path.join(directory, "server.ext")
    alt = ["DNS:*.remote.test", "DNS:localhost", "IP:127.0.0.1", "IP:::1"] + ["DNS:" + n for n in names]
    if bind not in ("127.0.0.1", "::1"):
        alt.append("IP:" + bind)
    with open(ext, "w") as handle:
        handle.write("subjectAltName=" + ",".join(alt) + "\n")
        handle.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n")
        handle.write("extendedKeyUsage=serverAuth\n")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
    # EC keys: an RSA key takes a third of a second of CPU, and far longer on a crowded machine,
    # where two of them made the start outlast the fixture's wait.
    ec = ["ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"]
    subprocess.run(["openssl", "req", "-x509", "-newkey", *ec, "-nodes", "-keyout", ca_key, "-out", ca_crt,
                    "-days", "2", "-subj", "/CN=fake-remote test CA",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", *ec, "-nodes", "-keyout", key, "-out", csr,
                    "-subj", "/CN=fake-remote"], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca_crt, "-CAkey", ca_key, "-CAcreateserial",
                    "-out", crt, "-days", "2", "-extfile", ext], **quiet)
    return ca_crt, crt, key


class Faults:
    """Scripted faults: the first rule matching host and path prefix applies; "times" counts down."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []

    def add(self, rule):
        with self.lock:
            if rule.get("fault") == "clear":
                self.rules = [r for r in self.rules if rule.get("host", "*") not in ("*", r.get("host", "*"))]
                if rule.get("host", "*") == "*":
                    self.rules = []
                return
            self.rules.insert(0, dict(rule))

    def take(self, host, path):
        with self.lock:
            for rule in self.rules:
                if rule.get("host", "*") not in ("*", host):
                    continue
                if not path.startswith(rule.get("path", "/")):
                    continue
                times = rule.get("times", "always")
                if times != "always":
                    if times <= 0:
                        continue
                    rule["times"] = times - 1
                return dict(rule)
        return None


FAULTS = Faults()
FIXTURES = {}
VIDEOS = {}
VIDEO_CDN_SERVER = "r4---sn-fake01.cdn.test"


def load_videos():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "videos.json")
    with open(path) as handle:
        VIDEOS.update(json.load(handle))


def stream_url(template, video_id, local):
    """"@stream?query": direct on the CDN server, or proxied through the asking instance."""
    if not isinstance(template, str) or not template.startswith("@stream"):
        return template
    query = template[len("@stream?"):] + "&id=" + video_id + "&expire=4102444800" + fake_media.fresh_mark()
    if local:
        return "/videoplayback?" + query + "&host=" + VIDEO_CDN_SERVER
    return "https://" + VIDEO_CDN_SERVER + "/videoplayback?" + query


def video_answer(video_id, local, template_id=None):
    """The status and answer for one video from its fixture (or the default one), addresses made
    for local=. A fixture with "_status" is an error answer: that status with the rest as body."""
    template = FIXTURES.get("video:" + video_id) or VIDEOS.get(template_id or video_id) or VIDEOS["default"]
    answer = json.loads(json.dumps(template).replace("{id}", video_id))
    answer.pop("_comment", None)
    if isinstance(answer, dict) and "_status" in answer:
        return int(answer.pop("_status")), answer
    answer.setdefault("videoId", video_id)
    for key in ("formatStreams", "adaptiveFormats"):
        for entry in answer.get(key) or []:
            if isinstance(entry, dict) and "url" in entry:
                entry["url"] = stream_url(entry["url"], video_id, local)
    return 200, answer


def default_search(query):
    """Two videos, a channel and a playlist, titled after the query; thumbnails partly relative."""
    return [
        {"type": "video", "title": "First " + query, "videoId": "vid00000001", "author": "Author One",
         "lengthSeconds": 212,
         "videoThumbnails": [{"quality": "high", "url": "/vi/vid00000001/hqdefault.jpg"},
                             {"quality": "medium", "url": "/vi/vid00000001/mqdefault.jpg"}]},
        {"type": "channel", "author": "Some Channel", "authorId": "UC0000"},
        {"type": "video", "title": "Second " + query, "videoId": "vid00000002",
         "videoThumbnails": [{"quality": "default", "url": "https://img.remote.test/vi/vid00000002/default.jpg"}]},
        {"type": "playlist", "title": "A list", "playlistId": "PL0000"},
        {"type": "hashtag", "title": "#" + query.replace(" ", ""), "url": "/hashtag/" + query.replace(" ", ""),
         "channelCount": 12, "videoCount": 345},
    ]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fake-remote"

    def log_message(self, *args):
        pass

    def host(self):
        host = self.headers.get("Host", "")
        if host.startswith("["):
            return host[: host.find("]") + 1]
        return host.rsplit(":", 1)[0] if ":" in host else host

    def send_body(self, status, body, content_type="application/json", extra=None):
        data = body if isinstance(body, bytes) else body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()
        self.close_connection = True

    @staticmethod
    def video_body(answer):
        status, body = answer
        return status, json.dumps(body)

    def wait_for_close(self, limit):
        """Holds the connection silently until the client closes it or the limit passes."""
        deadline = time.monotonic() + limit
        sock = self.connection
        while time.monotonic() < deadline:
            try:
                sock.settimeout(0.05)
                data = sock.recv(1)
                if not data:
                    return True
            except (socket.timeout, TimeoutError, ssl.SSLWantReadError):
                continue
            except (OSError, ssl.SSLError):
                return True
        return False

    def do_GET(self):
        host = self.host()
        split = urlsplit(self.path)
        fault = FAULTS.take(host, split.path)
        kind = fault.get("fault") if fault else None
        emit("request", host=host, path=self.path, method="GET", scheme=self.server.scheme, fault=kind,
             user_agent=self.headers.get("User-Agent", ""))
        self.close_connection = True
        playback = fake_media.playback_name(split.path, split.query)
        if split.path.startswith(fake_media.PREFIX) or playback:
            if fake_media.exempt(fault, split.query):
                fault, kind = None, None
            if fake_media.serve(self, emit, fault, split.path, split.query, playback):
                return
        if kind == "gate":
            # Held like a media request, then answered as usual: lets a test order two answers.
            fake_media.hold(fault)
            self.answer(host, split)
        elif kind == "status":
            status = int(fault.get("status", 503))
            self.send_body(status, fault.get("body", "%d fault" % status), "text/plain")
        elif kind == "stall":
            closed = self.wait_for_close(float(fault.get("seconds", 30)))
            emit("closed" if closed else "stall_end", host=host, path=self.path)
        elif kind == "slow_body":
            body = json.dumps(fault.get("json", default_search("slow"))).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            delay = float(fault.get("delay", 0.2))
            try:
                for i in range(0, len(body), int(fault.get("chunk", 16))):
                    self.wfile.write(body[i:i + int(fault.get("chunk", 16))])
                    self.wfile.flush()
                    time.sleep(delay)
            except OSError:
                emit("closed", host=host, path=self.path)
        elif kind == "non_json":
            self.send_body(200, fault.get("body", "<html>not json</html>"), "text/html")
        elif kind == "empty":
            self.send_body(200, b"")
        elif kind == "envelope":
            self.send_body(200, json.dumps({"error": fault.get("message", "instance error")}))
        elif kind == "json":
            self.send_body(int(fault.get("status", 200)), json.dumps(fault["json"]))
        elif kind == "raw":
            self.send_body(int(fault.get("status", 200)), fault["body"].encode("latin-1"))
        elif kind == "over_cap":
            size = int(fault.get("bytes", 17 * 1024 * 1024))
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.end_headers()
            chunk = b" " * 65536
            sent = 0
            try:
                while sent < size:
                    piece = chunk[: min(len(chunk), size - sent)]
                    self.wfile.write(piece)
                    sent += len(piece)
            except OSError:
                pass
            emit("body_sent", host=host, path=self.path, bytes=sent)
        elif kind == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        elif kind == "video_mismatch":
            video_id = split.path.rsplit("/", 1)[-1]
            local = parse_qs(split.query).get("local", ["false"])[0] == "true"
            status, answer = video_answer(video_id, local)
            answer["videoId"] = fault.get("other", "otherVideo1")
            self.send_body(status, json.dumps(answer))
        elif kind == "no_playable":
            video_id = split.path.rsplit("/", 1)[-1]
            local = parse_qs(split.query).get("local", ["false"])[0] == "true"
            self.send_body(*self.video_body(video_answer(video_id, local, "unplayable")))
        elif kind == "redirect":
            self.send_body(int(fault.get("status", 302)), fault.get("body", "").encode("latin-1"), "text/plain",
                           {"Location": fault["location"]})
        else:
            self.answer(host, split)

    def answer(self, host, split):
        if split.path == "/api/v1/stats":
            self.send_body(200, json.dumps({"software": {"name": "fake", "version": "0"}}))
        elif split.path == "/api/v1/search":
            query = parse_qs(split.query).get("q", [""])[0]
            fixture = FIXTURES.get("search")
            self.send_body(200, json.dumps(fixture if fixture is not None else default_search(query)))
        elif split.path.startswith("/api/v1/videos/") and split.path.count("/") == 4:
            local = parse_qs(split.query).get("local", ["false"])[0] == "true"
            self.send_body(*self.video_body(video_answer(split.path.rsplit("/", 1)[-1], local)))
        elif split.path.startswith("/vi/"):
            self.send_body(200, b"\xff\xd8\xff\xd9", "image/jpeg")
        else:
            self.send_body(404, "404 Not Found", "text/plain")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, scheme, context=None):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        super().__init__(address, Handler)
        self.scheme = scheme
        self.context = context

    def get_request(self):
        sock, address = super().get_request()
        if self.context is not None:
            sock = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def finish_request(self, request, client_address):
        if self.context is not None:
            try:
                request.settimeout(10)
                request.do_handshake()
                request.settimeout(None)
            except (OSError, ssl.SSLError):
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass


def read_commands():
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            rule = json.loads(line)
        except ValueError:
            emit("bad_command", line=line)
            continue
        if "fixture" in rule:
            FIXTURES[rule["fixture"]] = rule.get("json")
        elif fake_media.command(rule):
            pass
        else:
            FAULTS.add(rule)
        emit("ack", id=rule.get("id"))
    os._exit(0)  # stdin closed: the test is gone


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--state-dir", required=True, help="folder for the certificates")
    parser.add_argument("--name", action="append", default=[], help="an extra host name for the certificate")
    parser.add_argument("--fixtures", help="a JSON file of fixtures by name")
    parser.add_argument("--bind", default="127.0.0.1",
                        help="the address both servers listen on (IPv4 or IPv6; default 127.0.0.1)")
    parser.add_argument("--https-port", type=int, default=0, help="the HTTPS port (default: the kernel's choice)")
    parser.add_argument("--http-port", type=int, default=0, help="the HTTP port (default: the kernel's choice)")
    parser.add_argument("--dns", help="ADDRESS:PORT for the DNS role (see fake_dns.py)")
    parser.add_argument("--dns-table", help="the DNS role's JSON table of names")
    arguments = parser.parse_args()
    load_videos()
    if arguments.fixtures:
        with open(arguments.fixtures) as handle:
            FIXTURES.update(json.load(handle))

    ca, certificate, key = make_certificates(arguments.state_dir, arguments.name, arguments.bind)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    https = Server((arguments.bind, arguments.https_port), "https", context)
    http = Server((arguments.bind, arguments.http_port), "http")
    for server in (https, http):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    extra = {}
    if arguments.dns:
        import fake_dns
        address, _, port = arguments.dns.rpartition(":")
        table = fake_dns.load_table(arguments.dns_table) if arguments.dns_table else {}
        extra["dns_port"] = fake_dns.serve(address.strip("[]"), int(port), table,
                                           lambda name, qtype: emit("dns_query", name=name, type=qtype))
    emit("ready", https_port=https.server_address[1], http_port=http.server_address[1], ca=ca, **extra)
    read_commands()


if __name__ == "__main__":
    main()
