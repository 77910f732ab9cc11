#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"

namespace vask {

// What the page drawing program shuts itself into once it has read its input and before poppler
// parses a byte of it, so that a PDF that takes the drawing over holds nothing of the user's:
//
// - fontconfig's configuration and caches are loaded first (poppler finds the fonts a page names
//   but does not embed through it);
// - no new privileges, and no longer dumpable (no core file, no /proc/<pid>/mem for others);
// - Landlock: every file-system right the kernel knows is handled, and only reading beneath
//   the font folders and font caches fontconfig uses and poppler's data folder is allowed; TCP
//   binding and connecting, abstract Unix sockets and signals to processes outside are refused
//   where the kernel's Landlock has them (ABI 4 and 6);
// - seccomp: an allow-list of the calls drawing needs, whose default ends the process. `openat`
//   only reads, `mmap` and `mprotect` never make memory executable, `tgkill` reaches only this
//   process and `readlink` fails with EPERM. No socket, exec, fork, kill or ptrace, whatever the
//   Landlock ABI.
//
// A kernel without Landlock (before 5.13, or not enabled) gets no drawing: seccomp alone leaves
// every readable file readable.
class DrawerConfinement {
  public:
    // The confinement could not be put in place; the drawing program draws nothing.
    class Error : public vask::Error {
      public:
        explicit Error(const std::string& message) : vask::Error(message) {}
    };
    // The kernel offers no Landlock (or a ceiling below 1 was asked for).
    class NoLandlock : public Error {
      public:
        NoLandlock()
            : Error(
                  "this system's kernel offers no Landlock, without which the page drawing "
                  "program cannot keep a PDF from reading the user's files") {}
    };

    // Loads fontconfig's configuration and caches, once; released at exit. Throws Error.
    static void loadFonts();

    // The folders read beneath once confined, after fontconfig is loaded: those that exist.
    static std::vector<std::filesystem::path> readableFolders();

    // Confines the calling process, which must have one thread. `abiCeiling` caps the Landlock
    // ABI used, so that tests take the paths of older kernels (negative: no cap). Returns the
    // ABI used. Throws Error.
    static int apply(int abiCeiling = -1);
};

}  // namespace vask
