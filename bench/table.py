"""The benchmark's table from its samples: best (minimum time) and median of every
figure, its ratio to the baseline measured in the same run, and the target it is held
against. Prints the table and writes it, with the processor and the date, to --out.
Exits non-zero when a check of the outputs failed."""
import argparse
import datetime
import statistics
import sys


def load(path, columns):
    rows = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == columns:
                    rows.append(parts)
    except FileNotFoundError:
        pass
    return rows


class Figure:
    """The times of one job (seconds) and the bytes each run moved."""

    def __init__(self, times, nbytes):
        self.times = sorted(times)
        self.nbytes = nbytes

    @property
    def best(self):
        return self.times[0]

    @property
    def median(self):
        return statistics.median(self.times)

    def rate(self, nbytes=None):
        n = self.nbytes if nbytes is None else nbytes
        return n / self.best / 1e6, n / self.median / 1e6


def fmt_rate(pair):
    return "%s (%s) MB/s" % ("{:,.0f}".format(pair[0]), "{:,.0f}".format(pair[1]))


def fmt_secs(f):
    return "%.2f (%.2f) s" % (f.best, f.median)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("samples")
    ap.add_argument("checks")
    ap.add_argument("sizes")
    ap.add_argument("--cpu", default="")
    ap.add_argument("--runs", default="")
    ap.add_argument("--mb", default="")
    ap.add_argument("--keys", default="")
    ap.add_argument("--out", required=True)
    a = ap.parse_args()

    times, nbytes = {}, {}
    for key, micros, n in load(a.samples, 3):
        times.setdefault(key, []).append(int(micros) / 1e6)
        nbytes[key] = int(n)
    fig = {k: Figure(v, nbytes[k]) for k, v in times.items()}
    outs = {}
    for key, n in load(a.sizes, 2):
        outs[key] = int(n)  # every run of a level writes the same number of bytes
    checks = load(a.checks, 2)
    failed = [name for name, result in checks if result != "OK"]

    rows = []

    def verdict(ok):
        return "met" if ok else "**not met**"

    def against(job, mine, base, label, target, minimum):
        """A throughput row: mine / base >= minimum."""
        if mine not in fig:
            return
        m = fig[mine].rate()
        if base in fig:
            b = fig[base].rate()
            ratio = (m[0] / b[0], m[1] / b[1])
            rows.append((job, fmt_rate(m), "%s %s" % (label, fmt_rate(b)),
                         "%.2f (%.2f)" % ratio, "%s: %s" % (target, verdict(ratio[0] >= minimum))))
        else:
            rows.append((job, fmt_rate(m), "%s: not installed" % label, "", target))

    def beside(label, key):
        if key in fig:
            rows.append(("", "", "%s %s" % (label, fmt_rate(fig[key].rate())), "", ""))

    against("enc level n", "enc_n", "age_enc", "age -r", ">= 1.5 x age", 1.5)
    beside("openssl enc -aes-256-ctr", "openssl_enc")
    beside("dd bs=256K", "dd")
    beside("dd bs=256K conv=fdatasync (synced, as Ombrix's output)", "dd_sync")
    beside("cp", "cp")
    against("dec level n", "dec_n", "age_dec", "age -d", ">= 1.5 x age", 1.5)
    beside("openssl enc -d -aes-256-ctr", "openssl_dec")
    for level in "lmh":
        key, dd, dd_sync = "enc_" + level, "dd_" + level, "dd_sync_" + level
        if key not in fig or dd not in fig:
            continue
        out = outs.get("out_" + level, 0)
        source = fig[key].rate()
        output = fig[key].rate(out)
        base = fig[dd].rate()
        ratio = (output[0] / base[0], output[1] / base[1])
        rows.append(("enc level %s (output %.1f x the source)" % (level, out / fig[key].nbytes),
                     "%s of source = %s of output" % (fmt_rate(source), fmt_rate(output)),
                     "dd writing the same bytes %s" % fmt_rate(base),
                     "%.2f (%.2f)" % ratio, ">= 0.6 x dd: %s" % verdict(ratio[0] >= 0.6)))
        if dd_sync in fig:
            base = fig[dd_sync].rate()
            ratio = (output[0] / base[0], output[1] / base[1])
            rows.append(("", "", "dd conv=fdatasync (synced, as Ombrix's output) %s" % fmt_rate(base),
                         "%.2f (%.2f)" % ratio,
                         ">= 0.6 x synced dd: %s" % verdict(ratio[0] >= 0.6)))
    for level in "nh":
        key, fl, fl_sync = "createsys_" + level, "floor_" + level, "floor_sync_" + level
        if key not in fig or fl not in fig:
            continue
        ratio = (fig[key].best / fig[fl].best, fig[key].median / fig[fl].median)
        rows.append(("createsys %s %s" % (a.keys, level), fmt_secs(fig[key]),
                     "plain C floor, same draws and files: %s" % fmt_secs(fig[fl]),
                     "%.2f (%.2f)" % ratio, "<= 1.3 x floor: %s" % verdict(ratio[0] <= 1.3)))
        if fl_sync in fig:
            ratio = (fig[key].best / fig[fl_sync].best, fig[key].median / fig[fl_sync].median)
            rows.append(("", "", "the floor syncing every file, as Ombrix does: %s"
                         % fmt_secs(fig[fl_sync]),
                         "%.2f (%.2f)" % ratio,
                         "<= 1.3 x synced floor: %s" % verdict(ratio[0] <= 1.3)))
    for what in ("enc", "dec"):
        key = "portable_" + what
        if key in fig:
            r = fig[key].rate()
            rows.append(("portable path %s level n" % what, fmt_rate(r), "", "",
                         ">= 150 MB/s: %s" % verdict(r[0] >= 150)))

    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "# Benchmark results",
        "",
        "Measured by `./dev.sh bench` on %s." % when,
        "",
        "- Processor: %s" % a.cpu,
        "- Each figure: %s runs, best (median) shown; ratios from the best runs (medians in"
        " parentheses); baselines measured in the same run. Level n and the portable path"
        " use a %s MiB random source; levels l, m and h a source sized for about %s MiB of"
        " output. Files in the page cache." % (a.runs, a.mb, a.mb),
        "- Ombrix's outputs are synced to the disk before they are put in place (every key"
        " file of createsys too); the baselines' are not, except where a row says synced:"
        " targets are held against the unsynced baselines, the synced rows show the same"
        " work with the same data safety.",
        "",
        "| Job | Ombrix | Beside it | Ratio | Target |",
        "|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append("| " + " | ".join(r) + " |")
    lines.append("")
    if failed:
        lines.append("Checks: %d of %d **FAILED**:" % (len(failed), len(checks)))
        lines += ["- " + name for name in failed]
    else:
        lines.append("Checks: all %d passed (every enc output decrypts to its source, the"
                     " portable path gives the vector path's bytes, every createsys file"
                     " equals the floor program's byte for byte, both fed the same draws)." % len(checks))
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    with open(a.out, "w") as f:
        f.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
