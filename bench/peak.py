"""Runs one command line of the program at its prompt (then "quit") and prints the
program's peak resident size in KiB; what the program printed goes to peak.out in $HOME.
    peak.py PROGRAM LINE"""
import os
import resource
import subprocess
import sys


def main():
    program, line = sys.argv[1], sys.argv[2]
    with open(os.path.join(os.environ["HOME"], "peak.out"), "wb") as out:
        subprocess.run([program], input=(line + "\nquit\n").encode(), stdout=out,
                       stderr=subprocess.STDOUT, cwd=os.path.dirname(program))
    # The only child waited for is the program itself.
    print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
    return 0


if __name__ == "__main__":
    sys.exit(main())
