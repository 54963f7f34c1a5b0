// The small base of every analysis reader and statistics block: the configuration and the time
// window they count for. Its OB_Mutex is a virtual base, so a reader and all its statistics share
// one lock.
#pragma once

#include "OB_Mutex.h"
#include "OB_Object.h"

class OB_AEngineConfig;
class OB_IndexChanger;

class OB_Stats : public virtual OB_Object, public virtual OB_Mutex {
  OB_CLASS_IDENTITY(OB_Stats, 0x69A6A9B1, "OB_Stats", OB_Object, OB_Mutex)

 public:
  // Both not owned; they outlive this.
  OB_Stats(OB_AEngineConfig* config, OB_IndexChanger* window);
  OB_Stats(const OB_Stats&) = delete;
  OB_Stats& operator=(const OB_Stats&) = delete;
  ~OB_Stats() override = default;

  OB_AEngineConfig* getConfig() { return config; }
  OB_IndexChanger* getTimeWindow() { return window; }

 protected:
  OB_AEngineConfig* config = nullptr;  // not owned
  OB_IndexChanger* window = nullptr;   // not owned
};
