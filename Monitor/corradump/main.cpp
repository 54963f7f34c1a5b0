// corradump: writes one period of the monitor's HTTP archive as an access log, without the
// service. "corradump --help" tells how.
#include "corradump.h"

int main(int argc, char** argv) { return corradump_main(argc, argv); }
