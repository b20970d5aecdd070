"""The request front end as a client sees it, byte for byte: decoding of the
three request shapes, the trace files, dispatch and the fallback dump, the
reading of velko.cfg and of the language table, the page head and the start
page, and the selection lists of the creation form."""
import os
import re
import unittest
import urllib.parse

from velkotest import Install, VelkoTestCase, multipart

TRACE = "/tmp/velko.tra"
BOUNDARY = "----WebKitFormBoundaryQa1Conf0rmance"
MAIN = "VELKO Problem Report Tracker"


def dump(*pairs):
    """The fallback dump of the given (name, value) pairs, in list order."""
    return ("Content-type: text/html\n\n<PRE>" + "".join("%s : '%s'\n" % p for p in pairs)).encode()


class Decoding(VelkoTestCase):
    def run_traced(self, marker, **kw):
        """Runs a request and reads the shared trace file, again until the
        trace read back is its own (tests running side by side rewrite it)."""
        for _ in range(10):
            r = self.inst.run(**kw)
            try:
                with open(TRACE, "rb") as f:
                    trace = f.read()
            except FileNotFoundError:
                trace = b""
            if marker.encode() in trace:
                return r, trace.decode("latin-1")
        self.fail("the trace of the request was never read back")

    def test_query_string(self):
        for qs, pairs in (
                ("CMD=nonsense&a=1", [("a", "1"), ("CMD", "nonsense")]),
                ("a=1&b=2&a=3&CMD=zz", [("CMD", "zz"), ("a", "3"), ("b", "2"), ("a", "1")]),
                ("x=%41%a0b+c&CMD=zz", [("CMD", "zz"), ("x", "A b c")]),
                ("x=&v=a=b&w=1&CMD=zz", [("CMD", "zz"), ("w", "1"), ("v", "a=b"), ("x", "")]),
                ("n%41=%41&CMD=zz&", [("CMD", "zz"), ("n%41", "A")]),  # names stay encoded
                ("CMD=x&CMD=y&k=v", [("k", "v"), ("CMD", "y"), ("CMD", "x")]),
                ("CMD=observed", [("CMD", "observed")])):  # commands are case-sensitive
            r = self.inst.run(qs)
            self.assertEqual((r.raw, r.returncode), (dump(*pairs), 0), qs)
        r = self.inst.run("CMD=x&%3Cb%3E=%3Cscript%3E%22%26")
        self.assertIn("%3Cb%3E : '&lt;script&gt;&quot;&amp;'", r.body)
        self.assertNotIn("<script>", r.body)
        self.assertEqual(self.inst.run("a=1&b=2").raw, b"")
        for env in ({"REQUEST_METHOD": None}, {"REQUEST_METHOD": "GET"}):
            self.assertIn(MAIN, self.inst.run("", env=env).body)
        self.assertIn(MAIN, self.inst.run(post="CMD=zz&b=1", method="post").body)  # POST only

    def test_post_body(self):
        for kw, pairs in (({"query": "CMD=zz&q=1", "post": "CMD=body&b=2"}, [("q", "1"), ("CMD", "zz")]),
                          ({"post": "CMD=zz&a=1\nb=2&c=3\n"}, [("a", "1"), ("CMD", "zz")]),
                          ({"post": "CMD=zz&a=123456", "env": {"CONTENT_LENGTH": "10"}},
                           [("a", "1"), ("CMD", "zz")]),
                          ({"post": "CMD=zz&a=1", "env": {"CONTENT_LENGTH": "5000"}},
                           [("a", "1"), ("CMD", "zz")])):
            self.assertEqual(self.inst.run(**kw).raw, dump(*pairs), kw)
        for bad in ("-4", "x", ""):
            r = self.inst.run(post="CMD=zz&a=1", env={"CONTENT_LENGTH": bad})
            self.assertIn(MAIN, r.body, bad)

    def test_traces_and_replay(self):
        qs = "CMD=qa1get&x=%41"
        r, trace = self.run_traced("qa1get", query=qs)
        self.assertEqual(trace, '#qs"%s"\n#*qs:<67>\n#\n%s\n' % (qs, qs))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), qs + "\n")
        body = "CMD=qa1post&w=%41"
        r, trace = self.run_traced("qa1post", post=body)
        self.assertEqual(trace, '#qs""\n#*qs:<0>\n#METHOD >>POST\n#post: 1\n#qs="%s";\n#\n%s\n'
                         % (body, body))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), body + "\n")
        with open("/tmp/velko.in") as f:
            spooled = f.read()
        if "qa1post" in spooled:  # not rewritten meanwhile by another request
            self.assertEqual(spooled, body)
        # TEST replays the query string at the end of the trace.
        r, trace = self.run_traced("#arg:<TEST>", args=["TEST"])
        if trace.startswith('#qs"%s"' % body):
            self.assertEqual(r.raw, dump(("w", "A"), ("CMD", "qa1post")))
            self.assertEqual(trace, '#qs"%s"\n#*qs:<67>\n#arg:<TEST>\n#\n%s\n' % (body, body))

    def post_multipart(self, fields, **kw):
        body, ctype = multipart(fields, boundary=BOUNDARY)
        return self.inst.run(post=body, content_type=ctype, **kw)

    def uploads(self):
        return [n for n in os.listdir(self.inst.path("data", "tmp")) if n.startswith("data")]

    def test_multipart(self):
        # Fields are cut at the first control or non-ASCII byte, never
        # %-decoded; without a file the body is read to its end and the
        # query string rebuilt with the last part first.
        r = self.post_multipart([("CMD", "zz"), ("title", "Probl\u00e9me"),
                                 ("text", "first\nsecond"), ("empty", ""), ("v", "a%41+b")])
        self.assertEqual(r.raw, dump(("v", "a%41+b"), ("empty", ""), ("text", "first"),
                                     ("title", "Probl"), ("CMD", "zz")))
        self.assertEqual(self.inst.read("data/tmp/velko.log"),
                         "v=a%41+b&empty=&text=first&title=Probl&CMD=zz\n")
        self.assertEqual(self.uploads(), [])
        # A file is saved byte for byte and ends the parsing.
        data = b"\x00\x01binary\r\nline\r\n\r\n--almost" + BOUNDARY[:-1].encode() + b"\r\n"
        r = self.post_multipart([("CMD", "zz"), ("Num", "TS10.00001"), ("File", ("r.bin", data)),
                                 ("after", "ignored")])
        self.assertEqual(r.raw, dump(("File", "r.bin"), ("Num", "TS10.00001"), ("CMD", "zz")))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), "File=r.bin&Num=TS10.00001&CMD=zz\n")
        (name,) = self.uploads()
        self.assertRegex(name, r"^data\d+$")
        self.assertEqual(self.inst.read("data/tmp/" + name, "rb"), data)
        # The dashes of the first line mark a body without its content type.
        body, _ = multipart([("CMD", "zz"), ("a", "1")], boundary="-" * 27 + "7d41b838504d8")
        self.assertEqual(self.inst.run(post=body, content_type="text/plain").raw,
                         dump(("a", "1"), ("CMD", "zz")))

    def test_trace_of_a_multipart_body(self):
        r, t = self.run_traced(BOUNDARY, post=multipart(
            [("CMD", "zz"), ("title", "Probl\u00e9me"), ("F", ("f.txt", b"ab"))], BOUNDARY)[0],
            content_type="multipart/form-data; boundary=" + BOUNDARY)
        delim = "--" + BOUNDARY
        self.assertIn('#qs="%s\r\n";\n#\n' % delim, t)
        self.assertIn("\ndelimiter:>%s<\n" % delim, t)
        self.assertIn("->Content-Disposition: form-data; name=\nnom->CMD\n-\r-\n-->zz\n"
                      "-->len: 2 \n delimiter: >%s<\n" % delim, t)
        self.assertIn("nom->title\n-\r-\n-->Probl\n-->len: 5 \n", t)
        self.assertIn("nom->F\n-;-\n-->f.txt\n", t)
        # The match against the delimiter, byte by byte, from its first byte.
        self.assertTrue(t.endswith("".join("++: %s %s %d\n" % (c, c, i)
                                           for i, c in enumerate(delim))), t[-400:])

    def test_trace_file_symlink_is_not_followed(self):
        if os.geteuid() != 0:
            self.skipTest("needs to replace the shared trace file")
        victim = self.inst.path("victim")
        self.inst.write("victim", "keep")
        saved = self.inst.path("saved.tra") if os.path.lexists(TRACE) else None
        if saved:
            os.rename(TRACE, saved)
        os.symlink(victim, TRACE)
        try:
            self.assertIn("CMD : 'x'", self.inst.run("CMD=x").body)
            self.assertEqual(self.inst.read("victim"), "keep")
        finally:
            os.unlink(TRACE)
            if saved:
                os.rename(saved, TRACE)


