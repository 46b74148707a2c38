// Process-wide settings values. Each holds "x" from program load until start-up replaces it;
// start-up writes them before any other thread exists, everything else only reads them.
#pragma once

#include <string>

extern std::string g_moduleDir;           // folder of the executable, no trailing "/"
extern std::string g_settingsFile;        // full path of Pelnix.ini
extern std::string g_ffmpegExe;           // FFMpegExe
extern std::string g_ffplayExe;           // FFPlayExe
extern std::string g_ffmpegAudioOptions;  // FFMpegAud
extern std::string g_tempDir;             // TempDir

// The product name: the settings section, the per-user folder and every message-box caption.
inline constexpr const char* kProductName = "Pelnix";
inline constexpr const char* kSettingsFileName = "Pelnix.ini";
// The user agent of the program's own requests: the downloads and the advert fetch.
inline constexpr const char* kBrowserUserAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; GTB5; .NET CLR 1.1.4322)";
