#include "project/resources.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_texture.h"
#include "project/json_file.h"
#include "project/project.h"

using nlohmann::json;

std::unordered_map<std::string, Texture*>& textureFileCache = *new std::unordered_map<std::string, Texture*>;
std::unordered_map<std::string, Texture*>& envmapFileCache = *new std::unordered_map<std::string, Texture*>;

namespace {

Object* standInLoadObject(const std::string& path)
{
    LOG_ERROR("Failed to load LWO file <%s>: no mesh importer in this build", path.c_str());
    return nullptr;
}

bool standInLoadScene(const std::string& path)
{
    LOG_ERROR("Cannot load scene <%s>: no glTF importer in this build", path.c_str());
    return false;
}

Texture* standInLoadEnvmap(const std::string& path)
{
    LOG_ERROR("Cannot load environment map <%s>: no cube-map conversion in this build", path.c_str());
    return nullptr;
}

Texture* loadTextureWithMips(const std::string& path)
{
    Texture* texture = txtLoad(path.c_str());
    if (texture)
        txtGenerateMipMaps(texture);
    return texture;
}

void labelTexture(Texture* texture, const std::string& label) { txtSetLabel(texture, label.c_str()); }

// The four file-backed kinds in file order: key of "resources.json" and record type.
struct Section {
    const char* key;
    int32_t type;
};
constexpr Section kSections[] = {
    {"object_resources", ResourceType::Object},
    {"scene_uri_resources", ResourceType::SceneUri},
    {"envmap_resources", ResourceType::Envmap},
    {"texture_resources", ResourceType::Texture},
};

const std::string* pathOf(const Resource* resource)
{
    // Checked casts: a record of a file type that is not a file record (added by other code) has no path.
    if (const auto* uri = resourceCast<SceneUriResource>(resource, ResourceType::SceneUri))
        return &uri->path;
    if (const auto* file = dynamic_cast<const FileResource*>(resource))
        return &file->path;
    return nullptr;
}

// What is wrong with an entry of a section, or empty.
std::string checkEntry(const json& entry, int32_t type)
{
    if (!entry.is_object())
        return "entry is not an object";
    auto name = entry.find("name");
    if (name == entry.end() || !name->is_string())
        return "\"name\" is missing or not a string";
    auto path = entry.find("path");
    if (path == entry.end() || !path->is_string())
        return "\"path\" is missing or not a string";
    if (type == ResourceType::SceneUri) {
        auto load = entry.find("load_on_startup");
        if (load != entry.end() && !load->is_boolean())
            return "\"load_on_startup\" is not a boolean";
    }
    return {};
}

Texture* cachedLoad(std::unordered_map<std::string, Texture*>& cache, const std::string& path,
                    const std::string& label, Texture* (*load)(const std::string&))
{
    auto it = cache.find(path);
    if (it != cache.end())
        return it->second;
    Texture* texture = load(path);
    if (texture)
        resourceLoaders.labelTexture(texture, label);
    cache.emplace(path, texture); // a failed load is remembered too, so it is not tried again
    return texture;
}

} // namespace

ResourceLoaders resourceLoaders = {&standInLoadObject, &standInLoadScene, &standInLoadEnvmap, &loadTextureWithMips,
                                   &labelTexture};

void Resource::set_path(const std::string& path)
{
    if (auto* uri = resourceCast<SceneUriResource>(this, ResourceType::SceneUri))
        uri->path = path;
    else if (auto* file = dynamic_cast<FileResource*>(this))
        file->path = path;
    else
        LOG_WARNING("Resource <%s> of type %d has no path", name.c_str(), type);
}

ResourceManagerStorage::~ResourceManagerStorage()
{
    if (currentResources == this)
        currentResources = nullptr;
}

FileResource* ResourceManagerStorage::addFileRecord(int32_t type, const std::string& name, void* object)
{
    auto record = std::make_unique<FileResource>(type, name, object);
    FileResource* raw = record.get();
    ownedRecords_.push_back(std::move(record));
    resources.emplace(name, raw);
    return raw;
}

FileResource* ResourceManagerStorage::add_object(const std::string& name, Object* object)
{
    return addFileRecord(ResourceType::Object, name, object);
}

FileResource* ResourceManagerStorage::add_texture(const std::string& name, Texture* texture)
{
    return addFileRecord(ResourceType::Texture, name, texture);
}

FileResource* ResourceManagerStorage::add_envmap(const std::string& name, Texture* texture)
{
    return addFileRecord(ResourceType::Envmap, name, texture);
}

bool ResourceManagerStorage::add(Resource* resource)
{
    if (!resource)
        return false;
    return resources.emplace(resource->name, resource).second;
}

std::vector<Resource*> ResourceManagerStorage::get_by_type(int32_t type) const
{
    std::vector<Resource*> out;
    for (const auto& [name, resource] : resources)
        if (resource->type == type)
            out.push_back(resource);
    return out;
}

Resource* ResourceManagerStorage::get_by_name(const std::string& name) const
{
    if (currentResources) {
        auto it = currentResources->resources.find(name);
        if (it != currentResources->resources.end())
            return it->second;
    }
    LOG_WARNING("Resource <%s> not found", name.c_str());
    return nullptr;
}

