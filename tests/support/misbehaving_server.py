"""A web server on loopback that misbehaves on purpose, for the web store's tests.

Prints its port, then answers by path until the test ends it, or for a minute at most:
  /flaky      500 on the first request, then the value
  /stall      reads the request and never answers
  /reset      drops the connection without a word (TCP reset)
  /short      announces 4096 bytes, sends half, closes
  /oversize   sends 4096 bytes whatever was asked (a range of 16 too), without announcing
              their length
  /to-file    redirects to file:///etc/passwd
  /hidden     403, as object stores answer for keys they hide (or for a credential that
              expired), allowed to be kept ten minutes
  /no-ranges  the value whole with 200, whatever range was asked
  /count/P    how many requests reached P so far, as text
"""
import socket
import struct
import threading
import time
from collections import Counter
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LIFETIME_SECONDS = 60
STALL_SECONDS = 20
VALUE = bytes((i * 7) % 251 for i in range(4096))
requests = Counter()
lock = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path.startswith("/count/"):
            with lock:
                count = requests["/" + path[len("/count/"):]]
            return self.answer(200, str(count).encode())
        with lock:
            requests[path] += 1
            seen = requests[path]
        if path == "/flaky":
            return self.answer(500 if seen == 1 else 200, b"busy" if seen == 1 else VALUE)
        if path == "/stall":
            time.sleep(STALL_SECONDS)
            return None
        if path == "/reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            return None
        if path == "/short":
            self.send_response(200)
            self.send_header("Content-Length", str(len(VALUE)))
            self.end_headers()
            self.wfile.write(VALUE[: len(VALUE) // 2])
            self.close_connection = True
            return None
        if path == "/oversize":
            self.send_response(206 if self.headers.get("Range") else 200)
            self.send_header("Content-Range", "bytes 0-15/4096")
            self.end_headers()
            self.wfile.write(VALUE)
            self.close_connection = True
            return None
        if path == "/to-file":
            return self.answer(302, b"", [("Location", "file:///etc/passwd")])
        if path == "/hidden":
            return self.answer(403, b"<Error>AccessDenied</Error>", [("Cache-Control", "max-age=600")])
        if path == "/no-ranges":
            return self.answer(200, VALUE)
        return self.answer(404, b"not here")


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
time.sleep(LIFETIME_SECONDS)
