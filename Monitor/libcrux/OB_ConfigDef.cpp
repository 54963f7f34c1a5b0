#include "OB_ConfigDef.h"

#include <string>

int OB_ConfigDef::init() {
  OB_Config::reset();
  std::string file = std::string(getName()) + "_prvtDef.cfg";
  FILE* stream = openConfigFile("/admin", file.c_str(), "r");
  readGeneralConfigFile(stream);
  fclose(stream);
  return 0;
}
