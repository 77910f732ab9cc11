#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace vask {

// Both ends of a pipe made with O_CLOEXEC, so that no other child inherits them by accident.
struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;

    // Throws std::system_error.
    static Pipe make();
};

// Whether a child is kept from the environment variable `name`: the application's secrets,
// which only the application knows.
using WithheldVariables = std::function<bool(std::string_view name)>;

class ProcessGroupWatch;

// How a child program starts. A child gets what is named here and nothing else of this
// process: no descriptor beyond the ones named (whatever a library opened without O_CLOEXEC
// included), no blocked signal, every signal's default action, and its own working folder.
// Between fork and exec the child does nothing that waits before it has closed every descriptor
// of this process that it is not given.
struct ChildSpawn {
    // Run as given; a bare name is looked up in this process's PATH only with `searchPath`.
    std::filesystem::path program;
    bool searchPath = false;
    // After the program's own name.
    std::vector<std::string> arguments;
    // The child's whole environment, "NAME=value" each, but for the variables `withheld` names.
    std::vector<std::string> environment;
    // What the child never gets, whatever `environment` holds; nothing without it.
    WithheldVariables withheld;
    // The descriptors put on 0, 1 and 2; -1 is /dev/null.
    std::array<int, 3> standard{-1, -1, -1};
    // Further descriptors, put on 3, 4, ... in this order (at most four).
    std::vector<int> passed;
    std::filesystem::path workingFolder = "/";
    // A process group of its own, led by the child, so that one signal reaches what it starts.
    bool ownProcessGroup = false;
    // Killed (SIGKILL) when the thread that starts it ends, this process's death included.
    bool diesWithStarter = false;
    // With `ownProcessGroup`: the group is watched (ProcessGroupWatch, given back here) before
    // the child runs anything, so that what it starts ends with this process too. A watch that
    // cannot start fails the spawn.
    ProcessGroupWatch* groupWatch = nullptr;
    // Called with the child's pid while the child waits for its group's watch (for tests: what
    // a child that dies before it runs the program does to the spawn).
    std::function<void(pid_t)> whileHeld;
    // With a keeper (ChildProcess::Descendants::ended): the child is the first process of a PID
    // namespace of its own where the kernel allows one (see ChildProcess), else it runs as
    // without.
    bool ownPidNamespace = false;
    // Called in a keeper once it started the child, while it still holds its copy of the
    // start's report (for tests: what a keeper stopped at that moment does to the start).
    std::function<void()> whileKeeperStarts;
};

// Starts the child and returns its pid (the caller reaps it). Throws std::system_error with the
// reason the program could not be started (not found, not executable, a child that died
// before it ran the program, ...); such a child is reaped here.
pid_t spawnChild(const ChildSpawn& spawn);

// "NAME=value" entries in ascending order of the name.
std::vector<std::string> environmentBlock(const std::map<std::string, std::string>& environment);

// A small process that kills a child's whole process group (SIGKILL) once this process is gone,
// however it goes (a kill -9 included): the parent-death signal reaches only the child itself,
// and what a wrapper script or a command list started would run on with parent 1. It waits for
// the end of a pipe whose writing end only this process holds. It runs in a session of its own,
// so that nothing the group's members send to their group (a kill 0, SIGKILL included) reaches
// it, ignores and blocks every signal it can (32 and 33, which glibc keeps for itself, and
// SIGCHLD, which the shell catches whatever it is given, included), and is woken by this
// process's end should it be stopped. The kernel wakes it that way once: a process that stops
// it again and again (its pid is in /proc for any process of the user) keeps it from ending the
// group once this process is gone, and that is out of reach. end() (or the destructor) ends the
// watcher and the group and reaps the watcher: call it before the group's leader is reaped,
// while the group's id cannot be another's.
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
    UniqueFd alive_;
};

