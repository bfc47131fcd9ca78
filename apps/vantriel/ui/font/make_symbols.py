#!/usr/bin/python3
"""Draws the symbols the page shows (the toolbar's and the host bar's marks, the call
room's, the checks and crosses of dialogs) into symbols.ttf, so that no PC needs an emoji
font to show them. The glyphs are drawn here, from straight segments only, in the page's
own plain style; they take the colour of the text around them.

The font is committed, so building needs no font tools; run this after changing a glyph
or adding a symbol (and add the symbol to the unicode-range in css/theme.css). Needs
Debian's python3 with python3-fonttools.
"""
import math
import os

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

EM = 1000
ASCENT, DESCENT = 880, -120
# Every glyph sits in this box: the height of a capital letter and a little below, so a
# symbol stands level with the text beside it.
LEFT, RIGHT, BOTTOM, TOP = 60, 940, -70, 770


# --- shapes: each a list of contours, a contour a list of (x, y) -------------------------

def area(c):
    return sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(c, c[1:] + c[:1])) / 2


def oriented(c, hole):
    # Filled contours run clockwise, holes counter-clockwise: with the non-zero rule a hole
    # clears what one filled contour covers, and filled contours that overlap simply join.
    clockwise = area(c) < 0
    return c if clockwise != hole else c[::-1]


def arc_points(cx, cy, rx, ry, a0, a1, n):
    return [(cx + rx * math.cos(math.radians(a0 + (a1 - a0) * i / n)),
             cy + ry * math.sin(math.radians(a0 + (a1 - a0) * i / n))) for i in range(n + 1)]


def circle(cx, cy, r, hole=False, n=40):
    return [oriented(arc_points(cx, cy, r, r, 0, 360, n)[:-1], hole)]


def ellipse(cx, cy, rx, ry, hole=False, n=40):
    return [oriented(arc_points(cx, cy, rx, ry, 0, 360, n)[:-1], hole)]


def rrect(x0, y0, x1, y1, r=0, hole=False):
    r = min(r, (x1 - x0) / 2, (y1 - y0) / 2)
    if r <= 0:
        return [oriented([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], hole)]
    pts = []
    for cx, cy, a in ((x1 - r, y0 + r, 270), (x1 - r, y1 - r, 0), (x0 + r, y1 - r, 90), (x0 + r, y0 + r, 180)):
        pts += arc_points(cx, cy, r, r, a, a + 90, 8)
    return [oriented(pts, hole)]


def poly(points, hole=False):
    return [oriented(list(points), hole)]


def stroke(points, w, closed=False):
    """A line through `points`, `w` wide, with round ends and joins."""
    out = []
    pairs = list(zip(points, points[1:] + (points[:1] if closed else [])))
    for (x0, y0), (x1, y1) in pairs:
        dx, dy = x1 - x0, y1 - y0
        k = (w / 2) / math.hypot(dx, dy)
        nx, ny = -dy * k, dx * k
        out += poly([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)])
    for x, y in points:
        out += circle(x, y, w / 2, n=24)
    return out


def band(cx, cy, r_in, r_out, a0, a1, hole=False, n=24):
    """The part of a ring between two angles (degrees, counter-clockwise from east)."""
    outer = arc_points(cx, cy, r_out, r_out, a0, a1, n)
    inner = arc_points(cx, cy, r_in, r_in, a1, a0, n)
    return [oriented(outer + inner, hole)]


def round_band(cx, cy, r_in, r_out, a0, a1):
    """A band with round ends."""
    out = band(cx, cy, r_in, r_out, a0, a1)
    r = (r_in + r_out) / 2
    for a in (a0, a1):
        out += circle(cx + r * math.cos(math.radians(a)), cy + r * math.sin(math.radians(a)), (r_out - r_in) / 2, n=24)
    return out


def ring(cx, cy, r_out, r_in):
    return circle(cx, cy, r_out) + circle(cx, cy, r_in, hole=True)


def rotate(shape, deg, cx=500, cy=350):
    a = math.radians(deg)
    c, s = math.cos(a), math.sin(a)
    return [[(cx + (x - cx) * c - (y - cy) * s, cy + (x - cx) * s + (y - cy) * c) for x, y in contour] for contour in shape]


# --- the symbols ---------------------------------------------------------------------------

def speaker():
    return rrect(90, 230, 250, 470, 30) + poly([(210, 230), (440, 60), (440, 640), (210, 470)])


def keyboard():
    out = rrect(60, 90, 940, 610, 80)
    for row, y in enumerate((450, 320)):
        for i in range(6):
            x = 150 + i * 120 + (row * 40)
            out += rrect(x, y, x + 80, y + 80, 14, hole=True)
    return out + rrect(260, 170, 740, 240, 20, hole=True)


