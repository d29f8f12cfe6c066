// A program built from text the user edits in the inspector. Typing must not rebuild on every keystroke, and a
// text that does not build must neither blank what was showing nor be retried (and reported) every frame.
#pragma once

#include <functional>
#include <string>

struct ShaderProgram;

// Frames between the last edit and the rebuild.
constexpr int kUserProgramRebuildDelay = 50;

class UserProgram {
public:
    using Builder = std::function<ShaderProgram*()>;

    UserProgram() = default;
    ~UserProgram();
    UserProgram(const UserProgram&) = delete;
    UserProgram& operator=(const UserProgram&) = delete;

    // The text changed: rebuild after the delay, keeping the current program until then.
    void Edited() { countdown = kUserProgramRebuildDelay; }
    // Something the program is compiled against changed (an output format): the current program no longer fits,
    // so it goes now and the next Update builds at once.
    void Invalidate();

    // Once per run: builds when due (first run, the delay ran out, or after Invalidate). A build that fails is
    // released; the previous working program stays, one event-log line says so, and nothing is tried again
    // until the next edit or invalidation. Returns the program to use, or null.
    ShaderProgram* Update(const std::string& label, const Builder& build);

    ShaderProgram* program = nullptr; // the last program that built
    int countdown = 1;
    bool waitingForEdit = false; // the last build failed
    int builds = 0;              // attempts so far (tests count them)
    // Programs loaded from data files: a failed build is kept (with its errors flag), since hot reload repairs it
    // in place when the file is fixed. Callers check the flag before use.
    bool keepFailedBuilds = false;
};
