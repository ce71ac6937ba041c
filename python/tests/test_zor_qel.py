"""The Python package against a built library: values as mappings, typed reads, subkeys,
transactions and a live store, on scratch INI files."""

import os
import random
import shutil
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

import pytest

import zor_qel


@pytest.fixture
def store(tmp_path: Path) -> Path:
    path = tmp_path / "store.ini"
    path.write_bytes(b"[/A]\nport=8080\nflag=off\nname=first\nlist=one\x1btwo\x1b\n"
                     b"[/A/B]\n[/A/B/K]\nrepositoryname=R1\n[/A/C]\n")
    return path


# Elements from pieces that stress the INI syntax (line ends, quotes, separators), UTF-8 of every width, and bytes that are no
# UTF-8 (read back unchanged through surrogate escapes).
PIECES = ["a", " ", ",", "=", "[x]", ";#", "\u00e9", "\u65e5", "\U0001f511", "\\", '"', "\t",
          "\n", "\r", "\udcff", ""]


def random_value(rng: random.Random) -> list:
    value = ["".join(rng.choice(PIECES) for _ in range(rng.randint(1, 5)))
             for _ in range(rng.randint(0, 5))]
    return ["a"] if value == [""] else value  # a lone empty element is the empty value


def test_key_is_a_mapping_of_values_that_reaches_the_file(store: Path) -> None:
    seed = int(os.environ.get("QEL_PY_SEED", random.randrange(2**32)))
    print("seed", seed)  # shown when the test fails; QEL_PY_SEED replays it
    rng = random.Random(seed)
    model = {"port": ["8080"], "flag": ["off"], "name": ["first"], "list": ["one", "two"]}
    with zor_qel.login(str(store)) as connection:
        key = connection["/A"]
        for _ in range(150):
            name = rng.choice(["port", "v1", "v2", "V3", "\u00e9t\u00e9"])
            if rng.random() < 0.25:
                if name in model:
                    del key[name]
                    del model[name]
                else:
                    with pytest.raises(KeyError):
                        del key[name]
            else:
                value = random_value(rng)
                key[name] = value
                model[name] = value
            assert dict(key) == model
    with zor_qel.login(str(store)) as connection:
        assert dict(connection["/A"]) == model


def test_elements_and_typed_reads(store: Path) -> None:
    with zor_qel.login(str(store)) as connection:
        key = connection.key("/A")
        assert key["LIST"] == ["one", "two"]
        key.add("list", "three")
        with pytest.raises(zor_qel.QELError) as refused:
            key.add("list", "four", "one")
        assert (refused.value.code, refused.value.facility) == (159, 12)
        key.remove("list", "one", "three")
        assert key.get("list") == ["two"]
        key["single"] = "text"
        assert key["single"] == ["text"]

        assert key.get_int("port", 1) == 8080
        assert key.get_int("missing", 7) == 7 and key.get_int("missing") is None
        assert key.get_bool("flag", True) is False
        assert key.get_str("name") == "first" and key.get_str("missing", "x") == "x"
        assert key.get("missing", []) == []
        for read in (key.get_int, key.get_bool):
            with pytest.raises(zor_qel.MalformedValueError) as malformed:
                read("name")
            assert malformed.value.code == 169 and "name" in str(malformed.value)
        with pytest.raises(zor_qel.NoValueError) as missing:
            key["missing"]
        assert isinstance(missing.value, KeyError) and missing.value.code == 160
        with pytest.raises(zor_qel.QELError) as unstorable:
            key["bad"] = ["a\x1bb"]
        assert unstorable.value.code == 168 and "bad" not in key
        with pytest.raises(TypeError):
            key["bad"] = [1, 2]


def test_subkeys_walk_and_search(store: Path) -> None:
    with zor_qel.login(str(store)) as connection:
        root = connection.root
        a = connection["/A"]
    # The keys outlive the connection handle.
    assert [sub.path for sub in a.subkeys()] == ["/A/B", "/A/C"]
    assert [sub.name for sub in a.search()] == ["B", "K", "C"]
    assert [sub.path for sub in a.search("(repositoryname=R1)")] == ["/A/B/K"]
    assert root.has_subkey("A") and not a.has_subkey("Z")
    made = a.create_subkey("New")
    assert made.path == "/A/New" and a.subkey("New").path == "/A/New"
    with pytest.raises(zor_qel.QELError) as exists:
        a.create_subkey("New")
    assert exists.value.code == 159
    a.delete_subkey("B")
    with pytest.raises(zor_qel.NoKeyError):
        a.subkey("B")


