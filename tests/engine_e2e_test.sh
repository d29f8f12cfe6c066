#!/usr/bin/env bash
# Runs the real engine on a virtual screen, on a scratch copy of an asset folder (the engine rewrites project files at
# exit), ends it with SIGTERM like a closed window and checks its exit status and log.
#   engine_e2e_test.sh <engine binary> <asset folder> <grab_screen binary>
# Exit 77 (skipped) only when xvfb-run is missing.
set -u
engine=$(realpath "$1")
assets=$(realpath "$2")
grab=$(realpath "$3")

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

# Starts the engine in $1 with the remaining arguments, waits for its first frame, runs the script ACTIONS (when set;
# with the engine's pid, inside the virtual screen's session), lets it run SETTLE seconds (1 by default), then sends
# SIGTERM. Leaves the exit status in $status. With WATCH=1 the SETTLE seconds start once the
# screen shows a picture (first.txt, first.png; read every second, at most 120 s), and then the screen is read
# every second until that picture changes (at most 120 s). grabs.txt gets one line per reading, later.png the last
# picture. (The editor draws its own windows over a flat background, so only playback is watched.)
run_engine() {
  local dir=$1 started=$SECONDS
  shift
  (cd "$dir" && WATCH=${WATCH:-0} SETTLE=${SETTLE:-1} ACTIONS=${ACTIONS:-} GRAB="$grab" xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
      "$@" >stdout.txt 2>stderr.txt &
      pid=$!
      for _ in $(seq 1 1200); do
        grep -q "Created frame" app_log.txt 2>/dev/null && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
      done
      if [[ $WATCH == 1 ]]; then
        # The first picture: the first reading that is not one flat colour (a slow first frame leaves it black).
        for _ in $(seq 1 120); do
          "$GRAB" first.png >>grabs.txt
          spread=$(tail -n 1 grabs.txt | cut -d" " -f4)
          [[ ${spread%%.*} -gt 4 ]] && break
          kill -0 $pid 2>/dev/null || break
          sleep 1
        done
        tail -n 1 grabs.txt >first.txt
      fi
      [[ -n $ACTIONS ]] && bash "$ACTIONS" $pid >actions.txt 2>&1
      sleep "$SETTLE"
      if [[ $WATCH == 1 ]]; then
        for _ in $(seq 1 120); do
          kill -0 $pid 2>/dev/null || break
          "$GRAB" later.png >>grabs.txt
          [[ "$(tail -n 1 grabs.txt | cut -d" " -f6)" != "$(cut -d" " -f6 first.txt)" ]] && break
          sleep 1
        done
      fi
      kill -TERM $pid 2>/dev/null
      wait $pid' _ "$engine" "$@")
  status=$?
  echo "run in ${dir#"$work"/}: $((SECONDS - started)) s"
}

# The watched run: the window showed a picture (not black, not one flat colour) that changed.
expect_moving_picture() { # folder
  local first last
  first=$(cat "$1/first.txt" 2>/dev/null)
  last=$(tail -n 1 "$1/grabs.txt" 2>/dev/null)
  [[ -n "$first" ]] || { fail "the screen was never read in $1"; return; }
  awk -v line="$first" 'BEGIN { split(line, f, " "); exit !((f[2] > 8 || f[4] > 16) && f[4] > 4) }' ||
    fail "the window shows no picture (black or flat): $first"
  [[ "$(echo "$first" | cut -d' ' -f6)" != "$(echo "$last" | cut -d' ' -f6)" ]] ||
    fail "the picture did not change while playing: $first / $last"
}

expect_log() { # folder, fixed text
  grep -qF -- "$2" "$1/app_log.txt" || fail "app_log.txt in $1 lacks: $2"
}

expect_frames() { # folder: the loop ran and presented more than one frame
  local frames
  frames=$(sed -n 's/.*Frame loop ended after \([0-9]*\) frames.*/\1/p' "$1/app_log.txt")
  [[ -n "$frames" && "$frames" -gt 1 ]] || fail "the frame loop in $1 did not run several frames (${frames:-none})"
}

# The timeline follows the music and moves on to the next project after 48 s, however slow a run is: the project $2
# gets the whole timeline of the asset copy in $1 (every project's file carries the project rows).
give_the_timeline() { # asset folder, project
  python3 - "$2" "$1"/projects/*/sequencer.json <<'ROWS'
import json, sys
for path in sys.argv[2:]:
    doc = json.load(open(path))
    end = doc["global"]["frame_end"]
    for row in doc.get("projects", []):
        row["frame_start"], row["frame_end"] = (0, end) if row["name"] == sys.argv[1] else (end, end)
    json.dump(doc, open(path, "w"), indent=2)
ROWS
}

# Production mode: "assets/" beside the working directory, an undecorated 1920 x 1080 window playing the
# production; the shipped project files are what the engine writes, so its exit changes none of them.
play="$work/play"
mkdir -p "$play"
cp -r "$assets" "$play/assets"
WATCH=1 run_engine "$play"
[[ $status -eq 0 ]] || fail "production run exited with $status"
expect_log "$play" "New base path for assets:<assets/>"
expect_log "$play" "Initialize ruvevazidi..."
expect_log "$play" "Window <Rendering Window> 1920x1080 decorated:0, OpenGL 4."
expect_frames "$play"
expect_moving_picture "$play"
[[ -f "$play/assets/projects/room/variables.json" ]] || fail "the exit did not write projects/room/variables.json"
diff -r "$assets/projects" "$play/assets/projects" >"$work/projects.diff" ||
  fail "playing the shipped production changed its files: $(head -c 2000 "$work/projects.diff")"

# A second run on what the first wrote changes no byte either.
cp -r "$play/assets/projects" "$work/projects_after_first_run"
run_engine "$play"
[[ $status -eq 0 ]] || fail "second production run exited with $status"
diff -r "$work/projects_after_first_run" "$play/assets/projects" >"$work/projects.diff" ||
  fail "an unchanged production's files changed at the second exit: $(head -c 2000 "$work/projects.diff")"

# Every other project, played on its own from the start of the timeline: a picture that moves, no error in the log,
# and its files unchanged at the exit, which saves the project being shown. ("room" is the production run above.)
for project in instancing abstract_1 walk_particles room_rt; do
  one="$work/project_$project"
  mkdir -p "$one"
  cp -r "$assets" "$one/assets"
  give_the_timeline "$one/assets" "$project"
  cp -r "$one/assets/projects" "$one/projects_before"
  WATCH=1 run_engine "$one"
  [[ $status -eq 0 ]] || fail "playing $project exited with $status"
  expect_moving_picture "$one"
  grep -n "ERROR\|Failed to compile\|Failed to link" "$one/app_log.txt" | head -n 5 | sed "s/^/$project: /" |
    grep . && fail "playing $project logged errors"
  diff -r "$one/projects_before" "$one/assets/projects" >"$one/projects.diff" ||
    fail "playing $project changed its files: $(head -c 2000 "$one/projects.diff")"
done

# Hostile project files: a project file that is a symlink stays that link, with the same bytes in its target; one
# that is there but cannot be read is reported by path and reason, and neither kills the run nor is overwritten.
# Root reads a file whatever its mode, so there a dangling link stands in for the unreadable file; a directory in
# place of a file is tried either way.
hostile="$work/hostile"
room="$hostile/assets/projects/room"
mkdir -p "$hostile/store"
cp -r "$assets" "$hostile/assets"
mv "$room/graph.json" "$hostile/store/graph.json"
ln -s ../../../store/graph.json "$room/graph.json"
if [[ $(id -u) -ne 0 ]]; then
  chmod 000 "$room/resources.json"
  unreadable="resources.json: Permission denied"
else
  rm "$room/resources.json"
  ln -s no_such_file.json "$room/resources.json"
  unreadable="resources.json: broken link"
fi
rm "$room/variables.json"
mkdir "$room/variables.json"
run_engine "$hostile"
[[ $status -eq 0 ]] || fail "the run with hostile project files exited with $status"
expect_log "$hostile" "LoadFile: Failed to read a file: assets/projects/room/$unreadable"
expect_log "$hostile" "LoadFile: Failed to read a file: assets/projects/room/variables.json: Is a directory"
# The exit save ran (graph.json is written just before resources.json) and refused both.
expect_log "$hostile" "Not saving <assets/projects/room/resources.json>"
expect_log "$hostile" "Not saving <assets/projects/room/variables.json>"
[[ -L "$room/graph.json" && "$(readlink "$room/graph.json")" == ../../../store/graph.json ]] ||
  fail "the symlinked graph.json is no longer the same link"
cmp -s "$hostile/store/graph.json" "$assets/projects/room/graph.json" || fail "the linked graph.json changed"
if [[ $(id -u) -ne 0 ]]; then
  chmod 644 "$room/resources.json"
  cmp -s "$room/resources.json" "$assets/projects/room/resources.json" || fail "the unreadable resources.json changed"
else
  [[ -L "$room/resources.json" && ! -e "$room/resources.json" ]] || fail "the dangling resources.json link changed"
fi
[[ -d "$room/variables.json" ]] || fail "the directory in place of variables.json was replaced"

# Editor mode: the development copy "../Pelmora1/assets/" and a decorated window.
edit="$work/edit/run"
mkdir -p "$edit" "$work/edit/Pelmora1"
cp -r "$assets" "$work/edit/Pelmora1/assets"
SETTLE=15 run_engine "$edit" -UI
[[ $status -eq 0 ]] || fail "editor run exited with $status"
expect_log "$edit" "New base path for assets:<../Pelmora1/assets/>"
expect_log "$edit" "Initialize ruvevazidi..."
expect_log "$edit" "Window <Rendering Window> 1920x1080 decorated:1, OpenGL 4."
expect_frames "$edit"

# The editor as the README starts it: from a folder with "assets/" and no development copy beside it, driven by real
# X input. A layout preset puts "CVars" clear of the other windows; F9 loads it, the title bar drag moves the window,
# Space pauses the play clock, Shift+F9 saves the layout. Judged by the files the editor writes.
user="$work/user"
mkdir -p "$user"
cp -r "$assets" "$user/assets"
printf '[Window][CVars]\nPos=700,300\nSize=420,400\nCollapsed=0\n\n[Window][Renderer]\nPos=1400,1000\nSize=1280,720\nCollapsed=0\n' \
  >"$user/imgui_preset_0.ini"
cat >"$work/editor_actions.sh" <<'ACTIONS'
# Runs beside the engine (pid $1) in the virtual screen's session. Each step waits for the screen to change, so the
# engine has drawn frames in between however slow they are.
set -u
pid=$1
frames() { # n: wait until the picture changed n times (at most 90 s)
  local last now changes=0
  last=$("$GRAB" | cut -d" " -f6)
  for _ in $(seq 1 900); do
    kill -0 "$pid" 2>/dev/null || return 1
    now=$("$GRAB" | cut -d" " -f6)
    [[ $now != "$last" ]] && { changes=$((changes + 1)); last=$now; }
    ((changes >= $1)) && return 0
    sleep 0.1
  done
  echo "the picture stopped changing"
  return 1
}
logged() { # text: wait until the log has it (at most 90 s)
  for _ in $(seq 1 900); do
    grep -qF -- "$1" app_log.txt && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  echo "never logged: $1"
  return 1
}
frames 3
window=$(xdotool search --name "Rendering Window" | head -n 1)
xdotool windowfocus "$window"
xdotool key F9 && logged "Layout preset imgui_preset_0.ini loaded" && frames 3
"$GRAB" editor.png
xdotool mousemove 760 308 && frames 2
xdotool mousedown 1 && frames 2
xdotool mousemove 860 358 && frames 2
xdotool mousemove 960 408 && frames 2
xdotool mouseup 1 && frames 2
xdotool key space && logged "Play clock paused at"
xdotool key shift+F9 && logged "Layout saved to imgui.ini and imgui_preset_0.ini" && frames 2
ACTIONS
ACTIONS="$work/editor_actions.sh" run_engine "$user" -ui
[[ $status -eq 0 ]] || fail "editor run started the README's way exited with $status"
cat "$user/actions.txt" 2>/dev/null
expect_log "$user" "Data folder: assets/"
expect_log "$user" "Layout preset imgui_preset_0.ini loaded"
expect_log "$user" "Play clock paused at"
expect_log "$user" "Layout saved to imgui.ini and imgui_preset_0.ini"
cmp -s "$user/imgui.ini" "$user/imgui_preset_0.ini" || fail "imgui.ini and imgui_preset_0.ini differ after Shift+F9"
grep -A1 -F "[Window][CVars]" "$user/imgui_preset_0.ini" | grep -qx "Pos=900,400" ||
  fail "the dragged CVars window is not where it was dropped: $(grep -A1 -F "[Window][CVars]" "$user/imgui_preset_0.ini")"
for window in "CVars" "Deferred" "Event log" "Simple node editor" "Node Configuration Editor" "Graph Node Toolbox" \
  "Graph Render Passes" "Resource Manager" "GPUQueries" "Sequencer" "Renderer" "Shader Editor" "Gradient Manager" \
  "Project Manager"; do
  grep -qxF "[Window][$window]" "$user/imgui.ini" || fail "imgui.ini lacks the window $window"
done
ls "$user"/assets/projects/*/ui_state.json >/dev/null 2>&1 || fail "the editor wrote no ui_state.json"
diff -r -x ui_state.json "$assets/projects" "$user/assets/projects" >"$work/projects.diff" ||
  fail "the editor run changed project files: $(head -c 2000 "$work/projects.diff")"

# Gradients by real X input: the "Gradient Manager" placed by a preset, "Add" makes "Unnamed Gradient 1", which is
# renamed (click into its name, select all, type, Enter); the exit save writes it into the global gradients.
grad="$work/gradients"
mkdir -p "$grad"
cp -r "$assets" "$grad/assets"
printf '[Window][Gradient Manager]\nPos=100,600\nSize=900,400\nCollapsed=0\n' >"$grad/imgui_preset_1.ini"
sed -e '/^frames 3$/,$d' "$work/editor_actions.sh" >"$work/gradient_actions.sh"
cat >>"$work/gradient_actions.sh" <<'ACTIONS'
frames 3
window=$(xdotool search --name "Rendering Window" | head -n 1)
xdotool windowfocus "$window"
xdotool key F10 && logged "Layout preset imgui_preset_1.ini loaded" && frames 3
# A slow frame takes the keys it saw before the characters typed beside them: every step waits for whole frames.
xdotool mousemove 120 637 click 1 && frames 4
xdotool mousemove 150 659 click 1 && frames 3
xdotool key ctrl+a && frames 3
xdotool type --delay 50 "AAA Renamed" && frames 4
xdotool key Return && frames 4
"$GRAB" gradients.png
ACTIONS
ACTIONS="$work/gradient_actions.sh" run_engine "$grad" -ui
[[ $status -eq 0 ]] || fail "gradient editing run exited with $status"
cat "$grad/actions.txt" 2>/dev/null
grep -qF '"name": "AAA Renamed"' "$grad/assets/projects/global/resources.json" ||
  fail "the renamed gradient is not in global/resources.json"
[[ $(grep -c '"name"' "$grad/assets/projects/global/resources.json") -eq 1 ]] ||
  fail "one gradient was added, the file holds: $(head -c 2000 "$grad/assets/projects/global/resources.json")"

# The node graph by hand: a preset lays the node editor and the toolbox side by side; "Post: Aberration" is made from
# the toolbox (its node lands 400 right of and 200 below the graph's corner), its "post" output dragged onto the
# "post" input of the project's "Output" (at 900, 200 in every shipped graph), and "SaveGraphLayout" writes the
# shown project's graph.json while the engine still runs. A second run loads what was saved.
graph="$work/graph"
mkdir -p "$graph"
cp -r "$assets" "$graph/assets"
give_the_timeline "$graph/assets" room
{
  printf '[Window][Simple node editor]\nPos=0,0\nSize=1400,1020\nCollapsed=0\n\n'
  printf '[Window][Graph Node Toolbox]\nPos=1410,0\nSize=500,1080\nCollapsed=0\n\n'
  printf '[Window][CVars]\nPos=0,1025\nSize=700,300\nCollapsed=0\n\n'
  for window in "Deferred" "Event log" "Node Configuration Editor" "Graph Render Passes" "Resource Manager" \
    "GPUQueries" "Sequencer" "Renderer" "Shader Editor" "Gradient Manager" "Project Manager"; do
    printf '[Window][%s]\nPos=1900,1070\nSize=200,100\nCollapsed=0\n\n' "$window"
  done
} >"$graph/imgui_preset_0.ini"
sed -n '/^# Runs beside the engine/,/^frames 3$/p' "$work/editor_actions.sh" >"$work/graph_actions.sh"
cat >>"$work/graph_actions.sh" <<'ACTIONS'
window=$(xdotool search --name "Rendering Window" | head -n 1)
xdotool windowfocus "$window"
xdotool key F9 && logged "Layout preset imgui_preset_0.ini loaded" && frames 3
# Paused, the scene stands still, but "CVars", which every preset that ticks keeps in view, shows the frame timer,
# so each frame changes the picture. Two changes after an action mean a whole frame polled the input after it: the
# first frame may have polled before it, the next one began after the first was shown. Where the timer is covered,
# 20 s stand in for the two frames.
tick() {
  local last now changes=0
  last=$("$GRAB" | cut -d" " -f6)
  for _ in $(seq 1 200); do
    now=$("$GRAB" | cut -d" " -f6)
    [[ $now != "$last" ]] && { changes=$((changes + 1)); last=$now; }
    ((changes >= 2)) && return 0
    sleep 0.1
  done
}
xdotool key space && logged "Play clock paused at" && tick
xdotool mousemove 1477 749 && tick && xdotool mousedown 1 && tick && xdotool mouseup 1 && logged "<New Post: Aberration>" && tick
xdotool mousemove 552 294 && tick
xdotool mousedown 1 && tick
xdotool mousemove 700 300 && tick
xdotool mousemove 908 308 && tick
xdotool mouseup 1 && logged "Linked <New Post: Aberration>/<post> to <Output>/<post>" && tick
"$GRAB" graph.png
xdotool mousemove 1473 37 && tick && xdotool mousedown 1 && tick && xdotool mouseup 1 && tick
for _ in $(seq 1 300); do
  grep -lF "New Post: Aberration" assets/projects/*/graph.json >saved_by_button.txt 2>/dev/null && break
  sleep 0.1
done
ACTIONS
ACTIONS="$work/graph_actions.sh" run_engine "$graph" -ui
[[ $status -eq 0 ]] || fail "node graph run exited with $status"
cat "$graph/actions.txt" 2>/dev/null
expect_log "$graph" "Linked <New Post: Aberration>/<post> to <Output>/<post>"
[[ -s "$graph/saved_by_button.txt" ]] || fail "SaveGraphLayout wrote no graph.json with the new component"
saved=$(head -n 1 "$graph/saved_by_button.txt" 2>/dev/null)
python3 - "$graph/${saved:-none}" <<'CHECK' || fail "the saved graph lacks the new component or its link"
import json, sys
components = json.load(open(sys.argv[1]))["components"]
new = [c for c in components if c["name"] == "New Post: Aberration" and c["type"] == "PostAberration"]
output = [c for c in components if c["name"] == "Output"]
assert len(new) == 1 and len(output) == 1, "components"
out_id = new[0]["outputs"][0]["id"]
post = [i for i in output[0]["inputs"] if i["name"] == "post"][0]
assert out_id in post["outputs"], "link"
CHECK
SETTLE=5 run_engine "$graph" -ui
[[ $status -eq 0 ]] || fail "second node graph run exited with $status"
expect_log "$graph" "<New Post: Aberration>"
grep -q "Link from .*New Post: Aberration.* dropped" "$graph/app_log.txt" && fail "the saved link did not load"


# The inspector by hand: a preset lays the node editor beside "Node Configuration Editor", with "Sequencer" below.
# A click on the title of "Floor" (at 0, 60 in room's graph) lists its parameters; Ctrl+click on the red field of
# its "diffuse" colour makes it a text field, 0.9 is typed; "K" on the "roughness" row keys that parameter at the
# timeline's frame and the "Sequencer" window's "Save" writes the timelines. The exit writes graph.json, where the
# component's parameters live. (A keyed parameter is driven by its track, so its file keeps the value it was loaded
# with: the colour is left unkeyed.)
insp="$work/inspector"
mkdir -p "$insp"
cp -r "$assets" "$insp/assets"
give_the_timeline "$insp/assets" room
{
  printf '[Window][Simple node editor]\nPos=0,0\nSize=1000,1000\nCollapsed=0\n\n'
  printf '[Window][Node Configuration Editor]\nPos=1000,0\nSize=920,1020\nCollapsed=0\n\n'
  printf '[Window][Sequencer]\nPos=0,1000\nSize=1000,80\nCollapsed=0\n\n'
  printf '[Window][CVars]\nPos=1000,1025\nSize=700,300\nCollapsed=0\n\n'
  for window in "Deferred" "Event log" "Graph Node Toolbox" "Graph Render Passes" "Resource Manager" \
    "GPUQueries" "Renderer" "Shader Editor" "Gradient Manager" "Project Manager"; do
    printf '[Window][%s]\nPos=1900,1070\nSize=200,100\nCollapsed=0\n\n' "$window"
  done
} >"$insp/imgui_preset_0.ini"
sed -n '/^# Runs beside the engine/,/^frames 3$/p' "$work/editor_actions.sh" >"$work/inspector_actions.sh"
sed -n '/^tick() {$/,/^}$/p' "$work/graph_actions.sh" >>"$work/inspector_actions.sh"
cat >>"$work/inspector_actions.sh" <<'ACTIONS'
window=$(xdotool search --name "Rendering Window" | head -n 1)
xdotool windowfocus "$window"
xdotool key F9 && logged "Layout preset imgui_preset_0.ini loaded" && frames 3
xdotool key space && logged "Play clock paused at" && tick
xdotool mousemove 60 120 && tick && xdotool mousedown 1 && tick && xdotool mouseup 1 && tick
xdotool mousemove 1200 198 && tick
xdotool keydown ctrl && tick && xdotool mousedown 1 && tick && xdotool mouseup 1 && tick && xdotool keyup ctrl && tick
xdotool key ctrl+a && tick
xdotool type --delay 50 "0.9" && tick
xdotool key Return && tick
xdotool mousemove 1108 266 && tick
xdotool mousedown 1 && tick && xdotool mouseup 1 && logged "Keyed <roughness> at frame" && tick
"$GRAB" inspector.png
xdotool mousemove 25 1037 && tick
xdotool mousedown 1 && tick && xdotool mouseup 1 && tick
ACTIONS
ACTIONS="$work/inspector_actions.sh" run_engine "$insp" -ui
[[ $status -eq 0 ]] || fail "inspector run exited with $status"
cat "$insp/actions.txt" 2>/dev/null
expect_log "$insp" "Keyed <roughness> at frame"
python3 - "$insp/assets/projects/room" <<'CHECK' || fail "the edited colour or the key is not in room's graph.json and sequencer.json"
import json, sys
folder = sys.argv[1]
floor = [c for c in json.load(open(folder + "/graph.json"))["components"] if c["name"] == "Floor"][0]
def find(branch, name):
    for v in branch.get("variables", []):
        if v["name"] == name:
            return v
    for child in branch.get("children", []):
        found = find(child, name)
        if found:
            return found
diffuse = find(floor["variables"], "diffuse")
assert abs(diffuse["value"]["r"] - 0.9) < 1e-4 and abs(diffuse["value"]["g"] - 0.5) < 1e-4, "diffuse %s" % diffuse
roughness = find(floor["variables"], "roughness")
assert roughness.get("uuid"), "the keyed parameter has no uuid: %s" % roughness
rows = [c for c in json.load(open(folder + "/sequencer.json"))["components"] if c["uuid"] == floor["uuid"]]
tracks = [t for r in rows for t in r.get("cvars", []) if t["uuid"] == roughness["uuid"]]
assert len(tracks) == 1, "no track for roughness: %s" % rows
keys = tracks[0]["keyframes"]
assert keys and all(abs(k["v0"] - 0.5) < 1e-4 for k in keys), tracks
CHECK

# The viewport by hand: a preset lays the node editor, "Node Configuration Editor" (which selects what it lists) and
# "Renderer" side by side. A click on the title of "Floor" selects it, so its translate gizmo shows in "Renderer"; the
# red arrow (the x axis) is found on screen, grabbed in its middle and dragged along itself. The exit writes graph.json:
# the floor moved along x only.
view="$work/viewport"
mkdir -p "$view"
cp -r "$assets" "$view/assets"
give_the_timeline "$view/assets" room
# The camera holds one pose looking down on the floor, so the gizmo is in view whenever the music has got to.
python3 - "$view/assets/projects/room/sequencer.json" "$view/assets/projects/room/graph.json" <<'POSE'
import json, sys
sequencer, graph = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
camera = [c for c in graph["components"] if c["type"] == "Camera"][0]
uuids = {}
def find(node):
    if isinstance(node, dict):
        if node.get("name") in ("Position", "Rotation") and "uuid" in node:
            uuids[node["name"]] = node["uuid"]
        node = list(node.values())
    if isinstance(node, list):
        for child in node:
            find(child)
find(camera["variables"])
pose = {uuids["Position"]: (-9.0, 4.0, -16.0), uuids["Rotation"]: (12.0, 25.0, 0.0)}
for component in sequencer["components"]:
    for track in component.get("cvars", []):
        if track["uuid"] in pose:
            x, y, z = pose[track["uuid"]]
            track["keyframes"] = [{"frame": 0, "v0": x, "v1": y, "v2": z, "v3": 0.0}]
json.dump(sequencer, open(sys.argv[1], "w"), indent=2)
POSE
{
  printf '[Window][Simple node editor]\nPos=0,0\nSize=700,500\nCollapsed=0\n\n'
  printf '[Window][Node Configuration Editor]\nPos=0,500\nSize=700,580\nCollapsed=0\n\n'
  printf '[Window][Renderer]\nPos=700,0\nSize=1220,760\nCollapsed=0\n\n'
  printf '[Window][CVars]\nPos=700,770\nSize=600,300\nCollapsed=0\n\n'
  for window in "Deferred" "Event log" "Graph Node Toolbox" "Graph Render Passes" "Resource Manager" \
    "GPUQueries" "Sequencer" "Shader Editor" "Gradient Manager" "Project Manager"; do
    printf '[Window][%s]\nPos=1900,1070\nSize=200,100\nCollapsed=0\n\n' "$window"
  done
} >"$view/imgui_preset_0.ini"
sed -n '/^# Runs beside the engine/,/^frames 3$/p' "$work/editor_actions.sh" >"$work/viewport_actions.sh"
sed -n '/^tick() {$/,/^}$/p' "$work/graph_actions.sh" >>"$work/viewport_actions.sh"
cat >>"$work/viewport_actions.sh" <<'ACTIONS'
window=$(xdotool search --name "Rendering Window" | head -n 1)
xdotool windowfocus "$window"
xdotool key F9 && logged "Layout preset imgui_preset_0.ini loaded" && frames 3
xdotool key space && logged "Play clock paused at" && tick
xdotool mousemove 60 120 && tick && xdotool mousedown 1 && tick && xdotool mouseup 1 && tick && tick
# The gizmo's x arrow: exactly its colour inside the picture, read until it stands still (the camera eases to a
# stop after the pause).
last=""
for _ in $(seq 1 30); do
  found=$("$GRAB" --find e63c3c 700 40 1920 760)
  read -r _ count _ cx cy _ ax ay _ bx by <<<"$found"
  ((count > 20)) && [[ $found == "$last" ]] && break
  last=$found
  sleep 2
done
echo "x arrow: $count pixels around $cx $cy, from $ax $ay to $bx $by"
"$GRAB" viewport_before.png
if ((count > 20)); then
  length=$(python3 -c "import math; print(math.hypot($bx - $ax, $by - $ay))")
  xdotool mousemove "$cx" "$cy" && tick
  xdotool mousedown 1 && tick
  for step in 1 2 3 4; do
    python3 -c "print(round($cx + ($bx - $ax) / $length * 15 * $step), round($cy + ($by - $ay) / $length * 15 * $step))" |
      { read -r x y; xdotool mousemove "$x" "$y"; }
    tick
  done
  xdotool mouseup 1 && tick
fi
"$GRAB" viewport_after.png
ACTIONS
ACTIONS="$work/viewport_actions.sh" run_engine "$view" -ui
[[ $status -eq 0 ]] || fail "viewport run exited with $status"
cat "$view/actions.txt" 2>/dev/null
python3 - "$assets/projects/room/graph.json" "$view/assets/projects/room/graph.json" <<'CHECK' || fail "the floor did not move along x alone"
import json, sys
def position(path):
    floor = [c for c in json.load(open(path))["components"] if c["name"] == "Floor"][0]
    def find(branch):
        for v in branch.get("variables", []):
            if v["name"] == "position":
                return v["value"]
        for child in branch.get("children", []):
            found = find(child)
            if found:
                return found
    return find(floor["variables"])
before, after = position(sys.argv[1]), position(sys.argv[2])
print("floor position", before, "->", after)
assert abs(after["x"] - before["x"]) > 0.01, "x did not move"
assert abs(after["y"] - before["y"]) < 1e-3 and abs(after["z"] - before["z"]) < 1e-3, "y or z moved"
CHECK

# Every project opened in the editor from "Project Manager" by real X input. No timeline row holds the play frame and
# "Export Time To Global" is switched off, so the timeline leaves the chosen project current. A preset lays "Renderer"
# large, "Project Manager" at its right (one button per project, in list order) and "Sequencer" below. Each project's
# picture in "Renderer" is read after a few frames: lit, varied, and unlike the others. No GL error is reported (the
# editor turns on GL debug output) and the exit, which saves the project shown last, changes no file.
pick="$work/projects_ui"
mkdir -p "$pick"
cp -r "$assets" "$pick/assets"
give_the_timeline "$pick/assets" "no project"
cp -r "$pick/assets/projects" "$pick/projects_before"
{
  printf '[Window][Renderer]\nPos=0,0\nSize=1480,980\nCollapsed=0\n\n'
  printf '[Window][Project Manager]\nPos=1480,0\nSize=440,300\nCollapsed=0\n\n'
  printf '[Window][Sequencer]\nPos=0,980\nSize=1480,100\nCollapsed=0\n\n'
  for window in "CVars" "Deferred" "Event log" "Graph Node Toolbox" "Graph Render Passes" "Resource Manager" \
    "GPUQueries" "Simple node editor" "Node Configuration Editor" "Shader Editor" "Gradient Manager"; do
    printf '[Window][%s]\nPos=1900,1070\nSize=200,100\nCollapsed=0\n\n' "$window"
  done
} >"$pick/imgui_preset_0.ini"
sed -n '/^# Runs beside the engine/,/^frames 3$/p' "$work/editor_actions.sh" >"$work/pick_actions.sh"
cat >>"$work/pick_actions.sh" <<'ACTIONS'
window=$(xdotool search --name "Rendering Window" | head -n 1)
xdotool windowfocus "$window"
xdotool key F9 && logged "Layout preset imgui_preset_0.ini loaded" && frames 3
# "Export Time To Global", the first checkbox after "Save" in the Sequencer's first row.
xdotool mousemove 61 1017 && frames 1 && xdotool mousedown 1 && frames 1 && xdotool mouseup 1 && frames 2
# The buttons of "Project Manager", one line each below its "Current:" line.
while read -r name y; do
  xdotool mousemove 1530 "$y" && frames 1 && xdotool mousedown 1 && frames 1 && xdotool mouseup 1 && frames 4
  echo "$name $("$GRAB" --rect 0 60 1470 970 "picked_$name.png")" >>renderer.txt
done <<'BUTTONS'
instancing 54
abstract_1 77
room 100
walk_particles 123
room_rt 145
BUTTONS
ACTIONS
ACTIONS="$work/pick_actions.sh" run_engine "$pick" -ui
[[ $status -eq 0 ]] || fail "the run that picks every project exited with $status"
cat "$pick/actions.txt" 2>/dev/null
cat "$pick/renderer.txt" 2>/dev/null
[[ $(wc -l <"$pick/renderer.txt" 2>/dev/null) -eq 5 ]] || fail "not every project was picked and read"
awk '!(($3 > 8 || $5 > 16) && $5 > 4) { print "unlit or flat in Renderer: " $0; bad = 1 } END { exit bad }' \
  "$pick/renderer.txt" ||
  fail "a project picked in the editor shows no lit, varied picture"
[[ $(cut -d' ' -f7 "$pick/renderer.txt" | sort -u | wc -l) -eq 5 ]] || fail "two picked projects showed the same picture"
grep -q "\*\*\*\*ERROR" "$pick/app_log.txt" && fail "GL errors while picking projects: $(grep -m1 -B3 "\*\*\*\*ERROR" "$pick/app_log.txt")"
diff -r "$pick/projects_before" "$pick/assets/projects" >"$pick/projects.diff" ||
  fail "picking the projects in the editor changed their files: $(head -c 2000 "$pick/projects.diff")"

# No display: the window cannot be made; the engine says so and fails instead of running on without GL.
bare="$work/bare"
mkdir -p "$bare"
cp -r "$assets" "$bare/assets"
(cd "$bare" && env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 "$engine" >stdout.txt 2>stderr.txt)
status=$?
[[ $status -ne 0 && $status -ne 124 ]] || fail "run without a display exited with $status"
expect_log "$bare" "Failed to initialize GLFW"

if ((failures)); then
  for dir in "$play" "$hostile" "$edit" "$user" "$grad" "$graph" "$insp" "$view" "$bare"; do
    echo "---- $dir/app_log.txt"
    cat "$dir/app_log.txt" 2>/dev/null
    echo "---- $dir/stderr.txt"
    cat "$dir/stderr.txt" 2>/dev/null
    echo "---- $dir/grabs.txt"
    cat "$dir/grabs.txt" 2>/dev/null
  done
  exit 1
fi
echo "engine end-to-end: ok"
