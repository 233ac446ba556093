// Checks a raw 16-bit stereo recording of a preview against the wave file that was meant to be
// heard: silence of any length, then every frame of the file in order (a mono file on both
// channels), then silence. Exit status 0 when it holds; otherwise says where it breaks.
//
//   sonorette-recording-check RECORDING.raw EXPECTED.wav
//
// When every frame of the file is distinct and none is silent (sonorette-wavegen --signal
// counter), a recording that does not hold is also told as what was heard instead: the runs of
// consecutive source frames, the silences between them, and how many source frames were skipped,
// heard more than once or cut off at the end.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

std::int16_t SampleAt(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    return static_cast<std::int16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

// A stretch of the recording: silence, source frames first..first+frameCount-1 in order, or
// sound that is in no frame of the source.
struct Segment {
    enum Kind { kSilence, kSource, kForeign } kind;
    std::size_t heardStart;
    std::size_t frameCount;
    std::size_t sourceFirst;
};

std::vector<Segment> Segments(const std::vector<std::int32_t>& heard,
                              const std::unordered_map<std::int32_t, std::size_t>& indexOf) {
    std::vector<Segment> segments;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const auto found = indexOf.find(heard[i]);
        const Segment::Kind kind = heard[i] == 0            ? Segment::kSilence
                                   : found == indexOf.end() ? Segment::kForeign
                                                            : Segment::kSource;
        const std::size_t source = kind == Segment::kSource ? found->second : 0;
        if (!segments.empty()) {
            Segment& last = segments.back();
            const bool continues =
                last.kind == kind &&
                (kind != Segment::kSource || source == last.sourceFirst + last.frameCount);
            if (continues) {
                ++last.frameCount;
                continue;
            }
        }
        segments.push_back({kind, i, 1, source});
    }
    return segments;
}

// Says what was heard instead of the source played once in order.
void Describe(const std::vector<std::int32_t>& heard, const std::vector<std::int32_t>& expected) {
    std::unordered_map<std::int32_t, std::size_t> indexOf;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == 0 || !indexOf.emplace(expected[i], i).second) {
            return;
        }
    }
    const std::vector<Segment> segments = Segments(heard, indexOf);
    std::vector<std::uint32_t> timesHeard(expected.size(), 0);
    std::size_t jumps = 0;
    std::size_t silenceInside = 0;
    std::size_t foreign = 0;
    std::size_t lastSourceSegment = segments.size();
    std::size_t firstSourceSegment = segments.size();
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Segment& segment = segments[s];
        if (segment.kind == Segment::kForeign) {
            foreign += segment.frameCount;
        } else if (segment.kind == Segment::kSource) {
            for (std::size_t f = 0; f < segment.frameCount; ++f) {
                ++timesHeard[segment.sourceFirst + f];
            }
            if (firstSourceSegment == segments.size()) {
                firstSourceSegment = s;
            } else {
                ++jumps;
            }
            lastSourceSegment = s;
        }
    }
    for (std::size_t s = firstSourceSegment; s < lastSourceSegment; ++s) {
        if (segments[s].kind == Segment::kSilence) {
            silenceInside += segments[s].frameCount;
        }
    }
    const std::size_t heardOnce = static_cast<std::size_t>(
        std::count(timesHeard.begin(), timesHeard.end(), std::uint32_t{1}));
    const std::size_t never = static_cast<std::size_t>(
        std::count(timesHeard.begin(), timesHeard.end(), std::uint32_t{0}));
    std::size_t cutAtEnd = 0;
    while (cutAtEnd < timesHeard.size() && timesHeard[timesHeard.size() - 1 - cutAtEnd] == 0) {
        ++cutAtEnd;
    }
    std::fprintf(stderr,
                 "heard: %zu of %zu source frames once, %zu more than once, %zu never (of them "
                 "%zu cut off at the end); %zu jumps, %zu frames of silence inside the sound, %zu "
                 "frames of sound not in the source\n",
                 heardOnce, expected.size(), expected.size() - heardOnce - never, never, cutAtEnd,
                 jumps, silenceInside, foreign);
    constexpr std::size_t kShownSegments = 12;
    std::size_t shown = 0;
    for (std::size_t s = firstSourceSegment; s < segments.size() && shown < kShownSegments; ++s) {
        const Segment& segment = segments[s];
        if (segment.kind == Segment::kSilence && s > lastSourceSegment) {
            break;
        }
        if (segment.kind == Segment::kSource) {
            std::fprintf(stderr, "  at %zu: source frames %zu-%zu\n", segment.heardStart,
                         segment.sourceFirst, segment.sourceFirst + segment.frameCount - 1);
        } else {
            std::fprintf(stderr, "  at %zu: %zu frames of %s\n", segment.heardStart,
                         segment.frameCount,
                         segment.kind == Segment::kSilence ? "silence" : "foreign sound");
        }
        ++shown;
    }
    if (lastSourceSegment + 1 - firstSourceSegment > shown) {
        std::fprintf(stderr, "  ...\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: sonorette-recording-check RECORDING.raw EXPECTED.wav\n", stderr);
        return 2;
    }
    const std::vector<std::uint8_t> recording = ReadAll(argv[1]);
    const std::vector<std::uint8_t> file = ReadAll(argv[2]);
    if (file.size() < 44) {
        std::fputs("the expected file is not a wave file\n", stderr);
        return 2;
    }
    const int channels = file[22];
    const std::vector<std::uint8_t> samples(file.begin() + 44, file.end());
    // The expected frames as the device plays them: stereo.
    std::vector<std::int32_t> expected;
    for (std::size_t i = 0; i < samples.size() / 2; i += static_cast<std::size_t>(channels)) {
        const std::int16_t left = SampleAt(samples, i);
        const std::int16_t right = channels == 2 ? SampleAt(samples, i + 1) : left;
        expected.push_back(static_cast<std::int32_t>(static_cast<std::uint16_t>(left)) |
                           static_cast<std::int32_t>(static_cast<std::uint32_t>(right) << 16));
    }
    std::vector<std::int32_t> heard(recording.size() / 4);
    std::memcpy(heard.data(), recording.data(), heard.size() * 4);

    auto firstSound = [](const std::vector<std::int32_t>& frames) {
        std::size_t i = 0;
        while (i < frames.size() && frames[i] == 0) {
            ++i;
        }
        return i;
    };
    const std::size_t heardStart = firstSound(heard);
    const std::size_t expectedStart = firstSound(expected);
    if (heardStart == heard.size() || heardStart < expectedStart) {
        std::fprintf(stderr, "nothing, or too little silence before the sound, was recorded\n");
        return 1;
    }
    const std::size_t offset = heardStart - expectedStart;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (offset + i >= heard.size() || heard[offset + i] != expected[i]) {
            std::fprintf(stderr, "frame %zu of %zu is not what was heard\n", i, expected.size());
            Describe(heard, expected);
            return 1;
        }
    }
    for (std::size_t i = offset + expected.size(); i < heard.size(); ++i) {
        if (heard[i] != 0) {
            std::fprintf(stderr, "sound %zu frames after the last frame\n",
                         i - offset - expected.size());
            Describe(heard, expected);
            return 1;
        }
    }
    std::printf("heard all %zu frames in order after %zu frames of silence\n", expected.size(),
                offset);
    return 0;
}
