// The analysis configuration in use: the private file "aengine_prvt.cfg" plus the hand-edited
// installation file "aengineInstall.cfg" (command-server port, database directory).
#pragma once

#include <cstdio>

#include "config/OB_AEngineConfig.h"

class OB_AEngineConfigAdmin : public OB_AEngineConfig {
  OB_CLASS_IDENTITY(OB_AEngineConfigAdmin, 0x2BE2BFC5, "OB_AEngineConfigAdmin", OB_AEngineConfig,
                    OB_Object)
  OB_CLASS_CREATE(OB_AEngineConfigAdmin)

 public:
  // What a reader does with the one-time installation additions ("installa.cfg"): the service
  // applies them to the configuration in use and its file; a tool that only reads (the export
  // tool) leaves them and every file as they are.
  enum class Additions { kApply, kLeave };

  explicit OB_AEngineConfigAdmin(Additions additions = Additions::kApply) {
    takesAdditions_ = additions == Additions::kApply;
  }

  // Reads "aengine_prvt.cfg" with the installation additions (unless they are left), then
  // "aengineInstall.cfg", holding "<install>/admin/cfg.lock" from before the first file is
  // opened to the end, so that it reads what the last writer wrote (the additions' hosts are
  // looked up before, with the lock free: see readUnderLock). A
  // private file that cannot be read whole (a malformed value, cut short, no usable time
  // window) is logged (and written to standard error) and the defaults file
  // "aengine_prvtDef.cfg" is read in its place; a missing file or a malformed defaults or
  // installation file ends the process. 0.
  int readConfig() override;

 protected:
  // Reads the "port" (255 .. 65535, default 8190) and "dbpath" (an existing directory, default
  // "<install>/db") keys into portRangeStart and databaseDir; a bad value ends the process. Does
  // not close the stream. 0.
  virtual int readAdminConfigFile(FILE* stream);
};
