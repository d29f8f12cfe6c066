// What the editor's timeline widget asks of a timeline model. The model lives here so that it needs nothing of the
// editor; the widget (editor/timeline_widget) draws any model through it.
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#include <cstddef>
#include <cstdint>

namespace ImSequencer {

// Options of DrawTimeline.
enum TimelineOptions : int {
    SEQUENCER_EDIT_NONE = 0,
    SEQUENCER_EDIT_STARTEND = 1 << 1,
    SEQUENCER_CHANGE_FRAME = 1 << 3,
};

class SequenceInterface {
public:
    virtual ~SequenceInterface() = default;

    bool focused = false; // set by the widget: its content has focus

    virtual int GetFrameMin() const = 0;
    virtual int GetFrameMax() const = 0;
    virtual int GetItemCount() const = 0;
    virtual void BeginEdit(int) {}
    virtual void EndEdit() {}
    virtual int GetItemTypeCount() const { return 0; }
    virtual const char* GetItemTypeName(int) const { return ""; }
    virtual const char* GetItemLabel(int) const { return ""; }
    virtual int GetItemIndent(int) const { return 0; }
    // Dear ImGui's packed colour (red in the low byte); alpha 0 hides the label.
    virtual uint32_t GetItemLabelColor(int) const { return 0xFFFFFFFF; }
    // Any out pointer may be null; start and end point at the row's own frames, edited in place.
    virtual void Get(int index, int** start, int** end, int* type, uint32_t* color) = 0;
    virtual void Add(int) {}
    virtual void Del(int) {}
    virtual void Duplicate(int) {}
    virtual void Copy() {}
    virtual void Paste() {}
    // Pixels below the row's 20-pixel bar line that CustomDraw fills.
    virtual size_t GetCustomHeight(int) { return 0; }
    virtual void DoubleClick(int) {}
    virtual void CustomDraw(int, ImDrawList*, const ImRect& /*rowRect*/, const ImRect& /*legendRect*/,
                            const ImRect& /*clipRect*/, const ImRect& /*legendClipRect*/)
    {
    }
    virtual void CustomDrawCompact(int, ImDrawList*, const ImRect& /*rowRect*/, const ImRect& /*clipRect*/) {}
};

} // namespace ImSequencer