// A started child that its owner waits for with a deadline and a stop: a descriptor readable
// once it ended is polled beside whatever else the owner waits on. However the owner stops
// waiting, the child is killed (with its process group when it leads one) and reaped, so nothing
// a child does (closing its output and sleeping, say) can hold a worker or a quit.
//
// With `Descendants::ended`, nothing the child starts outlives the owner's wait either: the child
// runs under a keeper, a process of Vask's own that is a child subreaper (PR_SET_CHILD_SUBREAPER)
// and has no other child. Every process the child starts, and every one those start, is then a
// descendant of the keeper: while its parent lives it is reached through that parent, and once
// orphaned (a daemon in a session of its own, say) the kernel hands it to the nearest subreaper
// above it, which is the keeper. A process that was running before the child, or that Vask or
// any of its other children started, is never the keeper's descendant, so the keeper never
// signals it. The keeper tells the child's end as it comes and leaves what the child started
// running; once the owner is done (kill(), or the destructor), it kills its own children, whose
// orphans then come back to it, until it has none, and ends; its pid names it to this process
// until it is reaped here, and its children's pids name them to it until it reaps them itself.
// It works the same for any user, root or not, and needs neither cgroups nor /proc of another.
//
// With `ChildSpawn::ownPidNamespace`, the keeper starts the child as the first process of a PID
// namespace of its own (CLONE_NEWPID; for a user without CAP_SYS_ADMIN inside a user namespace
// of its own too, the user's ids mapped to themselves), where the kernel allows one. Nothing
// there can name the keeper or anything else outside (its parent's pid reads 0), and the kernel
// kills everything in the namespace once the child goes, and the child once its keeper goes: the
// keeper's death ends all the child started, whatever it does. Where the kernel refuses (no user
// namespaces for the user, a confinement that forbids them), the child runs as without, and what
// is said below holds.
//
// A keeper can be ended from outside (by the child itself, which knows its parent, or by the
// out-of-memory killer) or stopped. The child is killed by the kernel when its keeper goes
// (PR_SET_PDEATHSIG), and once the keeper has gone without finishing its work this process kills
// the child's process group (with `ownProcessGroup`); a stopped keeper is continued, and one that
// has not ended within `endWait` of the owner's end is killed, its child's group with it. Once the
// keeper has gone, what left the child's group is beyond reach: nothing else names it. Should
// this process die while the keeper is stopped, the kernel continues the keeper (its
// parent-death signal is SIGCONT), which then ends everything as ever; no process without
// CAP_SYS_PTRACE can hold it in a ptrace stop (it is not dumpable). The kernel sends that SIGCONT
// once: outside a namespace of its own, a descendant that stops the keeper again and again (its
// parent's pid, or one it found in /proc) keeps it from ending what the child started once this
// process is gone, and that is out of reach; only the namespace closes it.
//
// The start waits for the keeper to let go of the start's report (the command then runs): that
// wait ends at `StartBound`'s deadline or stop, and continues a keeper stopped meanwhile.
class ChildProcess {
  public:
    enum class Descendants { left, ended };

    // What bounds the wait for a keeper's start.
    struct StartBound {
        std::chrono::steady_clock::time_point deadline =
            std::chrono::steady_clock::time_point::max();
        std::stop_token stop;
    };

    // Starts `spawn`; with a keeper, its end waits for the keeper at most `endWait`. Throws
    // std::system_error (the spawn's, or the pidfd's); a keeper's start not over by `start`'s
    // deadline throws std::errc::timed_out, and one stopped std::errc::operation_canceled, once
    // the keeper and what it started are ended as the destructor ends them.
    explicit ChildProcess(const ChildSpawn& spawn, Descendants descendants = Descendants::left,
                          std::chrono::milliseconds endWait = std::chrono::seconds(1));
    ChildProcess(const ChildSpawn& spawn, Descendants descendants,
                 std::chrono::milliseconds endWait, const StartBound& start);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The child's, or with a keeper the keeper's.
    pid_t pid() const { return pid_; }
    // Readable once the child ended (with a keeper, also before: reapIfEnded() then tells
    // nothing yet); what the child started may still run.
    int endedFd() const { return ended_.get(); }
    // The child's wait status when it ended (reaped here, or told by the keeper; exit status 255
    // once a keeper went without a word); nothing while it runs. Never blocks.
    std::optional<int> reapIfEnded();
    // Polls until the child ends (its wait status), `deadline` passes or `wake` becomes readable
    // (nothing either way; the child runs on until the destructor or kill()).
    std::optional<int> waitUntil(std::chrono::steady_clock::time_point deadline, int wake);
    // SIGKILL to the child, or to its process group when it leads one; with a keeper, the
    // keeper is told to end the child and everything it started.
    void kill();
    // Whether the keeper started the child in a PID namespace of its own.
    bool inOwnPidNamespace() const { return namespaced_; }

  private:
    void startKept(const ChildSpawn& spawn, const StartBound& start);
    // Ends the keeper (its word, then SIGCONT until it ends, at most `endWait_`, then SIGKILL),
    // reaps it, and ends the child's group should the keeper not have ended cleanly.
    void endKeeper();
    // Tells the keeper to end everything (once; never blocks, never raises SIGPIPE), and
    // continues it should it be stopped.
    void stopKeeper();
    // Reads what the keeper told so far: the child's pid, then its wait status.
    void readKeeperWords();
    // Kills the child's process group, which a keeper that went without finishing leaves.
    void endCommandGroup();

    pid_t pid_ = -1;
    bool group_ = false;
    // With a keeper, `ended_` is the pipe on which the child tells its pid and the keeper the
    // child's wait status, and `keeperStop_` the socket on which a byte (or its end) tells the
    // keeper to end everything.
    bool kept_ = false;
    UniqueFd ended_;
    std::optional<int> status_;
    UniqueFd keeperStop_;
    pid_t commandPid_ = -1;
    bool namespaced_ = false;
    std::chrono::milliseconds endWait_;
};

// This process's environment as "NAME=value" entries, for a child that runs on the user's
// behalf (a desktop opener) rather than on the application's.
std::vector<std::string> currentEnvironment();

}  // namespace vask
