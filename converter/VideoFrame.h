// One picture of a downloaded video: the converter takes a frame of the local file, scaled down,
// and hands it over as PNG bytes through a pipe. Runs on any thread; blocks until the converter
// ends, is stopped, or its time is up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// How far into a video its picture is taken; a shorter clip gives its first frame.
inline constexpr int kVideoFrameSeconds = 3;
// The most PNG bytes a picture may have: a small frame takes far less.
inline constexpr std::size_t kVideoFrameLimit = 4 << 20;
// How long the converter may take for a picture, both tries together.
inline constexpr std::chrono::milliseconds kVideoFrameTime{10000};

// PNG bytes of one frame of the local file `inputPath`, `width` pixels wide (the height keeps the
// aspect ratio): the frame kVideoFrameSeconds in, else the first. The converter `ffmpegExe` is
// started without a shell, reads through the file protocol alone with the reader
// LocalInputArguments gives for the file's first bytes and `type`, and writes to a pipe only.
// Empty when the file holds no picture (sound alone, bytes of no medium), when the converter
// fails or writes more than kVideoFrameLimit, when `limit` passes (the converter is killed) or
// `stop` turns true.
std::string GrabVideoFrame(const std::string& ffmpegExe, const std::string& inputPath,
                           std::string_view type, int width, const std::atomic<bool>& stop,
                           std::chrono::milliseconds limit = kVideoFrameTime);
