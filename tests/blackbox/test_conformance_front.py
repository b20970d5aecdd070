"""The request front end and the configuration as a client sees them:
decoding of the three request shapes, the trace files, dispatch, the reading
of velko.cfg, the language table and the selection lists of the creation
form, checked byte for byte."""
import os
import re
import unittest

from velkotest import Install, VelkoTestCase, multipart

TRACE = "/tmp/velko.tra"
BOUNDARY = "----WebKitFormBoundaryQa1Conf0rmance"


def dump(*pairs):
    """The fallback dump of the given (name, value) pairs, in list order."""
    return ("Content-type: text/html\n\n<PRE>" +
            "".join("%s : '%s'\n" % p for p in pairs)).encode()


class TraceMixin:
    def run_traced(self, marker, **kw):
        """Runs a request and reads the shared trace file. Other requests
        may rewrite the file at the same moment (tests run side by side),
        so the request is repeated until the trace read back is its own."""
        for _ in range(10):
            r = self.inst.run(**kw)
            try:
                with open(TRACE, "rb") as f:
                    trace = f.read()
            except FileNotFoundError:
                trace = b""
            if marker.encode() in trace:
                return r, trace
        self.fail("the trace of the request was never read back")


class QueryStringDecoding(VelkoTestCase):
    def test_list_order_duplicates_and_values(self):
        r = self.inst.run("a=1&b=2&a=3&CMD=zz")
        self.assertEqual(r.raw, dump(("CMD", "zz"), ("a", "3"), ("b", "2"), ("a", "1")))
        r = self.inst.run("x=%41%a0b+c&CMD=zz")
        self.assertEqual(r.raw, dump(("CMD", "zz"), ("x", "A b c")))
        r = self.inst.run("x=&v=a=b&w=1&CMD=zz")
        self.assertEqual(r.raw, dump(("CMD", "zz"), ("w", "1"), ("v", "a=b"), ("x", "")))
        # A trailing "&" ends the list; names are never decoded.
        r = self.inst.run("n%41=%41&CMD=zz&")
        self.assertEqual(r.raw, dump(("CMD", "zz"), ("n%41", "A")))

    def test_no_method_and_empty_query_string_give_the_main_page(self):
        for env in ({"REQUEST_METHOD": None}, {"REQUEST_METHOD": "GET"}):
            r = self.inst.run("", env=env)
            self.assertIn("VELKO Problem Report Tracker", r.body)
        # Only the exact method POST reads a body.
        r = self.inst.run(post="CMD=zz&b=1", method="post")
        self.assertIn("VELKO Problem Report Tracker", r.body)

    def test_uid_alone_gives_the_main_page(self):
        r = self.inst.run("Uid=abc")
        self.assertIn("VELKO Problem Report Tracker", r.body)


class PostDecoding(TraceMixin, VelkoTestCase):
    def test_query_string_wins_over_the_body(self):
        r = self.inst.run("CMD=zz&q=1", post="CMD=body&b=2")
        self.assertEqual(r.raw, dump(("q", "1"), ("CMD", "zz")))

    def test_only_the_first_line_of_a_body_counts(self):
        r = self.inst.run(post="CMD=zz&a=1\nb=2&c=3\n")
        self.assertEqual(r.raw, dump(("a", "1"), ("CMD", "zz")))

    def test_body_shorter_or_longer_than_announced(self):
        r = self.inst.run(post="CMD=zz&a=123456", env={"CONTENT_LENGTH": "10"})
        self.assertEqual(r.raw, dump(("a", "1"), ("CMD", "zz")))
        r = self.inst.run(post="CMD=zz&a=1", env={"CONTENT_LENGTH": "5000"})
        self.assertEqual(r.raw, dump(("a", "1"), ("CMD", "zz")))
        for bad in ("-4", "x", ""):
            r = self.inst.run(post="CMD=zz&a=1", env={"CONTENT_LENGTH": bad})
            self.assertIn("VELKO Problem Report Tracker", r.body, bad)

    def test_trace_of_a_post_and_its_replay(self):
        body = "CMD=qa1post&w=%41"
        r, trace = self.run_traced("qa1post", post=body)
        self.assertEqual(trace.decode(), '#qs""\n#*qs:<0>\n#METHOD >>POST\n#post: 1\n'
                                         '#qs="%s";\n#\n%s\n' % (body, body))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), body + "\n")
        with open("/tmp/velko.in") as f:
            spooled = f.read()
        if "qa1post" in spooled:  # not rewritten meanwhile by another request
            self.assertEqual(spooled, body)
        # TEST replays the query string at the end of the trace.
        r, trace = self.run_traced("#arg:<TEST>", args=["TEST"])
        if trace.startswith(b'#qs"%s"' % body.encode()):
            self.assertEqual(r.raw, dump(("w", "A"), ("CMD", "qa1post")))
            self.assertEqual(trace.decode(), '#qs"%s"\n#*qs:<67>\n#arg:<TEST>\n#\n%s\n'
                             % (body, body))

    def test_trace_of_a_query_string(self):
        qs = "CMD=qa1get&x=%41"
        r, trace = self.run_traced("qa1get", query=qs)
        self.assertEqual(trace.decode(), '#qs"%s"\n#*qs:<67>\n#\n%s\n' % (qs, qs))
        self.assertEqual(self.inst.read("data/tmp/velko.log"), qs + "\n")


