#!/usr/bin/env python3
"""Load on the NMOS node's HTTP server: SLOW clients trickling a request's header one byte a
second and IDLE connections that send nothing, while a probe GETs /x-nmos/node/v1.3/self on a
fresh connection again and again. Prints the probe's latency (p50, p99, max) and how many
probes failed. A measurement, not a test: it passes or fails nothing.

usage: nmos-load.py HOST PORT [--slow 50] [--idle 500] [--probes 300] [--seconds 20]
"""
import argparse
import socket
import statistics
import threading
import time


def connect(host, port):
    s = socket.create_connection((host, port), timeout=5)
    return s


def trickle(host, port, stop):
    # Reconnects when the node closes it: the load stays on for the whole run.
    header = b"GET /x-nmos/node/v1.3/self HTTP/1.1\r\nHost: node\r\nX-Slow: " + b"a" * 4096
    while not stop.is_set():
        try:
            s = connect(host, port)
            for b in header:
                if stop.is_set():
                    break
                s.send(bytes([b]))
                time.sleep(1)
        except OSError:
            time.sleep(0.1)


def idle(host, port, stop):
    while not stop.is_set():
        try:
            s = connect(host, port)
            s.settimeout(1)
            while not stop.is_set():
                try:
                    if s.recv(1) == b"":
                        break  # closed by the node: come back
                except socket.timeout:
                    pass
        except OSError:
            time.sleep(0.1)


def probe(host, port):
    start = time.monotonic()
    s = connect(host, port)
    s.sendall(b"GET /x-nmos/node/v1.3/self HTTP/1.1\r\nHost: node\r\nConnection: close\r\n\r\n")
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    if not data.startswith(b"HTTP/1.1 200"):
        raise OSError("answer: " + data[:40].decode(errors="replace"))
    return (time.monotonic() - start) * 1000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("--slow", type=int, default=50)
    ap.add_argument("--idle", type=int, default=500)
    ap.add_argument("--probes", type=int, default=300)
    ap.add_argument("--seconds", type=float, default=20)
    a = ap.parse_args()
    stop = threading.Event()
    threads = [threading.Thread(target=trickle, args=(a.host, a.port, stop), daemon=True)
               for _ in range(a.slow)]
    threads += [threading.Thread(target=idle, args=(a.host, a.port, stop), daemon=True)
                for _ in range(a.idle)]
    for t in threads:
        t.start()
    time.sleep(2)  # all connected
    times, failed = [], 0
    end = time.monotonic() + a.seconds
    interval = a.seconds / a.probes
    while time.monotonic() < end and len(times) + failed < a.probes:
        try:
            times.append(probe(a.host, a.port))
        except OSError:
            failed += 1
        time.sleep(interval)
    stop.set()
    times.sort()
    if times:
        p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
        print(f"{a.slow} slow + {a.idle} idle clients: {len(times)} probes, "
              f"p50 {statistics.median(times):.1f} ms, p99 {p99:.1f} ms, "
              f"max {times[-1]:.1f} ms, {failed} failed")
    else:
        print(f"no probe answered ({failed} failed)")


if __name__ == "__main__":
    main()
