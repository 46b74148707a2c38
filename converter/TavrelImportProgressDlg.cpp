#include "converter/TavrelImportProgressDlg.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cerrno>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/StagedFile.h"
#include "converter/CWindowConsoleRunner.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterOutput.h"
#include "converter/PumpMessages.h"
#include "mediarules/MediaSignatures.h"

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
    m_failureText.clear();
    setWindowTitle(m_title);
    if (auto* label = ControlAs<QLabel>(kLabelId))
        label->setText(m_label);
    if (auto* detail = ControlAs<QLabel>(kDetailId))
        detail->setText(m_detail);
    if (auto* bar = ControlAs<QProgressBar>(kProgressId)) {
        bar->setRange(0, kProgressMax);
        bar->setValue(0);
    }
    // The work starts once the modal loop runs and the window is shown: measuring can take long
    // (a slow disk, a converter that hangs), and Cancel must reach it.
    QTimer::singleShot(0, this, &TavrelImportProgressDlg::RunConversion);
    return QDialog::exec();
}

void TavrelImportProgressDlg::RunConversion() {
    const auto cancelled = [] { return g_cancelConversion.load(); };
    m_endingText.clear();
    const bool localInput = m_inputArguments.empty();
    const std::vector<std::string> inputArguments =
        localInput
            ? LocalInputArguments(ReadFileStart(m_inputPath, kSignaturePrefixBytes), m_inputType)
            : m_inputArguments;
    if (m_knownDuration > 0 && m_knownDuration < kTimeLimit)
        m_durationSeconds = m_knownDuration;
    else if (localInput)
        QueryMediaDuration(this, m_inputPath, m_durationSeconds, cancelled, inputArguments);
    else
        m_durationSeconds = 0;
    if (cancelled()) {
        Finish(kCancelled);
        return;
    }
    // The converter writes a temporary file beside the chosen one; an earlier file there stays
    // until the new one is whole.
    StagedFile output;
    if (!output.Create(m_outputPath)) {
        const int error = errno;
        Finish(kFailed, WorkFileFailureText(m_outputPath, error));
        return;
    }
    if (!WriteTextFile(m_scriptPath, ConversionCommand(g_ffmpegExe, m_inputPath, m_options,
                                                       output.Path(), inputArguments))) {
        const int error = errno;
        Finish(kFailed, WorkFileFailureText(m_scriptPath, error));
        return;
    }
    m_outputDelivered = false;
    m_runner = CWindowConsoleRunner::Create(this);
    if (m_runner->Start(m_scriptPath) == CConsoleRunner::kStarted) {
        PumpMessagesWhile([&] { return m_runner->IsRunning() && !cancelled(); });
        // The failure report reads the whole output, and the display shows its last progress:
        // wait until the last delivery has reached this dialog.
        PumpMessagesWhile(
            [&] { return (!m_runner->IsClosed() || !m_outputDelivered) && !cancelled(); });
        // The end of the output can come a moment before the converter's exit: its status
        // decides the outcome.
        PumpMessagesWhile([&] { return !m_runner->ReapIfExited() && !cancelled(); });
    }
    if (cancelled()) {
        StopConverter(*m_runner);
        output.Discard();
        Finish(kCancelled);
        return;
    }
    // A converter that exits non-zero has failed, whatever it left behind.
    const std::optional<RunEnding> ending = m_runner->Ending();
    if (ending)
        m_endingText = RunEndingText(*ending);
    const bool converted = m_runner->ExitStatus() == 0 && FileExistsNonEmpty(output.Path());
    if (!converted) {
        output.Discard();
        Finish(kFailed);
        return;
    }
    if (!output.Commit()) {
        const int error = errno;
        Finish(kFailed, WorkFileFailureText(m_outputPath, error));
        return;
    }
    Finish(kConverted);
}

void TavrelImportProgressDlg::Finish(int result, std::string failure) {
    m_failureText = std::move(failure);
    g_cancelConversion = false;
    done(result);
}

void TavrelImportProgressDlg::reject() {
    g_cancelConversion = true;
}

void TavrelImportProgressDlg::OnRunnerOutput(const QByteArray& chunk) {
    m_currentSeconds = ParseProgressTime(std::string_view(chunk.constData(), chunk.size()));
    if (m_currentSeconds >= kTimeLimit)
        m_currentSeconds = 0;
    if (!(m_currentSeconds > 0))
        return;
    if (!(m_durationSeconds > 0)) {
        if (auto* text = ControlAs<QLabel>(kProgressTextId))
            text->setText(QString::asprintf("%2.1f Seconds", m_currentSeconds));
        return;
    }
    const double position =
        std::clamp(m_currentSeconds / m_durationSeconds * kProgressMax, 0.0, double(kProgressMax));
    if (auto* bar = ControlAs<QProgressBar>(kProgressId))
        bar->setValue(static_cast<int>(position));
    if (auto* text = ControlAs<QLabel>(kProgressTextId)) {
        text->setText(
            QString::asprintf("%2.1f of %2.1f Seconds", m_currentSeconds, m_durationSeconds));
    }
}
