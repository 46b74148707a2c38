// pelnix-capture: the one program that holds capture rights. It opens every usable adapter,
// gives up every capability, and only then starts reading packets; the media it sniffs go to
// its parent as a record stream on standard output, and its parent's commands come on standard
// input. It ends when that input closes (the parent is gone) or asks it to stop.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "capture/PacketSniffer.h"
#include "helper/Capabilities.h"
#include "helper/HelperOptions.h"
#include "helper/RecordStream.h"
#include "spool/CaptureSpool.h"
#include "streams/StreamEngine.h"

namespace {

constexpr const char* kName = "pelnix-capture";

// Writes whole frames to the parent from any thread. Once a write fails (the parent is gone),
// nothing more is written and the main thread is woken to stop.
class RecordWriter {
public:
    explicit RecordWriter(int fd) : m_fd(fd), m_broken(eventfd(0, EFD_CLOEXEC)) {}

    std::mutex& Mutex() { return m_mutex; }
    // The descriptor that becomes readable when the output broke (-1 when it cannot be made).
    int BrokenEvent() const { return m_broken; }

    // Encodes and writes one message; the caller must not hold Mutex.
    void Send(const StreamMessage& message) {
        std::string frame;
        if (!EncodeMessage(message, frame))
            return;  // cannot happen for what this program sends: texts are cut to fit
        std::lock_guard<std::mutex> lock(m_mutex);
        WriteLocked(frame);
    }
    // The same while the caller holds Mutex.
    void SendLocked(const StreamMessage& message) {
        std::string frame;
        if (EncodeMessage(message, frame))
            WriteLocked(frame);
    }
    void WriteLocked(std::string_view bytes) {
        while (!bytes.empty() && !m_failed.load()) {
            const ssize_t n = write(m_fd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_failed.store(true);
                if (m_broken >= 0) {
                    const std::uint64_t one = 1;
                    [[maybe_unused]] const ssize_t ignored = write(m_broken, &one, sizeof one);
                }
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

private:
    int m_fd;
    int m_broken;
    std::mutex m_mutex;
    std::atomic<bool> m_failed{false};
};

// Reads the parent's commands until it asks to stop, its end closes, the output broke or the
// command stream is garbled (then gives the reason).
std::string ServeCommands(RecordWriter& writer, CaptureSpool* spool) {
    const std::vector<PacketSniffer*>& sessions = g_packetSniffers;
    RecordStreamDecoder commands(StreamDirection::ToHelper);
    std::vector<char> buffer(64 << 10);
    bool anything = false;
    for (;;) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {writer.BrokenEvent(), POLLIN, 0}};
        const nfds_t count = writer.BrokenEvent() >= 0 ? 2 : 1;
        if (poll(watched, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return std::string("waiting for commands: ") + std::strerror(errno);
        }
        if (count == 2 && (watched[1].revents & POLLIN) != 0)
            return {};  // the parent no longer reads: stop quietly
        if (watched[0].revents == 0)
            continue;
        const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            // The parent closed its end or is gone. A command cut short is a garbled stream.
            if (!anything || commands.AtMessageBoundary())
                return {};
            return "it ends inside a command";
        }
        anything = true;
        commands.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        StreamMessage message;
        for (;;) {
            const auto status = commands.Next(message);
            if (status == RecordStreamDecoder::Status::NeedMore)
                break;
            if (status == RecordStreamDecoder::Status::Failed)
                return commands.Failure();
            if (std::holds_alternative<StopCommand>(message))
                return {};
            if (const auto* discard = std::get_if<DiscardCopyCommand>(&message)) {
                if (spool != nullptr)
                    spool->Discard(discard->copyId);
                continue;
            }
            const auto& ignore = std::get<IgnoreCommand>(message);
            if (ignore.session >= sessions.size())
                return "an ignore command for session " + std::to_string(ignore.session) +
                       ", which does not exist";
            PacketSniffer& session = *sessions[ignore.session];
            // The parent holds no rights and decodes outside data: it may not grow this
            // process's memory without bound, and it does not, since the list lets its oldest
            // entries go. The parent is told which went, so that its count of the list stays
            // in step with it.
            const std::size_t dropped =
                session.IgnoreUrl(ignore.url, static_cast<int>(ignore.count));
            if (dropped > 0) {
                writer.Send(
                    IgnoreEntriesDropped{ignore.session, static_cast<std::uint32_t>(dropped)});
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: nothing from the environment may reach code that runs here (the
    // capture library's and the crypto library's configuration and plugins), and no
    // descriptor the parent left open stays but the spool's folder, which the command line
    // names (reading it touches nothing else). The dynamic loader already ignored its own
    // variables, since the file carries capabilities.
    clearenv();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string error;
    const bool help = args.size() == 1 && args[0] == "--help";
    const auto options = help ? std::nullopt : ParseHelperOptions(args, error);
    const int spoolFd = options ? options->spoolFd : -1;
    if (spoolFd > 3)
        close_range(3, static_cast<unsigned>(spoolFd) - 1, 0);
    close_range(spoolFd >= 3 ? static_cast<unsigned>(spoolFd) + 1 : 3, ~0U, 0);
    std::signal(SIGPIPE, SIG_IGN);
    // The crypto library (TLS decryption) reads no configuration file either: one could name
    // providers or engines to load. Before any other use of it.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
        std::fprintf(stderr, "%s: the crypto library could not start\n", kName);
        return 1;
    }

    if (help) {
        std::fputs(kHelperUsage, stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return 2;
    }
    const bool streamEngine =
        options->rules == HelperOptions::Rules::Streams || !options->keyLogFile.empty();

    RecordWriter writer(STDOUT_FILENO);
    {
        std::lock_guard<std::mutex> lock(writer.Mutex());
        writer.WriteLocked(RecordStreamHeader());
    }

    // Every capture handle opens while the rights are held; no thread runs yet, so the drop
    // below covers every thread this process will have.
    for (const std::string& adapter : ListCaptureAdapters())
        g_packetSniffers.push_back(new PacketSniffer(adapter, streamEngine));
    const auto sessionCount = static_cast<std::uint32_t>(g_packetSniffers.size());
    if (const std::string failure = DropAllCapabilities(); !failure.empty()) {
        // Not one packet is read with rights held: every session closes unread.
        const std::string text =
            "the capture helper could not give up its capabilities (" + failure + ")";
        for (std::uint32_t i = 0; i < sessionCount; ++i) {
            writer.Send(SessionFailed{i, g_packetSniffers[i]->AdapterName(), text});
            delete g_packetSniffers[i];
        }
        g_packetSniffers.clear();
        writer.Send(SessionsListed{});
        writer.Send(StreamEnd{});
        std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
        return 1;
    }

    // The stream engine's memory and key log, shared by every session. The key log is opened
    // from here on, with the user's own rights only; it is read, never copied or written.
    MemoryBudget budget(options->budgetBytes != 0 ? options->budgetBytes
                                                  : MemoryBudget::kDefaultLimit);
    std::unique_ptr<KeyLog> keyLog;
    if (!options->keyLogFile.empty()) {
        keyLog = std::make_unique<KeyLog>(options->keyLogFile);
        // What the key log finds wrong with itself (not a regular file, no key in it), each
        // once: the window and --watch pass notices on to the user.
        keyLog->SetNoticeSink([&writer](const std::string& text) { writer.Send(Notice{text}); });
    }
    // One notice of each kind for the whole capture, whichever session saw it first (the
    // sessions' notices are a few fixed texts).
    std::mutex noticesMutex;
    std::set<std::string> noticesTold;
    // The copies of listed media, written into the parent's private folder through the one
    // descriptor it handed over: no path is opened, and the folder is this user's own.
    std::unique_ptr<CaptureSpool> spool;
    if (spoolFd >= 0 && streamEngine) {
        CaptureSpool::Options spoolOptions;
        if (options->spoolBytes != 0)
            spoolOptions.limitBytes = options->spoolBytes;
        spoolOptions.onStatus = [&writer](const CopyStatus& status) {
            writer.Send(CopyChanged{status});
        };
        std::string why;
        spool = CaptureSpool::Open(spoolFd, "the spool folder", std::move(spoolOptions), why);
        if (!spool)
            writer.Send(Notice{"captured media are not kept: " + why});
    }

    std::vector<bool> started(sessionCount, false);
    {
        // The output stays locked until every session is told: no record comes before the
        // message that opens its session.
        std::lock_guard<std::mutex> lock(writer.Mutex());
        for (std::uint32_t i = 0; i < sessionCount; ++i) {
            PacketSniffer& session = *g_packetSniffers[i];
            session.SetReportSink([&writer, i](MediaReport report) {
                FitForRecordStream(report);
                writer.Send(MediaRecord{i, std::move(report)});
            });
            session.SetIgnoredSink([&writer, i](const std::string& url) {
                writer.Send(UrlIgnored{i, url});
            });
            if (streamEngine)
                session.UseStreamEngine(budget, keyLog.get(), options->rules, spool.get());
            session.SetNoticeSink([&writer, &noticesMutex, &noticesTold](const std::string& text) {
                {
                    std::lock_guard<std::mutex> told(noticesMutex);
                    if (!noticesTold.insert(text).second)
                        return;
                }
                writer.Send(Notice{text});
            });
            started[i] = session.Start();
            if (started[i]) {
                writer.SendLocked(SessionOpened{i, session.AdapterName()});
            } else {
                writer.SendLocked(SessionFailed{i, session.AdapterName(), session.ErrorText()});
            }
        }
        writer.SendLocked(SessionsListed{});
    }

    const std::string commandFault = ServeCommands(writer, spool.get());

    // Every capture thread stops first, so that each count covers the whole capture.
    for (PacketSniffer* session : g_packetSniffers) session->Stop();
    for (std::uint32_t i = 0; i < sessionCount; ++i) {
        if (started[i])
            writer.Send(SessionStatistics{i, g_packetSniffers[i]->Statistics()});
    }
    // The engines go before the spool they feed; the spool writes what it still holds and
    // tells the copies' last states before the end.
    for (PacketSniffer* session : g_packetSniffers) delete session;
    g_packetSniffers.clear();
    spool.reset();
    writer.Send(StreamEnd{});
    if (!commandFault.empty()) {
        std::fprintf(stderr, "%s: the command stream is garbled: %s\n", kName,
                     commandFault.c_str());
        return 1;
    }
    return 0;
}