class MultipartDecoding(TraceMixin, VelkoTestCase):
    def post(self, fields, boundary=BOUNDARY, **kw):
        body, ctype = multipart(fields, boundary=boundary)
        return self.inst.run(post=body, content_type=ctype, **kw)

    def uploads(self):
        return [n for n in os.listdir(self.inst.path("data", "tmp")) if n.startswith("data")]

    def test_fields_are_cut_at_the_first_control_or_non_ascii_byte(self):
        r = self.post([("CMD", "zz"), ("title", "Probl\u00e9me"), ("text", "first\nsecond"),
                       ("empty", "")])
        self.assertEqual(r.raw, dump(("empty", ""), ("text", "first"), ("title", "Probl"),
                                     ("CMD", "zz")))
        # No file part: the body is read to its end; the rebuilt query string
        # has the last part first and is not encoded.
        self.assertEqual(self.inst.read("data/tmp/velko.log"),
                         "empty=&text=first&title=Probl&CMD=zz\n")
        self.assertEqual(self.uploads(), [])

    def test_a_field_value_is_not_percent_decoded(self):
        r = self.post([("CMD", "zz"), ("v", "a%41+b")])
        self.assertEqual(r.raw, dump(("v", "a%41+b"), ("CMD", "zz")))

    def test_uploaded_file_is_saved_byte_for_byte_and_ends_the_parsing(self):
        data = b"\x00\x01binary\r\nline\r\n\r\n--almost" + BOUNDARY[:-1].encode() + b"\r\n"
        r = self.post([("CMD", "zz"), ("Num", "TS10.00001"), ("File", ("r.bin", data)),
                       ("after", "ignored")])
        self.assertEqual(r.raw, dump(("File", "r.bin"), ("Num", "TS10.00001"), ("CMD", "zz")))
        self.assertEqual(self.inst.read("data/tmp/velko.log"),
                         "File=r.bin&Num=TS10.00001&CMD=zz\n")
        (name,) = self.uploads()
        self.assertRegex(name, r"^data\d+$")
        self.assertEqual(self.inst.read("data/tmp/" + name, "rb"), data)

    def test_dashes_of_the_first_line_mark_a_body_without_content_type(self):
        boundary = "-" * 27 + "7d41b838504d8"
        body, _ = multipart([("CMD", "zz"), ("a", "1")], boundary=boundary)
        r = self.inst.run(post=body, content_type="text/plain")
        self.assertEqual(r.raw, dump(("a", "1"), ("CMD", "zz")))

    def test_trace_of_a_multipart_body(self):
        r, trace = self.run_traced(BOUNDARY, post=multipart(
            [("CMD", "zz"), ("title", "Probl\u00e9me"), ("F", ("f.txt", b"ab"))],
            boundary=BOUNDARY)[0],
            content_type="multipart/form-data; boundary=" + BOUNDARY)
        t = trace.decode("latin-1")
        delim = "--" + BOUNDARY
        self.assertIn('#qs="%s\r\n";\n#\n' % delim, t)
        self.assertIn("\ndelimiter:>%s<\n" % delim, t)
        self.assertIn("->Content-Disposition: form-data; name=\nnom->CMD\n-\r-\n-->zz\n"
                      "-->len: 2 \n delimiter: >%s<\n" % delim, t)
        self.assertIn("nom->title\n-\r-\n-->Probl\n-->len: 5 \n", t)
        self.assertIn("nom->F\n-;-\n-->f.txt\n", t)
        # The match against the delimiter, byte by byte, from its first byte.
        matched = "".join("++: %s %s %d\n" % (c, c, i) for i, c in enumerate(delim))
        self.assertTrue(t.endswith(matched), t[-400:])


