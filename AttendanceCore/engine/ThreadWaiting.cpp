#include "engine/ThreadWaiting.h"

#include <cstdlib>
#include <unistd.h>

namespace tallymere {

void preferPassiveThreadWaiting(char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") || std::getenv("GOMP_SPINCOUNT")) return;
    if (setenv("OMP_WAIT_POLICY", "passive", 1) != 0) return;
    execv("/proc/self/exe", argv);
    unsetenv("OMP_WAIT_POLICY");
}

} // namespace tallymere
