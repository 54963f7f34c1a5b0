#include "CTapviewDlg.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

#include "OB_Config.h"
#include "OB_Exception.h"
#include "OB_Log.h"
#include "OB_SocketIO.h"
#include "OB_Thread.h"

namespace {

constexpr const char* kCaption = "Realtime Capture Engine Monitor";
constexpr const char* kAppName = "tapview";
constexpr const char* kDefaultPassword = "marbleknot";
// The name under which a failed counter read is reported.
constexpr const char* kSourceName = "tapviewDlg";

// Capture counters carried by reply values 1 to 6.
constexpr int kCaptureCounters[6] = {
    OB_CaptureEngineStats::kStartTime,        OB_CaptureEngineStats::kAllPacksSeen,
    OB_CaptureEngineStats::kAllBytesSeen,     OB_CaptureEngineStats::kAllPacksAccepted,
    OB_CaptureEngineStats::kAllBytesAccepted, OB_CaptureEngineStats::kAllReportedDropped};
// Session words (1 to 29) carried by reply values 7 to 34.
constexpr int kSessionWords[28] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 28, 29, 13,
                                   20, 21, 22, 23, 24, 25, 14, 15, 16, 17, 18, 19, 26, 27};

// The session record's counter with word number 1 to 29 (the record's order of definition).
OB_TCPSessionStats::Counter* sessionWord(OB_TCPSessionStats& s, int word) {
  OB_TCPSessionStats::Counter* words[] = {
      &s.segmentsReceived,    &s.bytesReceived,    &s.segmentsUsed,    &s.bytesUsed,
      &s.segmentsExtraneous,  &s.bytesExtraneous,  &s.segmentsClosed,  &s.bytesClosed,
      &s.segmentsNoMemory,    &s.bytesNoMemory,    &s.bytesCompleted,  &s.connectionsStarted,
      &s.connectionsBuilt,    &s.timedOutRejected, &s.timedOutUnacked, &s.timedOutComplete,
      &s.timedOutOddSequence, &s.timedOutNoSyn,    &s.timedOutGaps,    &s.httpStarted,
      &s.httpParsed,          &s.httpFinished,     &s.ftpStarted,      &s.ftpParsed,
      &s.ftpFinished,         &s.payloadBytes,     &s.effectiveBytes,  &s.sessionsRetrieved,
      &s.sessionsReturned};
  static_assert(sizeof words / sizeof words[0] == 29, "the session record has 29 words");
  return word >= 1 && word <= 29 ? words[word - 1] : nullptr;
}

// Where the drops split of reply values 35 and 36 is shown.
constexpr int kKernelDrops = 1;
constexpr int kInterfaceDrops = 2;

// A display: its control, its label, and what it shows (a capture counter, or a session word,
// or a part of the drops, or nothing: always 0).
struct Display {
  int id;
  const char* label;
  int captureCounter;  // -1: none
  int sessionWord;     // 0: none
  int drops = 0;       // kKernelDrops, kInterfaceDrops; 0: none
};

