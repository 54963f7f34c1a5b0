#include "OB_CLFWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "OB_HTTPProtocol.h"
#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "OB_Tools.h"

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

OB_CLFWriter::OB_CLFWriter() {
  OB_NamedStringList* options = getOptions();
  if (options == nullptr) return;
  OB_String* name = options->find("CommonLogFile");
  if (name == nullptr) return;
  path_ = std::string(OB_Tools::getInstallDir()) + "/logs/" + static_cast<const char*>(*name);
  fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    OB_Log::log("OB_CLFWriter: can't open the common log file %s %s\n", path_.c_str(),
                OB_Log::sys_err_str());
  }
}

OB_CLFWriter::~OB_CLFWriter() {
  if (fd_ >= 0) ::close(fd_);
}

int OB_CLFWriter::isOpen() {
  std::lock_guard<std::mutex> hold(lock_);
  return fd_ >= 0 ? 1 : 0;
}

uint64_t OB_CLFWriter::getDroppedCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return dropped_;
}

void OB_CLFWriter::formatTime(uint32_t seconds, char* out) {
  const time_t when = static_cast<time_t>(seconds);
  struct tm local;
  long offset = 0;
  if (localtime_r(&when, &local) != nullptr) {
    offset = local.tm_gmtoff;
  } else {
    gmtime_r(&when, &local);
  }
  // The zone is the one the time was converted to, so a reader can place the line in UTC.
  const char sign = offset < 0 ? '-' : '+';
  const unsigned minutes = static_cast<unsigned>((offset < 0 ? -offset : offset) / 60);
  // Every field is bounded to its printed width (a 32-bit time ends in the year 2106).
  auto two = [](int value) { return static_cast<unsigned>(value) % 100u; };
  snprintf(out, kTimeSize, "[%02u/%s/%04u:%02u:%02u:%02u %c%02u%02u]", two(local.tm_mday),
           kMonths[static_cast<unsigned>(local.tm_mon) % 12u],
           static_cast<unsigned>(local.tm_year + 1900) % 10000u, two(local.tm_hour),
           two(local.tm_min), two(local.tm_sec), sign, (minutes / 60u) % 100u, minutes % 60u);
}

void OB_CLFWriter::append(const char* text) {
  const size_t n = std::strlen(text);
  const size_t room = kLineCapacity - lineLength_;
  const size_t taken = n < room ? n : room;
  std::memcpy(line_ + lineLength_, text, taken);
  lineLength_ += taken;
}

void OB_CLFWriter::appendEscaped(const char* text, size_t maxLength) {
  lineLength_ +=
      OB_Tools::escapeControls(text, maxLength, line_ + lineLength_, kLineCapacity - lineLength_);
}

void OB_CLFWriter::composeLine(const char* client, const char* server, const char* time,
                               OB_HTTPXact* xact) {
  lineLength_ = 0;
  // "client  - server": the address pair is the ident and user fields of an access log.
  append(client);
  append(" ");
  append(" - ");
  append(server);
  append(" ");
  append(time);
  append(" \"");
  appendField(xact->req_method);
  append(" ");
  appendField(xact->req_request_uri);
  append(" HTTP/");
  appendField(xact->req_http_vers);
  append("\" ");
  // A transaction that got no response is logged as a server error.
  if (xact->res_status_code.empty()) {
    append("500");
  } else {
    appendField(xact->res_status_code);
  }
  append(" ");
  char bytes[16];
  snprintf(bytes, sizeof bytes, "%d ", static_cast<int>(xact->res_bytes));
  append(bytes);
  appendField(xact->req_referer);
  append(" ");
  appendField(xact->req_user_agent);
  append(" \n");
}

bool OB_CLFWriter::appendLine() {
  // The file is ours alone: its end now is where the line begins.
  struct stat status;
  if (fstat(fd_, &status) != 0) return false;
  const int result = OB_Tools::writeWhole(fd_, status.st_size, line_, lineLength_);
  if (result == 0) return true;
  const int error = errno;
  if (result == -2)
    OB_Log::log("OB_CLFWriter: can't take a cut line back out of %s %s\n", path_.c_str(),
                OB_Log::sys_err_str());
  errno = error;
  return false;
}

int OB_CLFWriter::processObject(OB_Object* object) {
  if (object == nullptr) return 0;
  OB_HTTPProtocol* http = obQuery<OB_HTTPProtocol>(object);
  if (http == nullptr) return 0;

  std::lock_guard<std::mutex> hold(lock_);
  if (fd_ < 0) return 0;

  // Every line of a connection carries the connection's addresses and time.
  char client[16];
  char server[16];
  char time[kTimeSize];
  OB_Tools::IPAddressString(http->clientIP, client);
  OB_Tools::IPAddressString(http->serverIP, server);
  formatTime(http->connTime, time);

  int result = 0;
  for (int n = 1;; ++n) {
    OB_HTTPXact* xact = http->xactAt(n);
    if (xact == nullptr) break;
    composeLine(client, server, time, xact);
    if (appendLine()) {
      if (failing_)
        OB_Log::log("OB_CLFWriter: writing the common log file %s again; %llu lines were lost\n",
                    path_.c_str(), static_cast<unsigned long long>(droppedRun_));
      failing_ = false;
      droppedRun_ = 0;
      continue;
    }
    // The next line may fit (the disk may have room by then): each is tried.
    const int error = errno;
    ++dropped_;
    ++droppedRun_;
    if (!failing_)
      OB_Log::log(
          "OB_CLFWriter: write to the common log file %s failed (%s, errno = %d); lines "
          "are dropped and counted until a write succeeds\n",
          path_.c_str(), strerror(error), error);
    failing_ = true;
    result = -1;
  }
  return result;
}
