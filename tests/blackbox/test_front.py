"""The request front end as a client sees it, byte for byte: decoding of the
three request shapes, the trace files, dispatch and the fallback dump, the
reading of velko.cfg and of the language table, the page head and the start
page, and the selection lists of the creation form."""
import os
import random
import re
import unittest
import urllib.parse

from velkotest import VelkoTestCase, multipart

TRACE = "/tmp/velko.tra"
BOUNDARY = "----WebKitFormBoundaryQa1Conf0rmance"
MAIN = "VELKO Problem Report Tracker"


def dump(pairs):
    """The fallback dump of pairs "name=value&..." in list order."""
    return ("Content-type: text/html\n\n<PRE>" + "".join(
        "%s : '%s'\n" % tuple(p.split("=", 1)) for p in pairs.split("&"))).encode()


class Decoding(VelkoTestCase):
    def run_traced(self, marker, **kw):
        """Runs a request and reads the shared trace file, again until the
        trace read back is its own (tests running side by side rewrite it)."""
        for _ in range(10):
            r = self.inst.run(**kw)
            try:
                with open(TRACE, "rb") as f:
                    trace = f.read().decode("latin-1")
            except FileNotFoundError:
                trace = ""
            if marker in trace:
                return r, trace
        self.fail("the trace of the request was never read back")

    def test_query_string_and_post_body(self):
        for kw, pairs in (
                ({"query": "CMD=nonsense&a=1"}, "a=1&CMD=nonsense"),
                ({"query": "a=1&b=2&a=3&CMD=zz"}, "CMD=zz&a=3&b=2&a=1"),
                ({"query": "x=%41%a0b+c&CMD=zz"}, "CMD=zz&x=A b c"),
                ({"query": "x=&v=a=b&w=1&CMD=zz"}, "CMD=zz&w=1&v=a=b&x="),
                ({"query": "n%41=%41&CMD=zz&"}, "CMD=zz&n%41=A"),  # names stay encoded
                ({"query": "CMD=x&CMD=y&k=v"}, "k=v&CMD=y&CMD=x"),
                ({"query": "CMD=observed"}, "CMD=observed"),  # commands are case-sensitive
                ({"query": "CMD=zz&q=1", "post": "CMD=body&b=2"}, "q=1&CMD=zz"),
                ({"post": "CMD=zz&a=1\nb=2&c=3\n"}, "a=1&CMD=zz"),  # the first line only
                ({"post": "CMD=zz&a=123456", "env": {"CONTENT_LENGTH": "10"}}, "a=1&CMD=zz"),
                ({"post": "CMD=zz&a=1", "env": {"CONTENT_LENGTH": "5000"}}, "a=1&CMD=zz")):
            r = self.inst.run(**kw)
            self.assertEqual((r.raw, r.returncode), (dump(pairs), 0), kw)
        r = self.inst.run("CMD=x&%3Cb%3E=%3Cscript%3E%22%26")
        self.assertIns(r.body, "%3Cb%3E : '&lt;script&gt;&quot;&amp;'", absent=["<script>"])
        self.assertEqual(self.inst.run("a=1&b=2").raw, dump("b=2&a=1"))  # never an empty answer
        for kw in ({"env": {"REQUEST_METHOD": None}}, {"env": {"REQUEST_METHOD": "GET"}},
                   {"post": "CMD=zz&b=1", "method": "post"},  # only POST reads a body
                   {"post": "CMD=zz&a=1", "env": {"CONTENT_LENGTH": "-4"}},
                   {"post": "CMD=zz&a=1", "env": {"CONTENT_LENGTH": "x"}},
                   {"post": "CMD=zz&a=1", "env": {"CONTENT_LENGTH": ""}}):
            self.assertIn(MAIN, self.inst.run(**dict({"query": ""}, **kw)).body, kw)

    def test_traces_and_replay(self):
        qs = "CMD=qa1get&x=%41"
        self.assertEqual(self.run_traced("qa1get", query=qs)[1], '#qs"%s"\n#*qs:<67>\n#\n%s\n' % (qs, qs))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), qs + "\n")
        body = "CMD=qa1post&w=%41"
        self.assertEqual(self.run_traced("qa1post", post=body)[1], '#qs""\n#*qs:<0>\n#METHOD >>POST\n'
                         '#post: 1\n#qs="%s";\n#\n%s\n' % (body, body))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), body + "\n")
        with open("/tmp/velko.in") as f:
            spooled = f.read()
        if "qa1post" in spooled:  # not rewritten meanwhile by another request
            self.assertEqual(spooled, body)
        # TEST replays the query string at the end of the trace.
        r, trace = self.run_traced("#arg:<TEST>", args=["TEST"])
        if trace.startswith('#qs"%s"' % body):
            self.assertEqual(r.raw, dump("w=A&CMD=qa1post"))
            self.assertEqual(trace, '#qs"%s"\n#*qs:<67>\n#arg:<TEST>\n#\n%s\n' % (body, body))

    def test_secrets_stay_out_of_the_traces(self):
        uid = "cfokp#VGUV#1700000000#" + "ab" * 32
        login = urllib.parse.urlencode([("Login", "2"), ("User", "admin"), ("Passwd", "s3cr&t"),
                                        ("Uid", uid), ("PERSIST", "0")])
        r, trace = self.run_traced("Passwd=", post=login)
        masked = "Login=2&User=admin&Passwd=*****&Uid=cfokp%23VGUV%231700000000%23*****&PERSIST=0"
        self.assertIn("\n%s\n" % masked, trace)
        r, trace = self.run_traced("popP=", query="CMD=setup&popP=s3cr3t&V2_4=s3cr3t&V2_x=kept")
        self.assertIn("popP=*****&V2_4=*****&V2_x=kept", trace)
        for f in ("/tmp/velko.in", self.inst.path("data", "tmp", "velko.log")):
            with open(f) as t:
                self.assertNotIn("s3cr", t.read(), f)
        body, ctype = multipart([("Login", "2"), ("Passwd", "s3cr&t"), ("Uid", uid)], boundary=BOUNDARY)
        r, trace = self.run_traced("nom->Passwd", post=body, content_type=ctype)
        self.assertNotIn("s3cr", trace)
        self.assertNotIn("ab" * 32, trace)
        self.assertEqual(self.inst.read("data/tmp/velko.log"),
                         "Uid=cfokp#VGUV#1700000000#*****&Passwd=*****&Login=2\n")
        with open("/tmp/velko.in") as t:
            spooled = t.read()
        if "Passwd" in spooled:
            self.assertNotIn("s3cr", spooled)
            self.assertIn("\n*****\n", spooled)

    def test_no_replay_for_a_web_request(self):
        self.inst.run("CMD=zzreplay")
        r = self.inst.run("TEST", args=["TEST"])  # Apache: ?TEST becomes the argument
        self.assertNotIn("zzreplay", r.body)

    def test_malformed_multipart_still_gets_a_page(self):
        rnd = random.Random(7)
        bodies = [("--" + BOUNDARY + '\r\nContent-Disposition: form-data; name="' + "n" * 5000 + '"\r\n\r\nv\r\n'
                   + "--" + BOUNDARY + "--\r\n").encode(),
                  "".join("--%s\r\nContent-Disposition: form-data; name=\"p%d\"\r\n\r\nv\r\n" % (BOUNDARY, i)
                          for i in range(3000)).encode(),
                  bytes(rnd.getrandbits(8) for _ in range(200000))]
        for body in bodies:
            r = self.inst.run(post=body, content_type="multipart/form-data; boundary=" + BOUNDARY)
            self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"), r.raw[:100])

    def test_multipart(self):
        def post(fields, **kw):
            body, ctype = multipart(fields, boundary=BOUNDARY)
            return self.inst.run(post=body, content_type=ctype, **kw)

        def uploads():
            return [n for n in os.listdir(self.inst.data + "tmp") if n.startswith("data")]
        # Fields are cut at the first control or non-ASCII byte, never
        # %-decoded; without a file the body is read to its end and the
        # query string rebuilt with the last part first.
        r = post([("CMD", "zz"), ("title", "Probl\u00e9me"), ("text", "first\nsecond"), ("empty", ""),
                  ("v", "a%41+b")])
        self.assertEqual(r.raw, dump("v=a%41+b&empty=&text=first&title=Probl&CMD=zz"))
        self.assertEqual(self.inst.read("data/tmp/velko.log"),
                         "v=a%41+b&empty=&text=first&title=Probl&CMD=zz\n")
        self.assertEqual(uploads(), [])
        # A file ends the parsing; its spool is removed when the request ends
        # (test_edit follows its bytes into an attachment).
        data = b"\x00\x01binary\r\nline\r\n\r\n--almost" + BOUNDARY[:-1].encode() + b"\r\n"
        r = post([("CMD", "zz"), ("Num", "TS10.00001"), ("File", ("r.bin", data)), ("after", "x")])
        self.assertEqual(r.raw, dump("File=r.bin&Num=TS10.00001&CMD=zz"))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), "File=r.bin&Num=TS10.00001&CMD=zz\n")
        self.assertEqual(uploads(), [])
        # The dashes of the first line mark a body without its content type.
        body, _ = multipart([("CMD", "zz"), ("a", "1")], boundary="-" * 27 + "7d41b838504d8")
        self.assertEqual(self.inst.run(post=body, content_type="text/plain").raw, dump("a=1&CMD=zz"))
        # The trace: the match against the delimiter, byte by byte.
        body, ctype = multipart([("CMD", "zz"), ("title", "Probl\u00e9me"), ("F", ("f.txt", b"ab"))],
                                BOUNDARY)
        t = self.run_traced(BOUNDARY, post=body, content_type=ctype)[1]
        delim = "--" + BOUNDARY
        self.assertIns(t, '#qs="%s\r\n";\n#\n' % delim, "\ndelimiter:>%s<\n" % delim,
                       "->Content-Disposition: form-data; name=\nnom->CMD\n-\r-\n-->zz\n"
                       "-->len: 2 \n delimiter: >%s<\n" % delim,
                       "nom->title\n-\r-\n-->Probl\n-->len: 5 \n", "nom->F\n-;-\n-->f.txt\n")
        self.assertTrue(t.endswith("".join("++: %s %s %d\n" % (c, c, i) for i, c in enumerate(delim))))

    def test_trace_file_symlink_is_not_followed(self):
        if os.geteuid() != 0:
            self.skipTest("needs to replace the shared trace file")
        self.inst.write("victim", "keep")
        saved = self.inst.path("saved.tra") if os.path.lexists(TRACE) else None
        if saved:
            os.rename(TRACE, saved)
        os.symlink(self.inst.path("victim"), TRACE)
        try:
            self.assertIn("CMD : 'x'", self.inst.run("CMD=x").body)
            self.assertEqual(self.inst.read("victim"), "keep")
        finally:
            os.unlink(TRACE)
            if saved:
                os.rename(saved, TRACE)


