#include "GetModels.h"

#include "Errors.h"
#include "engine/ModelsLocation.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace tallymere::cli {

namespace fs = std::filesystem;

fs::path modelsFetcher(const fs::path& executableDir) {
    return (executableDir.parent_path() / "share" / "tallymere" / "get-models").lexically_normal();
}

int getModelsCommand(const fs::path&, const CommandLine& line) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path fetcher = modelsFetcher(exe.parent_path());
    if (!fs::is_regular_file(fetcher, ec))
        throw CommandError("The models fetcher " + fetcher.string() +
                           " is missing; reinstall Tallymere to get it back.");
    const fs::path folder = ModelsLocation::current().userFolder;
    std::cout << "Face models go into " << folder.string() << "\n" << std::flush;

    // The fetcher is Python: one implementation for the source folder and the installed program.
    std::vector<std::string> arguments{"/usr/bin/python3", fetcher.string()};
    if (!line.positionals.empty()) arguments.push_back(line.positionals.front());
    arguments.insert(arguments.end(), {"--out", folder.string()});
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int error = posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0)
        throw CommandError("Couldn't start " + std::string(argv[0]) + ": " + std::strerror(error) +
                           ". Install python3 and python3-onnx.");
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            throw CommandError("Lost the models fetcher: " + std::string(std::strerror(errno)));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return exitOk;
    // The fetcher has said what was wrong with the pack; nothing was written.
    return exitFailed;
}

} // namespace tallymere::cli
