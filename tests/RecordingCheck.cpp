// Checks a raw 16-bit stereo recording of a preview against the wave file that was meant to be
// heard: silence, then every frame of the file in order (a mono file on both channels), then
// silence. Exit status 0 when it holds; otherwise says where it breaks.
//
//   sonorette-recording-check RECORDING.raw EXPECTED.wav
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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
            return 1;
        }
    }
    for (std::size_t i = offset + expected.size(); i < heard.size(); ++i) {
        if (heard[i] != 0) {
            std::fprintf(stderr, "sound %zu frames after the last frame\n",
                         i - offset - expected.size());
            return 1;
        }
    }
    std::printf("heard all %zu frames in order after %zu frames of silence\n", expected.size(),
                offset);
    return 0;
}
