"""The Python package in brief: log in, read, write in a transaction, walk subkeys, follow the
store. Usage: python3 qel_example.py STORE.ini   (a store it may change)"""
import sys

import zor_qel

with zor_qel.login(sys.argv[1], user="example") as store:
    with store.transaction():  # keys opened in the block write once, at its end
        jobs = store["/ZOR_Software/Scheduler/Jobs"]
        print("at most", jobs.get_int("maxparallel", 1), "jobs at once")
        for job in jobs.subkeys():
            job["calendar"] = "weekend"
            print(job.name, job.get_str("name"), job["calendar"])
    print("changed by others:", store.wait_for_change(0.1))
