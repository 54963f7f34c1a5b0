// The capture road wired as the capture engine wires it — packet manager, stream builder, the
// HTTP and then the FTP consumer, one writer each — for the road test and the benchmark, which
// run without an engine manager. The packet manager binds adapter 0 of the install directory's
// "admin/adapters.cfg", so a "file:" adapter there replays a savefile through the road with the
// product's threads: the driver's thread for the packet road, the stream builder's for sessions.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "DriverControl.h"
#include "OB_FTPConsumer.h"
#include "OB_HTTPConsumer.h"
#include "OB_PacketManager.h"
#include "OB_StreamBuilder.h"
#include "OB_Tools.h"
#include "UTimeStamp.h"
#include "driver.h"
#include "ftp/OB_FTPProtocol.h"
#include "ftp/OB_FTPXact.h"
#include "http/OB_HTTPProtocol.h"
#include "http/OB_HTTPXact.h"
#include "records/OB_ProtocolWriter.h"
#include "tcp/OB_Server.h"

namespace road {

using Server = std::pair<uint32_t, uint16_t>;  // address (host order), port

// One FTP control connection as the road decoded it: its commands with their parameters and
// every reply code, the greeting first.
struct FTPConnection {
  std::vector<std::pair<std::string, std::string>> commands;
  std::vector<int> replyCodes;
  bool operator<(const FTPConnection& other) const {
    return std::tie(commands, replyCodes) < std::tie(other.commands, other.replyCodes);
  }
  bool operator==(const FTPConnection& other) const {
    return commands == other.commands && replyCodes == other.replyCodes;
  }
};

// Claims the sessions of the watched servers and counts (and, when asked, keeps or lists) what
// it is handed. Runs on the stream builder's thread under its consumer's lock; read after the
// road has stopped.
class Writer : public OB_ProtocolWriter, public OB_ReferenceCounter {
  OB_CLASS_IDENTITY(Writer, 0x7E57B0AD, "RoadWriter", OB_ProtocolWriter, OB_ReferenceCounter)

 public:
  Writer(const char* protocol, std::set<Server> servers, bool keep, bool list = false)
      : protocol_(protocol), servers_(std::move(servers)), keep_(keep), list_(list) {}

  const char* getProtocolName() override { return protocol_; }
  int isMatch(uint32_t serverIP, uint16_t serverPort) override {
    return servers_.count({serverIP, serverPort}) != 0 ? 1 : 0;
  }
  int processObject(OB_Object* object) override {
    // The rest of a connection cut off at the byte limit is no connection of its own.
    if (OB_Protocol* protocol = obQuery<OB_Protocol>(object);
        protocol != nullptr && protocol->continued == 0)
      ++sessions;
    if (OB_HTTPProtocol* http = obQuery<OB_HTTPProtocol>(object); http != nullptr) {
      for (OB_Xact* link = http->head; link != nullptr; link = link->nextItem()) {
        OB_HTTPXact* xact = obQuery<OB_HTTPXact>(link);
        if (xact == nullptr) continue;
        ++transactions;
        if (keep_) requests.emplace_back(xact->req_method.c_str(), xact->req_request_uri.c_str());
        if (list_) {
          lines.push_back(ends(*http) + "\t" + field(xact->req_method.c_str()) + "\t" +
                          field(xact->req_request_uri.c_str()) + "\t" +
                          field(xact->res_status_code.c_str()) + "\t" +
                          field(xact->res_content_type.c_str()) + "\t" +
                          std::to_string(xact->res_bytes));
        }
      }
    } else if (OB_FTPProtocol* ftp = obQuery<OB_FTPProtocol>(object); ftp != nullptr) {
      FTPConnection connection;
      connection.replyCodes.push_back(220);  // the greeting is checked, not stored
      for (OB_Xact* link = ftp->head; link != nullptr; link = link->nextItem()) {
        OB_FTPXact* xact = obQuery<OB_FTPXact>(link);
        if (xact == nullptr) continue;
        ++transactions;
        if (!keep_ && !list_) continue;
        std::string parameter = xact->getParameter() != nullptr ? xact->getParameter() : "";
        if (xact->command == OB_FTPXact::BAD_COMMAND) {
          // Words outside the command table keep the whole line as their parameter.
          size_t space = parameter.find(' ');
          connection.commands.emplace_back(
              parameter.substr(0, space),
              space == std::string::npos ? "" : parameter.substr(space + 1));
        } else {
          connection.commands.emplace_back(OB_FTPXact::commandName(xact->command), parameter);
        }
        for (int i = 0; i < xact->replyCount; ++i) connection.replyCodes.push_back(xact->replyCodes[i]);
        if (list_) {
          std::string codes;
          for (int i = 0; i < xact->replyCount; ++i) {
            if (i > 0) codes += ',';
            codes += std::to_string(xact->replyCodes[i]);
          }
          lines.push_back(ends(*ftp) + "\t" + field(connection.commands.back().first) + "\t" +
                          field(connection.commands.back().second) + "\t" + field(codes));
        }
      }
      if (keep_) connections.push_back(std::move(connection));
    }
    return 0;
  }

