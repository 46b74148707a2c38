#include "headless/MediaSaveSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Text.h"
#include "spool/SpoolFolder.h"

namespace {

// Network text for a line on standard error: every byte that is not printable ASCII as \xNN.
std::string Escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

MediaSaveSession::MediaSaveSession(const SaveOptions& options, const MediaCatalogue& catalogue,
                                   bool live, std::FILE* err, std::string programName)
    : m_catalogue(catalogue), m_live(live), m_err(err), m_programName(std::move(programName)) {
    if (mkdir(options.folder.c_str(), 0777) != 0 && errno != EEXIST) {
        m_error = "cannot make the folder '" + options.folder + "': " + std::strerror(errno);
        return;
    }
    // The spool lies inside the folder the media go to, so that a whole copy goes in by a link.
    m_spoolPath = MakePrivateFolder(options.folder, ".pelnix-spool-", m_error);
    if (m_spoolPath.empty())
        return;
    m_folderFd = OpenPrivateFolder(m_spoolPath, m_error);
    if (m_folderFd < 0)
        return;
    m_saver = std::make_unique<MediaSaver>(m_folderFd, options.folder);
    if (!m_saver->Ok()) {
        m_error = m_saver->Error();
        return;
    }
    if (live)
        return;
    CaptureSpool::Options spoolOptions;
    spoolOptions.limitBytes = options.spoolBytes;
    // A file waits for the disk rather than lose a copy.
    spoolOptions.waitWhenFull = true;
    const int spoolFd = fcntl(m_folderFd, F_DUPFD_CLOEXEC, 3);
    m_spool = CaptureSpool::Open(spoolFd, m_spoolPath, std::move(spoolOptions), m_error);
}

MediaSaveSession::~MediaSaveSession() {
    m_spool.reset();
    if (m_folderFd >= 0)
        close(m_folderFd);
    if (!m_spoolPath.empty())
        RemoveSpoolFolder(m_spoolPath);
}

void MediaSaveSession::SetDiscard(std::function<void(std::uint64_t)> discard) {
    std::lock_guard lock(m_mutex);
    m_discard = std::move(discard);
}

void MediaSaveSession::Discard(std::uint64_t copyId) {
    if (copyId == 0)
        return;
    if (m_spool)
        m_spool->Discard(copyId);
    else if (m_discard)
        m_discard(copyId);
    m_statuses.erase(copyId);
}

void MediaSaveSession::Say(const SniffedMedia& record, const std::string& text) {
    std::fprintf(m_err, "%s: %d: %s: %s\n", m_programName.c_str(), record.number,
                 Escaped(record.url).c_str(), text.c_str());
    std::fflush(m_err);
}

std::optional<CopyStatus> MediaSaveSession::StatusOf(std::uint64_t copyId) {
    if (m_spool) {
        // A copy that is no longer filling has every byte written, but one that stopped may
        // still have some queued.
        std::optional<CopyStatus> status = m_spool->Status(copyId);
        if (status && status->state == CopyState::Stopped) {
            m_spool->Flush();
            status = m_spool->Status(copyId);
        }
        return status;
    }
    const auto found = m_statuses.find(copyId);
    return found == m_statuses.end() ? std::nullopt : std::optional<CopyStatus>(found->second);
}

bool MediaSaveSession::TrySave(Waiting& waiting, bool force) {
    if (waiting.saved)
        return true;
    if (!Ok())
        return false;
    const SniffedMedia& record = waiting.record;
    if (record.copyId == 0) {
        if (!waiting.final && !force)
            return false;
        Say(record, "not saved: no copy of it was kept");
        ++m_notSaved;
        waiting.saved = true;
        return true;
    }
    // Live, a record is written at once when its copy is whole; otherwise once it is final.
    if (m_live && !force && !waiting.final) {
        const auto found = m_statuses.find(record.copyId);
        if (found == m_statuses.end() || found->second.state != CopyState::Whole)
            return false;
    } else if (!waiting.final && !force) {
        return false;
    }
    const std::optional<CopyStatus> status = StatusOf(record.copyId);
    if (!force && (!status || status->state == CopyState::Filling))
        return false;  // bodies are still arriving: later
    SavedMedium saved;
    if (status) {
        saved = m_saver->Save(record, *status);
    } else {
        saved.note = "not saved: its copy is gone";
    }
    if (saved.path.empty())
        ++m_notSaved;
    else if (!saved.note.empty())
        ++m_partial;
    else
        ++m_saved;
    if (!saved.note.empty())
        Say(record, saved.note);
    if (!saved.notice.empty())
        Say(record, saved.notice);
    Discard(record.copyId);
    waiting.saved = true;
    return true;
}

void MediaSaveSession::SaveReady() {
    for (Waiting& waiting : m_waiting) TrySave(waiting, false);
    while (!m_waiting.empty() && m_waiting.front().final && m_waiting.front().saved)
        m_waiting.pop_front();
}

void MediaSaveSession::Take(const MediaReport& report, const CatalogueChange& change) {
    std::lock_guard lock(m_mutex);
    switch (change.kind) {
        case CatalogueChange::Kind::Refused:
            // A later range of a listed medium shares the listed record's copy.
            if (report.copyId != 0 && !m_catalogue.HoldsCopy(report.copyId))
                Discard(report.copyId);
            return;
        case CatalogueChange::Kind::Updated:
            for (Waiting& waiting : m_waiting) {
                if (waiting.record.number == change.record.number && !waiting.saved)
                    waiting.record = change.record;
            }
            return;
        case CatalogueChange::Kind::Added:
            break;
    }
    m_waiting.push_back({change.record, false, false});
    // The catalogue keeps its newest records: an older one can no longer change.
    std::size_t newer = 0;
    for (auto it = m_waiting.rbegin(); it != m_waiting.rend(); ++it) {
        if (++newer > static_cast<std::size_t>(MediaCatalogue::kMaxRecords))
            it->final = true;
    }
    // A copy whose record left the catalogue goes once it is written.
    SaveReady();
}

void MediaSaveSession::OnStatus(const CopyStatus& status) {
    std::lock_guard lock(m_mutex);
    if (status.state == CopyState::Gone)
        m_statuses.erase(status.id);
    else
        m_statuses[status.id] = status;
    for (Waiting& waiting : m_waiting) {
        if (waiting.record.copyId == status.id)
            TrySave(waiting, false);
    }
    while (!m_waiting.empty() && m_waiting.front().final && m_waiting.front().saved)
        m_waiting.pop_front();
}

void MediaSaveSession::Finish() {
    std::lock_guard lock(m_mutex);
    if (m_spool)
        m_spool->Flush();
    for (Waiting& waiting : m_waiting) {
        waiting.final = true;
        TrySave(waiting, true);
    }
    m_waiting.clear();
    const std::size_t total = m_saved + m_partial + m_notSaved;
    if (total == 0 || !Ok())
        return;
    std::string line = m_programName + ": saved " + std::to_string(m_saved + m_partial) + " of " +
                       std::to_string(total) + " media";
    if (m_partial > 0)
        line += ", " + std::to_string(m_partial) + " of them with parts not captured";
    std::fprintf(m_err, "%s\n", line.c_str());
    std::fflush(m_err);
}
