#!/usr/bin/env python3
"""Runs every comparison of scripts/bench on one prepared SoftHSM2 token and prints the table.

scripts/bench builds the programs, makes the token and pins its module, then calls this with the
paths in the environment (see `Setup.from_environment`). Each ratio compares two programs run in
the same rounds, their order swapped from round to round (the session figures take turns inside
one run, in blocks of signatures). The figures are medians over the rounds and a ratio is the
median of the rounds' own ratios, so a slow spell of the machine that falls on one round moves
both sides of that round's ratio alike: on a shared machine single runs say little.
"""

import base64
import json
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass


@dataclass
class Setup:
    bin: str
    module: str
    slot: str
    expect: str
    home: str
    pin_file: str
    work: str
    ec_id: str
    rsa_id: str
    ec_pem: str
    known_wrapper: str
    quick: bool

    @staticmethod
    def from_environment():
        e = os.environ
        return Setup(e["BENCH_BIN"], e["BENCH_MODULE"], e["BENCH_SLOT"], e["BENCH_EXPECT"],
                     e["BENCH_HOME"], e["BENCH_PIN_FILE"], e["BENCH_WORK"], e["BENCH_EC_ID"],
                     e["BENCH_RSA_ID"], e["BENCH_EC_PEM"], e["BENCH_KNOWN_WRAPPER"],
                     e.get("BENCH_QUICK") == "1")

    def program(self, name):
        return os.path.join(self.bin, name)

    def environment(self):
        env = dict(os.environ)
        env["HOME"] = self.home
        env["KORVAN_EXPECT_TOKEN"] = self.expect
        return env


class Failed(Exception):
    pass


def alternate(rounds, runners):
    """Runs each runner once per round, the order reversed every other round; lists of results."""
    results = {name: [] for name in runners}
    names = list(runners)
    for r in range(rounds):
        for name in (names if r % 2 == 0 else list(reversed(names))):
            results[name].append(runners[name]())
    return results


def run_for_value(setup, argv, key, stdin_pin=True):
    """Runs a bench program and returns the integer it prints after `key`."""
    with open(setup.pin_file, "rb") if stdin_pin else open(os.devnull, "rb") as stdin:
        done = subprocess.run(argv, stdin=stdin, capture_output=True, env=setup.environment())
    out = done.stdout.decode(errors="replace")
    if done.returncode != 0 or not out.startswith(key + " "):
        raise Failed(f"{' '.join(argv[:2])} failed (exit {done.returncode}): "
                     f"{done.stderr.decode(errors='replace').strip()[-400:]}")
    return int(out.split()[1])


def timed_process(argv, env, stdin_path, stdout_path):
    """Wall time of one process from spawn to exit (ns)."""
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, stdin_path, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
        (os.POSIX_SPAWN_OPEN, 2, stdout_path + ".err", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
    ]
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        with open(stdout_path + ".err", errors="replace") as err:
            raise Failed(f"{argv[0]} exited with {code}: {err.read().strip()[-400:]}")
    return elapsed


def median(values):
    return statistics.median(values)


def paired_ratio(results, ours, reference):
    """Median of the per-round ratios ours / reference."""
    return median([a / b for a, b in zip(results[ours], results[reference])])


# Rows of the table: (what, sign-cli figure, reference figure, ratio, target, verdict)
rows = []
notes = []


def add_row(what, ours, reference, ratio, target, met):
    verdict = "met" if met else "missed"
    if met is None:
        verdict = ""
    rows.append((what, ours, reference, f"{ratio:.2f}" if ratio is not None else "", target,
                 verdict))


def us(ns):
    return f"{ns / 1000:.0f} µs"


def ms(ns):
    return f"{ns / 1e6:.1f} ms"


def session_throughput(setup, kind, key_id, count, sessions, block):
    """sign-cli and both floors in turns of `block` signatures inside each of `sessions` runs."""
    argv = [setup.program("bench-proto3"), "session", setup.program("sign-cli"), setup.module,
            key_id, kind, setup.slot, str(count), str(block)]
    blocks = []
    for _ in range(sessions):
        with open(setup.pin_file, "rb") as stdin:
            done = subprocess.run(argv, stdin=stdin, capture_output=True,
                                  env=setup.environment())
        lines = [l.split() for l in done.stdout.decode(errors="replace").splitlines()]
        if done.returncode != 0 or not lines or any(l[0] != "block" for l in lines):
            raise Failed(f"bench-proto3 session failed (exit {done.returncode}): "
                         f"{done.stderr.decode(errors='replace').strip()[-400:]}")
        blocks += [tuple(int(v) for v in l[1:4]) for l in lines]
    results = {"sign-cli": [b[0] for b in blocks], "floor": [b[1] for b in blocks],
               "confirm": [b[2] for b in blocks]}
    ours, base, with_check = (median(results[n]) for n in ("sign-cli", "floor", "confirm"))
    label = "P-256" if kind == "ec-p256" else "RSA-2048"
    ratio = paired_ratio(results, "sign-cli", "floor")
    add_row(f"protocol 3, {count} {label} signatures in one session, per signature, vs "
            "C_SignInit + C_Sign in-process", us(ours), us(base), ratio, "≤ 1.10", ratio <= 1.10)
    ratio = paired_ratio(results, "sign-cli", "confirm")
    add_row("  the same vs that floor plus the C_GetTokenInfo sign-cli must make before each "
            "signature", us(ours), us(with_check), ratio, "≤ 1.10", ratio <= 1.10)


