#pragma once
// Named pipes in tests of code that must never wait on one.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tstest {

// Makes a named pipe at path (mode 0600); false when it cannot be made.
bool makeNamedPipe(const std::string& path);

// Runs body on its own thread and waits for it up to timeout. When it is still
// running after that (blocked opening or reading one of the pipes), the pipes
// are opened from this side, which lets it go on to the end, and the answer
// is false; a body that hangs regardless is left running detached, so the
// test still ends.
bool finishesWithin(std::chrono::milliseconds timeout, const std::vector<std::string>& pipes,
                    const std::function<void()>& body);

}  // namespace tstest
