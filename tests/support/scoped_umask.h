#pragma once

#include <sys/stat.h>

namespace vask::test {

// A permissive umask (022: files others may read) for one scope, so that a test sees the modes
// the code sets rather than the ones the runner's umask happens to give.
class PermissiveUmask {
  public:
    PermissiveUmask() : old_(::umask(022)) {}
    ~PermissiveUmask() { ::umask(old_); }
    PermissiveUmask(const PermissiveUmask&) = delete;
    PermissiveUmask& operator=(const PermissiveUmask&) = delete;

  private:
    mode_t old_;
};

}  // namespace vask::test
