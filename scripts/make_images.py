#!/usr/bin/env python3
"""Remakes every page image of images/ (GIF files) with ImageMagick.

    python3 scripts/make_images.py [output-folder]

The generated GIFs are committed, so a build never needs this script; run it
again after changing a pictogram or a colour here. It needs ImageMagick's
`convert` and the DejaVu fonts (Debian: imagemagick, fonts-dejavu-core).

Style: flat colours, a white pictogram on a rounded tile of one colour per
kind of function, drawn four times larger and scaled down for smooth edges.
GIF has only on/off transparency, so pixels on an edge are blended with the
page background colour (PAGE) and kept when they are more than faintly
covered: the images look clean on the light page background of fond.gif and
on white pages.

Every pictogram is drawn in a 100 x 100 unit box (MVG drawing commands) and
placed into an image by translate and scale, so one pictogram serves both a
64 x 64 start-page tile and a 30 x 20 button.
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
BOLD = FONT_DIR + "/DejaVuSans-Bold.ttf"
CONDENSED_BOLD = FONT_DIR + "/DejaVuSansCondensed-Bold.ttf"
SCALE = 4              # supersampling factor
PAGE = "#F7F9FC"       # base colour of fond.gif; edge pixels blend into it
WHITE = "#FFFFFF"

# Tile colours, one per kind of function.
BLUE = "#1E6FC8"       # information on a report: header, observe, analyse, ...
SLATE = "#546E7A"      # printing
GREEN = "#2E8B3E"      # progress in the workflow
ORANGE = "#E07B00"     # closing without a correction
RED = "#D32F2F"        # sending back, deleting
TEAL = "#00897B"
PURPLE = "#7B3FA0"
INDIGO = "#3949AB"
AMBER = "#E6A100"
DEEP_ORANGE = "#E6552A"
INK = "#263238"        # dark text of the logo


# --- pictograms: MVG in a 100 x 100 box, drawn in fg with cut-outs in bg ---

def p_pencil(fg, bg):
    return (f"fill {fg} stroke none "
            "polygon 30,62 66,26 80,40 44,76 "
            "polygon 30,62 44,76 18,88 "
            f"fill {bg} polygon 22,80 26,84 18,88 "
            f"fill {fg} polygon 70,22 76,16 90,30 84,36 ")


def p_eye(fg, bg):
    return (f"fill {fg} stroke none path 'M 6,50 Q 50,4 94,50 Q 50,96 6,50 Z' "
            f"fill {bg} circle 50,50 50,70 "
            f"fill {fg} circle 50,50 50,60 ")


def p_magnifier(fg, bg):
    return (f"fill none stroke {fg} stroke-width 11 circle 42,42 42,68 "
            "stroke-width 16 stroke-linecap round line 62,62 86,86 ")


def p_paperclip(fg, bg):
    return (f"fill none stroke {fg} stroke-width 8 stroke-linecap round "
            "stroke-linejoin round path 'M 64,34 L 64,74 A 15,15 0 0 1 34,74 "
            "L 34,24 A 10,10 0 0 1 54,24 L 54,70 A 5,5 0 0 1 44,70 L 44,36' ")


def p_copy(fg, bg):
    return (f"fill none stroke {fg} stroke-width 8 rectangle 16,10 58,62 "
            f"fill {fg} stroke {bg} stroke-width 6 rectangle 38,34 84,90 ")


def p_person(fg, bg):
    return (f"fill {fg} stroke none circle 50,28 50,46 "
            "path 'M 16,92 Q 16,52 50,52 Q 84,52 84,92 Z' ")


def p_play(fg, bg):
    return f"fill {fg} stroke none polygon 30,14 84,50 30,86 "


def p_bug(fg, bg):
    legs = (f"fill none stroke {fg} stroke-width 7 stroke-linecap round "
            "line 30,48 12,38 line 28,62 10,62 line 30,76 14,88 "
            "line 70,48 88,38 line 72,62 90,62 line 70,76 86,88 "
            "line 44,20 34,6 line 56,20 66,6 ")
    return (legs + f"stroke none fill {fg} circle 50,26 50,38 "
            "ellipse 50,62 22,30 0,360 "
            f"stroke {bg} stroke-width 4 line 50,40 50,92 ")


def p_notabug(fg, bg):
    return (p_bug(fg, bg) +
            f"fill none stroke {bg} stroke-width 20 stroke-linecap round line 10,90 90,10 "
            f"stroke {fg} stroke-width 9 line 10,90 90,10 ")


def p_question(fg, bg):
    return (f"fill none stroke {fg} stroke-width 14 stroke-linecap round "
            "stroke-linejoin round path 'M 28,32 A 22,22 0 1 1 58,52 Q 50,56 50,66' "
            f"stroke none fill {fg} circle 50,86 50,94 ")


def p_equal(fg, bg):
    return f"fill {fg} stroke none rectangle 14,26 86,42 rectangle 14,58 86,74 "


def p_clock(fg, bg):
    return (f"fill none stroke {fg} stroke-width 9 circle 50,50 50,12 "
            "stroke-linecap round stroke-width 9 line 50,50 50,26 line 50,50 68,60 ")


def p_wrench(fg, bg):
    return (f"fill none stroke {fg} stroke-width 16 stroke-linecap round line 20,80 56,44 "
            f"stroke none fill {fg} circle 64,36 64,12 "
            f"fill {bg} push graphic-context translate 64,36 rotate 45 "
            "rectangle -8,-30 8,-4 pop graphic-context "
            f"fill {bg} circle 64,36 64,44 ")


def p_check(fg, bg):
    return (f"fill none stroke {fg} stroke-width 15 stroke-linecap round "
            "stroke-linejoin round polyline 14,52 38,76 86,24 ")


def p_forverif(fg, bg):
    return (f"fill none stroke {fg} stroke-width 13 stroke-linecap round "
            "stroke-linejoin round polyline 6,54 26,74 56,38 "
            "stroke-width 10 path 'M 66,30 A 13,13 0 1 1 84,46 Q 78,50 78,58' "
            f"stroke none fill {fg} circle 78,74 78,80 ")


def p_uturn(fg, bg):
    return (f"fill none stroke {fg} stroke-width 12 stroke-linejoin round "
            "path 'M 34,34 L 60,34 A 24,24 0 0 1 60,82 L 30,82' "
            f"stroke none fill {fg} polygon 6,34 38,8 38,60 ")


def p_cross(fg, bg):
    return (f"fill none stroke {fg} stroke-width 16 stroke-linecap round "
            "line 22,22 78,78 line 78,22 22,78 ")


def p_printer(fg, bg):
    return (f"fill {fg} stroke none rectangle 28,8 72,34 "
            "roundrectangle 8,30 92,74 8,8 "
            f"fill {bg} rectangle 22,58 78,64 "
            f"fill {fg} stroke {bg} stroke-width 5 rectangle 28,58 72,94 "
            f"stroke {bg} stroke-width 4 line 36,72 64,72 line 36,82 58,82 ")


def p_trash(fg, bg):
    return (f"fill {fg} stroke none rectangle 14,18 86,28 "
            f"fill none stroke {fg} stroke-width 6 rectangle 38,8 62,18 "
            f"stroke none fill {fg} polygon 22,32 78,32 72,94 28,94 "
            f"stroke {bg} stroke-width 5 line 38,44 40,84 line 50,44 50,84 line 62,44 60,84 ")


def p_newsheet(fg, bg):
    return (f"fill {fg} stroke none polygon 18,6 62,6 82,26 82,94 18,94 "
            f"fill {bg} polygon 62,6 62,26 82,26 "
            f"fill {bg} rectangle 44,38 56,82 rectangle 28,54 72,66 ")


def p_chart(fg, bg):
    return (f"fill {fg} stroke none rectangle 14,54 32,86 rectangle 41,32 59,86 "
            "rectangle 68,12 86,86 rectangle 6,88 94,94 ")


def p_gear(fg, bg):
    teeth = "".join(
        f"push graphic-context translate 50,50 rotate {a} rectangle -9,-44 9,44 pop graphic-context "
        for a in (0, 45, 90, 135))
    return (f"fill {fg} stroke none " + teeth + "circle 50,50 50,16 "
            f"fill {bg} circle 50,50 50,37 ")


def p_list(fg, bg):
    out = f"fill {fg} stroke none "
    for y in (16, 42, 68):
        out += f"rectangle 8,{y} 24,{y + 16} rectangle 32,{y + 3} 92,{y + 13} "
    return out


def p_book(fg, bg):
    return (f"fill {fg} stroke none polygon 6,22 47,30 47,88 6,80 "
            "polygon 53,30 94,22 94,80 53,88 "
            f"stroke {bg} stroke-width 4 line 14,40 39,45 line 14,52 39,57 line 14,64 39,69 "
            "line 61,45 86,40 line 61,57 86,52 line 61,69 86,64 ")


def p_history(fg, bg):
    return (f"fill none stroke {fg} stroke-width 9 "
            "path 'M 20,50 A 32,32 0 1 1 30,74' "
            f"stroke none fill {fg} polygon 4,46 36,46 20,66 "
            f"fill none stroke {fg} stroke-width 9 stroke-linecap round "
            "line 54,52 54,30 line 54,52 70,62 ")


def p_help(fg, bg):
    return (f"fill none stroke {fg} stroke-width 8 circle 50,50 50,8 " +
            "push graphic-context translate 25,22 scale 0.5,0.56 " +
            p_question(fg, bg) + "pop graphic-context ")


def p_tests(fg, bg):
    out = ""
    for y in (14, 44, 74):
        out += (f"fill none stroke {fg} stroke-width 7 stroke-linecap round "
                f"stroke-linejoin round polyline 6,{y + 4} 14,{y + 12} 28,{y - 4} "
                f"stroke none fill {fg} rectangle 38,{y + 1} 94,{y + 11} ")
    return out


def p_house(fg, bg):
    return (f"fill {fg} stroke none polygon 50,8 94,48 80,48 80,90 20,90 20,48 6,48 "
            f"fill {bg} rectangle 42,62 58,90 ")


def p_larrow(fg, bg):
    return f"fill {fg} stroke none polygon 6,50 46,14 46,36 92,36 92,64 46,64 46,86 "


def p_ladybug():
    """The product's bug in its own colours (logo, setup and statistics titles)."""
    return (f"fill none stroke {INK} stroke-width 6 stroke-linecap round "
            "line 28,46 8,34 line 25,60 5,60 line 28,74 10,88 "
            "line 72,46 92,34 line 75,60 95,60 line 72,74 90,88 "
            "line 42,18 30,4 line 58,18 70,4 "
            f"stroke none fill {INK} circle 50,24 50,38 "
            f"fill {RED} ellipse 50,60 26,32 0,360 "
            f"fill none stroke {INK} stroke-width 4 line 50,30 50,92 "
            f"stroke none fill {INK} circle 38,50 38,56 circle 62,50 62,56 "
            "circle 36,72 36,77 circle 64,72 64,77 ")


