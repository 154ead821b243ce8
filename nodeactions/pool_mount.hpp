// Mounting the datasets of a pool that is already imported on this host, so that a
// start reports "done" only with its pools usable. Single-threaded programs.
#pragma once

#include <string>

namespace nodeactions {

// Mounts every dataset of the imported pool (mounting is idempotent). False with the
// reason: "pool is not imported", "pool is unavailable", or the library's text.
bool pool_mount_datasets(const std::string& pool, std::string* err);

}  // namespace nodeactions
