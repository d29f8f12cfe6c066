// Named resource records: every project's store ("resources.json" lists the file-backed ones) and the payloads
// that output pins publish share the Resource head.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct Object;
struct Texture;

namespace ResourceType {
enum : int32_t {
    Envmap = 2,
    EffectEntity = 4,
    Object = 5,
    Light = 6,
    Camera = 7,
    Value = 8,
    ParticleContainer = 9,
    Emitter = 10,
    ParticleModifier = 11,
    Instances = 12,
    PostEffect = 13,
    Image = 14,
    Texture = 15,
    VertexModifier = 16,
    Material = 17,
    SceneUri = 18,
    Gradient = 19,
    InstanceModifier = 20,
    Entity = 21,
};
}

// The head of every resource record and pin payload; callers check type before converting.
struct Resource {
    int32_t type = 0;
    std::string name;

    Resource() = default;
    Resource(int32_t type, std::string name) : type(type), name(std::move(name)) {}
    virtual ~Resource() = default;

    // The path of a file-backed record (object, texture, environment map, scene file); ignored for the others.
    void set_path(const std::string& path);
};

// The record as T when its type code is `type` (and it really is a T), else null: pin payloads come from
// hand-editable links, so a consumer never casts on the pin's declared type alone.
template <typename T>
T* resourceCast(Resource* resource, int32_t type)
{
    return resource && resource->type == type ? dynamic_cast<T*>(resource) : nullptr;
}
template <typename T>
const T* resourceCast(const Resource* resource, int32_t type)
{
    return resource && resource->type == type ? dynamic_cast<const T*>(resource) : nullptr;
}

// Kinds 5 (Object), 15 (Texture) and 2 (Envmap). The loaded object is not owned by the record.
struct FileResource : Resource {
    void* object = nullptr;
    std::string path; // data path it was loaded from; empty for records not loaded from a file (never saved)

    FileResource(int32_t type, std::string name, void* object) : Resource(type, std::move(name)), object(object) {}
    ::Object* GetObject() const { return type == ResourceType::Object ? static_cast<::Object*>(object) : nullptr; }
    ::Texture* GetTexture() const
    {
        return type == ResourceType::Texture || type == ResourceType::Envmap ? static_cast<::Texture*>(object)
                                                                               : nullptr;
    }
};

// Kind 18: a glTF file.
struct SceneUriResource : Resource {
    std::string path;
    bool load_on_startup = false;

    SceneUriResource(std::string name, std::string path)
        : Resource(ResourceType::SceneUri, std::move(name)), path(std::move(path))
    {
    }
};

// Kind 8: what value generators publish; consumers copy the channels the mask enables.
struct ValueResource : Resource {
    std::vector<float> values{0.0f, 0.0f, 0.0f};
    uint32_t mask = 7; // bit 0 X, bit 1 Y, bit 2 Z

    explicit ValueResource(std::string name = {}) : Resource(ResourceType::Value, std::move(name)) {}
};

// Kind 14: an image a component publishes (the production's output image among them).
struct ImageResource : Resource {
    ::Texture* texture = nullptr;

    explicit ImageResource(std::string name = {}, ::Texture* texture = nullptr)
        : Resource(ResourceType::Image, std::move(name)), texture(texture)
    {
    }
};

class ResourceModifiedListener {
public:
    virtual void OnResourceModified(Resource* resource) = 0;
    virtual ~ResourceModifiedListener() = default;
};

struct ResourceManagerStorage {
    std::vector<ResourceModifiedListener*> listeners;
    std::map<std::string, Resource*> resources; // one record per name, byte-wise order

    ResourceManagerStorage() = default;
    ~ResourceManagerStorage();
    ResourceManagerStorage(const ResourceManagerStorage&) = delete;
    ResourceManagerStorage& operator=(const ResourceManagerStorage&) = delete;

    // New records with an empty path, offered to the map; a taken name keeps the existing record and the returned
    // one stays outside the store (it lives as long as the store).
    FileResource* add_object(const std::string& name, Object* object);
    FileResource* add_texture(const std::string& name, Texture* texture);
    FileResource* add_envmap(const std::string& name, Texture* texture);
    // Offers a record someone else owns (a component's published result); false when the name is taken.
    bool add(Resource* resource);

    // Records of that type in this store, in name order.
    std::vector<Resource*> get_by_type(int32_t type) const;
    // Both look in currentResources, whatever store they are called on.
    Resource* get_by_name(const std::string& name) const;
    Resource* get_by_name_type(const std::string& name, int32_t type) const;

    // Moves a registered record to a new name, replacing whatever was stored there; nothing for a record that is
    // not registered under its name here.
    void rename(Resource* resource, const std::string& newName);
    // Unregisters the record (it stays allocated).
    void remove(Resource* resource);

    // "resources.json": path relative to the asset base path for loading, as given for saving. Both work on
    // currentResources. Load is false when the file exists but cannot be read as JSON; save is false when nothing
    // could be written.
    bool load_json(const std::string& path);
    bool save_json(const std::string& path);

private:
    FileResource* addFileRecord(int32_t type, const std::string& name, void* object);

    std::vector<std::unique_ptr<Resource>> ownedRecords_;
    // Parts of the file this reader does not understand, written back as they were: unknown root keys, and
    // entries that could not be made into records (malformed, or a second entry of a taken name).
    nlohmann::json keptRootKeys_ = nlohmann::json::object();
    std::map<std::string, std::vector<nlohmann::json>> keptEntries_;
};

// Loaders of the file-backed kinds. Meshes, glTF scenes and environment maps come with later subsystems and
// plug in here; until then their stand-ins log and load nothing (records are still made and saved).
struct ResourceLoaders {
    Object* (*loadObject)(const std::string& path);            // mesh through assimp
    bool (*loadScene)(const std::string& path);                // glTF scene content
    Texture* (*loadEnvmap)(const std::string& path);           // Radiance file as a cube map
    Texture* (*loadTexture)(const std::string& path);          // PNG with its mip chain
    void (*labelTexture)(Texture* texture, const std::string& label);
};
extern ResourceLoaders resourceLoaders;

// Path -> texture loaded from it (null for a failed load), shared by all projects, never cleared. The maps are
// never destroyed either, so the textures stay reachable until the process ends.
extern std::unordered_map<std::string, Texture*>& textureFileCache;
extern std::unordered_map<std::string, Texture*>& envmapFileCache;
