#include "corradump.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "OB_Exception.h"
#include "OB_Log.h"
#include "OB_Tools.h"
#include "QV_HTTPDumper.h"
#include "archive/OB_ArchiveFileList.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "http/OB_HTTPProtocol.h"
#include "stats/AnalysisHash.h"
#include "windows/OB_IndexChanger.h"

const char* const corradump_usage =
    "usage: corradump [-today | -week | -month] [-db DIR] [-out FILENAME] [-resolve] [-hi] [-hp] "
    "[-verbose] [-usage] [--help] [-he] [-hr] [-hb] [-fd] [-fa] [-fi]";

const char* const corradump_help =
    "Writes the HTTP archive of an install tree as an access log, one line per transaction.\n"
    "  -db DIR        the install directory, <prefix>/conf: DIR/admin holds the configuration\n"
    "                 (aengine_prvt.cfg, aengineInstall.cfg), DIR/logs the tool's log; the\n"
    "                 archive is read where the service's analysis engine reads it, the dbpath\n"
    "                 of aengineInstall.cfg (default DIR/db); default: the working directory\n"
    "  -today         the configuration's first time window\n"
    "  -week          its second time window: the configuration must define two\n"
    "  -month         its third time window: the configuration must define three\n"
    "                 (the shipped configuration defines one, \"Today\"; the console's\n"
    "                 configuration command adds windows). Without a period option the whole\n"
    "                 archive up to now is written, in the bins of the first window.\n"
    "                 Without any option: the whole archive of the working directory.\n"
    "  -out FILENAME  the log file (replaced); default: standard output\n"
    "  -resolve       host names in place of addresses (kept in DIR/db/domains.db)\n"
    "  -hi            also write http_users.out in the working directory: the busiest clients\n"
    "                 of the log written, with their transactions\n"
    "  -hp            also write http_urls.out in the working directory: every URL of the log\n"
    "  -verbose       name the install directory on standard output first\n"
    "  -usage         print the usage line on standard error and end with status 1\n"
    "  --help         print this text\n"
    "  -he -hr -hb -fd -fa -fi  accepted, without effect\n";

