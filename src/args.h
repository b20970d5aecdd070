// args.h: decoding of the request into its argument list.
//
// Files of the decoding:
//   /tmp/velko.in           trace copy of the last POST body (never read back)
//   /tmp/velko.tra          trace of the last decoding; its query string line
//                           is what "velko TEST" replays
//   DATADIR/tmp/velko.log   the raw query string of the last request
//   DATADIR/tmp/data<pid>   the file uploaded by a multipart form
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "request.h"

// Decodes the whole request into the argument list and the query string of
// the request context. `arg` is the program's first command-line argument
// or null; "TEST" replays the previous request from the trace file
// "/tmp/velko.tra". Called once per process.
tArgList getQuery(const char* arg);

// The value of the first argument named `name`, or " " (one blank) when
// there is none: callers treat a value that begins with a blank as absent
// (isAbsent of text.h).
std::string getArg(const tArgList& list, std::string_view name);
// getArg converted like atoi: an absent or non-numeric argument gives 0.
int getArgInt(const tArgList& list, std::string_view name);
// True when the list has an argument `name`, whatever its value.
bool hasArg(const tArgList& list, std::string_view name);
// Puts a new argument in front of the list, hiding older ones of that name,
// and notes it in the page as a comment.
void addArg(tArgList& list, const std::string& name, const std::string& value);

// The raw query string of this request (for a multipart body, the one
// rebuilt from its fields).
const std::string& getQueryString();
void setQSCopy(const std::string& qs);

// Decoding steps, exposed for the tests and the fuzzer.
std::string urlDecodeValue(std::string_view value);
void splitQueryString(std::string_view qs, tArgList& list);
// Parses a multipart body from `body` whose delimiter line is `delimiter`
// (the first line, already read): the fields into `list` (request order),
// a file part's contents to `upload` (may be null), the rebuilt query
// string into `qs`.
void decodeMultipart(FILE* body, const std::string& delimiter, tArgList& list, FILE* upload,
                     std::string* qs);
