// The HTTP analyser's part of a parse carry (OB_ParseCarry::protocol): what the parse of one
// piece of a connection cut at the byte limit leaves the next piece beyond the shared fields,
// among them the transactions that piece records. Made and read by OB_HTTPProtocol only, on the
// stream builder's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "http/OB_HTTPXact.h"
#include "tcp/OB_TCPSession.h"

struct OB_HTTPCarry : OB_ProtocolCarry {
  // Per direction (0 client, 1 server), where the shared carry knows the next message's place:
  // that place is inside a chunked body, where a chunk-size line begins, or (afterData) the
  // line end that closes a chunk's data.
  bool chunked[2] = {false, false};
  bool afterData[2] = {false, false};
  // The place is inside the trailer that follows a chunked body's last chunk: the next piece
  // reads on to the trailer's empty line, which ends the body.
  bool trailer[2] = {false, false};
  // The client has shown pipelining in an earlier piece (see OB_HTTPProtocol).
  bool pipelined = false;
  // The earlier piece's requests still without a response where it ended between responses
  // or inside one's head, in order (at most kAwaitingLimit): the next piece records them
  // first, so that the responses it holds pair with them by order.
  static constexpr size_t kAwaitingLimit = 64;
  std::vector<std::shared_ptr<OB_HTTPXact>> awaiting;
  // A transaction whose chunked response body goes on past the earlier piece: that piece left
  // it out of its record, and the piece where the body ends records it with the whole body's
  // bytes (res_bytes: those counted so far).
  std::shared_ptr<OB_HTTPXact> inFlight;

  // The HTTP part of carry, made when it has none (null only when no memory is left).
  static OB_HTTPCarry* of(OB_ParseCarry& carry);
  // The HTTP part of carry, or null when it has none.
  static const OB_HTTPCarry* in(const OB_ParseCarry& carry);
};
