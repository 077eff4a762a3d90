#!/usr/bin/env python3
"""A small HTTPS server for tests: serves a directory, plus special paths that
fail in the ways real networks do.

Usage:
  https-server.py --root DIR --certificates DIR [--port N] [--host ADDR]
                  [--plain] [--connection-log FILE] [--until-input-ends]

  --root          the directory whose files are served (GET and HEAD)
  --certificates  a directory made by make-test-certificates; its server.pem
                  and server-key.pem are used
  --port          the port to listen on; 0 (the default) picks a free one
  --host          the address to listen on, 127.0.0.1 by default
  --plain         plain HTTP instead of HTTPS (--certificates is then not
                  read), for showing that a client never talks to it
  --connection-log
                  appends one line per accepted connection to FILE, before
                  anything is read from it
  --until-input-ends
                  stop once standard input ends: a test that holds the
                  other end of a pipe never leaves the server behind, even
                  when it crashes

The first line on standard output is "PORT <n>", flushed at once, so a test
that starts the server reads that line to learn where to connect. Clients
trust the server through the certificate authority's ca.pem (for programs of
this project: SSL_CERT_FILE=<certificates>/ca.pem). Each request is logged on
standard error. SIGTERM or SIGINT stops the server cleanly with status 0.

Paths:
  /<file>                 the file under --root, with its Content-Length;
                          404 with a short body when there is none
  /_status/<code>         answers with that status and the body "status <code>"
                          (no body for 1xx, 204 and 304)
  /_redirect?to=<path>    302 to <path>; without "to" it redirects to itself
                          forever; "cookie=<name>=<value>" adds a Set-Cookie
  /_headers               200 with the request's header lines as the body
  /_hang                  reads the request and never answers
  /_cut/<file>            announces the whole file's Content-Length, sends
                          half of it, then closes the connection
  /_chunked/<file>        sends the file in chunked transfer encoding, so
                          no length is announced
  /_blanks/<n>            n blanks in chunked transfer encoding, made as they
                          are sent, for bodies larger than a test would store
  /_slow/<file>           sends the file in pieces with pauses in between
                          ("pieces=<n>", default 50; "pause=<seconds>",
                          default 0.1), for watching a progress bar move
                          (pieces=4 pauses after 25, 50 and 75% of a file
                          whose length four divides), a steady slow line,
                          or a drip of a few bytes now and then

Only the Python 3 standard library is used.
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

NEVER = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestHTTPS/1.0"
    sys_version = ""

    # Every answer ends its connection, so a client never waits on keep-alive.
    def send_simple(self, code, body=b"", content_type="text/plain", extra=()):
        self.send_response(code)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        has_body = not (100 <= code < 200 or code in (204, 304))
        if has_body:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if has_body and self.command != "HEAD":
            self.wfile.write(body)
        self.close_connection = True

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        path = urllib.parse.unquote(url.path)
        if path.startswith("/_status/"):
            self.status(path[len("/_status/"):])
        elif path == "/_redirect":
            self.redirect(query)
        elif path == "/_headers":
            lines = "".join(f"{k}: {v}\n" for k, v in self.headers.items())
            body = f"{self.command} {self.path}\n{lines}".encode()
            self.send_simple(200, body)
        elif path == "/_hang":
            NEVER.wait()
        elif path.startswith("/_cut/"):
            self.cut(path[len("/_cut"):])
        elif path.startswith("/_chunked/"):
            self.chunked(path[len("/_chunked"):])
        elif path.startswith("/_blanks/"):
            self.blanks(path[len("/_blanks/"):])
        elif path.startswith("/_slow/"):
            self.slow(path[len("/_slow"):], query)
        else:
            self.file(path)

    def status(self, text):
        try:
            code = int(text)
        except ValueError:
            self.send_simple(400, b"bad status\n")
            return
        if not 100 <= code <= 999:
            self.send_simple(400, b"bad status\n")
            return
        self.send_simple(code, f"status {code}\n".encode())

    def redirect(self, query):
        target = query.get("to", [self.path])[0]
        extra = [("Location", target)]
        for cookie in query.get("cookie", []):
            extra.append(("Set-Cookie", cookie + "; Path=/"))
        self.send_simple(302, b"redirecting\n", extra=extra)

    def resolve(self, path):
        root = os.path.realpath(self.server.root)
        full = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if full != root and not full.startswith(root + os.sep):
            return None
        return full if os.path.isfile(full) else None

    def read(self, path):
        full = self.resolve(path)
        if full is None:
            self.send_simple(404, b"not found\n")
            return None
        with open(full, "rb") as f:
            return f.read()

    def file(self, path):
        data = self.read(path)
        if data is not None:
            self.send_simple(200, data, "application/octet-stream")

    def start_body(self, length):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def cut(self, path):
        data = self.read(path)
        if data is None:
            return
        self.start_body(len(data))
        self.wfile.write(data[: len(data) // 2])
        self.wfile.flush()
        # An abrupt end: no TLS close_notify, just the socket going away.
        self.connection.shutdown(socket.SHUT_RDWR)

    def chunked(self, path):
        data = self.read(path)
        if data is None:
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        step = 64 * 1024
        for start in range(0, len(data), step):
            piece = data[start : start + step]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")

    def blanks(self, text):
        try:
            remaining = int(text)
        except ValueError:
            self.send_simple(400, b"bad size\n")
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        piece = b" " * (1 << 20)
        try:
            while remaining > 0:
                step = min(remaining, len(piece))
                self.wfile.write(b"%x\r\n%s\r\n" % (step, piece[:step]))
                remaining -= step
            self.wfile.write(b"0\r\n\r\n")
        except OSError:
            pass  # the client stopped reading

    def slow(self, path, query):
        data = self.read(path)
        if data is None:
            return
        pieces = max(1, int(query.get("pieces", ["50"])[0]))
        pause = float(query.get("pause", ["0.1"])[0])
        self.start_body(len(data))
        step = max(1, -(-len(data) // pieces))
        for start in range(0, len(data), step):
            if start:
                time.sleep(pause)
            self.wfile.write(data[start : start + step])
            self.wfile.flush()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, address, root, context, connection_log):
        self.root = root
        self.context = context
        self.connection_log = connection_log
        super().__init__(address, Handler)

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

    context = None
    if not args.plain:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(
            os.path.join(args.certificates, "server.pem"),
            os.path.join(args.certificates, "server-key.pem"),
        )

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

    server = Server((args.host, args.port), args.root, context, args.connection_log)
    try:
        print(f"PORT {server.server_address[1]}", flush=True)
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
