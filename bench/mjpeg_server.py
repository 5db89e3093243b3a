#!/usr/bin/env python3
"""Serves the JPEG frames of an MJPEG AVI file as an HTTP multipart/x-mixed-replace stream,
at the file's rate, looping, on 127.0.0.1 only, the way a network camera sends MJPEG.

Each client gets the file from its first frame on, paced by the monotonic clock, so two
programs connected one after the other see the same pictures at the same rate. The frames
are sent as they are stored: the server never decodes, so its own CPU stays small and is
measured apart from the programs it feeds.

    mjpeg_server.py FILE.avi PORT [FPS]

Prints "listening PORT" on standard output once it accepts connections (PORT 0: any free one).
"""

import mmap
import socketserver
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOUNDARY = b"videoframe"


def avi_frames(data):
    """The (offset, size) of each video chunk ('00dc'/'00db') of a RIFF AVI, in file order."""
    frames = []

    def walk(start, end):
        pos = start
        while pos + 8 <= end:
            tag = bytes(data[pos:pos + 4])
            size = struct.unpack_from("<I", data, pos + 4)[0]
            body = pos + 8
            if tag in (b"RIFF", b"LIST"):
                walk(body + 4, min(body + size, end))
            elif tag[2:] in (b"dc", b"db") and size > 0:
                frames.append((body, size))
            pos = body + size + (size & 1)

    walk(0, len(data))
    return frames


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):  # a quiet server: the benchmark reads its own lines
        pass

    def do_GET(self):
        server = self.server
        self.send_response(200)
        self.send_header("Content-Type", "multipart/x-mixed-replace; boundary=" + BOUNDARY.decode())
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        period = 1.0 / server.fps
        start = time.monotonic()
        index = 0
        try:
            while not server.stopping.is_set():
                due = start + index * period
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                offset, size = server.frames[index % len(server.frames)]
                head = (b"--" + BOUNDARY + b"\r\nContent-Type: image/jpeg\r\nContent-Length: "
                        + str(size).encode() + b"\r\n\r\n")
                self.wfile.write(head)
                self.wfile.write(server.data[offset:offset + size])
                self.wfile.write(b"\r\n")
                index += 1
        except (BrokenPipeError, ConnectionResetError):
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    path, port = sys.argv[1], int(sys.argv[2])
    fps = float(sys.argv[3]) if len(sys.argv) > 3 else 25.0
    with open(path, "rb") as f:
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    frames = avi_frames(data)
    if not frames:
        sys.exit(f"{path}: no video frames found")
    server = Server(("127.0.0.1", port), Handler)
    server.data, server.frames, server.fps = data, frames, fps
    server.stopping = threading.Event()
    print("listening", server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()


if __name__ == "__main__":
    main()
