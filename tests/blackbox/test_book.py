"""The test book through the executable: module, step and test files as
the pages store them, their numbering and keys, the views, the deletion
guards, the book page with its lists and buttons, and (in headless
chromium) a module, a step and a test made through the pages."""
import html
import html.parser
import os
import re
import sys
import time
import unittest
import urllib.parse

from velkotest import VelkoTestCase

BOOK = ("data", "Tests", "TEST", "10", "S", "Book")  # phase 0, letter S
PLACE = {"project": "TEST", "group": "phase 1", "phase": "0"}


class FormReader(html.parser.HTMLParser):
    """The fields of a page's forms as a browser submits them: text areas
    without the line end that follows their tag, line ends sent as CR LF;
    a selection's chosen option (or its first) by value or text."""

    def __init__(self, body):
        super().__init__(convert_charrefs=True)
        self.fields, self._area, self._select, self._option = [], None, None, None
        self.feed(body)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "input" and (a.get("type") or "text").lower() in ("text", "hidden") and "name" in a:
            self.fields.append((a["name"], a.get("value") or ""))
        elif tag == "textarea":
            self._area = [a["name"], ""]
        elif tag == "select":
            self._select = [a.get("name"), None, None]
        elif tag == "option" and self._select:
            self._option = [a.get("value"), "", "selected" in a]

    def handle_data(self, data):
        if self._area is not None:
            self._area[1] += data
        elif self._option is not None:
            self._option[1] += data

    def handle_endtag(self, tag):
        if tag == "textarea" and self._area:
            text = self._area[1][1:] if self._area[1].startswith("\n") else self._area[1]
            self.fields.append((self._area[0], text.replace("\r\n", "\n").replace("\n", "\r\n")))
            self._area = None
        elif tag == "select" and self._select:
            self.option_end()
            if self._select[0]:
                self.fields.append((self._select[0], self._select[1] or self._select[2] or ""))
            self._select = None

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)

    def option_end(self):
        if self._option:
            value = self._option[0] if self._option[0] is not None else self._option[1].strip()
            if self._option[2]:
                self._select[1] = value
            elif self._select[2] is None:
                self._select[2] = value
            self._option = None

    def unknown_decl(self, data):
        pass


# Options end at the next option: close the one open before a new one.
_orig_start = FormReader.handle_starttag
FormReader.handle_starttag = lambda self, tag, attrs: (
    self.option_end() if tag == "option" else None, _orig_start(self, tag, attrs))[1]