class Dispatch(VelkoTestCase):
    def test_admin_commands_never_run_for_a_web_request(self):
        # A server may pass a query string without "=" as the arguments.
        self.inst.write("data/index", "keep\n")
        for cmd in ("--reindex", "--check"):
            r = self.inst.run(cmd, args=[cmd])
            self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"), r.raw[:200])
            self.assertIn("VELKO Problem Report Tracker", r.body)
            self.assertEqual(r.returncode, 0)
        self.assertEqual(self.inst.read("data/index"), "keep\n")
        # From a shell the command runs.
        r = self.inst.run(args=["--reindex"])
        self.assertNotIn("Content-type", r.text)
        self.assertEqual(self.inst.read("data/index"), "")

    def test_two_unknown_commands_give_one_dump(self):
        r = self.inst.run("CMD=x&CMD=y&k=v")
        self.assertEqual(r.raw, dump(("k", "v"), ("CMD", "y"), ("CMD", "x")))


class MainConfiguration(unittest.TestCase):
    def setUp(self):
        self.inst = Install()
        self.addCleanup(self.inst.remove)

    def cfg(self, extra):
        i = self.inst
        i.write_main_cfg("DATADIR %s\nCONFIGDIR %s\nLANGUAGE EN\n%s" % (i.data, i.cfg, extra))

    def image_dir(self):
        r = self.inst.run("")
        m = re.search(r'<IMG SRC="(.*)velko\.gif" ALT=VELKO', r.body)
        self.assertTrue(m, r.body[:600])
        return m.group(1)

    def test_value_rules(self):
        cases = [
            ("IMGDIR   /srv/img/   \n", "/srv/img//"),
            ("IMGDIR /a/\nIMGDIR /b/\n", "/b//"),          # the last one wins
            ("IMGDIR\nPRINT x\n", "/"),                      # no value
            ("IMGDIR \r\n", "/"),
            ("# IMGDIR /c/\n", "/c//"),                      # no comment syntax
            ("#IMGDIR /d/\nIMGDIR /e/\n#IMGDIR /f/\n", "/e//"),  # a glued key is no key
            ("PRINT IMGDIR /v/\n", "/v//"),                  # a value word is a key too
            ("IMGDIR\t/t/\n", "\t/t//"),                     # tabs are not skipped
            ("IMGDIR /" + "x" * 120 + "\n", "/" + "x" * 97 + "/"),  # 99 characters
        ]
        for text, expected in cases:
            with self.subTest(cfg=text):
                self.cfg(text)
                self.assertEqual(self.image_dir(), expected)

    def test_security_only_for_exactly_yes(self):
        for value, login in (("yes", False), ("YES ", True), ("YES", True), ("", False)):
            with self.subTest(value=value):
                self.cfg("SECURITY %s\n" % value)
                r = self.inst.run("")
                self.assertEqual('NAME="Passwd"' in r.body, login, r.body[-800:])

    def test_location_from_script_filename(self):
        for script, cfg in (("C:\\www\\cgi\\velko", "C:\\www\\cgi/config/velko.cfg"),
                            ("/srv/cgi-bin/tracker", "/srv/cgi-bin/config/velko.cfg"),
                            ("velko", "/config/velko.cfg")):
            r = self.inst.run("CMD=k", env={"PWD": None, "SCRIPT_FILENAME": script,
                                            "SCRIPT_NAME": "/cgi-bin/velko"})
            self.assertEqual(r.raw.count(b"Content-type"), 1)
            self.assertTrue(r.text.startswith(
                "Content-type: text/html\n\n<!script : /cgi-bin/velko>\n<!pwd : >\n"
                "<!script : %s>\n<!Unable to open : %s>\n" % (script, cfg)), r.text[:300])


class LanguageTable(VelkoTestCase):
    def menu(self, env=None):
        r = self.inst.run("", env=env)
        return r, re.findall(r'><BR>([^<]*)</A></TD>', r.body)

    def test_lookup_rules(self):
        self.inst.write("cfg/langue.EN", "1,EN\n2,v4.6\n# comment\n0,zero\n-3,neg\n"
                        "3000,Hello\n3000,Bye\n3001, Spaced\n3002,Crlf\r\n3003 x\n"
                        "3004,a,b\n  3005,lead\n")
        r, alts = self.menu()
        self.assertEqual(alts, ["Bye", " Spaced", "Crlf", "", "a,b", "lead", "", ""])
        self.assertNotIn("Please update", r.body)

    def test_empty_language_key_selects_french(self):
        self.inst.write_main_cfg("DATADIR %s\nCONFIGDIR %s\nLANGUAGE\n"
                                 % (self.inst.data, self.inst.cfg))
        self.inst.write("cfg/langue.FR", "1,FR\n2,v4.6\n3000,Configuration\n")
        r, alts = self.menu()
        self.assertIn("<B> v4.6 FR</B>", r.body)
        self.assertEqual(alts[0], "Configuration")
        # The code is the first word of the value.
        self.inst.write_main_cfg("DATADIR %s\nCONFIGDIR %s\nLANGUAGE EN  extra\n"
                                 % (self.inst.data, self.inst.cfg))
        self.assertIn("<B> v4.6 EN</B>", self.inst.run("").body)

    def test_missing_file_comment_follows_the_header(self):
        os.remove(self.inst.path("cfg", "langue.EN"))
        r = self.inst.run("CMD=search")
        self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n"))
        self.assertEqual(r.raw.count(b"Content-type"), 1)
        self.assertIn("<! langue file : %slangue.EN >\n" % (self.inst.cfg + "/"), r.text)


