// The export tool's main function and the steps it is made of: it reads the monitor's
// configuration from a database directory (the install directory of the run), takes one time
// window of it (today, this week, this month, or without a period option the whole archive up to
// now), and has the log dumper write every HTTP transaction of that window as an access-log line,
// optionally followed by the lists of busiest clients and of URLs. Everything runs on the calling
// thread. The program's main calls corradump_main; the tests call the steps.
#pragma once

#include <cstdint>
#include <string>

class OB_AEngineConfig;
class OB_IndexChanger;

// The usage line, naming every option: on standard output for --help, else on standard error.
extern const char* const corradump_usage;
// What --help writes after the usage line: every option, and the time windows the period
// options need.
extern const char* const corradump_help;

// What the command line asks for.
struct corradump_settings {
  // 0 today, 1 this week, 2 this month: the index of the configured time window exported.
  int period = 0;
  // No period option: the whole archive up to the moment of the run, in the bins of window 0.
  int useNow = 1;
  std::string database = ".";
  std::string output;  // empty: standard output
  int verbose = 0;
  int urlList = 0;   // -hp: "http_urls.out"
  int userList = 0;  // -hi: "http_users.out"
  int resolve = 0;   // host names in place of dotted quads
};

enum class corradump_parse {
  kRun,
  kHelp,          // --help: the usage on standard output, status 0
  kUsage,         // -usage: the usage line on standard error, status 1
  kUnknownOption, // the usage on standard error, status 2
  kMissingValue   // -db or -out last on the line: named, the usage on standard error, status 2
};

// Reads the arguments after the program name in order (a later period option wins; -db and -out
// take the next argument). *unknown receives an argument the tool does not know, or the option
// whose value is missing.
corradump_parse corradump_parseArguments(int argc, char** argv, corradump_settings* settings,
                                         std::string* unknown);

// The window of the run over config (not owned, outlives it): that of the period's index, or
// null when the configuration has no such window. Without a period option the window runs from
// 1970 up to now (seconds) with the bin count of window 0, each bin rounded up to cover the whole
// range. The caller releases it.
OB_IndexChanger* corradump_openWindow(OB_AEngineConfig* config, const corradump_settings& settings,
                                      uint32_t now);

// The whole run; the process status: 0 when the log (and the lists asked for) were written (an
// install without an HTTP archive yet gives an empty log, and says so on standard error).
// Every error goes to standard error once, with the file or folder it concerns: an install
// directory that is none (an install prefix given in place of its "conf" folder is named as
// such), a configuration file that cannot be read (status 1); where the monitor's own parts end
// the process (a configuration file malformed, a database folder missing) their message goes to
// the tool's log and to standard error.
int corradump_main(int argc, char** argv);
