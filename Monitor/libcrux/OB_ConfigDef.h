// The defaults configuration of an engine: an OB_Config whose init reads "<name>_prvtDef.cfg".
// The engine manager holds one; the command servers send it to the console.
#pragma once

#include "OB_Config.h"

class OB_ConfigDef : public OB_Config {
 public:
  // Releases the MIME table and reads the defaults file (named with setName beforehand); a
  // missing or malformed file ends the process. 0.
  int init() override;
};
