"""Attachments (upload through real multipart bodies, download, refusals),
the header change with its rename, the entry change and the copy; and, in
headless chromium, a file attached through the form and downloaded from the
report page."""
import os
import re
import shutil
import tempfile
import time
import unittest
import urllib.parse

from velkotest import (FULL_RIGHTS, SEP_ATTACH, CREATE_FIELDS, Server, VelkoTestCase, multipart,
                       parse_report)
from test_e2e_browser import CHROMEDRIVER, CHROMIUM, MISSING, Service, webdriver

NAME = "TS10.00001"
DATA = bytes(range(256)) * 2 + b"\r\n------WebKitFormBoundary\r\r\n--\r\n-----------------------------1"
BOUNDARIES = ["----WebKitFormBoundaryx8Qm2eAbc123",  # chromium
              "---------------------------93452102317364870721497838113",  # firefox before 2023
              "----geckoformboundary3e5f1f2bc6a3d6ae1f0c79f0d4c5b0a1"]  # firefox


def head_form(**changes):
    """The header form as a browser sends it for the report of put_report."""
    form = {"CMD": "Change_Header", "Num": NAME, "QS": "", "title": "Crash at start", "project": "TEST",
            "group": "phase 1", "prog": "mod", "sev": "2", "impact": "a", "phase": "a", "version": "v1",
            "exp": "v2", "type": "2", "submitter": "admin", "test": "", "mdapda": "", "Load": "5",
            "User": "admin"}
    form.update(changes)
    return urllib.parse.urlencode(form)


class EditCase(VelkoTestCase):
    def setUp(self):
        super().setUp()
        self.inst.put_report(entries=[(None, "Analyse_0", 1100000000, "bob", "one\r\ntwo\r\n")])
        self.inst.write("cfg/TEST_users.cfg", "admin :a@x:admin%s\nbob :b@x:b%s\n" % ((FULL_RIGHTS,) * 2))
        self.inst.write("cfg/TEST_subproject.cfg", "phase 1:10\nphase 2:20\n")

    def L(self, n, *args):
        return self.inst.lang(n) % args if args else self.inst.lang(n)

    def attach(self, title="File_1", file=("C:\\docs\\trace.log", DATA), boundary=BOUNDARIES[0], cut=0,
               user="admin", num=NAME):
        fields = [("CMD", "Attach"), ("Num", num), ("QS", "")]
        fields += [(k, v) for k, v in (("title", title), ("User", user)) if v is not None]
        body, ct = multipart(fields + ([("Attach", file)] if file else []), boundary)
        return self.inst.run(post=body[:len(body) - cut], content_type=ct)

    def report(self, name=NAME):
        return parse_report(self.inst.read("data/" + name, "rb"))

    def history(self):
        return self.inst.read("data/history.dat").splitlines() if os.path.exists(
            self.inst.data + "history.dat") else []

    def no_spool(self):
        self.assertEqual([n for n in os.listdir(self.inst.data + "tmp") if n.startswith("data")], [])