class Dispatch(VelkoTestCase):
    def test_handlers(self):
        for query, marks in (("Num=12", [0, 1, 0]), ("Num=12&CMD=Observed", [1, 0, 0]),
                             ("find=A&Numero=B", [0, 2, 0]), ("Uid=x&CMD=search", [0, 0, 1]),
                             ("Login=joe&CMD=search&find=X", [0, 0, 0])):
            r = self.inst.run(query)
            self.assertEqual([r.text.count(m) for m in (  # how often each handler's page shows
                "<TITLE>Observed</TITLE>", "<BIG>%s</BIG>" % self.inst.lang(2113),
                "<TITLE>%s</TITLE>" % self.inst.lang(2003))], marks, query)
            self.assertEqual(r.raw.count(b"Content-type"), 1)  # one, even for two pages
        # A request that prints nothing else gets the list of its arguments.
        for query in ("Login=joe&CMD=search&find=X", "Login=x", "Login=3", "Print=x"):
            r = self.inst.run(query)
            self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n<PRE>"), (query, r.raw[:80]))

    def test_output_proportional_to_the_request(self):
        # A command that changes data runs once per request, the first one.
        r = self.inst.run(post="&".join(["CMD=new&title=t&project=TEST&group=phase 1&prog=general&sev=2"
                                         "&impact=b&phase=a&version=v1&submitter=admin"] * 3 + ["CMD=new"] * 200))
        self.assertEqual(len(self.inst.reports()), 1)
        name = self.inst.put_report(number=2)
        r = self.inst.run("CMD=Observed&CMD=Not_a_Bug&Num=%s&User=admin&QS=&text=x" % name)
        self.assertIn("<!one change per request: CMD=Observed ignored>", r.body)
        self.assertEqual(len(re.findall(r"^\d{4}/\d\d/\d\d:", self.inst.read("data/" + name), re.M)), 1)
        # A trigger repeated with the same value runs once; at most 8 run.
        self.assertEqual(self.inst.run("&".join(["find=A"] * 50)).body.count("<BIG>"), 1)
        body = self.inst.run("&".join("find=A%d" % i for i in range(50))).body
        self.assertEqual(body.count("<BIG>"), 8)
        self.assertIn("more handlers than 8", body)

    def test_admin_commands_never_run_for_a_web_request(self):
        # A server may pass a query string without "=" as the arguments.
        self.inst.write("data/index", "keep\n")
        for cmd in ("--reindex", "--check"):
            r = self.inst.run(cmd, args=[cmd])
            self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"), r.raw[:200])
            self.assertEqual((MAIN in r.body, r.returncode), (True, 0))
        self.assertEqual(self.inst.read("data/index"), "keep\n")
        self.assertNotIn("Content-type", self.inst.run(args=["--reindex"]).text)  # from a shell
        self.assertEqual(self.inst.read("data/index"), "")


