// A connected pair of local stream sockets for tests that play one side of a console exchange:
// the code under test reads and writes on near(), the test feeds the peer's bytes and drains
// what was written.
#pragma once

#include <sys/socket.h>
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
  // The peer's bytes, then the end of its stream. False when they could not all be written.
  bool feed(const std::string& bytes) {
    bool whole = write(ends_[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    shutdown(ends_[1], SHUT_WR);
    return whole;
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
  // Closes the peer, so writes on near fail.
  void hangUp() {
    if (ends_[1] >= 0) close(ends_[1]);
    ends_[1] = -1;
  }

 private:
  int ends_[2] = {-1, -1};
};

}  // namespace corrana_test
