"""The static files that the pages point at: the images of images/ and the
help pages of help/.

Every image name that the pages use must exist as a well-formed GIF, with
the size that the pages' IMG tags assume (the action bar and the two
start-page images that carry WIDTH and HEIGHT); every local link of a help
page must lead to an existing file.
"""
import glob
import html.parser
import os
import re
import struct
import unittest
import urllib.parse

import velkotest

ROOT = velkotest.SOURCE_DIR
IMAGES = os.path.join(ROOT, "images")
HELP = os.path.join(ROOT, "help")

# The seventeen buttons of a report's action bar, shown at 30 x 20.
ACTION_BAR = ["header", "observe", "analyse", "attach", "copy", "assign", "open",
              "notabug", "notRep", "duplicate", "postpone", "correct", "forverif",
              "verify", "reject", "abandon", "print"]
START_PAGE = ["setup", "new", "list", "book", "history", "stats", "help", "tests"]
BOOK_BUTTONS = ["editbt", "viewbt", "printbt", "delbt", "newbt", "statbt", "larrow"]
OTHERS = ["velko", "fond", "home", "larrow", "bugL", "bugR"]

# Sizes fixed by the IMG tags of the pages (WIDTH and HEIGHT attributes).
STATED_SIZES = dict({name: (30, 20) for name in ACTION_BAR},
                    book=(64, 64), tests=(64, 64))


def lzw_decode(min_size, data, count):
    """Decodes GIF image data (the sub-blocks joined) into `count` palette
    indices; raises ValueError on a corrupt code stream."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    out = bytearray()
    size, table, prev = min_size + 1, None, None
    bitpos, total = 0, len(data) * 8
    while len(out) < count:
        if bitpos + size > total:
            raise ValueError("image data ends after %d of %d pixels" % (len(out), count))
        code = (int.from_bytes(data[bitpos // 8:bitpos // 8 + 3], "little") >> (bitpos % 8)) \
            & ((1 << size) - 1)
        bitpos += size
        if code == clear or table is None:
            if code != clear:
                raise ValueError("image data does not start with a clear code")
            table = [bytes([i]) for i in range(clear)] + [b"", b""]
            size, prev = min_size + 1, None
            continue
        if code == end:
            raise ValueError("end code after %d of %d pixels" % (len(out), count))
        if code < len(table):
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
        if len(table) == (1 << size) and size < 12:
            size += 1
    return bytes(out[:count])


def gif_info(path):
    """Parses and decodes a GIF file. Returns (width, height, used), `used`
    being the set of RGB colours that the pixels show; raises ValueError when
    the file is not a complete, well-formed GIF."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] not in (b"GIF87a", b"GIF89a"):
        raise ValueError("no GIF signature")
    if len(data) < 13:
        raise ValueError("truncated screen descriptor")
    width, height, flags = struct.unpack("<HHB", data[6:11])
    if width == 0 or height == 0:
        raise ValueError("empty logical screen")
    pos = 13
    palette = b""
    if flags & 0x80:
        palette = data[pos:pos + 3 * (2 << (flags & 7))]
        pos += len(palette)

    def sub_blocks(pos):
        chunks = []
        while True:
            if pos >= len(data):
                raise ValueError("truncated data sub-blocks")
            n = data[pos]
            pos += 1
            if n == 0:
                return pos, b"".join(chunks)
            chunks.append(data[pos:pos + n])
            pos += n

    used = set()
    frames = 0
    transparent = None
    while True:
        if pos >= len(data):
            raise ValueError("no trailer")
        block = data[pos]
        if block == 0x3B:          # trailer
            break
        if block == 0x21:          # extension: label, then sub-blocks
            label = data[pos + 1] if pos + 1 < len(data) else None
            pos, body = sub_blocks(pos + 2)
            if label == 0xF9 and len(body) >= 4 and body[0] & 1:
                transparent = body[3]
        elif block == 0x2C:        # image descriptor
            if pos + 10 > len(data):
                raise ValueError("truncated image descriptor")
            left, top, w, h, iflags = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
            if left + w > width or top + h > height or w == 0 or h == 0:
                raise ValueError("frame %dx%d+%d+%d outside the %dx%d screen"
                                 % (w, h, left, top, width, height))
            pos += 10
            colours = palette
            if iflags & 0x80:
                colours = data[pos:pos + 3 * (2 << (iflags & 7))]
                pos += len(colours)
            if pos >= len(data) or not 2 <= data[pos] <= 8:
                raise ValueError("bad LZW code size")
            min_size = data[pos]
            pos, body = sub_blocks(pos + 1)
            for index in set(lzw_decode(min_size, body, w * h)):
                if index == transparent:
                    continue
                if 3 * index + 3 > len(colours):
                    raise ValueError("pixel index %d beyond the palette" % index)
                used.add(tuple(colours[3 * index:3 * index + 3]))
            frames += 1
            transparent = None
        else:
            raise ValueError("unknown block 0x%02x at %d" % (block, pos))
    if frames == 0:
        raise ValueError("no image in the file")
    return width, height, used


