// Runs one audio extraction through the progress dialog, headless, and reports its wall time and
// the CPU time of this program itself (reader thread included, the converter excluded).
//
// usage: conversion_bench <ffmpeg> <work-folder> <input> <output> <options>
#include <sys/resource.h>

#include <QApplication>

#include <chrono>
#include <cstdio>

#include "base/Globals.h"
#include "base/Settings.h"
#include "converter/TavrelImportProgressDlg.h"

namespace {

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <ffmpeg> <work-folder> <input> <output> <options>\n",
                     argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    g_ffmpegExe = argv[1];
    g_tempDir = argv[2];
    g_ffmpegAudioOptions = argv[5];
    const std::string output = argv[4];

    TavrelImportProgressDlg dialog(
        "Extracting Audio From Video",
        "Importing:", QString("Saving to \"%1\"").arg(QString::fromStdString(output)),
        g_tempDir + "/Sniffer_1_1.bat", argv[3], output, g_ffmpegAudioOptions);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const int result = dialog.exec();
    const auto end = std::chrono::steady_clock::now();
    getrusage(RUSAGE_SELF, &after);

    const double wall = std::chrono::duration<double>(end - start).count();
    const double cpu = CpuSeconds(after) - CpuSeconds(before);
    std::printf("result=%d wall_s=%.3f self_cpu_s=%.3f self_cpu_pct=%.2f duration_s=%.2f ok=%d\n",
                result, wall, cpu, wall > 0 ? 100.0 * cpu / wall : 0.0, dialog.DurationSeconds(),
                FileExistsNonEmpty(output) ? 1 : 0);
    return result == 1 && FileExistsNonEmpty(output) ? 0 : 1;
}
