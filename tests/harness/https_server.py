"""A scriptable HTTPS server on a loopback port for the installer's tests.

Every behaviour is chosen by the request path, so a test needs nothing but an address:

  /bytes/N                  N bytes of the test pattern, with Content-Length
  /chunked/N                N bytes of the pattern, chunked, without Content-Length
  /empty                    200 with an empty body
  /status/CODE              that status, no Location, no body
  /redirect/KIND/N/REST     a KIND (303, 308, ...) redirect; after N hops the path /REST is served
  /redirect-to-http         308 to a plain http:// address
  /redirect-relative        308 with a relative Location
  /redirect-long            308 with a Location longer than 2047 characters, whose target answers 400 when it
                            arrives cut short (Wine's WinHTTP cuts long header lines instead of failing the query)
  /redirect-port/DIGITS     308 to https://localhost:DIGITS/
  /loop                     308 to itself
  /truncated/N/SENT         Content-Length N, only SENT bytes, then the connection is closed
  /reset/N/SENT             the same, but the connection is reset (RST)
  /stall-body/N/SENT/SECS   Content-Length N, SENT bytes, then silence for SECS seconds, then close
  /never/SECS               reads the request and answers nothing for SECS seconds, then closes
  /file/NAME                the bytes registered under NAME (see HttpsTestServer.files)
  /chunkedfile/NAME[/SENT]  the same, chunked; with SENT only the chunks that start within the first SENT bytes,
                            then the connection is closed without the terminating chunk
  /slowfile/NAME/BPS        the same, paced at about BPS bytes per second
  /flaky/MODE/ARG/REST      the body of /REST (bytes/N or file/NAME) with "Accept-Ranges: bytes" and an ETag, whose
                            first request (counted per path) fails: MODE range, norange or newtag: cut off after ARG
                            bytes; busy: 503 with "Retry-After: ARG". Later requests get the rest with 206 when they
                            ask for it with a matching If-Range, except under norange; under newtag the ETag changes
                            with every request

Tests that drive the installer map its fixed paths onto these with HttpsTestServer.aliases, and read the requests
made from HttpsTestServer.requests, or with their times and Range and If-Range headers from HttpsTestServer.log.
"""

import http.server
import socket
import ssl
import struct
import threading
import time

MAX_HOLD_SECONDS = 120

# Longer than the 2047 UTF-16 units that a redirect target may have; served only when it arrives whole.
LONG_TARGET = "/long-target/" + "x" * 2100 + "/end"


_ROW = bytes((i * 31) & 0xFF for i in range(256))


