// actions.cpp: the action table's facts, the action bar, and the pages of
// the report actions and of the creation applied.
//
// An applied action is read, changed and written under the report's lock
// (taken by the front end, released here once the change is stored); the
// notification mail is rendered while the stored report is at hand and
// queued, so that the front end sends it after the page, outside every
// lock.
#include "actions.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "args.h"
#include "attach.h"
#include "config.h"
#include "frame.h"
#include "session.h"
#include "synchro.h"
#include "create.h"
#include "display.h"
#include "edit.h"
#include "html.h"
#include "mails.h"
#include "mchange.h"
#include "text.h"
#include "utils.h"

#define VELKO_FACTS_ROW(cmd, act, form, apply, method, image, label, mail, title, heading, \
                        style, policy, handler)                                          \
  {cmd, act, form, apply, method, image, label, mail, title, heading, style, policy},
const tActionRow kActionRows[kActionCount] = {VELKO_ACTIONS(VELKO_FACTS_ROW)};
#undef VELKO_FACTS_ROW

int findAction(std::string_view cmd) {
  for (size_t i = 0; i < kActionCount; ++i)
    if (cmd == kActionRows[i].cmd) return static_cast<int>(i);
  return -1;
}

bool submitsForm(const tArgList& list) {
  const std::string user = getArg(list, "User");
  return user.empty() || user[0] != ' ';
}

