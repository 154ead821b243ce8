// The emulated disks through the CAM and NVMe ports: SPC and NVMe reservation
// rules, faults, removal, the journal, and concurrent initiators in two processes.
#include "platform/cam.hpp"
#include "platform/emulated/disk_emul.hpp"
#include "platform/nvme.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace {

namespace cam = platform::cam;
namespace nv = platform::nvme;
namespace de = platform::disk_emul;
using de::json;

class disks : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                ("disk_emul_test." + std::to_string(::getpid()) + "." +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        as("node1");
    }
    void TearDown() override
    {
        std::filesystem::remove_all(root_);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }
    static void as(const char* host) { ::setenv("KELM_EMUL_HOST", host, 1); }
    static void create(const char* name, const char* proto)
    {
        std::string err;
        ASSERT_TRUE(de::create_disk(name, proto, &err)) << err;
    }
    static void fault(const char* text)
    {
        std::string err;
        ASSERT_TRUE(de::add_fault(json::parse(text), &err)) << err;
    }
    static json state(const char* name)
    {
        std::string err;
        auto d = de::read_disk(name, &err);
        EXPECT_TRUE(d) << err;
        return d.value_or(json());
    }
    std::filesystem::path root_;
};

// One SCSI initiator: a device opened as the current emulated host.
struct scsi_init {
    std::unique_ptr<cam::device> dev;
    std::unique_ptr<cam::ccb> c;
    explicit scsi_init(const char* name) : dev(cam::open_device(name))
    {
        if (dev)
            c = cam::get_ccb(*dev);
    }
    // PR OUT; returns the send result (-1: not sent), the CCB holds the status.
    int out(int sa, int type, uint64_t key, uint64_t sa_key, uint32_t plen = 24, int scope = 0)
    {
        uint8_t p[24] = {};
        for (int i = 0; i < 8; ++i) {
            p[7 - i] = static_cast<uint8_t>(key >> (8 * i));
            p[15 - i] = static_cast<uint8_t>(sa_key >> (8 * i));
        }
        cam::persistent_reserve_out(c.get(), 1, 0, sa, scope, type, p, plen, cam::SSD_FULL_SIZE, 5000);
        c->flags |= cam::CAM_DEV_QFRZDIS;
        return dev->send_ccb(c.get());
    }
    uint32_t code() const { return c->status & cam::CAM_STATUS_MASK; }
    std::vector<uint8_t> in(int sa, uint32_t alloc = 65535)
    {
        std::vector<uint8_t> buf(alloc);
        cam::persistent_reserve_in(c.get(), 1, 0, sa, buf.data(), alloc, cam::SSD_FULL_SIZE, 5000);
        c->flags |= cam::CAM_DEV_QFRZDIS;
        if (dev->send_ccb(c.get()) != 0 || code() != cam::CAM_REQ_CMP)
            return {};
        buf.resize(alloc - c->resid);
        return buf;
    }
    std::vector<uint64_t> keys()
    {
        auto b = in(cam::SPRI_RK);
        std::vector<uint64_t> k;
        for (size_t off = 8; off + 8 <= b.size(); off += 8) {
            uint64_t v = 0;
            for (int i = 0; i < 8; ++i)
                v = (v << 8) | b[off + i];
            k.push_back(v);
        }
        return k;
    }
};

