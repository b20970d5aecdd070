// names.h: the vocabulary every module shares: the enumerations stored in
// report files, the actions and rights, the report record, report names.
// Pure data; no module below it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Enumerations. In files each value is one letter, 'a' for 0.
// ---------------------------------------------------------------------------

enum tStatus {
  NEW = 0,
  OBSERVATION = 1,
  ANALYSIS = 2,
  OPEN = 3,
  CORRECTED = 4,
  VERIFIED = 5,
  DUPLICATE = 6,
  NOT_A_BUG = 7,
  NOT_REPRODUCTIBLE = 8,
  POSTPONE = 9,
  ABANDONED = 10,
};
constexpr int kStatusCount = 11;

enum tPhase {
  SPECIFICATION = 0,
  DEVELOPPMENT = 1,
  INTEG_USINE = 2,
  INTEG_SITE = 3,
  VALID_USINE = 4,
  VALID_SITE = 5,
  RECTETTE_USINE = 6,
  RECETTE_SITE = 7,
  VABF = 8,
  VSR = 9,
};

enum tBugType {
  FAIT_TECHNIQUE = 0,
  EVOLUTION = 1,
  ANOMALIE = 2,
};

enum tImpact {
  FONCTIONAL = 0,
  ROBUSTESSE = 1,
  EXPLOITABILITY = 2,
  PERFORMANCE = 3,
};

enum tAttachType {
  TYPE_ANALYSE = 0,
  TYPE_ATTACHMENT = 1,
  TYPE_HISTORY = 2,
  TYPE_UNKNOWN = 3,
};

// The actions on a report. The names in actionName are both the CMD values
// of the pages and the action names of the mail rules.
enum tAction {
  E_New = 0,
  E_Change_Header = 1,
  E_Observed = 2,
  E_Analyse = 3,
  E_Copy = 4,
  E_Assign = 5,
  E_Open = 6,
  E_Not_a_Bug = 7,
  E_Not_Reproducible = 8,
  E_Duplicate = 9,
  E_Postpone = 10,
  E_Corrected = 11,
  E_For_Verification = 12,
  E_Verified = 13,
  E_Rejected = 14,
  E_Abandoned = 15,
  E_Edit = 16,
  E_Attach = 17,
  E_END = 18,
};
extern const char* const actionName[E_END + 1];

// The rights of a user, one flag column each in the project's users file.
enum tAccess {
  C_View = 1,
  C_Create = 2,
  C_Config = 3,
  C_Project = 4,
  C_Stats = 5,
  C_Unsolved = 6,
  C_Solved = 7,
};

// The product version; language text 2 must carry the same text.
constexpr const char* kVelkoVersion = "v4.6";

// True when `name` has the form of a report name: a prefix of letters,
// digits, '_', '-' or non-ASCII bytes, a '.', then five digits or more.
// Only such names are used as file names of the data directory.
bool isReportName(std::string_view name);

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

// Field widths of a report: a text field holds at most one character less
// than its width. Longer values are cut when a report is read or edited.
constexpr size_t kPrefixSize = 5;
constexpr size_t kUserSize = 20;
constexpr size_t kProjectSize = 40;
constexpr size_t kModuleSize = 40;
constexpr size_t kVersionSize = 30;
constexpr size_t kTitleSize = 200;
constexpr size_t kTestrefSize = 50;
constexpr size_t kMdaPdaSize = 100;

// One analysis or attachment of a report.
struct tAnalyse {
  std::string title;      // analysis title, or the attached file's name
  long date = 0;          // when it was added
  std::string submitter;  // who added it
  int length = 0;         // byte count of data
  std::string data;       // whole lines, each ending with a line feed
  tAttachType dataType = TYPE_ANALYSE;
};

// One problem report. Dates are seconds since 1970, 0 when not set.
struct tHeader {
  std::string prefix;  // the group prefix, at most 4 characters
  int number = 0;      // number within the report prefix, from 1
  long date = 0;       // submission
  std::string submitter;
  int severity = 0;  // 1 (most severe) to 4
  std::string project;
  std::string subProject;  // the group
  tPhase phase = SPECIFICATION;
  std::string module;
  std::string version;
  std::string title;
  std::string expvers;
  tStatus status = NEW;
  long postponeDate = 0;
  std::string assignedTo;
  std::string corrector;
  long correctDate = 0;
  std::string correctVersion;
  std::string verifiedBy;
  long verifyDate = 0;
  std::string verifyVersion;
  std::string testref;
  tBugType fileType = FAIT_TECHNIQUE;
  tImpact impact = FONCTIONAL;
  std::string mdaPda;
  long timeSpent = 0;     // days
  long timeEstimate = 0;  // days
  std::string history;    // one line per change: time, blank, text
  std::vector<tAnalyse> data;  // oldest first
  // Lines of the global history added since the record was read; writeBug
  // appends them to "history.dat" once the report is stored, so a change
  // that could not be saved leaves no trace there. Not part of the file.
  std::vector<std::string> pendingHistory;
};
