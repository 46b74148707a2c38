#include "headless/HarReadCommand.h"

#include <unordered_map>
#include <vector>

#include "catalogue/MediaCatalogue.h"
#include "headless/HeadlessFrontEnd.h"
#include "mediarules/HarReader.h"
#include "mediarules/MessageMediaRules.h"

bool IsHarFile(std::FILE* file) {
    char start[64];
    const std::size_t n = std::fread(start, 1, sizeof start, file);
    std::rewind(file);
    return LooksLikeHar(std::string_view(start, n));
}

int RunHarReadCommand(const std::string& fileName, std::FILE* out, std::FILE* err,
                      std::string_view programName) {
    MediaCatalogue catalogue;
    // Lines of the accepted records in order; a record updated later is written again in its
    // place.
    std::vector<std::string> lines;
    std::unordered_map<int, std::size_t> lineOfRecord;
    std::time_t entryTime = 0;
    MessageMediaRules rules([&](MediaReport report) {
        const CatalogueChange change = catalogue.Apply(report, entryTime);
        if (change.kind == CatalogueChange::Kind::Added) {
            lineOfRecord[change.record.number] = lines.size();
            lines.push_back(RecordLine(change.record));
        } else if (change.kind == CatalogueChange::Kind::Updated) {
            const auto it = lineOfRecord.find(change.record.number);
            if (it != lineOfRecord.end())
                lines[it->second] = RecordLine(change.record);
        }
    });
    std::string error;
    const bool ok = ReadHarFile(
        fileName,
        [&](const HarEntry& entry) {
            entryTime = entry.started;
            FeedHarEntry(entry, rules);
        },
        error);
    for (const std::string& line : lines) std::fputs(line.c_str(), out);
    if (!ok) {
        std::fprintf(err, "%s: cannot read HAR file '%s': %s\n", std::string(programName).c_str(),
                     fileName.c_str(), error.c_str());
        std::fflush(out);
        return 1;
    }
    return std::fflush(out) == 0 ? 0 : 1;
}
