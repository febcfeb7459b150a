#!/usr/bin/env bash
# End-to-end benchmark: parse plus repair of a large cut recording through the
# shared library, against cp and dd of the same file; then the analysis speed
# over appended zeros, random bytes and a 5 GiB hole. Not a test: run by hand.
#
#   bench/e2e.sh [folder]
#
# The data goes into folder (else $KEEP, else BUILD/bench-data) and the
# recordings are kept there for later runs. Needs about 6 GB free at SIZE=700:
# four recordings, plus one cut copy and one output at a time.
# Environment:
#   RUNS   paired runs per container, after one warm-up (default 5)
#   SIZE   size of each recording in MB (default 700)
#   KEEP   data folder, when no argument is given
#   BUILD  build folder holding bench/mendcore_e2e (default: build/ beside bench/)
#   LIMIT  seconds after which one driver run counts as hung (default 1800)
#   ONLY   comma-separated list of the repair cases to run (their first word,
#          "mp4" for both MP4 cases), "memory" for the peak memory of long
#          recordings and "analysis" for the analysis cases; everything when
#          unset. Recordings of the cases left out are not made.
#   MEM_SIZES  sizes in MB of the long recordings whose peak memory is
#          measured (default "700 3000 10000"; "700 3000" for a quick run).
#          Each is made from the source recording, measured once and
#          deleted: the largest needs twice its size free.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
DRIVER=$BUILD/bench/mendcore_e2e
DATA=${1:-${KEEP:-$BUILD/bench-data}}
RUNS=${RUNS:-5}
SIZE=${SIZE:-700}
LIMIT=${LIMIT:-1800}
TAIL_MIB=256
INSIDE_MIB=128

[[ -x $DRIVER ]] || { echo "e2e: $DRIVER not found; build first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "e2e: ffmpeg not found" >&2; exit 1; }
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
LOG=$DATA/.log
trap 'rm -f "$DATA"/cut.* "$DATA"/out.* "$DATA"/tail.* "$DATA"/.tmp-* "$LOG"' EXIT
echo "e2e: data in $DATA (needs ~6 GB free), $RUNS paired runs, recordings of ~$SIZE MB"

FF=(ffmpeg -hide_banner -loglevel error -nostdin -y)
# make OUT ffmpeg-args...: writes under a temporary name and renames it once
# ffmpeg succeeded, so an interrupted run leaves no half file to reuse.
make() {
  local out=$1; shift
  [[ -s $out ]] && return 0
  local tmp
  tmp=$DATA/.tmp-$(basename "$out")
  "${FF[@]}" "$@" "$tmp" && mv -f "$tmp" "$out"
}

# One source, encoded once; the other containers are remuxes of its packets.
# The noise keeps x264 from compressing the picture to nothing; -fs ends the
# recording at the size asked for. A bitrate of a phone or camera recording
# (6 Mbit/s, about 15 minutes for 700 MB) gives as many frames, and so as
# many headers to walk, as the recordings users bring.
REC=$DATA/rec$SIZE-6m
if [[ ! -s $REC.mkv ]]; then
  echo "e2e: encoding $REC.mkv (a few minutes at most)"
  t0=$EPOCHREALTIME
  make "$REC.mkv" -f lavfi -i "testsrc2=size=640x360:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -vf "noise=alls=12:allf=t" \
    -c:v libx264 -preset ultrafast -threads 0 -pix_fmt yuv420p -g 50 \
    -b:v 6M -maxrate 6M -bufsize 12M -c:a libmp3lame -b:a 128k -fs $((SIZE * 1000000))
  awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "e2e: encoded in %.0f s\n", b - a }'
fi
# Small clips for the analysis cases, and the random tail, made once.
CLIP=$DATA/clip
make "$CLIP.mkv" -f lavfi -i "testsrc2=size=640x360:rate=30" -f lavfi -i "sine=frequency=440" \
  -t 4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a libmp3lame -b:a 128k
