#!/usr/bin/env python3
"""Writes the seed corpus of wave_fuzz: small RIFF/WAVE files, built byte by byte, that cover
the chunk grammar the reader walks (leading chunks, format records of several sizes, fact and
skipped chunks, unknown chunks, odd sizes with and without the pad byte, refused formats and
truncated sample data).

    fuzz/make_corpus.py [OUTPUT_DIR]     (default: fuzz/corpus beside this script)

The output is deterministic; running it again rewrites the same bytes.
"""

import math
import os
import struct
import sys

PCM = 1
FLOAT = 3
EXTENSIBLE = 0xFFFE
# The sub-format GUIDs of an extensible record, as stored in the file.
PCM_GUID = bytes.fromhex("0100000000001000800000aa00389b71")
FLOAT_GUID = bytes.fromhex("0300000000001000800000aa00389b71")
ADPCM_GUID = bytes.fromhex("0200000000001000800000aa00389b71")


def chunk(chunk_id, body, pad=True, size=None):
    """A chunk: id, size field (the body's length unless given), body, and the pad byte after
    an odd-sized body when pad is true."""
    assert len(chunk_id) == 4
    header = chunk_id.encode("ascii") + struct.pack("<I", len(body) if size is None else size)
    tail = b"\0" if pad and len(body) % 2 else b""
    return header + body + tail


def riff(*chunks, size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if size is None else size) + body


def fmt_record(tag, channels, rate, bits, extra=b""):
    align = channels * ((bits + 7) // 8)
    return struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits) + extra


def fmt(tag, channels, rate, bits, extra=b""):
    return chunk("fmt ", fmt_record(tag, channels, rate, bits, extra))


def extensible_fmt(channels, rate, bits, guid, valid_bits=None, mask=3):
    extension = struct.pack("<HHI", 22, valid_bits or bits, mask) + guid
    return fmt(EXTENSIBLE, channels, rate, bits, extension)


def tone16(frames, channels=1, peak=0.5):
    """A short sine, one cycle every 16 frames, the right channel at half the left's level."""
    out = bytearray()
    for i in range(frames):
        value = peak * 32767 * math.sin(2 * math.pi * i / 16)
        for c in range(channels):
            out += struct.pack("<h", int(value / (c + 1)))
    return bytes(out)


def tone8(frames, channels=1, peak=0.5):
    out = bytearray()
    for i in range(frames):
        value = peak * 127 * math.sin(2 * math.pi * i / 16)
        for c in range(channels):
            out.append(128 + int(value / (c + 1)))
    return bytes(out)


def tone24(frames):
    out = bytearray()
    for i in range(frames):
        value = int(0.5 * 8388607 * math.sin(2 * math.pi * i / 16))
        out += struct.pack("<i", value)[:3]
    return bytes(out)


def tone32(frames, channels=1, peak=0.5):
    return b"".join(
        struct.pack("<i", int(peak * 2147483647 * math.sin(2 * math.pi * i / 16) / (c + 1)))
        for i in range(frames)
        for c in range(channels)
    )


def tone_float(frames, channels=1, peak=0.5, code="<f"):
    """Floats whose peak may pass full scale, with a NaN and an infinity among them."""
    values = [peak * math.sin(2 * math.pi * i / 16) / (c + 1)
              for i in range(frames) for c in range(channels)]
    values[3] = float("nan")
    values[7] = float("-inf")
    return b"".join(struct.pack(code, v) for v in values)


def data(samples, pad=True):
    return chunk("data", samples, pad=pad)