# --- image builders ---

def place(mvg, x, y, size):
    """Puts a 100 x 100 pictogram at (x, y) with the given side length."""
    s = size / 100.0
    return (f"push graphic-context translate {x:g},{y:g} scale {s:g},{s:g} "
            f"{mvg} pop graphic-context ")


def render(out, width, height, mvg, opaque=False):
    """Draws mvg (in final pixel units) at SCALE times the size, scales down
    and writes a GIF. Without `opaque`, uncovered pixels are transparent."""
    big = f"{width * SCALE}x{height * SCALE}"
    draw = f"scale {SCALE},{SCALE} " + mvg
    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "big.png")
        subprocess.run(["convert", "-size", big, "xc:none", "-draw", draw, png], check=True)
        common = ["convert", png, "-filter", "Box", "-resize", f"{width}x{height}!"]
        if opaque:
            cmd = common + ["-background", PAGE, "-flatten"]
        else:
            # Colour: the image over the page colour. Opacity: covered more
            # than faintly. GIF then keeps one transparent palette entry.
            cmd = common + ["(", "+clone", "-background", PAGE, "-flatten", ")",
                            "(", "-clone", "0", "-alpha", "extract", "-threshold", "12%", ")",
                            "-delete", "0", "-alpha", "off",
                            "-compose", "CopyOpacity", "-composite"]
        cmd += ["-strip", out]
        subprocess.run(cmd, check=True)