def source_image_names():
    """Image base names written literally in the program's sources: "x.gif"
    file names, the image argument of the action-bar buttons and the names
    of the test book buttons."""
    names = set()
    for path in glob.glob(os.path.join(ROOT, "src", "*.cpp")) + \
            glob.glob(os.path.join(ROOT, "src", "*.h")):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        # A file name inside a string literal: after a quote or a slash (not
        # a member access such as b.gif of a table row).
        names.update(re.findall(r'(?<=["/])([A-Za-z_][A-Za-z0-9_]*)\.gif\b', text))
        names.update(re.findall(r'displayMenuButton\s*\([^,()]*,\s*"([A-Za-z0-9_]+)"', text))
        names.update(re.findall(r'"([a-z]+bt)"', text))
    return names


class ImageFilesTest(unittest.TestCase):
    def check_gif(self, name):
        path = os.path.join(IMAGES, name + ".gif")
        self.assertTrue(os.path.isfile(path), "images/%s.gif is missing" % name)
        try:
            return gif_info(path)
        except ValueError as e:
            self.fail("images/%s.gif is not a valid GIF: %s" % (name, e))

    def test_every_page_image_is_a_valid_gif(self):
        for name in sorted(set(ACTION_BAR + START_PAGE + BOOK_BUTTONS + OTHERS)):
            with self.subTest(image=name):
                self.check_gif(name)

    def test_images_have_the_size_of_their_img_tags(self):
        for name, size in sorted(STATED_SIZES.items()):
            with self.subTest(image=name):
                self.assertEqual(self.check_gif(name)[:2], size)

    def test_start_page_images_share_one_size(self):
        # The start page is a grid of eight entries; images of mixed sizes
        # would break its rows.
        sizes = {name: self.check_gif(name)[:2] for name in START_PAGE}
        self.assertEqual(len(set(sizes.values())), 1, sizes)

    def test_background_is_light(self):
        # fond.gif is tiled behind every page: text must stay readable, so
        # every colour it shows is close to white and none is transparent.
        _, _, used = self.check_gif("fond")
        self.assertTrue(used)
        self.assertGreaterEqual(min(sum(c) / 3 for c in used), 225, used)

    def test_images_show_more_than_one_colour(self):
        # An image drawn wrong (missing font, failed draw command) comes out
        # blank: all one colour or fully transparent.
        for name in sorted(set(ACTION_BAR + START_PAGE + BOOK_BUTTONS + OTHERS) - {"fond"}):
            with self.subTest(image=name):
                self.assertGreater(len(self.check_gif(name)[2]), 1)

    def test_images_named_by_the_sources_exist(self):
        for name in sorted(source_image_names()):
            with self.subTest(image=name):
                self.check_gif(name)

    def test_applet_folder_exists(self):
        readme = os.path.join(IMAGES, "java", "README")
        self.assertTrue(os.path.isfile(readme))
        with open(readme, encoding="utf-8") as f:
            self.assertIn("VovoVavo.class", f.read())

    def test_gif_parser_rejects_broken_files(self):
        good = os.path.join(IMAGES, "home.gif")
        with open(good, "rb") as f:
            data = f.read()
        import tempfile
        with tempfile.TemporaryDirectory() as tmp:
            for label, broken in (("truncated", data[:len(data) // 2]),
                                  ("no trailer", data[:-1]),
                                  ("not a gif", b"\x89PNG\r\n\x1a\n" + data[8:])):
                p = os.path.join(tmp, "x.gif")
                with open(p, "wb") as f:
                    f.write(broken)
                with self.subTest(case=label), self.assertRaises(ValueError):
                    gif_info(p)


class LinkCollector(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []        # (tag, attribute, value, attrs)
        self.ids = set()
        self.charset = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        for key in ("id", "name"):
            if a.get(key) and tag != "meta":
                self.ids.add(a[key])
        if tag == "meta":
            if a.get("charset"):
                self.charset = a["charset"].lower()
            m = re.search(r"charset=([\w-]+)", a.get("content") or "", re.I)
            if m:
                self.charset = m.group(1).lower()
        for key in ("href", "src"):
            if a.get(key):
                self.links.append((tag, key, a[key], a))


def parse_page(path):
    with open(path, "rb") as f:
        raw = f.read()
    parser = LinkCollector()
    parser.feed(raw.decode("utf-8"))   # raises on bytes that are not UTF-8
    return parser


def help_pages():
    return sorted(glob.glob(os.path.join(HELP, "**", "*.html"), recursive=True))


class HelpPagesTest(unittest.TestCase):
    def test_help_tree_has_both_languages(self):
        self.assertTrue(os.path.isfile(os.path.join(HELP, "index.html")))
        en = sorted(os.listdir(os.path.join(HELP, "en")))
        fr = sorted(os.listdir(os.path.join(HELP, "fr")))
        self.assertIn("index.html", en)
        self.assertEqual(en, fr, "the English and French pages differ")
        links = [v for _, _, v, _ in parse_page(os.path.join(HELP, "index.html")).links]
        self.assertIn("en/index.html", links)
        self.assertIn("fr/index.html", links)

    def test_pages_are_utf8_and_say_so(self):
        for path in help_pages():
            with self.subTest(page=os.path.relpath(path, ROOT)):
                self.assertEqual(parse_page(path).charset, "utf-8")

    def test_local_links_resolve(self):
        pages = {}
        for path in help_pages():
            pages[path] = parse_page(path)
        self.assertTrue(pages)
        for path, page in pages.items():
            for tag, key, value, attrs in page.links:
                url = urllib.parse.urlsplit(value)
                if url.scheme or url.netloc or value.startswith("mailto:"):
                    continue
                with self.subTest(page=os.path.relpath(path, ROOT), link=value):
                    self.assertFalse(url.path.startswith("/"),
                                     "absolute paths break when the tree is served elsewhere")
                    target = os.path.normpath(os.path.join(
                        os.path.dirname(path), urllib.parse.unquote(url.path))) \
                        if url.path else path
                    if os.path.isdir(target):
                        target = os.path.join(target, "index.html")
                    self.assertTrue(os.path.isfile(target), "%s does not exist" % target)
                    # Links stay inside the served folders (help/ and images/).
                    rel = os.path.relpath(target, ROOT)
                    self.assertTrue(rel.startswith("help" + os.sep) or
                                    rel.startswith("images" + os.sep), rel)
                    if url.fragment and target.endswith(".html"):
                        ids = pages[target].ids if target in pages else parse_page(target).ids
                        self.assertIn(url.fragment, ids)
                    if tag == "img" and target.endswith(".gif") and "width" in attrs:
                        w, h, _ = gif_info(target)
                        self.assertEqual((int(attrs["width"]), int(attrs.get("height", h))),
                                         (w, h), "IMG size differs from the image's own")

    def test_button_pages_show_every_action_button(self):
        for lang in ("en", "fr"):
            page = parse_page(os.path.join(HELP, lang, "buttons.html"))
            shown = {os.path.basename(v)[:-4] for tag, _, v, _ in page.links
                     if tag == "img" and v.endswith(".gif")}
            with self.subTest(lang=lang):
                self.assertEqual(set(ACTION_BAR) - shown, set())
                self.assertEqual(set(BOOK_BUTTONS) - shown, set())


class StartPageImagesTest(velkotest.VelkoTestCase):
    """The images and the help link of the start page as the program prints
    them lead to files of the repository's images/ and help/ folders."""

    IMGDIR = "/velko/images/"

    def test_start_page_images_exist(self):
        if not os.access(velkotest.VELKO_BIN, os.X_OK):
            self.skipTest("no executable at %s" % velkotest.VELKO_BIN)
        body = self.inst.run(query="").body
        imgs = re.findall(r'<IMG\b([^>]*)>', body, re.I)
        self.assertGreaterEqual(len(imgs), 9, body)   # the logo and eight entries
        srcs = re.findall(r'BACKGROUND="?([^" >]+\.gif)', body, re.I)
        for attrs in imgs:
            src = re.search(r'SRC="?([^" >]+)', attrs, re.I).group(1)
            srcs.append(src)
            width = re.search(r'WIDTH="?(\d+)', attrs, re.I)
            height = re.search(r'HEIGHT="?(\d+)', attrs, re.I)
            if width and height and src.startswith(self.IMGDIR):
                with self.subTest(src=src, size="tag"):
                    path = os.path.join(IMAGES, src[len(self.IMGDIR):].lstrip("/"))
                    self.assertEqual(gif_info(path)[:2],
                                     (int(width.group(1)), int(height.group(1))))
        for src in srcs:
            with self.subTest(src=src):
                self.assertTrue(src.startswith(self.IMGDIR), src)
                name = src[len(self.IMGDIR):].lstrip("/")
                self.assertTrue(os.path.isfile(os.path.join(IMAGES, name)), name)
        # /velko/images/ gives the help folder /velko/help/, the sibling of
        # images/; every link into it names a file of help/.
        helps = re.findall(r'HREF="?(/velko/help/[^" >]*)', body, re.I)
        self.assertIn("/velko/help/", helps)
        for href in helps:
            with self.subTest(href=href):
                target = os.path.join(HELP, href[len("/velko/help/"):])
                if href.endswith("/"):
                    target = os.path.join(target, "index.html")
                self.assertTrue(os.path.isfile(target), target)


if __name__ == "__main__":
    unittest.main()
