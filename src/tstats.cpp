// tstats.cpp: the statistics of a test campaign (tstats.h).
#include "tstats.h"

#include <cstdlib>
#include <ctime>

#include "args.h"
#include "bcreate.h"
#include "config.h"
#include "frame.h"
#include "tdisplay.h"
#include "timeutil.h"
#include "tutils.h"

namespace {

tPage& page() { return request().page; }

// The columns of a statistics table: module, step, then the seven numbers.
constexpr int kColumnCount = 9;
const int kLabels[kColumnCount] = {1000, 1001, 2502, 2503, 2504, 2505, 2504, 2505, 2517};

// The cell opening of a column (its width and alignment).
void columnOpening(tPage& pg, int column) {
  switch (column) {
    case 0: pg.markup("TD WIDTH=50 ALIGN=LEFT "); break;
    case 1: pg.markup("TD WIDTH=50 ALIGN=CENTER "); break;
    case 2: case 3: pg.markup("TD WIDTH=60 ALIGN=CENTER "); break;
    case 4: pg.markup("TD WIDTH=50 ALIGN=CENTER "); break;
    case 5: pg.markup("TD WIDTH=30 ALIGN=CENTER "); break;
    case 6: pg.markup("TD WIDTH=60 ALIGN=RIGHT "); break;
    default: pg.markup("TD WIDTH=50 ALIGN=RIGHT "); break;
  }
}

// The colours of the rows: header, step, module and book.
enum tRowStyle { kHeaderRow, kStepRow, kModuleRow, kBookRow };

void background(tPage& pg, tRowStyle style) {
  switch (style) {
    case kHeaderRow: pg.markup("BGCOLOR=\"#CFCFCF\""); break;
    case kStepRow: pg.markup("BGCOLOR=\"#FFFFFF\""); break;
    default: pg.markup("BGCOLOR=\"#EFEFEF\""); break;
  }
}

void font(tPage& pg, tRowStyle style) {
  switch (style) {
    case kModuleRow: pg.markup("FONT COLOR=#000080 FACE=Helvetica"); break;
    case kBookRow: pg.markup("FONT COLOR=#008F00 FACE=Helvetica"); break;
    default: pg.markup("FONT COLOR=#000000 FACE=Helvetica"); break;
  }
}

// "<" opening background "><" font ">": the start of a cell.
void cellStart(tPage& pg, int column, tRowStyle style) {
  pg.markup("<");
  columnOpening(pg, column);
  background(pg, style);
  pg.markup("><");
  font(pg, style);
  pg.markup(">");
}

// The seven numbers of a node in the columns 2 to 8.
void numberCells(tPage& pg, const tStatList& n, tRowStyle style) {
  const int counts[4] = {n.nbtest, n.nb2pass, n.nbpassed, n.nbok};
  for (int i = 0; i < 4; ++i) {
    cellStart(pg, 2 + i, style);
    pg.num(counts[i]).markup("</TD>\n");
  }
  const int percents[3] = {n.pcpass, n.pcok, n.pcokp};
  for (int i = 0; i < 3; ++i) {
    cellStart(pg, 6 + i, style);
    pg.num(percents[i]);
    if (i < 2)
      pg.markup("%</TD>\n");
    else
      pg.markup("%</TD></TR>\n");
  }
}

// The start of a link to a campaign view: the test side, the phase and the
// campaign.
void viewLinkStart(tPage& pg, const std::string& proj, const std::string& sproj, int phase,
                   const std::string& camp) {
  pg.markup("<A HREF=\"");
  testLinkStart(proj, sproj);
  pg.markup("&phase=").num(phase).markup("&camp=");
  formatArg(pg, camp);
}

}  // namespace

// ---------------------------------------------------------------------------
// Counting
// ---------------------------------------------------------------------------

void countResult(tStatList* node, int result) {
  ++node->nbchild;
  ++node->nbtest;
  if (result == E_NA) return;
  ++node->nb2pass;
  if (result == E_NT) return;
  ++node->nbpassed;
  if (result == E_OK) ++node->nbok;
}

void addCounts(tStatList* node, const tStatList& child) {
  ++node->nbchild;
  node->nbtest += child.nbtest;
  node->nb2pass += child.nb2pass;
  node->nbpassed += child.nbpassed;
  node->nbok += child.nbok;
}

void computePercentages(tStatList* n) {
  // In long: a count times 100 never overflows.
  n->pcpass = n->nb2pass ? static_cast<int>(n->nbpassed * 100L / n->nb2pass) : 0;
  n->pcok = n->nb2pass ? static_cast<int>(n->nbok * 100L / n->nb2pass) : 0;
  n->pcokp = n->nbpassed ? static_cast<int>(n->nbok * 100L / n->nbpassed) : 0;
}

