#pragma once

// Runs the built tallymere-cli as a child process, with its own environment additions, and
// collects its standard output, standard error and exit status.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallymere::testing {

struct CliResult {
    int status = -1; // exit status, or 128 + signal when killed by one
    std::string out; // standard output
    std::string err; // standard error
};

// The binary under test: TALLYMERE_BINARY_DIR/cli/tallymere-cli.
std::filesystem::path cliBinary();

// A running tallymere-cli.
class CliProcess {
public:
    // Starts the tool with `arguments`; `environment` entries are set (an empty value unsets the
    // variable). Standard input is /dev/null.
    CliProcess(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment);
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Reads output until standard error holds `text` or the tool ends; whether the text came.
    // `limit` only keeps a broken tool from hanging the test.
    bool waitForError(const std::string& text,
                      std::chrono::seconds limit = std::chrono::seconds(120));
    void signal(int number);
    // Reads the rest and waits for the tool to end.
    CliResult finish();

private:
    // Reads what is ready (waiting up to `timeoutMs`); false once both pipes are closed.
    bool pump(int timeoutMs);

    int pid = -1;
    int outFd = -1;
    int errFd = -1;
    CliResult result;
    bool done = false;
};

// Runs the tool to its end.
CliResult runCli(const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment = {});

} // namespace tallymere::testing
