#!/usr/bin/env python3
"""A mail server for the benchmarks: answers every SMTP command at once on
127.0.0.1, keeps nothing, and counts the mails it accepted.

    bench/smtp_sink.py PORTFILE COUNTFILE

writes its port to PORTFILE once listening, and the number of mails
accepted to COUNTFILE when it gets SIGTERM."""
import signal
import socket
import socketserver
import sys
import threading

count, lock = [0], threading.Lock()


class Session(socketserver.StreamRequestHandler):
    def handle(self):
        self.wfile.write(b"220 sink ready\r\n")
        data = False
        for line in self.rfile:
            if data:
                if line.rstrip(b"\r\n") == b".":
                    data = False
                    with lock:
                        count[0] += 1
                    self.wfile.write(b"250 accepted\r\n")
                continue
            verb = line[:4].upper()
            if verb == b"DATA":
                data = True
                self.wfile.write(b"354 go on\r\n")
            elif verb == b"QUIT":
                self.wfile.write(b"221 bye\r\n")
                return
            else:
                self.wfile.write(b"250 ok\r\n")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


def main():
    server = Server(("127.0.0.1", 0), Session)

    def stop(*_):
        with open(sys.argv[2], "w") as f:
            f.write("%d\n" % count[0])
        sys.exit(0)
    signal.signal(signal.SIGTERM, stop)
    with open(sys.argv[1], "w") as f:
        f.write("%d\n" % server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
