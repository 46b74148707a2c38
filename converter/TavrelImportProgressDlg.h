// The progress dialog of an audio extraction: measures the input, runs the conversion script,
// shows seconds done out of seconds total, and lets the user cancel.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "widgets/TemplateDialog.h"

class CWindowConsoleRunner;

// Set by Cancel (the button, Escape or the close box), read and cleared by the conversion wait.
extern std::atomic<bool> g_cancelConversion;

class TavrelImportProgressDlg : public TemplateDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 103;
    static constexpr int kLabelId = 1205;
    static constexpr int kDetailId = 1203;
    static constexpr int kProgressId = 1202;
    static constexpr int kProgressTextId = 1204;
    static constexpr int kCancelId = 1200;
    static constexpr int kProgressMax = 10000;
    // Results of exec.
    static constexpr int kCancelled = 0;
    static constexpr int kConverted = 1;
    static constexpr int kFailed = 3;

    TavrelImportProgressDlg(const QString& title, const QString& label, const QString& detail,
                            std::string scriptPath, std::string inputPath, std::string outputPath,
                            std::string options, QWidget* parent = nullptr);

    // Shows the window, measures the input, writes the script and converts into a temporary
    // file beside the output path, which takes the output's place only when the converter ended
    // with status 0 and wrote something. Returns kConverted; kCancelled when the user cancelled
    // (during the measuring too); kFailed when the converter failed (its output is in
    // g_runnerOutput) or a work file could not be written (FailureText says which and why). On
    // failure and cancel an earlier file at the output path stays as it was.
    int exec() override;

    // Options of the input, given before it (each quoted), such as the request headers of a
    // stream. Set before exec. Without them the input is a local file, read through the file
    // protocol alone and the reader LocalInputArguments gives for its first bytes and `type`
    // (SetInputType): a downloaded file cannot make the converter read other files or URLs.
    void SetInputArguments(std::vector<std::string> arguments) {
        m_inputArguments = std::move(arguments);
    }
    // The type of the local input as listed (flv, mp4, ...). Set before exec.
    void SetInputType(std::string type) { m_inputType = std::move(type); }
    // The input's duration when it is known beforehand (a stream's playlist gives it): the
    // input is not measured. 0 measures it, unless input arguments are set (the measuring run
    // would go without them): the progress then shows seconds done alone.
    void SetKnownDuration(double seconds) { m_knownDuration = seconds; }

    double DurationSeconds() const { return m_durationSeconds; }
    double CurrentSeconds() const { return m_currentSeconds; }
    // Why a run failed before the converter could: a work file that cannot be written. Empty
    // when the converter itself failed.
    const std::string& FailureText() const { return m_failureText; }
    // How the converter of the last run ended (RunEndingText), for the failure report; empty
    // when it did not run or was cancelled.
    const std::string& EndingText() const { return m_endingText; }

public slots:
    void OnRunnerOutput(const QByteArray& chunk);
    void OnRunnerDone() { m_outputDelivered = true; }
    void reject() override;

private:
    void RunConversion();
    // Ends the run with `result`, after `failure` (if any) is noted.
    void Finish(int result, std::string failure = {});

    QString m_title, m_label, m_detail;
    std::string m_scriptPath, m_inputPath, m_outputPath, m_options;
    std::vector<std::string> m_inputArguments;
    std::string m_inputType;
    std::string m_endingText;
    double m_knownDuration = 0;
    std::shared_ptr<CWindowConsoleRunner> m_runner;
    std::string m_failureText;
    bool m_outputDelivered = false;  // the last delivery of the runner's output has arrived
    double m_currentSeconds = 0;
    double m_durationSeconds = 1.0;
};
