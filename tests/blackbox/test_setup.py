"""The setup pages and the installation wizard: a whole wizard run from a
machine without configuration to a working start page (with and without
authentication), the refusals of the installation, the editors and their
saves (rows, rights, hashed and kept passwords, values that cannot add
lines or keys, the POP3 password never shown, mail rules kept by action),
the rights and sessions that setup pages need, the upgrade of the data
folders, and the wizard in headless chromium."""
import ctypes
import html.parser
import os
import re
import shutil
import stat
import sys
import urllib.parse

from velkotest import (FULL_RIGHTS, SOURCE_DIR, VELKO_BIN, Install, Server, VelkoTestCase, have_lighttpd,
                       lang_table)

DEFAULT_RULES = ["new M V", "Change_Header M", "Observed s", "Analyse M a", "Copy", "Assign a",
                 "Open a", "Not_a_Bug M s", "Not_Reproducible M s", "Duplicate s", "Postpone s",
                 "Corrected M V", "For_Verification v", "Verified M V c", "Rejected M V",
                 "Abandoned M s", "Edit M a", "Attach M a"]


def crypt_ok(password, stored):
    lib = ctypes.CDLL("libcrypt.so.1")
    lib.crypt.restype, lib.crypt.argtypes = ctypes.c_char_p, [ctypes.c_char_p, ctypes.c_char_p]
    return lib.crypt(password.encode(), stored.encode()).decode() == stored


class Forms(html.parser.HTMLParser):
    """The forms of a page as a browser would submit them untouched: a list
    of [(name, value)]."""

    def __init__(self, body):
        super().__init__()
        self.forms, self.area, self.select = [], None, None
        self.feed(body)

    def handle_starttag(self, tag, attrs):
        a = {k.lower(): (v if v is not None else "") for k, v in attrs}
        if tag == "form":
            self.forms.append([])
        elif not self.forms:
            return
        elif tag == "input" and "name" in a:
            kind = a.get("type", "text").lower()
            if kind == "checkbox" and "checked" in a:
                self.forms[-1].append((a["name"], a.get("value", "on")))
            elif kind in ("text", "hidden", "password"):
                self.forms[-1].append((a["name"], a.get("value", "")))
        elif tag == "textarea":
            self.area = [a["name"], ""]
        elif tag == "select":
            self.select = [a["name"], None]
        elif tag == "option" and self.select and (self.select[1] is None or "selected" in a):
            self.select[1] = a.get("value")

    def handle_data(self, data):
        if self.area:
            self.area[1] += data
        if self.select and self.select[1] == "":
            self.select[1] = data.strip()

    def handle_endtag(self, tag):
        if tag == "textarea" and self.area:
            self.forms[-1].append((self.area[0], self.area[1].lstrip("\n").replace("\n", "\r\n")))
            self.area = None
        elif tag == "select" and self.select:
            self.forms[-1].append(tuple(self.select))
            self.select = None


def read(path, newline=None):
    with open(path, newline=newline) as f:
        return f.read()


def form(body, index=0, **changes):
    fields = [(n, v) for n, v in Forms(body).forms[index] if n not in changes]
    return fields + [(n, v) for n, v in changes.items() if v is not None]


class Fresh(Install):
    """A machine without configuration: the program's folder holds config/
    with the language files that come with it, nothing else."""

    def __init__(self):
        super().__init__(main_cfg=False)
        shutil.rmtree(self.cfg)
        shutil.rmtree(self.data)
        for code in ("EN", "FR"):
            shutil.copy(os.path.join(SOURCE_DIR, "config", "langue." + code), self.path("config"))
        self.cfg, self.data = self.path("inst", "a", "conf") + "/", self.path("inst", "data")

    def lang(self, num, code=None):
        return lang_table(self.path("config", "langue." + (code or self.language))).get(num, "")

    def submit(self, fields):
        return self.run(post=urllib.parse.urlencode(fields))

    def install(self, **changes):
        """Step 1 from the first page's form."""
        fields = dict(cfg=self.cfg, data=self.data, prt="true", mel="127.0.0.1", dom="example.org")
        return self.submit(form(self.run("").body, **dict(fields, **changes)))


