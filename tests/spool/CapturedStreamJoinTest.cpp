// Captured streams joined from the spool alone: real HLS (MPEG-TS segments, fMP4 segments,
// AES-128) and DASH made by ffmpeg, carried over real HTTPS through the stream engine into a
// spool, then saved (--save) as one MP4 that plays as long as the source; with no server at
// join time. A player that switched variants half-way still gives the whole duration; a key of
// the wrong length and a garbled index give an error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SpoolRun.h"
#include "converter/ConverterTestSupport.h"
#include "spool/CapturedStreamJoin.h"
#include "spool/MediaSaver.h"

namespace {

using namespace spooltest;
namespace fs = std::filesystem;

constexpr double kSourceSeconds = 6;
const std::string kHost = "media.test";

bool HaveConverter() {
    return !convtest::FindProgram("ffmpeg").empty() && !convtest::FindProgram("ffprobe").empty();
}

// Makes `seconds` of picture and sound with ffmpeg's test sources, written by `output` options.
bool Make(const std::string& output, int width = 160, double seconds = kSourceSeconds) {
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + std::to_string(width) +
        "x" + std::to_string(width * 3 / 4) + ":rate=25 -f lavfi -i sine=frequency=440 -t " +
        std::to_string(seconds) + " -c:v libx264 -preset ultrafast -g 25 -c:a aac " + output;
    return convtest::RunCommand(command) == 0;
}

double Duration(const std::string& path) {
    FILE* probe = ::popen(("ffprobe -v error -show_entries format=duration -of "
                           "default=noprint_wrappers=1:nokey=1 '" + path + "'")
                              .c_str(),
                          "r");
    if (probe == nullptr)
        return -1;
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, probe) != nullptr;
    ::pclose(probe);
    return read ? std::atof(line) : -1;
}

std::string TypeOf(const std::string& name) {
    if (name.ends_with(".m3u8"))
        return "application/vnd.apple.mpegurl";
    if (name.ends_with(".mpd"))
        return "application/dash+xml";
    if (name.ends_with(".ts"))
        return "video/mp2t";
    if (name.ends_with(".bin"))
        return "application/octet-stream";
    return "video/mp4";
}

// The files of `folder` as a player fetches them, under `prefix`: playlists, then keys, then
// initialisation sections, then segments in play order.
std::vector<https::Answer> Fetched(const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    const auto rank = [](const std::string& name) {
        if (name.ends_with(".m3u8") || name.ends_with(".mpd"))
            return 0;
        if (name.ends_with(".bin"))
            return 1;
        return name.find("init") != std::string::npos ? 2 : 3;
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        if (rank(a) != rank(b))
            return rank(a) < rank(b);
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    std::vector<https::Answer> answers;
    for (const std::string& name : names) {
        if (name.ends_with(".txt"))
            continue;  // the key's description for ffmpeg
        answers.push_back({prefix + name, TypeOf(name), ReadFile(folder / name)});
    }
    return answers;
}

// The spool after a player fetched `answers` over HTTPS, and the copy of the stream at `listed`.
struct Captured {
    std::unique_ptr<SpoolRun> run;
    CopyStatus status;
};

Captured Capture(const std::vector<https::Answer>& answers, const std::string& listed) {
    TlsTraffic peers(Config(0x0304, false, kHost));
    const TlsTrafficResult traffic = peers.Run(https::Http1Script(kHost, answers));
    EXPECT_TRUE(traffic.ok) << traffic.error;
    Captured captured{std::make_unique<SpoolRun>(traffic.keyLog), {}};
    captured.run->Feed(Connection(traffic, 44000));
    captured.run->Finish();
    const std::uint64_t id = captured.run->CopyOf("https://" + kHost + listed);
    EXPECT_NE(id, 0u) << listed;
    captured.status = captured.run->Status(id);
    return captured;
}

// What --save writes of the stream.
SavedMedium Save(const Captured& captured, const std::string& listed, const fs::path& out) {
    const int spoolFd = ::open(captured.run->Folder().c_str(), O_RDONLY | O_DIRECTORY);
    MediaSaver saver(spoolFd, out.string());
    SniffedMedia record;
    record.number = 1;
    record.url = "https://" + kHost + listed;
    record.type = listed.ends_with(".mpd") ? "dash" : "hls";
    const SavedMedium saved = saver.Save(record, captured.status);
    ::close(spoolFd);
    return saved;
}

}  // namespace