class MainConfiguration(VelkoTestCase):
    install_args = {"main_cfg": False}

    def cfg(self, extra):
        self.inst.write_main_cfg("DATADIR %s\nCONFIGDIR %s\nLANGUAGE EN\n%s"
                                 % (self.inst.data, self.inst.cfg, extra))

    def test_value_rules(self):
        for text, expected in (
                ("IMGDIR   /srv/img/   \n", "/srv/img//"), ("IMGDIR /a/\nIMGDIR /b/\n", "/b//"),
                ("IMGDIR\nPRINT x\n", "/"), ("IMGDIR \r\n", "/"),          # no value
                ("# IMGDIR /c/\n", "/c//"),                                  # no comment syntax
                ("#IMGDIR /d/\nIMGDIR /e/\n#IMGDIR /f/\n", "/e//"),          # a glued key is no key
                ("PRINT IMGDIR /v/\n", "/v//"),                              # a value word is a key too
                ("IMGDIR\t/t/\n", "\t/t//"),                                 # tabs are not skipped
                ("IMGDIR /" + "x" * 120 + "\n", "/" + "x" * 97 + "/")):      # 99 characters
            self.cfg(text)
            m = re.search(r'<IMG SRC="(.*)velko\.gif" ALT=VELKO', self.inst.run("").body)
            self.assertEqual(m and m.group(1), expected, text)
        self.cfg("IMGDIR /static/x/img///\n")  # the help folder is its sibling
        self.assertIns(self.inst.run("").body, '<A HREF="/static/x/help/">',
                       "BACKGROUND=/static/x/img////fond.gif")
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
        # Beside SCRIPT_FILENAME without PWD (keys with blanks, the last one
        # winning); PWD wins over it.
        other, cgi = self.inst.path("other") + "/", self.inst.path("cgi-bin")
        os.makedirs(other + "tmp")
        os.makedirs(cgi + "/config")
        with open(cgi + "/config/velko.cfg", "w") as f:
            f.write("DATADIR   %s   \nDATADIR   %s  \n" % (self.inst.data, other))
        self.inst.run("CMD=k", env={"PWD": None, "SCRIPT_FILENAME": cgi + "/velko"})
        self.assertTrue(os.path.exists(other + "tmp/velko.log"))
        self.assertFalse(os.path.exists(self.inst.data + "tmp/velko.log"))
        self.cfg("")
        self.assertNotIn("Unable to open", self.inst.run(
            "CMD=k", env={"SCRIPT_FILENAME": cgi + "/velko"}).text)
        self.assertTrue(os.path.exists(self.inst.data + "tmp/velko.log"))


