#include "OB_CLFWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "OB_Log.h"
#include "OB_NamedStringList.h"
#include "OB_Options.h"
#include "OB_String.h"
#include "OB_Tools.h"
#include "http/OB_HTTPProtocol.h"

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

bool OB_CLFWriter::appendLine() {
  // The file is ours alone: its end now is where the line begins.
  struct stat status;
  if (fstat(fd_, &status) != 0) return false;
  const int result = OB_Tools::writeWhole(fd_, status.st_size, line_.data(), line_.size());
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
  char time[OB_AccessLogLine::kTimeSize];
  OB_Tools::IPAddressString(http->clientIP, client);
  OB_Tools::IPAddressString(http->serverIP, server);
  OB_AccessLogLine::formatTime(http->connTime, time);

  int result = 0;
  for (int n = 1;; ++n) {
    OB_HTTPXact* xact = http->xactAt(n);
    if (xact == nullptr) break;
    line_.compose(client, server, time, *xact);
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