class WizardTest(VelkoTestCase):
    def setUp(self):
        self.inst = Fresh()
        self.addCleanup(self.inst.remove)

    def test_whole_run_from_nothing_to_the_start_page(self):
        inst = self.inst
        first = inst.run("")
        self.assertIns(first.body, "<! can't open cfgfile :%s/config/velko.cfg>\n" % inst.root,
                       "<TITLE>Setup</TITLE>", "<BODY BGCOLOR=#C0C0C0>\n<Font size=7>VELKO Setup "
                       "Wizzard</font>\n<UL><UL><UL><UL>\n<P>This is your first installation of VELKO.",
                       'VALUE="/usr/local/velko/data/"', 'NAME=popP SIZE=20', "<inPUT TYPE=submit "
                       "VALUE=Next>\n</TD></TR>\n</TABLE></FORM></TD></TR></TABLE>\n</UL></UL>\n")
        # Any other setup page before the installation is the first page.
        self.assertIn("This is your first installation", inst.run("CMD=setup&Edit=2").body)
        # Step 1: a data directory without final slash, a configuration
        # directory whose parents are missing.
        body = inst.install().body
        conf = inst.cfg
        rows = re.findall(r"<TR><TD> Creating Directory : (\S+) </TD>\n<TD><Font COLOR=GREEN>OK", body)
        self.assertEqual(rows, [inst.path("config"), inst.path("inst"), inst.path("inst", "a"), conf,
                                inst.data + "/", inst.data + "/Stats/", inst.data + "/Tests/",
                                inst.data + "/tmp/"])
        self.assertEqual(re.findall(r"Creating Default File : (\w+)\.cfg </TD>\n<TD><Font COLOR=GREEN>OK",
                                    body), ["velko", "project", "subproject", "program", "phase",
                                            "version", "deadline", "impacts", "users", "sendmail"])
        self.assertIns(body, "<P><Font COLOR=GREEN>Default Setup Completed</Font>",
                       '<INPUT TYPE=hidden NAME="Wizzard" VALUE="2">')
        main = inst.path("config", "velko.cfg")
        self.assertEqual(os.readlink(main), conf + "velko.cfg")
        text = inst.read("config/velko.cfg")
        self.assertTrue(text.startswith("#\n# Fichier de Configuration Principal de Velko\n#\n# %s\n#\n"
                                        "DATADIR %s/\nCONFIGDIR %s\nIMGDIR /velko/images/\nPRINT true\n"
                                        % (main, inst.data, conf)), text)
        self.assertIn("SECURITY  \nLANGUAGE EN\nPERSIST 0\n", text)
        for name, lines in (("project", ["TEST:T:admin:admin"]), ("subproject", ["phase 1:10"]),
                            ("users", ["admin :admin@example.org"]), ("sendmail", DEFAULT_RULES)):
            self.assertEqual(read(conf + name + ".cfg").splitlines(), lines)
        self.assertTrue(os.path.exists(conf + "langue.EN"))
        # Step by step through every editor: each step saves the form of the
        # step before. A second project, a group, a password for admin.
        body = inst.run("CMD=setup&Edit=12&Wizzard=2").body
        self.assertIn("<! CFGFILE:%s>" % main, body)
        body = inst.submit(form(body, V0_1="BETA", V1_1="B", V2_1="admin", V3_1="admin")).body
        self.assertEqual(read(conf + "project.cfg"), "TEST:T:admin:admin:\nBETA:B:admin:admin:\n")
        for p in ("TEST", "BETA"):
            self.assertTrue(os.path.isdir(inst.data + "/Synchro/in/" + p))
            self.assertTrue(os.path.isdir(inst.data + "/Synchro/out/" + p))
        self.assertFalse(os.path.exists(conf + "users.cfg"))
        self.assertEqual(read(conf + "TEST_users.cfg"), "admin :admin@example.org\n")
        self.assertEqual(re.findall(r"<Font size=7>(\w+) subproject.cfg Setup", body), ["BETA", "TEST"])
        body = inst.submit(form(body, 1, V0_1="core", V1_1="CO")).body          # groups of TEST
        self.assertEqual(read(conf + "TEST_subproject.cfg"), "phase 1:10\ncore:CO\n")
        for step in (5, 6, 7, 8, 9):                                           # programs .. impacts
            self.assertIn('NAME="Wizzard" VALUE="%d"' % step, body)
            body = inst.submit(form(body, len(Forms(body).forms) - 1)).body
        self.assertEqual(read(conf + "TEST_program.cfg", newline=""), "general\r\ninstall\r\nunknown\r\n")
        users = form(body, 1)
        self.assertIn(("V0_0", "admin "), users)
        body = inst.submit(form(body, 1, V2_0="s3cret", V5_0=None)).body        # users
        line = read(conf + "TEST_users.cfg").split(":")
        self.assertTrue(crypt_ok("s3cret", line[2]) and line[2].startswith("$y$"), line)
        self.assertEqual(line[5], "YES")  # the first user always configures
        body = inst.submit(form(body)).body                                    # mail rules
        self.assertEqual(read(conf + "sendmail.cfg"), "".join(
            r.split(" ")[0] + " " + "".join(x + " " for x in r.split(" ")[1:]) + "\n"
            for r in DEFAULT_RULES))
        self.assertIns(body, inst.lang(2472) + ".\n<FORM METHOD=GET ACTION=\"/cgi-bin/velko\">\n"
                             "<inPUT TYPE=submit VALUE=Next>\n</FORM>\n")
        start = inst.run("").body
        self.assertIns(start, "VELKO Problem Report Tracker", "CMD=create", "<! Upgrade >",
                       absent=["Wizzard"])
        self.assertIn("<TITLE>", inst.run("CMD=search").body)

    def test_authentication_asked_for_comes_at_the_end(self):
        inst = self.inst
        body = inst.install(sec="YES").body
        self.assertIn(inst.lang(2723), body)
        self.assertIn("SECURITY  \n", inst.read("config/velko.cfg"))
        body = inst.run("CMD=setup&Edit=12&Wizzard=2").body
        body = inst.submit(form(body)).body
        body = inst.run("CMD=setup&Edit=12&Wizzard=9").body
        # The users step needs the first user's password: refused, the same
        # form again, nothing written.
        refused = inst.submit(form(body)).body
        self.assertIns(refused, inst.lang(564), 'NAME="Wizzard" VALUE="10"')
        self.assertEqual(read(inst.cfg + "TEST_users.cfg"), "admin :admin@example.org\n")
        body = inst.submit(form(refused, V2_0="pw1")).body
        body = inst.submit(form(body)).body
        self.assertIn(inst.lang(2724), body)
        self.assertIn("SECURITY YES\n", inst.read("config/velko.cfg"))
        self.assertIn('NAME="Passwd"', inst.run("").body)
        uid = inst.login("admin", "pw1")
        self.assertTrue(uid)
        self.assertIn("VELKO&nbsp;SETUP", inst.run("CMD=setup&Uid=" + urllib.parse.quote(uid)).body)
        # The installation is complete: a wizard step without session is a
        # login page and changes nothing.
        before = inst.read("inst/a/conf/project.cfg")
        body = inst.run("CMD=setup&Edit=12&Wizzard=3&V0_0=X&V1_0=X&LINES=1&text=xxx").body
        self.assertIn('NAME="Passwd"', body)
        self.assertEqual(inst.read("inst/a/conf/project.cfg"), before)

    def test_refusals_of_the_installation(self):
        inst = self.inst
        os.makedirs(inst.path("inst"))
        inst.write("inst/file", "x")
        # A directory that cannot be made: its row says why, nothing else
        # is made, and no main file.
        body = inst.install(data=inst.path("inst", "file", "data")).body
        self.assertIns(body, "Creating Directory : %s/inst/file/data/ </TD>\n<! errno:20 ><TD><Font COLOR=RED>NOK, "
                             "Not a directory</Font>" % inst.root,
                       "Please remedy to the indicated problems and reload this page.",
                       absent=["Creating Default File"])
        self.assertFalse(os.path.exists(inst.path("config", "velko.cfg")))
        # The folder of the main file as configuration directory: the main
        # file would link to itself.
        body = inst.install(cfg=inst.path("config")).body
        self.assertIns(body, inst.lang(563) % (inst.path("config") + "/"), "Please remedy",
                       absent=["Default Setup Completed"])
        self.assertFalse(os.path.exists(inst.path("config", "velko.cfg")))
        # Relative directories, and values that would add a key.
        self.assertIn(inst.lang(562) % "conf/", inst.install(cfg="conf").body)
        self.assertIn(inst.lang(561) % "WWW", inst.install(www="w SECURITY YES").body)
        self.assertIn(inst.lang(561) % "PRINT", inst.install(prt="lp\nDATADIR /tmp/").body)
        self.assertEqual(sorted(os.listdir(inst.path("config"))), ["langue.EN", "langue.FR"])
        # Without language files the installation stops before the link.
        for code in ("EN", "FR"):
            os.remove(inst.path("config", "langue." + code))
        body = inst.install().body
        self.assertIns(body, "<P><Font COLOR=Red>Language file missing.<BR>\n<I>Copy 'langue.EN' to "
                             "%s/langue.EN</i>\n" % inst.cfg, "Please remedy")
        self.assertFalse(os.path.islink(inst.path("config", "velko.cfg")))


