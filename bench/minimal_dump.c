/* The cost floor of one request: a static program that prints the same
 * fallback dump as velko for the benchmark's query string and nothing else. */
#include <stdio.h>

int main(void) {
  fputs("Content-type: text/html\n\n<PRE>a : '1'\nCMD : 'nonsense'\n", stdout);
  return 0;
}
