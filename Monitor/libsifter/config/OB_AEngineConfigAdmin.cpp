#include "config/OB_AEngineConfigAdmin.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_Config.h"
#include "OB_ConfigFile.h"
#include "OB_Log.h"
#include "OB_Tools.h"
#include "config/OB_ConfigRecordIO.h"

int OB_AEngineConfigAdmin::readConfig() {
  // The lock is taken before any file is opened: a file opened first may be one a writer
  // replaces while this waits, and its old content, rewritten with the additions, would undo
  // that write.
  readUnderLock([this](const OB_ConfigFileLock& lock) {
    if (!lock.held())
      OB_Log::ret("readConfig: can't lock %s, reading without it", lock.path().c_str());
    std::string problem;
    if (readConfigFile(OB_Config::openConfigFile("/admin", "aengine_prvt.cfg", "r"),
                       "aengine_prvt.cfg", &problem) != 0) {
      // A damaged private file would end the process (a restart loop under a service manager)
      // or leave nobody who can log in: the engine starts from the defaults instead.
      const std::string folder = std::string(OB_Tools::getInstallDir()) + "/admin/";
      char text[2600];
      snprintf(text, sizeof text,
               "readConfig: %saengine_prvt.cfg can't be read whole (%s); using "
               "%saengine_prvtDef.cfg",
               folder.c_str(), problem.c_str(), folder.c_str());
      // Whoever runs the program sees it too, once: through the log's echo when that goes there.
      OB_Log::ret("%s", text);
      if (OB_Log::getEcho() != stderr) fprintf(stderr, "%s\n", text);
      reset();
      readConfigFile(OB_Config::openConfigFile("/admin", "aengine_prvtDef.cfg", "r"),
                     "aengine_prvtDef.cfg", nullptr);
    }
    FILE* stream = OB_Config::openConfigFile("/admin", "aengineInstall.cfg", "r");
    readAdminConfigFile(stream);
    fclose(stream);
  });
  check();
  return 0;
}

int OB_AEngineConfigAdmin::readAdminConfigFile(FILE* stream) {
  OB_Tools::Configuration table[] = {
      {"port", "default", nullptr},
      {"dbpath", "default", nullptr},
      {nullptr, "", nullptr},
  };
  const std::string fileName = std::string(OB_Tools::getInstallDir()) + "/admin/aengineInstall.cfg";
  OB_Tools::readConfig(stream, table, nullptr, fileName.c_str());
  // Where a refused value came from: the file, and its line when the file gave it.
  auto where = [&fileName](const OB_Tools::Configuration& row) {
    return row.line > 0 ? fileName + " line " + std::to_string(row.line) : fileName;
  };

  std::string path = table[1].value;
  if (path == "default") path = std::string(OB_Tools::getInstallDir()) + "/db";
  struct stat info;
  // A path that does not fit databaseDir whole would name another directory.
  if (path.size() >= sizeof databaseDir || stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    OB_Log::quit("%s: the archive folder (dbpath) %s is not a folder that can be opened\n",
                 where(table[1]).c_str(), path.c_str());
  OB_ConfigRecordIO::copyCut(databaseDir, sizeof databaseDir, path.c_str());

  const char* port = table[0].value;
  if (strcmp(port, "default") == 0) {
    portRangeStart = kDefaultPort;
    return 0;
  }
  if (port[0] == '\0' || strspn(port, "0123456789") != strlen(port))
    OB_Log::quit("%s: the analysis console's port %s is not a number\n", where(table[0]).c_str(),
                 port);
  unsigned long number = strtoul(port, nullptr, 10);
  if (strlen(port) > 5 || number < 255 || number > 65535)
    OB_Log::quit("%s: the analysis console's port %s is out of range (255 to 65535)\n",
                 where(table[0]).c_str(), port);
  portRangeStart = static_cast<uint32_t>(number);
  return 0;
}
