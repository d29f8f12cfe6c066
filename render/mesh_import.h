// Mesh files brought in through assimp (one Object per file, one surface per mesh) and glTF scenes brought in
// through tinygltf (one Object per mesh, textures for the images and a shared AnimationRig), both checked before
// anything is built: a hostile file gives false or null and one log line, and registers nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct aiScene;
class Object;

// ---- assimp ----

// The Object of an imported scene (owned by the caller): positions, normals when any mesh has them (else
// computed), colours when any mesh has colour set 0, one surface per mesh with the material's diffuse colour and
// unique name. Faces that are not triangles (points and lines) and faces naming missing vertices are skipped.
// Null for a null scene or when the geometry cannot be made.
Object* meshBuildFromScene(const aiScene* scene, const std::string& name);
// A mesh file (path relative to the asset base path) read by assimp from its content: the Object named after the
// path's last part, uploaded, owned by the caller; null after a log line when it cannot be read or imported.
Object* entLoadLWO(const std::string& path);

// ---- glTF ----

// Result codes of reading a glTF file.
enum GltfResult : int {
    GLTF_RESULT_SUCCESS = 0,
    GLTF_RESULT_DATA_TOO_SHORT = 1,
    GLTF_RESULT_UNKNOWN_FORMAT = 2,
    GLTF_RESULT_INVALID_JSON = 3,
    GLTF_RESULT_INVALID_GLTF = 4,
    GLTF_RESULT_INVALID_OPTIONS = 5,
    GLTF_RESULT_FILE_NOT_FOUND = 6,
    GLTF_RESULT_IO_ERROR = 7,
    GLTF_RESULT_OUT_OF_MEMORY = 8,
};

// A node of the default scene (or of the first scene) as the scene import places components: its mesh object's
// resource name (empty without mesh), its own translation, rotation (Euler degrees in the engine's order) and
// scale, and its depth-first position.
struct GltfSceneNodeInfo {
    std::string meshResource;
    std::string meshName;
    bool hasTranslation = false, hasRotation = false, hasScale = false;
    float translation[3] = {0, 0, 0};
    float rotation[3] = {0, 0, 0};
    float scale[3] = {1, 1, 1};
};

// Reads a file (path relative to the asset base path; ".gltf" with external or data: buffers, or ".glb"),
// checks it and logs "Result: %d". The code is GLTF_RESULT_SUCCESS when everything can be built safely.
int gltfCheckFile(const std::string& path);

// The meshes (object resources "{file}/mesh/{i}/{name}"), images (texture resources "{file}/images/{i}/{name}")
// and the rig of a glTF file into the current project's resources (they stay with the importer for the whole
// run). False when the file cannot be read or is refused, with nothing registered.
bool graph_load_scene_resources(const std::string& path);
// The meshes of the file as object resources and the mesh nodes of its default scene in depth-first order (for
// the scene import of the component layer). False when the file cannot be read or is refused.
bool gltfLoadSceneNodes(const std::string& path, std::string* sceneName, std::vector<GltfSceneNodeInfo>* nodes);

// entLoadLWO for a resource record: the object stays with the importer for the whole run (records do not own
// their objects). The resource store's mesh loader.
Object* meshLoadResource(const std::string& path);
// Points the resource store's mesh and scene loaders at these importers.
void meshInstallResourceLoaders();