constexpr Display kDisplays[] = {
    {CTapviewDlg::IDC_BYTES_RECEIVED, "Bytes received:", OB_CaptureEngineStats::kAllBytesSeen, 0},
    {CTapviewDlg::IDC_BYTES_ACCEPTED, "Bytes accepted:", OB_CaptureEngineStats::kAllBytesAccepted,
     0},
    {CTapviewDlg::IDC_PACKETS_RECEIVED, "Packets received:", OB_CaptureEngineStats::kAllPacksSeen,
     0},
    {CTapviewDlg::IDC_PACKETS_ACCEPTED,
     "Packets accepted:", OB_CaptureEngineStats::kAllPacksAccepted, 0},
    {CTapviewDlg::IDC_PACKETS_DROPPED,
     "Packets dropped:", OB_CaptureEngineStats::kAllReportedDropped, 0},
    {CTapviewDlg::IDC_KERNEL_DROPPED, "  buffer full:", -1, 0, kKernelDrops},
    {CTapviewDlg::IDC_INTERFACE_DROPPED, "  by interface:", -1, 0, kInterfaceDrops},
    {CTapviewDlg::IDC_TCP_STARTED, "TCP started:", -1, 28},
    {CTapviewDlg::IDC_TCP_ENDED, "TCP ended:", -1, 13},
    {CTapviewDlg::IDC_HTTP_STARTED, "HTTP started:", -1, 20},
    {CTapviewDlg::IDC_HTTP_ENDED, "HTTP ended:", -1, 22},
    {CTapviewDlg::IDC_FTP_STARTED, "FTP started:", -1, 23},
    {CTapviewDlg::IDC_FTP_ENDED, "FTP ended:", -1, 25},
    {CTapviewDlg::IDC_TIMEOUT_BUILT, "and built:", -1, 16},
    // The rejected connections that timed out are word 14; word 17 counts odd sequences.
    {CTapviewDlg::IDC_TIMEOUT_REJECTED, "and rejected", -1, 14},
    {CTapviewDlg::IDC_TIMEOUT_UNACKED, "and unacked", -1, 15},
    {CTapviewDlg::IDC_TIMEOUT_STRANGE, "and strange:", -1, 0},
    {CTapviewDlg::IDC_TIMEOUT_NO_SYN, "and no first SYN:", -1, 18},
    {CTapviewDlg::IDC_TIMEOUT_GAPS, "and discontiguous:", -1, 19},
    {CTapviewDlg::IDC_STREAM_PACKETS + 0, "received: Packets", -1, 1},
    {CTapviewDlg::IDC_STREAM_BYTES + 0, "received: Bytes", -1, 2},
    {CTapviewDlg::IDC_STREAM_PACKETS + 1, "used: Packets", -1, 3},
    {CTapviewDlg::IDC_STREAM_BYTES + 1, "used: Bytes", -1, 4},
    {CTapviewDlg::IDC_STREAM_PACKETS + 2, "extraneous: Packets", -1, 5},
    {CTapviewDlg::IDC_STREAM_BYTES + 2, "extraneous: Bytes", -1, 6},
    {CTapviewDlg::IDC_STREAM_PACKETS + 3, "closed: Packets", -1, 7},
    {CTapviewDlg::IDC_STREAM_BYTES + 3, "closed: Bytes", -1, 8},
    {CTapviewDlg::IDC_STREAM_PACKETS + 4, "no memory Packets", -1, 9},
    {CTapviewDlg::IDC_STREAM_BYTES + 4, "no memory Bytes", -1, 10},
};

// Reads one "\n"-ended line of at most max - 1 bytes (the "\n" not stored). The length, or -1
// when the peer closed or failed first or the line is longer.
int readLine(int socket, char* buffer, int max) {
  for (int stored = 0; stored < max; ++stored) {
    char byte;
    if (readJ_n_chars(socket, &byte, 1) != 1) break;
    if (byte == '\n') {
      buffer[stored] = '\0';
      return stored;
    }
    if (stored == max - 1) break;
    buffer[stored] = byte;
  }
  buffer[0] = '\0';
  return -1;
}

// The server's IPv4 address (network order): by name, else as a dotted address.
bool lookUpServer(const char* server, uint32_t* address) {
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (server[0] != '\0' && getaddrinfo(server, nullptr, &hints, &found) == 0 && found != nullptr) {
    *address = reinterpret_cast<const struct sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
  }
  struct in_addr dotted;
  if (inet_aton(server, &dotted) != 0) {
    *address = dotted.s_addr;
    return true;
  }
  return false;
}

}  // namespace

