#include "engine/ModelsLocation.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

bool holdsRecognizer(const fs::path& folder) {
    std::error_code ec;
    return fs::is_regular_file(folder / "ArcFace.onnx", ec);
}

bool isSet(const char* value) {
    return value && *value;
}

} // namespace

ModelsLocation ModelsLocation::search(const char* modelsVariable, const char* dataHome,
                                      const char* home, const fs::path& executableDir) {
    ModelsLocation location;
    if (isSet(modelsVariable)) {
        location.searched = {fs::path(modelsVariable)};
        location.directory = location.userFolder = location.searched.front();
        location.found = holdsRecognizer(location.directory);
        return location;
    }
    if (!executableDir.empty()) {
        fs::path dir = executableDir;
        for (int level = 0; level < 6; ++level) {
            if (holdsRecognizer(dir / "Compiled")) {
                location.searched.push_back(dir / "Compiled");
                break;
            }
            if (!dir.has_parent_path() || dir.parent_path() == dir) break;
            dir = dir.parent_path();
        }
    }
    // The XDG rules ignore a relative data home.
    fs::path data;
    if (isSet(dataHome) && fs::path(dataHome).is_absolute())
        data = dataHome;
    else
        data = fs::path(isSet(home) ? home : "/") / ".local" / "share";
    location.userFolder = data / "tallymere" / "models";
    location.searched.push_back(location.userFolder);
    if (!executableDir.empty())
        location.searched.push_back(
            (executableDir.parent_path() / "share" / "tallymere" / "models").lexically_normal());
    location.searched.push_back("/usr/share/tallymere/models");
    // An installed program's own share folder is /usr/share: name it once.
    auto& list = location.searched;
    for (auto it = list.begin(); it != list.end(); ++it)
        list.erase(std::remove(it + 1, list.end(), *it), list.end());

    location.directory = location.userFolder;
    for (const fs::path& folder : list) {
        if (holdsRecognizer(folder)) {
            location.directory = folder;
            location.found = true;
            break;
        }
    }
    return location;
}

ModelsLocation ModelsLocation::current() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return search(std::getenv("ATTENDANCE_MODELS"), std::getenv("XDG_DATA_HOME"),
                  std::getenv("HOME"), exe.empty() ? fs::path() : exe.parent_path());
}

std::string ModelsLocation::missingText() const {
    std::string text = "Face models not found in ";
    for (std::size_t i = 0; i < searched.size(); ++i) {
        if (i > 0) text += i + 1 == searched.size() ? " or " : ", ";
        text += searched[i].string();
    }
    return text + ". Get them with: " + getModelsCommand;
}

} // namespace tallymere
