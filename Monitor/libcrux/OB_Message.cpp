#include "OB_Message.h"

OB_Message::OB_Message(const char* text, OB_Object* source) : source_(source), text_(text) {}

int OB_Message::setSource(OB_Object* source) {
  source_ = source;
  return 0;
}

OB_Object* OB_Message::getSource() { return source_; }

int OB_Message::setMessage(const char* text) {
  text_ = text != nullptr ? text : "";
  return 0;
}

const char* OB_Message::getMessage() { return text_; }