make "$CLIP.avi" -i "$CLIP.mkv" -c copy -bsf:v h264_mp4toannexb
make "$CLIP.mp4" -i "$CLIP.mkv" -c copy
make "$CLIP.asf" -i "$CLIP.mkv" -c copy -bsf:v h264_mp4toannexb -f asf
make "$CLIP.flv" -i "$CLIP.mkv" -c copy
make "$CLIP.ts" -i "$CLIP.mkv" -c copy -bsf:v h264_mp4toannexb -f mpegts
make "$CLIP.vob" -i "$CLIP.mkv" -c copy -bsf:v h264_mp4toannexb -f vob
make "$CLIP.rm" -i "$CLIP.mkv" -c:v rv20 -b:v 2M -c:a ac3
make "$CLIP.mp3" -i "$CLIP.mkv" -vn -c:a copy
make "$CLIP.wav" -i "$CLIP.mkv" -vn -c:a pcm_s16le
make "$CLIP.ogg" -i "$CLIP.mkv" -vn -c:a libvorbis
if [[ ! -s $DATA/random.bin ]]; then
  head -c $((TAIL_MIB << 20)) /dev/urandom >"$DATA/.tmp-random" && mv -f "$DATA/.tmp-random" "$DATA/random.bin"
fi

# timed CMD...: an untimed sync (so no run pays for the writeback of the one
# before), then CMD with its output in $LOG; sets T (seconds) and RC.
timed() {
  sync
  local t0=$EPOCHREALTIME
  RC=0
  "$@" >"$LOG" 2>&1 || RC=$?
  T=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
}
# field NAME: a key=value field of the driver's line in $LOG.
field() { sed -n "s/^e2e .* $1=\([^ ]*\).*/\1/p" "$LOG"; }
# median X...: the median of the numbers.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { printf "%.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The driver's failure, with its codes: exit 124 (timeout) or 142 (the
# driver's own alarm) is a hang cut by LIMIT.
failure() {
  if [[ $RC -eq 124 || $RC -eq 142 ]]; then echo "FAIL timeout after ${LIMIT}s"
  else echo "FAIL exit $RC parse=$(field parse) repair=$(field repair)"; fi
}
must() { [[ $RC -eq 0 ]] || { echo "e2e: $1 failed (exit $RC): $(head -c 300 "$LOG")" >&2; exit 1; }; }

# wanted NAME: whether ONLY selects the case NAME (by its first word).
wanted() { [[ -z ${ONLY:-} || ",$ONLY," == *",${1%% *},"* ]]; }

# minimum X...: the smallest of the numbers.
minimum() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { printf "%.2f", $1 }'; }

