// The reservation bytes: what each operation sends, how answers parse, how
// statuses classify.
#include "reservation/nvme_resv_format.hpp"
#include "reservation/scsi.hpp"
#include "reservation/scsi_pr_format.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

using namespace FreeBSD::reservation;
namespace cam = platform::cam;
namespace nv = platform::nvme;

// The byte positions of `bytes` that are not zero.
template <typename Bytes>
std::set<size_t> nonzero(const Bytes& bytes)
{
    std::set<size_t> at;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != 0)
            at.insert(i);
    }
    return at;
}

TEST(scsi_bytes, each_operation_sends_its_action_type_and_keys)
{
    const uint32_t key = 0x01020304, victim = 0x0a0b0c0d;
    struct {
        scsi_op op;
        int sa, type;
        std::set<size_t> at;
        const char* label;
    } table[] = {
        {scsi_op::registrate, 6, 0, {12, 13, 14, 15}, "registrate"},
        {scsi_op::unregistrate, 6, 0, {4, 5, 6, 7}, "unregistrate"},
        {scsi_op::acquire, 1, 3, {4, 5, 6, 7, 12, 13, 14, 15}, "acquire"},
        {scsi_op::preempt, 4, 3, {4, 5, 6, 7, 12, 13, 14, 15}, "preempt"},
        {scsi_op::release, 2, 3, {4, 5, 6, 7}, "release"},
    };
    for (const auto& t : table) {
        auto c = scsi_out_for(t.op, key, victim);
        EXPECT_EQ(c.service_action, t.sa) << t.label;
        EXPECT_EQ(c.type_code, t.type) << t.label;
        EXPECT_STREQ(c.label, t.label);
        EXPECT_EQ(nonzero(c.params), t.at) << t.label;
        if (t.at.count(4)) {
            EXPECT_EQ(c.params[4], 0x01);
            EXPECT_EQ(c.params[7], 0x04);
        }
        if (t.at.count(12)) {
            EXPECT_EQ(c.params[15], t.op == scsi_op::preempt ? 0x0d : 0x04) << t.label;
        }

        cam::ccb ccb;
        uint8_t params[24];
        build_pr_out(&ccb, c, params);
        uint8_t cdb[10] = {0x5f, static_cast<uint8_t>(t.sa), static_cast<uint8_t>(t.type), 0, 0, 0, 0, 0, 24, 0};
        EXPECT_EQ(ccb.cdb_len, 10);
        EXPECT_EQ(0, std::memcmp(ccb.cdb, cdb, 10)) << t.label;
        EXPECT_EQ(0, std::memcmp(params, c.params.data(), 24));
        EXPECT_EQ(ccb.data_ptr, params);
        EXPECT_EQ(ccb.flags, cam::CAM_DIR_OUT | cam::CAM_DEV_QFRZDIS);
        EXPECT_EQ(ccb.retry_count, 1u);
        EXPECT_EQ(ccb.timeout_ms, 5000u);
        EXPECT_EQ(ccb.sense_len, 252);
        EXPECT_EQ(ccb.tag_action, 0);
    }
    cam::ccb ccb;
    uint8_t buf[4];
    build_pr_in(&ccb, 1, buf, 65535);
    uint8_t cdb[10] = {0x5e, 1, 0, 0, 0, 0, 0, 0xff, 0xff, 0};
    EXPECT_EQ(0, std::memcmp(ccb.cdb, cdb, 10));
    EXPECT_EQ(ccb.flags, cam::CAM_DIR_IN | cam::CAM_DEV_QFRZDIS);
}

std::vector<uint8_t> header(uint32_t generation, uint32_t additional, size_t total)
{
    std::vector<uint8_t> b(total, 0);
    for (int i = 0; i < 4 && static_cast<size_t>(i) < total; ++i)
        b[i] = static_cast<uint8_t>(generation >> (24 - 8 * i));
    for (int i = 0; i < 4 && static_cast<size_t>(4 + i) < total; ++i)
        b[4 + i] = static_cast<uint8_t>(additional >> (24 - 8 * i));
    return b;
}

TEST(scsi_bytes, read_keys_lengths_and_short_buffers)
{
    struct {
        uint32_t additional;
        size_t total;
        bool ok;
        size_t keys;
        bool truncated;
    } table[] = {
        {0, 0, false, 0, false},  {0, 7, false, 0, false}, {0, 8, true, 0, false},   {8, 16, true, 1, false},
        {16, 24, true, 2, false}, {16, 20, true, 1, true}, {20, 28, true, 2, false}, {20, 100, true, 2, false},
        {8, 8, true, 0, true},    {0xffffffff, 65535, true, 8190, true},
    };
    for (const auto& t : table) {
        auto b = header(0x11223344, t.additional, t.total);
        for (size_t i = 8; i < b.size(); ++i)
            b[i] = static_cast<uint8_t>(i);
        auto r = parse_read_keys(b);
        EXPECT_EQ(r.ok, t.ok) << t.additional << "/" << t.total;
        EXPECT_EQ(r.keys.size(), t.keys) << t.additional << "/" << t.total;
        EXPECT_EQ(r.truncated, t.truncated) << t.additional << "/" << t.total;
        if (!t.ok) {
            EXPECT_EQ(r.error_text, "READ KEYS answer is shorter than its header");
        } else {
            EXPECT_EQ(r.generation, 0x11223344u);
        }
        if (t.keys > 0) {
            EXPECT_EQ(r.keys[0], 0x08090a0b0c0d0e0fULL);
        }
    }
}