void getStepList(const std::string& proj, const std::string& sproj, int phase,
                 const std::string& mod, const std::string& camp, const tCharList& tests,
                 tStatList* step) {
  tPassTest result;
  for (const std::string& num : tests) {
    tTest test;
    initTestArgs(&test, proj, sproj, phase, mod, step->name, atoi(num.c_str()));
    // Only the test's identity and result count: its description is not
    // read.
    testResultRead(test, camp, &result);
    countResult(step, result.result);
  }
  computePercentages(step);
}

void getModList(const std::string& proj, const std::string& sproj, int phase,
                const std::string& camp, const std::vector<tBookStep>& steps, tStatList* mod) {
  for (const tBookStep& s : steps) {
    tStatList step;
    step.name = s.key;
    getStepList(proj, sproj, phase, mod->name, camp, s.tests, &step);
    addCounts(mod, step);
    mod->children.push_back(std::move(step));
  }
  computePercentages(mod);
}

tStatList getBookList(const std::string& proj, const std::string& sproj, int phase,
                      const std::string& camp) {
  tStatList book;
  for (const tBookModule& m : getBookTree(proj, sproj, phase)) {
    tStatList mod;
    mod.name = m.key;
    getModList(proj, sproj, phase, camp, m.steps, &mod);
    addCounts(&book, mod);
    book.children.push_back(std::move(mod));
  }
  computePercentages(&book);
  return book;
}

// ---------------------------------------------------------------------------
// The page
// ---------------------------------------------------------------------------

namespace {

void dispTableHeader() {
  tPage& pg = page();
  pg.markup("<BR><TABLE BORDER=1 CELLSPACING=0 CELLPADDING=4 WIDTH=100% BGCOLOR=#000080>\n<TR>");
  for (int i = 0; i < kColumnCount; ++i) {
    cellStart(pg, i, kHeaderRow);
    pg.markup("<B>");
    if (i >= 6) pg.markup("% ");
    pg.text(langue(kLabels[i]));
    if (i < kColumnCount - 1)
      pg.markup("</B></TD>\n");
    else
      pg.markup("</B></TD></TR>\n");
  }
}

// The rows of the steps of `mod`; the first continues the module's row.
void dispStepStat(const tBookPlace& p, const std::string& camp, const tStatList& mod) {
  tPage& pg = page();
  bool first = true;
  for (const tStatList& step : mod.children) {
    if (!first) pg.markup("<TR>\n");
    first = false;
    cellStart(pg, 1, kStepRow);
    pg.markup("\n");
    viewLinkStart(pg, p.project, p.group, p.phase, camp);
    pg.markup("&mod=");
    formatArg(pg, mod.name).markup("&step=");
    formatArg(pg, step.name).markup("&test=+&book=18");
    addUidTo(pg).markup("\"> \n").text(step.name).markup("</A></TD>\n");
    numberCells(pg, step, kStepRow);
  }
}

}  // namespace

void testStats(tArgList& list) {
  const tBookPlace p = bookPlace(list);
  const std::string camp = getArg(list, "camp");
  tPage& pg = page();
  dispProjectHeader(
      [](tPage& t) { t.markup("<FONT COLOR=DarkViolet>").text(langue(2506)).markup("</FONT>"); },
      p.project, p.group, p.phase);
  pg.markup("<TABLE BORDER=0 WIDTH=100%>\n<TR><TD ALIGN=LEFT>").text(langue(2491));
  pg.markup(" : <B>").text(camp).markup("</B></TD><TD ALIGN=RIGHT>").text(langue(2511));
  pg.markup(" : ").text(time2char(static_cast<long>(time(nullptr))));
  pg.markup("</TD></TR></TABLE>\n");

  const tStatList book = getBookList(p.project, p.group, p.phase, camp);
  for (const tStatList& mod : book.children) {
    dispTableHeader();
    pg.markup("<TR><");
    columnOpening(pg, 1);
    background(pg, kModuleRow);
    pg.markup(" ROWSPAN=").num(mod.nbchild + 1).markup("><");
    font(pg, kModuleRow);
    pg.markup("><B>");
    viewLinkStart(pg, p.project, p.group, p.phase, camp);
    pg.markup("&mod=");
    formatArg(pg, mod.name).markup("&step=+&test=+&book=15");
    addUidTo(pg).markup("\"> \n").text(mod.name).markup("</A></B></TD>\n");
    dispStepStat(p, camp, mod);
    pg.markup("<TR>\n");
    cellStart(pg, 1, kModuleRow);
    pg.markup("&nbsp;</TD>\n");
    numberCells(pg, mod, kModuleRow);
    pg.markup("</TABLE><P>\n");
  }
  dispTableHeader();
  pg.markup("<TR><");
  columnOpening(pg, 0);
  background(pg, kBookRow);
  pg.markup("COLSPAN=2 ><");
  font(pg, kBookRow);
  pg.markup("><B>");
  pg.text(langue(2484)).markup("</B></TD>\n");
  numberCells(pg, book, kBookRow);
  pg.markup("</TABLE><P>\n");
}
