// The export tool's log dumper: an HTTP reader of the analysis engine over the "http" archive of
// one window that writes the access-log line of every transaction of each connection it replays,
// keeps the clients and URLs of those lines for the side lists, and then counts the connection
// into its statistics as any reader does. It runs on the calling thread: start
// replays the whole window and returns. Used by corradump's main function alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "OB_String.h"
#include "http/OB_AccessLogLine.h"
#include "pool/OB_LinkedHash.h"
#include "windows/OB_HTTPReader.h"

class QV_HTTPDumper : public OB_HTTPReader {
 public:
  static OB_ClassID getClassID() { return 0x2BE2BFD1; }
  const char* getClassName() override { return "QV_HTTPDumper"; }
  // Answers itself, then as an OB_HTTPReader would.
  int queryInterface(OB_ClassID id, void** out) override;

  // The reader of the changer's window over the configuration's database directory (both not
  // owned; they outlive the dumper). The lines go to outputName, created or emptied, or to
  // standard output when it is null; isOpen tells whether the file could be opened. With
  // resolve 1 the host fields are names from the domain-name cache, which asks the resolver for
  // an address it does not hold; otherwise dotted quads.
  QV_HTTPDumper(const char* outputName, OB_AEngineConfig* config, OB_IndexChanger* changer,
                int resolve);
  QV_HTTPDumper(const QV_HTTPDumper&) = delete;
  QV_HTTPDumper& operator=(const QV_HTTPDumper&) = delete;
  // Closes the output file; standard output is only flushed, never closed, since the program
  // still writes to it.
  ~QV_HTTPDumper() override;

  // 1 when the output is open; after a failed open errno holds the reason.
  int isOpen() const { return output_ != nullptr ? 1 : 0; }
  // The output's name for messages: the file name, or "standard output".
  const std::string& getOutputName() const { return outputName_; }
  // 0 while every line went out whole; -1 after a write failed (logged once, errno kept in
  // getWriteError).
  int getWriteResult() const { return writeError_ == 0 ? 0 : -1; }
  int getWriteError() const { return writeError_; }

  // Replays the whole window on the calling thread: one replay step after another until the
  // reader has delivered everything up to the window's end or the present, and has stopped
  // itself. No thread is made, so a join afterwards returns at once. 0.
  int start() override;
  // The reader's stop, and the continue flag cleared here too: with no thread of its own the
  // thread part would leave it set.
  int stop() override;
  // Writes the line of every transaction of an HTTP connection (none for one without
  // transactions), then lets the reader count it. Always 0.
  int processObject(OB_Object* object) override;

  // The side lists, each written afresh in the current directory: "http_users.out", the busiest
  // clients of the lines written, whatever their server (at most 5000, most transactions first,
  // equal ones in the order first written; "client   transactions" a line, the client as the
  // lines give it); "http_urls.out", every URI of the lines written, once, in the order first
  // written; "http_mimetypes.out", every name of the statistics' MIME-type table. One a line,
  // control bytes escaped. 0, or -1 (errno set) when the file could not be created or
  // written.
  virtual int writeUserList();
  virtual int writeURLList();
  virtual int writeMIMETypeList();

  static constexpr const char* kUserListFile = "http_users.out";
  static constexpr const char* kURLListFile = "http_urls.out";
  static constexpr const char* kMIMETypeListFile = "http_mimetypes.out";
  static constexpr int kUserListLimit = 5000;

 private:
  // The host text of an address: the name stored beside it in the record when there is one,
  // else the cache's (resolved once) with resolution on, else the dotted quad. Called with the
  // domain-name cache locked; the text stays valid while the cache lives.
  const char* hostText(uint32_t address, const char* storedName, char* quad);
  // Every name of a table, bucket by bucket and in chain order, controls escaped.
  static int writeNameList(OB_LinkedHash<OB_String>* table, const char* fileName);
  // Texts in the order first given, each once; how often each was given.
  struct Tally {
    std::vector<std::string> order;
    std::unordered_map<std::string, uint64_t> counts;
    void add(const std::string& text) {
      if (counts[text]++ == 0) order.push_back(text);
    }
  };
  static int writeLine(FILE* list, const std::string& text, std::string* scratch);

  FILE* output_ = nullptr;  // owned unless it is standard output
  std::string outputName_;
  int resolve_ = 0;
  int writeError_ = 0;  // errno of the first failed line; 0 while all went out
  OB_AccessLogLine line_;
  Tally clients_;  // the client field of every line written
  Tally uris_;     // the URI of every line written
};
