#include "headless/HarReadCommand.h"

#include <memory>
#include <unordered_map>
#include <vector>

#include "catalogue/MediaCatalogue.h"
#include "headless/HeadlessFrontEnd.h"
#include "headless/MediaSaveSession.h"
#include "mediarules/HarReader.h"
#include "mediarules/MessageMediaRules.h"

bool IsHarFile(std::FILE* file) {
    char start[64];
    const std::size_t n = std::fread(start, 1, sizeof start, file);
    std::rewind(file);
    return LooksLikeHar(std::string_view(start, n));
}

int RunHarReadCommand(const std::string& fileName, std::FILE* out, std::FILE* err,
                      std::string_view programName, const SaveOptions* save) {
    MediaCatalogue catalogue;
    std::unique_ptr<MediaSaveSession> saving;
    if (save != nullptr) {
        saving = std::make_unique<MediaSaveSession>(*save, catalogue, false, err,
                                                    std::string(programName));
        if (!saving->Ok()) {
            std::fprintf(err, "%s: %s\n", std::string(programName).c_str(),
                         saving->Error().c_str());
            return 1;
        }
    }
    // Lines of the accepted records in order; a record updated later is written again in its
    // place.
    std::vector<std::string> lines;
    std::unordered_map<int, std::size_t> lineOfRecord;
    std::time_t entryTime = 0;
    MessageMediaRules rules([&](MediaReport report) {
        const CatalogueChange change = catalogue.Apply(report, entryTime);
        if (saving)
            saving->Take(report, change);
        if (change.kind == CatalogueChange::Kind::Added) {
            lineOfRecord[change.record.number] = lines.size();
            lines.push_back(RecordLine(change.record));
        } else if (change.kind == CatalogueChange::Kind::Updated) {
            const auto it = lineOfRecord.find(change.record.number);
            if (it != lineOfRecord.end())
                lines[it->second] = RecordLine(change.record);
        }
    });
    if (saving)
        rules.SetCopySink(saving->Copies());
    std::string error;
    const bool ok = ReadHarFile(
        fileName,
        [&](const HarEntry& entry) {
            entryTime = entry.started;
            FeedHarEntry(entry, rules);
        },
        error);
    for (const std::string& line : lines) std::fputs(line.c_str(), out);
    if (saving)
        saving->Finish();
    if (!ok) {
        std::fprintf(err, "%s: cannot read HAR file '%s': %s\n", std::string(programName).c_str(),
                     fileName.c_str(), error.c_str());
        std::fflush(out);
        return 1;
    }
    return std::fflush(out) == 0 ? 0 : 1;
}
