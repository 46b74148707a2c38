#include "converter/CWindowConsoleRunner.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QThread>

namespace {

bool HasSlot(const QObject* object, const char* signature) {
    return object->metaObject()->indexOfSlot(QMetaObject::normalizedSignature(signature)) >= 0;
}

}  // namespace

void RunnerSignals::Post(const char* bytes, std::size_t length) {
    std::lock_guard lock(m_mutex);
    m_pending.append(bytes, static_cast<qsizetype>(length));
    // While the GUI thread is held up, keep only the newest output; cut in steps so that a long
    // hold-up moves the pending bytes only now and then.
    const auto limit = static_cast<qsizetype>(kRunnerOutputLimit);
    if (m_pending.size() > limit + limit / 4)
        m_pending.remove(0, m_pending.size() - limit);
    QueueDelivery();
}

void RunnerSignals::PostEnd() {
    std::lock_guard lock(m_mutex);
    m_ended = true;
    QueueDelivery();
}

void RunnerSignals::QueueDelivery() {
    if (m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &RunnerSignals::Deliver, Qt::QueuedConnection);
}

void RunnerSignals::Deliver() {
    QByteArray chunk;
    bool ended;
    {
        std::lock_guard lock(m_mutex);
        chunk.swap(m_pending);
        ended = m_ended;
        m_deliveryQueued = false;
    }
    if (!chunk.isEmpty()) {
        emit output(chunk);
        const QString decoded = m_decoder.decode(chunk);
        if (!decoded.isEmpty())
            emit text(decoded);
    }
    if (ended && !m_doneSent) {
        m_doneSent = true;
        emit done();
    }
}

CWindowConsoleRunner::CWindowConsoleRunner(QObject* notify) : m_signals(new RunnerSignals) {
    g_runnerOutput.Clear();
    if (!notify)
        return;
    // The deliveries already run on the GUI thread.
    if (HasSlot(notify, "OnRunnerOutput(QByteArray)")) {
        QObject::connect(m_signals, SIGNAL(output(QByteArray)), notify,
                         SLOT(OnRunnerOutput(QByteArray)));
    }
    if (HasSlot(notify, "OnRunnerText(QString)")) {
        QObject::connect(m_signals, SIGNAL(text(QString)), notify, SLOT(OnRunnerText(QString)));
    }
    if (HasSlot(notify, "OnRunnerDone()")) {
        QObject::connect(m_signals, SIGNAL(done()), notify, SLOT(OnRunnerDone()));
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
        m_signals->Post(text, length);
    } else {
        m_signals->PostEnd();
    }
    CConsoleRunner::OnOutput(text, length);
}
