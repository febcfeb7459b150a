#!/usr/bin/python3
"""Damage campaign on real-size recordings. Not a test: run by hand.

    bench/campaign.py [DATA] [--build BUILD] [--only NAME,...] [--damage NAME,...]
                      [--jobs N] [--limit SECONDS] [--keep FOLDER]

Makes (once, kept in DATA, default build/campaign-data) recordings of 100 to
300 MB with Debian's ffmpeg and GStreamer, damages each in about twenty ways
at offsets taken from the file's own structure, runs bench/mendcore_e2e on
each damaged copy and judges the result with ffprobe/ffmpeg against the
original's packets. Prints a table and a summary; exits 1 when any case is
FAIL, HANG or CRASH.

Verdicts:
  OK     the result is sound: every packet outside the damage is kept and
         the file decodes without error (errors from damage that only hit
         packet payload are allowed: no container parser can see them), or
         the library refused a file whose damage left nothing to repair
  LOSS   packets outside the damage are missing, or the library refused a
         file that still held something to repair
  FAIL   success reported, but the judged file does not open, decodes with
         errors the container's structure should have caught, or holds no
         packet at all
  HANG   the driver ran past the time limit
  CRASH  the driver died on a signal or printed no result line

A new container needs a recording in RECORDINGS and a layout function in
LAYOUTS (what is header, data, index and a top-level unit in that file).
"""
import argparse
import bisect
import collections
import concurrent.futures
import os
import random
import re
import shutil
import struct
import uuid
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECONDS = 150  # length of each recording: 100 to 200 MB at the rates below
MiB = 1 << 20

# --- Recordings -------------------------------------------------------------
# One x264 source (noise keeps it from compressing to nothing) remuxed into
# the ISO family, Matroska, AVI and FLV; mpeg4/VP8/FLV1 encoded on their own;
# files from GStreamer's muxers as a second writer.
FF = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"]
SRC_V = ["-f", "lavfi", "-i", f"testsrc2=size=640x360:rate=30:duration={SECONDS}"]
SRC_A = ["-f", "lavfi", "-i", f"sine=frequency=440:beep_factor=4:sample_rate=48000:duration={SECONDS}"]
NOISE = ["-vf", "noise=alls=24:allf=t"]
RATE = ["-b:v", "8M", "-maxrate", "8M", "-bufsize", "16M", "-g", "60"]
X264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]
GST_V = ("videotestsrc num-buffers=3600 pattern=snow ! video/x-raw,width=640,height=360,framerate=30/1 "
         "! videoconvert ! {enc} ! queue ! m. ")
GST_A = ("audiotestsrc num-buffers=5625 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 "
         "! audioconvert ! {enc} ! queue ! m. ")


def encode(*args):
    """An ffmpeg encode from the lavfi sources."""
    return lambda data, out: FF + list(args) + [out]


def PINK(seconds):
    """Stereo pink noise at 48 kHz."""
    return ["-f", "lavfi", "-i", f"anoisesrc=c=pink:r=48000:a=0.5:d={seconds}", "-ac", "2"]


def NOISE_96K(seconds):
    """Two different noises as a 24-bit stereo pair at 96 kHz."""
    return ["-f", "lavfi", "-i", f"anoisesrc=c=pink:r=48000:a=0.5:d={seconds}",
            "-f", "lavfi", "-i", f"anoisesrc=c=white:r=48000:a=0.3:d={seconds}:seed=5",
            "-filter_complex", "[0][1]amerge=inputs=2", "-ar", "96000"]


def piped(source, tool):
    """A WAV from the lavfi sources piped into another writer, whose command
    ends with its output option."""
    wav = " ".join(FF + source + ["-f", "wav", "-"])
    return lambda data, out: ["sh", "-c", wav + " | " + " ".join(tool) + " " + out]


def remux(source, *args):
    """An ffmpeg remux of another recording's packets."""
    command = lambda data, out: FF + ["-i", os.path.join(data, source)] + list(args) + [out]  # noqa: E731
    command.source = source
    return command


def gst(video_enc, audio_enc, mux):
    """A GStreamer pipeline ending in MUX."""
    pipeline = GST_V.format(enc=video_enc) + GST_A.format(enc=audio_enc) + f"{mux} name=m ! filesink location="
    return lambda data, out: ["gst-launch-1.0", "-q"] + (pipeline + out).split()


