#include "editor/renderer_window.h"

#include "editor/gizmo.h"
#include "editor/ui.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/deferred_composite.h"
#include "render/entities.h"
#include "render/selection_bounds.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

void (*uiEngineMouseButton)(int button, int event, int x, int y) = nullptr;
void (*uiEngineCursorMove)(int x, int y) = nullptr;

namespace {

const char* const kBBoxLabels[] = {"None", "All", "Selected"};
const char* const kMainLabels[] = {"Composite", "Albedo",        "Normals",     "Roughness",
                                   "Lighting",  "VXLighting",    "Lighting + VXLighting",
                                   "VXOcclusion", "Material",    "RTMask",      "Raytrace",
                                   "Volumetric Fog", "Particles"};
const int kGizmoOperations[3] = {gizmo::Translate, gizmo::Rotate, gizmo::Scale};

// The engine's row-major matrix in the gizmo's column-major layout, and back: both are a transpose.
void columnMajor(const Matrix& m, float out[16])
{
    const Matrix t = m.Transposed();
    std::copy(std::begin(t.m), std::end(t.m), out);
}

Matrix fromColumnMajor(const float in[16])
{
    Matrix t;
    std::copy(in, in + 16, t.m);
    return t.Transposed();
}

EngineComponent* findComponent(uint32_t id)
{
    if (!currentComponents)
        return nullptr;
    for (EngineComponent* component : *currentComponents)
        if (component && static_cast<uint32_t>(component->id) == id)
            return component;
    return nullptr;
}

// Writes the dragged transform into the parameter the operation edits and tells the branch's owner.
void writeBack(uint32_t id, int gizmoMode, const Matrix& local)
{
    EngineComponent* component = findComponent(id);
    if (!component)
        return;
    Cvar* position = nullptr;
    Cvar* rotation = nullptr;
    Cvar* scale = nullptr;
    if (!component->GetTransformCvars(&position, &rotation, &scale))
        return;
    float s[3], r[3], t[3];
    ui_renderer_decompose(local, s, r, t);
    Cvar* target = gizmoMode == 0 ? position : gizmoMode == 1 ? rotation : scale;
    const float* value = gizmoMode == 0 ? t : gizmoMode == 1 ? r : s;
    if (!target)
        return;
    std::copy(value, value + 3, target->value);
    if (EngineComponent* owner = CvarTreeNode::FindOwner(component->GetCvarTree()))
        owner->OnCvarChanged(target);
}

// One gizmo per registered component; true when any of them is being dragged.
bool drawGizmos(const RendererWindowState& state, const ViewportImagePlacement& image)
{
    if (selectedBoundsMap.empty())
        return false;
    bool used = false;
    gizmo::BeginFrame();
    // Sorted ids: the gizmos draw and take clicks in the same order every frame.
    std::vector<uint32_t> ids;
    ids.reserve(selectedBoundsMap.size());
    for (const auto& entry : selectedBoundsMap)
        ids.push_back(entry.first);
    std::sort(ids.begin(), ids.end());
    for (uint32_t id : ids) {
        const SelectedBounds& bounds = selectedBoundsMap[id];
        gizmo::SetID(static_cast<int>(id));
        gizmo::SetDrawlist(ImGui::GetWindowDrawList());
        gizmo::SetRect(image.x, image.y, image.width, image.height);
        const Camera* camera = bounds.camera ? bounds.camera : viewportCamera;
        if (!camera || state.gizmoMode < 0 || state.gizmoMode > 2)
            continue;
        float view[16], projection[16], model[16];
        columnMajor(camera->view, view);
        columnMajor(camera->projection, projection);
        columnMajor(bounds.world, model);
        gizmo::Manipulate(view, projection, kGizmoOperations[state.gizmoMode], gizmo::Local, model);
        if (!gizmo::IsUsing())
            continue;
        used = true;
        // The new local transform: local x world^-1 takes the parent's part out of the manipulated world matrix.
        const Matrix manipulated = fromColumnMajor(model);
        const Matrix local = manipulated.Multiply(bounds.world.InverseAffine()).Multiply(bounds.local);
        writeBack(id, state.gizmoMode, local);
    }
    return used;
}

void forwardMouse(RendererWindowState& state, const ViewportImagePlacement& image)
{
    const ImGuiIO& io = ImGui::GetIO();
    const ImVec2 mouse = io.MousePos;
    // Only where the picture shows: another window over it, or the part cut off below the window, keeps its clicks.
    // (The press has just made the picture's own item active, which must not count as blocking it.)
    const bool inside = mouse.x >= image.x && mouse.x < image.x + image.width && mouse.y >= image.y &&
                        mouse.y < image.y + image.height &&
                        ImGui::IsWindowHovered(ImGuiHoveredFlags_AllowWhenBlockedByActiveItem);
    if (!inside && !state.forwardingMouse)
        return;
    if (ImGui::IsMouseClicked(ImGuiMouseButton_Left) || ImGui::IsMouseClicked(ImGuiMouseButton_Right)) {
        const int b = ImGui::IsMouseClicked(ImGuiMouseButton_Left) ? 0 : 1;
        state.forwardingMouse = true;
        if (uiEngineMouseButton)
            uiEngineMouseButton(2 * b, 4, int(io.MouseClickedPos[b].x), int(io.MouseClickedPos[b].y));
    }
    if (ImGui::IsMouseReleased(ImGuiMouseButton_Left) || ImGui::IsMouseReleased(ImGuiMouseButton_Right)) {
        state.forwardingMouse = false;
        const int b = ImGui::IsMouseReleased(ImGuiMouseButton_Left) ? 0 : 1;
        if (uiEngineMouseButton)
            uiEngineMouseButton(2 * b, 3, int(io.MouseClickedPos[b].x), int(io.MouseClickedPos[b].y));
    }
    if (state.forwardingMouse && uiEngineCursorMove)
        uiEngineCursorMove(int(mouse.x), int(mouse.y));
}

} // namespace