  uint64_t sessions = 0;  // connections: the pieces of one cut at the byte limit count once
  uint64_t transactions = 0;
  std::vector<std::pair<std::string, std::string>> requests;  // HTTP method and URI
  std::vector<FTPConnection> connections;
  // One line per transaction when listing, tab-separated: client, server:port, method, URI,
  // status, content type, response body bytes (its Content-Length, or for a chunked body the
  // sum of its chunk sizes) for HTTP; client, server:port, command, argument, reply codes for
  // FTP.
  std::vector<std::string> lines;

 private:
  // A decoded text as one field: "-" when empty (every line keeps its number of fields), and
  // the trace's control bytes and tabs shown as '?', never sent to the terminal.
  static std::string field(std::string text) {
    if (text.empty()) return "-";
    for (char& c : text)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
  }
  static std::string ends(const OB_Protocol& protocol) {
    char client[16];
    char server[16];
    OB_Tools::IPAddressString(protocol.clientIP, client);
    OB_Tools::IPAddressString(protocol.serverIP, server);
    return std::string(client) + "\t" + server + ":" + std::to_string(protocol.serverPort);
  }

  const char* protocol_;
  std::set<Server> servers_;
  bool keep_;
  bool list_;
};

// The road over adapter 0. Watched servers stand in the global server list while it exists.
class Road {
 public:
  // keep: the writers keep every decoded request and FTP connection (the test); otherwise they
  // only count (the benchmark). list: they also make one line per transaction.
  Road(const std::set<Server>& httpServers, const std::set<Server>& ftpServers, bool keep,
       bool list = false)
      : httpWriter(new Writer("http", httpServers, keep, list)),
        ftpWriter(new Writer("ftp", ftpServers, keep, list)) {
    for (const std::set<Server>* list : {&httpServers, &ftpServers}) {
      for (const Server& server : *list) {
        auto definition = std::make_unique<OB_Server>();
        definition->setIPAddress(server.first);
        definition->setPort(server.second);
        watched_.push_back(std::move(definition));
      }
    }
    builder = OB_StreamBuilder::create(nullptr);
    http = OB_HTTPConsumer::create();
    ftp = OB_FTPConsumer::create();
    http->append(httpWriter);
    ftp->append(ftpWriter);
    builder->append(http);
    builder->append(ftp);
    manager = new OB_PacketManager(nullptr);
    manager->append(builder);
  }
  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;
  // The stream builder goes before the packet manager: its sessions hold pooled buffers.
  ~Road() {
    stopThreads();
    manager->remove(builder);
    obRelease(builder);
    obRelease(manager);
    obRelease(http);
    obRelease(ftp);
    obRelease(httpWriter);
    obRelease(ftpWriter);
  }

  // Replays adapter 0 to its end, then hands every session still open to the consumers as the
  // idle sweep would once the clock has moved a day past the trace. False when the adapter
  // could not be bound or the replay did not finish; a replay that ended before the file's end
  // (a truncated last record) finishes, with readError saying why.
  bool run() {
    builder->start();
    manager->start();
    GLIM_CaptureContext context = manager->getCaptureContext();
    if (context == nullptr) return false;
    DriverControl::waitForEnd(context);
    const bool finished = DriverControl::isReplayFinished(context);
    readError = DriverControl::replayError(context);
    stopThreads();
    // What the stream builder's thread had not taken yet, then the sweep, on this thread.
    builder->setSynchronous(1);
    while (builder->getQueuedCount() > 0) builder->doTask();
    UTimeStamp::setClock(UTimeStamp::GetTimeStamp() + 86400ull * 1000000u * 365);
    builder->doTask();
    UTimeStamp::clearClock();
    return finished;
  }

  OB_PacketManager* manager = nullptr;  // owned
  OB_StreamBuilder* builder = nullptr;  // owned
  OB_HTTPConsumer* http = nullptr;      // owned
  OB_FTPConsumer* ftp = nullptr;        // owned
  Writer* httpWriter;                   // owned (the consumer holds a reference too)
  Writer* ftpWriter;
  std::string readError;  // why the replay ended before the file's end; "" when it did not

 private:
  void stopThreads() {
    manager->stop();
    manager->join(nullptr, 10000);
    builder->stop();
    builder->join(nullptr, 10000);
  }

  std::vector<std::unique_ptr<OB_Server>> watched_;
};

}  // namespace road
