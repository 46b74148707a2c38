// A captured HLS or DASH stream joined from the capture spool alone: its copy (pieces, playlists
// and index, spool/StreamIndex.h) laid out in a private work folder in the shape the stream
// fetcher gives a fetched stream (http/StreamFetcher.h): a local HLS playlist `stream.m3u8` that
// names one media playlist per track (`v.m3u8`, and `a.m3u8` for a sound of its own), each
// naming only files beside it. AES-128 pieces are decrypted on the way, so no key is written.
// The converter then joins them reading nothing but local files.
//
// A player that switched variants mid-way holds different stretches in different variants: for
// each stretch of time the best variant (highest bandwidth, then the larger picture) whose piece
// of it was captured complete is taken, with a discontinuity where the variant changes. A
// stretch that no variant holds is missing, and said.
//
// Everything read from the spool is hostile: reads are bounded, a key is exactly 16 bytes, and
// the only names opened in the copy's folder are the spool's own piece and playlist names.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "spool/CopyStatus.h"

struct CapturedStreamLayout {
    std::string playlist;  // the local master playlist (WORK/stream.m3u8)
    double seconds = 0;    // of media laid out, by the playlists (the picture's track)
    // The URLs of the segments (or their initialisation sections and keys) that no variant
    // holds complete, in play order: the stretches the joined file lacks.
    std::vector<std::string> missing;
    std::size_t segments = 0;  // laid out, all tracks together

    bool Whole() const { return missing.empty() && segments > 0; }
};

// Lays out the stream copy `status` of the spool open as `spoolFd` in `workFolder` (made 0700
// when missing; refused when it is not this user's and private; files in it are made new, 0600).
// False with `error` set when the copy cannot be read or nothing of it can be laid out; a copy
// with stretches missing is laid out all the same (out.missing says which).
bool LayOutCapturedStream(int spoolFd, const CopyStatus& status, const std::string& workFolder,
                          CapturedStreamLayout& out, std::string& error);

// The converter for a join: the configured one (g_ffmpegExe) when it is set and can run, else
// "ffmpeg" found on PATH; empty when there is none.
std::string FindJoinConverter();

// Joins a laid-out stream into the MP4 file `outputPath` (which must not exist; the converter
// writes it as a new file): `ffmpegExe` started without a shell, reading the local playlist
// through the file protocol alone, copying the streams as they are. False with `error` set (the
// converter's last message) when it fails, writes nothing, writes a file that plays shorter than
// the layout's seconds (by more than a second or 1%) or takes longer than `limit` (it is killed);
// `outputPath` is then removed.
bool JoinCapturedStream(const std::string& ffmpegExe, const CapturedStreamLayout& layout,
                        const std::string& outputPath, std::string& error,
                        std::chrono::milliseconds limit = std::chrono::minutes(10));