class SelectionLists(VelkoTestCase):
    """The lists of the creation form, as its Part prints them."""

    def setUp(self):
        super().setUp()
        self.inst.write("cfg/phase.cfg", "specification:S\n# skipped\n\ndeveloppement:D\n")
        self.inst.write("cfg/TEST_subproject.cfg", "1.1:A\n1.10:B\n1.1b:C\n2.0:D\n")
        self.inst.write("cfg/TEST_version.cfg", "1.0\n")
        self.inst.write("cfg/TEST_deadline.cfg", "1.0 2.0\n#x 3.0\n")
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:p:YES\nbob:b@x:p:YES\n")
        self.inst.write("cfg/userinfo.dat", "10.0.0.9:zed:TEST:2.0:0\n"
                                            "127.0.0.1:bob:TEST:1.1:1\n")

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
        sev = self.select(b, "sev")
        self.assertEqual(re.findall(r"<OPTION VALUE=(\d) (SELECTED )?>", sev),
                         [("1", ""), ("2", ""), ("3", ""), ("4", "")])
        self.assertEqual(re.findall(r"<OPTION VALUE=(\d) >", self.select(b, "type")),
                         ["1", "2"])

    def test_projects_in_reverse_file_order(self):
        self.inst.write("cfg/project.cfg", "AAA:A:m:v:\nno colon\nBBB:B\n\nTEST:T:admin:admin\n")
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertEqual(re.findall(r'<OPTION [^>]*project=([^"&]*)', b), ["TEST", "BBB", "AAA"])

    def test_missing_users_file_prints_no_user(self):
        os.remove(self.inst.path("cfg", "TEST_users.cfg"))
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertNotIn("<OPTION>", self.select(b, "submitter"))

    def test_configured_names_and_texts_are_escaped(self):
        self.inst.write("cfg/TEST_version.cfg", "<script>1</script>\n")
        self.inst.write("cfg/TEST_subproject.cfg", "a&b:A\n")
        self.inst.write("cfg/TEST_deadline.cfg", "\"q\"\n")
        self.inst.write("cfg/TEST_users.cfg", "<u>:u@x:p:YES\n")
        self.inst.write("cfg/phase.cfg", "<i>spec:S\n")
        lang = self.inst.read("cfg/langue.EN")
        self.inst.write("cfg/langue.EN", lang + "\n215,<b>Critical</b>\n")
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertIn("<OPTION> &lt;script&gt;1&lt;/script&gt;\n", self.select(b, "version"))
        self.assertIn("<OPTION> a&amp;b", self.select(b, "group"))
        self.assertIn("<OPTION> &quot;q&quot;\n", self.select(b, "exp"))
        self.assertIn("<OPTION> &lt;u&gt;\n", self.select(b, "submitter"))
        self.assertIn("> &lt;i&gt;spec\n", self.select(b, "phase"))
        self.assertIn("<OPTION VALUE=1 > &lt;b&gt;Critical&lt;/b&gt;\n", self.select(b, "sev"))
        self.assertNotIn("<script>", b)

    def test_error_box_escapes_its_text(self):
        lang = self.inst.read("cfg/langue.EN")
        self.inst.write("cfg/langue.EN", lang + "\n500,<b>Error</b>\n515,No & no\n")
        self.inst.write("cfg/TEST_users.cfg", "")
        self.inst.write_main_cfg("DATADIR %s\nCONFIGDIR %s\nSECURITY YES\nLANGUAGE EN\n"
                                 % (self.inst.data, self.inst.cfg))
        b = self.inst.run("CMD=create&project=TEST").body
        self.assertIn("<FONT COLOR=RED><H1>&lt;b&gt;Error&lt;/b&gt;</H1></font>\n"
                      "<P><HR><BR><BR>No &amp; no\n</TD></TR></TABLE>", b)


if __name__ == "__main__":
    unittest.main()
