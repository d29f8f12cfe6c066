// The "Resource Manager" window: the current project's objects, scene files, environment maps and images, the
// buttons that save the resource files, delete objects and bring glTF scenes in, and the import of files dropped on
// the application window (each becomes a resource of the current project, its kind chosen by its name).
#pragma once

#include <string>

struct Resource;
struct ResourceManagerUiState;

// Draws the window and imports the files dropped since the last frame.
void ui_resource_manager_window(ResourceManagerUiState& state);

// Imports every dropped path in order and empties the list (the window does this each frame).
void resourceManagerImportDropped(ResourceManagerUiState& state);

// A dropped path relative to the asset base path, with forward slashes; empty (after a log line) when the path
// is not a regular file or lies outside the asset base path.
std::string resourceManagerImportPath(const std::string& dropped);

// The "Objects" line of an object record: name, faces, vertices and surfaces, or the name marked as failed.
std::string resourceManagerObjectLine(const Resource* record);

// Writes the current project's "resources.json" (and, with gradients, the global project's gradient file).
bool resourceManagerSave(bool gradients);
