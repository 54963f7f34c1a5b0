#include "OB_HTTPNetworkGroup.h"

#include "OB_AEngineConfig.h"

OB_HTTPNetworkGroup::OB_HTTPNetworkGroup(OB_IndexChanger* window_, OB_AEngineConfig* config_,
                                         int groupIndex)
    : config(config_), window(window_) {
  if (config != nullptr && groupIndex >= 0 && groupIndex < config->numOfNetworkGroups)
    netGroup = config->networkGroups[groupIndex];
}
