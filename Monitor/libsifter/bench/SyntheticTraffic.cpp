#include "SyntheticTraffic.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace bench {

namespace {

struct Kind {
  const char* extension;
  const char* mime;
};
// Pages, their images, styles and scripts, and downloads.
const Kind kKinds[] = {{".html", "text/html"},      {".png", "image/png"},
                       {".gif", "image/gif"},       {".css", "text/css"},
                       {".js", "application/javascript"}, {".pdf", "application/pdf"}};
const char* const kAgents[] = {
    "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/115.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 13_5) AppleWebKit/605.1.15 Version/16.6 Safari",
    "curl/7.88.1", "Wget/1.21.3", "Googlebot/2.1 (+http://www.google.com/bot.html)"};
// Most requests come from the site's own pages; a visit begins without a referer or from another
// site.
const char* const kInternalReferers[] = {"http://www.example.com/", "http://www.example.com/news",
                                         "http://www.example.com/section3/item3.html"};
const char* const kExternalReferers[] = {"", "http://search.example.net/q?w=corrana",
                                         "http://news.example.org/today"};

}  // namespace

SyntheticTraffic::SyntheticTraffic(const TrafficShape& shape) : shape_(shape), random_(shape.seed) {
  uris_.reserve(shape.uris);
  cumulative_.reserve(shape.uris);
  double sum = 0;
  for (uint32_t i = 0; i < shape.uris; ++i) {
    const Kind& kind = kKinds[i % (sizeof kKinds / sizeof kKinds[0])];
    uris_.push_back("/section" + std::to_string(i % 97) + "/item" + std::to_string(i) +
                    kind.extension + (i % 11 == 0 ? "?id=" + std::to_string(i * 7) : ""));
    sum += 1.0 / (i + 1);  // Zipf, exponent 1
    cumulative_.push_back(sum);
  }
}

uint32_t SyntheticTraffic::pickUri() {
  std::uniform_real_distribution<double> any(0, cumulative_.back());
  return static_cast<uint32_t>(
      std::lower_bound(cumulative_.begin(), cumulative_.end(), any(random_)) -
      cumulative_.begin());
}

bool SyntheticTraffic::next(OB_HTTPProtocol* protocol) {
  if (made_ >= shape_.transactions) return false;
  std::uniform_int_distribution<uint32_t> client(0, shape_.clients - 1);
  std::uniform_int_distribution<uint32_t> requests(1, 6);
  std::uniform_int_distribution<uint32_t> percent(0, 99);
  const uint32_t who = client(random_);
  protocol->connTime = shape_.start + static_cast<uint32_t>(made_ * shape_.span / shape_.transactions);
  protocol->clientIP = 0x0A010000u + (who / 250) * 256 + who % 250 + 1;  // 10.1.x.y
  protocol->serverIP = who % 3 == 0 ? kServerB : kServerA;
  protocol->serverPort = 80;
  protocol->serverRespTime = 1000 + static_cast<int32_t>(percent(random_)) * 50;
  protocol->networkRespTime = 200 + static_cast<int32_t>(percent(random_)) * 10;
  const char* agent = kAgents[who % (sizeof kAgents / sizeof kAgents[0])];
  const uint32_t count = std::min<uint64_t>(requests(random_), shape_.transactions - made_);
  for (uint32_t i = 0; i < count; ++i) {
    auto* xact = obQuery<OB_HTTPXact>(protocol->addXLink());
    if (xact == nullptr) break;
    const uint32_t uri = pickUri();
    const Kind& kind = kKinds[uri % (sizeof kKinds / sizeof kKinds[0])];
    const uint32_t roll = percent(random_);
    xact->req_method = roll < 90 ? "GET" : roll < 97 ? "POST" : "HEAD";
    xact->req_request_uri = uris_[uri].c_str();
    xact->req_http_vers = "1.1";
    xact->req_host = "www.example.com";
    const uint32_t from = percent(random_);
    xact->req_referer = from < 75 ? kInternalReferers[from % 3] : kExternalReferers[from % 3];
    xact->req_user_agent = agent;
    const uint32_t status = percent(random_);
    xact->res_http_vers = "1.1";
    xact->res_status_code = status < 85 ? "200" : status < 93 ? "304" : status < 98 ? "404" : "500";
    xact->res_content_type = kind.mime;
    xact->res_bytes = static_cast<int32_t>(200 + (uri * 37) % 50000);
    ++protocol->commRespCount;
    ++protocol->respCount;
    ++made_;
  }
  return true;
}

void SyntheticTraffic::writeCommonLog(FILE* out, OB_HTTPProtocol* protocol, OB_HTTPXact* xact) {
  const time_t when = protocol->connTime;
  struct tm parts;
  gmtime_r(&when, &parts);
  char stamp[64];
  strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S +0000", &parts);
  const uint32_t ip = protocol->clientIP;
  fprintf(out, "%u.%u.%u.%u - - [%s] \"%s %s HTTP/%s\" %s %d\n", ip >> 24, (ip >> 16) & 255,
          (ip >> 8) & 255, ip & 255, stamp, xact->req_method.c_str(),
          xact->req_request_uri.c_str(), xact->req_http_vers.c_str(),
          xact->res_status_code.c_str(), xact->res_bytes);
}

}  // namespace bench
