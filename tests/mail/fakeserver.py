#!/usr/bin/env python3
"""A scripted TCP server for the mail client tests: it plays one
conversation from a script and records what the client sent, so that a test
can show dialogue details that a real server hides (a reply cut into
pieces, a reply holding ">", a server that never answers).

    fakeserver.py SCRIPT LOG

SCRIPT is a JSON list of steps, played in order on the first connection:
    ["send", TEXT]          send TEXT (latin-1) as one piece
    ["line"]                read until the client's next line feed
    ["until", TEXT]         read until TEXT has been received
    ["sleep", SECONDS]
    ["close"]               close the connection (the script ends)
The server listens on 127.0.0.1 at a free port, prints the port on its
first output line, then waits at most 20 seconds for the connection.
Everything received is written to LOG (bytes, as received) when the
conversation ends: after the last step, when the client closes, or after
a bound of 60 seconds in all.
"""
import json
import socket
import sys
import time

TOTAL_LIMIT = 60.0


def main():
    script = json.load(open(sys.argv[1]))
    log_path = sys.argv[2]
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    print(srv.getsockname()[1], flush=True)
    srv.settimeout(20)
    start = time.monotonic()
    received = b""
    try:
        conn, _ = srv.accept()
    except socket.timeout:
        open(log_path, "wb").close()
        return
    pending = b""  # received but not yet consumed by a "line"/"until" step

    def read_until(marker):
        nonlocal received, pending
        while marker not in pending:
            left = TOTAL_LIMIT - (time.monotonic() - start)
            if left <= 0:
                return False
            conn.settimeout(left)
            try:
                data = conn.recv(65536)
            except (socket.timeout, OSError):
                return False
            if not data:
                return False
            received += data
            pending += data
        pending = pending[pending.index(marker) + len(marker):]
        return True

    try:
        for step in script:
            kind = step[0]
            if kind == "send":
                conn.sendall(step[1].encode("latin-1"))
            elif kind == "line":
                if not read_until(b"\n"):
                    break
            elif kind == "until":
                if not read_until(step[1].encode("latin-1")):
                    break
            elif kind == "sleep":
                time.sleep(step[1])
            elif kind == "close":
                break
        else:
            # Script played: take what the client still sends until it
            # closes (its last command, say), within the bound.
            read_until(b"\0never\0")
    except OSError:
        pass
    finally:
        with open(log_path, "wb") as f:
            f.write(received)
        conn.close()
        srv.close()


if __name__ == "__main__":
    main()
