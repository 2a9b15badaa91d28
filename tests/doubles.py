"""File-like test doubles that misbehave in one way each, or record their calls."""
import io


class Recording(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.calls = []

    def read(self, size=-1):
        self.calls.append(("read", size))
        return super().read(size)

    def seek(self, offset, whence=0):
        self.calls.append(("seek", offset, whence))
        return super().seek(offset, whence)


class ReadRaises(io.BytesIO):
    def read(self, size=-1):
        raise OSError("disk on fire")


class ReadReturns(io.BytesIO):
    """read returns `convert(data)` instead of bytes."""

    def __init__(self, data, convert):
        super().__init__(data)
        self.convert = convert

    def read(self, size=-1):
        return self.convert(super().read(size))


class ReadTooMuch(io.BytesIO):
    def read(self, size=-1):
        return super().read(size) + b"\0" * 16


class SeekRaises(io.BytesIO):
    def seek(self, offset, whence=0):
        raise io.UnsupportedOperation("not seekable")


class SeekReturnsNone(io.BytesIO):
    def seek(self, offset, whence=0):
        super().seek(offset, whence)


class FailsOnce(io.BytesIO):
    """read raises exactly once, on call number `at`."""

    def __init__(self, data, at):
        super().__init__(data)
        self.at = at
        self.count = 0

    def read(self, size=-1):
        self.count += 1
        if self.count == self.at:
            raise OSError("transient failure")
        return super().read(size)


class SeekRaisesWhenArmed(io.BytesIO):
    """seek works until `armed` is set, then raises; `refused` counts the refusals."""

    def __init__(self, data):
        super().__init__(data)
        self.armed = False
        self.refused = 0

    def seek(self, offset, whence=0):
        if self.armed:
            self.refused += 1
            raise OSError("seeking is switched off")
        return super().seek(offset, whence)
