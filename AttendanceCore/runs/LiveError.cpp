#include "runs/LiveError.h"

namespace tallymere {

LiveError LiveError::noCamera() {
    return {Kind::noCamera, "Camera unavailable"};
}

LiveError LiveError::cameraDenied() {
    return {Kind::cameraDenied, "Camera access is off. Allow your user to use the camera (the "
                                "video group) and try again."};
}

} // namespace tallymere
