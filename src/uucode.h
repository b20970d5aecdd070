// uucode.h: the encoded block in which a file travels between sites.
//
// A block, every line ended by carriage return and line feed:
//   ""                                   an empty line
//   "filetype: <t> <time> <host> <arg>"  kind letter ('a' + tSychType),
//                                        encoding time, sending host, and
//                                        an argument (may be empty)
//   ""
//   "begin 0666 <base name>"
//   data lines: a length character, then 4 characters per 3 bytes
//   "`"  then "end"                      the closing lines
// A 6-bit value v is the character v + 32, except 0, which is the grave
// accent; a full line carries 45 bytes. A block for a file that could not
// be read (and the blocks of acknowledgements and requests) ends after its
// begin line.
//
// Pure codecs on memory: no configuration, no files but the one read by
// uuencode. The caller decides where a decoded file goes.
#pragma once

#include <string>
#include <string_view>

// The kinds of synchronisation message; in a block each is one letter,
// 'a' for S_UNKNOWN.
enum tSychType {
  S_UNKNOWN = 0,  // no type line was found; never sent
  S_FFT = 1,      // a report file
  S_CONFIG = 2,   // a configuration file
  S_ATTACH = 3,   // an attached file
  S_ACK = 4,      // acknowledges a received message
  S_REQUEST = 5,  // asks again for a missing message
};
constexpr int kSynchTypes = 6;

inline char synchLetter(tSychType t) { return static_cast<char>('a' + t); }

// The part of `path` after its last '/' or '\' (all of it when none).
std::string uuBaseName(std::string_view path);

// The block of the file `nom` of kind `utype`, encoded at `when` by `host`,
// appended to `out`. The argument of the type line: for S_ATTACH the path
// component before the base name, for S_ACK and S_REQUEST `nom` itself
// (no file is read for them), else empty. A file that cannot be read gives
// a block without data and closing lines.
void uuencode(std::string* out, const std::string& nom, tSychType utype, const std::string& host,
              long when);
// The same for bytes in memory (`bytes` null: no data nor closing lines).
void uuencodeBytes(std::string* out, tSychType utype, long when, const std::string& host,
                   const std::string& arg, const std::string& baseName, const std::string* bytes);

// Reads the line of `in` that begins at `*pos` into `buf`, without its
// carriage returns and line feed, and moves `*pos` past it. 1 when the
// line ended with a line feed, 0 when the input ended first (what was read
// stays in `buf`).
int ReadDataLine(std::string_view in, size_t* pos, std::string* buf);

// One decoded block.
struct tDecoded {
  tSychType type = S_UNKNOWN;  // of the last type line before the begin line
  long date = 0;
  std::string server;  // the sending host
  std::string arg;     // "" when absent
  std::string name;    // as the begin line gives it (may hold anything)
  std::string bytes;   // the decoded content
  // The block holds every data line whole and its closing lines: nothing
  // was cut or damaged on the way.
  bool complete = false;
};
// Reads from `*pos` up to and including the next block. False when the
// input ended before a begin line.
bool uudecode(std::string_view in, size_t* pos, tDecoded* out);
