// edit.cpp: the header change, the entry change and the copy.
//
// Neither the header change nor the copy sends a notification or remembers
// the acting user; the entry change does both (the action table's page
// queues the mail). With security on, applying any of them needs a valid
// session (the table's policy), and the report's lock is held meanwhile.
#include "edit.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "args.h"
#include "config.h"
#include "frame.h"
#include "text.h"
#include "synchro.h"
#include "utils.h"

namespace {

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// Sets `field` from the text argument `name` when the form sent it (an
// absent value stores as empty); a field the request does not carry stays.
void setText(const tArgList& list, const char* name, std::string* field, size_t width) {
  if (!hasArg(list, name)) return;
  const std::string v = getArg(list, name);
  *field = isAbsent(v) ? std::string() : storedField(v, width);
}

// The integer of argument `name` when it is one (blanks, a sign, digits)
// within [lo, hi].
bool intArg(const tArgList& list, const char* name, long lo, long hi, long* out) {
  const std::string v = getArg(list, name);
  char* end = nullptr;
  errno = 0;
  const long n = strtol(v.c_str(), &end, 10);
  if (end == v.c_str() || errno == ERANGE || n < lo || n > hi) return false;
  *out = n;
  return true;
}

// The value of a letter argument (phase, impact): its first letter minus
// 'a', when within [0, hi].
bool letterArg(const tArgList& list, const char* name, int hi, int* out) {
  const std::string v = getArg(list, name);
  if (isAbsent(v)) return false;
  const int n = static_cast<unsigned char>(v[0]) - 'a';
  if (n < 0 || n > hi) return false;
  *out = n;
  return true;
}

// Project, group, module, severity and phase from the form (the fields of
// the header change that the copy has too), and the group prefix.
void setPlace(const tArgList& list, tHeader* h) {
  setText(list, "project", &h->project, kProjectSize);
  setText(list, "group", &h->subProject, kProjectSize);
  setText(list, "prog", &h->module, kModuleSize);
  long sev;
  if (intArg(list, "sev", 1, 4, &sev)) h->severity = static_cast<int>(sev);
  int phase;
  if (letterArg(list, "phase", 15, &phase)) h->phase = static_cast<tPhase>(phase);
  h->prefix = storedField(getGroupPrefix(h->project, h->subProject), kPrefixSize);
}

// ---------------------------------------------------------------------------
// Page pieces
// ---------------------------------------------------------------------------

void userSelect(tPage& page, const tHeader& bug) {
  page.markup("<SELECT NAME=\"User\">\n<OPTION >&nbsp\n");
  optionListUsers(bug.project, getUser());
  page.markup("</SELECT>");
}

void submitAndReset(tPage& page) {
  page.markup("<INPUT TYPE=submit VALUE=\"OK\"> ");
  resetButton(page);
}

// A labelled selection in its table cell: `label` (language text), the
// SELECT element named `name`, the options that `options` writes.
template <size_t N, class Options>
void selectCell(tPage& page, int label, const char (&name)[N], Options options) {
  page.markup("<TD>").text(langue(label)).markup(" : <SELECT NAME=\"").markup(name);
  page.markup("\">\n");
  options();
  page.markup("</SELECT></TD>\n");
}


// The options of a list file with the field's current `value` chosen. A
// value the list does not hold (the list changed since) is offered as
// well, chosen, so that saving the form never changes a field the user
// left alone; with `blank`, a blank option comes first, chosen for an
// empty value.
template <class List>
void currentOptions(tPage& page, const std::string& value, bool blank, List list) {
  if (blank) {
    if (value.empty())
      page.markup("<OPTION SELECTED>&nbsp\n");
    else
      page.markup("<OPTION >&nbsp\n");
  }
  const size_t from = page.body().size();
  list(value.empty() ? std::string(" ") : value);  // " " chooses no option
  if (!value.empty() && page.body().find("<OPTION SELECTED>", from) == std::string::npos)
    page.markup("<OPTION SELECTED> ").text(value).markup("\n");
}

// The cells of the project (its label big and bold), the group and the
// module, `blankModule` offering an empty module.
void placeCells(tPage& page, const tHeader& bug, bool blankModule) {
  page.markup("<TD><FONT SIZE=+1><B>").text(langue(100));
  page.markup("</B></FONT> : <SELECT NAME=\"project\">\n");
  currentOptions(page, bug.project, false, [](const std::string& p) { optionListProject(p); });
  page.markup("</SELECT></TD>\n");
  selectCell(page, 101, "group", [&] {
    currentOptions(page, bug.subProject, false,
                   [&](const std::string& g) { optionListSubProject(bug.project, g); });
  });
  selectCell(page, 108, "prog", [&] {
    currentOptions(page, bug.module, blankModule,
                   [&](const std::string& m) { optionListProgram(bug.project, m); });
  });
}

template <size_t N>
void textCell(tPage& page, int label, const char (&name)[N], int size, const std::string& value) {
  page.markup("<TD>").text(langue(label)).markup(" : <INPUT TYPE=text NAME=\"").markup(name);
  page.markup("\" SIZE=").num(size).markup(" VALUE=\"").attr(value).markup("\"></TD>\n");
}

// ---------------------------------------------------------------------------
// The forms
// ---------------------------------------------------------------------------

void displayEditHead(tPage& page, const tHeader& bug, const std::string& num) {
  page.markup("<H1>").text(langue(2029)).markup(" ").text(num).markup(" </H1>\n");
  page.markup("<TABLE BORDER=1 WIDTH=100%>\n<TR><TD COLSPAN=4><B>").text(langue(106));
  page.markup("</B> : <INPUT TYPE=text NAME=\"title\" SIZE=83 VALUE=\"").attr(bug.title);
  page.markup("\"></TD></TR>\n<TR>");
  placeCells(page, bug, true);
  selectCell(page, 109, "sev", [&] { optionListSeverity(bug.severity); });
  page.markup("</TR>\n<TR>");
  selectCell(page, 104, "impact", [&] { optionListImpact(bug.impact); });
  selectCell(page, 102, "phase", [&] { optionListPhase(bug.phase); });
  selectCell(page, 110, "version", [&] {
    currentOptions(page, bug.version, true, [&](const std::string& v) { optionListVersion(bug.project, v); });
  });
  selectCell(page, 111, "exp", [&] {
    currentOptions(page, bug.expvers, true, [&](const std::string& v) { optionListDeadline(bug.project, v); });
  });
  page.markup("</TR>\n<TR>");
  selectCell(page, 112, "type", [&] {
    // The lists offer the types 1 and 2 only: a report of type 0 keeps it.
    if (bug.fileType == FAIT_TECHNIQUE) page.markup("<OPTION VALUE=0 SELECTED>&nbsp\n");
    optionListProblemType(bug.fileType);
  });
  selectCell(page, 113, "submitter", [&] {
    currentOptions(page, bug.submitter, false, [&](const std::string& u) { optionListUsers(bug.project, u); });
  });
  textCell(page, 114, "test", 25, bug.testref);
  page.markup("<TD>");
  submitAndReset(page);
  page.markup("</TD></TR>\n<TR><TD><B>").text(langue(2025)).markup("</B> : ");
  userSelect(page, bug);
  page.markup("</TD>\n");
  textCell(page, 122, "mdapda", 30, bug.mdaPda);
  textCell(page, 116, "Load", 4, std::to_string(bug.timeEstimate));
  page.markup("<TD></TD></TR>\n</TABLE>\n");
}

// The entry at position `pos` of the report's entry list, or null.
template <class H>
auto entryAt(H& bug, long pos) -> decltype(&bug.data[0]) {
  if (pos < 0 || static_cast<size_t>(pos) >= bug.data.size()) return nullptr;
  return &bug.data[static_cast<size_t>(pos)];
}

void displayEditAnalyse(tPage& page, const tHeader& bug, const std::string& num,
                        const tArgList& list) {
  page.markup("<H1>").text(langue(2024)).markup(" ").text(num).markup(" </H1>\n");
  const long pos = getArgInt(list, "Edit");
  const tAnalyse* entry = entryAt(bug, pos);
  if (!entry) return;
  page.hidden("Edit", std::to_string(pos));
  page.markup("<TABLE BORDER=0 WIDTH=100%><TR><TD>\n").text(langue(106)).markup(" :\n");
  page.markup("<INPUT SIZE=25 NAME=\"title\" VALUE=\"").attr(entry->title).markup("\">\n");
  page.text(langue(2025)).markup(" \n");
  userSelect(page, bug);
  page.markup("\n<inPUT TYPE=\"submit\" VALUE=\"OK\">\n<BR>\n");
  page.markup("<TEXTAREA NAME=text ROWS=15 COLS=70>");
  const size_t n = std::min(entry->data.size(), static_cast<size_t>(std::max(entry->length, 0)));
  page.text(entryFormText(entry->data.substr(0, n)));
  page.markup("</TEXTAREA>\n</TD></TR></TABLE>\n");
}

void displayCopy(tPage& page, const tHeader& bug, const std::string& num) {
  page.markup("<H1>").text(applyHistoryFormat(langue(2032), num, std::string(), std::string()));
  page.markup("</H1>\n<TABLE BORDER=1 WIDTH=100%><TR>\n");
  placeCells(page, bug, false);
  page.markup("</TR>\n<TR><TD></TD>\n");
  selectCell(page, 109, "sev", [&] { optionListSeverity(bug.severity); });
  selectCell(page, 102, "phase", [&] { optionListPhase(bug.phase); });
  page.markup("</TR>\n<TR><TD><B>").text(langue(2114)).markup("</B> : ");
  userSelect(page, bug);
  page.markup("</TD>\n<TD COLSPAN=2>");
  submitAndReset(page);
  page.markup("</TD></TR>\n</TABLE>\n");
}

// "%d days (+%ld)" or "%d days (-%ld)": the new estimate and the change.
std::string reestimate(long now, long before) {
  const long change = now > before ? now - before : before - now;
  return strprintf("%ld days (%c%ld)", now, now > before ? '+' : '-', change);
}

}  // namespace

