#include "Arguments.h"

#include "Errors.h"

namespace tallymere::cli {

std::optional<std::string> CommandLine::option(std::string_view name) const {
    auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    return found->second;
}

namespace {

const OptionSpec* findOption(const std::vector<OptionSpec>& options, std::string_view name) {
    for (const OptionSpec& option : options)
        for (std::string_view candidate : option.names)
            if (candidate == name) return &option;
    return nullptr;
}

} // namespace

CommandLine parseArguments(const std::vector<std::string>& arguments,
                           const std::vector<OptionSpec>& options) {
    static const OptionSpec library{{"--library"}, "DIR", ""};
    CommandLine line;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
            line.positionals.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            line.help = true;
            continue;
        }
        std::string name = argument;
        std::optional<std::string> value;
        if (const auto equals = argument.find('=');
            argument.starts_with("--") && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        const OptionSpec* known = name == "--library" ? &library : findOption(options, name);
        if (!known) throw UsageError("unknown option " + name);
        if (known->value.empty()) {
            if (value) throw UsageError(name + " takes no value");
            line.options[std::string(known->names.front())] = "";
            continue;
        }
        if (!value) {
            if (i + 1 >= arguments.size())
                throw UsageError(name + " needs a value (" + std::string(known->value) + ")");
            value = arguments[++i];
        }
        if (known == &library) {
            if (value->empty()) throw UsageError("--library needs a folder");
            line.library = *value;
        } else {
            line.options[std::string(known->names.front())] = *value;
        }
    }
    return line;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace tallymere::cli
