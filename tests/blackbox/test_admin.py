"""velko --check and velko --reindex: consistency of the report files and
the index, from the command line, without a CGI header."""
import os
import unittest
import urllib.parse

from velkotest import VelkoTestCase, report_line, report_text


def report_file(number, title):
    return report_text(report_line(number=number, title=title),
                       [(None, "Analysis", 1079355909, "admin", "first analysis\n")],
                       "2004/03/15:14.05.09 Submitter admin\n")


class AdminTest(VelkoTestCase):
    def admin(self, cmd, **kw):
        r = self.inst.run(args=[cmd], **kw)
        self.assertNotIn("Content-type", r.text)
        return r.returncode, r.text

    def put(self, name, text, mtime=None):
        self.inst.write("data/" + name, text)
        if mtime is not None:
            os.utime(self.inst.path("data", name), (mtime, mtime))

    def test_reindex_rebuilds_in_order_of_last_change(self):
        self.assertEqual(self.admin("--check"), (0, "consistent: 0 report files, 0 index lines\n"))
        self.put("TS10.00002", report_file(2, "second"), mtime=1000000000)
        self.put("TS10.00001", report_file(1, "first"), mtime=1100000000)
        self.put("TS10.00003", report_file(3, "third"), mtime=1050000000)
        # Not report files: other names, and the leftovers of synchronisation.
        self.put("TS10.00004.4242", report_file(4, "leftover"))
        self.put("history.dat", "x\n")
        self.assertEqual(self.admin("--check"), (1, "".join(
            "report missing from the index: TS10.0000%d\n" % n for n in (1, 2, 3))
            + "inconsistent: 3 problems\n"))
        self.assertEqual(self.admin("--reindex"), (0, "index rebuilt: 3 reports\n"))
        self.assertEqual(self.inst.read("data/index"), report_line(number=2, title="second")
                         + report_line(number=3, title="third") + report_line(title="first"))
        self.assertEqual(self.admin("--check"), (0, "consistent: 3 report files, 3 index lines\n"))

    def test_check_reports_every_inconsistency(self):
        self.put("TS10.00001", report_file(1, "one"))
        self.put("TS10.00002", report_file(2, "two"))
        self.put("TS10.00003", "damaged\n")
        self.put("TS10.00005", "")  # a number reserved by a request that died
        self.put("index", report_line(title="one") * 2 + report_line(number=9, title="ghost")
                 + report_line(number=2, title="old title") + "rubbish\n")
        self.assertEqual(self.admin("--check"), (1,
                         "report file does not parse: TS10.00003\n"
                         "report file does not parse: TS10.00005\n"
                         "duplicate key TEST,phase 1,0,1 in the index: lines 1 and 2\n"
                         "index line 3 has no report file: TEST,phase 1,0,9\n"
                         "index line 4 differs from the report file TS10.00002\n"
                         "index line 5 does not parse\n"
                         "inconsistent: 6 problems\n"))
        self.assertEqual(self.admin("--reindex"), (1,
                         "left out, does not parse: TS10.00003\n"
                         "left out, does not parse: TS10.00005\n"
                         "index rebuilt: 2 reports\n"))
        os.unlink(self.inst.path("data", "TS10.00003"))
        os.unlink(self.inst.path("data", "TS10.00005"))
        self.assertEqual(self.admin("--check"), (0, "consistent: 2 report files, 2 index lines\n"))

    def test_report_cut_short_is_reported_and_never_rewritten(self):
        name = self.inst.put_report(entries=[(None, "First", 1079355909, "admin", "line one\nline two\n")])
        self.assertEqual(self.admin("--check")[0], 0)
        whole = self.inst.read("data/" + name)
        cut = whole[:whole.index("line two")]  # a crash or a full disk in the middle
        self.inst.write("data/" + name, cut)
        rc, out = self.admin("--check")
        self.assertEqual(rc, 1)
        self.assertIn("report file is cut short (restore it from a backup): %s\n" % name, out)
        r = self.inst.run(query=urllib.parse.urlencode(dict(CMD="Not_a_Bug", Num=name, QS="", User="admin")))
        self.assertIn(self.inst.lang(520).replace("%s", self.inst.lang(530).replace("%s", name)), r.body)
        self.assertEqual(self.inst.read("data/" + name), cut)

    def test_repair_removes_what_killed_requests_left(self):
        name = self.inst.put_report()
        dead = 2 ** 22 + 12345  # above any pid this machine gives
        left = [".%s.%d.tmp" % (name, dead), "tmp/data%d" % dead, "tmp/velko.%d.prt" % dead]
        for f in left + [".index.%d.tmp" % os.getpid()]:  # the last one's process runs
            self.inst.write("data/" + f, "x")
        self.inst.write("data/index", "")  # a report written, its request killed before the index
        rc, out = self.admin("--check")
        self.assertEqual(rc, 1)  # for the report missing from the index; the litter is only said
        for f in left:
            self.assertIn("left by a request that was killed: %s (velko --repair removes it)\n" % f, out)
        self.assertIn("report missing from the index: %s\n" % name, out)
        self.assertNotIn("index.%d" % os.getpid(), out)
        self.admin("--repair")
        self.assertEqual(self.admin("--check"), (0, "consistent: 1 report files, 1 index lines\n"))
        self.assertTrue(os.path.exists(self.inst.path("data", ".index.%d.tmp" % os.getpid())))

    def test_two_files_with_one_key(self):
        self.put("TS10.00001", report_file(1, "one"), mtime=1000000000)
        self.put("TS10.00007", report_file(1, "copy"), mtime=1100000000)
        rc, text = self.admin("--check")
        self.assertEqual(rc, 1)
        self.assertIn("report files TS10.00001 and TS10.00007 have the same key TEST,phase 1,0,1\n",
                      text)
        rc, text = self.admin("--reindex")
        self.assertEqual(rc, 1)
        self.assertIn("left out, same key TEST,phase 1,0,1 as TS10.00007: TS10.00001\n", text)
        self.assertEqual(self.inst.read("data/index"), report_line(title="copy"))

    def test_configuration_and_unknown_command(self):
        self.put("TS10.00001", report_file(1, "one"))
        # Without PWD the configuration is beside the executable's script name.
        self.assertEqual(self.admin("--reindex", env={"PWD": None, "SCRIPT_FILENAME":
                                                      self.inst.path("velko")}, cwd="/"),
                         (0, "index rebuilt: 1 reports\n"))
        self.assertEqual(self.admin("--check", env={"PWD": "/nonexistent"}),
                         (2, "cannot read the configuration file /nonexistent/config/velko.cfg\n"))
        self.assertFalse(os.path.exists("/nonexistent"))
        rc, text = self.admin("--frobnicate")
        self.assertEqual(rc, 2)
        self.assertTrue(text.startswith("unknown command --frobnicate"))
        self.assertEqual(text.count("\n"), 1)


if __name__ == "__main__":
    unittest.main()
