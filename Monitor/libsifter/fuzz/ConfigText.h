// The records of an analysis configuration as its file keeps them: each record's own text form,
// in file order, without the parts the file does not hold (the installation's port and folder).
// Two configurations whose texts are equal read back the same; the fuzz targets compare what a
// console sent with what the written file gives back through it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "config/OB_AEngineConfig.h"
#include "config/OB_AEngineConfigAdmin.h"
#include "config/OB_FTPServer.h"
#include "config/OB_HTTPServer.h"
#include "config/OB_User.h"

namespace corrana_fuzz {

inline std::string configText(OB_AEngineConfig* config) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  if (out == nullptr) abort();
  for (int i = 0; i < config->numOfTimeWindows; ++i) timeWindow_write(out, config->timeWindows[i]);
  for (int i = 0; i < config->numOfNetworkGroups; ++i)
    networkGroup_write(out, config->networkGroups[i]);
  for (int i = 0; i < config->numOfXSubSets; ++i) XSubset_write(out, config->xSubSets[i]);
  for (int i = 0; i < config->numOfHTTPServers; ++i) config->httpServers[i]->write(out);
  for (int i = 0; i < config->numOfFTPServers; ++i) config->ftpServers[i]->write(out);
  for (int i = 0; i < config->numOfUsers; ++i) config->users[i]->write(out);
  fclose(out);
  std::string text(buffer, size);
  free(buffer);
  return text;
}

// Aborts, showing both, when back does not hold what sent holds.
inline void checkSameText(OB_AEngineConfig* sent, OB_AEngineConfig* back) {
  const std::string a = configText(sent);
  const std::string b = configText(back);
  if (a == b) return;
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const size_t from = at > 80 ? at - 80 : 0;
  fprintf(stderr,
          "an acknowledged configuration reads back otherwise at byte %zu:\nsent: %s\nback: %s\n",
          at, a.substr(from, 200).c_str(), b.substr(from, 200).c_str());
  abort();
}

// Reads the configuration file back as the next rebuild does, and checks it holds what sent
// holds; a file that cannot be read back aborts too.
inline void checkReadsBack(OB_AEngineConfig* sent) {
  OB_AEngineConfigAdmin back;
  try {
    back.readConfig();
  } catch (const Quit& quit) {
    fprintf(stderr, "an acknowledged configuration does not read back: %s\n", quit.message.c_str());
    abort();
  }
  checkSameText(sent, &back);
}

}  // namespace corrana_fuzz
