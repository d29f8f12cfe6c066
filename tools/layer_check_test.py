#!/usr/bin/env python3
"""Runs layer_check.py on small planted trees: each upward include must be reported (exit status 1), and the
includes that keep to the layers must pass (exit status 0)."""
import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'layer_check.py')

# Files every planted tree has: one per layer, including nothing.
LAYER_FILES = ['app/log.h', 'app/timing.cpp', 'core/pool.h', 'jni/engine/grd_state.h', 'project/graph.h',
               'render/scene.h', 'components/light.h', 'editor/ui.h', 'app/frame_loop.h', 'app/main.cpp',
               'tests/helpers.h']

# (name, {file: [includes]}, upward includes expected)
CASES = [
    ('each layer includes every layer below it', {
        'app/frame_loop.h': ['editor/ui.h', 'components/light.h', 'render/scene.h', 'project/graph.h',
                             'jni/engine/grd_state.h', 'app/log.h'],
        'editor/ui.h': ['components/light.h', 'render/scene.h', 'app/timing.cpp', 'core/pool.h'],
        'render/scene.h': ['project/graph.h', 'jni/engine/grd_state.h', 'app/log.h'],
        'jni/engine/grd_state.h': ['app/log.h'],
        'tests/helpers.h': ['app/frame_loop.h'],
    }, []),
    ('a render file includes the editor', {'render/scene.h': ['editor/ui.h']},
     ['render/scene.h -> editor/ui.h']),
    ('the device layer includes the program top', {'jni/engine/grd_state.h': ['app/frame_loop.h']},
     ['jni/engine/grd_state.h -> app/frame_loop.h']),
    ('the base includes the device layer', {'app/timing.cpp': ['jni/engine/grd_state.h']},
     ['app/timing.cpp -> jni/engine/grd_state.h']),
    ('a core folder counts as the base', {'core/pool.h': ['project/graph.h']},
     ['core/pool.h -> project/graph.h']),
    ('a layer includes the next one up', {'project/graph.h': ['render/scene.h'], 'components/light.h': ['editor/ui.h']},
     ['components/light.h -> editor/ui.h', 'project/graph.h -> render/scene.h']),
    ('spacing inside the directive', {'render/scene.h': ['  #  include "components/light.h"']},
     ['render/scene.h -> components/light.h']),
    ('missing files and system headers are not layers', {'project/graph.h': ['editor/gone.h', '<imgui.h>']}, []),
]


def plant(root, files):
    for path in LAYER_FILES + list(files):
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, 'w') as out:
            for include in files.get(path, []):
                if include.lstrip().startswith('#'):
                    out.write(include + '\n')
                elif include.startswith('<'):
                    out.write(f'#include {include}\n')
                else:
                    out.write(f'#include "{include}"\n')


def main():
    failures = 0
    for name, files, expected in CASES:
        with tempfile.TemporaryDirectory() as root:
            plant(root, files)
            run = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        lines = run.stdout.splitlines()
        want = expected + [f'{len(expected)} upward includes']
        status = 1 if expected else 0
        if lines != want or run.returncode != status:
            failures += 1
            print(f'FAIL {name}: exit {run.returncode} (want {status})\n  got:  {lines}\n  want: {want}\n'
                  f'{run.stderr}')
        else:
            print(f'ok   {name}')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
