#pragma once

#include "library/Member.h"

#include <vector>

namespace tallymere {

class FaceEngine;
class Library;

// Gives an engine whose recogniser waits for its 8-bit scales (FaceEngine::wantsRecognizerScales)
// scales measured on the faces of the members' accepted photos: the only real faces at hand
// before a service runs. Needs FaceEngine::minScaleFaces faces; with fewer the recogniser keeps
// its other precision and a later call tries again. Photos that cannot be read are passed over;
// returns whether the recogniser now runs in 8 bits.
bool measureRecognizerScales(FaceEngine& engine, const Library& library,
                             const std::vector<Member>& members);

} // namespace tallymere
