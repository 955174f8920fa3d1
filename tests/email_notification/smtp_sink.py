#!/usr/bin/python3
"""SMTP server for tests, on 127.0.0.1 only.

Usage: smtp_sink.py DIRECTORY PORT

Every accepted message is stored as DIRECTORY/<n>.eml (the raw DATA bytes) with its recipients,
one per line, in DIRECTORY/<n>.rcpt, written before the .eml file appears. Recipients whose local
part starts with "reject" are refused, so a test can make one delivery fail. Prints "ready" once
it listens; stops on SIGTERM or SIGINT.
"""
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller


class Store:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("reject"):
            return "550 5.1.1 recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        base = os.path.join(self.directory, "%06d" % number)
        data = envelope.original_content
        if data is None:
            data = envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        with open(base + ".rcpt", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write("\n".join(envelope.rcpt_tos))
        with open(base + ".tmp", "wb") as f:
            f.write(data)
        os.rename(base + ".tmp", base + ".eml")
        return "250 Message accepted for delivery"


def main():
    directory, port = sys.argv[1], int(sys.argv[2])
    # Block the stop signals before the server thread starts, so only sigwait below sees them.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    controller = Controller(Store(directory), hostname="127.0.0.1", port=port, decode_data=False)
    controller.start()
    print("ready", flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    controller.stop()


if __name__ == "__main__":
    main()