class AttachTest(EditCase):
    def test_upload_and_download_every_byte(self):
        for i, b in enumerate(BOUNDARIES):
            title, client = "File_%d" % (i + 1), ["C:\\docs\\trace.log", "trace.log", "dir/trace.log"][i]
            r = self.attach(title, (client, DATA), b)
            path = self.inst.data + "TRACE_%s/%s_trace.log" % (NAME, title)
            self.assertIn("<P>%s %s , %d bytes.<P>" % (self.L(2084), client, len(DATA)), r.body)
            self.assertEqual(self.inst.read(path[len(self.inst.root) + 1:], "rb"), DATA, b)
            sep, head, text = self.report()[1][-1]
            self.assertEqual((sep, head[0], head[2], text), (SEP_ATTACH, title, "admin", self.inst.data +
                                                             "/TRACE_%s/%s_trace.log\n" % (NAME, title)))
            self.assertTrue(self.history()[-1].endswith(NAME + " " + self.L(2086, title, "admin")))
            self.no_spool()
            # The report page's link downloads the bytes as they were sent.
            page = self.inst.run(query="find=" + NAME).body
            link = re.findall(r'HREF="/cgi-bin/velko\?(CMD=FILE&title=[^"]*)"', page)[i]
            d = self.inst.run(query=link)
            self.assertEqual((d.header, d.body_bytes), (
                'Content-type: application/octet-stream\nContent-Disposition: attachment; '
                'filename="%s_trace.log"\n\n' % title, DATA))

    def test_refusals_change_nothing(self):
        self.attach()
        before = self.inst.snapshot()
        spool = self.inst.data + "/tmp/data"
        for args, text in (
                ({}, self.L(511, "File_1")),  # same title and same base name
                ({"user": ""}, self.L(502)), ({"title": ""}, self.L(502)),
                ({"file": ("", b"")}, self.L(502)),  # no file chosen
                ({"title": "../../evil"}, self.L(2085, "../../evil")),
                ({"title": "a\\b"}, self.L(2085, "a\\b")),
                # no file part: the spool's name (which ends with the process number)
                ({"title": "File_2", "file": None}, self.L(512, spool).split(spool)[0] + spool),
                ({"title": "File_2", "cut": 40}, self.L(512, "C:\\docs\\trace.log"))):
            r = self.attach(**args)
            self.assertIn(text.replace("&", "&amp;").replace('"', "&quot;"), r.body, args)
            self.assertEqual(self.inst.snapshot(), before, args)
            self.no_spool()
        # Another title stores the same file again; a hostile base name stays inside.
        self.attach("File_2", ("..\\..\\../../evil.txt", b"x"))
        self.assertEqual(sorted(os.listdir(self.inst.data + "TRACE_" + NAME)),
                         ["File_1_trace.log", "File_2_evil.txt"])
        self.assertEqual([n for _, _, f in os.walk(self.inst.root) for n in f if "evil" in n],
                         ["File_2_evil.txt"])

    def test_hostile_downloads(self):
        self.attach('A"B')
        folder = self.inst.data + "TRACE_" + NAME
        os.symlink(self.inst.path("config", "velko.cfg"), folder + "/link")
        d = self.inst.run(query=urllib.parse.urlencode({"CMD": "FILE", "title": folder + '/A"B_trace.log'}))
        self.assertIn('filename="A\\"B_trace.log"\n\n', d.header)
        self.assertEqual(d.body_bytes, DATA)
        outside = ["/etc/passwd", self.inst.data + "index", self.inst.data + NAME, folder + "/../" + NAME,
                   folder + "/..", folder + "/", self.inst.data + "TRACE_../../config/velko.cfg",
                   "../data/TRACE_%s/A\"B_trace.log" % NAME]
        for path in outside + [folder + "/x\r\nSet-Cookie: a=b", folder + "/link", folder + "/missing"]:
            d = self.inst.run(query=urllib.parse.urlencode({"CMD": "FILE", "title": path}))
            name = path.rsplit("/", 1)[-1].replace('"', '\\"').replace("\r", "_").replace("\n", "_")
            self.assertEqual((d.header, d.body_bytes), (
                'Content-type: application/octet-stream\nContent-Disposition: attachment; filename="%s"\n%s\n'
                % (name, "Status: 403 Forbidden\n" * (path in outside)), b""), path)

    def test_security_needs_a_session_to_save(self):
        inst = self.inst = self.other_install(security=True)
        inst.put_report()
        before = inst.snapshot()
        self.assertIn(inst.lang(518), self.attach().body)
        for q in (head_form(title="x"), "CMD=Copy&Num=%s&User=admin" % NAME,
                  "CMD=Edit&Num=%s&Edit=0&User=admin&title=x" % NAME):
            self.assertIn(inst.lang(518), inst.run(query=q).body, q)
        self.assertEqual(inst.snapshot(), before)


