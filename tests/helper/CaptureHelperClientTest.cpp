// The side that starts the capture helper, against a scripted stand-in: a good capture with its
// commands, and every way the helper's stream can go wrong. The test process itself is the
// window's stand-in: it must keep running, and the sessions must say what happened.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "headless/HeadlessFrontEnd.h"
#include "helper/CaptureHelperClient.h"

namespace fs = std::filesystem;

namespace {

std::mutex s_mutex;
std::vector<MediaReport> s_reports;
std::vector<std::string> s_notices;

void Collect(MediaReport report) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_reports.push_back(std::move(report));
}

CaptureHelperClient::Options FakeHelper(const std::string& scenario) {
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_reports.clear();
        s_notices.clear();
    }
    CaptureHelperClient::Options options;
    options.helperPath = PELNIX_FAKE_CAPTURE_HELPER;
    options.helperArguments = {scenario};
    options.reportCallback = Collect;
    options.noticeCallback = [](const std::string& text) {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_notices.push_back(text);
    };
    return options;
}

template <typename Done>
bool WaitFor(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

TEST(CaptureHelperClient, TakesSessionsRecordsAndNoticesAndForwardsItsCommands) {
    CaptureHelperClient client(FakeHelper("capture"));
    ASSERT_EQ(client.Start(), CaptureHelperClient::StartResult::Listed) << client.StartError();
    const auto sessions = client.Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0]->AdapterName(), "fake0");
    EXPECT_TRUE(sessions[0]->IsCapturing());
    EXPECT_EQ(sessions[0]->ErrorText(), "");
    EXPECT_EQ(sessions[1]->AdapterName(), "fake1");
    EXPECT_FALSE(sessions[1]->IsCapturing());
    EXPECT_EQ(sessions[1]->ErrorText(), "no such adapter");

    ASSERT_TRUE(WaitFor([] {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_reports.size() == 2;
    }));
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        EXPECT_EQ(s_reports[0].url, "http://a.test/one.flv");
        EXPECT_EQ(s_reports[0].lengthText, "150000\r\n");
        EXPECT_EQ(s_reports[0].serverPort, 8080);
        EXPECT_EQ(s_reports[0].serverAddress, IpAddress(Ipv4Address{10, 0, 0, 7}));
        EXPECT_EQ(s_reports[1].url, std::string("http://b.test/\x01\xff\"$(id)", 21));
        // The helper is started with no environment (but a sanitizer build's options).
        EXPECT_EQ(s_notices, std::vector<std::string>{"environment variables: 0"});
    }

    // An ignore command reaches the helper's session, and its use comes back.
    sessions[0]->IgnoreUrl("a.test/one.flv", 3);
    EXPECT_TRUE(WaitFor([&] { return sessions[0]->IgnoreListSize() == 0; }))
        << sessions[0]->IgnoreListSize();
    // A failed session keeps its ignore list here, and sends nothing.
    sessions[1]->IgnoreUrl("a.test/one.flv", 2);
    EXPECT_EQ(sessions[1]->IgnoreListSize(), 2u);

    client.Stop();
    EXPECT_EQ(client.HelperProcess(), -1);
    EXPECT_FALSE(sessions[0]->IsCapturing());
    EXPECT_EQ(sessions[0]->ErrorText(), "") << "a clean stop is no failure";
    const CaptureStatistics counts = sessions[0]->Statistics();
    EXPECT_TRUE(counts.known);
    EXPECT_EQ(counts.received, 1234u);
    EXPECT_EQ(counts.droppedByKernel, 5u);
}

