#pragma once

#include "library/LibraryError.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tallymere {

// Replaces `target` with `contents` so that a reader sees the old file or the new one, never part
// of one, also after a power cut: the text goes to a temporary file in the same folder, which is
// flushed to disk and renamed over the target, and then the folder itself is flushed. On failure
// the target keeps its previous content, the temporary file is removed, and a LibraryError says in
// one sentence which file could not be written and why (writeFailure). A temporary file left
// beside the target by a writer that was killed is removed at the next write.
void writeFileAtomically(const std::filesystem::path& target, std::string_view contents);

// Copies `source` to `target`, which must not exist yet, the same way: the target appears whole
// or not at all. A source that cannot be read is a LibraryError naming it and why; a target that
// cannot be written is writeFailure's.
void copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target);

// "Couldn't write FILE: the folder … does not exist." and the like: the file the user knows and
// the cause of the system error `error` in plain words.
LibraryError writeFailure(const std::filesystem::path& target, int error);
// The cause alone, as writeFailure words it ("the disk is full").
std::string writeFailureCause(const std::filesystem::path& target, int error);

} // namespace tallymere
