// The SCSI and NVMe device classes over emulated disks: results, error kinds for
// every kind of injected fault, reports, and what they print (nothing when quiet).
#include "platform/emulated/disk_emul.hpp"
#include "reservation/guarded_resv.hpp"
#include "reservation/nvme.hpp"
#include "reservation/resv_open.hpp"
#include "reservation/scsi.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

using namespace FreeBSD::reservation;
namespace de = platform::disk_emul;
using de::json;

// Everything written to descriptors 1 and 2 while it lives.
class captured_output {
public:
    captured_output()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        for (int fd : {1, 2}) {
            char name[] = "/tmp/resv_capture.XXXXXX";
            files_[fd - 1] = ::mkstemp(name);
            ::unlink(name);
            saved_[fd - 1] = ::dup(fd);
            ::dup2(files_[fd - 1], fd);
        }
    }
    ~captured_output() { restore(); }
    // Restores the descriptors and returns {stdout, stderr}.
    std::pair<std::string, std::string> restore()
    {
        if (saved_[0] < 0)
            return texts_;
        std::fflush(stdout);
        std::fflush(stderr);
        std::string out[2];
        for (int i = 0; i < 2; ++i) {
            ::dup2(saved_[i], i + 1);
            ::close(saved_[i]);
            saved_[i] = -1;
            ::lseek(files_[i], 0, SEEK_SET);
            char buf[4096];
            ssize_t n;
            while ((n = ::read(files_[i], buf, sizeof(buf))) > 0)
                out[i].append(buf, static_cast<size_t>(n));
            ::close(files_[i]);
        }
        texts_ = {out[0], out[1]};
        return texts_;
    }

private:
    int files_[2] = {-1, -1};
    int saved_[2] = {-1, -1};
    std::pair<std::string, std::string> texts_;
};

class devices : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                ("resv_device_test." + std::to_string(::getpid()) + "." +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        ::setenv("KELM_EMUL_ROOT", root_.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "node1", 1);
        std::string err;
        ASSERT_TRUE(de::create_disk("da1", "scsi", &err)) << err;
        ASSERT_TRUE(de::create_disk("nvme0ns1", "nvme", &err)) << err;
    }
    void TearDown() override
    {
        std::filesystem::remove_all(root_);
        ::unsetenv("KELM_EMUL_ROOT");
        ::unsetenv("KELM_EMUL_HOST");
    }
    static void as(const char* host) { ::setenv("KELM_EMUL_HOST", host, 1); }
    static void fault(const json& f)
    {
        std::string err;
        ASSERT_TRUE(de::add_fault(f, &err)) << err;
    }
    static std::unique_ptr<resv> make(const std::string& name, bool quiet = true)
    {
        return open_resv_device(name, quiet);
    }
    std::filesystem::path root_;
};

TEST_F(devices, two_nodes_register_reserve_and_preempt)
{
    for (const char* disk : {"da1", "nvme0ns1"}) {
        SCOPED_TRACE(disk);
        as("node1");
        auto a = make(disk);
        as("node2");
        auto b = make(disk);
        EXPECT_FALSE(a->is_registered(1));
        EXPECT_EQ(a->error_kind(), resv_ok) << "a plain no";
        ASSERT_TRUE(a->registrate(1));
        ASSERT_TRUE(b->registrate(2));
        EXPECT_TRUE(b->is_registered(1) && b->is_registered(2));
        ASSERT_TRUE(a->acquire(1));
        EXPECT_TRUE(b->holds(1));
        EXPECT_FALSE(b->holds(2));
        EXPECT_FALSE(b->acquire(2));
        EXPECT_EQ(b->error_kind(), resv_rejected) << "a conflict is a rejection";
        ASSERT_TRUE(b->preempt(2, 1));
        EXPECT_TRUE(a->holds(2));
        EXPECT_FALSE(a->is_registered(1));
        EXPECT_FALSE(a->acquire(1));
        EXPECT_EQ(a->error_kind(), resv_rejected);
        EXPECT_TRUE(a->registrate(1));  // re-registering is always possible
        // So is registering another key: the initiator is re-keyed in place.
        EXPECT_TRUE(a->registrate(7));
        EXPECT_TRUE(b->is_registered(7));
        EXPECT_FALSE(b->is_registered(1));
        EXPECT_TRUE(a->registrate(1));
        EXPECT_FALSE(b->is_registered(7));
        EXPECT_TRUE(b->release(2));
        EXPECT_FALSE(a->holds(2));
        EXPECT_TRUE(b->unregistrate(2));
        EXPECT_FALSE(a->is_registered(2));
    }
}

