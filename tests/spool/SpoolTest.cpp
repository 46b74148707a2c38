// The spool on its own: the folder it refuses, its size limit (oldest first), copies deleted
// when their entry goes, a full disk and a writer that falls behind stopping a copy without
// holding the capture up, and the names a saved medium gets from hostile URLs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "TempFolder.h"
#include "spool/CaptureSpool.h"
#include "spool/MediaSaver.h"
#include "spool/SpoolSettings.h"
#include "spool/StreamIndex.h"
#include "support/SmallDisk.h"

namespace fs = std::filesystem;

namespace {

std::unique_ptr<CaptureSpool> OpenSpool(const fs::path& folder, CaptureSpool::Options options,
                                        std::string& error) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return CaptureSpool::Open(fd, folder.string(), std::move(options), error);
}

// A body of `size` bytes of `key`, written in pieces as the HTTP layer hands them over.
std::uint64_t Feed(CaptureSpool& spool, const MediaFileKey& key, std::uint64_t start,
                   std::size_t size, char fill, bool complete = true) {
    MediaCopySink::FileBody body = spool.OpenFileBody(key, start, start != 0, false);
    if (body.receiver) {
        const std::string piece(16384, fill);
        for (std::size_t at = 0; at < size; at += piece.size()) {
            const std::size_t n = std::min(piece.size(), size - at);
            body.receiver->OnBodyBytes(at, reinterpret_cast<const std::uint8_t*>(piece.data()),
                                       n);
        }
        body.receiver->OnBodyEnd(complete);
    }
    return body.copyId;
}

MediaFileKey Key(const std::string& name, std::uint64_t total) {
    return {"https://cdn.test/" + name, "\"e1\"", total};
}

}  // namespace

