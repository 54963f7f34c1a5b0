// One console request as the command servers read it from the socket after the HTTP header:
// command code, user name, password, client version and configuration key, in the big-endian
// socket encoding. Derived servers read their further fields after these.
#pragma once

#include <cstdint>

#include "OB_Object.h"

class OB_TCPRequest : public virtual OB_Object {
 public:
  static constexpr int kMaxText = 512;  // bytes of user and password, NUL included

  const char* getClassName() override { return "OB_TCPRequest"; }

  // Reads the five fields in order. A user or password line longer than kMaxText - 1 bytes is a
  // failure, not cut: its rest would otherwise be taken for the fields after it. 0, or -1 when a
  // field could not be read (the fields then hold what was read so far).
  virtual int read(int socket);
  using OB_Object::read;
  // Whether user and password are the whole lines received: a NUL byte inside one would make a
  // C text end there, and the bytes after it would count for nothing when it is compared.
  bool textsWhole() const { return userWhole_ && passwordWhole_; }

  int32_t command = -1;
  char user[kMaxText] = {};
  char password[kMaxText] = {};
  uint32_t clientVersion = 0;
  uint32_t configKey = 0;

 private:
  bool userWhole_ = true;
  bool passwordWhole_ = true;
};