namespace {

// One option: the settings it changes, with the argument after it when it takes one.
struct Option {
  const char* name;
  bool takesValue;
  void (*apply)(corradump_settings* settings, const char* value);
};

// A period option: the window of that index instead of the whole archive.
template <int Period>
void choosePeriod(corradump_settings* settings, const char* /*value*/) {
  settings->period = Period;
  settings->useNow = 0;
}

constexpr Option kOptions[] = {
    {"-today", false, choosePeriod<0>},
    {"-week", false, choosePeriod<1>},
    {"-month", false, choosePeriod<2>},
    {"-db", true, [](corradump_settings* s, const char* value) { s->database = value; }},
    {"-verbose", false, [](corradump_settings* s, const char*) { s->verbose = 1; }},
    {"-usage", false, nullptr},  // the parser answers it
    {"-out", true, [](corradump_settings* s, const char* value) { s->output = value; }},
    {"-hp", false, [](corradump_settings* s, const char*) { s->urlList = 1; }},
    // Accepted, without effect: lists this tool does not write.
    {"-he", false, [](corradump_settings*, const char*) {}},
    {"-hr", false, [](corradump_settings*, const char*) {}},
    {"-hb", false, [](corradump_settings*, const char*) {}},
    {"-hi", false, [](corradump_settings* s, const char*) { s->userList = 1; }},
    {"-fd", false, [](corradump_settings*, const char*) {}},
    {"-fa", false, [](corradump_settings*, const char*) {}},
    {"-fi", false, [](corradump_settings*, const char*) {}},
    {"-resolve", false, [](corradump_settings* s, const char*) { s->resolve = 1; }},
};

const char* const kPeriodOptions[] = {"-today", "-week", "-month"};

// The HTTP archive's file names begin so ("http-..."), as its reader looks for them.
constexpr const char* kArchivePrefix = "http";

struct Release {
  void operator()(OB_Object* object) const { obRelease(object); }
};
template <class T>
using Held = std::unique_ptr<T, Release>;

// The process-wide state of one run: the name tables from the start of the run, the current
// configuration and the log. Leaves after the run's objects, which are declared after it.
class RunScope {
 public:
  // Names are looked up only when the run was asked to resolve them; then on this thread,
  // which has nothing else to keep going.
  explicit RunScope(bool resolve) {
    AnalysisHash_init(resolve ? OB_NameLookups::kInline : OB_NameLookups::kNone);
  }
  ~RunScope() {
    // Saves the names resolved in this run in "domains.db" for the next.
    AnalysisHash_free();
    setCurrentConfig(nullptr);
    OB_Log::reset();
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
};

int usageLine(int status) {
  fprintf(stderr, "%s\n", corradump_usage);
  return status;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The install directory must be one: the folder and its "logs" (without either the run would
// end before a log could take the reason). An install prefix given in its place is named as such.
bool installDirectoryUsable(const std::string& installDir) {
  if (!isFolder(installDir + "/admin") && isFolder(installDir + "/conf/admin")) {
    fprintf(stderr,
            "corradump: %s is an install prefix; -db takes its install directory %s/conf\n",
            installDir.c_str(), installDir.c_str());
    return false;
  }
  for (const std::string& folder : {installDir, installDir + "/logs"}) {
    struct stat info;
    const bool found = stat(folder.c_str(), &info) == 0;
    if (!found || !S_ISDIR(info.st_mode)) {
      fprintf(stderr, "corradump: %s: %s\n", folder.c_str(),
              found ? "not a directory" : strerror(errno));
      return false;
    }
  }
  return true;
}

// A fatal error of the monitor's own parts (a malformed configuration file, a database folder
// that is missing) ends the process after the log has it: the user at the terminal hears it too.
class TerminalExit : public OB_ExitHandler {
 public:
  void handleExit(char* message) override { fprintf(stderr, "corradump: %s\n", message); }
};

// The configuration files the run reads must be readable: named with the reason when not.
bool configurationReadable(const std::string& installDir) {
  for (const char* name : {"aengine_prvt.cfg", "aengineInstall.cfg"}) {
    const std::string path = installDir + "/admin/" + name;
    int error = 0;
    if (FILE* file = fopen(path.c_str(), "r"); file == nullptr) {
      error = errno;
    } else {
      // A folder opens for reading; reading it is what fails.
      if (fgetc(file) == EOF && ferror(file) != 0) error = errno;
      fclose(file);
    }
    if (error != 0) {
      fprintf(stderr, "corradump: cannot read the configuration %s (%s)\n", path.c_str(),
              strerror(error));
      return false;
    }
  }
  return true;
}

}  // namespace

corradump_parse corradump_parseArguments(int argc, char** argv, corradump_settings* settings,
                                         std::string* unknown) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help") return corradump_parse::kHelp;
    const Option* option = nullptr;
    for (const Option& candidate : kOptions)
      if (argument == candidate.name) option = &candidate;
    if (option == nullptr) {
      if (unknown != nullptr) *unknown = argument;
      return corradump_parse::kUnknownOption;
    }
    if (option->apply == nullptr) return corradump_parse::kUsage;
    const char* value = nullptr;
    if (option->takesValue) {
      // A value-taking option last on the line names nothing.
      if (i + 1 >= argc) {
        if (unknown != nullptr) *unknown = argument;
        return corradump_parse::kMissingValue;
      }
      value = argv[++i];
    }
    option->apply(settings, value);
  }
  return corradump_parse::kRun;
}

OB_IndexChanger* corradump_openWindow(OB_AEngineConfig* config, const corradump_settings& settings,
                                      uint32_t now) {
  if (settings.period < 0 || settings.period >= config->numOfTimeWindows ||
      config->timeWindows[settings.period] == nullptr)
    return nullptr;
  OB_IndexChanger* changer = new OB_IndexChanger();
  changer->setConfig(config);
  changer->setTimeWindow(config->timeWindows[settings.period]);
  changer->init();
  // The whole archive: the window's type and bin count stay, its bounds and bins do not.
  if (settings.useNow != 0) changer->setRange(0, now);
  return changer;
}

int corradump_main(int argc, char** argv) {
  corradump_settings settings;
  std::string unknown;
  switch (corradump_parseArguments(argc, argv, &settings, &unknown)) {
    case corradump_parse::kHelp:
      printf("%s\n%s", corradump_usage, corradump_help);
      return 0;
    case corradump_parse::kUsage:
      return usageLine(1);
    case corradump_parse::kUnknownOption:
      fprintf(stderr, "corradump: unknown option %s\n%s\n", unknown.c_str(), corradump_usage);
      return 2;
    case corradump_parse::kMissingValue:
      fprintf(stderr, "corradump: %s needs a value\n%s\n", unknown.c_str(), corradump_usage);
      return 2;
    case corradump_parse::kRun:
      break;
  }

  OB_Tools::setFileModeMask();
  if (settings.verbose != 0) printf("Database directory: %s\n", settings.database.c_str());
  if (settings.database.size() + 3 >= sizeof OB_AEngineConfig::databaseDir) {
    fprintf(stderr, "corradump: the database directory name %s is too long\n",
            settings.database.c_str());
    return 1;
  }
  // Everything below finds its files under the install directory: the database directory.
  if (setenv("OB_INSTALLDIR", settings.database.c_str(), 1) != 0) {
    fprintf(stderr, "corradump: cannot set OB_INSTALLDIR to %s (%s)\n", settings.database.c_str(),
            strerror(errno));
    return 1;
  }
  if (!installDirectoryUsable(settings.database)) return 1;
  if (!configurationReadable(settings.database)) return 1;
  static TerminalExit terminal;
  // Without the parts' debug trace: the tool's log holds what went wrong, not how it went.
  OB_Log::init("corradump", 0, &terminal);
  RunScope run(settings.resolve != 0);
  OB_HTTPProtocol::enableParseResponses(1);

  // The tool only reads: the installation additions wait for the service, which applies them to
  // the configuration in use; applying them here would write over what the console set.
  Held<OB_AEngineConfigAdmin> config(
      new OB_AEngineConfigAdmin(OB_AEngineConfigAdmin::Additions::kLeave));
  setCurrentConfig(config.get());
  config->init();
  config->readConfig();
  // The archive is where the service reads it: the installation file's dbpath, whose default
  // is the install directory's db folder.
  const std::string databaseDir = config->databaseDir;
  struct timeval present;
  OB_Tools::gettimeofday(&present, nullptr);
  Held<OB_IndexChanger> changer(
      corradump_openWindow(config.get(), settings, static_cast<uint32_t>(present.tv_sec)));
  if (changer == nullptr) {
    fprintf(stderr,
            "corradump: %s needs time window %d; the configuration has %u "
            "(%s/admin/aengine_prvt.cfg; see corradump --help)\n",
            settings.useNow != 0 ? "the run" : kPeriodOptions[settings.period], settings.period + 1,
            static_cast<unsigned>(config->numOfTimeWindows), settings.database.c_str());
    return 1;
  }
  const char* output = settings.output.empty() ? nullptr : settings.output.c_str();
  Held<QV_HTTPDumper> dumper(
      new QV_HTTPDumper(output, config.get(), changer.get(), settings.resolve));
  if (dumper->isOpen() == 0) {
    const int error = errno;
    fprintf(stderr, "corradump: could not open %s (%s)\n", output, strerror(error));
    return 1;
  }
  // A fresh install, or one that has not archived a watched server's traffic yet.
  if (OB_ArchiveFileList(databaseDir.c_str(), kArchivePrefix).getCount() == 0)
    fprintf(stderr, "corradump: %s holds no HTTP archive yet: the log is empty\n",
            databaseDir.c_str());
  dumper->init();
  dumper->start();
  dumper->join(nullptr, 0);

  int status = 0;
  if (dumper->getWriteResult() != 0) {
    fprintf(stderr, "corradump: writing %s failed (%s)\n", dumper->getOutputName().c_str(),
            strerror(dumper->getWriteError()));
    status = 1;
  }
  if (settings.userList != 0 && dumper->writeUserList() != 0) {
    fprintf(stderr, "corradump: could not write %s (%s)\n", QV_HTTPDumper::kUserListFile,
            strerror(errno));
    status = 1;
  }
  if (settings.urlList != 0 && dumper->writeURLList() != 0) {
    fprintf(stderr, "corradump: could not write %s (%s)\n", QV_HTTPDumper::kURLListFile,
            strerror(errno));
    status = 1;
  }
  return status;
}