def star():
    pts = []
    for i in range(10):
        r = 460 if i % 2 == 0 else 190
        a = math.radians(90 + 36 * i)
        pts.append((500 + r * math.cos(a), 330 + r * math.sin(a)))
    return poly(pts)


def coffee():
    cup = poly(arc_points(410, 330, 300, 280, 180, 360, 16)[::-1] + [(710, 560), (110, 560)])
    handle = band(690, 400, 70, 150, -80, 90)
    saucer = rrect(80, -40, 780, 30, 35)
    steam = stroke([(330, 620), (290, 680), (330, 740)], 55) + stroke([(490, 620), (450, 680), (490, 740)], 55)
    return cup + handle + saucer + steam


def gear():
    out = circle(500, 350, 290)
    for i in range(8):
        out += rotate(rrect(435, 350, 565, 760, 30), 45 * i, 500, 350)
    return out + circle(500, 350, 120, hole=True)


def corners():
    s, w = 260, 90
    out = []
    for (x, y, dx, dy) in ((110, 760, 1, -1), (890, 760, -1, -1), (110, -60, 1, 1), (890, -60, -1, 1)):
        out += stroke([(x, y + dy * s), (x, y), (x + dx * s, y)], w)
    return out


def pencil():
    body = poly([(300, 160), (760, 620), (880, 500), (420, 40)])
    tip = poly([(300, 160), (420, 40), (180, -60)])
    # A thin gap sets the eraser off from the body.
    ferrule = poly([(650, 510), (685, 545), (805, 425), (770, 390)], hole=True)
    return body + tip + ferrule


def check(w):
    return stroke([(140, 370), (380, 110), (860, 640)], w)


def cross(w):
    return stroke([(170, 20), (830, 680)], w) + stroke([(170, 680), (830, 20)], w)


def arrow_up():
    return poly([(500, 770), (900, 360), (650, 360), (650, -60), (350, -60), (350, 360), (100, 360)])


def arrow_down():
    return [[(x, 710 - y) for x, y in c] for c in arrow_up()]


def microphone():
    capsule = rrect(350, 260, 650, 770, 150)
    holder = round_band(500, 420, 210, 280, 180, 360)
    stem = rrect(465, 60, 535, 170)
    base = rrect(300, -40, 700, 50, 40)
    return capsule + holder + stem + base


def heart():
    return circle(300, 470, 220) + circle(700, 470, 220) + poly([(96, 390), (904, 390), (500, -40)])


def balloon():
    return rrect(60, 170, 940, 740, 140) + poly([(200, 200), (380, 200), (120, -40)])


def folder():
    return poly([(60, 560), (60, 700), (380, 700), (450, 620), (940, 620), (940, 560)]) + rrect(60, -20, 940, 590, 50)


def clipboard():
    board = rrect(130, -60, 870, 680, 70) + rrect(220, 30, 780, 580, 20, hole=True)
    clip = rrect(330, 560, 670, 760, 50) + rrect(440, 640, 560, 700, 20, hole=True)
    lines = rrect(300, 420, 700, 470) + rrect(300, 290, 700, 340) + rrect(300, 160, 600, 210)
    return board + clip + lines


def phone():
    # A handset lying face down: the handle arches over the two cups.
    handle = round_band(500, 90, 270, 370, 28, 152)
    cups = []
    for a, tilt in ((28, 25), (152, -25)):
        x = 500 + 320 * math.cos(math.radians(a))
        y = 90 + 320 * math.sin(math.radians(a))
        cups += rotate(rrect(x - 135, y - 150, x + 135, y + 20, 65), tilt, x, y)
    return handle + cups


def refresh():
    out = band(500, 350, 270, 380, 20, 160) + band(500, 350, 270, 380, 200, 340)
    # Arrow heads at the ends that turn anticlockwise.
    for a in (160, 340):
        x = 500 + 325 * math.cos(math.radians(a))
        y = 350 + 325 * math.sin(math.radians(a))
        out += rotate(poly([(x - 150, y), (x + 150, y), (x, y - 170)]), a - 180, x, y)
    return out


def speaker_off():
    return speaker() + stroke([(600, 200), (880, 500)], 80) + stroke([(600, 500), (880, 200)], 80)


def speaker_loud():
    out = speaker()
    for r in (170, 300, 430):
        out += round_band(430, 350, r - 38, r + 38, -48, 48)
    return out


def desktop():
    screen = rrect(60, 170, 940, 770, 50) + rrect(130, 250, 870, 700, 10, hole=True)
    return screen + rrect(440, 40, 560, 180) + rrect(260, -40, 740, 50, 40)


