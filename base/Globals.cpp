#include "base/Globals.h"

std::string g_moduleDir = "x";
std::string g_settingsFile = "x";
std::string g_ffmpegExe = "x";
std::string g_ffplayExe = "x";
std::string g_ffmpegAudioOptions = "x";
std::string g_tempDir = "x";