CTapviewDlg::CTapviewDlg() : DLG_Dialog(kCaption), workerThread_(new OB_Thread()) {
  // The template: rows of the terminal under the caption, columns of 80.
  addGroup("Monitor Info", 0, 0, 80);
  addStatic(0, "Server:", 1, 1, 7);
  addEdit(IDC_SERVER, 1, 9, 22, 0, 255);
  addStatic(0, ":", 1, 32, 1);
  addEdit(IDC_PORT, 1, 34, 6, 0, 255);
  addStatic(0, "Password:", 1, 42, 9);
  addEdit(IDC_PASSWORD, 1, 52, 20, DLG_EDIT_PASSWORD, 255);
  addGroup("Sample Rate (Seconds)", 2, 0, 80);
  addTrackbar(IDC_RATE, 3, 1, 62);
  addStatic(IDC_RATE_TEXT, "0", 3, 65, 4);
  addButton(IDC_START, "Start", 4, 1, DLG_BUTTON_DEFAULT);
  addButton(IDC_STOP, "Stop", 4, 12, 0);

  addGroup("General", 5, 0, 38);
  addGroup("Connections", 5, 40, 40);
  addGroup("TCP Timed Out Connections", 14, 0, 38);
  addGroup("TCP Stream Building", 14, 40, 40);
  addStatic(0, "Packets", 15, 53, 12);
  addStatic(0, "Bytes", 15, 66, 12);
  const char* rows[] = {"received:", "used:", "extraneous:", "closed:", "no memory"};
  for (int i = 0; i < 5; ++i) addStatic(0, rows[i], 16 + i, 41, 12);
  int general = 0;
  int connections = 0;
  int timedOut = 0;
  for (const Display& d : kDisplays) {
    if (d.id >= IDC_STREAM_PACKETS) {
      int row = 16 + (d.id - IDC_STREAM_PACKETS) % 5;
      addEdit(d.id, row, d.id < IDC_STREAM_BYTES ? 53 : 66, 12, DLG_EDIT_READONLY, 10);
    } else if (d.captureCounter >= 0 || d.drops != 0) {
      addStatic(0, d.label, 6 + general, 1, 18);
      addEdit(d.id, 6 + general++, 20, 12, DLG_EDIT_READONLY, 10);
    } else if (d.id < IDC_TIMEOUT_BUILT) {
      addStatic(0, d.label, 6 + connections, 41, 14);
      addEdit(d.id, 6 + connections++, 56, 12, DLG_EDIT_READONLY, 10);
    } else {
      addStatic(0, d.label, 15 + timedOut, 1, 19);
      addEdit(d.id, 15 + timedOut++, 21, 12, DLG_EDIT_READONLY, 10);
    }
  }
}

CTapviewDlg::~CTapviewDlg() {
  onDestroy();
  workerThread_->release();
}

int CTapviewDlg::onInitDialog() {
  appendSystemMenu(0, nullptr);
  appendSystemMenu(IDM_ABOUTBOX, "&About tapview...");
  setDlgItemText(IDC_SERVER, "localhost");
  setDlgItemText(IDC_PORT, "8189");
  setDlgItemText(IDC_PASSWORD, kDefaultPassword);
  scale_ = 1000;
  period_.store(5000);
  setTrackbarRange(IDC_RATE, 1, 60);
  setTrackbarPos(IDC_RATE, 5);
  setDlgItemInt(IDC_RATE_TEXT, 5);
  return 0;
}

void CTapviewDlg::onCommand(int id) {
  if (id == IDC_START) {
    running_.store(1);
    workerThread_->start(worker, this);  // a loop still running keeps going instead
  } else if (id == IDC_STOP) {
    running_.store(0);
    workerThread_->stop();  // the worker leaves its loop when its current wait ends
  }
}

void CTapviewDlg::onTrackbarReleased(int id) {
  if (id != IDC_RATE) return;
  int position = getTrackbarPos(IDC_RATE);
  period_.store(position * scale_);
  setDlgItemInt(IDC_RATE_TEXT, static_cast<uint32_t>(position));
  wakeup_.signal();
}

void CTapviewDlg::onSysCommand(int id) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) messageBox(kAppName, "About tapview", DLG_ICON_INFORMATION);
}