void editForm(tPage& page, tAction act, const tHeader& bug, const std::string& num,
              const tArgList& list) {
  if (act == E_Change_Header) displayEditHead(page, bug, num);
  if (act == E_Edit) displayEditAnalyse(page, bug, num, list);
  if (act == E_Copy) displayCopy(page, bug, num);
}

std::string entryFormText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\n' && i > 0 && text[i - 1] == '\r')) out += text[i];
  return out;
}

void saveRefused(tPage& page, int rc, const std::string& num) {
  page.comment("store: " + std::to_string(rc)).markup("\n");
  printErr1(520, rc == kStoreBusy ? langue(521) : saveFailureReason(rc, num));
}

// ---------------------------------------------------------------------------
// Applying the forms
// ---------------------------------------------------------------------------

namespace {

// The stored report goes to the other sites after the page, as the
// workflow actions' reports do (a header change and a copy send no mail).
void sendToSites(const tHeader& bug) {
  request().after([path = getDataDir() + "/" + getBugName(bug), project = bug.project] {
    SendSynchFile(path, project, S_FFT);
  });
}

}  // namespace

bool doEditHead(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr1(503, langue(2025));
    return false;
  }
  tHeader next = bug;
  const std::string oldLine = writeIndexToStr(bug);
  setText(list, "title", &next.title, kTitleSize);
  setPlace(list, &next);
  long n;
  int letter;
  if (letterArg(list, "impact", PERFORMANCE, &letter)) next.impact = static_cast<tImpact>(letter);
  setText(list, "version", &next.version, kVersionSize);
  setText(list, "exp", &next.expvers, kVersionSize);
  if (intArg(list, "type", FAIT_TECHNIQUE, ANOMALIE, &n)) next.fileType = static_cast<tBugType>(n);
  setText(list, "submitter", &next.submitter, kUserSize);
  setText(list, "test", &next.testref, kTestrefSize);
  setText(list, "mdapda", &next.mdaPda, kMdaPdaSize);
  long load = bug.timeEstimate;
  const bool reestimated = intArg(list, "Load", INT_MIN, INT_MAX, &load) && load != bug.timeEstimate;
  // The history lines are added once the report's name is final, so that
  // the global history names the report as stored.
  const int rc = storeChangedBug(next, num, oldLine, [&](tHeader& h) {
    history1(&h, langue(2031), user);
    if (reestimated) {
      history2(&h, "Re-estimated by %s to %s", user, reestimate(load, h.timeEstimate));
      h.timeEstimate = load;
    }
  });
  if (rc < 0) {
    saveRefused(page, rc, num);
    return false;
  }
  bug = std::move(next);
  sendToSites(bug);  // under its new name when the change moved it
  return true;
}

