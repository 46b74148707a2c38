// How the program ends when it is told to from outside: a stop signal or the loss of its display
// while a conversion runs stops the converter before the program exits, and a main window
// destroyed by another client ends the program as if it had been closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& text,
               fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, perms);
}

bool Alive(pid_t pid) {
    // A zombie has ended; only its entry waits to be reaped. Read with the system's calls: a
    // process that goes between the open and the read fails the read (ESRCH), which the C++
    // library's file streams turn into an exception.
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 0)
        return false;
    const std::string stat(buffer, static_cast<std::size_t>(got));
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
           stat[close + 2] != 'X';
}

// Starts `args` with `environment` added to this process's; standard output and error go to
// `log`.
pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            const std::string& log) {
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment;
    for (char** e = environ; *e; ++e) variables.emplace_back(*e);
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status of `pid` once it ends within `limit` (128 + signal when killed), or nothing.
std::optional<int> WaitEnd(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

void KillAndReap(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// An X server of its own (Xvfb), for the tests that need a display that can go away.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int fds[2];
        if (access("/usr/bin/Xvfb", X_OK) != 0 || pipe(fds) != 0)
            return;
        const char* argv[] = {"Xvfb",        "-displayfd", "3",   "-screen",  "0",
                              "1024x768x24", "-nolisten",  "tcp", "-noreset", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_server, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char**>(argv),
                        environ) != 0) {
            m_server = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string number;
        char c;
        while (m_server > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty())
            m_name = ":" + number;
    }
    ~VirtualDisplay() { Stop(); }
    bool Ok() const { return !m_name.empty(); }
    const std::string& Name() const { return m_name; }
    void Stop() {
        KillAndReap(m_server);
        m_server = -1;
    }

private:
    pid_t m_server = -1;
    std::string m_name;
};

// A conversion that runs until it is stopped: the stand-in converter writes its pid and sleeps.
class RunningConversion : public ::testing::Test {
protected:
    void SetUp() override {
        m_work = m_folder.path / "work";
        fs::create_directories(m_work);
        fs::permissions(m_work, fs::perms::owner_all);
        m_pidFile = m_folder.path / "converter.pid";
        m_converter = m_folder.path / "converter.sh";
        WriteFile(m_converter,
                  "#!/bin/sh\n"
                  "case \" $* \" in\n"
                  "*\" -y \"*) echo $$ > '" +
                      m_pidFile.string() +
                      "'; echo 'size= 1kB time=00:00:01.00'; exec sleep 60;;\n"
                      "*) echo '  Duration: 00:01:00.00, start: 0'; exit 1;;\n"
                      "esac\n",
                  fs::perms::owner_all);
        WriteFile(m_folder.path / "in.flv", "FLV");
    }
    void TearDown() override {
        if (m_converterPid > 0 && Alive(m_converterPid))
            kill(m_converterPid, SIGKILL);
        KillAndReap(m_helper);
    }

    // Starts the stand-in program and waits until its converter runs.
    bool StartConversion(const std::vector<std::string>& environment) {
        m_log = (m_folder.path / "helper.log").string();
        m_helper =
            Start({PELNIX_SHUTDOWN_HELPER, m_work.string(), m_converter.string(),
                   (m_folder.path / "in.flv").string(), (m_folder.path / "out.mp3").string()},
                  environment, m_log);
        if (m_helper <= 0 ||
            !WaitFor([&] { return !ReadFile(m_pidFile).empty(); }, std::chrono::seconds(20))) {
            return false;
        }
        m_converterPid = std::stoi(ReadFile(m_pidFile));
        return Alive(m_converterPid);
    }

    TempFolder m_folder;
    fs::path m_work, m_pidFile, m_converter;
    std::string m_log;
    pid_t m_helper = -1;
    pid_t m_converterPid = -1;
};

class StopSignal : public RunningConversion, public ::testing::WithParamInterface<int> {};

}  // namespace

