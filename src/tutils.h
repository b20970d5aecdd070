// tutils.h: the test book store: test descriptions, modules, steps,
// campaigns and results. The only code that opens the book's files; the
// pages never build a book path themselves.
//
// A book belongs to one project, group (sub-project) and phase. Its folder,
// the book directory B, is
//
//   <DATADIR>/Tests/<project>/<group prefix>/<phase letter>/Book/
//
// with the group's prefix of "<project>_subproject.cfg" ("_" for a group
// without one) and the phase's letter of "phase.cfg" ("_" for a phase
// without one). Files under B:
//
//   mod.<module>                        a module
//   step.<module>.<step>                a step of a module
//   test.<module>.<step>.<nnn>          a test of a step, nnn its number on
//                                       three digits at least (007, 1000)
//   test/C.<campaign>/                  a campaign
//   test/C.<campaign>/<module>.<step>.<nnn>   the result of a test in it
//   test/C.<campaign>/.<module>.<step>.<nnn>.lock   kernel lock (flock) of
//                                       a result's read-change-write
//   .<file>.<pid>.tmp                   a file being written (renamed or
//                                       linked over <file>; never listed)
//
// Keys. Module and step keys are typed once when created and name files:
// they are refused when empty, beginning with a blank, holding ".", "/",
// "\" or a control byte, or longer than 39 bytes (validBookKey). A campaign
// name keeps its dots but never holds "/" or "\" and is never ".." nor
// holds ".." (validCampaignName), so no key leads out of B. The project
// must be a configured one and the phase a configured phase (bookDirOk).
//
// Module and step file: the title, a line feed, the description, a line
// feed. Read back: the title is the first line (at most 199 bytes); the
// description is the rest without the one line feed that ends it, white
// space at its start (blank lines, the first line's indentation) skipped.
//
// Test file: eleven lines, each ended by a line feed, then seven texts:
//
//   1 number          "%d"
//   2 author          at most 19 bytes
//   3 creation date   seconds since 1970, "%ld"
//   4 project         at most 39 bytes
//   5 group           at most 39 bytes (the group's name)
//   6 phase           the phase's index, "%d"
//   7 module key      at most 39 bytes
//   8 step key        at most 39 bytes
//   9 title           at most 199 bytes
//  10 impact          index of impacts.cfg, "%d"; -1 for none
//  11 reference       at most 199 bytes; a single blank when empty
//  12-18              objectives, environment, prerequisites, steps to
//                     run, expected result, post-conditions, notes: each a
//                     length-prefixed text
//
// A length-prefixed text is its length in bytes in decimal digits, one
// blank, then exactly that many bytes, which may be any bytes (line ends
// included); the next text follows directly and nothing follows the last
// one. An empty text is "0 ". So the objectives "abc" and empty
// environment are stored as "3 abc0 ".
//
// Line fields (lines 2, 4, 5, 7, 8, 9, 11) are written without line ends
// (a carriage return or line feed becomes a blank) and cut to their width
// less one, never inside a UTF-8 character; number lines read as their
// leading integer. When a test file is read, its identity (project, group,
// phase, module, step, number) is taken from its path, not its content: a
// file copied into another book becomes a test of that book.
//
// Result file (one test in one campaign):
//
//   1 tester          at most 19 bytes
//   2 date            seconds since 1970
//   3 version         at most 29 bytes; a single blank when none
//   4 result          0 NOK, 1 OK, 2 NT (not tested), 3 NA (not applicable)
//   5 comment         length-prefixed text
//   6 history         length-prefixed text, one line per recording
//   7... one line per linked report name (at most 39 bytes), in list order
//
// The first report name follows the history text directly. A test without
// a result file in a campaign is not tested there.
//
// Every file is written whole through a temporary file that is flushed and
// renamed over it (replaceFile); a new module, step or test file is linked
// into place only when its name is free, so two requests creating the same
// key or numbering tests of one step at the same moment never overwrite
// each other.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fileio.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// Field widths: a line field holds at most one byte less.
constexpr size_t kTestUserSize = 20;
constexpr size_t kTestNameSize = 40;    // project, group, module, step
constexpr size_t kTestTitleSize = 200;  // title and reference
constexpr size_t kTestVersionSize = 30;
constexpr size_t kReportNameSize = 40;  // a linked report's name

