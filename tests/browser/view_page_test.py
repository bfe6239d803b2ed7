#!/usr/bin/env python3
"""The page `quorra view` writes, as a browser shows it.

Writes the gearbox sample, gives some of its parts distinct colours and hides
one of them through the override table (`quorra set`, as a user would), writes
the page with `quorra view`, opens it in headless Chromium and reads the
screenshot: every coloured part that is shown must have its colour on the
screen, the hidden part's colour must not. A second screenshot points at one
outline entry and checks that its part stays in full colour while the others
fade.

usage: view_page_test.py QUORRA_TOOL
Exits 0 when every check passes, 1 when one fails, 77 (skipped) when no
Chromium is installed.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

# Roadmap in the gearbox -> colour (RRGGBB; every channel a multiple of 0x11,
# so the 4-bit style channels keep it exactly).
SHOWN = {
    "1": "ff0000",  # housing
    "3": "0000ff",  # inspection cover
    "4/2": "00ff00",  # pinion gear, one level down
    "5/2": "ff00ff",  # intermediate gear
    "6/1": "8800ff",  # output shaft
    "6/2": "ffaa00",  # output gear
    "31": "008800",  # drain plug
    "32": "884400",  # fill plug
    "33": "0088ff",  # sight glass
}
HIDDEN = ("2", "00ffff")  # the housing cover: coloured, then hidden
POINTED = "4/2"  # the outline entry pointed at: "pinion_gear.par [2]"
POINTED_LABEL = "pinion_gear.par [2]"

TOLERANCE = 3  # per channel, for the browser's colour handling
ENOUGH = 20  # pixels of a colour that count as "seen"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run(command):
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        fail("%s exited %d:\n%s%s" % (" ".join(command), result.returncode, result.stdout, result.stderr))
    return result.stdout


def read_png(path):
    """(width, height, rows of (r, g, b) tuples) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail(path + " is not a PNG file")
    offset, idat, header = 8, b"", None
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        offset += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    width, height, depth, colour_type, _, _, interlace = header
    if depth != 8 or colour_type not in (2, 6) or interlace != 0:
        fail("unexpected PNG format: depth %d, colour type %d, interlace %d" % (depth, colour_type, interlace))
    channels = 3 if colour_type == 2 else 4
    stride = width * channels
    raw = zlib.decompress(idat)
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            upper_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else upper_left)
                line[i] = (line[i] + predictor) & 0xFF
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return width, height, rows


def colour_counts(rows, colours):
    """How many pixels are within TOLERANCE of each colour."""
    wanted = {c: tuple(int(c[i:i + 2], 16) for i in (0, 2, 4)) for c in colours}
    histogram = {}
    for row in rows:
        for pixel in row:
            histogram[pixel] = histogram.get(pixel, 0) + 1
    counts = dict.fromkeys(colours, 0)
    for pixel, n in histogram.items():
        for name, rgb in wanted.items():
            if all(abs(pixel[i] - rgb[i]) <= TOLERANCE for i in range(3)):
                counts[name] += n
    return counts


def screenshot(chromium, page, png, profile):
    run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars",
         "--no-first-run", "--force-device-scale-factor=1", "--window-size=1400,900", "--user-data-dir=" + profile,
         "--screenshot=" + png, "file://" + page])
    if not os.path.exists(png):
        fail("chromium wrote no screenshot for " + page)
    return read_png(png)[2]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    tool = os.path.abspath(sys.argv[1])
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIPPED: Chromium is not installed (Debian package chromium)")
        return 77
    with tempfile.TemporaryDirectory(prefix="quorra-browser-") as work:
        gearbox = os.path.join(work, "sample", "gearbox.asm")
        run([tool, "sample", os.path.join(work, "sample"), "--gearbox"])
        for roadmap, colour in list(SHOWN.items()) + [HIDDEN]:
            run([tool, "set", gearbox, roadmap, "colour", colour])
        run([tool, "set", gearbox, HIDDEN[0], "hidden", "1"])
        page = os.path.join(work, "page.html")
        run([tool, "view", gearbox, "-o", page, "--camera", "iso"])

        rows = screenshot(chromium, page, os.path.join(work, "page.png"), os.path.join(work, "profile"))
        counts = colour_counts(rows, list(SHOWN.values()) + [HIDDEN[1]])
        print("pixels by colour: " + ", ".join("%s %d" % item for item in counts.items()))
        missing = [r + " (" + c + ")" for r, c in SHOWN.items() if counts[c] < ENOUGH]
        if missing:
            fail("shown parts missing from the screenshot: " + ", ".join(missing))
        if counts[HIDDEN[1]]:
            fail("the hidden part's colour %s is on the screen (%d pixels)" % (HIDDEN[1], counts[HIDDEN[1]]))

        # Point at one outline entry, as the mouse would.
        with open(page, encoding="utf-8") as f:
            text = f.read()
        pointing = ("<script>document.querySelectorAll('[data-from]').forEach(function (el) {"
                    " if (el.textContent === '%s') el.dispatchEvent(new MouseEvent('mouseover', {bubbles: true}));"
                    " });</script>\n</body>" % POINTED_LABEL)
        pointed_page = os.path.join(work, "pointed.html")
        with open(pointed_page, "w", encoding="utf-8") as f:
            f.write(text.replace("</body>", pointing))
        rows = screenshot(chromium, pointed_page, os.path.join(work, "pointed.png"), os.path.join(work, "profile"))
        counts = colour_counts(rows, list(SHOWN.values()))
        print("pointing at %s: %s" % (POINTED_LABEL, ", ".join("%s %d" % item for item in counts.items())))
        if counts[SHOWN[POINTED]] < ENOUGH:
            fail("the part pointed at lost its colour")
        lit = [r for r, c in SHOWN.items() if r != POINTED and counts[c]]
        if lit:
            fail("parts not pointed at keep their full colour: " + ", ".join(lit))
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
