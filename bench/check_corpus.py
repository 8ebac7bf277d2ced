#!/usr/bin/env python3
"""Checks the corpus generator before the benchmark trusts its corpora.

usage: check_corpus.py GENERATOR SCRATCH_DIR

Generates small corpora into SCRATCH_DIR and checks what the benchmark relies
on: the same arguments give the same bytes and another seed other bytes; the
file is exactly the size asked for; it is valid UTF-8 with no NUL, every CR is
followed by LF (CR LF corpus) or there is no CR at all (LF corpus); the LF
corpus is the CR LF corpus with LF line ends; line lengths, empty lines and
the shares of the needles' lines are as documented; every non-empty line
holds the every-line needle and no line the no-match needle.
Exits non-zero, naming the first failed check.
"""
import os
import subprocess
import sys


def fail(message):
    print("check_corpus: FAILED: " + message, file=sys.stderr)
    sys.exit(1)


def generate(generator, path, size, *options):
    subprocess.run([generator, *options, str(size), path], check=True,
                   stderr=subprocess.DEVNULL)
    with open(path, "rb") as f:
        return f.read()


def share(lines, predicate):
    return sum(1 for line in lines if predicate(line)) / len(lines)


def expect_share(name, value, low, high):
    if not low <= value <= high:
        fail(f"share of {name} lines is {value:.4%}, expected {low:.2%} to {high:.2%}")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    generator, scratch = sys.argv[1], sys.argv[2]
    os.makedirs(scratch, exist_ok=True)
    needles = {}
    out = subprocess.run([generator, "--needles"], check=True, capture_output=True).stdout
    for row in out.decode("utf-8").splitlines():
        name, text = row.split("\t", 1)
        needles[name] = text.encode("utf-8")
    cjk = needles["cjk128"]
    if len(cjk.decode("utf-8")) != 128 or len(cjk) != 384:
        fail("the long needle is not 128 three-byte characters")

    size = 8 * 1024 * 1024 + 12345
    base = os.path.join(scratch, "selfcheck")
    crlf = generate(generator, base + "-a.txt", size)
    again = generate(generator, base + "-b.txt", size)
    other = generate(generator, base + "-c.txt", size, "--seed", "7")
    lf = generate(generator, base + "-lf.txt", size, "--lf")
    utf16 = generate(generator, base + "-utf16.txt", size, "--utf16le")
    small = generate(generator, base + "-small.txt", 4096)
    for suffix in ("-a.txt", "-b.txt", "-c.txt", "-lf.txt", "-utf16.txt", "-small.txt"):
        os.remove(base + suffix)

    if crlf != again:
        fail("the same arguments gave different bytes")
    if crlf == other or crlf[:4096] == other[:4096]:
        fail("another seed gave the same bytes")
    for name, data, want in (("CR LF", crlf, size), ("LF", lf, size), ("small", small, 4096)):
        if len(data) != want:
            fail(f"{name} corpus is {len(data)} bytes, asked for {want}")
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as e:
            fail(f"{name} corpus is not valid UTF-8: {e}")
        if b"\0" in data:
            fail(f"{name} corpus holds a NUL byte")
    if crlf.count(b"\r") != crlf.count(b"\r\n") or crlf.count(b"\n") != crlf.count(b"\r\n"):
        fail("CR LF corpus has a lone CR or a bare LF")
    if not crlf.endswith(b"\r\n") or not small.endswith(b"\r\n"):
        fail("CR LF corpus does not end with CR LF")
    if b"\r" in lf or not lf.endswith(b"\n"):
        fail("LF corpus holds a CR or does not end with LF")
    # The UTF-16 LE corpus is the CR LF log after one byte order mark, as
    # Python's codecs read it.
    if not utf16.startswith(b"\xff\xfe") or utf16[2:].decode("utf-16-le") != crlf.decode("utf-8"):
        fail("UTF-16 LE corpus is not the CR LF corpus in UTF-16 LE after FF FE")
    if utf16.decode("utf-16").encode("utf-16-le") != utf16[2:]:
        fail("UTF-16 LE corpus is not read back by Python's utf-16 codec")
    if b"\r\n\r\n\r\n" in crlf:
        fail("CR LF corpus holds a run of empty lines")

    lines = crlf[:-2].split(b"\r\n")
    # The LF corpus has the same lines; its tail lines are cut to other
    # lengths since its line ends are shorter.
    lf_lines = lf[:-1].split(b"\n")
    if lf_lines[:len(lines) - 20] != lines[:len(lines) - 20]:
        fail("LF corpus does not hold the CR LF corpus's lines")

    empty = share(lines, lambda line: not line)
    expect_share("empty", empty, 0.0001, 0.002)
    full = [line for line in lines if line]
    long_lines = [line for line in full if len(line) > 200]
    if any(cjk not in line and cjk[:255] not in line for line in long_lines):
        fail("a line longer than 200 bytes carries no long needle")
    if min(len(line) for line in full) < 20:
        fail("a line is shorter than 20 bytes")
    if any(needles["everyline"] not in line for line in full):
        fail("a non-empty line lacks the every-line needle")
    if any(needles["nomatch"] in line for line in lines):
        fail("the no-match needle occurs")
    expect_share("ERROR", share(lines, lambda l: needles["error"] in l), 0.09, 0.11)
    expect_share("error/Error only",
                 share(lines, lambda l: b"ERROR" not in l and b"error" in l.lower()), 0.015, 0.025)
    expect_share("Chinese", share(lines, lambda l: any(b >= 0x80 for b in l)), 0.045, 0.06)
    expect_share("one-byte needle", share(lines, lambda l: needles["onebyte"] in l), 0.15, 0.25)
    expect_share("long needle", share(lines, lambda l: cjk in l), 0.0005, 0.0015)
    expect_share("near miss", share(lines, lambda l: cjk not in l and cjk[:255] in l),
                 0.0005, 0.0015)
    print(f"check_corpus: generator OK ({len(lines)} lines checked; deterministic, exact size, "
          "valid UTF-8, line ends and needle shares as documented)")


if __name__ == "__main__":
    main()
