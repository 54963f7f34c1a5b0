// A scratch install directory for tests that run a whole engine or the monitor service: the
// admin folder with the configuration files the project ships (Monitor/conf/admin) and the
// protocol-spec tree the build wrote, empty logs and db folders, named by OB_INSTALLDIR while
// the object lives. Tests then put their own ports, passwords, adapters and options in.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "TempDir.h"

namespace corrana_test {

class InstallTree {
 public:
  InstallTree() {
    namespace fs = std::filesystem;
    fs::create_directories(admin(""));
    fs::create_directories(dir_.file("logs"));
    fs::create_directories(db());
    for (const auto& entry : fs::directory_iterator(std::string(CORRANA_SOURCE_DIR) +
                                                    "/Monitor/conf/admin"))
      fs::copy_file(entry.path(), admin(entry.path().filename().string()));
    // The tree the build writes beside the programs: <build>/Monitor/conf/admin/PSpc.bin, two
    // folders up from a test program.
    fs::path spec = fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                    "conf/admin/PSpc.bin";
    if (fs::exists(spec)) fs::copy_file(spec, admin("PSpc.bin"));
    setenv("OB_INSTALLDIR", dir_.path().c_str(), 1);
  }
  ~InstallTree() { unsetenv("OB_INSTALLDIR"); }
  InstallTree(const InstallTree&) = delete;
  InstallTree& operator=(const InstallTree&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string admin(const std::string& name) const { return dir_.path() + "/admin/" + name; }
  std::string db() const { return dir_.path() + "/db"; }
  std::string log(const std::string& program) const {
    return read(dir_.path() + "/logs/" + program + ".log");
  }

  void write(const std::string& adminFile, const std::string& text) const {
    std::ofstream(admin(adminFile), std::ios::binary) << text;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string readAdmin(const std::string& adminFile) const { return read(admin(adminFile)); }

  // The capture engine's console port and root password (both private files), and its adapter:
  // a savefile to replay.
  void captureEngine(int port, const std::string& password, const std::string& trace) const {
    for (const char* name : {"cengine_prvt.cfg", "cengine_prvtDef.cfg"})
      write(name, std::regex_replace(readAdmin(name), std::regex("password\\{\\}"),
                                     "password{" + password + "}"));
    write("cengineInstall.cfg", "port " + std::to_string(port) + "\ndevice 0\ndbpath default\n");
    write("adapters.cfg", "adapter: file:" + trace + "\n");
  }
  // The analysis engine's console port.
  void analysisPort(int port) const {
    write("aengineInstall.cfg", "port " + std::to_string(port) + "\ndbpath default\n");
  }

 private:
  TempDir dir_;
};

}  // namespace corrana_test