# bench_repair NAME FILE [ARGS...]: makes FILE from the source recording with
# ffmpeg ARGS when it is missing, cuts it at 90 %, then one warm-up and RUNS
# paired runs of cp, dd and the driver's parse plus repair to a path. Each
# repair is timed twice: as a user times it (the whole driver process, from
# its start to its exit, like cp and dd) and by the driver's own clock (from
# SetFile to the repairer's teardown).
bench_repair() {
  wanted "$1" || return 0
  local name=$1 src=$2 ext=${2##*.}
  if [[ $# -gt 2 ]]; then make "$src" -i "$REC.mkv" "${@:3}"; fi
  local cut=$DATA/cut.$ext out=$DATA/out.$ext
  head -c $(($(stat -c %s "$src") * 9 / 10)) "$src" >"$cut"
  local cps=() dds=() reps=() whs=() rr=() wr=() dr=() peak=0 records=? fail="" i
  for ((i = 0; i <= RUNS; i++)); do
    timed cp "$cut" "$out"; must cp; local tc=$T; rm -f "$out"
    timed dd if="$cut" of="$out" bs=1M; must dd; local td=$T; rm -f "$out"
    # The driver ends itself after LIMIT seconds: no timeout program
    # starts in front of it inside the timed span.
    E2E_LIMIT=$LIMIT timed "${CASE_DRIVER:-$DRIVER}" repair "$cut" "$out"; rm -f "$out"
    if [[ $RC -ne 0 ]]; then fail=$(failure); break; fi
    local tw=$T tr; tr=$(field wall_s)
    ((i == 0)) && continue  # the warm-up run
    cps+=("$tc"); dds+=("$td"); reps+=("$tr"); whs+=("$tw")
    rr+=("$(awk -v r="$tr" -v c="$tc" 'BEGIN { print r / c }')")
    wr+=("$(awk -v r="$tw" -v c="$tc" 'BEGIN { print r / c }')")
    dr+=("$(awk -v d="$td" -v c="$tc" 'BEGIN { print d / c }')")
    local kb; kb=$(field maxrss_kb)
    ((kb > peak)) && peak=$kb
    records=$(field records)
  done
  rm -f "$cut"
  if [[ -n $fail ]]; then
    printf '%-15s %6d  %s\n' "$name" $(($(stat -c %s "$src") * 9 / 10 / 1000000)) "$fail"
    return
  fi
  printf '%-15s %6d %6s %6s %7s %7s %11s %11s %6s %5d %7s %5s\n' "$name" $(($(stat -c %s "$src") * 9 / 10 / 1000000)) \
    "$(median "${cps[@]}")" "$(median "${dds[@]}")" "$(median "${whs[@]}")" "$(median "${reps[@]}")" \
    "$(median "${wr[@]}")/$(minimum "${wr[@]}")" "$(median "${rr[@]}")/$(minimum "${rr[@]}")" \
    "$(median "${dr[@]}")" $((peak / 1024)) "$records" "$(cut -d' ' -f1 /proc/loadavg)"
}

# startup: 20 runs each of a program that loads the shared library and exits
# and of /bin/true, whole-process; the median and the minimum of each.
startup() {
  local prog=$BUILD/bench/mendcore_start lib=() base=() i t0
  [[ -x $prog ]] || { echo "e2e: $prog not found; start-up not measured" >&2; return 0; }
  for ((i = 0; i < 20; i++)); do
    t0=$EPOCHREALTIME; "$prog" || { echo "e2e: $prog failed" >&2; return 0; }
    lib+=("$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { print (b - a) * 1000 }')")
    t0=$EPOCHREALTIME; /bin/true
    base+=("$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { print (b - a) * 1000 }')")
  done
  printf 'Start-up, whole process (20 runs): library %s ms (min %s), /bin/true %s ms (min %s)\n' \
    "$(median "${lib[@]}")" "$(printf '%s\n' "${lib[@]}" | sort -g | head -1)" \
    "$(median "${base[@]}")" "$(printf '%s\n' "${base[@]}" | sort -g | head -1)"
}

# analyse FILE: RUNS analysis runs; sets SECS to the median parse time and
# RESULT to the parse code and the number of records, or to the failure.
analyse() {
  local secs=() i
  RESULT=""
  for ((i = 0; i < RUNS; i++)); do
    timed timeout "$LIMIT" "$DRIVER" analyse "$1"
    if [[ $RC -ne 0 && $RC -ne 1 ]]; then RESULT=$(failure); return; fi
    secs+=("$(field parse_s)")
  done
  SECS=$(median "${secs[@]}")
  RESULT="parse=$(field parse) records=$(field records)"
}

echo
startup
echo
echo "Parse + repair of a recording cut at 90 %, against cp and dd ($RUNS paired runs, each after a sync)"
echo "whole: the driver process timed from its start to its exit, as cp is; driver: its own clock,"
echo "from SetFile to the repairer's teardown (no program or library loading); ratios to cp of the same"
echo "run as median/minimum; seconds are medians; MiB the peak memory; load the 1-minute load average"
echo "at the case's end (load averages at the start: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) CPUs)"
printf '%-15s %6s %6s %6s %7s %7s %11s %11s %6s %5s %7s %5s\n' container MB "cp s" "dd s" "whole s" \
  "drv s" whole/cp drv/cp dd/cp "MiB" records load
# AVI keeps H.264 as start-code streams, Matroska as length-prefixed units.
bench_repair avi "$REC.avi" -c copy -bsf:v h264_mp4toannexb
bench_repair mkv "$REC.mkv"
bench_repair "mp4 faststart" "$REC-faststart.mp4" -c copy -movflags +faststart
bench_repair "mp4 fragmented" "$REC-frag.mp4" -c copy -movflags frag_keyframe+empty_moov
bench_repair flv "$REC.flv" -c copy
# ffmpeg's ASF muxer takes the H.264 (as start-code streams) and MP3 packets
# as they are: the same recording in 3200-byte data packets.
bench_repair asf "$REC.asf" -c copy -bsf:v h264_mp4toannexb -f asf
# Theora at the source's rate with Vorbis: about the source's size.
bench_repair ogg "$REC.ogv" -c:v libtheora -b:v 6M -c:a libvorbis -q:a 6
# No extension routes a file to the FLAC repairer: its own driver builds it.
# 24-bit 192 kHz stereo of the source's sound.
CASE_DRIVER=$BUILD/bench/mendcore_flac_e2e bench_repair flac "$REC.flac" -vn -c:a flac -sample_fmt s32 -ar 192000
# A long studio WAV (96 kHz, 32-bit: about as many bytes as the source), and
# the longest MP3 people keep: 45 minutes at 320 kbit/s (the source's audio
# padded with silence).
bench_repair wav "$REC-96k.wav" -vn -ar 96000 -ac 2 -c:a pcm_s32le
bench_repair mp3 "$REC-320k.mp3" -vn -af apad=whole_dur=2742 -c:a libmp3lame -b:a 320k
# MPEG: a transport stream, and a program stream in DVD packs.
bench_repair ts "$REC.ts" -c copy -bsf:v h264_mp4toannexb -f mpegts
bench_repair ps "$REC.vob" -c copy -bsf:v h264_mp4toannexb -f vob
# RealMedia holds no H.264: re-encoded to RV20 at the source's rate, with
# AC-3 (the muxer's audio) for the MP3. A packet holds at most 64 kB, so
# the buffer bounds the size of a frame.
bench_repair rm "$REC.rm" -c:v rv20 -b:v 6M -maxrate 6M -bufsize 480k -g 50 -c:a ac3 -b:a 128k

# Peak memory of parse plus repair against the recording's size: the
# source recording repeated (its packets copied, not encoded again) to about
# each size of MEM_SIZES, cut at 90 %. The records a repair keeps must not
# grow with the file: under 64 MiB at every size, and at most 2 MiB more
# per further GB.
if wanted memory; then
  echo
  echo "Peak memory of parse + repair of long recordings cut at 90 % (one run each)"
  printf '%-8s %9s %9s %9s %12s %8s  %s\n' container MB "repair s" "peak MiB" "MiB/GB more" records result
  for kind in mkv ps asf; do
    # The start-code filter refuses a looped input: the recording is
    # remuxed once, and that copy is repeated.
    case $kind in
      mkv) ext=mkv fmt=matroska ;;
      ps) ext=vob fmt=vob; make "$REC.vob" -i "$REC.mkv" -c copy -bsf:v h264_mp4toannexb -f vob ;;
      asf) ext=asf fmt=asf; make "$REC.asf" -i "$REC.mkv" -c copy -bsf:v h264_mp4toannexb -f asf ;;
    esac
    one=$(stat -c %s "$REC.$ext")
    prevMB=0 prevPeak=0
    for mb in ${MEM_SIZES:-700 3000 10000}; do
      long=$DATA/.tmp-long.$ext out=$DATA/out.$ext
      loops=$(((mb * 1000000 + one - 1) / one))
      rm -f "$long"
      "${FF[@]}" -stream_loop $((loops - 1)) -i "$REC.$ext" -c copy -f $fmt "$long"
      truncate -s $(($(stat -c %s "$long") * 9 / 10)) "$long"
      size=$(($(stat -c %s "$long") / 1000000))
      timed timeout "$LIMIT" "$DRIVER" repair "$long" "$out"
      rm -f "$long" "$out"
      if [[ $RC -ne 0 ]]; then printf '%-8s %9d  %s\n' "$kind" "$size" "$(failure)"; continue; fi
      peak=$(($(field maxrss_kb) / 1024))
      growth=-
      ((prevMB > 0 && size > prevMB)) && growth=$(awk -v a="$prevPeak" -v b="$peak" -v x="$prevMB" -v y="$size" \
        'BEGIN { printf "%.1f", (b - a) * 1000 / (y - x) }')
      printf '%-8s %9d %9s %9d %12s %8s  %s\n' "$kind" "$size" "$(field wall_s)" "$peak" "$growth" \
        "$(field records)" "$([[ $peak -lt 64 ]] && echo "< 64" || echo "OVER 64")"
      prevMB=$size prevPeak=$peak
    done
  done
