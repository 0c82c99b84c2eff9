#!/usr/bin/python3
"""The sysop's view end to end: the real door with a caller on loopback TCP (its screen an
independent emulator, pyte, fed with the caller's bytes), and the real doorwatch on a
pseudo-terminal read by pyte too. Each test has its own runtime folder for the sockets.

    watch_e2e.py --door build/bin/vantorama --watch build/bin/doorwatch [unittest args]
"""

import argparse
import codecs
import fcntl
import os
import pty
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import pyte

DOOR = WATCH = None
ALT_C, ALT_G, ALT_H, ALT_T = b"\x1bc", b"\x1bg", b"\x1bh", b"\x1bt"
DETACH = b"\x1d"
QUESTION = "ANSI Music"  # the first question stays on the screen until it is answered


class VgaScreen(pyte.Screen):
    """SGR 90-97 are the bright colours (what the sysop's terminal gets from the kit's
    renderer), not bold that a later SGR 30-37 would leave on."""

    def select_graphic_rendition(self, *attrs):
        for attr in attrs or (0,):
            if 90 <= attr <= 97:
                super().select_graphic_rendition(attr - 60)
                self.cursor.attrs = self.cursor.attrs._replace(fg="bright " + self.cursor.attrs.fg)
            else:
                super().select_graphic_rendition(attr)


def cell(screen, x, y, bold_is_bright):
    """One cell as character, colour, brightness, background; the default colours are
    light grey on black, as on a PC screen."""
    c = screen.buffer[y - 1][x - 1]
    fg = "white" if c.fg == "default" else c.fg
    bright = fg.startswith("bright ") or (bold_is_bright and c.bold)
    bg = "black" if c.bg == "default" else c.bg
    return (c.data, fg.replace("bright ", ""), bright, bg)


def rows(screen, first, last, bold_is_bright):
    return [[cell(screen, x, y, bold_is_bright) for x in range(1, 81)] for y in range(first, last + 1)]


def looks(cells):
    """Rows as an eye sees them: a blank shows only its background, whatever the colour
    that wrote it (the lean wire leaves that out)."""
    return [[(" ", None, None, c[3]) if c[0] == " " else c for c in row] for row in cells]


def text(screen, y):
    return screen.display[y - 1]


class PtyEnd:
    """The board's end of a stdio door's pseudo-terminal, used as the caller's connection."""

    def __init__(self, fd):
        self.fd = fd

    def fileno(self):
        return self.fd

    def recv(self, n):
        return os.read(self.fd, n)

    def sendall(self, data):
        os.write(self.fd, data)


class Caller:
    """The caller's telnet client: telnet commands off, the rest as CP437 on a screen."""

    def __init__(self, sock):
        self.sock = sock
        self.screen = VgaScreen(80, 25)
        self.stream = pyte.Stream(self.screen)
        self.iac = 0
        self.closed = False
        self.data = b""

    def fileno(self):
        return self.sock.fileno()

    def take(self):
        try:
            data = self.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self.closed = True
            return
        out = bytearray()
        for b in data:
            if self.iac == 0:
                if b == 0xFF:
                    self.iac = 1
                else:
                    out.append(b)
            elif self.iac == 1:
                self.iac = 0 if b == 0xFF else (2 if b >= 0xFB else 0)
                if b == 0xFF:
                    out.append(b)
            else:
                self.iac = 0
        self.data += bytes(out)
        self.stream.feed(bytes(out).decode("cp437"))

    def type(self, keys):
        self.sock.sendall(keys)


class Raw:
    """A watcher's bare socket: what comes is counted, and its end is noticed."""

    def __init__(self, sock):
        self.sock = sock
        self.got = 0
        self.closed = False

    def fileno(self):
        return self.sock.fileno()

    def take(self):
        data = self.sock.recv(65536)
        self.got += len(data)
        self.closed = not data


class Watcher:
    """doorwatch on an 80x25 pseudo-terminal in a UTF-8 locale."""

    def __init__(self, env, args=(), user=None, cols=80, lines=25):
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", lines, cols, 0, 0))
        command = [WATCH, *args]
        if user:
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]
        self.proc = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, env=env,
                                     start_new_session=True)
        os.close(slave)
        self.master = master
        self.screen = VgaScreen(cols, lines)
        self.stream = pyte.Stream(self.screen)
        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.closed = False
        self.data = ""

    def fileno(self):
        return self.master

    def take(self):
        try:
            data = os.read(self.master, 65536)
        except OSError:
            data = b""
        if not data:
            self.closed = True
            return
        chunk = self.decoder.decode(data)
        self.data += chunk
        self.stream.feed(chunk)

    def type(self, keys):
        os.write(self.master, keys)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        os.close(self.master)


