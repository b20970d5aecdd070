// history.cpp: the history page.
//
// "history.dat" holds one line per change of a report or a test result,
// "<time> <subject> <text>", oldest first; the store reads it
// (forEachHistoryLine) and this page only looks at the fields it hands out.
// The time is time2char's "%Y/%m/%d:%H.%M.%S": its first 10 characters are
// the day. The subject is a report name, or for a test result the path
// "project/group prefix/phase letter/Book/test.module.step.number".
#include "history.h"

#include <cstdlib>
#include <ctime>
#include <vector>

#include "args.h"
#include "config.h"
#include "frame.h"
#include "text.h"
#include "timeutil.h"
#include "utils.h"

namespace {

constexpr size_t kDayLength = 10;  // "%Y/%m/%d"

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// SCRIPT_NAME as the unquoted attribute values of the frames and links
// write it.
std::string scriptUnquoted() { return unquotedUrl(envOrEmpty("SCRIPT_NAME")); }

// True for a text of the form "dddd/dd/dd".
bool isDay(std::string_view s) {
  if (s.size() != kDayLength) return false;
  for (size_t i = 0; i < kDayLength; ++i) {
    const bool slash = i == 4 || i == 7;
    if (slash ? s[i] != '/' : (s[i] < '0' || s[i] > '9')) return false;
  }
  return true;
}

// The day of a history line's time, "" when the time does not begin with one.
std::string_view dayOf(std::string_view time) {
  const std::string_view day = time.substr(0, kDayLength);
  return isDay(day) ? day : std::string_view();
}

// A frame's document: its head (the stylesheet and the language of every
// page), titled `title`, and its body tag.
void bodyTag(tPage& page, const std::string& title) {
  printDocumentStart(page);
  page.markup("<TITLE>").text(title).markup("</TITLE>\n</HEAD>\n");
  page.markup("<BODY BGCOLOR=#FFFFFF TEXT=#000000 >\n");
}

// The frame set: the title on top, the days on the left, today's lines on
// the right. The title frame needs no session; the two others carry it.
void drawFrameSet(tPage& page) {
  const std::string script = scriptUnquoted();
  const std::string today = time2char(static_cast<long>(::time(nullptr))).substr(0, kDayLength);
  page.markup("<FRAMESET BORDER=1 ROWS=\"50,*\">\n");
  page.markup("  <FRAME SRC=").escaped(script).markup("?CMD=history&text=TOP name=TOP ");
  page.markup("     scrolling=no frameborder=0 noresize />\n");
  page.markup("  <FRAMESET BORDER=1 COLS=\"100,*\">\n");
  page.markup("     <FRAME SRC=").escaped(script).markup("?CMD=history&text=LEFT");
  addUidTo(page).markup(" name=LEFT />\n");
  page.markup("     <FRAME SRC=").escaped(script).markup("?CMD=history&text=").urlPath(today);
  addUidTo(page).markup(" name=HIST />\n");
  page.markup("  </FRAMESET>\n");
  page.markup("</FRAMESET>\n");
}

void drawFrameTop(tPage& page) {
  bodyTag(page, langue(2036));
  page.markup("<P ALIGN=CENTER><B><FONT SIZE=5>").text(langue(2036)).markup("</FONT>\n");
  page.markup("</BODY>\n");
}

// The days of the history, newest first: one entry per run of consecutive
// lines of the same day (the file is appended in time order, so normally
// one per day). Lines whose time does not begin with a day are passed over.
void drawFrameLeft(tPage& page) {
  bodyTag(page, langue(2036));
  std::vector<std::string> days;
  forEachHistoryLine([&days](const tHistoryLine& h) {
    const std::string_view day = dayOf(h.time);
    if (day.empty() || (!days.empty() && days.back() == day)) return;
    days.emplace_back(day);
  });
  const std::string script = scriptUnquoted();
  for (auto d = days.rbegin(); d != days.rend(); ++d) {
    page.markup("<A HREF=").escaped(script).markup("?CMD=history&text=").urlPath(*d);
    addUidTo(page).markup(" TARGET=HIST >\n").text(*d).markup("</A><BR>\n");
  }
}

// The parts of a test result's subject.
struct tTestSubject {
  std::string_view project, prefix, letter, module, step, test;
};

// Splits `s` at each `sep` into exactly `n` non-empty pieces.
bool splitExactly(std::string_view s, char sep, std::string_view* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const size_t at = i + 1 < n ? s.find(sep) : std::string_view::npos;
    if (i + 1 < n && at == std::string_view::npos) return false;
    out[i] = s.substr(0, at);
    if (out[i].empty()) return false;
    if (i + 1 < n) s.remove_prefix(at + 1);
  }
  return out[n - 1].find(sep) == std::string_view::npos;
}

