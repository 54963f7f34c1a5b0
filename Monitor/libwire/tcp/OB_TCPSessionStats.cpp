#include "tcp/OB_TCPSessionStats.h"

#include "OB_Log.h"
#include "UTimeStamp.h"
#include "ftp/OB_FTPProtocol.h"
#include "http/OB_HTTPProtocol.h"

OB_TCPSessionStats OB_TCPSessionStats::processBlock_;
OB_ThreadCounters OB_TCPSessionStats::processAdded_{OB_TCPSessionStats::kCounters};

namespace {

uint64_t nowSeconds() { return UTimeStamp::GetTimeStamp() / 1000000u; }

// One counter line: the label from `indent` blanks on, the '=' in column 48.
void line(FILE* stream, int indent, const char* label, const OB_TCPSessionStats::Counter& c) {
  OB_Log::flog(stream, "%*s%-*s=  %10u\n", indent, "", 48 - indent, label,
               OB_TCPSessionStats::value(c));
}

// A parse-stop counter's line: the protocol, then the reason's text.
void stopLine(FILE* stream, const char* protocol, const char* reason,
              const OB_TCPSessionStats::Counter& c) {
  char label[64];
  snprintf(label, sizeof label, "%s: %s", protocol, reason);
  line(stream, 6, label, c);
}

}  // namespace

OB_TCPSessionStats* getTCPSessionStats() { return &OB_TCPSessionStats::processBlock_; }

int tcpSessionStats_init() {
  OB_TCPSessionStats& s = *getTCPSessionStats();
  for (OB_TCPSessionStats::Counter* c :
       {&s.segmentsReceived, &s.bytesReceived, &s.segmentsUsed, &s.bytesUsed,
        &s.segmentsExtraneous, &s.bytesExtraneous, &s.segmentsClosed, &s.bytesClosed,
        &s.segmentsNoMemory, &s.bytesNoMemory, &s.bytesCompleted, &s.connectionsStarted,
        &s.connectionsBuilt, &s.timedOutRejected, &s.timedOutUnacked, &s.timedOutComplete,
        &s.timedOutOddSequence, &s.timedOutNoSyn, &s.timedOutGaps, &s.httpStarted, &s.httpParsed,
        &s.httpFinished, &s.ftpStarted, &s.ftpParsed, &s.ftpFinished, &s.payloadBytes,
        &s.effectiveBytes, &s.sessionsRetrieved, &s.sessionsReturned, &s.segmentsFromPool,
        &s.segmentsToPool, &s.httpStopMessageLine, &s.httpStopChunk, &s.httpStopCutShort,
        &s.httpStopFull, &s.ftpStopGreeting, &s.ftpStopCutShort, &s.ftpStopFull,
        &s.httpGapHead, &s.httpGapChunkLine, &s.httpGapUnknownLength, &s.httpGapXacts,
        &s.ftpGap, &s.ftpGapXacts}) {
    OB_TCPSessionStats::clear(*c);
  }
  s.since.store(nowSeconds(), std::memory_order_relaxed);
  return 0;
}

int OB_TCPSessionStats::print(FILE* stream) {
  tcpSessionStats_print(stream);
  return 0;
}