# name -> (layout family, command maker); a remux comes after its source.
RECORDINGS = collections.OrderedDict([
    ("h264_aac.mkv", ("mkv", encode(*SRC_V, *SRC_A, *NOISE, *X264, *RATE, "-c:a", "aac", "-b:a", "128k",
                                    "-f", "matroska"))),
    ("h264_aac.mp4", ("mp4", remux("h264_aac.mkv", "-c", "copy", "-f", "mp4"))),
    ("h264_aac_faststart.mp4", ("mp4", remux("h264_aac.mkv", "-c", "copy", "-movflags", "+faststart", "-f", "mp4"))),
    ("h264_aac.mov", ("mp4", remux("h264_aac.mkv", "-c", "copy", "-f", "mov"))),
    ("h264_aac_frag.mp4", ("mp4", remux("h264_aac.mkv", "-c", "copy", "-movflags", "frag_keyframe+empty_moov",
                                        "-f", "mp4"))),
    ("h264_pcm.avi", ("avi", remux("h264_aac.mkv", "-c:v", "copy", "-bsf:v", "h264_mp4toannexb",
                                   "-c:a", "pcm_s16le", "-f", "avi"))),
    ("mpeg4_mp3.avi", ("avi", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "mpeg4", *RATE, "-c:a", "libmp3lame",
                                     "-b:a", "192k", "-f", "avi"))),
    ("vp8_opus.webm", ("mkv", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "libvpx", "-deadline", "realtime",
                                     "-cpu-used", "8", "-threads", "4", *RATE, "-c:a", "libopus", "-b:a", "128k",
                                     "-f", "webm"))),
    ("h264_aac.flv", ("flv", remux("h264_aac.mkv", "-c", "copy", "-f", "flv"))),
    ("flv1_mp3.flv", ("flv", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "flv", *RATE, "-c:a", "libmp3lame",
                                    "-b:a", "128k", "-ar", "44100", "-f", "flv"))),
    ("gst_h264_aac.flv", ("flv", gst("x264enc speed-preset=ultrafast bitrate=8000 key-int-max=60",
                                     "voaacenc", "flvmux"))),
    ("wmv2_wmav2.wmv", ("asf", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "wmv2", *RATE, "-c:a", "wmav2",
                                      "-b:a", "128k", "-f", "asf"))),
    ("msmpeg4_wmav2.asf", ("asf", encode(*SRC_V, *SRC_A, *NOISE, *RATE, "-f", "asf"))),
    # Audio alone in ASF, as a .wma is: small packets of one stream.
    ("wmav2_256k.wma", ("asf", encode(*PINK(3000), "-c:a", "wmav2", "-b:a", "256k", "-f", "asf"))),
    ("gst_h264_aac.mp4", ("mp4", gst("x264enc speed-preset=ultrafast bitrate=8000 key-int-max=60",
                                     "voaacenc", "mp4mux"))),
    # RealMedia: Debian has no second writer of it (GStreamer only reads it).
    # A packet holds at most 64 kB: the buffer bounds the size of a frame.
    ("rv20_ac3.rm", ("rm", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "rv20", "-b:v", "8M", "-maxrate", "8M",
                                  "-bufsize", "480k", "-g", "60", "-c:a", "ac3", "-b:a", "192k", "-f", "rm"))),
    ("gst_mpeg4_mp3.avi", ("avi", gst("avenc_mpeg4 bitrate=8000000 gop-size=60", "lamemp3enc bitrate=192",
                                      "avimux"))),
    # Ogg and FLAC: noise keeps the audio from compressing to nothing, and
    # long recordings bring it to size (Vorbis q10 ~380 kbit/s, FLAC of 24-bit
    # 96 kHz noise ~3.5 Mbit/s).
    ("theora_vorbis.ogv", ("ogg", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "libtheora", *RATE, "-c:a", "libvorbis",
                                         "-q:a", "6", "-f", "ogg"))),
    ("vorbis_q10.ogg", ("ogg", encode(*PINK(3000), "-c:a", "libvorbis", "-q:a", "10", "-f", "ogg"))),
    ("oggenc_q10.ogg", ("ogg", piped(PINK(3000), ["oggenc", "-Q", "-q", "10", "-", "-o"]))),
    ("opus_510k.opus", ("ogg", encode(*PINK(2400), "-c:a", "libopus", "-b:a", "510k", "-f", "opus"))),
    ("noise_96k.flac", ("flac", encode(*NOISE_96K(400), "-sample_fmt", "s32", "-c:a", "flac", "-f", "flac"))),
    ("flactool_96k.flac", ("flac", piped(NOISE_96K(400) + ["-c:a", "pcm_s24le"], ["flac", "-s", "-f", "-", "-o"]))),
    # Audio: a long 24-bit studio WAV and a long 320 kbit/s MP3 with ID3v2,
    # an Info header and ID3v1, from ffmpeg; a second MP3 from lame.
    ("pcm24.wav", ("wav", encode("-f", "lavfi", "-i", "sine=frequency=440:beep_factor=4:sample_rate=48000:duration=600",
                                 "-ac", "2", "-c:a", "pcm_s24le", "-f", "wav"))),
    ("mp3_320k.mp3", ("mp3", encode("-f", "lavfi", "-i", "sine=frequency=440:beep_factor=4:sample_rate=44100:duration=2400",
                                    "-ac", "2", "-c:a", "libmp3lame", "-b:a", "320k", "-id3v2_version", "3",
                                    "-write_id3v1", "1", "-metadata", "title=campaign", "-f", "mp3"))),
    ("sox_pcm24.wav", ("wav", lambda data, out: ["sox", "-n", "-b", "24", "-r", "48000", "-c", "2", "-t", "wav",
                                                  out, "synth", "600", "sine", "440", "sine", "660"])),
    ("lame_v2.mp3", ("mp3", lambda data, out: ["sh", "-c", "ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i "
                                               "sine=frequency=440:beep_factor=4:sample_rate=44100:duration=2400 "
                                               "-ac 2 -f wav - | lame --quiet -V 0 --add-id3v2 --tt campaign - \"$0\"",
                                               out])),
    ("h264_aac.ts", ("mpeg", remux("h264_aac.mkv", "-c", "copy", "-f", "mpegts"))),
    ("h264_aac.m2ts", ("mpeg", remux("h264_aac.mkv", "-c", "copy", "-mpegts_m2ts_mode", "1", "-f", "mpegts"))),
    ("mpeg2_mp2.vob", ("mpeg", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "mpeg2video", *RATE, "-c:a", "mp2",
                                      "-b:a", "192k", "-f", "vob"))),
    ("mpeg1_mp2.mpg", ("mpeg", encode(*SRC_V, *SRC_A, *NOISE, "-c:v", "mpeg1video", *RATE, "-c:a", "mp2",
                                      "-b:a", "192k", "-f", "mpeg"))),
    ("gst_h264_aac.ts", ("mpeg", gst("x264enc speed-preset=ultrafast bitrate=8000 key-int-max=60",
                                     "avenc_aac", "mpegtsmux"))),
])


def make_recordings(data, names):
    """Makes the missing recordings, each under a temporary name renamed once
    its writer succeeded, so an interrupted run leaves no half file."""
    for name in names:
        command = RECORDINGS[name][1]
        final = os.path.join(data, name)
        if os.path.getsize(final) if os.path.exists(final) else 0:
            continue
        tmp = os.path.join(data, ".tmp-" + name)
        started = time.time()
        print(f"campaign: making {name}", flush=True)
        subprocess.run(command(data, tmp), check=True)
        os.replace(tmp, final)
        print(f"campaign: {name}: {os.path.getsize(final) / 1e6:.0f} MB in {time.time() - started:.0f} s", flush=True)


# --- Layouts: where a file's header, data, index and units lie ---------------
# Each returns a Layout; offsets are byte offsets in the recording.
class Layout:
    def __init__(self, size):
        self.size = size
        self.header = (0, 0)        # the stream descriptions (hdrl, Tracks, moov)
        self.data = (0, size)       # the media data (movi, Clusters, mdat or fragments)
        self.index = None           # (start, end) of index bytes to zero
        self.lost_index = None      # ops that remove the index, and whether that leaves anything
        self.fields = []            # (offset, length) of sizes, counts, durations in the header
        self.swap = 0               # offset of two header bytes to swap (an identifier)
        self.unit = None            # (offset, length, old value, encode(value) -> bytes) of a mid unit's size
        self.boundary = 0           # a boundary between two top-level units near the middle
        self.index_at_end = False   # a cut loses the whole index (MP4 with its moov at the end)


