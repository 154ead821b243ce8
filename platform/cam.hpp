// The CAM pass-through port the SCSI reservation class talks through: open a
// device by name, one reusable CCB per device, the PERSISTENT RESERVE IN/OUT CDB
// builders, send, and an error printer. Shaped like FreeBSD's libcam
// (cam_open_device, cam_getccb, scsi_persistent_reserve_in/out, cam_send_ccb,
// cam_error_print); numbers are the values <cam/cam.h> and <cam/cam_ccb.h> use.
//
// Backends: the Linux build links the emulated target (platform/emulated/), whose
// disks live under $KELM_EMUL_ROOT; with it unset every open fails (ENXIO). The
// FreeBSD backend is a thin wrapper over libcam: `device` wraps struct cam_device,
// `ccb` is copied into and out of union ccb around cam_send_ccb, and error_print
// calls cam_error_print.
//
// Not thread-safe per device or CCB; distinct devices may be used from distinct threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace platform::cam {

// cam_status codes (the low 6 bits of ccb::status).
inline constexpr uint32_t CAM_REQ_INPROG = 0x00;
inline constexpr uint32_t CAM_REQ_CMP = 0x01;
inline constexpr uint32_t CAM_REQ_ABORTED = 0x02;
inline constexpr uint32_t CAM_REQ_CMP_ERR = 0x04;
inline constexpr uint32_t CAM_BUSY = 0x05;
inline constexpr uint32_t CAM_REQ_INVALID = 0x06;
inline constexpr uint32_t CAM_PATH_INVALID = 0x07;
inline constexpr uint32_t CAM_DEV_NOT_THERE = 0x08;
inline constexpr uint32_t CAM_SEL_TIMEOUT = 0x0a;
inline constexpr uint32_t CAM_CMD_TIMEOUT = 0x0b;
inline constexpr uint32_t CAM_SCSI_STATUS_ERROR = 0x0c;
inline constexpr uint32_t CAM_SCSI_BUS_RESET = 0x0e;
inline constexpr uint32_t CAM_UNCOR_PARITY = 0x0f;
inline constexpr uint32_t CAM_NO_HBA = 0x11;
inline constexpr uint32_t CAM_DATA_RUN_ERR = 0x12;
inline constexpr uint32_t CAM_UNEXP_BUSFREE = 0x13;
inline constexpr uint32_t CAM_REQ_TERMIO = 0x18;
inline constexpr uint32_t CAM_UNREC_HBA_ERROR = 0x19;
inline constexpr uint32_t CAM_STATUS_MASK = 0x3f;
// Flag bits above the code.
inline constexpr uint32_t CAM_DEV_QFRZN = 0x40;
inline constexpr uint32_t CAM_AUTOSNS_VALID = 0x80;
inline constexpr uint32_t CAM_SIM_QUEUED = 0x200;

// ccb::flags.
inline constexpr uint32_t CAM_DIR_IN = 0x40;
inline constexpr uint32_t CAM_DIR_OUT = 0x80;
inline constexpr uint32_t CAM_DIR_MASK = 0xc0;
inline constexpr uint32_t CAM_DEV_QFRZDIS = 0x400;

// Error printer flags.
inline constexpr uint32_t CAM_ESF_ALL = 0xff;
inline constexpr uint32_t CAM_EPF_ALL = 0x03;

// SCSI status bytes.
inline constexpr uint8_t SCSI_STATUS_OK = 0x00;
inline constexpr uint8_t SCSI_STATUS_CHECK_COND = 0x02;
inline constexpr uint8_t SCSI_STATUS_RESERV_CONFLICT = 0x18;

inline constexpr uint8_t SSD_FULL_SIZE = 252;

// PERSISTENT RESERVE IN/OUT opcodes and the service actions this system uses.
inline constexpr uint8_t PERSISTENT_RES_IN = 0x5e;
inline constexpr uint8_t PERSISTENT_RES_OUT = 0x5f;
inline constexpr int SPRI_RK = 0;  // READ KEYS
inline constexpr int SPRI_RR = 1;  // READ RESERVATION
inline constexpr int SPRO_REGISTER = 0;
inline constexpr int SPRO_RESERVE = 1;
inline constexpr int SPRO_RELEASE = 2;
inline constexpr int SPRO_CLEAR = 3;
inline constexpr int SPRO_PREEMPT = 4;
inline constexpr int SPRO_REG_IGNO = 6;

// The SCSI I/O part of a CCB.
struct ccb {
    uint32_t flags = 0;        // CAM_DIR_*, CAM_DEV_QFRZDIS
    uint32_t status = 0;       // cam_status code | flag bits, set by send
    uint32_t retry_count = 0;
    uint32_t timeout_ms = 0;
    uint8_t tag_action = 0;
    uint8_t cdb[16] = {};
    uint8_t cdb_len = 0;
    uint8_t* data_ptr = nullptr;
    uint32_t dxfer_len = 0;
    uint32_t resid = 0;        // bytes of dxfer_len not transferred
    uint8_t scsi_status = 0;
    uint8_t sense_len = 0;     // room for sense data the caller asks for
    uint8_t sense_resid = 0;
    uint8_t sense_data[SSD_FULL_SIZE] = {};
};

// An open pass-through device; opaque to callers.
class device {
public:
    virtual ~device() = default;
    // The name the device was opened with, as the error printer shows it.
    virtual const std::string& name() const = 0;
    // Sends the CCB and waits for it; -1 with errno set when the call itself fails
    // (the CCB's status then means nothing), else 0 with the CCB's status set.
    virtual int send_ccb(ccb* c) = 0;
};

// Opens "da3" or "/dev/da3" read-write; null with errno set on failure.
std::unique_ptr<device> open_device(const std::string& name);

// A zeroed CCB for the device; null when it cannot be allocated.
std::unique_ptr<ccb> get_ccb(device& dev);

// Builders: fill the CDB, direction, data buffer, retries, tag action, sense length
// and time-out of `c` (the status and sense fields are cleared). The allocation
// length / parameter list length in the CDB is `dxfer_len`.
void persistent_reserve_in(ccb* c, uint32_t retries, uint8_t tag_action, int service_action, uint8_t* data_ptr,
                           uint32_t dxfer_len, uint8_t sense_len, uint32_t timeout_ms);
void persistent_reserve_out(ccb* c, uint32_t retries, uint8_t tag_action, int service_action, int scope,
                            int res_type, uint8_t* data_ptr, uint32_t dxfer_len, uint8_t sense_len,
                            uint32_t timeout_ms);

// Prints the command (CDB in hex), the CAM status, the SCSI status and the sense
// key / ASC / ASCQ when sense is valid, each line prefixed "(<name>): ".
void error_print(const device& dev, const ccb& c, uint32_t string_flags, uint32_t print_flags, FILE* out);

// Text of a cam_status code ("Request completed with error", ...).
const char* status_text(uint32_t code);

}  // namespace platform::cam
