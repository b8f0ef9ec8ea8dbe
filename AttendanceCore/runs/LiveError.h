#pragma once

#include <stdexcept>

namespace tallymere {

// Why a live session could not use its camera. The description is shown to the user.
class LiveError : public std::runtime_error {
public:
    enum class Kind { noCamera, cameraDenied };

    // "Camera unavailable"
    static LiveError noCamera();
    // "Camera access is off. Allow your user to use the camera (the video group) and try again."
    static LiveError cameraDenied();

    Kind kind() const noexcept { return kind_; }

private:
    LiveError(Kind kind, const char* description) : std::runtime_error(description), kind_(kind) {}

    Kind kind_;
};

} // namespace tallymere
