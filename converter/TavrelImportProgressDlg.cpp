#include "converter/TavrelImportProgressDlg.h"

#include <unistd.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "base/Globals.h"
#include "converter/CProcessKiller.h"
#include "converter/CWindowConsoleRunner.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterOutput.h"
#include "converter/PumpMessages.h"

std::atomic<bool> g_cancelConversion{false};

namespace {

// A progress time this large is not a time.
constexpr double kTimeLimit = 1e10;

}  // namespace

TavrelImportProgressDlg::TavrelImportProgressDlg(const QString& title, const QString& label,
                                                 const QString& detail, std::string scriptPath,
                                                 std::string inputPath, std::string outputPath,
                                                 std::string options, QWidget* parent)
    : TemplateDialog(kTemplateId, parent),
      m_title(title),
      m_label(label),
      m_detail(detail),
      m_scriptPath(std::move(scriptPath)),
      m_inputPath(std::move(inputPath)),
      m_outputPath(std::move(outputPath)),
      m_options(std::move(options)) {
    if (auto* cancel = ControlAs<QPushButton>(kCancelId)) {
        connect(cancel, &QPushButton::clicked, this, [] { g_cancelConversion = true; });
    }
}

int TavrelImportProgressDlg::exec() {
    // Everything up to the progress range happens before the window is shown.
    QueryMediaDuration(this, m_inputPath, m_durationSeconds);
    setWindowTitle(m_title);
    WriteTextFile(m_scriptPath,
                  ConversionCommand(g_ffmpegExe, m_inputPath, m_options, m_outputPath));
    if (auto* label = ControlAs<QLabel>(kLabelId))
        label->setText(m_label);
    if (auto* detail = ControlAs<QLabel>(kDetailId))
        detail->setText(m_detail);
    if (auto* bar = ControlAs<QProgressBar>(kProgressId)) {
        bar->setRange(0, kProgressMax);
        bar->setValue(0);
    }
    // The conversion starts once the modal loop runs and the window is shown.
    QTimer::singleShot(0, this, &TavrelImportProgressDlg::RunConversion);
    return QDialog::exec();
}

void TavrelImportProgressDlg::RunConversion() {
    // A file left from an earlier run must never be taken for this run's result.
    ::unlink(m_outputPath.c_str());  // a file only, never a folder
    m_outputDelivered = false;
    m_runner = CWindowConsoleRunner::Create(this);
    if (m_runner->Start(m_scriptPath) == CConsoleRunner::kStarted) {
        PumpMessagesWhile([this] { return m_runner->IsRunning() && !g_cancelConversion; });
        // The failure report reads the whole output, and the display shows its last progress:
        // wait until the last delivery has reached this dialog.
        PumpMessagesWhile([this] {
            return (!m_runner->IsClosed() || !m_outputDelivered) && !g_cancelConversion;
        });
    }
    if (g_cancelConversion) {
        CancelConversion();
        return;
    }
    done(1);
}

void TavrelImportProgressDlg::CancelConversion() {
    const CProcessKiller killer;
    PumpMessagesTimes(100);
    killer.KillConverter(*m_runner);
    PumpMessagesTimes(100);
    ::unlink(m_outputPath.c_str());  // a file only, never a folder
    PumpMessagesTimes(100);
    g_cancelConversion = false;
    done(0);
}

void TavrelImportProgressDlg::reject() {
    g_cancelConversion = true;
}

void TavrelImportProgressDlg::OnRunnerOutput(const QByteArray& chunk) {
    m_currentSeconds = ParseProgressTime(std::string_view(chunk.constData(), chunk.size()));
    if (m_currentSeconds >= kTimeLimit)
        m_currentSeconds = 0;
    if (!(m_currentSeconds > 0) || !(m_durationSeconds > 0))
        return;
    const double position =
        std::clamp(m_currentSeconds / m_durationSeconds * kProgressMax, 0.0, double(kProgressMax));
    if (auto* bar = ControlAs<QProgressBar>(kProgressId))
        bar->setValue(static_cast<int>(position));
    if (auto* text = ControlAs<QLabel>(kProgressTextId)) {
        text->setText(
            QString::asprintf("%2.1f of %2.1f Seconds", m_currentSeconds, m_durationSeconds));
    }
}