def read_at(f, offset, length):
    f.seek(offset)
    return f.read(length)


def riff_chunks(f, start, end):
    """(fourcc, offset, data size, list type or None) of the chunks in [start, end)."""
    pos = start
    while end - pos >= 8:
        head = read_at(f, pos, 12)
        fourcc, size = head[:4], struct.unpack("<I", head[4:8])[0]
        yield fourcc, pos, size, head[8:12] if fourcc in (b"RIFF", b"LIST") else None
        pos += 8 + size + (size & 1)


def avi_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    L.fields.append((4, 4))  # the RIFF size
    for fourcc, off, size, kind in riff_chunks(f, 12, L.size):
        if kind == b"hdrl":
            L.header = (off + 12, off + 8 + size)
            for sub, soff, ssize, skind in riff_chunks(f, off + 12, off + 8 + size):
                if sub == b"avih":
                    L.fields.append((soff + 8 + 16, 4))  # dwTotalFrames
                elif skind == b"strl":
                    for s, o, _, _ in riff_chunks(f, soff + 12, soff + 8 + ssize):
                        if s == b"strh":
                            L.fields.append((o + 8 + 32, 4))  # dwLength
                            L.swap = L.swap or o
        elif kind == b"movi":
            L.data = (off + 12, off + 8 + size)
            L.fields.append((off + 4, 4))  # the movi list's size
        elif fourcc == b"idx1":
            L.index = (off + 8, off + 8 + size)
            L.lost_index = ([("cut", off)], True)
        elif fourcc == b"RIFF" and kind == b"AVIX" and L.lost_index is None:
            pass  # OpenDML continuation: keep the first RIFF's movi as data
    mid = L.data[0] + (L.data[1] - L.data[0]) // 2
    for fourcc, off, size, kind in riff_chunks(f, L.data[0], L.data[1]):
        if off >= mid and kind is None:
            L.unit = (off + 4, 4, size, lambda v: struct.pack("<I", min(v, 0xFFFFFFFF)))
            L.boundary = off
            break
    return L


def vint(f, pos):
    """(value, length) of the EBML variable-size integer at pos; (None, 1) when invalid."""
    first = read_at(f, pos, 1)
    if not first or first[0] == 0:
        return None, 1
    length = 8 - first[0].bit_length() + 1
    raw = read_at(f, pos, length)
    value = int.from_bytes(raw, "big") & ((1 << (7 * length)) - 1)
    return value, length


def ebml_children(f, start, end):
    """(id, offset, header length, data size) of the elements in [start, end)."""
    pos = start
    while end - pos >= 2:
        first = read_at(f, pos, 1)[0]
        id_len = 8 - first.bit_length() + 1
        eid = int.from_bytes(read_at(f, pos, id_len), "big")
        size, size_len = vint(f, pos + id_len)
        if size is None:
            return
        yield eid, pos, id_len + size_len, size
        if size == (1 << (7 * size_len)) - 1:
            return  # unknown size
        pos += id_len + size_len + size


def mkv_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    (_, ebml_off, ebml_head, ebml_size), = [next(ebml_children(f, 0, L.size))]
    seg_off = ebml_off + ebml_head + ebml_size
    _, _, seg_head, seg_size = next(ebml_children(f, seg_off, L.size))
    L.fields.append((seg_off + 4, seg_head - 4))  # the Segment's size
    clusters = []
    body = seg_off + seg_head
    for eid, off, head, size in ebml_children(f, body, min(L.size, body + seg_size)):
        if eid == 0x1F43B675:
            clusters.append((off, head, size))
        elif eid == 0x1654AE6B:  # Tracks
            L.header = (off, off + head + size)
            L.swap = off
        elif eid == 0x1549A966:  # Info: its Duration
            for cid, coff, chead, csize in ebml_children(f, off + head, off + head + size):
                if cid == 0x4489:
                    L.fields.append((coff + chead, csize))
        elif eid == 0x1C53BB6B:  # Cues
            L.index = (off + head, off + head + size)
            L.lost_index = ([("cut", off)], True)
    last = clusters[-1]
    L.data = (clusters[0][0], last[0] + last[1] + last[2])
    off, head, size = next(c for c in clusters if c[0] >= (L.data[0] + L.data[1]) // 2)
    size_len = head - 4

    def encode(v, n=size_len):
        v = min(v, (1 << (7 * n)) - 2)  # all ones would mean "unknown size"
        return ((1 << (7 * n)) | v).to_bytes(n, "big") if n < 8 else (b"\x01" + v.to_bytes(7, "big"))
    L.unit = (off + 4, size_len, size, encode)
    L.boundary = off
    return L


MP4_CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"mvex", b"edts", b"moof", b"traf", b"mfra"}


def mp4_boxes(f, start, end):
    """(type, offset, header length, box size) of the boxes in [start, end)."""
    pos = start
    while end - pos >= 8:
        size, kind = struct.unpack(">I4s", read_at(f, pos, 8))
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", read_at(f, pos + 8, 8))[0], 16
        elif size == 0:
            size = end - pos
        if size < head:
            return
        yield kind, pos, head, size
        pos += size