class HeaderEntryCopyTest(EditCase):
    def test_header_form_title_and_reestimation(self):
        self.inst.put_report(title='Say "hi" <b>&\'')
        form = self.inst.run(query="CMD=Change_Header&Num=" + NAME).body
        self.assertIn('<INPUT TYPE=text NAME="title" SIZE=83 VALUE="Say &quot;hi&quot; &lt;b&gt;&amp;&#39;">',
                      form)
        self.assertIn("<OPTION SELECTED> mod\n", form)  # a module no longer listed is kept
        r = self.inst.run(query=head_form(User=""))
        self.assertIn(self.L(503, self.L(2025)), r.body)
        for load, line in (("8", "8 days (+3)"), ("5", "5 days (-3)"), ("5", None)):
            before = len(self.history())
            r = self.inst.run(query=head_form(title="New title", Load=load))
            self.assertIn("<H1>%s %s</H1>" % (self.L(2030), NAME), r.body)
            lines = [l.split(" ", 2)[2] for l in self.history()[before:]]
            self.assertEqual(lines, [self.L(2031, "admin")] + ["Re-estimated by admin to %s" % line] * bool(line))
        first, entries, _ = self.report()
        self.assertEqual(first.split("|")[25:], ["5", "New title"])
        self.assertEqual(self.inst.reports(), [NAME])

    def test_rename_to_a_prefix_with_numbers(self):
        for n in (2, 3, 4):
            self.inst.put_report(number=n)
        for n in (1, 2):
            self.inst.put_report(number=n, subProject="phase 2", name="TS20.%05d" % n)
        r = self.inst.run(query=head_form(Num="TS10.00004", group="phase 2"))
        self.assertIn("<H1>%s TS10.00004</H1>" % self.L(2030), r.body)
        self.assertIn("<B>TS20.00003</B>", r.body)  # the body shows the report as now stored
        self.assertNotIn("TS10.00004", self.inst.reports())
        self.assertEqual(self.report("TS20.00003")[0].split("|")[1:8:6], ["3", "phase 2"])
        self.assertEqual(sorted(l.split("|")[7] + l.split("|")[1] for l in self.inst.index_lines()),
                         ["phase 11", "phase 12", "phase 13", "phase 21", "phase 22", "phase 23"])
        self.assertTrue(self.history()[-1].endswith("TS20.00003 " + self.L(2031, "admin")))
        # Number 4 is free again for the next report of the old prefix.
        self.inst.run(post=urllib.parse.urlencode(dict(CREATE_FIELDS, title="t", prog="mod")))
        self.assertIn("TS10.00004", self.inst.reports())
        self.assertEqual(self.inst.run(args=["--check"]).returncode, 0)  # files and index agree

    def test_entry_form_and_change(self):
        form = self.inst.run(query="CMD=Edit&Num=%s&Edit=0" % NAME).body
        self.assertIn('<INPUT SIZE=25 NAME="title" VALUE="Analyse_0">\n', form)
        self.assertIn("<TEXTAREA NAME=text ROWS=15 COLS=70>one\rtwo\r</TEXTAREA>", form)
        r = self.inst.run(query="CMD=Edit&Num=%s&Edit=3&User=admin&title=x&text=y" % NAME)
        self.assertIn('<Font color=red><H1>%s</H1><P>\n%s<P></font>' % (self.L(500), self.L(505).replace(
            "%d", "3")), r.body)
        self.assertIn(self.L(502), self.inst.run(query="CMD=Edit&Num=%s&Edit=0&User=&title=x" % NAME).body)
        r = self.inst.run(post="CMD=Edit&Num=%s&Edit=0&User=admin&title=Said+%%22so%%22&text=new%%0D%%0A"
                               "text%%0D%%0A" % NAME)
        self.assertIn("<H1>%s %s</H1>" % (self.L(2026), NAME), r.body)
        _, entries, history = self.report()
        self.assertEqual(entries[0][1][0:3:2] + [entries[0][2]], ['Said "so"', "bob", "new\r\ntext\r\n"])
        self.assertTrue(history.endswith(self.L(2027, 'Said "so"', "admin") + "\n"))

    def test_copy_numbering_and_history(self):
        self.attach()
        self.assertIn(self.L(503, self.L(2114)), self.inst.run(query="CMD=Copy&Num=%s&User=" % NAME).body)
        for group, copy in (("phase 1", "TS10.00002"), ("phase 1", "TS10.00003"), ("phase 2", "TS20.00001")):
            r = self.inst.run(query=urllib.parse.urlencode(
                {"CMD": "Copy", "Num": NAME, "User": "bob", "project": "TEST", "group": group, "prog": "general",
                 "sev": "1", "phase": "a"}))
            self.assertIn("<H1>%s %s</H1>" % (self.L(2033), NAME), r.body)
            first, entries, history = self.report(copy)
            self.assertEqual(first.split("|")[1:9], [str(int(copy[-5:])), "a", "1100000000", "admin", "b",
                                                    "TEST", group, "general"])
            self.assertEqual(entries, self.report()[1])
            self.assertTrue(history.endswith(self.L(2034, NAME, "bob") + "\n"))
            self.assertTrue(self.report()[2].endswith(self.L(2035, copy, "bob") + "\n"))
            self.assertRegex("\n".join(self.history()[-2:]), r"%s %s\n.* %s %s$" % (
                re.escape(copy), re.escape(self.L(2034, NAME, "bob")), NAME,
                re.escape(self.L(2035, copy, "bob"))))
        self.assertEqual(self.inst.run(args=["--check"]).returncode, 0)


@unittest.skipIf(MISSING, "not installed: " + MISSING)
class BrowserAttachTest(unittest.TestCase):
    def test_attach_and_download_in_chromium(self):
        srv = Server().start()
        self.addCleanup(srv.stop)
        srv.put_report()
        downloads, files = tempfile.mkdtemp(prefix="velko-dl."), tempfile.mkdtemp(prefix="velko-up.")
        self.addCleanup(shutil.rmtree, downloads, True)
        self.addCleanup(shutil.rmtree, files, True)
        with open(os.path.join(files, "dump.bin"), "wb") as f:
            f.write(DATA)
        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            o.add_argument(arg)
        b = webdriver.Chrome(service=Service(CHROMEDRIVER), options=o)
        self.addCleanup(b.quit)
        b.implicitly_wait(20)
        b.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        b.get(srv.url() + "?CMD=Attach&Num=" + NAME)
        b.find_element("name", "Attach").send_keys(os.path.join(files, "dump.bin"))
        b.find_element("css selector", "select[name=User] option:nth-child(2)").click()
        b.find_element("css selector", "input[type=submit]").click()
        link = b.find_element("css selector", "a[href*='CMD=FILE']")
        self.assertEqual(link.text, "File_0")
        self.assertIn("%s dump.bin , %d bytes." % (srv.lang(2084), len(DATA)), b.page_source)
        link.click()
        path = os.path.join(downloads, "File_0_dump.bin")
        for _ in range(300):
            if os.path.exists(path) and not [n for n in os.listdir(downloads) if n.endswith(".crdownload")]:
                break
            time.sleep(0.1)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), DATA)
        self.assertEqual(srv.sanitizer_reports(), "")


if __name__ == "__main__":
    unittest.main()
