// One HTTP request with the response paired to it, in fixed-width text fields and two byte
// counts. The HTTP analyser fills it (request half, then response half) inside its protocol
// object's chain; the archive stores it after the protocol record; the analysis engine reads it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "coding/OB_TextField.h"
#include "records/OB_Xact.h"

class OB_HTTPXact : public virtual OB_Xact {
  OB_CLASS_IDENTITY(OB_HTTPXact, 0x393DB021, "OB_HTTPXact", OB_Xact)
  OB_CLASS_CREATE(OB_HTTPXact)

 public:
  OB_HTTPXact() = default;
  ~OB_HTTPXact() override = default;

  // 1 when the transaction is the first page of a visit: no referer and a content type, or a
  // referer that does not name this host and a content type. Lower-cases req_host in place.
  virtual int isEntryPoint();
  // Copies all fifteen fields into dest (its chain links are not touched).
  virtual void copy(OB_HTTPXact* dest);
  // True when res_bytes and the status texts are equal.
  virtual bool dupResponse(OB_HTTPXact* other);
  // Empties the response half; the request half stays.
  virtual int resetResponse();
  // True when the request URIs are equal, byte for byte.
  virtual bool dupRequest(OB_HTTPXact* other);

  // Empties every text and zeroes both counts. 0.
  int reset() override;
  int print(FILE* stream) override;
  // The transaction record: the texts as 16-bit length and bytes, the counts as 4 bytes, all
  // little-endian, in field order. -1 at the first item not fully written.
  int write(FILE* stream) override;
  // -1 at the first short read or text longer than its field; fields read so far keep their
  // new values, the rest their old ones.
  int read(FILE* stream) override;
  // The same from bytes in memory (OB_Data::readBytes).
  int readBytes(OB_ArchiveBytes& bytes) override;
  // Transactions have no order of their own.
  int compare(OB_Compare* /*other*/, int /*how*/) override { return 0; }

  // A byte count whose body ran into bytes never captured: its size cannot be known. Stored as
  // is in the record; the access log writes it as "-", and no byte figure adds it.
  static constexpr int32_t kUnknownBytes = -1;

  OB_TextField<16> req_method;
  OB_TextField<1024> req_request_uri;
  OB_TextField<5> req_http_vers;
  OB_TextField<1024> req_host;
  OB_TextField<1024> req_referer;
  OB_TextField<256> req_user_agent;
  OB_TextField<256> req_content_type;
  int32_t req_bytes = 0;
  OB_TextField<1024> req_cookie;
  OB_TextField<5> res_http_vers;
  OB_TextField<5> res_status_code;
  OB_TextField<512> res_reason_phrase;
  OB_TextField<256> res_content_type;
  int32_t res_bytes = 0;
  OB_TextField<1024> res_cookie;

  using OB_Object::copy;
};
