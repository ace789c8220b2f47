"""Starts a program COUNT times in a row, each with "quit" on its standard input (which a
program that does not read it ignores), and prints one benchmark sample per start: the
key, the microseconds the start took and 1.
    starts.py COUNT KEY PROGRAM [ARGUMENT...]"""
import subprocess
import sys
import time


def main():
    count, key, command = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
    for _ in range(count):
        t0 = time.perf_counter_ns()
        done = subprocess.run(command, input=b"quit\n", stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        t1 = time.perf_counter_ns()
        if done.returncode != 0:
            sys.stderr.write("%s did not start and end cleanly\n" % " ".join(command))
            return 1
        print("%s\t%d\t1" % (key, (t1 - t0) // 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