// "project/prefix/letter/Book/test.module.step.number"; false for any other
// form (such a line is shown without a link).
bool splitTestSubject(std::string_view s, tTestSubject* t) {
  std::string_view parts[5], file[4];
  if (!splitExactly(s, '/', parts, 5) || parts[2].size() != 1 || parts[3] != "Book" ||
      !splitExactly(parts[4], '.', file, 4))
    return false;
  *t = tTestSubject{parts[0], parts[1], parts[2], file[1], file[2], file[3]};
  return true;
}

// The subject cell of a test result line: a link to the test's page in the
// test book (book=21, the view of one test).
void testCell(tPage& page, std::string_view subject) {
  tTestSubject t;
  if (!splitTestSubject(subject, &t)) {
    page.markup("<TD>").text(subject).markup(" </TD>\n");
    return;
  }
  const std::string project(t.project);
  page.markup("<TD><A HREF=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("?CMD=book&project=");
  page.urlArg(project).markup("&group=").urlArg(getPrefixGroup(project, std::string(t.prefix)));
  page.markup("&phase=").num(getPrefixPhasePrefix(t.letter[0]));
  page.markup("&mod=").urlArg(t.module).markup("&step=").urlArg(t.step);
  page.markup("&test=").urlArg(t.test).markup("&book=21");
  addUidTo(page).markup("\"> \n");
  page.text(t.project).markup(".").text(t.prefix).markup(".").text(t.letter).markup(".");
  page.text(t.module).markup(".").text(t.step).markup(".").text(t.test);
  page.markup("</A> </TD>\n");
}

// The lines of `day`, in file order. A day that is not one shows none.
void drawHistory(tPage& page, const std::string& day) {
  bodyTag(page, langue(2037) + " " + day);
  page.markup("<H1>").text(langue(2037)).markup(" ").text(day).markup("</H1>\n");
  page.markup("<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 >\n");
  if (isDay(day)) {
    const std::string script = scriptUnquoted();
    forEachHistoryLine([&](const tHistoryLine& h) {
      if (dayOf(h.time) != day) return;
      // The time of day follows the day and its ':'.
      std::string_view clock = h.time.substr(kDayLength);
      if (!clock.empty() && clock[0] == ':') clock.remove_prefix(1);
      page.markup("<TR><TD> ").text(clock).markup(" </TD>\n");
      if (h.name.find('/') != std::string_view::npos) {
        testCell(page, h.name);
      } else {
        page.markup("<TD><A HREF=").escaped(script).markup("?Num=").urlValue(h.name);
        addUidTo(page).markup(">").text(h.name).markup("</A> </TD>\n");
      }
      std::string_view text = h.text;
      while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
      page.markup("<TD> ");
      emphasize(page, text);
      page.markup("</TD><TR>\n");
    });
  }
  page.markup("</TABLE>\n");
}

// The keywords' colours, in the order of their language texts (2600 + k);
// the keyword beside each is the one used when the language file lacks
// the text.
struct tKeyColour {
  const char* keyword;
  const char* colour;
};
constexpr tKeyColour kColours[] = {
    {"Attachment", "BLACK"}, {"New", "RED"},       {"Submitted", "RED"},
    {"Rejected", "RED"},     {"Verified", "STEELBLUE"}, {"Corrected", "GREEN"},
    {"NOT_A_BUG", "GREEN"},  {"(OK)", "GREEN"},    {"(NOK)", "RED"},
};
constexpr int kFirstKeywordText = 2600;

}  // namespace

void emphasize(tPage& page, std::string_view text) {
  int k = 0;
  for (const tKeyColour& c : kColours) {
    const std::string& lang = langue(kFirstKeywordText + k++);
    const std::string_view keyword = lang.empty() ? std::string_view(c.keyword) : lang;
    const size_t at = text.find(keyword);
    if (at == std::string_view::npos) continue;
    page.text(text.substr(0, at)).markup("<B><FONT COLOR=").text(c.colour).markup(">");
    page.text(keyword).markup("</Font></B>").text(text.substr(at + keyword.size()));
    return;
  }
  page.text(text);
}

void displayHistory(tArgList& list) {
  tPage& page = request().page;
  page.setHeader();
  const std::string which = getArg(list, "text");
  if (isAbsent(which)) {
    printDocumentStart(page);
    page.markup("<TITLE>History</TITLE>\n</HEAD>\n");
    drawFrameSet(page);
  } else if (which == "TOP") {
    drawFrameTop(page);
  } else if (which == "LEFT") {
    drawFrameLeft(page);
  } else {
    drawHistory(page, which);
  }
}
