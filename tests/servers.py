"""Local HTTP(S) servers on 127.0.0.1 for the URL tests, each on a thread of its own.

`serve(directory, ranges=..., tls=...)` serves the files of a directory: with byte
ranges (206 and Accept-Ranges) or ignoring them (200 and the whole file, as some
servers do), over TLS when given a certificate and key. "/redirect/<name>" answers 302
with the location given to the server.
"""
import http.server
import os
import re
import socket
import ssl
import subprocess
import threading
from contextlib import contextmanager


def make_certificate(directory, name, san):
    """A self-signed certificate for `san` ("IP:127.0.0.1,DNS:localhost"): (cert, key)."""
    cert, key = os.path.join(directory, f"{name}.pem"), os.path.join(directory, f"{name}.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", key, "-out", cert, "-subj", f"/CN={name}",
                    "-addext", f"subjectAltName={san}"], check=True, capture_output=True)
    return cert, key


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        if self.path.startswith("/redirect/"):
            self.send_response(302)
            self.send_header("Location", server.redirect_to + self.path[len("/redirect"):])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        path = os.path.join(server.directory, os.path.basename(self.path))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if server.ranges and wanted:
            start = int(wanted.group(1))
            end = min(int(wanted.group(2) or len(data) - 1), len(data) - 1)
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end}/{len(data)}")
            data = data[start:end + 1]
        else:
            self.send_response(200)
        if server.ranges:
            self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        try:
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass  # the client read what it needed and closed


@contextmanager
def serve(directory, ranges=True, tls=None, redirect_to=""):
    """Yields the base URL ("http://127.0.0.1:<port>" or https) of a running server."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.directory, server.ranges, server.redirect_to = directory, ranges, redirect_to
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"{'https' if tls else 'http'}://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


@contextmanager
def silent_server():
    """A port that accepts connections and then never answers: yields its URL."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        yield f"http://127.0.0.1:{listener.getsockname()[1]}/clip.mp4"


def refused_url():
    """A loopback port with nothing listening on it."""
    with socket.create_server(("127.0.0.1", 0)) as s:
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/clip.mp4"
