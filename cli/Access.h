#pragma once

#include "Errors.h"
#include "engine/FaceEngine.h"
#include "library/LibraryLock.h"
#include "library/OpenLibrary.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tallymere::cli {

// How the tool reaches the library: each command opens it (an OpenLibrary, for reading or for
// writing) and acts on it through the core's operations; what is here is only the tool's own
// part: its access rule beside the application, the engine for one command, and how to go on.

// The library as a command opens it: a member change that has to wait for another program's says
// so on standard error.
class CommandLibrary : public OpenLibrary {
public:
    explicit CommandLibrary(const std::filesystem::path& root, Use use = Use::writing);
};

// The members of the opened library, or a LibraryError (damagedMembers) naming the file and what
// is wrong with it when the stored list cannot be used.
const std::vector<Member>& usableMembers(const OpenLibrary& library);

// For a command that only reads (the library opened for reading, so nothing on disk changes): a
// service left queued or processing while no program holds the library is shown as interrupted,
// as the next writing command will store it.
void showInterrupted(OpenLibrary& library);

// Opens the library as the application does at start: services left queued or processing marked
// interrupted, unless another process holds the library's lock (then they are that process's
// running service).
void repairIfFree(OpenLibrary& library);

// The face engine for one command. Missing models are a CommandError with the engine's text;
// models that cannot be loaded one with, on a second line, how to get them again.
std::unique_ptr<FaceEngine> loadEngine();

// A library error's text with how to go on from the command line.
std::string withHint(const LibraryError& error);

// The library's write access for a command that changes it, held for as long as the command runs:
// tool commands share it with each other, and the application, which holds the library for its
// whole life, excludes them. While the application has the library this refuses at once with a
// CommandError naming it; a moment's exclusive hold by another tool's repair is waited out.
LibraryLock writeAccess(const std::filesystem::path& root);

// The second line of the message about models that are there but cannot be loaded.
inline constexpr const char* modelsHint = "Get them again with: tallymere-cli get-models";

} // namespace tallymere::cli
