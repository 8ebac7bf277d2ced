#!/usr/bin/env python3
"""Draws the benchmark's results as a bar chart (SVG, standard library only).

usage: chart.py RESULTS_JSON OUTPUT_SVG

Left panel: median wall time per tool and case, with the value and the ratio
to cp at each bar's end. Right panel: peak resident memory. Both panels use
one scale across all cases, so bars compare between cases too.
"""
import json
import math
import sys
from xml.sax.saxutils import escape

COLORS = {
    "quorvane (RunStrip)": "#1f5fa8",
    "quorvane, exports exist (fsync)": "#8ab4e3",
    "cp (floor)": "#6b6b6b",
    "grep -F + grep -vF": "#2e9a45",
    "rg -F + rg -vF": "#e07b1a",
    "gawk one-pass split": "#8e5cb8",
    "quorvane under Wine": "#1f5fa8",
    "CopyFileW under Wine": "#6b6b6b",
}
FONT = "DejaVu Sans, Verdana, Arial, sans-serif"

NAME_X = 20            # tool names start here
TIME_X0 = 270          # time panel's zero
TIME_W = 500
MEM_X0 = 930           # memory panel's zero
MEM_W = 220
WIDTH = MEM_X0 + MEM_W + 90
BAR_H = 15
BAR_GAP = 4
CASE_TITLE_H = 26
CASE_GAP = 14
TOP = 120


def nice_step(maximum, ticks=5):
    raw = maximum / ticks
    power = 10 ** math.floor(math.log10(raw))
    for factor in (1, 2, 2.5, 5, 10):
        if raw <= factor * power:
            return factor * power
    return 10 * power


def fmt_tick(value):
    return f"{value:g}"


def text(x, y, content, size=12, anchor="start", weight="normal", fill="#222"):
    return (f'<text x="{x:.1f}" y="{y:.1f}" font-family="{FONT}" font-size="{size}" '
            f'text-anchor="{anchor}" font-weight="{weight}" fill="{fill}">{escape(content)}</text>')


def ticks(maximum, step):
    count = int(round(maximum / step))
    return [step * i for i in range(count + 1)]


def axis(out, x0, width, maximum, step, y_top, y_bottom, label):
    """Tick labels above and below the panel, and the panel's title."""
    for value in ticks(maximum, step):
        x = x0 + width * value / maximum
        out.append(text(x, y_top - 6, fmt_tick(value), 11, "middle", fill="#555"))
        out.append(text(x, y_bottom + 15, fmt_tick(value), 11, "middle", fill="#555"))
    out.append(text(x0 + width / 2, y_top - 24, label, 13, "middle", "bold"))


