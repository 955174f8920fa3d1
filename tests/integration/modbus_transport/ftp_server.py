"""Test FTP server with one user account and faults the test switches on.

usage: ftp_server.py PORT HOME USER PASSWORD MODE_FILE

MODE_FILE holds one word, read at every transfer:
  ok     normal service
  cut    the next upload stops after a few bytes and the server drops the session, as if it had
         died; the bytes received so far stay on disk (then the mode goes back to ok)
  short  the next upload is acknowledged but only half of it is kept (then back to ok)
Every command is logged to standard error.
"""
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

CUT_AT = 10


def mode():
    try:
        with open(MODE_FILE) as f:
            return f.read().strip()
    except OSError:
        return "ok"


def set_mode(word):
    with open(MODE_FILE, "w") as f:
        f.write(word)


class FaultyDTP(DTPHandler):
    def handle_read(self):
        if self.receive and mode() == "cut":
            set_mode("ok")
            chunk = self.recv(CUT_AT)
            self.file_obj.write(chunk)
            self.file_obj.flush()
            logging.info("cut after %d bytes", len(chunk))
            self.cmd_channel.close()
            return
        DTPHandler.handle_read(self)

    # The base class dispatches read events straight to its own handle_read.
    handle_read_event = handle_read


class Handler(FTPHandler):
    dtp_handler = FaultyDTP
    auth_failed_timeout = 0.1

    def on_file_received(self, path):
        if mode() == "short":
            set_mode("ok")
            size = os.path.getsize(path)
            with open(path, "r+b") as f:
                f.truncate(size // 2)
            logging.info("kept %d of %d bytes", size // 2, size)


if __name__ == "__main__":
    port, home, user, password, MODE_FILE = sys.argv[1:6]
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, home, perm="elradfmwMT")
    Handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", int(port)), Handler)
    print("ready", flush=True)
    server.serve_forever()
