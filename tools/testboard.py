#!/usr/bin/env python3
"""A tiny test board: accepts callers on a loopback port and runs the door for each.

For every caller it does what a Linux board does: agrees character-at-a-time telnet
with the caller's client, writes a DOOR32.SYS into a fresh node folder, starts the door
with the caller's socket inherited, waits for it, and then writes "Back at the board."
to the caller to prove the door handed the caller back.

    tools/testboard.py [--port 2323] [--door build/bin/vantorama] [--mode drop|socket|pty]

  drop    DOOR32.SYS with comm type 2 and the socket descriptor: -D<node>/DOOR32.SYS
  socket  the node and socket on the command line: -N<node> -S<fd>
  pty     a stdio door on an 80x25 pseudo-terminal: -D<node>/DOOR32.SYS -X, the board
          relaying between the caller's socket and the pty

Then: telnet localhost 2323. In drop and socket mode the terminal the board runs in is
the sysop's screen: the door mirrors the caller there, with its status bar (one node at
a time; others run unseen).
"""

import argparse
import fcntl
import os
import pty
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
BINARY, ECHO, SGA = 0, 1, 3

# Held by the node whose socket door draws on the board's terminal.
SYSOP_TERMINAL = threading.Lock()


def write_door32(folder, fd, node, comm_type=2):
    """DOOR32.SYS as boards write it: CR LF line ends, 11 lines."""
    lines = [str(comm_type), str(fd), "38400", "Test Board 1.0", "1",
             "Test Caller", "Test Caller", "100", "60", "1", str(node)]
    path = os.path.join(folder, "DOOR32.SYS")
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("ascii"))
    return path


def greet(conn):
    """The board's own telnet set-up at login: it echoes and there are no go-aheads, so
    the client sends each key as it is typed instead of whole lines. The client's
    answers are read here, as a board reads them before its login prompt."""
    conn.sendall(bytes([IAC, WILL, ECHO, IAC, WILL, SGA]))
    end = time.monotonic() + 0.25
    while True:
        left = end - time.monotonic()
        if left <= 0 or not select.select([conn], [], [], left)[0]:
            return True
        try:
            if not conn.recv(4096):
                return False  # gone before the door
        except OSError:
            return False


class TelnetFilter:
    """Takes the caller's telnet commands out of the stream for a stdio door, which has
    no telnet of its own, and gives it Enter as one CR (telnet sends CR LF or CR NUL)."""

    def __init__(self):
        self.state = "data"
        self.after_cr = False

    def feed(self, data):
        out = bytearray()
        for b in data:
            s = self.state
            if s == "data":
                if b == IAC:
                    self.state = "iac"
                    continue
                if self.after_cr and b in (0, 10):
                    self.after_cr = False
                    continue
                self.after_cr = b == 13
                out.append(b)
            elif s == "iac":
                if b == IAC:
                    self.after_cr = False
                    out.append(IAC)
                    self.state = "data"
                elif b in (DO, DONT, WILL, WONT):
                    self.state = "opt"
                elif b == SB:
                    self.state = "sb"
                else:
                    self.state = "data"  # a two-byte command: NOP, AYT, GA and the like
            elif s == "opt":
                self.state = "data"
            elif s == "sb":
                if b == IAC:
                    self.state = "sbiac"
            elif s == "sbiac":
                self.state = "data" if b == SE else "sb"
        return bytes(out)


