// The console's side of the command protocol for tests of the command servers: the request
// frame (request line, second line, header end, binary request in the socket encoding), the
// reply texts, and a loopback client that sends a request and reads the reply to its end.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace corrana_test {

// Fields in the socket encoding, as the console writes them.
inline std::string wireU32(uint32_t v) {  // 8 bytes, value in the low half
  return std::string(4, '\0') + char(v >> 24) + char(v >> 16) + char(v >> 8) + char(v);
}
inline std::string wireS32(int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  return std::string() + char(v >> 24) + char(v >> 16) + char(v >> 8) + char(v);
}
inline std::string wireU16(uint16_t v) { return std::string(2, '\0') + char(v >> 8) + char(v); }
inline std::string wireU8(uint8_t v) { return std::string(1, '\0') + char(v); }
inline std::string wireLine(const std::string& text) { return text + "\n"; }

// The HTTP part of a request the way the console sends it.
inline std::string requestHeader(const std::string& path = "/controlReq.cgi") {
  return "POST " + path + " HTTP/1.0\n" + "\n" + "\r\r\r\r";
}

struct ConsoleRequest {
  int32_t command = 20;
  std::string user = "root";
  std::string password = "secret";
  uint32_t version = 7;
  uint32_t key = 0;

  std::string binary() const {
    return wireS32(command) + wireLine(user) + wireLine(password) + wireU32(version) +
           wireU32(key);
  }
  std::string frame() const { return requestHeader() + binary(); }
};

// The reply texts.
inline std::string binaryReplyHead(
    const std::string& server = "Server: Ambervolte Capture Engine\r\n") {
  return "HTTP/1.1 200 OK\r\n" + server + "Content-Type: application/octet-stream\r\n\r\n";
}
inline std::string successReply(const std::string& payload,
                                const std::string& server = "Server: Ambervolte Capture Engine\r\n") {
  return binaryReplyHead(server) + wireU8(1) + "OK\n" + payload;
}
inline std::string failureReply(const std::string& text,
                                const std::string& server = "Server: Ambervolte Capture Engine\r\n") {
  return binaryReplyHead(server) + wireU8(0) + text;
}
inline std::string noticeReply(const std::string& server = "") {
  return "HTTP/1.1 200 OK\r\n" + server + "Content-Type: text/plain\r\n\r\n" +
         "Ambervolte Network Monitor\nUse Corrana Client Console\n";
}

// A TCP port nobody listens on now.
inline int freePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(s, reinterpret_cast<struct sockaddr*>(&address), &size);
  close(s);
  return ntohs(address.sin_port);
}

// A connected loopback socket to port, or -1.
inline int connectLoopback(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Everything the peer sends until it closes (or resets) the connection.
inline std::string readToEnd(int s) {
  std::string reply;
  char chunk[4096];
  ssize_t got;
  while ((got = recv(s, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, static_cast<size_t>(got));
  return reply;
}

// Sends the bytes, ends the sending side and reads the whole reply.
inline std::string requestReply(int port, const std::string& bytes) {
  int s = connectLoopback(port);
  if (s < 0) return "<no connection>";
  send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  shutdown(s, SHUT_WR);
  std::string reply = readToEnd(s);
  close(s);
  return reply;
}

}  // namespace corrana_test
