// --save DIR of --read and --watch: every listed medium is written into DIR from the capture's
// copy of its bytes (spool/MediaSaver), never fetched again.
//
// The copies are kept in a private spool folder made inside DIR (so that a whole copy goes in
// by a link, not a second write), removed at the end. A record is written once it is final:
// as soon as its copy is whole, or once the catalogue can no longer change it (it left the
// catalogue, or the file or the watch ended) and its copy takes no more bytes. A record the
// catalogue refuses, or one written out, has its copy deleted, so that the spool's limit holds
// what is still to come.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "catalogue/MediaCatalogue.h"
#include "spool/CaptureSpool.h"
#include "spool/MediaSaver.h"
#include "spool/SpoolSettings.h"

struct SaveOptions {
    std::string folder;  // DIR
    std::uint64_t spoolBytes = CaptureSpool::kDefaultLimitBytes;
};

class MediaSaveSession {
public:
    // `live`: the capture helper writes the spool (SpoolFolderFd), else a spool of this process
    // does (Copies). Messages go to `err`, each line starting with `programName`.
    MediaSaveSession(const SaveOptions& options, const MediaCatalogue& catalogue, bool live,
                     std::FILE* err, std::string programName);
    // Removes the spool folder and what is left in it.
    ~MediaSaveSession();
    MediaSaveSession(const MediaSaveSession&) = delete;
    MediaSaveSession& operator=(const MediaSaveSession&) = delete;

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }

    // The spool of this process (not live), for the stream engine or the HAR reader.
    MediaCopySink* Copies() { return m_spool.get(); }
    // The spool's folder for the capture helper (live); -1 otherwise.
    int SpoolFolderFd() const { return m_live ? m_folderFd : -1; }
    // Live: how a copy is deleted in the helper's spool.
    void SetDiscard(std::function<void(std::uint64_t copyId)> discard);

    // One report and what the catalogue did with it.
    void Take(const MediaReport& report, const CatalogueChange& change);
    // A copy's state as the helper told it (live).
    void OnStatus(const CopyStatus& status);
    // The end of the file or the watch (after the engine or the helper ended): every record not
    // written yet is, and one line sums it up.
    void Finish();

private:
    struct Waiting {
        SniffedMedia record;
        bool final = false;  // the catalogue can no longer change it
        bool saved = false;
    };

    std::optional<CopyStatus> StatusOf(std::uint64_t copyId);
    // Writes the record when its copy allows (or `force`); false when it has to wait.
    bool TrySave(Waiting& waiting, bool force);
    void Discard(std::uint64_t copyId);
    void Say(const SniffedMedia& record, const std::string& text);
    void SaveReady();

    const MediaCatalogue& m_catalogue;
    const bool m_live;
    std::FILE* const m_err;
    const std::string m_programName;
    std::string m_error;
    std::string m_spoolPath;
    int m_folderFd = -1;  // live: handed to the helper; otherwise owned by m_spool
    std::unique_ptr<CaptureSpool> m_spool;
    std::unique_ptr<MediaSaver> m_saver;
    std::function<void(std::uint64_t)> m_discard;

    std::mutex m_mutex;
    std::deque<Waiting> m_waiting;  // accepted records, oldest first
    std::unordered_map<std::uint64_t, CopyStatus> m_statuses;  // live: the helper's word
    std::size_t m_saved = 0;
    std::size_t m_partial = 0;
    std::size_t m_notSaved = 0;
};