class BookCase(VelkoTestCase):
    def setUp(self):
        super().setUp()
        self.inst.write("cfg/TEST_subproject.cfg", "phase 1:10\nteam two:T2\n")

    def L(self, n, *args):
        return self.inst.lang(n) % args if args else self.inst.lang(n)

    def get(self, **args):
        return self.inst.run(urllib.parse.urlencode(dict(PLACE, CMD="book", **args)))

    def post(self, fields=None, **args):
        return self.inst.run(post=urllib.parse.urlencode(
            fields if fields is not None else dict(PLACE, CMD="book", **args)))

    def resubmit(self, page, **changes):
        """Submits the form of `page` as a browser would, with `changes`."""
        fields = dict(FormReader(page.body).fields)
        fields.update(changes)
        return self.post(list(fields.items()))

    def file(self, name, data=None):
        path = self.inst.path(*BOOK, name)
        if data is not None:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(path, "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.inst.path(*BOOK, name))

    def new_test(self, mod="M", step="S", **fields):
        texts = dict(obj="", env="", pre="", steps="", exp="", post="", notes="")
        texts.update(fields)
        return self.post(**dict(dict(book=8, mod=mod, step=step, title="A test", submitter="admin",
                                     impact="b", ref=""), **texts))


class ModulesAndSteps(BookCase):
    def test_create_edit_and_keys(self):
        r = self.post(book=4, mod="M1", title="First <module>", text="line1\r\nline2\r\n")
        self.assertIns(r.body, "<H1>%s</H1>" % self.L(1024), "First &lt;module&gt;",
                       "line1\r<BR>\nline2</TD>",
                       'phase=a&mod=M1"><IMG BORDER=0 SRC=/velko/images//larrow.gif>')
        self.assertEqual(self.file("mod.M1"), b"First <module>\nline1\r\nline2\n")
        # A second creation of the key is refused and changes nothing.
        r = self.post(book=4, mod="M1", title="Other", text="x")
        self.assertIn(html.escape(self.L(1026, "M1"), quote=True), r.body)
        self.assertEqual(self.file("mod.M1"), b"First <module>\nline1\r\nline2\n")
        # The edit form sent back unchanged, twice, leaves the file as it is.
        for _ in range(2):
            form = self.get(book=9, mod="M1")
            self.assertIn('<INPUT TYPE="hidden" NAME="book" VALUE="10">', form.body)
            r = self.resubmit(form)
            self.assertIn("<H1>%s M1</H1>" % self.L(1025), r.body)
            self.assertEqual(self.file("mod.M1"), b"First <module>\nline1\r\nline2\n")
        self.resubmit(self.get(book=9, mod="M1"), title="Renamed")
        self.assertEqual(self.file("mod.M1"), b"Renamed\nline1\r\nline2\n")
        # Steps: the same rules, their own texts.
        r = self.post(book=6, mod="M1", step="S1", title="Step one", text="   indented\n")
        self.assertIns(r.body, "<H1>%s</H1>" % self.L(1032), "Step one")
        self.assertEqual(self.file("step.M1.S1"), b"Step one\n   indented\n")
        self.assertIn("<TEXTAREA NAME=\"text\" ROWS=15 COLS=70>\nindented\n</TEXTAREA>",
                      self.get(book=11, mod="M1", step="S1").body)
        r = self.post(book=6, mod="M1", step="S1", title="again")
        self.assertIn(html.escape(self.L(1034, "S1"), quote=True), r.body)
        before = self.inst.snapshot()
        for key in ("a/b", "..", "a.b", "a\\b", "x" * 40, "tab\tkey"):
            r = self.post(book=4, mod=key, title="T")
            self.assertIn(html.escape(self.L(1041, key), quote=True), r.body, key)
            r = self.post(book=6, mod="M1", step=key, title="T")
            self.assertIn(html.escape(self.L(1041, key), quote=True), r.body, key)
        for fields in ({"mod": "", "title": "T"}, {"mod": "K", "title": ""}, {"mod": "K"}):
            self.assertIn(self.L(502), self.post(book=4, **fields).body)
        self.assertEqual(self.inst.snapshot(), before)

    def test_lists_and_views(self):
        for mod in ("AB", "A"):
            self.post(book=4, mod=mod, title="Module " + mod)
        for mod, step in (("A", "s2"), ("A", "s1"), ("AB", "x")):
            self.post(book=6, mod=mod, step=step, title="Step %s %s" % (mod, step), text="<b>d</b>")
        self.file(".hidden", b"")
        self.file("mod..hidden", b"")
        page = self.get(phase="a", mod="A").body
        self.assertIns(page, "<OPTION >&nbsp\n<OPTION SELECTED Value=A>A\n<OPTION Value=AB>AB\n"
                       "</SELECT>", "<OPTION >&nbsp\n<OPTION Value=s1>s1\n<OPTION Value=s2>s2\n"
                       "</SELECT>", absent=["Value=x>", "Value=.hidden"])
        # The whole book: every module, its steps in order, descriptions escaped.
        view = self.get(book=24).body
        order = [view.find(t) for t in ("Module A<", "Step A s1", "Step A s2", "Module AB", "Step AB x")]
        self.assertEqual(order, sorted(order), order)
        self.assertIn("&lt;b&gt;d&lt;/b&gt;", view)
        self.assertNotIn("<b>d</b>", view)


class Tests(BookCase):
    def setUp(self):
        super().setUp()
        self.post(book=4, mod="M", title="Module")
        self.post(book=6, mod="M", step="S", title="Step")

    def test_file_format_and_numbering(self):
        t0 = int(time.time())
        r = self.new_test(title="First", obj="abc\r\n", env="\r\n", ref="")
        data = self.file("test.M.S.000")
        head = data.split(b"\n", 11)
        self.assertEqual(head[:2] + head[3:11], [b"0", b"admin", b"TEST", b"phase 1", b"0", b"M",
                                                 b"S", b"First", b"1", b" "])
        self.assertLessEqual(abs(int(head[2]) - t0), 5)
        self.assertEqual(head[11], b"3 abc0 0 0 0 0 0 ")
        self.assertIns(r.body, "<B>000</B>", "phase=a&mod=M&step=S&test=000\"><IMG BORDER=0 SRC="
                       "/velko/images//larrow.gif></A><BR> \n", "<I>%s:</I><BR>\nabc</TD>" % self.L(1002),
                       absent=["<I>%s:</I>" % self.L(1003)])
        for _ in range(3):
            self.new_test()
        os.remove(self.inst.path(*BOOK, "test.M.S.002"))
        self.new_test(title="Fills the gap")
        self.assertIn(b"Fills the gap", self.file("test.M.S.002"))
        self.assertEqual(self.get(phase="a", mod="M", step="S").body.count("<OPTION Value=00"), 4)
        # Every byte but the no-break space (which the request decoder reads
        # as a blank) is stored as sent.
        text = "".join(chr(i) for i in range(256) if i != 0xA0) + "12 \n"
        self.post(dict(PLACE, CMD="book", book=8, mod="M", step="S", title="bytes",
                       submitter="admin", notes=text.encode("latin-1") + b"\r\n",
                       steps="  lead\r\n\r\n"))
        data = self.file("test.M.S.004")
        self.assertTrue(data.endswith(b"0 8   lead\r\n0 0 %d " % len(text) + text.encode("latin-1")))
        # The edit form sent back unchanged stores the same bytes, keeping
        # number and date; a change of author and impact replaces them.
        self.new_test(title="\u00e9t\u00e9 <b>", steps="  1. <a>&amp;\r\n\r\n2.\r\n",
                      notes="\r\nlast", ref="REQ 1")
        data = self.file("test.M.S.005")
        form = self.get(book=13, mod="M", step="S", test="005")
        self.assertIn("<H1>%s</H1>" % self.L(1010), form.body)
        for _ in range(2):
            self.resubmit(form)
            self.assertEqual(self.file("test.M.S.005"), data)
        r = self.resubmit(form, submitter="", impact="z", title="renamed")
        new = self.file("test.M.S.005").split(b"\n", 11)
        self.assertEqual([new[0], new[1], new[2], new[8], new[9], new[10]],
                         [b"5", b"", data.split(b"\n")[2], b"renamed", b"-1", b"REQ 1"])
        self.assertIn("<B>005</B>", r.body)

    def test_simultaneous_creations_keep_every_test(self):
        procs = [self.inst.spawn(post=urllib.parse.urlencode(dict(
            PLACE, CMD="book", book=8, mod="M", step="S", title="parallel %d" % k, submitter="admin")))
            for k in range(8)]
        for p in procs:
            p.communicate(timeout=60)
        titles = sorted(self.file("test.M.S.%03d" % n).split(b"\n")[8] for n in range(8))
        self.assertEqual(titles, sorted(b"parallel %d" % k for k in range(8)))
        self.assertEqual([n for n in os.listdir(self.inst.path(*BOOK)) if n.startswith(".")], [])

    def test_views_of_hand_written_files(self):
        # Identity from the path: the file says test 9 of another book.
        self.file("test.M.S.004", b"9\nbob\n1100000000\nOTHER\nx\n5\nX\nY\nCopied\n2\n" +
                  b"r" * 250 + b"\n1  0 4 <i>\n5 \n\n\n0 0 0 0 ")
        view = self.get(book=21, mod="M", step="S", test="004").body
        self.assertIns(view, "<B>004</B>", "Copied", "<B>%s</B>" % ("r" * 199),
                       "<I>%s:</I><BR>\n </TD>" % self.L(1002), "&lt;i&gt;", "<BR>\n<BR>\n<BR>\n",
                       absent=["<I>%s:</I>" % self.L(1003), "r" * 200, "<i>"])
        self.assertIn(self.L(1043, "M.S.005"), self.get(book=21, mod="M", step="S", test="5").body)
        self.assertIn("Copied", self.get(book=18, mod="M", step="S").body)

    def test_deletion_guards(self):
        self.new_test()
        for camp in ("2003.01.10", "rel-2"):
            self.file("test/C.%s/M.S.000" % camp, b"admin\n1\n \n2\n0 0 ")
        os.makedirs(self.inst.path(*BOOK, "test", "C.empty"))
        r = self.get(book=23, mod="M", step="S", test="000")
        self.assertIns(r.body, "<P>%s<B>M.S.000</B> %s<UL>\n<LI>2003.01.10</LI> \n<LI>rel-2</LI> \n"
                       "</UL>" % (self.L(1011), self.L(1012)), "Book/test/C.<i>&lt;%s&gt;</i>" %
                       self.L(1017), absent=["<LI>empty"])
        self.assertTrue(self.exists("test.M.S.000"))
        r = self.get(book=20, mod="M", step="S")
        self.assertIn("<P>%s <B>M.S</B> %s%s\n" % (self.L(1029), self.L(1030), self.L(1031)), r.body)
        r = self.get(book=17, mod="M")
        self.assertIn("<P>%s <B>M</B> %s.%s.\n" % (self.L(1000), self.L(1022), self.L(1023)), r.body)
        self.assertTrue(self.exists("step.M.S") and self.exists("mod.M"))
        # A test number that is no number deletes nothing.
        self.get(book=23, mod="M", step="S", test="x")
        self.assertTrue(self.exists("test.M.S.000"))
        for camp in ("2003.01.10", "rel-2"):
            os.remove(self.inst.path(*BOOK, "test", "C." + camp, "M.S.000"))
        for book, args, name in ((23, {"test": "000"}, "test.M.S.000"), (20, {}, "step.M.S"),
                                 (17, {}, "mod.M")):
            r = self.get(book=book, mod="M", step="S", **args)
            self.assertFalse(self.exists(name), name)
            # The book page follows, in the same phase.
            self.assertIns(r.body, self.L(1037), '<OPTION SELECTED VALUE="a">')


class BookPage(BookCase):
    def test_choices_buttons_and_script(self):
        page = self.get(phase="c").body
        self.assertIns(page, '<OPTION SELECTED VALUE="c">', "&phase=2&mod=+&step=+&test=+&book=3\"> \n"
                       "<IMG BORDER=0 SRC=/velko/images//newbt.gif ALT=\"%s\" TITLE=\"%s\"></A>" %
                       (self.L(1104), self.L(1104)),
                       '      page = "/cgi-bin/velko?CMD=book&project=TEST&group=phase+1&phase=c&mod="'
                       ' + page \n', absent=["book=9", "<SELECT  onChange="])
        # A digit is not a phase letter: the user's phase (none here, then 4).
        self.assertNotIn(self.L(1038), self.get(phase="2").body)
        self.inst.write("cfg/userinfo.dat", "127.0.0.1:admin:TEST:team two:4\n")
        page = self.inst.run("CMD=book&phase=2").body
        self.assertIns(page, '<OPTION SELECTED VALUE="e">', "&group=team+two&phase=4&",
                       '<OPTION VALUE="/cgi-bin/velko?CMD=book&project=TEST&group=team+two" '
                       "SELECTED >  team two \n".replace("  ", " "))
        self.post(book=4, mod="M", title="Module")
        page = self.get(phase="a", mod="M").body
        for code in (9, 15, 16, 17, 5):
            self.assertIn("&phase=0&mod=M&step=+&test=+&book=%d\"" % code, page)
        self.assertNotIn("book=11", page)
        # book 26 on the book side is the book page; the campaign side never
        # runs a book operation.
        self.assertIn(self.L(1037), self.get(book=26).body)
        self.inst.run(urllib.parse.urlencode(dict(PLACE, CMD="tests", book=4, mod="Z", title="Z")))
        self.assertFalse(self.exists("mod.Z"))

    def test_refused_books(self):
        before = self.inst.snapshot()
        r = self.post(dict(PLACE, CMD="book", book=4, mod="M", title="T", project="../../../tmp"))
        self.assertIn(html.escape(self.L(529, "../../../tmp"), quote=True), r.body)
        for args in ({"phase": "99"}, {"phase": "-1"}, {"group": "no such group"}):
            r = self.post(dict(PLACE, CMD="book", book=4, mod="M", title="T", **args))
            self.assertIn(self.L(1042), r.body)
        self.assertEqual(self.inst.snapshot(), before)
        self.assertFalse(os.path.exists(self.inst.path("data", "Tests")))


class BookSecurity(BookCase):
    install_args = {"security": True}

    def test_changes_need_a_session(self):
        r = self.post(book=4, mod="M", title="T")
        self.assertIn(self.L(518), r.body)
        self.assertFalse(self.exists("mod.M"))
        uid = self.inst.login("admin", "admin")
        r = self.post(book=4, mod="M", title="T", Uid=uid)
        self.assertTrue(self.exists("mod.M"))
        self.assertIn("&Uid=" + urllib.parse.quote_plus(uid), r.body)
        form = self.get(book=7, mod="M", step="S", Uid=uid).body
        self.assertIn('<INPUT TYPE="hidden" NAME="Uid" VALUE="%s">' % html.escape(uid), form)


# -- the pages in headless chromium

import test_e2e_browser as e2e  # noqa: E402 (its classes stay out of this module)


class BookBrowserTest(e2e.BrowserTest):
    def test_module_step_and_test_through_the_pages(self):
        from selenium.webdriver.support.ui import Select
        b = self.b
        b.get(self.srv.url() + "?CMD=book&project=TEST&group=phase+1&phase=a")
        self.assertIn(self.L(1037), self.text())
        self.load(self.css('a[href*="book=3"]'))
        self.fill(title="Login module", mod="LOG", text="Everything about logging in.")
        self.load()
        self.assertIn("Login module", self.text())
        self.load(self.css('a[href*="mod=LOG"]'))  # the back arrow
        self.assertEqual(Select(self.css("select[onchange*=',1)']")).first_selected_option.text
                         .strip(), "LOG")
        self.load(self.css("a[href*='book=5']"))
        self.fill(title="Password", step="PW", text="Wrong and right passwords.")
        self.load()
        self.load(self.css('a[href*="step=PW"]'))
        self.load(self.css("a[href*='book=7']"))
        # The text areas hold their text and a line end: typed over, as a
        # person selecting their contents does.
        self.js("for (const t of document.querySelectorAll('textarea')) t.value = '';")
        self.fill(title="Wrong password refused", submitter="admin", impact=e2e.FIRST,
                  obj="The login refuses\na wrong password.", ref="REQ-7")
        self.load()
        text = self.text()
        for part in ("Wrong password refused", "REQ-7", "a wrong password."):
            self.assertIn(part, text)
        with open(self.srv.path("data", "Tests", "TEST", "10", "S", "Book", "test.LOG.PW.000"),
                  "rb") as f:
            data = f.read()
        self.assertIn(b"\nWrong password refused\n0\nREQ-7\n", data)
        self.assertIn(b"36 The login refuses\r\na wrong password.0 ", data)
        # Back on the book page, the test is chosen; choosing an entry of a
        # list reloads the page with the choices above it kept.
        self.load(self.css('a[href*="test=000"]'))
        self.assertTrue(self.css("a[href*='book=21']"))
        for menu, entry, expect in ((3, 0, "&step=PW&test="), (3, 1, "&test=000"),
                                    (2, 0, "&mod=LOG&step="), (2, 1, "&mod=LOG&step=PW")):
            self.js("window.__velkoOld = 1;")
            Select(self.css("select[onchange*=',%d)']" % menu)).select_by_index(entry)
            self.until(lambda: self.js("return window.__velkoOld === undefined && "
                                       "document.readyState === 'complete';"), "the book page")
            self.assertIn(expect, b.current_url)
            self.assertIn(self.L(1037), self.text())
        self.assertTrue(b.current_url.endswith("phase=a&mod=LOG&step=PW"), b.current_url)


# Only the test above runs here; the end-to-end module runs its own.
for _name in dir(e2e.BrowserTest):
    if _name.startswith("test") and _name not in BookBrowserTest.__dict__:
        setattr(BookBrowserTest, _name, None)
