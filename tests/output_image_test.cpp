// The production's output: the current project's first image resource, copied into the real window.
#include "app/engine_display.h"
#include "app/frame_loop.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"

#include <GLFW/glfw3.h>
#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>

using namespace gl;

namespace {

Texture* solidTexture(int width, int height, std::array<uint8_t, 4> rgba)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, width, height, IMAGE_TYPE_RGBA8);
    uint8_t* pixels = texture->images[0]->levels[0];
    for (int i = 0; i < width * height; ++i)
        std::copy(rgba.begin(), rgba.end(), pixels + i * 4);
    txtSetupForGL(texture);
    return texture;
}

std::array<uint8_t, 4> windowPixel(int x, int y)
{
    std::array<uint8_t, 4> pixel{};
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel.data());
    return pixel;
}

void outputFirstImageResource()
{
    char program[] = "engine";
    char* argv[] = {program};
    engineSetArguments(1, argv);
    engineDisplay.width = 1920;
    engineDisplay.height = 1080;
    ASSERT_TRUE(engine_create_window());

    Project* project = projCreate("output_image_test");
    projSetCurrent(project);

    // No image resource: nothing is drawn, the window keeps what it had.
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    engine_output_current_image();
    EXPECT_EQ(windowPixel(10, 10), (std::array<uint8_t, 4>{0, 0, 255, 255}));

    // Image resources are taken in name order: "a_out" is the first.
    Texture* red = solidTexture(64, 36, {255, 0, 0, 255});
    Texture* green = solidTexture(32, 32, {0, 255, 0, 255});
    ImageResource first("a_out", red);
    ImageResource second("b_out", green);
    ASSERT_TRUE(project->resources->add(&second));
    ASSERT_TRUE(project->resources->add(&first));

    engine_output_current_image();
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    EXPECT_EQ(windowPixel(0, 0), (std::array<uint8_t, 4>{255, 0, 0, 255}));
    EXPECT_EQ(windowPixel(63, 35), (std::array<uint8_t, 4>{255, 0, 0, 255}));
    EXPECT_EQ(windowPixel(64, 10), (std::array<uint8_t, 4>{0, 0, 0, 255}));
    EXPECT_EQ(windowPixel(10, 36), (std::array<uint8_t, 4>{0, 0, 0, 255}));
    EXPECT_EQ(windowPixel(1919, 1079), (std::array<uint8_t, 4>{0, 0, 0, 255}));

    project->resources->remove(&first);
    project->resources->remove(&second);
    txtDestroy(red);
    txtDestroy(green);
    // The exit savers registered by the window skip work when no project is current.
    projDestroy(project);
}

} // namespace

// The program makes its window once, and the window's GLX context cannot be current on the thread that holds the
// other tests' EGL context: the test runs in a process of its own.
TEST(OutputImageDeathTest, FirstImageResourceLandsInTheWindowsLowerLeftCorner)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs an X display; the suite runs under xvfb-run";
    EXPECT_EXIT(
        {
            outputFirstImageResource();
            std::exit(testing::Test::HasFailure() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}