def run_pty_door(conn, door, args, cwd):
    """Runs a stdio door on an 80x25 pty and relays between it and the caller."""
    # The door's screen holds CP437 bytes above 0x7F.
    conn.sendall(bytes([IAC, WILL, BINARY]))
    pid, master = pty.fork()
    if pid == 0:
        try:
            # Sized before the door starts, so its first look at the terminal is right.
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
            os.chdir(cwd)
            # The board's own locale, whatever it is: the door sends CP437 bytes regardless.
            os.environ["TERM"] = "ansi"
            os.execv(door, [door] + args)
        finally:
            os._exit(127)
    keys = TelnetFilter()
    caller_open = True
    hangup_at = None
    while True:
        fds = [master] + ([conn] if caller_open else [])
        ready, _, _ = select.select(fds, [], [], 0.5)
        if master in ready:
            try:
                data = os.read(master, 4096)
            except OSError:
                data = b""  # EIO: the door has ended and let go of the pty
            if not data:
                break
            if caller_open:
                try:
                    conn.sendall(data.replace(bytes([IAC]), bytes([IAC, IAC])))
                except OSError:
                    caller_open = False
        if caller_open and conn in ready:
            try:
                data = conn.recv(4096)
            except OSError:
                data = b""
            if data:
                os.write(master, keys.feed(data))
            else:
                caller_open = False
        if not caller_open:
            # The caller hung up: as boards do, SIGHUP, then SIGTERM, then SIGKILL, 5 s apart.
            now = time.monotonic()
            if hangup_at is None:
                hangup_at = now
                os.kill(pid, signal.SIGHUP)
            elif now - hangup_at > 10:
                os.kill(pid, signal.SIGKILL)
            elif now - hangup_at > 5:
                os.kill(pid, signal.SIGTERM)
    os.close(master)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def serve_caller(conn, opts, node):
    if not greet(conn):
        print("node %d: the caller left before the door" % node, flush=True)
        return
    with tempfile.TemporaryDirectory(prefix="node%d-" % node) as folder:
        fd = conn.fileno()
        if opts.mode == "pty":
            # Some boards write comm type 2 with no handle for stdio doors; -X covers that.
            args = ["-D" + write_door32(folder, -1, node), "-X"]
        elif opts.mode == "socket":
            args = ["-N%d" % node, "-S%d" % fd]
        else:
            args = ["-D" + write_door32(folder, fd, node)]
        print("node %d: %s %s" % (node, opts.door, " ".join(args)), flush=True)
        if opts.mode == "pty":
            code = run_pty_door(conn, opts.door, args, opts.workdir)
        elif SYSOP_TERMINAL.acquire(blocking=False):
            # The board's own terminal is the sysop's screen: the door mirrors the caller
            # there, with its status bar, and takes the sysop's keys.
            try:
                door = subprocess.Popen([opts.door] + args, pass_fds=[fd], cwd=opts.workdir)
                code = door.wait()
            finally:
                SYSOP_TERMINAL.release()
        else:
            # Another node has the terminal; this one runs unseen.
            door = subprocess.Popen([opts.door] + args, pass_fds=[fd], cwd=opts.workdir,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            code = door.wait()
        print("node %d: door ended with exit code %d" % (node, code), flush=True)
        try:
            conn.sendall(b"\r\nBack at the board.\r\n")
        except OSError:
            pass  # the caller is already gone


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_door = os.path.join(here, "..", "build", "bin", "vantorama")
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=2323, help="0 picks a free port")
    p.add_argument("--door", default=default_door)
    p.add_argument("--mode", choices=["drop", "socket", "pty"], default="drop")
    p.add_argument("--workdir", help="folder the door runs in (default: the door's own)")
    p.add_argument("--once", action="store_true", help="serve one caller, then stop")
    opts = p.parse_args()
    opts.door = os.path.abspath(opts.door)
    opts.workdir = opts.workdir or os.path.dirname(opts.door)
    if not os.access(opts.door, os.X_OK):
        print("no door at %s (build it first, or give --door)" % opts.door, file=sys.stderr)
        return 1

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        server.bind(("127.0.0.1", opts.port))
        server.listen(8)
    except OSError as e:
        server.close()
        print("test board: cannot listen on 127.0.0.1:%d: %s (another program has the port? "
              "pick another with --port)" % (opts.port, e.strerror or e), file=sys.stderr)
        return 1
    print("test board listening on 127.0.0.1:%d (%s mode)" % (server.getsockname()[1], opts.mode),
          flush=True)
    node = 0
    try:
        while True:
            conn, _ = server.accept()
            node += 1
            if opts.once:
                with conn:
                    serve_caller(conn, opts, node)
                break

            # One node per caller, as a board runs them side by side.
            def serve(c=conn, n=node):
                with c:
                    serve_caller(c, opts, n)
            threading.Thread(target=serve, daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
