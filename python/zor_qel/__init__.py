"""Configuration stores of zor-qel-rb-key from Python, through the library's C interface.

    with zor_qel.login("/etc/myapp/registry.ini") as store:
        scheduler = store["/ZOR_Software/Scheduler"]
        workers = scheduler.get_int("workers", 4)

The library is the one ZOR_QEL_LIBRARY names, else the installed one. A connection, with every key
and transaction made from it, is used by one thread at a time.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import Callable, Iterator, List, MutableMapping, NamedTuple, Optional, Sequence, Union

__all__ = [
    "Connection",
    "CopyCounts",
    "Key",
    "MalformedValueError",
    "MisuseError",
    "NoKeyError",
    "NoValueError",
    "QELError",
    "Transaction",
    "copy_etcd_store",
    "login",
]

Value = Union[str, Sequence[str]]

_OK, _FAILED, _MISUSE, _NO_MEMORY = 0, 1, 2, 3
_LIBRARY_FACILITY = 12
_ENCODING = "utf-8"
_ERRORS = "surrogateescape"  # bytes that are no UTF-8 survive a read and a write


class QELError(Exception):
    """A failure the library reported: its text, code and facility (README "Errors")."""

    def __init__(self, text: str, code: int, facility: int) -> None:
        super().__init__(text, code, facility)
        self.text = text
        self.code = code
        self.facility = facility

    def __str__(self) -> str:
        return f"{self.text} (code {self.code}, facility {self.facility})"


class MisuseError(QELError):
    """A fault of the calling program: a second transaction, a committed one committed again."""


class NoKeyError(QELError, KeyError):
    """No key at that path (code 158)."""


class NoValueError(QELError, KeyError):
    """No value of that name (code 160)."""


class MalformedValueError(QELError, ValueError):
    """A typed read found a value not of its type (code 169)."""


_BY_CODE = {158: NoKeyError, 160: NoValueError, 169: MalformedValueError}


class _Error(ctypes.Structure):
    _fields_ = [
        ("code", ctypes.c_long),
        ("facility", ctypes.c_long),
        ("text", ctypes.c_char * 1024),
    ]


class _List(ctypes.Structure):
    _fields_ = [
        ("count", ctypes.c_size_t),
        ("items", ctypes.POINTER(ctypes.c_void_p)),
        ("lengths", ctypes.POINTER(ctypes.c_size_t)),
    ]


class _StoreLogin(ctypes.Structure):
    _fields_ = [
        ("address", ctypes.c_char_p),
        ("user", ctypes.c_char_p),
        ("password", ctypes.c_char_p),
    ]


class _CopyCounts(ctypes.Structure):
    _fields_ = [
        ("keys", ctypes.c_long),
        ("values", ctypes.c_long),
        ("skipped", ctypes.c_long),
        ("resumed", ctypes.c_int),
    ]


_Progress = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

_Handle = ctypes.c_void_p
_Out = ctypes.POINTER(ctypes.c_void_p)
_Strings = ctypes.POINTER(ctypes.c_char_p)
_Sizes = ctypes.POINTER(ctypes.c_size_t)
_ErrorPointer = ctypes.POINTER(_Error)

# Each function's argument types, the error object last; every one returns a status.
_FUNCTIONS = {
    "qel_login": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                  ctypes.c_char_p, _Out],
    "qel_refresh": [_Handle, _Out],
    "qel_wait_for_change": [_Handle, ctypes.c_int, _Out],
    "qel_change_descriptor": [_Handle, ctypes.POINTER(ctypes.c_int)],
    "qel_transaction_begin": [_Handle, _Out],
    "qel_transaction_commit": [_Handle],
    "qel_key_open": [_Handle, ctypes.c_char_p, _Out],
    "qel_key_path": [_Handle, _Out],
    "qel_key_has_value": [_Handle, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)],
    "qel_key_get_value": [_Handle, ctypes.c_char_p, _Out],
    "qel_key_read_string": [_Handle, ctypes.c_char_p, ctypes.c_char_p, _Out],
    "qel_key_read_int": [_Handle, ctypes.c_char_p, ctypes.c_longlong,
                         ctypes.POINTER(ctypes.c_longlong)],
    "qel_key_read_bool": [_Handle, ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)],
    "qel_key_set_value": [_Handle, ctypes.c_char_p, _Strings, _Sizes, ctypes.c_size_t],
    "qel_key_add_value": [_Handle, ctypes.c_char_p, _Strings, _Sizes, ctypes.c_size_t],
    "qel_key_delete_value": [_Handle, ctypes.c_char_p, _Strings, _Sizes, ctypes.c_size_t],
    "qel_key_value_names": [_Handle, ctypes.c_char_p, _Out],
    "qel_key_has_subkey": [_Handle, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)],
    "qel_key_open_subkey": [_Handle, ctypes.c_char_p, _Out],
    "qel_key_create_subkey": [_Handle, ctypes.c_char_p, _Out],
    "qel_key_delete_subkey": [_Handle, ctypes.c_char_p],
    "qel_key_search": [_Handle, ctypes.c_char_p, ctypes.c_int, _Out],
    "qel_key_iterator_next": [_Handle, _Out],
    "qel_copy_etcd_store": [ctypes.POINTER(_StoreLogin), ctypes.POINTER(_StoreLogin), ctypes.c_long,
                            _Progress, ctypes.c_void_p, ctypes.POINTER(_CopyCounts)],
}
_RELEASERS = ["qel_free", "qel_connection_free", "qel_transaction_free", "qel_key_free",
              "qel_key_iterator_free"]

_library: Optional[ctypes.CDLL] = None


def _library_path() -> str:
    named = os.environ.get("ZOR_QEL_LIBRARY")
    if named:
        return named
    found = ctypes.util.find_library("zor-qel-rb-key")
    if found:
        return found
    return "zor-qel-rb-key.dll" if sys.platform == "win32" else "libzor-qel-rb-key.so.3"


def _lib() -> ctypes.CDLL:
    """The library, loaded and described on first use."""
    global _library
    if _library is None:
        path = _library_path()
        try:
            library = ctypes.CDLL(path)
        except OSError as error:
            raise OSError(f"cannot load the zor-qel-rb-key library {path!r} (set "
                          f"ZOR_QEL_LIBRARY to its path): {error}") from error
        for name, arguments in _FUNCTIONS.items():
            function = getattr(library, name)
            function.argtypes = arguments + [_ErrorPointer]
            function.restype = ctypes.c_int
        for name in _RELEASERS:
            function = getattr(library, name)
            function.argtypes = [ctypes.c_void_p]
            function.restype = None
        _library = library
    return _library


def _encode(text: str) -> bytes:
    return text.encode(_ENCODING, _ERRORS)


def _decode(data: bytes) -> str:
    return data.decode(_ENCODING, _ERRORS)


def _call(name: str, *arguments: object) -> None:
    """Calls a function of the C interface and raises what it reports."""
    error = _Error()
    status = getattr(_lib(), name)(*arguments, ctypes.byref(error))
    if status == _OK:
        return
    if status == _NO_MEMORY:
        raise MemoryError(_decode(error.text))
    text = _decode(error.text)
    if status == _MISUSE:
        raise MisuseError(text, error.code, error.facility)
    kind = _BY_CODE.get(error.code, QELError) if error.facility == _LIBRARY_FACILITY else QELError
    raise kind(text, error.code, error.facility)


def _take_list(pointer: ctypes.c_void_p) -> List[str]:
    """The strings of a list the library returned, which is released."""
    try:
        block = _List.from_address(pointer.value)
        count = block.count
        return [_decode(ctypes.string_at(item, length))
                for item, length in zip(block.items[:count], block.lengths[:count])]
    finally:
        _lib().qel_free(pointer)


def _take_string(pointer: ctypes.c_void_p) -> str:
    try:
        return _decode(ctypes.string_at(pointer))
    finally:
        _lib().qel_free(pointer)


def _elements(value: Value) -> tuple:
    """A value's elements as the C interface takes them: bytes, their lengths, their count."""
    items = [value] if isinstance(value, str) else list(value)
    if not all(isinstance(item, str) for item in items):
        raise TypeError("a value is a str or a sequence of str")
    data = [_encode(item) for item in items]
    return ((ctypes.c_char_p * len(data))(*data), (ctypes.c_size_t * len(data))(*map(len, data)),
            len(data))


