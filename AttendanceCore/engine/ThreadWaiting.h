#pragma once

namespace tallymere {

// The oneDNN runtime's OpenMP threads spin while they wait for work; when the cores are also
// decoding video or serving other programs, the spinning takes their processor time from the
// useful threads (measured: a recogniser batch twice as slow with one core busy). OpenMP reads its
// waiting policy once, when the process starts, so a program that runs models calls this first
// thing in `main`: unless the environment already chooses a policy, it sets the passive one and
// starts the program again with the same arguments. When the restart fails it returns, and the
// program carries on with the default policy, slower but correct.
void preferPassiveThreadWaiting(char** argv);

} // namespace tallymere
