// attach.h: attached files. CMD=Attach (a row of the action table) shows
// the form and applies it: the file uploaded with the form takes its own
// name in the report's attachment folder (the store's
// TRACE_<report>/<title>_<file name>) and the report gains an attachment
// entry holding that path. CMD=FILE sends an attached file back.
#pragma once

#include <string>

#include "html.h"
#include "names.h"
#include "request.h"

// The form of CMD=Attach: title, acting user, then the file field, last,
// since the request decoder stops reading the body after the file part.
void displayAttach(tPage& page, const tHeader& bug, const std::string& num);
// Applies the submitted form: checks, the upload moved into place, the
// history line and the entry, the report stored, the user remembered.
// False, after the page says why, with nothing stored.
bool doAttach(tPage& page, tHeader& bug, const std::string& num, const tArgList& list);
// The path attachment `title` of file `file` (the name the browser sent;
// its base name, after the last '/' or '\', is kept) of report `bug` has.
std::string getDataFileName(const tHeader& bug, const std::string& file, const std::string& title);
// CMD=FILE: the attachment whose path is the argument "title", as a
// download. Only files inside an attachment folder of the data directory
// are sent; any other path gets an empty download (status 403).
void getDataFile(tArgList& list);
