#pragma once

#include "Arguments.h"

#include <filesystem>

namespace tallymere::cli {

// The models fetcher beside the program: <executable dir>/../share/tallymere/get-models, where the
// package installs it and the build tree mirrors it.
std::filesystem::path modelsFetcher(const std::filesystem::path& executableDir);

// "get-models [ZIP]": runs the models fetcher into the folder the engine searches first for this
// user ($ATTENDANCE_MODELS, else $XDG_DATA_HOME/tallymere/models). The fetcher states the
// licence, checks the pack and converts it; its messages and its failure are the command's.
int getModelsCommand(const std::filesystem::path& root, const CommandLine& line);

} // namespace tallymere::cli
