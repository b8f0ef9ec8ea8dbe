#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tallymere {

// The command that puts the face models into the user's models folder.
inline constexpr const char* getModelsCommand = "tallymere-cli get-models";

// Where the face models are looked for, in order:
//   - "ATTENDANCE_MODELS" when set, alone and used as it stands;
//   - a "Compiled" folder holding the recogniser, walking up at most 6 levels from the executable's
//     folder (a program run from its build tree);
//   - the user's folder, $XDG_DATA_HOME/tallymere/models (else ~/.local/share/tallymere/models);
//   - <executable dir>/../share/tallymere/models, then /usr/share/tallymere/models.
// The "Compiled" folder is listed only where it was found: an installed program has none.
struct ModelsLocation {
    std::vector<std::filesystem::path> searched;
    // The first searched folder holding the recogniser, else the user's folder.
    std::filesystem::path directory;
    bool found = false;
    // Where the models are put: "ATTENDANCE_MODELS" when set, else the user's folder.
    std::filesystem::path userFolder;

    // The search with its inputs given: the environment's values or null, the executable's folder.
    static ModelsLocation search(const char* modelsVariable, const char* dataHome, const char* home,
                                 const std::filesystem::path& executableDir);
    // The search for this process.
    static ModelsLocation current();

    // "Face models not found in A, B or C. Get them with: tallymere-cli get-models"
    std::string missingText() const;
};

} // namespace tallymere
