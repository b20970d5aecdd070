// args.h: decoding of the request into its argument list.
//
// Files of the decoding:
//   /tmp/velko.in           trace copy of the last POST body (never read back)
//   /tmp/velko.tra          trace of the last decoding; its query string line
//                           is what "velko TEST" replays
//   DATADIR/tmp/velko.log   the raw query string of the last request
//   DATADIR/tmp/data<pid>   the file uploaded by a multipart form, removed
//                           when the request ends
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "request.h"

// The file part of this request's multipart body, spooled by getQuery.
struct tUpload {
  std::string path;       // "DATADIR/tmp/data<pid>", whether written or not
  bool written = false;   // the body had a file part and the spool was created
  bool complete = false;  // its contents arrived whole, up to the delimiter
};
// The upload of this request. The spool file is removed after the page is
// sent (an effect queued by getQuery): a handler that keeps the contents
// links the file to another name before.
const tUpload& requestUpload();
// Removes the request's upload spool (queued after the page by the decoding:
// the spool belongs to the request).
void removeUpload();

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
// The delimiter line of a multipart request, "" when the request is not
// one: "--" and the boundary of `contentType` (the CONTENT_TYPE value, may
// be null; the boundary quoted or not) when a body was read and the type is
// multipart/form-data with a boundary; otherwise the first word of
// `firstLine` (the query string or the body's first line) when that line
// begins with 28 dashes or more.
std::string multipartDelimiter(const char* contentType, bool haveBody, std::string_view firstLine);
// Parses a multipart body from `body` (may be null: no field) whose
// delimiter line `delimiter` has been read: the fields into `list` (request
// order); a file part's client name as its value and its contents into the
// file `uploadPath`, created (mode 0600, never through a symbolic link)
// only when the body holds a file part ("": the contents are not kept); the
// rebuilt query string into `qs`. A file part ends the parsing. True when a
// file part was stored whole (its closing delimiter was found).
bool decodeMultipart(FILE* body, const std::string& delimiter, tArgList& list,
                     const std::string& uploadPath, std::string* qs);
