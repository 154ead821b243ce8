// Command-line parsing of kelm with CLI11; an option given twice keeps its last value.
#include "daemon/core/daemon_options.hpp"

#include <CLI/CLI.hpp>

namespace kelm {

parse_outcome parse_daemon_options(int argc, const char* const* argv)
{
    parse_outcome out;
    CLI::App app("kelm: storage cluster daemon (Raft membership, service placement, fencing)", "kelm");
    app.set_help_flag("-h,--help", "Display this help menu");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    std::string config_file, db_file, log_level, transport;
    uint32_t node_id = 0;
    auto* c = app.add_option("-c,--configuration-file", config_file, "Set configuration file")->option_text("CONFIG_FILE");
    auto* s = app.add_option("-s,--db-file", db_file, "Set database file")->option_text("DB_FILE");
    // The default lives under /var/db, which FreeBSD has and Linux does not.
    app.footer("Defaults: configuration file /usr/local/etc/kelm/config.json, database file /var/db/kelm.db\n"
               "(its folder must exist: FreeBSD has /var/db, Linux does not; create it or give -s).\n"
               "With KELM_EMUL_ROOT set the default database moves under $KELM_EMUL_ROOT/fs. Log level default: "
               "info.");
    auto* n = app.add_option("-n,--node-id", node_id, "Set node id")->option_text("NODE_ID");
    auto* l = app.add_option("-l", log_level, "Set log level")->option_text("trace|debug|info|warning|error|critical");
    auto* t = app.add_option("-t,--transport", transport, "Deprecated, ignored (Raft transport is always UDP)")
                  ->option_text("udp");
    out.summary = app.help();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out.what = parse_outcome::help;
        return out;
    } catch (const CLI::ParseError& e) {
        out.what = parse_outcome::error;
        out.error_text = e.what();
        return out;
    }
    if (c->count())
        out.options.config_file = config_file;
    if (s->count())
        out.options.db_file = db_file;
    if (n->count())
        out.options.node_id = node_id;
    if (l->count())
        out.options.log_level = log_level;
    if (t->count())
        out.options.transport = transport;
    return out;
}

}  // namespace kelm