TEST(scsi_bytes, read_reservation_descriptor_and_types)
{
    auto rr = [](uint32_t additional, size_t total, uint8_t scope_type, uint64_t key) {
        auto b = header(7, additional, total);
        for (int i = 0; i < 8 && 8 + i < static_cast<int>(total); ++i)
            b[8 + i] = static_cast<uint8_t>(key >> (56 - 8 * i));
        if (total > 21)
            b[21] = scope_type;
        return parse_read_reservation(b);
    };
    EXPECT_EQ(rr(0, 4, 0, 0).error_text, "READ RESERVATION answer is shorter than its header");
    auto none = rr(0, 8, 0, 0);
    EXPECT_TRUE(none.ok && !none.reserved);
    for (auto [additional, total] : {std::pair{8u, 24u}, {1u, 24u}, {13u, 24u}, {16u, 21u}}) {
        auto r = rr(additional, total, 3, 1);
        EXPECT_FALSE(r.ok) << additional << "/" << total;
        EXPECT_EQ(r.error_text, "reservation descriptor is truncated");
    }
    auto held = rr(16, 24, 0x23, 0x0000000100000002ULL);  // scope nibble 2 is ignored
    ASSERT_TRUE(held.ok && held.reserved);
    EXPECT_EQ(held.raw_type, 3);
    EXPECT_EQ(held.type, EXCLUSIVE_ACCESS);
    EXPECT_EQ(held.holder_key, 0x0000000100000002ULL);
    EXPECT_TRUE(rr(14, 22, 8, 0).ok);
    // The whole code table: 1, 3, 5, 6, 7, 8 map to 1..6, the rest are unknown.
    const uint32_t want[16] = {0, 1, 0, 2, 0, 3, 4, 5, 6};
    for (uint8_t code = 0; code < 16; ++code) {
        auto r = rr(16, 24, code, 1);
        EXPECT_EQ(r.type, want[code]) << int(code);
        EXPECT_EQ(r.type_known, want[code] != 0) << int(code);
        if (want[code] != 0) {
            EXPECT_EQ(scsi_code_from_type(want[code]), code);
        }
    }
}

TEST(scsi_bytes, cam_status_classification_ignores_flag_bits)
{
    const std::set<uint32_t> not_delivered = {0x07, 0x08, 0x0a, 0x0b, 0x0e, 0x0f, 0x11, 0x12, 0x13, 0x18, 0x19};
    for (uint32_t code = 0; code <= 0x3f; ++code) {
        uint32_t want = code == 1 ? 0 : not_delivered.count(code) ? 1 : 2;
        for (uint32_t flags : {0u, 0x40u, 0x80u, 0x2c0u, 0x400u}) {
            EXPECT_EQ(cam_status_kind(code | flags), want) << std::hex << code << " " << flags;
        }
    }
}

TEST(nvme_bytes, each_operation_sends_its_command_and_data)
{
    struct {
        nvme_op op;
        uint8_t opc;
        uint32_t cdw10;
        uint32_t length;
        std::set<size_t> at;
        const char* label;
    } table[] = {
        {nvme_op::registrate, 0x0d, 8, 16, {8, 9, 10, 11}, "Registration"},
        {nvme_op::rekey, 0x0d, 2 | 8, 16, {8, 9, 10, 11}, "Registration"},
        {nvme_op::unregistrate, 0x0d, 1, 16, {0, 1, 2, 3}, "Unregistration"},
        {nvme_op::acquire, 0x11, 0x200, 16, {0, 1, 2, 3}, "Acquire"},
        {nvme_op::preempt, 0x11, 0x201, 16, {0, 1, 2, 3, 8, 9, 10, 11}, "Preempt"},
        {nvme_op::release, 0x15, 0x200, 8, {0, 1, 2, 3}, "Release"},
    };
    for (const auto& t : table) {
        auto c = nvme_out_for(t.op, 0x01020304, 0x05060708);
        EXPECT_EQ(c.opcode, t.opc) << t.label;
        EXPECT_EQ(c.cdw10, t.cdw10) << t.label;
        EXPECT_EQ(c.length, t.length) << t.label;
        EXPECT_STREQ(c.label, t.label);
        EXPECT_EQ(nonzero(c.data), t.at) << t.label;
        EXPECT_EQ(c.data[t.op == nvme_op::registrate || t.op == nvme_op::rekey ? 8 : 0], 0x04) << "little-endian";
        auto pt = nvme_request(c, 9, c.data.data());
        EXPECT_EQ(pt.cmd.opc, t.opc);
        EXPECT_EQ(pt.cmd.nsid, 9u);
        EXPECT_EQ(pt.cmd.cdw10, t.cdw10);
        EXPECT_EQ(pt.cmd.cdw11 | pt.cmd.cdw12 | pt.cmd.cdw13 | pt.cmd.cdw14 | pt.cmd.cdw15 | pt.cmd.cdw2, 0u);
        EXPECT_EQ(pt.len, t.length);
        EXPECT_EQ(pt.is_read, 0u);
    }
    uint8_t buf[1];
    auto rep = nvme_report_request(3, buf);
    EXPECT_EQ(rep.cmd.opc, 0x0e);
    EXPECT_EQ(rep.cmd.cdw10, 1023u);
    EXPECT_EQ(rep.len, 4096u);
    EXPECT_EQ(rep.is_read, 1u);
}