void CTapviewDlg::onDestroy() {
  running_.store(0);
  workerThread_->stop();
  // A wake-up given while the worker is not yet waiting is lost, so it is repeated until the
  // worker has left its function; it then sees the cleared flag.
  while (inWorker_.load() != 0) {
    if (wakeup_.numWaiting() > 0) wakeup_.signal();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  workerThread_->join(nullptr, 0);
}

void CTapviewDlg::worker(void* dialog) {
  CTapviewDlg* self = static_cast<CTapviewDlg*>(dialog);
  self->inWorker_.store(1);
  if (self->connectServer() == 0) {
    while (self->running_.load() != 0) {
      if (self->pollStatistics() != 0) break;
      int period = self->period_.load();
      if (period != 0 && self->running_.load() != 0) self->wakeup_.wait(nullptr, period);
    }
  }
  self->inWorker_.store(0);
}

int CTapviewDlg::openConnection(bool* connected) {
  *connected = false;
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  struct timeval limit;
  limit.tv_sec = kIOTimeoutMs / 1000;
  limit.tv_usec = (kIOTimeoutMs % 1000) * 1000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);  // bounds connect too
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = serverAddress_;
  address.sin_port = htons(port_);
  *connected = connect(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0;
  connectError_ = *connected ? 0 : errno;
  return s;
}

int CTapviewDlg::sendRequest(int s, int32_t command, uint32_t key) {
  // The head the server skips: a request line, an empty line and four carriage returns.
  static const char kHead[] = "HTTP /controlReq.cgi\n\n\r\r\r\r";
  const int headLength = static_cast<int>(sizeof kHead - 1);
  const int userLength = static_cast<int>(strlen(kUser));
  const int passwordLength = static_cast<int>(strnlen(password_, sizeof password_ - 1));
  if (writeJ_n_chars(s, kHead, headLength) != headLength || writeJ_SInt32(s, command) != 0 ||
      writeJ_n_chars(s, kUser, userLength) != userLength || writeJ_n_chars(s, "\n", 1) != 1 ||
      writeJ_n_chars(s, password_, passwordLength) != passwordLength ||
      writeJ_n_chars(s, "\n", 1) != 1 || writeJ_UInt32(s, kClientVersion) != 0 ||
      writeJ_UInt32(s, key) != 0)
    return -1;
  return 0;
}

int CTapviewDlg::readReplyHead(int s, char* reason) {
  char line[kMaxReplyLine];
  if (reason != nullptr) reason[0] = '\0';
  for (int i = 0; i < 4; ++i)
    if (readLine(s, line, sizeof line) < 0) return -1;
  uint8_t status = 0;
  char* text = reason != nullptr ? reason : line;
  if (readJ_UInt8(s, &status) != 0) return -1;
  // "Unknown Error" alone has no line end: the reply ends after it.
  if (readLine(s, text, kMaxReplyLine) < 0 && status == 1) return -1;
  // The server's text is shown: its control bytes are not.
  for (char* at = text; *at != '\0'; ++at)
    if (static_cast<unsigned char>(*at) < 0x20 || *at == 0x7F) *at = '?';
  return status == 1 ? 1 : 0;
}

int CTapviewDlg::closeConnection(int s) {
  if (s < 0) return -1;
  struct linger abortive = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  int result = 0;
  if (shutdown(s, SHUT_RDWR) != 0) {
    OB_Log::debug("ambervolte: tcpserv_abortConnection: shutdown\n");
    result = -1;
  } else {
    OB_Log::debug("closesocket()\n");
  }
  // Closed whatever the shutdown answered: a failing server must not use up the descriptors.
  if (close(s) != 0) {
    if (result == 0) OB_Log::debug("ambervolte: tcpserv_abortConnection: close\n");
    result = -1;
  }
  return result;
}

int CTapviewDlg::connectServer() {
  // Another server, or the same one anew: its counters are taken as they come.
  startTime_ = 0;
  for (Total& total : totals_) total = Total{};
  char server[256];
  char port[256];
  getDlgItemText(IDC_PASSWORD, password_, sizeof password_);
  getDlgItemText(IDC_SERVER, server, sizeof server);
  getDlgItemText(IDC_PORT, port, sizeof port);

  char message[1024];  // the longest texts below with a server name, port and reason of 255 each
  if (!lookUpServer(server, &serverAddress_)) {
    snprintf(message, sizeof message, "\"%s\" is not a valid server", server);
    messageBox(message, kAppName, DLG_ICON_WARNING);
    workerThread_->stop();
    return -1;
  }
  // Only a whole decimal port number names a port: "70000" is not port 4464.
  char* end = nullptr;
  long number = strtol(port, &end, 10);
  bool goodPort = end != port && *end == '\0' && number > 0 && number <= 65535;
  if (!goodPort) {
    snprintf(message, sizeof message, "\"%s\" is not a valid port (a number from 1 to 65535)",
             port);
    messageBox(message, kAppName, DLG_ICON_WARNING);
    workerThread_->stop();
    return -1;
  }
  port_ = static_cast<uint16_t>(number);

  // Only a configuration reply that was accepted and arrived whole gives the key; a refused
  // request (a wrong password) is no connection to poll on. Each failure says which it was.
  bool connected = false;
  int s = openConnection(&connected);
  uint32_t key = 0;
  OB_Config scratch;
  char reason[kMaxReplyLine] = {};
  int head = -1;
  if (!connected) {
    snprintf(message, sizeof message, "Could not connect to server: %s:%u (%s)", server,
             static_cast<unsigned>(port_), strerror(s < 0 ? errno : connectError_));
  } else if (sendRequest(s, kGetConfig, 0) != 0 || (head = readReplyHead(s, reason)) < 0) {
    snprintf(message, sizeof message,
             "Server %s:%u did not answer as a capture engine's console does", server,
             static_cast<unsigned>(port_));
  } else if (head == 0) {
    snprintf(message, sizeof message, "Server %s:%u refused the request: %s", server,
             static_cast<unsigned>(port_), reason);
  } else if (readJ_UInt32(s, &key) != 0 || scratch.readJ(s) != 0) {
    snprintf(message, sizeof message, "Server %s:%u ended its reply early", server,
             static_cast<unsigned>(port_));
  } else {
    message[0] = '\0';
  }
  if (message[0] != '\0') {
    if (s >= 0) closeConnection(s);
    messageBox(message, kAppName, DLG_ICON_WARNING);
    workerThread_->stop();
    return -1;
  }
  configKey_ = key;
  return closeConnection(s) == 0 ? 0 : -1;
}

void CTapviewDlg::keepValue(int number, uint32_t value) {
  if (number >= 1 && number <= 6) {
    capture_.setValue(kCaptureCounters[number - 1], value);
  } else if (number >= 7 && number <= 34) {
    OB_TCPSessionStats::Counter* word = sessionWord(session_, kSessionWords[number - 7]);
    if (word != nullptr) word->store(value, std::memory_order_relaxed);
  } else if (number == 35) {
    capture_.setDriverDrops(value, capture_.getInterfaceDrops());
  } else if (number == 36) {
    capture_.setDriverDrops(capture_.getKernelDrops(), value);
  }
}

void CTapviewDlg::showValues() {
  // A new start time is another run of the engine, whose counters began again at 0.
  uint32_t started = 0;
  capture_.getValue(OB_CaptureEngineStats::kStartTime, &started);
  if (started != startTime_) {
    startTime_ = started;
    for (Total& total : totals_) total = Total{};
  }
  static_assert(std::size(kDisplays) <= kMaxDisplays, "a total for every display");
  for (size_t i = 0; i < std::size(kDisplays); ++i) {
    const Display& d = kDisplays[i];
    uint32_t value = 0;
    if (d.captureCounter >= 0) {
      capture_.getValue(d.captureCounter, &value);
    } else if (d.sessionWord != 0) {
      value = OB_TCPSessionStats::value(*sessionWord(session_, d.sessionWord));
    } else if (d.drops != 0) {
      value = d.drops == kKernelDrops ? capture_.getKernelDrops() : capture_.getInterfaceDrops();
    }
    // The engine's counters are 32-bit and wrap; each display adds the wraps seen between
    // polls. A fall from the upper half is a wrap; any other fall, a count begun again.
    Total& total = totals_[i];
    if (!total.seen || (value < total.last && total.last < 0x80000000u)) {
      total.sum = value;
    } else {
      total.sum += static_cast<uint32_t>(value - total.last);
    }
    total.seen = true;
    total.last = value;
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(total.sum));
    setDlgItemText(d.id, text);
  }
}

