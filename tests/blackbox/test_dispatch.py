"""Dispatch of a request to its handlers, the fallback dump and the files
that every request writes."""
import os
import unittest

from velkotest import SOURCE_DIR, Install, VelkoTestCase, multipart


def _text(num):
    """Text `num` of the English language file the installations use."""
    with open(os.path.join(SOURCE_DIR, "config", "langue.EN"), encoding="utf-8") as f:
        for line in f:
            n, _, rest = line.rstrip("\n").partition(",")
            if n == str(num):
                return rest
    return ""


# What each handler's page shows, to tell from the output which ran.
MARK = {
    "modeBug": "<TITLE>Observed</TITLE>",
    "findbug": "<BIG>%s</BIG>" % _text(2113),
    "listdisp": "<TITLE>%s</TITLE>" % _text(2003),
}


def handler_marks(text, name):
    return text.count(MARK[name])


class DumpAndDispatch(VelkoTestCase):
    def test_unknown_command_dumps_arguments_in_list_order(self):
        r = self.inst.run("CMD=nonsense&a=1")
        self.assertEqual(r.raw, b"Content-type: text/html\n\n<PRE>a : '1'\nCMD : 'nonsense'\n")
        self.assertEqual(r.returncode, 0)

    def test_dump_escapes_names_and_values(self):
        r = self.inst.run("CMD=x&%3Cb%3E=%3Cscript%3E%22%26")
        self.assertIn("%3Cb%3E : '&lt;script&gt;&quot;&amp;'", r.body)
        self.assertNotIn("<script>", r.body)

    def test_no_matching_argument_prints_nothing(self):
        self.assertEqual(self.inst.run("a=1&b=2").raw, b"")

    def test_commands_are_case_sensitive(self):
        r = self.inst.run("CMD=observed")
        self.assertTrue(r.body.startswith("<PRE>"))

    def test_num_alone_finds_report_num_with_cmd_runs_workflow_only(self):
        r = self.inst.run("Num=12")
        self.assertEqual(handler_marks(r.text, "findbug"), 1)
        r = self.inst.run("Num=12&CMD=Observed")
        self.assertEqual(handler_marks(r.text, "findbug"), 0)
        self.assertEqual(handler_marks(r.text, "modeBug"), 1)

    def test_find_and_numero_each_call_findbug(self):
        r = self.inst.run("find=A&Numero=B")
        self.assertEqual(handler_marks(r.text, "findbug"), 2)
        # A response never carries two headers, even with two pages.
        self.assertEqual(r.raw.count(b"Content-type"), 1)

    def test_uid_with_command_runs_command(self):
        r = self.inst.run("Uid=x&CMD=search")
        self.assertEqual(handler_marks(r.text, "listdisp"), 1)

    def test_login_runs_no_command(self):
        r = self.inst.run("Login=joe&CMD=search&find=X")
        self.assertEqual(handler_marks(r.text, "listdisp"), 0)
        self.assertEqual(handler_marks(r.text, "findbug"), 0)

    def test_post_form_and_multipart_reach_dispatch(self):
        r = self.inst.run(post="CMD=zz&b=%41")
        self.assertIn("b : 'A'", r.body)
        body, ctype = multipart([("CMD", "zz"), ("field", "v")])
        r = self.inst.run(post=body, content_type=ctype)
        self.assertIn("field : 'v'\nCMD : 'zz'", r.body)
        self.assertEqual(self.inst.read("data/tmp/velko.log"), "field=v&CMD=zz\n")


class RequestFiles(VelkoTestCase):
    def test_log_and_trace(self):
        self.inst.run("CMD=qq&x=1")
        self.assertEqual(self.inst.read("data/tmp/velko.log"), "CMD=qq&x=1\n")
        with open("/tmp/velko.tra") as f:
            trace = f.read()
        self.assertEqual(trace, '#qs"CMD=qq&x=1"\n#*qs:<67>\n#\nCMD=qq&x=1\n')

    def test_post_trace_and_replay(self):
        self.inst.run(post="CMD=replayed&w=2")
        with open("/tmp/velko.tra") as f:
            trace = f.read()
        self.assertEqual(trace, '#qs""\n#*qs:<0>\n#METHOD >>POST\n#post: 1\n'
                                '#qs="CMD=replayed&w=2";\n#\nCMD=replayed&w=2\n')
        r = self.inst.run(args=["TEST"])
        self.assertIn("w : '2'\nCMD : 'replayed'", r.body)

    def test_trace_file_symlink_is_not_followed(self):
        if os.geteuid() != 0:
            self.skipTest("needs to replace the shared trace file")
        victim = self.inst.path("victim")
        with open(victim, "w") as f:
            f.write("keep")
        saved = None
        if os.path.lexists("/tmp/velko.tra"):
            saved = self.inst.path("saved.tra")
            os.rename("/tmp/velko.tra", saved)
        os.symlink(victim, "/tmp/velko.tra")
        try:
            r = self.inst.run("CMD=x")
            self.assertIn("CMD : 'x'", r.body)
            with open(victim) as f:
                self.assertEqual(f.read(), "keep")
        finally:
            os.unlink("/tmp/velko.tra")
            if saved:
                os.rename(saved, "/tmp/velko.tra")


class MainConfiguration(unittest.TestCase):
    def setUp(self):
        self.inst = Install(main_cfg=False)
        self.addCleanup(self.inst.remove)

    def test_keys_with_blanks_and_duplicates(self):
        other = self.inst.path("other") + "/"
        os.makedirs(other + "tmp")
        self.inst.write_main_cfg("DATADIR   %s   \nDATADIR   %s  \n" % (self.inst.data, other))
        self.inst.run("CMD=k")
        self.assertTrue(os.path.exists(other + "tmp/velko.log"))
        self.assertFalse(os.path.exists(self.inst.data + "tmp/velko.log"))

    def test_script_filename_locates_config_without_pwd(self):
        cgi = self.inst.path("cgi-bin")
        os.makedirs(cgi + "/config")
        with open(cgi + "/config/velko.cfg", "w") as f:
            f.write("DATADIR %s\n" % self.inst.data)
        r = self.inst.run("CMD=k", env={"PWD": None, "SCRIPT_FILENAME": cgi + "/velko"})
        self.assertNotIn("Unable to open", r.text)
        self.assertTrue(os.path.exists(self.inst.data + "tmp/velko.log"))

    def test_pwd_wins_over_script_filename(self):
        self.inst.write_main_cfg("DATADIR %s\n" % self.inst.data)
        r = self.inst.run("CMD=k", env={"SCRIPT_FILENAME": "/nonexistent/cgi-bin/velko"})
        self.assertNotIn("Unable to open", r.text)

    def test_unreadable_file_gives_one_header_and_comments(self):
        r = self.inst.run("CMD=k", env={"SCRIPT_NAME": "/cgi-bin/velko"})
        path = self.inst.path("config", "velko.cfg")
        self.assertTrue(r.raw.startswith(b"Content-type: text/html\n\n<!script : /cgi-bin/velko>\n"))
        self.assertIn("<!Unable to open : %s>\n" % path, r.text)
        self.assertEqual(r.raw.count(b"Content-type"), 1)
        self.assertIn("CMD : 'k'", r.text)


if __name__ == "__main__":
    unittest.main()