def mp4_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    top = list(mp4_boxes(f, 0, L.size))
    kinds = [b[0] for b in top]
    moov = top[kinds.index(b"moov")]
    L.header = (moov[1], moov[1] + moov[3])
    # Walk the movie box with a list, not recursion: the durations, and the
    # video track's sample description, sample count and chunk offsets.
    found, video, pending = [], None, [(moov, None)]
    while pending:
        (kind, off, head, size), trak = pending.pop()
        for child in mp4_boxes(f, off + head, off + size):
            ckind, coff = child[0], child[1]
            if ckind in MP4_CONTAINERS:
                pending.append((child, coff if ckind == b"trak" else trak))
            elif ckind in (b"mvhd", b"mdhd", b"tkhd"):
                wide = read_at(f, coff + 8, 1)[0] == 1  # version 1: 64-bit times
                at = (36 if wide else 28) if ckind == b"tkhd" else (32 if wide else 24)
                L.fields.append((coff + at, 8 if wide else 4))
            elif ckind == b"hdlr" and read_at(f, coff + 16, 4) == b"vide":
                video = trak
            found.append((ckind, trak, child))
    mine = {k: c for k, t, c in reversed(found) if t == video}
    if b"stsd" in mine:
        L.swap = mine[b"stsd"][1] + 4
    if b"stsz" in mine:
        L.fields.append((mine[b"stsz"][1] + 16, 4))  # its sample count
    stco = mine.get(b"stco") or mine.get(b"co64")
    if stco and stco[3] > 16:
        mid = stco[1] + 16 + (stco[3] - 16) // 2
        L.index = (mid, min(stco[1] + stco[3], mid + 4096))
    fragmented = b"moof" in kinds
    moov_last = kinds.index(b"moov") > kinds.index(b"mdat") if b"mdat" in kinds else False
    if fragmented:
        frags = [b for b in top if b[0] in (b"moof", b"mdat")]
        L.data = (frags[0][1], frags[-1][1] + frags[-1][3])
        unit = next(b for b in top if b[0] == b"moof" and b[1] >= (L.data[0] + L.data[1]) // 2)
        if b"mfra" in kinds:
            mfra = top[kinds.index(b"mfra")]
            L.index = (mfra[1] + 8, mfra[1] + mfra[3])
            L.lost_index = ([("cut", mfra[1])], True)
        else:
            L.lost_index = ([("zero", moov[1], moov[3])], False)
    else:
        mdat = top[kinds.index(b"mdat")]
        L.data = (mdat[1] + mdat[2], mdat[1] + mdat[3])
        unit = mdat
        L.lost_index = ([("cut", moov[1])] if moov_last else [("zero", moov[1], moov[3])], False)
    L.index_at_end = moov_last
    L.boundary = unit[1] if fragmented or not moov_last else moov[1]
    if unit[2] == 16:
        L.unit = (unit[1] + 8, 8, unit[3], lambda v: struct.pack(">Q", v))
    else:
        L.unit = (unit[1], 4, unit[3], lambda v: struct.pack(">I", min(v, 0xFFFFFFFF)))
    return L


def flv_tags(f, size):
    """(type, offset, data size) of the tags from the first on, while they chain."""
    pos = 13
    while size - pos >= 15:
        head = read_at(f, pos, 11)
        kind, data = head[0] & 0x1F, int.from_bytes(head[1:4], "big")
        if kind not in (8, 9, 18) or pos + 15 + data > size:
            return
        yield kind, pos, data
        pos += 15 + data


def flv_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    tags = list(flv_tags(f, L.size))
    script = next(t for t in tags if t[0] == 18)
    media = [t for t in tags if t[0] != 18]
    L.header = (script[1], script[1] + 15 + script[2])
    L.data = (media[0][1], L.size)
    L.fields.append((script[1] + 1, 3))  # the script tag's DataSize
    body = read_at(f, script[1] + 11, script[2])
    at = body.find(b"\x00\x08duration\x00")
    if at >= 0:
        L.fields.append((script[1] + 11 + at + 11, 8))
    at = body.find(b"\x00\x09keyframes\x03")
    if at >= 0:
        L.index = (script[1] + 11 + at + 12, script[1] + 11 + script[2] - 3)
    L.swap = script[1]  # its type byte and the first byte of its size
    kind, off, data = next(t for t in media if t[1] >= (L.data[0] + L.data[1]) // 2)
    L.unit = (off + 1, 3, data, lambda v: min(v, 0xFFFFFF).to_bytes(3, "big"))
    L.boundary = off
    return L


def asf_guid(text):
    """A GUID as the format publishes it, in its byte order in the file."""
    return uuid.UUID(text).bytes_le


ASF_HEADER = asf_guid("75B22630-668E-11CF-A6D9-00AA0062CE6C")
ASF_DATA = asf_guid("75B22636-668E-11CF-A6D9-00AA0062CE6C")
ASF_FILE_PROPERTIES = asf_guid("8CABDCA1-A947-11CF-8EE4-00C00C205365")
ASF_STREAM_PROPERTIES = asf_guid("B7DC0791-A9B7-11CF-8EE6-00C00C205365")


def asf_objects(f, start, end):
    """(guid, offset, size) of the objects in [start, end)."""
    pos = start
    while end - pos >= 24:
        head = read_at(f, pos, 24)
        size = struct.unpack("<Q", head[16:])[0]
        yield head[:16], pos, size
        if size < 24:
            return
        pos += size


def asf_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    packet = 0
    for guid, off, size in asf_objects(f, 0, L.size):
        if guid == ASF_HEADER:
            L.header = (off + 30, off + size)
            for cguid, coff, csize in asf_objects(f, off + 30, off + size):
                if cguid == ASF_FILE_PROPERTIES:
                    # File Size, Data Packets Count, Play and Send Duration.
                    L.fields += [(coff + 40, 8), (coff + 56, 8), (coff + 64, 8), (coff + 72, 8)]
                    packet = struct.unpack("<I", read_at(f, coff + 92, 4))[0]
                elif cguid == ASF_STREAM_PROPERTIES and not L.swap:
                    L.swap = coff + 24  # the stream type GUID
        elif guid == ASF_DATA:
            L.data = (off + 50, off + size)
            L.fields += [(off + 16, 8), (off + 40, 8)]  # Object Size, Total Data Packets
            L.unit = (off + 16, 8, size, lambda v: struct.pack("<Q", v))
        elif L.data != (0, L.size):
            L.index = (off + 24, off + size)
            L.lost_index = ([("cut", off)], True)
            break
    # A packet boundary near the middle of the data.
    count = (L.data[1] - L.data[0]) // packet
    L.boundary = L.data[0] + count // 2 * packet
    # A frame's position is that of the data packet holding its first
    # fragment, behind that packet's header and the payloads before it; its
    # fragments share the packets after with other streams' payloads.
    L.unit_end = lambda pos, size: pos + size + size // 16 + 2 * packet
    return L


def ogg_pages(f, size):
    """(offset, segment count, page length, header type) of the pages of an intact file."""
    pos = 0
    while size - pos >= 27:
        head = read_at(f, pos, 27)
        if head[:4] != b"OggS":
            return
        n = head[26]
        length = 27 + n + sum(read_at(f, pos + 27, n))
        yield pos, n, length, head[5]
        pos += length


def ogg_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    pages = list(ogg_pages(f, L.size))
    # The codec headers: the pages up to the first with a granule position
    # past the headers, taken as the first three pages of each stream.
    first_data = next(i for i, p in enumerate(pages) if i >= 3 and not p[3] & 2)
    L.header = (0, pages[first_data][0])
    L.data = (pages[first_data][0], L.size)
    L.swap = 29  # inside the first codec head
    mid = next(p for p in pages if p[0] >= L.size // 2)
    L.unit = (mid[0] + 26, 1, mid[1], lambda v: bytes([min(v, 255)]))
    L.boundary = mid[0]
    # A page is kept or lost whole: its CRC cannot tell which of its bytes
    # are sound. Damage reaches the whole pages it touches.
    starts = [p[0] for p in pages]
    ends = {p[0]: p[0] + p[2] for p in pages}

    def page_of(offset):
        i = max(0, bisect.bisect_right(starts, offset) - 1)
        return starts[i], ends[starts[i]]
    L.widen = lambda a, b: (page_of(a)[0], page_of(max(a, b - 1))[1]) if a < L.size else (a, b)
    L.unit_end = lambda pos, size: ends.get(pos, pos)
    return L


def flac_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    pos, last = 4, False
    while not last:
        head = read_at(f, pos, 4)
        last, length = head[0] & 0x80, int.from_bytes(head[1:], "big")
        pos += 4 + length
    L.header = (0, pos)
    L.data = (pos, L.size)
    L.fields.append((8 + 14, 4))  # total samples (its low 32 bits)
    L.swap = 8 + 10  # the sample rate
    # A frame header near the middle: the sync of a fixed-size stream.
    sync = read_at(f, pos, 2)
    mid = L.size // 2
    block = read_at(f, mid, 1 << 20)
    at = mid + block.index(sync)
    L.unit = (at + 2, 1, read_at(f, at + 2, 1)[0], lambda v: bytes([v & 0xFF]))
    L.boundary = at
    return L


# No extension routes a file to the FLAC repairer: its own driver builds it.
DRIVERS = {"flac": "mendcore_flac_e2e"}
MP3_RATES = {3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],   # MPEG-1 layer III
             2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}    # MPEG-2 layer III
MP3_FREQS = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000]}


