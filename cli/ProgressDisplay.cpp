#include "ProgressDisplay.h"

#include "Table.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tallymere::cli {

namespace {

int terminalColumns(FILE* out) {
    winsize size{};
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// The message cut to `width` columns, on a character boundary.
std::string fitted(std::string_view text, std::size_t width) {
    if (displayWidth(text) <= width) return std::string(text);
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t next = i + 1;
        while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80)
            ++next;
        if (displayWidth(out + std::string(text.substr(i, next - i))) > width) break;
        out += text.substr(i, next - i);
        i = next;
    }
    return out;
}

} // namespace

ProgressDisplay::ProgressDisplay(FILE* out) : ProgressDisplay(out, ::isatty(fileno(out)) == 1) {}

ProgressDisplay::ProgressDisplay(FILE* out, bool terminal) : out(out), terminal(terminal) {}

ProgressDisplay::~ProgressDisplay() {
    finish();
}

std::string ProgressDisplay::barLine(double progress, std::string_view message, int columns) {
    const double fraction = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
    constexpr int barWidth = 24;
    const int filled = static_cast<int>(fraction * barWidth);
    std::string line = "[" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "] ";
    const std::string percentage = std::to_string(static_cast<int>(fraction * 100)) + "%";
    line += std::string(4 - std::min<std::size_t>(4, percentage.size()), ' ') + percentage + "  ";
    const int room = std::max(0, columns - 1 - static_cast<int>(line.size()));
    return line + fitted(message, static_cast<std::size_t>(room));
}

void ProgressDisplay::show(double progress, std::string_view message) {
    if (terminal) {
        std::fprintf(out, "\r\033[K%s", barLine(progress, message, terminalColumns(out)).c_str());
        drawn = true;
    } else if (message != lastPlain) {
        lastPlain = message;
        std::fprintf(out, "%.*s\n", static_cast<int>(message.size()), message.data());
    }
    std::fflush(out);
}

void ProgressDisplay::finish() {
    if (drawn) {
        std::fputs("\r\033[K", out);
        std::fflush(out);
        drawn = false;
    }
}

} // namespace tallymere::cli