TEST_F(disks, scsi_register_reserve_preempt_follow_spc)
{
    create("da1", "scsi");
    as("node1");
    scsi_init a("da1");
    as("node2");
    scsi_init b("/dev/da1");  // the same disk by its device path
    ASSERT_TRUE(a.dev && b.dev);

    ASSERT_EQ(a.out(cam::SPRO_REG_IGNO, 0, 0, 1), 0);
    EXPECT_EQ(a.code(), cam::CAM_REQ_CMP);
    ASSERT_EQ(b.out(cam::SPRO_REG_IGNO, 0, 0, 2), 0);
    EXPECT_EQ(a.keys(), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(state("da1")["generation"], 2);

    // RESERVE needs the nexus's own key; a second holder is a conflict.
    b.out(cam::SPRO_RESERVE, 3, 1, 0);
    EXPECT_EQ(b.c->scsi_status, cam::SCSI_STATUS_RESERV_CONFLICT);
    EXPECT_EQ(b.code(), cam::CAM_SCSI_STATUS_ERROR);
    a.out(cam::SPRO_RESERVE, 3, 1, 0);
    EXPECT_EQ(a.code(), cam::CAM_REQ_CMP);
    b.out(cam::SPRO_RESERVE, 3, 2, 0);
    EXPECT_EQ(b.c->scsi_status, cam::SCSI_STATUS_RESERV_CONFLICT);
    EXPECT_EQ(state("da1")["generation"], 2) << "RESERVE does not count";

    auto rr = b.in(cam::SPRI_RR);
    ASSERT_EQ(rr.size(), 24u);
    EXPECT_EQ(rr[7], 16);
    EXPECT_EQ(rr[15], 1);  // holder key 1
    EXPECT_EQ(rr[21], 3);

    // A non-holder's RELEASE is GOOD and changes nothing.
    b.out(cam::SPRO_RELEASE, 3, 2, 0);
    EXPECT_EQ(b.code(), cam::CAM_REQ_CMP);
    EXPECT_TRUE(state("da1")["reservation"].is_object());

    // PREEMPT of the holder: its key goes, the reservation moves.
    b.out(cam::SPRO_PREEMPT, 3, 2, 1);
    EXPECT_EQ(b.code(), cam::CAM_REQ_CMP);
    // The pre-empted nexus's next command fails once with a unit attention
    // (RESERVATIONS PREEMPTED) and is not run; the one after it is.
    EXPECT_TRUE(a.in(cam::SPRI_RK).empty());
    EXPECT_EQ(a.c->scsi_status, cam::SCSI_STATUS_CHECK_COND);
    EXPECT_EQ(a.c->status, cam::CAM_SCSI_STATUS_ERROR | cam::CAM_AUTOSNS_VALID);
    EXPECT_EQ(a.c->sense_data[2], 0x06);
    EXPECT_EQ(a.c->sense_data[12], 0x2a);
    EXPECT_EQ(a.c->sense_data[13], 0x03);
    EXPECT_EQ(a.keys(), (std::vector<uint64_t>{2}));
    EXPECT_EQ(state("da1")["reservation"]["host"], "node2");
    EXPECT_EQ(state("da1")["generation"], 3);
    // The pre-empted nexus is no longer registered: everything but registering conflicts.
    a.out(cam::SPRO_PREEMPT, 3, 1, 2);
    EXPECT_EQ(a.c->scsi_status, cam::SCSI_STATUS_RESERV_CONFLICT);
    // PREEMPT of a key nobody holds is a conflict.
    b.out(cam::SPRO_PREEMPT, 3, 2, 9);
    EXPECT_EQ(b.c->scsi_status, cam::SCSI_STATUS_RESERV_CONFLICT);

    // The holder unregistering releases its (non all-registrants) reservation.
    b.out(cam::SPRO_REG_IGNO, 0, 0, 0);
    EXPECT_TRUE(state("da1")["reservation"].is_null());
    EXPECT_TRUE(a.keys().empty());
    // Unregistering an unregistered nexus is GOOD without counting.
    b.out(cam::SPRO_REG_IGNO, 0, 0, 0);
    EXPECT_EQ(b.code(), cam::CAM_REQ_CMP);
    EXPECT_EQ(state("da1")["generation"], 4);
    // REGISTER (not ignoring) wants the current key.
    a.out(cam::SPRO_REGISTER, 0, 5, 1);
    EXPECT_EQ(a.c->scsi_status, cam::SCSI_STATUS_RESERV_CONFLICT);
}

TEST_F(disks, scsi_all_registrants_and_release_rules)
{
    create("da1", "scsi");
    as("node1");
    scsi_init a("da1");
    as("node2");
    scsi_init b("da1");
    a.out(cam::SPRO_REG_IGNO, 0, 0, 1);
    b.out(cam::SPRO_REG_IGNO, 0, 0, 2);
    a.out(cam::SPRO_RESERVE, 8, 1, 0);
    b.out(cam::SPRO_RESERVE, 8, 2, 0);  // every registrant holds an AR reservation
    EXPECT_EQ(b.code(), cam::CAM_REQ_CMP);
    auto rr = a.in(cam::SPRI_RR);
    ASSERT_EQ(rr.size(), 24u);
    EXPECT_EQ(rr[15], 0) << "an all-registrants reservation reads key 0";
    // A holder releasing with the wrong type: ILLEGAL REQUEST, INVALID RELEASE.
    b.out(cam::SPRO_RELEASE, 3, 2, 0);
    EXPECT_EQ(b.code(), cam::CAM_SCSI_STATUS_ERROR);
    EXPECT_TRUE(b.c->status & cam::CAM_AUTOSNS_VALID);
    EXPECT_EQ(b.c->sense_data[12], 0x26);
    EXPECT_EQ(b.c->sense_data[13], 0x04);
    // The first registrant leaving keeps it; the last one takes it away.
    a.out(cam::SPRO_REG_IGNO, 0, 0, 0);
    EXPECT_TRUE(state("da1")["reservation"].is_object());
    b.out(cam::SPRO_REG_IGNO, 0, 0, 0);
    EXPECT_TRUE(state("da1")["reservation"].is_null());
    // PREEMPT with key 0 on an AR reservation removes every other registration.
    a.out(cam::SPRO_REG_IGNO, 0, 0, 1);
    b.out(cam::SPRO_REG_IGNO, 0, 0, 2);
    a.out(cam::SPRO_RESERVE, 7, 1, 0);
    b.out(cam::SPRO_PREEMPT, 3, 2, 0);
    EXPECT_EQ(b.code(), cam::CAM_REQ_CMP);
    EXPECT_TRUE(a.keys().empty()) << "the unit attention of the pre-empted nexus";
    EXPECT_EQ(a.keys(), (std::vector<uint64_t>{2}));
    EXPECT_EQ(state("da1")["reservation"]["type"], 3);
    // ... but key 0 against a single holder is an invalid parameter.
    a.out(cam::SPRO_REG_IGNO, 0, 0, 1);
    a.out(cam::SPRO_PREEMPT, 3, 1, 0);
    EXPECT_EQ(a.c->sense_data[12], 0x26);
}

TEST_F(disks, scsi_refuses_bad_fields_and_cuts_answers)
{
    create("da1", "scsi");
    scsi_init a("da1");
    a.out(cam::SPRO_REG_IGNO, 0, 0, 0x0102030405060708ULL);
    struct {
        int sa, type, scope;
        uint32_t plen;
        uint8_t asc;
    } bad[] = {{7, 0, 0, 24, 0x24}, {9, 0, 0, 24, 0x24}, {1, 2, 0, 24, 0x24},  {1, 9, 0, 24, 0x24},
               {1, 3, 1, 24, 0x24}, {0, 0, 0, 16, 0x1a}, {6, 0, 0, 23, 0x1a}};
    for (const auto& b : bad) {
        a.out(b.sa, b.type, 0x0102030405060708ULL, 0, b.plen, b.scope);
        EXPECT_EQ(a.c->status, cam::CAM_SCSI_STATUS_ERROR | cam::CAM_AUTOSNS_VALID) << b.sa << " " << b.type;
        EXPECT_EQ(a.c->scsi_status, cam::SCSI_STATUS_CHECK_COND);
        EXPECT_EQ(a.c->sense_data[2], 0x05);
        EXPECT_EQ(a.c->sense_data[12], b.asc) << b.sa << " " << b.type;
    }
    // A bad PR IN service action too.
    a.in(5);
    EXPECT_EQ(a.c->sense_data[12], 0x24);
    // Answers are cut to the allocation length; the key is big-endian.
    EXPECT_EQ(a.in(cam::SPRI_RK, 8).size(), 8u);
    auto full = a.in(cam::SPRI_RK, 100);
    ASSERT_EQ(full.size(), 16u);
    EXPECT_EQ(full[7], 8);
    EXPECT_EQ(full[8], 1);
    EXPECT_EQ(full[15], 8);
    EXPECT_EQ(a.in(cam::SPRI_RK, 12).size(), 12u);
    // Errors freeze the queue unless the CCB disables it.
    uint8_t p[24] = {};
    cam::persistent_reserve_out(a.c.get(), 1, 0, 9, 0, 0, p, 24, cam::SSD_FULL_SIZE, 5000);
    a.dev->send_ccb(a.c.get());
    EXPECT_TRUE(a.c->status & cam::CAM_DEV_QFRZN);
}

// One NVMe initiator.
struct nvme_init {
    int fd;
    uint32_t nsid = 0;
    explicit nvme_init(const char* path) : fd(nv::open_device(path))
    {
        if (fd >= 0)
            nv::get_nsid(fd, &nsid);
    }
    ~nvme_init()
    {
        if (fd >= 0)
            nv::close_device(fd);
    }
    // Returns the masked status, or -1 when the ioctl failed.
    int cmd(uint8_t opc, uint32_t cdw10, uint64_t k1, uint64_t k2, uint32_t len = 16, uint32_t ns = 0)
    {
        uint8_t data[16] = {};
        for (int i = 0; i < 8; ++i) {
            data[i] = static_cast<uint8_t>(k1 >> (8 * i));
            data[8 + i] = static_cast<uint8_t>(k2 >> (8 * i));
        }
        nv::pt_command pt;
        pt.cmd.opc = opc;
        pt.cmd.nsid = ns ? ns : nsid;
        pt.cmd.cdw10 = cdw10;
        pt.buf = data;
        pt.len = len;
        if (nv::passthrough(fd, &pt) != 0)
            return -1;
        return pt.cpl.status & nv::STATUS_MASK;
    }
    std::vector<uint8_t> report(uint32_t bytes = 4096)
    {
        std::vector<uint8_t> buf(bytes, 0xee);
        nv::pt_command pt;
        pt.cmd.opc = nv::OPC_RESERVATION_REPORT;
        pt.cmd.nsid = nsid;
        pt.cmd.cdw10 = bytes / 4 - 1;
        pt.buf = buf.data();
        pt.len = bytes;
        pt.is_read = 1;
        if (nv::passthrough(fd, &pt) != 0 || (pt.cpl.status & nv::STATUS_MASK) != 0)
            return {};
        return buf;
    }
};

TEST_F(disks, nvme_reservations_follow_the_standard)
{
    create("nvme0ns1", "nvme");
    as("node1");
    nvme_init a("/dev/nvme0ns1");
    as("node2");
    nvme_init b("/dev/nvme0ns1");
    ASSERT_GE(a.fd, 0);
    EXPECT_EQ(a.nsid, 1u);
    EXPECT_EQ(a.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1), 0);
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 2), 0);
    // Without IEKEY a registered host cannot change its key by registering.
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 0, 0, 3), 0x106);
    // Nor with it: IEKEY waives the current-key check of unregister and replace only.
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 3), 0x106);
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 2), 0) << "the same key again";
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 2 | 8, 0, 3), 0) << "replace re-keys";
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 2 | 8, 0, 2), 0);
    EXPECT_EQ(a.cmd(nv::OPC_RESERVATION_ACQUIRE, 0x200, 1, 0), 0);
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_ACQUIRE, 0x200, 2, 0), 0x106);
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_ACQUIRE, 0x700, 2, 0), 0x004) << "type 7";
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 2, 16, 2), 0x016) << "wrong namespace";
    auto r = b.report();
    ASSERT_EQ(r.size(), 4096u);
    EXPECT_EQ(r[0], 5);  // generation, little-endian
    EXPECT_EQ(r[4], 2);  // Exclusive Access
    EXPECT_EQ(r[5], 2);  // two controllers
    EXPECT_EQ(r[24 + 2] & 1, 1) << "node1 holds";
    EXPECT_EQ(r[24 + 16], 1);
    EXPECT_EQ(r[48 + 2] & 1, 0);
    EXPECT_EQ(r[48 + 16], 2);
    EXPECT_EQ(r[72], 0) << "zero-filled after the entries";
    // Pre-empt the holder; release takes 8 bytes of data and the right type.
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_ACQUIRE, 0x201, 2, 1), 0);
    EXPECT_EQ(a.cmd(nv::OPC_RESERVATION_ACQUIRE, 0x200, 1, 0), 0x106) << "node1 is gone";
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_RELEASE, 0x100, 2, 0, 8), 0x004) << "wrong type";
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_RELEASE, 0x200, 2, 0, 4), -1) << "short data";
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_RELEASE, 0x200, 2, 0, 8), 0);
    EXPECT_TRUE(state("nvme0ns1")["reservation"].is_null());
    // Unregister checks the key unless IEKEY is set.
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 1, 7, 0), 0x106);
    EXPECT_EQ(b.cmd(nv::OPC_RESERVATION_REGISTER, 1 | 8, 7, 0), 0);
    EXPECT_EQ(b.report()[5], 0);
    // The report is cut at the buffer, its controller count is not.
    b.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 2);
    a.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1);
    auto small = a.report(32);
    ASSERT_EQ(small.size(), 32u);
    EXPECT_EQ(small[5], 2);
    EXPECT_EQ(a.cmd(nv::OPC_RESERVATION_REPORT, 1023, 0, 0), -1) << "report into a write buffer";
}