// The helper's ignore list keeps its newest 1,024 entries and tells which it let go, so the
// count here stays in step: ignore commands go on being sent after any number of Previews and
// Downloads, and the entries known here are the helper's.
TEST(CaptureHelperClient, TheIgnoreCountFollowsTheEntriesTheHelperLetsGo) {
    CaptureHelperClient client(FakeHelper("keeps-ignores"));
    ASSERT_EQ(client.Start(), CaptureHelperClient::StartResult::Listed) << client.StartError();
    const auto sessions = client.Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    HelperSession& session = *sessions[0];
    const auto heldByTheHelper = [](std::size_t notices) {
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(s_mutex);
            return s_notices.size() == notices;
        })) << "the helper did not get the last command";
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_notices.empty() ? std::string() : s_notices.back();
    };

    // Entries the helper has not yet said it let go are bounded here (a helper that never
    // tells is not sent more): the Previews come in steps the helper keeps up with, as a user's
    // do, however slow the machine.
    for (int i = 0; i < 5000; ++i) {
        session.IgnoreUrl("a.test/" + std::to_string(i), 1);
        if (i % 1000 == 999) {
            ASSERT_TRUE(WaitFor([&] { return session.IgnoreListSize() <= 1024; }))
                << session.IgnoreListSize();
        }
    }
    session.IgnoreUrl("a.test/count", 1);
    EXPECT_EQ(heldByTheHelper(1), "holds 1024");
    EXPECT_TRUE(WaitFor([&] { return session.IgnoreListSize() == 1024; }))
        << session.IgnoreListSize();
    auto entries = session.IgnoreEntries();
    ASSERT_EQ(entries.size(), 1024u);
    EXPECT_EQ(entries.front(), (std::pair<std::string, std::size_t>("a.test/3977", 1)));
    EXPECT_EQ(entries.back(), (std::pair<std::string, std::size_t>("a.test/count", 1)));

    // Many copies at once go in commands of at most 64 and push the rest out.
    session.IgnoreUrl("a.test/many", 2000);
    session.IgnoreUrl("a.test/count", 1);
    EXPECT_EQ(heldByTheHelper(2), "holds 1024");
    EXPECT_TRUE(WaitFor([&] { return session.IgnoreListSize() == 1024; }))
        << session.IgnoreListSize();
    entries = session.IgnoreEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::size_t>("a.test/many", 1023)));

    // A session that does not capture keeps the newest entries as a helper's list would, for a
    // helper that takes its place.
    for (int i = 0; i < 1100; ++i) sessions[1]->IgnoreUrl("a.test/" + std::to_string(i), 1);
    EXPECT_EQ(sessions[1]->IgnoreListSize(), 1024u);
    EXPECT_EQ(sessions[1]->IgnoreEntries().front().first, "a.test/76");
    client.Stop();
}

TEST(CaptureHelperClient, AHelperWhoseStreamGoesWrongEndsItsSessionsWithAnErrorText) {
    struct Case {
        const char* scenario;
        const char* errorPart;  // in the capturing session's error text
    };
    const Case cases[] = {
        {"garbled", "garbled record stream: a frame of unknown type 99"},
        {"oversized", "a frame of 4294967295 bytes, above the bound"},
        {"record-of-failed-session", "a record of a session that does not capture"},
        {"truncated", "ended in the middle of a record (exit status 0)"},
        {"dies", "ended in the middle of a record (killed by signal 9)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        bool ended = false;
        std::mutex endedMutex;
        auto options = FakeHelper(c.scenario);
        options.endCallback = [&] {
            std::lock_guard<std::mutex> lock(endedMutex);
            ended = true;
        };
        CaptureHelperClient client(std::move(options));
        ASSERT_EQ(client.Start(), CaptureHelperClient::StartResult::Listed) << client.StartError();
        const auto sessions = client.Sessions();
        ASSERT_EQ(sessions.size(), 2u);
        ASSERT_TRUE(WaitFor([&] { return !sessions[0]->ErrorText().empty(); }));
        EXPECT_NE(sessions[0]->ErrorText().find(c.errorPart), std::string::npos)
            << sessions[0]->ErrorText();
        EXPECT_FALSE(sessions[0]->IsCapturing());
        // The session that had failed keeps its own reason.
        EXPECT_EQ(sessions[1]->ErrorText(), "no such adapter");
        // The helper is gone, reaped, and the end was told once.
        EXPECT_TRUE(WaitFor([&] { return client.HelperProcess() == -1; }));
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(endedMutex);
            return ended;
        }));
        // Commands to a helper that is gone change nothing and block nothing.
        sessions[0]->IgnoreUrl("a.test/x", 1);
        client.Stop();
    }
}

