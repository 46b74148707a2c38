#!/usr/bin/env python3
"""A small HTTP server for the capture tests.

Serves the files of one folder with the header names written as "Content-Type" and
"Content-Length" (the standard library server writes "Content-type", which the detector's
case-sensitive markers do not match). A Flash video's header block is sent alone and its body
afterwards, so that the body starts in the next packet; every other answer is sent with one
write, header block and body start together.

Usage: media_server.py FOLDER ADDRESS PORT
"""
import http.server
import os
import sys

TYPES = {
    ".flv": "video/x-flv",
    ".mp4": "video/mp4",
    ".mp3": "audio/mpeg",
    ".html": "text/html",
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    folder = "."

    def do_GET(self):
        name = os.path.basename(self.path.split("?", 1)[0])
        path = os.path.join(self.folder, name)
        if not name or not os.path.isfile(path):
            body = b"not found\n"
            head = ("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n"
                    "Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body))
            self.wfile.write(head.encode() + body)
            self.close_connection = True
            return
        with open(path, "rb") as f:
            body = f.read()
        kind = TYPES.get(os.path.splitext(name)[1], "application/octet-stream")
        head = ("HTTP/1.1 200 OK\r\nServer: pelnix-test\r\nContent-Type: %s\r\n"
                "Content-Length: %d\r\nConnection: close\r\n\r\n" % (kind, len(body))).encode()
        if name.endswith(".flv"):
            self.wfile.write(head)
            self.wfile.flush()
            self.wfile.write(body)
        else:
            self.wfile.write(head + body)
        self.close_connection = True

    def log_message(self, format, *args):
        pass


def main():
    Handler.folder = sys.argv[1]
    address, port = sys.argv[2], int(sys.argv[3])
    with http.server.ThreadingHTTPServer((address, port), Handler) as server:
        print("ready", flush=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
