// bprint.cpp: the printouts of the test book (bprint.h).
#include "bprint.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "args.h"
#include "bcreate.h"
#include "config.h"
#include "fileio.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr size_t kInner = kPrintWidth - 2;  // between the frame's two bars
constexpr size_t kDescPiece = 76;           // a description's rows
constexpr size_t kLabelMax = 30;            // a box heading's label at most
constexpr size_t kMinTitle = 20;            // the result table's title column at least
constexpr int kTextNoTest = 1043;           // there is no test "%s"

// The bytes of the UTF-8 character at `i`, 0 when the byte there begins
// none (a lone continuation byte, a cut or malformed sequence).
size_t utf8Length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

// The next character of `s` at `*i` as it is printed: itself, or a blank
// for a control character or a byte that is no UTF-8 character.
std::string_view nextChar(std::string_view s, size_t* i) {
  const unsigned char c = static_cast<unsigned char>(s[*i]);
  if (c >= 0x20 && c < 0x7F) return s.substr((*i)++, 1);
  const size_t n = c >= 0x80 ? utf8Length(s, *i) : 0;
  if (n == 0) {
    ++*i;
    return " ";
  }
  *i += n;
  return s.substr(*i - n, n);
}

// The bytes of the first `width` columns of `s`.
size_t bytesOfColumns(std::string_view s, size_t width) {
  size_t i = 0;
  for (size_t cols = 0; i < s.size() && cols < width; ++cols) nextChar(s, &i);
  return i;
}

// `text` as a line outside the frames (headings of the book and of the
// result sheets): at most 80 columns, a tab advancing to the next multiple
// of 8, then a line end.
void plainLine(std::string* out, std::string_view text) {
  size_t cols = 0, i = 0;
  while (i < text.size()) {
    if (text[i] == '\t') {
      const size_t next = (cols / 8 + 1) * 8;
      if (next > kPrintWidth) break;
      *out += '\t';
      cols = next;
      ++i;
      continue;
    }
    if (cols + 1 > kPrintWidth) break;
    out->append(nextChar(text, &i));
    ++cols;
  }
  *out += '\n';
}

// A label of a box heading, at most kLabelMax columns.
std::string boxLabel(int num) { return gauche(langue(num), std::min(printColumns(langue(num)), kLabelMax)); }

std::string number3(int num) { return strprintf("%03d", num); }

// The description of a module or step in rows of 76 columns: each line in
// pieces, an empty line as a blank row, then one blank row to close.
void descriptionRows(std::string* out, std::string_view desc) {
  size_t start = 0;
  for (;;) {
    const size_t lf = desc.find('\n', start);
    std::string_view line = desc.substr(start, lf == std::string_view::npos ? lf : lf - start);
    do {
      const size_t n = bytesOfColumns(line, kDescPiece);
      *out += '|';
      paddedPrint(out, line.substr(0, n), kInner);
      *out += '\n';
      line.remove_prefix(n);
    } while (!line.empty());
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  *out += '|';
  paddedPrint(out, "", kInner);
  *out += '\n';
}

// The box of a module or step on the book printout: `edge` its top and
// bottom ("+" and "=" for a step, "*" for a module).
void entryBox(std::string* out, char corner, char edge, int label, const std::string& key,
              const std::string& title, const std::string& desc) {
  const std::string l = boxLabel(label);
  printLine(out, 0, 0, corner, edge);
  printLine(out, 0, 0, '|', ' ');
  *out += "|  " + l + " :";
  paddedTagValPrint(out, key, title, kPrintWidth - 6 - printColumns(l));
  *out += '\n';
  printLine(out, 0, 0, '|', ' ');
  printLine(out, 0, 0, corner, edge);
  descriptionRows(out, desc);
  printLine(out, 0, 0, '+', '-');
  *out += '\n';
}

// The short status of a linked report; blanks when it names none.
std::string linkedStatus(const std::string& name) {
  tHeader head;
  return readReportHead(name, &head) ? getStatusShort(head.status) : "";
}

// The title of a module or step file as printed: its first line, at most
// 76 columns.
std::string printedTitle(const std::string& title) {
  return std::string(title.substr(0, bytesOfColumns(title, 76)));
}

}  // namespace

// ---------------------------------------------------------------------------
// Line primitives
// ---------------------------------------------------------------------------

size_t printColumns(std::string_view text) {
  size_t i = 0, cols = 0;
  for (; i < text.size(); ++cols) nextChar(text, &i);
  return cols;
}

void printLine(std::string* out, size_t x1, size_t x2, char c1, char c2) {
  for (size_t col = 1; col <= kPrintWidth; ++col) {
    const bool frame = col == 1 || col == kPrintWidth || (x1 && col == x1) || (x2 && col == x2);
    *out += frame ? c1 : c2;
  }
  *out += '\n';
}

std::string gauche(std::string_view text, size_t width) {
  if (text == kNotPassed) text = std::string_view();
  std::string out;
  size_t i = 0, cols = 0;
  for (; i < text.size() && cols < width; ++cols) out.append(nextChar(text, &i));
  out.append(width - cols, ' ');
  return out;
}