TEST(CaptureHelperClient, AHelperThatCannotStartOrListGivesEveryAdapterASessionThatSaysWhy) {
    TempFolder folder;
    const fs::path notExecutable = folder.path / "pelnix-capture";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    chmod(notExecutable.c_str(), 0644);  // not even root may run it
    struct Case {
        std::string path;
        std::string scenario;
        CaptureHelperClient::StartResult result;
        std::string errorPart;
    };
    const Case cases[] = {
        {(folder.path / "missing").string(), "", CaptureHelperClient::StartResult::Failed,
         "is missing"},
        {notExecutable.string(), "", CaptureHelperClient::StartResult::NotPermitted,
         "members of the group pelnix"},
        {PELNIX_FAKE_CAPTURE_HELPER, "early-end", CaptureHelperClient::StartResult::Failed,
         "ended unexpectedly (exit status 1)"},
        {PELNIX_FAKE_CAPTURE_HELPER, "silent", CaptureHelperClient::StartResult::Failed,
         "did not list its sessions within 300 ms"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + c.scenario);
        auto options = FakeHelper(c.scenario);
        options.helperPath = c.path;
        // Only the silent helper waits for the time-out; the others end on their own, which a
        // loaded machine may make take longer than the silent one's short bound.
        const bool silent = c.scenario == "silent";
        options.startTimeout = std::chrono::milliseconds(silent ? 300 : 30000);
        CaptureHelperClient client(std::move(options));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Start(), c.result);
        if (silent) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        }
        EXPECT_NE(client.StartError().find(c.errorPart), std::string::npos) << client.StartError();
        EXPECT_EQ(client.HelperProcess(), -1);
        const auto sessions = client.Sessions();
        EXPECT_EQ(sessions.size(), ListCaptureAdapters().size());
        for (const HelperSession* session : sessions) {
            EXPECT_FALSE(session->IsCapturing());
            EXPECT_EQ(session->ErrorText(), client.StartError());
        }
    }
    EXPECT_NE(CaptureNotPermittedText("/usr/libexec/pelnix/pelnix-capture")
                  .find("sudo adduser $USER pelnix\nthen log out and log in again"),
              std::string::npos);
}

TEST(CaptureHelperClient, TheHelperIsFoundBesideTheProgramElseWhereThePackagePutsIt) {
    TempFolder folder;
    const fs::path bin = folder.path / "usr" / "bin";
    fs::create_directories(bin);
    EXPECT_EQ(FindCaptureHelper(bin.string()),
              (folder.path / "usr" / "libexec" / "pelnix" / "pelnix-capture").string());
    std::ofstream(bin / "pelnix-capture") << "built";
    EXPECT_EQ(FindCaptureHelper(bin.string()), (bin / "pelnix-capture").string());
    // The set-up's granted copy is taken while it is a copy of the built helper.
    fs::create_directory(bin / "rights");
    fs::copy_file(bin / "pelnix-capture", bin / "rights" / "pelnix-capture");
    const auto built = fs::last_write_time(bin / "pelnix-capture");
    fs::last_write_time(bin / "rights" / "pelnix-capture", built);
    EXPECT_EQ(FindCaptureHelper(bin.string()), (bin / "rights" / "pelnix-capture").string());
    // Rebuilt: the new helper, until the set-up copies it again.
    fs::last_write_time(bin / "pelnix-capture", built + std::chrono::seconds(1));
    EXPECT_EQ(FindCaptureHelper(bin.string()), (bin / "pelnix-capture").string());
    fs::last_write_time(bin / "pelnix-capture", built);
    std::ofstream(bin / "pelnix-capture") << "rebuilt";
    fs::last_write_time(bin / "pelnix-capture", built);
    EXPECT_EQ(FindCaptureHelper(bin.string()), (bin / "pelnix-capture").string());
}

