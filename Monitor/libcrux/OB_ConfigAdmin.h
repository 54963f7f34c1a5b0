// The administered configuration of an engine: an OB_Config whose init reads the private file
// "<name>_prvt.cfg" and then the hand-edited installation file "<name>Install.cfg" (port, device,
// database folder, local address ranges). The capture engine reads the installation file again
// when it is told that the configuration was reset.
#pragma once

#include <string>
#include <vector>

#include "OB_Config.h"

class OB_ConfigAdmin : public OB_Config {
 public:
  // Releases the MIME table, reads the private file, then the installation file, both opened
  // under "<install>/admin/cfg.lock" (OB_ConfigFileLock), held to the end. A private
  // file that cannot be read whole is logged (and written to standard error) and the defaults
  // file "<name>_prvtDef.cfg" is read in its place; a missing file or a malformed installation
  // or defaults file ends the process. 0.
  int init() override;
  // Reads an installation file. The ranges, database folder, device and port it gives replace
  // the old ones all at once under the configuration's lock, so clients may be checked while it
  // runs. A bad value ends the process; the port must be free or this process's own. 0.
  virtual int readAdminConfigFile(FILE* stream);
  // The same for a running engine: a file with a bad value changes nothing. 0, or -1 with
  // *problem (may be null) saying what was wrong.
  virtual int rereadAdminConfigFile(FILE* stream, std::string* problem);

  // Edits an installation file in place of a program that sets one of its keys: every line of
  // that key (the key at the start after blanks, then a blank, ':', '=' or the line end) gives
  // way to one line "<key>: <value>" per value, at the place of the first (at the end when there
  // was none); every other line, comments included, stays as it was. Written through a temporary
  // file that then replaces the old one under cfg.lock (OB_ConfigFile), so a failure never leaves
  // it cut short and no other writer's change is lost. 0 when written,
  // 1 when the file could not be read (it is left alone), -1 when it could not be written.
  static int replaceInstallEntries(const std::string& path, const char* key,
                                   const std::vector<std::string>& values);
  // The same, but the lines of that key stay and the new ones follow the last of them.
  static int addInstallEntries(const std::string& path, const char* key,
                               const std::vector<std::string>& values);

 private:
  static int editInstallEntries(const std::string& path, const char* key,
                                const std::vector<std::string>& values, bool replace);
  // One pass; 0 when published, else -1 with where the bad value stands (the file, and its
  // line when the file gave the value), the log line to write first (may be empty) and the
  // message.
  int readInstall(FILE* stream, std::string* where, std::string* logLine, std::string* problem);
};
