// Device class by disk name (resv_open.hpp).
#include "reservation/resv_open.hpp"

#include "reservation/nvme.hpp"
#include "reservation/scsi.hpp"

namespace FreeBSD::reservation {

bool is_nvme_name(const std::string& name)
{
    return name.find("nvme") != std::string::npos;
}

std::unique_ptr<resv> open_resv_device(const std::string& name, bool quiet)
{
    if (is_nvme_name(name))
        return std::make_unique<nvme>(name, quiet);
    return std::make_unique<scsi>(name, quiet);
}

}  // namespace FreeBSD::reservation