void paddedPrint(std::string* out, std::string_view text, size_t width) {
  *out += gauche(text, width);
  *out += '|';
}

void longPaddedPrint(std::string* out, std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t lf = text.find('\n', start);
    std::string_view line = text.substr(start, lf == std::string_view::npos ? lf : lf - start);
    start = lf == std::string_view::npos ? text.size() : lf + 1;
    // Lines as a browser sends them end with a carriage return and a line
    // feed: the carriage return is no character of the text.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    do {
      const size_t n = bytesOfColumns(line, kInner);
      *out += '|';
      paddedPrint(out, line.substr(0, n), kInner);
      *out += '\n';
      line.remove_prefix(n);
    } while (!line.empty());
  }
}

void paddedTagValPrint(std::string* out, std::string_view tag, std::string_view val,
                       size_t width) {
  std::string s(tag);
  s += " : ";
  s += val;
  paddedPrint(out, s, width);
}

void paddedTagValLongPrint(std::string* out, std::string_view tag, std::string_view val) {
  *out += '|';
  paddedPrint(out, std::string(tag) + " : ", kInner);
  *out += '\n';
  longPaddedPrint(out, val);
  printLine(out, 0, 0, '+', '-');
}

tStepColumns stepColumns(int largestNumber) {
  tStepColumns c{{3, 41, 3, 6, 5, 12, 2}};
  // The number column holds the largest number; every other column widens
  // to its label as long as the title's column keeps its minimum.
  const size_t digits = number3(std::max(largestNumber, 0)).size();
  for (int i = 0; i < 7; ++i) {
    if (i == 1) continue;
    size_t want = std::max(c.width[i], printColumns(langue(2507 + i)));
    if (i == 0) want = std::max(want, digits);
    const size_t room = c.width[1] - kMinTitle;
    const size_t more = std::min(want - c.width[i], room);
    c.width[i] += more;
    c.width[1] -= more;
  }
  return c;
}

void printTestStepLine(std::string* out, const tStepColumns& columns) {
  for (const size_t w : columns.width) {
    *out += '+';
    out->append(w, '-');
  }
  *out += "+\n";
}

void printTestStepHeader(std::string* out, const tStepColumns& columns) {
  printTestStepLine(out, columns);
  for (int i = 0; i < 7; ++i) *out += "|" + gauche(langue(2507 + i), columns.width[i]);
  *out += "|\n";
  printTestStepLine(out, columns);
}

// ---------------------------------------------------------------------------
// Printouts
// ---------------------------------------------------------------------------

void printTestFile(std::string* out, const tTest& test) {
  printLine(out, 0, 0, '+', '-');
  const std::string num = number3(test.number);
  *out += "|" + num + " ";
  // "|nnn " and the title's box make 80 columns, also for a number of
  // four digits or more.
  paddedTagValPrint(out, "Title", test.title, kPrintWidth - 3 - num.size());
  *out += '\n';
  printLine(out, 26, 53, '+', '-');
  *out += '|';
  paddedTagValPrint(out, langue(103), test.author, 24);
  paddedTagValPrint(out, langue(104), getImpactName(test.impact), 26);
  paddedTagValPrint(out, langue(2440), test.reference, 26);
  *out += '\n';
  printLine(out, 26, 53, '+', '-');
  for (int i = 0; i < kTestTexts; ++i) paddedTagValLongPrint(out, langue(1002 + i), testText(test, i));
  *out += '\f';
}

void printTestResult(std::string* out, const tStepColumns& columns, const tTest& test,
                     const tPassTest& r, std::string (*status)(const std::string& name)) {
  const size_t* w = columns.width;
  *out += '|';
  paddedPrint(out, number3(test.number), w[0]);
  paddedPrint(out, test.title, w[1]);
  paddedPrint(out, getTestResultName(r.result), w[2]);
  paddedPrint(out, r.recorded ? r.tester : std::string(), w[3]);
  paddedPrint(out, r.recorded ? r.day : std::string(), w[4]);
  bool first = true;
  for (const std::string& name : r.fft) {
    if (!first) {
      *out += "\n|";
      for (int i = 0; i < 5; ++i) paddedPrint(out, "", w[i]);
    }
    first = false;
    paddedPrint(out, name, w[5]);
    paddedPrint(out, status(name), w[6]);
  }
  if (first) {
    paddedPrint(out, "", w[5]);
    paddedPrint(out, "", w[6]);
  }
  *out += '\n';
  printTestStepLine(out, columns);
}

