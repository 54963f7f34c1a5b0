// The names of one served resource: its request URI and the MIME type it was answered with.
// Both texts are borrowed, normally from the engine's interned resource-name and MIME-type
// tables, and are never freed here. The resources-served counters and their series carry it.
#pragma once

#include "OB_Object.h"

class OB_Resource : public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_Resource, 0x2BE2BF8B, "OB_Resource", OB_Object)
  OB_CLASS_CREATE(OB_Resource)

 public:
  virtual int setResource(const char* text) {
    resource = text;
    return 0;
  }
  virtual const char* getResource() { return resource != nullptr ? resource : ""; }
  virtual int setMimeType(const char* text) {
    mimeType = text;
    return 0;
  }
  virtual const char* getMimeType() { return mimeType != nullptr ? mimeType : ""; }

  // The resource and the MIME type, each followed by a newline, as bare bytes. 0, or -1 when a
  // write falls short.
  int writeJ(int socket) override;

 private:
  const char* resource = nullptr;  // not owned
  const char* mimeType = nullptr;  // not owned
};
