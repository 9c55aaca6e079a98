#!/usr/bin/env python3
"""The OCR benchmark's film and its scoring (bench/ocr_bench.sh runs both; standard library only).

make DIR [--quick] [--small]
    DIR/burnt.mkv: a photograph panned under Latin and simplified Chinese subtitles burnt in by
    libass (FFmpeg's ass filter) at known frames, 720x576 at 25 frames/s (--small: 640x360, the
    text 19 and 21 pixels high rather than 30 and 34), H.264; DIR/subs/film.bms
    and DIR/subs/image_N.pgm, the recognition tool's files (each graymap the subtitle's fill,
    rendered alone over black: the glyphs without outline or shadow); DIR/truth.tsv, one line per
    subtitle: first frame, last frame, script (latin or cjk), text (lines joined by a literal \\n).

score TRUTH SRT
    Reads the cues of SRT (as FFmpeg writes a subtitle stream out) against the truth and prints
    one `ocr_score` line per script, with the character error rate (Levenshtein edits over the
    true characters, a line break counting as one), and one `ocr_timing` line: subtitles whose
    best-matching cue starts at their first frame and ends after their last one within one frame.
"""
import os
import re
import subprocess
import sys

RATE = 25
WIDTH, HEIGHT, SIZES = 720, 576, (30, 34)
PHOTO = "/usr/share/backgrounds/mate/nature/Storm.jpg"

# (script, text); two lines are joined by \N. Latin and Chinese alternate; every third is yellow.
SUBTITLES = [
    ("latin", "I think the river keeps its secrets."),
    ("cjk", "今天晚上我们一起去看电影"),
    ("latin", "Where are you going, Anna?\\NIt's late, and the road is closed."),
    ("cjk", "他说明天见。\\N我不知道为什么。"),
    ("latin", "We'll be home before dark, I promise."),
    ("cjk", "你好，世界！这是第一次。"),
    ("latin", "The map ends here: 42 miles of sand."),
    ("cjk", "我们走吧，时间不多了。"),
    ("latin", "- Did you hear that?\\N- Only the wind."),
    ("cjk", "他们在北京住了三年，\\N然后搬到上海。"),
    ("latin", "Mr. O'Neill paid $350 for the boat."),
    ("cjk", "“你去哪儿？”她问。"),
    ("latin", "Nobody leaves this room until 9:30."),
    ("cjk", "我有两个苹果和三本书。"),
    ("latin", "She said \"maybe\", and then she left."),
    ("cjk", "这条河流向大海。"),
    ("latin", "Three days without water,\\Nand still he sang."),
    ("cjk", "别担心，一切都会好起来的。"),
    ("latin", "Turn left at the old mill (the red one)."),
    ("cjk", "火车晚上八点到站。"),
    ("latin", "Is that the sea? No. It is the sky again."),
    ("cjk", "我不记得他的名字了。"),
    ("latin", "I'm sorry. I didn't know it was you."),
    ("cjk", "请把门关上，外面很冷。"),
]
QUICK = [0, 1, 2, 3]

STYLE_FORMAT = ("Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
                "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, "
                "Alignment, MarginL, MarginR, MarginV, Encoding")


def frames_of(count):
    """First and last frame of each subtitle: 46 to 70 frames on screen, gaps of 6 to 14."""
    spans, at = [], 8
    for i in range(count):
        length = 46 + (i * 7) % 25
        spans.append((at, at + length - 1))
        at += length + 6 + (i * 5) % 9
    return spans, at + 8


