#!/usr/bin/env python3
"""Final-video export against the ffmpeg filter graph that session.json's instructions describe.

Builds a synthetic session (three 40 s clips of different shapes and frame rates, a microphone
file, six focus switches; about 43 s in all), then, in one run:
  1. our export:      loomcast --export FOLDER
  2. the ffmpeg graph: per-segment inputs, blur fill (enlarged copy + gblur), xfade fade 0.35,
                       tpad for held frames, app audio at 0.25 with fades, adelay, amix
  3. x264 alone:      the very frames our export encodes (dumped raw by an untimed second run of
                      bench_export_dump, the same export with a writer that also keeps the frames)
                      through libx264
All three encode with the same x264 settings as the exporter (veryfast, CRF 19, key frame
every 10 s). Wall times and peak memory come from /usr/bin/time -v.

Cases (--case):
  three  the session above (default)
  six    six 1920x1080 clips, the focus cycling through all six every 1.5 s (36 s)
  4k     the three clips into a 3840x2160 output (12 s)
  long   three windows for 60 minutes (320x180, fragmented like live recordings), output 320x180;
         also the audio/video offset in the first and the last minute (a flash and a beep every 10 s)
Each case also reports when the first progress came (bench_export_dump, untimed run), and how
soon SIGINT ends "--export" (0.2 s after the start, and while encoding): the cancel's latency.

Usage: bench/export/export_bench.py [--build BUILD_DIR] [--work DIR] [--case NAME] [--no-compare]
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

W, H, FPS = 1920, 1080, 30
X264 = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "19", "-g", str(10 * FPS), "-pix_fmt", "yuv420p"]
CLIPS = [  # file, width, height, fps, start offset, tone
    ("Editor (+0m00s).mp4", 1920, 1080, 30, 0.0, 1000),
    ("Phone (+0m01s).mp4", 1080, 1920, 24, 1.5, 2000),
    ("Docs (+0m03s).mp4", 1280, 1024, 25, 3.0, 3000),
]
CLIP_SECONDS = 40.0
MIC = ("Mic (+0m00s).m4a", 0.0, 43.0)
FOCUS = [(0.0, 0), (6.0, 1), (12.0, 2), (18.0, 0), (24.0, 1), (31.0, 2), (37.0, 0)]  # six switches
FRAGMENTED = False  # clips written the way live recordings are (fragments, no index at the end)
SYNC_MARKS = False  # a white flash in every clip and a beep in the microphone every 10 s


def set_case(name):
    global W, H, FPS, CLIPS, CLIP_SECONDS, MIC, FOCUS, FRAGMENTED, SYNC_MARKS
    if name == "six":
        CLIPS = [(f"Window{i} (+0m00s).mp4", 1920, 1080, 30, 0.0, 500 + 250 * i) for i in range(6)]
        CLIP_SECONDS = 36.0
        MIC = ("Mic (+0m00s).m4a", 0.0, 36.0)
        FOCUS = [(1.5 * k, k % 6) for k in range(24)]
    elif name == "4k":
        W, H = 3840, 2160
        CLIP_SECONDS = 12.0
        MIC = ("Mic (+0m00s).m4a", 0.0, 12.0)
        FOCUS = [(0.0, 0), (3.0, 1), (6.0, 2), (9.0, 0)]
        CLIPS = [(n, w, h, fps, 0.0, tone) for n, w, h, fps, _, tone in CLIPS]
    elif name == "long":
        W, H = 320, 180
        CLIP_SECONDS = 3600.0
        # 10 fps keeps generating three hours of video affordable; the files are built as live ones.
        FPS = 10
        CLIPS = [("Editor (+0m00s).mp4", 320, 180, 10, 0.0, 1000),
                 ("Phone (+0m00s).mp4", 180, 320, 10, 0.0, 2000),
                 ("Docs (+0m00s).mp4", 320, 240, 10, 0.0, 3000)]
        MIC = ("Mic (+0m00s).m4a", 0.0, 3600.0)
        FOCUS = [(60.0 * k, k % 3) for k in range(60)]
        FRAGMENTED = True
        SYNC_MARKS = True


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def make_session(folder):
    os.makedirs(folder, exist_ok=True)
    for name, w, h, fps, _, tone in CLIPS:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            continue
        # Moving test pattern, encoded the way a live recording is (fast preset, key frame every 2 s).
        video = f"testsrc2=s={w}x{h}:r={fps}:d={CLIP_SECONDS}"
        if SYNC_MARKS:
            video += ",drawbox=c=white:t=fill:enable='lt(mod(t\\,10)\\,0.2)'"
        frag = ["-movflags", "+frag_keyframe+empty_moov+default_base_moof"] if FRAGMENTED else []
        run(["ffmpeg", "-v", "error", "-y",
             "-f", "lavfi", "-i", video,
             "-f", "lavfi", "-i", f"sine=f={tone}:r=48000:d={CLIP_SECONDS}",
             "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "300k" if FRAGMENTED else "8M", "-g", str(2 * fps),
             "-pix_fmt", "yuv420p",
             "-c:a", "aac", "-ac", "2", "-b:a", "128k"] + frag + [path])
    mic = os.path.join(folder, MIC[0])
    if not os.path.exists(mic):
        tone = f"sine=f=440:r=48000:d={MIC[2]}"
        if SYNC_MARKS:  # silence but for a beep at every flash
            tone += ",volume=0:enable='gte(mod(t\\,10)\\,0.2)'"
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", tone,
             "-ac", "2", "-c:a", "aac", "-b:a", "128k", mic])
    doc = {
        "_ai_instructions": "(see a real session.json)",
        "version": 1,
        "container": "mp4",
        "timecodeStorage": "metadata comment tag (MP4 cannot hold a tmcd track)",
        "sessionStart": "2024-05-01T10:00:00Z",
        "recordings": [{
            "app": name.split(" ")[0], "duration": CLIP_SECONDS, "file": name, "fps": fps,
            "hasAppAudio": True, "hasMicTrack": False, "height": h, "preset": f"{w}x{h}",
            "startOffset": off, "startTimecode": "10:00:00:00", "width": w, "windowTitle": name,
        } for name, w, h, fps, off, _ in CLIPS],
        "mic": {"device": "default", "duration": MIC[2], "file": MIC[0], "startOffset": MIC[1],
                "startTimecode": "10:00:00:00"},
        "focus": [{"t": t, "file": CLIPS[i][0], "windowTitle": CLIPS[i][0]} for t, i in FOCUS],
        "final": {"preset": {"name": "16:9 Horizontal · YouTube", "width": W, "height": H},
                  "transition": "crossfade", "transitionDuration": 0.35},
    }
    with open(os.path.join(folder, "session.json"), "w") as f:
        json.dump(doc, f, indent=2, sort_keys=True, ensure_ascii=False)


def ffmpeg_graph_command(folder, out):
    """The graph an editor following the instructions would run."""
    length = max(max(off + CLIP_SECONDS for _, _, _, _, off, _ in CLIPS), MIC[1] + MIC[2])
    d = 0.35
    args, vchains, achains = ["ffmpeg", "-v", "error", "-y"], [], []
    n = len(FOCUS)
    for k, (t, ci) in enumerate(FOCUS):
        name, w, h, fps, off, _ = CLIPS[ci]
        end = FOCUS[k + 1][0] + d if k + 1 < n else length
        seg = end - t
        clip_from = max(t - off, 0.0)
        pre = max(off - t, 0.0)  # focused before the clip starts: its first frame
        args += ["-ss", f"{clip_from:.3f}", "-t", f"{seg:.3f}", "-i", os.path.join(folder, name)]
        vchains.append(
            f"[{k}:v]setpts=PTS-STARTPTS,fps={FPS},"
            f"tpad=start_mode=clone:start_duration={pre:.3f}:stop_mode=clone:stop_duration={seg:.3f},"
            f"trim=duration={seg:.3f},setpts=PTS-STARTPTS,split[a{k}][b{k}];"
            f"[a{k}]scale={W}:{H}:force_original_aspect_ratio=increase,crop={W}:{H},gblur=sigma=30[bg{k}];"
            f"[b{k}]scale={W}:{H}:force_original_aspect_ratio=decrease[fg{k}];"
            f"[bg{k}][fg{k}]overlay=(W-w)/2:(H-h)/2,setsar=1,format=yuv420p[s{k}]")
        fades = []
        if k > 0:
            fades.append(f"afade=t=in:d={d}")
        if k + 1 < n:
            fades.append(f"afade=t=out:st={seg - d:.3f}:d={d}")
        delay = int(round((t + pre) * 1000))
        achains.append(f"[{k}:a]asetpts=PTS-STARTPTS,volume=0.25,{','.join(fades) + ',' if fades else ''}"
                       f"adelay={delay}|{delay}[p{k}]")
    mic_index = n
    args += ["-i", os.path.join(folder, MIC[0])]
    mic_delay = int(round(MIC[1] * 1000))
    achains.append(f"[{mic_index}:a]adelay={mic_delay}|{mic_delay}[mic]")
    chain, prev = [], "s0"
    for k in range(1, n):
        label = f"x{k}" if k + 1 < n else "v"
        chain.append(f"[{prev}][s{k}]xfade=transition=fade:duration={d}:offset={FOCUS[k][0]:.3f}[{label}]")
        prev = label
    mix_inputs = "".join(f"[p{k}]" for k in range(n)) + "[mic]"
    amix = f"{mix_inputs}amix=inputs={n + 1}:duration=longest:normalize=0,atrim=duration={length:.3f}[a]"
    graph = ";".join(vchains + chain + achains + [amix])
    return args + ["-filter_complex", graph, "-map", "[v]", "-map", "[a]"] + X264 + [
        "-c:a", "aac", "-b:a", "128k", "-movflags", "+faststart", out]


def timed(cmd, label):
    """Runs cmd under /usr/bin/time -v; returns (wall s, peak RSS MB, CPU s, stdout)."""
    r = subprocess.run(["/usr/bin/time", "-v"] + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit(f"{label} failed:\n{r.stdout}\n{r.stderr[-3000:]}")
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", r.stderr).group(1)
    parts = [float(p) for p in wall.split(":")]
    seconds = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", r.stderr).group(1)) / 1024
    cpu = sum(float(re.search(rf"{k} time \(seconds\): (\S+)", r.stderr).group(1)) for k in ("User", "System"))
    return seconds, rss, cpu, r.stdout


def first_progress(dumper, folder):
    """Seconds from the start of an (untimed) export until its first progress report."""
    for f in os.listdir(folder):
        if f.startswith("Loomcast Final"):
            os.remove(os.path.join(folder, f))
    out = subprocess.run([dumper, folder, "-"], check=True, stdout=subprocess.PIPE, text=True).stdout
    m = re.search(r"first progress after (\S+) s", out)
    return float(m.group(1)) if m else float("nan")


def signal_latency(app, folder, after_start):
    """SIGINT to `loomcast --export`: at `after_start` s, or (None) once its video is being written.
    Returns (seconds from the signal to the exit, exit code, cancelled message seen, files left)."""
    import signal
    import time
    for f in os.listdir(folder):
        if f.startswith("Loomcast Final") or f.startswith(".Loomcast export"):
            os.remove(os.path.join(folder, f))
    p = subprocess.Popen([app, "--export", folder], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    t0 = time.monotonic()
    if after_start is None:
        while p.poll() is None and not any(f.startswith(".Loomcast export") for f in os.listdir(folder)):
            time.sleep(0.01)
        time.sleep(0.5)
    else:
        time.sleep(max(0.0, after_start - (time.monotonic() - t0)))
    sent = time.monotonic()
    p.send_signal(signal.SIGINT)
    out, _ = p.communicate()
    took = time.monotonic() - sent
    left = [f for f in os.listdir(folder) if f.startswith("Loomcast Final") or f.startswith(".Loomcast export")]
    return took, p.returncode, "export FAILED: Export cancelled" in out, left


def sync_offsets(video_file):
    """Audio minus video onset of the 10 s marks in the first and the last minute (seconds)."""
    length = float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                   "csv=p=0", video_file], check=True, stdout=subprocess.PIPE,
                                  text=True).stdout)
    out = []
    for start in (0.0, length - 60.0):
        raw = subprocess.run(["ffmpeg", "-v", "error", "-ss", f"{start:.3f}", "-t", "60", "-i", video_file,
                              "-f", "rawvideo", "-pix_fmt", "gray", "-"], check=True, stdout=subprocess.PIPE).stdout
        n = W * H
        luma = [sum(raw[i * n:(i + 1) * n:97]) / len(raw[i * n:(i + 1) * n:97]) for i in range(len(raw) // n)]
        pcm = subprocess.run(["ffmpeg", "-v", "error", "-ss", f"{start:.3f}", "-t", "60", "-i", video_file,
                              "-f", "s16le", "-ac", "1", "-ar", "48000", "-"], check=True,
                             stdout=subprocess.PIPE).stdout
        samples = [abs(int.from_bytes(pcm[i:i + 2], "little", signed=True)) for i in range(0, len(pcm) - 1, 2)]
        diffs = []
        for mark in range(int(start // 10) + 1, int((start + 60) // 10)):
            t = mark * 10.0 - start
            lo, hi = int((t - 2) * FPS), int((t + 2) * FPS)
            vid = next((i for i in range(max(lo, 1), min(hi, len(luma))) if luma[i] - luma[i - 1] > 40), None)
            alo, ahi = int((t - 2) * 48000), int((t + 2) * 48000)
            aud = next((i for i in range(max(alo, 0), min(ahi, len(samples))) if samples[i] > 2000), None)
            if vid is not None and aud is not None:
                diffs.append(aud / 48000.0 - vid / FPS)
        out.append(sum(diffs) / len(diffs) if diffs else float("nan"))
    return out


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.environ.get("BUILD_DIR", os.path.join(root, "build")))
    ap.add_argument("--work", default="/tmp/loomcast-export-bench")
    ap.add_argument("--repeat", type=int, default=1, help="rounds; each figure is the best of them")
    ap.add_argument("--case", default="three", choices=["three", "six", "4k", "long"])
    ap.add_argument("--no-compare", action="store_true", help="our export only (no ffmpeg graph, no x264 alone)")
    a = ap.parse_args()
    set_case(a.case)
    compare = not a.no_compare and a.case != "long"
    app = os.path.join(a.build, "src", "app", "loomcast")
    dumper = os.path.join(a.build, "bench", "export", "bench_export_dump")
    for exe in (app, dumper):
        if not os.path.exists(exe):
            sys.exit(f"{exe} not built")
    folder = os.path.join(a.work, "session" if a.case == "three" else f"session-{a.case}")
    make_session(folder)
    graph_out = os.path.join(a.work, f"ffmpeg-graph-{a.case}.mp4")
    shm = "/dev/shm"
    frames_total = int(max(max(off + CLIP_SECONDS for _, _, _, _, off, _ in CLIPS), MIC[1] + MIC[2]) * FPS)
    roomy = os.path.isdir(shm) and shutil.disk_usage(shm).free > frames_total * W * H * 3 // 2 + 2**30
    raw = os.path.join(shm if roomy else a.work, "loomcast-export-frames.yuv")

    best = {}

    def keep(key, result):
        if key not in best or result[0] < best[key][0]:
            best[key] = result

    first = first_progress(dumper, folder)
    for _ in range(max(1, a.repeat)):
        for f in os.listdir(folder):
            if f.startswith("Loomcast Final"):
                os.remove(os.path.join(folder, f))
        keep("ours", timed([app, "--export", folder], "our export"))
        if not compare:
            continue
        keep("graph", timed(ffmpeg_graph_command(folder, graph_out), "ffmpeg graph"))
        if not os.path.exists(raw):
            # The exact frames our export hands to its encoder (an untimed extra run writes them).
            os.rename(os.path.join(folder, "Loomcast Final.mp4"), os.path.join(a.work, "kept.mp4"))
            run([dumper, folder, raw], stdout=subprocess.DEVNULL)
            os.remove(os.path.join(folder, "Loomcast Final.mp4"))
            os.rename(os.path.join(a.work, "kept.mp4"), os.path.join(folder, "Loomcast Final.mp4"))
        keep("x264", timed(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                            "-s", f"{W}x{H}", "-r", str(FPS), "-i", raw] + X264 + ["-f", "null", "-"],
                           "x264 alone"))
    if os.path.exists(raw):
        os.remove(raw)
    ours_t, ours_mb, ours_cpu, line = best["ours"]
    ours_out = os.path.join(folder, "Loomcast Final.mp4")
    frames = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                             "stream=nb_read_packets", "-of", "csv=p=0", ours_out],
                            stdout=subprocess.PIPE, text=True).stdout.strip()
    shapes = ", ".join(sorted({f"{w}x{h}@{fps}" for _, w, h, fps, _, _ in CLIPS}))
    print(f"case {a.case}: {len(CLIPS)} clips ({shapes}, {CLIP_SECONDS:.0f} s each), mic, "
          f"{len(FOCUS) - 1} switches; output {W}x{H}@{FPS}, {frames} frames; x264 veryfast CRF 19")
    print(f"  {line.strip()}")
    print(f"first progress:  {first:7.3f} s after the start")
    print(f"our export:      {ours_t:7.1f} s wall {ours_cpu:7.1f} s CPU   peak {ours_mb:6.0f} MB")
    if compare:
        graph_t, graph_mb, graph_cpu, _ = best["graph"]
        x264_t, x264_mb, x264_cpu, _ = best["x264"]
        print(f"ffmpeg graph:    {graph_t:7.1f} s wall {graph_cpu:7.1f} s CPU   peak {graph_mb:6.0f} MB")
        print(f"x264 alone:      {x264_t:7.1f} s wall {x264_cpu:7.1f} s CPU   peak {x264_mb:6.0f} MB "
              "(same frames, raw input)")
        print(f"wall: ffmpeg graph / ours {graph_t / ours_t:.2f}x, ours / x264 alone {ours_t / x264_t:.2f}, "
              f"ffmpeg graph / x264 alone {graph_t / x264_t:.2f}")
        print(f"CPU:  ffmpeg graph / ours {graph_cpu / ours_cpu:.2f}x, ours / x264 alone {ours_cpu / x264_cpu:.2f}, "
              f"ffmpeg graph / x264 alone {graph_cpu / x264_cpu:.2f}")
    if SYNC_MARKS:
        head, tail = sync_offsets(ours_out)
        print(f"audio - video offset: first minute {head * 1000:+.1f} ms, last minute {tail * 1000:+.1f} ms")
    # Last: it removes the exported video.
    for label, at in (("SIGINT 0.2 s after the start", 0.2), ("SIGINT while encoding", None)):
        took, rc, said, left = signal_latency(app, folder, at)
        print(f"{label + ':':31s}exit after {took * 1000:6.0f} ms, code {rc}, "
              f"{'cancelled' if said else 'NOT reported as cancelled'}, "
              f"{'no file left' if not left else 'left: ' + ', '.join(left)}")
    print(f"load average during the run: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
