// kelm-emul-disk: creates emulated shared disks, sets up registrations and
// reservations as the acting host (KELM_EMUL_HOST), injects faults, removes and
// reinserts disks, and prints state, journal and the dueling count, for tests and
// demos. Every change goes through the disk library and its lock.
#include "platform/emulated/emul_tool.hpp"
#include "platform/emulated/disk_emul.hpp"
#include "platform/process.hpp"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

using platform::disk_emul::json;

const char* usage_text =
    "usage: kelm-emul-disk create <name> scsi|nvme\n"
    "       kelm-emul-disk show [<name>]\n"
    "       kelm-emul-disk register <name> <key>            (key 0 unregisters)\n"
    "       kelm-emul-disk reserve|release <name> <type> <key>\n"
    "       kelm-emul-disk preempt <name> <type> <key> <victim key>\n"
    "       kelm-emul-disk pr-clear <name> <key>\n"
    "       kelm-emul-disk fault '<fault json>'\n"
    "       kelm-emul-disk clear [<name>]                  (removes faults)\n"
    "       kelm-emul-disk remove|reinsert <name>\n"
    "       kelm-emul-disk journal <name>\n"
    "       kelm-emul-disk dueling <window seconds>\n"
    "types: 1..6 or WRITE_EXCLUSIVE, EXCLUSIVE_ACCESS, WRITE_EXCLUSIVE_RO, EXCLUSIVE_ACCESS_RO,\n"
    "       WRITE_EXCLUSIVE_AR, EXCLUSIVE_ACCESS_AR; keys decimal or 0x hexadecimal\n"
    "(state under $KELM_EMUL_ROOT/disks, acting as $KELM_EMUL_HOST)\n";

uint64_t parse_u64(const std::string& text, const char* what)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        throw std::invalid_argument(std::string("bad ") + what + ": " + text);
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        throw std::invalid_argument(std::string("bad ") + what + ": " + text);
    return v;
}

uint32_t parse_type(const std::string& text)
{
    static const char* names[] = {"WRITE_EXCLUSIVE", "EXCLUSIVE_ACCESS", "WRITE_EXCLUSIVE_RO",
                                  "EXCLUSIVE_ACCESS_RO", "WRITE_EXCLUSIVE_AR", "EXCLUSIVE_ACCESS_AR"};
    for (uint32_t i = 0; i < 6; ++i) {
        if (text == names[i])
            return i + 1;
    }
    uint64_t v = parse_u64(text, "type");
    if (v < 1 || v > 6)
        throw std::invalid_argument("bad type: " + text);
    return static_cast<uint32_t>(v);
}

int done(bool ok, const std::string& err)
{
    if (!ok)
        std::cerr << err << "\n";
    return ok ? 0 : 1;
}

int run(int argc, char** argv)
{
    namespace de = platform::disk_emul;
    if (argc < 2) {
        std::cerr << usage_text;
        return 2;
    }
    const std::string cmd = argv[1];
    std::string err;
    auto arg = [&](int i) { return std::string(argv[i]); };
    if (cmd == "create" && argc == 4)
        return done(de::create_disk(arg(2), arg(3), &err), err);
    if (cmd == "show" && (argc == 2 || argc == 3)) {
        json out = json::object();
        if (argc == 3) {
            auto d = de::read_disk(arg(2), &err);
            if (!d)
                return done(false, err);
            out = *d;
        } else {
            for (const auto& name : de::list_disks()) {
                auto d = de::read_disk(name, &err);
                if (!d)
                    return done(false, err);
                out[name] = *d;
            }
        }
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    if (cmd == "register" && argc == 4)
        return done(de::setup_command(arg(2), platform::get_hostname(), "register", 0, parse_u64(arg(3), "key"), 0,
                                      &err), err);
    if ((cmd == "reserve" || cmd == "release") && argc == 5)
        return done(de::setup_command(arg(2), platform::get_hostname(), cmd, parse_type(arg(3)),
                                      parse_u64(arg(4), "key"), 0, &err), err);
    if (cmd == "preempt" && argc == 6)
        return done(de::setup_command(arg(2), platform::get_hostname(), cmd, parse_type(arg(3)),
                                      parse_u64(arg(4), "key"), parse_u64(arg(5), "victim key"), &err), err);
    if (cmd == "pr-clear" && argc == 4)
        return done(de::setup_command(arg(2), platform::get_hostname(), "clear", 0, parse_u64(arg(3), "key"), 0,
                                      &err), err);
    if (cmd == "fault" && argc == 3)
        return done(de::add_fault(json::parse(arg(2)), &err), err);
    if (cmd == "clear" && (argc == 2 || argc == 3))
        return done(de::clear_faults(argc == 3 ? arg(2) : std::string(), &err), err);
    if ((cmd == "remove" || cmd == "reinsert") && argc == 3)
        return done(de::set_removed(arg(2), cmd == "remove", &err), err);
    if (cmd == "journal" && argc == 3) {
        if (!de::read_disk(arg(2), &err))
            return done(false, err);
        for (const auto& line : de::read_journal(arg(2), &err))
            std::cout << line.dump() << "\n";
        return done(err.empty(), err);
    }
    if (cmd == "dueling" && argc == 3) {
        double window = std::stod(arg(2));
        if (!(window >= 0) || window > 1e9)
            throw std::invalid_argument("bad window: " + arg(2));
        int64_t n = de::count_dueling(static_cast<int64_t>(window * 1e9), &err);
        if (!err.empty())
            return done(false, err);
        std::cout << n << "\n";
        return 0;
    }
    std::cerr << usage_text;
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    platform::emul_tool_main("kelm-emul-disk", run, argc, argv, 1);
}