namespace {

// The heading of a step: on a result sheet, its line and the table's head;
// on the book printout, its box. Nothing when the step has no file.
void printStepOnly(std::string* out, const tPrintPlace& at, const std::string& mod,
                   const std::string& step, const tStepColumns& columns) {
  std::string title, desc;
  if (!readBookEntry(getStepFileName(at.project, at.group, at.phase, mod, step), &title, &desc))
    return;
  title = printedTitle(title);
  if (at.sheet) {
    *out += '\n';
    plainLine(out, "  " + langue(2514) + " : " + step + " : " + title + " ");
    *out += "  ===============================\n\n";
    printTestStepHeader(out, columns);
  } else {
    entryBox(out, '+', '=', 2514, step, title, desc);
  }
}

void printModuleOnly(std::string* out, const tPrintPlace& at, const std::string& mod) {
  std::string title, desc;
  if (readBookEntry(getModuleFileName(at.project, at.group, at.phase, mod), &title, &desc)) {
    title = printedTitle(title);
    if (at.sheet) {
      *out += "\n\n";
      plainLine(out, " " + langue(2515) + " : " + mod + " : " + title);
      *out += " ===============================\n";
      return;
    }
    entryBox(out, '*', '*', 2515, mod, title, desc);
    return;
  }
  *out += '\n';
}

}  // namespace

void printStep(std::string* out, const tPrintPlace& at, const std::string& mod,
               const std::string& step, const tCharList& numbers) {
  std::vector<tTest> tests;
  for (const std::string& num : numbers) {
    tTest test;
    initTestArgs(&test, at.project, at.group, at.phase, mod, step, atoi(num.c_str()));
    testFileRead(&test, getTestFileName(test, test.number));
    tests.push_back(std::move(test));
  }
  int largest = 0;
  for (const tTest& test : tests) largest = std::max(largest, test.number);
  const tStepColumns columns = stepColumns(largest);
  printStepOnly(out, at, mod, step, columns);
  tPassTest r;
  for (const tTest& test : tests) {
    if (at.sheet) {
      testResultRead(test, at.camp, &r);
      printTestResult(out, columns, test, r, linkedStatus);
    } else {
      printTestFile(out, test);
      *out += '\n';
    }
  }
}

void printModule(std::string* out, const tPrintPlace& at, const std::string& mod,
                 const std::vector<tBookStep>& steps) {
  printModuleOnly(out, at, mod);
  for (const tBookStep& step : steps) printStep(out, at, mod, step.key, step.tests);
}

void printBook(std::string* out, const tPrintPlace& at) {
  plainLine(out, "                     " + langue(2516));
  *out += '\n';
  plainLine(out, langue(100) + "\t: " + at.project);
  plainLine(out, langue(101) + "\t: " + at.group);
  plainLine(out, langue(102) + "\t\t: " + getPhaseName(at.phase));
  *out += '\n';
  if (at.sheet) plainLine(out, langue(2491) + "\t: " + at.camp);
  for (const tBookModule& m : getBookTree(at.project, at.group, at.phase))
    printModule(out, at, m.key, m.steps);
}

// ---------------------------------------------------------------------------
// Page operations
// ---------------------------------------------------------------------------

namespace {

// Shows a printout in the page: "<PRE>" and the text.
void dispTextFile(const std::string& text) {
  request().page.markup("<PRE>\n").text(text);
}

// Writes the printout to the temporary file, hands it to the PRINT
// command, shows it and removes the file. A file that cannot be written
// is not printed; the page shows the printout all the same.
void printOut(const std::string& text) {
  tPage& pg = request().page;
  const std::string file = strprintf("%s/tmp/velko.%d.prt", getDataDir().c_str(),
                                     static_cast<int>(getpid()));
  tFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  const bool opened = fd.ok();
  const bool written = opened && writeAll(fd.get(), text) && fd.close();
  if (written) {
    const std::string printer = getCfgKey("PRINT");
    const std::string command = printer + " " + shellWord(file);
    pg.comment(" " + command + " ").markup("\n");
    if (given(printer)) runPrintCommand(command);
  } else {
    pg.comment(" printout not written: " + file + " ").markup("\n");
  }
  dispTextFile(text);
  if (opened) ::unlink(file.c_str());
}

tPrintPlace printPlace(const tArgList& list, int format) {
  const tBookPlace p = bookPlace(list);
  tPrintPlace at;
  at.project = p.project;
  at.group = p.group;
  at.phase = p.phase;
  at.sheet = format == 1;
  at.camp = getArg(list, "camp");
  return at;
}


}  // namespace

void bookPrintTest(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  tTest test;
  initTestArgs(&test, p.project, p.group, p.phase, p.mod, p.step,
               numberArg(p.test) ? atoi(p.test.c_str()) : -1);
  if (test.number < 0 || !testRead(&test)) {
    printErr1(kTextNoTest, p.mod + "." + p.step + "." + p.test);
    return;
  }
  std::string out;
  printTestFile(&out, test);
  printOut(out);
}

void bookPrintStep(tArgList& list, int format) {
  const tBookPlace p = bookPlace(list);
  std::string out;
  printStep(&out, printPlace(list, format), p.mod, p.step,
            getTests(p.project, p.group, p.phase, p.mod, p.step));
  printOut(out);
}

void bookPrintModule(tArgList& list, int format) {
  const tBookPlace p = bookPlace(list);
  std::string out;
  printModule(&out, printPlace(list, format), p.mod,
              getModuleTree(p.project, p.group, p.phase, p.mod));
  printOut(out);
}

void bookPrint(tArgList& list, int format) {
  std::string out;
  printBook(&out, printPlace(list, format));
  printOut(out);
}