fi

wanted analysis || exit 0

# abort_ms FILE OUT|- AFTER: the median latency of an abort asked AFTER ms
# into the parse of FILE (OUT "-") or into its repair to OUT, in ABORT; the
# longest status poll before the abort, over all runs, in POLL.
abort_ms() {
  local ms=() i p
  POLL=0
  for ((i = 0; i < RUNS; i++)); do
    timed timeout "$LIMIT" "$DRIVER" abort "$1" "$2" "$3"
    rm -f "$DATA"/out.*
    if [[ $RC -ne 0 ]]; then ABORT=$(failure); return; fi
    grep -q ' aborted=1' "$LOG" || { ABORT="ended before the abort"; return; }
    ms+=("$(sed -n 's/.* abort_ms=\([^ ]*\).*/\1/p' "$LOG")")
    p=$(sed -n 's/.* poll_max_ms=\([^ ]*\).*/\1/p' "$LOG")
    POLL=$(awk -v a="$POLL" -v b="$p" 'BEGIN { print (b > a ? b : a) }')
  done
  ABORT=$(median "${ms[@]}")
}

echo
echo "Cancel: ms from the abort to the result (median of $RUNS runs), and the longest"
echo "status poll while the work ran (target < 500 ms)"
printf '%-22s %9s %9s %9s\n' case ms target "poll ms"
# The front half of each clip, then a 16 GiB hole where the damage starts:
# the scan past damage looks at the abort flag as it goes.
for ext in avi asf flv mkv mp4 rm ts vob mp3 wav ogg; do
  tail=$DATA/tail.$ext
  head -c $(($(stat -c %s "$CLIP.$ext") / 2)) "$CLIP.$ext" >"$tail"
  truncate -s +16G "$tail"
  abort_ms "$tail" - 50
  rm -f "$tail"
  printf '%-22s %9s %9s %9s\n' "$ext + 16 GiB hole" "$ABORT" "< 1000" "$POLL"
