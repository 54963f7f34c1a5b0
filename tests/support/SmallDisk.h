// A small tmpfs mounted over a fresh directory for one test, to run code against a full or a
// read-only disk: fill() takes every free block, release() gives them back, readOnly() remounts.
// Mounting needs root and a system that allows it (a container may not); tests skip with why() when
// mounted() is false.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "TempDir.h"

namespace corrana_test {

class SmallDisk {
 public:
  // kilobytes: the file system's size.
  explicit SmallDisk(int kilobytes) {
    const std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0755";
    if (mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      why_ = "cannot mount a small tmpfs to fill (" + std::string(strerror(errno)) +
             "); a full disk is not tried here";
    }
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // Writes a filler file until the file system is full.
  void fill() {
    const int fd = open(file(".filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return;
    const std::string chunk(4096, 'f');
    for (size_t size = chunk.size(); size > 0;) {
      if (write(fd, chunk.data(), size) < 0) size /= 2;  // the last pages' worth, then less
    }
    close(fd);
  }
  // Removes the filler.
  void release() { unlink(file(".filler").c_str()); }
  // Mounts the file system read-only (false: writable again); true when that worked.
  bool readOnly(bool on = true) {
    const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (on ? MS_RDONLY : 0);
    return mounted_ && mount(nullptr, dir_.path().c_str(), nullptr, flags, nullptr) == 0;
  }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace corrana_test
