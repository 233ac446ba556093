// The lines that `sonorette-gain --analyze` prints for a file: one for people, with the unit after
// each figure, or one JSON object for scripts.
//
// Threads: any.
#pragma once

#include <string>
#include <string_view>

struct LoudnessMeasure;

// Sample peak, true peak, integrated loudness, loudness range, proposed percentage and duration,
// separated by tabs, then the path escaped as in every other line of the program:
//   -3.01 dBFS<TAB>0.00 dBTP<TAB>-23.00 LUFS<TAB>0.00 LU<TAB>141%<TAB>20.000 s<TAB>path
// A figure that is minus infinity (the peaks and the loudness of silence) reads "-inf".
std::string AnalysisLine(std::string_view path, const LoudnessMeasure& measure);

// The same as one JSON object on one line, with the sample rate, channels and frames besides;
// minus infinity is null. Numbers are as precise as a double can be read back.
std::string AnalysisJson(std::string_view path, const LoudnessMeasure& measure);

// A JSON string holding path. JSON text is Unicode, a path any bytes but '/' and NUL: the UTF-8
// characters of the path stand as they are (", \ and control characters escaped), each byte
// that is not part of UTF-8 becomes U+FFFD. A path that had such bytes cannot be told back from
// that string, so AnalysisJson adds "path_hex", every byte of the path as two hex digits, then.
std::string JsonString(std::string_view text);
