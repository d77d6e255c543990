#!/usr/bin/env python3
"""The web remote under hostile clients, against the real display (loopback only).

    web_remote.py PATH-TO-lumora-meters

Prints the display's peak RSS (VmHWM) before and after one client announces a
300 MB WebSocket frame and eight announce 1 GB frames at once, the time from
SIGTERM to exit with eight subscribed clients that stopped reading, and how
long GET /api/status from 127.0.0.2 takes while 200 connections from
127.0.0.1 send a header byte a second, and how long the GUI thread is held
when an edit of control_token restarts the server with eight such clients
(the longest gap between answers to UDP pings sent every 5 ms).
"""
import os, signal, socket, subprocess, sys, tempfile, threading, time

PROGRAM = sys.argv[1]
home = tempfile.mkdtemp(prefix="lumora-bench-web-")


def free_port():
    with socket.socket() as t:
        t.bind(("127.0.0.1", 0))
        return t.getsockname()[1]


def start():
    port = free_port()
    folder = os.path.join(home, "config", "Korvel B.V.")
    os.makedirs(folder, exist_ok=True)
    global conf
    conf = os.path.join(folder, "Lumora Meters-benchweb.conf")
    with open(conf, "w") as f:
        f.write("[General]\ncontrol_port=%d\ncontrol_allow=127.0.0.0/8\n" % port)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"), QT_QPA_PLATFORM="offscreen")
    global log
    log = os.path.join(home, "display.log")
    p = subprocess.Popen([PROGRAM, "--instance", "benchweb"], env=env, stdout=subprocess.DEVNULL,
                         stderr=open(log, "w"))
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return p, port
        except OSError:
            time.sleep(0.05)
    raise SystemExit("the display did not listen")


def hwm(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024.0


def ws(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
    got = b""
    while b"\r\n\r\n" not in got:
        got += s.recv(4096)
    return s


def frame_header(n):
    return bytes([0x81, 0x80 | 127]) + n.to_bytes(8, "big") + b"\0\0\0\0"


def flood(socks, n, chunk=1 << 20, total=64 << 20):
    for s in socks:
        s.setblocking(False)
        try:
            s.sendall(frame_header(n))
        except OSError:
            pass
    sent, dead, deadline = 0, set(), time.monotonic() + 10
    while sent < total and len(dead) < len(socks) and time.monotonic() < deadline:
        for s in socks:
            try:
                sent += s.send(b"x" * chunk)
            except BlockingIOError:
                pass
            except OSError:
                dead.add(s)
        time.sleep(0.01)
    time.sleep(0.5)


p, port = start()
time.sleep(1)
before = hwm(p.pid)
flood([ws(port)], 300 * 1000 * 1000)
one = hwm(p.pid)
flood([ws(port) for _ in range(8)], 1 << 30)
eight = hwm(p.pid)
print("VmHWM: before %.1f MiB, after one 300 MB frame %.1f MiB, after eight 1 GB frames %.1f MiB"
      % (before, one, eight))

slow = []
for _ in range(200):
    try:
        s = socket.create_connection(("127.0.0.1", port))
        s.send(b"G")
        slow.append(s)
    except OSError:
        break
worst = 0
for i in range(10):
    t = time.monotonic()
    c = socket.socket()
    c.bind(("127.0.0.2", 0))
    c.connect(("127.0.0.1", port))
    c.sendall(b"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    while c.recv(65536):
        pass
    worst = max(worst, time.monotonic() - t)
    for s in slow:
        try:
            s.send(b"E")
        except OSError:
            pass
    time.sleep(0.3)
print("slowloris, 200 connections: GET /api/status from 127.0.0.2 in %.1f ms at worst" % (worst * 1000))
for s in slow:
    s.close()

def stuck_subscribers():
    """Eight clients that subscribe to the levels and then stop reading."""
    stuck = []
    for _ in range(8):
        s = ws(port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(bytes([0x81, 0x80 | 22]) + b"\0\0\0\0" + b'{"subscribe":"levels"}')
        stuck.append(s)
    time.sleep(3)
    return stuck


stuck = stuck_subscribers()


def longest_gap(seconds, during=None):
    """Pings from 20 addresses (each well inside its rate) every 5 ms in all;
    the longest time without an answer, in ms."""
    socks = []
    for i in range(20):
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.bind(("127.0.0.%d" % (i + 2), 0))
        u.setblocking(False)
        socks.append(u)
    answers = []
    stop = time.monotonic() + seconds
    n = 0
    if during:
        threading.Timer(seconds / 2, during).start()
    while time.monotonic() < stop:
        socks[n % 20].sendto(b"ping\n", ("127.0.0.1", port))
        n += 1
        time.sleep(0.005)
        for u in socks:
            try:
                while u.recv(512):
                    answers.append(time.monotonic())
            except BlockingIOError:
                pass
    answers.sort()
    return max(b - a for a, b in zip(answers, answers[1:])) * 1000 if len(answers) > 1 else float("inf")


def edit_token():
    with open(conf, "a") as f:
        f.write("control_token=bench-%d\n" % os.getpid())


quiet = longest_gap(4)
edited = longest_gap(4, edit_token)
restarts = open(log).read().count("web remote on http")
print("control_token edited with 8 stuck subscribers (the server started %d times): longest gap between UDP "
      "answers %.1f ms (%.1f ms without an edit)" % (restarts, edited, quiet))
stuck = stuck_subscribers()
t = time.monotonic()
p.send_signal(signal.SIGTERM)
p.wait(30)
print("SIGTERM to exit with 8 stuck subscribers: %.0f ms" % ((time.monotonic() - t) * 1000))
