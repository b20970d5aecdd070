/* The cost floor of one request through the web server: a static CGI
 * program that prints a fixed page of about the size of velko's start page
 * and does nothing else. */
#include <stdio.h>

int main(void) {
  fputs("Content-type: text/html\n\n"
        "<HTML>\n<HEAD>\n<TITLE>VELKO</TITLE>\n</HEAD>\n"
        "<BODY BACKGROUND=/velko/images/fond.gif BGCOLOR=\"#FFFFFF\" TEXT=\"#000000\" >\n",
        stdout);
  for (int i = 0; i < 8; ++i)
    printf("<TD ALIGN=CENTER WIDTH=20%%><A HREF=\"/cgi-bin/velko?CMD=entry%d\">\n"
           "<IMG SRC=\"/velko/images/entry%d.gif\" BORDER=0 ALT=\"Entry %d\"><BR>"
           "Entry %d</A></TD>\n"
           "<!-- a fixed line that brings the page to the size of the start page -->\n"
           "<!-- a fixed line that brings the page to the size of the start page -->\n",
           i, i, i, i);
  fputs("</TABLE>\n\n\n", stdout);
  return 0;
}
