// Writes listed media from the capture spool into a folder of the user's (pelnix-sniff --save):
// one file per medium, named by the saver (never by the network), never over a file that is
// there already.
//
// A file copy that is whole goes in as it is (linked from the spool when both lie on one file
// system, else copied). One with holes is written too, as NAME.partial with the missing bytes
// left as zeros, and said: the holes are the second fetch's to fill. A stream becomes a folder:
// its pieces, each playlist with its URLs turned into the names of the pieces and playlists kept
// beside it (what was not captured keeps its URL), and pieces.txt, which names the URL of each
// piece; but a stream whose every stretch was captured is joined into one MP4 file by the
// converter (spool/CapturedStreamJoin.h), and the folder is written only when that cannot be.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "catalogue/MediaCatalogue.h"
#include "spool/CopyStatus.h"

struct SavedMedium {
    std::string path;  // the file or folder written; empty when nothing was
    // A line for the user when the medium is not whole or could not be written; empty
    // otherwise.
    std::string note;
    // A line for the user about how it was written (a stream that could not be joined and went
    // in as a folder): no fault of the capture.
    std::string notice;
};

// "3-clip.mp4": the record's number, "-", the last segment of the URL's path with every byte
// but letters, digits, ".", "-" and "_" made "_", no leading dot, at most 100 bytes (the
// extension kept); "media" when nothing is left; the type as extension when it has none.
std::string SavedMediaName(int number, std::string_view url, std::string_view type);

class MediaSaver {
public:
    // `spoolFd`: the spool's folder (not owned); `outputFolder`: where media go (made when
    // missing). Ok() is false, with Error() saying why, when it cannot be opened.
    MediaSaver(int spoolFd, const std::string& outputFolder);
    ~MediaSaver();
    MediaSaver(const MediaSaver&) = delete;
    MediaSaver& operator=(const MediaSaver&) = delete;

    bool Ok() const { return m_outputFd >= 0; }
    // The converter that joins streams (found by FindJoinConverter unless set); empty: streams
    // are written as folders.
    void SetConverter(std::string ffmpegExe) { m_converter = std::move(ffmpegExe); }
    const std::string& Error() const { return m_error; }

    // Writes the copy `status` of `record`, whose state is final for now (not Filling).
    SavedMedium Save(const SniffedMedia& record, const CopyStatus& status);

private:
    SavedMedium SaveFile(const SniffedMedia& record, const CopyStatus& status);
    SavedMedium SaveStream(const SniffedMedia& record, const CopyStatus& status);
    // The stream joined into one MP4 file; nothing, with `why` set, when it is not whole or the
    // join failed.
    std::optional<SavedMedium> JoinStream(const SniffedMedia& record, const CopyStatus& status,
                                          std::string& why);

    const int m_spoolFd;
    int m_outputFd = -1;
    std::string m_outputFolder;
    std::string m_converter;
    std::string m_error;
};