class WatchTest(unittest.TestCase):
    def setUp(self):
        self.runtime = tempfile.mkdtemp(prefix="watch-")
        os.chmod(self.runtime, 0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime, LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        TERM="xterm")
        self.ends = []
        self.doors = []
        self.door = None  # the last one started

    def tearDown(self):
        for end in self.ends:
            if isinstance(end, Watcher):
                end.close()
        for door in self.doors:
            if door.poll() is None:
                door.kill()
                door.wait()
        shutil.rmtree(self.runtime, ignore_errors=True)

    def folder(self):
        return os.path.join(self.runtime, "doorkit")

    def start_door(self, *extra, node=1):
        """The door as a board starts it: DOOR32.SYS naming the caller's inherited socket."""
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        client = socket.create_connection(listener.getsockname())
        board, _ = listener.accept()
        listener.close()
        lines = ["2", str(board.fileno()), "38400", "Test Board", "1", "Watched Caller", "Tester", "100",
                 "60", "1", str(node)]
        drop = os.path.join(self.runtime, f"node{node}", "DOOR32.SYS")
        os.makedirs(os.path.dirname(drop), exist_ok=True)
        with open(drop, "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.door = subprocess.Popen([DOOR, "-D" + drop, *extra], pass_fds=[board.fileno()],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, cwd=os.path.dirname(DOOR), env=self.env)
        self.doors.append(self.door)
        board.close()
        client.setblocking(False)
        caller = Caller(client)
        self.ends.append(caller)
        return caller

    def start_stdio_door(self, *extra):
        """A stdio door on the caller's 80x25 pseudo-terminal, as a board relays it (-X)."""
        lines = ["2", "-1", "38400", "Test Board", "1", "Watched Caller", "Tester", "100", "60", "1", "1"]
        drop = os.path.join(self.runtime, "DOOR32.SYS")
        with open(drop, "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
        self.door = subprocess.Popen([DOOR, "-D" + drop, "-X", *extra], stdin=slave, stdout=slave, stderr=slave,
                                     cwd=os.path.dirname(DOOR), env=dict(self.env, LC_ALL="C"),
                                     start_new_session=True)
        self.doors.append(self.door)
        os.close(slave)
        caller = Caller(PtyEnd(master))
        self.ends.append(caller)
        self.addCleanup(os.close, master)
        return caller

    def watch(self, *args, user=None, **size):
        w = Watcher(self.env, args, user, **size)
        self.ends.append(w)
        return w

    def pump(self, until, timeout=20.0):
        """Reads every end until the condition holds; false when it did not in time."""
        deadline = time.monotonic() + timeout
        while not until():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            live = [e for e in self.ends if not e.closed]
            for end in select.select(live, [], [], min(left, 0.05))[0] if live else []:
                end.take()
            if not live:
                time.sleep(0.05)
        return True

    def socket_path(self, node=1):
        return os.path.join(self.folder(), f"node{node}.sock")

    def at_question(self, caller):
        self.assertTrue(self.pump(lambda: QUESTION in "".join(caller.screen.display)), "the door asks")

    def mirrors(self, caller, watcher, as_seen=False):
        mirror, screen = rows(watcher.screen, 1, 24, False), rows(caller.screen, 1, 24, True)
        return looks(mirror) == looks(screen) if as_seen else mirror == screen

    def test_watcher_shows_the_mirror_and_the_status_bar_several_at_once(self):
        caller = self.start_door()
        self.at_question(caller)
        first, second = self.watch("1"), self.watch(self.socket_path())
        for w in (first, second):
            self.assertTrue(self.pump(lambda: self.mirrors(caller, w) and "Left:" in text(w.screen, 25)),
                            "\n".join(w.screen.display))
            self.assertIn("Watched Caller", text(w.screen, 25))
        st = os.stat(self.socket_path())
        self.assertEqual(st.st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(self.folder()).st_mode & 0o777, 0o700)

        # One leaves; the door and the other go on: the caller answers, both screens follow.
        first.type(DETACH)
        self.assertEqual(first.proc.wait(10), 0)
        self.assertTrue(self.pump(lambda: "goes on" in first.data))
        caller.type(b"n")
        self.assertTrue(self.pump(lambda: "Sixel" in "".join(caller.screen.display)))
        self.assertTrue(self.pump(lambda: self.mirrors(caller, second)))
        self.assertIsNone(self.door.poll())

    def watch_stdio_door(self, *extra):
        caller = self.start_stdio_door(*extra)
        self.at_question(caller)
        w = self.watch("1")
        as_seen = "-E" in extra
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w, as_seen)), "\n".join(w.screen.display))
        w.type(b"n")  # the sysop answers for the caller
        self.assertTrue(self.pump(lambda: "Sixel" in "".join(caller.screen.display)))
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w, as_seen)))

    def test_a_stdio_door_is_watched_too(self):
        self.watch_stdio_door()

    def test_a_stdio_door_on_the_lean_wire_is_watched_too(self):
        self.watch_stdio_door("-E")

    def test_listing_names_the_nodes(self):
        caller = self.start_door()
        self.at_question(caller)
        listing = subprocess.run([WATCH], env=self.env, capture_output=True, text=True, timeout=20)
        self.assertEqual(listing.returncode, 0)
        line = [l for l in listing.stdout.splitlines() if "Watched Caller" in l]
        self.assertEqual(len(line), 1, listing.stdout)
        self.assertTrue(line[0].split()[0] == "1", line[0])
        self.assertRegex(line[0], r"00:(59|60):\d\d|01:00:00")

    def test_sysop_gives_and_takes_time(self):
        caller = self.start_door()
        self.at_question(caller)
        w = self.watch("1")
        self.assertTrue(self.pump(lambda: "Left: 00:59" in text(w.screen, 25)))
        w.type(ALT_G)
        self.assertTrue(self.pump(lambda: "Left: 01:04" in text(w.screen, 25)), text(w.screen, 25))
        w.type(ALT_T + ALT_T)
        self.assertTrue(self.pump(lambda: "Left: 00:54" in text(w.screen, 25)), text(w.screen, 25))
        self.assertTrue(self.mirrors(caller, w), "no key reached the caller's screen")

    def test_chat_and_the_screen_comes_back(self):
        caller = self.start_door()
        self.at_question(caller)
        w = self.watch("1")
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w)))
        before = rows(caller.screen, 1, 24, True)

        w.type(ALT_C)
        self.assertTrue(self.pump(lambda: "Chat with the sysop" in text(caller.screen, 1)))
        w.type(b"hello caller\r")
        self.assertTrue(self.pump(lambda: "hello caller" in text(caller.screen, 2)), "\n".join(caller.screen.display))
        caller.type(b"hi sysop\r")
        self.assertTrue(self.pump(lambda: "hi sysop" in text(w.screen, 13)), "\n".join(w.screen.display))
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w)))

        w.type(ALT_C)
        self.assertTrue(self.pump(lambda: rows(caller.screen, 1, 24, True) == before), "\n".join(caller.screen.display))
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w)))
        # The door goes on where it was: the question takes its answer.
        caller.type(b"n")
        self.assertTrue(self.pump(lambda: "Sixel" in "".join(caller.screen.display)))

    def test_the_lean_wire_is_watched_as_the_full_stream(self):
        """A door on the lean wire beside one on the full stream: its watcher gets the same
        mirror and its keys act the same, while its caller's screen stays the full stream's."""
        full = self.start_door(node=2)
        lean = self.start_door("-E")
        for caller in (full, lean):
            self.at_question(caller)

        def whole(caller):
            return looks(rows(caller.screen, 1, 25, True)), (caller.screen.cursor.x, caller.screen.cursor.y)

        def same_screens():
            return whole(lean) == whole(full)

        self.assertTrue(self.pump(same_screens), "\n".join(lean.screen.display))
        w = self.watch(self.socket_path())  # by path: as root, "1" may find another test's door
        self.assertTrue(self.pump(lambda: self.mirrors(lean, w, True) and "Left: 00:59" in text(w.screen, 25)),
                        "\n".join(w.screen.display))

        w.type(ALT_G)
        self.assertTrue(self.pump(lambda: "Left: 01:04" in text(w.screen, 25)), text(w.screen, 25))
        w.type(ALT_T)
        self.assertTrue(self.pump(lambda: "Left: 00:59" in text(w.screen, 25)), text(w.screen, 25))
        self.assertTrue(self.mirrors(lean, w, True) and same_screens(), "no key reached the caller's screen")

        # Chat draws over the lean caller's screen and gives it back as it was, cursor too.
        before = whole(lean)
        w.type(ALT_C)
        self.assertTrue(self.pump(lambda: "Chat with the sysop" in text(lean.screen, 1)))
        w.type(b"hello caller\r")
        lean.type(b"hi sysop\r")
        self.assertTrue(self.pump(lambda: "hello caller" in text(lean.screen, 2) and "hi sysop" in text(w.screen, 13)),
                        "\n".join(lean.screen.display))
        self.assertTrue(self.pump(lambda: self.mirrors(lean, w, True)), "\n".join(w.screen.display))
        w.type(ALT_C)
        self.assertTrue(self.pump(lambda: whole(lean) == before), "\n".join(lean.screen.display))
        self.assertTrue(self.pump(lambda: self.mirrors(lean, w, True)))

        # Both doors go on to the next question: the same screen again.
        for caller in (full, lean):
            caller.type(b"n")
        self.assertTrue(self.pump(lambda: all("Sixel" in "".join(c.screen.display) for c in (full, lean))))
        self.assertTrue(self.pump(same_screens), "\n".join(lean.screen.display))
        self.assertTrue(self.pump(lambda: self.mirrors(lean, w, True)))

        w.type(ALT_H)
        self.assertTrue(self.pump(lambda: lean.closed), "the connection is shut down")
        self.assertIn("The Sysop Has Ended Your Call", "".join(lean.screen.display))
        self.assertEqual(self.door.wait(20), 0)
        self.assertTrue(self.pump(lambda: w.proc.poll() is not None))
        self.assertFalse(os.path.exists(self.socket_path()), "the door takes its socket away")

    def test_sysop_hangs_up(self):
        caller = self.start_door()
        self.at_question(caller)
        w = self.watch("1")
        self.assertTrue(self.pump(lambda: "Left:" in text(w.screen, 25)))
        w.type(ALT_H)
        self.assertTrue(self.pump(lambda: caller.closed), "the connection is shut down")
        self.assertIn(b"The Sysop Has Ended Your Call", caller.data)
        self.assertEqual(self.door.wait(20), 0)
        self.assertTrue(self.pump(lambda: w.proc.poll() is not None))
        self.assertFalse(os.path.exists(self.socket_path()), "the door takes its socket away")

    def test_no_sysops_view_with_p(self):
        caller = self.start_door("-P")
        self.at_question(caller)
        self.assertFalse(os.path.exists(self.socket_path()))
        w = self.watch(self.socket_path())  # by path: as root, "1" may find another test's door
        self.assertEqual(w.proc.wait(10), 1)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to be another user")
    def test_another_user_cannot_attach(self):
        caller = self.start_door()
        self.at_question(caller)
        os.chmod(self.runtime, 0o755)  # so that nobody reaches the door's own folder at all
        denied = self.watch(self.socket_path(), user="65534")
        self.assertTrue(self.pump(lambda: denied.proc.poll() is not None))
        self.assertEqual(denied.proc.returncode, 1)
        self.assertTrue(self.pump(lambda: "may not watch" in denied.data), denied.data)

        # Even where the folder and the socket were opened up, the door asks who it is.
        os.chmod(self.folder(), 0o755)
        os.chmod(self.socket_path(), 0o777)
        refused = self.watch(self.socket_path(), user="65534")
        self.assertTrue(self.pump(lambda: refused.proc.poll() is not None))
        self.assertTrue(self.pump(lambda: "refuses this user" in refused.data), refused.data)
        self.assertIsNone(self.door.poll())
        w = self.watch("1")
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w)))

    def test_a_killed_doors_socket_is_taken_over(self):
        os.makedirs(self.folder(), mode=0o700)
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(self.socket_path())
        stale.close()  # a door killed with its socket still in place
        caller = self.start_door()
        self.at_question(caller)
        w = self.watch("1")
        self.assertTrue(self.pump(lambda: self.mirrors(caller, w)))

    def test_stalled_and_vanishing_watchers_hold_nothing_up(self):
        caller = self.start_door()
        self.at_question(caller)
        caller.type(b"nn")  # into the show's frames

        def raw_watcher():
            s = socket.socket(socket.AF_UNIX)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(self.socket_path())
            s.sendall(b"A\0\0")
            return s

        stalled = raw_watcher()
        vanishing = raw_watcher()
        vanishing.recv(300)  # into a row of the first screen, then gone without a word
        vanishing.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        vanishing.close()

        start = len(caller.data)
        self.assertTrue(self.pump(lambda: len(caller.data) > start + 1000000, timeout=120),
                        "the caller's frames go on")
        # The stalled one was dropped: past its backlog, its connection ends.
        drained = Raw(stalled)
        self.ends.append(drained)
        self.assertTrue(self.pump(lambda: drained.closed), "the stalled watcher is let go")
        self.assertLess(drained.got, 1 << 20, "the door keeps no endless backlog")
        caller.type(b"q")
        self.assertEqual(self.door.wait(20), 0)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--door", required=True)
    parser.add_argument("--watch", required=True)
    args, rest = parser.parse_known_args()
    DOOR, WATCH = os.path.abspath(args.door), os.path.abspath(args.watch)
    unittest.main(argv=[sys.argv[0], *rest])
