#!/usr/bin/env python3
"""A file server that floods its client, for the reliability mode "flood".

    flood-server.py

Listens on a free loopback port and prints "listening 127.0.0.1:PORT" (then
flushes). Every client it accepts gets, without pause and without regard to
what it sends (which is read and thrown away), the same small answer again
and again: operation 6, error 0, "UserData=Sess=1,SrcUserData=f", in TPKT
frames, until the client goes. On SIGTERM it prints "frames N" (the frames
sent in all) and ends.
"""
import signal
import socket
import struct
import sys
import threading

ANSWER = b"\x06\x00UserData=Sess=1,SrcUserData=f\x00"
FRAME = struct.pack(">BBH", 3, 0, len(ANSWER) + 4) + ANSWER
BATCH = 20000
BLOCK = FRAME * BATCH

sent = [0]
lock = threading.Lock()


def drain(conn):
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def flood(conn):
    threading.Thread(target=drain, args=(conn,), daemon=True).start()
    try:
        while True:
            conn.sendall(BLOCK)
            with lock:
                sent[0] += BATCH
    except OSError:
        pass
    finally:
        conn.close()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("listening 127.0.0.1:%d" % listener.getsockname()[1], flush=True)

    def report(*_):
        with lock:
            print("frames %d" % sent[0], flush=True)
        sys.exit(0)

    signal.signal(signal.SIGTERM, report)
    signal.signal(signal.SIGINT, report)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=flood, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