TEST_F(disks, wrong_protocol_and_missing_disks_do_not_open)
{
    create("da1", "scsi");
    create("nvme0ns1", "nvme");
    EXPECT_FALSE(cam::open_device("nvme0ns1"));
    EXPECT_EQ(nv::open_device("/dev/da1"), -1);
    EXPECT_FALSE(cam::open_device("da9"));
    EXPECT_FALSE(cam::open_device("../da1"));
    EXPECT_EQ(nv::open_device("nvme0ns1"), -1) << "not a device path";
    ::unsetenv("KELM_EMUL_ROOT");
    EXPECT_FALSE(cam::open_device("da1"));
    EXPECT_EQ(nv::open_device("/dev/nvme0ns1"), -1);
}

TEST_F(disks, faults_strike_by_host_op_count_and_time)
{
    create("da1", "scsi");
    create("nvme0ns1", "nvme");
    as("node1");
    scsi_init a("da1");
    nvme_init n("/dev/nvme0ns1");
    // Per initiator: node2's commands fail, node1's do not.
    fault(R"({"disk":"da1","host":"node2","action":"fail","errno":5})");
    EXPECT_EQ(a.out(cam::SPRO_REG_IGNO, 0, 0, 1), 0);
    as("node2");
    scsi_init b("da1");
    EXPECT_EQ(b.out(cam::SPRO_REG_IGNO, 0, 0, 2), -1);
    EXPECT_EQ(errno, 5);
    std::string err;
    ASSERT_TRUE(de::clear_faults("da1", &err));
    // CAM codes with their flag bits, for a count; the state is untouched.
    fault(R"({"disk":"da1","action":"cam","cam_status":714,"times":2})");  // 0x2ca: SEL_TIMEOUT|QFRZN|SIM_QUEUED
    b.out(cam::SPRO_REG_IGNO, 0, 0, 2);
    EXPECT_EQ(b.c->status, 0x2cau);
    b.out(cam::SPRO_REG_IGNO, 0, 0, 2);
    EXPECT_EQ(b.out(cam::SPRO_REG_IGNO, 0, 0, 2), 0);
    EXPECT_EQ(b.code(), cam::CAM_REQ_CMP);
    EXPECT_EQ(state("da1")["generation"], 2) << "faulted commands never reached the disk";
    // Forced conflicts on both protocols, one op only.
    fault(R"({"action":"conflict","op":"preempt"})");
    b.out(cam::SPRO_PREEMPT, 3, 2, 1);
    EXPECT_EQ(b.c->scsi_status, cam::SCSI_STATUS_RESERV_CONFLICT);
    EXPECT_EQ(b.keys().size(), 2u);
    EXPECT_EQ(n.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1), 0);
    EXPECT_EQ(n.cmd(nv::OPC_RESERVATION_ACQUIRE, 0x201, 1, 5), 0x106);
    ASSERT_TRUE(de::clear_faults("", &err));
    // A deadline: active for 150 ms only.
    fault(R"({"disk":"nvme0ns1","action":"nvme","nvme_status":4,"for_ms":150})");
    EXPECT_EQ(n.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(n.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1), 0);
    EXPECT_TRUE(state("nvme0ns1")["faults"].empty()) << "an expired fault is dropped";
    // Open and namespace-id faults.
    fault(R"({"disk":"nvme0ns1","op":"nsid","action":"fail","times":1})");
    nvme_init n2("/dev/nvme0ns1");
    EXPECT_GE(n2.fd, 0);
    EXPECT_EQ(n2.nsid, 0u);
    fault(R"({"disk":"da1","op":"open","action":"fail","errno":13,"times":1})");
    EXPECT_FALSE(cam::open_device("da1"));
    EXPECT_EQ(errno, 13);
    EXPECT_TRUE(cam::open_device("da1"));
    // Badly formed faults are refused with a reason.
    for (const char* bad : {R"({"action":"melt"})", R"({"action":"fail","times":"x"})", "[1]",
                            R"({"action":"fail","flap":{"period_ms":0,"down_ms":1}})"}) {
        EXPECT_FALSE(de::add_fault(json::parse(bad), &err)) << bad;
    }
}

