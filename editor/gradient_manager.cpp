#include "editor/gradient_manager.h"

#include "app/log.h"
#include "editor/gradient_editor.h"
#include "editor/ui.h"
#include "project/gradients.h"
#include "project/project.h"
#include "project/resources.h"

#include <imgui.h>

#include <algorithm>
#include <cstdio>

namespace {

const char* const kInterpolationNames[] = {"Linear", "LABSpline"};

bool nameUsed(const std::string& name)
{
    return (currentResources && currentResources->resources.count(name) != 0) || gradientsFind(name);
}

// The working copy of a gradient, made on first sight from its marks (alpha kept for the write-back).
ImGradient* workingCopy(Gradient* gradient, bool& rebuild)
{
    auto it = gradientEditorCache.find(gradient);
    if (it != gradientEditorCache.end())
        return it->second;
    auto* copy = new ImGradient();
    for (const GradientMark& mark : gradient->marks) {
        ImGradientMark m;
        m.color[0] = mark.red;
        m.color[1] = mark.green;
        m.color[2] = mark.blue;
        m.color[3] = mark.alpha;
        m.position = std::clamp(mark.position, 0.0f, 1.0f);
        copy->AddMark(m);
        copy->UpdateCache();
    }
    if (gradient->marks.empty())
        copy->UpdateCache();
    gradientEditorCache.emplace(gradient, copy);
    rebuild = true;
    return copy;
}

void writeBack(Gradient* gradient, const ImGradient& copy)
{
    gradient->marks.clear();
    for (const ImGradientMark* m : copy.marks)
        gradient->marks.push_back(GradientMark{m->color[0], m->color[1], m->color[2], m->color[3], m->position});
}

void rebake()
{
    std::vector<Gradient*> list;
    if (currentResources)
        for (Resource* resource : currentResources->get_by_type(ResourceType::Gradient))
            if (auto* record = static_cast<GradientResource*>(resource); record->gradient)
                list.push_back(record->gradient);
    gradientTextureUpdate(list);
}

} // namespace

std::string ui_gradient_free_name(const std::string& prefix)
{
    for (int n = 1;; ++n) {
        char name[512];
        std::snprintf(name, sizeof(name), "%s%d", prefix.c_str(), n);
        if (!nameUsed(name))
            return name;
    }
}

void ui_gradient_manager_window(GradientManagerState* state)
{
    ImGui::Begin("Gradient Manager");
    ImGui::BeginChild("Gradients", ImVec2(0, 0), false);
    bool rebuild = false;

    if (ImGui::Button("Add") && gradientsAdd(ui_gradient_free_name("Unnamed Gradient ")))
        rebuild = true;

    std::vector<GradientResource*> records;
    if (currentResources)
        for (Resource* resource : currentResources->get_by_type(ResourceType::Gradient))
            records.push_back(static_cast<GradientResource*>(resource));

    // A selection whose gradient is gone (deleted here or elsewhere) selects nothing.
    if (state && state->gradient &&
        std::none_of(records.begin(), records.end(),
                     [&](const GradientResource* r) { return r->gradient == state->gradient; }))
        state->gradient = nullptr;

    for (GradientResource* record : records) {
        Gradient* gradient = record->gradient;
        if (!gradient)
            continue;
        ImGui::PushID(record);
        if (gradient->row == -1)
            rebuild = true;
        ImGradient* copy = workingCopy(gradient, rebuild);
        copy->evaluator = gradient->interpolation == GradientInterpolation::LABSpline
                              ? static_cast<const ImGradient::ImGradientEvaluator*>(&imGradientCieLABCurveEvaluator)
                              : &imGradientDefaultEvaluator;
        const bool selected = state && state->gradient == gradient;
        if (selected)
            copy->UpdateCache();

        char name[256];
        std::snprintf(name, sizeof(name), "%s", record->name.c_str());
        ImGui::PushItemWidth(200);
        if (ImGui::InputText("##Name", name, sizeof(name), ImGuiInputTextFlags_EnterReturnsTrue) &&
            record->name != name)
            gradientsRename(record->name, name);
        ImGui::PopItemWidth();

        ImGui::SameLine();
        if (ImGui::Button("Del")) {
            if (state && state->gradient == gradient)
                state->gradient = nullptr;
            gradientEditorCacheErase(gradient);
            gradientsRemove(record->name);
            rebuild = true;
            ImGui::PopID();
            continue;
        }
        ImGui::SameLine();
        if (ImGui::Button("Clone")) {
            const std::string sourceName = record->name;
            if (GradientResource* clone = gradientsAdd(ui_gradient_free_name(sourceName + " Clone #"))) {
                clone->gradient->marks.insert(clone->gradient->marks.end(), gradient->marks.begin(),
                                              gradient->marks.end());
                clone->gradient->interpolation = gradient->interpolation;
                rebuild = true;
            }
        }

        if (selected) {
            ImGui::SameLine();
            const int current = gradient->interpolation == GradientInterpolation::LABSpline ? 1 : 0;
            ImGui::PushItemWidth(120);
            if (ImGui::BeginCombo("Interpolation", kInterpolationNames[current])) {
                for (int i = 0; i < 2; ++i) {
                    if (ImGui::Selectable(kInterpolationNames[i], i == current) && i != current) {
                        gradient->interpolation = i;
                        // The preview changes with it; bake at once so the texture shows what the editor shows.
                        rebuild = true;
                    }
                }
                ImGui::EndCombo();
            }
            ImGui::PopItemWidth();
            copy->evaluator = gradient->interpolation == GradientInterpolation::LABSpline
                                  ? static_cast<const ImGradient::ImGradientEvaluator*>(&imGradientCieLABCurveEvaluator)
                                  : &imGradientDefaultEvaluator;
            if (ui_gradient_editor(copy)) {
                writeBack(gradient, *copy);
                rebuild = true;
            }
        } else {
            const float width = std::max(250.0f, ImGui::GetContentRegionAvail().x - 100.0f);
            const ImVec2 at = ImGui::GetCursorScreenPos();
            if (ImGui::InvisibleButton("gradient_bar", ImVec2(width, 25)) && state)
                state->gradient = gradient;
            ui_gradient_draw_bar(copy, at, width, 25);
        }
        ImGui::PopID();
    }

    ImGui::EndChild();
    ImGui::End();
    if (rebuild)
        rebake();
}
