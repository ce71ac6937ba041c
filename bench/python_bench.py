"""Reading a value through the Python package, beside a dict lookup of the same data.

Usage: ZOR_QEL_LIBRARY=build-release/libzor-qel-rb-key.so PYTHONPATH=python \\
           python3 bench/python_bench.py
Prints nanoseconds per read (best of 40 short passes: other load only adds time) and each read's ratio to the dict lookup.
"""
import os
import tempfile
import timeit

import zor_qel

STORE = "[/Target]\nname=target\nport=5401\nlist=alpha\x1bbeta\x1bgamma\x1b\n"
ROUNDS = 500


def nanos(statement, names) -> float:
    passes = timeit.repeat(statement, globals=names, number=ROUNDS, repeat=40)
    return min(passes) / ROUNDS * 1e9


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "store.ini")
        with open(path, "w", encoding="utf-8") as file:
            file.write(STORE)
        with zor_qel.login(path, user="bench") as store:
            key = store["/Target"]
            # The same data as a dict: names to lists of elements.
            table = {name: key[name] for name in key}
            names = {"key": key, "table": table}
            floor = nanos('table["port"]', names)
            print(f"{'read':34} {'ns':>8} {'per dict':>9}")
            for label, statement in [
                ('dict: table["port"]', 'table["port"]'),
                ('dict: int(table["port"][0])', 'int(table["port"][0])'),
                ('key["port"]', 'key["port"]'),
                ('key.get_int("port", 0)', 'key.get_int("port", 0)'),
                ('key["list"] (3 elements)', 'key["list"]'),
                ('key.get("missing")', 'key.get("missing")'),
            ]:
                cost = nanos(statement, names)
                print(f"{label:34} {cost:8.0f} {cost / floor:9.1f}")


if __name__ == "__main__":
    main()
