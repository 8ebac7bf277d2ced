#!/usr/bin/env python3
"""The worst cases: inputs that are odd but real (a user's file, a search
text as long as the field takes), each timed against cp of the same file at
two sizes, so that both the cost and its growth show. Every run's exports are
checked against the reference models the native tests prove the line pass by.

    bench/worst.py --build build/native --scratch DIR [--size 8M] [--runs 3]
                   [--markdown docs/bench.md] [--only NAME,...]

The corpora are made here, deterministically, at SIZE and twice SIZE.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

MARK_BEGIN = '<!-- worst cases: bench/run --worst writes this part -->'
MARK_END = '<!-- end of worst cases -->'

WORDS_ZH = ['伺服器', '連線', '逾時', '使用者', '登入', '成功', '資料庫', '查詢', '完成', '檔案', '已儲存',
            '記憶體', '不足', '重新', '啟動', '設定', '載入', '網路', '中斷', '請求']
WORDS_EN = ['server', 'request', 'user', 'login', 'ok', 'cache', 'disk', 'queue', 'retry', 'timeout']
LONG_ASCII = 'connection to the primary database timed'   # 41 characters
LONG_ZH = '伺服器連線逾時使用者登入失敗資料庫查詢未完成檔案無法儲存記憶體不足需要重新啟動設定'  # 40


def chinese_log(size, seed):
    """A Traditional Chinese log of about size UTF-8 bytes, CR LF lines."""
    rnd = random.Random(seed)
    lines = []
    total = 0
    i = 0
    while total < size:
        words = [rnd.choice(WORDS_ZH if rnd.random() < 0.7 else WORDS_EN) for _ in range(rnd.randint(4, 12))]
        if i % 7 == 0:
            words.insert(rnd.randint(0, len(words)), 'ERROR')
        if i % 11 == 0:
            words.insert(rnd.randint(0, len(words)), '錯誤')
        if i % 97 == 0:
            words.append(LONG_ASCII if i % 2 else LONG_ZH)
        line = '2026-12-09 %02d:%02d:%02d ' % (i // 3600 % 24, i // 60 % 60, i % 60) + ' '.join(words) + '\r\n'
        lines.append(line)
        total += len(line.encode('utf-8'))
        i += 1
    return ''.join(lines)


def accented_log(size, seed):
    """Lines of emoji and accented letters, for UTF-16 ignoring case."""
    rnd = random.Random(seed)
    pieces = ['café', 'CAFÉ', 'naïve', 'Ærø', 'Straße', 'ÉCOLE', 'übung', '😀', '🎉', '👍🏽', 'Ωμέγα', 'ok']
    lines = []
    total = 0
    while total < size:
        line = ' '.join(rnd.choice(pieces) for _ in range(rnd.randint(3, 10))) + '\r\n'
        lines.append(line)
        total += 2 * len(line)
    return ''.join(lines)


def utf16le(text):
    return b'\xff\xfe' + text.encode('utf-16-le')


def walk_back(size, seed):
    """Lines the code page's rules find, between lines they do not, before
    one long line whose only non-ASCII character is at its end."""
    half = size // 2
    head = []
    total = 0
    i = 0
    while total < half:
        line = 'ok %d\r\nERROR %d\r\n' % (i, i)
        head.append(line)
        total += len(line)
        i += 1
    return (''.join(head) + 'x' * (size - total - 4) + 'é\r\n').encode('utf-8')


def far_hit(size, seed):
    """Lines the segments' walk finds (a Kelvin sign for K), then one long
    line whose search text stands at its end, over and over: the line the
    text stands in is looked for once, not once for each line found before."""
    block = 'x \u00e9\u212ao y\r\n' * 10000 + 'a' * 250000 + ' \u00c9KO\r\n'
    return utf16le(block * max(1, size // (2 * len(block))))


def runs_of_one_byte(size, seed):
    rnd = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        out += b'Z' * (250 + rnd.randint(0, 4)) + rnd.choice([b'y', b'\r\n'])
    return bytes(out[:size])


def short_lines(line):
    def make(size, seed):
        return line * (size // len(line))
    return make


CASES = [
    # name, corpus maker, search text, options
    ('utf8-rule-walk-back', walk_back, 'error', ['--ignore-case', '--code-page-stand-in']),
    ('utf8-rule-zh-ascii-short', lambda s, r: chinese_log(s, r).encode('utf-8'), 'error',
     ['--ignore-case', '--code-page-stand-in']),
    ('utf8-rule-zh-ascii-long', lambda s, r: chinese_log(s, r).encode('utf-8'), LONG_ASCII,
     ['--ignore-case', '--code-page-stand-in']),
    ('utf8-rule-zh-chinese-short', lambda s, r: chinese_log(s, r).encode('utf-8'), '錯誤',
     ['--ignore-case', '--code-page-stand-in']),
    ('utf8-rule-zh-chinese-long', lambda s, r: chinese_log(s, r).encode('utf-8'), LONG_ZH,
     ['--ignore-case', '--code-page-stand-in']),
    ('utf8-zh-ascii-long', lambda s, r: chinese_log(s, r).encode('utf-8'), LONG_ASCII, ['--ignore-case']),
    ('big5-zh-ascii-short', lambda s, r: chinese_log(s * 4 // 3, r).encode('cp950'), 'error',
     ['--ignore-case', '--code-page-stand-in']),
    ('utf16-zh-ascii-short', lambda s, r: utf16le(chinese_log(s // 2, r)), 'error', ['--ignore-case']),
    ('utf16-zh-ascii-long', lambda s, r: utf16le(chinese_log(s // 2, r)), LONG_ASCII, ['--ignore-case']),
    ('utf16-zh-chinese-short', lambda s, r: utf16le(chinese_log(s // 2, r)), '錯誤', ['--ignore-case']),
    ('utf16-zh-chinese-long', lambda s, r: utf16le(chinese_log(s // 2, r)), LONG_ZH, ['--ignore-case']),
    ('utf16-accented-emoji', lambda s, r: utf16le(accented_log(s, r)), 'café', ['--ignore-case']),
    ('utf8-accented-ascii', lambda s, r: accented_log(s * 5 // 3, r).encode('utf-8'), 'error',
     ['--ignore-case', '--code-page-stand-in']),
    ('utf16-letters-before-far-hit', far_hit, '\u00e9ko', ['--ignore-case']),
    ('utf8-accented-accented', lambda s, r: accented_log(s * 5 // 3, r).encode('utf-8'), 'café',
     ['--ignore-case', '--code-page-stand-in']),
    ('log-needle-of-one-byte', lambda s, r: chinese_log(s, r).encode('utf-8'), 'zz', []),
    ('one-byte-run-needle-y', lambda s, r: b'Z' * s, 'Z' * 254 + 'y', []),
    ('one-byte-runs-needle-all', runs_of_one_byte, 'Z' * 255, []),
    ('one-long-line', lambda s, r: b'x' * s, 'ERROR', []),
    ('utf16-one-long-line', lambda s, r: utf16le('x' * (s // 2)), 'error', ['--ignore-case']),
    # The needle's bytes stand between every two units of the text.
    ('utf16-needle-between-units', lambda s, r: utf16le(('q' * 4000 + '\r\n') * (s // 8004)), '\u7100' * 200, []),
    ('lines-1-byte-lf', short_lines(b'a\n'), 'ERROR', []),
    ('lines-1-byte-cr', short_lines(b'a\r'), 'ERROR', []),
    ('lines-1-byte-nul', short_lines(b'a\0'), 'ERROR', []),
    ('lines-2-bytes-crlf', short_lines(b'ab\r\n'), 'ERROR', []),
    ('lines-empty-cr', short_lines(b'\r'), 'ERROR', []),
]


def parse_size(text):
    units = {'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30}
    return int(text[:-1]) * units[text[-1]] if text[-1] in units else int(text)


def timed_once(argv, outputs):
    # Each run writes new files, as cp does: what an earlier run left is
    # removed first, outside the time.
    for path in outputs:
        if os.path.exists(path):
            os.remove(path)
    start = time.perf_counter()
    subprocess.run(argv, check=True)
    return time.perf_counter() - start


def timed_in_turn(tools, runs):
    # cp and the run in turn, round after round, so that a spell when the
    # machine is busy falls on both; the median of each.
    times = [[] for _ in tools]
    for _ in range(runs):
        for k, (argv, outputs) in enumerate(tools):
            times[k].append(timed_once(argv, outputs))
    return [statistics.median(t) for t in times]


def measure(args, case, size, seed, with_rg=False):
    name, make, needle, options = case
    source = os.path.join(args.scratch, '%s-%d.src' % (name, size))
    if not os.path.exists(source):
        with open(source, 'wb') as f:
            f.write(make(size, seed))
    copy = os.path.join(args.scratch, 'copy')
    without = os.path.join(args.scratch, 'without')
    with_ = os.path.join(args.scratch, 'with')
    harness = os.path.join(args.build, 'bench', 'quorvane_bench_harness')
    check = os.path.join(args.build, 'bench', 'quorvane_bench_worst_check')
    tools = [(['cp', source, copy], [copy]),
             ([harness, source, needle, without, with_] + options, [without, with_])]
    if with_rg:
        # ripgrep's two passes, the lines with the text and those without,
        # as the reference of what a fast search engine takes for the same
        # split (its own rules: Unicode's case folding, LF line ends, a
        # UTF-16 file read after its byte order mark).
        script = ('rg --no-config -a -F %s -e "$1" -- "$2" > "$3"; rg --no-config -a -F -v %s -e "$1" -- "$2" > "$4"; '
                  'exit 0') % (('-i',) * 2 if '--ignore-case' in options else ('',) * 2)
        tools.append((['sh', '-c', script, 'sh', needle, source, with_ + '.rg', without + '.rg'],
                      [with_ + '.rg', without + '.rg']))
    times = timed_in_turn(tools, args.runs)
    checked = subprocess.run([check, source, needle, without, with_] + options).returncode == 0
    for path in (copy, without, with_, with_ + '.rg', without + '.rg'):
        if os.path.exists(path):
            os.remove(path)
    return {'bytes': os.path.getsize(source), 'cp': times[0], 'run': times[1],
            'rg': times[2] if with_rg else None, 'checked': checked}


def render(results, size, runs):
    lines = [MARK_BEGIN, '', '## Worst cases', '',
             'Made by `bench/run --worst`: each odd but real input at %s and twice that, the strip run '
             '(both exports, new files) against `cp` of the same file, run in turn, medians of %d runs; the exports checked '
             'against the reference models of the native tests. Goal: every case within 4 × cp, and within '
             '2.2 × its own time when the file doubles. At the larger size, ripgrep\'s two passes over the same file '
             '(`rg -F` and `rg -vF`, with `-i` where the case ignores case) in the same turns, for what a fast search '
             'engine takes for the same split.' % (size_label(size), runs), '',
             '| case | size | cp | run | × cp | size | cp | run | × cp | rg pair | × cp | growth | exports |',
             '|---|---|---|---|---|---|---|---|---|---|---|---|---|']
    for name, small, large in results:
        growth = large['run'] / small['run'] if small['run'] > 0 else 0
        lines.append('| %s | %s | %.3f s | %.3f s | %.1f | %s | %.3f s | %.3f s | %.1f | %.3f s | %.1f | %.2f | %s |' % (
            name, size_label(small['bytes']), small['cp'], small['run'], small['run'] / small['cp'],
            size_label(large['bytes']), large['cp'], large['run'], large['run'] / large['cp'],
            large['rg'], large['rg'] / large['cp'], growth,
            'as the reference' if small['checked'] and large['checked'] else 'DIFFER'))
    lines += ['', MARK_END]
    return '\n'.join(lines) + '\n'


def size_label(size):
    return '%.0f MiB' % (size / (1 << 20)) if size >= (1 << 20) else '%d KiB' % (size >> 10)


def write_markdown(path, table):
    text = open(path, encoding='utf-8').read() if os.path.exists(path) else ''
    if MARK_BEGIN in text and MARK_END in text:
        before = text[:text.index(MARK_BEGIN)]
        after = text[text.index(MARK_END) + len(MARK_END):].lstrip('\n')
        text = before + table + ('\n' + after if after else '')
    else:
        text = text.rstrip('\n') + '\n\n' + table
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True)
    parser.add_argument('--scratch', required=True)
    parser.add_argument('--size', default='8M')
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--markdown')
    parser.add_argument('--only')
    args = parser.parse_args()
    os.makedirs(args.scratch, exist_ok=True)
    size = parse_size(args.size)
    only = set(args.only.split(',')) if args.only else None
    results = []
    failed = False
    for case in CASES:
        if only and case[0] not in only:
            continue
        small = measure(args, case, size, 1)
        large = measure(args, case, 2 * size, 1, with_rg=True)
        results.append((case[0], small, large))
        failed = failed or not (small['checked'] and large['checked'])
        print('%-28s %6.1f × cp  %6.1f × cp  rg pair %6.1f × cp  growth %.2f  %s' % (
            case[0], small['run'] / small['cp'], large['run'] / large['cp'], large['rg'] / large['cp'],
            large['run'] / small['run'],
            'ok' if small['checked'] and large['checked'] else 'EXPORTS DIFFER'), flush=True)
    table = render(results, size, args.runs)
    if args.markdown:
        write_markdown(args.markdown, table)
    else:
        sys.stdout.write(table)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
