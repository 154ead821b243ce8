// The device class for a configured HA disk name: a name containing "nvme"
// anywhere (case-sensitive) is an NVMe namespace, any other name a SCSI disk.
// The daemon's disk voter and the utility's disk report choose the same way.
#pragma once

#include "reservation/resv.hpp"

#include <memory>
#include <string>

namespace FreeBSD::reservation {

bool is_nvme_name(const std::string& name);

// Never null and never throws (short of memory): a disk that cannot be opened
// gives a device whose every command fails as not delivered.
std::unique_ptr<resv> open_resv_device(const std::string& name, bool quiet);

}  // namespace FreeBSD::reservation