class Dispatch(VelkoTestCase):
    def marks(self, query):
        """How many times each handler's page shows in the output."""
        text = self.inst.run(query).text
        return [text.count(m) for m in ("<TITLE>Observed</TITLE>",
                                        "<BIG>%s</BIG>" % self.inst.lang(2113),
                                        "<TITLE>%s</TITLE>" % self.inst.lang(2003))]

    def test_handlers(self):
        for query, marks in (("Num=12", [0, 1, 0]), ("Num=12&CMD=Observed", [1, 0, 0]),
                             ("find=A&Numero=B", [0, 2, 0]), ("Uid=x&CMD=search", [0, 0, 1]),
                             ("Login=joe&CMD=search&find=X", [0, 0, 0])):
            self.assertEqual(self.marks(query), marks, query)
        # A response never carries two headers, even with two pages.
        self.assertEqual(self.inst.run("find=A&Numero=B").raw.count(b"Content-type"), 1)

    def test_admin_commands_never_run_for_a_web_request(self):
        # A server may pass a query string without "=" as the arguments.
        self.inst.write("data/index", "keep\n")
        for cmd in ("--reindex", "--check"):
            r = self.inst.run(cmd, args=[cmd])
            self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"), r.raw[:200])
            self.assertIn(MAIN, r.body)
            self.assertEqual(r.returncode, 0)
        self.assertEqual(self.inst.read("data/index"), "keep\n")
        r = self.inst.run(args=["--reindex"])  # from a shell it runs
        self.assertNotIn("Content-type", r.text)
        self.assertEqual(self.inst.read("data/index"), "")


