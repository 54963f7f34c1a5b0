#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "OB_Config.h"
#include "http/OB_HTTPProtocol.h"

namespace {

class TableConfig : public OB_Config {
 public:
  // Rows of (type, extensions); the configuration owns the block it is given.
  void setRows(std::initializer_list<std::pair<const char*, std::initializer_list<const char*>>> rows) {
    auto* table = static_cast<OB_MimeType*>(calloc(rows.size(), sizeof(OB_MimeType)));
    int i = 0;
    for (const auto& [type, extensions] : rows) {
      strcpy(table[i].type, type);
      for (const char* extension : extensions) strcpy(table[i].extensions[table[i].numExtensions++], extension);
      ++i;
    }
    setMimeTable(table, static_cast<uint16_t>(rows.size()));
  }
};

std::string guess(const char* uri) {
  OB_HTTPProtocol parser(1, 2);
  char out[256];
  parser.guessContentType(uri, out, sizeof(out));
  return out;
}

TEST(HTTPMIMEInfo, GuessesFromTheConfigurationsTableAsItIsNow) {
  TableConfig config;
  config.setRows({{"image/gif", {"gif"}}, {"text/plain", {"txt", "text"}}});
  HTTPMIMEInfo_init(&config);
  EXPECT_EQ("text/plain", guess("/notes.text"));
  EXPECT_EQ("image/gif", guess("/a.gif"));
  // A table the configuration replaces is read as it is now, never from a copy.
  config.setRows({{"image/x-gif", {"gif"}}});
  EXPECT_EQ("image/x-gif", guess("/a.gif"));
  EXPECT_EQ("application/octet-stream", guess("/notes.txt"));
  HTTPMIMEInfo_init(nullptr);
  EXPECT_EQ("application/octet-stream", guess("/a.gif"));
}

}  // namespace
