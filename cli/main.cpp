// tallymere-cli: the whole offline job from a terminal, on the same library folder as the
// application: enrol members, check their photos, process a recording, read and export the
// register. Global options come before the command or among its arguments.

#include "Access.h"
#include "Arguments.h"
#include "Commands.h"
#include "Errors.h"
#include "Format.h"
#include "engine/ThreadWaiting.h"
#include "library/Library.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace tallymere;
using namespace tallymere::cli;

namespace {

// One line per text line, each after the tool's name for the first.
void printError(const std::string& text) {
    // The text may quote names and file contents: only its own line breaks reach the terminal.
    std::cerr << "tallymere-cli: " << printable(text, true) << "\n";
}

int run(const std::vector<std::string>& arguments, const CommandSpec*& command) {
    std::optional<std::filesystem::path> library;
    std::size_t index = 0;
    for (; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            printOverview(std::cout);
            return exitOk;
        }
        if (argument == "--version") {
            std::cout << "tallymere-cli " << TALLYMERE_VERSION << "\n";
            return exitOk;
        }
        if (argument == "--library" || argument.starts_with("--library=")) {
            std::string value;
            if (argument != "--library")
                value = argument.substr(10);
            else if (index + 1 < arguments.size())
                value = arguments[++index];
            if (value.empty()) throw UsageError("--library needs a folder");
            library = value;
            continue;
        }
        if (argument.starts_with("-")) throw UsageError("unknown option " + argument);
        break;
    }
    if (index >= arguments.size()) throw UsageError("no command given");
    std::string name = arguments[index];
    std::vector<std::string> rest(arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                                  arguments.end());
    if (name == "help") {
        if (rest.empty()) {
            printOverview(std::cout);
            return exitOk;
        }
        name = rest.front();
        rest = {"--help"};
    }
    command = findCommand(name);
    if (!command) throw UsageError("unknown command " + name);

    const CommandLine line = parseArguments(rest, command->options);
    if (line.help) {
        printCommandHelp(std::cout, *command);
        return exitOk;
    }
    const int count = static_cast<int>(line.positionals.size());
    if (count < command->minArguments)
        throw UsageError(std::string(command->name) + " needs " + std::string(command->arguments));
    if (command->maxArguments >= 0 && count > command->maxArguments)
        throw UsageError("too many arguments for " + std::string(command->name) + ": " +
                         line.positionals[static_cast<std::size_t>(command->maxArguments)]);
    if (line.library) library = line.library;
    return command->run(library ? *library : Library::defaultRoot(), line);
}

} // namespace

int main(int argc, char** argv) {
    preferPassiveThreadWaiting(argv);
    const CommandSpec* command = nullptr;
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc), command);
    } catch (const UsageError& error) {
        printError(error.what());
        if (command)
            std::cerr << usageLine(*command) << "\nMore: tallymere-cli " << command->name
                      << " --help\n";
        else
            std::cerr << "Usage: tallymere-cli [--library DIR] COMMAND [ARGUMENTS]\n"
                         "Commands: tallymere-cli --help\n";
        return exitUsage;
    } catch (const CommandError& error) {
        printError(error.what());
        return exitFailed;
    } catch (const LibraryError& error) {
        printError(withHint(error));
        return exitFailed;
    } catch (const std::exception& error) {
        printError(error.what());
        return exitFailed;
    }
}