TEST_P(StopSignal, StopsTheConverterBeforeTheProgramEnds) {
    ASSERT_TRUE(StartConversion({"QT_QPA_PLATFORM=offscreen"})) << ReadFile(m_log);
    kill(m_helper, GetParam());
    const auto status = WaitEnd(m_helper, std::chrono::seconds(10));
    ASSERT_TRUE(status) << "the program did not end";
    m_helper = -1;
    EXPECT_FALSE(Alive(m_converterPid)) << "the converter outlived the program";
    // Nothing half-made stays under the output's name.
    EXPECT_FALSE(fs::exists(m_folder.path / "out.mp3"));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

TEST_F(RunningConversion, LossOfTheDisplayStopsTheConverter) {
    VirtualDisplay display;
    if (!display.Ok())
        GTEST_SKIP() << "needs Xvfb (Debian package xvfb) for a display that can go away";
    ASSERT_TRUE(StartConversion({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.Name()}))
        << ReadFile(m_log);
    display.Stop();
    const auto status = WaitEnd(m_helper, std::chrono::seconds(10));
    ASSERT_TRUE(status) << "the program did not end with its display";
    m_helper = -1;
    EXPECT_FALSE(Alive(m_converterPid)) << "the converter outlived the program";
}

namespace {

// The top-level windows of `pid` on the display, found by their _NET_WM_PID.
std::vector<xcb_window_t> WindowsOf(xcb_connection_t* connection, pid_t pid) {
    std::vector<xcb_window_t> found;
    const char* name = "_NET_WM_PID";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, std::strlen(name), name), nullptr);
    if (!atom)
        return found;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
    if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            xcb_get_property_reply_t* property = xcb_get_property_reply(
                connection,
                xcb_get_property(connection, 0, children[i], atom->atom, XCB_ATOM_CARDINAL, 0, 1),
                nullptr);
            if (property && xcb_get_property_value_length(property) == 4 &&
                *static_cast<const std::uint32_t*>(xcb_get_property_value(property)) ==
                    static_cast<std::uint32_t>(pid)) {
                xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
                    connection, xcb_get_window_attributes(connection, children[i]), nullptr);
                if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                    found.push_back(children[i]);
                free(attributes);
            }
            free(property);
        }
        free(tree);
    }
    free(atom);
    return found;
}

}  // namespace

// Another client (a window manager's destroy, `xdotool windowclose`) destroys the main window:
// the program ends as if the window had been closed, instead of capturing on, invisible.
TEST(MainWindow, DestroyedFromOutsideEndsTheProgram) {
    VirtualDisplay display;
    if (!display.Ok())
        GTEST_SKIP() << "needs Xvfb (Debian package xvfb) for a display of its own";
    TempFolder folder;
    const fs::path config = folder.path / "config", work = folder.path / "work";
    fs::create_directories(config / "Pelnix");
    fs::create_directories(work);
    fs::permissions(work, fs::perms::owner_all);
    WriteFile(folder.path / "tool", "#!/bin/sh\n", fs::perms::owner_all);
    WriteFile(config / "Pelnix" / "Pelnix.ini",
              "[Pelnix]\nFFMpegExe=" + (folder.path / "tool").string() +
                  "\nFFPlayExe=" + (folder.path / "tool").string() +
                  "\nFFMpegAud=-f mp3\nTempDir=" + work.string() + "\n");
    std::vector<std::string> args{PELNIX_PROGRAM};
    // As root it would capture on this machine's adapters: in a network namespace of its own it
    // finds none.
    if (geteuid() == 0)
        args.insert(args.begin(), {"unshare", "--net"});
    const std::string log = (folder.path / "pelnix.log").string();
    const pid_t program =
        Start(args,
              {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.Name(), "HOME=" + folder.path.string(),
               "XDG_CONFIG_HOME=" + config.string(),
               "XDG_CONFIG_DIRS=" + (folder.path / "none").string()},
              log);
    ASSERT_GT(program, 0);

    xcb_connection_t* connection = xcb_connect(display.Name().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(connection), 0);
    std::vector<xcb_window_t> windows;
    const bool shown = WaitFor(
        [&] {
            windows = WindowsOf(connection, program);
            return !windows.empty();
        },
        std::chrono::seconds(20));
    if (!shown) {
        KillAndReap(program);
        xcb_disconnect(connection);
        FAIL() << "no window appeared: " << ReadFile(log);
    }
    for (const xcb_window_t window : windows) xcb_destroy_window(connection, window);
    xcb_flush(connection);
    const auto status = WaitEnd(program, std::chrono::seconds(10));
    xcb_disconnect(connection);
    if (!status)
        KillAndReap(program);
    ASSERT_TRUE(status) << "the program ran on without its window";
    EXPECT_EQ(*status, 0) << ReadFile(log);
}