// One test description.
struct tTest {
  int number = 0;  // within its step, from 0
  std::string author;
  long creationDate = 0;
  std::string project;
  std::string subProject;  // the group's name
  int phase = 0;
  std::string module;  // the module's key
  std::string step;    // the step's key
  std::string title;
  // The seven texts, in the order of the file.
  std::string objectives, environment, prerequisite, steps, expected, post, notes;
  int impact = -1;  // index of impacts.cfg; -1 for none
  std::string reference;
};

// The seven texts of a test in file order, for the code that walks them.
constexpr int kTestTexts = 7;
std::string* testText(tTest& test, int i);
const std::string& testText(const tTest& test, int i);

enum tTestResult { E_NOK = 0, E_OK = 1, E_NT = 2, E_NA = 3 };
// "NOK", "OK", "NT", "NA" by value; "" from 4 on (and for a negative value),
// so that a page can enumerate the results up to the empty name.
const char* getTestResultName(int r);

// What a result reads as for a test never passed in the campaign: tester,
// day and version hold this text (the pages show it as a blank cell).
constexpr const char* kNotPassed = "&nbsp;";

// The result of one test in one campaign.
struct tPassTest {
  std::string tester;
  long date = 0;
  std::string day;  // derived on reading: "%02d/%02d", day then month, local time
  std::string version;
  std::string resText;  // the comment
  tCharList fft;        // linked report names, in file order
  std::string history;  // one line per recording
  int result = E_NT;
  bool recorded = false;  // read from a result file
};

// The identity of a test: project, group, phase, module, step and number.
void initTestArgs(tTest* test, const std::string& proj, const std::string& sproj, int phase,
                  const std::string& mod, const std::string& step, int num);

// ---------------------------------------------------------------------------
// Keys and directories
// ---------------------------------------------------------------------------

// A module or step key that may name files (see the head of this file).
bool validBookKey(std::string_view key);
// A campaign name that may name a folder of the book (after its "/" were
// replaced, which creation does).
bool validCampaignName(std::string_view name);
// True when the book of `proj`, `sproj`, `phase` has a directory: the
// project is configured and the phase exists (its prefix and the group's
// prefix are safe folder names).
bool bookDirOk(const std::string& proj, const std::string& sproj, int phase);
// The book directory, ending with "/"; "" when bookDirOk refuses.
std::string getBookDir(const std::string& proj, const std::string& sproj, int phase);
// Creates `dir` and its missing parents (mode 0777, then 0755). 0 when it
// was created or exists, -1 otherwise.
int createBookDir(const std::string& dir);

// File names ("" when the book or a key is refused).
std::string getModuleFileName(const std::string& proj, const std::string& sproj, int phase,
                              const std::string& mod);
std::string getStepFileName(const std::string& proj, const std::string& sproj, int phase,
                            const std::string& mod, const std::string& step);
std::string getTestFileName(const tTest& test, int num);
std::string getCampaignDir(const std::string& proj, const std::string& sproj, int phase,
                           const std::string& camp);
std::string getPassFileName(const tTest& test, const std::string& camp);
// The test file's path after "<DATADIR>/Tests/" (the subject of its lines
// in history.dat): project/prefix/letter/Book/test.<mod>.<step>.<nnn>.
std::string testSubject(const tTest& test);

// ---------------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------------

// The entries of the book directory (or of its subfolder `sub` when not
// empty) whose names begin with `prefix` and a dot: the rest of each name,
// in ascending byte order. Names beginning with "." are never listed. A
// folder that cannot be read gives an empty list (and a line on standard
// error). Prefixes: "mod" (modules), "step.<mod>" (its steps),
// "test.<mod>.<step>" (its test numbers), "C" with `sub` "test" (campaigns).
tCharList getFileList(const std::string& proj, const std::string& sproj, int phase,
                      const std::string& prefix, const std::string& sub = std::string());
// The lists of one level, without names that no page made (a key holding
// a dot, a test number that is not three digits or more).
tCharList getModules(const std::string& proj, const std::string& sproj, int phase);
tCharList getSteps(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& mod);
tCharList getTests(const std::string& proj, const std::string& sproj, int phase,
                   const std::string& mod, const std::string& step);
tCharList getCampaigns(const std::string& proj, const std::string& sproj, int phase);

// ---------------------------------------------------------------------------
// Modules and steps
// ---------------------------------------------------------------------------

