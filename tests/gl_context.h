// A real OpenGL 4.5 core context for the tests: EGL on Mesa's surfaceless platform, no window, no display.
#pragma once

#include <gtest/gtest.h>

// Creates the process's context on first use (later calls reuse it) and makes it current. False when no context
// can be had; GL tests then fail loudly rather than skip.
bool glTestContextInit();

// Base fixture of every GL test: a current context and no GL error left over at the end of the test.
class GLTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
