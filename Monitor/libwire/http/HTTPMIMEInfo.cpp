// The engine configuration's MIME table as the HTTP analysers read it.
#include "OB_Config.h"
#include "http/OB_HTTPProtocol.h"

namespace {

// Reads through to the configuration on every call, so a table the configuration replaces is
// never read from a stale copy.
class ConfigMIMETable : public OB_HTTPMIMETable {
 public:
  const OB_Config* config = nullptr;

  int getMIMETypeCount() const override { return config->getMimeTypeCount(); }
  const char* getMIMEType(int type) const override {
    const OB_MimeType* row = config->getMimeType(type);
    return row != nullptr ? row->type : nullptr;
  }
  int getExtensionCount(int type) const override {
    const OB_MimeType* row = config->getMimeType(type);
    if (row == nullptr) return 0;
    return row->numExtensions < OB_MimeType::kMaxExtensions ? row->numExtensions
                                                             : OB_MimeType::kMaxExtensions;
  }
  const char* getExtension(int type, int extension) const override {
    const OB_MimeType* row = config->getMimeType(type);
    if (row == nullptr || extension < 0 || extension >= getExtensionCount(type)) return nullptr;
    return row->extensions[extension];
  }
};

ConfigMIMETable configTable;

}  // namespace

void HTTPMIMEInfo_init(OB_Config* config) {
  configTable.config = config;
  HTTPMIMEInfo_setTable(config != nullptr ? &configTable : nullptr);
}
