// stats.h: the daily pass and the statistics pages.
//
// The daily pass (checkStatsDate, queued by the front end after the page of
// every request) counts the index into the statistics files once a day
// (statsfile.h) and puts the postponed reports whose date has passed back to
// new, mailing each after the pass, outside its lock.
//
// CMD=statS shows the page chosen by the argument statS:
//   0 menu, 1 reports to be handled per assignee and severity, 2 status
//   table of one unit day by day, 3 reports per module, 4 response times
//   (per month, or per report with the argument "text"), 5/7/9 the flow,
//   to-do and severity graphs of one unit, 6/8/10 their data: one line of
//   four numbers per day of the last `Week` weeks, up to now.
// A graph page keeps the applet element that its data page was made for
// and draws the same series inside it as inline SVG, which is what current
// browsers show. Every page needs the statistics right; with security on a
// request without "Uid" (the applet's data requests) uses the browser's
// session cookie.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "names.h"
#include "request.h"

enum tStatsEnum {
  S_MAIN = 0,
  S_DISTRIB = 1,
  S_STATUS = 2,
  S_MODULES = 3,
  S_RESPONSE = 4,
  S_FLOWG1 = 5,
  S_FLOWG2 = 6,
  S_TODOG1 = 7,
  S_TODOG2 = 8,
  S_SEVERITYG1 = 9,
  S_SEVERITYG2 = 10,
};

// CMD=statS.
void statistics(tArgList& list);
// True for the data pages of the graphs (S_FLOWG2, S_TODOG2, S_SEVERITYG2):
// they check the right themselves and answer a refused request with no
// line at all, never with a page (the chart reading them expects numbers).
bool isStatsDataPage(const tArgList& list);

// The daily pass when it is due (once a day; see statsPassDue).
void checkStatsDate();
// The daily pass itself: the lines dated `yesterday`, the wake-ups.
void createStatFiles(long yesterday);

// Arguments added to a link, in order: "&name=value" each, the value
// encoded as a query-string value.
using tUrlArgs = std::vector<std::pair<std::string, std::string>>;
// The project selection list `name` ("PMENU") of pages that change with the
// project: an empty option, then one per project, each loading CMD=`menu`
// with the integer argument `menu` kept at its current value; `arg1` (the
// empty option) and `arg2` (the project options) are further arguments.
void printProjectList(const tArgList& list, const std::string& menu, const tUrlArgs& arg1,
                      const tUrlArgs& arg2, const char* name = "PMENU");

// The folder of the graph applet as the browser sees it: the image folder
// with its last component replaced by "java" ("/velko/images/" gives
// "/velko/java/", "img" gives "/java/").
std::string getJavaDir();
// Working days between two times (Monday to Friday steps of a day from t1
// that begin before t2).
int workdays(long t1, long t2);
