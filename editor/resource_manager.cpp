#include "editor/resource_manager.h"

#include "app/data_files.h"
#include "app/log.h"
#include "components/mesh_renderer.h"
#include "editor/ui.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"
#include "project/gradients.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/entities.h"
#include "render/mesh_import.h"

#include <fmt/format.h>
#include <imgui.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

namespace {

std::string afterLastSlash(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Scene file records made here; they live as long as the editor.
std::vector<std::unique_ptr<SceneUriResource>>& sceneRecords()
{
    static std::vector<std::unique_ptr<SceneUriResource>> records;
    return records;
}

void importOne(const std::string& dropped)
{
    const std::string path = resourceManagerImportPath(dropped);
    if (path.empty() || !currentResources)
        return;
    const std::string name = afterLastSlash(path);
    // The kind comes from the dropped name, anywhere in it.
    if (dropped.find(".jpg") != std::string::npos || dropped.find(".png") != std::string::npos) {
        Texture* texture = resourceLoaders.loadTexture(path);
        if (!texture)
            return;
        if (texture->glId == 0)
            txtSetupForGL(texture);
        resourceLoaders.labelTexture(texture, name);
        currentResources->add_texture(name, texture)->path = path;
    } else if (dropped.find(".hdr") != std::string::npos) {
        Texture* envmap = resourceLoaders.loadEnvmap(path);
        if (envmap)
            currentResources->add_envmap(name, envmap)->path = path;
    } else if (dropped.find(".gltf") != std::string::npos) {
        if (currentResources->resources.count(name))
            return;
        sceneRecords().push_back(std::make_unique<SceneUriResource>(name, path));
        currentResources->add(sceneRecords().back().get());
    } else {
        // The store keeps a record already under that name: the file is not loaded again.
        if (currentResources->resources.count(name)) {
            LOG_WARNING("Dropped <%s>: a resource named <%s> exists; kept", dropped.c_str(), name.c_str());
            return;
        }
        Object* object = resourceLoaders.loadObject(path);
        if (!object)
            return;
        currentResources->add_object(name, object)->path = path;
        resourceManagerSave(false);
    }
}

uint32_t triangleCount(const Geometry* geometry)
{
    uint32_t n = 0;
    for (const GeometrySurface* surface : geometry->surfaces)
        n += surface ? surface->triangleCount : 0;
    return n;
}

} // namespace

std::string resourceManagerImportPath(const std::string& dropped)
{
    namespace fs = std::filesystem;
    std::error_code error;
    // A folder (or anything else that is not a file) would reach the mesh loader.
    if (!fs::is_regular_file(dropped, error)) {
        LOG_WARNING("Dropped <%s> is not a file; ignored", dropped.c_str());
        return {};
    }
    const fs::path file = fs::weakly_canonical(fs::path(dropped), error);
    if (error)
        return {};
    const fs::path base = fs::weakly_canonical(fs::absolute(fs::path(dataBasePath()), error), error);
    if (error)
        return {};
    const fs::path relative = file.lexically_relative(base);
    const std::string text = relative.generic_string();
    if (relative.empty() || text.rfind("..", 0) == 0) {
        LOG_WARNING("Dropped <%s> lies outside the asset folder <%s>; ignored", dropped.c_str(), base.c_str());
        return {};
    }
    return text;
}

std::string resourceManagerObjectLine(const Resource* record)
{
    const auto* file = resourceCast<FileResource>(record, ResourceType::Object);
    const Object* object = file ? file->GetObject() : nullptr;
    if (!object || !object->geometry)
        return fmt::format("{0} (Failed to load)", record ? record->name : std::string());
    const Geometry* g = object->geometry;
    return fmt::format("{0} \t\t F:{1:7d} V:{2:7d} S:{3:3d}", record->name, triangleCount(g), g->vertexCount,
                       g->surfaces.size());
}

bool resourceManagerSave(bool gradients)
{
    if (!currentResources || !currentProject)
        return false;
    bool saved = currentResources->save_json(fmt::format("{0}{1}/resources.json", dataBasePath(), currentProject->path));
    if (gradients && globalProject)
        saved = save_gradients_json(fmt::format("{0}{1}/resources.json", dataBasePath(), globalProject->path)) && saved;
    return saved;
}

void resourceManagerImportDropped(ResourceManagerUiState& state)
{
    for (const std::string& dropped : state.droppedPaths)
        importOne(dropped);
    state.droppedPaths.clear();
}

void ui_resource_manager_window(ResourceManagerUiState& state)
{
    ImGui::Begin("Resource Manager");
    ImGui::BeginChild("Resources", ImVec2(0, 0), false);
    if (ImGui::Button("Save Resources"))
        resourceManagerSave(true);
    if (currentResources) {
        if (ImGui::CollapsingHeader("Objects", ImGuiTreeNodeFlags_DefaultOpen)) {
            Resource* removed = nullptr;
            for (Resource* record : currentResources->get_by_type(ResourceType::Object)) {
                ImGui::PushID(record);
                // Only the record goes: the object may still be drawn by a renderer that resolved it.
                if (ImGui::Button("Del"))
                    removed = record;
                ImGui::SameLine();
                ImGui::TextUnformatted(resourceManagerObjectLine(record).c_str());
                ImGui::PopID();
            }
            if (removed)
                currentResources->remove(removed);
        }
        if (ImGui::CollapsingHeader("Scenes", ImGuiTreeNodeFlags_DefaultOpen)) {
            for (Resource* record : currentResources->get_by_type(ResourceType::SceneUri)) {
                auto* scene = resourceCast<SceneUriResource>(record, ResourceType::SceneUri);
                if (!scene)
                    continue;
                ImGui::PushID(scene->name.c_str());
                ImGui::Checkbox("Auto", &scene->load_on_startup);
                ImGui::SameLine();
                if (ImGui::Button("Load Resources"))
                    graph_load_scene_resources(scene->path);
                ImGui::SameLine();
                if (ImGui::Button("Add"))
                    graph_load_scene(scene->path);
                ImGui::SameLine();
                ImGui::TextUnformatted(scene->path.c_str());
                ImGui::PopID();
            }
        }
        if (ImGui::CollapsingHeader("Enviroment maps", ImGuiTreeNodeFlags_DefaultOpen))
            for (Resource* record : currentResources->get_by_type(ResourceType::Envmap))
                ImGui::TextUnformatted(record->name.c_str());
        if (ImGui::CollapsingHeader("Images", ImGuiTreeNodeFlags_DefaultOpen)) {
            for (Resource* record : currentResources->get_by_type(ResourceType::Texture)) {
                auto* file = resourceCast<FileResource>(record, ResourceType::Texture);
                Texture* texture = file ? file->GetTexture() : nullptr;
                const Image* image = texture && texture->imageCount > 0 ? texture->images[0] : nullptr;
                ImGui::Text("[%s]%s", image ? txtGetInternalFormatName(image->type) : "NULL", record->name.c_str());
                if (!texture || !image || image->height <= 0)
                    continue;
                if (texture->glId == 0)
                    txtSetupForGL(texture);
                const ImVec2 size(64.0f * float(image->width) / float(image->height), 64.0f);
                const auto id = reinterpret_cast<ImTextureID>(static_cast<uintptr_t>(texture->glId));
                ImDrawList* list = ImGui::GetWindowDrawList();
                list->AddCallback(ui_draw_callback_blend_off, nullptr);
                ImGui::Image(id, size, ImVec2(0, 1), ImVec2(1, 0));
                list->AddCallback(ui_draw_callback_blend_on, nullptr);
                ImGui::SameLine(0.0f, 10.0f);
                ImGui::Image(id, size, ImVec2(0, 1), ImVec2(1, 0));
            }
        }
    }
    resourceManagerImportDropped(state);
    ImGui::EndChild();
    ImGui::End();
}
