// Fuzzes the configuration readers: OB_Tools::readConfig over a table with stored and handled
// keys, OB_NamedStringList::readFile with each separator the engines use, OB_String::read of
// "key{value}" lines, and the whole read of an engine's private file. Checks that every stored
// value stays within its row and is terminated, that every entry read is a line of the file, and
// that a private file read whole and saved again reads back with every text the same.
#include <sys/stat.h>

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

// Every field the private file holds, as text.
std::string generalText(OB_Config* config) {
  std::string text = std::to_string(config->netStatsEnabled) + "|" + config->filterProgram + "|" +
                     std::to_string(config->daysOfDataToKeep) + "|" + config->password + "|" +
                     std::to_string(config->applyNetAddress) + "|";
  for (int i = 0; i < config->getMimeTypeCount(); ++i) {
    const OB_MimeType* row = config->getMimeType(i);
    text += std::string(row->type) + ":";
    for (int k = 0; k < row->numExtensions; ++k) text += std::string(row->extensions[k]) + ",";
    text += "|";
  }
  for (int i = 0; i < config->numOfNets; ++i)
    text += std::to_string(config->exampleAddress[i]) + "/" +
            std::to_string(config->maskAddress[i]) + "|";
  return text;
}

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
  mkdir((std::string(OB_Tools::getInstallDir()) + "/admin").c_str(), 0755);
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
      // What the engine saves of it reads back, every text the same.
      config.setName("cengine");
      if (config.save() == 0) {
        const std::string path = std::string(OB_Tools::getInstallDir()) + "/admin/cengine_prvt.cfg";
        FILE* saved = fopen(path.c_str(), "r");
        check(saved != nullptr);
        GeneralReader back;
        std::string again;
        check(back.readWhole(saved, &again) == 0);
        fclose(saved);
        check(generalText(&config) == generalText(&back));
      }
    } else {
      check(!problem.empty());
    }
    fclose(stream);
  }
  return 0;
}