ViewportImagePlacement ui_renderer_image_placement(float regionWidth, float regionHeight, float cursorX,
                                                   float cursorY, int imageWidth, int imageHeight)
{
    ViewportImagePlacement p;
    p.x = cursorX;
    p.y = cursorY;
    if (imageWidth <= 0 || imageHeight <= 0 || regionHeight <= 0.0f)
        return p;
    const float w = float(imageWidth), h = float(imageHeight);
    p.reserveWidth = w * regionHeight / h;
    p.reserveHeight = regionHeight;
    // Never drawn larger than the image itself.
    p.width = std::min(w * regionHeight / h, w);
    p.height = std::min(h, regionHeight);
    p.x = regionWidth / 2.0f + cursorX - p.width / 2.0f;
    p.y = regionHeight / 2.0f + cursorY - p.height / 2.0f;
    return p;
}

void ui_renderer_decompose(const Matrix& t, float scale[3], float rotation[3], float translation[3])
{
    for (int c = 0; c < 3; ++c)
        scale[c] = std::sqrt(t.m[c] * t.m[c] + t.m[4 + c] * t.m[4 + c] + t.m[8 + c] * t.m[8 + c]);
    const Vector3 angles = t.ToEulerDegrees();
    rotation[0] = angles.x;
    rotation[1] = angles.y;
    rotation[2] = angles.z;
    translation[0] = t.m[3];
    translation[1] = t.m[7];
    translation[2] = t.m[11];
}

void ui_renderer_window(RendererWindowState* state, const char* title)
{
    ImGui::SetNextWindowSize(ImVec2(1280, 720), ImGuiCond_FirstUseEver);
    // The picture is taller than what is left below the controls; a scroll bar would only move it.
    ImGui::Begin(title, nullptr, ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
    ImGui::BeginGroup();
    std::vector<Resource*> images;
    if (currentProject && currentProject->resources)
        images = currentProject->resources->get_by_type(ResourceType::Image);
    if (state && !images.empty()) {
        const ImGuiIO& io = ImGui::GetIO();
        ImGui::Text("Qualifier:%d Ctrl:%d", int(io.KeyAlt), int(io.KeyCtrl));
        ImGui::SameLine();
        ImGui::SetNextItemWidth(100);
        renderingBBox = std::clamp(renderingBBox, 0, 2);
        ImGui::Combo("BBox", &renderingBBox, kBBoxLabels, IM_ARRAYSIZE(kBBoxLabels));
        ImGui::SameLine();
        ImGui::SetNextItemWidth(100);
        renderingMain = std::clamp(renderingMain, 0, int(IM_ARRAYSIZE(kMainLabels)) - 1);
        ImGui::Combo("Main", &renderingMain, kMainLabels, IM_ARRAYSIZE(kMainLabels));
        const char* modes[] = {"Translation", "Rotation", "Scale", "Hide"};
        for (int mode = 0; mode < 4; ++mode) {
            ImGui::SameLine();
            ImGui::RadioButton(modes[mode], &state->gizmoMode, mode);
        }

        const ImVec2 region = ImGui::GetWindowContentRegionMax();
        const ImVec2 cursor = ImGui::GetCursorScreenPos();
        const Texture* texture = static_cast<ImageResource*>(images.front())->texture;
        const Image* first = texture && texture->imageCount > 0 ? texture->images[0] : nullptr;
        const ViewportImagePlacement image = ui_renderer_image_placement(
            region.x, region.y, cursor.x, cursor.y, first ? first->width : 0, first ? first->height : 0);
        if (first) {
            // An item under the picture keeps a click on it from moving the window.
            if (image.reserveWidth >= 1.0f && image.reserveHeight >= 1.0f)
                ImGui::InvisibleButton("##picture", ImVec2(image.reserveWidth, image.reserveHeight));
            ImDrawList* list = ImGui::GetWindowDrawList();
            list->AddCallback(ui_draw_callback_blend_off, nullptr);
            list->AddImage((ImTextureID)(intptr_t)texture->glId, ImVec2(image.x, image.y),
                           ImVec2(image.x + image.width, image.y + image.height), ImVec2(0, 1), ImVec2(1, 0));
            list->AddCallback(ui_draw_callback_blend_on, nullptr);
        }

        const bool gizmoUsed = drawGizmos(*state, image);
        if (!gizmoUsed)
            forwardMouse(*state, image);
        selectedBoundsMap.clear();
        viewportCamera = nullptr;
    }
    ImGui::EndGroup();
    ImGui::End();
}
