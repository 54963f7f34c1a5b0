// A connected pair of local stream sockets for tests that play one side of a console exchange:
// the code under test reads and writes on near(), the test feeds the peer's bytes and drains
// what was written. Test-side writes go to far() and the code under test's writes arrive there.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace corrana_test {

class SocketPair {
 public:
  SocketPair() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) != 0) ends_[0] = ends_[1] = -1;
  }
  ~SocketPair() {
    if (ends_[0] >= 0) close(ends_[0]);
    if (ends_[1] >= 0) close(ends_[1]);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  bool ok() const { return ends_[0] >= 0; }
  int near() const { return ends_[0]; }
  int far() const { return ends_[1]; }
  // The peer's bytes, its stream left open for more. False when they could not all be written.
  bool send(const std::string& bytes) {
    return write(ends_[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // The peer's bytes, then the end of its stream. False when they could not all be written.
  bool feed(const std::string& bytes) {
    bool whole = send(bytes);
    shutdown(ends_[1], SHUT_WR);
    return whole;
  }
  // What near has written so far, taken without waiting; near stays open for more.
  std::string sent() {
    std::string out;
    char chunk[4096];
    ssize_t got;
    while ((got = recv(ends_[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
      out.append(chunk, static_cast<size_t>(got));
    return out;
  }
  // Everything written on near so far; near can write no more afterwards.
  std::string drain() {
    shutdown(ends_[0], SHUT_WR);
    std::string out;
    char chunk[4096];
    ssize_t got;
    while ((got = read(ends_[1], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(got));
    return out;
  }
  // Closes the peer, so writes on near fail and reads on near see the end.
  void hangUp() {
    if (ends_[1] >= 0) close(ends_[1]);
    ends_[1] = -1;
  }
  // Closes near, as the code under test would when it is done.
  void closeNear() {
    if (ends_[0] >= 0) close(ends_[0]);
    ends_[0] = -1;
  }

 private:
  int ends_[2] = {-1, -1};
};

}  // namespace corrana_test
