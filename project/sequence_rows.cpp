// How the timeline widget draws a component's row: one line per animated parameter with its name, its active and
// mode boxes and its keys; key selection and deletion.
#include "project/components.h"
#include "project/cvars.h"
#include "project/sequencer.h"

#include <algorithm>

namespace {

constexpr float kLineHeight = 14.0f;

struct AnimatedParameter {
    Cvar* cvar;
    KeyframeTrack* track;
};

std::vector<AnimatedParameter> animatedParameters(EngineComponent* component)
{
    std::vector<AnimatedParameter> list;
    if (!component)
        return list;
    for (Cvar* cvar : CvarTreeCollect(component->GetCvarTree(), -1))
        if (SequencerManager::HasTrack(cvar))
            list.push_back({cvar, SequencerManager::FindTrack(cvar)});
    return list;
}

bool freshLeftClick()
{
    return ImGui::IsMouseClicked(0, false);
}

bool inside(ImVec2 p, float x0, float y0, float x1, float y1)
{
    return p.x >= x0 && p.x < x1 && p.y >= y0 && p.y < y1;
}

} // namespace

void Sequence::CustomDraw(int index, ImDrawList* drawList, const ImRect& rowRect, const ImRect& legendRect,
                          const ImRect& clipRect, const ImRect& legendClipRect)
{
    SequenceItem* item = row(index);
    if (!item || !item->component || !drawList)
        return;
    const std::vector<AnimatedParameter> lines = animatedParameters(item->component);
    const ImVec2 mouse = ImGui::GetIO().MousePos;
    const bool click = freshLeftClick();

    drawList->PushClipRect(legendClipRect.Min, legendClipRect.Max, true);
    const float right = legendRect.Max.x;
    for (size_t k = 0; k < lines.size(); ++k) {
        KeyframeTrack& track = *lines[k].track;
        const float y0 = legendRect.Min.y + kLineHeight * static_cast<float>(k);
        const char* name = lines[k].cvar->name.c_str();
        const float nameLeft = right - 30 - ImGui::CalcTextSize(name).x;
        drawList->AddText(ImVec2(nameLeft, y0), track.highlighted ? 0xFFFFFFFF : 0x80FFFFFF, name);
        // The name ends where the boxes begin, so a click on a box switches only that box.
        if (click && inside(mouse, nameLeft, y0, right - 35, y0 + kLineHeight))
            track.highlighted = !track.highlighted;

        const ImVec2 activeA(right - 35, y0 + 2), activeB(right - 25, y0 + 12);
        if (track.active)
            drawList->AddRectFilled(activeA, activeB, 0xFFFFFFFF);
        else
            drawList->AddRect(activeA, activeB, 0xFFFFFFFF);
        if (click && inside(mouse, activeA.x, activeA.y, activeB.x, activeB.y))
            track.active = !track.active;

        const ImVec2 modeA(right - 20, y0 + 2), modeB(right - 10, y0 + 12);
        if (track.linear)
            drawList->AddRectFilled(modeA, modeB, 0xFF0000FF);
        else if (track.interpolated)
            drawList->AddRectFilled(modeA, modeB, 0xFF00FF00);
        else
            drawList->AddRect(modeA, modeB, 0xFFFFFFFF);
        if (click && inside(mouse, modeA.x, modeA.y, modeB.x, modeB.y)) {
            // step -> cubic -> linear -> step
            if (track.linear) {
                track.interpolated = false;
                track.linear = false;
            } else if (track.interpolated) {
                track.interpolated = false;
                track.linear = true;
            } else {
                track.interpolated = true;
                track.linear = false;
            }
        }
    }
    drawList->PopClipRect();

    drawList->PushClipRect(clipRect.Min, clipRect.Max, true);
    const int frameMin = GetFrameMin();
    const int frameSpan = GetFrameMax() - frameMin;
    const float width = rowRect.Max.x - rowRect.Min.x;
    for (size_t k = 0; k < lines.size(); ++k) {
        Cvar* cvar = lines[k].cvar;
        const float y0 = rowRect.Min.y + kLineHeight * static_cast<float>(k);
        const float y1 = y0 + kLineHeight;
        for (const Keyframe& key : lines[k].track->keys) {
            const int frame = static_cast<int>(key.frame);
            if (frame < item->start || frame > item->end)
                continue;
            // An empty timeline puts every key at its left edge.
            const float x = rowRect.Min.x +
                            (frameSpan > 0 ? width * static_cast<float>(frame - frameMin) / static_cast<float>(frameSpan)
                                           : 0.0f);
            auto selected = std::find_if(selectedKeys.begin(), selectedKeys.end(), [&](const SelectedKey& s) {
                return s.cvar == cvar && s.frame == frame;
            });
            drawList->AddLine(ImVec2(x, y0), ImVec2(x, y1), selected != selectedKeys.end() ? 0xFF64C8FF : 0xC8000000,
                              4);
            if (click && inside(mouse, x, y0, x + 4, y1)) {
                if (!ImGui::GetIO().KeyShift) {
                    selectedKeys.clear();
                    selected = selectedKeys.end();
                }
                if (selected != selectedKeys.end())
                    selectedKeys.erase(selected);
                else
                    selectedKeys.push_back({cvar, frame});
            }
        }
    }
    drawList->PopClipRect();

    if (rowRect.Contains(mouse) && ImGui::IsKeyDown(ImGui::GetKeyIndex(ImGuiKey_Delete)) && !selectedKeys.empty()) {
        // A selected key whose parameter or key has gone is simply skipped.
        const std::vector<SelectedKey> doomed = selectedKeys;
        selectedKeys.clear();
        for (const SelectedKey& key : doomed)
            SequencerManager::DeleteKey(key.cvar, key.frame);
    }
}

void Sequence::CustomDrawCompact(int index, ImDrawList* drawList, const ImRect& rowRect, const ImRect& clipRect)
{
    SequenceItem* item = row(index);
    if (!item || !item->component || !drawList)
        return;
    drawList->PushClipRect(clipRect.Min, clipRect.Max, true);
    const int frameMin = GetFrameMin();
    const int frameSpan = GetFrameMax() - frameMin;
    const float width = rowRect.Max.x - rowRect.Min.x;
    for (const AnimatedParameter& line : animatedParameters(item->component)) {
        for (const Keyframe& key : line.track->keys) {
            const int frame = static_cast<int>(key.frame);
            if (frame < item->start || frame > item->end)
                continue;
            const float x = rowRect.Min.x +
                            (frameSpan > 0 ? width * static_cast<float>(frame - frameMin) / static_cast<float>(frameSpan)
                                           : 0.0f);
            drawList->AddLine(ImVec2(x, rowRect.Min.y + 6), ImVec2(x, rowRect.Max.y - 4), 0xAA000000, 4);
        }
    }
    drawList->PopClipRect();
}
