// mails.h: the mail subsystem's recipient lists and its SMTP and POP3
// clients.
//
// Recipients: the rule file "sendmail.cfg" of the configuration directory
// names, per action, role letters and user names; getMailList turns an
// action on a report into a comma-separated address list, read from the
// project's users file.
//
// Clients: one plain-text TCP conversation per call. Every step is traced
// into the page as an HTML comment ("<!" ... ">"); no failure reaches the
// user. Every wait is bounded (mailWait()), so a silent server delays a
// request by a bounded time and the page is still produced.
//
// A server host value may carry a port, "host:port" (for example
// "127.0.0.1:2525"); without one the standard ports 25 (SMTP) and 110
// (POP3) are used.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "names.h"
#include "request.h"

// ---------------------------------------------------------------------------
// Recipient lists
// ---------------------------------------------------------------------------

// User names of one recipient computation, head (most recently added) first.
using tMailList = std::vector<std::string>;

// The role letters in the order of the rule editor's check-box columns.
constexpr const char* kMailRoles = "MVsacv ";

// The name of action `act` in "sendmail.cfg" ("" for E_END and out of range).
const char* getAction(int act);
// The users a rule word stands for: a role letter gives the report's role
// holders (a comma-separated list); any other word is returned unchanged.
std::string translateName(const std::string& from, const tHeader& bug);
// Adds the names of `from` at the head of `list`, except `actionBy` (none
// is left out when it is null) and names already present. Traces each name.
void addMailList(tMailList* list, const std::string& from, const tHeader& bug,
                 const char* actionBy);
// The e-mail address of `name` in the users file of `proj`, "" when none.
std::string getMailAddr(const std::string& proj, const std::string& name);
// Appends to `lst` the addresses of the users of `list`, head first, joined
// by commas; users without an address are skipped.
void writeMailList(const tMailList& list, std::string* lst, const std::string& proj);
void freeMailList(tMailList* list);
// The address list for action `act` on `bug` by `actionBy` (may be null):
// "" when nobody is to be mailed or "sendmail.cfg" cannot be read.
std::string getMailList(const tHeader& bug, int act, const char* actionBy);

// ---------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------

// The longest single wait of a conversation in seconds: connecting, a
// greeting, a reply that the design awaited without limit, each read of a
// message, the local mail command. 30 by default; the environment variable
// VELKO_MAIL_WAIT (whole seconds, 1 or more) sets another value.
int mailWait();
void setMailWait(int seconds);  // tests

// ---------------------------------------------------------------------------
// Socket level
// ---------------------------------------------------------------------------

// Splits "host:port" (the port all digits); `host` alone gives the default.
void splitHostPort(const std::string& value, const char* defaultPort, std::string* host,
                   std::string* port);

// The connected socket, or -1 (no socket), -2 (refused, failed or timed
// out), -3 (unknown host).
int clientConnect(const std::string& hostName, const std::string& connectPort);
int clientDisconnect(int sock);
// Waits at most `delay` seconds (0: mailWait()) and reads once, at most 1023
// bytes. Returns the count, 0 on time-out, error or closed connection.
// `*buf`, when `buf` is not null, points at the reception buffer (the text
// read, NUL-terminated), valid until the next read.
int myRead(int sock, int delay, const char** buf);
// myRead, with '>' replaced by '}' in the text and the reply traced.
int myRecieve(int sock, int delay, const char** buf);
// Writes `data` in one write, traces it, then reads `lines` replies of at
// most 3 seconds each. Returns the number of bytes written (-1 on error).
int mySend(int sock, const std::string& data, int lines);

// ---------------------------------------------------------------------------
// SMTP
// ---------------------------------------------------------------------------

// Sends the mail file `filename` (headers and body) to each address of the
// comma-separated `to` through the SMTP server `hostname`.
void monmail(const std::string& hostname, const std::string& to, const std::string& filename);

// The local mail command: runs "mail", looked up on PATH as a shell would,
// with the addresses of the comma-separated `to` as its arguments and the
// file on its standard input (no shell is involved). An address holding a character that no mail
// address has is left out and traced. Returns the number of addresses
// handed to the command, 0 when none was valid, or -1 when the command
// could not be run or failed.
int runLocalMail(const std::string& to, const std::string& filename);
// Whether `addr` may be given to the local mail command.
bool isSafeMailAddress(const std::string& addr);

// ---------------------------------------------------------------------------
// POP3
// ---------------------------------------------------------------------------

// Stores the last character of `line` as the server's line-end character
// (unless `line` is null); returns the stored character.
char endChar(const char* line);
// 1 when `line` ends a multi-line reply (with the stored line-end
// character), else 0. A text shorter than 6 characters counts as complete.
int lineEnd(const char* line);
// Connects to POP3 (velko.cfg) and logs in as POP3USER/POP3PASS. `*sock`
// receives the socket (negative when none). 1 when the password was accepted.
int popLogin(int* sock);
// LIST: entries "%d %d" (number, size), last message first. Empty when the
// answer was refused or incomplete.
tCharList getNumList(int sock);
// The synchronisation messages, entries "%d %s %s %d" (number, project,
// file name, size), in the server's order.
tCharList getSynchList(int sock);
// Stores every synchronisation message of the mailbox as
// "<SYNCHDIR>/in/<project>/<file>.txt" and deletes it from the server once
// its file is written whole.
void getSynchMails();

// ---------------------------------------------------------------------------
// Notification messages
// ---------------------------------------------------------------------------
//
// A notification is a mail file in "<DATADIR>/tmp/": its header lines, a
// line holding one blank, then the report as HTML. It goes to the SMTP
// server MAILSERV, or to the local mail command when MAILSERV is empty or
// begins with a blank, and is removed once handed over. Every step is
// traced in the page; nothing is shown to the user.


// A header value as it is written into a mail: control characters become
// blanks (a line end would start a header of the value's making), and a
// value holding non-ASCII bytes has its words from the first to the last
// such word written as RFC 2047 encoded words ("=?UTF-8?B?...?="), each of
// at most 75 characters and never cutting a UTF-8 character.
std::string mailHeaderText(const std::string& text);

// Creates a new mail file "<DATADIR>/tmp/<base>.<pid>l" (".<pid>l.<n>" when
// that name is taken), readable by its owner only. Null when it cannot be
// created; `*path` is the name tried last.
FILE* createMailFile(const char* base, std::string* path);

// Writes the notification mail of report `bugNum` to `f`: its headers
// (subject "Bug <bugNum> <subjectText>[ by <actionBy>]"), then `html`.
void writeBugMail(FILE* f, const std::string& bugNum, const std::string& subjectText,
                  const std::string& actionBy, const std::string& html);
// The notification of action `act` on report `bug`, named `num`, by `user`
// ("" for nobody): subject text `subject`, body `html` (the report rendered
// by the caller, with absolute links), sent to the recipients of the mail
// rules. Holds no lock and writes only trace comments: the front end runs
// it after the page (queued with request().after()).
void sendMailBug(const tHeader& bug, const std::string& num, tAction act,
                 const std::string& subject, const std::string& user, const std::string& html);

// Hands the mail file `file` to the comma-separated addresses `dest`
// through MAILSERV or the local mail command. Traces the choice.
void deliverMailFile(const std::string& dest, const std::string& file);

// Mails the outgoing synchronisation message `num` of `project`
// ("<SYNCHDIR>/out/<project>/s<num on 5 digits>.txt") to the comma-separated
// addresses `dest`. `fname` is not used.
void sendMailFile(const std::string& fname, const std::string& dest, const std::string& project,
                  int num);