namespace {

// Settings in `folder` that let the program's start-up pass; gives the environment that finds
// them.
std::vector<std::string> PassingSettings(const fs::path& folder) {
    const fs::path config = folder / "config", work = folder / "work";
    fs::create_directories(config / "Pelnix");
    fs::create_directories(work);
    fs::permissions(work, fs::perms::owner_all);
    WriteFile(folder / "tool", "#!/bin/sh\n", fs::perms::owner_all);
    WriteFile(config / "Pelnix" / "Pelnix.ini",
              "[Pelnix]\nFFMpegExe=" + (folder / "tool").string() +
                  "\nFFPlayExe=" + (folder / "tool").string() +
                  "\nFFMpegAud=-f mp3\nTempDir=" + work.string() + "\n");
    return {"HOME=" + folder.string(), "XDG_CONFIG_HOME=" + config.string(),
            "XDG_CONFIG_DIRS=" + (folder / "none").string()};
}

// The program with `arguments`; as root in a network namespace of its own, where its capture
// finds no adapter of this machine.
std::vector<std::string> Program(const std::vector<std::string>& arguments) {
    std::vector<std::string> args{PELNIX_PROGRAM};
    if (geteuid() == 0)
        args.insert(args.begin(), {"unshare", "--net"});
    args.insert(args.end(), arguments.begin(), arguments.end());
    return args;
}

// The command --launch starts in these tests: it notes its pid, SSLKEYLOGFILE and that file's
// mode in `seen` (written whole at once), then waits.
std::vector<std::string> NotingCommand(const fs::path& seen) {
    return {"--launch",
            "sh",
            "-c",
            "printf '%s\\n' $$ \"$SSLKEYLOGFILE\" > \"$1.part\"; stat -c %a \"$SSLKEYLOGFILE\" "
            ">> \"$1.part\"; mv \"$1.part\" \"$1\"; exec sleep 60",
            "sh",
            seen.string()};
}

}  // namespace

// Without a runtime folder only this user may enter, --launch refuses before anything starts.
TEST(Launch, RefusedWithoutAPrivateRuntimeFolder) {
    TempFolder folder;
    const auto settings = PassingSettings(folder.path);
    const fs::path open = folder.path / "open", target = folder.path / "private";
    fs::create_directories(open);
    fs::permissions(open, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::create_directories(target);
    fs::permissions(target, fs::perms::owner_all);
    fs::create_directory_symlink(target, folder.path / "link");
    struct Case {
        const char* name;
        std::optional<std::string> runtime;  // nothing: unset
        const char* message;
    };
    const Case cases[] = {
        {"unset", std::nullopt, "XDG_RUNTIME_DIR is not set"},
        {"empty", "", "XDG_RUNTIME_DIR is not set"},
        {"open to others", open.string(), "is not a folder of this user's own"},
        {"a link", (folder.path / "link").string(), "is not a folder of this user's own"},
        {"relative", "private", "is not a folder of this user's own"},
    };
    const std::optional<std::string> saved =
        getenv("XDG_RUNTIME_DIR") ? std::optional<std::string>(getenv("XDG_RUNTIME_DIR"))
                                  : std::nullopt;
    unsetenv("XDG_RUNTIME_DIR");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path seen = folder.path / "seen";
        std::vector<std::string> environment = settings;
        environment.push_back("QT_QPA_PLATFORM=offscreen");
        if (c.runtime)
            environment.push_back("XDG_RUNTIME_DIR=" + *c.runtime);
        const std::string log = (folder.path / "pelnix.log").string();
        const pid_t program = Start(Program(NotingCommand(seen)), environment, log);
        ASSERT_GT(program, 0);
        const auto status = WaitEnd(program, std::chrono::seconds(20));
        if (!status)
            KillAndReap(program);
        ASSERT_TRUE(status) << "the program ran";
        EXPECT_EQ(*status, 1);
        EXPECT_NE(ReadFile(log).find(std::string("pelnix: cannot launch sh: ") +
                                     (c.runtime && !c.runtime->empty()
                                          ? "XDG_RUNTIME_DIR (" + *c.runtime + ") "
                                          : std::string()) +
                                     c.message),
                  std::string::npos)
            << ReadFile(log);
        EXPECT_FALSE(fs::exists(seen)) << "the command was started";
        EXPECT_TRUE(fs::is_empty(target));
    }
    if (saved)
        setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
}

