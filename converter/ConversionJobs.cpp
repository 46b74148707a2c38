#include "converter/ConversionJobs.h"

#include <QFileDialog>
#include <QProcess>

#include <cmath>
#include <cstdio>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "converter/CProcessKiller.h"
#include "converter/CWindowConsoleRunner.h"
#include "converter/ConverterAuthorities.h"
#include "converter/ConverterOutput.h"
#include "converter/PumpMessages.h"
#include "converter/SavePromptText.h"

namespace {

SavePromptHandler& PromptHandler() {
    static SavePromptHandler handler;
    return handler;
}

}  // namespace

bool QueryMediaDuration(QObject* notify, const std::string& inputPath, double& seconds,
                        const std::function<bool()>& cancelled,
                        const std::vector<std::string>& inputArguments) {
    const std::string script = g_tempDir + "/QXCmdTmp.bat";
    if (!WriteWorkFile(script, DurationQueryCommand(g_ffmpegExe, inputPath, inputArguments)))
        return false;
    const auto isCancelled = [&] { return cancelled && cancelled(); };
    const auto runner = CWindowConsoleRunner::Create(notify);
    if (runner->Start(script) == CConsoleRunner::kStarted) {
        // The output is complete only when the shell has ended and the reader has closed.
        PumpMessagesWhile(
            [&] { return (runner->IsRunning() || !runner->IsClosed()) && !isCancelled(); });
        if (isCancelled()) {
            StopConverter(*runner);
            return false;
        }
    }
    const double duration = ParseDuration(g_runnerOutput.Copy());
    if (!(duration > 0) || !std::isfinite(duration))
        return false;
    seconds = duration;
    return true;
}

void StopConverter(CConsoleRunner& runner) {
    const CProcessKiller killer(CProcessKiller::kDefaultCloseWait,
                                [](std::chrono::milliseconds step) { PumpMessagesFor(step); });
    killer.KillConverter(runner);
}

void ReportConversionFailure(QWidget* owner, const std::string& ending) {
    const std::string path = g_tempDir + "/FFMpegErrorOut.txt";
    const std::string output = g_runnerOutput.Copy();
    WriteTextFile(path, output);
    std::string report = ConversionFailureText(path, output);
    if (report.empty()) {
        // No banner to cut at (a shell's own message, a converter told to hide it, or a banner
        // that went with the front of a long output): the output is the report.
        const std::size_t lineEnd = output.find('\n');
        report = g_runnerOutput.Truncated() && lineEnd != std::string::npos
                     ? output.substr(lineEnd + 1)
                     : output;
    }
    // The box shows the last lines; the whole (bounded) report scrolls in its detail part.
    QString text =
        QStringLiteral("The conversion command failed.  The output from the converter is:\n\n") +
        QString::fromUtf8(LastReportLines(report).c_str());
    if (!ending.empty())
        text +=
            QStringLiteral("\n\nThe converter ended with %1.").arg(QString::fromStdString(ending));
    ShowMessageWithDetails(owner, kProductName, MB_OK, text,
                           QString::fromUtf8(report.data(), qsizetype(report.size())));
}

void SetSavePromptHandler(SavePromptHandler handler) {
    PromptHandler() = std::move(handler);
}

std::string AskSavePath(QWidget* owner, const std::string& extension) {
    const SavePromptText text = MakeSavePromptText(extension);
    SavePrompt prompt;
    prompt.title = QStringLiteral("Save Video As...");
    prompt.filter = QString::fromStdString(text.filter);
    prompt.folder = QString::fromStdString(
        ReadSettingString(g_settingsFile, kProductName, text.folderKey, HomeFolder()));
    prompt.defaultSuffix = QString::fromStdString(text.defaultSuffix);

    if (PromptHandler())
        return PromptHandler()(owner, prompt).toStdString();

    QFileDialog dialog(owner, prompt.title, prompt.folder, prompt.filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(prompt.defaultSuffix);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? std::string() : chosen.first().toStdString();
}

void PlayMedia(QWidget* owner, const std::string& pathOrUrl, const std::string& headers) {
    QString target = QString::fromStdString(pathOrUrl).trimmed();
    if (target.isEmpty())
        return;
    // One argument and no shell; a leading "-" would still read as a player option.
    if (target.startsWith(QLatin1Char('-')))
        target.prepend(QStringLiteral("./"));
    QStringList arguments;
    if (target.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        // The player's TLS checks nothing unless told to, and then trusts only the one file it
        // is given.
        const AuthorityFile authorities =
            ConverterAuthorityFile(ReadSettingString(g_settingsFile, kProductName, "TlsCaFile", ""),
                                   g_tempDir + "/" + kAuthorityBundleName);
        if (authorities.path.empty()) {
            ShowMessageWithDetails(owner, kProductName, MB_OK,
                                   QString::fromStdString(authorities.failure), QString());
            return;
        }
        arguments << QStringLiteral("-tls_verify") << QStringLiteral("1")
                  << QStringLiteral("-ca_file") << QString::fromStdString(authorities.path);
    }
    if (!headers.empty())
        arguments << QStringLiteral("-headers") << QString::fromStdString(headers);
    arguments << target;
    QProcess::startDetached(QString::fromStdString(g_ffplayExe), arguments);
}

bool ConverterHasExtensionPicky() {
    static std::string askedOf;
    static bool known = false;
    if (askedOf == g_ffmpegExe && !askedOf.empty())
        return known;
    askedOf = g_ffmpegExe;
    known = false;
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(
        QString::fromStdString(g_ffmpegExe),
        {QStringLiteral("-hide_banner"), QStringLiteral("-h"), QStringLiteral("demuxer=hls")});
    if (!probe.waitForFinished(10000)) {
        probe.kill();
        probe.waitForFinished(1000);
        return known;
    }
    // The help text is short; more than this is not the help text.
    const QByteArray text = probe.readAll().left(1 << 20);
    known = probe.exitStatus() == QProcess::NormalExit && text.contains("extension_picky");
    return known;
}