// A SCSI initiator that was pre-empted gets a unit attention on its next command;
// the device class sends that command again and answers as if it had not come.
TEST_F(devices, a_unit_attention_is_retried_once_and_not_printed)
{
    captured_output cap;
    {
        as("node1");
        scsi a("da1", false);
        as("node2");
        scsi b("da1", false);
        ASSERT_TRUE(a.registrate(1) && b.registrate(2) && a.acquire(1));
        ASSERT_TRUE(b.preempt(2, 1));
        EXPECT_FALSE(a.is_registered(1));
        EXPECT_EQ(a.error_kind(), resv_ok) << "a plain no, not a failure";
        EXPECT_TRUE(a.registrate(1));
        EXPECT_TRUE(b.preempt(2, 1));
        EXPECT_TRUE(a.registrate(1)) << "an OUT command is retried as well";
        EXPECT_TRUE(a.is_registered(1));
    }
    auto [out, errs] = cap.restore();
    EXPECT_EQ(out, "") << errs;
    std::string err;
    int attentions = 0;
    for (const auto& j : de::read_journal("da1", &err))
        attentions += j.value("status", "").find("UNIT ATTENTION") != std::string::npos ? 1 : 0;
    EXPECT_EQ(attentions, 2);
}

TEST_F(devices, reports_and_all_registrants)
{
    std::string err;
    for (const char* disk : {"da1", "nvme0ns1"}) {
        ASSERT_TRUE(de::setup_command(disk, "node1", "register", 0, 1, 0, &err));
        ASSERT_TRUE(de::setup_command(disk, "node2", "register", 0, 2, 0, &err));
        ASSERT_TRUE(de::setup_command(disk, "node2", "reserve", EXCLUSIVE_ACCESS_AR, 2, 0, &err));
    }
    scsi s("da1", true);
    EXPECT_TRUE(s.holds(1) && s.holds(2)) << "every registered key holds";
    EXPECT_FALSE(s.holds(3));
    auto rs = s.report();
    ASSERT_TRUE(rs.ok) << rs.error_text;
    EXPECT_EQ(rs.generation, 2u);
    EXPECT_EQ(rs.type, EXCLUSIVE_ACCESS_AR);
    EXPECT_FALSE(rs.holder_known);
    ASSERT_EQ(rs.registrants.size(), 2u);
    EXPECT_TRUE(rs.registrants[0].holder && rs.registrants[1].holder);

    nvme n("nvme0ns1", true);
    EXPECT_TRUE(n.holds(1) && n.holds(2));
    auto rn = n.report();
    ASSERT_TRUE(rn.ok);
    EXPECT_EQ(rn.type, EXCLUSIVE_ACCESS_AR);
    EXPECT_FALSE(rn.holder_known);
    EXPECT_TRUE(rn.ptpl_known);
    ASSERT_EQ(rn.registrants.size(), 2u);
    EXPECT_TRUE(rn.registrants[1].controller_id_known);

    ASSERT_TRUE(de::setup_command("da1", "node2", "preempt", EXCLUSIVE_ACCESS, 2, 0, &err)) << err;
    rs = s.report();
    EXPECT_TRUE(rs.holder_known);
    EXPECT_EQ(rs.holder_key, 2u);
    ASSERT_EQ(rs.registrants.size(), 1u);
    EXPECT_TRUE(rs.registrants[0].holder);
}

TEST_F(devices, every_injected_fault_is_not_delivered_or_rejected)
{
    struct {
        const char* fault;
        uint32_t scsi_kind, nvme_kind;
    } table[] = {
        {R"({"action":"fail","errno":5})", 1, 1},
        {R"({"action":"fail","errno":6})", 1, 1},
        {R"({"action":"cam","cam_status":10})", 1, 2},       // selection time-out
        {R"({"action":"cam","cam_status":714})", 1, 2},      // ... with flag bits
        {R"({"action":"cam","cam_status":8})", 1, 2},        // device not there
        {R"({"action":"cam","cam_status":24})", 1, 2},       // terminated
        {R"({"action":"cam","cam_status":4})", 2, 2},        // completed with error
        {R"({"action":"cam","cam_status":204})", 2, 2},      // SCSI status error | autosense
        {R"({"action":"conflict"})", 2, 2},
        {R"({"action":"nvme","nvme_status":4})", 2, 2},
        {R"({"action":"nvme","nvme_status":512})", 2, 2},
        {R"({"action":"delay","delay_ms":50})", 0, 0},
    };
    auto s = make("da1");
    auto n = make("nvme0ns1");
    std::string err;
    for (const auto& t : table) {
        SCOPED_TRACE(t.fault);
        fault(json::parse(t.fault));
        // The NVMe port has no CAM status: a "cam" fault answers with its default completion.
        EXPECT_EQ(s->registrate(1), t.scsi_kind == 0);
        EXPECT_EQ(s->error_kind(), t.scsi_kind);
        EXPECT_EQ(n->registrate(1), t.nvme_kind == 0);
        EXPECT_EQ(n->error_kind(), t.nvme_kind);
        // Queries fail with the same kind.
        EXPECT_FALSE(s->holds(1));
        EXPECT_EQ(s->error_kind(), t.scsi_kind);
        ASSERT_TRUE(de::clear_faults("", &err));
    }
}