std::vector<uint8_t> report(uint8_t type, uint16_t listed, size_t entries, size_t total)
{
    std::vector<uint8_t> b(total, 0);
    b[0] = 0x05;
    b[4] = type;
    b[5] = static_cast<uint8_t>(listed);
    b[6] = static_cast<uint8_t>(listed >> 8);
    b[9] = 1;
    for (size_t i = 0; i < entries && 24 + 24 * (i + 1) <= total; ++i) {
        uint8_t* e = b.data() + 24 + 24 * i;
        e[0] = static_cast<uint8_t>(i + 1);
        e[16] = static_cast<uint8_t>(0x10 + i);
        e[23] = 0x80;
    }
    return b;
}

TEST(nvme_bytes, report_parses_holders_truncation_and_types)
{
    auto r = report(2, 3, 3, 4096);
    r[24 + 24 + 2] = 1;  // the second entry holds
    auto s = parse_nvme_report(r);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.generation, 5u);
    EXPECT_TRUE(s.reserved && s.type_known);
    EXPECT_EQ(s.type, EXCLUSIVE_ACCESS);
    EXPECT_TRUE(s.ptpl && s.ptpl_known);
    ASSERT_EQ(s.registrants.size(), 3u);
    EXPECT_TRUE(s.holder_known);
    EXPECT_EQ(s.holder_key, 0x8000000000000011ULL);
    EXPECT_TRUE(s.registrants[1].holder && !s.registrants[0].holder);
    EXPECT_EQ(s.registrants[2].controller_id, 3);

    auto many = parse_nvme_report(report(0, 170, 170, 4096));
    EXPECT_EQ(many.registrants.size(), 169u);
    EXPECT_TRUE(many.truncated);
    EXPECT_FALSE(many.reserved);

    auto ar = report(5, 2, 2, 4096);
    ar[24 + 2] = ar[48 + 2] = 1;
    auto sa = parse_nvme_report(ar);
    EXPECT_TRUE(sa.registrants[0].holder);
    EXPECT_FALSE(sa.holder_known) << "no single holder for all-registrants";

    auto odd = parse_nvme_report(report(9, 0, 0, 24));
    EXPECT_TRUE(odd.ok && odd.reserved && !odd.type_known);
    EXPECT_EQ(odd.raw_type, 9);

    auto shorter = parse_nvme_report(report(0, 0, 0, 23));
    EXPECT_FALSE(shorter.ok);
    EXPECT_EQ(shorter.error_kind, 2u);
    EXPECT_EQ(shorter.error_text, "reservation report is shorter than its header");
    EXPECT_TRUE(parse_nvme_report(report(0, 1, 0, 47)).truncated);
}

TEST(nvme_bytes, status_classification)
{
    for (uint16_t s : {0x0000, 0x0001, 0x1000, 0x8001, 0xf001})
        EXPECT_EQ(nvme_status_kind(s), 0u) << std::hex << s;
    for (uint16_t s : {0x0002, 0x0004, 0x0106, 0x0107, 0x0200, 0x0e00, 0x8004})
        EXPECT_EQ(nvme_status_kind(s), 2u) << std::hex << s;
}

TEST(resv_types, names)
{
    const char* names[] = {"UNKNOWN", "WRITE_EXCLUSIVE", "EXCLUSIVE_ACCESS", "WRITE_EXCLUSIVE_RO",
                           "EXCLUSIVE_ACCESS_RO", "WRITE_EXCLUSIVE_AR", "EXCLUSIVE_ACCESS_AR", "UNKNOWN"};
    for (uint32_t t = 0; t < 8; ++t)
        EXPECT_STREQ(resv_type_name(t), names[t]);
}

}  // namespace