def mp3_frame_length(h):
    """Length of the layer III frame whose 4 header bytes are h, or 0."""
    if len(h) < 4 or h[0] != 0xFF or (h[1] & 0xE6) != 0xE2:
        return 0
    version, rate, freq = (h[1] >> 3) & 3, h[2] >> 4, (h[2] >> 2) & 3
    if version not in MP3_RATES or rate in (0, 15) or freq == 3:
        return 0
    return (144 if version == 3 else 72) * MP3_RATES[version][rate] * 1000 // MP3_FREQS[version][freq] + ((h[2] >> 1) & 1)


def mp3_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    head = read_at(f, 0, 10)
    tag_end = 0
    if head[:3] == b"ID3":
        tag_end = 10 + ((head[6] & 0x7F) << 21 | (head[7] & 0x7F) << 14 | (head[8] & 0x7F) << 7 | (head[9] & 0x7F))
        L.fields.append((6, 4))  # the tag's size
    end = L.size - 128 if read_at(f, L.size - 128, 3) == b"TAG" else L.size
    frames, pos = [], tag_end
    while pos < end:
        n = mp3_frame_length(read_at(f, pos, 4))
        if not n:
            break
        frames.append(pos)
        pos += n
    first = read_at(f, frames[0], 64)
    for name in (b"Xing", b"Info"):
        at = first.find(name)
        if at >= 0:
            L.fields.append((frames[0] + at + 8, 8))  # its frame and byte counts
    L.header = (0, frames[1])  # the tag and the Info frame
    L.data = (frames[1], pos)
    L.swap = frames[0] + 1
    mid = frames[len(frames) // 2]
    h = read_at(f, mid, 4)

    def encode(v, h=h, old=mp3_frame_length(h)):
        index = 0 if v == 0 else (14 if v > old else 1)  # the bit rate is the frame's size
        return bytes([h[0], h[1], (h[2] & 0x0F) | (index << 4), h[3]])
    L.unit = (mid, 4, mp3_frame_length(h), encode)
    L.boundary = mid
    return L


def wav_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    L.fields.append((4, 4))  # the RIFF size
    for fourcc, off, size, _ in riff_chunks(f, 12, L.size):
        if fourcc == b"fmt ":
            L.swap = off
        elif fourcc == b"data":
            L.header = (12, off + 8)
            L.data = (off + 8, min(L.size, off + 8 + size))
            L.fields.append((off + 4, 4))
            L.unit = (off + 4, 4, size, lambda v: struct.pack("<I", min(v, 0xFFFFFFFF)))
            L.boundary = off
            break
    return L




def mpeg_layout(path):
    """Transport stream: the PAT and PMT packets are the header, a mid
    packet's adaptation_field_length the unit size. Program stream: the
    first pack is the header, a mid PES packet's length the unit size."""
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    head = read_at(f, 0, 8)
    if head[0] == 0x47 or head[4] == 0x47:
        sync = 0 if head[0] == 0x47 else 4
        plen = 188 if sync == 0 and read_at(f, 188, 1) == b"\x47" else 192
        L.header = (0, 2 * plen)
        L.data = (2 * plen, L.size)
        L.run_on = plen  # a frame ends in the packet before its stream's next PES starts
        L.fields = [(sync + 1, 2), (plen + sync + 1, 2)]  # the PIDs of PAT and PMT packets
        L.swap = plen + sync + 1
        pos = (L.size // 2) // plen * plen
        while pos + plen <= L.size:
            pkt = read_at(f, pos + sync, 6)
            if pkt[0] == 0x47 and pkt[3] & 0x20 and 0 < pkt[4] < 183:
                L.unit = (pos + sync + 4, 1, pkt[4], lambda v: bytes([min(v, 255)]))
                L.boundary = pos
                break
            pos += plen
        return L
    pack = read_at(f, 0, 14)
    first = 12 if pack[4] >> 4 == 2 else 14 + (pack[13] & 7)
    L.run_on = 2048  # a frame ends inside the PES packet where its stream's next one starts
    L.header = (0, first)
    L.data = (first, L.size)
    L.fields = [(9 if first == 12 else 10, 3)]  # the first pack's mux rate
    L.swap = 4
    block = read_at(f, L.size // 2, 1 << 20)
    at = block.find(b"\x00\x00\x01\xe0")
    off = L.size // 2 + at
    L.unit = (off + 4, 2, struct.unpack(">H", block[at + 4:at + 6])[0], lambda v: struct.pack(">H", min(v, 0xFFFF)))
    L.boundary = L.size // 2 + block.find(b"\x00\x00\x01\xba")
    return L




def rm_chunks(f, size):
    pos = 0
    while size - pos >= 8:
        fourcc, csize = struct.unpack(">4sI", read_at(f, pos, 8))
        if csize < 8:
            break
        yield fourcc, pos, csize
        pos += csize


def rm_layout(path):
    f = open(path, "rb")
    L = Layout(os.path.getsize(path))
    for fourcc, off, size in rm_chunks(f, L.size):
        if fourcc == b"PROP":
            L.fields += [(off + 26, 4), (off + 30, 4), (off + 42, 4)]  # packets, duration, data offset
        elif fourcc == b"MDPR":
            L.fields.append((off + 36, 4))  # the stream's duration
            L.swap = L.swap or off + 40 + 1  # two letters of its name
        elif fourcc == b"DATA":
            L.header = (0, off)
            # ffmpeg's DATA size overstates the chunk: the packets run to the end.
            L.data = (off + 18, min(L.size, off + size))
            L.fields += [(off + 4, 4), (off + 10, 4)]  # size, packet count
            break
        elif fourcc == b"INDX":
            L.index = (off, off + size)
    mid = L.data[0] + (L.data[1] - L.data[0]) // 2
    pos = L.data[0]
    while pos + 12 <= L.data[1]:
        version, length = struct.unpack(">HH", read_at(f, pos, 4))
        if version > 1 or length < 12:
            break
        if pos >= mid:
            L.unit = (pos + 2, 2, length, lambda v: struct.pack(">H", min(v, 0xFFFF)))
            L.boundary = pos
            break
        pos += length
    return L


LAYOUTS = {"avi": avi_layout, "mkv": mkv_layout, "mp4": mp4_layout, "flv": flv_layout, "asf": asf_layout, "ogg": ogg_layout, "flac": flac_layout, "mp3": mp3_layout, "wav": wav_layout, "mpeg": mpeg_layout, "rm": rm_layout}




def layout(family, path):
    L = LAYOUTS[family](path)
    L.path = path
    return L


# --- Damages ------------------------------------------------------------------
# A damage is a list of operations on a copy of the recording:
#   ("cut", n)               keep the first n bytes
#   ("zero", at, n)          n zero bytes at `at`
#   ("random", at, n)        n seeded random bytes at `at`
#   ("put", at, bytes)       these bytes at `at`
#   ("insert", at, n)        n seeded random bytes inserted before `at`
#   ("append", n)            n seeded random bytes at the end
#   ("sparse", n)            a hole of n bytes at the end
# with the byte ranges of the recording it destroys (packets overlapping them
# may be lost) and whether a refusal is acceptable (nothing left to repair).
class Damage:
    def __init__(self, name, ops, ranges, refusable=False):
        self.name, self.ops, self.ranges, self.refusable = name, ops, ranges, refusable
        self.payload = None  # whether it reaches media bytes: set by damages()


def damages(L, sparse):
    size, (h0, h1), (d0, d1) = L.size, L.header, L.data
    at = lambda frac: d0 + int((d1 - d0) * frac)  # noqa: E731
    hlen = max(1, min(256, (h1 - h0) // 4))
    out = []

    def add(name, ops, ranges, refusable=False):
        out.append(Damage(name, ops, ranges, refusable))

    for pct in (10, 50, 90):
        cut = size * pct // 100
        add(f"cut {pct}%", [("cut", cut)], [(cut, size)], L.index_at_end)
    add("cut in header", [("cut", (h0 + h1) // 2)], [((h0 + h1) // 2, size)], True)
    for name, kind, frac, n in (("zero 4K data", "zero", 0.30, 4096), ("zero 1M data", "zero", 0.50, MiB),
                                ("zero 16M data", "zero", 0.60, 16 * MiB), ("random 4K data", "random", 0.40, 4096),
                                ("random 1M data", "random", 0.70, MiB)):
        add(name, [(kind, at(frac), n)], [(at(frac), at(frac) + n)])
    for name, kind, frac in (("zero in header", "zero", 0.6), ("random in header", "random", 0.4)):
        start = h0 + int((h1 - h0) * frac)
        add(name, [(kind, start, hlen)], [(start, start + hlen)], True)
    if L.index:
        add("zero index", [("zero", L.index[0], L.index[1] - L.index[0])], [L.index])
    if L.lost_index:
        ops, keeps = L.lost_index
        add("lost index", ops, [], not keeps)
    add("zero size fields", [("zero", o, n) for o, n in L.fields], [(o, o + n) for o, n in L.fields])
    f = open(L.path, "rb")
    pair = read_at(f, L.swap, 2)
    add("swapped header bytes", [("put", L.swap, pair[::-1])], [(L.swap, L.swap + 2)], True)
    off, n, old, encode = L.unit
    for name, value in (("unit size too large", max(old * 4, size)), ("unit size too small", old // 2),
                        ("unit size zero", 0)):
        add(name, [("put", off, encode(value))], [(off, off + n)])
        out[-1].payload = False  # a size field, not media bytes
    add("spliced garbage", [("insert", L.boundary, 65536)], [(L.boundary, L.boundary)])
    add("trailing garbage", [("append", MiB)], [])
    if sparse:
        add("5 GiB sparse tail", [("sparse", 5 << 30)], [])
    widen = getattr(L, "widen", None)
    for d in out:
        d.run_on = getattr(L, "run_on", 0)
        if widen:
            d.ranges = [widen(a, b) for a, b in d.ranges]
        d.unit_end = getattr(L, "unit_end", None)
    for d in out:  # a damage that reaches media bytes may leave decode errors nobody can see
        if d.payload is None:
            d.payload = any(a < b and a < d1 and d0 < b for a, b in d.ranges)
    return out


def copy_range(fin, fout, start, end):
    """Copies [start, end) of fin to fout's position (both unbuffered)."""
    while start < end:
        n = os.copy_file_range(fin.fileno(), fout.fileno(), end - start, start)
        if n <= 0:
            raise OSError(f"short copy at {start}")
        start += n


def write_damaged(src, dst, damage, seed):
    """Writes src with the damage applied to dst."""
    rng = random.Random(seed)
    size = os.path.getsize(src)
    end = min([op[1] for op in damage.ops if op[0] == "cut"] + [size])
    with open(src, "rb", buffering=0) as fin, open(dst, "wb", buffering=0) as fout:
        start = 0
        for op in damage.ops:
            if op[0] == "insert":
                copy_range(fin, fout, start, op[1])
                fout.write(rng.randbytes(op[2]))
                start = op[1]
        copy_range(fin, fout, start, end)
        for op in damage.ops:
            if op[0] in ("zero", "random", "put"):
                fout.seek(op[1])
                fout.write(bytes(op[2]) if op[0] == "zero" else rng.randbytes(op[2]) if op[0] == "random" else op[2])
            elif op[0] == "append":
                fout.seek(0, os.SEEK_END)
                fout.write(rng.randbytes(op[1]))
            elif op[0] == "sparse":
                fout.truncate(os.fstat(fout.fileno()).st_size + op[1])


# --- Judging ------------------------------------------------------------------
MARGIN = 16  # bytes of a packet's own header before its data (AVI chunk, Matroska block)


def probe_packets(path, limit):
    """[(stream, size, pos, hash)] of the file's packets, or None when ffprobe fails."""
    cmd = ["ffprobe", "-v", "error", "-show_packets", "-show_data_hash", "CRC32", "-show_entries",
           "packet=stream_index,size,pos,data_hash", "-of", "compact", path]
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return None
    found = []
    # A packet with side data (MP3 start and end padding) carries its hash
    # on a continuation line.
    for line in r.stdout.replace("\n|", "|").splitlines():
        if line.startswith("packet|"):
            d = dict(x.split("=", 1) for x in line.split("|")[1:] if "=" in x)
            pos = int(d["pos"]) if d.get("pos", "N/A").isdigit() else -1
            found.append((int(d["stream_index"]), int(d["size"]), pos, d.get("data_hash") or "-"))
    return found if r.returncode == 0 or found else None


def decode_errors(path, limit):
    """The error lines of a full decode, or a line saying why there was none."""
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-threads", "2", "-i", path, "-f", "null", "-"]
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return ["decode timed out"]
    lines = [x for x in r.stderr.splitlines() if x.strip()]
    return lines or ([f"ffmpeg exit {r.returncode}"] if r.returncode else [])


def outside(packets, ranges, unit_end=None, run_on=0):
    """The packets that lie wholly outside the damaged byte ranges. unit_end,
    where the container checks whole units (an Ogg page's CRC) or a packet's
    bytes do not follow its position (ASF), gives from a packet's position
    and size where it ends at least. run_on, where a frame's bytes are
    spread over the packets of its stream (MPEG PES packets), is how far
    into the stream's next positioned packet a frame may reach: its bytes
    lie between its own position and there."""
    def hit(p, pos, following):
        lo, hi = pos - MARGIN, pos + p[1] + MARGIN
        if unit_end:
            hi = max(hi, unit_end(pos, p[1]) + MARGIN)
        if run_on and following >= 0:
            hi = max(hi, following + run_on + MARGIN)
        return any(lo < b and a < hi for a, b in ranges)
    # The position of each stream's next positioned packet after each packet.
    following, ahead = [-1] * len(packets), {}
    for i in range(len(packets) - 1, -1, -1):
        following[i] = ahead.get(packets[i][0], -1)
        if packets[i][2] >= 0:
            ahead[packets[i][0]] = packets[i][2]
    # A packet without a position (the second and later frames of an MPEG
    # PES packet) lies in the unit of its stream's packet before it.
    last, out = {}, []
    for i, p in enumerate(packets):
        pos = p[2] if p[2] >= 0 else last.get(p[0], -1)
        if p[2] >= 0:
            last[p[0]] = p[2]
        if pos < 0 or not hit(p, pos, following[i]):
            out.append(p)
    return out


def kept_count(expected, found):
    """How many expected packets (by size and content) the judged file holds."""
    have = collections.Counter((p[1], p[3]) for p in found)
    want = collections.Counter((p[1], p[3]) for p in expected)
    return sum(min(n, have[k]) for k, n in want.items())


def streams_whole_or_gone(expected, found):
    """Whether every stream's expected packets are all in found or none is."""
    have = collections.Counter((p[1], p[3]) for p in found)
    streams = collections.defaultdict(lambda: [0, 0])
    for p in expected:
        k = (p[1], p[3])
        streams[p[0]][0] += 1
        if have[k] > 0:
            have[k] -= 1
            streams[p[0]][1] += 1
    return all(kept in (0, n) for n, kept in streams.values())


# --- Running ------------------------------------------------------------------
class Case:
    def __init__(self, recording, damage):
        self.recording, self.damage = recording, damage
        self.parse = self.records = self.repair = "-"
        self.seconds = self.mb = 0.0
        self.kept = self.expected = 0
        self.errors = 0
        self.verdict, self.note = "?", ""


def driver_line(text):
    m = re.search(r"^e2e (.*)$", text, re.M)
    return dict(x.split("=", 1) for x in m.group(1).split()) if m else None


def run_case(args, rec, family, original, damage, work):
    case = Case(rec, damage.name)
    src = os.path.join(args.data, rec)
    ext = os.path.splitext(rec)[1]
    damaged, out = work + ".in" + ext, work + ".out" + ext
    try:
        write_damaged(src, damaged, damage, f"{rec}/{damage.name}")
        started = time.time()
        driver = os.path.join(os.path.dirname(args.driver), DRIVERS.get(family, "mendcore_e2e"))
        r = subprocess.run(["timeout", "-k", "5", str(args.limit), driver, "repair", damaged, out],
                           capture_output=True, text=True)
        case.seconds = time.time() - started
        line = driver_line(r.stdout)
        if r.returncode == 124:
            case.verdict, case.note = "HANG", f"killed after {args.limit} s"
            return case
        if r.returncode < 0 or r.returncode > 3 or line is None:
            case.verdict, case.note = "CRASH", f"exit {r.returncode}: {r.stderr.strip()[-120:]}"
            return case
        case.parse, case.records, case.repair = int(line["parse"]), int(line["records"]), line["repair"]
        case.seconds, case.mb = float(line["wall_s"]), int(line["maxrss_kb"]) / 1024
        expected = outside(original, damage.ranges, getattr(damage, "unit_end", None), getattr(damage, "run_on", 0))
        case.expected = len(expected)
        refused = case.parse < 0 or (case.repair != "none" and int(case.repair) < 0)
        if refused:
            ok = damage.refusable or not expected
            case.verdict = "OK" if ok else "LOSS"
            case.note = "refused" + (": nothing left to repair" if damage.refusable else "")
            return case
        undamaged = case.repair == "none"
        judged = damaged if undamaged else out
        found = probe_packets(judged, args.limit * 5) if os.path.exists(judged) else None
        if not found:
            case.verdict, case.note = "FAIL", "success, but the file does not open or holds no packet"
            return case
        case.kept = kept_count(expected, found)
        errors = decode_errors(judged, args.limit * 5)
        case.errors = len(errors)
        if errors and not damage.payload:
            case.verdict, case.note = "FAIL", "decode errors, yet no payload was damaged: " + errors[0][:60]
        elif case.kept < case.expected and not (damage.refusable and not undamaged and
                                                streams_whole_or_gone(expected, found)):
            case.verdict = "FAIL" if undamaged else "LOSS"
            case.note = "packets missing" if undamaged else ""
        elif case.kept < case.expected:
            # Damage a refusal may answer destroyed a stream's description:
            # the other streams are kept whole, that one is left out.
            case.verdict = "OK"
            case.note = "kept whole the streams whose header survived"
        else:
            case.verdict = "OK"
            case.note = "decode errors from damaged payload" if errors else ""
        if undamaged:
            case.note = ("undamaged; " + case.note).rstrip("; ")
        return case
    finally:
        for path in (damaged, out):
            if args.keep and os.path.exists(path):
                os.replace(path, os.path.join(args.keep, f"{os.path.splitext(rec)[0]}-{damage.name.replace(' ', '_')}"
                                                        f"{'-out' if path == out else ''}{ext}"))
            elif os.path.exists(path):
                os.remove(path)


def original_packets(args, rec):
    """The recording's packets, cached beside it; refuses a recording that does
    not decode cleanly, since it could not judge anything."""
    path = os.path.join(args.data, rec)
    cache = os.path.join(args.data, f".{rec}.packets")
    stamp = f"{os.path.getsize(path)} {os.path.getmtime(path)}"
    if os.path.exists(cache):
        with open(cache) as f:
            lines = f.read().splitlines()
        if lines and lines[0] == stamp:
            return [(int(a), int(b), int(c), d) for a, b, c, d in (x.split() for x in lines[1:])]
    errors = decode_errors(path, 600)
    if errors:
        sys.exit(f"campaign: {rec} does not decode cleanly: {errors[0]}")
    found = probe_packets(path, 600)
    with open(cache, "w") as f:
        f.write(stamp + "\n" + "".join(f"{a} {b} {c} {d}\n" for a, b, c, d in found))
    return found


COLUMNS = "{:<24} {:<22} {:>6} {:>7} {:>6} {:>7} {:>6} {:>13} {:>6}  {:<7} {}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("data", nargs="?", default=os.path.join(ROOT, "build", "campaign-data"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder holding bench/mendcore_e2e")
    ap.add_argument("--only", default="", help="comma-separated recordings (default: all)")
    ap.add_argument("--damage", default="", help="comma-separated damage names (default: all)")
    ap.add_argument("--jobs", type=int, default=3, help="cases run at once (each holds two copies on disk)")
    ap.add_argument("--limit", type=int, default=60, help="seconds after which the driver counts as hung")
    ap.add_argument("--keep", default="", help="folder that keeps each damaged copy and its repaired output")
    args = ap.parse_args()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    args.driver = os.path.join(args.build, "bench", "mendcore_e2e")
    if not os.access(args.driver, os.X_OK):
        sys.exit(f"campaign: {args.driver} not found; build first")
    os.makedirs(args.data, exist_ok=True)
    args.data = os.path.abspath(args.data)
    names = [n for n in RECORDINGS if not args.only or n in args.only.split(",")]
    # A remux needs its source, even when only the remux is asked for.
    sources = {getattr(RECORDINGS[n][1], "source", None) for n in names}
    make_recordings(args.data, [n for n in RECORDINGS if n in names or n in sources])

    cases, sparse_done = [], set()
    for rec in names:
        family = RECORDINGS[rec][0]
        L = layout(family, os.path.join(args.data, rec))
        original = original_packets(args, rec)
        for d in damages(L, family not in sparse_done):
            if not args.damage or d.name in args.damage.split(","):
                cases.append((rec, family, original, d))
        sparse_done.add(family)
    print(f"campaign: {len(cases)} cases on {len(names)} recordings, {args.jobs} at a time", flush=True)

    header = COLUMNS.format("recording", "damage", "parse", "records", "repair", "seconds", "MB",
                            "kept/expected", "errors", "verdict", "note")
    print(header, flush=True)
    results = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = [pool.submit(run_case, args, rec, family, original, d, os.path.join(args.data, f".case{i}"))
                   for i, (rec, family, original, d) in enumerate(cases)]
        for future in futures:
            c = future.result()
            results.append(c)
            print(COLUMNS.format(c.recording, c.damage, c.parse, c.records, c.repair, f"{c.seconds:.1f}",
                                 f"{c.mb:.0f}", f"{c.kept}/{c.expected}", c.errors, c.verdict, c.note), flush=True)
    counts = collections.Counter(c.verdict for c in results)
    print("summary: " + ", ".join(f"{v} {counts[v]}" for v in ("OK", "LOSS", "FAIL", "HANG", "CRASH")) +
          f" of {len(results)} cases; max {max(c.seconds for c in results):.1f} s, "
          f"max {max(c.mb for c in results):.0f} MB")
    refused = [c for c in results if c.note.startswith("refused")]
    if refused:
        print("refused (for a human to look at): " + "; ".join(f"{c.recording} {c.damage} ({c.parse}/{c.repair})"
                                                              for c in refused))
    return 1 if counts["FAIL"] or counts["HANG"] or counts["CRASH"] else 0


if __name__ == "__main__":
    sys.exit(main())