def setup_env_with_pin(setup):
    """For pkcs11-tool's --pin env:BENCH_PIN; the others read the PIN on standard input."""
    env = setup.environment()
    with open(setup.pin_file) as f:
        env["BENCH_PIN"] = f.readline().rstrip("\n")
    return env


def protocol2_process(setup, rounds):
    digest = "5a" + "01" * 31
    digest_file = os.path.join(setup.work, "digest.bin")
    with open(digest_file, "wb") as f:
        f.write(bytes.fromhex(digest))
    env = setup_env_with_pin(setup)
    out = os.path.join(setup.work, "p2.out")
    commands = {
        "sign-cli": [setup.program("sign-cli"), "--proto=2", setup.module, digest, setup.ec_id,
                     "ec-p256", setup.slot],
        "floor": [setup.program("bench-sign-once"), setup.module, digest, setup.ec_id, setup.slot],
        "pkcs11-tool": [which("pkcs11-tool"), "--module", setup.module, "--slot", setup.slot,
                        "--login", "--pin", "env:BENCH_PIN", "--sign", "--mechanism", "ECDSA",
                        "--id", setup.ec_id, "--input-file", digest_file, "--output-file",
                        os.path.join(setup.work, "p2.sig")],
    }
    runners = {name: (lambda argv=argv: timed_process(argv, env, setup.pin_file, out))
               for name, argv in commands.items()}
    for run in runners.values():
        run()  # once each first, so the page cache is warm for all three alike
    verify_protocol2_output(setup, out, digest)
    results = alternate(rounds, runners)
    ours, base, tool = (median(results[n]) for n in ("sign-cli", "floor", "pkcs11-tool"))
    ratio = paired_ratio(results, "sign-cli", "floor")
    add_row("protocol 2, one P-256 signature per process, start to exit, vs a minimal C++ "
            "program making the same PKCS#11 calls", ms(ours), ms(base), ratio, "≤ 1.10",
            ratio <= 1.10)
    ratio = paired_ratio(results, "sign-cli", "pkcs11-tool")
    add_row("  the same vs pkcs11-tool --sign", ms(ours), ms(tool), ratio, "< 1.00", ratio < 1.0)


def verify_protocol2_output(setup, out, digest):
    """The timed sign-cli run must have made a signature that OpenSSL accepts, not just exit 0."""
    timed_process([setup.program("sign-cli"), "--proto=2", setup.module, digest, setup.ec_id,
                   "ec-p256", setup.slot], setup_env_with_pin(setup), setup.pin_file, out)
    with open(out) as f:
        lines = f.read().splitlines()
    signature = os.path.join(setup.work, "p2-check.sig")
    with open(signature, "wb") as f:
        f.write(base64.b64decode(lines[1] if len(lines) > 1 else ""))
    done = subprocess.run([which("openssl"), "pkeyutl", "-verify", "-pubin", "-inkey",
                           setup.ec_pem, "-in", os.path.join(setup.work, "digest.bin"), "-sigfile",
                           signature], capture_output=True)
    if done.returncode != 0:
        raise Failed("sign-cli --proto=2 gave no signature that OpenSSL verifies")


def which(name):
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        path = os.path.join(folder, name)
        if os.access(path, os.X_OK):
            return path
    raise Failed(f"{name} not found")


