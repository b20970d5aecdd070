// statsfile.h: the statistics files and the daily count of the index.
//
// Once a day the whole index is counted per statistics unit and one line
// per unit is appended to that unit's file in the statistics directory
// (getStatsDir()). A unit is "<project>.<phase letter><group prefix>" or
// "<project>.TOTAL"; every report counts in both units of its own. A line
// holds 22 decimal integers separated by single blanks:
//
//   date new observed analysed open corrected verified notabug notrep
//   postponed duplicate abandoned expected spent todo1..todo4 done1..done4
//
// (date: the day counted, 23:00:00 local time; todo: reports still to be
// handled, new to open, per severity 1 to 4; done: all the others.) Files
// are appended to, never rewritten.
//
// The marker ".stats" of the configuration directory tells when the last
// daily pass ran (its modification time; its text is that time as ctime
// writes it). The check and the rewrite of the marker run under a kernel
// lock (".stats.lock" beside it), so two requests arriving together run the
// pass once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "names.h"

// The counts of one unit on one day.
struct tStats {
  std::string name;  // the unit
  long date = 0;
  long nouv = 0, observed = 0, analysed = 0, open = 0, corrected = 0, verified = 0;
  long notabug = 0, notrep = 0, postponed = 0, duplicate = 0, abandonned = 0;
  long expected = 0, spent = 0;
  // Indexed by severity, 1 to 4 (entry 0 stays 0: a report of another
  // severity is counted in the status fields only).
  long severityTodo[5] = {};
  long severityDone[5] = {};
};
// The units of one pass, in the order they were first met.
using tStatsList = std::vector<tStats>;

// The record of unit `name` in `list`, added with every counter 0 and
// `date` when absent.
tStats& getStatList(tStatsList& list, const std::string& name, long date);
// Counts report `head` into `st` (status, times, severity).
void incrementStats(tStats& st, const tHeader& head);

// The line of `st` in a statistics file, line feed included.
std::string formatStats(const tStats& st);
// Reads one line (with or without its line feed) into `st`: its date and
// counters. False, `st` unchanged, for a line that does not hold 22
// integers separated by blanks (a damaged line).
bool readStats(std::string_view line, tStats* st);
// The lines of the statistics file of `unit` that read, in file order;
// `exists` tells whether the file could be opened.
std::vector<tStats> readStatsFile(const std::string& unit, bool* exists);
// The path of the statistics file of `unit`.
std::string statsFilePath(const std::string& unit);
// A unit name that can be a file of the statistics directory: not empty,
// no '/', no leading '.', no control byte.
bool safeUnitName(std::string_view unit);
// The unit of a report: "<project>.<phase letter><group prefix>" ('_' for
// a phase without letter).
std::string statsUnit(const tHeader& head);

// Derived counts of one line: reports to be handled (new to open) and
// closed ones (corrected to abandoned).
long statsTodo(const tStats& st);
long statsClosed(const tStats& st);

// The daily count: every line of the index (the store's iterator) counted
// in its two units, with `stamp` as their date. `postponed` receives the
// names of the postponed reports whose postponement date lies before `now`,
// in index order. False when the index cannot be read (nothing counted).
bool countIndex(long stamp, long now, tStatsList* list, std::vector<std::string>* postponed);
// Appends the line of each unit of `list` to its file (the statistics
// directory made when missing); a file that cannot be written loses its
// line only. The number of lines written.
int appendStatsLines(const tStatsList& list);

// Decides whether the daily pass is due at `now`, under the marker lock:
// when the marker is older than today's local midnight (or missing) it is
// rewritten, `stamp` receives the day to count (the marker's old day, or
// today for a first pass, at 23:00:00 local time) and the answer is true.
// False when the pass of today ran, and also, with a trace comment, when
// the marker cannot be locked or rewritten (so that an unwritable marker
// does not make every request count the index again).
bool statsPassDue(long now, long* stamp);