def tile_image(out, size, colour, picto, margin=0.17):
    """A start-page image: a rounded tile of one colour with a white pictogram."""
    r = size * 0.18
    inner = size * (1 - 2 * margin)
    mvg = (f"fill {colour} stroke none roundrectangle 0.5,0.5 {size - 0.5},{size - 0.5} {r},{r} "
           + place(picto(WHITE, colour), size * margin, size * margin, inner))
    render(out, size, size, mvg)


def button_image(out, colour, picto, width=30, height=20):
    """An action button: a rounded bar of one colour with a white pictogram."""
    side = height - 4
    mvg = (f"fill {colour} stroke none roundrectangle 0.5,0.5 {width - 0.5},{height - 0.5} 4,4 "
           f"push graphic-context stroke {WHITE} stroke-opacity 0.35 stroke-width 1 fill none "
           f"roundrectangle 1.5,1.5 {width - 1.5},{height - 1.5} 3,3 pop graphic-context "
           + place(picto(WHITE, colour), (width - side) / 2.0, 2, side))
    render(out, width, height, mvg)


def background(out):
    """fond.gif: a very light tile with a faint diagonal weave."""
    size = 64
    mvg = f"fill {PAGE} stroke none rectangle 0,0 {size},{size} stroke #EFF3F9 stroke-width 1 "
    for k in range(-size, size, 16):
        mvg += f"line {k},0 {k + size},{size} "
    render(out, size, size, mvg, opaque=True)


