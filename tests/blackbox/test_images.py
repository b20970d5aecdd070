"""The static files that the pages point at: every image that the pages use
is a well-formed GIF with the size that the pages' IMG tags assume, and
every local link of a help page leads to an existing file of help/ or
images/. (That the images show in a browser: test_e2e_browser.)"""
import glob
import html.parser
import os
import re
import struct
import unittest
import urllib.parse

from velkotest import SOURCE_DIR as ROOT

IMAGES, HELP = os.path.join(ROOT, "images"), os.path.join(ROOT, "help")
# The seventeen buttons of a report's action bar, shown at 30 x 20.
ACTION_BAR = ["header", "observe", "analyse", "attach", "copy", "assign", "open", "notabug",
              "notRep", "duplicate", "postpone", "correct", "forverif", "verify", "reject",
              "abandon", "print"]
START_PAGE = ["setup", "new", "list", "book", "history", "stats", "help", "tests"]
BOOK_BUTTONS = ["editbt", "viewbt", "printbt", "delbt", "newbt", "statbt", "larrow"]
USED = set(ACTION_BAR + START_PAGE + BOOK_BUTTONS + ["velko", "fond", "home", "bugL", "bugR"])
STATED_SIZES = dict({name: (30, 20) for name in ACTION_BAR}, book=(64, 64), tests=(64, 64))


def gif_size(path):
    """(width, height) of a GIF file; ValueError when its blocks do not
    make a complete GIF with at least one image inside the screen."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] not in (b"GIF87a", b"GIF89a") or len(data) < 13:
        raise ValueError("no GIF header")
    width, height, flags = struct.unpack("<HHB", data[6:11])
    pos, frames = 13 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0), 0
    while data[pos] != 0x3B:  # up to the trailer; IndexError when cut short
        if data[pos] == 0x2C:  # an image: descriptor, colour table, LZW code size
            left, top, w, h, iflags = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
            if left + w > width or top + h > height or not w * h or not 2 <= data[pos + 10] <= 8:
                raise ValueError("frame outside the screen or bad code size")
            pos += 11 + (3 * (2 << (iflags & 7)) if iflags & 0x80 else 0)
            frames += 1
        elif data[pos] == 0x21:  # an extension: introducer and label
            pos += 2
        else:
            raise ValueError("unknown block 0x%02x at %d" % (data[pos], pos))
        while data[pos]:  # the data sub-blocks
            pos += 1 + data[pos]
        pos += 1
    if not frames or pos != len(data) - 1:
        raise ValueError("no image, or bytes after the trailer")
    return width, height


def source_image_names():
    """Image names written in the program's sources: "x.gif" file names, the
    action-bar buttons' image argument and the test book's buttons."""
    names = set()
    for path in glob.glob(os.path.join(ROOT, "src", "*.cpp")) + glob.glob(os.path.join(ROOT, "src", "*.h")):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        names.update(re.findall(r'(?<=["/])([A-Za-z_][A-Za-z0-9_]*)\.gif\b', text))
        names.update(re.findall(r'displayMenuButton\s*\([^,()]*,\s*"([A-Za-z0-9_]+)"', text))
        names.update(re.findall(r'"([a-z]+bt)"', text))
    return names


class Page(html.parser.HTMLParser):
    """The links, ids and character set of a help page (UTF-8, or it raises)."""

    def __init__(self, path):
        super().__init__()
        self.links, self.ids, self.charset = [], set(), None
        with open(path, "rb") as f:
            self.feed(f.read().decode("utf-8"))

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "meta":
            m = re.search(r"charset=([\w-]+)", "charset=%s" % a["charset"] if a.get("charset")
                          else a.get("content") or "", re.I)
            self.charset = m.group(1).lower() if m else self.charset
        else:
            self.ids.update(a[k] for k in ("id", "name") if a.get(k))
        self.links += [(tag, a[k], a) for k in ("href", "src") if a.get(k)]


class StaticFilesTest(unittest.TestCase):
    def test_images(self):
        sizes = {}
        for name in sorted(USED | source_image_names()):
            try:
                sizes[name] = gif_size(os.path.join(IMAGES, name + ".gif"))
            except (OSError, ValueError, IndexError, struct.error) as e:
                self.fail("images/%s.gif: %r" % (name, e))
            self.assertEqual(sizes[name], STATED_SIZES.get(name, sizes[name]), name)
        # The start page is a grid of eight entries of one size.
        self.assertEqual(len({sizes[name] for name in START_PAGE}), 1)
        with open(os.path.join(IMAGES, "java", "README"), encoding="utf-8") as f:
            self.assertIn("VovoVavo.class", f.read())

    def test_help_pages(self):
        self.assertEqual(sorted(os.listdir(os.path.join(HELP, "en"))),
                         sorted(os.listdir(os.path.join(HELP, "fr"))))
        pages = {p: Page(p) for p in glob.glob(os.path.join(HELP, "**", "*.html"), recursive=True)}
        index = [v for _, v, _ in pages[os.path.join(HELP, "index.html")].links]
        self.assertTrue({"en/index.html", "fr/index.html"} <= set(index), index)
        for path, page in pages.items():
            self.assertEqual(page.charset, "utf-8", path)
            for tag, value, attrs in page.links:
                url = urllib.parse.urlsplit(value)
                if url.scheme or url.netloc:
                    continue
                # Relative links, inside the served folders help/ and images/.
                self.assertFalse(url.path.startswith("/"), (path, value))
                target = os.path.normpath(os.path.join(
                    os.path.dirname(path), urllib.parse.unquote(url.path))) if url.path else path
                target = os.path.join(target, "index.html") if os.path.isdir(target) else target
                self.assertTrue(os.path.isfile(target), (path, value))
                self.assertRegex(os.path.relpath(target, ROOT), r"^(help|images)/", (path, value))
                if url.fragment and target.endswith(".html"):
                    self.assertIn(url.fragment, (pages.get(target) or Page(target)).ids, (path, value))
                if tag == "img" and target.endswith(".gif") and "width" in attrs:
                    w, h = gif_size(target)
                    self.assertEqual((int(attrs["width"]), int(attrs.get("height", h))), (w, h), value)
        for lang in ("en", "fr"):  # the button pages show every button
            shown = {os.path.basename(v)[:-4] for tag, v, _ in
                     pages[os.path.join(HELP, lang, "buttons.html")].links if tag == "img"}
            self.assertEqual(set(ACTION_BAR + BOOK_BUTTONS) - shown, set(), lang)


if __name__ == "__main__":
    unittest.main()
