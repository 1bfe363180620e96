#!/usr/bin/env python3
"""A TCP relay that holds each chunk for a fixed delay, each way: a network
round trip for a share on this machine, whose kernel has no netem. It counts
the chunks from client to server (requests, as far as the client sends each
on its own) and writes the count to COUNT_FILE on SIGUSR1.

Usage: relay.py LISTEN_PORT TARGET_PORT DELAY_MS COUNT_FILE
"""
import signal
import socket
import sys
import threading
import time

listen_port, target_port, delay, count_file = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000, sys.argv[4]
requests = 0
lock = threading.Lock()


def report(*_):
    with open(count_file, "w") as f:
        f.write(str(requests))


def pump(source, sink, counted):
    global requests
    try:
        while True:
            chunk = source.recv(1 << 16)
            if not chunk:
                break
            time.sleep(delay)
            if counted:
                with lock:
                    requests += 1
            sink.sendall(chunk)
    except OSError:
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def main():
    signal.signal(signal.SIGUSR1, report)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", listen_port))
    server.listen()
    report()
    while True:
        client, _ = server.accept()
        upstream = socket.create_connection(("127.0.0.1", target_port))
        for s in (client, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=pump, args=(client, upstream, True), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, False), daemon=True).start()


if __name__ == "__main__":
    main()