def pattern(size):
    """The test body: byte i is (i * 31 + (i >> 11)) mod 256."""
    out = bytearray()
    block = 0
    while len(out) < size:
        add_block = bytes((x + block) & 0xFF for x in range(256))
        out += _ROW.translate(add_block) * 8
        block += 1
    return bytes(out[:size])


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VelmorTestServer/1.0"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        self.hit = self.server.owner._record(self.path, self.headers)
        path = self.server.owner.aliases.get(path, path)
        parts = [p for p in path.split("/") if p]
        try:
            self._dispatch(parts)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass

    # -- responses ---------------------------------------------------------------------------------------------

    def _dispatch(self, parts):
        head, args = (parts[0], parts[1:]) if parts else ("", [])
        routes = {
            "bytes": lambda: self._body(pattern(int(args[0]))),
            "chunked": lambda: self._chunked(pattern(int(args[0]))),
            "empty": lambda: self._body(b""),
            "status": lambda: self._status(int(args[0])),
            "redirect": lambda: self._redirect_chain(args),
            "redirect-to-http": lambda: self._redirect("http://localhost:%d/bytes/16" % self.server.owner.port),
            "redirect-relative": lambda: self._redirect("/bytes/16"),
            "redirect-long": lambda: self._redirect(self._origin() + LONG_TARGET),
            "long-target": lambda: self._body(pattern(16)) if self.path == LONG_TARGET else self._status(400),
            "redirect-port": lambda: self._redirect("https://localhost:%s/" % args[0]),
            "loop": lambda: self._redirect(self._origin() + "/loop"),
            "truncated": lambda: self._cut(int(args[0]), int(args[1]), reset=False),
            "reset": lambda: self._cut(int(args[0]), int(args[1]), reset=True),
            "stall-body": lambda: self._stall_body(int(args[0]), int(args[1]), float(args[2])),
            "never": lambda: self._hold(float(args[0])),
            "file": lambda: self._body(self.server.owner.files[args[0]]),
            "chunkedfile": lambda: self._chunked(self.server.owner.files[args[0]], *map(int, args[1:2])),
            "slowfile": lambda: self._paced(self.server.owner.files[args[0]], int(args[1])),
            "flaky": lambda: self._flaky(args[0], int(args[1]), args[2:]),
        }
        route = routes.get(head)
        if route is None:
            self._status(404)
            return
        try:
            route()
        except (IndexError, ValueError, KeyError):
            self._status(400)

    def _origin(self):
        return "https://localhost:%d" % self.server.owner.port

    def _headers(self, code, length=None, extra=()):
        self.send_response(code)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def _body(self, data):
        self._headers(200, len(data), [("Content-Type", "application/octet-stream")])
        self.wfile.write(data)

    def _chunked(self, data, sent=None):
        self._headers(200, None, [("Transfer-Encoding", "chunked")])
        for start in range(0, len(data) if sent is None else sent, 5000):
            piece = data[start:start + 5000]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        if sent is None:
            self.wfile.write(b"0\r\n\r\n")
            return
        self.wfile.flush()
        time.sleep(0.2)
        self._drop(reset=False)

    def _status(self, code):
        # 204 has no body; every other status says so explicitly.
        self._headers(code, None if code == 204 else 0)

    def _redirect(self, location, code=308):
        self._headers(code, 0, [("Location", location)])

    def _redirect_chain(self, args):
        kind, hops, rest = int(args[0]), int(args[1]), "/".join(args[2:])
        target = "/" + rest if hops <= 1 else "/redirect/%d/%d/%s" % (kind, hops - 1, rest)
        self._redirect(self._origin() + target, kind)

    def _cut(self, length, sent, reset):
        self._headers(200, length)
        self._cut_after(pattern(sent), reset)

    def _cut_after(self, data, reset):
        self.wfile.write(data)
        self.wfile.flush()
        time.sleep(0.2)
        self._drop(reset)

    def _drop(self, reset):
        # No TLS close_notify: the connection just ends (FIN), or is reset (RST) when asked.
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def _flaky(self, mode, arg, rest):
        data = pattern(int(rest[1])) if rest[0] == "bytes" else self.server.owner.files[rest[1]]
        tag = '"v%d"' % (self.hit if mode == "newtag" else 1)
        headers = [("Accept-Ranges", "bytes"), ("ETag", tag)]
        if self.hit == 1 and mode == "busy":
            return self._headers(503, 0, [("Retry-After", str(arg))])
        start = 0
        asked = self.headers.get("Range", "")
        if mode != "norange" and asked.startswith("bytes=") and self.headers.get("If-Range") == tag:
            start = int(asked[len("bytes="):].rstrip("-"))
            self._headers(206, len(data) - start,
                          headers + [("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))])
        else:
            self._headers(200, len(data), headers)
        if self.hit == 1 and mode != "busy":
            return self._cut_after(data[:arg], reset=False)
        self.wfile.write(data[start:])

    def _stall_body(self, length, sent, seconds):
        self._headers(200, length)
        self.wfile.write(pattern(sent))
        self.wfile.flush()
        self._hold(seconds)

    def _hold(self, seconds):
        self.server.owner._stopping.wait(min(seconds, MAX_HOLD_SECONDS))
        self.close_connection = True

    def _paced(self, data, bytes_per_second):
        self._headers(200, len(data), [("Content-Type", "application/octet-stream")])
        step = max(1, bytes_per_second // 20)
        for start in range(0, len(data), step):
            if self.server.owner._stopping.is_set():
                return
            self.wfile.write(data[start:start + step])
            self.wfile.flush()
            time.sleep(0.05)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def finish_request(self, request, client_address):
        # The TLS handshake happens on the handler's thread, so a client that stalls there blocks nobody else.
        if self.owner.context is None:
            super().finish_request(request, client_address)
            return
        try:
            request.settimeout(MAX_HOLD_SECONDS)
            secure = self.owner.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            super().finish_request(secure, client_address)
        finally:
            secure.close()

    def handle_error(self, request, client_address):
        pass


class HttpsTestServer:
    """One server on 127.0.0.1. port=0 picks a free port. certfile/keyfile None serves plain HTTP. tls, if given,
    is the (lowest, highest) ssl.TLSVersion that the server accepts."""

    def __init__(self, certfile, keyfile, port=0, tls=None):
        self.aliases = {}
        self.files = {}
        self.requests = []
        self.log = []  # (time.monotonic(), path, Range, If-Range) for each request
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self.context = None
        if certfile:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(certfile, keyfile)
            if tls:
                # TLS 1.0 and 1.1 need the lowest security level of current OpenSSL builds.
                self.context.set_ciphers("DEFAULT:@SECLEVEL=0")
                self.context.minimum_version, self.context.maximum_version = tls
        self._server = _Server(("127.0.0.1", port), _Handler)
        self._server.owner = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _record(self, path, headers):
        """Logs a request; returns how many of the logged requests, this one included, asked for path."""
        with self._lock:
            self.requests.append(path)
            self.log.append((time.monotonic(), path, headers.get("Range"), headers.get("If-Range")))
            return sum(1 for entry in self.log if entry[1] == path)

    def take_requests(self):
        with self._lock:
            taken, self.requests, self.log = self.requests, [], []
        return taken
