// The hook's INI file: line rules, section/key map and the read of the whole file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace notify {

// Section name -> key -> value. Keys before any section header live in section "".
using ini_data = std::map<std::string, std::map<std::string, std::string>>;

// Parses INI text line by line. Lines end at '\n'; each is trimmed of spaces, tabs,
// CR and LF; blank lines and whole-line comments ('#' or ';' first) are skipped;
// "[ name ]" opens a section; "key = value" splits at the first '='; a later
// occurrence of a key replaces the earlier one; any other line is ignored.
ini_data parse_ini(std::string_view text);

// The value stored under section/key, or the empty string when either is missing.
std::string ini_value(const ini_data& data, const std::string& section, const std::string& key);

// Reads and parses the file; nullopt when it cannot be opened or read.
std::optional<ini_data> load_ini(const std::string& path);

}  // namespace notify