// --watch through the helper: a helper that dies while the watch runs ends the watch with its
// reason and the statistics lines; a user who may not run the helper is told how to join.
TEST(HeadlessWatch, EndsWhenTheHelperEndsAndTellsAnOutsiderWhatToDo) {
    TempFolder folder;
    const fs::path dies = folder.path / "dies-later";
    fs::create_symlink(PELNIX_FAKE_CAPTURE_HELPER, dies);
    const fs::path notAllowed = folder.path / "pelnix-capture";
    std::ofstream(notAllowed) << "#!/bin/sh\n";
    chmod(notAllowed.c_str(), 0644);
    const auto watch = [](const fs::path& helper, std::string& errors) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int status = RunWatchCommand(out, err, "pelnix", helper.string());
        const auto text = [](std::FILE* file) {
            std::rewind(file);
            std::string all;
            char buffer[4096];
            while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file))
                all.append(buffer, n);
            std::fclose(file);
            return all;
        };
        errors = text(err);
        EXPECT_EQ(text(out), "") << "no record was whole";
        return status;
    };

    std::string errors;
    EXPECT_EQ(watch(dies, errors), 1);
    for (const char* line : {
             "pelnix: cannot capture on fake1: no such adapter\n",
             "pelnix: watching fake0 (interrupt to stop)\n",
             "pelnix: the capture ended: the capture helper ended in the middle of a record "
             "(killed by signal 9)\n",
             "pelnix: fake0: no capture statistics\n",
         }) {
        EXPECT_NE(errors.find(line), std::string::npos) << line << "in:\n" << errors;
    }

    EXPECT_EQ(watch(notAllowed, errors), 1);
    EXPECT_NE(errors.find("pelnix: You may not capture network traffic"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("sudo adduser $USER pelnix"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("watching"), std::string::npos) << errors;
}

// --watch prints a change of a listed record as it happens, under the record's number: in
// TSV the entry again, in JSON the same object marked as an update. A report that changes
// nothing prints nothing.
TEST(HeadlessWatch, AStreamThatGrowsIsPrintedAgainUnderItsNumber) {
    TempFolder folder;
    const fs::path helper = folder.path / "stream-grows";
    fs::create_symlink(PELNIX_FAKE_CAPTURE_HELPER, helper);
    const auto watch = [&](OutputFormat format) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        EXPECT_EQ(RunWatchCommand(out, err, "pelnix", helper.string(), {}, format), 1);
        std::rewind(out);
        std::vector<std::string> lines;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, out)) lines.emplace_back(buffer);
        std::fclose(out);
        std::fclose(err);
        return lines;
    };
    const auto tsv = watch(OutputFormat::Tsv);
    ASSERT_EQ(tsv.size(), 2u);
    const auto fields = [](const std::string& line) {
        std::vector<std::string> parts;
        std::stringstream in(line.substr(0, line.size() - 1));
        for (std::string part; std::getline(in, part, '\t');) parts.push_back(part);
        return parts;
    };
    const auto first = fields(tsv[0]);
    const auto second = fields(tsv[1]);
    ASSERT_EQ(first.size(), 5u) << tsv[0];
    ASSERT_EQ(second.size(), 5u) << tsv[1];
    EXPECT_EQ(first[0], second[0]);
    EXPECT_EQ(first[3], "0");
    EXPECT_EQ(second[3], "600000");
    EXPECT_EQ(second[4], "http://a.test/show.m3u8");

    const auto json = watch(OutputFormat::Json);
    ASSERT_EQ(json.size(), 2u);
    const auto sighted = nlohmann::json::parse(json[0]);
    const auto grown = nlohmann::json::parse(json[1]);
    EXPECT_FALSE(sighted.contains("update")) << sighted;
    EXPECT_EQ(sighted.at("size"), 0);
    EXPECT_EQ(sighted.at("variants"), nlohmann::json::array());
    EXPECT_EQ(grown.at("update"), true);
    EXPECT_EQ(grown.at("number"), sighted.at("number"));
    EXPECT_EQ(grown.at("kind"), "hls");
    EXPECT_EQ(grown.at("size"), 600000);
    EXPECT_EQ(grown.at("variants"), nlohmann::json::array({"1280x720, 2.00 Mbit/s"}));
}
