// The command line's preview: the dialog's Play, headless.
#pragma once

#include <string>

#include "wave/StreamingGain.h"

// Plays input with the gain chosen applied through the default output device
// until its end or Ctrl-C, showing the time on a terminal. false when the file could not be read
// or the device could not start (the user has been told why).
bool RunPlay(const std::string& input, const GainChoice& choice);
