# A scriptable HTTPS server on a loopback port for the installer's tests. The request path chooses the behaviour:
#   /bytes/N                  N bytes of the test pattern, with Content-Length
#   /chunked/N                the same, chunked, without Content-Length
#   /empty                    200 with an empty body
#   /status/CODE              that status, no Location, no body
#   /redirect/KIND/N/REST     a KIND (303, 308, ...) redirect; after N hops the path /REST is served
#   /redirect-to-http         308 to a plain http:// address
#   /truncated/N/SENT[/SECS]  Content-Length N, only SENT bytes, (then silence for SECS seconds,) then the connection
#                             is closed
#   /reset/N/SENT             the same, but the connection is reset (RST)
#   /never/SECS               reads the request and answers nothing for SECS seconds
#   /late/SECS/NAME           the bytes registered under NAME, after SECS seconds
#   /auth                     401 asking for NTLM or Negotiate credentials
#   /file/NAME                the bytes registered under NAME in HttpsTestServer.files
#   /chunkedfile/NAME[/SENT]  the same, chunked; with SENT only the chunks that start within the first SENT bytes,
#                             then the connection is closed without the terminating chunk
#   /slowfile/NAME/BPS        the same, paced at about BPS bytes per second
#   /flaky/MODE/ARG/REST      the body of /REST (bytes/N or file/NAME) with "Accept-Ranges: bytes" and an ETag; the
#                             first request of the path fails: MODE range, norange, newtag, short, chunked, splice,
#                             unsatisfiable or otherpart: cut off after ARG bytes; busy: 503 with "Retry-After: ARG".
#                             Later ones get the rest with 206 when they ask for it with a matching If-Range, except
#                             under norange; under newtag the ETag changes each time; under short the 206 holds only
#                             half of the rest, and says so in its Content-Length; under chunked the 206 is chunked,
#                             without Content-Length; under splice there is no ETag but a Last-Modified of the first
#                             request's time, and later requests get another body as long: file NAME2, or bytes/N
#                             backwards; under unsatisfiable a request for a range gets 416, under otherpart a 206 that
#                             starts one byte before the range asked
# HttpsTestServer.aliases maps the installer's fixed paths onto these; HttpsTestServer.log has each request's time,
# path, Range, If-Range and Authorization.

import http.server
import socket
import ssl
import struct
import threading
import time

MAX_HOLD_SECONDS = 120


