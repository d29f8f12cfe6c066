#include "editor/node_configuration.h"

#include "editor/graph_toolbox.h"
#include "editor/inspector.h"
#include "editor/ui.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/project.h"
#include "render/composite.h"
#include "render/deferred_targets.h"

#include <imgui_stdlib.h>

#include <algorithm>
#include <cstdint>

bool uiDeferredWindowUsesGl = false;

namespace {

Framebuffer* previewFramebuffer = nullptr;

EngineComponent* findComponent(int id)
{
    if (!currentComponents)
        return nullptr;
    for (EngineComponent* component : *currentComponents)
        if (component && component->id == id)
            return component;
    return nullptr;
}

Texture* slotTexture(Framebuffer* framebuffer, int slot)
{
    return framebuffer ? framebuffer->slots[slot].texture : nullptr;
}

ImTextureID textureId(const Texture* texture)
{
    return reinterpret_cast<ImTextureID>(static_cast<intptr_t>(texture->glId));
}

void makePreviewFramebuffer()
{
    if (previewFramebuffer)
        return;
    previewFramebuffer = fbCreate("ui_texture_preview");
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, kTexturePreviewWidth, kTexturePreviewHeight, IMAGE_TYPE_RGB8);
    if (previewFramebuffer && texture) {
        texture->name = "ui_texture_preview";
        fbAttach(previewFramebuffer, FB_ATTACHMENT_COLOR0, texture);
    }
}

} // namespace

Framebuffer* ui_texture_preview_framebuffer() { return previewFramebuffer; }

Texture* ui_deferred_thumbnail_texture(int k)
{
    const DeferredRenderer& r = deferredRenderer;
    Texture* texture = nullptr;
    switch (k) {
    case 0: texture = slotTexture(r.fbDeferredDeep, FB_ATTACHMENT_COLOR0); break;
    case 1: texture = slotTexture(previewFramebuffer, FB_ATTACHMENT_COLOR0); break;
    case 2: texture = slotTexture(r.fbDeferredDeep, FB_ATTACHMENT_DEPTH); break;
    case 3: texture = slotTexture(r.fbDeferredDeepShadow, FB_ATTACHMENT_COLOR0); break;
    case 4: texture = slotTexture(r.fbDeferredHBAO, FB_ATTACHMENT_COLOR0); break;
    case 5: texture = slotTexture(r.fbSSRDest, FB_ATTACHMENT_COLOR0); break;
    case 6: texture = slotTexture(r.fbDeferredVoxelLighting[r.historyIndex & 1], FB_ATTACHMENT_COLOR0); break;
    default: break;
    }
    // A target whose pass never ran has no GL texture yet.
    return texture && texture->glId != 0 ? texture : nullptr;
}

void ui_texture_preview_tooltip(ImVec2, Texture* texture)
{
    if (!texture)
        return;
    ImGui::Begin("1", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_Tooltip);
    const ImVec2 q = ImGui::GetCursorScreenPos();
    const ImVec2 size(792.0f, 432.0f);
    ImGui::Dummy(size);
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddCallback(ui_draw_callback_blend_off, nullptr);
    list->AddImage(textureId(texture), q, ImVec2(q.x + size.x, q.y + size.y), ImVec2(0, 1), ImVec2(1, 0));
    list->AddCallback(ui_draw_callback_blend_on, nullptr);
    ImGui::End();
}

void ui_deferred_window(bool* open)
{
    ImGui::SetNextWindowSize(ImVec2(200, 300), ImGuiCond_FirstUseEver);
    ImGui::Begin("Deferred", open);
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::Dummy(ImVec2(kDeferredThumbnailWidth, 436.0f));
    if (uiDeferredWindowUsesGl) {
        deferredCreateTargets();
        makePreviewFramebuffer();
        // The decoded normals are refreshed every frame, hovered or not.
        if (Texture* normals = slotTexture(deferredRenderer.fbDeferredDeep, FB_ATTACHMENT_COLOR1);
            normals && normals->glId != 0 && previewFramebuffer)
            compositeBuiltin(previewFramebuffer, COMPOSITE_BUILTIN_DECODE_NORMALS, normals, nullptr);
    }
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddCallback(ui_draw_callback_blend_off, nullptr);
    const bool hovered = ImGui::IsWindowHovered();
    const ImVec2 mouse = ImGui::GetIO().MousePos;
    Texture* hoveredTexture = nullptr;
    for (int k = 0; k < kDeferredThumbnailCount; ++k) {
        const ImVec2 from(p.x, p.y + kDeferredThumbnailStep * static_cast<float>(k));
        const ImVec2 to(from.x + kDeferredThumbnailWidth, from.y + kDeferredThumbnailHeight);
        Texture* texture = uiDeferredWindowUsesGl ? ui_deferred_thumbnail_texture(k) : nullptr;
        if (!texture)
            continue;
        list->AddImage(textureId(texture), from, to, ImVec2(0, 1), ImVec2(1, 0));
        if (hovered && mouse.x >= from.x && mouse.x < to.x && mouse.y >= from.y && mouse.y < to.y)
            hoveredTexture = texture;
    }
    list->AddCallback(ui_draw_callback_blend_on, nullptr);
    if (hoveredTexture)
        ui_texture_preview_tooltip(p, hoveredTexture);
    ImGui::End();
}

void ui_node_configuration_editor()
{
    // Selection is applied even while the window is collapsed: only drawing is skipped.
    const bool shown = ImGui::Begin("Node Configuration Editor");
    if (shown)
        ImGui::BeginChild("NodeConfigurationEditor", ImVec2(0, 0), false);
    const std::vector<int> selected = uiNodeEditorState ? uiNodeEditorState->selectedIds : std::vector<int>();
    for (size_t i = 0; i < selected.size(); ++i) {
        EngineComponent* component = findComponent(selected[i]);
        if (!component)
            continue;
        ImGui::PushID(selected[i]);
        if (shown)
            ui_component_tags(component);
        if (CvarTreeNode* tree = component->GetCvarTree()) {
            if (shown) {
                // The field grows with the name; the name follows every keystroke, the rename is announced on Enter.
                const ImGuiStyle& style = ImGui::GetStyle();
                ImGui::SetNextItemWidth(std::max(120.0f, ImGui::CalcTextSize(component->name.c_str()).x +
                                                          style.FramePadding.x * 2.0f + 16.0f));
                if (ImGui::InputText("Name", &component->name, ImGuiInputTextFlags_EnterReturnsTrue))
                    component->OnRenamed();
            }
            component->selected = true;
            component->OnSelectionChanged(true);
            tree->open = true;
            if (shown)
                ui_handle_cvar_tree_node(tree);
            tree->name = component->name;
        }
        if (shown && i + 1 < selected.size())
            ImGui::Separator();
        ImGui::PopID();
    }
    if (shown)
        ImGui::EndChild();
    ImGui::End();
}
