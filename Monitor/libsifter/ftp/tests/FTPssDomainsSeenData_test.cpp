// How the FTP servers' domain module classifies a client's host name.
#include "ftp/FTPssDomainsSeenData.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FTPssDomainsSeenData, ClassifiesNamesByLettersAndDots) {
  struct Case {
    const char* host;
    int status;
    const char* domain;
  } cases[] = {
      {"alpha.beta.GAMMA", kFTPResolved, "gamma"},
      {"host.", kFTPResolved, ""},
      {"10.0.0.1", kFTPUnresolved, ""},
      {"", kFTPUnresolved, ""},
      {nullptr, kFTPUnresolved, ""},
      {"gateway", kFTPNoDomain, ""},
      {"a", kFTPNoDomain, ""},
      {".com", kFTPNoDomain, ""},
  };
  for (const Case& c : cases) {
    char domain[8] = "x";
    EXPECT_EQ(FTPssDomainsSeenData_getDomain(c.host, domain, sizeof domain), c.status)
        << (c.host != nullptr ? c.host : "(null)");
    EXPECT_STREQ(domain, c.domain);
  }
  // A long domain is cut to the buffer.
  char small[4];
  EXPECT_EQ(FTPssDomainsSeenData_getDomain("x.abcdef", small, sizeof small), kFTPResolved);
  EXPECT_STREQ(small, "abc");
}

}  // namespace
