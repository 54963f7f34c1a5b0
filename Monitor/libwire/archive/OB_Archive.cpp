#include "archive/OB_Archive.h"

#include <cstdlib>

#include "OB_Tools.h"
#include "records/OB_Data.h"
#include "records/OB_ProtocolFactory.h"

OB_Archive::OB_Archive(OB_ProtocolFactory* factory_, const char* directory_, const char* prefix_)
    : prefix(OB_Tools::strdup(prefix_ != nullptr ? prefix_ : "")),
      directory(OB_Tools::strdup(directory_ != nullptr ? directory_ : "")),
      factory(factory_) {
  lockFile.open(lockPath(directory, prefix));
}

OB_Archive::~OB_Archive() {
  if (file != nullptr) fclose(file);
  file = nullptr;
  free(prefix);
  free(directory);
}

int OB_Archive::setProtocolFactory(OB_ProtocolFactory* newFactory) {
  factory = newFactory;
  return 0;
}

OB_Data* OB_Archive::createProtocol() {
  return factory != nullptr ? factory->createProtocol() : nullptr;
}

OB_String OB_Archive::fileName(const char* prefix, time_t when) {
  struct tm local;
  char stamp[64] = "";
  if (!OB_Tools::localTime(when, &local) || asctime_r(&local, stamp) == nullptr)
    snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(when));
  OB_Tools::squeeze(stamp, nullptr, 0, ":\n ");
  OB_String name(prefix != nullptr ? prefix : "");
  name &= "-";
  name &= stamp;
  return name;
}

OB_String OB_Archive::lockPath(const char* directory, const char* prefix) {
  OB_String path(directory != nullptr ? directory : "");
  path &= "/";
  path &= prefix != nullptr ? prefix : "";
  path &= ".lock";
  return path;
}