class EditorTest(VelkoTestCase):
    def page(self, query=None, **post):
        if post:
            return self.inst.run(post=urllib.parse.urlencode(dict(post, CMD="setup")), query=query).body
        return self.inst.run("CMD=setup&" + query).body

    def test_menu_and_table_rows(self):
        body = self.page("")
        self.assertIns(body, "<TD><BR><H1><Font size=7>VELKO&nbsp;SETUP</font></H1>\n",
                       '<TR><TD ALIGN=CENTER><A HREF="/cgi-bin/velko?CMD=setup&Edit=9">Users</A></TD>\n'
                       "<TD><UL>\n%s</TD></TR>\n" % self.inst.lang(2450), "CMD=setup&Edit=12")
        self.inst.write("cfg/phase.cfg", "a:A\nb:B\nc:C\n")
        body = self.page("Edit=5")
        self.assertIn('<TD><INPUT TYPE=Text SIZE=20 VALUE="b" NAME=V0_1></TD>\n', body)
        self.assertIn('<TD><INPUT TYPE=Text SIZE=6 NAME=V1_3></TD>\n', body)
        self.assertEqual(dict(Forms(body).forms[0])["LINES"], "4")
        self.page(**dict(form(body, V0_1="b2:x\ny", V1_1="B\t2")))
        self.assertEqual(self.inst.read("cfg/phase.cfg"), "a:A\nb2xy:B 2\nc:C\n")
        # One character of text shows the editor instead of saving.
        self.assertIn("<TEXTAREA NAME=text ROWS=4 COLS=70>\nv1\nv2\n</TEXTAREA>",
                      self.page(Edit="6", project="TEST", text="x"))
        self.assertEqual(self.inst.read("cfg/TEST_version.cfg"), "v1\nv2\n")
        body = self.page(Edit="6", project="TEST", text="v1\r\nv3\r\n")
        self.assertIns(body, "<Font size=7>TEST version.cfg Setup</font>", "<! 84 %s/TEST_version.cfg >"
                       % self.inst.cfg, "<PRE>v1\r\nv3\r\n</PRE>")
        self.assertEqual(self.inst.read("cfg/TEST_version.cfg"), "v1\nv3\n")
        self.assertIn(self.inst.lang(529) % "../x", self.page(Edit="6", project="../x", text="evil"))
        self.assertFalse(os.path.exists(self.inst.path("x_version.cfg")))
        leftovers = [n for n in os.listdir(self.inst.cfg) if n.endswith(".tmp")]
        self.assertEqual(leftovers, [])

    def test_users_rights_and_passwords(self):
        inst = self.inst
        inst.write("cfg/TEST_users.cfg", "admin :a@x:$6$abc$" + "h" * 40 + FULL_RIGHTS + "\nshort :s@x\n"
                                         "old:o@x:plain: :NO\n")
        body = self.page("Edit=9")
        self.assertNotIn("$6$", body)
        self.assertIn("<INPUT TYPE=Password SIZE=12 AUTOCOMPLETE=new-password NAME=V2_0><FONT SIZE=-1> %s"
                      % inst.lang(2721), body)
        self.assertIn("NAME=V2_1><FONT SIZE=-1> %s" % inst.lang(2722), body)
        # A short line shows its boxes ticked; a blank flag grants, so it
        # shows ticked too; "NO" does not.
        ticked = re.findall(r"<INPUT TYPE=Checkbox  CHECKED VALUE=\"YES\" NAME=(V\d_\d)>", body)
        self.assertEqual([t for t in ticked if t.endswith("_1")], ["V%d_1" % c for c in range(3, 10)])
        self.assertIn("V3_2", ticked)
        self.assertNotIn("V4_2", ticked)
        # Saved: admin keeps its hash, short gets a hashed password, old is
        # renamed in place and keeps its password; unticked boxes refuse.
        fields = form(body, V2_1="new:pw", V0_2="older", V3_0=None, V4_0=None)
        fields = [(n, v) for n, v in fields if not re.match(r"V[5-9]_0", n)]
        body = self.page(**dict(fields))
        lines = inst.read("cfg/TEST_users.cfg").splitlines()
        self.assertEqual(lines[0], "admin :a@x:$6$abc$" + "h" * 40 + ":NO:NO:NO:NO:NO:NO:NO")
        self.assertTrue(crypt_ok("new:pw", lines[1].split(":")[2]))
        self.assertEqual(lines[2], "older:o@x:plain:YES:NO:YES:YES:YES:YES:YES")
        self.assertIns(body, "<TD>admin &nbsp;</TD><TD>\na@x&nbsp;</TD><TD>\n%s&nbsp;</TD><TD>\nNO"
                       % inst.lang(2721), absent=["$6$", "plain"])
        self.assertEqual(stat.S_IMODE(os.stat(inst.cfg + "TEST_users.cfg").st_mode), 0o644)

    def test_main_file(self):
        inst = self.inst
        inst.write_main_cfg(inst.read("config/velko.cfg") + "POP3PASS hidden-secret\n")
        body = self.page("Edit=1")
        self.assertIns(body, "<P><H1><Font size=7>VELKO.cfg Setup</font></H1>\n<P>",
                       '<INPUT TYPE=password NAME=popP SIZE=20 AUTOCOMPLETE=new-password>',
                       absent=["hidden-secret"])
        fields = form(body, hst="tracker.example.org")
        body = self.page(**dict(fields))
        self.assertIns(body, "<Font size=7>VELKO.cfg Setup</font>", "\nPOP3PASS *\n",
                       "HOSTNAME tracker.example.org\n", absent=["hidden-secret"])
        text = inst.read("config/velko.cfg")
        self.assertIn("POP3PASS hidden-secret\nWWW www\n", text)
        self.assertEqual(inst.read("cfg/velko.cfg"), text)
        # Through the installation's link, a save changes one file.
        os.remove(inst.path("config", "velko.cfg"))
        os.symlink(inst.cfg + "velko.cfg", inst.path("config", "velko.cfg"))
        self.page(**dict(form(self.page("Edit=1"), popP="new", PERSIST="3")))
        self.assertTrue(os.path.islink(inst.path("config", "velko.cfg")))
        self.assertIns(inst.read("cfg/velko.cfg"), "PERSIST 3\n", "POP3PASS new\n")
        # Values that would add a line or a key are refused.
        before = inst.read("cfg/velko.cfg")
        for key, value in (("www", "x\nSECURITY YES"), ("popU", "me DATADIR"), ("prt", "p" * 99)):
            body = self.page(**dict(form(self.page("Edit=1"), **{key: value})))
            self.assertIn(inst.lang(561) % {"www": "WWW", "popU": "POP3USER", "prt": "PRINT"}[key], body)
        self.assertEqual(inst.read("cfg/velko.cfg"), before)

    def test_mail_rules_by_action(self):
        inst = self.inst
        inst.write("cfg/sendmail.cfg", "# rules\nAttach M a\nnew M V bob,carol\nCopy \nAssign\ta\n")
        body = self.page("Edit=10")
        self.assertIn("<TR><TD>Attach</TD>\n<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX NAME=V0_17  CHECKED ></TD>",
                      body)
        self.assertIn("<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX NAME=V3_5  CHECKED ></TD>", body)
        body = self.page(**dict(form(body, V2_0="on")))
        self.assertEqual(inst.read("cfg/sendmail.cfg").splitlines()[:6] + inst.read(
            "cfg/sendmail.cfg").splitlines()[17:], ["new M V s bob,carol ", "Change_Header ", "Observed ",
                                                    "Analyse ", "Copy ", "Assign a ", "Attach M a ",
                                                    "# rules"])
        self.assertIn("<TR><TD>new</TD>\n<TD>&nbsp;X</TD>\n<TD>&nbsp;X</TD>\n<TD>&nbsp;X</TD>\n<TD>&nbsp;</TD>",
                      body)

    def test_sessions_and_rights(self):
        inst = Install(security=True)
        self.addCleanup(inst.remove)
        inst.write("cfg/TEST_users.cfg", "admin :a@x:admin" + FULL_RIGHTS + "\nbob :b@x:bob:YES:YES:NO\n")
        before = inst.read("cfg/phase.cfg")
        save = "CMD=setup&Edit=5&text=xxx&LINES=1&V0_0=x&V1_0=X"
        self.assertIn('NAME="Passwd"', inst.run("CMD=setup&Edit=5").body)
        self.assertIn('NAME="Passwd"', inst.run(save).body)
        bob = urllib.parse.quote(inst.login("bob", "bob"))
        self.assertIn(inst.lang(516), inst.run("CMD=setup&Edit=5&Uid=" + bob).body)
        self.assertIn(inst.lang(516), inst.run(save + "&Uid=" + bob).body)
        admin = inst.login("admin", "admin")
        cookie = {"HTTP_COOKIE": "velko=" + urllib.parse.quote(admin, safe="")}
        body = inst.run("CMD=setup&Edit=5", env=cookie).body
        self.assertIn('<INPUT TYPE=hidden NAME="Uid" VALUE="%s">' % admin, body)
        self.assertIn(inst.lang(541), inst.run(save, env=cookie).body)  # the cookie alone changes nothing
        self.assertEqual(inst.read("cfg/phase.cfg"), before)
        inst.run(save + "&Uid=" + urllib.parse.quote(admin))
        self.assertEqual(inst.read("cfg/phase.cfg"), "x:X\n")

    def test_wizard_run_again_with_security(self):
        inst = Install(security=True)
        self.addCleanup(inst.remove)
        inst.write("cfg/TEST_users.cfg", "boss :b@x:pw" + FULL_RIGHTS + "\n")
        inst.write("cfg/phase.cfg", "mine:M\n")
        uid = urllib.parse.quote(inst.login("boss", "pw"))
        self.assertIn('NAME="Passwd"', inst.run("CMD=setup&Edit=12").body)
        # The current values are proposed, the session carried.
        body = inst.run("CMD=setup&Edit=12&Uid=" + uid).body
        self.assertIns(body, 'NAME=cfg SIZE=40 VALUE="%s"' % inst.cfg, 'NAME="Uid"', "NAME=sec VALUE=\"YES\" CHECKED",
                       absent=["first installation"])
        body = inst.run(post=urllib.parse.urlencode(form(body))).body
        self.assertIn("Default Setup Completed", body)
        self.assertEqual(os.readlink(inst.path("config", "velko.cfg")), inst.cfg + "velko.cfg")
        self.assertIn("SECURITY YES\n", inst.read("cfg/velko.cfg"))
        # What the files held is kept beside them; the user who runs the
        # wizard stays in the default users file, and can log in after the
        # default files took the first project's name.
        self.assertEqual(inst.read("cfg/phase.cfg.bak"), "mine:M\n")
        self.assertEqual(inst.read("cfg/users.cfg"), "boss :b@x:pw" + FULL_RIGHTS + "\n")
        body = inst.run(post=urllib.parse.urlencode(form(body))).body
        inst.run(post=urllib.parse.urlencode(form(body)))
        self.assertEqual(inst.read("cfg/TEST_users.cfg"), "boss :b@x:pw" + FULL_RIGHTS + "\n")
        self.assertTrue(os.path.exists(inst.cfg + "TEST_users.cfg.bak"))
        self.assertTrue(inst.login("boss", "pw"))

    def test_upgrade_recreates_data_folders(self):
        shutil.rmtree(self.inst.data + "tmp")
        self.assertIn("<! Upgrade >", self.inst.run("").body)
        for d in ("tmp", "Tests", "Synchro/in", "Synchro/out"):
            self.assertTrue(os.path.isdir(self.inst.data + d), d)


