#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere::cli {

// One option a command accepts: its names ("--mode", or "-o" and "--output"), the name of its
// value (empty for a flag) and a line of help.
struct OptionSpec {
    std::vector<std::string_view> names;
    std::string_view value;
    std::string_view help;
};

// A command's arguments after parsing.
struct CommandLine {
    std::vector<std::string> positionals;
    std::map<std::string, std::string, std::less<>> options; // by the option's first name
    bool help = false;
    std::optional<std::filesystem::path> library;

    std::optional<std::string> option(std::string_view name) const;
    bool flag(std::string_view name) const { return options.count(name) != 0; }
};

// Parses a command's arguments. Its own options (value as the next argument or after "="),
// "--library DIR" and "--help"/"-h" are recognised anywhere before a "--"; every other argument
// starting with "-" (except "-" itself) is an unknown option. Throws UsageError.
CommandLine parseArguments(const std::vector<std::string>& arguments,
                           const std::vector<OptionSpec>& options);

// Spaces and tabs removed from both ends (line breaks stay), as names and labels are stored.
std::string trimmed(std::string_view text);

} // namespace tallymere::cli