TEST_F(disks, flapping_and_delays)
{
    create("da1", "scsi");
    scsi_init a("da1");
    // Down for the first 100 ms of every 400 ms.
    fault(R"({"action":"fail","flap":{"period_ms":400,"down_ms":100}})");
    int failed = 0, passed = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1300);
    while (std::chrono::steady_clock::now() < end) {
        (a.out(cam::SPRO_REG_IGNO, 0, 0, 1) == 0 ? passed : failed)++;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(passed, failed);
    std::string err;
    de::clear_faults("", &err);
    // A short delay runs the command late; one of 5 s or more times out without it.
    fault(R"({"action":"delay","delay_ms":200,"times":1})");
    auto t0 = std::chrono::steady_clock::now();
    a.out(cam::SPRO_REG_IGNO, 0, 0, 7);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_EQ(a.code(), cam::CAM_REQ_CMP);
    EXPECT_EQ(a.keys(), (std::vector<uint64_t>{7}));
    fault(R"({"action":"delay","delay_ms":6000,"times":1})");
    t0 = std::chrono::steady_clock::now();
    a.out(cam::SPRO_REG_IGNO, 0, 0, 8);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4900));
    EXPECT_EQ(a.code(), cam::CAM_CMD_TIMEOUT);
    EXPECT_EQ(a.keys(), (std::vector<uint64_t>{7}));
}