done
# A long copy: the repair of the WAV recording cut at 90 %, asked to stop
# 50 ms into its copy.
if [[ -s $REC-96k.wav ]]; then
  cut=$DATA/cut.wav
  head -c $(($(stat -c %s "$REC-96k.wav") * 9 / 10)) "$REC-96k.wav" >"$cut"
  abort_ms "$cut" "$DATA/out.wav" 50
  printf '%-22s %9s %9s %9s\n' "wav repair (copy)" "$ABORT" "< 100" "$POLL"
  # Cancel pressed as the repair starts: the worker must still see it.
  abort_ms "$cut" "$DATA/out.wav" 0
  rm -f "$cut"
  printf '%-22s %9s %9s %9s\n' "wav repair (at start)" "$ABORT" "< 1000" "$POLL"
fi

echo
echo "Refusals: ms from SetFile to the result for what is not a regular file"
printf '%-22s %9s %9s  %s\n' case ms target result
fifo=$DATA/.tmp-fifo
rm -f "$fifo"; mkfifo "$fifo"
for path in "$fifo" /dev/zero /dev/null "$DATA" "$DATA/missing"; do
  timed timeout 60 "$DRIVER" analyse "$path"
  if [[ $RC -ne 1 ]]; then printf '%-22s %s\n' "$(basename "$path")" "$(failure)"; continue; fi
  printf '%-22s %9.1f %9s  parse=%s\n' "$(basename "$path")" \
    "$(awk -v s="$(field parse_s)" 'BEGIN { print s * 1000 }')" "< 2000" "$(field parse)"
