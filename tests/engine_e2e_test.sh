#!/usr/bin/env bash
# Runs the real engine on a virtual screen, on a scratch copy of an asset folder (the engine rewrites project files at
# exit), ends it with SIGTERM like a closed window and checks its exit status and log.
#   engine_e2e_test.sh <engine binary> <asset folder>
# Exit 77 (skipped) only when xvfb-run is missing.
set -u
engine=$(realpath "$1")
assets=$(realpath "$2")

if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "xvfb-run not found: skipped"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Starts the engine in $1 with the remaining arguments, waits for its first frame, lets it run a little, then
# sends SIGTERM. Leaves the exit status in $status.
run_engine() {
  local dir=$1
  shift
  (cd "$dir" && xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
      "$@" >stdout.txt 2>stderr.txt &
      pid=$!
      for _ in $(seq 1 600); do
        grep -q "Created frame" app_log.txt 2>/dev/null && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
      done
      sleep 1
      kill -TERM $pid 2>/dev/null
      wait $pid' _ "$engine" "$@")
  status=$?
}

expect_log() { # folder, fixed text
  grep -qF -- "$2" "$1/app_log.txt" || fail "app_log.txt in $1 lacks: $2"
}

expect_frames() { # folder: the loop ran and presented more than one frame
  local frames
  frames=$(sed -n 's/.*Frame loop ended after \([0-9]*\) frames.*/\1/p' "$1/app_log.txt")
  [[ -n "$frames" && "$frames" -gt 1 ]] || fail "the frame loop in $1 did not run several frames (${frames:-none})"
}

# Production mode: "assets/" beside the working directory, an undecorated 1920 x 1080 window.
play="$work/play"
mkdir -p "$play"
cp -r "$assets" "$play/assets"
run_engine "$play"
[[ $status -eq 0 ]] || fail "production run exited with $status"
expect_log "$play" "New base path for assets:<assets/>"
expect_log "$play" "Initialize ruvevazidi..."
expect_log "$play" "Window <Rendering Window> 1920x1080 decorated:0, OpenGL 4."
expect_frames "$play"

# The exit writes the parameter tree and the current project's files; a second run on what the first wrote must
# change no byte of any project file.
[[ -f "$play/assets/projects/room/variables.json" ]] || fail "the exit did not write projects/room/variables.json"
cp -r "$play/assets/projects" "$work/projects_after_first_run"
run_engine "$play"
[[ $status -eq 0 ]] || fail "second production run exited with $status"
diff -r "$work/projects_after_first_run" "$play/assets/projects" >"$work/projects.diff" ||
  fail "an unchanged production's files changed at the second exit: $(head -c 2000 "$work/projects.diff")"

# Editor mode: the development copy "../Pelmora1/assets/" and a decorated window.
edit="$work/edit/run"
mkdir -p "$edit" "$work/edit/Pelmora1"
cp -r "$assets" "$work/edit/Pelmora1/assets"
run_engine "$edit" -UI
[[ $status -eq 0 ]] || fail "editor run exited with $status"
expect_log "$edit" "New base path for assets:<../Pelmora1/assets/>"
expect_log "$edit" "Initialize ruvevazidi..."
expect_log "$edit" "Window <Rendering Window> 1920x1080 decorated:1, OpenGL 4."
expect_frames "$edit"

# No display: the window cannot be made; the engine says so and fails instead of running on without GL.
bare="$work/bare"
mkdir -p "$bare"
cp -r "$assets" "$bare/assets"
(cd "$bare" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 "$engine" >stdout.txt 2>stderr.txt)
status=$?
[[ $status -ne 0 && $status -ne 124 ]] || fail "run without a display exited with $status"
expect_log "$bare" "Failed to initialize GLFW"

if ((failures)); then
  for dir in "$play" "$edit" "$bare"; do
    echo "---- $dir/app_log.txt"
    cat "$dir/app_log.txt" 2>/dev/null
    echo "---- $dir/stderr.txt"
    cat "$dir/stderr.txt" 2>/dev/null
  done
  exit 1
fi
echo "engine end-to-end: ok"
