#include "converter/PumpMessages.h"

#include <QCoreApplication>
#include <QTimer>

void PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void PumpMessagesTimes(int count) {
    for (int i = 0; i < count; ++i) PumpMessages();
}

void PumpMessagesFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    PumpMessagesWhile([&] { return std::chrono::steady_clock::now() < deadline; });
}

void PumpMessagesWhile(const std::function<bool()>& keepWaiting,
                       QEventLoop::ProcessEventsFlags flags) {
    // The timer guarantees an event at least every kPumpWakeMs, which bounds each blocking wait.
    QTimer wake;
    wake.setInterval(kPumpWakeMs);
    wake.start();
    while (keepWaiting()) {
        QCoreApplication::processEvents(flags | QEventLoop::WaitForMoreEvents);
    }
}
