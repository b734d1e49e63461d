#!/usr/bin/env python3
"""Scripted HTTP server for Kavro's tests, on 127.0.0.1 only.

Usage: testserver.py ROOT. Prints the chosen port on its first line, then serves
until standard input closes (so it never outlives the test that started it).

Routes (NAME is a file under ROOT):
  /files/NAME         the file, with single-range support (206)
  /status/CODE        that status with a short body
  /redirect/N/NAME    N redirects, then /files/NAME
  /nolength/NAME      the file without Content-Length, closed at the end
  /truncate/NAME      full Content-Length, half the body, then a clean close
  /reset/NAME         full Content-Length, half the body, then a connection reset
  /stall/NAME         full Content-Length, half the body, then silence
  /stallonce/NAME     the first request as /stall (saying it takes ranges), then /files
  /flaky/K/NAME       /files, but the first K Range requests for this path get half their
                      body, then a clean close
  /gate/N/NAME        /files, but Range requests wait (at most 10 s) until N of them have been
                      in flight at once; the most seen at once goes to ROOT/peak
Every request's head is appended to ROOT/requests.log, as received.
"""

import http.server
import os
import socket
import socketserver
import struct
import time
import sys
import threading

ROOT = sys.argv[1]
LOG_LOCK = threading.Lock()
STATE = threading.Condition()
COUNTS = {"stallonce": 0, "in_flight": 0, "peak": 0}
MIME = {".mp4": "video/mp4", ".m3u8": "application/vnd.apple.mpegurl", ".webm": "video/webm",
        ".m4a": "audio/mp4"}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        head = self.requestline + "\r\n" + str(self.headers)
        with LOG_LOCK, open(os.path.join(ROOT, "requests.log"), "a", encoding="latin-1") as log:
            log.write(head.replace("\n", "\r\n").replace("\r\r\n", "\r\n"))

    def read_file(self, name, nested=False):
        path = os.path.join(ROOT, name)
        if ("/" in name and not nested) or not os.path.isfile(path):
            self.send_error(404)
            return None
        with open(path, "rb") as f:
            return f.read()

    def send_body(self, code, body, content_type="application/octet-stream", extra=()):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for key, value in extra:
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def serve_file(self, name, nested=False):
        body = self.read_file(name, nested)
        if body is None:
            return
        kind = MIME.get(os.path.splitext(name)[1], "application/octet-stream")
        wanted = self.headers.get("Range")
        if wanted and wanted.startswith("bytes="):
            first, _, last = wanted[6:].partition("-")
            first = int(first) if first else 0
            last = min(int(last), len(body) - 1) if last else len(body) - 1
            self.send_body(206, body[first:last + 1], kind,
                           [("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))])
        else:
            self.send_body(200, body, kind, [("Accept-Ranges", "bytes")])

    def send_partial(self, name, ending, ranges=False):
        body = self.read_file(name)
        if body is None:
            return
        first = 0
        wanted = self.headers.get("Range")
        if ranges and wanted and wanted.startswith("bytes="):
            first, _, last = wanted[6:].partition("-")
            first = int(first)
            last = min(int(last), len(body) - 1) if last else len(body) - 1
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))
            body = body[first:last + 1]
            first = 0
        else:
            self.send_response(200)
            if ranges:
                self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[: len(body) // 2])
        self.wfile.flush()
        if ending == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif ending == "stall":
            # Hold the connection open until the client gives up (bounded).
            self.connection.settimeout(60)
            try:
                self.connection.recv(1)
            except OSError:
                pass
        self.close_connection = True

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        self.record()
        parts = self.path.split("?")[0].split("/")[1:]
        route, args = parts[0], parts[1:]
        if route == "files" and len(args) == 1:
            self.serve_file(args[0])
        elif route == "tree" and args and ".." not in args and "" not in args:
            # A release laid out in folders, as download sites have them.
            self.serve_file("/".join(args), nested=True)
        elif route == "status" and len(args) == 1:
            self.send_body(int(args[0]), b"status %s body" % args[0].encode(), "text/plain")
        elif route == "redirect" and len(args) == 2:
            left = int(args[0])
            target = "/files/%s" % args[1] if left == 0 else "/redirect/%d/%s" % (left - 1, args[1])
            self.send_body(302, b"", "text/plain", [("Location", target)])
        elif route == "slow" and len(args) == 1:
            # The body in ten pieces over about a second.
            body = self.read_file(args[0])
            if body is not None:
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                step = max(1, len(body) // 10)
                for start in range(0, len(body), step):
                    self.wfile.write(body[start:start + step])
                    self.wfile.flush()
                    time.sleep(0.1)
        elif route == "emptyredirect" and not args:
            # A redirect that names no target: curl does not follow it.
            self.send_body(302, b"", "text/plain", [("Location", "")])
        elif route == "empty" and not args:
            self.send_body(200, b"", "video/mp4")
        elif route == "nolength" and len(args) == 1:
            body = self.read_file(args[0])
            if body is not None:
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.close_connection = True
        elif route in ("truncate", "reset", "stall") and len(args) == 1:
            self.send_partial(args[0], route)
        elif route == "stallonce" and len(args) == 1:
            with STATE:
                COUNTS["stallonce"] += 1
                first = COUNTS["stallonce"] == 1
            if first:
                self.send_partial(args[0], "stall", ranges=True)
            else:
                self.serve_file(args[0])
        elif route == "flaky" and len(args) == 2:
            with STATE:
                key = "flaky" + self.path
                cut = "Range" in self.headers and COUNTS.get(key, 0) < int(args[0])
                COUNTS[key] = COUNTS.get(key, 0) + cut
            if cut:
                self.send_partial(args[1], "truncate", ranges=True)
            else:
                self.serve_file(args[1])
        elif route == "gate" and len(args) == 2:
            if "Range" in self.headers:
                with STATE:
                    COUNTS["in_flight"] += 1
                    COUNTS["peak"] = max(COUNTS["peak"], COUNTS["in_flight"])
                    with open(os.path.join(ROOT, "peak"), "w") as peak:
                        peak.write(str(COUNTS["peak"]))
                    STATE.notify_all()
                    STATE.wait_for(lambda: COUNTS["peak"] >= int(args[0]), timeout=10)
            try:
                self.serve_file(args[1])
            finally:
                if "Range" in self.headers:
                    with STATE:
                        COUNTS["in_flight"] -= 1
        else:
            self.send_error(404)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that give up mid-body are part of the tests


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
