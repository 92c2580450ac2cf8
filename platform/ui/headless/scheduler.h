// The virtual clock of the headless build and the waits on it. Shared with the other stand-ins whose waits are
// timed (processes of platform/desktop/sim).
#pragma once

#include <cstdint>
#include <functional>

namespace ui::headless {

// Blocks the calling thread until the virtual clock reaches wakeAt, or until stop() holds; stop is checked under
// the scheduler's lock whenever the clock moves or a thread is woken. Returns the value of stop().
bool waitUntil(uint64_t wakeAt, const std::function<bool()>& stop);
// Wakes threads waiting in waitUntil so they check their stop condition again.
void notifyAll();

}  // namespace ui::headless