bool doEditAnalyse(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr(502);
    return false;
  }
  const long pos = getArgInt(list, "Edit");
  tHeader next = bug;
  tAnalyse* entry = entryAt(next, pos);
  if (!entry) {
    std::string missing = langue(505);
    const size_t d = missing.find("%d");
    if (d != std::string::npos) missing.replace(d, 2, std::to_string(pos));
    page.markup("<Font color=red><H1>").text(langue(500)).markup("</H1><P>\n").text(missing);
    page.markup("<P></font>");
    return false;
  }
  setText(list, "title", &entry->title, kTitleSize);
  // An attachment's text is the path of its file, which stays.
  if (hasArg(list, "text") && entry->dataType != TYPE_ATTACHMENT) {
    entry->data = getArg(list, "text");
    entry->length = static_cast<int>(std::min<size_t>(entry->data.size(), INT_MAX));
  }
  history2(&next, langue(2027), entry->title, user);
  const int rc = writeBug(next);
  if (rc < 0) {
    saveRefused(page, rc, num);
    return false;
  }
  bug = std::move(next);
  if (!setUserInfo(user, bug.project, bug.subProject, bug.phase))
    page.redLine(langue(kTextNotRemembered));
  return true;
}

bool doCopy(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  if (!given(user)) {
    printErr1(503, langue(2114));
    return false;
  }
  // The report read for the page becomes the copy; the source is read
  // again to receive its own history line.
  std::unique_ptr<tHeader> source = readBug(num);
  if (!source) {
    page.redLine(langue(504) + " " + num);
    return false;
  }
  tHeader copy = bug;
  setPlace(list, &copy);
  // The copy keeps its source's number when that one is free under its
  // prefix; its history line is written once the number is final.
  int rc = storeNumberedBug(copy, source->number,
                            [&](tHeader& c) { history2(&c, langue(2034), num, user); });
  if (rc < 0) {
    saveRefused(page, rc, num);
    return false;
  }
  const std::string copyName = getBugName(copy);
  history2(source.get(), langue(2035), copyName, user);
  rc = writeBug(*source);
  sendToSites(copy);
  if (rc >= 0) sendToSites(*source);
  bug = std::move(copy);
  if (rc < 0) {
    saveRefused(page, rc, num);  // the copy is stored; the source lacks its line
    return false;
  }
  return true;
}