// Without persistence through power loss a disk that comes back has no
// registrations and no reservation.
TEST_F(disks, reinserted_disk_comes_back_empty)
{
    create("da1", "scsi");
    scsi_init a("da1");
    a.out(cam::SPRO_REG_IGNO, 0, 0, 1);
    a.out(cam::SPRO_RESERVE, 3, 1, 0);
    ASSERT_TRUE(state("da1")["reservation"].is_object());
    std::string err;
    ASSERT_TRUE(de::set_removed("da1", true, &err));
    ASSERT_TRUE(de::set_removed("da1", false, &err));
    EXPECT_TRUE(state("da1")["registrations"].empty());
    EXPECT_TRUE(state("da1")["reservation"].is_null());
}

TEST_F(disks, removed_disk_kills_old_handles_for_good)
{
    create("da1", "scsi");
    create("nvme0ns1", "nvme");
    scsi_init a("da1");
    nvme_init n("/dev/nvme0ns1");
    std::string err;
    ASSERT_TRUE(de::set_removed("da1", true, &err));
    ASSERT_TRUE(de::set_removed("nvme0ns1", true, &err));
    EXPECT_EQ(a.out(cam::SPRO_REG_IGNO, 0, 0, 1), -1);
    EXPECT_EQ(n.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1), -1);
    EXPECT_FALSE(cam::open_device("da1"));
    ASSERT_TRUE(de::set_removed("da1", false, &err));
    ASSERT_TRUE(de::set_removed("nvme0ns1", false, &err));
    EXPECT_EQ(a.out(cam::SPRO_REG_IGNO, 0, 0, 1), -1) << "the old handle stays dead";
    EXPECT_EQ(n.cmd(nv::OPC_RESERVATION_REGISTER, 8, 0, 1), -1);
    scsi_init fresh("da1");
    EXPECT_EQ(fresh.out(cam::SPRO_REG_IGNO, 0, 0, 1), 0);
    // Every command is in the journal, faults and failures included.
    auto journal = de::read_journal("da1", &err);
    ASSERT_EQ(journal.size(), 5u);
    EXPECT_EQ(journal[0]["op"], "remove");
    EXPECT_EQ(journal[1]["status"], "ENXIO (device gone)");
    EXPECT_EQ(journal[4]["op"], "register_ignore");
    EXPECT_EQ(journal[4]["sa_key"], 1);
    EXPECT_EQ(journal[4]["generation"], 1);
    EXPECT_EQ(journal[4]["host"], "node1");
}

