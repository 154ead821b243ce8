// Fuzz target: the NVMe Reservation Report parser over any device answer.
// Checks that the entries read fit the answer and the holder rules hold.
#include "reservation/nvme_resv_format.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace FreeBSD::reservation;
    auto s = parse_nvme_report(std::span<const uint8_t>(data, size));
    if (!s.ok)
        return s.error_kind == resv_rejected ? 0 : (std::abort(), 0);
    if (size < 24 || s.registrants.size() > (size - 24) / 24)
        std::abort();
    if (s.holder_known && s.type_known && all_registrants(s.type))
        std::abort();
    return 0;
}