def pattern(size):
    # byte i is (i * 31 + (i >> 11)) mod 256
    return bytes((i * 31 + (i >> 11)) & 0xFF for i in range(size))


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = MAX_HOLD_SECONDS

    def log_message(self, *args):
        pass

    def do_GET(self):
        owner = self.server
        # Through a proxy's tunnel Wine's WinHTTP asks for the absolute form, "https://host:port/path", which a server
        # must accept as well.
        if self.path.startswith("https://"):
            self.path = "/" + self.path.split("/", 3)[3] if self.path.count("/") >= 3 else "/"
        self.hit = owner._record(self.path, self.headers)
        path = self.path.split("?", 1)[0]
        head, *args = [part for part in owner.aliases.get(path, path).split("/") if part] or [""]
        files, origin = owner.files, "https://localhost:%d" % owner.port
        routes = {
            "bytes": lambda: self._send(pattern(int(args[0]))),
            "chunked": lambda: self._chunked(pattern(int(args[0]))),
            "empty": lambda: self._send(b""),
            "status": lambda: self._headers(int(args[0]), None if args[0] == "204" else 0),
            "redirect": lambda: self._chain(origin, *args),
            "redirect-to-http": lambda: self._redirect("http://localhost:%d/bytes/16" % owner.port),
            "truncated": lambda: self._cut(pattern(int(args[1])), int(args[0]), hold=float((args[2:] or [0])[0])),
            "reset": lambda: self._cut(pattern(int(args[1])), int(args[0]), reset=True),
            "never": lambda: owner._stopping.wait(min(float(args[0]), MAX_HOLD_SECONDS)),
            "late": lambda: owner._stopping.wait(min(float(args[0]), MAX_HOLD_SECONDS)) or self._send(files[args[1]]),
            "auth": lambda: self._headers(401, 0, [("WWW-Authenticate", "NTLM"), ("WWW-Authenticate", "Negotiate")]),
            "file": lambda: self._send(files[args[0]]),
            "chunkedfile": lambda: self._chunked(files[args[0]], *map(int, args[1:2])),
            "slowfile": lambda: self._send(files[args[0]], pace=int(args[1])),
            "flaky": lambda: self._flaky(args[0], int(args[1]), *((files[args[3]], files.get(args[3] + "2"))
                                                                  if args[2] == "file" else
                                                                  (pattern(int(args[3])), pattern(int(args[3]))[::-1]))),
        }
        try:
            routes[head]() if head in routes else self._headers(404, 0)
        except (IndexError, ValueError, KeyError, TypeError):
            self._headers(400, 0)
        except OSError:  # the client went away
            pass
        self.close_connection = True

    def _headers(self, code, length, extra=()):
        self.send_response(code)
        for name, value in ([("Content-Length", length)] if length is not None else []) + list(extra):
            self.send_header(name, str(value))
        self.send_header("Connection", "close")
        self.end_headers()

    def _send(self, data, pace=None):
        self._headers(200, len(data), [("Content-Type", "application/octet-stream")])
        step = max(1, pace // 20) if pace else len(data) or 1
        for start in range(0, len(data), step):
            if self.server._stopping.is_set():
                return
            self.wfile.write(data[start:start + step])
            if pace:
                self.wfile.flush()
                time.sleep(0.05)

    def _chunked(self, data, sent=None, code=200, extra=()):
        self._headers(code, None, [("Transfer-Encoding", "chunked")] + list(extra))
        for start in range(0, len(data) if sent is None else sent, 5000):
            piece = data[start:start + 5000]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        if sent is None:
            self.wfile.write(b"0\r\n\r\n")
        else:
            self._drop()

    def _chain(self, origin, kind, hops, *rest):
        rest = "/".join(rest) if int(hops) <= 1 else "redirect/%s/%d/%s" % (kind, int(hops) - 1, "/".join(rest))
        self._redirect(origin + "/" + rest, int(kind))

    def _redirect(self, location, code=308):
        self._headers(code, 0, [("Location", location)])

    def _cut(self, data, length, reset=False, hold=0):
        # Content-Length length, then data, then silence for hold seconds, then the connection ends without a TLS
        # close_notify: closed (FIN) or reset (RST).
        self._headers(200, length)
        self.wfile.write(data)
        self.wfile.flush()
        self.server._stopping.wait(min(hold, MAX_HOLD_SECONDS))
        self._drop(reset)

    def _drop(self, reset=False):
        self.wfile.flush()
        time.sleep(0.2)
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def _flaky(self, mode, arg, data, other):
        if mode == "splice":
            tag = self.server.modified.setdefault(self.path, self.date_time_string())
            headers = [("Accept-Ranges", "bytes"), ("Last-Modified", tag)]
            data = other if self.hit > 1 else data
        else:
            tag = '"v%d"' % (self.hit if mode == "newtag" else 1)
            headers = [("Accept-Ranges", "bytes"), ("ETag", tag)]
        if self.hit == 1 and mode == "busy":
            return self._headers(503, 0, [("Retry-After", arg)])
        asked, start, end = self.headers.get("Range", ""), 0, len(data)
        resumed = mode != "norange" and asked.startswith("bytes=") and self.headers.get("If-Range") == tag
        if resumed and mode == "unsatisfiable":
            return self._headers(416, 0, [("Content-Range", "bytes */%d" % len(data))])
        if resumed:
            start = int(asked[len("bytes="):].rstrip("-")) - (mode == "otherpart")
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))))
            end = start + (len(data) - start) // 2 if mode == "short" else end
            if mode == "chunked":
                return self._chunked(data[start:end], code=206, extra=headers)
        self._headers(206 if resumed else 200, end - start, headers)
        if self.hit == 1:
            self.wfile.write(data[:arg])
            return self._drop()
        self.wfile.write(data[start:end])


class HttpsTestServer(http.server.ThreadingHTTPServer):
    # One server on 127.0.0.1 (port 0: a free one); plain HTTP without a certificate. tls, if given, is the (lowest,
    # highest) ssl.TLSVersion accepted. The TLS handshake happens on the handler's thread, so that a client that
    # stalls there blocks nobody else.
    daemon_threads = allow_reuse_address = True

    def __init__(self, certfile, keyfile, port=0, tls=None):
        super().__init__(("127.0.0.1", port), _Handler)
        self.port = self.server_address[1]
        self.aliases, self.files, self.log, self.modified = {}, {}, [], {}
        self._lock, self._stopping = threading.Lock(), threading.Event()
        if certfile:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certfile, keyfile)
            if tls:
                context.set_ciphers("DEFAULT:@SECLEVEL=0")  # TLS 1.0 and 1.1 need it in current OpenSSL
                context.minimum_version, context.maximum_version = tls
            self.socket = context.wrap_socket(self.socket, server_side=True, do_handshake_on_connect=False)

    def handle_error(self, request, client_address):
        pass

    def start(self):
        threading.Thread(target=self.serve_forever, daemon=True).start()
        return self

    def stop(self, *exc):
        self._stopping.set()
        self.shutdown()
        self.server_close()

    __enter__, __exit__ = start, stop

    @property
    def requests(self):
        return [entry[1] for entry in self.log]

    def _record(self, path, headers):
        # Logs a request; returns how many requests, this one included, asked for path.
        with self._lock:
            self.log.append((time.monotonic(), path, headers.get("Range"), headers.get("If-Range"),
                             headers.get("Authorization")))
            return sum(1 for entry in self.log if entry[1] == path)

    def take_requests(self):
        with self._lock:
            taken, self.log = self.requests, []
        return taken
