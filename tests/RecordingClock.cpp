// Keeps a raw 16-bit stereo recording together with the wall-clock time at which each part of it
// arrived, so that a script can tell when a sound was heard relative to when it started or stopped
// a player, and can cut one play out of a recording that runs across several.
//
//   RECORDER | sonorette-recording-clock record OUT.raw OUT.times
//       copies standard input to OUT.raw (whole frames only) and, for every piece read, appends
//       "BYTES NANOSECONDS" to OUT.times: the recording's length so far and the CLOCK_REALTIME
//       time (as `date +%s%N` gives it) at which that piece arrived.
//   sonorette-recording-clock sound OUT.raw OUT.times FROM TO RATE
//       prints "first_ns=T last_ns=T" for the first sound frame and the frame after the last
//       sound frame in bytes FROM..TO of the recording, or "first_ns=none" when it is silent.
//       A frame counts as heard when the piece holding it arrived, plus its place in that piece.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kFrameBytes = 4;

long long NowNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int Record(const char* rawPath, const char* timesPath) {
    std::FILE* raw = std::fopen(rawPath, "wb");
    std::FILE* times = std::fopen(timesPath, "w");
    if (raw == nullptr || times == nullptr) {
        std::perror("sonorette-recording-clock");
        return 1;
    }
    std::vector<char> buffer(1 << 16);
    std::size_t held = 0;
    unsigned long long written = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data() + held, buffer.size() - held);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const long long arrived = NowNanoseconds();
        held += static_cast<std::size_t>(got);
        // A reader of the file may cut it at any moment, so only whole frames are written.
        const std::size_t whole = held - held % kFrameBytes;
        if (whole == 0) {
            continue;
        }
        std::fwrite(buffer.data(), 1, whole, raw);
        std::fflush(raw);
        written += whole;
        std::fprintf(times, "%llu %lld\n", written, arrived);
        std::fflush(times);
        std::memmove(buffer.data(), buffer.data() + whole, held - whole);
        held -= whole;
    }
    std::fclose(raw);
    std::fclose(times);
    return 0;
}

struct Piece {
    unsigned long long endBytes;
    long long arrivedNs;
};

// The time at which the frame at byte offset `bytes` was heard.
long long HeardAt(const std::vector<Piece>& pieces, unsigned long long bytes, unsigned long rate) {
    unsigned long long pieceStart = 0;
    for (const Piece& piece : pieces) {
        if (bytes < piece.endBytes) {
            const unsigned long long framesIn = (bytes - pieceStart) / kFrameBytes;
            return piece.arrivedNs + static_cast<long long>(framesIn * 1000000000ULL / rate);
        }
        pieceStart = piece.endBytes;
    }
    return pieces.empty() ? 0 : pieces.back().arrivedNs;
}

int Sound(const char* rawPath, const char* timesPath, unsigned long long from,
          unsigned long long to, unsigned long rate) {
    if (rate == 0 || from % kFrameBytes != 0 || to < from) {
        std::fputs("sonorette-recording-clock: bad rate or offsets\n", stderr);
        return 2;
    }
    // Only the part asked for is read: a soak's recording runs to hundreds of megabytes.
    std::ifstream rawIn(rawPath, std::ios::binary);
    rawIn.seekg(static_cast<std::streamoff>(from));
    std::vector<char> raw(to - from);
    rawIn.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<std::size_t>(rawIn.gcount()));
    std::vector<Piece> pieces;
    std::ifstream timesIn(timesPath);
    Piece piece{};
    while (timesIn >> piece.endBytes >> piece.arrivedNs) {
        pieces.push_back(piece);
    }
    const unsigned long long length = raw.size() - raw.size() % kFrameBytes;
    unsigned long long first = length;
    unsigned long long afterLast = length;
    for (unsigned long long b = 0; b < length; b += kFrameBytes) {
        const bool silent = raw[b] == 0 && raw[b + 1] == 0 && raw[b + 2] == 0 && raw[b + 3] == 0;
        if (!silent) {
            if (first == length) {
                first = b;
            }
            afterLast = b + kFrameBytes;
        }
    }
    if (first == length) {
        std::puts("first_ns=none last_ns=none");
        return 0;
    }
    std::printf("first_ns=%lld last_ns=%lld\n", HeardAt(pieces, from + first, rate),
                HeardAt(pieces, from + afterLast, rate));
    return 0;
}

int Usage() {
    std::fputs(
        "usage: sonorette-recording-clock record OUT.raw OUT.times\n"
        "       sonorette-recording-clock sound OUT.raw OUT.times FROM TO RATE\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string_view(argv[1]) == "record") {
        return Record(argv[2], argv[3]);
    }
    if (argc == 7 && std::string_view(argv[1]) == "sound") {
        return Sound(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10),
                     std::strtoull(argv[5], nullptr, 10), std::strtoul(argv[6], nullptr, 10));
    }
    return Usage();
}
