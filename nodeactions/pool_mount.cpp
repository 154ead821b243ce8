// Dataset mounting of an imported pool; owns one library handle per call.
#include "nodeactions/pool_mount.hpp"

#include "platform/zfs.hpp"

#include <cerrno>
#include <memory>

namespace nodeactions {

using namespace platform::zfs;

bool pool_mount_datasets(const std::string& pool, std::string* err)
{
    std::string reason;
    libzfs_handle_t* raw = libzfs_init();
    if (raw == nullptr) {
        reason = libzfs_error_init(errno);
    } else {
        std::unique_ptr<libzfs_handle_t, void (*)(libzfs_handle_t*)> hdl(raw, libzfs_fini);
        std::unique_ptr<zpool_handle_t, void (*)(zpool_handle_t*)> zhp(zpool_open_canfail(hdl.get(), pool.c_str()),
                                                                       zpool_close);
        if (!zhp)
            reason = "pool is not imported";
        else if (zpool_get_state(zhp.get()) == POOL_STATE_UNAVAIL)
            reason = "pool is unavailable";
        else if (zpool_enable_datasets(zhp.get(), nullptr, 0) != 0) {
            reason = libzfs_error_description(hdl.get());
            if (reason.empty())
                reason = "cannot mount datasets";
        }
    }
    if (err != nullptr)
        *err = reason;
    return reason.empty();
}

}  // namespace nodeactions
