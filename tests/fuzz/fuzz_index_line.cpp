// Fuzz target for the index line parser: any input parses without fault,
// the line written from the record parses back to the same line, and the
// quick key reader of the index update agrees with the full parser.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "utils.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  tHeader first;
  strToIndex(input, &first);
  if (indexKeyOfLine(input) != indexKey(first)) {
    fprintf(stderr, "key mismatch: %s / %s\n", indexKeyOfLine(input).c_str(), indexKey(first).c_str());
    abort();
  }
  const std::string line = writeIndexToStr(first);
  size_t bars = 0, feeds = 0;
  for (char c : line) {
    bars += c == '|';
    feeds += c == '\n';
  }
  if (bars != 26 || feeds != 1 || line.back() != '\n' || line.size() > 1023) abort();
  tHeader second;
  if (!strToIndex(std::string_view(line).substr(0, line.size() - 1), &second)) abort();
  if (writeIndexToStr(second) != line) abort();
  return 0;
}
