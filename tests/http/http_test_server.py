#!/usr/bin/env python3
"""A local HTTP server with scripted answers for the transfer tests and the benchmark.

Listens on 127.0.0.1 on a free port and prints the port on its first output line. Bodies are
the pattern byte(i) = i % 251, so a test can check every byte of a file.

  /file/N          200, Content-Length N;  /media/N/NAME  the same under a file name
  /nolength/N      200 without Content-Length; the connection closes after N bytes
  /status/C        status C with a short body
  /redirect/N      302 to /file/N;  /redirect-to?URL  302 to URL as given
  /short/N/M       Content-Length N, only M bytes, then the connection closes
  /range/N         206 for "Range: bytes=X-" (X < N), else 200 with the whole body
  /range200/N      200 with the whole body whatever the Range header says
  /auth/N          401 (Basic) unless the credentials are user:secret, then /file/N
  /slow/N          Content-Length N, 1000 bytes every 100 ms
  /stall/N         Content-Length N, 1000 bytes, then nothing for 120 s
  /big/N           Content-Length N of zero bytes, sent in 1 MiB blocks (benchmark)
  /tagged/N/TAG    Content-Length N with ETag "TAG"; "Range: bytes=A-B" gets 206 unless an
                   If-Range names another tag (then 200 with the whole body)
  /tagged/N/TAG/badtotal  the same, but each 206 names a total of N + 1
  /root/PATH       with "--root FOLDER": the file PATH of that folder (404 when missing), 206
                   for "Range: bytes=A-B" within it; "?etag=TAG" adds ETag "TAG", and an
                   If-Range naming another tag gets the whole file
  /headers         200 with the request's Cookie, Referer and Authorization as the body
  /live/NAME       an HLS live playlist without end: at the n-th request, segments 0..n of
                   0.2 s each (/file/1000?NAME-k)

With "--tls CERT KEY" it speaks HTTPS with that certificate.
"""
import base64
import os
import re
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATTERN = bytes(i % 251 for i in range(251 * 4096))  # about 1 MiB, a whole number of periods
ZEROS = bytes(1024 * 1024)
ROOT = None  # the folder served under /root/, from "--root FOLDER"
LOG = None  # "--log FILE": one line per request, "path|Cookie|Referer|Range|If-Range"
LIVE = {}  # live playlist name -> how often it was asked for


