#!/usr/bin/env python3
"""A scripted TCP server for the mail client tests: it plays one
conversation and records what the client sent, to show dialogue details
that a real server hides (a reply cut into pieces, a reply holding ">", a
server that never answers).

    fakeserver.py SCRIPT LOG

SCRIPT is a JSON list of steps, played in order on the first connection:
    ["send", TEXT]      send TEXT (latin-1) as one piece
    ["line"]            read until the client's next line feed
    ["until", TEXT]     read until TEXT has been received
    ["sleep", SECONDS]
    ["close"]           close the connection (the script ends)
The server listens on a free port of 127.0.0.1, prints the port on its
first output line and waits at most 20 seconds for the connection. What it
received is written to LOG when the conversation ends: after the last step
and the client's close, or after 60 seconds in all.
"""
import json
import socket
import sys
import time


def main():
    script = json.load(open(sys.argv[1]))
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    print(srv.getsockname()[1], flush=True)
    srv.settimeout(20)
    end = time.monotonic() + 60
    received, pending = b"", b""  # all, and what no step has consumed yet
    try:
        conn = srv.accept()[0]
    except socket.timeout:
        conn = None
        script = []

    def read_until(marker):
        nonlocal received, pending
        while marker not in pending:
            try:
                conn.settimeout(max(end - time.monotonic(), 0.001))
                data = conn.recv(65536)
            except OSError:
                return False
            if not data:
                return False
            received, pending = received + data, pending + data
        pending = pending[pending.index(marker) + len(marker):]
        return True

    try:
        for kind, *arg in script:
            if kind == "send":
                conn.sendall(arg[0].encode("latin-1"))
            elif kind == "sleep":
                time.sleep(arg[0])
            elif kind == "close" or not read_until(b"\n" if kind == "line" else
                                                   arg[0].encode("latin-1")):
                break
        else:
            if conn:  # what the client still sends until it closes (its last command)
                read_until(b"\0never\0")
    except OSError:
        pass
    finally:
        with open(sys.argv[2], "wb") as f:
            f.write(received)
        if conn:
            conn.close()
        srv.close()


if __name__ == "__main__":
    main()
