// Fuzz target: the READ KEYS and READ RESERVATION parsers over any device answer.
// Checks that nothing reads past the answer and the results stay within it.
#include "reservation/scsi_pr_format.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace FreeBSD::reservation;
    std::span<const uint8_t> answer(data, size);
    auto keys = parse_read_keys(answer);
    if (keys.ok && size < 8)
        std::abort();
    if (keys.ok && keys.keys.size() > (size - 8) / 8)
        std::abort();
    auto res = parse_read_reservation(answer);
    if (res.ok && res.reserved && (size < 22 || res.raw_type > 0x0f))
        std::abort();
    if (res.type_known != (res.type != resv_type_unknown))
        std::abort();
    return 0;
}