def ass_time(frame):
    """The ASS time of frame boundary frame - 0.5 at 25 frames/s, so libass shows exactly the frames."""
    cs = max(0, frame * 4 - 2)
    return "0:%02d:%02d.%02d" % (cs // 6000, cs // 100 % 60, cs % 100)


def ass(entries, fill_only):
    outline = "&HFF000000" if fill_only else "&H00101010"
    shadow = "&HFF000000" if fill_only else "&H80000000"
    styles = []
    latin, cjk = SIZES
    for name, font, size, colour, bold in (("Lat", "DejaVu Sans", latin, "&H00FFFFFF", 0), ("Cjk", "Noto Sans CJK SC", cjk, "&H00FFFFFF", 0),
                                           ("LatY", "DejaVu Sans", latin, "&H0000FFFF", 1), ("CjkY", "Noto Sans CJK SC", cjk, "&H0000FFFF", 1)):
        styles.append("Style: %s,%s,%d,%s,%s,%s,%s,%d,0,0,0,100,100,0,0,1,2,1,2,20,20,30,1"
                      % (name, font, size, colour, colour, outline, shadow, bold))
    events = []
    for i, (first, last, script, text) in enumerate(entries):
        style = ("Lat" if script == "latin" else "Cjk") + ("Y" if i % 3 == 2 else "")
        events.append("Dialogue: 0,%s,%s,%s,,0,0,0,,%s" % (ass_time(first), ass_time(last + 1), style, text))
    return ("[Script Info]\nScriptType: v4.00+\nPlayResX: %d\nPlayResY: %d\n\n[V4+ Styles]\n%s\n%s\n\n[Events]\n"
            "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n%s\n"
            % (WIDTH, HEIGHT, STYLE_FORMAT, "\n".join(styles), "\n".join(events)))


def graymaps(directory, entries, frames):
    """Each subtitle's fill at its middle frame, cropped to its ink, as image_N.pgm; the index lines."""
    middles = [(first + last) // 2 for first, last, _, _ in entries]
    select = "+".join("eq(n\\,%d)" % m for m in middles)
    raw = subprocess.check_output(
        ["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "color=black:s=%dx%d:r=%d:d=%.2f" % (WIDTH, HEIGHT, RATE, frames / RATE),
         "-vf", "ass=%s/fill.ass:fontsdir=/usr/share/fonts,select='%s',format=gray" % (directory, select),
         "-fps_mode", "passthrough", "-f", "rawvideo", "-"])
    size = WIDTH * HEIGHT
    lines = [str(len(entries))]
    for i, (first, last, _, _) in enumerate(entries):
        plane = raw[i * size:(i + 1) * size]
        rows = [y for y in range(HEIGHT) if any(plane[y * WIDTH:(y + 1) * WIDTH])]
        cols = [x for x in range(WIDTH) if any(plane[y * WIDTH + x] for y in rows)]
        x0, x1, y0, y1 = cols[0], cols[-1] + 1, rows[0], rows[-1] + 1
        with open("%s/subs/image_%d.pgm" % (directory, i), "wb") as f:
            f.write(b"P5\n%d %d\n255\n" % (x1 - x0, y1 - y0))
            f.write(b"".join(plane[y * WIDTH + x0:y * WIDTH + x1] for y in range(y0, y1)))
        lines.append("%d,%d,%d,%d,%d" % (i + 1, first, last, x0, y0))
    with open("%s/subs/film.bms" % directory, "w") as f:
        f.write("\n".join(lines) + "\n")


def make(directory, quick):
    chosen = [SUBTITLES[i] for i in QUICK] if quick else SUBTITLES
    spans, frames = frames_of(len(chosen))
    entries = [(a, b, script, text) for (a, b), (script, text) in zip(spans, chosen)]
    os.makedirs(directory + "/subs", exist_ok=True)
    with open(directory + "/burn.ass", "w") as f:
        f.write(ass(entries, False))
    with open(directory + "/fill.ass", "w") as f:
        f.write(ass(entries, True))
    scene = "scale=%d:%d,crop=%d:%d:x='0.25*n':y='%d+0.08*n',setsar=%s" % (
        WIDTH * 1000 // 720, HEIGHT * 700 // 576, WIDTH, HEIGHT, HEIGHT * 70 // 576, "16/15" if HEIGHT == 576 else "1")
    subprocess.check_call(
        ["ffmpeg", "-nostdin", "-v", "error", "-y", "-loop", "1", "-framerate", str(RATE), "-i", PHOTO,
         "-vf", "%s,format=yuv420p,ass=%s/burn.ass:fontsdir=/usr/share/fonts" % (scene, directory), "-frames:v", str(frames),
         "-c:v", "libx264", "-crf", "16", "-preset", "fast", "-pix_fmt", "yuv420p", directory + "/burnt.mkv"])
    graymaps(directory, entries, frames)
    with open(directory + "/truth.tsv", "w") as f:
        for first, last, script, text in entries:
            f.write("%d\t%d\t%s\t%s\n" % (first, last, script, text.replace("\\N", "\\n")))


def read_srt(path):
    text = open(path, encoding="utf-8").read().replace("\r\n", "\n")
    cues = []
    stamp = re.compile(r"(\d+):(\d+):(\d+)[,.](\d+)")
    for block in re.split(r"\n\s*\n", text.strip()):
        lines = block.split("\n")
        for i, line in enumerate(lines):
            if "-->" in line:
                a, b = [stamp.search(side).groups() for side in line.split("-->")]
                seconds = [int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000.0 for h, m, s, ms in (a, b)]
                cues.append((seconds[0], seconds[1], "\n".join(lines[i + 1:]).strip()))
                break
    return cues


def edits(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (ca != cb))
    return row[-1]


def score(truth_path, srt_path):
    truth = []
    for line in open(truth_path, encoding="utf-8"):
        first, last, script, text = line.rstrip("\n").split("\t")
        truth.append((int(first), int(last), script, text.replace("\\n", "\n")))
    cues = read_srt(srt_path)
    totals, timed, used = {}, 0, set()
    for first, last, script, text in truth:
        start, end = first / RATE, (last + 1) / RATE
        best, overlap = None, 0.0
        for k, (a, b, _) in enumerate(cues):
            shared = min(b, end) - max(a, start)
            if shared > overlap:
                best, overlap = k, shared
        read = cues[best][2] if best is not None else ""
        if best is not None:
            used.add(best)
            a, b, _ = cues[best]
            timed += abs(a - start) <= 1.0 / RATE + 1e-6 and abs(b - end) <= 1.0 / RATE + 1e-6
        chars, wrong = totals.get(script, (0, 0))
        totals[script] = (chars + len(text), wrong + edits(text, read))
        if read != text:
            print("ocr_miss script=%s frames=%d-%d truth=%r read=%r" % (script, first, last, text, read))
    for script in sorted(totals):
        chars, wrong = totals[script]
        print("ocr_score script=%s characters=%d edits=%d cer=%.4f" % (script, chars, wrong, wrong / chars))
    print("ocr_timing subtitles=%d within_one_frame=%d share=%.4f cues=%d extra_cues=%d"
          % (len(truth), timed, timed / len(truth), len(cues), len(cues) - len(used)))


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "make":
        if "--small" in sys.argv[3:]:
            WIDTH, HEIGHT, SIZES = 640, 360, (19, 21)
        make(sys.argv[2], "--quick" in sys.argv[3:])
    elif len(sys.argv) == 4 and sys.argv[1] == "score":
        score(sys.argv[2], sys.argv[3])
    else:
        sys.exit("usage: ocr_bench.py make DIR [--quick] [--small] | score TRUTH.tsv CUES.srt")
