#include "OB_Tools.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "OB_Log.h"

namespace {
constexpr size_t kInstallDirSize = 256;
char installDir[kInstallDirSize];

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

char* OB_Tools::getInstallDir() {
  std::string dir;
  if (const char* env = getenv("OB_INSTALLDIR"); env != nullptr) {
    // The buffer is fixed; a longer text is refused rather than cut to another folder's name.
    if (strlen(env) >= kInstallDirSize)
      OB_Log::quit("getInstallDir: INSTALLDIR=%s does not exist or can't be opened\n", env);
    dir = env;
  } else {
    char program[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
    if (n < 0) n = 0;
    program[n] = '\0';
    std::string path(program);
    size_t slash = path.rfind('/');
    dir = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/../conf";
    if (dir.size() >= kInstallDirSize)
      OB_Log::quit("getInstallDir: INSTALLDIR=%s does not exist or can't be opened\n", dir.c_str());
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    OB_Log::quit("getInstallDir: INSTALLDIR=%s does not exist or can't be opened\n", dir.c_str());
  memcpy(installDir, dir.c_str(), dir.size() + 1);
  return installDir;
}

char* OB_Tools::getTimeString1(char* dest) {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  // Built by hand so the month is English whatever the locale.
  snprintf(dest, 60, "%04d%s%02d-%02d:%02d", local.tm_year + 1900, kMonths[local.tm_mon % 12],
           local.tm_mday, local.tm_hour, local.tm_min);
  return dest;
}
