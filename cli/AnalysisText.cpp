#include "cli/AnalysisText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/PrintableText.h"
#include "wave/Loudness.h"

namespace {

// value with two decimals and the unit, or "-inf" and the unit.
std::string Figure(double value, const char* unit) {
    char text[64];
    if (std::isinf(value)) {
        std::snprintf(text, sizeof text, "%sinf %s", value < 0 ? "-" : "", unit);
    } else {
        std::snprintf(text, sizeof text, "%.2f %s", value, unit);
    }
    return text;
}

// The shortest decimal that reads back as value; null for anything that is not finite.
std::string JsonNumber(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return {text, result.ptr};
}

bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = platform::Utf8CharacterLength(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 15]);
    }
    return hex;
}

}  // namespace

std::string AnalysisLine(std::string_view path, const LoudnessMeasure& measure) {
    char rest[64];
    std::snprintf(rest, sizeof rest, "%d%%\t%.3f s\t", measure.ProposedPercent(),
                  measure.DurationSeconds());
    return Figure(FractionToDecibels(measure.samplePeakFraction), "dBFS") + "\t" +
           Figure(FractionToDecibels(measure.truePeakFraction), "dBTP") + "\t" +
           Figure(measure.integratedLufs, "LUFS") + "\t" + Figure(measure.loudnessRangeLu, "LU") +
           "\t" + rest + platform::EscapeForDisplay(path);
}

std::string AnalysisJson(std::string_view path, const LoudnessMeasure& measure) {
    std::string json = "{\"path\":" + JsonString(path);
    if (!IsUtf8(path)) {
        json += ",\"path_hex\":\"" + Hex(path) + "\"";
    }
    json += ",\"sample_peak_dbfs\":" + JsonNumber(FractionToDecibels(measure.samplePeakFraction));
    json += ",\"true_peak_dbtp\":" + JsonNumber(FractionToDecibels(measure.truePeakFraction));
    json += ",\"integrated_lufs\":" + JsonNumber(measure.integratedLufs);
    json += ",\"loudness_range_lu\":" + JsonNumber(measure.loudnessRangeLu);
    json += ",\"proposed_percent\":" + std::to_string(measure.ProposedPercent());
    json += ",\"duration_seconds\":" + JsonNumber(measure.DurationSeconds());
    json += ",\"sample_rate\":" + std::to_string(measure.samplesPerSec);
    json += ",\"channels\":" + std::to_string(measure.channels);
    json += ",\"frames\":" + std::to_string(measure.frameCount) + "}";
    return json;
}

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = platform::Utf8CharacterLength(text, at);
        if (length == 0) {
            json += "\\ufffd";
            ++at;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            json.push_back('\\');
            json.push_back(static_cast<char>(byte));
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            json += escape;
        } else {
            json.append(text.substr(at, length));
        }
        at += length;
    }
    return json + "\"";
}
