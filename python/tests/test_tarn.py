"""The tarn package on movies the tool makes: facts, pictures in every format,
sound against `tarn audio`, every kind of source, errors, damaged images."""
import os
import re
import subprocess
import wave

import numpy as np
import pytest

import tarn

TOOL = os.environ.get("TARN_TOOL")
pytestmark = pytest.mark.skipif(not TOOL, reason="TARN_TOOL is not set")


def run(*args):
    subprocess.run([TOOL, *map(str, args)], check=True, capture_output=True)


@pytest.fixture(scope="module")
def movie(tmp_path_factory):
    """A 45 x 26 movie of 9 frames at 15 per second with one stereo track (id 5)."""
    d = tmp_path_factory.mktemp("movie")
    run("synth", "video", d / "v.y4m", "--size", "45x26", "--frames", "9", "--rate", "15/1")
    run("synth", "audio", d / "a.wav", "--seconds", "0.6", "--channels", "2")
    run("encode", "-q", "-o", d / "m.trn", d / "v.y4m", "--audio", "%s:5" % (d / "a.wav"))
    return d / "m.trn"


def test_facts_pictures_and_sound(movie, tmp_path):
    with tarn.open(movie) as m:
        assert (m.width, m.height, m.rate, m.frame_count) == (45, 26, 15, 9)
        assert m.tracks == [tarn.Track(5, 44100, 2, 16, "dct", m.tracks[0].largest_packet)]
        assert m.is_key_frame(1) and not m.has_alpha
        shapes = {"rgb": (26, 45, 3), "rgba": (26, 45, 4), "bgra": (26, 45, 4)}
        frames = 0
        while m.next_frame():
            frames += 1
            pictures = {f: m.picture(f) for f in shapes}
            for f, shape in shapes.items():
                assert pictures[f].shape == shape and pictures[f].dtype == np.uint8
            assert np.array_equal(pictures["rgb"], pictures["rgba"][..., :3])
            assert np.array_equal(pictures["rgb"], pictures["bgra"][..., 2::-1])
            assert (pictures["rgba"][..., 3] == 255).all()
            y, u, v = m.picture("yuv420")
            assert (y.shape, u.shape, v.shape) == ((26, 45), (13, 23), (13, 23))
        assert frames == 9 and m.frame == 9
        last = pictures["rgb"]
        m.goto(4)
        fourth = next(m.frames("rgb"))
        m.goto(99)
        assert m.frame == 9 and np.array_equal(next(m.frames("rgb")), last)
        m.goto(3)
        assert np.array_equal(list(m.frames("rgb"))[1], fourth)
        sound = m.audio(5)
        assert sound.dtype == np.int16 and sound.shape[1] == 2 and abs(sound).max() > 1000

    # frames() yields every picture; frame_audio adds up to the whole track.
    with tarn.open(movie) as m:
        pieces = []
        count = 0
        for picture in m.frames(format="rgb"):
            count += 1
            pieces.append(m.frame_audio(5))
        assert count == 9
        assert np.array_equal(np.concatenate(pieces), sound)

    # The same sound as `tarn audio`.
    run("audio", movie, tmp_path / "t.wav", "--track", 5)
    with wave.open(str(tmp_path / "t.wav")) as w:
        assert (w.getframerate(), w.getnchannels()) == (44100, 2)
        reference = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, 2)
    assert np.array_equal(reference, sound)


def test_every_source_gives_the_same_movie(movie, tmp_path):
    data = movie.read_bytes()
    carrier = tmp_path / "carrier.bin"
    carrier.write_bytes(b"\0" * 333 + data + b"tail")
    first = []
    for source, offset in ((movie, 0), (data, 0), (bytearray(data), 0), (carrier, 333), (carrier.read_bytes(), 333)):
        with tarn.open(source, offset=offset) as m:
            assert m.next_frame()
            first.append(m.picture("rgba"))
    assert all(np.array_equal(p, first[0]) for p in first)


def test_errors_raise_with_the_library_text(movie, tmp_path):
    with pytest.raises(tarn.Error, match="Error opening file"):
        tarn.open(tmp_path / "missing.trn")
    with pytest.raises(tarn.Error, match="Not a Tarn file."):
        tarn.open(b"x" * 100)
    m = tarn.open(movie)
    with pytest.raises(tarn.Error, match="no frame decoded yet"):
        m.picture("rgb")
    with pytest.raises(ValueError):
        m.picture("cmyk")
    with pytest.raises(tarn.Error, match="no audio track with id 6"):
        m.audio(6)
    m.close()
    with pytest.raises(tarn.Error, match="closed"):
        m.next_frame()
    # An open movie keeps its bytearray from being resized under it.
    image = bytearray(movie.read_bytes())
    with tarn.open(image) as m:
        with pytest.raises(BufferError):
            image.extend(b"more")
        assert m.next_frame()
    image.extend(b"more")


def test_damaged_images_raise_or_play(movie):
    """Prefixes and single-byte damages: each either plays or raises tarn.Error."""
    data = movie.read_bytes()
    images = [data[:n] for n in range(0, len(data), 1 + len(data) // 60)]
    for at in range(0, len(data), 1 + len(data) // 120):
        damaged = bytearray(data)
        damaged[at] ^= 0xA7
        images.append(bytes(damaged))
    for image in images:
        try:
            with tarn.open(image) as m:
                for track in m.tracks:
                    if track.codec:
                        m.audio(track.id)
                for picture in m.frames("rgba", display_mode=True):
                    assert picture.shape[2] == 4
        except tarn.Error as e:
            assert str(e)


def test_hostile_headers_raise_the_library_text_or_play(movie):
    """The hostile kinds of the library's own tests, made from a good movie:
    each opens with the library's text or plays to the end or a read error."""
    data = movie.read_bytes()
    word = lambda at: int.from_bytes(data[at:at + 4], "little")
    frames, index = word(8), 44 + 12 * word(40)

    def poked(*changes):
        b = bytearray(data)
        for at, value in changes:
            b[at:at + 4] = value.to_bytes(4, "little")
        return bytes(b)

    cases = [
        (data[:43], "Not a Tarn file."),
        (data[:index + 4 * frames], "Error reading Tarn header."),
        (data[:word(index + 8) & ~1], None),  # cut inside frame 3
        (poked((20, 16385)), "Out of memory."),
        (poked((20, 0xFFFFFFFF), (24, 0xFFFFFFFF)), "Out of memory."),
        (poked((20, 0)), None),
        (poked((40, 1000000)), "Error reading Tarn header."),
        (poked((40, 0xFFFFFFFF), (4, 0xFFFFFFF0)), "Error reading Tarn header."),
        (poked((index + 8, word(index + 12)), (index + 12, word(index + 8))), None),  # records swapped
        (poked((index + 12, len(data) + 64)), None),  # frame 4 starts past the end
        (poked((index + 4 * frames, 0xFFFFFFFE)), None),  # end entry at 4 GB
        (poked((index + 4, 8)), None),  # frame 1 ends inside the header
        (poked((word(index + 4) & ~1, 0xFFFFFFFF)), None),  # frame 2's packet length 4 GB
    ]
    for image, text in cases:
        if text:
            with pytest.raises(tarn.Error, match=re.escape(text)):
                tarn.open(image)
            continue
        with tarn.open(image) as m:
            try:
                m.audio(5)
                for format in ("rgba", "yuv420"):
                    m.goto(1)
                    for _ in m.frames(format, display_mode=True):
                        m.frame_audio(5)
            except tarn.Error as e:
                assert "Error reading frame" in str(e)
