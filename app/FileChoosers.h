// The file choosers: the platform's file dialog in front of the user, the chosen full path back
// to the caller.
//
// Both offer one entry, "wave files" with *.wav; a name typed without an extension gets the
// default one. The save chooser asks before an existing file is replaced; declining returns to
// the chooser. The open chooser accepts a typed name of a file that does not exist (loading it
// then says so). A full path longer than 259 bytes is refused with a message, never cut.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstddef>
#include <string>

// The callers' path buffers hold 260 bytes: at most 259 of path and its terminating zero.
constexpr std::size_t kPathBufferBytes = 260;

// 1 when the user confirmed a file (its path is in pathBuffer), 0 otherwise (the buffer is
// untouched).
int ChooseOpenFile(const char* defaultExtension, const char* filter, char* pathBuffer);
int ChooseSaveFile(char* pathBuffer, const char* defaultExtension, const char* filter);

// "wave files|*.wav|" as Qt writes a filter: "wave files (*.wav)".
std::string FilterForQt(const char* filter);
