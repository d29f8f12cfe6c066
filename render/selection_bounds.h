// Bounds of the selected components, registered while the frame's passes run: the scene player's overlay draws
// them and the editor's viewport puts a gizmo on each, then empties the map. Main thread only.
#pragma once

#include "app/math_types.h"

#include <cstdint>
#include <unordered_map>

class Camera;
class EngineComponent;

// Shape codes of the overlay.
namespace SelectedBoundsKind {
enum : int { Box = 0, Circles = 1, Cone = 2 };
}

struct SelectedBounds {
    Camera* camera = nullptr; // the camera to show the gizmo with; null: viewportCamera
    Matrix local;             // the component's own transform (its position, rotation and scale)
    Matrix world;             // the matrix it is drawn with; gizmo and box live in this frame
    float box[6] = {};        // min x, y, z, max x, y, z in the world matrix's space
    int kind = SelectedBoundsKind::Box;
};

// Component id -> its last registration. Entries stay until the viewport clears the map.
extern std::unordered_map<uint32_t, SelectedBounds> selectedBoundsMap;
// What the bounds overlay draws ("BBox" in the viewport, kept in the editor's state file).
namespace RenderingBBox {
enum : int { None = 0, All = 1, Selected = 2 };
}
extern int renderingBBox;
// The camera the scene player renders with this frame; null until one runs, and after the viewport's gizmos.
extern Camera* viewportCamera;

// Stores {camera, local, world, box, kind} under the component's id while the component is selected; nothing
// otherwise. A null box registers an empty one.
void RegisterSelectedBounds(EngineComponent* component, Camera* camera, const Matrix& local, const Matrix& world,
                            const float* box, int kind);