class _Owned:
    """A handle of the C interface and the function that releases it."""

    _releaser = ""
    _handle = ctypes.c_void_p()  # until the handle is made

    def __init__(self, handle: ctypes.c_void_p) -> None:
        self._handle = handle
        self._release = getattr(_lib(), self._releaser)

    def _close(self) -> None:
        if self._handle:
            self._release(self._handle)
            self._handle = ctypes.c_void_p()

    def __del__(self) -> None:
        self._close()


class Key(_Owned, MutableMapping[str, List[str]]):
    """One key of the tree: a mapping of its values' names (any letter case) to their elements,
    with its subkeys beside. A key keeps its store open after its connection is closed."""

    _releaser = "qel_key_free"

    @property
    def path(self) -> str:
        """The key's path ("" for the root)."""
        out = ctypes.c_void_p()
        _call("qel_key_path", self._handle, ctypes.byref(out))
        return _take_string(out)

    @property
    def name(self) -> str:
        """The key's own name, the last part of its path."""
        return self.path.rsplit("/", 1)[-1]

    def __repr__(self) -> str:
        return f"Key({self.path!r})"

    def __getitem__(self, name: str) -> List[str]:
        out = ctypes.c_void_p()
        _call("qel_key_get_value", self._handle, _encode(name), ctypes.byref(out))
        return _take_list(out)

    def get(self, name: str, default: Optional[List[str]] = None) -> Optional[List[str]]:
        """The value's elements, `default` when missing (asked first: no error record)."""
        return self[name] if name in self else default

    def __setitem__(self, name: str, value: Value) -> None:
        _call("qel_key_set_value", self._handle, _encode(name), *_elements(value))

    def __delitem__(self, name: str) -> None:
        if name not in self:
            raise NoValueError(f"no value {name!r}", 160, _LIBRARY_FACILITY)
        _call("qel_key_delete_value", self._handle, _encode(name), None, None, 0)

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        present = ctypes.c_int()
        _call("qel_key_has_value", self._handle, _encode(name), ctypes.byref(present))
        return bool(present.value)

    def names(self, pattern: str = "*") -> List[str]:
        """The names of the values that match a wildcard pattern."""
        out = ctypes.c_void_p()
        _call("qel_key_value_names", self._handle, _encode(pattern), ctypes.byref(out))
        return _take_list(out)

    def __iter__(self) -> Iterator[str]:
        return iter(self.names())

    def __len__(self) -> int:
        return len(self.names())

    def add(self, name: str, *elements: str) -> None:
        """Adds elements to a value's list; none is added when one is there already (code 159)."""
        _call("qel_key_add_value", self._handle, _encode(name), *_elements(elements))

    def remove(self, name: str, *elements: str) -> None:
        """Removes elements from a value's list."""
        if elements:
            _call("qel_key_delete_value", self._handle, _encode(name), *_elements(elements))

    def get_str(self, name: str, default: Optional[str] = None) -> Optional[str]:
        """The value as one string, `default` when missing; a list of several elements raises
        MalformedValueError."""
        if default is None and name not in self:
            return None
        out = ctypes.c_void_p()
        _call("qel_key_read_string", self._handle, _encode(name), _encode(default or ""),
              ctypes.byref(out))
        return _take_string(out)

    def get_int(self, name: str, default: Optional[int] = None) -> Optional[int]:
        """The value as a decimal integer, `default` when missing; anything else raises
        MalformedValueError."""
        if default is None and name not in self:
            return None
        number = ctypes.c_longlong()
        _call("qel_key_read_int", self._handle, _encode(name), default or 0, ctypes.byref(number))
        return number.value

    def get_bool(self, name: str, default: Optional[bool] = None) -> Optional[bool]:
        """The value as a boolean (true/false, yes/no, on/off, 1/0), `default` when missing."""
        if default is None and name not in self:
            return None
        flag = ctypes.c_int()
        _call("qel_key_read_bool", self._handle, _encode(name), int(bool(default)),
              ctypes.byref(flag))
        return bool(flag.value)

    def has_subkey(self, name: str) -> bool:
        present = ctypes.c_int()
        _call("qel_key_has_subkey", self._handle, _encode(name), ctypes.byref(present))
        return bool(present.value)

    def subkey(self, name: str) -> "Key":
        """The subkey of that name; NoKeyError when there is none."""
        out = ctypes.c_void_p()
        _call("qel_key_open_subkey", self._handle, _encode(name), ctypes.byref(out))
        return Key(out)

    def create_subkey(self, name: str) -> "Key":
        """Makes a subkey; QELError 159 when it exists."""
        out = ctypes.c_void_p()
        _call("qel_key_create_subkey", self._handle, _encode(name), ctypes.byref(out))
        return Key(out)

    def delete_subkey(self, name: str) -> None:
        """Deletes a subkey with everything beneath it; a missing one is no error."""
        _call("qel_key_delete_subkey", self._handle, _encode(name))

    def subkeys(self) -> Iterator["Key"]:
        """The direct subkeys."""
        return self.search("(key=*)", recursive=False)

    def search(self, selector: str = "(key=*)", recursive: bool = True) -> Iterator["Key"]:
        """The subkeys a selector chooses, the whole subtree by default, a key before its own
        subkeys; the walk sees the store as it was when it started."""
        out = ctypes.c_void_p()
        _call("qel_key_search", self._handle, _encode(selector), int(recursive), ctypes.byref(out))
        return _walk(_Walk(out))


