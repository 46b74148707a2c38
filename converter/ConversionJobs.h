// The jobs the program runs with the converter and the player, and the save prompt.
#pragma once

#include <QString>

#include <functional>
#include <string>
#include <vector>

class CConsoleRunner;
class QObject;
class QWidget;

// Asks the converter how long `inputPath` plays, through the script QXCmdTmp.bat in the work
// folder, and waits for the whole output while the event loop runs. `notify` receives the output
// like any runner's notify object (may be null). True, with `seconds` set, when a positive
// duration was found; otherwise `seconds` is unchanged. When `cancelled` turns true meanwhile,
// the query's converter is stopped and the result is false. `inputArguments` go before the
// input (LocalInputArguments for a downloaded file).
bool QueryMediaDuration(QObject* notify, const std::string& inputPath, double& seconds,
                        const std::function<bool()>& cancelled = {},
                        const std::vector<std::string>& inputArguments = {});

// Stops the converter of `runner` (ask, wait at most five seconds, terminate) while the event
// loop keeps running.
void StopConverter(CConsoleRunner& runner);

// Shows the converter's output of the last run, from the line after its banner, in a message box
// owned by `owner`, and `ending` (how the run ended, RunEndingText) after it when known: a
// converter that ended without a word still says why. The whole output is also kept in
// FFMpegErrorOut.txt in the work folder.
void ReportConversionFailure(QWidget* owner, const std::string& ending = {});

// What the save prompt is asked to show.
struct SavePrompt {
    QString title;
    QString filter;         // one name filter, e.g. "MP3 File (*.MP3 *.mp3)"
    QString folder;         // start folder
    QString defaultSuffix;  // appended when the chosen name has none; empty for none
};

// Asks where a file with `extension` goes ("???" for any file). Returns the chosen path, or
// empty text when the prompt is cancelled.
std::string AskSavePath(QWidget* owner, const std::string& extension);

// Replaces the file dialog with `handler` (tests and scripted runs); empty restores the dialog.
// The handler returns the chosen path or empty text.
using SavePromptHandler = std::function<QString(QWidget* owner, const SavePrompt& prompt)>;
void SetSavePromptHandler(SavePromptHandler handler);

// Starts the player on `pathOrUrl` (blanks at either end removed) without waiting for it and
// without a shell: the player gets it as its one argument, after `-headers` and `headers` (request
// header lines, each ended by CR LF, sent with every request of the stream and after a redirect
// to any host) when those are not empty. An https:// URL is played only from a server whose
// certificate checks out against the system's authorities and those of TlsCaFile
// (`-tls_verify 1 -ca_file`); when TlsCaFile cannot be used, a message box owned by `owner` says
// why and nothing starts. Empty text does nothing.
void PlayMedia(QWidget* owner, const std::string& pathOrUrl, const std::string& headers = {});

// The file of certificate authorities the player is given (the bundle is made in the work folder
// when TlsCaFile is set).
inline constexpr const char* kAuthorityBundleName = "PelnixAuthorities.pem";

// Whether the converter g_ffmpegExe has the stream reader's extension_picky option (newer
// converters refuse segments whose names do not end as a playlist's segments should, unless it
// is turned off). Asked once per converter path, without a shell; false when it cannot be told.
bool ConverterHasExtensionPicky();
