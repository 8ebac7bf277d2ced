#!/usr/bin/python3
"""Draws the benchmark's results as a bar chart with matplotlib.

usage: chart.py RESULTS_JSON OUTPUT...   (each OUTPUT .png or .svg)

Left panel: median wall time per tool and case, with the value and the ratio
to cp at each bar's end. Right panel: peak resident memory. Both panels use
one scale across all cases, so bars compare between cases too.
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402
from matplotlib.ticker import MaxNLocator  # noqa: E402

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
OURS = ("quorvane (RunStrip)", "quorvane under Wine")

# Layout in inches: tool names, then the time panel, then the memory panel.
WIDTH = 12.4
NAME_X = 0.2
TIME_X0, TIME_W = 2.7, 5.0
MEM_X0, MEM_W = 9.3, 2.2
ROW_H = 0.19           # one bar and its gap
CASE_TITLE_H = 0.26
CASE_GAP = 0.14
TOP = 1.2              # title, subtitle, panel titles, top tick labels
BOTTOM = 0.75          # bottom tick labels and the legend


def scale(maximum, bins):
    """Ticks at round steps from 0 to the first one at or past maximum."""
    ticks = [t for t in MaxNLocator(nbins=bins, steps=[1, 2, 2.5, 5, 10]).tick_values(0, maximum)
             if t >= 0]
    end = next(t for t in ticks if t >= maximum)
    return [t for t in ticks if t <= end]


def with_wine(results):
    """The cases, and the run under Wine as one more case (the peak memory of
    the whole process, where the run reported it; none for CopyFileW)."""
    cases = list(results["cases"])
    if "wine" in results:
        w = results["wine"]
        cases.append({"title": 'Under Wine: the real dialog (MainDialogProc) against CopyFileW, '
                               'CR LF corpus, "ERROR"',
                      "rows": [
                          {"tool": "quorvane under Wine", "median_s": w["strip_s"],
                           "x_cp": w["strip_s"] / w["copy_s"], "peak_mib": w.get("peak_mib")},
                          {"tool": "CopyFileW under Wine", "median_s": w["copy_s"], "x_cp": 1.0,
                           "peak_mib": None}]})
    return cases


def axes(fig, left, width, bottom, height, ticks):
    ax = fig.add_axes([left / WIDTH, bottom, width / WIDTH, height])
    ax.set_xlim(0, ticks[-1])
    ax.set_xticks(ticks)
    ax.tick_params(axis="x", length=0, labelsize=8.5, labelcolor="#555555")
    return ax


def top_scale(fig, left, width, bottom, ticks):
    """The panel's tick labels above its first case."""
    ax = axes(fig, left, width, bottom, 0.0001, ticks)
    ax.set_yticks([])
    ax.tick_params(axis="x", labeltop=True, labelbottom=False)
    for spine in ax.spines.values():
        spine.set_visible(False)


def panel(fig, left, width, bottom, height, ticks, rows, last):
    """One case's axes in one panel: shared scale, grid, zero line, tick labels under the last."""
    ax = axes(fig, left, width, bottom, height, ticks)
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.set_yticks([])
    ax.grid(axis="x", color="#dddddd", linewidth=0.8)
    ax.set_axisbelow(True)
    for side in ("top", "right", "bottom"):
        ax.spines[side].set_visible(False)
    ax.spines["left"].set_color("#333333")
    ax.tick_params(axis="x", labelbottom=last)
    return ax


def value_label(ax, x, y, text, color="#333333"):
    ax.annotate(text, (x, y), xytext=(4, 0), textcoords="offset points", va="center",
                fontsize=8.5, color=color, annotation_clip=False)


def draw(results):
    cases = with_wine(results)
    rows_all = [row for case in cases for row in case["rows"]]
    time_ticks = scale(max(row["median_s"] for row in rows_all), 8)
    mem_ticks = scale(max(row["peak_mib"] for row in rows_all if row["peak_mib"] is not None), 4)

    body = sum(CASE_TITLE_H + ROW_H * len(case["rows"]) for case in cases)
    height = TOP + body + CASE_GAP * (len(cases) - 1) + BOTTOM
    fig = plt.figure(figsize=(WIDTH, height))

    def fy(inches_from_top):
        return 1 - inches_from_top / height

    fig.text(NAME_X / WIDTH, fy(0.32), f"Splitting a {results['size_label']} log into the lines "
             "with and without a needle (lower is better)", fontsize=14, weight="bold")
    fig.text(NAME_X / WIDTH, fy(0.55), f"Median wall time of {results['runs']} warm runs and peak "
             f"resident memory; {results['machine']['cpu']}, {results['date']}",
             fontsize=9.5, color="#444444")
    for x0, w, label, ticks in ((TIME_X0, TIME_W, "wall time, median (seconds)", time_ticks),
                                (MEM_X0, MEM_W, "peak memory (MiB)", mem_ticks)):
        fig.text((x0 + w / 2) / WIDTH, fy(TOP - 0.42), label, ha="center", fontsize=10,
                 weight="bold")
        top_scale(fig, x0, w, fy(TOP - 0.1), ticks)

    y = TOP
    for n, case in enumerate(cases):
        rows = case["rows"]
        fig.text(NAME_X / WIDTH, fy(y + 0.19), case["title"], fontsize=10, weight="bold")
        y += CASE_TITLE_H
        h = ROW_H * len(rows)
        last = n == len(cases) - 1
        t_ax = panel(fig, TIME_X0, TIME_W, fy(y + h), h / height, time_ticks, rows, last)
        m_ax = panel(fig, MEM_X0, MEM_W, fy(y + h), h / height, mem_ticks, rows, last)
        for i, row in enumerate(rows):
            color = COLORS.get(row["tool"], "#444444")
            fig.text((NAME_X + 0.15) / WIDTH, fy(y + ROW_H * (i + 0.5)), row["tool"],
                     va="center", fontsize=9, weight="bold" if row["tool"] in OURS else "normal")
            t_ax.barh(i, row["median_s"], height=0.78, color=color)
            floor = "CopyFileW" if "Wine" in row["tool"] else "cp"
            value_label(t_ax, row["median_s"], i,
                        f"{row['median_s']:.3f} s  ({row['x_cp']:.1f}× {floor})")
            mib = row["peak_mib"]
            if mib is None:
                value_label(m_ax, 0, i, "not measured", "#777777")
            else:
                m_ax.barh(i, mib, height=0.78, color=color)
                value_label(m_ax, mib, i, f"{mib:.1f}" if mib < 10 else f"{mib:.0f}")
        y += h + CASE_GAP

    tools = list(dict.fromkeys(row["tool"] for row in rows_all if "Wine" not in row["tool"]))
    fig.legend(handles=[Patch(color=COLORS.get(t, "#444444"), label=t) for t in tools],
               loc="lower left", bbox_to_anchor=(NAME_X / WIDTH, 0.08 / height), ncol=len(tools),
               frameon=False, fontsize=9, handlelength=1.2, columnspacing=2.2)
    return fig


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    with open(sys.argv[1]) as f:
        results = json.load(f)
    # The same results give the same files: no date in the SVG, fixed ids.
    plt.rcParams["svg.hashsalt"] = "quorvane-bench"
    plt.rcParams["svg.fonttype"] = "none"
    fig = draw(results)
    for path in sys.argv[2:]:
        metadata = {"Date": None} if path.endswith(".svg") else None
        fig.savefig(path, dpi=100, facecolor="white", metadata=metadata)


if __name__ == "__main__":
    main()
