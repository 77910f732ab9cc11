#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace vask::test {

// Holds an exclusive lock on a database in rollback-journal mode from a thread of its own, as a
// writer in another process does (the Messages app in the middle of a write): readers meet
// "database is locked" until the lock goes, after `hold` or at release(), whichever comes first.
class LockedDatabase {
  public:
    LockedDatabase(const std::filesystem::path& path, std::chrono::milliseconds hold) {
        std::promise<std::string> locked;
        auto taken = locked.get_future();
        holder_ = std::thread([this, path, hold, locked = std::move(locked)]() mutable {
            sqlite3* db = nullptr;
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
            const int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
            locked.set_value(rc == SQLITE_OK ? "" : sqlite3_errmsg(db));
            {
                std::unique_lock lock(mutex_);
                released_.wait_for(lock, hold, [this] { return release_; });
            }
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        });
        if (const auto failure = taken.get(); !failure.empty()) {
            release();
            throw std::runtime_error("could not lock " + path.string() + ": " + failure);
        }
    }

    ~LockedDatabase() { release(); }

    LockedDatabase(const LockedDatabase&) = delete;
    LockedDatabase& operator=(const LockedDatabase&) = delete;

    // Lets readers in again; returns once the lock is gone.
    void release() {
        {
            std::lock_guard lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
        if (holder_.joinable()) {
            holder_.join();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
    std::thread holder_;
};

}  // namespace vask::test
