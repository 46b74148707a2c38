// pelnix-sniff: the headless front end alone, without a window, a display or Qt.
#include <csignal>
#include <cstdio>
#include <string_view>

#include "headless/HeadlessFrontEnd.h"

namespace {

constexpr const char* kUsage =
    "Usage: pelnix-sniff --read FILE [--local-address ADDR] [--format tsv|json]\n"
    "                          [STREAM OPTIONS]\n"
    "       pelnix-sniff --watch [--format tsv|json] [STREAM OPTIONS]\n"
    "Lists media streamed over HTTP (and over HTTPS with a TLS key log), from a capture file\n"
    "or from this machine's network traffic, one line per record.\n"
    "\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
    // A reader of the output that goes away must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHeadlessUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("pelnix-sniff %s\n", PELNIX_VERSION);
            return 0;
        }
    }
    if (const auto status = RunHeadlessCommand(argc, argv, "pelnix-sniff"))
        return *status;
    if (argc > 1) {
        std::fprintf(stderr, "pelnix-sniff: unknown option '%s' (try --help)\n", argv[1]);
    } else {
        std::fputs("pelnix-sniff: --read FILE or --watch is needed (try --help)\n", stderr);
    }
    return 2;
}
