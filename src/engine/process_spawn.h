#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vask {

// An owned file descriptor, closed on destruction.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset();

  private:
    int fd_ = -1;
};

// Both ends of a pipe made with O_CLOEXEC, so no other child inherits them by accident.
struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;

    // Throws std::system_error.
    static Pipe make();
};

// Owned, NUL-terminated copies of strings in a null-terminated array, as exec-style calls want.
class CStringArray {
  public:
    explicit CStringArray(const std::vector<std::string>& strings);
    char* const* data() const { return pointers_.data(); }
    std::size_t size() const { return pointers_.size() - 1; }

  private:
    std::vector<std::unique_ptr<char[]>> storage_;
    std::vector<char*> pointers_;
};

CStringArray makeCStringArray(const std::vector<std::string>& strings);

// "NAME=value" entries in ascending order of the name.
std::vector<std::string> environmentBlock(const std::map<std::string, std::string>& environment);

// A small process in a helper's process group that kills the whole group (SIGKILL) once this
// process is gone, however it goes (a kill -9 included): the parent-death signal reaches only the
// helper itself, and what a wrapper script or a command list started would run on with parent 1.
// It waits for the end of a pipe whose writing end only this process holds, ignores the polite
// stops sent to the group, and goes with the group's SIGKILL. end() (or the destructor) ends the
// group, the watcher with it, and reaps the watcher.
class ProcessGroupWatch {
  public:
    ProcessGroupWatch() = default;
    ~ProcessGroupWatch() { end(); }
    ProcessGroupWatch(ProcessGroupWatch&& other) noexcept;
    ProcessGroupWatch& operator=(ProcessGroupWatch&& other) noexcept;
    ProcessGroupWatch(const ProcessGroupWatch&) = delete;
    ProcessGroupWatch& operator=(const ProcessGroupWatch&) = delete;

    // Starts watching the group `group` (a group whose leader has not been reaped yet). Throws
    // std::system_error (fork, or exec of /bin/sh in the watcher).
    static ProcessGroupWatch start(pid_t group);
    // Ends the group and reaps the watcher. Never fails.
    void end() noexcept;

  private:
    pid_t pid_ = -1;
    pid_t group_ = -1;
    FileDescriptor alive_;
};

// Starts `executablePath` (no PATH search) as the leader of a new process group, with the pipes'
// child ends on descriptors 0, 1, 2 and, when given, the event pipe on 3; no other descriptor
// reaches the child. The child starts with no blocked signals and every signal's default action,
// whatever the application has set, and is killed (SIGKILL) when the calling thread ends, the
// application's death included. With `watch`, the group is watched as well (ProcessGroupWatch),
// so that what the child starts ends with the application too; a watch that cannot start ends
// the child and fails the spawn. The parent's copies of the child ends are closed. Throws
// std::system_error with the code of the step that failed (fork, or exec in the child).
pid_t spawnProcessGroup(const std::filesystem::path& executablePath,
                        const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment, Pipe& stdinPipe,
                        Pipe& stdoutPipe, Pipe& stderrPipe, Pipe* eventPipe,
                        ProcessGroupWatch* watch = nullptr);

}  // namespace vask