def module_hashing(setup, rounds, size_mib):
    big = os.path.join(setup.work, "hash-input.bin")
    small = os.path.join(setup.work, "hash-small.bin")
    with open(big, "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(size_mib):
            f.write(bytes([i & 0xFF]) + block[1:])
    with open(small, "wb") as f:
        f.write(os.urandom(64 << 10))
    out = os.path.join(setup.work, "hash.out")
    env = setup.environment()
    ours_argv = [setup.program("bench-file-hash"), big]
    openssl_argv = [which("openssl"), "dgst", "-sha256", "-r", big]

    def digest_of(argv):
        timed_process(argv, env, os.devnull, out)
        with open(out) as f:
            return f.read().split()[0]

    if digest_of(ours_argv) != digest_of(openssl_argv):
        raise Failed("file_sha256_hex and openssl dgst disagree")
    results = alternate(rounds, {
        "ours": lambda: timed_process(ours_argv, env, os.devnull, out),
        "openssl": lambda: timed_process(openssl_argv, env, os.devnull, out),
    })
    ours = median(results["ours"])
    openssl = median(results["openssl"])
    size = size_mib * (1 << 20)
    throughput = 1 / paired_ratio(results, "ours", "openssl")
    add_row(f"module hashing, file_sha256_hex over {size_mib} MiB, throughput vs openssl dgst "
            "-sha256", f"{size / ours * 1e9 / (1 << 20):.0f} MiB/s",
            f"{size / openssl * 1e9 / (1 << 20):.0f} MiB/s", throughput, "≥ 0.90",
            throughput >= 0.90)
    peak_big = peak_of(ours_argv, env, out)
    peak_small = peak_of([ours_argv[0], small], env, out)
    add_row(f"  peak memory of the hashing process, {size_mib} MiB file vs 64 KiB file",
            f"{peak_big / 1024:.1f} MiB", f"{peak_small / 1024:.1f} MiB", None,
            "difference < 1 MiB", peak_big - peak_small < 1024)


def peak_of(argv, env, out):
    timed_process(argv, env, os.devnull, out)
    with open(out) as f:
        for line in f:
            if line.startswith("peak_kib "):
                return int(line.split()[1])
    raise Failed("bench-file-hash reported no peak memory")


def start_up(setup, rounds):
    sign_cli = setup.program("sign-cli")
    hello = [setup.program("bench-proto3"), "hello", sign_cli]
    tail = [setup.ec_id, "ec-p256", setup.slot]
    pinned = hello + [setup.module] + tail
    known = [setup.known_wrapper, setup.module] + hello + ["/opt/akis/libakisp11.so"] + tail
    runners = {"pinned": lambda: run_for_value(setup, pinned, "ns_to_hello", stdin_pin=False)}
    try:
        run_for_value(setup, known, "ns_to_hello", stdin_pin=False)
        runners["known"] = lambda: run_for_value(setup, known, "ns_to_hello", stdin_pin=False)
    except Failed as failure:
        notes.append(f"start-up with a well-known module not measured: {failure}")
    results = alternate(rounds, runners)
    known_ok = "known" in results
    pinned = median(results["pinned"])
    add_row("start-up to the protocol-3 Hello frame, module pinned (hashed, "
            f"{os.path.getsize(setup.module) >> 10} KiB) vs well-known",
            ms(pinned), ms(median(results["known"])) if known_ok else "",
            paired_ratio(results, "pinned", "known") if known_ok else None, "", None)
    return known_ok


def micro(setup, with_known):
    env = setup.environment()
    env["BENCH_HOME"] = setup.home
    env["BENCH_PINNED_MODULE"] = setup.module
    argv = [setup.program("bench-micro"), "--benchmark_format=json",
            f"--benchmark_repetitions={3 if setup.quick else 5}",
            "--benchmark_report_aggregates_only=true",
            f"--benchmark_min_time={0.02 if setup.quick else 0.1}"]
    if with_known:
        env["BENCH_KNOWN_MODULE"] = "/opt/akis/libakisp11.so"
        argv = [setup.known_wrapper, setup.module] + argv
    done = subprocess.run(argv, capture_output=True, env=env)
    if done.returncode != 0:
        raise Failed(f"bench-micro failed: {done.stderr.decode(errors='replace')[-400:]}")
    report = json.loads(done.stdout)
    labels = {
        "BM_policy_pinned": "policy evaluation, pinned module (settings read, module hashed)",
        "BM_policy_well_known": "policy evaluation, well-known module",
        "BM_audit_rejection": "one audit rejection (message, open, size and age test, append)",
    }
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median" or b.get("error_occurred"):
            continue
        name = b["run_name"]
        unit = b["time_unit"]
        value = b["real_time"]
        ns = value * {"ns": 1, "us": 1e3, "ms": 1e6}[unit]
        figure = us(ns) if ns >= 10_000 else f"{ns:.0f} ns"
        label = labels.get(name, f"micro: {name.removeprefix('BM_').replace('_', ' ')}")
        add_row(label, figure, "", None, "", None)


def print_table(elapsed, quick):
    print("| measurement | sign-cli | reference | ratio | target | |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    for note in notes:
        print(f"\nnote: {note}")
    print(f"\n(all figures medians; whole run {elapsed:.0f} s"
          f"{', quick' if quick else ''})")


def main():
    setup = Setup.from_environment()
    started = time.monotonic()
    quick = setup.quick
    steps = [
        ("protocol 3 throughput, P-256",
         lambda: session_throughput(setup, "ec-p256", setup.ec_id, 300 if quick else 2000,
                                    1 if quick else 3, 100)),
        ("protocol 3 throughput, RSA-2048",
         lambda: session_throughput(setup, "rsa", setup.rsa_id, 50 if quick else 300,
                                    1 if quick else 3, 25)),
        ("protocol 2 whole process", lambda: protocol2_process(setup, 5 if quick else 21)),
        ("module hashing", lambda: module_hashing(setup, 3 if quick else 7, 64 if quick else 256)),
    ]
    for title, step in steps:
        print(f"bench: {title}", file=sys.stderr, flush=True)
        step()
    print("bench: start-up", file=sys.stderr, flush=True)
    with_known = start_up(setup, 7 if quick else 21)
    print("bench: micro-benchmarks", file=sys.stderr, flush=True)
    micro(setup, with_known)
    print_table(time.monotonic() - started, quick)


if __name__ == "__main__":
    try:
        main()
    except Failed as failure:
        print(f"bench: {failure}", file=sys.stderr)
        sys.exit(1)