MENU = [(3000, "setup", "CMD=setup"), (3001, "new", "CMD=create"), (3002, "list", "CMD=search"),
        (3003, "book", "CMD=book"), (3004, "history", "CMD=history"), (3005, "stats", "CMD=statS"),
        (3006, "help", None), (3007, "tests", "CMD=tests")]


class StartPage(VelkoTestCase):
    def test_head_banner_and_menu(self):
        r = self.inst.run(query="")
        self.assertEqual(r.header, "Content-type: text/html\n\n")
        self.assertTrue(r.body.startswith(
            '<!DOCTYPE html>\n<HTML LANG="en">\n<HEAD>\n'
            '<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">\n'
            '<META NAME="viewport" CONTENT="width=device-width, initial-scale=1">\n'
            '<LINK REL="stylesheet" HREF="/velko/images//velko.css">\n<TITLE>VELKO</TITLE>\n</HEAD>\n<BODY BACKGROUND=/velko/images//fond.gif BGCOLOR="#FFFFFF"'
            ' TEXT="#000000" >\n<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100% HEIGHT=40%> '
            "<TR>\n"), r.body[:600])
        # Security off: no cookie script, no onLoad, no identifier in links.
        self.assertIns(r.body, 'SRC="/velko/images//velko.gif" ALT=VELKO BORDER=0', "</TABLE><BR>\n",
                       "<B> v4.6 %s</B>" % self.inst.lang(1), "</TABLE>\n\n\n\n",  # 3 line feeds
                       absent=("SCRIPT", "onLoad", "Uid", "Please update langage file"))
        menu = r.body[r.body.index("HEIGHT=50%> <TR>\n"):]
        self.assertTrue(menu.startswith("HEIGHT=50%> <TR>\n<TD>&nbsp</TD>\n"))
        self.assertEqual(menu.count("<TD>&nbsp</TD>"), 4)  # both rows framed
        self.assertEqual(re.findall(r'<A HREF="[^"]*">\n<IMG SRC="[^"]*"[^>]*><BR>[^<]*</A>', menu), [
            '<A HREF="%s">\n<IMG SRC="/velko/images//%s.gif"%s><BR>%s</A>' % (
                "/cgi-bin/velko?" + cmd if cmd else "/velko/help/", img,
                (' WIDTH=64 HEIGHT=64 BORDER=0 ALT="%s"' if n in (3003, 3007) else " BORDER=0 ALT=%s")
                % self.inst.lang(n) + ' TITLE="%s"' % self.inst.lang(n), self.inst.lang(n))
            for n, img, cmd in MENU])
        # Only an identifier: the start page too.
        self.assertIns(self.inst.run(query="Uid=%3Cb%3Ex").body, "<TITLE>VELKO</TITLE>", "CMD=create",
                       absent=["<b>"])

    def test_language_file(self):
        with open(self.inst.path("cfg", "langue.EN"), "a", encoding="utf-8") as f:
            f.write("2,v4.5\n")
        self.assertIns(self.inst.run(query="").body, "CMD=create",  # shown all the same
                       "<P Align=Center><FONT COLOR=RED>Please update langage file langue.EN in "
                       "configuration directory.</P></FONT>\n")
        self.inst.write("cfg/langue.EN", "1,EN\n2,v4.6\n# comment\n0,zero\n-3,neg\n3000,Hello\n"
                        "3000,Bye\n3001, Spaced\n3002,Crlf\r\n3003 x\n3004,a,b\n  3005,lead\n")
        r = self.inst.run("")
        self.assertEqual(re.findall(r'><BR>([^<]*)</A></TD>', r.body),
                         ["Bye", " Spaced", "Crlf", "", "a,b", "lead", "", ""])
        self.assertNotIn("Please update", r.body)
        # An empty key selects French, whose labels are UTF-8; the code is
        # the first word of the value.
        self.inst.set_cfg(LANGUAGE="")
        r = self.inst.run("")
        self.assertIns(r.body, "<B> v4.6 %s</B>" % self.inst.lang(1, "FR"),
                       "<BR>%s</A>" % self.inst.lang(3001, "FR"))
        self.assertIn(self.inst.lang(3001, "FR").encode("utf-8"), r.body_bytes)
        self.inst.set_cfg(LANGUAGE="EN  extra")
        self.assertIn("<B> v4.6 EN</B>", self.inst.run("").body)
        os.remove(self.inst.path("cfg", "langue.EN"))
        r = self.inst.run("CMD=search")
        self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"))
        self.assertEqual(r.raw.count(b"Content-type"), 1)
        self.assertIn("<! langue file : %slangue.EN >\n" % (self.inst.cfg + "/"), r.text)

    def test_secure_head_carries_the_session_check(self):
        self.inst.set_cfg(SECURITY="YES")
        r = self.inst.run(query="")
        self.assertIns(r.body[:r.body.index("<TITLE>")], "function ecritCookie(nom, valeur, expire)",
                       "<SCRIPT LANGUAGE=JavaScript>\nfunction getCookie(nom)", "function CookieCheck()",
                       "<!title:VELKO>\n<!uid: >\n")
        self.assertIns(r.body, 'TEXT="#000000" onLoad="CookieCheck()">\n',
                       'SRC="/velko/images//velko.gif"')  # the banner stays