// A module or step file read back: false when it cannot be read.
bool readBookEntry(const std::string& path, std::string* title, std::string* desc);
// Replaces it (an edit).
bool writeBookEntry(const std::string& path, const std::string& title, const std::string& desc);
// Creates it only when no file has its name: false with errno EEXIST when
// one has, another errno when it cannot be written. The book directory is
// created first.
bool createBookEntry(const std::string& path, const std::string& title, const std::string& desc);
// The title of a module or step, "" when it has no file.
std::string getModuleName(const std::string& proj, const std::string& sproj, int phase,
                          const std::string& mod);
std::string getStepName(const std::string& proj, const std::string& sproj, int phase,
                        const std::string& mod, const std::string& step);
// Removes a module, step or test file; false (errno set) when it could not.
bool removeBookFile(const std::string& path);
// True when `path` exists.
bool bookFileExists(const std::string& path);

// ---------------------------------------------------------------------------
// Tests
// ---------------------------------------------------------------------------

// The bytes of the test file of `test`, and a test file's bytes read into
// `test` (identity fields from the content; the caller sets them from the
// path). Short or damaged bytes read as far as they go.
std::string formatTest(const tTest& test);
void parseTest(std::string_view bytes, tTest* test);
// One length-prefixed text of `bytes` at `*pos` into `text`; `*pos` moves
// past it. At the end of the bytes the text comes out empty or as far as
// they go.
void readLV(std::string_view bytes, size_t* pos, std::string* text);
// "%d %s": the length and the text.
void appendLV(std::string* out, std::string_view text);

// The number a new test of the test's module and step would receive: the
// first from 0 whose file does not exist.
int getNewTestNumber(const tTest& test);
// Stores `test` as a new test of its step: it takes the first free number
// (test->number is set) and its file is linked into place only while that
// number is free, so two creations never share a number. False when no
// file could be written (the book directory is created first).
bool testCreate(tTest* test);
// Writes the test file of test.number, replacing any earlier one. Traces
// "<! <file> saved >" or "<! W unable to open file <file>>".
bool testWrite(const tTest& test);
// Reads the test named by the record's identity; testFileRead reads a test
// file by its path, the identity taken from the path. False, after the
// trace "<! R unable to open file <path>>", when it cannot be read (the
// record stays as it was).
bool testRead(tTest* test);
bool testFileRead(tTest* test, const std::string& path);

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

std::string formatPass(const tPassTest& result);
// Reads result bytes (the derived day included); recorded is set.
void parsePass(std::string_view bytes, tPassTest* result);
// The result of `test` in campaign `camp`. Without a result file: tester,
// day and version kNotPassed, result E_NT, recorded false; the comment,
// history and date stay as they were. The linked reports are always
// replaced. Traces "<! <file> >".
void testResultRead(const tTest& test, const std::string& camp, tPassTest* result);
// Writes the result file; the campaign folder must exist. False when it
// could not be written.
bool testResultWrite(const tTest& test, const std::string& camp, const tPassTest& result);
// True when `test` has a result file in campaign `camp`.
bool testHasResult(const tTest& test, const std::string& camp);
// Locks the result of `test` in `camp` for a read-change-write, waiting at
// most `seconds`; false when not had (or the campaign has no folder).
bool lockTestResult(tFileLock* lock, const tTest& test, const std::string& camp, int seconds);
// Creates the folder of campaign `camp` (and the book's folders); true when
// it exists afterwards.
bool createCampaign(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& camp);

// ---------------------------------------------------------------------------
// Campaigns
// ---------------------------------------------------------------------------

// True when campaign `camp` of the book has its folder.
bool campaignExists(const std::string& proj, const std::string& sproj, int phase,
                    const std::string& camp);
// The whole tree of a book, listed in one pass over its folder: the
// modules in order, each with its steps, each with its test numbers, as
// getModules, getSteps and getTests list them one level at a time (a
// step without its module's file, or a test without its step's, is left
// out as those lists leave it out). For the pages that walk a whole book.
struct tBookStep {
  std::string key;
  tCharList tests;  // three digits or more, in byte order
};
struct tBookModule {
  std::string key;
  std::vector<tBookStep> steps;
};
std::vector<tBookModule> getBookTree(const std::string& proj, const std::string& sproj,
                                     int phase);
// The steps of module `mod` with their tests, in one pass (also for a
// module without its file, as getSteps lists them).
std::vector<tBookStep> getModuleTree(const std::string& proj, const std::string& sproj,
                                     int phase, const std::string& mod);