void tcpSessionStats_print(FILE* stream) {
  const OB_TCPSessionStats& s = *getTCPSessionStats();
  auto v = [](const OB_TCPSessionStats::Counter& c) { return OB_TCPSessionStats::value(c); };

  OB_Log::flog(stream, "\nTCP Session Stats:\n");
  OB_Log::flog(stream, "--------------------\n");
  OB_Log::flog(stream, "Historical Tracking:\n");
  OB_Log::flog(stream, "   TCP Connections\n");
  line(stream, 6, "started", s.connectionsStarted);
  line(stream, 6, "ended", s.sessionsReturned);
  line(stream, 6, "timed out and a rejected connection", s.timedOutRejected);
  line(stream, 6, "timed out and an unacknoledged connection", s.timedOutUnacked);
  line(stream, 6, "timed out but processed OK", s.timedOutComplete);
  line(stream, 6, "timed out with strange sequence deltas", s.timedOutOddSequence);
  line(stream, 6, "timed out with no first SYN", s.timedOutNoSyn);
  line(stream, 6, "timed out with discontiguous data stream", s.timedOutGaps);
  line(stream, 6, "built successfully", s.connectionsBuilt);
  line(stream, 9, "started by HTTP consumer", s.httpStarted);
  line(stream, 9, "parsed by HTTP consumer", s.httpParsed);
  line(stream, 9, "finished by HTTP consumer", s.httpFinished);
  line(stream, 9, "started by FTP consumer", s.ftpStarted);
  line(stream, 9, "parsed by FTP consumer", s.ftpParsed);
  line(stream, 9, "finished by FTP consumer", s.ftpFinished);
  line(stream, 6, "retrieved from memory manager", s.sessionsRetrieved);
  line(stream, 6, "returned to memory manager", s.sessionsReturned);
  line(stream, 6, "packet segments from memory manager", s.segmentsFromPool);
  line(stream, 6, "packet segments to memory manager", s.segmentsToPool);
  OB_Log::flog(stream, "   Parses Stopped Before The Data Ended\n");
  using HTTP = OB_HTTPProtocol;
  using FTP = OB_FTPProtocol;
  stopLine(stream, "HTTP", HTTP::parseStopText(HTTP::ParseStop::MessageLine),
           s.httpStopMessageLine);
  stopLine(stream, "HTTP", HTTP::parseStopText(HTTP::ParseStop::Chunk), s.httpStopChunk);
  stopLine(stream, "HTTP", HTTP::parseStopText(HTTP::ParseStop::CutShort), s.httpStopCutShort);
  stopLine(stream, "HTTP", HTTP::parseStopText(HTTP::ParseStop::Full), s.httpStopFull);
  stopLine(stream, "FTP", FTP::parseStopText(FTP::ParseStop::Greeting), s.ftpStopGreeting);
  stopLine(stream, "FTP", FTP::parseStopText(FTP::ParseStop::CutShort), s.ftpStopCutShort);
  stopLine(stream, "FTP", FTP::parseStopText(FTP::ParseStop::Full), s.ftpStopFull);
  OB_Log::flog(stream, "   Pairings Lost To Bytes Never Captured\n");
  stopLine(stream, "HTTP", HTTP::gapLossText(HTTP::GapLoss::Head), s.httpGapHead);
  stopLine(stream, "HTTP", HTTP::gapLossText(HTTP::GapLoss::ChunkLine), s.httpGapChunkLine);
  stopLine(stream, "HTTP", HTTP::gapLossText(HTTP::GapLoss::UnknownLength),
           s.httpGapUnknownLength);
  stopLine(stream, "HTTP", "requests left without a response", s.httpGapXacts);
  stopLine(stream, "FTP", "a control segment lost", s.ftpGap);
  stopLine(stream, "FTP", "commands left without a reply", s.ftpGapXacts);
  OB_Log::flog(stream, "   Packets\n");
  line(stream, 6, "received for TCP stream building", s.segmentsReceived);
  line(stream, 6, "used in TCP stream building", s.segmentsUsed);
  line(stream, 6, "rejected for TCP stream (extraneous)", s.segmentsExtraneous);
  line(stream, 6, "rejected for TCP stream (closed)", s.segmentsClosed);
  line(stream, 6, "rejected for TCP stream (no memory)", s.segmentsNoMemory);
  OB_Log::flog(stream, "   Bytes\n");
  line(stream, 6, "received for TCP stream building", s.bytesReceived);
  line(stream, 6, "used in TCP stream building", s.bytesUsed);
  line(stream, 6, "rejected for TCP stream (extraneous)", s.bytesExtraneous);
  line(stream, 6, "rejected for TCP stream (closed)", s.bytesClosed);
  line(stream, 6, "rejected for TCP stream (no memory)", s.bytesNoMemory);
  line(stream, 6, "used in completed streams built", s.bytesCompleted);

  // Initiations per minute since the counters were cleared (0 before a second has passed).
  const uint32_t started = v(s.connectionsStarted);
  const uint64_t now = nowSeconds();
  const uint64_t since = s.since.load(std::memory_order_relaxed);
  const double perMinute =
      now > since ? static_cast<double>(started) * 60.0 / static_cast<double>(now - since) : 0.0;
  OB_Log::flog(stream, "   Connection Rates\n");
  OB_Log::flog(stream, "      average number of initiations             = %11.3f Requests/Min\n",
               perMinute);
  OB_Log::flog(stream,
               "      average packets per connection            =  %10u Packets/Connection\n",
               started != 0 ? v(s.segmentsUsed) / started : 100u);
  OB_Log::flog(stream,
               "      average bytes per connection              =  %10u Bytes/Connection\n",
               started != 0 ? v(s.bytesUsed) / started : 100u);

  const uint32_t payload = v(s.payloadBytes);
  const uint32_t effective = v(s.effectiveBytes);
  const uint32_t built = v(s.connectionsBuilt);
  const uint32_t completed = v(s.bytesCompleted);
  OB_Log::flog(stream, "   Data Transfer Rates\n");
  OB_Log::flog(stream, "      total bytes transferred (no headers)      =  %10u\n", payload);
  if (built != 0) {
    OB_Log::flog(stream, "      bytes transferred per connection          =  %10u\n",
                 payload / built);
  }
  if (completed != 0) {
    OB_Log::flog(stream, "      transfer byte efficiency                  = %11.3f%%\n",
                 static_cast<double>(payload) * 100.0 / completed);
  }
  OB_Log::flog(stream, "      effective bytes transferred               =  %10u\n", effective);
  if (built != 0) {
    OB_Log::flog(stream, "      effective bytes per connection            =  %10u\n",
                 effective / built);
  }
  if (completed != 0) {
    OB_Log::flog(stream, "      effective byte efficiency                 = %11.3f%%\n",
                 static_cast<double>(effective) * 100.0 / completed);
  }
}
