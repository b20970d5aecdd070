"""The page head and the start page."""
import re
import unittest
import urllib.parse

import velkotest
from test_login import hidden_fields, lang_text, setup_install

MENU = [  # label text, image, link (CMD or the help directory)
    (3000, "setup.gif", "/cgi-bin/velko?CMD=setup"),
    (3001, "new.gif", "/cgi-bin/velko?CMD=create"),
    (3002, "list.gif", "/cgi-bin/velko?CMD=search"),
    (3003, "book.gif", "/cgi-bin/velko?CMD=book"),
    (3004, "history.gif", "/cgi-bin/velko?CMD=history"),
    (3005, "stats.gif", "/cgi-bin/velko?CMD=statS"),
    (3006, "help.gif", "/velko/help/"),
    (3007, "tests.gif", "/cgi-bin/velko?CMD=tests"),
]


class StartPageTest(velkotest.VelkoTestCase):
    def setUp(self):
        super().setUp()
        setup_install(self.inst, {"Alpha": ["alice :a@x:wonder:YES:YES:YES:YES:YES:YES:YES"]})

    def test_head_and_banner(self):
        r = self.inst.run(query="")
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertTrue(r.body.startswith(
            "<HTML>\n<HEAD>\n"
            '<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">\n'
            "<TITLE>VELKO</TITLE>\n</HEAD>\n"
            '<BODY BACKGROUND=/velko/images//fond.gif BGCOLOR="#FFFFFF" TEXT="#000000" >\n'
            "<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=40%> <TR>\n"),
            r.body[:600])
        # Security off: no cookie script, no onLoad, no identifier in links.
        self.assertNotIn("SCRIPT", r.body)
        self.assertNotIn("onLoad", r.body)
        self.assertNotIn("Uid", r.body)
        self.assertIn('SRC="/velko/images//velko.gif" ALT=VELKO BORDER=0', r.body)
        self.assertIn("<B> v4.6 %s</B>" % lang_text(self.inst, 1), r.body)
        self.assertIn("</TABLE><BR>\n", r.body)
        self.assertNotIn("Please update langage file", r.body)

    def test_menu_entries_in_order(self):
        r = self.inst.run(query="")
        menu = r.body[r.body.index("HEIGHT=50%> <TR>\n"):]
        self.assertTrue(menu.startswith("HEIGHT=50%> <TR>\n<TD>&nbsp</TD>\n"))
        self.assertEqual(menu.count("<TD>&nbsp</TD>"), 4)  # both rows framed
        links = re.findall(r'<A HREF="([^"]*)">\n<IMG SRC="/velko/images//([a-z]+\.gif)"'
                           r'([^>]*)><BR>([^<]*)</A>', menu)
        self.assertEqual([(l, img) for l, img, _, _ in links], [(m[2], m[1]) for m in MENU])
        for (label, _, _), (_, _, attrs, text) in zip(MENU, links):
            self.assertEqual(text, lang_text(self.inst, label))
            large = label in (3003, 3007)
            self.assertIn(('ALT="%s"' if large else "ALT=%s") % lang_text(self.inst, label), attrs)
        self.assertIn("WIDTH=64 HEIGHT=64", links[3][2])
        self.assertIn("WIDTH=64 HEIGHT=64", links[7][2])
        self.assertNotIn("WIDTH=64", links[0][2])
        self.assertIn("</TABLE>\n\n\n\n", r.body)  # the page ends with three line feeds

    def test_only_uid_gives_the_start_page(self):
        r = self.inst.run(query="Uid=" + urllib.parse.quote("<b>x"))
        self.assertIn("<TITLE>VELKO</TITLE>", r.body)
        self.assertIn("CMD=create", r.body)
        self.assertNotIn("<b>", r.body)

    def test_version_mismatch_warns(self):
        with open(self.inst.path("cfg", "langue.EN"), "a", encoding="utf-8") as f:
            f.write("2,v4.5\n")
        r = self.inst.run(query="")
        self.assertIn("<P Align=Center><FONT COLOR=RED>Please update langage file "
                      "langue.EN in configuration directory.</P></FONT>\n", r.body)
        self.assertIn("CMD=create", r.body)  # shown all the same

    def test_missing_language_file_comment_follows_the_header(self):
        import os
        os.remove(self.inst.path("cfg", "langue.EN"))
        r = self.inst.run(query="")
        self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"), r.raw[:200])
        self.assertEqual(r.raw.count(b"Content-type"), 1)
        self.assertIn("<! langue file", r.body)

    def test_image_and_help_directories_follow_the_configuration(self):
        cfg = self.inst.read("config/velko.cfg").replace("IMGDIR /velko/images/",
                                                          "IMGDIR /static/x/img///")
        self.inst.write_main_cfg(cfg)
        r = self.inst.run(query="")
        self.assertIn('<A HREF="/static/x/help/">', r.body)
        self.assertIn('BACKGROUND=/static/x/img////fond.gif', r.body)


class FrenchStartPageTest(velkotest.VelkoTestCase):
    install_args = {"language": "FR"}

    def test_labels_are_utf8(self):
        r = self.inst.run(query="")
        self.assertIn("charset=UTF-8", r.body)
        label = lang_text_fr(self.inst, 3001)
        self.assertTrue(label)
        self.assertIn("<BR>%s</A>" % label, r.body)
        self.assertIn(label.encode("utf-8"), r.body_bytes)


def lang_text_fr(inst, num):
    with open(inst.path("cfg", "langue.FR"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"(\d+),(.*)", line.rstrip("\r\n"))
            if m and int(m.group(1)) == num:
                return m.group(2)
    return ""


class SecureStartPageTest(velkotest.VelkoTestCase):
    install_args = {"security": True}

    def setUp(self):
        super().setUp()
        setup_install(self.inst, {"Alpha": ["alice :a@x:wonder:YES:YES:YES:YES:YES:YES:YES"]})

    def test_head_carries_the_session_check(self):
        r = self.inst.run(query="")
        head = r.body[:r.body.index("<TITLE>")]
        self.assertIn('<SCRIPT LANGUAGE=JavaScript>\nfunction getCookie(nom)', head)
        self.assertIn("function ecritCookie(nom, valeur, expire)", head)
        self.assertIn("function CookieCheck()", head)
        self.assertIn("<!title:VELKO>\n<!uid: >\n", head)
        self.assertIn('TEXT="#000000" onLoad="CookieCheck()">\n', r.body)

    def test_without_session_the_login_replaces_the_menu(self):
        r = self.inst.run(query="")
        self.assertNotIn("CMD=create", r.body)
        self.assertIn(("Login", "2"), hidden_fields(r.body))
        self.assertIn('TYPE=password NAME="Passwd"', r.body)
        self.assertIn('SRC="/velko/images//velko.gif"', r.body)  # the banner stays


if __name__ == "__main__":
    unittest.main()
