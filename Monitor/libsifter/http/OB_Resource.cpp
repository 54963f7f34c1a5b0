#include "http/OB_Resource.h"

#include <string>

#include "OB_SocketIO.h"

int OB_Resource::writeJ(int socket) {
  for (const char* text : {getResource(), getMimeType()}) {
    std::string line = std::string(text) + "\n";
    const int size = static_cast<int>(line.size());
    if (writeJ_n_chars(socket, line.data(), size) != size) return -1;
  }
  return 0;
}