done
rm -f "$fifo"

echo
echo "Analysis of a 4 s clip followed by $TAIL_MIB MiB (median of $RUNS runs; MiB/s of the appended bytes)"
printf '%-15s %9s %9s %9s  %s\n' case seconds "MiB/s" target result
for ext in mkv avi mp4 asf flv; do
  for kind in zeros random; do
    tail=$DATA/tail.$ext
    if [[ $kind == zeros ]]; then
      { cat "$CLIP.$ext"; head -c $((TAIL_MIB << 20)) /dev/zero; } >"$tail"
      target=">= 500"
    else
      cat "$CLIP.$ext" "$DATA/random.bin" >"$tail"
      target=">= 100"
    fi
    analyse "$tail"
    rm -f "$tail"
    if [[ $RESULT == FAIL* ]]; then printf '%-15s %s\n' "$ext + $kind" "$RESULT"; continue; fi
    printf '%-15s %9s %9.0f %9s  %s\n' "$ext + $kind" "$SECS" \
      "$(awk -v s="$SECS" -v m="$TAIL_MIB" 'BEGIN { print (s > 0 ? m / s : 0) }')" "$target" "$RESULT"
  done
done

# rate SECS MIB: MiB/s of MIB bytes crossed in SECS.
rate() { awk -v s="$1" -v m="$2" 'BEGIN { print (s > 0 ? m / s : 0) }'; }

echo
echo "Analysis of a 4 s clip with $INSIDE_MIB MiB inserted in its middle (median of $RUNS runs; MiB/s of the inserted bytes)"
printf '%-15s %9s %9s %9s  %s\n' case seconds "MiB/s" target result
# The middle of a clip lies inside a packet, a Cluster or a chunk: the
# scan past damage inside the data, not after it.
for ext in mkv avi mp4 asf flv ts vob; do
  for kind in zeros random; do
    dmg=$DATA/tail.$ext half=$(($(stat -c %s "$CLIP.$ext") / 2))
    if [[ $kind == zeros ]]; then src=/dev/zero target=">= 500"; else src=$DATA/random.bin target=">= 100"; fi
    { head -c "$half" "$CLIP.$ext"; head -c $((INSIDE_MIB << 20)) "$src"; tail -c +$((half + 1)) "$CLIP.$ext"; } >"$dmg"
    analyse "$dmg"
    rm -f "$dmg"
    if [[ $RESULT == FAIL* ]]; then printf '%-15s %s\n' "$ext + $kind" "$RESULT"; continue; fi
    printf '%-15s %9s %9.0f %9s  %s\n' "$ext + $kind" "$SECS" "$(rate "$SECS" "$INSIDE_MIB")" "$target" "$RESULT"
  done
done

echo
echo "Analysis of hostile starts (median of $RUNS runs)"
printf '%-32s %9s %9s %9s  %s\n' case seconds "MiB/s" target result
# 32 MiB of MPEG pack and system headers with no packet among them: refused
# after the detection window, not after a walk through the file.
lookalike=$DATA/tail.mpg
printf '\x00\x00\x01\xba\x44\x00\x04\x00\x04\x01\x01\x89\xc3\xf8\x00\x00\x01\xbb\x00\x09\x80\xc4\xe1\x04\xe1\xff\xe0\xe0\xe8' \
  >"$DATA/.tmp-pack"
