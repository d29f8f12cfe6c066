#!/usr/bin/env python3
"""Lists the includes that go upward through the engine's layers.

Layers, bottom to top, with their rank:
  0  the base: app/'s log, data_files, math_types and timing (and anything in a base/ or core/ folder)
  1  jni/engine/   the GL device layer
  2  project/
  3  render/
  4  components/
  5  editor/
  6  the rest of app/: main, window, frame loop, project loading
A quoted include of an existing file (a path from the repository root) is upward when the included file has a
higher rank than the including one; a source including its own header is not counted.

Usage: layer_check.py [repo]   prints each upward include as "from -> to", then the count; exit status 1 when
there is any. CMake builds one library per layer in the same order (CMakeLists.txt).
"""
import os
import re
import sys

FOLDER_RANKS = {'jni/engine': 1, 'project': 2, 'render': 3, 'components': 4, 'editor': 5}
BASE_NAMES = {'log', 'data_files', 'math_types', 'timing'}
BASE_FOLDERS = {'base', 'core'}
TOP_RANK = 6
SOURCE_SUFFIXES = ('.cpp', '.cc', '.h', '.hpp')
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def rank(path):
    """The layer of a repository path, or None for files outside the layers (tests, tools, system headers)."""
    for folder, folder_rank in FOLDER_RANKS.items():
        if path.startswith(folder + '/'):
            return folder_rank
    parts = path.split('/')
    stem = os.path.splitext(parts[-1])[0]
    if stem in BASE_NAMES or BASE_FOLDERS.intersection(parts[:-1]):
        return 0
    if parts[0] == 'app':
        return TOP_RANK
    return None


def sources(repo):
    for top in ['app', *sorted(BASE_FOLDERS), *FOLDER_RANKS]:
        for root, _, names in os.walk(os.path.join(repo, top)):
            for name in names:
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(root, name), repo).replace(os.sep, '/')


def includes(repo, path):
    with open(os.path.join(repo, path), errors='replace') as source:
        for line in source:
            match = INCLUDE.match(line)
            if match and os.path.exists(os.path.join(repo, match.group(1))):
                yield match.group(1)


def upward_includes(repo):
    found = []
    for path in sorted(set(sources(repo))):
        from_rank = rank(path)
        for target in includes(repo, path):
            to_rank = rank(target)
            own_header = os.path.splitext(target)[0] == os.path.splitext(path)[0]
            if from_rank is not None and to_rank is not None and to_rank > from_rank and not own_header:
                found.append((path, target))
    return found


def main(argv):
    repo = argv[1] if len(argv) > 1 else '.'
    found = upward_includes(repo)
    for path, target in found:
        print(f'{path} -> {target}')
    print(f'{len(found)} upward includes')
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
