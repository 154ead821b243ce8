// Phase lines, the logger set-up and the usage line.
#include "nodeactions/phase_log.hpp"

#include <fmt/format.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace nodeactions {

void setup_logger(const std::string& name)
{
    auto sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    auto logger = std::make_shared<spdlog::logger>(name, sink);
    logger->set_level(spdlog::level::info);
    logger->set_pattern(log_pattern, spdlog::pattern_time_type::local);
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);
}

std::string escape_value(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f)
                out += fmt::format("\\x{:02x}", c);
            else
                out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

std::string phase_text(const std::string& phase, const std::string& context, const std::string& message)
{
    if (context.empty())
        return fmt::format("phase={} : {}", escape_value(phase), escape_value(message));
    return fmt::format("phase={} {} : {}", escape_value(phase), escape_value(context), escape_value(message));
}

}  // namespace

void phase_info(const std::string& phase, const std::string& context, const std::string& message)
{
    spdlog::info("{}", phase_text(phase, context, message));
}

void phase_error(const std::string& phase, const std::string& context, const std::string& message)
{
    spdlog::error("{}", phase_text(phase, context, message));
}

int phase_failed(const std::string& phase, const std::string& context, int code, const std::string& message)
{
    if (context.empty())
        spdlog::error("FAILED phase={} exit={} : {}", escape_value(phase), code, escape_value(message));
    else
        spdlog::error("FAILED phase={} {} exit={} : {}", escape_value(phase), escape_value(context), code,
                      escape_value(message));
    return code;
}

std::string ctx(std::initializer_list<std::pair<const char*, std::string>> pairs)
{
    std::string out;
    for (const auto& [key, value] : pairs) {
        if (!out.empty())
            out += ' ';
        out += key;
        out += '=';
        out += value;
    }
    return out;
}

void print_usage(const char* usage_format, const char* program_path, const char* fallback_name)
{
    const char* path = (program_path != nullptr) ? program_path : fallback_name;
    spdlog::error("{}", escape_value(fmt::format(fmt::runtime(usage_format), path)));
}

}  // namespace nodeactions
