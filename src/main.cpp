#include "velko.h"

int main(int argc, char** argv) { return velkoMain(argc, argv); }
