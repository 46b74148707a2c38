// The jobs the program runs with the converter and the player, and the save prompt.
#pragma once

#include <QString>

#include <functional>
#include <string>

class CConsoleRunner;
class QObject;
class QWidget;

// Asks the converter how long `inputPath` plays, through the script QXCmdTmp.bat in the work
// folder, and waits for the whole output while the event loop runs. `notify` receives the output
// like any runner's notify object (may be null). True, with `seconds` set, when a positive
// duration was found; otherwise `seconds` is unchanged. When `cancelled` turns true meanwhile,
// the query's converter is stopped and the result is false.
bool QueryMediaDuration(QObject* notify, const std::string& inputPath, double& seconds,
                        const std::function<bool()>& cancelled = {});

// Stops the converter of `runner` (ask, wait at most five seconds, terminate) while the event
// loop keeps running.
void StopConverter(CConsoleRunner& runner);

// Shows the converter's output of the last run, from the line after its banner, in a message box
// owned by `owner`. The whole output is also kept in FFMpegErrorOut.txt in the work folder.
void ReportConversionFailure(QWidget* owner);

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
// header lines, each ended by CR LF, sent with every request of the stream) when those are not
// empty. Empty text does nothing.
void PlayMedia(QWidget* owner, const std::string& pathOrUrl, const std::string& headers = {});

// Whether the converter g_ffmpegExe has the stream reader's extension_picky option (newer
// converters refuse segments whose names do not end as a playlist's segments should, unless it
// is turned off). Asked once per converter path, without a shell; false when it cannot be told.
bool ConverterHasExtensionPicky();
