// --read of a browser's HAR export: the entries go through the stream engine's media rules and
// the catalogue's, and the records are printed as --read prints those of a capture.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Whether the file opened as `file` holds a HAR (by its first bytes, whatever its name). The
// file position is put back to the start.
bool IsHarFile(std::FILE* file);

// Lists the media of a HAR file on `out`, one line per accepted record in the order of
// acceptance, each as it stands once the whole file is read (a stream's size grows as its
// segments are seen). The time sniffed is the entry's start. Errors go to `err` as one line;
// the records found before a fault are printed all the same. With `save`, every listed medium
// whose body the HAR holds is written into its folder.
struct SaveOptions;
int RunHarReadCommand(const std::string& fileName, std::FILE* out, std::FILE* err,
                      std::string_view programName, const SaveOptions* save = nullptr);