def test_transaction_writes_once_at_the_end_of_its_block(store: Path) -> None:
    before = store.read_bytes()
    with zor_qel.login(str(store)) as connection:
        with pytest.raises(RuntimeError):
            with connection.transaction():
                connection["/A"]["port"] = "1"
                raise RuntimeError("the block fails")
        assert store.read_bytes() == before
    with zor_qel.login(str(store)) as connection:
        with connection.transaction():
            key = connection["/A"]
            key["port"] = "9090"
            key.create_subkey("T")
            assert store.read_bytes() == before
            with pytest.raises(zor_qel.MisuseError):
                connection.transaction()
    assert b"port=9090" in store.read_bytes() and b"[/A/T]" in store.read_bytes()


def test_following_a_live_store(store: Path) -> None:
    with zor_qel.login(str(store)) as reader, zor_qel.login(str(store)) as writer:
        key = reader["/A"]
        assert reader.refresh() == [] and reader.wait_for_change(0) == []
        assert reader.fileno() >= -1
        writer["/A"]["port"] = "1234"
        assert reader.wait_for_change(10) == ["/A"]
        assert key.get_int("port") == 1234


def test_login_failures(tmp_path: Path) -> None:
    with pytest.raises(zor_qel.QELError) as failed:
        zor_qel.login(str(tmp_path / "missing" / "store.ini"))
    assert failed.value.code == 158 and not isinstance(failed.value, KeyError)
    with pytest.raises(zor_qel.MisuseError):
        zor_qel.login(str(tmp_path / "store.ini"), kind="nosuch")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def etcd(tmp_path: Path):
    """A one-member etcd cluster of the test's own: its address without a prefix."""
    binary = shutil.which("etcd")
    if binary is None:
        pytest.skip("etcd (Debian's etcd-server) is not installed")
    client, peer = free_port(), free_port()
    member = subprocess.Popen(
        [binary, "--data-dir", str(tmp_path / "etcd"), "--unsafe-no-fsync",
         "--listen-client-urls", f"http://127.0.0.1:{client}",
         "--advertise-client-urls", f"http://127.0.0.1:{client}",
         "--listen-peer-urls", f"http://127.0.0.1:{peer}",
         "--initial-advertise-peer-urls", f"http://127.0.0.1:{peer}",
         "--initial-cluster", f"default=http://127.0.0.1:{peer}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{client}/health", timeout=1):
                    break
            except OSError:
                if time.monotonic() > deadline or member.poll() is not None:
                    raise
                time.sleep(0.1)
        yield f"etcd://127.0.0.1:{client}"
    finally:
        member.kill()
        member.wait()


def test_an_etcd_store_is_copied_group_by_group(etcd: str) -> None:
    with zor_qel.login(etcd + "/src/", kind="rini") as source:
        with source.transaction():
            for i in range(5):
                key = source.root.create_subkey(f"K{i}")
                key["v"] = ["one", "two"]
    lines: list = []
    counts = zor_qel.copy_etcd_store(etcd + "/src/", etcd + "/dst/", batch=2,
                                     progress=lines.append)
    assert counts == zor_qel.CopyCounts(keys=5, values=5, skipped=0, resumed=False)
    assert lines == ["2 of 5 keys committed", "4 of 5 keys committed"]
    with zor_qel.login(etcd + "/dst/", kind="rini") as copy:
        assert [key.name for key in copy.root.subkeys()] == [f"K{i}" for i in range(5)]
        assert copy["/K4"]["v"] == ["one", "two"]
    with pytest.raises(zor_qel.QELError) as refused:
        zor_qel.copy_etcd_store(etcd + "/src/", etcd + "/dst/")
    assert refused.value.code == 159 and "already holds keys" in refused.value.text
