// One daemon per database: an exclusive flock on "<db>.lock", held while the object
// lives. The lock sits on a file of its own because SQLite's POSIX locks on the
// database are dropped when any other descriptor of that file is closed.
#pragma once

#include <string>

namespace raft {

class db_lock {
public:
    db_lock() = default;
    db_lock(const db_lock&) = delete;
    db_lock& operator=(const db_lock&) = delete;
    ~db_lock();

    // Takes the lock beside `db_path`. False when it cannot be had, with `why` saying
    // whether another process holds it or the file could not be opened.
    bool acquire(const std::string& db_path, std::string* why);
    bool held() const { return fd_ >= 0; }

    static std::string lock_path(const std::string& db_path) { return db_path + ".lock"; }

private:
    int fd_ = -1;
};

}  // namespace raft
