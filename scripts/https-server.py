#!/usr/bin/env python3
"""A small HTTPS server for tests: serves a directory, plus special paths that
fail in the ways real networks do.

usage: https-server.py --root DIR --certificates DIR [--port N] [--host ADDRESS]
                       [--plain] [--connection-log FILE] [--until-input-ends]

--certificates names a directory made by make-test-certificates (clients
trust it through its ca.pem); --port 0, the default, picks a free port on
--host, 127.0.0.1 by default;
--plain speaks plain HTTP, for showing that a client never talks to it;
--connection-log appends a line per accepted connection to FILE;
--until-input-ends stops the server once standard input ends, so that it
never outlives a test that holds the other end, even one that crashed.

The first line on standard output is "PORT <n>". Requests are logged on
standard error. SIGTERM or SIGINT stops the server with status 0.

Paths:
  /<file>                the file under --root; 404 "not found" without one
  /_status/<code>        that status with the body "status <code>"
  /_redirect?to=<path>   302 to <path>, to itself without "to";
                         "cookie=<name>=<value>" adds a Set-Cookie
  /_headers              the request line and headers as the body
  /_hang                 never answers
  /_cut/<file>           announces the file's length, sends half, then cuts
                         the connection
  /_chunked/<file>       the file in chunked encoding: no length announced
  /_blanks/<n>           n blanks in chunked encoding, made as they are sent
  /_slow/<file>          the file in "pieces=<n>" (50) with "pause=<seconds>"
                         (0.1) between them
"""

import argparse
import http.server
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    # Every answer ends its connection, so a client never waits on keep-alive.
    def start(self, code, length=None, extra=()):
        self.send_response(code)
        for header in (*extra, ("Connection", "close")):
            self.send_header(*header)
        self.send_header("Content-Type", "application/octet-stream")
        if length is None:
            self.send_header("Transfer-Encoding", "chunked")
        elif not (100 <= code < 200 or code in (204, 304)):
            self.send_header("Content-Length", str(length))
        self.end_headers()
        self.close_connection = True

    def answer(self, code, body, extra=()):
        self.start(code, len(body), extra)
        if not (100 <= code < 200 or code in (204, 304)):
            self.wfile.write(body)

    def chunks(self, pieces):
        for piece in pieces:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        path = urllib.parse.unquote(url.path)
        kind, _, rest = path[1:].partition("/")
        if kind == "_status":
            self.answer(int(rest), f"status {rest}\n".encode())
        elif kind == "_redirect":
            cookies = [("Set-Cookie", cookie + "; Path=/") for cookie in query.get("cookie", [])]
            self.answer(302, b"redirecting\n",
                        [("Location", query.get("to", [self.path])[0]), *cookies])
        elif kind == "_headers":
            lines = "".join(f"{k}: {v}\n" for k, v in self.headers.items())
            self.answer(200, f"{self.command} {self.path}\n{lines}".encode())
        elif kind == "_hang":
            threading.Event().wait()
        elif kind == "_blanks":
            self.start(200)
            size, piece = int(rest), b" " * (1 << 20)
            try:
                self.chunks(piece[:min(len(piece), size - at)] for at in range(0, size, len(piece)))
            except OSError:
                pass  # the client stopped reading
        elif (data := self.read(rest if kind in ("_cut", "_chunked", "_slow") else path)) is None:
            self.answer(404, b"not found\n")
        elif kind == "_cut":
            self.start(200, len(data))
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            # An abrupt end: no TLS close_notify, just the socket going away.
            self.connection.shutdown(socket.SHUT_RDWR)
        elif kind == "_chunked":
            self.start(200)
            self.chunks(data[at : at + 65536] for at in range(0, len(data), 65536))
        elif kind == "_slow":
            step = max(1, -(-len(data) // int(query.get("pieces", ["50"])[0])))
            self.start(200, len(data))
            for at in range(0, len(data), step):
                time.sleep(float(query.get("pause", ["0.1"])[0]) if at else 0)
                self.wfile.write(data[at : at + step])
                self.wfile.flush()
        else:
            self.answer(200, data)

    def read(self, path):
        full = os.path.join(self.server.root, path.lstrip("/"))
        if ".." in path.split("/") or not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    # The TLS handshake runs on the request's own thread, so a client that
    # connects and stays silent holds up nobody else.
    def finish_request(self, request, client_address):
        if self.connection_log:
            with open(self.connection_log, "a") as log:
                log.write(f"connection from {client_address[0]}\n")
        if self.context is None:
            self.RequestHandlerClass(request, client_address, self)
            return
        try:
            request.settimeout(30)
            tls = self.context.wrap_socket(request, server_side=True)
            tls.settimeout(None)
        except (OSError, ssl.SSLError) as error:
            sys.stderr.write(f"{client_address[0]} TLS handshake failed: {error}\n")
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        sys.stderr.write(f"{client_address[0]} connection error: {sys.exc_info()[1]}\n")


def main():
    parser = argparse.ArgumentParser(description="HTTPS server for tests")
    parser.add_argument("--root", required=True)
    parser.add_argument("--certificates", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--connection-log")
    parser.add_argument("--until-input-ends", action="store_true")
    args = parser.parse_args()

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.until_input_ends:
        def stop_at_end_of_input():
            while os.read(0, 65536):
                pass
            os.kill(os.getpid(), signal.SIGTERM)

        threading.Thread(target=stop_at_end_of_input, daemon=True).start()

    server = Server((args.host, args.port), Handler)
    server.root, server.connection_log, server.context = args.root, args.connection_log, None
    if not args.plain:
        server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.context.load_cert_chain(os.path.join(args.certificates, "server.pem"),
                                       os.path.join(args.certificates, "server-key.pem"))
    try:
        print(f"PORT {server.server_address[1]}", flush=True)
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
