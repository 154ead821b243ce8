// The emulated backend of the CAM port (platform/cam.hpp): a device is an emulated
// SCSI disk (platform/emulated/disk_emul.hpp) opened as this host. Like a pass
// device, a handle stays bound to the disk's insertion it was opened on.
#include "platform/cam.hpp"
#include "platform/emulated/disk_emul.hpp"
#include "platform/process.hpp"

#include <cerrno>
#include <cstring>

namespace platform::cam {

namespace {

class emulated_device final : public device {
public:
    emulated_device(std::string name, int64_t epoch, std::string host)
        : name_(std::move(name)), epoch_(epoch), host_(std::move(host))
    {
    }
    const std::string& name() const override { return name_; }
    const std::string& host() const { return host_; }

    int send_ccb(ccb* c) override
    {
        if (c == nullptr || c->cdb_len > sizeof(c->cdb)) {
            errno = EINVAL;
            return -1;
        }
        disk_emul::scsi_io io{c->cdb, c->cdb_len, c->flags, c->data_ptr, c->dxfer_len, c->timeout_ms};
        auto done = disk_emul::scsi_command(name_, epoch_, host_, io);
        if (done.sys_errno != 0) {
            errno = done.sys_errno;
            return -1;
        }
        c->status = done.cam_status;
        c->scsi_status = done.scsi_status;
        c->resid = c->dxfer_len - done.transferred;
        c->sense_resid = c->sense_len;
        if (done.sense_valid) {
            size_t n = std::min<size_t>(c->sense_len, sizeof(done.sense));
            std::memcpy(c->sense_data, done.sense, n);
            c->sense_resid = static_cast<uint8_t>(c->sense_len - n);
        }
        return 0;
    }

private:
    std::string name_;
    int64_t epoch_;
    std::string host_;
};

}  // namespace

std::unique_ptr<device> open_device(const std::string& name)
{
    std::string host = get_hostname();
    auto r = disk_emul::open_disk(name, "scsi", host);
    if (r.err != 0) {
        errno = r.err;
        return nullptr;
    }
    return std::make_unique<emulated_device>(disk_emul::disk_name(name), r.epoch, host);
}

std::unique_ptr<ccb> get_ccb(device& dev)
{
    auto& d = static_cast<emulated_device&>(dev);
    if (int e = disk_emul::fault_errno(d.name(), d.host(), "ccb"); e != 0) {
        errno = e;
        return nullptr;
    }
    return std::make_unique<ccb>();
}

}  // namespace platform::cam
