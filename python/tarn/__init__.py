"""Tarn movies from Python: facts, pictures as numpy arrays, and sound.

    import tarn
    with tarn.open("intro.trn") as m:
        print(m.width, m.height, m.rate, m.frame_count, m.tracks)
        for frame in m.frames(format="rgb"):   # H x W x 3 uint8 arrays
            ...
        m.goto(5)                              # frames() goes on from frame 5
        sound = m.audio(m.tracks[0].id)        # int16, (samples, channels)

Every failure raises tarn.Error with the library's text.
"""
from collections import namedtuple
from fractions import Fraction

from ._tarn import Error, Movie as _Movie
from . import _tarn

__all__ = ["Error", "Movie", "Track", "open"]

Track = namedtuple("Track", "id sample_rate channels bits codec largest_packet")
Track.__doc__ = "An audio track: its id, sample rate (Hz), channels, bits, codec ('rdft', 'dct' or None)."

_CODECS = {0: None, 1: "rdft", 2: "dct"}
_FORMATS = {
    "rgb": _tarn.FORMAT_RGB24,
    "rgba": _tarn.FORMAT_RGBA,
    "bgra": _tarn.FORMAT_BGRA,
    "yuv420": _tarn.FORMAT_I420,
}


def open(source, offset=0, read_ahead=False):
    """Opens a movie: a path (with offset, a movie inside a larger file), or a
    bytes-like image of a whole movie."""
    flags = _tarn.OPEN_READ_AHEAD if read_ahead else 0
    if isinstance(source, (bytes, bytearray, memoryview)):
        if offset:
            source = memoryview(source)[offset:]
        return Movie(_Movie.open_buffer(source, flags))
    return Movie(_Movie.open_path(str(source), offset, flags))


class Movie:
    """An open movie. Use tarn.open() to make one; close() or a with block ends it."""

    def __init__(self, native):
        self._m = native
        self._pending = False  # goto() decoded a frame that next_frame() has not yet given
        info = native.info()
        self.width = info["width"]
        self.height = info["height"]
        self.display_width = info["display_width"]
        self.display_height = info["display_height"]
        self.rate_numerator = info["rate_numerator"]
        self.rate_denominator = info["rate_denominator"]
        self.rate = Fraction(info["rate_numerator"], info["rate_denominator"]) if info["rate_denominator"] else None
        self.frame_count = info["frame_count"]
        self.key_frame_count = info["key_frame_count"]
        self.display_mode = info["display_mode"]
        self.has_alpha = info["has_alpha"]
        self.is_grey = info["is_grey"]
        self.revision = info["revision"]
        self.tracks = []
        for position in range(info["track_count"]):
            t = native.track(position)
            self.tracks.append(Track(t[0], t[1], t[2], t[3], _CODECS.get(t[4]), t[5]))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._m.close()

    def is_key_frame(self, frame):
        """Whether frame (from 1) is a key frame."""
        return self._m.is_key_frame(frame)

    @property
    def frame(self):
        """The frame last decoded (from 1), 0 before the first."""
        return self._m.frame()

    def next_frame(self):
        """Decodes the next frame; False once the last one was decoded."""
        if self._pending:
            self._pending = False
            return True
        return self._m.next_frame()

    def goto(self, frame):
        """Goes to frame (from 1; past the end, the last frame): the next frame
        next_frame() or frames() gives is that one, with exactly the picture
        playing from the start shows there."""
        self._m.goto(frame)
        self._pending = True

    def picture(self, format="rgb", display_mode=False):
        """The decoded frame's picture: "rgb" (H x W x 3), "rgba" or "bgra"
        (H x W x 4) uint8 arrays, or "yuv420", a tuple of the Y (H x W), U and V
        ((H + 1) // 2 x (W + 1) // 2) planes. display_mode applies the movie's
        doubling or interlacing."""
        code = _FORMATS.get(format)
        if code is None:
            raise ValueError("format must be one of " + ", ".join(sorted(_FORMATS)))
        data = self._m.picture(code, bool(display_mode))
        if code != _tarn.FORMAT_I420:
            return data
        w = self.display_width if display_mode else self.width
        h = self.display_height if display_mode else self.height
        cw, ch = (w + 1) // 2, (h + 1) // 2
        y = data[: w * h].reshape(h, w)
        u = data[w * h : w * h + cw * ch].reshape(ch, cw)
        v = data[w * h + cw * ch :].reshape(ch, cw)
        return y, u, v

    def frames(self, format="rgb", display_mode=False):
        """Decodes the frames from the next one on (after goto(n), from n),
        yielding each picture."""
        while self.next_frame():
            yield self.picture(format, display_mode)

    def _position(self, track_id):
        for position, t in enumerate(self.tracks):
            if t.id == track_id:
                return position
        raise Error("no audio track with id %d" % track_id)

    def audio(self, track_id):
        """The whole sound of the track with that id: int16, (samples, channels)."""
        return self._m.audio(self._position(track_id), True)

    def frame_audio(self, track_id):
        """The sound of the track with that id for the decoded frame."""
        return self._m.audio(self._position(track_id), False)
