// The progress dialog of an audio extraction: measures the input, runs the conversion script,
// shows seconds done out of seconds total, and lets the user cancel.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <string>

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

    TavrelImportProgressDlg(const QString& title, const QString& label, const QString& detail,
                            std::string scriptPath, std::string inputPath, std::string outputPath,
                            std::string options, QWidget* parent = nullptr);

    // Measures the input with the window hidden, writes the script, then shows the window and
    // converts. Returns 1 when the converter's shell has ended (whatever the outcome; the caller
    // judges the output file) and 0 when the user cancelled.
    int exec() override;

    double DurationSeconds() const { return m_durationSeconds; }
    double CurrentSeconds() const { return m_currentSeconds; }

public slots:
    void OnRunnerOutput(const QByteArray& chunk);
    void OnRunnerDone() { m_outputDelivered = true; }
    void reject() override;

private:
    void RunConversion();
    void CancelConversion();

    QString m_title, m_label, m_detail;
    std::string m_scriptPath, m_inputPath, m_outputPath, m_options;
    std::shared_ptr<CWindowConsoleRunner> m_runner;
    bool m_outputDelivered = false;  // the last delivery of the runner's output has arrived
    double m_currentSeconds = 0;
    double m_durationSeconds = 1.0;
};