class LaunchStopSignal : public ::testing::TestWithParam<int> {};

// A stop signal ends the program cleanly: the launched command is asked to end and its key log,
// which existed private in the runtime folder while it ran, is gone.
TEST_P(LaunchStopSignal, DeletesTheKeyLogAndEndsTheCommand) {
    TempFolder folder;
    const fs::path runtime = folder.path / "run", seen = folder.path / "seen";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    std::vector<std::string> environment = PassingSettings(folder.path);
    environment.push_back("QT_QPA_PLATFORM=offscreen");
    environment.push_back("XDG_RUNTIME_DIR=" + runtime.string());
    const std::string log = (folder.path / "pelnix.log").string();
    const pid_t program = Start(Program(NotingCommand(seen)), environment, log);
    ASSERT_GT(program, 0);
    if (!WaitFor([&] { return fs::exists(seen); }, std::chrono::seconds(20))) {
        KillAndReap(program);
        FAIL() << "the command did not run: " << ReadFile(log);
    }
    std::istringstream lines(ReadFile(seen));
    std::string pidText, keyLog, mode;
    std::getline(lines, pidText);
    std::getline(lines, keyLog);
    std::getline(lines, mode);
    const pid_t command = std::stoi(pidText);
    EXPECT_EQ(fs::path(keyLog).parent_path(), runtime);
    EXPECT_EQ(mode, "600");
    EXPECT_TRUE(fs::exists(keyLog));
    EXPECT_TRUE(Alive(command));

    kill(program, GetParam());
    const auto status = WaitEnd(program, std::chrono::seconds(10));
    if (!status)
        KillAndReap(program);
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_EQ(*status, 128 + GetParam()) << ReadFile(log);
    EXPECT_FALSE(fs::exists(keyLog));
    EXPECT_TRUE(fs::is_empty(runtime));
    EXPECT_TRUE(WaitFor([&] { return !Alive(command); }, std::chrono::seconds(5)))
        << "the command outlived the program";
    if (Alive(command))
        kill(command, SIGKILL);
}

// The window killed outright (SIGKILL, as a crash ends it) while its command writes into the
// key log: the command and the file are gone within a second, and the file stays gone.
TEST(Launch, AKilledWindowTakesTheCommandAndItsKeyLogWithIt) {
    TempFolder folder;
    const fs::path runtime = folder.path / "run", seen = folder.path / "seen";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    std::vector<std::string> environment = PassingSettings(folder.path);
    environment.push_back("QT_QPA_PLATFORM=offscreen");
    environment.push_back("XDG_RUNTIME_DIR=" + runtime.string());
    const std::string log = (folder.path / "pelnix.log").string();
    const pid_t program = Start(
        Program({"--launch", "sh", "-c",
                 "printf '%s\\n' $$ \"$SSLKEYLOGFILE\" > \"$1.part\"; mv \"$1.part\" \"$1\"; "
                 "while :; do echo 'CLIENT_RANDOM 00 00' >> \"$SSLKEYLOGFILE\"; sleep 0.05; done",
                 "sh", seen.string()}),
        environment, log);
    ASSERT_GT(program, 0);
    if (!WaitFor([&] { return fs::exists(seen); }, std::chrono::seconds(20))) {
        KillAndReap(program);
        FAIL() << "the command did not run: " << ReadFile(log);
    }
    std::istringstream lines(ReadFile(seen));
    std::string pidText, keyLog;
    std::getline(lines, pidText);
    std::getline(lines, keyLog);
    const pid_t command = std::stoi(pidText);
    struct EndCommand {
        pid_t group;
        ~EndCommand() {
            if (Alive(group))
                kill(-group, SIGKILL);
        }
    } endCommand{command};
    ASSERT_TRUE(WaitFor([&] { return fs::exists(keyLog) && fs::file_size(keyLog) > 0; },
                        std::chrono::seconds(10)));

    KillAndReap(program);
    EXPECT_TRUE(
        WaitFor([&] { return !Alive(command) && !fs::exists(keyLog); }, std::chrono::seconds(1)))
        << "the command " << (Alive(command) ? "runs on" : "ended") << ", the key log "
        << (fs::exists(keyLog) ? "is there" : "is gone");
    // Nothing of the command is left to create the file again.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(keyLog));
    EXPECT_TRUE(fs::is_empty(runtime));
}

