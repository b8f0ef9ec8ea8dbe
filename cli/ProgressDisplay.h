#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tallymere::cli {

// Shows a run's progress on standard error: on a terminal one line redrawn in place (a bar, the
// percentage and the progress text, which holds the frames done and the time left); otherwise one
// plain line per change, for logs of scheduled jobs.
class ProgressDisplay {
public:
    // `terminal`: whether to redraw in place; by default, whether standard error is a terminal.
    explicit ProgressDisplay(FILE* out = stderr);
    ProgressDisplay(FILE* out, bool terminal);
    ~ProgressDisplay();

    // The service's progress (0 to 1) and its message, as stored after each change.
    void show(double progress, std::string_view message);
    // Ends the redrawn line so that later output starts on a line of its own.
    void finish();

    // The bar line for a terminal `columns` wide.
    static std::string barLine(double progress, std::string_view message, int columns);

private:
    FILE* out;
    bool terminal;
    bool drawn = false;
    std::string lastPlain;
};

} // namespace tallymere::cli