class _Walk(_Owned):
    _releaser = "qel_key_iterator_free"


def _walk(walk: _Walk) -> Iterator[Key]:
    while True:
        out = ctypes.c_void_p()
        _call("qel_key_iterator_next", walk._handle, ctypes.byref(out))
        if not out:
            return
        yield Key(out)


class Transaction(_Owned):
    """`with connection.transaction():` keys opened inside write nothing until the block ends
    without an exception, then write once. After an exception nothing is written and the store
    cannot take the changes back: they stay in the connection's memory, so drop the connection."""

    _releaser = "qel_transaction_free"

    def __init__(self, connection: "Connection") -> None:
        out = ctypes.c_void_p()
        _call("qel_transaction_begin", connection._handle, ctypes.byref(out))
        super().__init__(out)

    def commit(self) -> None:
        """Writes the changes and ends the transaction; a failed write may be retried."""
        _call("qel_transaction_commit", self._handle)

    def __enter__(self) -> "Transaction":
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        try:
            if kind is None:
                self.commit()
        finally:
            self._close()


class Connection(_Owned):
    """A logged-in connection to one store; `with` closes it."""

    _releaser = "qel_connection_free"

    def __init__(self, host: str, *, user: str = "python", password: str = "", kind: str = "ini",
                 port: int = 0) -> None:
        out = ctypes.c_void_p()
        try:
            _call("qel_login", _encode(kind), _encode(host), port, _encode(user),
                  _encode(password), ctypes.byref(out))
        except NoKeyError as error:  # at login, 158 means the store cannot be opened
            raise QELError(error.text, error.code, error.facility) from None
        super().__init__(out)

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        self.close()

    def close(self) -> None:
        """Releases the connection; keys made from it stay usable."""
        self._close()

    def key(self, path: str) -> Key:
        """The key at an absolute path ("/" is the root); NoKeyError when there is none."""
        out = ctypes.c_void_p()
        _call("qel_key_open", self._handle, _encode(path), ctypes.byref(out))
        return Key(out)

    __getitem__ = key

    @property
    def root(self) -> Key:
        return self.key("/")

    def transaction(self) -> Transaction:
        """Begins a transaction, for a `with` block; MisuseError when one is open already."""
        return Transaction(self)

    def refresh(self) -> List[str]:
        """Reads the store again when another writer changed it; the paths of the keys whose
        values or subkeys changed, [] when nothing did."""
        out = ctypes.c_void_p()
        _call("qel_refresh", self._handle, ctypes.byref(out))
        return _take_list(out)

    def wait_for_change(self, timeout: float) -> List[str]:
        """Blocks up to `timeout` seconds until another writer changes the store, then refreshes;
        [] on timeout."""
        out = ctypes.c_void_p()
        _call("qel_wait_for_change", self._handle, int(timeout * 1000), ctypes.byref(out))
        return _take_list(out)

    def fileno(self) -> int:
        """A descriptor that polls readable when the store may have changed (then call
        refresh()), for selectors; -1 when the store has none."""
        descriptor = ctypes.c_int()
        _call("qel_change_descriptor", self._handle, ctypes.byref(descriptor))
        return descriptor.value


