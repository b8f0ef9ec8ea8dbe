#pragma once

#include <stdexcept>
#include <string>

namespace tallymere::cli {

// Exit statuses of the tool.
inline constexpr int exitOk = 0;
inline constexpr int exitFailed = 1;      // the command could not do its work
inline constexpr int exitUsage = 2;       // the command line itself is wrong
inline constexpr int exitCancelled = 130; // a run stopped by Ctrl-C (or a termination request)

// The command line is wrong: unknown command or option, missing or extra arguments, a bad value.
// Shown with the command's usage line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The command could not do its work. The text says what went wrong and what to do; it may hold a
// second line (the models hint).
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace tallymere::cli