TEST(Spool, RefusesAFolderThatIsNotPrivate) {
    TempFolder folder;
    std::string error;
    ::chmod(folder.path.c_str(), 0755);
    EXPECT_FALSE(OpenSpool(folder.path, {}, error));
    EXPECT_NE(error.find("must belong to you and be closed to everybody else"), std::string::npos)
        << error;
    std::ofstream(folder.path / "plain") << "x";
    EXPECT_FALSE(CaptureSpool::Open(::open((folder.path / "plain").c_str(), O_RDONLY),
                                    "plain", {}, error));
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
    if (::geteuid() == 0) {
        // Another user's folder, private or not, is not this user's to keep media in.
        ::chmod(folder.path.c_str(), 0700);
        ASSERT_EQ(::chown(folder.path.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(OpenSpool(folder.path, {}, error));
        EXPECT_NE(error.find("must belong to you"), std::string::npos) << error;
        ASSERT_EQ(::chown(folder.path.c_str(), 0, 0), 0);
    } else {
        std::printf("another user's folder: skipped, needs root to give one away\n");
    }
    // A private one is taken, and what an earlier run left under the spool's names goes.
    ::chmod(folder.path.c_str(), 0700);
    std::ofstream(folder.path / "f1") << "old";
    fs::create_directory(folder.path / "s2");
    std::ofstream(folder.path / "s2" / "index") << "old";
    std::ofstream(folder.path / "mine.txt") << "kept";
    EXPECT_TRUE(OpenSpool(folder.path, {}, error)) << error;
    EXPECT_FALSE(fs::exists(folder.path / "f1"));
    EXPECT_FALSE(fs::exists(folder.path / "s2"));
    EXPECT_TRUE(fs::exists(folder.path / "mine.txt"));
}

TEST(Spool, LimitDeletesOldestFirstAndCopiesGoWithTheirEntries) {
    TempFolder folder;
    ::chmod(folder.path.c_str(), 0700);
    std::string error;
    CaptureSpool::Options options;
    options.limitBytes = 1u << 20;
    options.waitWhenFull = true;
    std::vector<CopyStatus> told;
    std::mutex toldMutex;
    options.onStatus = [&](const CopyStatus& status) {
        std::lock_guard lock(toldMutex);
        told.push_back(status);
    };
    auto spool = OpenSpool(folder.path, options, error);
    ASSERT_TRUE(spool) << error;

    const std::uint64_t a = Feed(*spool, Key("a.mp4", 400000), 0, 400000, 'a');
    const std::uint64_t b = Feed(*spool, Key("b.mp4", 400000), 0, 400000, 'b');
    spool->Flush();
    EXPECT_EQ(spool->Status(a)->state, CopyState::Whole);
    // The third does not fit beside both: the oldest goes, files and all.
    const std::uint64_t c = Feed(*spool, Key("c.mp4", 400000), 0, 400000, 'c');
    spool->Flush();
    EXPECT_FALSE(fs::exists(folder.path / ("f" + std::to_string(a))));
    EXPECT_EQ(spool->Status(b)->state, CopyState::Whole);
    EXPECT_EQ(spool->Status(c)->state, CopyState::Whole);
    EXPECT_LE(spool->BytesHeld(), options.limitBytes);
    {
        std::lock_guard lock(toldMutex);
        const auto gone = std::find_if(told.begin(), told.end(), [&](const CopyStatus& s) {
            return s.id == a && s.state == CopyState::Gone;
        });
        ASSERT_NE(gone, told.end());
        EXPECT_EQ(gone->stop, CopyStop::Limit);
    }

    // One medium larger than the limit: the others make room, then it stops with what fit.
    const std::uint64_t big = Feed(*spool, Key("big.mp4", 3u << 20), 0, 3u << 20, 'x');
    spool->Flush();
    const CopyStatus status = *spool->Status(big);
    EXPECT_EQ(status.state, CopyState::Stopped);
    EXPECT_EQ(status.stop, CopyStop::Limit);
    EXPECT_LE(status.keptBytes, options.limitBytes);
    EXPECT_GT(status.keptBytes, 0u);
    EXPECT_FALSE(spool->Status(b).has_value() && spool->Status(b)->state != CopyState::Gone);

    // An entry refused or removed: its copy is deleted, and a later body of the same medium
    // starts a copy of its own.
    spool->Discard(big);
    spool->Flush();
    EXPECT_FALSE(fs::exists(folder.path / status.name));
    EXPECT_EQ(spool->BytesHeld(), 0u);
    const std::uint64_t again = Feed(*spool, Key("big.mp4", 3u << 20), 0, 1000, 'y', false);
    EXPECT_NE(again, big);
    spool->Flush();
    EXPECT_EQ(spool->Status(again)->state, CopyState::Holes);
    EXPECT_EQ(spool->Status(again)->intervals, (std::vector<CopyInterval>{{0, 1000}}));
}

TEST(Spool, AWriterThatFallsBehindStopsTheCopyNotTheCapture) {
    TempFolder folder;
    ::chmod(folder.path.c_str(), 0700);
    std::string error;
    CaptureSpool::Options options;
    options.queueBytes = 256u << 10;
    // The writer is held in the first change it tells: nothing it queues gets written.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    options.onStatus = [released](const CopyStatus&) { released.wait(); };
    auto spool = OpenSpool(folder.path, options, error);
    ASSERT_TRUE(spool) << error;

    MediaCopySink::FileBody body = spool->OpenFileBody(Key("slow.mp4", 1u << 20), 0, false, false);
    ASSERT_TRUE(body.receiver);
    const std::string piece(16384, 's');
    const auto started = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < (1u << 20); at += piece.size()) {
        body.receiver->OnBodyBytes(at, reinterpret_cast<const std::uint8_t*>(piece.data()),
                                   piece.size());
    }
    body.receiver->OnBodyEnd(true);
    // The capture thread never waited for the writer.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(spool->Status(body.copyId)->state, CopyState::Stopped);
    EXPECT_EQ(spool->Status(body.copyId)->stop, CopyStop::QueueFull);
    // Once the writer caught up, another medium is kept whole.
    release.set_value();
    spool->Flush();
    MediaCopySink::FileBody other = spool->OpenFileBody(Key("next.mp4", 1000), 0, false, false);
    ASSERT_TRUE(other.receiver);
    other.receiver->OnBodyBytes(0, reinterpret_cast<const std::uint8_t*>(piece.data()), 1000);
    other.receiver->OnBodyEnd(true);
    spool->Flush();
    // What was queued before it stopped is written, and said to be short of the whole.
    const CopyStatus stopped = *spool->Status(body.copyId);
    EXPECT_EQ(stopped.state, CopyState::Stopped);
    EXPECT_GT(stopped.keptBytes, 0u);
    EXPECT_LT(stopped.keptBytes, 1u << 20);
    EXPECT_EQ(spool->Status(other.copyId)->state, CopyState::Whole);
}

TEST(Spool, AFullDiskStopsTheCopyAndSaysSo) {
    if (const std::string why = SmallDisk::SkipReason(); !why.empty())
        GTEST_SKIP() << why;
    SmallDisk disk(512 * 1024);
    ASSERT_TRUE(disk.Ok());
    std::string error;
    CaptureSpool::Options options;
    options.waitWhenFull = true;
    auto spool = OpenSpool(disk.Path(), options, error);
    ASSERT_TRUE(spool) << error;
    const std::uint64_t id = Feed(*spool, Key("large.flv", 2u << 20), 0, 2u << 20, 'f');
    spool->Flush();
    const CopyStatus status = *spool->Status(id);
    EXPECT_EQ(status.state, CopyState::Stopped);
    EXPECT_EQ(status.stop, CopyStop::DiskFull);
    EXPECT_LE(status.keptBytes, 512u * 1024);
    // The copy takes no more bytes; a new medium gets its own try.
    MediaCopySink::FileBody again = spool->OpenFileBody(Key("large.flv", 2u << 20), 0, false, false);
    EXPECT_EQ(again.copyId, id);
    EXPECT_FALSE(again.receiver);
}

TEST(Spool, SavedNamesFromHostileUrlsStayInTheFolder) {
    struct Case {
        const char* url;
        const char* type;
        const char* name;
    };
    const Case cases[] = {
        {"https://cdn.test/v/clip.mp4?sig=a/b", "mp4", "7-clip.mp4"},
        {"https://cdn.test/v/../../etc/passwd", "mp4", "7-passwd.mp4"},
        {"https://cdn.test/v/..", "flv", "7-media.flv"},
        {"https://cdn.test/", "mp3", "7-media.mp3"},
        {"https://cdn.test", "MP3", "7-media.mp3"},
        {"https://cdn.test/a/%2e%2e%2fsecret", "ts", "7-_2e_2e_2fsecret.ts"},
        {"https://cdn.test/a/x\x01y\x1b[31m.mp4", "mp4", "7-x_y__31m.mp4"},
        {"https://cdn.test/a/.hidden.mp4", "mp4", "7-hidden.mp4"},
        {"https://cdn.test/a/clip", "../x", "7-clip"},
        {"https://cdn.test/a/caf\xc3\xa9.webm", "webm", "7-caf__.webm"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SavedMediaName(7, c.url, c.type), c.name) << c.url;
    }
    // A name of any length is bounded, keeping its extension.
    const std::string longName =
        SavedMediaName(12, "https://cdn.test/" + std::string(5000, 'a') + ".mp4", "mp4");
    EXPECT_LE(longName.size(), 110u);
    EXPECT_EQ(longName.substr(longName.size() - 4), ".mp4");

    // The index survives any bytes in a URL.
    const std::string hostile = "https://cdn.test/a\tb\nc%41\xff?x= y";
    EXPECT_EQ(UnescapeIndexField(EscapeIndexField(hostile)), hostile);
    EXPECT_EQ(EscapeIndexField(hostile).find_first_of("\t\n "), std::string::npos);
    EXPECT_FALSE(UnescapeIndexField("%4").has_value());
    EXPECT_FALSE(UnescapeIndexField("%zz").has_value());
}

TEST(Spool, SavingNeverOverwritesAndMarksWhatIsNotWhole) {
    TempFolder folder;
    ::chmod(folder.path.c_str(), 0700);
    const fs::path spoolFolder = folder.path / "spool";
    fs::create_directory(spoolFolder);
    ::chmod(spoolFolder.c_str(), 0700);
    std::string error;
    CaptureSpool::Options options;
    options.waitWhenFull = true;
    auto spool = OpenSpool(spoolFolder, options, error);
    ASSERT_TRUE(spool) << error;
    const std::uint64_t whole = Feed(*spool, Key("clip.mp4", 300000), 0, 300000, 'w');
    const std::uint64_t holes = Feed(*spool, Key("part.mp4", 300000), 200000, 100000, 'h');
    spool->Flush();

    const fs::path out = folder.path / "out";
    MediaSaver saver(spool->FolderFd(), out.string());
    ASSERT_TRUE(saver.Ok()) << saver.Error();
    SniffedMedia record;
    record.number = 3;
    record.url = "https://cdn.test/clip.mp4";
    record.type = "mp4";
    fs::create_directories(out);
    std::ofstream(out / "3-clip.mp4") << "the user's own file";
    const SavedMedium first = saver.Save(record, *spool->Status(whole));
    EXPECT_EQ(first.path, (out / "3-clip-2.mp4").string());
    EXPECT_EQ(first.note, "");
    EXPECT_EQ(fs::file_size(out / "3-clip-2.mp4"), 300000u);
    std::ifstream kept(out / "3-clip.mp4");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the user's own file");

    record.number = 4;
    record.url = "https://cdn.test/part.mp4";
    const SavedMedium second = saver.Save(record, *spool->Status(holes));
    EXPECT_EQ(second.path, (out / "4-part.mp4.partial").string());
    EXPECT_EQ(second.note,
              "bytes 0-199999 of 300000 were not captured; saved what was as 4-part.mp4.partial");
}

TEST(Spool, TheLimitSettingTakesMebibytesAndABadOneKeepsTheDefault) {
    TempFolder folder;
    const std::string file = (folder.path / "Pelnix.ini").string();
    for (const auto& [line, bytes, problem] :
         std::vector<std::tuple<std::string, std::uint64_t, std::string>>{
             {"", CaptureSpool::kDefaultLimitBytes, ""},
             {"CaptureSpoolMiB=512", std::uint64_t{512} << 20, ""},
             {"capturespoolmib = 1", std::uint64_t{1} << 20, ""},
             {"CaptureSpoolMiB=0", CaptureSpool::kDefaultLimitBytes, "CaptureSpoolMiB=0"},
             {"CaptureSpoolMiB=2g", CaptureSpool::kDefaultLimitBytes, "CaptureSpoolMiB=2g"},
             {"CaptureSpoolMiB=99999999999", CaptureSpool::kDefaultLimitBytes, "CaptureSpoolMiB"},
         }) {
        SCOPED_TRACE(line);
        std::ofstream(file) << "[Pelnix]\n" << line << "\n";
        std::string problems;
        EXPECT_EQ(ReadSpoolLimit(file, &problems), bytes);
        EXPECT_EQ(problems.empty(), problem.empty());
        EXPECT_NE(problems.find(problem), std::string::npos) << problems;
    }
    EXPECT_EQ(CaptureSpool::kDefaultLimitBytes, std::uint64_t{2048} << 20);
}