def login(host: str, *, user: str = "python", password: str = "", kind: str = "ini",
          port: int = 0) -> Connection:
    """Opens a store: an INI file's path, or for kind "rini" "server[:port][/path]"."""
    return Connection(host, user=user, password=password, kind=kind, port=port)


class CopyCounts(NamedTuple):
    """What copy_etcd_store() did."""

    keys: int  # keys of the source (below its root key)
    values: int  # their values
    skipped: int  # keys an earlier run of the same copy had already written as they are
    resumed: bool  # the destination held this copy unfinished


def copy_etcd_store(source: str, destination: str, *, user: str = "", password: str = "",
                    batch: int = 0,
                    progress: Optional[Callable[[str], None]] = None) -> CopyCounts:
    """Copies every key of the etcd store `source` ("etcd://HOST:PORT,.../PREFIX"), with its
    values, into the etcd store `destination`, which holds no key yet or the unfinished copy of
    the same source, both logged in to as `user`. The source is read page by page and the keys go
    over in commits of at most `batch` keys (0: as many as the cluster takes), so memory stays near
    a page and a commit; `progress` is told a line after each commit but the last. Run again after
    an interruption, the same copy finishes the job."""
    logins = [_StoreLogin(_encode(address), _encode(user), _encode(password))
              for address in (source, destination)]
    told = _Progress()
    if progress is not None:
        told = _Progress(lambda line, _context: progress(_decode(line)))
    counts = _CopyCounts()
    _call("qel_copy_etcd_store", ctypes.byref(logins[0]), ctypes.byref(logins[1]), batch, told,
          None, ctypes.byref(counts))
    return CopyCounts(counts.keys, counts.values, counts.skipped, bool(counts.resumed))
