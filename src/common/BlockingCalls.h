#pragma once
// Calls that may block for seconds (a sound server that does not answer) run here, never on the
// main thread nor on a recorder's thread, and never on Qt's global pool, whose few threads the
// resizes and file finishing need.
#include <functional>

namespace lc {

// Runs `call` on a thread of a pool kept for blocking calls. What it throws is written to
// standard error: hand results on by posting them (PostGate), not by throwing.
void runBlocking(std::function<void()> call);

} // namespace lc