class MainConfiguration(unittest.TestCase):
    def setUp(self):
        self.inst = Install(main_cfg=False)
        self.addCleanup(self.inst.remove)

    def cfg(self, extra):
        self.inst.write_main_cfg("DATADIR %s\nCONFIGDIR %s\nLANGUAGE EN\n%s"
                                 % (self.inst.data, self.inst.cfg, extra))

    def test_value_rules(self):
        for text, expected in (
                ("IMGDIR   /srv/img/   \n", "/srv/img//"),
                ("IMGDIR /a/\nIMGDIR /b/\n", "/b//"),          # the last one wins
                ("IMGDIR\nPRINT x\n", "/"),                      # no value
                ("IMGDIR \r\n", "/"),
                ("# IMGDIR /c/\n", "/c//"),                      # no comment syntax
                ("#IMGDIR /d/\nIMGDIR /e/\n#IMGDIR /f/\n", "/e//"),  # a glued key is no key
                ("PRINT IMGDIR /v/\n", "/v//"),                  # a value word is a key too
                ("IMGDIR\t/t/\n", "\t/t//"),                     # tabs are not skipped
                ("IMGDIR /" + "x" * 120 + "\n", "/" + "x" * 97 + "/")):  # 99 characters
            self.cfg(text)
            m = re.search(r'<IMG SRC="(.*)velko\.gif" ALT=VELKO', self.inst.run("").body)
            self.assertEqual(m and m.group(1), expected, text)
        self.cfg("IMGDIR /static/x/img///\n")  # the help folder is its sibling
        r = self.inst.run("")
        self.assertIn('<A HREF="/static/x/help/">', r.body)
        self.assertIn('BACKGROUND=/static/x/img////fond.gif', r.body)

    def test_security_only_for_exactly_yes(self):
        for value, login in (("yes", False), ("YES ", True), ("YES", True), ("", False)):
            self.cfg("SECURITY %s\n" % value)
            self.assertEqual('NAME="Passwd"' in self.inst.run("").body, login, value)

    def test_location(self):
        for script, cfg in (("C:\\www\\cgi\\velko", "C:\\www\\cgi/config/velko.cfg"),
                            ("/srv/cgi-bin/tracker", "/srv/cgi-bin/config/velko.cfg"),
                            ("velko", "/config/velko.cfg")):
            r = self.inst.run("CMD=k", env={"PWD": None, "SCRIPT_FILENAME": script})
            self.assertEqual(r.raw.count(b"Content-type"), 1)
            self.assertTrue(r.text.startswith(
                "Content-type: text/html\n\n<!script : /cgi-bin/velko>\n<!pwd : >\n"
                "<!script : %s>\n<!Unable to open : %s>\n" % (script, cfg)), r.text[:300])
            self.assertIn("CMD : 'k'", r.text)
        # Found beside SCRIPT_FILENAME without PWD; PWD wins over it; keys
        # with blanks, the last one winning.
        other = self.inst.path("other") + "/"
        os.makedirs(other + "tmp")
        cgi = self.inst.path("cgi-bin")
        os.makedirs(cgi + "/config")
        with open(cgi + "/config/velko.cfg", "w") as f:
            f.write("DATADIR   %s   \nDATADIR   %s  \n" % (self.inst.data, other))
        self.inst.run("CMD=k", env={"PWD": None, "SCRIPT_FILENAME": cgi + "/velko"})
        self.assertTrue(os.path.exists(other + "tmp/velko.log"))
        self.assertFalse(os.path.exists(self.inst.data + "tmp/velko.log"))
        self.cfg("")
        r = self.inst.run("CMD=k", env={"SCRIPT_FILENAME": cgi + "/velko"})
        self.assertNotIn("Unable to open", r.text)
        self.assertTrue(os.path.exists(self.inst.data + "tmp/velko.log"))


