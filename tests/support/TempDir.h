// A fresh directory under $TMPDIR (or /tmp) for one test, removed with everything in it when the
// object goes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace corrana_test {

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/corrana-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace corrana_test