namespace {

const char* envOrEmpty(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// The anchors of the action bars of one request, numbered from 0.
struct tBarState {
  int anchor = 0;
};

// The session of a link, "&Uid=<identifier>", with security on and a
// session; nothing otherwise.
void sessionArg(tPage& page) {
  if (useSecurity() && given(getCookie())) page.markup("&Uid=").urlArg(getCookie());
}

// One button of the action bar: the row's image linking to its CMD value
// for report `num`.
void menuButton(tPage& page, const std::string& base, const tActionRow& row,
                const std::string& num, std::string_view qs, bool absolute) {
  const std::string script = unquotedUrl(envOrEmpty("SCRIPT_NAME"));
  page.markup("<TD><A HREF=").escaped(base).escaped(script);
  page.markup("?CMD=").urlValue(row.cmd).markup("&Num=").urlValue(num);
  page.markup("&QS=").urlValue(qs);
  // Every action refuses a request without the session (security on): the
  // page's buttons carry it, a mail never does.
  if (!absolute) sessionArg(page);
  page.markup("><IMG NAME=").escaped(identifier(row.cmd)).escaped(identifier(num));
  page.markup(" SRC=").escaped(base).escaped(unquotedUrl(getImgDir()));
  page.markup("/").escaped(unquotedUrl(row.image)).markup(".gif WIDTH=30 HEIGHT=20 ALT=\"");
  // The label as the image's text and, on hover, as its title.
  page.attr(langue(row.label)).markup("\" TITLE=\"").attr(langue(row.label));
  page.markup("\" BORDER=0></A> </TD>\n");
}

// The heading of the page of an applied action.
void appliedHeading(tPage& page, const tActionRow& row, const std::string& num,
                    const tArgList& list) {
  switch (row.style) {
    case kTextAndName:
      page.text(langue(row.heading)).markup(" ").text(num);
      break;
    case kFormatName:
      page.text(applyHistoryFormat(langue(row.heading), num, std::string(), std::string()));
      break;
    case kFormatNameText:
      page.text(applyHistoryFormat(langue(row.heading), num, getArg(list, "text"), std::string()));
      break;
    case kNoHeading:
      page.text(num);
      break;
  }
}

// Renders the notification of `row`'s action on report `num` by `user`
// from the report as now stored, and queues it: the front end sends it
// after the page.
void queueNotification(const tActionRow& row, const std::string& num, const std::string& user) {
  std::unique_ptr<tHeader> bug = isReportName(num) ? readBug(num) : nullptr;
  if (!bug) return;
  tPage body;
  displayBugMenu(body, num, std::string_view(), true);
  displayBugCore(body, *bug, true);
  // The changed report goes to the other sites, then the mail to the people
  // concerned; both after the page, outside the report's lock.
  request().after([path = getDataDir() + "/" + getBugName(*bug), project = bug->project] {
    SendSynchFile(path, project, S_FFT);
  });
  // An attachment is notified as an analysis: the same recipients.
  const tAction act = row.act == E_Attach ? E_Analyse : row.act;
  request().after([bug = *bug, num, act, subject = langue(row.mail), user,
                   html = body.body()] { sendMailBug(bug, num, act, subject, user, html); });
}

// The fields of a report action's form (the row's form function, or the
// editing forms, which read the request too).
using tShowForm = std::function<void(tPage&, const tHeader&, const std::string&)>;

// The page of a report action: its form, or the form applied, the report
// changed and stored under the lock, the notification queued when
// `notify`, then the action bar and the report as the action left it.
void reportActionPage(tActionCall& call, const tShowForm& form, bool notify) {
  const tActionRow& row = call.row;
  tArgList& list = call.list;
  tPage& page = request().page;
  const std::string num = getArg(list, "Num");
  const std::string cmd = getArg(list, "CMD");
  const std::string qs = getArg(list, "QS");
  printHead(page, cmd, nullptr, &list);

  // Only a name of the report-name form is looked up: no request reaches a
  // file outside the data directory.
  std::unique_ptr<tHeader> bug = isReportName(num) ? readBug(num) : nullptr;
  if (!bug) {
    page.redLine(langue(504) + " " + num);
    return;
  }

  if (!submitsForm(list)) {
    if (row.method == kPostMultipart)
      page.markup("<FORM METHOD=POST enctype=\"multipart/form-data\"");
    else if (row.method == kPost)
      page.markup("<FORM METHOD=POST");
    else
      page.markup("<FORM METHOD=GET");
    page.markup(" ACTION=\"").attr(envOrEmpty("SCRIPT_NAME")).markup("\">\n");
    page.hidden("CMD", cmd).hidden("Num", num);
    page.markup("<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"").escaped(quotedQuery(qs)).markup("\">\n");
    // With security on the session travels with the form: the submission
    // is refused without it.
    if (useSecurity() && given(getCookie())) page.hidden("Uid", getCookie());
    form(page, *bug, num);
    page.markup("</FORM><HR>\n");
    displayBugCore(page, *bug);
    return;
  }

  page.markup("<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n<TR><TD ALIGN=LEFT><H1>");
  appliedHeading(page, row, num, list);
  page.markup("</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
  page.markup("<A HREF=\"?").escaped(quotedQuery(qs)).markup("\">\n");
  page.markup("<IMG SRC=\"").attr(getImgDir());
  page.markup("/larrow.gif\" BORDER=0 VALIGN=CENTER></A>\n");
  page.markup("</A></TD></TR></Table>\n");
  if (row.apply(page, *bug, num, list) && notify) queueNotification(row, num, getArg(list, "User"));
  call.lock.release();  // the change is stored: the rest only shows it
  displayBugMenu(page, num, urlEncode(qs));
  displayBugCore(page, *bug);
}

}  // namespace

// ---------------------------------------------------------------------------
// The action bar and the report page
// ---------------------------------------------------------------------------

void displayBugMenu(tPage& page, const std::string& num, std::string_view qs, bool absolute) {
  const std::string base = absolute ? unquotedUrl(absoluteBase()) : std::string();
  page.markup("<a name=").num0(request().slot<tBarState>().anchor++, 5).markup(">\n");
  page.markup("<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 WIDTH=100%>\n<TR>\n");
  for (const tActionRow& row : kActionRows)
    if (row.image) menuButton(page, base, row, num, qs, absolute);
  page.markup("</TR></TABLE>\n");
}

void displayBug(tPage& page, const std::string& bugNum, std::string_view qs) {
  // Only a name of the report-name form is looked up; a file without its
  // index line (empty or damaged) is no report.
  std::unique_ptr<tHeader> bug = isReportName(bugNum) ? readBug(bugNum) : nullptr;
  if (bug && bug->number <= 0 && bug->project.empty()) bug.reset();
  if (!bug) {
    page.redLine(langue(504) + " " + bugNum);
    return;
  }
  displayBugMenu(page, bugNum, qs);
  displayBugCore(page, *bug);
}

// ---------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------

void actionPage(tActionCall& call) { reportActionPage(call, call.row.form, true); }

void editPage(tActionCall& call) {
  const tAction act = call.row.act;
  const tArgList& list = call.list;
  // Only an edited entry is notified; a header change and a copy are not.
  reportActionPage(
      call,
      [act, &list](tPage& page, const tHeader& bug, const std::string& num) {
        editForm(page, act, bug, num, list);
      },
      act == E_Edit);
}

void filePage(tActionCall& call) { getDataFile(call.list); }

void newReportPage(tActionCall& call) {
  tPage& page = request().page;
  tNewReport made;
  if (!createNewBug(page, call.list, &made)) return;
  displayBugMenu(page, made.name, "");
  displayBugCore(page, made.shown);
  queueNotification(call.row, made.name, made.shown.submitter);
  rememberSubmitter(page, made.shown);
}

void printPage(tActionCall& call) { printBug(getArg(call.list, "Num")); }
