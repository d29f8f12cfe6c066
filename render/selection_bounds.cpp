#include "render/selection_bounds.h"

#include "project/components.h"

#include <algorithm>

std::unordered_map<uint32_t, SelectedBounds> selectedBoundsMap;
Camera* viewportCamera = nullptr;
int renderingBBox = RenderingBBox::Selected;

void RegisterSelectedBounds(EngineComponent* component, Camera* camera, const Matrix& local, const Matrix& world,
                            const float* box, int kind)
{
    if (!component || !component->selected)
        return;
    SelectedBounds& entry = selectedBoundsMap[static_cast<uint32_t>(component->id)];
    entry.camera = camera;
    entry.local = local;
    entry.world = world;
    if (box)
        std::copy(box, box + 6, entry.box);
    else
        std::fill(entry.box, entry.box + 6, 0.0f);
    entry.kind = kind;
}
