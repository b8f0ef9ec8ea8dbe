#pragma once

#include <filesystem>
#include <string_view>

namespace tallymere {

// Replaces `target` with `contents` so that a reader sees the old file or the new one, never part
// of one, also after a power cut: the text goes to a temporary file in the same folder, which is
// flushed to disk and renamed over the target, and then the folder itself is flushed. On failure
// the target keeps its previous content, the temporary file is removed, and the file system's
// error is thrown (std::filesystem::filesystem_error).
void writeFileAtomically(const std::filesystem::path& target, std::string_view contents);

} // namespace tallymere