class SelectionLists(VelkoTestCase):
    """The lists of the creation form."""

    def test_remembered_choices_select_options(self):
        for name, text in (("phase", "specification:S\n# skipped\n\ndeveloppement:D\n"),
                           ("TEST_subproject", "1.1:A\n1.10:B\n1.1b:C\n2.0:D\n"),
                           ("TEST_version", "1.0\n"), ("TEST_deadline", "1.0 2.0\n#x 3.0\n"),
                           ("TEST_users", "admin :a@x:p:YES\nbob:b@x:p:YES\n")):
            self.inst.write("cfg/%s.cfg" % name, text)
        self.inst.write("cfg/userinfo.dat", "10.0.0.9:zed:TEST:2.0:0\n127.0.0.1:bob:TEST:1.1:1\n")
        lists = dict(re.findall(r'<SELECT NAME="(\w+)">\n(.*?)</SELECT>',
                                self.inst.run("CMD=create&project=TEST").body, re.S))
        # The group matches by the length of the remembered one; in the
        # deadlines, only the word that begins with "#" goes.
        for name, end in (("group", "\n<! proj:TEST, match:1.1, files.name:%s/TEST_subproject.cfg>\n"
                           "<OPTION SELECTED> 1.1<OPTION SELECTED> 1.10<OPTION SELECTED> 1.1b"
                           "<OPTION> 2.0" % self.inst.cfg),
                          ("phase", '<OPTION VALUE="a"> specification\n<OPTION SELECTED VALUE="b"> '
                           "developpement\n"), ("submitter", "<OPTION> admin\n<OPTION SELECTED> bob\n"),
                          ("exp", "&nbsp\n<OPTION> 2.0\n<OPTION> 3.0\n")):
            self.assertTrue(lists[name].endswith(end), (name, lists[name]))
        self.assertEqual(re.findall(r"<OPTION VALUE=(\d) (SELECTED )?>", lists["sev"]),
                         [("1", ""), ("2", ""), ("3", ""), ("4", "")])
        self.assertEqual(re.findall(r"<OPTION VALUE=(\d) >", lists["type"]), ["1", "2"])
        # Projects in reverse file order; no users file, no user.
        self.inst.write("cfg/project.cfg", "AAA:A:m:v:\nno colon\nBBB:B\n\nTEST:T:admin:admin\n")
        os.remove(self.inst.path("cfg", "TEST_users.cfg"))
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertEqual(re.findall(r'<OPTION [^>]*project=([^"&]*)', b), ["TEST", "BBB", "AAA"])
        self.assertNotIn("<OPTION>", re.search(r'<SELECT NAME="submitter">\n(.*?)</SELECT>', b, re.S)[1])

    def test_configured_names_and_texts_are_escaped(self):
        self.inst.write("cfg/TEST_version.cfg", "<script>1</script>\n")
        self.inst.write("cfg/TEST_subproject.cfg", "a&b:A\n")
        self.inst.write("cfg/TEST_deadline.cfg", "\"q\"\n")
        self.inst.write("cfg/TEST_users.cfg", "<u>:u@x:p:YES\n")
        self.inst.write("cfg/phase.cfg", "<i>spec:S\n")
        self.inst.write("cfg/langue.EN", self.inst.read("cfg/langue.EN") + "\n215,<b>Critical</b>\n")
        b = self.inst.run("CMD=create&project=TEST").body
        lists = dict(re.findall(r'<SELECT NAME="(\w+)">\n(.*?)</SELECT>', b, re.S))
        for name, text in (("version", "<OPTION> &lt;script&gt;1&lt;/script&gt;\n"),
                           ("group", "<OPTION> a&amp;b"), ("exp", "<OPTION> &quot;q&quot;\n"),
                           ("submitter", "<OPTION> &lt;u&gt;\n"), ("phase", "> &lt;i&gt;spec\n"),
                           ("sev", "<OPTION VALUE=1 > &lt;b&gt;Critical&lt;/b&gt;\n")):
            self.assertIn(text, lists[name], name)
        self.assertNotIn("<script>", b)

    def test_error_box_escapes_its_text(self):
        self.inst.write("cfg/langue.EN", self.inst.read("cfg/langue.EN") +
                        "\n500,<b>Error</b>\n518,No & no\n")
        self.inst.write("cfg/TEST_users.cfg", "")
        self.inst.set_cfg(SECURITY="YES")
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertIn("<FONT COLOR=RED><H1>&lt;b&gt;Error&lt;/b&gt;</H1></font>\n"
                      "<P><HR><BR><BR>No &amp; no\n</TD></TR></TABLE>", b)

if __name__ == "__main__":
    unittest.main()