def pattern(start, end):
    out = bytearray()
    pos = start
    while pos < end:
        offset = pos % 251
        chunk = PATTERN[offset:offset + (end - pos)]
        out += chunk
        pos += len(chunk)
    return bytes(out)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes: without this, each answer on a kept
    # connection waits for the client's delayed acknowledgement.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def head(self, code, length=None, extra=()):
        self.send_response(code)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def send_pattern(self, start, end, pace=None):
        pos = start
        while pos < end:
            step = min(end - pos, 1000 if pace else 65536)
            self.wfile.write(pattern(pos, pos + step))
            self.wfile.flush()
            pos += step
            if pace:
                time.sleep(pace)

    def do_GET(self):
        if LOG:
            LOG.write("%s|%s|%s|%s|%s\n" % (self.path, self.headers.get("Cookie", "-"),
                                             self.headers.get("Referer", "-"),
                                             self.headers.get("Range", "-"),
                                             self.headers.get("If-Range", "-")))
        try:
            self.route()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def route(self):
        parts = self.path.split("?", 1)[0].strip("/").split("/")
        kind = parts[0]
        nums = [int(p) for p in parts[1:] if p.isdigit()]
        n = nums[0] if nums else 0
        if kind in ("file", "media"):
            self.head(200, n, [("Content-Type", "video/x-flv")])
            self.send_pattern(0, n)
        elif kind == "nolength":
            self.head(200, None, [("Connection", "close")])
            self.send_pattern(0, n)
            self.close_connection = True
        elif kind == "status":
            body = b"scripted answer"
            self.head(n, len(body))
            self.wfile.write(body)
        elif kind == "redirect":
            self.head(302, 0, [("Location", "/file/%d" % n)])
        elif kind == "redirect-to":
            self.head(302, 0, [("Location", self.path.split("?", 1)[1])])
        elif kind == "short":
            self.head(200, n, [("Connection", "close")])
            self.send_pattern(0, nums[1])
            self.close_connection = True
        elif kind == "range":
            m = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
            if m and int(m.group(1)) < n:
                start = int(m.group(1))
                self.head(206, n - start, [("Content-Range", "bytes %d-%d/%d" % (start, n - 1, n))])
                self.send_pattern(start, n)
            else:
                self.head(200, n)
                self.send_pattern(0, n)
        elif kind == "tagged":
            tag = '"%s"' % (parts[2] if len(parts) > 2 else "")
            total = n + 1 if parts[3:] == ["badtotal"] else n
            m = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
            if_range = self.headers.get("If-Range", tag)
            if m and int(m.group(1)) <= int(m.group(2)) < n and if_range == tag:
                start, end = int(m.group(1)), int(m.group(2)) + 1
                self.head(206, end - start, [("ETag", tag), ("Content-Range",
                                                             "bytes %d-%d/%d" % (start, end - 1, total))])
                self.send_pattern(start, end)
            else:
                self.head(200, n, [("ETag", tag)])
                self.send_pattern(0, n)
        elif kind == "range200":
            self.head(200, n)
            self.send_pattern(0, n)
        elif kind == "auth":
            expected = "Basic " + base64.b64encode(b"user:secret").decode()
            if self.headers.get("Authorization") == expected:
                self.head(200, n)
                self.send_pattern(0, n)
            else:
                body = b"<html>password needed</html>"
                self.head(401, len(body), [("WWW-Authenticate", 'Basic realm="pelnix test"')])
                self.wfile.write(body)
        elif kind == "slow":
            self.head(200, n)
            self.send_pattern(0, n, pace=0.1)
        elif kind == "stall":
            self.head(200, n)
            self.send_pattern(0, 1000)
            time.sleep(120)
            self.close_connection = True
        elif kind == "big":
            self.head(200, n)
            view = memoryview(ZEROS)
            left = n
            while left > 0:
                step = min(left, len(ZEROS))
                self.wfile.write(view[:step])
                left -= step
        elif kind == "live":
            name = parts[1] if len(parts) > 1 else ""
            LIVE[name] = LIVE.get(name, 0) + 1
            body = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n" + "".join(
                "#EXTINF:0.2,\n/file/1000?%s-%d\n" % (name, k) for k in range(LIVE[name]))
            self.head(200, len(body), [("Content-Type", "application/vnd.apple.mpegurl")])
            self.wfile.write(body.encode())
        elif kind == "headers":
            body = "".join("%s=%s\n" % (name, self.headers.get(name, "-"))
                           for name in ("Cookie", "Referer", "Authorization")).encode()
            self.head(200, len(body))
            self.wfile.write(body)
        elif kind == "root" and ROOT:
            name = os.path.normpath(self.path.split("?", 1)[0][len("/root/"):])
            path = os.path.join(ROOT, name)
            if name.startswith("..") or os.path.isabs(name) or not os.path.isfile(path):
                self.head(404, 0)
                return
            with open(path, "rb") as f:
                body = f.read()
            query = self.path.split("?", 1)[1] if "?" in self.path else ""
            tagged = re.fullmatch(r"etag=(\w+)", query)
            tag = [("ETag", '"%s"' % tagged.group(1))] if tagged else []
            m = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
            current = not tag or self.headers.get("If-Range", tag[0][1]) == tag[0][1]
            if m and current and int(m.group(1)) <= int(m.group(2)) < len(body):
                start, end = int(m.group(1)), int(m.group(2))
                self.head(206, end - start + 1,
                          [("Content-Range", "bytes %d-%d/%d" % (start, end, len(body)))] + tag)
                self.wfile.write(body[start:end + 1])
                return
            self.head(200, len(body), [("Content-Type", "application/octet-stream")] + tag)
            self.wfile.write(body)
        else:
            self.head(404, 0)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that drops a connection (a transfer that stops reading) is no fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def main():
    global ROOT, LOG
    server = Server(("127.0.0.1", 0), Handler)
    args = sys.argv[1:]
    while args:
        if args[0] == "--root" and len(args) >= 2:
            ROOT, args = args[1], args[2:]
        elif args[0] == "--log" and len(args) >= 2:
            LOG, args = open(args[1], "a", buffering=1), args[2:]
        elif args[0] == "--tls" and len(args) >= 3:
            import ssl
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(args[1], args[2])
            server.socket = context.wrap_socket(server.socket, server_side=True)
            args = args[3:]
        else:
            sys.exit("unknown option " + args[0])
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
