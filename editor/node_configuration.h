// "Node Configuration Editor" (name, tags and parameters of the components selected in the node graph) and
// "Deferred" (thumbnails of the deferred renderer's targets, each previewed large while hovered).
#pragma once

#include <imgui.h>

struct Framebuffer;
struct Texture;

// False while no GL context is current (the windowless test harness): "Deferred" then makes and draws nothing.
extern bool uiDeferredWindowUsesGl;

// Thumbnail rows of "Deferred".
constexpr int kDeferredThumbnailCount = 7;
constexpr float kDeferredThumbnailWidth = 198.0f;
constexpr float kDeferredThumbnailHeight = 108.0f;
constexpr float kDeferredThumbnailStep = 109.0f;
// The preview of the decoded normals.
constexpr int kTexturePreviewWidth = 768;
constexpr int kTexturePreviewHeight = 432;

void ui_node_configuration_editor();
void ui_deferred_window(bool* open);
// The large preview of a texture in a tooltip; the position is not used.
void ui_texture_preview_tooltip(ImVec2 position, Texture* texture);

// The texture thumbnail k shows, or null when its pass has not made it (then nothing is drawn there).
Texture* ui_deferred_thumbnail_texture(int k);
// "ui_texture_preview", made on first use of "Deferred" (null before).
Framebuffer* ui_texture_preview_framebuffer();
