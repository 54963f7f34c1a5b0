#include "stats/OB_Stats.h"

OB_Stats::OB_Stats(OB_AEngineConfig* config_, OB_IndexChanger* window_)
    : config(config_), window(window_) {}
