// A notification passed down a chain of message handlers: a text ("CONFIG_RESET") and the object
// that sent it. The sender makes it, passes it by pointer and disposes of it after sending.
#pragma once

#include "OB_Object.h"
#include "OB_String.h"

class OB_Message : public virtual OB_Object {
 public:
  // Keeps a copy of the text (null: empty); the source is not owned.
  OB_Message(const char* text, OB_Object* source);
  OB_Message(const OB_Message&) = delete;
  OB_Message& operator=(const OB_Message&) = delete;
  ~OB_Message() override = default;

  virtual int setSource(OB_Object* source);
  virtual OB_Object* getSource();
  // Replaces the text with a copy of it; null gives the empty text.
  virtual int setMessage(const char* text);
  // Lives until the next setMessage or the message's end.
  virtual const char* getMessage();

 private:
  OB_Object* source_;  // not owned
  OB_String text_;
};