MENU = [(3000, "setup.gif", "/cgi-bin/velko?CMD=setup"), (3001, "new.gif", "/cgi-bin/velko?CMD=create"),
        (3002, "list.gif", "/cgi-bin/velko?CMD=search"), (3003, "book.gif", "/cgi-bin/velko?CMD=book"),
        (3004, "history.gif", "/cgi-bin/velko?CMD=history"),
        (3005, "stats.gif", "/cgi-bin/velko?CMD=statS"), (3006, "help.gif", "/velko/help/"),
        (3007, "tests.gif", "/cgi-bin/velko?CMD=tests")]


class StartPage(VelkoTestCase):
    def test_head_banner_and_menu(self):
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
        for absent in ("SCRIPT", "onLoad", "Uid", "Please update langage file"):
            self.assertNotIn(absent, r.body)
        self.assertIn('SRC="/velko/images//velko.gif" ALT=VELKO BORDER=0', r.body)
        self.assertIn("<B> v4.6 %s</B>" % self.inst.lang(1), r.body)
        self.assertIn("</TABLE><BR>\n", r.body)
        menu = r.body[r.body.index("HEIGHT=50%> <TR>\n"):]
        self.assertTrue(menu.startswith("HEIGHT=50%> <TR>\n<TD>&nbsp</TD>\n"))
        self.assertEqual(menu.count("<TD>&nbsp</TD>"), 4)  # both rows framed
        links = re.findall(r'<A HREF="([^"]*)">\n<IMG SRC="/velko/images//([a-z]+\.gif)"'
                           r'([^>]*)><BR>([^<]*)</A>', menu)
        self.assertEqual([(l, img) for l, img, _, _ in links], [(m[2], m[1]) for m in MENU])
        for (label, _, _), (_, _, attrs, text) in zip(MENU, links):
            self.assertEqual(text, self.inst.lang(label))
            self.assertEqual(attrs, (' WIDTH=64 HEIGHT=64 BORDER=0 ALT="%s"' if label in (3003, 3007)
                                     else " BORDER=0 ALT=%s") % self.inst.lang(label))
        self.assertIn("</TABLE>\n\n\n\n", r.body)  # the page ends with three line feeds
        # Only an identifier: the start page too.
        r = self.inst.run(query="Uid=" + urllib.parse.quote("<b>x"))
        self.assertIn("<TITLE>VELKO</TITLE>", r.body)
        self.assertIn("CMD=create", r.body)
        self.assertNotIn("<b>", r.body)

    def test_language_file(self):
        with open(self.inst.path("cfg", "langue.EN"), "a", encoding="utf-8") as f:
            f.write("2,v4.5\n")
        r = self.inst.run(query="")
        self.assertIn("<P Align=Center><FONT COLOR=RED>Please update langage file "
                      "langue.EN in configuration directory.</P></FONT>\n", r.body)
        self.assertIn("CMD=create", r.body)  # shown all the same
        self.inst.write("cfg/langue.EN", "1,EN\n2,v4.6\n# comment\n0,zero\n-3,neg\n3000,Hello\n"
                        "3000,Bye\n3001, Spaced\n3002,Crlf\r\n3003 x\n3004,a,b\n  3005,lead\n")
        r = self.inst.run("")
        self.assertEqual(re.findall(r'><BR>([^<]*)</A></TD>', r.body),
                         ["Bye", " Spaced", "Crlf", "", "a,b", "lead", "", ""])
        self.assertNotIn("Please update", r.body)
        os.remove(self.inst.path("cfg", "langue.EN"))
        r = self.inst.run("CMD=search")
        self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"))
        self.assertEqual(r.raw.count(b"Content-type"), 1)
        self.assertIn("<! langue file : %slangue.EN >\n" % (self.inst.cfg + "/"), r.text)

    def test_language_choice(self):
        # An empty key selects French, whose labels are UTF-8.
        self.inst.set_cfg(LANGUAGE="")
        r = self.inst.run("")
        self.assertIn("<B> v4.6 %s</B>" % self.inst.lang(1, "FR"), r.body)
        label = self.inst.lang(3001, "FR")
        self.assertIn("<BR>%s</A>" % label, r.body)
        self.assertIn(label.encode("utf-8"), r.body_bytes)
        self.inst.set_cfg(LANGUAGE="EN  extra")  # the code is the first word
        self.assertIn("<B> v4.6 EN</B>", self.inst.run("").body)

    def test_secure_head_carries_the_session_check(self):
        self.inst.set_cfg(SECURITY="YES")
        r = self.inst.run(query="")
        head = r.body[:r.body.index("<TITLE>")]
        self.assertIn('<SCRIPT LANGUAGE=JavaScript>\nfunction getCookie(nom)', head)
        self.assertIn("function ecritCookie(nom, valeur, expire)", head)
        self.assertIn("function CookieCheck()", head)
        self.assertIn("<!title:VELKO>\n<!uid: >\n", head)
        self.assertIn('TEXT="#000000" onLoad="CookieCheck()">\n', r.body)
        self.assertIn('SRC="/velko/images//velko.gif"', r.body)  # the banner stays


