// The console runner the program uses: every chunk goes into the shared output text and, through
// queued signals, to a notify object on the GUI thread.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringDecoder>

#include <memory>

#include "converter/CConsoleRunner.h"

// Lives on the GUI thread; the reader thread emits through it. Queued connections copy each chunk
// and keep their order, and a receiver that is destroyed is disconnected with its pending chunks
// dropped, so no chunk reaches a destroyed window.
class RunnerSignals : public QObject {
    Q_OBJECT
signals:
    void output(const QByteArray& chunk);
    // The same chunk decoded from UTF-8 for display; a character split between two chunks
    // arrives whole with the second.
    void text(const QString& text);
    void done();
};

class CWindowConsoleRunner : public CConsoleRunner {
public:
    // Empties the shared output text. Those of the slots OnRunnerOutput(QByteArray),
    // OnRunnerText(QString) and OnRunnerDone() that `notify` has receive every chunk (as bytes,
    // or decoded) and the end of the output (exactly once per run). Construct on the GUI thread.
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
    QStringDecoder m_decoder{QStringDecoder::Utf8};  // used by the reader thread only
};