def seeds():
    yield "pcm16_stereo.wav", riff(fmt(PCM, 2, 44100, 16), data(tone16(64, 2)))
    yield "pcm8_mono.wav", riff(fmt(PCM, 1, 8000, 8), data(tone8(128)))
    yield "pcm8_stereo.wav", riff(fmt(PCM, 2, 11025, 8), data(tone8(64, 2, peak=1.0)))
    # A full-scale 16-bit mono file: the peak is 1 and any gain above 1 clips.
    full_scale = struct.pack("<hh", -32768, 32767) + tone16(32, 1, peak=1.0)
    yield "pcm16_mono_full_scale.wav", riff(fmt(PCM, 1, 22050, 16), data(full_scale))
    # An 18-byte format record (cbSize 0).
    yield "fmt18.wav", riff(fmt(PCM, 1, 16000, 16, struct.pack("<H", 0)), data(tone16(48)))
    # PAD, bext, minf and elm1 before the format chunk, the bext body odd-sized and padded.
    yield "leading_chunks.wav", riff(
        chunk("PAD ", bytes(12)),
        chunk("bext", b"Sonorette seed corpus: a bext body of odd size"),
        chunk("minf", bytes(16)),
        chunk("elm1", b"elm1 body"),
        fmt(PCM, 2, 48000, 16),
        data(tone16(32, 2)),
    )
    yield "fact_chunk.wav", riff(
        fmt(PCM, 1, 8000, 16), chunk("fact", struct.pack("<I", 40)), data(tone16(40))
    )
    # A fact chunk of the wrong size, refused.
    yield "fact_wrong_size.wav", riff(
        fmt(PCM, 1, 8000, 16), chunk("fact", struct.pack("<IH", 40, 0)), data(tone16(40))
    )
    # Every chunk passed over without a word between the format chunk and the data chunk.
    skipped = [
        chunk(name, body)
        for name, body in [
            ("vphd", bytes(8)),
            ("sav1", b"sav1"),
            ("pad ", bytes(3)),
            ("elmo", b"elmo!"),
            ("regn", bytes(20)),
            ("ovwf", bytes(6)),
            ("umid", bytes(24)),
        ]
    ]
    yield "skip_chunks.wav", riff(fmt(PCM, 2, 44100, 8), *skipped, data(tone8(32, 2)))
    # An unknown LIST chunk before the data: reported, then passed over.
    info = b"INFO" + chunk("INAM", b"seed\0") + chunk("ISFT", b"make_corpus.py\0")
    yield "list_before_data.wav", riff(
        fmt(PCM, 2, 44100, 16), chunk("LIST", info), data(tone16(32, 2))
    )
    # Odd-sized unknown chunks, with the pad byte and without it.
    yield "odd_chunk_padded.wav", riff(
        fmt(PCM, 1, 8000, 16), chunk("junk", b"odd", pad=True), data(tone16(24))
    )
    yield "odd_chunk_unpadded.wav", riff(
        fmt(PCM, 1, 8000, 16), chunk("junk", b"odd", pad=False), data(tone16(24))
    )
    # An odd-sized 16-bit data chunk (a trailing byte that belongs to no sample), then its pad.
    yield "odd_data_size.wav", riff(fmt(PCM, 1, 8000, 16), data(tone16(20) + b"\x7f"))
    yield "extensible_pcm.wav", riff(
        extensible_fmt(2, 44100, 16, PCM_GUID), data(tone16(32, 2))
    )
    yield "extensible_float.wav", riff(
        extensible_fmt(1, 44100, 32, FLOAT_GUID, mask=4),
        data(struct.pack("<16f", *[math.sin(i / 3) / 2 for i in range(16)])),
    )
    yield "pcm24.wav", riff(fmt(PCM, 1, 48000, 24), data(tone24(48)))
    # 24-bit data with a partial sample at its end.
    yield "pcm24_partial.wav", riff(fmt(PCM, 1, 48000, 24), data(tone24(20) + b"\x01\x02"))
    yield "pcm32_stereo.wav", riff(fmt(PCM, 2, 96000, 32), data(tone32(32, 2)))
    yield "float32_over_full_scale.wav", riff(
        fmt(FLOAT, 2, 48000, 32), data(tone_float(32, 2, peak=1.5))
    )
    yield "float64_mono.wav", riff(fmt(FLOAT, 1, 44100, 64), data(tone_float(32, code="<d")))
    # 20 valid bits in a 24-bit container.
    yield "extensible_pcm24_20bits.wav", riff(
        extensible_fmt(2, 48000, 24, PCM_GUID, valid_bits=20), data(tone24(32))
    )
    # Refused: three channels, a sub-format that is neither PCM nor float, a float record that
    # says fewer valid bits than it holds, and a valid-bits field past the container.
    yield "pcm24_three_channels.wav", riff(fmt(PCM, 3, 48000, 24), data(tone24(30)))
    yield "extensible_adpcm.wav", riff(
        extensible_fmt(1, 44100, 16, ADPCM_GUID), data(tone16(32))
    )
    yield "extensible_float_valid_bits.wav", riff(
        extensible_fmt(1, 44100, 32, FLOAT_GUID, valid_bits=24), data(tone_float(16))
    )
    yield "extensible_pcm_valid_bits_past.wav", riff(
        extensible_fmt(1, 44100, 16, PCM_GUID, valid_bits=17), data(tone16(32))
    )
    # The data chunk claims 512 bytes more than the file holds.
    samples = tone16(64, 2)
    yield "truncated_data.wav", riff(
        fmt(PCM, 2, 44100, 16), chunk("data", samples, size=len(samples) + 512)
    )
    yield "empty_data.wav", riff(fmt(PCM, 1, 8000, 8), data(b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    os.makedirs(out_dir, exist_ok=True)
    for name, image in seeds():
        assert len(image) < 2048, name
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(image)
        print(f"{len(image):5d}  {name}")


if __name__ == "__main__":
    main()
