"""The PNG chunk codec, `_readChunk` and `_makeChunk`."""

import builtins
import io
import struct
import types
import zlib

import pytest

from testkit.spy import IEND_CHUNK, SpyStream, chunk, chunk_reads, reads

ABC_CHUNK = bytes.fromhex("00000003 61626364 616263 5522C367")
IHDR_2X1 = bytes.fromhex("0000000D 49484452 00000002000000010802000000 7B40E8DD")


@pytest.mark.parametrize(
    "ctype, data, expected",
    [
        (b"IEND", b"", IEND_CHUNK),
        (b"abcd", b"abc", ABC_CHUNK),
        (b"IHDR", bytes.fromhex("00000002000000010802000000"), IHDR_2X1),
        # The type's length is not checked; the length field counts the data only.
        (b"ab", b"xyz", b"\x00\x00\x00\x03ab" + b"xyz" + struct.pack(">I", zlib.crc32(b"abxyz"))),
        (b"", b"", bytes(4) + struct.pack(">I", 0)),
    ],
)
def test_make_chunk_bytes(m, ctype, data, expected):
    out = m._makeChunk(ctype, data)
    assert type(out) is bytes and out == expected
    assert m._makeChunk(chunkType=ctype, data=data) == expected


@pytest.mark.parametrize(
    "args, message",
    [
        ((bytearray(b"IDAT"), b""), "Argument 'chunkType' has incorrect type (expected bytes, got bytearray)"),
        ((b"IDAT", None), "Argument 'data' has incorrect type (expected bytes, got NoneType)"),
        ((b"IDAT", memoryview(b"x")), "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
        ((None, None), "Argument 'chunkType' has incorrect type (expected bytes, got NoneType)"),
    ],
)
def test_make_chunk_refuses_non_bytes(m, args, message):
    with pytest.raises(TypeError) as info:
        m._makeChunk(*args)
    assert str(info.value) == message


def test_make_chunk_refuses_bytes_subclass(m):
    class B(bytes):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected bytes, got B\)\. "):
        m._makeChunk(b"IDAT", B(b"x"))


@pytest.mark.parametrize("ctype", [b"IDAT", b"\x00\x00\x00\x00", b"\xff\xfe a"])
@pytest.mark.parametrize("data", [b"", b"\x00", bytes(range(256)) * 5])
def test_read_chunk_round_trip_and_calls(m, ctype, data):
    raw = m._makeChunk(ctype, data)
    assert raw == chunk(ctype, data)
    stream = SpyStream(raw + b"rest")
    got = m._readChunk(stream)
    assert got == (ctype, data) and type(got) is tuple
    # Four reads, one per field, the data in a single call; never a seek.
    assert stream.calls == chunk_reads(len(data))
    assert stream.tell() == len(raw)

    plain = io.BytesIO(raw)
    assert m._readChunk(stream=plain) == (ctype, data)
    assert m._readChunk(plain) == (b"", b"")


def test_read_chunk_clean_end_is_one_read(m):
    stream = SpyStream(b"")
    assert m._readChunk(stream) == (b"", b"")
    assert stream.calls == reads(4)


def test_read_chunk_returns_the_objects_read(m):
    # The type and data in the result are the very objects `read` returned.
    returned = []

    def keep(n, data):
        returned.append(data)
        return data

    ctype, data = m._readChunk(SpyStream(chunk(b"tEXt", b"hello"), on_read=keep))
    assert ctype is returned[1] and data is returned[2]


def _cut_cases():
    raw = ABC_CHUNK  # 4 length + 4 type + 3 data + 4 CRC = 15 bytes
    fields = ["length"] * 3 + ["type"] * 4 + ["data"] * 3 + ["CRC"] * 4
    for cut, field in zip(range(1, 15), fields):
        # Reads made before the failure: none after the short field.
        made = {"length": 1, "type": 2, "data": 3, "CRC": 4}[field]
        yield pytest.param(raw[:cut], field, chunk_reads(3)[:made], id=f"cut{cut}-{field}")


@pytest.mark.parametrize("data, field, calls", list(_cut_cases()))
def test_read_chunk_truncated_field(m, data, field, calls):
    stream = SpyStream(data)
    with pytest.raises(ValueError) as info:
        m._readChunk(stream)
    assert str(info.value) == f"Unexpected EOF while reading chunk {field}"
    assert stream.calls == calls


@pytest.mark.parametrize("offset", range(4, 15))
def test_read_chunk_any_bit_flip_is_corruption(m, offset):
    # Every bit of the type, the data and the CRC is covered; all four fields
    # are read before the CRC is checked.
    for bit in range(8):
        raw = bytearray(ABC_CHUNK)
        raw[offset] ^= 1 << bit
        stream = SpyStream(bytes(raw))
        with pytest.raises(ValueError, match=r"^Corrupted PNG chunk detected$"):
            m._readChunk(stream)
        assert stream.calls == chunk_reads(3)


