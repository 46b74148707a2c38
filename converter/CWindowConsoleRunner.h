// The console runner the program uses: every chunk goes into the shared output text and, through
// queued signals, to a notify object on the GUI thread.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringDecoder>

#include <memory>
#include <mutex>

#include "converter/CConsoleRunner.h"

// Lives on the GUI thread; the reader thread posts the output to it. Chunks that wait for the GUI
// thread are coalesced into one delivery per turn of its event loop and bounded to the last
// kRunnerOutputLimit bytes, so a converter that floods its output neither queues one event per
// chunk nor grows memory without end. Order is kept and the end comes exactly once, after the
// last chunk. A queued delivery to a RunnerSignals that is gone is dropped with it.
class RunnerSignals : public QObject {
    Q_OBJECT
public:
    // Reader thread: a chunk of output, and the end of the output.
    void Post(const char* bytes, std::size_t length);
    void PostEnd();

signals:
    // What arrived since the last delivery, in one piece.
    void output(const QByteArray& chunk);
    // The same bytes decoded from UTF-8 for display; a character split between two deliveries
    // arrives whole with the second.
    void text(const QString& text);
    void done();

private:
    void QueueDelivery();  // with m_mutex held
    void Deliver();        // GUI thread

    std::mutex m_mutex;
    QByteArray m_pending;
    bool m_deliveryQueued = false;
    bool m_ended = false;
    bool m_doneSent = false;                         // GUI thread only
    QStringDecoder m_decoder{QStringDecoder::Utf8};  // GUI thread only
};

class CWindowConsoleRunner : public CConsoleRunner {
public:
    // Empties the shared output text. Those of the slots OnRunnerOutput(QByteArray),
    // OnRunnerText(QString) and OnRunnerDone() that `notify` has receive the output (as bytes,
    // or decoded, in deliveries that may join several chunks) and its end (exactly once per
    // run). Construct on the GUI thread.
    explicit CWindowConsoleRunner(QObject* notify);
    ~CWindowConsoleRunner() override;

    static std::shared_ptr<CWindowConsoleRunner> Create(QObject* notify) {
        return std::make_shared<CWindowConsoleRunner>(notify);
    }

    RunnerSignals* Signals() const { return m_signals; }

protected:
    void OnOutput(const char* text, std::size_t length) override;

private:
    RunnerSignals* m_signals;
};
