#include "app/frame_loop.h"

#include "app/data_files.h"
#include "app/engine_display.h"
#include "app/log.h"
#include "app/timing.h"
#include "editor/ui.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/layer_compositor.h"

#include <GLFW/glfw3.h>
#include <backends/imgui_impl_opengl3.h>
#include <glbinding/gl/gl.h>
#include <imgui.h>

#include <chrono>

using namespace gl;

namespace {

// Taken during static initialisation, as close to the process start as the program gets.
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();
bool firstPictureLogged = false;

double lastHotReloadCheck = 0.0;
GLuint blitSourceFramebuffer = 0; // "targetBlitSrc", made on first use and kept for the run

void renderEditor(GLFWwindow* window)
{
    ui_render();
#ifdef IMGUI_HAS_VIEWPORT
    ImGui::GetMainViewport()->Flags |= ImGuiViewportFlags_NoRendererClear;
#endif
    ImGui::Render();
    glfwMakeContextCurrent(window);
    int width = 0;
    int height = 0;
    glfwGetFramebufferSize(window, &width, &height);
    glViewport(0, 0, width, height);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
#ifdef IMGUI_HAS_VIEWPORT
    if (ImGui::GetIO().ConfigFlags & ImGuiConfigFlags_ViewportsEnable) {
        ImGui::UpdatePlatformWindows();
        ImGui::RenderPlatformWindowsDefault();
        glfwMakeContextCurrent(window);
    }
#endif
}

} // namespace

void engine_main_loop()
{
    if (!engineDisplay.window) {
        LOG_ERROR("No window to run the frame loop in");
        return;
    }
    glfwMakeContextCurrent(engineDisplay.window);
    int frames = 0;
    while (engine_loop_iteration())
        ++frames;
    LOG_INFO("Frame loop ended after %d frames", frames);
}

bool engine_loop_iteration()
{
    GLFWwindow* window = engineDisplay.window;
    glfwMakeContextCurrent(window);
    aglProcessQueue();
    if (engineDisplay.onFrame)
        engineDisplay.onFrame();

    if (engine_close_requested())
        glfwSetWindowShouldClose(window, GLFW_TRUE);
    if (glfwWindowShouldClose(window)) {
        engineDisplay.quit = true;
        engine_advance_frame_rings();
        return false;
    }

    {
        ScopedGpuTimer timer("UI Rendering", false);
        if (engineEditorMode())
            renderEditor(window);
        else
            engine_output_current_image();
    }

    glfwMakeContextCurrent(window);
    glGetError();
    glfwSwapBuffers(window);
    glGetError();
    if (!firstPictureLogged) {
        firstPictureLogged = true;
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - processStart;
        LOG_INFO("First picture after %.2f s", elapsed.count());
    }
    glfwPollEvents();
    engine_advance_frame_rings();
    return true;
}

float engine_frame_time()
{
    float t = timerGetTime(1.0f);
    if (sequencer && sequencer->exportTimeToGlobal) {
        if (syncToAudio)
            t = static_cast<float>(SequencerManager::GetMusicPosition());
        else
            t = static_cast<float>(sequencer->currentFrame) / 100.0f;
    }
    return t;
}

void engine_on_frame()
{
    const float t = engine_frame_time();

    timerCreateNodeTable();
    TimerNode* node = timerFindNode();
    if (!node)
        node = timerCreateNode();
    if (node)
        node->start = timerReading();

    fx_layers_render(t);

    if (hotReloadEnabled) {
        const double now = timerReading();
        if (now - lastHotReloadCheck > 0.01) {
            resUpdateAll();
            lastHotReloadCheck = timerReading();
        }
    }

    if (node)
        timernodeAddValue(node, static_cast<float>(timerReading() - node->start));
}

void engine_blit_output(GLuint texture, int width, int height, GLuint drawFramebuffer)
{
    if (!blitSourceFramebuffer) {
        glCreateFramebuffers(1, &blitSourceFramebuffer);
        glObjectLabel(GL_FRAMEBUFFER, blitSourceFramebuffer, -1, "targetBlitSrc");
    }
    glNamedFramebufferTexture(blitSourceFramebuffer, GL_COLOR_ATTACHMENT0, texture, 0);
    glNamedFramebufferReadBuffer(blitSourceFramebuffer, GL_COLOR_ATTACHMENT0);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, blitSourceFramebuffer);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, drawFramebuffer);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    // Unscaled into the lower-left corner; what lies beyond the target is cut off.
    glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

void engine_output_current_image()
{
    if (!currentResources)
        return;
    const std::vector<Resource*> images = currentResources->get_by_type(ResourceType::Image);
    if (images.empty())
        return;
    const auto* image = dynamic_cast<const ImageResource*>(images.front());
    const Texture* texture = image ? image->texture : nullptr;
    if (!texture || !texture->glId || texture->imageCount == 0 || !texture->images[0])
        return;
    engine_blit_output(texture->glId, texture->images[0]->width, texture->images[0]->height, 0);
}

void engine_advance_frame_rings()
{
    timerGpuAdvanceFrame();
    constBufferRingAdvance();
}
