// Fuzzes the configuration readers: OB_Tools::readConfig over a table with stored and handled
// keys, OB_NamedStringList::readFile with each separator the engines use, OB_String::read of
// "key{value}" lines, and the whole read of an engine's private file. Checks that every stored
// value stays within its row and is terminated, and that every entry read is a line of the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "OB_Config.h"
#include "OB_NamedStringList.h"
#include "OB_String.h"
#include "OB_Tools.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

size_t handled = 0;

// The private file's whole read, which refuses rather than ends the process.
class GeneralReader : public OB_Config {
 public:
  int readWhole(FILE* stream, std::string* problem) {
    return readGeneralConfigFile(stream, problem);
  }
};

void handler(const char* value, void* context) {
  check(context == &handled);
  handled += strlen(value);
}

FILE* reader(const uint8_t* data, size_t size) {
  // fmemopen of zero bytes fails; an empty file is what it would hold.
  static char empty = 0;
  return size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : fmemopen(&empty, 0, "rb");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  corrana_fuzz::quietLog("config_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    OB_Tools::Configuration table[] = {
        {"Database", {}, nullptr},  {"DebugLevel", {}, nullptr}, {"Port", {}, handler},
        {"D", {}, nullptr},         {"", {}, nullptr},           {"NetworkStatistics", {}, handler},
        {nullptr, {}, nullptr},
    };
    for (OB_Tools::Configuration& row : table) memset(row.value, 'X', sizeof row.value);
    FILE* stream = reader(data, size);
    if (stream == nullptr) return 0;
    OB_Tools::readConfig(stream, table, &handled);
    fclose(stream);
    for (OB_Tools::Configuration& row : table) {
      // A row that was never matched keeps its fill; one that was holds a terminated value.
      const void* end = memchr(row.value, '\0', sizeof row.value);
      check(end != nullptr || row.value[sizeof row.value - 1] == 'X');
    }
  }

  {
    corrana_fuzz::MemoryFile file(data, size);
    for (char separator : {':', '=', ' '}) {
      OB_NamedStringList list;
      list.setOwner(1);
      check(list.readFile(file.path(), separator, " \t") == 0);
      for (OB_String* value = list.first(); value != nullptr; value = list.next()) {
        // A value is a part of one line: it never holds a line feed and is never longer than
        // the file.
        check(value->getLength() <= size);
        check(memchr(static_cast<const char*>(*value), '\n', value->getLength()) == nullptr);
      }
    }
  }

  {
    FILE* stream = reader(data, size);
    if (stream == nullptr) return 0;
    for (int lines = 0; lines < 64 && !feof(stream); ++lines) {
      OB_String value;
      value.read(stream);
      check(value.getLength() <= 2048);
    }
    fclose(stream);
  }
  {
    FILE* stream = reader(data, size);
    if (stream == nullptr) return 0;
    GeneralReader config;
    std::string problem;
    if (config.readWhole(stream, &problem) == 0) {
      check(config.numOfNets <= OB_Config::kMaxNets);
      check(memchr(config.password, '\0', sizeof config.password) != nullptr);
    } else {
      check(!problem.empty());
    }
    fclose(stream);
  }
  return 0;
}
