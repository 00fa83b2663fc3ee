#!/usr/bin/env python3
"""The flood of slow_client_lab.sh; it stops by itself, bounded in time and count.

  half_requests.py flood HOST PORT SECONDS SOURCE...
      From each SOURCE address 32 connections that send only the start of a request head and
      open again at once when the server closes them; stops after SECONDS or 400000 openings.
      Prints how many connections it opened.
"""
import errno
import selectors
import socket
import sys
import time

PER_SOURCE = 32
MAX_OPENINGS = 400000
HALF = b"GET /media/"


def flood(host, port, seconds, sources):
    selector = selectors.DefaultSelector()
    deadline = time.monotonic() + seconds
    opened = 0

    def open_one(source):
        nonlocal opened
        opened += 1
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        sock.bind((source, 0))
        result = sock.connect_ex((host, port))
        if result not in (0, errno.EINPROGRESS):
            sock.close()
            # Nothing listens yet: do not spin.
            time.sleep(0.01)
            return False
        selector.register(sock, selectors.EVENT_WRITE, [source, False])
        return True

    for source in sources:
        for _ in range(PER_SOURCE):
            open_one(source)
    while time.monotonic() < deadline and opened < MAX_OPENINGS:
        for key, _ in selector.select(timeout=0.1):
            sock = key.fileobj
            source, sent = key.data
            closed = False
            try:
                if not sent:
                    if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                        closed = True
                    else:
                        sock.send(HALF)
                        key.data[1] = True
                        selector.modify(sock, selectors.EVENT_READ, key.data)
                else:
                    closed = not sock.recv(4096)
            except OSError:
                closed = True
            if closed:
                selector.unregister(sock)
                sock.close()
                # Refilled only while there is time left: a full set is kept, never more.
                if time.monotonic() < deadline and opened < MAX_OPENINGS:
                    open_one(source)
        # Sockets whose opening failed are opened again here.
        counts = {}
        for key in selector.get_map().values():
            counts[key.data[0]] = counts.get(key.data[0], 0) + 1
        for source in sources:
            for _ in range(PER_SOURCE - counts.get(source, 0)):
                if time.monotonic() < deadline and opened < MAX_OPENINGS:
                    open_one(source)
    for key in list(selector.get_map().values()):
        key.fileobj.close()
    print(opened)


def main(args):
    if len(args) >= 4 and args[0] == "flood":
        flood(args[1], int(args[2]), float(args[3]), args[4:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