def printer():
    paper_in = rrect(250, 520, 750, 770, 20) + rrect(310, 580, 690, 770, 0, hole=True)
    body = rrect(60, 130, 940, 540, 60) + rrect(230, 180, 770, 300, 10, hole=True) + circle(820, 450, 40, hole=True)
    paper_out = rrect(250, -60, 750, 250, 10) + rrect(310, 0, 690, 250, 0, hole=True)
    lines = rrect(360, 130, 640, 160) + rrect(360, 60, 640, 90)
    return paper_in + body + paper_out + lines


def mouse():
    body = rrect(220, -60, 780, 770, 280)
    # The seams between the buttons stay inside the body: a hole outside it would fill.
    seams = rrect(240, 430, 760, 470, 0, hole=True)
    return body + seams + rrect(400, 470, 430, 735, 0, hole=True) + rrect(570, 470, 600, 735, 0, hole=True)


def smile():
    face = ring(500, 350, 440, 360)
    eyes = ellipse(360, 470, 48, 70) + ellipse(640, 470, 48, 70)
    mouth = round_band(500, 330, 170, 230, 210, 330)
    return face + eyes + mouth


SYMBOLS = {
    0x2328: ("keyboard", keyboard),
    0x2605: ("star", star),
    0x2615: ("coffee", coffee),
    0x2699: ("gear", gear),
    0x26F6: ("corners", corners),
    0x270E: ("pencil", pencil),
    0x2713: ("check", lambda: check(100)),
    0x2714: ("check.heavy", lambda: check(170)),
    0x2715: ("cross", lambda: cross(100)),
    0x2716: ("cross.heavy", lambda: cross(170)),
    0x2B06: ("arrow.up", arrow_up),
    0x2B07: ("arrow.down", arrow_down),
    0x1F399: ("microphone", microphone),
    0x1F49A: ("heart", heart),
    0x1F4AC: ("balloon", balloon),
    0x1F4C1: ("folder", folder),
    0x1F4CB: ("clipboard", clipboard),
    0x1F4DE: ("phone", phone),
    0x1F504: ("refresh", refresh),
    0x1F507: ("speaker.off", speaker_off),
    0x1F50A: ("speaker.loud", speaker_loud),
    0x1F5A5: ("desktop", desktop),
    0x1F5A8: ("printer", printer),
    0x1F5B1: ("mouse", mouse),
    0x1F642: ("smile", smile),
}


def glyph(shape):
    pen = TTGlyphPen(None)
    for contour in shape:
        pts = [(round(x), round(y)) for x, y in contour]
        # Consecutive points that rounding made equal are dropped.
        pts = [p for i, p in enumerate(pts) if p != pts[i - 1]]
        if len(pts) < 3:
            continue
        pen.moveTo(pts[0])
        for p in pts[1:]:
            pen.lineTo(p)
        pen.closePath()
    return pen.glyph()


def main():
    names = [".notdef"] + [name for name, _ in SYMBOLS.values()]
    glyphs = {".notdef": glyph(rrect(100, 0, 900, 700) + rrect(180, 80, 820, 620, hole=True))}
    for name, draw in SYMBOLS.values():
        glyphs[name] = glyph(draw())
    fb = FontBuilder(EM, isTTF=True)
    fb.setupGlyphOrder(names)
    fb.setupCharacterMap({cp: name for cp, (name, _) in SYMBOLS.items()})
    fb.setupGlyf(glyphs)
    glyf = fb.font["glyf"]
    metrics = {}
    for name in names:
        g = glyf[name]
        g.recalcBounds(glyf)
        metrics[name] = (EM, getattr(g, "xMin", 0))
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=DESCENT)
    fb.setupNameTable({
        "familyName": "Vantriel Symbols",
        "styleName": "Regular",
        "uniqueFontIdentifier": "Vantriel Symbols Regular",
        "fullName": "Vantriel Symbols",
        "psName": "VantrielSymbols-Regular",
        "version": "Version 1.000",
    })
    fb.setupOS2(sTypoAscender=ASCENT, sTypoDescender=DESCENT, sTypoLineGap=0,
                usWinAscent=ASCENT, usWinDescent=-DESCENT, achVendID="VTRL", fsType=0)
    fb.setupPost()
    # The same bytes on every run: a fixed date instead of the moment of the run.
    fb.font["head"].created = fb.font["head"].modified = 3_900_000_000
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "symbols.ttf")
    fb.save(out)
    print(out, os.path.getsize(out), "bytes,", len(SYMBOLS), "symbols")


if __name__ == "__main__":
    main()
