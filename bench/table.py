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
    ap.add_argument("--paths", default="")
    ap.add_argument("--threads", default="")
    ap.add_argument("--i386", default="",
                    help="native or emulated: how the i386 program's rows ran")
    ap.add_argument("--emulated", action="store_true",
                    help="the i386 program ran under a user-mode emulator")
    ap.add_argument("--big-label", default="2 GiB")
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
            rows.append((job, fmt_rate(m), "%s %s" % (label, fmt_rate(b)), "%.2f (%.2f)" % ratio,
                         "%s: %s" % (target, verdict(ratio[0] >= minimum)) if target else ""))
        else:
            rows.append((job, fmt_rate(m), "%s: not installed" % label, "", target))

    def beside(label, key):
        if key in fig:
            rows.append(("", "", "%s %s" % (label, fmt_rate(fig[key].rate())), "", ""))

    def sealed(job, mine, plain, target=None, minimum=0):
        """A sealed row beside the plain format's: the ratio, and the time sealing adds to
        every byte."""
        if mine not in fig or plain not in fig:
            return
        m, p = fig[mine], fig[plain]
        ratio = (m.rate()[0] / p.rate()[0], m.rate()[1] / p.rate()[1])
        added = ((m.best - p.best) / m.nbytes * 1e9, (m.median - p.median) / m.nbytes * 1e9)
        rows.append((job, fmt_rate(m.rate()), "the plain format %s; sealing adds %.2f (%.2f) ns"
                     " per byte" % ((fmt_rate(p.rate()),) + added), "%.2f (%.2f)" % ratio,
                     "%s: %s" % (target, verdict(ratio[0] >= minimum)) if target else ""))

    sync_label = "dd bs=256K conv=fdatasync (synced, as Ombrix's output)"
    for what, age, age_label, ssl in (("enc", "age_enc", "age -r", "openssl enc -aes-256-ctr"),
                                      ("dec", "age_dec", "age -d", "openssl enc -d -aes-256-ctr")):
        against("%s level n, file to file" % what, what + "_n", "age_sync_" + what,
                age_label + " with its output synced", "ahead of synced age", 1.0)
        against("", what + "_n", age, age_label, "", 0)
        against("", what + "_n", "dd_sync", sync_label, ">= 0.95 x synced dd", 0.95)
        beside(ssl, "openssl_" + what)
        sealed("%s level n, file to file, sealed" % what, what + "_sealed_n", what + "_n",
               ">= 0.9 x the plain format", 0.9)
    beside("dd bs=256K", "dd")
    beside("cp", "cp")

    # The cipher paths and thread counts, to /dev/null.
    paths = a.paths.split()
    threads = a.threads.split()
    every = threads[-1] if threads else "1"
    best = paths[-1] if paths else None
    no512 = [p for p in paths if p != "avx512"]
    for what, age_label in (("enc", "age -r"), ("dec", "age -d")):
        age = "age_null_" + what
        for p in paths:
            for t in threads:
                key = "null_%s_%s_%s" % (p, t, what)
                job = "%s level n to /dev/null, %s path, %s thread%s" % (what, p, t, "" if t == "1" else "s")
                if p == best and t == every:
                    against(job, key, age, age_label + " to /dev/null", ">= 1.6 x age", 1.6)
                elif p == "avx2" and t == "1":
                    against(job, key, "null_portable_1_" + what, "portable path, 1 thread",
                            ">= 2 x portable, 1 thread", 2.0)
                elif p == "portable" and t == every and t != "1":
                    against(job, key, "null_portable_1_" + what, "portable path, 1 thread",
                            ">= 1.8 x portable, 1 thread", 1.8)
                else:
                    against(job, key, age, age_label + " to /dev/null", "", 0)
                sealed(job + ", sealed", "null_sealed_%s_%s_%s" % (p, t, what), key)
        if no512:
            key = "null_%s_%s_%s" % (no512[-1], every, what)
            against("%s level n to /dev/null: what a processor without AVX-512 gets (%s path, %s"
                    " thread%s)" % (what, no512[-1], every, "" if every == "1" else "s"),
                    key, age, age_label + " to /dev/null", "", 0)
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
                     "%.2f (%.2f)" % ratio, ""))
        if dd_sync in fig:
            base = fig[dd_sync].rate()
            ratio = (output[0] / base[0], output[1] / base[1])
            rows.append(("", "", "dd conv=fdatasync (synced, as Ombrix's output) %s" % fmt_rate(base),
                         "%.2f (%.2f)" % ratio,
                         ">= 0.9 x synced dd: %s" % verdict(ratio[0] >= 0.9)))
    for level in "nh":
        key, fl, fl_sync = "createsys_" + level, "floor_" + level, "floor_sync_" + level
        if key not in fig or fl not in fig:
            continue
        ratio = (fig[key].best / fig[fl].best, fig[key].median / fig[fl].median)
        rows.append(("createsys %s %s" % (a.keys, level), fmt_secs(fig[key]),
                     "plain C floor, same draws and files: %s" % fmt_secs(fig[fl]),
                     "%.2f (%.2f)" % ratio, ""))
        if fl_sync in fig:
            ratio = (fig[key].best / fig[fl_sync].best, fig[key].median / fig[fl_sync].median)
            rows.append(("", "", "the floor syncing every file, as Ombrix does: %s"
                         % fmt_secs(fig[fl_sync]),
                         "%.2f (%.2f)" % ratio,
                         "<= 1.3 x synced floor: %s" % verdict(ratio[0] <= 1.3)
                         if level == "n" else ""))

    if "side_one" in fig and "side_two" in fig:
        one, two = fig["side_one"].rate(), fig["side_two"].rate()
        rows.append(("the machine: two openssl enc to /dev/null at once", fmt_rate(two),
                     "one alone %s" % fmt_rate(one),
                     "%.2f (%.2f)" % (two[0] / one[0], two[1] / one[1]),
                     "what two threads can give at most"))

    if "startup_digest" in fig:
        # Each sample is one start: the median of all of them is the figure held to the
        # target.
        def ms(key):
            return fig[key].best * 1e3, fig[key].median * 1e3
        mine = ms("startup_digest")
        if "startup_bash" in fig:
            base = ms("startup_bash")
            ratio = (mine[0] / base[0], mine[1] / base[1])
            rows.append(("start-up to the first prompt (`echo quit \\| ombrix`, %d starts)"
                         % len(fig["startup_digest"].times), "%.1f (%.1f) ms" % mine,
                         "`bash -c exit` %.1f (%.1f) ms" % base, "%.2f (%.2f)" % ratio,
                         "<= 2 x bash, median: %s" % verdict(ratio[1] <= 2.0)))
        if "startup_no_digest" in fig:
            base = ms("startup_no_digest")
            rows.append(("", "", "the same program without .mvsum (record checks only):"
                         " %.1f (%.1f) ms" % base,
                         "%.2f (%.2f)" % (mine[0] / base[0], mine[1] / base[1]), ""))

    if "rss_small" in outs and "rss_big" in outs:
        small, big = outs["rss_small"], outs["rss_big"]
        rows.append(("peak resident size, enc level n of %s" % a.big_label, "%.1f MiB" % (big / 1024),
                     "enc level n of 200 MiB: %.1f MiB" % (small / 1024),
                     "%+.1f MiB" % ((big - small) / 1024),
                     "<= 200 MiB's + 16 MiB: %s" % verdict(big - small <= 16 * 1024)))

    if a.i386:
        where = ("under the user-mode emulator (the emulator's figures, not the processor's)"
                 if a.i386 == "emulated" else "run natively")
        for what in ("enc", "dec"):
            key = "i386_%s_n" % what
            if key in fig:
                rows.append(("%s level n, file to file: the i386 program, %s" % (what, where),
                             fmt_rate(fig[key].rate()), "", "", ""))

    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "**Measured with the i386 program running under a user-mode emulator on a kernel"
        " without 32-bit support: every figure of Ombrix here is the emulator's, not the"
        " processor's (the emulator runs vector instructions far slower than plain ones).**",
        "",
    ] if a.emulated else []
    lines += [
        "# Benchmark results",
        "",
        "Measured by `./dev.sh bench` on %s." % when,
        "",
        "- Processor: %s" % a.cpu,
        "- Each figure: %s runs, best (median) shown; ratios from the best runs (medians in"
        " parentheses); baselines measured in the same run. Level n and the cipher paths"
        " use a %s MiB random source; levels l, m and h a source sized for about %s MiB of"
        " output. Files in the page cache. Paths and threads are chosen with OMBRIX_CIPHER_PATH"
        " and OMBRIX_THREADS; without them the program takes the fastest path on all"
        " threads." % (a.runs, a.mb, a.mb),
        "- Ombrix's outputs are synced to the disk before they are put in place (every key"
        " file of createsys too); the baselines' are not, except where a row says synced."
        " Targets that compare written files are held against the synced baselines (the"
        " same work with the same data safety); the unsynced ones are shown beside them."
        " Start-up is held by its median; the verdict of every other target by the best"
        " runs.",
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
        lines.append("Checks: all %d passed (every enc output decrypts to its source, every"
                     " path and thread count gives the same bytes, every createsys file"
                     " equals the floor program's byte for byte, both fed the same draws)." % len(checks))
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    with open(a.out, "w") as f:
        f.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
