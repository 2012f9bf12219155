#!/usr/bin/env python3
"""trelvaned against hostile peers, measured from outside (loopback only, bounded in time).

  bench/hostile_peers.py flood  [--daemon PATH] [--seconds S]
      a reader that completes the start-up dialogue, then sends 64 KiB blocks of zeros and
      never reads: the daemon's RSS at the start and at the end.
  bench/hostile_peers.py idle   [--daemon PATH] [--seconds S] [--limit N] [--connections N]
      N idle connections against a descriptor limit (prlimit): the daemon's CPU share while
      they wait, and how long a new reader waits for its identity query after they go.
"""
import argparse
import os
import select
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def frame(command, data, parameter=0):
    body = bytes([parameter, 0, len(data) + 1, command]) + bytes(data)
    crc = crc16(body)
    body += bytes([crc >> 8, crc & 0xFF])
    out = bytearray([0x55])
    for b in body:
        out += b"\x56\x56" if b == 0x55 else b"\x56\x57" if b == 0x56 else bytes([b])
    return bytes(out)


def start_daemon(daemon, folder, port, prefix=()):
    with open(os.path.join(folder, "SysConf.ini"), "wb") as f:
        f.write(b"[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=%d\r\n"
                b"Login_Time=5\r\nUSER_Refresh_Time=10\r\nKeepRecord=0\r\nCalibrateTime=0\r\n" % port)
    proc = subprocess.Popen(list(prefix) + [daemon, "-C", folder, "--quiet"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise SystemExit("daemon did not listen")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def wait_for_command(sock, command, timeout):
    """Reads until a frame with `command` arrives (the identity query, say)."""
    deadline = time.time() + timeout
    data = b""
    while time.time() < deadline:
        ready, _, _ = select.select([sock], [], [], 0.2)
        if ready:
            chunk = sock.recv(65536)
            if not chunk:
                return False
            data += chunk
            if any(len(f) > 3 and f[3] == command for f in data.split(b"\x55")):
                return True
    return False


def flood(args):
    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        proc = start_daemon(args.daemon, folder, port)
        try:
            peer = socket.socket()
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            peer.connect(("127.0.0.1", port))
            # Identity query at once, the clock 10 s later, start of reading 5 s after that.
            assert wait_for_command(peer, 0x01, 5)
            peer.sendall(frame(0x01, b"\x00H1"))
            assert wait_for_command(peer, 0xB0, 15)
            peer.sendall(frame(0xB0, b"\x00"))
            assert wait_for_command(peer, 0x62, 15)
            peer.sendall(frame(0x62, b"\x00"))
            time.sleep(0.5)
            start_rss = rss_kb(proc.pid)
            peer.setblocking(False)
            zeros = bytes(64 * 1024)
            sent = 0
            end = time.time() + args.seconds
            while time.time() < end:
                try:
                    sent += peer.send(zeros)
                except BlockingIOError:
                    select.select([], [peer], [], 0.05)
            end_rss = rss_kb(proc.pid)
            print("flood %ds: sent %.1f MB of zeros without reading; daemon RSS %d -> %d KB (%+.1f MB)"
                  % (args.seconds, sent / 1e6, start_rss, end_rss, (end_rss - start_rss) / 1024))
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)


def idle(args):
    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        proc = start_daemon(args.daemon, folder, port,
                            ("prlimit", "--nofile=%d:%d" % (args.limit, args.limit), "--"))
        conns = []
        try:
            for _ in range(args.connections):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", port))
                conns.append(s)
            time.sleep(2)
            before = cpu_ticks(proc.pid)
            t0 = time.time()
            time.sleep(args.seconds)
            share = (cpu_ticks(proc.pid) - before) / os.sysconf("SC_CLK_TCK") / (time.time() - t0)
            for s in conns:
                s.close()
            conns = []
            t1 = time.time()
            late = socket.create_connection(("127.0.0.1", port), timeout=5)
            served = wait_for_command(late, 0x01, 10)
            print("idle: %d connections against --nofile=%d: daemon CPU %.1f %% of a core over %d s; "
                  "a new reader %s %.2f s after they went"
                  % (args.connections, args.limit, 100 * share, args.seconds,
                     "was greeted" if served else "was NOT greeted within", time.time() - t1))
            err = proc.stderr
        finally:
            for s in conns:
                s.close()
            proc.send_signal(signal.SIGTERM)
            _, errors = proc.communicate(timeout=10)
            lines = errors.decode(errors="replace").splitlines()
            print("  stderr: %d lines, e.g. %s" % (len(lines), lines[:2]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("case", choices=["flood", "idle"])
    parser.add_argument("--daemon", default=os.path.join(ROOT, "build/bin/trelvaned"))
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--limit", type=int, default=1024)
    parser.add_argument("--connections", type=int, default=1500)
    args = parser.parse_args()
    flood(args) if args.case == "flood" else idle(args)


if __name__ == "__main__":
    main()