class SelectionLists(VelkoTestCase):
    """The lists of the creation form."""

    def setUp(self):
        super().setUp()
        self.inst.write("cfg/phase.cfg", "specification:S\n# skipped\n\ndeveloppement:D\n")
        self.inst.write("cfg/TEST_subproject.cfg", "1.1:A\n1.10:B\n1.1b:C\n2.0:D\n")
        self.inst.write("cfg/TEST_version.cfg", "1.0\n")
        self.inst.write("cfg/TEST_deadline.cfg", "1.0 2.0\n#x 3.0\n")
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:p:YES\nbob:b@x:p:YES\n")
        self.inst.write("cfg/userinfo.dat", "10.0.0.9:zed:TEST:2.0:0\n127.0.0.1:bob:TEST:1.1:1\n")

    def select(self, body, name):
        m = re.search(r'<SELECT NAME="%s">\n(.*?)</SELECT>' % name, body, re.S)
        self.assertTrue(m, name)
        return m.group(1)

    def test_remembered_choices_select_options(self):
        b = self.inst.run("CMD=create&project=TEST").body
        # The group matches by the length of the remembered one.
        self.assertTrue(self.select(b, "group").endswith(
            "\n<! proj:TEST, match:1.1, files.name:%s/TEST_subproject.cfg>\n"
            "<OPTION SELECTED> 1.1<OPTION SELECTED> 1.10<OPTION SELECTED> 1.1b"
            "<OPTION> 2.0" % self.inst.cfg))
        self.assertTrue(self.select(b, "phase").endswith(
            '<OPTION VALUE="a"> specification\n<OPTION SELECTED VALUE="b"> developpement\n'))
        self.assertTrue(self.select(b, "submitter").endswith(
            "<OPTION> admin\n<OPTION SELECTED> bob\n"))
        # Word by word: only the word that begins with "#" goes.
        self.assertTrue(self.select(b, "exp").endswith("&nbsp\n<OPTION> 2.0\n<OPTION> 3.0\n"))
        self.assertEqual(re.findall(r"<OPTION VALUE=(\d) (SELECTED )?>", self.select(b, "sev")),
                         [("1", ""), ("2", ""), ("3", ""), ("4", "")])
        self.assertEqual(re.findall(r"<OPTION VALUE=(\d) >", self.select(b, "type")), ["1", "2"])

    def test_projects_in_reverse_file_order_and_no_users_file(self):
        self.inst.write("cfg/project.cfg", "AAA:A:m:v:\nno colon\nBBB:B\n\nTEST:T:admin:admin\n")
        os.remove(self.inst.path("cfg", "TEST_users.cfg"))
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertEqual(re.findall(r'<OPTION [^>]*project=([^"&]*)', b), ["TEST", "BBB", "AAA"])
        self.assertNotIn("<OPTION>", self.select(b, "submitter"))


if __name__ == "__main__":
    unittest.main()
