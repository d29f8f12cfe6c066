// The renderer set up at the tests' 512 x 288 with the shipped shaders, for tests that run components through
// whole frames; everything it changes is put back when the test ends.
#pragma once

#include "app/data_files.h"
#include "deferred_test_scene.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "app/timing.h"
#include "project/cvars.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/sequencer.h"
#include "render/camera_controller.h"
#include "render/deferred_postprocess.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

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

// The shipped "room" project loaded on the renderer with a timeline of its own and exported variables; the project
// list, the current project and the timeline it replaces come back at the end. beforeLoad runs between making the
// project current and loading its files.
class ShippedRoomTest : public RendererGLTest {
protected:
    ShippedRoomTest() : RendererGLTest(size_t(1) << 24) {}

    virtual void beforeLoad() {}

    void SetUp() override
    {
        RendererGLTest::SetUp();
        exportVariables = true;
        sequencer = new Sequence();
        globalProject = projCreate("global");
        projectList.clear();
        room = projCreate("room");
        projectList.push_back(room);
        projSetCurrent(room);
        beforeLoad();
        ASSERT_TRUE(room->resources->load_json(room->path + "/resources.json"));
        ASSERT_TRUE(GraphManager::Load(room->path + "/graph.json"));
        ASSERT_TRUE(SequencerManager::Load(room->path + "/sequencer.json"));
    }
    void TearDown() override
    {
        timerResetGpu();
        for (Project* project : projectList)
            projDestroy(project);
        projDestroy(globalProject);
        projectList = savedList_;
        globalProject = savedGlobal_;
        projSetCurrent(savedCurrent_);
        delete sequencer;
        sequencer = savedSequencer_;
        exportVariables = savedExport_;
        RendererGLTest::TearDown();
    }

    Project* room = nullptr;

private:
    std::vector<Project*> savedList_ = projectList;
    Project* savedGlobal_ = globalProject;
    Project* savedCurrent_ = currentProject;
    Sequence* savedSequencer_ = sequencer;
    bool savedExport_ = exportVariables;
};
