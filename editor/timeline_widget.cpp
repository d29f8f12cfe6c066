#include "editor/timeline_widget.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace ImSequencer {

namespace {

constexpr float kRowHeight = 20.0f;
constexpr float kHeaderHeight = 20.0f;
constexpr float kScrollBarHeight = 14.0f;
constexpr float kMinThumbWidth = 44.0f;
// The zoom can be set directly by the scroll-bar handles; below this a frame would have no width to divide by.
constexpr float kMinFramePixelWidth = 0.01f;

TimelineState state;

// A clamp that tolerates an empty range (hi below lo): the low bound wins.
int64_t clampRange(int64_t v, int64_t lo, int64_t hi)
{
    if (hi < lo)
        hi = lo;
    return v < lo ? lo : (v > hi ? hi : v);
}

int toInt(int64_t v)
{
    return static_cast<int>(clampRange(v, INT32_MIN, INT32_MAX));
}

struct CustomRows {
    int index;
    ImRect rect, legendRect, clipRect, legendClipRect;
};

} // namespace

TimelineState& timelineState()
{
    return state;
}

void ResetTimelineState()
{
    state = TimelineState();
}

bool DrawTimeline(SequenceInterface* sequence, int* currentFrame, bool* expanded, int* selectedEntry,
                  int* firstFrame, int options, int legendWidthPixels)
{
    if (!sequence)
        return false;
    const int rows = sequence->GetItemCount();
    if (rows <= 0)
        return false;

    bool result = false;
    ImGuiIO& io = ImGui::GetIO();
    const ImVec2 mouse = io.MousePos;
    const float legendWidth = static_cast<float>(std::max(legendWidthPixels, 0));

    ImGui::BeginGroup();
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    const ImVec2 canvasPos = ImGui::GetCursorScreenPos();
    const ImVec2 canvasSize = ImGui::GetContentRegionAvail();
    const int64_t frameMin = sequence->GetFrameMin();
    const int64_t frameMax = sequence->GetFrameMax();
    const int firstFrameUsed = firstFrame ? *firstFrame : 0;

    std::vector<float> customHeights(static_cast<size_t>(rows));
    float controlHeight = 0.0f;
    for (int i = 0; i < rows; ++i) {
        customHeights[static_cast<size_t>(i)] = static_cast<float>(sequence->GetCustomHeight(i));
        controlHeight += kRowHeight + customHeights[static_cast<size_t>(i)];
    }
    const int64_t frameCount = std::max<int64_t>(frameMax - frameMin, 1);
    const float trackWidth = std::max(canvasSize.x - legendWidth, 0.0f);

    float& fpw = state.framePixelWidth;
    if (!(fpw >= kMinFramePixelWidth)) // NaN too
        fpw = kMinFramePixelWidth;
    int64_t visibleFrameCount = static_cast<int64_t>(std::floor(trackWidth / fpw));
    const float barWidthRatio = std::min(static_cast<float>(visibleFrameCount) / static_cast<float>(frameCount), 1.0f);
    const float barWidthInPixels = barWidthRatio * trackWidth;
    // The first frame may go no further than shows the last frame at the right edge; with everything visible that
    // bound lies below frame min, and frame min wins.
    const int64_t lastFirstFrame = std::max(frameMax - visibleFrameCount, frameMin);

    // Alt + middle drag pans.
    if (ImGui::IsWindowFocused(ImGuiFocusedFlags_RootAndChildWindows) && io.KeyAlt && io.MouseDown[2] && firstFrame) {
        if (!state.panningView) {
            state.panningViewSource = mouse;
            state.panningViewFrame = *firstFrame;
            state.panningView = true;
        }
        *firstFrame = toInt(clampRange(
            state.panningViewFrame - static_cast<int64_t>((mouse.x - state.panningViewSource.x) / fpw), frameMin,
            lastFirstFrame));
    }
    if (state.panningView && !io.MouseDown[2])
        state.panningView = false;

    // Zoom eases towards its target.
    state.framePixelWidthTarget = std::clamp(state.framePixelWidthTarget, 0.1f, 50.0f);
    fpw = std::max(fpw + (state.framePixelWidthTarget - fpw) * 0.33f, kMinFramePixelWidth);
    if (visibleFrameCount >= frameCount && firstFrame)
        *firstFrame = static_cast<int>(frameMin);

    const bool isExpanded = !expanded || *expanded;
    const float headerRight = canvasPos.x + canvasSize.x;
    if (!isExpanded) {
        ImGui::InvisibleButton("canvas", ImVec2(std::max(canvasSize.x, 1.0f), kHeaderHeight));
        drawList->AddRectFilled(canvasPos, ImVec2(headerRight, canvasPos.y + kHeaderHeight), 0xFF3D3837, 0);
        char text[64];
        std::snprintf(text, sizeof(text), "%d Frames / %d entries", static_cast<int>(frameCount), rows);
        drawList->AddText(ImVec2(canvasPos.x + 26, canvasPos.y + 2), 0xFFFFFFFF, text);
    } else {
        // Header and content.
        ImGui::InvisibleButton("topBar", ImVec2(std::max(canvasSize.x, 1.0f), kHeaderHeight));
        drawList->AddRectFilled(canvasPos, ImVec2(headerRight, canvasPos.y + kHeaderHeight), 0xFFFF0000, 0);
        const ImVec2 childFramePos = ImGui::GetCursorScreenPos();
        const ImVec2 childFrameSize(std::max(canvasSize.x, 1.0f),
                                    std::max(canvasSize.y - 8.0f - kHeaderHeight - kScrollBarHeight, 1.0f));
        ImGui::PushStyleColor(ImGuiCol_FrameBg, 0);
        ImGui::BeginChildFrame(889, childFrameSize);
        sequence->focused = ImGui::IsWindowFocused();
        ImGui::InvisibleButton("contentBar", ImVec2(std::max(canvasSize.x, 1.0f), std::max(controlHeight, 1.0f)));
        const ImVec2 contentMin = ImGui::GetItemRectMin();
        const ImVec2 contentMax = ImGui::GetItemRectMax();
        const ImRect childRect(childFramePos,
                               ImVec2(childFramePos.x + childFrameSize.x, childFramePos.y + childFrameSize.y));
        drawList->AddRectFilled(canvasPos, ImVec2(headerRight, canvasPos.y + canvasSize.y), 0xFF242424, 0);

        // Dragging the cursor on the ruler.
        const ImRect rulerRect(ImVec2(canvasPos.x + legendWidth, canvasPos.y),
                               ImVec2(headerRight, canvasPos.y + kHeaderHeight));
        if (!state.movingCurrentFrame && !state.movingScrollBar && state.movingEntry == -1 &&
            (options & SEQUENCER_CHANGE_FRAME) && currentFrame && *currentFrame >= 0 && rulerRect.Contains(mouse) &&
            ImGui::IsMouseClicked(0))
            state.movingCurrentFrame = true;
        if (state.movingCurrentFrame) {
            if (currentFrame)
                *currentFrame = toInt(clampRange(
                    static_cast<int64_t>((mouse.x - rulerRect.Min.x) / fpw) + firstFrameUsed, frameMin, frameMax));
            if (!io.MouseDown[0])
                state.movingCurrentFrame = false;
        }

        // Ruler: the label step doubles until labels are 150 pixels apart; ticks every drawing step.
        int labelStep = 10;
        int drawStep = 1;
        while (static_cast<float>(labelStep) * fpw < 150.0f && labelStep < (1 << 28)) {
            labelStep *= 2;
            drawStep *= 2;
        }
        const int halfStep = std::max(labelStep / 2, 1);
        auto frameX = [&](int64_t frame) {
            return canvasPos.x + legendWidth + static_cast<float>(frame - firstFrameUsed) * fpw;
        };
        // Only the steps that can show: a long timeline at a close zoom would otherwise loop over every frame.
        const int64_t stepFrom = frameMin + std::max<int64_t>(0, (firstFrameUsed - frameMin) / drawStep - 1) * drawStep;
        const int64_t stepTo = std::min<int64_t>(frameMax, firstFrameUsed + visibleFrameCount + drawStep);
        auto forEachStep = [&](auto&& visit) {
            for (int64_t i = stepFrom; i <= stepTo; i += drawStep)
                visit(i);
            visit(frameMin);
            visit(frameMax);
        };

        drawList->PushClipRect(canvasPos, ImVec2(headerRight, canvasPos.y + kHeaderHeight), true);
        drawList->AddRectFilled(canvasPos, ImVec2(headerRight, canvasPos.y + kHeaderHeight), 0xFF3D3837, 0);
        forEachStep([&](int64_t i) {
            const float px = frameX(i);
            if (px < canvasPos.x + legendWidth || px > headerRight)
                return;
            const bool main = i % labelStep == 0 || i == frameMin || i == frameMax;
            const bool half = i % halfStep == 0;
            const float tickTop = main ? 4.0f : (half ? 10.0f : 14.0f);
            drawList->AddLine(ImVec2(px, canvasPos.y + tickTop), ImVec2(px, canvasPos.y + kHeaderHeight - 1),
                              0xFF606060, 1);
            if (main && px > canvasPos.x + legendWidth) {
                const int frame = static_cast<int>(i);
                const int minutes = frame / 6000;
                char label[64];
                std::snprintf(label, sizeof(label), "%d [%d:%02d]", frame, minutes, frame / 100 - minutes * 60);
                drawList->AddText(ImVec2(px + 3, canvasPos.y), 0xFFBBBBBB, label);
            }
        });
        drawList->PopClipRect();

        // Legend and row backgrounds, inside the content frame.
        drawList->PushClipRect(childRect.Min, childRect.Max, true);
        std::vector<float> rowTops(static_cast<size_t>(rows));
        float above = 0.0f;
        for (int i = 0; i < rows; ++i) {
            rowTops[static_cast<size_t>(i)] = contentMin.y + 1 + kRowHeight * static_cast<float>(i) + above;
            above += customHeights[static_cast<size_t>(i)];
        }
        const bool popupOpen = ImGui::IsPopupOpen("", ImGuiPopupFlags_AnyPopupId);
        for (int i = 0; i < rows; ++i) {
            const float top = rowTops[static_cast<size_t>(i)];
            const float height = kRowHeight + customHeights[static_cast<size_t>(i)];
            ImU32 color = (i & 1) ? 0xFF3A3636 : 0xFF413D3D;
            float left = contentMin.x + legendWidth;
            if (!popupOpen && state.movingEntry == -1 && mouse.y >= top && mouse.y < top + height &&
                mouse.x > contentMin.x && mouse.x < contentMin.x + canvasSize.x && childRect.Contains(mouse)) {
                color = (i & 1) ? 0x7F5A463E : 0x7F614D45;
                left = contentMin.x;
            }
            drawList->AddRectFilled(ImVec2(left, top), ImVec2(headerRight, top + height - 1), color, 0);
        }
        for (int i = 0; i < rows; ++i) {
            const ImVec2 at(contentMin.x + 3 + 8 * static_cast<float>(sequence->GetItemIndent(i)),
                            rowTops[static_cast<size_t>(i)] + 1);
            drawList->AddText(at, sequence->GetItemLabelColor(i), sequence->GetItemLabel(i));
        }

        // The rows' area right of the legend.
        drawList->PushClipRect(ImVec2(childRect.Min.x + legendWidth, childRect.Min.y), childRect.Max, true);
        forEachStep([&](int64_t i) {
            const float px = frameX(i);
            if (px >= canvasPos.x + legendWidth && px <= headerRight)
                drawList->AddLine(ImVec2(px, contentMin.y), ImVec2(px, contentMax.y), 0x30606060, 1);
        });

        if (selectedEntry && *selectedEntry >= 0 && *selectedEntry < rows) {
            const float top = rowTops[static_cast<size_t>(*selectedEntry)] - 1;
            drawList->AddRectFilled(ImVec2(contentMin.x, top),
                                    ImVec2(contentMin.x + canvasSize.x, top + kRowHeight), 0x801080FF, 1.0f);
        }

        // Bars and their handles.
        std::vector<CustomRows> customDraws, compactDraws;
        const float barsLeft = contentMin.x + legendWidth - static_cast<float>(firstFrameUsed) * fpw;
        for (int i = 0; i < rows; ++i) {
            int* start = nullptr;
            int* end = nullptr;
            uint32_t color = 0;
            sequence->Get(i, &start, &end, nullptr, &color);
            const float top = rowTops[static_cast<size_t>(i)];
            const float customHeight = customHeights[static_cast<size_t>(i)];
            if (start && end) {
                const ImVec2 p1(barsLeft + static_cast<float>(*start) * fpw, top + 2);
                const ImVec2 p2(barsLeft + static_cast<float>(*end) * fpw + fpw, top + kRowHeight - 2);
                const ImVec2 p3(p2.x, p2.y + customHeight);
                const ImU32 solid = color | 0xFF000000;
                const ImU32 faint = (color & 0x00FFFFFF) | 0x40000000;
                if (p1.x <= canvasSize.x + contentMin.x && p2.x >= contentMin.x + legendWidth) {
                    drawList->AddRectFilled(p1, p3, faint, 2);
                    drawList->AddRectFilled(p1, p2, solid, 2);
                }
                const ImRect bar(p1, p2);
                if (bar.Contains(mouse) && ImGui::IsMouseDoubleClicked(0))
                    sequence->DoubleClick(i);

                const float handleWidth = std::min((p2.x - p1.x) / 3.0f, std::max(10.0f, fpw / 2.0f));
                const ImRect parts[3] = {ImRect(p1, ImVec2(p1.x + handleWidth, p2.y)),
                                         ImRect(ImVec2(p2.x - handleWidth, p1.y), p2), bar};
                const bool selected = selectedEntry && *selectedEntry == i;
                const ImU32 partColors[3] = {0xFFFFFFFF, 0xFFFFFFFF, solid + (selected ? 0 : 0x202020)};
                if (state.movingEntry == -1 && (options & SEQUENCER_EDIT_STARTEND)) {
                    for (int j = 2; j >= 0; --j)
                        if (parts[j].Contains(mouse))
                            drawList->AddRectFilled(parts[j].Min, parts[j].Max, partColors[j], 2);
                    for (int j = 0; j < 3; ++j) {
                        if (!parts[j].Contains(mouse) || !childRect.Contains(mouse))
                            continue;
                        if (ImGui::IsMouseClicked(0) && !state.movingScrollBar && !state.movingCurrentFrame) {
                            state.movingEntry = i;
                            state.movingPos = mouse.x;
                            state.movingPart = j + 1;
                            state.movedDuringDrag = false;
                            sequence->BeginEdit(i);
                            break;
                        }
                    }
                }
            }

            const float spanFrom = barsLeft + (static_cast<float>(frameMin) + 0.5f) * fpw;
            const float spanTo = barsLeft + (static_cast<float>(frameMax) + 1.5f) * fpw;
            if (customHeight > 0) {
                const ImRect rect(ImVec2(spanFrom, top + kRowHeight), ImVec2(spanTo, top + kRowHeight + customHeight));
                const ImRect legendRect(ImVec2(canvasPos.x, top + kRowHeight),
                                        ImVec2(canvasPos.x + legendWidth, top + kRowHeight + customHeight));
                ImRect clip(ImVec2(canvasPos.x + legendWidth, top + kRowHeight),
                            ImVec2(headerRight, top + kRowHeight + customHeight));
                clip.ClipWithFull(childRect);
                ImRect legendClip = legendRect;
                legendClip.ClipWithFull(childRect);
                customDraws.push_back({i, rect, legendRect, clip, legendClip});
            } else {
                const ImRect rect(ImVec2(spanFrom, top), ImVec2(spanTo, top + kRowHeight));
                ImRect clip(ImVec2(canvasPos.x + legendWidth, top), ImVec2(headerRight, top + kRowHeight));
                clip.ClipWithFull(childRect);
                compactDraws.push_back({i, rect, ImRect(), clip, ImRect()});
            }
        }

        // A bar being dragged moves by whole frames.
        if (state.movingEntry >= 0) {
            ImGui::CaptureMouseFromApp();
            const int64_t moved = static_cast<int64_t>((mouse.x - state.movingPos) / fpw);
            if (moved != 0 && state.movingEntry < rows) {
                int* start = nullptr;
                int* end = nullptr;
                sequence->Get(state.movingEntry, &start, &end, nullptr, nullptr);
                if (selectedEntry)
                    *selectedEntry = state.movingEntry;
                if (start && end) {
                    int64_t l = *start;
                    int64_t r = *end;
                    if (state.movingPart & 1)
                        l += moved;
                    if (state.movingPart & 2)
                        r += moved;
                    if (l < 0) {
                        if (state.movingPart & 2)
                            r -= l; // the whole bar keeps its length
                        l = 0;
                    }
                    if ((state.movingPart & 1) && l > r)
                        l = r;
                    if ((state.movingPart & 2) && r < l)
                        r = l;
                    *start = toInt(l);
                    *end = toInt(r);
                }
                state.movingPos += static_cast<float>(moved) * fpw;
                state.movedDuringDrag = true;
            }
            if (!io.MouseDown[0]) {
                // Only a press and release that never moved the bar is a click on it.
                if (!state.movedDuringDrag && state.movingPart > 0 && selectedEntry) {
                    *selectedEntry = state.movingEntry;
                    result = true;
                }
                state.movingEntry = -1;
                state.movingPart = -1;
                sequence->EndEdit();
            }
        }
        drawList->PopClipRect();
        drawList->PopClipRect();

        // Frame cursor through the ruler and the rows.
        if (currentFrame && *currentFrame >= firstFrameUsed && *currentFrame <= frameMax) {
            const float x = contentMin.x + legendWidth + static_cast<float>(*currentFrame - firstFrameUsed) * fpw +
                            fpw / 2 - 4;
            drawList->PushClipRect(ImVec2(canvasPos.x + legendWidth, canvasPos.y), ImVec2(headerRight, childRect.Max.y),
                                   true);
            drawList->AddLine(ImVec2(x, canvasPos.y), ImVec2(x, childRect.Max.y), 0xA02A2AFF, 8);
            char text[32];
            std::snprintf(text, sizeof(text), "%d", *currentFrame);
            drawList->AddText(ImVec2(x + 10, canvasPos.y + 2), 0xFF2A2AFF, text);
            drawList->PopClipRect();
        }

        for (const CustomRows& row : customDraws)
            sequence->CustomDraw(row.index, drawList, row.rect, row.legendRect, row.clipRect, row.legendClipRect);
        for (const CustomRows& row : compactDraws)
            sequence->CustomDrawCompact(row.index, drawList, row.rect, row.clipRect);

        ImGui::EndChildFrame();
        ImGui::PopStyleColor();

        // Scroll bar: the thumb scrolls, its end handles zoom.
        ImGui::InvisibleButton("scrollBar", ImVec2(std::max(canvasSize.x, 1.0f), kScrollBarHeight));
        const ImVec2 barMin = ImGui::GetItemRectMin();
        const ImVec2 barMax = ImGui::GetItemRectMax();
        const bool inScrollBar = ImGui::IsItemHovered();
        const ImVec2 trackA(barMin.x + legendWidth, barMin.y - 2);
        const ImVec2 trackB(barMin.x + canvasSize.x, barMax.y - 1);
        drawList->AddRectFilled(trackA, trackB, 0xFF222222, 0);
        drawList->AddRectFilled(trackA, trackB, 0xFF101010, 8);

        const float thumbOffset =
            static_cast<float>(firstFrameUsed - frameMin) / static_cast<float>(frameCount) * trackWidth;
        const ImVec2 thumbA(barMin.x + legendWidth + thumbOffset, barMin.y);
        const ImVec2 thumbB(thumbA.x + barWidthInPixels, barMax.y - 2);
        const ImRect thumb(thumbA, thumbB);
        state.scrollThumb = thumb;
        drawList->AddRectFilled(thumbA, thumbB, (inScrollBar || state.movingScrollBar) ? 0xFF606060 : 0xFF505050, 6);
        const ImRect leftHandle(thumbA, ImVec2(thumbA.x + 14, thumbB.y));
        const ImRect rightHandle(ImVec2(thumbB.x - 14, thumbA.y), thumbB);
        const bool onLeft = leftHandle.Contains(mouse);
        const bool onRight = rightHandle.Contains(mouse);
        drawList->AddRectFilled(leftHandle.Min, leftHandle.Max,
                                (onLeft || state.sizingLeftHandle) ? 0xFFAAAAAA : 0xFF666666, 6);
        drawList->AddRectFilled(rightHandle.Min, rightHandle.Max,
                                (onRight || state.sizingRightHandle) ? 0xFFAAAAAA : 0xFF666666, 6);

        if (state.sizingRightHandle) {
            if (!io.MouseDown[0]) {
                state.sizingRightHandle = false;
            } else if (barWidthInPixels > 0.0f) {
                const float newWidth = std::max(barWidthInPixels + io.MouseDelta.x, kMinThumbWidth);
                const float ratio = newWidth / barWidthInPixels;
                fpw = state.framePixelWidthTarget = std::max(fpw / ratio, kMinFramePixelWidth);
                const int64_t newVisible = static_cast<int64_t>(trackWidth / fpw);
                const int64_t first = firstFrame ? *firstFrame : firstFrameUsed;
                // Past the end the zoom shows exactly the frames left; none left leaves the zoom as it is.
                if (first + newVisible > frameMax && frameMax > first)
                    fpw = state.framePixelWidthTarget =
                        std::max(trackWidth / static_cast<float>(frameMax - first), kMinFramePixelWidth);
            }
        } else if (state.sizingLeftHandle) {
            if (!io.MouseDown[0]) {
                state.sizingLeftHandle = false;
            } else if (std::fabs(io.MouseDelta.x) > FLT_EPSILON && barWidthInPixels > 0.0f && firstFrame) {
                const float newWidth = std::max(barWidthInPixels - io.MouseDelta.x, kMinThumbWidth);
                const float ratio = newWidth / barWidthInPixels;
                const float previous = fpw;
                fpw = state.framePixelWidthTarget = std::max(fpw / ratio, kMinFramePixelWidth);
                const int64_t newVisible = static_cast<int64_t>(trackWidth / fpw);
                const int64_t newFirst = clampRange(*firstFrame + newVisible - visibleFrameCount, frameMin,
                                                    std::max(frameMax - newVisible, frameMin));
                if (newFirst == *firstFrame)
                    fpw = state.framePixelWidthTarget = previous;
                else
                    *firstFrame = static_cast<int>(newFirst);
            }
        } else if (state.movingScrollBar) {
            if (!io.MouseDown[0]) {
                state.movingScrollBar = false;
            } else if (firstFrame && visibleFrameCount > 0 && barWidthInPixels > 0.0f) {
                const float pixelsPerFrame = barWidthInPixels / static_cast<float>(visibleFrameCount);
                *firstFrame = toInt(clampRange(
                    state.panningViewFrame + static_cast<int64_t>((mouse.x - state.panningViewSource.x) / pixelsPerFrame),
                    frameMin, lastFirstFrame));
            }
        } else if (ImGui::IsMouseClicked(0)) {
            if (onRight)
                state.sizingRightHandle = true;
            else if (onLeft)
                state.sizingLeftHandle = true;
            else if (thumb.Contains(mouse) && firstFrame && !state.movingCurrentFrame && state.movingEntry == -1) {
                state.movingScrollBar = true;
                state.panningViewSource = mouse;
                state.panningViewFrame = *firstFrame;
            }
        }
    }

    ImGui::EndGroup();

    if (expanded) {
        const ImVec2 a(canvasPos.x + 2, canvasPos.y + 2);
        const ImVec2 b(a.x + 16, a.y + 16);
        const bool over = ImRect(a, b).Contains(mouse);
        const ImU32 color = over ? 0xFFAAAAAA : 0x50000000;
        drawList->AddRect(a, b, color, 4);
        const float midY = (a.y + b.y) * 0.5f;
        const float midX = (a.x + b.x) * 0.5f;
        drawList->AddLine(ImVec2(a.x + 3, midY), ImVec2(b.x - 3, midY), color, 2);
        if (!*expanded)
            drawList->AddLine(ImVec2(midX, a.y + 3), ImVec2(midX, b.y - 3), color, 2);
        if (over && ImGui::IsMouseReleased(0))
            *expanded = !*expanded;
    }
    return result;
}

} // namespace ImSequencer
