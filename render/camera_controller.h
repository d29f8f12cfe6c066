// A free-flying camera rig. Its pose lives in parameters ("position", "direction", "up") so it can be inspected,
// keyed and saved; it renders through a camera of its own, follows another camera while attached, and flies
// freely once the user moves it.
#pragma once

#include "app/math_types.h"
#include "project/cvars.h"

#include <string>

class Camera;
class CvarTreeNode;

class CameraController {
public:
    // Registers its six parameters in the branch "controller" under the current branch (found or created), so
    // the owner must make its own branch current first. A new controller is detached.
    explicit CameraController(const std::string& name);
    // Clears currentCameraController when it names this controller. Its parameters stay listed in the owner's
    // branch: like every component, the owner deletes its branch before the parameters die, so before this.
    ~CameraController();
    CameraController(const CameraController&) = delete;
    CameraController& operator=(const CameraController&) = delete;

    // v in the controller's own axes (x side, y up, z forward), scaled by "sensitivity"; v is overwritten with
    // the world-space step. Sets "detached".
    void Move(Vector3& v);
    // Follows the attached camera while not detached, writes the flown pose back into it with "follow
    // detached", then rebuilds the camera's world and view matrices from the parameters.
    void Update();
    // One cheap step toward orthonormal for the three upper rows (x, y, z of each); the fourth column stays.
    static void Orthonormalize(Matrix& matrix);

    // Mouse drags, with the cursor's travel in pixels as previous minus current position. Mode 1 turns (pitch
    // about the side axis, then yaw about "up"), mode 2 rolls "up" about "direction" and lifts; any other mode
    // does nothing. Both set "detached".
    void Drag(int mode, float dx, float dy);

    // Clears `attached` on every live controller that follows the camera; owners call it before deleting a
    // camera a controller may follow, so no controller keeps reading a freed entity.
    static void ForgetCamera(const Camera* camera);

    bool IsDetached() const { return detached.value[0] > 0.5f; }
    Vector3 Position() const { return {position.value[0], position.value[1], position.value[2]}; }
    Vector3 Direction() const { return {direction.value[0], direction.value[1], direction.value[2]}; }
    Vector3 Up() const { return {up.value[0], up.value[1], up.value[2]}; }

    Camera* camera = nullptr;   // owned
    Camera* attached = nullptr; // followed; not owned
    // Rows (S, P.x), (U, P.y), (D, P.z), (0, 0, 0, 1) as the last Update rebuilt them; identity before.
    Matrix frame;
    Cvar sensitivity;
    Cvar position;
    Cvar direction;
    Cvar up;
    Cvar detached;
    Cvar followDetached;
    CvarTreeNode* branch = nullptr; // the "controller" branch its parameters sit in; not owned

private:
    void WriteBack();
};

// Output width / height; the fixed 1920 x 1080 stands in before the display has set the size.
float cameraOutputAspect();

// The controller that keyboard, mouse and the editor's reset act on; null at start.
extern CameraController* currentCameraController;