# Doubled until past 32 MiB, then cut to it (a pipe into head would end its
# writer with SIGPIPE).
for ((i = 0; i < 21; i++)); do cat "$DATA/.tmp-pack" "$DATA/.tmp-pack" >"$DATA/.tmp-pack2"; mv "$DATA/.tmp-pack2" "$DATA/.tmp-pack"; done
mv "$DATA/.tmp-pack" "$lookalike"
truncate -s 32M "$lookalike"
rm -f "$DATA/.tmp-pack"
analyse "$lookalike"
rm -f "$lookalike"
printf '%-32s %9s %9s %9s  %s\n' "mpg pack look-alikes, 32 MiB" "$SECS" "" "< 1" "$RESULT"
# An AVI recording with no index whose header list lost its first 4 KiB,
# and one with noise over its last three quarters: judged in one walk.
if [[ -s $REC.avi ]]; then
  dmg=$DATA/tail.avi size=$(($(stat -c %s "$REC.avi") * 9 / 10))
  { head -c 12 "$REC.avi"; head -c 4096 /dev/zero; tail -c +4109 "$REC.avi"; } >"$dmg"
  truncate -s "$size" "$dmg"
  analyse "$dmg"
  printf '%-32s %9s %9s %9s  %s\n' "avi header list zeroed" "$SECS" "" "< 1" "$RESULT"
  quarter=$((size / 4))
  { head -c "$quarter" "$REC.avi"; for ((i = 0; i < 3 * quarter / (TAIL_MIB << 20) + 1; i++)); do cat "$DATA/random.bin"; done; } >"$dmg"
  truncate -s "$size" "$dmg"
  analyse "$dmg"
  rm -f "$dmg"
  printf '%-32s %9s %9.0f %9s  %s\n' "avi noise over 3/4" "$SECS" "$(rate "$SECS" $((size >> 20)))" ">= 100" "$RESULT"
fi

# A million lists nested in each other where the clip's movi list stood:
# 12 MB the walk goes into one level at a time.
if command -v python3 >/dev/null; then
  nested=$DATA/tail.avi
  python3 - "$CLIP.avi" "$nested" <<'PY'
import struct, sys
clip = open(sys.argv[1], 'rb').read()
head = bytearray(clip[:clip.find(b'movi') - 8])
n = 1000000
body = bytearray(b'LIST' + struct.pack('<I', 4 + 12 * n) + b'movi')
for k in range(n):
    body += b'LIST' + struct.pack('<I', 4 + 12 * (n - 1 - k)) + b'rec '
data = head + body
struct.pack_into('<I', data, 4, len(data) - 8)
open(sys.argv[2], 'wb').write(data)
PY
  analyse "$nested"
  rm -f "$nested"
  printf '%-32s %9s %9s %9s  %s\n' "avi 1000000 nested lists" "$SECS" "" "< 1" "$RESULT"
fi

echo
echo "Analysis of a 4 s clip followed by a 5 GiB hole (one run)"
printf '%-15s %9s %9s  %s\n' case seconds "GiB/s" result
for ext in mkv avi mp4 asf rm; do
  tail=$DATA/tail.$ext
  cp "$CLIP.$ext" "$tail"
  truncate -s +5G "$tail"
  RUNS=1 analyse "$tail"
  rm -f "$tail"
  if [[ $RESULT == FAIL* ]]; then printf '%-15s %s\n' "$ext + hole" "$RESULT"; continue; fi
  printf '%-15s %9s %9.2f  %s\n' "$ext + hole" "$SECS" \
    "$(awk -v s="$SECS" 'BEGIN { print (s > 0 ? 5 / s : 0) }')" "$RESULT"
done
