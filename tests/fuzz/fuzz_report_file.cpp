// Fuzz target for the report file reader: any file reads without fault, and
// the bytes written for what was read read back to the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "utils.h"

namespace {

// The file lives in memory: rewriting a file on disk thousands of times a
// second only measures the disk.
int scratchFd() {
  static const int fd = memfd_create("velko-fuzz-report", 0);
  if (fd < 0) abort();
  return fd;
}

const std::string& scratchPath() {
  static const std::string path = "/proc/self/fd/" + std::to_string(scratchFd());
  return path;
}

void store(const std::string& bytes) {
  if (ftruncate(scratchFd(), 0) != 0) abort();
  if (pwrite(scratchFd(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  store(std::string(reinterpret_cast<const char*>(data), size));
  auto first = readBugPath(scratchPath());
  if (!first) abort();
  const std::string written = formatBug(*first);
  store(written);
  auto second = readBugPath(scratchPath());
  if (!second) abort();
  if (second->data.size() != first->data.size() || second->history != first->history) abort();
  for (size_t i = 0; i < first->data.size(); ++i)
    if (second->data[i].data != first->data[i].data) abort();
  if (formatBug(*second) != written) abort();
  return 0;
}
