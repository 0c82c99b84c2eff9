#!/usr/bin/python3
"""Remakes the README's screenshots from what a terminal emulator shows.

Runs the door as a board would (node 1, a DOOR32.SYS for "Test Caller" naming the
caller's socket, inherited), plays the caller, and feeds both sides into pyte: the
caller's screen from the socket and the sysop's screen (with the status bar) from the
pseudo-terminal the door runs on. Each screen is drawn into a PNG in VGA colours.

    tools/screenshots.py [--door build/bin/vantorama] [--out docs]

Needs Debian's python3-pyte, python3-pil and fonts-dejavu-core.
"""

import argparse
import fcntl
import os
import pty
import select
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time

import pyte
from PIL import Image, ImageDraw, ImageFont

# pyte's colour names, dark then bright (bold, or SGR 90-97, picks the bright one).
VGA = {
    "black": ((0, 0, 0), (85, 85, 85)), "blue": ((0, 0, 170), (85, 85, 255)),
    "green": ((0, 170, 0), (85, 255, 85)), "cyan": ((0, 170, 170), (85, 255, 255)),
    "red": ((170, 0, 0), (255, 85, 85)), "magenta": ((170, 0, 170), (255, 85, 255)),
    "brown": ((170, 85, 0), (255, 255, 85)), "white": ((170, 170, 170), (255, 255, 255)),
}
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
CENTRE_TEXT = "VANTORAMA 2025"  # what the spiral spells when it stands lined up


class VgaScreen(pyte.Screen):
    """Takes SGR 90-97 as the bright colours, as terminals do, rather than as bold that
    a later SGR 30-37 would leave on (pyte's reading)."""

    def select_graphic_rendition(self, *attrs):
        if not attrs:
            return super().select_graphic_rendition()
        for attr in attrs:
            if 90 <= attr <= 97:
                super().select_graphic_rendition(attr - 60)
                fg = "bright " + self.cursor.attrs.fg
                self.cursor.attrs = self.cursor.attrs._replace(fg=fg)
            else:
                super().select_graphic_rendition(attr)


def strip_telnet(data, state):
    """The door's option announcements are not screen content; state carries a command
    cut between two reads."""
    out = bytearray()
    for b in data:
        if state[0] == 0:
            if b == 0xFF:
                state[0] = 1
            else:
                out.append(b)
        elif state[0] == 1:
            if b == 0xFF:
                out.append(b)
                state[0] = 0
            else:
                state[0] = 2 if b >= 0xFB else 0
        else:
            state[0] = 0
    return bytes(out)


def colour(name, bold, default):
    if name.startswith("bright "):
        name, bold = name[7:], True
    dark, bright = VGA.get(name, VGA[default])
    return bright if bold else dark


def render(screen, path, scale):
    # Cells as wide as the font's advance and as tall as its line, so the box pieces of
    # the frame join up.
    font = ImageFont.truetype(FONT, 15 * scale)
    ascent, descent = font.getmetrics()
    cw, ch = round(font.getlength("M")), ascent + descent
    img = Image.new("RGB", (screen.columns * cw, screen.lines * ch))
    draw = ImageDraw.Draw(img)
    for y in range(screen.lines):
        row = screen.buffer[y]
        for x in range(screen.columns):
            c = row[x]
            fg = colour(c.fg, c.bold, "white")
            bg = colour(c.bg, False, "black")
            if c.reverse:
                fg, bg = bg, fg
            draw.rectangle([x * cw, y * ch, (x + 1) * cw - 1, (y + 1) * ch - 1], fill=bg)
    # Glyphs after all the backgrounds: box pieces reach a pixel into their neighbours.
    for y in range(screen.lines):
        row = screen.buffer[y]
        for x in range(screen.columns):
            c = row[x]
            if c.data.strip():
                fg = colour(c.fg, c.bold, "white")
                bg = colour(c.bg, False, "black")
                draw.text((x * cw, y * ch), c.data, font=font, fill=bg if c.reverse else fg)
    img.save(path)
    print("wrote", path)


def row_text(screen, y):
    return "".join(screen.buffer[y - 1][x].data for x in range(screen.columns))


class Session:
    """The door on a pty (the sysop's side) with a socketpair as the caller's line."""

    def __init__(self, door, folder):
        self.caller, door_end = socket.socketpair()
        fd = door_end.fileno()
        drop = os.path.join(folder, "DOOR32.SYS")
        with open(drop, "wb") as f:
            f.write(("\r\n".join(["2", str(fd), "38400", "Test Board 1.0", "1", "Test Caller",
                                  "Test Caller", "100", "60", "1", "1"]) + "\r\n").encode())
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
        # The sysop's terminal in UTF-8: the console draws CP437 as Unicode there.
        env = dict(os.environ, LC_ALL="C.UTF-8", TERM="xterm")
        self.proc = subprocess.Popen(
            [door, "-D" + drop], pass_fds=[fd], stdin=slave, stdout=slave, stderr=slave,
            cwd=os.path.dirname(door), env=env, start_new_session=True)
        os.close(slave)
        door_end.close()
        self.master = master
        self.telnet = [0]
        self.remote = VgaScreen(80, 25)
        self.remote_stream = pyte.Stream(self.remote)
        self.local = VgaScreen(80, 25)
        self.local_stream = pyte.ByteStream(self.local)

    def pump(self, seconds, until=None):
        """Feeds both screens for up to seconds, or until until() holds (then True)."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if until and until():
                return True
            ready, _, _ = select.select([self.caller, self.master], [], [], 0.02)
            if self.caller in ready:
                data = self.caller.recv(65536)
                if data:
                    # The caller's terminal takes the bytes as CP437.
                    self.remote_stream.feed(strip_telnet(data, self.telnet).decode("cp437"))
            if self.master in ready:
                try:
                    self.local_stream.feed(os.read(self.master, 65536))
                except OSError:
                    pass
        return bool(until and until())

    def wait_for(self, screen, y, text, seconds=15):
        if not self.pump(seconds, lambda: text in row_text(screen, y)):
            sys.exit("screenshots: %r never showed on row %d" % (text, y))

    def key(self, k):
        self.caller.sendall(k)

    def close(self):
        self.key(b"q")
        self.pump(2.5)
        self.proc.wait(timeout=10)
        os.close(self.master)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--door", default=os.path.join(here, "..", "build", "bin", "vantorama"))
    p.add_argument("--out", default=os.path.normpath(os.path.join(here, "..", "docs")))
    p.add_argument("--scale", type=int, default=2, help="pixels: 720x450 times this")
    opts = p.parse_args()
    os.makedirs(opts.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="node1-") as folder:
        s = Session(os.path.abspath(opts.door), folder)
        s.wait_for(s.remote, 10, "(Y/N):")
        s.key(b"n")  # no music: a plain terminal would print the tune's text
        s.wait_for(s.remote, 12, "Sixel graphics? (Y/N):")
        render(s.remote, os.path.join(opts.out, "questions.png"), opts.scale)
        s.key(b"n")  # no sixel: a text emulator cannot draw the picture
        # The centre text stands lined up for a moment every few seconds; take both
        # screens then, each as soon as its row holds the whole text.
        s.wait_for(s.remote, 12, CENTRE_TEXT, 40)
        render(s.remote, os.path.join(opts.out, "show.png"), opts.scale)
        s.wait_for(s.local, 12, CENTRE_TEXT, 5)
        render(s.local, os.path.join(opts.out, "sysop.png"), opts.scale)
        s.close()


if __name__ == "__main__":
    main()
