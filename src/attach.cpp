// attach.cpp: attaching a file to a report, and sending it back.
//
// The upload reaches this module as the request's spool file (args.h,
// requestUpload), complete or not. It becomes an attachment only when it
// arrived whole, by a second name in the report's folder that never
// replaces an existing file; the spool's own name is removed when the
// request ends. A refusal leaves no file behind; a report that could not be
// written takes its new file away again.
#include "attach.h"

#include <cerrno>
#include <ctime>

#include "args.h"
#include "config.h"
#include "edit.h"
#include "synchro.h"
#include "text.h"
#include "utils.h"

namespace {

// The part of a file name after its last '/' or '\' (browsers on Windows
// used to send the whole path).
std::string baseName(const std::string& file) {
  const size_t cut = file.find_last_of("/\\");
  return cut == std::string::npos ? file : file.substr(cut + 1);
}

// A file name inside a quoted header parameter: '"' and '\' escaped,
// control bytes (a line end would end the header) as '_'.
std::string quotedFileName(const std::string& name) {
  std::string q = "\"";
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') q += '\\';
    q += u < 0x20 || u == 0x7F ? '_' : c;
  }
  return q + "\"";
}

void unableComment(tPage& page, const std::string& path, int err) {
  page.comment("Unable to open file " + path + " (errno:" + std::to_string(err) + ") ");
  page.markup("\n");
}

// Moves the upload into place as `path`; `size` receives its byte count.
// False after the page says why (nothing stored).
bool writeDataFile(tPage& page, const std::string& path, const std::string& title,
                   const std::string& file, long* size) {
  if (attachmentExists(path)) {
    printErr1(511, title);
    return false;
  }
  const tUpload& upload = requestUpload();
  if (!upload.written) {
    unableComment(page, upload.path, ENOENT);
    printErr1(512, upload.path);
    return false;
  }
  if (!upload.complete) {  // the body ended inside the file
    unableComment(page, upload.path, EIO);
    printErr1(512, file);
    return false;
  }
  if (!storeAttachment(upload.path, path, size)) {
    if (errno == EEXIST) {
      printErr1(511, title);
    } else {
      unableComment(page, path, errno);
      printErr1(512, path);
    }
    return false;
  }
  return true;
}

}  // namespace

void displayAttach(tPage& page, const tHeader& bug, const std::string& num) {
  page.markup("<H1>").text(langue(2081)).markup(" ").text(num).markup(" </H1>\n");
  page.markup("<FONT COLOR=LightCoral>").text(langue(2082)).markup("</FONT>\n");
  page.markup("<TABLE BORDER=0 WIDTH=100%><TR><TD>\n<P>").text(langue(106)).markup(" \n");
  page.markup("<INPUT SIZE=20 NAME=\"title\" VALUE=File_").num(static_cast<long>(bug.data.size()));
  page.markup(">\n").text(langue(2083)).markup(" \n");
  page.markup("<SELECT NAME=\"User\">\n<OPTION >&nbsp\n");
  optionListUsers(bug.project, getUser());
  page.markup("</SELECT>\n<inPUT TYPE=\"submit\" VALUE=\"OK\">\n</TD></TR>\n<TR><TD>\n");
  page.text(langue(2440)).markup(" : <INPUT TYPE=FILE NAME=Attach SIZE=40>\n");
  page.markup("</TEXTAREA>\n</TD></TR></TABLE>\n");
}

std::string getDataFileName(const tHeader& bug, const std::string& file, const std::string& title) {
  return attachmentPath(getBugName(bug), title + "_" + baseName(file));
}

bool doAttach(tPage& page, tHeader& bug, const std::string& num, const tArgList& list) {
  const std::string user = getArg(list, "User");
  const std::string title = getArg(list, "title");
  const std::string file = getArg(list, "Attach");
  // A browser sends an empty file name when no file was chosen.
  if (!given(user) || !given(title) || (hasArg(list, "Attach") && baseName(file).empty())) {
    printErr(502);
    return false;
  }
  // The title is part of the file's name: it can name no other folder.
  if (title.find_first_of("/\\") != std::string::npos || title.find("..") != std::string::npos) {
    printErr1(2085, title);
    return false;
  }
  const std::string path = getDataFileName(bug, file, title);
  long size = 0;
  if (!writeDataFile(page, path, title, file, &size)) return false;

  tHeader next = bug;
  history2(&next, langue(2086), title, user);
  tAnalyse* entry = addAnalyse(&next, storedField(title, kTitleSize), storedField(user, kUserSize),
                               static_cast<long>(time(nullptr)), path);
  entry->dataType = TYPE_ATTACHMENT;
  const int rc = writeBug(next);
  if (rc < 0) {
    removeAttachment(path);
    saveRefused(page, rc, num);
    return false;
  }
  bug = std::move(next);
  page.markup("<P>").text(langue(2084)).markup(" ").text(file).markup(" , ").num(size);
  page.markup(" bytes.<P>");
  if (!setUserInfo(user, bug.project, bug.subProject, bug.phase))
    page.redLine(langue(kTextNotRemembered));
  // The file goes to the other sites after the page, outside the lock.
  request().after([path, project = bug.project] { SendSynchFile(path, project, S_ATTACH); });
  return true;
}

void getDataFile(tArgList& list) {
  tPage& page = request().page;
  const std::string path = getArg(list, "title");
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const bool allowed = isAttachmentPath(path);
  std::string header = "Content-type: application/octet-stream\n";
  header += "Content-Disposition: attachment; filename=" + quotedFileName(name) + "\n";
  if (!allowed) header += "Status: 403 Forbidden\n";
  // A page already begun by another argument of the request keeps its
  // header: the download cannot follow it.
  if (!page.setHeader(header + "\n")) return;
  page.clearBody();
  std::string bytes;
  if (allowed && readAttachment(path, &bytes)) page.downloadData(bytes);
}
