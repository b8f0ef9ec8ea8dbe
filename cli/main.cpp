// tallymere-cli: the command-line face of the library. Each command is one entry of the table
// below; global options come before the command.

#include "library/Library.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tallymere;

constexpr int exitUsage = 2;

// What every command gets: the library's root and the command's own arguments.
struct Invocation {
    std::filesystem::path root;
    std::vector<std::string> arguments;
};

struct Command {
    std::string_view name;
    std::string_view summary;
    std::function<int(const Invocation&)> run;
};

struct UsageError {
    std::string message;
};

std::string localTime(Date date) {
    const std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

void printMembers(const std::vector<Member>& members) {
    std::cout << "Members (" << members.size() << ")\n";
    for (const Member& member : members) {
        std::cout << "  " << member.id << "  " << member.name << "  " << member.photos.size()
                  << (member.photos.size() == 1 ? " photo" : " photos") << ", "
                  << member.goodPhotos() << " usable\n";
    }
}

void printServices(const std::vector<Service>& services) {
    std::cout << "Services (" << services.size() << ")\n";
    for (const Service& service : services) {
        std::cout << "  " << service.id << "  " << localTime(service.date) << "  "
                  << service.status.rawValue() << "  " << service.label;
        if (service.results)
            std::cout << "  (" << service.results->present() << " present, "
                      << service.results->absent() << " absent)";
        std::cout << "\n";
    }
}

void requireNoArguments(const Invocation& invocation, std::string_view command) {
    if (!invocation.arguments.empty())
        throw UsageError{std::string(command) +
                         " takes no arguments: " + invocation.arguments.front()};
}

int listCommand(const Invocation& invocation) {
    requireNoArguments(invocation, "list");
    Library library(invocation.root);
    std::cout << "Library " << library.root().string() << "\n";
    printMembers(library.loadMembers());
    printServices(library.loadServices());
    return 0;
}

int membersCommand(const Invocation& invocation) {
    requireNoArguments(invocation, "members");
    printMembers(Library(invocation.root).loadMembers());
    return 0;
}

int servicesCommand(const Invocation& invocation) {
    requireNoArguments(invocation, "services");
    printServices(Library(invocation.root).loadServices());
    return 0;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table{
        {"list", "open the library and list its members and services", listCommand},
        {"members", "list the members", membersCommand},
        {"services", "list the services, newest first", servicesCommand},
    };
    return table;
}

void printUsage(std::ostream& out) {
    out << "Usage: tallymere-cli [--library DIR] COMMAND [ARGUMENTS]\n\n"
           "Options:\n"
           "  --library DIR  the library folder (default: $TALLYMERE_LIBRARY, else\n"
           "                 $XDG_DATA_HOME/Tallymere, else ~/.local/share/Tallymere)\n"
           "  --help         show this text\n\n"
           "Commands:\n";
    for (const Command& command : commands())
        out << "  " << command.name << std::string(10 - command.name.size(), ' ') << command.summary
            << "\n";
}

int run(int argc, char** argv) {
    std::optional<std::filesystem::path> root;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            printUsage(std::cout);
            return 0;
        }
        if (argument == "--library") {
            if (index + 1 >= argc) throw UsageError{"--library needs a folder"};
            root = argv[++index];
            continue;
        }
        if (argument.starts_with("--library=")) {
            root = std::string(argument.substr(10));
            continue;
        }
        if (argument.starts_with("-")) throw UsageError{"unknown option " + std::string(argument)};
        break;
    }
    if (index >= argc) throw UsageError{"no command given"};
    const std::string_view name = argv[index];
    for (const Command& command : commands()) {
        if (command.name != name) continue;
        Invocation invocation{root ? *root : Library::defaultRoot(),
                              std::vector<std::string>(argv + index + 1, argv + argc)};
        return command.run(invocation);
    }
    throw UsageError{"unknown command " + std::string(name)};
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "tallymere-cli: " << error.message << "\n\n";
        printUsage(std::cerr);
        return exitUsage;
    } catch (const std::exception& error) {
        std::cerr << "tallymere-cli: " << error.what() << "\n";
        return 1;
    }
}