try:
    sys.path.append("/usr/lib/python3/dist-packages")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None
CHROMIUM = os.environ.get("VELKO_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VELKO_CHROMEDRIVER", "/usr/bin/chromedriver")
MISSING = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)] + \
    ["python3-selenium"] * (not webdriver) + ["lighttpd"] * (not have_lighttpd())


class WizardServer(Server):
    """An installation of make_install.sh --wizard: the executable and the
    language files only."""

    def __init__(self):
        import subprocess
        import tempfile
        self.proc, self.root, self.language = None, tempfile.mkdtemp(prefix="velko-www."), "EN"
        self.data, self.cfg, self.pwd = self.path("data") + "/", self.path("cfg") + "/", self.path("www", "cgi-bin")
        subprocess.run([os.path.join(SOURCE_DIR, "scripts", "make_install.sh"), "--wizard", self.root,
                        VELKO_BIN], check=True, stdout=subprocess.DEVNULL)


class BrowserWizardTest(VelkoTestCase):
    def setUp(self):
        if MISSING:
            self.skipTest("not installed: " + ", ".join(MISSING))
        self.srv = WizardServer().start()
        self.addCleanup(self.srv.stop)
        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            o.add_argument(arg)
        self.b = webdriver.Chrome(service=Service(CHROMEDRIVER), options=o)
        self.addCleanup(self.b.quit)

    def next_page(self, button):
        self.b.execute_script("window.__old = 1;")
        button.click()
        WebDriverWait(self.b, 30, 0.05).until(lambda b: b.execute_script(
            "return window.__old === undefined && document.readyState === 'complete';"))
        return self.b.find_element(By.TAG_NAME, "body").text

    def test_wizard_in_chromium(self):
        b = self.b
        b.get(self.srv.url())
        self.assertIn("This is your first installation of VELKO.", b.find_element(By.TAG_NAME, "body").text)
        for name, value in (("cfg", self.srv.cfg), ("data", self.srv.data), ("prt", "true")):
            field = b.find_element(By.NAME, name)
            field.clear()
            field.send_keys(value)
        b.find_element(By.NAME, "sec").click()
        text = self.next_page(b.find_element(By.CSS_SELECTOR, "input[type=submit]"))
        self.assertIn("Default Setup Completed", text)
        seen = []
        while "Wizzard" in b.page_source:
            if b.find_elements(By.NAME, "V2_0") and b.find_elements(By.NAME, "V9_0"):
                b.find_elements(By.NAME, "V2_0")[-1].send_keys("chromium-pw")  # the users step
            buttons = b.find_elements(By.CSS_SELECTOR, "input[type=submit]")
            seen.append(b.find_element(By.NAME, "Wizzard").get_attribute("value"))
            text = self.next_page(buttons[-1])
            self.assertNotIn("Error", text)
            if self.srv.lang(2472) in text:
                break
        self.assertEqual(seen, [str(s) for s in range(2, 12)])
        # Authentication is on at the end: the start page sends to the login.
        b.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
        WebDriverWait(b, 30, 0.05).until(lambda b: "Login=1" in b.current_url and b.execute_script(
            "return document.readyState === 'complete' && !!document.mainform;"))
        b.find_element(By.NAME, "User").send_keys("admin")
        b.find_element(By.NAME, "Passwd").send_keys("chromium-pw")
        b.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
        WebDriverWait(b, 30, 0.05).until(lambda b: "CMD=setup&amp;Uid=" in b.page_source)
        self.assertEqual(self.srv.sanitizer_reports(), "")
