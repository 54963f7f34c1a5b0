// Helpers for the configuration-record tests: the console's field encodings, a socket pair that
// plays the console, records written to and read from text, and a child process that must end
// through OB_Log::quit with a given message.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "OB_Log.h"
#include "FileText.h"
#include "OB_Object.h"
#include "SocketPair.h"
#include "TempDir.h"

namespace sifter_test {

constexpr uint32_t ip(int a, int b, int c, int d) {
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
         (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d);
}

// The socket encoding's fields. The engine writes a flag as a UInt8 (two bytes) and reads it
// as one byte, as the console sends it.
inline std::string u16(uint16_t v) { return std::string(2, '\0') + char(v >> 8) + char(v); }
inline std::string u8(uint8_t v) { return std::string(1, '\0') + char(v); }
inline std::string flagIn(uint8_t v) { return std::string(1, char(v)); }
inline std::string line(const std::string& text) { return text + "\n"; }

// The console's side of a socket pair (tests/support).
using corrana_test::SocketPair;

inline std::string writeText(OB_Object* record) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buffer, &size);
  EXPECT_EQ(record->write(f), 0);
  fclose(f);
  std::string text(buffer, size);
  free(buffer);
  return text;
}

// Reads record from text; returns read's result and what is left unread.
inline int readText(OB_Object* record, const std::string& text, std::string* rest = nullptr) {
  std::string copy = text;
  FILE* f = fmemopen(copy.data(), copy.size(), "r");
  int result = record->read(f);
  if (rest != nullptr) {
    rest->clear();
    int c;
    while ((c = getc(f)) != EOF) rest->push_back(static_cast<char>(c));
  }
  fclose(f);
  return result;
}

// A scratch install directory with a logs folder, for the process log of quit tests.
class QuitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() + "/logs");
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override { OB_Log::reset(); }

  std::string logPath() const { return dir_.path() + "/logs/sifter.log"; }
  // Opens the process log afresh (empty) in this process.
  void startLog() {
    OB_Log::reset();
    unlink(logPath().c_str());
    OB_Log::init("sifter", 0, nullptr);
  }
  std::string logText() const { return corrana_test::readFile(logPath()); }

  // Runs body in a child that must end with status 1 after logging text.
  void expectQuit(const std::function<void()>& body, const std::string& text) {
    std::string log = logPath();
    OB_Log::reset();
    unlink(log.c_str());
    EXPECT_EXIT(
        {
          OB_Log::init("sifter", 0, nullptr);
          body();
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_NE(logText().find(text), std::string::npos) << "log: " << logText();
  }

  corrana_test::TempDir dir_;
};

}  // namespace sifter_test