TEST_F(devices, timeouts_and_removed_disks_are_not_delivered)
{
    auto s = make("da1");
    auto n = make("nvme0ns1");
    fault(json{{"action", "delay"}, {"delay_ms", 5000}, {"times", 1}, {"disk", "da1"}});
    fault(json{{"action", "delay"}, {"delay_ms", 5000}, {"times", 1}, {"disk", "nvme0ns1"}});
    EXPECT_FALSE(s->registrate(1));
    EXPECT_EQ(s->error_kind(), resv_not_delivered);
    EXPECT_FALSE(n->registrate(1));
    EXPECT_EQ(n->error_kind(), resv_not_delivered);

    std::string err;
    ASSERT_TRUE(de::set_removed("da1", true, &err));
    ASSERT_TRUE(de::set_removed("nvme0ns1", true, &err));
    for (auto* d : {s.get(), n.get()}) {
        EXPECT_FALSE(d->registrate(1));
        EXPECT_EQ(d->error_kind(), resv_not_delivered);
        EXPECT_FALSE(d->is_registered(1));
        EXPECT_EQ(d->error_kind(), resv_not_delivered);
    }
    auto gone = make("da1");
    EXPECT_EQ(gone->error_kind(), resv_not_delivered);
    EXPECT_FALSE(gone->holds(1));
    EXPECT_EQ(static_cast<scsi*>(gone.get())->read_keys().error_text, "cannot open device");
    ASSERT_TRUE(de::set_removed("da1", false, &err));
    EXPECT_FALSE(s->registrate(1)) << "a reinserted disk needs a new handle";
    EXPECT_TRUE(make("da1")->registrate(1));
}

TEST_F(devices, the_class_follows_the_name)
{
    for (auto [name, is_nvme] : {std::pair{"nvme0ns1", true}, {"xnvmey", true}, {"NVME0NS1", false}, {"da1", false}})
        EXPECT_EQ(is_nvme_name(name), is_nvme) << name;
    EXPECT_NE(dynamic_cast<nvme*>(open_resv_device("nvme0ns1", true).get()), nullptr);
    EXPECT_NE(dynamic_cast<scsi*>(open_resv_device("NVME0NS1", true).get()), nullptr);
}

// A device that was never opened still issues its commands: they fail on the
// invalid descriptor as not delivered. One without a namespace id sends with id 0
// and the namespace rejects it. The path is "/dev/" + the name, always.
TEST_F(devices, nvme_without_open_or_namespace_id_still_issues_its_commands)
{
    nvme never("nvme9ns1", true);
    EXPECT_EQ(never.path(), "/dev/nvme9ns1");
    EXPECT_FALSE(never.registrate(1));
    EXPECT_EQ(never.error_kind(), resv_not_delivered);
    auto r = never.report();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error_kind, resv_not_delivered);
    EXPECT_EQ(r.error_text, "reservation report was not delivered to the device");

    fault(json{{"disk", "nvme0ns1"}, {"op", "nsid"}, {"action", "fail"}, {"times", 1}});
    nvme n("nvme0ns1", true);
    EXPECT_EQ(n.error_kind(), resv_not_delivered);
    std::string err;
    size_t before = de::read_journal("nvme0ns1", &err).size();
    EXPECT_FALSE(n.registrate(1));
    EXPECT_EQ(n.error_kind(), resv_rejected);
    EXPECT_FALSE(n.preempt(1, 2));
    EXPECT_EQ(n.error_kind(), resv_rejected);
    EXPECT_EQ(de::read_journal("nvme0ns1", &err).size(), before + 2) << "both commands reached the disk";
    auto ds = de::read_disk("nvme0ns1", &err);
    ASSERT_TRUE(ds);
    EXPECT_TRUE((*ds)["registrations"].empty()) << "namespace id 0 changes nothing";

    nvme full("/dev/nvme0ns1", true);
    EXPECT_EQ(full.path(), "/dev//dev/nvme0ns1");
    EXPECT_FALSE(full.registrate(1));
    EXPECT_EQ(full.error_kind(), resv_not_delivered);
}

