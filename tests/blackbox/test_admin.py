"""velko --check and velko --reindex: consistency of the report files and
the index, from the command line, without a CGI header."""
import os
import unittest

from velkotest import VelkoTestCase

SEP_ANALYSE = "=!=!=!=!=!=!=!=!=!=!=!="
SEP_HISTORY = "=-=-=-=-=-=-=-=-=-=-=-="


def index_line(number, title, project="TEST", group="phase 1", prefix="10", status="a"):
    fields = [prefix, str(number), "a", "1079355909", "admin", "b", project, group, "mod",
              "1.0", "", status, "0", "", "", "0", "", "", "0", "", "a", "a", "", "", "0", "1",
              title]
    assert len(fields) == 27
    return "|".join(fields) + "\n"


def report_file(number, title, **kw):
    text = "first analysis\n"
    hist = "2004/03/15:14.05.09 Submitter admin\n"
    return (index_line(number, title, **kw) + SEP_ANALYSE + "\n" +
            "Analysis|1079355909|admin|%d\n" % len(text) + text +
            SEP_HISTORY + "\n%d\n" % len(hist) + hist)


class AdminTest(VelkoTestCase):

    def admin(self, cmd, **kw):
        r = self.inst.run(args=[cmd], **kw)
        self.assertNotIn("Content-type", r.text)
        return r

    def put(self, name, text, mtime=None):
        self.inst.write("data/" + name, text)
        if mtime is not None:
            os.utime(self.inst.path("data", name), (mtime, mtime))

    def test_empty_installation_is_consistent(self):
        r = self.admin("--check")
        self.assertEqual(r.text, "consistent: 0 report files, 0 index lines\n")
        self.assertEqual(r.returncode, 0)

    def test_reindex_rebuilds_in_order_of_last_change(self):
        self.put("TS10.00002", report_file(2, "second"), mtime=1000000000)
        self.put("TS10.00001", report_file(1, "first"), mtime=1100000000)
        self.put("TS10.00003", report_file(3, "third"), mtime=1050000000)
        # Not report files: other names, and the leftovers of synchronisation.
        self.put("TS10.00004.4242", report_file(4, "leftover"))
        self.put("history.dat", "x\n")
        r = self.admin("--check")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.text,
                         "report missing from the index: TS10.00001\n"
                         "report missing from the index: TS10.00002\n"
                         "report missing from the index: TS10.00003\n"
                         "inconsistent: 3 problems\n")
        r = self.admin("--reindex")
        self.assertEqual(r.text, "index rebuilt: 3 reports\n")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.inst.read("data/index"),
                         index_line(2, "second") + index_line(3, "third") + index_line(1, "first"))
        r = self.admin("--check")
        self.assertEqual(r.text, "consistent: 3 report files, 3 index lines\n")
        self.assertEqual(r.returncode, 0)

    def test_check_reports_every_inconsistency(self):
        self.put("TS10.00001", report_file(1, "one"))
        self.put("TS10.00002", report_file(2, "two"))
        self.put("TS10.00003", "damaged\n")
        self.put("TS10.00005", "")  # a number reserved by a request that died
        self.put("index", index_line(1, "one") + index_line(1, "one") +
                 index_line(9, "ghost") + index_line(2, "old title") + "rubbish\n")
        r = self.admin("--check")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.text,
                         "report file does not parse: TS10.00003\n"
                         "report file does not parse: TS10.00005\n"
                         "duplicate key TEST,phase 1,0,1 in the index: lines 1 and 2\n"
                         "index line 3 has no report file: TEST,phase 1,0,9\n"
                         "index line 4 differs from the report file TS10.00002\n"
                         "index line 5 does not parse\n"
                         "inconsistent: 6 problems\n")
        r = self.admin("--reindex")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.text,
                         "left out, does not parse: TS10.00003\n"
                         "left out, does not parse: TS10.00005\n"
                         "index rebuilt: 2 reports\n")
        os.unlink(self.inst.path("data", "TS10.00003"))
        os.unlink(self.inst.path("data", "TS10.00005"))
        r = self.admin("--check")
        self.assertEqual((r.returncode, r.text), (0, "consistent: 2 report files, 2 index lines\n"))

    def test_two_files_with_one_key(self):
        self.put("TS10.00001", report_file(1, "one"), mtime=1000000000)
        self.put("TS10.00007", report_file(1, "copy"), mtime=1100000000)
        r = self.admin("--check")
        self.assertEqual(r.returncode, 1)
        self.assertIn("report files TS10.00001 and TS10.00007 have the same key TEST,phase 1,0,1\n",
                      r.text)
        r = self.admin("--reindex")
        self.assertEqual(r.returncode, 1)
        self.assertIn("left out, same key TEST,phase 1,0,1 as TS10.00007: TS10.00001\n", r.text)
        self.assertEqual(self.inst.read("data/index"), index_line(1, "copy"))

    def test_configuration_found_like_a_request(self):
        self.put("TS10.00001", report_file(1, "one"))
        # Without PWD the configuration is beside the executable's script name.
        r = self.admin("--reindex", env={"PWD": None,
                                         "SCRIPT_FILENAME": self.inst.path("velko")},
                       cwd="/")
        self.assertEqual((r.returncode, r.text), (0, "index rebuilt: 1 reports\n"))
        r = self.admin("--check", env={"PWD": "/nonexistent"})
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.text, "cannot read the configuration file /nonexistent/config/velko.cfg\n")
        self.assertFalse(os.path.exists("/nonexistent"))

    def test_unknown_command(self):
        r = self.admin("--frobnicate")
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.text.startswith("unknown command --frobnicate"))
        self.assertEqual(r.text.count("\n"), 1)


if __name__ == "__main__":
    unittest.main()
