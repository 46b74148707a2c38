#include "converter/CWindowConsoleRunner.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QThread>

namespace {

bool HasSlot(const QObject* object, const char* signature) {
    return object->metaObject()->indexOfSlot(QMetaObject::normalizedSignature(signature)) >= 0;
}

}  // namespace

CWindowConsoleRunner::CWindowConsoleRunner(QObject* notify) : m_signals(new RunnerSignals) {
    g_runnerOutput.Clear();
    if (!notify)
        return;
    if (HasSlot(notify, "OnRunnerOutput(QByteArray)")) {
        QObject::connect(m_signals, SIGNAL(output(QByteArray)), notify,
                         SLOT(OnRunnerOutput(QByteArray)), Qt::QueuedConnection);
    }
    if (HasSlot(notify, "OnRunnerText(QString)")) {
        QObject::connect(m_signals, SIGNAL(text(QString)), notify, SLOT(OnRunnerText(QString)),
                         Qt::QueuedConnection);
    }
    if (HasSlot(notify, "OnRunnerDone()")) {
        QObject::connect(m_signals, SIGNAL(done()), notify, SLOT(OnRunnerDone()),
                         Qt::QueuedConnection);
    }
}

CWindowConsoleRunner::~CWindowConsoleRunner() {
    // The last owner may be the reader thread; the emitter belongs to the GUI thread and is
    // deleted there.
    if (QThread::currentThread() == m_signals->thread() || !QCoreApplication::instance()) {
        delete m_signals;
    } else {
        m_signals->deleteLater();
    }
}

void CWindowConsoleRunner::OnOutput(const char* text, std::size_t length) {
    if (text) {
        g_runnerOutput.Append(std::string_view(text, length));
        const QByteArray chunk(text, static_cast<qsizetype>(length));
        emit m_signals->output(chunk);
        const QString decoded = m_decoder.decode(chunk);
        if (!decoded.isEmpty())
            emit m_signals->text(decoded);
    } else {
        emit m_signals->done();
    }
    CConsoleRunner::OnOutput(text, length);
}