int CTapviewDlg::pollStatistics() {
  // A failed connect is not looked at here: the reads fail and the close reports it.
  bool connected = false;
  int s = openConnection(&connected);
  if (connected) sendRequest(s, kGetMonitorStats, configKey_);
  // A refused request carries no counters: it fails as a failed first read does.
  bool failed = !connected || readReplyHead(s, nullptr) != 1;
  int done = 0;
  for (int number = 1; number <= kReplyValues; ++number) {
    uint32_t value = 0;  // kept only when the whole field arrived
    int result = failed ? -1 : readJ_UInt32(s, &value);
    if (result != 0) {
      if (number <= 6) {
        OB_Exception error(result, nullptr, kSourceName, __LINE__);
        error.print(stdout);
      }
      OB_Log::ret("hcommand_HTTP_SRV_ServerName: Problem getting or sending info.");
      break;
    }
    keepValue(number, value);
    done = number;
  }
  lastPollComplete_ = done == kReplyValues;
  showValues();
  return closeConnection(s);
}

int CTapviewDlg::pollOnce() {
  if (connectServer() != 0) return -1;
  if (pollStatistics() != 0) return -1;
  return lastPollComplete_ ? 0 : -1;
}

void CTapviewDlg::printDisplays(FILE* stream) {
  for (const Display& d : kDisplays) {
    char text[24];
    getDlgItemText(d.id, text, sizeof text);
    fprintf(stream, "%s %s\n", d.label, text);
  }
}
