// Event processing for the waits on the GUI thread.
#pragma once

#include <QEventLoop>

#include <chrono>
#include <functional>

// Longest a wait blocks for events before it checks its condition again.
inline constexpr int kPumpWakeMs = 20;

// Processes every pending event of the calling thread, then returns; never waits.
void PumpMessages();

// PumpMessages `count` times in a row: a short pause that keeps the windows alive.
void PumpMessagesTimes(int count);

// Processes events for `duration`, blocking for them meanwhile (a wait that keeps the windows
// alive without spinning).
void PumpMessagesFor(std::chrono::milliseconds duration);

// Processes events while `keepWaiting()` holds. Between checks it blocks until an event arrives
// or kPumpWakeMs pass, so a wait never spins a core. `flags` can defer user input.
void PumpMessagesWhile(const std::function<bool()>& keepWaiting,
                       QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);