def grid(out, x0, width, maximum, step, y_top, y_bottom):
    """Grid lines and the zero line behind one case's bars."""
    for value in ticks(maximum, step):
        x = x0 + width * value / maximum
        out.append(f'<line x1="{x:.1f}" y1="{y_top}" x2="{x:.1f}" y2="{y_bottom}" '
                   f'stroke="#ddd" stroke-width="1"/>')
    out.append(f'<line x1="{x0}" y1="{y_top}" x2="{x0}" y2="{y_bottom}" stroke="#333"/>')


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    with open(sys.argv[1]) as f:
        results = json.load(f)
    cases = list(results["cases"])
    if "wine" in results:
        # The run under Wine: the real dialog against CopyFileW, on the
        # CR LF corpus with "ERROR". Wine reports no memory figure here.
        w = results["wine"]
        cases.append({"title": 'Under Wine: the real dialog (MainDialogProc) against CopyFileW, '
                               'CR LF corpus, "ERROR"',
                      "rows": [
                          {"tool": "quorvane under Wine", "median_s": w["strip_s"],
                           "x_cp": w["strip_s"] / w["copy_s"], "peak_mib": None},
                          {"tool": "CopyFileW under Wine", "median_s": w["copy_s"], "x_cp": 1.0,
                           "peak_mib": None}]})

    max_time = max(row["median_s"] for case in cases for row in case["rows"])
    max_mem = max(row["peak_mib"] for case in cases for row in case["rows"]
                  if row["peak_mib"] is not None)
    time_step = nice_step(max_time, 8)
    mem_step = nice_step(max_mem, 4)
    time_max = time_step * math.ceil(max_time / time_step)
    mem_max = mem_step * math.ceil(max_mem / mem_step)

    body = []
    y = TOP
    for case in cases:
        body.append(text(NAME_X, y + 17, case["title"], 13, weight="bold"))
        y += CASE_TITLE_H
        rows_height = len(case["rows"]) * (BAR_H + BAR_GAP)
        grid(body, TIME_X0, TIME_W, time_max, time_step, y - 3, y + rows_height)
        grid(body, MEM_X0, MEM_W, mem_max, mem_step, y - 3, y + rows_height)
        for row in case["rows"]:
            color = COLORS.get(row["tool"], "#444")
            mid = y + BAR_H / 2 + 4
            weight = "bold" if row["tool"] in ("quorvane (RunStrip)", "quorvane under Wine") else "normal"
            body.append(text(NAME_X + 12, mid, row["tool"], 12, weight=weight))
            w = TIME_W * row["median_s"] / time_max
            body.append(f'<rect x="{TIME_X0}" y="{y}" width="{max(w, 1):.1f}" height="{BAR_H}" '
                        f'fill="{color}"/>')
            floor = "CopyFileW" if "Wine" in row["tool"] else "cp"
            body.append(text(TIME_X0 + w + 5, mid,
                             f"{row['median_s']:.3f} s  ({row['x_cp']:.1f}× {floor})", 11, fill="#333"))
            mib = row["peak_mib"]
            if mib is not None:
                w = MEM_W * mib / mem_max
                body.append(f'<rect x="{MEM_X0}" y="{y}" width="{max(w, 1):.1f}" height="{BAR_H}" '
                            f'fill="{color}"/>')
                body.append(text(MEM_X0 + w + 5, mid, f"{mib:.1f}" if mib < 10 else f"{mib:.0f}",
                                 11, fill="#333"))
            else:
                body.append(text(MEM_X0 + 5, mid, "not measured", 11, fill="#777"))
            y += BAR_H + BAR_GAP
        y += CASE_GAP
    bottom = y - CASE_GAP + 4

    head = []
    head.append(text(NAME_X, 30, f"Splitting a {results['size_label']} log into the lines with and "
                     "without a needle (lower is better)", 17, weight="bold"))
    head.append(text(NAME_X, 52, f"Median wall time of {results['runs']} warm runs and peak resident "
                     f"memory; {results['machine']['cpu']}, {results['date']}", 12, fill="#444"))
    axis(head, TIME_X0, TIME_W, time_max, time_step, TOP - 4, bottom,
         "wall time, median (seconds)")
    axis(head, MEM_X0, MEM_W, mem_max, mem_step, TOP - 4, bottom, "peak memory (MiB)")

    # Legend under the panels.
    legend_y = bottom + 44
    x = NAME_X
    tools = []
    for case in cases:
        for row in case["rows"]:
            if row["tool"] not in tools and "Wine" not in row["tool"]:
                tools.append(row["tool"])
    for tool in tools:
        head.append(f'<rect x="{x}" y="{legend_y - 11}" width="14" height="14" '
                    f'fill="{COLORS.get(tool, "#444")}"/>')
        head.append(text(x + 19, legend_y + 1, tool, 12))
        x += 19 + 7.2 * len(tool) + 26
    height = legend_y + 24

    svg = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
           f'viewBox="0 0 {WIDTH} {height}">',
           f'<rect width="{WIDTH}" height="{height}" fill="white"/>']
    svg += head + body
    svg.append("</svg>")
    with open(sys.argv[2], "w") as f:
        f.write("\n".join(svg) + "\n")


if __name__ == "__main__":
    main()
