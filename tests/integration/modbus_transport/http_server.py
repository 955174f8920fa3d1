"""Test HTTP server: answers every POST with the status named in the control file.

usage: http_server.py PORT CONTROL_FILE LOG_FILE [CERT KEY]

The control file holds one word: a status code ("200", "201", "500") or "hang" (no answer until
the client gives up). Each POST is appended to the log file as one JSON line with the path, the
headers of interest and the body, after the answer was decided.
"""
import json
import ssl
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length).decode("utf-8", "replace")
        try:
            with open(CONTROL) as f:
                mode = f.read().strip() or "200"
        except OSError:
            mode = "200"
        record = {
            "mode": mode,
            "path": self.path,
            "content_type": self.headers.get("Content-Type"),
            "accept": self.headers.get("Accept"),
            "authorization": self.headers.get("Authorization"),
            "body": body,
        }
        with open(LOG, "a") as f:
            f.write(json.dumps(record) + "\n")
        if mode == "hang":
            time.sleep(30)
            return
        self.send_response(int(mode))
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    PORT, CONTROL, LOG = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)
    if len(sys.argv) > 5:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(sys.argv[4], sys.argv[5])
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
    print("ready", flush=True)
    server.serve_forever()
