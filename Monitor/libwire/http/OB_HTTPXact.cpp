#include "http/OB_HTTPXact.h"

#include "OB_Log.h"
#include "OB_Tools.h"
#include "coding/OB_ArchiveIO.h"

int OB_HTTPXact::isEntryPoint() {
  return OB_Tools::isEntryPoint(req_host.data(), req_referer.c_str(), res_content_type.c_str());
}

void OB_HTTPXact::copy(OB_HTTPXact* dest) {
  if (dest == nullptr || dest == this) return;
  dest->req_method = req_method;
  dest->req_request_uri = req_request_uri;
  dest->req_http_vers = req_http_vers;
  dest->req_host = req_host;
  dest->req_referer = req_referer;
  dest->req_user_agent = req_user_agent;
  dest->req_content_type = req_content_type;
  dest->req_bytes = req_bytes;
  dest->req_cookie = req_cookie;
  dest->res_http_vers = res_http_vers;
  dest->res_status_code = res_status_code;
  dest->res_reason_phrase = res_reason_phrase;
  dest->res_content_type = res_content_type;
  dest->res_bytes = res_bytes;
  dest->res_cookie = res_cookie;
}

bool OB_HTTPXact::dupResponse(OB_HTTPXact* other) {
  if (other == nullptr || res_bytes != other->res_bytes) return false;
  return res_status_code.equals(other->res_status_code.c_str());
}

bool OB_HTTPXact::dupRequest(OB_HTTPXact* other) {
  return other != nullptr && req_request_uri.equals(other->req_request_uri.c_str());
}

int OB_HTTPXact::resetResponse() {
  res_http_vers.clear();
  res_status_code.clear();
  res_reason_phrase.clear();
  res_content_type.clear();
  res_bytes = 0;
  res_cookie.clear();
  return 0;
}

int OB_HTTPXact::reset() {
  req_method.clear();
  req_request_uri.clear();
  req_http_vers.clear();
  req_host.clear();
  req_referer.clear();
  req_user_agent.clear();
  req_content_type.clear();
  req_bytes = 0;
  req_cookie.clear();
  resetResponse();
  return 0;
}

int OB_HTTPXact::print(FILE* stream) {
  OB_Log::flog(stream, "Request:\n");
  OB_Log::flog(stream, "  req_method         = %s\n", req_method.c_str());
  OB_Log::flog(stream, "  req_request_uri    = %s\n", req_request_uri.c_str());
  OB_Log::flog(stream, "  req_http_vers      = %s\n", req_http_vers.c_str());
  OB_Log::flog(stream, "  req_host           = %s\n", req_host.c_str());
  OB_Log::flog(stream, "  req_referer        = %s\n", req_referer.c_str());
  OB_Log::flog(stream, "  req_user_agent     = %s\n", req_user_agent.c_str());
  OB_Log::flog(stream, "  req_content_type   = %s\n", req_content_type.c_str());
  OB_Log::flog(stream, "  req_bytes          = %d\n", req_bytes);
  OB_Log::flog(stream, "  req_cookie         = %s\n", req_cookie.c_str());
  OB_Log::flog(stream, "Response:\n");
  OB_Log::flog(stream, "  res_http_vers      = %s\n", res_http_vers.c_str());
  OB_Log::flog(stream, "  res_status_code    = %s\n", res_status_code.c_str());
  OB_Log::flog(stream, "  res_reason_phrase  = %s\n", res_reason_phrase.c_str());
  OB_Log::flog(stream, "  res_content_type   = %s\n", res_content_type.c_str());
  OB_Log::flog(stream, "  res_bytes          = %d\n", res_bytes);
  OB_Log::flog(stream, "  res_cookie         = %s\n", res_cookie.c_str());
  OB_Log::flog(stream, "----------------------\n");
  return 0;
}

int OB_HTTPXact::write(FILE* stream) {
  if (req_method.write(stream) != 0) return -1;
  if (req_request_uri.write(stream) != 0) return -1;
  if (req_http_vers.write(stream) != 0) return -1;
  if (req_host.write(stream) != 0) return -1;
  if (req_referer.write(stream) != 0) return -1;
  if (req_user_agent.write(stream) != 0) return -1;
  if (req_content_type.write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, req_bytes) != 0) return -1;
  if (req_cookie.write(stream) != 0) return -1;
  if (res_http_vers.write(stream) != 0) return -1;
  if (res_status_code.write(stream) != 0) return -1;
  if (res_reason_phrase.write(stream) != 0) return -1;
  if (res_content_type.write(stream) != 0) return -1;
  if (OB_ArchiveIO::writeI32(stream, res_bytes) != 0) return -1;
  if (res_cookie.write(stream) != 0) return -1;
  return 0;
}

int OB_HTTPXact::read(FILE* stream) {
  if (req_method.read(stream) != 0) return -1;
  if (req_request_uri.read(stream) != 0) return -1;
  if (req_http_vers.read(stream) != 0) return -1;
  if (req_host.read(stream) != 0) return -1;
  if (req_referer.read(stream) != 0) return -1;
  if (req_user_agent.read(stream) != 0) return -1;
  if (req_content_type.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &req_bytes) != 0) return -1;
  if (req_cookie.read(stream) != 0) return -1;
  if (res_http_vers.read(stream) != 0) return -1;
  if (res_status_code.read(stream) != 0) return -1;
  if (res_reason_phrase.read(stream) != 0) return -1;
  if (res_content_type.read(stream) != 0) return -1;
  if (OB_ArchiveIO::readI32(stream, &res_bytes) != 0) return -1;
  if (res_cookie.read(stream) != 0) return -1;
  return 0;
}

int OB_HTTPXact::readBytes(OB_ArchiveBytes& bytes) {
  int result = 0;
  auto text = [&bytes, &result](auto& field) { return (result = field.read(bytes)) == 0; };
  auto count = [&bytes, &result](int32_t* value) {
    result = bytes.getI32(value) ? 0 : OB_ArchiveBytes::kShort;
    return result == 0;
  };
  if (text(req_method) && text(req_request_uri) && text(req_http_vers) && text(req_host) &&
      text(req_referer) && text(req_user_agent) && text(req_content_type) && count(&req_bytes) &&
      text(req_cookie) && text(res_http_vers) && text(res_status_code) &&
      text(res_reason_phrase) && text(res_content_type) && count(&res_bytes))
    text(res_cookie);
  return result;
}