Resource* ResourceManagerStorage::get_by_name_type(const std::string& name, int32_t type) const
{
    if (!currentResources)
        return nullptr;
    auto it = currentResources->resources.find(name);
    if (it == currentResources->resources.end())
        return nullptr;
    if (it->second->type != type) {
        LOG_WARNING("Resource <%s> found but with different type. Found: %d, requested: %d", name.c_str(),
                    it->second->type, type);
        return nullptr;
    }
    return it->second;
}

void ResourceManagerStorage::rename(Resource* resource, const std::string& newName)
{
    if (!resource)
        return;
    auto it = resources.find(resource->name);
    if (it == resources.end() || it->second != resource)
        return;
    resources.erase(it);
    resource->name = newName;
    resources[newName] = resource;
}

void ResourceManagerStorage::remove(Resource* resource)
{
    if (!resource)
        return;
    auto it = resources.find(resource->name);
    if (it != resources.end() && it->second == resource)
        resources.erase(it);
}

bool ResourceManagerStorage::load_json(const std::string& path)
{
    ResourceManagerStorage* store = currentResources ? currentResources : this;
    DataBlob blob = jsonfile::readFile(path);
    if (!blob)
        return blob.missing; // no file: the project runs with what its components publish

    const std::string fullPath = dataPath(path);
    json root;
    if (!jsonfile::parse(std::string_view(blob.text(), blob.size), fullPath, root)) {
        jsonfile::markUnreadable(fullPath);
        return false;
    }
    if (root.is_null())
        return true;
    if (!root.is_object()) {
        jsonfile::reportContentError(fullPath, "the root is not an object");
        jsonfile::markUnreadable(fullPath);
        return false;
    }
    jsonfile::clearUnreadable(fullPath);

    for (auto it = root.begin(); it != root.end(); ++it) {
        bool known = false;
        for (const Section& section : kSections)
            known = known || it.key() == section.key;
        if (!known || !it.value().is_array()) {
            if (known)
                LOG_WARNING("<%s>: \"%s\" is not an array; kept as it is", fullPath.c_str(), it.key().c_str());
            store->keptRootKeys_[it.key()] = it.value();
        }
    }

    for (const Section& section : kSections) {
        auto it = root.find(section.key);
        if (it == root.end() || !it->is_array())
            continue;
        for (const json& entry : *it) {
            std::string error = checkEntry(entry, section.type);
            if (!error.empty()) {
                LOG_WARNING("<%s>: an entry of \"%s\" is skipped and kept as it is: %s", fullPath.c_str(), section.key,
                            error.c_str());
                store->keptEntries_[section.key].push_back(entry);
                continue;
            }
            const std::string name = entry["name"].get<std::string>();
            const std::string filePath = entry["path"].get<std::string>();
            if (store->resources.count(name)) {
                LOG_WARNING("<%s>: resource <%s> is listed twice; the later entry is kept as it is", fullPath.c_str(),
                            name.c_str());
                store->keptEntries_[section.key].push_back(entry);
                if (section.type == ResourceType::Object)
                    resourceLoaders.loadObject(filePath);
                continue;
            }
            switch (section.type) {
            case ResourceType::Object: {
                // A mesh that fails to load keeps its record (with no object), so its entry is saved again.
                Object* object = resourceLoaders.loadObject(filePath);
                store->add_object(name, object)->path = filePath;
                break;
            }
            case ResourceType::SceneUri: {
                auto record = std::make_unique<SceneUriResource>(name, filePath);
                SceneUriResource* raw = record.get();
                store->ownedRecords_.push_back(std::move(record));
                store->resources.emplace(name, raw);
                if (entry.value("load_on_startup", false)) {
                    resourceLoaders.loadScene(filePath);
                    raw->load_on_startup = true;
                }
                break;
            }
            case ResourceType::Envmap:
                store->add_envmap(name, cachedLoad(envmapFileCache, filePath, name, resourceLoaders.loadEnvmap))->path =
                    filePath;
                break;
            case ResourceType::Texture:
                store->add_texture(name, cachedLoad(textureFileCache, filePath, name, resourceLoaders.loadTexture))
                    ->path = filePath;
                break;
            }
        }
    }
    return true;
}

bool ResourceManagerStorage::save_json(const std::string& path)
{
    ResourceManagerStorage* store = currentResources ? currentResources : this;
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("Not saving <%s>: it failed to load and is kept as it is", path.c_str());
        return false;
    }
    json root = store->keptRootKeys_;
    for (const Section& section : kSections) {
        json entries = json::array();
        for (Resource* resource : store->get_by_type(section.type)) {
            const std::string* filePath = pathOf(resource);
            if (!filePath || filePath->empty())
                continue;
            json entry = {{"name", resource->name}, {"path", *filePath}};
            if (const auto* uri = resourceCast<SceneUriResource>(resource, ResourceType::SceneUri))
                entry["load_on_startup"] = uri->load_on_startup;
            entries.push_back(std::move(entry));
        }
        auto kept = store->keptEntries_.find(section.key);
        if (kept != store->keptEntries_.end())
            for (const json& entry : kept->second)
                entries.push_back(entry);
        if (!entries.empty())
            root[section.key] = std::move(entries);
    }
    if (root.empty())
        root = nullptr;
    return jsonfile::save(path, root, 4);
}
