"""Checks an archive of videos, on Dask, and writes a report a person can read.

    python3 -m clipwalk.check PATHS... [--scheduler ADDRESS] [--report DIR] [--samples N]

For each file: its frames counted by reading the packets and by decoding (where they differ,
the decoder drops or adds pictures that the packets promise: damage), and a sample of frames
landed on by number, each walked a few frames forward and back again, which must give the
same stamps and pixels. Writes DIR/report.json and DIR/report.html (files with problems
first, a strip of thumbnails around each file's first problem). Exits 0 when every file
passes, 1 otherwise; a file that cannot be opened is a row of its own.
"""

import argparse
import base64
import html
import json
import logging
import os
import struct
import sys
import zlib

import numpy

from . import Error
from ._video import open as _open

_log = logging.getLogger("clipwalk.check")

# Frames of a round trip, each way, and the longer side of a thumbnail.
_WALK = 3
_THUMB_SIDE = 96
# Verdicts, in the order the report lists them: problems first.
_ORDER = {"cannot open": 0, "cannot count": 0, "check failed": 0, "round trip failed": 1,
          "counts differ": 2, "pass": 3}


def png(pixels):
    """A PNG file of an (h, w, 3) uint8 array."""
    height, width = pixels.shape[:2]
    raw = b"".join(b"\0" + pixels[row].tobytes() for row in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0,
                                                             0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def _thumbnails(path, numbers):
    """Small frames of those numbers, as data: URLs of PNG pictures."""
    with _open(path, max_side=_THUMB_SIDE, index_dir=None, count="decode", threads=1) as video:
        numbers = [n for n in numbers if 0 <= n < len(video)]
        frames = video.get_frames_at(numbers)
    return [{"index": f.index, "seconds": f.seconds,
             "png": "data:image/png;base64," + base64.b64encode(png(f.data)).decode()}
            for f in frames]


def _round_trip(video, number, stamps):
    """None where frame `number` has the counted stamp and walking a few frames away from it
    and back again retraces the same stamps and pixels, else why not. The walk goes forward,
    or back where the end is too near."""
    def misplaced(frame, expected):
        return frame.index != expected or abs(frame.seconds - stamps[expected]) > 1e-9

    landed = video[number]
    if misplaced(landed, number):
        return (f"frame {number}: landed on frame {landed.index} at {landed.seconds:.6f} s, "
                f"counted at {stamps[number]:.6f} s")
    way = 1 if number + _WALK < len(video) else -1
    walk = min(_WALK, number if way < 0 else len(video) - 1 - number)
    away = [video.step(way) for _ in range(walk)]
    back = [video.step(-way) for _ in range(walk)]
    for k, frame in enumerate(away):
        expected = number + way * (k + 1)
        if misplaced(frame, expected):
            return (f"frame {expected}: a step reached frame {frame.index} at "
                    f"{frame.seconds:.6f} s, counted at {stamps[expected]:.6f} s")
    for frame, again in zip([landed] + away[:-1], reversed(back)):
        if frame.pts != again.pts:
            return f"frame {frame.index}: stamp {frame.pts} on the way out, {again.pts} back"
        if not numpy.array_equal(frame.data, again.data):
            return f"frame {frame.index}: other pixels on the way back"
    return None


def _new_row(path):
    """A file's row before anything is known of it."""
    return {"path": path, "size_bytes": None, "codec": None, "width": None, "height": None,
            "duration_seconds": None, "frames_by_packets": None, "frames_by_decoding": None,
            "verdict": "pass", "problems": [], "thumbnails": []}


def _failed(row, verdict, message):
    """The row with the failure that ended its file's check."""
    row["verdict"] = verdict
    row["problems"].append({"kind": verdict, "message": message})
    return row


def check_file(path, samples=8):
    """The report's row for one file."""
    # The decoder's complaints about damage are what the check reports, once, in its row.
    logging.getLogger("clipwalk.ffmpeg").setLevel(logging.CRITICAL)
    row = _new_row(path)
    try:
        row["size_bytes"] = os.path.getsize(path)
        with _open(path, count="demux", index_dir=None) as video:
            m = video.metadata
            row.update(codec=m.codec, width=m.width, height=m.height,
                       duration_seconds=m.duration_seconds)
            row["frames_by_packets"] = len(video)
            by_packets = video._all_seconds()
        # One decoder thread: the pixels of concealed pictures are the same in every decode.
        with _open(path, count="decode", index_dir=None, threads=1) as video:
            count = len(video)
            row["frames_by_decoding"] = count
            by_decoding = video._all_seconds()
            numbers = sorted({round(k * (count - 1) / max(samples - 1, 1))
                              for k in range(samples)}) if count else []
            trips = [(n, _round_trip(video, n, by_decoding)) for n in numbers]
    except (OSError, Error, IndexError) as failure:
        # Error includes CountError: the frames of a stream without stamps cannot be counted.
        # IndexError: a step found no frame where the count promised one.
        return _failed(row, "cannot open" if row["codec"] is None else "cannot count",
                       str(failure))

    first_problem = None
    if len(by_packets) != len(by_decoding) or not numpy.allclose(by_packets, by_decoding):
        parting = next((i for i, (a, b) in enumerate(zip(by_packets, by_decoding))
                        if abs(a - b) > 1e-9), min(len(by_packets), len(by_decoding)))
        row["verdict"] = "counts differ"
        row["problems"].append({
            "kind": "counts differ", "frame": parting,
            "message": f"{len(by_packets)} frames by the packets, {len(by_decoding)} decoded; "
                       f"they part at frame {parting}"})
        first_problem = parting
    for number, failure in trips:
        if failure is not None:
            row["verdict"] = "round trip failed"
            row["problems"].append({"kind": "round trip failed", "frame": number,
                                    "message": failure})
            first_problem = number if first_problem is None else min(first_problem, number)
    if first_problem is not None:
        row["thumbnails"] = _thumbnails(path, range(first_problem - 2, first_problem + 3))
    return row


def _run_on_dask(paths, samples, scheduler):
    import distributed

    from . import dask as clipwalk_dask
    # Worker processes: a file that crashes its decoder costs its row, not the check.
    client = clipwalk_dask.client(scheduler, processes=True)
    futures = client.map(check_file, paths, samples=samples, pure=False)
    if scheduler is not None:
        distributed.progress(futures)
    else:
        import tqdm
        for _ in tqdm.tqdm(distributed.as_completed(futures), total=len(futures), unit="file",
                           desc="checking"):
            pass
    rows = []
    for path, future in zip(paths, futures):
        failure = future.exception()
        if failure is not None:
            _log.error("checking %s failed: %s", path, failure)
        rows.append(future.result() if failure is None else
                    _failed(_new_row(path), "check failed",
                            f"{type(failure).__name__}: {failure}"))
    return rows


def write_reports(rows, directory):
    rows = sorted(rows, key=lambda r: (_ORDER.get(r["verdict"], 0), r["path"]))
    os.makedirs(directory, exist_ok=True)
    plain = [{k: v for k, v in row.items() if k != "thumbnails"} for row in rows]
    with open(os.path.join(directory, "report.json"), "w") as out:
        json.dump({"files": plain, "passed": all(r["verdict"] == "pass" for r in rows)}, out,
                  indent=2)
    with open(os.path.join(directory, "report.html"), "w") as out:
        out.write(_html(rows))


def _html(rows):
    def cell(value):
        return f"<td>{html.escape('' if value is None else str(value))}</td>"

    lines = []
    for row in rows:
        size = f"{row['width']}x{row['height']}" if row["width"] else None
        duration = f"{row['duration_seconds']:.3f} s" if row["duration_seconds"] else None
        problems = "<br>".join(html.escape(p["message"]) for p in row["problems"])
        strip = "".join(f'<figure><img src="{t["png"]}" alt="frame {t["index"]}">'
                        f'<figcaption>{t["index"]}</figcaption></figure>'
                        for t in row["thumbnails"])
        lines.append(
            f'<tr class="{"pass" if row["verdict"] == "pass" else "problem"}">'
            f'<td title="{html.escape(row["path"])}">{html.escape(os.path.basename(row["path"]))}'
            f'</td>{cell(row["codec"])}{cell(size)}{cell(duration)}'
            f'{cell(row["frames_by_packets"])}{cell(row["frames_by_decoding"])}'
            f'<td class="verdict">{html.escape(row["verdict"])}</td>'
            f'<td>{problems}<div class="strip">{strip}</div></td></tr>')
    failed = sum(r["verdict"] != "pass" for r in rows)
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>clipwalk check</title>
<style>
body {{ font-family: sans-serif; margin: 1.5em; }}
table {{ border-collapse: collapse; }}
td, th {{ border: 1px solid #ccc; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }}
tr.problem .verdict {{ color: #b00; font-weight: bold; }}
tr.pass .verdict {{ color: #070; }}
.strip {{ display: flex; gap: 4px; }}
figure {{ margin: 0; font-size: 0.8em; text-align: center; }}
</style></head><body>
<h1>clipwalk check</h1>
<p id="summary">{len(rows)} files, {failed} with problems.</p>
<table id="files"><thead><tr><th>file</th><th>codec</th><th>size</th><th>duration</th>
<th>frames (packets)</th><th>frames (decoded)</th><th>verdict</th><th>problems</th></tr></thead>
<tbody>
{chr(10).join(lines)}
</tbody></table></body></html>
"""


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m clipwalk.check",
                                     description=__doc__.split("\n\n")[1])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a Dask scheduler (tcp://host:port); default: a local cluster")
    parser.add_argument("--report", metavar="DIR", default=".",
                        help="where report.json and report.html go (default: here)")
    parser.add_argument("--samples", type=int, default=8,
                        help="frames landed on and walked from in each file (default 8)")
    args = parser.parse_args(argv)
    if args.samples < 1:
        parser.error("--samples must be at least 1")
    logging.basicConfig(format="%(name)s: %(levelname)s: %(message)s")
    from . import dask as clipwalk_dask
    # The cluster's start and stop are not the check's news (set after distributed's import,
    # which sets its loggers' levels).
    logging.getLogger("distributed").setLevel(logging.WARNING)
    try:
        rows = _run_on_dask([os.path.abspath(p) for p in args.paths], args.samples,
                            args.scheduler)
    finally:
        clipwalk_dask.shutdown()
    write_reports(rows, args.report)
    failed = [r for r in rows if r["verdict"] != "pass"]
    for row in failed:
        print(f"{row['verdict']}: {row['path']}", file=sys.stderr)
    print(f"{len(rows)} files checked, {len(failed)} with problems; "
          f"report in {os.path.join(args.report, 'report.html')}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
