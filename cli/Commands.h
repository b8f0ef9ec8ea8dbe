#pragma once

#include "Arguments.h"

#include <filesystem>
#include <ostream>
#include <string_view>
#include <vector>

namespace tallymere::cli {

// One command of the tool: how it is called, what it does, and the function that does it.
struct CommandSpec {
    std::string_view name;
    std::string_view arguments; // the usage after the name, e.g. "ID NAME"
    std::string_view summary;   // one line for the overview
    std::string_view details;   // the rest of its --help
    std::vector<OptionSpec> options;
    int minArguments = 0;
    int maxArguments = 0; // -1: any number
    int (*run)(const std::filesystem::path& root, const CommandLine& line) = nullptr;
};

const std::vector<CommandSpec>& commandSpecs();
const CommandSpec* findCommand(std::string_view name);

void printOverview(std::ostream& out);
void printCommandHelp(std::ostream& out, const CommandSpec& command);
// "Usage: tallymere-cli [--library DIR] NAME ARGUMENTS"
std::string usageLine(const CommandSpec& command);

} // namespace tallymere::cli
