// The NVMe pass-through port the NVMe reservation class talks through: open a
// namespace's device node, ask its namespace id, and pass one command (64-byte
// submission entry in, 16-byte completion out, optional data buffer). Shaped like
// FreeBSD's nvme(4) ioctls NVME_GET_NSID and NVME_PASSTHROUGH_CMD with struct
// nvme_pt_command; the descriptor is an int as open(2) returns it.
//
// Backends: the Linux build links the emulated target (platform/emulated/); with
// $KELM_EMUL_ROOT unset every open fails (ENOENT). On FreeBSD these are open(2),
// ioctl(fd, NVME_GET_NSID) and ioctl(fd, NVME_PASSTHROUGH_CMD) on /dev/nvmeXnsY.
//
// Thread-safe: descriptors are looked up under a lock; one command per call.
#pragma once

#include <cstdint>
#include <string>

namespace platform::nvme {

// Submission queue entry, the fields by dword.
struct command {
    uint8_t opc = 0;
    uint8_t fuse = 0;
    uint16_t cid = 0;
    uint32_t nsid = 0;
    uint32_t cdw2 = 0, cdw3 = 0;
    uint64_t mptr = 0;
    uint64_t prp1 = 0, prp2 = 0;
    uint32_t cdw10 = 0, cdw11 = 0, cdw12 = 0, cdw13 = 0, cdw14 = 0, cdw15 = 0;
};
static_assert(sizeof(command) == 64);

// Completion queue entry. status: bit 0 phase tag, bits 1-8 status code (SC),
// bits 9-11 status code type (SCT), 12-13 CRD, 14 more, 15 do not retry.
struct completion {
    uint32_t cdw0 = 0;
    uint32_t rsvd1 = 0;
    uint16_t sqhd = 0;
    uint16_t sqid = 0;
    uint16_t cid = 0;
    uint16_t status = 0;
};
static_assert(sizeof(completion) == 16);

struct pt_command {
    command cmd;
    completion cpl;
    void* buf = nullptr;
    uint32_t len = 0;
    uint32_t is_read = 0;  // 1: data from the device
};

inline constexpr uint8_t OPC_RESERVATION_REGISTER = 0x0d;
inline constexpr uint8_t OPC_RESERVATION_REPORT = 0x0e;
inline constexpr uint8_t OPC_RESERVATION_ACQUIRE = 0x11;
inline constexpr uint8_t OPC_RESERVATION_RELEASE = 0x15;

// Status words (SC << 1 | SCT << 9), phase tag clear.
inline constexpr uint16_t STATUS_MASK = 0xffe;
inline constexpr uint16_t STATUS_INVALID_OPCODE = 0x01 << 1;
inline constexpr uint16_t STATUS_INVALID_FIELD = 0x02 << 1;
inline constexpr uint16_t STATUS_INVALID_NAMESPACE = 0x0b << 1;
inline constexpr uint16_t STATUS_RESERVATION_CONFLICT = 0x83 << 1;

// open(2) read-write; -1 with errno set on failure.
int open_device(const std::string& path);
// close(2).
int close_device(int fd);
// NVME_GET_NSID: 0 and *nsid set, or -1 with errno.
int get_nsid(int fd, uint32_t* nsid);
// NVME_PASSTHROUGH_CMD: 0 with pt->cpl filled (the data moved), or -1 with errno
// when the request never reached the controller.
int passthrough(int fd, pt_command* pt);

}  // namespace platform::nvme
