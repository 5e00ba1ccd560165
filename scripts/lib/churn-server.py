#!/usr/bin/env python3
"""A file server that cannot be relied on, for the reliability mode "churn".

    churn-server.py [--seed N] [--answer-percent P] [--only BEHAVIOUR]

Listens on a free loopback port and prints "listening 127.0.0.1:PORT" (then
flushes). Every connection it accepts gets one behaviour, drawn at random:

  close      closed at once, before anything is read
  reset      closed at once with a reset (SO_LINGER 0)
  late       closed after 0-300 ms without reading
  stall      reads nothing and answers nothing for 0.5-2 s, then closes
  serve      reads requests (TPKT frames: operation byte and a packed list)
             and answers each with P % probability, as the real server's
             echo does (operation byte, error 0, the request's items); after
             1-40 requests it closes, now and then in the middle of an answer
             frame (the first half of the frame sent, then the close)

--only gives every connection the one behaviour named. It runs until it is
killed. On SIGTERM it prints one line of counts.
"""
import argparse
import random
import signal
import socket
import struct
import sys
import threading
import time

BEHAVIOURS = ["close", "reset", "late", "stall", "serve", "serve", "serve", "serve"]

counts = {}
counts_lock = threading.Lock()


def count(name, amount=1):
    with counts_lock:
        counts[name] = counts.get(name, 0) + amount


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve(conn, rng, answer_percent):
    limit = rng.randint(1, 40)
    cut = rng.random() < 0.3
    handled = 0
    while handled < limit:
        header = read_exactly(conn, 4)
        if header is None or header[0] != 3:
            return
        (length,) = struct.unpack(">H", header[2:4])
        if length < 4:
            return
        payload = read_exactly(conn, length - 4)
        if payload is None:
            return
        handled += 1
        count("requests")
        if not payload or rng.randint(1, 100) > answer_percent:
            continue  # a keep-alive, or a request left unanswered
        answer = bytes([payload[0], 0]) + payload[1:]
        frame = struct.pack(">BBH", 3, 0, len(answer) + 4) + answer
        if cut and handled == limit:
            conn.sendall(frame[: max(1, len(frame) // 2)])
            count("cut")
            return
        conn.sendall(frame)
        count("answers")


def handle(conn, seed, answer_percent):
    rng = random.Random(seed)
    behaviour = rng.choice(BEHAVIOURS)
    count(behaviour)
    try:
        if behaviour == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif behaviour == "late":
            time.sleep(rng.uniform(0, 0.3))
        elif behaviour == "stall":
            time.sleep(rng.uniform(0.5, 2.0))
        elif behaviour == "serve":
            serve(conn, rng, answer_percent)
    except OSError:
        count("errors")
    finally:
        try:
            conn.close()
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--answer-percent", type=int, default=80)
    parser.add_argument("--only", choices=sorted(set(BEHAVIOURS)), default=None)
    args = parser.parse_args()
    if args.only is not None:
        BEHAVIOURS[:] = [args.only]
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    master = random.Random(seed)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print("listening 127.0.0.1:%d" % listener.getsockname()[1], flush=True)
    print("seed %d" % seed, flush=True)

    def report(*_):
        with counts_lock:
            text = " ".join("%s %d" % item for item in sorted(counts.items()))
        print("counts " + text, flush=True)
        sys.exit(0)

    signal.signal(signal.SIGTERM, report)
    signal.signal(signal.SIGINT, report)
    while True:
        conn, _ = listener.accept()
        count("connections")
        threading.Thread(target=handle, args=(conn, master.randrange(1 << 30), args.answer_percent),
                         daemon=True).start()


if __name__ == "__main__":
    main()
