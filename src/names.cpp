#include "names.h"

#include <cctype>

const char* const actionName[E_END + 1] = {
    "new",       "Change_Header",    "Observed",  "Analyse",    "Copy",
    "Assign",    "Open",             "Not_a_Bug", "Not_Reproducible",
    "Duplicate", "Postpone",         "Corrected", "For_Verification",
    "Verified",  "Rejected",         "Abandoned", "Edit",
    "Attach",    ""};

bool isReportName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot - 1 < 5) return false;
  for (size_t i = 0; i < dot; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!(isalnum(c) || c == '_' || c == '-' || c >= 0x80)) return false;
  }
  for (size_t i = dot + 1; i < name.size(); ++i)
    if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}