// --launch-own-profile starts a browser with a profile of its own, in a folder kept private
// under the cache folder: the Chromium family with --user-data-dir, the Firefox family with
// -no-remote -profile, both before the command's own arguments (one of them with a space).
// Another command is refused before anything starts.
TEST(Launch, OwnProfileByBrowserFamily) {
    TempFolder folder;
    const fs::path runtime = folder.path / "run", cache = folder.path / "cache",
                   bin = folder.path / "bin", profiles = cache / "Pelnix" / "profiles";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    fs::create_directories(bin);
    // Made open by someone else before: the launch makes it private again.
    fs::create_directories(profiles);
    fs::permissions(profiles, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    std::vector<std::string> environment = PassingSettings(folder.path);
    environment.push_back("QT_QPA_PLATFORM=offscreen");
    environment.push_back("XDG_RUNTIME_DIR=" + runtime.string());
    environment.push_back("XDG_CACHE_HOME=" + cache.string());
    const std::string log = (folder.path / "pelnix.log").string();
    const std::string page = "https://media.test/a clip";
    struct Case {
        std::string browser;
        std::vector<std::string> arguments;  // as the browser receives them
    };
    const Case cases[] = {
        {"chromium", {"--user-data-dir=" + (profiles / "chromium").string(), page}},
        {"firefox-esr", {"-no-remote", "-profile", (profiles / "firefox-esr").string(), page}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.browser);
        // A stand-in that notes its arguments, one a line, then waits.
        const fs::path browser = bin / c.browser, seen = folder.path / (c.browser + ".seen");
        WriteFile(browser,
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + seen.string() + ".part'\nmv '" +
                      seen.string() + ".part' '" + seen.string() + "'\nexec sleep 60\n",
                  fs::perms::owner_all);
        const pid_t program =
            Start(Program({"--launch-own-profile", browser.string(), page}), environment, log);
        ASSERT_GT(program, 0);
        if (!WaitFor([&] { return fs::exists(seen); }, std::chrono::seconds(20))) {
            KillAndReap(program);
            FAIL() << "the browser did not run: " << ReadFile(log);
        }
        std::istringstream lines(ReadFile(seen));
        std::vector<std::string> arguments;
        for (std::string line; std::getline(lines, line);) arguments.push_back(line);
        EXPECT_EQ(arguments, c.arguments);
        const fs::path profile = profiles / c.browser;
        EXPECT_TRUE(fs::is_directory(profile));
        EXPECT_EQ(fs::status(profile).permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::status(profiles).permissions(), fs::perms::owner_all);
        kill(program, SIGTERM);
        if (!WaitEnd(program, std::chrono::seconds(10)))
            KillAndReap(program);
    }

    const pid_t program =
        Start(Program({"--launch-own-profile", "sh", "-c", "exit 0"}), environment, log);
    ASSERT_GT(program, 0);
    const auto status = WaitEnd(program, std::chrono::seconds(20));
    if (!status)
        KillAndReap(program);
    ASSERT_TRUE(status) << "the program ran";
    EXPECT_EQ(*status, 1);
    EXPECT_NE(ReadFile(log).find("pelnix: cannot launch sh: Pelnix does not know how to give sh "
                                 "a profile of its own"),
              std::string::npos)
        << ReadFile(log);
    EXPECT_FALSE(fs::exists(profiles / "sh"));
}

INSTANTIATE_TEST_SUITE_P(Signals, LaunchStopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });
