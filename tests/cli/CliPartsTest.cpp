// The tool's own pieces: argument parsing, name trimming, table layout, the progress line and the
// duration and status texts.

#include "Arguments.h"
#include "Errors.h"
#include "Format.h"
#include "ProgressDisplay.h"
#include "Table.h"
#include "library/Library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

using namespace tallymere;
using namespace tallymere::cli;

TEST(CliArguments, OptionsValuesAndPositionals) {
    const std::vector<OptionSpec> options{
        {{"--mode"}, "MODE", ""}, {{"-o", "--output"}, "FILE", ""}, {{"--dry"}, "", ""}};
    CommandLine line = parseArguments({"a.mp4", "--mode", "quick", "-o", "-", "--library=/lib",
                                       "b.jpg", "--dry", "--", "--mode", "-"},
                                      options);
    EXPECT_EQ(line.positionals, (std::vector<std::string>{"a.mp4", "b.jpg", "--mode", "-"}));
    EXPECT_EQ(line.option("--mode"), "quick");
    EXPECT_EQ(line.option("-o"), "-");
    EXPECT_TRUE(line.flag("--dry"));
    EXPECT_EQ(line.library, std::filesystem::path("/lib"));
    EXPECT_FALSE(line.help);

    line = parseArguments({"--output=x.csv", "--mode=", "-h"}, options);
    EXPECT_EQ(line.option("-o"), "x.csv");
    EXPECT_EQ(line.option("--mode"), ""); // an empty value is the command's to refuse
    EXPECT_TRUE(line.help);

    auto message = [&](const std::vector<std::string>& arguments) -> std::string {
        try {
            parseArguments(arguments, options);
        } catch (const UsageError& error) {
            return error.what();
        }
        return "accepted";
    };
    EXPECT_EQ(message({"--mode"}), "--mode needs a value (MODE)");
    EXPECT_EQ(message({"--dry=yes"}), "--dry takes no value");
    EXPECT_EQ(message({"-x"}), "unknown option -x");
    EXPECT_EQ(message({"--library", ""}), "--library needs a folder");
    EXPECT_EQ(message({"--library"}), "--library needs a value (DIR)");
}

TEST(CliArguments, NamesLoseSpacesAndTabsAtTheEndsOnly) {
    EXPECT_EQ(trimmed("  Anne Smith\t "), "Anne Smith");
    EXPECT_EQ(trimmed("\tA  B\t"), "A  B");
    EXPECT_EQ(trimmed("Anne\n"), "Anne\n"); // line breaks are not trimmed
    EXPECT_EQ(trimmed(" \t "), "");
}

TEST(CliTable, ColumnsFollowTheWidestCellAsATerminalShowsIt) {
    EXPECT_EQ(displayWidth("abc"), 3u);
    EXPECT_EQ(displayWidth("Zoë"), 3u);          // precomposed
    EXPECT_EQ(displayWidth("Zoe\u0308"), 3u);    // combining diaeresis
    EXPECT_EQ(displayWidth("\u5f20\u4f1f"), 4u); // two wide characters
    EXPECT_EQ(displayWidth("1/11 frames \u00b7 2 s"), 17u);
    EXPECT_EQ(displayWidth("\xff"
                           "a"),
              2u); // a stray byte counts once

    Table table({{"NAME"}, {"N", true}, {"NOTE"}});
    table.add({"\u5f20\u4f1f", "7", "x"});
    table.add({"Zoë Long", "12"});
    std::ostringstream out;
    table.print(out, "> ");
    EXPECT_EQ(out.str(), "> NAME       N  NOTE\n"
                         "> \u5f20\u4f1f       7  x\n"
                         "> Zoë Long  12\n");
}

TEST(CliProgress, BarShowsTheFractionAndFitsTheTerminal) {
    EXPECT_EQ(ProgressDisplay::barLine(0.5, "6/12 frames \u00b7 3 s left", 80),
              "[############------------]  50%  6/12 frames \u00b7 3 s left");
    EXPECT_EQ(ProgressDisplay::barLine(0.999, "Matching", 80),
              "[#######################-]  99%  Matching");
    EXPECT_EQ(ProgressDisplay::barLine(-1, "", 80), "[------------------------]   0%  ");
    // A narrow terminal cuts the text, never in the middle of a character.
    const std::string cut = ProgressDisplay::barLine(0.1, "1/11 frames \u00b7 ~14 min left", 45);
    EXPECT_EQ(cut, "[##----------------------]  10%  1/11 frames");
    EXPECT_EQ(ProgressDisplay::barLine(0.1, "ab\u00b7cd", 36),
              "[##----------------------]  10%  ab");

    // Plain lines, one per new message, when standard error is not a terminal.
    std::FILE* file = std::tmpfile();
    {
        ProgressDisplay display(file, false);
        display.show(0, "Preparing face models");
        display.show(0.09, "1/11 frames");
        display.show(0.09, "1/11 frames");
        display.show(0.99, "Matching");
    }
    std::rewind(file);
    char buffer[256] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    EXPECT_EQ(std::string(buffer, n), "Preparing face models\n1/11 frames\nMatching\n");
}

TEST(CliFormat, PercentagesAndStatuses) {
    EXPECT_EQ(percent(0.879f), "87%");
    EXPECT_EQ(percent(1.0f), "100%");
    EXPECT_EQ(percent(0.0f), "0%");

    Member member;

    Service service("s", "Sunday", {}, {}, {}, ProcessSettings::Mode::standard);
    EXPECT_EQ(statusWithMessage(service), "Queued");
    service.status = ServiceStatus::processing;
    service.progress = 0.456;
    service.message = "5/11 frames";
    EXPECT_EQ(statusWithMessage(service), "Processing 45%: 5/11 frames");
    service.status = ServiceStatus::cancelled;
    service.message = "Cancelled";
    EXPECT_EQ(statusWithMessage(service), "Cancelled");
    service.status = ServiceStatus::failed;
    service.message = "This file has no video in it.";
    EXPECT_EQ(statusWithMessage(service), "Failed: This file has no video in it.");

    EXPECT_EQ(memberName({member}, "M0009"), "M0009");

    // Numbers far out of range in a hand-edited record print as nothing, not as garbage.
    EXPECT_EQ(percent(1e30f), "");
    EXPECT_EQ(formatClock(1e300), "");
    EXPECT_EQ(formatClock(-1e19), "");
    service.status = ServiceStatus::processing;
    service.message.clear();
    service.progress = 1e300;
    EXPECT_EQ(statusText(service), "Processing 100%");
    service.progress = -1e300;
    EXPECT_EQ(statusText(service), "Processing 0%");
}

TEST(CliFormat, ControlCharactersAreShownEscaped) {
    EXPECT_EQ(printable("Anne Smith"), "Anne Smith");
    EXPECT_EQ(printable("Émile 李"), "Émile 李");
    EXPECT_EQ(printable("Anne\nM0002  Bob"), "Anne\\nM0002  Bob");
    EXPECT_EQ(printable("\x1b[2J\x1b]0;title\x07"), "\\x1b[2J\\x1b]0;title\\x07");
    EXPECT_EQ(printable("a\tb\rc\x7f"), "a\\tb\\rc\\x7f");
    EXPECT_EQ(printable("\xc2\x9b"
                        "31m"),
              "\\u009b31m"); // the 8-bit escape, U+009B
    EXPECT_EQ(printable("line one\nline two", true), "line one\nline two");
    // Direction overrides would show a name reversed, as another text.
    EXPECT_EQ(printable("Anne \u202egpj.exe \u2066x\u2069"), "Anne \\u202egpj.exe \\u2066x\\u2069");
    EXPECT_EQ(printable("\u2028 \u20ac"), "\u2028 \u20ac");
    // Tables show cells escaped too, so a name cannot add a row.
    Table table({{"NAME"}});
    table.add({"Anne\nM0002  Bob"});
    std::ostringstream out;
    table.print(out);
    EXPECT_EQ(out.str(), "NAME\nAnne\\nM0002  Bob\n");
}
