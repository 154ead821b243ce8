// The backend-independent half of the CAM port (platform/cam.hpp): the PERSISTENT
// RESERVE CDB builders and the error printer. On FreeBSD libcam provides the
// builders; the printer stays ours so messages read the same on both.
#include "platform/cam.hpp"

#include <cstring>

namespace platform::cam {

namespace {

void prepare(ccb* c, uint32_t retries, uint8_t tag_action, uint32_t dir, uint8_t* data_ptr, uint32_t dxfer_len,
             uint8_t sense_len, uint32_t timeout_ms)
{
    c->flags = dir;
    c->status = CAM_REQ_INPROG;
    c->retry_count = retries;
    c->timeout_ms = timeout_ms;
    c->tag_action = tag_action;
    c->data_ptr = data_ptr;
    c->dxfer_len = dxfer_len;
    c->resid = 0;
    c->scsi_status = 0;
    c->sense_len = sense_len;
    c->sense_resid = 0;
    std::memset(c->sense_data, 0, sizeof(c->sense_data));
    std::memset(c->cdb, 0, sizeof(c->cdb));
    c->cdb_len = 10;
}

const char* scsi_status_text(uint8_t s)
{
    switch (s) {
    case SCSI_STATUS_OK:
        return "OK";
    case SCSI_STATUS_CHECK_COND:
        return "Check Condition";
    case 0x08:
        return "Busy";
    case SCSI_STATUS_RESERV_CONFLICT:
        return "Reservation Conflict";
    default:
        return "Unknown";
    }
}

const char* sense_key_text(uint8_t k)
{
    static const char* keys[] = {"NO SENSE", "RECOVERED ERROR", "NOT READY", "MEDIUM ERROR", "HARDWARE ERROR",
                                 "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT", "BLANK CHECK",
                                 "VENDOR SPECIFIC", "COPY ABORTED", "ABORTED COMMAND", "EQUAL", "VOLUME OVERFLOW",
                                 "MISCOMPARE", "COMPLETED"};
    return keys[k & 0x0f];
}

}  // namespace

void persistent_reserve_in(ccb* c, uint32_t retries, uint8_t tag_action, int service_action, uint8_t* data_ptr,
                           uint32_t dxfer_len, uint8_t sense_len, uint32_t timeout_ms)
{
    prepare(c, retries, tag_action, CAM_DIR_IN, data_ptr, dxfer_len, sense_len, timeout_ms);
    c->cdb[0] = PERSISTENT_RES_IN;
    c->cdb[1] = static_cast<uint8_t>(service_action & 0x1f);
    // Allocation length: two bytes, big-endian.
    c->cdb[7] = static_cast<uint8_t>(dxfer_len >> 8);
    c->cdb[8] = static_cast<uint8_t>(dxfer_len);
}

void persistent_reserve_out(ccb* c, uint32_t retries, uint8_t tag_action, int service_action, int scope,
                            int res_type, uint8_t* data_ptr, uint32_t dxfer_len, uint8_t sense_len,
                            uint32_t timeout_ms)
{
    prepare(c, retries, tag_action, CAM_DIR_OUT, data_ptr, dxfer_len, sense_len, timeout_ms);
    c->cdb[0] = PERSISTENT_RES_OUT;
    c->cdb[1] = static_cast<uint8_t>(service_action & 0x1f);
    c->cdb[2] = static_cast<uint8_t>(((scope & 0x0f) << 4) | (res_type & 0x0f));
    // Parameter list length: four bytes, big-endian.
    c->cdb[5] = static_cast<uint8_t>(dxfer_len >> 24);
    c->cdb[6] = static_cast<uint8_t>(dxfer_len >> 16);
    c->cdb[7] = static_cast<uint8_t>(dxfer_len >> 8);
    c->cdb[8] = static_cast<uint8_t>(dxfer_len);
}

const char* status_text(uint32_t code)
{
    switch (code) {
    case CAM_REQ_INPROG:
        return "CCB request is in progress";
    case CAM_REQ_CMP:
        return "CCB request completed without error";
    case CAM_REQ_ABORTED:
        return "CCB request aborted by the host";
    case CAM_REQ_CMP_ERR:
        return "CCB request completed with an error";
    case CAM_BUSY:
        return "CAM subsystem is busy";
    case CAM_REQ_INVALID:
        return "CCB request was invalid";
    case CAM_PATH_INVALID:
        return "Supplied Path ID is invalid";
    case CAM_DEV_NOT_THERE:
        return "Device Not Present";
    case CAM_SEL_TIMEOUT:
        return "Selection Timeout";
    case CAM_CMD_TIMEOUT:
        return "Command timeout";
    case CAM_SCSI_STATUS_ERROR:
        return "SCSI Status Error";
    case CAM_SCSI_BUS_RESET:
        return "SCSI Bus Reset Sent/Received";
    case CAM_UNCOR_PARITY:
        return "Uncorrectable parity/CRC error";
    case CAM_NO_HBA:
        return "No HBA Detected";
    case CAM_DATA_RUN_ERR:
        return "Data Overrun error";
    case CAM_UNEXP_BUSFREE:
        return "Unexpected Bus Free";
    case CAM_REQ_TERMIO:
        return "CCB request terminated by the host";
    case CAM_UNREC_HBA_ERROR:
        return "Unrecoverable Host Bus Adapter Error";
    default:
        return "Unknown CAM status";
    }
}

void error_print(const device& dev, const ccb& c, uint32_t string_flags, uint32_t print_flags, FILE* out)
{
    if (string_flags == 0 || print_flags == 0 || out == nullptr)
        return;
    const char* name = dev.name().c_str();
    std::fprintf(out, "(%s): %s. CDB:", name,
                 c.cdb[0] == PERSISTENT_RES_IN    ? "PERSISTENT RESERVE IN"
                 : c.cdb[0] == PERSISTENT_RES_OUT ? "PERSISTENT RESERVE OUT"
                                                  : "COMMAND");
    for (uint8_t i = 0; i < c.cdb_len && i < sizeof(c.cdb); ++i)
        std::fprintf(out, " %02x", c.cdb[i]);
    std::fprintf(out, "\n(%s): CAM status: %s (0x%x)\n", name, status_text(c.status & CAM_STATUS_MASK), c.status);
    if ((c.status & CAM_STATUS_MASK) != CAM_SCSI_STATUS_ERROR)
        return;
    std::fprintf(out, "(%s): SCSI status: %s\n", name, scsi_status_text(c.scsi_status));
    if ((c.status & CAM_AUTOSNS_VALID) && c.sense_len - c.sense_resid >= 14) {
        const uint8_t* s = c.sense_data;
        std::fprintf(out, "(%s): SCSI sense: %s asc:%x,%x\n", name, sense_key_text(s[2]), s[12], s[13]);
    }
}

}  // namespace platform::cam
