// The administered configuration of an engine: an OB_Config whose init reads the private file
// "<name>_prvt.cfg" and then the hand-edited installation file "<name>Install.cfg" (port, device,
// database folder, local address ranges). The capture engine reads the installation file again
// when it is told that the configuration was reset.
#pragma once

#include "OB_Config.h"

class OB_ConfigAdmin : public OB_Config {
 public:
  // Releases the MIME table, reads the private file, then the installation file; a missing or
  // malformed file ends the process. 0.
  int init() override;
  // Reads an installation file. The ranges, database folder, device and port it gives replace
  // the old ones all at once under the configuration's lock, so clients may be checked while it
  // runs. A bad value ends the process; the port must be free or this process's own. 0.
  virtual int readAdminConfigFile(FILE* stream);
};
