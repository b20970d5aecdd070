"""The static files that the pages point at: the images of images/ and the
help pages of help/. Every image that the pages use is a well-formed GIF
that shows something, with the size that the pages' IMG tags assume;
every local link of a help page leads to an existing file."""
import glob
import html.parser
import os
import re
import struct
import unittest
import urllib.parse

import velkotest

ROOT = velkotest.SOURCE_DIR
IMAGES, HELP = os.path.join(ROOT, "images"), os.path.join(ROOT, "help")
# The seventeen buttons of a report's action bar, shown at 30 x 20.
ACTION_BAR = ["header", "observe", "analyse", "attach", "copy", "assign", "open", "notabug",
              "notRep", "duplicate", "postpone", "correct", "forverif", "verify", "reject",
              "abandon", "print"]
START_PAGE = ["setup", "new", "list", "book", "history", "stats", "help", "tests"]
BOOK_BUTTONS = ["editbt", "viewbt", "printbt", "delbt", "newbt", "statbt", "larrow"]
USED = set(ACTION_BAR + START_PAGE + BOOK_BUTTONS + ["velko", "fond", "home", "bugL", "bugR"])
STATED_SIZES = dict({name: (30, 20) for name in ACTION_BAR}, book=(64, 64), tests=(64, 64))


def lzw_decode(min_size, data, count):
    """`count` palette indices of GIF image data; ValueError on a corrupt stream."""
    clear = 1 << min_size
    out, size, table, prev, bit = bytearray(), min_size + 1, None, None, 0
    while len(out) < count:
        if bit + size > len(data) * 8:
            raise ValueError("image data ends after %d of %d pixels" % (len(out), count))
        code = (int.from_bytes(data[bit // 8:bit // 8 + 3], "little") >> bit % 8) & ((1 << size) - 1)
        bit += size
        if code == clear or table is None:
            if code != clear:
                raise ValueError("image data does not start with a clear code")
            table, size, prev = [bytes([i]) for i in range(clear)] + [b"", b""], min_size + 1, None
            continue
        if code < len(table) and code != clear + 1:
            entry = table[code]
            if prev is not None:
                table.append(prev + entry[:1])
        elif code == len(table) and prev is not None:
            entry = prev + prev[:1]
            table.append(entry)
        else:
            raise ValueError("bad LZW code %d" % code)
        out += entry
        prev = entry
        if len(table) == 1 << size and size < 12:
            size += 1
    return out


def gif_info(path):
    """(width, height, colours the pixels show) of a GIF file; ValueError
    when it is not a complete, well-formed GIF."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] not in (b"GIF87a", b"GIF89a") or len(data) < 13:
        raise ValueError("no GIF header")
    width, height, flags = struct.unpack("<HHB", data[6:11])
    pos, palette = 13, b""
    if flags & 0x80:
        palette = data[13:13 + 3 * (2 << (flags & 7))]
        pos += len(palette)

    def sub_blocks(pos):
        chunks = []
        while pos < len(data) and data[pos]:
            chunks.append(data[pos + 1:pos + 1 + data[pos]])
            pos += 1 + data[pos]
        if pos >= len(data):
            raise ValueError("truncated data sub-blocks")
        return pos + 1, b"".join(chunks)

    used, frames, transparent = set(), 0, None
    while pos < len(data) and data[pos] != 0x3B:  # up to the trailer
        if data[pos] == 0x21:  # extension: label, then sub-blocks
            label = data[pos + 1]
            pos, body = sub_blocks(pos + 2)
            if label == 0xF9 and len(body) >= 4 and body[0] & 1:
                transparent = body[3]
        elif data[pos] == 0x2C:  # image descriptor
            left, top, w, h, iflags = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
            if left + w > width or top + h > height or not w or not h:
                raise ValueError("frame outside the screen")
            pos, colours = pos + 10, palette
            if iflags & 0x80:
                colours = data[pos:pos + 3 * (2 << (iflags & 7))]
                pos += len(colours)
            if not 2 <= data[pos] <= 8:
                raise ValueError("bad LZW code size")
            min_size = data[pos]
            pos, body = sub_blocks(pos + 1)
            for i in set(lzw_decode(min_size, body, w * h)) - {transparent}:
                if 3 * i + 3 > len(colours):
                    raise ValueError("pixel index %d beyond the palette" % i)
                used.add(colours[3 * i:3 * i + 3])
            frames, transparent = frames + 1, None
        else:
            raise ValueError("unknown block 0x%02x at %d" % (data[pos], pos))
    if pos >= len(data) or not frames:
        raise ValueError("no trailer or no image")
    return width, height, used


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
        self.path, self.links, self.ids, self.charset = path, [], set(), None
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
    def gif(self, name):
        try:
            return gif_info(os.path.join(IMAGES, name + ".gif"))
        except (OSError, ValueError) as e:
            self.fail("images/%s.gif: %s" % (name, e))

    def test_images(self):
        for name in sorted(USED | source_image_names()):
            w, h, used = self.gif(name)
            # An image drawn wrong comes out blank: one colour or transparent.
            self.assertGreater(len(used), name != "fond", name)
            self.assertEqual((w, h), STATED_SIZES.get(name, (w, h)), name)
        # The start page is a grid of eight entries of one size.
        self.assertEqual(len({self.gif(name)[:2] for name in START_PAGE}), 1)
        # fond.gif is tiled behind every page: every colour is close to white.
        self.assertGreaterEqual(min(sum(c) / 3 for c in self.gif("fond")[2]), 225)
        with open(os.path.join(IMAGES, "java", "README"), encoding="utf-8") as f:
            self.assertIn("VovoVavo.class", f.read())

    def test_help_pages(self):
        self.assertEqual(sorted(os.listdir(os.path.join(HELP, "en"))),
                         sorted(os.listdir(os.path.join(HELP, "fr"))))
        pages = {p: Page(p) for p in glob.glob(os.path.join(HELP, "**", "*.html"), recursive=True)}
        index = [v for _, v, _ in pages[os.path.join(HELP, "index.html")].links]
        self.assertIn("en/index.html", index)
        self.assertIn("fr/index.html", index)
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
                if os.path.isdir(target):
                    target = os.path.join(target, "index.html")
                self.assertTrue(os.path.isfile(target), (path, value))
                self.assertRegex(os.path.relpath(target, ROOT), r"^(help|images)/", (path, value))
                if url.fragment and target.endswith(".html"):
                    self.assertIn(url.fragment, (pages.get(target) or Page(target)).ids, (path, value))
                if tag == "img" and target.endswith(".gif") and "width" in attrs:
                    w, h, _ = gif_info(target)
                    self.assertEqual((int(attrs["width"]), int(attrs.get("height", h))), (w, h), value)
        for lang in ("en", "fr"):  # the button pages show every button
            shown = {os.path.basename(v)[:-4] for tag, v, _ in
                     pages[os.path.join(HELP, lang, "buttons.html")].links if tag == "img"}
            self.assertEqual(set(ACTION_BAR + BOOK_BUTTONS) - shown, set(), lang)


class StartPageFilesTest(velkotest.VelkoTestCase):
    def test_start_page_images_and_help_exist(self):
        body = self.inst.run(query="").body
        imgs = re.findall(r"<IMG\b([^>]*)>", body)
        self.assertGreaterEqual(len(imgs), 9, body)  # the logo and eight entries
        srcs = re.findall(r'BACKGROUND="?([^" >]+\.gif)', body)
        for attrs in imgs:
            srcs.append(re.search(r'SRC="?([^" >]+)', attrs).group(1))
            size = re.search(r"WIDTH=(\d+) HEIGHT=(\d+)", attrs)
            if size:
                self.assertEqual(gif_info(IMAGES + srcs[-1][len("/velko/images"):])[:2],
                                 tuple(map(int, size.groups())))
        for src in srcs:
            self.assertTrue(src.startswith("/velko/images/"), src)
            self.assertTrue(os.path.isfile(IMAGES + src[len("/velko/images"):]), src)
        # /velko/images/ gives the help folder /velko/help/, images/'s sibling.
        helps = re.findall(r'HREF="?(/velko/help/[^" >]*)', body)
        self.assertIn("/velko/help/", helps)
        for href in helps:
            target = HELP + href[len("/velko/help"):]
            self.assertTrue(os.path.isfile(target + "index.html" if href.endswith("/") else target))


if __name__ == "__main__":
    unittest.main()