TEST_F(disks, setup_commands_and_dueling_count)
{
    create("da1", "scsi");
    create("nvme0ns1", "nvme");
    std::string err;
    for (const char* d : {"da1", "nvme0ns1"}) {
        ASSERT_TRUE(de::setup_command(d, "node1", "register", 0, 1, 0, &err)) << err;
        ASSERT_TRUE(de::setup_command(d, "node2", "register", 0, 2, 0, &err)) << err;
        ASSERT_TRUE(de::setup_command(d, "node1", "reserve", 2, 1, 0, &err)) << err;
        EXPECT_FALSE(de::setup_command(d, "node2", "reserve", 2, 2, 0, &err));
        EXPECT_EQ(err, "RESERVATION CONFLICT");
        ASSERT_TRUE(de::setup_command(d, "node2", "preempt", 2, 2, 1, &err)) << err;
        ASSERT_TRUE(de::setup_command(d, "node1", "register", 0, 1, 0, &err)) << err;
        ASSERT_TRUE(de::setup_command(d, "node1", "preempt", 2, 1, 2, &err)) << err;
    }
    EXPECT_EQ(de::count_dueling(int64_t{60} * 1000000000, &err), 2);
    EXPECT_EQ(de::count_dueling(0, &err), 0);
}

TEST_F(disks, two_processes_registering_lose_no_update)
{
    create("da1", "scsi");
    constexpr int rounds = 1000;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = ::fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            as(k == 0 ? "node1" : "node2");
            scsi_init i("da1");
            int bad = 0;
            for (int n = 0; n < rounds; ++n) {
                if (i.out(cam::SPRO_REG_IGNO, 0, 0, static_cast<uint64_t>(k + 1) * 1000000 + n) != 0 ||
                    i.code() != cam::CAM_REQ_CMP)
                    ++bad;
            }
            ::_exit(bad == 0 ? 0 : 1);
        }
    }
    for (pid_t p : kids) {
        int st = 0;
        ASSERT_EQ(::waitpid(p, &st, 0), p);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    auto s = state("da1");
    EXPECT_EQ(s["generation"], 2 * rounds);
    ASSERT_EQ(s["registrations"].size(), 2u);
    for (const auto& r : s["registrations"])
        EXPECT_EQ(r["key"].get<uint64_t>() % 1000000, rounds - 1u);
    std::string err;
    EXPECT_EQ(de::read_journal("da1", &err).size(), 2u * rounds);
}

}  // namespace