TEST_F(devices, quiet_devices_print_nothing_at_all)
{
    captured_output cap;
    {
        fault(json{{"disk", "nvme0ns1"}, {"op", "nsid"}, {"action", "fail"}, {"times", 1}});
        for (const char* name : {"da9", "nvme9ns1", "nvme0ns1", "da1", "nvme0ns1"}) {
            auto d = make(name, true);
            d->registrate(1);
            d->acquire(1);
            d->holds(1);
            d->is_registered(1);
        }
        fault(json{{"action", "conflict"}});
        for (const char* name : {"da1", "nvme0ns1"}) {
            auto d = make(name, true);
            d->registrate(2);
            d->preempt(2, 1);
            d->release(2);
            d->unregistrate(2);
        }
        scsi("da1", true).report();
        nvme("nvme0ns1", true).report();
    }
    auto [out, errs] = cap.restore();
    EXPECT_EQ(out, "");
    EXPECT_EQ(errs, "");
}

TEST_F(devices, loud_devices_print_their_messages)
{
    captured_output cap;
    {
        fault(json{{"disk", "da1"}, {"op", "ccb"}, {"action", "fail"}, {"times", 1}});
        scsi no_ccb("da1", false);
        EXPECT_FALSE(no_ccb.registrate(1));
        EXPECT_EQ(no_ccb.error_kind(), resv_not_delivered);
        scsi missing("da9", false);
        nvme missing_ns("nvme9ns1", false);
        EXPECT_FALSE(missing_ns.unregistrate(1));  // sent on the invalid descriptor
        nvme ns("nvme0ns1", false);
        scsi disk("da1", false);
        fault(json{{"action", "conflict"}});
        ns.registrate(1);
        disk.registrate(1);
        std::string err;
        de::clear_faults("", &err);
        fault(json{{"action", "fail"}});
        disk.registrate(1);
        ns.acquire(1);
    }
    auto [out, errs] = cap.restore();
    EXPECT_EQ(out,
              "Can't get ccb da1"
              "Done: path: /dev/nvme0ns1, namespace ID: 1\n"
              "da1 registrate error\n"
              "Error sending da1\n");
    EXPECT_NE(errs.find("Can't open: da9\n"), std::string::npos) << errs;
    EXPECT_NE(errs.find("Can't open: /dev/nvme9ns1\n"), std::string::npos);
    EXPECT_NE(errs.find("Registration failed, CPL error.\n"), std::string::npos);
    EXPECT_NE(errs.find("Acquire failed, ioctl error.\n"), std::string::npos);
    EXPECT_NE(errs.find("Unregistration failed, ioctl error.\n"), std::string::npos);
    EXPECT_NE(errs.find("(da1): PERSISTENT RESERVE OUT. CDB: 5f 06 00 00 00 00 00 00 18 00\n"), std::string::npos)
        << errs;
    EXPECT_NE(errs.find("SCSI status: Reservation Conflict"), std::string::npos);
}

TEST_F(devices, a_flapping_disk_is_quarantined_once_and_never_touched_again)
{
    for (const char* disk : {"da1", "nvme0ns1"}) {
        SCOPED_TRACE(disk);
        auto dev = make(disk);
        int quarantines = 0;
        guarded_resv guard(dev.get(), 3, uint64_t{60} * 1000000000, guarded_resv::steady_now,
                           [&](resv& d, const disk_health& h) {
                               EXPECT_EQ(d.name(), disk);
                               EXPECT_EQ(h.total, 3u);
                               ++quarantines;
                           });
        ASSERT_TRUE(guard.registrate(1));
        // Rejections never count, however many.
        fault(json{{"disk", disk}, {"action", "conflict"}, {"times", 10}});
        for (int i = 0; i < 10; ++i)
            EXPECT_FALSE(guard.acquire(1));
        EXPECT_TRUE(guard.usable());
        // Outages do, once each however many commands fail in them: the third
        // within the window quarantines.
        std::string err;
        for (int outage = 1; outage <= 3; ++outage) {
            fault(json{{"disk", disk}, {"action", "fail"}, {"flap", {{"period_ms", 1000000}, {"down_ms", 1000000}}}});
            EXPECT_FALSE(guard.holds(1));
            EXPECT_FALSE(guard.is_registered(1));
            EXPECT_FALSE(guard.registrate(1));
            if (outage == 3)
                break;
            EXPECT_TRUE(guard.usable()) << outage;
            ASSERT_TRUE(de::clear_faults(disk, &err));
            EXPECT_TRUE(guard.is_registered(1));
        }
        EXPECT_FALSE(guard.usable());
        EXPECT_EQ(quarantines, 1);
        ASSERT_TRUE(de::clear_faults(disk, &err));
        size_t seen = de::read_journal(disk, &err).size();
        EXPECT_FALSE(guard.registrate(1));
        EXPECT_FALSE(guard.holds(1));
        EXPECT_FALSE(guard.preempt(1, 2));
        EXPECT_EQ(de::read_journal(disk, &err).size(), seen) << "no I/O after quarantine";
        EXPECT_EQ(quarantines, 1);
        EXPECT_EQ(guard.error_kind(), resv_not_delivered);
    }
}

}  // namespace