def logo(out):
    """velko.gif: the bug and the name."""
    w, h = 320, 96
    mvg = (place(p_ladybug(), 6, 8, 80) +
           f"fill {INK} stroke none font '{BOLD}' font-size 60 text 96,72 'VELKO' "
           f"fill {RED} rectangle 98,80 314,84 ")
    render(out, w, h, mvg)


def bug_side(out, mirrored):
    """bugL.gif / bugR.gif: the bug crawling towards the title between them."""
    size = 48
    angle = -60 if mirrored else 60
    mvg = (f"push graphic-context translate {size / 2},{size / 2} rotate {angle} "
           f"translate {-size / 2},{-size / 2} " + place(p_ladybug(), 2, 2, size - 4) +
           "pop graphic-context ")
    render(out, size, size, mvg)


# The seventeen buttons of a report's action bar (30 x 20).
ACTION_BUTTONS = [
    ("header", BLUE, p_pencil),
    ("observe", BLUE, p_eye),
    ("analyse", BLUE, p_magnifier),
    ("attach", BLUE, p_paperclip),
    ("copy", BLUE, p_copy),
    ("assign", GREEN, p_person),
    ("open", GREEN, p_play),
    ("notabug", ORANGE, p_notabug),
    ("notRep", ORANGE, p_question),
    ("duplicate", ORANGE, p_equal),
    ("postpone", ORANGE, p_clock),
    ("correct", GREEN, p_wrench),
    ("forverif", GREEN, p_forverif),
    ("verify", GREEN, p_check),
    ("reject", RED, p_uturn),
    ("abandon", ORANGE, p_cross),
    ("print", SLATE, p_printer),
]

# The buttons of the test book pages (30 x 20, the same style).
BOOK_BUTTONS = [
    ("editbt", BLUE, p_pencil),
    ("viewbt", BLUE, p_eye),
    ("printbt", SLATE, p_printer),
    ("delbt", RED, p_trash),
    ("newbt", GREEN, p_newsheet),
    ("statbt", AMBER, p_chart),
]

# The eight images of the start page (64 x 64).
START_TILES = [
    ("setup", SLATE, p_gear),
    ("new", GREEN, p_newsheet),
    ("list", BLUE, p_list),
    ("book", PURPLE, p_book),
    ("history", TEAL, p_history),
    ("stats", AMBER, p_chart),
    ("help", INDIGO, p_help),
    ("tests", DEEP_ORANGE, p_tests),
]

# Navigation icons of the page headings (32 x 32).
NAV_ICONS = [
    ("home", BLUE, p_house),
    ("larrow", BLUE, p_larrow),
]


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "images")
    if not shutil.which("convert"):
        sys.exit("make_images: ImageMagick's convert is missing "
                 "(apt-get install imagemagick fonts-dejavu-core)")
    os.makedirs(outdir, exist_ok=True)

    def path(name):
        return os.path.join(outdir, name + ".gif")

    background(path("fond"))
    logo(path("velko"))
    bug_side(path("bugL"), mirrored=False)
    bug_side(path("bugR"), mirrored=True)
    for name, colour, picto in START_TILES:
        tile_image(path(name), 64, colour, picto)
    for name, colour, picto in NAV_ICONS:
        tile_image(path(name), 32, colour, picto, margin=0.16)
    for name, colour, picto in ACTION_BUTTONS + BOOK_BUTTONS:
        button_image(path(name), colour, picto)
    print("make_images: %d images in %s" % (
        4 + len(START_TILES) + len(NAV_ICONS) + len(ACTION_BUTTONS) + len(BOOK_BUTTONS),
        outdir))


if __name__ == "__main__":
    main()
