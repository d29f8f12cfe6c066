// The renderer set up at the tests' 512 x 288 with the shipped shaders, for tests that run components through
// whole frames; everything it changes is put back when the test ends.
#pragma once

#include "app/data_files.h"
#include "deferred_test_scene.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "project/cvars.h"
#include "render/camera_controller.h"
#include "render/deferred_postprocess.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

class RendererGLTest : public GLTest {
protected:
    explicit RendererGLTest(size_t ringBytes = size_t(1) << 22) : ringBytes_(ringBytes) {}

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(deferredtest::kAssets);
        screenWidth = deferredtest::kWidth;
        screenHeight = deferredtest::kHeight;
        gl::glClipControl(gl::GL_LOWER_LEFT, gl::GL_ZERO_TO_ONE);
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(ringBytes_));
        rendererInitGlobalInputs();
        deferredRenderInit();
        deferredCreateTargets();
        resetMaterialTable();
    }
    void TearDown() override
    {
        shaderUseProgram(nullptr);
        deferredRenderRelease();
        constBufferRingShutdown();
        while (fbStackTop > 0)
            fbPop();
        screenWidth = oldWidth_;
        screenHeight = oldHeight_;
        currentCameraController = savedController_;
        cvarTreeCurrentBranch = &cvarTreeRoot;
        dataSetBasePath(oldBase_);
        GLTest::TearDown();
    }

private:
    size_t ringBytes_;
    std::string oldBase_ = dataBasePath();
    int oldWidth_ = screenWidth;
    int oldHeight_ = screenHeight;
    CameraController* savedController_ = currentCameraController;
};
