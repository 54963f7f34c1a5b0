// One file transfer derived from an FTP control connection: who moved which file from which
// address to which, and whether the server reported it complete. The FTP analyser chains the
// transfers of one connection (it owns the chain); the archive stores them after the connection.
#pragma once

#include <cstdint>
#include <cstdio>

#include "OB_Link.h"
#include "OB_Object.h"
#include "coding/OB_TextField.h"

class OB_FTPftranLink : public virtual OB_Link<OB_FTPftranLink>,
                        public virtual OB_Compare,
                        public virtual OB_Object {
  OB_CLASS_IDENTITY(OB_FTPftranLink, 0x0326B4A1, "OB_FTPftranLink", OB_Link<OB_FTPftranLink>,
                    OB_Compare, OB_Object)
  OB_CLASS_CREATE(OB_FTPftranLink)

 public:
  // The user name keeps at most this many characters.
  static constexpr size_t kMaxUser = 254;

  // Addresses host order; a null text gives an empty field. Longer texts are cut to the fields.
  explicit OB_FTPftranLink(const char* user = nullptr, uint32_t source = 0,
                           uint32_t destination = 0, const char* directory = nullptr,
                           const char* file = nullptr, int32_t completed = 0);
  OB_FTPftranLink(const OB_FTPftranLink&) = delete;
  OB_FTPftranLink& operator=(const OB_FTPftranLink&) = delete;
  // Deletes the links that follow this one (in a loop, so a long chain cannot exhaust the stack).
  ~OB_FTPftranLink() override;

  int print(FILE* stream) override;
  // This link's record, then that of every link after it: user (16-bit length and bytes),
  // source and destination (4 bytes each), directory, file, completed (4), little-endian.
  // -1 at the first item not fully written.
  int write(FILE* stream) override;
  // One record into this link. -1 at a short read or a text longer than its field.
  int read(FILE* stream) override;
  int compare(OB_Compare* /*other*/, int /*how*/) override { return 0; }

  OB_TextField<256> user;
  uint32_t source = 0;       // where the file comes from, host order
  uint32_t destination = 0;  // where it goes, host order
  OB_TextField<1024> directory;  // components each followed by "/"
  OB_TextField<256> file;
  int32_t completed = 0;  // 1 when the command got a 2xx reply

 private:
  int writeRecord(FILE* stream);
};