TEST(CapturedStreamJoin, RealStreamsAreJoinedIntoOneFileFromTheSpoolAlone) {
    if (!HaveConverter())
        GTEST_SKIP() << "needs ffmpeg and ffprobe";
    struct Case {
        const char* name;
        std::string options;  // ffmpeg's, for the folder F
        std::string listed;
    };
    const std::vector<Case> cases = {
        {"MPEG-TS segments",
         "-f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename F/seg%d.ts F/index.m3u8",
         "index.m3u8"},
        {"fMP4 segments",
         "-f hls -hls_time 2 -hls_playlist_type vod -hls_segment_type fmp4 "
         "-hls_fmp4_init_filename init.mp4 -hls_segment_filename F/seg%d.m4s F/index.m3u8",
         "index.m3u8"},
        {"AES-128",
         "-f hls -hls_time 2 -hls_playlist_type vod -hls_key_info_file F/key.txt "
         "-hls_segment_filename F/seg%d.ts F/index.m3u8",
         "index.m3u8"},
        {"DASH", "-f dash -seg_duration 2 F/show.mpd", "show.mpd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path made = folder.path / "made";
        fs::create_directory(made);
        const std::string key = "0123456789abcdef";
        std::ofstream(made / "key.bin", std::ios::binary) << key;
        std::ofstream(made / "key.txt") << "key.bin\n" << (made / "key.bin").string() << "\n";
        std::string options = c.options;
        // The folder's own name may hold "F/": the search goes on after each replacement.
        for (std::size_t at = 0; (at = options.find("F/", at)) != std::string::npos;
             at += made.string().size())
            options.replace(at, 1, made.string());
        ASSERT_TRUE(Make(options));
        const Captured captured = Capture(Fetched(made, "/tv/"), "/tv/" + c.listed);

        // The layout names local files only, and no key lies on disk.
        const fs::path work = folder.path / "work";
        CapturedStreamLayout layout;
        std::string error;
        const int spoolFd = ::open(captured.run->Folder().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_TRUE(LayOutCapturedStream(spoolFd, captured.status, work.string(), layout, error))
            << error;
        ::close(spoolFd);
        EXPECT_TRUE(layout.Whole());
        EXPECT_NEAR(layout.seconds, kSourceSeconds, 0.5);
        for (const auto& entry : fs::directory_iterator(work)) {
            EXPECT_EQ(fs::status(entry).permissions() & fs::perms::group_all, fs::perms::none);
            const std::string bytes = ReadFile(entry.path());
            EXPECT_EQ(bytes.find("https://"), std::string::npos) << entry.path();
            EXPECT_NE(bytes, key) << entry.path();
        }

        const fs::path out = folder.path / "out";
        const SavedMedium saved = Save(captured, "/tv/" + c.listed, out);
        EXPECT_EQ(saved.note + saved.notice, "");
        ASSERT_TRUE(saved.path.ends_with(".mp4")) << saved.path;
        EXPECT_NEAR(Duration(saved.path), kSourceSeconds, 0.5);
        // Nothing of the work is left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
    }
}

TEST(CapturedStreamJoin, APlayerThatSwitchedVariantsHalfWayGivesTheWholeStream) {
    if (!HaveConverter())
        GTEST_SKIP() << "needs ffmpeg and ffprobe";
    TempFolder folder;
    for (const char* variant : {"hi", "lo"}) {
        fs::create_directory(folder.path / variant);
        ASSERT_TRUE(Make("-f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename " +
                             (folder.path / variant / "seg%d.ts").string() + " " +
                             (folder.path / variant / "index.m3u8").string(),
                         std::string(variant) == "hi" ? 320 : 160));
    }
    const std::string master =
        "#EXTM3U\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=2000000,RESOLUTION=320x240\nhi/index.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=160x120\nlo/index.m3u8\n";
    // The better variant's first half, then the lesser one's second half.
    std::vector<https::Answer> answers = {{"/tv/master.m3u8", TypeOf(".m3u8"), master}};
    for (const char* variant : {"hi", "lo"}) {
        const std::string path = std::string("/tv/") + variant + "/index.m3u8";
        answers.push_back({path, TypeOf(path), ReadFile(folder.path / variant / "index.m3u8")});
    }
    for (const std::string segment : {"hi/seg0.ts", "hi/seg1.ts", "lo/seg2.ts"})
        answers.push_back({"/tv/" + segment, TypeOf(segment), ReadFile(folder.path / segment)});
    const Captured captured = Capture(answers, "/tv/master.m3u8");

    const SavedMedium saved = Save(captured, "/tv/master.m3u8", folder.path / "out");
    EXPECT_EQ(saved.note + saved.notice, "");
    ASSERT_TRUE(saved.path.ends_with(".mp4")) << saved.path;
    EXPECT_NEAR(Duration(saved.path), kSourceSeconds, 0.5);

    // Without the lesser variant's stretch the stream is not whole: its pieces go in a folder,
    // and the segment missing is named.
    answers.pop_back();
    const Captured cut = Capture(answers, "/tv/master.m3u8");
    const SavedMedium folderSaved = Save(cut, "/tv/master.m3u8", folder.path / "out2");
    EXPECT_TRUE(fs::is_directory(folderSaved.path)) << folderSaved.path;
    EXPECT_NE(folderSaved.notice.find("1 of its segments were not captured (https://" + kHost +
                                      "/tv/hi/seg2.ts)"),
              std::string::npos)
        << folderSaved.notice;
}

TEST(CapturedStreamJoin, AHostileCopyGivesAnErrorNotACrash) {
    const std::string playlist =
        "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-PLAYLIST-TYPE:VOD\n"
        "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"
        "#EXTINF:2.0,\nseg0.ts\n#EXTINF:2.0,\nseg1.ts\n#EXT-X-ENDLIST\n";
    const Captured captured = Capture({{"/tv/index.m3u8", TypeOf(".m3u8"), playlist},
                                       {"/tv/key.bin", TypeOf(".bin"), "fifteen bytes!!"},
                                       {"/tv/seg0.ts", TypeOf(".ts"), std::string(376, 'G')},
                                       {"/tv/seg1.ts", TypeOf(".ts"), std::string(376, 'G')}},
                                      "/tv/index.m3u8");
    const int spoolFd = ::open(captured.run->Folder().c_str(), O_RDONLY | O_DIRECTORY);
    TempFolder work;
    CapturedStreamLayout layout;
    std::string error;
    EXPECT_FALSE(
        LayOutCapturedStream(spoolFd, captured.status, (work.path / "a").string(), layout, error));
    EXPECT_NE(error.find("is not 16 bytes long"), std::string::npos) << error;

    // A line of the index that no writer made.
    std::ofstream(captured.run->Folder() / captured.status.name / "index", std::ios::app)
        << "part\t9\tsegment\t../../etc/passwd\thttps://x/\t\n";
    EXPECT_FALSE(
        LayOutCapturedStream(spoolFd, captured.status, (work.path / "b").string(), layout, error));
    EXPECT_NE(error.find("garbled"), std::string::npos) << error;
    // A copy's name that is no name of the spool's.
    CopyStatus wrong = captured.status;
    wrong.name = "../" + wrong.name;
    EXPECT_FALSE(LayOutCapturedStream(spoolFd, wrong, (work.path / "c").string(), layout, error));
    ::close(spoolFd);
}