@pytest.mark.parametrize(
    "raw",
    [
        # CRC stored little-endian.
        b"\x00\x00\x00\x03abcdabc" + struct.pack("<I", zlib.crc32(b"abcdabc")),
        # CRC over the data alone, or over length, type and data.
        b"\x00\x00\x00\x03abcdabc" + struct.pack(">I", zlib.crc32(b"abc")),
        b"\x00\x00\x00\x03abcdabc" + struct.pack(">I", zlib.crc32(b"\x00\x00\x00\x03abcdabc")),
    ],
)
def test_read_chunk_wrong_crc_layouts(m, raw):
    with pytest.raises(ValueError, match=r"^Corrupted PNG chunk detected$"):
        m._readChunk(io.BytesIO(raw))


def test_read_chunk_stream_errors_pass_through(m):
    boom = OSError("disk gone")

    class Failing:
        def read(self, n):
            raise boom

    with pytest.raises(OSError) as info:
        m._readChunk(Failing())
    assert info.value is boom

    class NoLength:
        def read(self, n):
            return 5

    with pytest.raises(TypeError):
        m._readChunk(NoLength())


# ---------------------------------------------------------------------------
# Name lookup through the module namespace


class _Recorder:
    """Wraps a module, logging calls of the named functions."""

    def __init__(self, real, *names, override=None):
        self.log = []
        self._real = real
        for name in names:
            setattr(self, name, self._wrap(name, (override or {}).get(name, getattr(real, name))))

    def _wrap(self, name, fn):
        def call(*args):
            self.log.append((name,) + args)
            return fn(*args)

        return call


def test_chunk_codec_uses_module_zlib_at_each_call(m, monkeypatch):
    fake = _Recorder(zlib, "crc32")
    monkeypatch.setattr(m, "zlib", fake)
    assert m._makeChunk(b"abcd", b"abc") == ABC_CHUNK
    first = zlib.crc32(b"abcd")
    # Two incremental calls: the type alone, then the data from that start value.
    assert fake.log == [("crc32", b"abcd"), ("crc32", b"abc", first)]

    fake.log.clear()
    assert m._readChunk(io.BytesIO(ABC_CHUNK)) == (b"abcd", b"abc")
    assert fake.log == [("crc32", b"abcd"), ("crc32", b"abc", first)]

    # A replacement bound later is the one used by the next call.
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(crc32=lambda *a: 0x1_0000_0001))
    assert m._makeChunk(b"IEND", b"") == bytes(4) + b"IEND" + b"\x00\x00\x00\x01"  # masked to 32 bits
    assert m._readChunk(io.BytesIO(bytes(4) + b"XXXX" + b"\x00\x00\x00\x01")) == (b"XXXX", b"")


def test_chunk_codec_uses_module_struct(m, monkeypatch):
    fake = _Recorder(struct, "pack", "unpack")
    monkeypatch.setattr(m, "struct", fake)
    m._makeChunk(b"abcd", b"abc")
    assert fake.log == [("pack", ">I", 3), ("pack", ">I", 0x5522C367)]

    fake.log.clear()
    m._readChunk(io.BytesIO(ABC_CHUNK))
    assert fake.log == [("unpack", ">I", b"\x00\x00\x00\x03"), ("unpack", ">I", b"\x55\x22\xc3\x67")]

    # The unpacked length is what the data read asks for.
    monkeypatch.setattr(m, "struct", _Recorder(struct, "pack", "unpack", override={"unpack": lambda f, b: (1,)}))
    stream = SpyStream(ABC_CHUNK)
    with pytest.raises(ValueError, match="^Corrupted PNG chunk detected$"):
        m._readChunk(stream)
    assert stream.calls == chunk_reads(1)


@pytest.mark.parametrize(
    "packed, expected",
    [
        # Whatever the module's struct packs is concatenated as the host adds it.
        (bytearray, bytearray(ABC_CHUNK)),
        (lambda b: b.hex(), TypeError),
        (lambda b: memoryview(b), TypeError),
    ],
)
def test_make_chunk_concatenates_what_struct_packs(m, monkeypatch, packed, expected):
    monkeypatch.setattr(m, "struct", types.SimpleNamespace(pack=lambda fmt, v: packed(struct.pack(fmt, v))))
    if expected is TypeError:
        with pytest.raises(TypeError):
            m._makeChunk(b"abcd", b"abc")
        return
    out = m._makeChunk(b"abcd", b"abc")
    assert type(out) is type(expected) and out == expected


def test_chunk_codec_falls_back_to_builtins(m, monkeypatch):
    monkeypatch.delattr(m, "zlib")
    with pytest.raises(NameError, match="zlib"):
        m._makeChunk(b"IEND", b"")
    monkeypatch.setattr(builtins, "zlib", types.SimpleNamespace(crc32=lambda *a: 7), raising=False)
    assert m._makeChunk(b"IEND", b"")[-4:] == b"\x00\x00\x00\x07"
