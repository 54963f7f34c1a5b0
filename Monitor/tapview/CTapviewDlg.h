// The capture statistics viewer's dialog: the operator names a capture engine's command server
// and its password and presses Start; a worker thread then asks the server for its monitor
// statistics at the chosen rate and shows the capture and TCP stream counters until Stop. It is
// a console client only and changes nothing on the server. tapview's main runs it on the
// terminal, or drives one poll without a terminal.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "OB_CaptureEngineStats.h"
#include "OB_Event.h"
#include "dialog.h"
#include "tcp/OB_TCPSessionStats.h"

class OB_Thread;

class CTapviewDlg : public DLG_Dialog {
 public:
  // Controls of the dialog's template.
  static constexpr int IDC_SERVER = 1000;
  static constexpr int IDC_PORT = 1002;
  static constexpr int IDC_PASSWORD = 1003;
  static constexpr int IDC_BYTES_ACCEPTED = 1005;
  static constexpr int IDC_START = 1006;
  static constexpr int IDC_STOP = 1007;
  static constexpr int IDC_RATE = 1008;  // trackbar, seconds
  static constexpr int IDC_RATE_TEXT = 1011;
  static constexpr int IDC_PACKETS_ACCEPTED = 1012;
  static constexpr int IDC_BYTES_RECEIVED = 1013;
  static constexpr int IDC_PACKETS_RECEIVED = 1014;
  static constexpr int IDC_PACKETS_DROPPED = 1015;
  static constexpr int IDC_TCP_STARTED = 1016;
  static constexpr int IDC_TCP_ENDED = 1017;
  static constexpr int IDC_HTTP_STARTED = 1018;
  static constexpr int IDC_FTP_STARTED = 1019;
  static constexpr int IDC_HTTP_ENDED = 1020;
  static constexpr int IDC_FTP_ENDED = 1021;
  static constexpr int IDC_TIMEOUT_BUILT = 1022;  // 1022 to 1027: the timed-out connections
  static constexpr int IDC_TIMEOUT_REJECTED = 1023;
  static constexpr int IDC_TIMEOUT_UNACKED = 1024;
  static constexpr int IDC_TIMEOUT_STRANGE = 1025;
  static constexpr int IDC_TIMEOUT_NO_SYN = 1026;
  static constexpr int IDC_TIMEOUT_GAPS = 1027;
  static constexpr int IDC_STREAM_PACKETS = 1035;  // 1035 to 1039: received ... no memory
  static constexpr int IDC_STREAM_BYTES = 1040;    // 1040 to 1044: the same rows in bytes
  static constexpr int IDC_KERNEL_DROPPED = 1045;  // the drops split: capture buffer full
  static constexpr int IDC_INTERFACE_DROPPED = 1046;  // and dropped by the interface
  static constexpr int IDM_ABOUTBOX = 16;

  // The only user the viewer sends, and the client version the capture engine requires.
  static constexpr const char* kUser = "root";
  static constexpr uint32_t kClientVersion = 7;
  static constexpr int32_t kGetConfig = 20;
  static constexpr int32_t kGetMonitorStats = 40;
  // Values in a monitor-statistics reply: 6 capture counters, 28 session words, and the drops
  // by the kernel and by the interface (0 from an engine that does not send them).
  static constexpr int kReplyValues = 36;
  // Longest text line of a reply head, terminator included; a longer line is a broken reply.
  static constexpr int kMaxReplyLine = 256;
  // Receive, send and connect time-out of the viewer's connections, ms: a server that stops
  // answering must not hold the worker, or Stop and the end of the program, for ever.
  static constexpr int kIOTimeoutMs = 10000;

  CTapviewDlg();
  // Ends the worker first (as onDestroy): it writes to this dialog.
  ~CTapviewDlg() override;

  // Presets, rate and trackbar; also what a non-interactive caller runs before its poll. 0.
  int onInitDialog() override;
  // Start (1006) and Stop (1007).
  void onCommand(int id) override;
  // The rate trackbar (1008): new period, shown, and a sleeping worker polls at once.
  void onTrackbarReleased(int id) override;
  void onSysCommand(int id) override;
  // Clears the running flag, stops the worker thread, wakes it and waits until it has ended.
  void onDestroy() override;

  // Worker steps, on the worker thread (or the caller's, without one).
  // Reads the fields, looks the server up and runs the configuration exchange that gives the key
  // the polls send. 0; -1 after the message box (the worker thread is stopped), which tells a
  // server name or a port that is none, a connect that failed (with the reason), a refusal (with
  // the server's text, e.g. "Invalid password.") and a reply that is not a console's apart; or
  // -1 without a message when the connection could not be closed cleanly (the worker is called
  // again).
  int connectServer();
  // One monitor-statistics exchange: the values read are kept and all displays are shown. 0,
  // or -1 when the connection could not be closed cleanly (the poll loop ends).
  int pollStatistics();
  // 1 when the last pollStatistics read all 36 values.
  int lastPollComplete() const { return lastPollComplete_ ? 1 : 0; }
  // connectServer, then one poll: 0 when all values arrived, else -1.
  int pollOnce();
  // Each display as "<label> <text>", one per line, in the dialog's order.
  void printDisplays(FILE* stream);

  // The worker thread's function; argument: the dialog.
  static void worker(void* dialog);

  int getPeriod() const { return period_.load(); }
  uint32_t getConfigKey() const { return configKey_; }
  OB_Event* getWakeupEvent() { return &wakeup_; }

 private:
  // A stream socket with the I/O time-outs, connected to the server if it can be: -1 when no
  // socket could be made; *connected says whether the connect succeeded.
  int openConnection(bool* connected);
  // The request head and the binary request. 0, or -1 when a write failed.
  int sendRequest(int socket, int32_t command, uint32_t key);
  // The four header lines, the status byte and the status text: 1 accepted, 0 refused, -1 when
  // the head did not arrive whole. reason (kMaxReplyLine bytes, or null) receives the status
  // text without its line end, control bytes shown as '?'.
  int readReplyHead(int socket, char* reason);
  // Abortive close (linger 0), shutdown, close. The descriptor is always closed; 0, or -1 when
  // the shutdown or the close failed (or there was no socket).
  int closeConnection(int socket);
  // Keeps value number (1 to 36) of a monitor-statistics reply.
  void keepValue(int number, uint32_t value);
  void showValues();

  std::atomic<int> running_{0};
  OB_Thread* workerThread_;        // owned; made without a function, Start gives it the worker
  std::atomic<int> period_{5000};  // ms between polls
  int scale_ = 1000;               // ms per trackbar step
  OB_Event wakeup_;                // the worker sleeps on it between polls
  std::atomic<int> inWorker_{0};

  // Worker thread only (connectServer and the polls).
  char password_[256] = {};
  uint32_t serverAddress_ = 0;  // network order
  uint16_t port_ = 0;           // host order
  int connectError_ = 0;        // errno of the last failed connect
  uint32_t configKey_ = 0;
  bool lastPollComplete_ = false;
  // The last values received; the counters not received keep their earlier contents.
  OB_CaptureEngineStats capture_;
  OB_TCPSessionStats session_;
  // What each display shows: the engine's 32-bit counter with the wraps seen between polls
  // added (exact while the counter wraps at most once from one poll to the next), since the
  // engine's start time last changed or connectServer.
  struct Total {
    bool seen = false;
    uint32_t last = 0;  // the counter at the last poll
    uint64_t sum = 0;
  };
  static constexpr size_t kMaxDisplays = 40;
  std::array<Total, kMaxDisplays> totals_{};
  uint32_t startTime_ = 0;
};
