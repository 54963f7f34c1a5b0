// What the configuration files keep as it came from a console: the check both consoles'
// SET_CONFIG make before a configuration is written and acknowledged, so that what is
// acknowledged reads back from the file as it was sent.
#pragma once

class OB_ConfigText {
 public:
  OB_ConfigText() = delete;

  // How a text is kept in a file: kInBraces, a key{value} value (no '{', '}', CR or LF);
  // kListEntry, one word of a blank-separated list (the names between braces, a MIME line's
  // type and extensions): besides, not empty and no blank or tab; kLine, a line of its own (no
  // CR or LF).
  enum class Kept { kInBraces, kListEntry, kLine };
  // Whether text (null: "") reads back from the file as it is.
  static bool keepsWhole(const char* text, Kept as);
  // Why the root user's password cannot be acknowledged, null when it can: an empty one lets
  // nobody log in after the restart (and only root may mend the configuration), one with a
  // brace or a line end reads back as another.
  static const char* rootPasswordProblem(const char* password);

  // Receives one line whole from the console (readJ_line with kWholeLine) into the field buffer
  // of size bytes: "\n" ends it and is not stored. The stored length, or -1 when the peer closed
  // before the "\n", on a receive error, when the line is longer than the size - 1 bytes the
  // field keeps (never cut: a cut password would no longer let its user in) or when it holds a
  // NUL (the text would end there); the last two are logged under "hcommand_SET_CONFIG" with
  // field, the name of what was sent ("the root password"), and the limit. The whole line is
  // taken either way, and a refused one leaves an empty text.
  static int receiveLine(int socket, char* buffer, int size, const char* field);
};
