#!/usr/bin/env python3
"""bandscope --run against a node that refuses every session, on loopback.

A scripted node on 127.0.0.3 answers each connection in one of three ways:
  zero-close  sends the end command (0) and closes
  zero-keep   sends the end command (0) and keeps the connection open
  close       closes at once
Each way runs the program RUNS times (a run that has not ended after
TIMEOUT seconds is killed and counted as hung) and prints how many ended,
their exit codes, and the seconds from the node's answer to the program's
exit.

  bench/refusing_node.py [--binary build/app/bandscope] [--runs 10] [--timeout 15]
Needs root (the run captures packets). Traffic stays on loopback.
"""
import argparse
import socket
import statistics
import subprocess
import threading
import time

NODE = "127.0.0.3"
MODES = ("zero-close", "zero-keep", "close")


def serve(listener, mode, stop, answered):
    listener.settimeout(0.2)
    held = []
    while not stop.is_set():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        if mode in ("zero-close", "zero-keep"):
            conn.sendall(b"\x00")
        if mode == "zero-keep":
            held.append(conn)  # read nothing; closed when the round ends
        else:
            conn.close()
        answered.append(time.monotonic())
    for conn in held:
        conn.close()


def round_of(binary, mode, runs, timeout):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind((NODE, 0))
    listener.listen(64)
    port = listener.getsockname()[1]
    stop = threading.Event()
    answered = []
    server = threading.Thread(target=serve, args=(listener, mode, stop, answered))
    server.start()
    ended, codes, seconds = 0, [], []
    for _ in range(runs):
        try:
            done = subprocess.run(
                [binary, "--run", "--node", NODE, "--client", "127.0.0.1", "--port",
                 str(port), "--seconds", "2", "--tests", "1,2"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
            ended += 1
            codes.append(done.returncode)
            if answered:
                seconds.append(time.monotonic() - answered[-1])
        except subprocess.TimeoutExpired:
            codes.append("hung")
    stop.set()
    server.join()
    listener.close()
    timing = (f"answer to exit: median {statistics.median(seconds):.2f} s, "
              f"slowest {max(seconds):.2f} s" if seconds else "none ended")
    print(f"{mode:10}  ended {ended}/{runs}  exit codes {codes}  {timing}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build/app/bandscope")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--timeout", type=float, default=15.0)
    args = parser.parse_args()
    for mode in MODES:
        round_of(args.binary, mode, args.runs, args.timeout)


if __name__ == "__main__":
    main()
